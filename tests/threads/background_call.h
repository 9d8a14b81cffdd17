// BackgroundCall: runs one possibly blocking call on a thread of its own, so
// a test of the pt primitives can check whether the call has returned yet and
// wait for it with a deadline instead of hanging.
//
// The test thread owns the object and is the only one to call its members;
// Done() and Result() read atomics written by the call's thread. The owner
// must release the call (post whatever it waits on) before the object goes:
// the destructor ends the run with a message rather than hang on a call that
// never returns.
#ifndef TESTS_THREADS_BACKGROUND_CALL_H_
#define TESTS_THREADS_BACKGROUND_CALL_H_

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "tests/support/test_support.h"

namespace threads_test {

// How long a test watches a call that must stay blocked. Short: it only shows
// that something did not happen.
inline int ShortPauseMs() { return testing_support::Scaled(50); }

inline void ShortPause() { usleep(static_cast<useconds_t>(ShortPauseMs()) * 1000); }

class BackgroundCall {
 public:
  explicit BackgroundCall(std::function<bool()> call)
      : call_(std::move(call)), worker_([this] { Run(); }) {}

  ~BackgroundCall() {
    if (!WaitDone()) {
      fprintf(stderr, "a background call was never released; giving up\n");
      abort();
    }
    worker_.join();
  }

  BackgroundCall(const BackgroundCall&) = delete;
  BackgroundCall& operator=(const BackgroundCall&) = delete;

  // True once the call's thread is about to make the call.
  bool WaitStarted(int milliseconds = 5000) {
    return testing_support::WaitUntil([this] { return started_.load(); }, milliseconds);
  }

  bool WaitDone(int milliseconds = 5000) {
    return testing_support::WaitUntil([this] { return done_.load(); }, milliseconds);
  }

  bool Done() const { return done_.load(); }
  bool Result() const { return result_.load(); }  // meaningful once Done()

  // Waits for the call to start, then watches it for a short while: true if
  // it is still blocked afterwards.
  bool StaysBlocked() {
    if (!WaitStarted()) return false;
    ShortPause();
    return !Done();
  }

  pthread_t Handle() { return worker_.native_handle(); }

 private:
  void Run() {
    started_.store(true);
    result_.store(call_());
    done_.store(true);
  }

  std::function<bool()> call_;
  std::atomic<bool> started_{false};
  std::atomic<bool> done_{false};
  std::atomic<bool> result_{false};
  std::thread worker_;  // last: starts once everything above is constructed
};

}  // namespace threads_test

#endif  // TESTS_THREADS_BACKGROUND_CALL_H_
