#include "modules/media/payload_memory.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>

namespace media {

// The memory GStreamer sees. Shares of it (sub-buffers) are PayloadMemory
// objects too, with the root as parent; the state below is the root's.
struct PayloadMemory {
  GstMemory memory;             // first: GStreamer's part
  PayloadSlot* slot = nullptr;  // the root's slot while it holds the payload
  void* payload = nullptr;      // the Core's payload, until released
  uint8_t* data = nullptr;      // where the bytes are: inside the payload, or `copy`
  uint8_t* copy = nullptr;      // owned, once detached
  int maps = 0;                 // mappings open on the root and its shares
  bool detachWanted = false;    // detach when the last mapping closes
};

namespace {

std::mutex lock;  // guards every PayloadMemory's state above and every slot
ReleasePayload releasePayload = nullptr;
std::atomic<int> live{0};

PayloadMemory* RootOf(GstMemory* memory) {
  GstMemory* root = memory->parent != nullptr ? memory->parent : memory;
  return reinterpret_cast<PayloadMemory*>(root);
}

// Lock held. Copies the root's bytes and lets go of its payload, which it
// returns for the caller to release after unlocking; null when the copy
// cannot be made (the payload stays held).
void* DetachLocked(PayloadMemory* root) {
  size_t size = root->memory.maxsize;
  uint8_t* copy = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, root->data, size);
  root->copy = copy;
  root->data = copy;
  root->detachWanted = false;
  if (root->slot != nullptr && root->slot->held == root) root->slot->held = nullptr;
  root->slot = nullptr;
  void* payload = root->payload;
  root->payload = nullptr;
  return payload;
}

void Release(void* payload) {
  if (payload != nullptr) releasePayload(payload);
}

// ---- The allocator GStreamer calls back ------------------------------------

struct PayloadAllocator {
  GstAllocator parent;
};
struct PayloadAllocatorClass {
  GstAllocatorClass parent_class;
};

gpointer Map(GstMemory* memory, gsize maxsize, GstMapFlags flags) {
  (void)maxsize;
  if ((flags & GST_MAP_WRITE) != 0) return nullptr;  // the Core's payload is read-only
  PayloadMemory* root = RootOf(memory);
  std::lock_guard<std::mutex> hold(lock);
  root->maps++;
  return root->data;
}

void Unmap(GstMemory* memory) {
  PayloadMemory* root = RootOf(memory);
  void* payload = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock);
    root->maps--;
    if (root->maps == 0 && root->detachWanted) payload = DetachLocked(root);
  }
  Release(payload);
}

GstMemory* Copy(GstMemory* memory, gssize offset, gssize size) {
  if (size < 0) size = static_cast<gssize>(memory->size) - offset;
  if (offset < 0 || size < 0 || static_cast<gsize>(offset + size) > memory->size) return nullptr;
  GstMapInfo from;
  if (!gst_memory_map(memory, &from, GST_MAP_READ)) return nullptr;
  GstMemory* copy = gst_allocator_alloc(nullptr, static_cast<gsize>(size), nullptr);
  GstMapInfo to;
  if (copy != nullptr && gst_memory_map(copy, &to, GST_MAP_WRITE)) {
    memcpy(to.data, from.data + offset, static_cast<size_t>(size));
    gst_memory_unmap(copy, &to);
  }
  gst_memory_unmap(memory, &from);
  return copy;
}

GstMemory* Share(GstMemory* memory, gssize offset, gssize size) {
  PayloadMemory* root = RootOf(memory);
  if (size < 0) size = static_cast<gssize>(memory->size) - offset;
  PayloadMemory* share = new PayloadMemory();
  gst_memory_init(&share->memory,
                  static_cast<GstMemoryFlags>(GST_MINI_OBJECT_FLAGS(&root->memory) |
                                              GST_MINI_OBJECT_FLAG_LOCK_READONLY),
                  root->memory.allocator, &root->memory, root->memory.maxsize, root->memory.align,
                  memory->offset + offset, static_cast<gsize>(size));
  return &share->memory;
}

gboolean IsSpan(GstMemory* first, GstMemory* second, gsize* offset) {
  (void)first;
  (void)second;
  (void)offset;
  return FALSE;
}

void Free(GstAllocator* allocator, GstMemory* memory) {
  (void)allocator;
  PayloadMemory* freed = reinterpret_cast<PayloadMemory*>(memory);
  void* payload = nullptr;
  if (memory->parent == nullptr) {
    std::lock_guard<std::mutex> hold(lock);
    if (freed->slot != nullptr && freed->slot->held == freed) freed->slot->held = nullptr;
    payload = freed->payload;
    live--;
  }
  Release(payload);
  free(freed->copy);
  delete freed;
}

void InitClass(gpointer klass, gpointer data) {
  (void)data;
  GST_ALLOCATOR_CLASS(klass)->alloc = nullptr;  // memories come from WrapPayload only
  GST_ALLOCATOR_CLASS(klass)->free = Free;
}

void InitInstance(GTypeInstance* instance, gpointer klass) {
  (void)klass;
  GstAllocator* allocator = GST_ALLOCATOR(instance);
  allocator->mem_type = "OmbrevardPayload";
  allocator->mem_map = Map;
  allocator->mem_unmap = Unmap;
  allocator->mem_copy = Copy;
  allocator->mem_share = Share;
  allocator->mem_is_span = IsSpan;
  GST_OBJECT_FLAG_SET(allocator, GST_ALLOCATOR_FLAG_CUSTOM_ALLOC);
}

// The allocator's type, named after this copy of the library: a process can
// hold several (a benchmark or a test that starts Cores from new folders),
// each with its own functions and release, and a type name can be taken once.
GType AllocatorType() {
  static GType type = 0;
  static std::once_flag once;
  std::call_once(once, [] {
    char name[64];
    snprintf(name, sizeof(name), "OmbrevardPayloadAllocator%p", static_cast<void*>(&type));
    GTypeInfo info = {};
    info.class_size = sizeof(PayloadAllocatorClass);
    info.class_init = InitClass;
    info.instance_size = sizeof(PayloadAllocator);
    info.instance_init = InitInstance;
    type = g_type_register_static(GST_TYPE_ALLOCATOR, name, &info, static_cast<GTypeFlags>(0));
  });
  return type;
}

}  // namespace

// ---- What the sink calls -----------------------------------------------------

void SetPayloadRelease(ReleasePayload release) { releasePayload = release; }

GstMemory* WrapPayload(void* payload, const uint8_t* data, size_t size, PayloadSlot* slot) {
  // One allocator for the process, made the first time and kept.
  static GstAllocator* allocator =
      GST_ALLOCATOR(g_object_ref_sink(g_object_new(AllocatorType(), nullptr)));
  PayloadMemory* memory = new PayloadMemory();
  gst_memory_init(&memory->memory, GST_MEMORY_FLAG_READONLY, allocator, nullptr, size, 0, 0, size);
  memory->payload = payload;
  memory->data = const_cast<uint8_t*>(data);  // only ever read
  std::lock_guard<std::mutex> hold(lock);
  memory->slot = slot;
  slot->held = memory;
  live++;
  return &memory->memory;
}

void DetachHeld(PayloadSlot* slot) {
  void* payload = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock);
    PayloadMemory* root = slot->held;
    if (root == nullptr) return;
    if (root->maps == 0) {
      payload = DetachLocked(root);
    } else {
      root->detachWanted = true;
    }
  }
  Release(payload);
}

int LivePayloadMemories() { return live.load(); }

}  // namespace media
