// CoreInspector: what tests, the fuzzer and the benchmark may look at inside
// a running Core. The Core names this class its friend; nothing else reads
// its private state. Each call takes the lock that guards what it reads, so
// it is safe from any thread.
#ifndef TESTS_SUPPORT_CORE_INTERNALS_H_
#define TESTS_SUPPORT_CORE_INTERNALS_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "core/core.h"

class CoreInspector {
 public:
  explicit CoreInspector(Core* core) : core_(core) {}

  // Read on the main thread only, while no plug-in is loaded or unloaded.
  const std::vector<PluginRecord>& Plugins() { return core_->plugins; }
  size_t PluginCount() { return core_->plugins.size(); }
  size_t QueueSize() {
    ScopedLock hold(&core_->queueLock);
    return core_->queue.size();
  }
  bool HasWakeTrigger() {
    ScopedLock hold(&core_->queueLock);
    return core_->wakeTrigger != nullptr;
  }
  bool HasEventHandler() { return core_->eventHandler != nullptr; }
  bool HasScheduler() { return core_->scheduler != nullptr; }
  size_t HeldPayloads() { return core_->payloadRefs.HeldCount(); }
  bool StreamExists(uint32_t handle) { return core_->streamTable.Exists(handle); }
  size_t StreamCount() { return core_->streamTable.Count(); }
  void SetThrottling(bool on) { core_->throttling.store(on); }
  int32_t LowSince() { return core_->lowSince; }
  bool RecyclesBlocks() { return Core::kRecycleBlocks; }
  bool HasSpareBlock() { return core_->spareBlock.load() != nullptr; }
  bool LoadPlugins() { return core_->LoadPlugins(); }

 private:
  Core* core_;  // borrowed; outlives the inspector
};

#endif  // TESTS_SUPPORT_CORE_INTERNALS_H_
