#include "threads/semaphore.h"

#include <errno.h>

namespace pt {

namespace {
[[noreturn]] void SemaphoreFailed() { fatal(CRIT_SYNC_FAILED, "Semaphore failed"); }
}  // namespace

semaphore::semaphore(int initvalue) {
  if (sem_init(&handle_, 0, static_cast<unsigned>(initvalue)) != 0) SemaphoreFailed();
}

semaphore::~semaphore() { sem_destroy(&handle_); }

int WaitRestarting(sem_t* handle) {
  int result;
  do {
    result = sem_wait(handle);
  } while (result == -1 && errno == EINTR);
  return result;
}

void semaphore::wait() {
  if (WaitRestarting(&handle_) != 0) SemaphoreFailed();
}

bool semaphore::trywait() {
  int result;
  do {
    result = sem_trywait(&handle_);
  } while (result == -1 && errno == EINTR);
  if (result == 0) return true;
  if (errno != EAGAIN) SemaphoreFailed();
  return false;
}

void semaphore::post() {
  if (sem_post(&handle_) != 0) SemaphoreFailed();
}

}  // namespace pt
