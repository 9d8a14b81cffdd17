// Posting: PostEvent and the four kinds of post, the Core's text notices.
#include <malloc.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>

#include <wx/log.h>

#include "core/core.h"
#include "core/payload_copy.h"
#include "core/payload_ledger.h"
#include "core/queue_limits.h"

const char kQueueFullMessage[] =
    "event queue full (%llu records or %llu bytes): refused %llu post(s)";

namespace {

// True on the Core's delivery thread (MarkDeliveryThread).
thread_local bool onDeliveryThread = false;

// Payload blocks from this size up are kept for reuse (below, the heap's own
// caches serve as well), up to a size not worth holding on to while idle.
constexpr uint32_t kSpareBlockFrom = uint32_t{256} << 10;
constexpr uint32_t kSpareBlockUpTo = uint32_t{64} << 20;

// Whether a post that brought the queue to `depth` records, and its bytes
// from `before` to `after`, ends a poster's turn on the handler's CPU.
bool EndsTurn(uint64_t depth, uint64_t before, uint64_t after) {
  return depth % kTurnRecords == 0 || before / kTurnBytes != after / kTurnBytes;
}

// Asks for the cache lines of `size` bytes from `address` (null: none) in a
// state to be written, without waiting for them. Processors without the
// instruction take it as a no-op.
inline void PrefetchForWriting(const void* address, size_t size) {
  if (address == nullptr) return;
  const char* first = static_cast<const char*>(address);
  const char* end = first + size;
  const char* line = first - reinterpret_cast<uintptr_t>(first) % 64;
  for (; line < end; line += 64) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetchw %0" ::"m"(*line));
#else
    __builtin_prefetch(line, 1, 3);
#endif
  }
}

}  // namespace

extern "C" int32_t PostEvent(const EventRecord* event, EventResult* result) {
  // A null result block: the post is made and its answer dropped.
  EventResult ignored;
  if (result == nullptr) result = &ignored;
  Core* core = Core::instance.load(std::memory_order_acquire);
  if (core == nullptr || event == nullptr) {
    result->result = POST_NO_MEMORY;  // nobody to take the record, or no record
    return 0;
  }
  core->Post(event, result);
  return 0;
}

void Core::MarkDeliveryThread() { onDeliveryThread = true; }

void Core::Post(const EventRecord* event, EventResult* result) {
  if (event->flags == EVENT_RELEASE) {
    PostRelease(*event);
    result->result = POST_OK;
  } else if (event->source != 0) {
    result->result = PostOrdinary(*event);
    if (result->result == POST_OK) return;  // counted as it was queued, under queueLock
  } else if (event->flags == EVENT_STOP_STREAM) {
    streamTable.Cancel(event->stream);
    WakeHandler();
    result->result = POST_OK;
  } else {
    result->result = StartStream(*event);
  }
  CountPost(result->result);
}

void Core::CountPost(int32_t result) {
  int index = CORE_STATS_POST_NO_MEMORY;
  if (result == POST_OK) {
    index = CORE_STATS_POST_OK;
  } else if (result == POST_NO_STREAM) {
    index = CORE_STATS_POST_NO_STREAM;
  } else if (result == POST_THROTTLED) {
    index = CORE_STATS_POST_THROTTLED;
  }
  posts[index].fetch_add(1, std::memory_order_relaxed);
}

// Any thread. Copies the payload once, waits for the stream's gate if the
// record travels on a stream (with no lock held), then queues the record.
// The record itself is copied once, into its place in the queue; the fields
// the Core acts on are read from the poster's record once, here, and written
// over the copy, so what is queued agrees with what was decided.
int32_t Core::PostOrdinary(const EventRecord& event) {
  uint32_t streamId = event.stream;
  if ((event.flags & EVENT_FLAG_METERED) != 0 && (event.type & TYPE_CLASS_METERED) != 0 &&
      throttling.load(std::memory_order_relaxed)) {
    return POST_THROTTLED;
  }
  void* payload = nullptr;
  uint32_t payloadSize = event.payloadSize;
  if (event.payload != nullptr && payloadSize != 0) {
    payload = NewCopy(payloadSize);
    if (payload == nullptr) return POST_NO_MEMORY;
    CopyPayload(payload, event.payload, payloadSize);
    PayloadLedger::Copied(payload);  // freed by delivery, a release, or a refusal below
  } else {
    payloadSize = 0;
  }
  Stream* stream = nullptr;
  if (streamId != 0) {
    stream = streamTable.Join(streamId);
    if (stream == nullptr) {
      FreeCopy(payload);
      return POST_NO_STREAM;
    }
    if (!TakeGate(stream)) {  // the stream's previous payload must be gone
      streamTable.Leave(stream);
      FreeCopy(payload);
      return POST_NO_MEMORY;
    }
    if (!streamTable.Occupy(stream, payload)) {
      FreeCopy(payload);
      return POST_NO_STREAM;
    }
  }
  PostDecision decided{payload, payloadSize, event.source, streamId, stream};
  AppendResult appended = Append(event, decided);
  if (appended == AppendResult::kQueued) return POST_OK;
  if (appended == AppendResult::kFull) refusedPosts.fetch_add(1, std::memory_order_relaxed);
  FreePayload(payload, payloadSize, stream);  // opens the gate this post took
  return POST_NO_MEMORY;
}

