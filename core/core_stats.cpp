// The Core's statistics: the exported OmbrevardReadCoreStats and the one
// running Core it reads.
#include <sched.h>
#include <string.h>

#include <algorithm>

#include "core/core.h"

namespace {

// The header's size and version, and the uptime: what a caller must at
// least have room for.
constexpr uint32_t kSmallestBlock = 16;

// The Core the statistics call reads: set from Start to the end of Stop.
// Readers count themselves in before they look, so that CloseStats can wait
// until none is left inside the Core it takes away.
std::atomic<Core*> readable{nullptr};
std::atomic<int> readers{0};

uint64_t Load(const std::atomic<uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

// Copies the first `size` bytes of `full` past the header into `block`,
// and tells the caller how many bytes that was.
template <typename Block>
void FillBlock(const Block& full, void* block) {
  uint32_t size;
  memcpy(&size, block, sizeof(size));
  size = std::min<uint32_t>(size, sizeof(Block));
  memcpy(static_cast<uint8_t*>(block) + 8, reinterpret_cast<const uint8_t*>(&full) + 8, size - 8);
  memcpy(block, &size, sizeof(size));
}

}  // namespace

extern "C" PLUGIN_EXPORT int32_t OmbrevardReadCoreStats(CoreStats* stats,
                                                        CorePluginStats* plugins,
                                                        uint32_t capacity) {
  if (stats == nullptr || stats->size < kSmallestBlock) return -1;
  if (plugins != nullptr && capacity > 0 && plugins->size < kSmallestBlock) return -1;
  readers.fetch_add(1);
  Core* core = readable.load();
  int32_t filled = core != nullptr ? core->ReadStats(stats, plugins, capacity) : -1;
  readers.fetch_sub(1);
  return filled;
}

void Core::OpenStats() {
  Core* none = nullptr;
  readable.compare_exchange_strong(none, this);  // one Core at a time is read
}

void Core::CloseStats() {
  Core* self = this;
  if (!readable.compare_exchange_strong(self, nullptr)) return;
  // A reader that found this Core is a few microseconds from leaving it.
  while (readers.load() != 0) sched_yield();
}

int32_t Core::ReadStats(CoreStats* stats, CorePluginStats* pluginStats, uint32_t capacity) {
  CoreStats full = MakePluginBlock<CoreStats>();
  full.uptimeMs = static_cast<uint64_t>(MonotonicMilliseconds() - startedAt.load());
  for (int i = 0; i < CORE_STATS_POST_RESULTS; i++) full.posts[i] = Load(posts[i]);
  // Taken first: it never passes queued, so the difference never goes below 0.
  uint64_t taken = Load(queueTaken);
  uint64_t queued = Load(postsQueued);
  full.posts[CORE_STATS_POST_OK] += queued;
  full.bytesCopied = Load(bytesCopied);
  full.queueDepth = queued > taken ? queued - taken : 0;
  full.queueHighWater = Load(queueHighWater);
  full.streamsOpen = streamTable.OpenCount();
  full.payloadsInFlight = streamTable.InFlightCount();
  full.postersWaiting = Load(postersWaiting);
  full.throttledMs = Load(throttledMs);
  full.noticesPosted = Load(noticesPosted);
  full.memoryBytes = Load(memoryBytes);
  full.throttling = throttling.load(std::memory_order_relaxed) ? 1 : 0;

  // Elements are as large as the caller's header says, which may differ
  // from ours.
  uint32_t stride = pluginStats != nullptr ? pluginStats->size : 0;
  int32_t filled = 0;
  {
    ScopedLock hold(&pluginsLock);
    for (const PluginRecord& record : plugins) {
      if (record.library == nullptr) continue;
      const PluginCounters& counters = record.calls->counters;
      full.pluginCount++;
      full.readThreads += static_cast<uint64_t>(counters.reads.load(std::memory_order_relaxed));
      if (pluginStats == nullptr || static_cast<uint32_t>(filled) >= capacity) continue;
      CorePluginStats one = MakePluginBlock<CorePluginStats>();
      strncpy(one.file, record.fileNameBytes.c_str(), sizeof(one.file) - 1);
      one.id = record.descriptor.id;
      one.openCode = record.openCode;
      one.loadUs = static_cast<uint64_t>(record.loadMicros);
      one.openUs = static_cast<uint64_t>(record.openMicros);
      one.writes = __atomic_load_n(&record.writes, __ATOMIC_RELAXED);
      one.ioctls = __atomic_load_n(&record.ioctls, __ATOMIC_RELAXED);
      one.payloadsKept = Load(counters.payloadsKept);
      one.bytesKept = Load(counters.bytesKept);
      one.stalls = Load(counters.stalls);
      void* element = reinterpret_cast<uint8_t*>(pluginStats) + static_cast<size_t>(filled) * stride;
      memcpy(element, &stride, sizeof(stride));
      FillBlock(one, element);
      filled++;
    }
  }
  FillBlock(full, stats);
  return filled;
}
