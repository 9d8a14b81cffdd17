// The bench_node plug-in (see bench_node.h). Exports Load, Read and Write;
// the Core finds no other entry point and calls no other.
#include "bench/bench_node.h"

#include <dlfcn.h>
#include <string.h>

namespace {

BenchNode node;

// The number in the library's own file name ("idle_042.so" gives 42).
uint32_t NumberInFileName() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&NumberInFileName), &info) == 0 || info.dli_fname == nullptr) {
    return 0;
  }
  const char* name = strrchr(info.dli_fname, '/');
  name = name != nullptr ? name + 1 : info.dli_fname;
  uint32_t number = 0;
  for (const char* c = name; *c != '\0' && *c != '.'; c++) {
    if (*c >= '0' && *c <= '9') number = number * 10 + static_cast<uint32_t>(*c - '0');
  }
  return number;
}

}  // namespace

extern "C" {

PLUGIN_EXPORT BenchNode* BenchNodeInstance() { return &node; }

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  const LoadRequest* load = static_cast<const LoadRequest*>(request);
  PluginDescriptor* descriptor = static_cast<PluginDescriptor*>(reply);
  node.post = load->postEvent;
  if (node.configured.load()) {
    uint32_t size = descriptor->size, version = descriptor->version;
    *descriptor = node.descriptor;
    descriptor->size = size;
    descriptor->version = version;
  } else {
    descriptor->id = kIdleNodeIdBase + NumberInFileName();
  }
  return 0;
}

// A thread of its own per call. The scheduler's call at start carries no
// order and returns at once; a stream start request carries a StreamOrder.
PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  (void)reply;
  const ReadRequest* read = static_cast<const ReadRequest*>(request);
  if (read->stream == 0 || read->payload == nullptr || read->payloadSize != sizeof(StreamOrder)) {
    return 0;
  }
  StreamOrder order;
  memcpy(&order, read->payload, sizeof(order));
  if (order.cpu >= 0) PinCallingThread(order.cpu);  // the Core's thread for this call alone
  auto record = MakePluginBlock<EventRecord>();
  record.payloadSize = order.size;
  record.payload = const_cast<void*>(order.source);
  record.source = node.descriptor.id;
  record.stream = read->stream;
  record.flags = order.flags;
  record.type = order.type;
  auto result = MakePluginBlock<EventResult>();
  for (uint32_t batch = 0; batch < order.batches; batch++) {
    node.batches.WaitForBatch(batch);
    for (uint32_t i = 0; i < order.count; i++) {
      node.post(&record, &result);
      if (result.result != POST_OK) {
        node.refusedPosts.fetch_add(1);
        return 0;
      }
    }
  }
  return 0;
}

// The event handler thread. Keeps the payload only when told to.
PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* write = static_cast<const WriteRequest*>(request);
  if (node.keep.load(std::memory_order_relaxed) && write->payload != nullptr) {
    std::lock_guard<std::mutex> hold(node.keptLock);
    node.kept.push_back(write->payload);
    static_cast<WriteReply*>(reply)->keep = 1;
  }
  BenchSinkDeliver(&node.sink, write->payload, write->payloadSize, write->body);
  return 0;
}

}  // extern "C"
