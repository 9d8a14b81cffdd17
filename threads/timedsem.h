// pt::timedsem: a counting semaphore made of a mutex, a condition variable
// and a counter, whose wait takes a time-out in milliseconds. Every pt::thread
// owns one as its wake-up semaphore. Safe from any thread.
//
// A time-out is elapsed time, measured on the monotonic clock: setting the
// system clock, by hand or by NTP, neither lengthens nor shortens a wait. The
// deadline is taken afresh on every pass of the wait, so a waiter woken
// without finding a unit starts a new full time-out.
#ifndef THREADS_TIMEDSEM_H_
#define THREADS_TIMEDSEM_H_

#include <pthread.h>

#include "threads/pt.h"

namespace pt {

class timedsem : public unknown {
 public:
  explicit timedsem(int initvalue);
  ~timedsem() override;
  timedsem(const timedsem&) = delete;
  timedsem& operator=(const timedsem&) = delete;

  // Takes one unit: true. Time-out: false. A negative time-out waits without
  // limit; 0 polls.
  bool wait(int timeout);
  void post();

 private:
  int count_;  // guarded by mutex_
  pthread_mutex_t mutex_;
  pthread_cond_t condition_;  // timed against CLOCK_MONOTONIC
};

}  // namespace pt

#endif  // THREADS_TIMEDSEM_H_