// Any thread. Waits for the stream's gate; false, without waiting, where
// the wait could never end: on the delivery thread, a gate held by a record
// still to be delivered opens only when this very thread has delivered it.
// A gate held by a payload that plug-ins keep may be opened by a release
// from another thread, so that one is waited for.
bool Core::TakeGate(Stream* stream) {
  if (stream->gate.trywait()) return true;
  if (onDeliveryThread && !streamTable.HeldByKeeper(stream)) return false;
  postersWaiting.fetch_add(1, std::memory_order_relaxed);
  stream->gate.wait();
  postersWaiting.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

// Whether the queue takes one more record. A post beyond the bound is
// refused at once rather than made to wait: a poster holding a lock that its
// own Write takes would otherwise wait for a delivery that waits for it. The
// delivery thread's own posts (a plug-in relaying what it is handed) get up
// to as much again beyond the bound, so a relay loses nothing while others
// fill the queue, yet a plug-in that posts several events for each it gets
// cannot grow the queue without end; so do the Core's own few notices, which
// must not be lost to a flood. A record always fits an empty queue.
bool Core::Admits(uint64_t cost, uint32_t source) {
  uint64_t records = queue.size();
  uint64_t bytes = queuedBytes + cost;
  if (records < queueLimits.maxRecords && bytes <= queueLimits.maxBytes) return true;
  if (records == 0) return true;
  return (onDeliveryThread || source == SOURCE_CORE) &&
         records < 2 * queueLimits.maxRecords && bytes <= 2 * queueLimits.maxBytes;
}

// Any thread. Appends under queueLock and wakes the event handler, unless the
// queue is full or closed (the caller refuses the post); a poster on the CPU
// of an awake handler hands the CPU over at the end of its turn. The record queued is
// the poster's, with the fields `decided` holds (payload, payloadSize,
// source, stream) in their place.
Core::AppendResult Core::Append(const EventRecord& event, const PostDecision& decided) {
  pt::trigger* wake = nullptr;
  uint64_t cost = QueuedCost(decided.payloadSize);
  int cpu = sched_getcpu();
  bool yieldTurn = false;
  {
    ScopedLock hold(&queueLock);
    if (queueState == QueueState::kClosed) return AppendResult::kClosed;
    if (!Admits(cost, decided.source)) return AppendResult::kFull;
    QueuedEvent* slot = queue.Append(cost);
    if (slot == nullptr) return AppendResult::kNoMemory;
    memcpy(&slot->record, &event, sizeof(EventRecord));
    slot->record.payloadSize = decided.payloadSize;
    slot->record.payload = decided.payload;
    slot->record.source = decided.source;
    slot->record.stream = decided.streamId;
    slot->stream = decided.stream;
    // A slot's lines were last read by the handler, on its CPU, when the
    // chunk went round before, and a poster on another CPU that writes them
    // waits for them, holding this lock. The lines of the slot after next
    // are asked for now: they are here by the time its post comes.
    if (cpu != handlerCpu) PrefetchForWriting(queue.SlotAhead(1), sizeof(QueuedEvent));
    queuedBytes += cost;
    uint64_t depth = queue.size();
    if (depth > queueHighWater.load(std::memory_order_relaxed)) {
      queueHighWater.store(depth, std::memory_order_relaxed);
    }
    Bump(bytesCopied, decided.payloadSize);
    Bump(postsQueued);
    lastPosterCpu.store(cpu, std::memory_order_relaxed);
    lastPostOnStream.store(decided.stream != nullptr, std::memory_order_relaxed);
    // An awake handler last seen on this CPU waits for it while this poster
    // runs: at the end of a turn, hand the CPU over.
    yieldTurn = cpu >= 0 && cpu == handlerCpu && !handlerAsleep && !onDeliveryThread &&
                EndsTurn(depth, queuedBytes - cost, queuedBytes);
    // The handler only waits after finding the queue empty under this lock;
    // until then it is busy and looks again before it waits.
    if (handlerAsleep) {
      handlerAsleep = false;
      wake = wakeTrigger;
    }
  }
  // Posted with the lock let go, so that the handler it wakes does not find
  // queueLock still held and sleep again; triggerStorage outlives the post.
  if (wake != nullptr) wake->post();
  if (yieldTurn) sched_yield();
  return AppendResult::kQueued;
}

void Core::ReportRefusedPosts() {
  uint64_t refused = refusedPosts.exchange(0, std::memory_order_relaxed);
  if (refused == 0) return;
  QueueLimits limits;
  {
    ScopedLock hold(&queueLock);
    limits = queueLimits;
  }
  wxLogWarning(kQueueFullMessage, static_cast<unsigned long long>(limits.maxRecords),
               static_cast<unsigned long long>(limits.maxBytes),
               static_cast<unsigned long long>(refused));
}

void Core::WakeHandler() {
  pt::trigger* wake;
  {
    ScopedLock hold(&queueLock);
    wake = wakeTrigger;
  }
  if (wake != nullptr) wake->post();  // triggerStorage outlives the post
}

// Any thread. A release naming a payload nobody holds frees nothing and opens
// no gate. The payload's stream is looked up before the free: a look-up by
// address after it could also find another poster's new copy, made at the
// same address meanwhile and in flight on another stream, and open that
// stream's gate with its payload still on the way.
void Core::PostRelease(const EventRecord& event) {
  if (payloadRefs.Release(event.payload, event.source) == PayloadRefs::ReleaseOutcome::kLastGone) {
    Stream* stream = streamTable.Unclaim(event.payload);
    FreeCopy(event.payload);
    // After the free: a stream never has two payloads alive.
    if (stream != nullptr) streamTable.Open(stream);
  }
  WakeHandler();
}

// Any thread. Creates or reopens the stream, waits until its gate is free,
// then hands the request to the matching producers.
int32_t Core::StartStream(const EventRecord& event) {
  Stream* stream = streamTable.Prepare(event.stream);
  if (!TakeGate(stream)) {
    streamTable.Leave(stream);
    return POST_NO_MEMORY;
  }
  streamTable.Reopen(stream);
  DispatchStreamStart(event);
  WakeHandler();
  return POST_OK;
}

// The address is taken as an integer before the free and only compared
// after it; the compiler cannot tell that from a use of the freed pointer.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif

// The payload copy of a record is gone for good: free it, then let the
// stream's next payload through, so that a stream never has two payloads
// alive at once.
void Core::FreePayload(void* payload, uint32_t size, Stream* stream) {
  uintptr_t address = reinterpret_cast<uintptr_t>(payload);
  PayloadLedger::Freed(payload);
  // A large block becomes the spare, and the one it replaces is freed.
  if (kRecycleBlocks && size >= kSpareBlockFrom && size <= kSpareBlockUpTo) {
    payload = spareBlock.exchange(payload, std::memory_order_acq_rel);
  }
  free(payload);
  if (stream != nullptr) streamTable.Vacate(stream, address);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void Core::FreeCopy(void* payload) {
  PayloadLedger::Freed(payload);
  free(payload);
}

void* Core::NewCopy(uint32_t size) {
  if (kRecycleBlocks && size >= kSpareBlockFrom) {
    void* block = spareBlock.exchange(nullptr, std::memory_order_acquire);
    if (block != nullptr) {
      // Taken when it holds the copy and would not waste more than half.
      size_t capacity = malloc_usable_size(block);
      if (capacity >= size && size >= capacity / 2) return block;
      free(block);
    }
  }
  return malloc(size);
}

void Core::DropSpareBlock() { free(spareBlock.exchange(nullptr, std::memory_order_acquire)); }

void Core::PostText(const std::string& text) {
  noticesPosted.fetch_add(1, std::memory_order_relaxed);
  PostFromCore(text, TEXT_NOTICE_FLAGS, TYPE_TEXT_NOTICE);  // the outcome of a notice is not looked at
}

void Core::PostFromCore(const std::string& text, uint32_t flags, uint32_t type) {
  auto record = MakePluginBlock<EventRecord>();
  record.payloadSize = static_cast<uint32_t>(text.size());
  record.payload = const_cast<char*>(text.data());  // copied by the post; no terminating zero
  record.source = SOURCE_CORE;
  record.stream = 0;
  record.flags = flags;
  record.type = type;
  auto result = MakePluginBlock<EventResult>();
  Post(&record, &result);
}
