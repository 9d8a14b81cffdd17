#include "bench/bench_sink.h"

#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

int64_t NowNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void BenchSinkReset(BenchSink* sink, uint64_t target, int64_t* latencies, size_t latencyCapacity) {
  std::lock_guard<std::mutex> hold(sink->mutex);
  sink->received.store(0);
  sink->target.store(target);
  sink->reachedAt.store(0);
  sink->latencies = latencies;
  sink->latencyCapacity = latencyCapacity;
}

void BenchSinkRaiseTarget(BenchSink* sink, uint64_t target) {
  std::lock_guard<std::mutex> hold(sink->mutex);
  sink->target.store(target);
  sink->reachedAt.store(0);
}

void PinCallingThread(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (cpu >= 0) {
    CPU_SET(cpu, &set);
  } else if (sched_getaffinity(getpid(), sizeof(set), &set) != 0) {
    return;  // the main thread's placement, which nobody changes
  }
  (void)pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

void BenchSinkDeliver(BenchSink* sink, const void* payload, uint32_t payloadSize,
                      const uint8_t* body) {
  int cpu = sink->deliveryCpu.load(std::memory_order_relaxed);
  if (cpu != sink->pinnedCpu) {
    PinCallingThread(cpu);
    sink->pinnedCpu = cpu;
  }
  // A real sink reads what it is given; the last byte is the one the copy
  // wrote last.
  if (payload != nullptr && payloadSize != 0) {
    sink->touched += static_cast<const uint8_t*>(payload)[payloadSize - 1];
  }
  int64_t work = sink->workNanoseconds.load(std::memory_order_relaxed);
  if (work > 0) {
    int64_t until = NowNanoseconds() + work;
    while (NowNanoseconds() < until) {
    }
  }
  uint64_t count = sink->received.load(std::memory_order_relaxed) + 1;
  if (sink->latencies != nullptr && count <= sink->latencyCapacity) {
    int64_t sent;
    memcpy(&sent, body, sizeof(sent));
    sink->latencies[count - 1] = NowNanoseconds() - sent;
  }
  bool last = count == sink->target.load(std::memory_order_relaxed);
  // The arrival time goes first: a waiter that sees the count (its wait can
  // end on the count alone) must find the time of this very arrival.
  if (last) sink->reachedAt.store(NowNanoseconds());
  sink->received.store(count, std::memory_order_release);
  if (last) {
    // Taking the mutex orders this wake-up after the waiter's last look at
    // `received`, so it cannot be lost.
    { std::lock_guard<std::mutex> hold(sink->mutex); }
    sink->reached.notify_all();
  }
}

bool BenchSinkWait(BenchSink* sink, int timeoutMilliseconds) {
  std::unique_lock<std::mutex> hold(sink->mutex);
  return sink->reached.wait_for(hold, std::chrono::milliseconds(timeoutMilliseconds), [sink] {
    return sink->received.load(std::memory_order_acquire) >= sink->target.load();
  });
}
