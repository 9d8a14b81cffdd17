#include "threads/thread.h"

#include "threads/pt_string.h"

namespace pt {

thread::thread(bool isautofree)
    : handle(0), autofree(isautofree ? 1 : 0), running(0), signaled(0), finished(0),
      released(0), wakeup(0), ended(0) {}

thread::~thread() {
  // A started joinable thread nobody waited for is detached, never joined:
  // the destructor must not block.
  if (atomicexchange(&released, 1) == 0 && !autofree &&
      __atomic_load_n(&running, __ATOMIC_SEQ_CST) != 0) {
    pthread_detach(handle);
  }
}

void thread::start() {
  if (atomicexchange(&running, 1) != 0) return;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, autofree ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
  // An autofree object may be gone as soon as the thread exists, so its id
  // goes to a local and the object is not touched again.
  pthread_t local;
  pthread_t* target = autofree ? &local : &handle;
  int result = pthread_create(target, &attr, _threadproc, this);
  if (result != 0) fatal(CRIT_THREAD_CREATE, "pthread_create() failed");
  pthread_attr_destroy(&attr);
}

void thread::waitfor() {
  // A joinable thread never started has no handle to join: leave the object
  // as it is, so a later start and destruction behave as usual.
  if (!autofree && __atomic_load_n(&running, __ATOMIC_SEQ_CST) == 0) return;
  if (atomicexchange(&released, 1) != 0) return;
  if (pthread_equal(handle, pthread_self())) fatal(CRIT_WAITFOR_SELF, "Can not waitfor() on myself");
  if (autofree) fatal(CRIT_WAITFOR_AUTOFREE, "Can not waitfor() on an autofree thread");
  pthread_join(handle, nullptr);
  handle = 0;
}

void thread::signal() {
  if (atomicexchange(&signaled, 1) == 0) wakeup.post();
}

void thread::epilogue() {
  try {
    cleanup();
  } catch (exception* e) {
    delete e;
  }
  atomicexchange(&finished, 1);
  if (autofree) {
    delete this;
    return;
  }
  // The owner deletes the object only after joining, so this post is safe.
  ended.post();
}

bool thread::await_finished(int milliseconds) {
  if (get_finished()) return true;
  ended.wait(milliseconds);
  return get_finished();
}

void* _threadproc(void* arg) {
  thread* self = static_cast<thread*>(arg);
  if (self->autofree) self->handle = pthread_self();
  try {
    self->execute();
  } catch (exception*) {
    self->epilogue();
    throw;
  }
  self->epilogue();
  return nullptr;
}

}  // namespace pt
