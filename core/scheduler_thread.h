// SchedulerThread: the Core's housekeeping thread. Joinable; owned by the
// Core, which stops it with signal() and a poll of finished(). It starts the
// plug-ins' read threads, then ticks every 100 ms to watch the delivery
// thread for stalls, the wall clock and (at most once a second) the heap. Once a second it also reports posts
// refused for a full queue, and, when nothing has been queued for a second
// and the queue is empty, hands the heap's free pages back to the system: resident memory a burst
// left behind would otherwise stay with the process (and make every later
// wake-up dearer).
#ifndef CORE_SCHEDULER_THREAD_H_
#define CORE_SCHEDULER_THREAD_H_

#include <stdint.h>

#include "threads/thread.h"

class Core;

// The allocator's count of bytes in use; false when it cannot tell.
bool ReadAllocatedBytes(uint64_t* allocatedBytes);

// Hands the pages the allocator holds free back to the system, when there
// are at least kReleaseFreeAbove bytes of them; the bytes given back, 0 when
// nothing was done (or the allocator cannot tell).
uint64_t ReleaseFreeHeap();
constexpr uint64_t kReleaseFreeAbove = 8u << 20;

class SchedulerThread : public pt::thread {
 public:
  explicit SchedulerThread(Core* owner) : pt::thread(false), core(owner) {}
  ~SchedulerThread() override;

 protected:
  void execute() override;

 private:
  Core* core;  // borrowed; outlives the thread
};

#endif  // CORE_SCHEDULER_THREAD_H_
