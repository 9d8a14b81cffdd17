// pt::trigger: an event object, auto-reset (each post lets one waiter through,
// which clears it) or manual-reset (a post lets every waiter through until
// reset). Its state is a flag, not a count: posts that come while nobody waits
// merge into one. The Core wakes its event handler with an auto-reset one.
// Safe from any thread; a trigger must outlive every post() in progress,
// since the waiter a post wakes may return before the post does.
//
// The flag is an atomic word and sleepers block on a process-private POSIX
// semaphore, so a post that finds nobody asleep costs one atomic exchange and
// a wake-up one semaphore post; a condition variable with its mutex costs a
// microsecond more per wake-up on the Core's path.
#ifndef THREADS_TRIGGER_H_
#define THREADS_TRIGGER_H_

#include <semaphore.h>

#include <atomic>

namespace pt {

class trigger {
 public:
  trigger(bool autoreset, bool state);
  ~trigger();
  trigger(const trigger&) = delete;
  trigger& operator=(const trigger&) = delete;

  void wait();
  void post();
  void reset();

 private:
  bool Take();  // passes the trigger if it is signalled, clearing it if auto-reset

  std::atomic<int> state_;     // 1 signalled, 0 not
  std::atomic<int> sleepers_;  // waiters that found it not signalled and may block
  sem_t wakeups_;              // one unit per wake-up handed to a sleeper
  bool autoreset_;
};

}  // namespace pt

#endif  // THREADS_TRIGGER_H_
