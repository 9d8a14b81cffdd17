// pt::semaphore: a counting semaphore over a process-private POSIX unnamed
// semaphore. The Core uses one per stream as the stream's gate.
// Every operation is safe from any thread; failures are fatal.
#ifndef THREADS_SEMAPHORE_H_
#define THREADS_SEMAPHORE_H_

#include <semaphore.h>

#include "threads/pt.h"

namespace pt {

// sem_wait, resumed after every signal that interrupts it: 0, or -1 with
// errno set for any other failure. Shared with pt::trigger's sleepers.
int WaitRestarting(sem_t* handle);

class semaphore : public unknown {
 public:
  explicit semaphore(int initvalue);
  ~semaphore() override;
  semaphore(const semaphore&) = delete;
  semaphore& operator=(const semaphore&) = delete;

  void wait();     // takes one unit, blocking while there is none
  bool trywait();  // takes one unit if there is one: true; never blocks
  void post();     // adds one unit

 private:
  sem_t handle_;
};

}  // namespace pt

#endif  // THREADS_SEMAPHORE_H_
