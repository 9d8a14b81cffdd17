// pt::timedsem: polls, unlimited waits, time-outs and wake-ups across threads.
// Time-outs are checked only from below: a wait may end late on a busy
// machine, but never before its time.
#include "threads/timedsem.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/wall_clock.h"
#include "tests/threads/background_call.h"
#include "tests/threads/pthread_hooks.h"

namespace {

using testing_support::Scaled;
using testing_support::WaitUntil;
using threads_test::BackgroundCall;
using threads_test::ShortPause;

// Runs a timed wait and reports how long it took, in milliseconds.
long long TimedWaitMs(pt::timedsem* sem, int timeout, bool* result) {
  auto start = std::chrono::steady_clock::now();
  *result = sem->wait(timeout);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// CPU time used so far by the calling thread, in milliseconds.
long long ThreadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class TimedSemTest : public ::testing::Test {};

TEST_F(TimedSemTest, PollWithoutAUnitFailsAtOnce) {
  pt::timedsem sem(0);
  BackgroundCall poll([&sem] { return sem.wait(0); });
  EXPECT_TRUE(poll.WaitDone(1000)) << "wait(0) blocked";
  if (!poll.Done()) sem.post();  // let it go so the test can end
  EXPECT_FALSE(poll.Result());
}

TEST_F(TimedSemTest, PollTakesOneUnitEachTime) {
  pt::timedsem sem(2);
  EXPECT_TRUE(sem.wait(0));
  EXPECT_TRUE(sem.wait(0));
  EXPECT_FALSE(sem.wait(0));
}

TEST_F(TimedSemTest, PostWithNoWaiterIsKeptForTheNextWait) {
  pt::timedsem sem(0);
  sem.post();
  BackgroundCall next([&sem] { return sem.wait(-1); });
  EXPECT_TRUE(next.WaitDone(1000)) << "a posted unit did not let the next wait through";
  if (!next.Done()) sem.post();
  EXPECT_TRUE(next.Result());
  EXPECT_FALSE(sem.wait(0));
}

TEST_F(TimedSemTest, NegativeTimeOutBlocksUntilPost) {
  pt::timedsem sem(0);
  BackgroundCall waiter([&sem] { return sem.wait(-1); });
  EXPECT_TRUE(waiter.StaysBlocked());
  sem.post();
  EXPECT_TRUE(waiter.WaitDone());
  EXPECT_TRUE(waiter.Result());
  EXPECT_FALSE(sem.wait(0)) << "the waiter did not take the unit";
}

TEST_F(TimedSemTest, TimeOutReturnsFalseNoEarlierThanItsTime) {
  pt::timedsem sem(0);
  bool result = true;
  EXPECT_GE(TimedWaitMs(&sem, 200, &result), 180);
  EXPECT_FALSE(result);
  // The time-out leaves the count alone: a later post is still there to take.
  sem.post();
  EXPECT_TRUE(sem.wait(0));
}

TEST_F(TimedSemTest, TimeOutCrossingASecondBoundaryBlocksForItsWholeTime) {
  // The milliseconds of a time-out carry into the deadline's seconds when
  // they and the current nanoseconds of the monotonic clock add up to a
  // second or more. Each time-out here is picked to end just past that
  // clock's next whole second, so that they do (bar the first millisecond of
  // a second); a deadline left unnormalised is refused by the wait, which
  // would then spin up to that second. A wait that starts close to the second
  // would spin too briefly to tell, so then the next one starts early in a
  // second.
  pt::timedsem sem(0);
  for (int attempt = 0; attempt < 3; ++attempt) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int toNextSecond = 1000 - static_cast<int>(now.tv_nsec / 1000000);
    int timeout = std::min(toNextSecond + 50, 999);
    bool result = true;
    long long cpuBefore = ThreadCpuMs();
    EXPECT_GE(TimedWaitMs(&sem, timeout, &result), timeout * 9 / 10);
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 10) << "the wait spun instead of blocking";
    EXPECT_FALSE(result);
    if (toNextSecond >= 100) break;
  }
}

