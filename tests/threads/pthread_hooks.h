// Hooks around the POSIX calls that the pt library makes, for its tests.
//
// The test executable defines pthread_create, pthread_join, pthread_detach,
// pthread_mutex_init, pthread_cond_init, sem_init and sem_wait itself; the library,
// linked into the same executable, reaches these first, and each forwards to
// the C library's own. The hooks count what concerns pt::thread system
// threads (those started with pt::_threadproc, and the empty handle 0, which
// is never a real thread) and can make one chosen call fail, so that the
// library's failure paths can be reached.
//
// Counters and the armed failure are atomics and may be used from any thread;
// the set of known pt threads is guarded by a mutex of its own.
#ifndef TESTS_THREADS_PTHREAD_HOOKS_H_
#define TESTS_THREADS_PTHREAD_HOOKS_H_

namespace pthread_hooks {

struct Counts {
  int creates = 0;   // pthread_create calls that started pt::_threadproc
  int joins = 0;     // pthread_join calls on a pt thread or on handle 0
  int detaches = 0;  // pthread_detach calls on a pt thread or on handle 0
};

// Forgets the pt threads seen so far and zeroes the counts.
void Reset();
Counts Current();

enum class Failure {
  kNone,
  kThreadCreate,  // the next pthread_create for pt::_threadproc returns EAGAIN
  kMutexInit,     // the next pthread_mutex_init returns ENOMEM
  kCondInit,      // the next pthread_cond_init returns ENOMEM
  kSemInit,       // the next sem_init returns -1 with errno ENOSYS
  kSemWait,       // the next sem_wait returns -1 with errno EINVAL
};

// Arms one failure; it fires once, in whichever thread makes that call next.
void FailNext(Failure failure);

}  // namespace pthread_hooks

#endif  // TESTS_THREADS_PTHREAD_HOOKS_H_
