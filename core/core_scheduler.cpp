// The scheduler's decisions: clock jumps, the memory ceiling and throttling.
#include <stdio.h>
#include <time.h>

#include "core/core.h"

const char kClockChangedNotice[] = "system time changed by %d seconds";
const char kMemoryLowNotice[] = "available system memory is low, throttling video";
const char kMemoryOkNotice[] = "available system memory ok, not throttling video";

namespace {

// The heap ceilings: a machine with more than 3 GiB gets 3 GiB, one with more
// than 2 GiB (or one whose memory cannot be read) gets 2 GiB, a smaller one
// all it has.
constexpr uint32_t kCeilingSmall = 0x80000000u;  // 2 GiB
constexpr uint32_t kCeilingLarge = 0xC0000000u;  // 3 GiB

// Throttling is announced as over once this many seconds have passed since
// the last low reading.
constexpr int32_t kMemoryOkAfterSeconds = 60;

}  // namespace

uint32_t Core::MemoryCeiling(bool sysinfoOk, uint64_t totalBytes) {
  if (!sysinfoOk) return kCeilingSmall;
  if (totalBytes > kCeilingLarge) return kCeilingLarge;
  if (totalBytes > kCeilingSmall) return kCeilingSmall;
  return static_cast<uint32_t>(totalBytes);
}

int Core::ClockDifference(time_t previous, time_t now) {
  return static_cast<int>(difftime(now, previous));
}

void Core::SchedulerTick(SchedulerState* state, time_t now, HeapReader readHeap) {
  if (state->previous != 0) {
    int seconds = ClockDifference(state->previous, now);
    if (seconds > 1 || seconds < -1) {
      char text[64];
      snprintf(text, sizeof(text), kClockChangedNotice, seconds);
      PostText(text);
    }
  }
  // At most once per second of wall-clock time, and on the first tick.
  if (now != state->previous) {
    uint64_t allocated = 0;
    if (readHeap(&allocated)) {
      memoryBytes.store(allocated, std::memory_order_relaxed);
      UpdateThrottling(static_cast<uint64_t>(state->memoryLimit) < allocated,
                       static_cast<int32_t>(now));
    }
  }
  state->previous = now;
}

void Core::UpdateThrottling(bool low, int32_t now) {
  // The time spent throttling grows at each reading while it lasts.
  int64_t elapsed = MonotonicMilliseconds();
  if (throttledSince != 0) Bump(throttledMs, static_cast<uint64_t>(elapsed - throttledSince));
  throttledSince = low ? elapsed : 0;
  throttling.store(low, std::memory_order_relaxed);
  if (low) {
    if (lowSince == 0) PostText(kMemoryLowNotice);
    lowSince = now;
  } else if (lowSince != 0 && now - lowSince >= kMemoryOkAfterSeconds) {
    PostText(kMemoryOkNotice);
    lowSince = 0;
  }
}
