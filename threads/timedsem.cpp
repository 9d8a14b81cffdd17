#include "threads/timedsem.h"

#include <errno.h>
#include <time.h>

namespace pt {

timedsem::timedsem(int initvalue) : count_(initvalue) {
  pthread_condattr_t attributes;
  bool ok = pthread_condattr_init(&attributes) == 0;
  ok = ok && pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0;
  ok = ok && pthread_mutex_init(&mutex_, nullptr) == 0;
  ok = ok && pthread_cond_init(&condition_, &attributes) == 0;
  pthread_condattr_destroy(&attributes);
  if (!ok) fatal(CRIT_SYNC_FAILED, "Timed semaphore failed");
}

timedsem::~timedsem() {
  pthread_cond_destroy(&condition_);
  pthread_mutex_destroy(&mutex_);
}

bool timedsem::wait(int timeout) {
  pthread_mutex_lock(&mutex_);
  for (;;) {
    if (count_ > 0) {
      count_--;
      pthread_mutex_unlock(&mutex_);
      return true;
    }
    if (timeout < 0) {
      pthread_cond_wait(&condition_, &mutex_);
      continue;
    }
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Below 2e9, so a 32-bit int holds it.
    int nanoseconds = (timeout % 1000) * 1000000 + static_cast<int>(now.tv_nsec);
    timespec deadline;
    deadline.tv_sec = now.tv_sec + timeout / 1000 + nanoseconds / 1000000000;
    deadline.tv_nsec = nanoseconds % 1000000000;
    if (pthread_cond_timedwait(&condition_, &mutex_, &deadline) == ETIMEDOUT) {
      pthread_mutex_unlock(&mutex_);
      return false;
    }
  }
}

void timedsem::post() {
  pthread_mutex_lock(&mutex_);
  count_++;
  pthread_cond_signal(&condition_);
  pthread_mutex_unlock(&mutex_);
}

}  // namespace pt
