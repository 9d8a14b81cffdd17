// The scheduler's decisions: clock jumps, the memory ceiling, throttling.
#include <gtest/gtest.h>

#include "tests/core/core_harness.h"
#include "tests/support/wall_clock.h"

namespace {

using testing_support::Scaled;

uint64_t g_allocated = 0;
bool g_heapReadable = true;
bool FakeHeap(uint64_t* allocated) {
  *allocated = g_allocated;
  return g_heapReadable;
}

class SchedulerTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    listener_ = AddProbe("listener.so", 0x10);
    listener_->descriptor.eventSink = 1;
    listener_->descriptor.subscriptionMask[6] = 0x2000002;  // the notices' queued key
    StartCore();
    g_allocated = 0;
    g_heapReadable = true;
  }
  // Notices delivered so far, after waiting for `count` of them.
  std::vector<std::string> Notices(size_t count) {
    EXPECT_TRUE(listener_->WaitForCount(ENTRY_WRITE, count, Scaled(5000)));
    std::vector<std::string> texts;
    for (const ProbeCall& call : listener_->CallsTo(ENTRY_WRITE)) {
      EXPECT_EQ(call.type, 0x1000002u);
      EXPECT_EQ(call.flags, 0x40u);
      EXPECT_EQ(call.source, SOURCE_CORE);
      texts.emplace_back(call.payload.begin(), call.payload.end());
    }
    return texts;
  }
  // Shows that nothing more arrives: a marker notice comes next.
  void ExpectNoMoreThan(size_t count) {
    core()->PostText("marker");
    auto texts = Notices(count + 1);
    EXPECT_EQ(texts.size(), count + 1);
    EXPECT_EQ(texts.back(), "marker");
    listener_->Clear();
  }
  Probe* listener_ = nullptr;
};

TEST_F(SchedulerTest, ClockJumpsOfTwoSecondsOrMoreAreAnnounced) {
  SchedulerState state;
  state.memoryLimit = 0xFFFFFFFFu;
  const time_t base = 1700000000;
  core()->SchedulerTick(&state, base, FakeHeap);      // first tick: never a notice
  core()->SchedulerTick(&state, base + 1, FakeHeap);  // one second: nothing
  core()->SchedulerTick(&state, base + 1, FakeHeap);
  ExpectNoMoreThan(0);
  core()->SchedulerTick(&state, base + 3, FakeHeap);
  core()->SchedulerTick(&state, base + 3 - 3600, FakeHeap);
  core()->SchedulerTick(&state, base + 2 - 3600, FakeHeap);  // one back: nothing
  auto texts = Notices(2);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "system time changed by 2 seconds");
  EXPECT_EQ(texts[1], "system time changed by -3600 seconds");
  listener_->Clear();
  ExpectNoMoreThan(0);
}

TEST_F(SchedulerTest, MemoryCeilingFollowsTheMachinesSize) {
  EXPECT_EQ(Core::MemoryCeiling(true, 1ull << 30), 1u << 30);
  EXPECT_EQ(Core::MemoryCeiling(true, 5ull << 29), 0x80000000u);  // 2.5 GiB
  EXPECT_EQ(Core::MemoryCeiling(true, 4ull << 30), 0xC0000000u);
  EXPECT_EQ(Core::MemoryCeiling(true, 0x80000000ull), 0x80000000u);
  EXPECT_EQ(Core::MemoryCeiling(true, 0xC0000001ull), 0xC0000000u);
  EXPECT_EQ(Core::MemoryCeiling(true, 0xC0000000ull), 0x80000000u);  // not above 3 GiB
  EXPECT_EQ(Core::MemoryCeiling(false, 0), 0x80000000u);
}

TEST_F(SchedulerTest, HeapIsReadAtMostOncePerSecondAndEqualIsNotLow) {
  SchedulerState state;
  state.memoryLimit = 1000;
  g_allocated = 1000;
  core()->SchedulerTick(&state, 100, FakeHeap);
  EXPECT_FALSE(core()->Throttling());
  g_allocated = 1001;
  core()->SchedulerTick(&state, 100, FakeHeap);  // same second: not read
  EXPECT_FALSE(core()->Throttling());
  core()->SchedulerTick(&state, 101, FakeHeap);
  EXPECT_TRUE(core()->Throttling());
  g_heapReadable = false;
  g_allocated = 0;
  core()->SchedulerTick(&state, 102, FakeHeap);  // unreadable: no change
  EXPECT_TRUE(core()->Throttling());
}

