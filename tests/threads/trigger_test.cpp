// pt::trigger: auto-reset and manual-reset behaviour, merged posts, and which
// waiters a post lets through.
#include "threads/trigger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/threads/background_call.h"
#include "tests/threads/pthread_hooks.h"

namespace {

using testing_support::WaitUntil;
using threads_test::BackgroundCall;

class TriggerTest : public ::testing::Test {
 protected:
  // Starts `count` threads that each wait once on `trigger`; `passed` counts
  // those that got through.
  void StartWaiters(pt::trigger* trigger, int count) {
    for (int i = 0; i < count; ++i) {
      waiters.push_back(std::make_unique<BackgroundCall>([this, trigger] {
        trigger->wait();
        passed.fetch_add(1);
        return true;
      }));
    }
    for (auto& waiter : waiters) EXPECT_TRUE(waiter->WaitStarted());
  }

  // True if exactly `expected` waiters have passed, and no more follow
  // within a short pause.
  bool PassedSettlesAt(int expected) {
    WaitUntil([&] { return passed.load() >= expected; });
    threads_test::ShortPause();
    return passed.load() == expected;
  }

  // Joins every waiter. Waiters still blocked (only after a failed check) are
  // let go by further posts, so a failure does not also hang the run.
  void ReleaseAndJoin(pt::trigger* trigger) {
    WaitUntil([&] {
      for (auto& waiter : waiters) {
        if (!waiter->Done()) {
          trigger->post();
          return false;
        }
      }
      return true;
    });
    waiters.clear();
  }

  std::atomic<int> passed{0};
  std::vector<std::unique_ptr<BackgroundCall>>
      waiters;  // joined by ReleaseAndJoin before the trigger goes
};

TEST_F(TriggerTest, AutoResetCreatedNotSignalledBlocksTheFirstWaitUntilPost) {
  pt::trigger trigger(true, false);
  StartWaiters(&trigger, 1);
  EXPECT_TRUE(PassedSettlesAt(0));
  trigger.post();
  EXPECT_TRUE(PassedSettlesAt(1));
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, AutoResetPostedTwiceBeforeAnyWaitLetsOneWaitThrough) {
  pt::trigger trigger(true, false);
  trigger.post();
  trigger.post();
  StartWaiters(&trigger, 2);
  EXPECT_TRUE(PassedSettlesAt(1)) << "posts without a waiter did not merge";
  trigger.post();
  EXPECT_TRUE(PassedSettlesAt(2));
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, AutoResetWaiterClearsTheState) {
  pt::trigger trigger(true, true);  // created signalled
  StartWaiters(&trigger, 1);
  EXPECT_TRUE(PassedSettlesAt(1));
  ReleaseAndJoin(&trigger);

  StartWaiters(&trigger, 1);
  EXPECT_TRUE(PassedSettlesAt(1)) << "the first wait left the trigger signalled";
  trigger.post();
  EXPECT_TRUE(PassedSettlesAt(2));
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, AutoResetPostWakesOneOfSeveralWaiters) {
  pt::trigger trigger(true, false);
  StartWaiters(&trigger, 3);
  EXPECT_TRUE(PassedSettlesAt(0));
  for (int posts = 1; posts <= 3; ++posts) {
    trigger.post();
    EXPECT_TRUE(PassedSettlesAt(posts)) << "after " << posts << " posts";
  }
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, AutoResetPostLetsOneCallerThroughWhenWaitersRace) {
  // A waiter woken by a post may find that another caller already passed and
  // cleared the trigger; it must then wait on. Here the test thread posts and
  // waits at once, and usually gets there before the woken waiter runs.
  pt::trigger trigger(true, false);
  StartWaiters(&trigger, 1);
  EXPECT_TRUE(PassedSettlesAt(0));

  std::atomic<bool> testThreadPassed{false};
  std::atomic<int> posts{1};
  // If the waiter got through first, the test thread is blocked: post once
  // more for it.
  BackgroundCall rescuer([&] {
    if (!WaitUntil([&] { return testThreadPassed.load(); }, 200)) {
      posts.fetch_add(1);
      trigger.post();
    }
    return true;
  });
  trigger.post();
  trigger.wait();
  testThreadPassed.store(true);
  EXPECT_TRUE(rescuer.WaitDone());
  threads_test::ShortPause();
  EXPECT_EQ(passed.load() + 1, posts.load()) << "callers passed: one per post";
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, ManualResetPostWakesEveryWaiter) {
  pt::trigger trigger(false, false);
  StartWaiters(&trigger, 3);
  EXPECT_TRUE(PassedSettlesAt(0));
  trigger.post();
  EXPECT_TRUE(WaitUntil([&] { return passed.load() == 3; }));
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, ManualResetLetsEveryWaitThroughUntilReset) {
  pt::trigger trigger(false, false);
  trigger.post();
  StartWaiters(&trigger, 3);
  EXPECT_TRUE(WaitUntil([&] { return passed.load() == 3; }));
  ReleaseAndJoin(&trigger);

  trigger.reset();
  StartWaiters(&trigger, 1);
  EXPECT_TRUE(PassedSettlesAt(3)) << "wait passed after reset";
  trigger.post();
  EXPECT_TRUE(PassedSettlesAt(4));
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, ResetOfAutoResetTriggerTakesBackAnUnclaimedPost) {
  pt::trigger trigger(true, false);
  trigger.post();
  trigger.reset();
  StartWaiters(&trigger, 1);
  EXPECT_TRUE(PassedSettlesAt(0));
  trigger.post();
  EXPECT_TRUE(PassedSettlesAt(1));
  ReleaseAndJoin(&trigger);
}

TEST_F(TriggerTest, AutoResetHandOverLosesNoWakeUp) {
  // Two threads hand a turn back and forth through two triggers; a post that
  // slipped between a waiter's last look and its sleep would hang the test.
  pt::trigger ping(true, false), pong(true, false);
  constexpr int kRounds = 100000;
  BackgroundCall partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      ping.wait();
      pong.post();
    }
    return true;
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.post();
    pong.wait();
  }
  EXPECT_TRUE(partner.WaitDone());
}

TEST(TriggerDeathTest, FailuresOfTheUnderlyingSemaphoreAreFatal) {
  const char* expected = "\nInternal \\[c0029\\]: Trigger failed\n";
  EXPECT_EXIT(
      {
        pthread_hooks::FailNext(pthread_hooks::Failure::kSemInit);
        pt::trigger trigger(true, false);
      },
      ::testing::ExitedWithCode(41), expected);
  EXPECT_EXIT(
      {
        pt::trigger trigger(true, false);
        pthread_hooks::FailNext(pthread_hooks::Failure::kSemWait);
        trigger.wait();
      },
      ::testing::ExitedWithCode(41), expected);
}

}  // namespace