TEST_F(TimedSemTest, SettingTheClockNeitherLengthensNorShortensAWait) {
  // The wall clock reads an hour off while each wait begins, and the real
  // time again while it runs: as if the clock were set back (or forward) by
  // an hour just after the wait took its deadline. A wait timed by the wall
  // clock would last an hour, or end at once.
  struct Case {
    long offset;
    const char* setting;
  };
  for (Case step : {Case{3600, "back"}, Case{-3600, "forward"}}) {
    pt::timedsem sem(0);
    testing_support::SetWallClockOffset(step.offset);
    bool result = true;
    long long took = -1;
    BackgroundCall waiter([&] {
      took = TimedWaitMs(&sem, 300, &result);
      return result;
    });
    ASSERT_TRUE(waiter.WaitStarted());
    ShortPause();
    testing_support::SetWallClockOffset(0);
    bool ended = waiter.WaitDone(5000);
    if (!ended) sem.post();  // let it go so the test can end
    ASSERT_TRUE(ended) << "a 300 ms wait did not end after the clock was set " << step.setting;
    EXPECT_FALSE(waiter.Result());
    EXPECT_GE(took, 280) << "the clock was set " << step.setting;
  }
}

TEST_F(TimedSemTest, RacingTakersGetOneUnitPerPost) {
  // A waiter woken by a post may find that another caller took the unit
  // first; it must then wait on rather than take a unit that is not there.
  pt::timedsem sem(0);
  BackgroundCall waiter([&sem] { return sem.wait(Scaled(1000)); });
  EXPECT_TRUE(waiter.StaysBlocked());
  sem.post();
  bool mine = sem.wait(0);
  EXPECT_TRUE(waiter.WaitDone());
  EXPECT_NE(mine, waiter.Result()) << "one post, yet " << (mine ? "two" : "no") << " units taken";
  sem.post();
  EXPECT_TRUE(sem.wait(0));
  EXPECT_FALSE(sem.wait(0));
}

TEST_F(TimedSemTest, PostWakesATimedWaiterOnAnotherThread) {
  // A time-out of whole seconds: it must not end before the post comes.
  pt::timedsem sem(0);
  BackgroundCall waiter([&sem] { return sem.wait(Scaled(5000)); });
  EXPECT_TRUE(waiter.StaysBlocked());
  sem.post();
  EXPECT_TRUE(waiter.WaitDone());
  EXPECT_TRUE(waiter.Result()) << "woken by a post, yet reported a time-out";
}

TEST_F(TimedSemTest, EachPostReleasesExactlyOneOfSeveralWaiters) {
  pt::timedsem sem(0);
  std::atomic<int> passed{0};
  std::vector<std::unique_ptr<BackgroundCall>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::make_unique<BackgroundCall>([&] {
      bool took = sem.wait(-1);
      passed.fetch_add(1);
      return took;
    }));
  }
  for (auto& waiter : waiters) EXPECT_TRUE(waiter->WaitStarted());
  threads_test::ShortPause();
  EXPECT_EQ(passed.load(), 0);

  sem.post();
  sem.post();
  EXPECT_TRUE(WaitUntil([&] { return passed.load() >= 2; }));
  threads_test::ShortPause();
  EXPECT_EQ(passed.load(), 2);

  sem.post();
  EXPECT_TRUE(WaitUntil([&] { return passed.load() == 3; }));
  for (auto& waiter : waiters) EXPECT_TRUE(waiter->Result());
  EXPECT_FALSE(sem.wait(0));
}

TEST(TimedSemDeathTest, FailedCreationIsFatal) {
  const char* expected = "\nInternal \\[c0029\\]: Timed semaphore failed\n";
  EXPECT_EXIT(
      {
        pthread_hooks::FailNext(pthread_hooks::Failure::kMutexInit);
        pt::timedsem sem(0);
      },
      ::testing::ExitedWithCode(41), expected);
  EXPECT_EXIT(
      {
        pthread_hooks::FailNext(pthread_hooks::Failure::kCondInit);
        pt::timedsem sem(0);
      },
      ::testing::ExitedWithCode(41), expected);
}

}  // namespace
