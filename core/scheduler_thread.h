// SchedulerThread: the Core's housekeeping thread. Joinable; owned by the
// Core, which stops it with signal() and a poll of finished(). It starts the
// plug-ins' read threads, then ticks every 100 ms to watch the wall clock and
// (at most once a second) the heap.
#ifndef CORE_SCHEDULER_THREAD_H_
#define CORE_SCHEDULER_THREAD_H_

#include <stdint.h>

#include "threads/thread.h"

class Core;

// The allocator's count of bytes in use; false when it cannot tell.
bool ReadAllocatedBytes(uint64_t* allocatedBytes);

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
