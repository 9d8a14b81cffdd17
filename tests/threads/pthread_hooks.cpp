#include "tests/threads/pthread_hooks.h"

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <mutex>
#include <set>

#include "tests/support/next_symbol.h"
#include "threads/thread.h"

namespace pthread_hooks {

namespace {

std::atomic<int> creates{0};
std::atomic<int> joins{0};
std::atomic<int> detaches{0};
std::atomic<Failure> armed{Failure::kNone};

std::mutex knownLock;  // statically initialised: no call reaches the hooks
// Guarded by knownLock. Never freed: detached threads may still call in
// while the process's statics are torn down.
std::set<pthread_t>* known = new std::set<pthread_t>;

bool IsPtThread(pthread_t thread) {
  if (thread == 0) return true;
  std::lock_guard<std::mutex> hold(knownLock);
  return known->count(thread) != 0;
}

// True (once) if `failure` is the armed one.
bool Fires(Failure failure) {
  Failure expected = failure;
  return armed.compare_exchange_strong(expected, Failure::kNone);
}

}  // namespace

void Reset() {
  {
    std::lock_guard<std::mutex> hold(knownLock);
    known->clear();
  }
  creates.store(0);
  joins.store(0);
  detaches.store(0);
  armed.store(Failure::kNone);
}

Counts Current() {
  Counts counts;
  counts.creates = creates.load();
  counts.joins = joins.load();
  counts.detaches = detaches.load();
  return counts;
}

void FailNext(Failure failure) { armed.store(failure); }

}  // namespace pthread_hooks

using pthread_hooks::Failure;
using pthread_hooks::Fires;
using testing_support::NextSymbol;

extern "C" {

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) noexcept {
  static auto real =
      NextSymbol<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
  if (start != &pt::_threadproc) return real(thread, attr, start, arg);
  if (Fires(Failure::kThreadCreate)) return EAGAIN;
  pthread_hooks::creates.fetch_add(1);
  // The id goes straight to the caller's variable, as the library expects
  // it to be there before the new thread runs; it is recorded under the lock
  // so that a join or detach of it cannot be looked up before it is known.
  std::lock_guard<std::mutex> hold(pthread_hooks::knownLock);
  int result = real(thread, attr, start, arg);
  if (result == 0) pthread_hooks::known->insert(*thread);
  return result;
}

int pthread_join(pthread_t thread, void** result) {
  static auto real = NextSymbol<int (*)(pthread_t, void**)>("pthread_join");
  if (pthread_hooks::IsPtThread(thread)) pthread_hooks::joins.fetch_add(1);
  return real(thread, result);
}

int pthread_detach(pthread_t thread) noexcept {
  static auto real = NextSymbol<int (*)(pthread_t)>("pthread_detach");
  if (pthread_hooks::IsPtThread(thread)) pthread_hooks::detaches.fetch_add(1);
  return real(thread);
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr) noexcept {
  static auto real =
      NextSymbol<int (*)(pthread_mutex_t*, const pthread_mutexattr_t*)>("pthread_mutex_init");
  if (Fires(Failure::kMutexInit)) return ENOMEM;
  return real(mutex, attr);
}

int pthread_cond_init(pthread_cond_t* cond, const pthread_condattr_t* attr) noexcept {
  static auto real = NextSymbol<int (*)(pthread_cond_t*, const pthread_condattr_t*)>("pthread_cond_init");
  if (Fires(Failure::kCondInit)) return ENOMEM;
  return real(cond, attr);
}

int sem_init(sem_t* sem, int pshared, unsigned value) noexcept {
  static auto real = NextSymbol<int (*)(sem_t*, int, unsigned)>("sem_init");
  if (Fires(Failure::kSemInit)) {
    errno = ENOSYS;
    return -1;
  }
  return real(sem, pshared, value);
}

int sem_wait(sem_t* sem) {
  static auto real = NextSymbol<int (*)(sem_t*)>("sem_wait");
  if (Fires(Failure::kSemWait)) {
    errno = EINVAL;
    return -1;
  }
  return real(sem);
}

}  // extern "C"
