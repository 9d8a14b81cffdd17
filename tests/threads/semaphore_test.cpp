// pt::semaphore: counting across threads, waits interrupted by signals, and
// the failures that end the process.
#include "threads/semaphore.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <atomic>

#include "tests/support/test_support.h"
#include "tests/threads/background_call.h"
#include "tests/threads/pthread_hooks.h"

namespace {

using testing_support::WaitUntil;
using threads_test::BackgroundCall;

std::atomic<int> signalsCaught{0};

void CountSignal(int) { signalsCaught.fetch_add(1); }

// Installs CountSignal for SIGUSR1 without SA_RESTART, so that a blocking
// call on the signalled thread returns EINTR; restores the old action.
class CountingSignalHandler {
 public:
  CountingSignalHandler() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGUSR1, &action, &previous_);
  }
  ~CountingSignalHandler() { sigaction(SIGUSR1, &previous_, nullptr); }
  CountingSignalHandler(const CountingSignalHandler&) = delete;
  CountingSignalHandler& operator=(const CountingSignalHandler&) = delete;

 private:
  struct sigaction previous_;
};

class SemaphoreTest : public ::testing::Test {};

TEST_F(SemaphoreTest, InitialCountLetsThatManyWaitsThroughThenBlocks) {
  pt::semaphore sem(2);
  sem.wait();
  sem.wait();
  BackgroundCall third([&sem] {
    sem.wait();
    return true;
  });
  EXPECT_TRUE(third.StaysBlocked());
  sem.post();
  EXPECT_TRUE(third.WaitDone());
}

TEST_F(SemaphoreTest, EachPostReleasesOneWaiter) {
  pt::semaphore sem(0);
  std::atomic<int> passed{0};
  auto waitOnce = [&] {
    sem.wait();
    passed.fetch_add(1);
    return true;
  };
  BackgroundCall first(waitOnce);
  BackgroundCall second(waitOnce);
  EXPECT_TRUE(first.WaitStarted() && second.WaitStarted());
  sem.post();
  EXPECT_TRUE(WaitUntil([&] { return passed.load() >= 1; }));
  threads_test::ShortPause();
  EXPECT_EQ(passed.load(), 1);
  sem.post();
  EXPECT_TRUE(WaitUntil([&] { return passed.load() == 2; }));
}

TEST_F(SemaphoreTest, WaitInterruptedBySignalGoesOnWaiting) {
  CountingSignalHandler handler;
  signalsCaught.store(0);
  pt::semaphore sem(0);
  BackgroundCall waiter([&sem] {
    sem.wait();
    return true;
  });
  EXPECT_TRUE(waiter.WaitStarted());
  // Let it reach sem_wait, then interrupt it a few times.
  threads_test::ShortPause();
  for (int i = 1; i <= 3; ++i) {
    pthread_kill(waiter.Handle(), SIGUSR1);
    EXPECT_TRUE(WaitUntil([i] { return signalsCaught.load() >= i; }));
  }
  EXPECT_TRUE(waiter.StaysBlocked());
  sem.post();
  EXPECT_TRUE(waiter.WaitDone());
}

TEST(SemaphoreDeathTest, NegativeInitialCountIsFatal) {
  EXPECT_EXIT(pt::semaphore sem(-1), ::testing::ExitedWithCode(41),
              "\nInternal \\[c0029\\]: Semaphore failed\n");
}

TEST(SemaphoreDeathTest, PostBeyondTheLargestCountIsFatal) {
  EXPECT_EXIT(
      {
        pt::semaphore sem(INT_MAX);
        sem.post();
      },
      ::testing::ExitedWithCode(41), "\nInternal \\[c0029\\]: Semaphore failed\n");
}

TEST(SemaphoreDeathTest, WaitFailingForAnyReasonButASignalIsFatal) {
  EXPECT_EXIT(
      {
        pt::semaphore sem(1);
        pthread_hooks::FailNext(pthread_hooks::Failure::kSemWait);
        sem.wait();
      },
      ::testing::ExitedWithCode(41), "\nInternal \\[c0029\\]: Semaphore failed\n");
}

}  // namespace