TEST_F(SchedulerTest, ThrottlingEpisodeNoticesAndHoldOff) {
  core()->UpdateThrottling(true, 1000);
  EXPECT_TRUE(core()->Throttling());
  core()->UpdateThrottling(true, 1030);  // still low: no second notice
  core()->UpdateThrottling(false, 1075);  // 45 s after the last low: nothing yet
  EXPECT_FALSE(core()->Throttling());
  core()->UpdateThrottling(false, 1089);  // 59 s: still nothing
  auto texts = Notices(1);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "available system memory is low, throttling video");
  listener_->Clear();
  ExpectNoMoreThan(0);
  core()->UpdateThrottling(false, 1090);  // 60 s: the ok notice
  texts = Notices(1);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "available system memory ok, not throttling video");
  EXPECT_EQ(inspect().LowSince(), 0);
  listener_->Clear();
  core()->UpdateThrottling(false, 2000);
  ExpectNoMoreThan(0);
}

TEST_F(SchedulerTest, ClockSetBackDuringAnEpisodeDelaysTheOkNotice) {
  core()->UpdateThrottling(true, 5000);
  ASSERT_EQ(Notices(1).size(), 1u);
  listener_->Clear();
  core()->UpdateThrottling(false, 4000);  // clock went back: negative difference
  core()->UpdateThrottling(false, 5059);
  ExpectNoMoreThan(0);
  core()->UpdateThrottling(false, 5060);
  auto texts = Notices(1);
  EXPECT_EQ(texts[0], "available system memory ok, not throttling video");
}

TEST_F(SchedulerTest, MeteredPostsFollowTheLatestReading) {
  core()->UpdateThrottling(true, 100);
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 0x01000000, "m", 1)), POST_THROTTLED);
  core()->UpdateThrottling(false, 110);  // episode still open, but not throttling
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 0x01000000, "m", 1)), POST_OK);
}

TEST_F(SchedulerTest, ClockSetBackWhileTheSchedulerWaitsIsAnnounced) {
  // The running scheduler's own ticks, while this process's wall clock is
  // set an hour forward and then back again. A wait for the next tick timed
  // by the wall clock would, once the clock read an hour ahead, last until
  // the real clock caught up: no tick, and no notice, for an hour.
  struct ClockReset {
    ~ClockReset() { testing_support::SetWallClockOffset(0); }
  } reset;
  testing_support::SetWallClockOffset(3600);
  long reads = testing_support::TimeCalls();  // the scheduler reads it once a tick
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return testing_support::TimeCalls() >= reads + 3; }, 5000))
      << "the scheduler stopped ticking once the clock read an hour ahead";
  testing_support::SetWallClockOffset(0);
  const std::string kPrefix = "system time changed by ";
  int back = 0;
  listener_->WaitFor(
      [&](const std::vector<ProbeCall>& calls) {
        for (const ProbeCall& call : calls) {
          std::string text(call.payload.begin(), call.payload.end());
          if (text.compare(0, kPrefix.size(), kPrefix) != 0) continue;
          int seconds = atoi(text.c_str() + kPrefix.size());
          if (seconds < 0) back = seconds;
        }
        return back != 0;
      },
      Scaled(5000));
  EXPECT_NEAR(back, -3600, 1);
}

// Spare storage goes back to the heap only after a second with nothing
// queued: a trickle of events, each delivered at once so that the queue is
// empty whenever the scheduler looks, keeps it; once they stop, it goes.
TEST_F(SchedulerTest, SpareStorageStaysWhileEventsFlowAndGoesWhenIdle) {
  if (!inspect().RecyclesBlocks()) GTEST_SKIP() << "this build reuses no payload blocks";
  std::vector<uint8_t> frame(512u << 10, 0x5A);
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 0x77, frame.data(), frame.size())), POST_OK);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return inspect().HasSpareBlock(); }));
  for (int i = 0; i < 30; i++) {  // three seconds, three of the scheduler's looks
    ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 0x77, "tick", 4)), POST_OK);
    usleep(100 * 1000);
    ASSERT_TRUE(inspect().HasSpareBlock()) << "dropped after " << i + 1 << " events";
  }
  EXPECT_TRUE(testing_support::WaitUntil([&] { return !inspect().HasSpareBlock(); }, Scaled(10000)));
}

}  // namespace
