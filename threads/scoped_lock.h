// Mutex and ScopedLock: the thin lock wrapper the Core uses for its own state.
//
// Mutex holds nothing but a pthread mutex, so a class that embeds one keeps
// the layout it would have with the bare mutex. A default Mutex sleeps as soon
// as it finds the lock taken; a SpinFirst one spins a moment first. ScopedLock
// takes the lock for one block and gives it back on every way out of it.
// Both are safe to use from any thread; neither is copyable.
#ifndef THREADS_SCOPED_LOCK_H_
#define THREADS_SCOPED_LOCK_H_

#include <pthread.h>

#include "threads/thread_annotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() { pthread_mutex_init(&mutex_, nullptr); }
  // For a lock taken very often and held for a few instructions each time,
  // by threads that usually run on CPUs of their own: the holder is then
  // done sooner than a sleep and its wake-up take in system calls.
  struct SpinFirst {};
  explicit Mutex(SpinFirst) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~Mutex() { pthread_mutex_destroy(&mutex_); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_;
};

class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_->Lock();
  }
  ~ScopedLock() RELEASE() { mutex_->Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  Mutex* mutex_;  // borrowed; outlives this guard
};

#endif  // THREADS_SCOPED_LOCK_H_
