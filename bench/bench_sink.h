// BenchSink: what a benchmark sink does with each event it is handed.
//
// The same code runs on both sides of every comparison: inside the bench_node
// plug-in's Write (called by the Core's event handler) and inside the
// reference bus's consumer (called through a function pointer). It touches one
// byte of the payload, counts the event, optionally records the event's
// latency from the send time stamped in its body, and wakes a waiting
// benchmark thread when the count reaches the target. The benchmark can ask
// for the delivering thread to be placed on one CPU; the sink moves the thread
// that delivers to it, whichever side's thread that is.
//
// Threads: BenchSinkDeliver runs on one delivering thread at a time;
// BenchSinkWait on any other thread; BenchSinkReset and BenchSinkRaiseTarget
// only while nothing is being delivered to the sink.
#ifndef BENCH_BENCH_SINK_H_
#define BENCH_BENCH_SINK_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

// Monotonic clock in nanoseconds.
int64_t NowNanoseconds();

// Bytes of an event body that carry the send time (nanoseconds, host order).
constexpr size_t kStampBytes = sizeof(int64_t);

struct BenchSink {
  BenchSink() = default;
  BenchSink(const BenchSink&) = delete;
  BenchSink& operator=(const BenchSink&) = delete;

  // Written by the delivering thread only, read by the waiter.
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> target{0};
  std::atomic<int64_t> reachedAt{0};  // NowNanoseconds() when received reached target
  uint64_t touched = 0;               // delivering thread only: keeps the payload reads alive
  // Borrowed; outlives the run. One latency (ns) per event while received
  // is below latencyCapacity; null when latencies are not wanted.
  int64_t* latencies = nullptr;
  size_t latencyCapacity = 0;
  // The CPU the delivering thread is to run on, or -1 for any; set by the
  // benchmark while nothing is delivered, applied by the next delivery.
  std::atomic<int> deliveryCpu{-1};
  int pinnedCpu = -1;  // delivering thread only: the placement applied last
  // Busy time spent on each event, as a sink doing real work would; set by
  // the benchmark while nothing is delivered.
  std::atomic<int64_t> workNanoseconds{0};
  std::mutex mutex;    // pairs with `reached` for the waiter
  std::condition_variable reached;
};

// Only while nothing is delivered to the sink.
void BenchSinkReset(BenchSink* sink, uint64_t target, int64_t* latencies, size_t latencyCapacity);

// Only while nothing is delivered to the sink: wake the waiter when the count
// (not reset) reaches `target`.
void BenchSinkRaiseTarget(BenchSink* sink, uint64_t target);

// The delivering thread. `body` holds the send stamp when latencies are kept.
void BenchSinkDeliver(BenchSink* sink, const void* payload, uint32_t payloadSize,
                      const uint8_t* body);

// Any thread but the delivering one: true once received >= target, false after
// timeoutMilliseconds.
bool BenchSinkWait(BenchSink* sink, int timeoutMilliseconds);

// Moves the calling thread onto `cpu`, or lets it run anywhere for -1.
void PinCallingThread(int cpu);

typedef void (*SinkFunction)(BenchSink* sink, const void* payload, uint32_t payloadSize,
                             const uint8_t* body);

#endif  // BENCH_BENCH_SINK_H_
