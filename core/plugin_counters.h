// PluginCounters: what the Core counts for one loaded plug-in, for the
// statistics call (OmbrevardReadCoreStats).
//
// One block per plug-in, shared by every copy of its PluginRecord (inside its
// PluginCalls) and freed with it; the counts of events delivered, which the
// delivery thread adds to on every call, sit in the PluginRecord itself, in
// the line delivery reads anyway. Each counter has one writer, or one lock
// its writers all hold, so a count goes up by a relaxed load and store
// (Bump), not by a locked read-modify-write: the delivery thread pays a plain
// store per call. Readers on any thread load them relaxed and may see two
// counters a few events apart.
#ifndef CORE_PLUGIN_COUNTERS_H_
#define CORE_PLUGIN_COUNTERS_H_

#include <stdint.h>

#include <atomic>

struct PluginCounters {
  std::atomic<uint64_t> payloadsKept{0};  // under PayloadRefs' lock
  std::atomic<uint64_t> bytesKept{0};     // under PayloadRefs' lock
  std::atomic<uint64_t> stalls{0};        // scheduler thread only
  std::atomic<int> reads{0};              // Read calls running; any thread, by fetch_add
};

// Adds to a counter that only the calling thread writes, or that every
// writer changes under one lock it holds now.
inline void Bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

#endif  // CORE_PLUGIN_COUNTERS_H_
