// The bench_node plug-in: the one plug-in library the benchmark loads, as a
// sink, a producer or an idle bystander.
//
// The benchmark copies the library into a scratch "plugins" folder under as
// many names as it needs, opens each copy itself (dlopen of the same path
// gives the very instance the Core loads) and configures it through the
// exported "BenchNodeInstance" before the Core starts. A copy nobody
// configured loads as an idle plug-in whose id comes from the digits of its
// file name, so that a hundred copies can be loaded without being opened by
// the benchmark first.
//
// As a sink (eventSink set) its Write hands each event to a BenchSink, and
// keeps the payload when told to. As a
// producer (readThread set) its Read, called for a stream start request whose
// payload is a StreamOrder, posts the ordered batches of payloads on the
// stream through the PostEvent it was handed at Load, each batch once the
// benchmark has granted it on the node's BatchGate.
//
// Threads: configure before Core::Start; the sink is read as BenchSink says;
// everything else is written at Load and read-only afterwards.
#ifndef BENCH_BENCH_NODE_H_
#define BENCH_BENCH_NODE_H_

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "bench/batch_gate.h"
#include "bench/bench_sink.h"
#include "core/plugin_api.h"

// Ids of unconfigured copies: this base plus the number in the file name.
constexpr uint32_t kIdleNodeIdBase = 0x00B00000u;

// The payload of a stream start request for a bench_node producer: post
// `batches` batches of `count` payloads of `size` bytes, copied from `source`
// (borrowed; outlives the stream), with the given flags and type, from a
// thread on `cpu` (-1: any).
struct StreamOrder {
  uint32_t count;
  uint32_t batches;
  uint32_t size;
  const void* source;
  uint32_t flags;
  uint32_t type;
  int32_t cpu;
};

struct BenchNode {
  std::atomic<bool> configured{false};    // set by the benchmark before Start
  PluginDescriptor descriptor{};          // copied into Load's reply when configured
  PostEventFunction post = nullptr;       // filled at Load
  std::atomic<uint32_t> refusedPosts{0};  // producer posts not answered POST_OK
  BatchGate batches;                      // reset by the benchmark before each order
  BenchSink sink;
  // As a sink: keep every payload, noting it in `kept` for the benchmark to
  // release.
  std::atomic<bool> keep{false};
  std::mutex keptLock;
  std::vector<const void*> kept;  // guarded by keptLock
};

typedef BenchNode* (*BenchNodeInstanceFunction)();

#endif  // BENCH_BENCH_NODE_H_
