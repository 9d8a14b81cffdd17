// PluginThread: one plug-in call (Read, or IOCTL code 1) on a thread of its
// own.
//
// Always autofree: the object deletes itself when the call has ended, and the
// Core keeps no handle to it. The creator's request and reply areas and the
// request's payload are copied before Launch returns, so the creator may
// release its own memory at once. Each running call is counted on its
// plug-in's PluginCalls, so that the Core never closes a library while one of
// its entry points still runs here.
#ifndef CORE_PLUGIN_THREAD_H_
#define CORE_PLUGIN_THREAD_H_

#include <stdint.h>

#include <atomic>

#include "core/plugin_api.h"
#include "core/plugin_counters.h"
#include "threads/thread.h"

class Core;

// Calls of one plug-in that run on threads of their own, and its counters.
// Owned by its PluginRecord; outlives every call it counts.
struct PluginCalls {
  std::atomic<int> running{0};
  PluginCounters counters;
  // Set and read under the Core's pluginsLock (a lock of another object,
  // which the analysis cannot name here): once set, no new call starts.
  std::atomic<bool> closing{false};
};

// Each area is a 12-byte envelope {area size, version 1, entry number}, then
// the block. Where pointers are 8 bytes wide the block starts on the next
// 8-byte boundary, so that its pointer fields are aligned for the plug-in.
constexpr uint32_t kEnvelopeSize = 12;
constexpr uint32_t kBlockOffset =
    (kEnvelopeSize + alignof(void*) - 1) & ~static_cast<uint32_t>(alignof(void*) - 1);
constexpr uint32_t kRequestAreaSize = kBlockOffset + sizeof(WriteRequest);
constexpr uint32_t kReplyAreaSize = kBlockOffset + sizeof(PluginDescriptor);

class PluginThread : public pt::thread {
 public:
  // Builds both areas around the given blocks (entry: ENTRY_READ or
  // ENTRY_IOCTL), takes a private copy of a Read payload, counts the call on
  // `calls` and starts the thread. Returns false, and makes no call, when the
  // payload copy could not be allocated. Any thread.
  static bool Launch(Core* core, PluginEntry entry, uint32_t entryNumber, const void* request,
                     uint32_t requestSize, const void* reply, uint32_t replySize,
                     PluginCalls* calls);

 private:
  PluginThread(Core* owner, PluginEntry call, const uint8_t* request, const uint8_t* reply,
               PluginCalls* counter);
  ~PluginThread() override;

  void execute() override;
  void cleanup() override;

  [[maybe_unused]] Core* core;  // borrowed; the Core that made the call, not used by it
  PluginEntry entry;
  alignas(8) uint8_t requestArea[kRequestAreaSize];
  alignas(8) uint8_t replyArea[kReplyAreaSize];
  void* privatePayload;  // owned; malloc'd copy of a Read payload, or null
  bool ready;            // false when the payload copy failed
  bool isRead;           // a Read call, counted in calls->counters.reads
  PluginCalls* calls;    // borrowed; outlives the call
};

#endif  // CORE_PLUGIN_THREAD_H_
