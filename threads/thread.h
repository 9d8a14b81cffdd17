// pt::thread: the base of every thread of the system.
//
// A joinable thread (autofree false) belongs to its owner, who stops it by
// signal(), waking whatever it blocks on and waiting for finished()
// (await_finished wakes the moment the body has ended; its time-out is the
// owner's fallback look at the flag), then deletes it; derived classes call
// waitfor() first in their own destructor so the system thread has ended
// before any part of the object goes. An autofree
// thread runs detached and deletes its own object when its body ends; once
// started nobody else touches it.
//
// start, signal, waitfor and the flag reads are safe from any thread; the
// four state flags change once, from 0 to 1, by atomic exchange.
#ifndef THREADS_THREAD_H_
#define THREADS_THREAD_H_

#include <pthread.h>

#include "threads/pt.h"
#include "threads/timedsem.h"

namespace pt {

void* _threadproc(void* arg);

class thread : public unknown {
 public:
  explicit thread(bool isautofree);
  ~thread() override;
  thread(const thread&) = delete;
  thread& operator=(const thread&) = delete;

  void start();    // only the first call creates the system thread
  void waitfor();  // joinable threads only; only the first call joins
  void signal();   // only the first call posts the wake-up semaphore

  bool get_signaled() const { return __atomic_load_n(&signaled, __ATOMIC_SEQ_CST) != 0; }
  bool get_finished() const { return __atomic_load_n(&finished, __ATOMIC_SEQ_CST) != 0; }
  bool get_running() const { return __atomic_load_n(&running, __ATOMIC_SEQ_CST) != 0; }

  // Joinable threads only, for their owner: waits up to milliseconds for the
  // body to end. True once finished.
  bool await_finished(int milliseconds);

 protected:
  // Waits up to milliseconds for a signal: true when signalled, false on time-out.
  bool relax(int milliseconds) { return wakeup.wait(milliseconds); }

  virtual void execute() = 0;
  virtual void cleanup() {}

 private:
  friend void* _threadproc(void* arg);
  void epilogue();

  pthread_t handle;  // 0 until known; written by start (joinable) or the thread (autofree)
  int autofree;      // fixed at construction
  int running;       // atomic flags from here on
  int signaled;
  int finished;
  int released;
  timedsem wakeup;   // posted by signal, waited on by relax
  timedsem ended;    // joinable threads: posted once finished is set
};

}  // namespace pt

#endif  // THREADS_THREAD_H_
