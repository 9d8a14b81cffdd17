// pt::trigger: an event object, auto-reset (each post lets one waiter through,
// which clears it) or manual-reset (a post lets every waiter through until
// reset). Its state is a flag, not a count: posts that come while nobody waits
// merge into one. The Core wakes its event handler with an auto-reset one.
// Safe from any thread; a trigger must outlive every post() in progress,
// since the waiter a post wakes may return before the post does.
#ifndef THREADS_TRIGGER_H_
#define THREADS_TRIGGER_H_

#include <pthread.h>

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
  pthread_mutex_t mutex_;
  pthread_cond_t condition_;
  int state_;  // guarded by mutex_; 1 signalled, 0 not
  bool autoreset_;
};

}  // namespace pt

#endif  // THREADS_TRIGGER_H_
