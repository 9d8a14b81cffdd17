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
  if (autoreset_) {
    pthread_cond_signal(&condition_);
  } else {
    pthread_cond_broadcast(&condition_);
  }
  pthread_mutex_unlock(&mutex_);
}

void trigger::reset() {
  pthread_mutex_lock(&mutex_);
  state_ = 0;
  pthread_mutex_unlock(&mutex_);
}

}  // namespace pt
