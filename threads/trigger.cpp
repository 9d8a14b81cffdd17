#include "threads/trigger.h"

#include "threads/pt.h"

namespace pt {

trigger::trigger(bool autoreset, bool state) : state_(state ? 1 : 0), autoreset_(autoreset) {
  if (pthread_mutex_init(&mutex_, nullptr) != 0 ||
      pthread_cond_init(&condition_, nullptr) != 0) {
    fatal(CRIT_SYNC_FAILED, "Trigger failed");
  }
}

trigger::~trigger() {
  pthread_cond_destroy(&condition_);
  pthread_mutex_destroy(&mutex_);
}

void trigger::wait() {
  pthread_mutex_lock(&mutex_);
  while (state_ == 0) pthread_cond_wait(&condition_, &mutex_);
  if (autoreset_) state_ = 0;
  pthread_mutex_unlock(&mutex_);
}

void trigger::post() {
  pthread_mutex_lock(&mutex_);
  state_ = 1;
  pthread_mutex_unlock(&mutex_);
  // Signalled with the mutex let go, so that a waiter it wakes does not find
  // the mutex still held and sleep once more. Waiters loop on state_, so a
  // wake-up that finds the state already taken only waits again.
  if (autoreset_) {
    pthread_cond_signal(&condition_);
  } else {
    pthread_cond_broadcast(&condition_);
  }
}

void trigger::reset() {
  pthread_mutex_lock(&mutex_);
  state_ = 0;
  pthread_mutex_unlock(&mutex_);
}

}  // namespace pt
