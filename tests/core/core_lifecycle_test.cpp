// The Core's start and stop sequences and what they leave behind.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

class CoreLifecycleTest : public CoreTest {};

TEST_F(CoreLifecycleTest, StopWithoutStartChangesNothing) {
  Core core(wxFileName(tree_.ExecutablePath()));
  core.Stop();
  CoreInspector state(&core);
  EXPECT_FALSE(state.HasWakeTrigger());
  EXPECT_FALSE(state.HasEventHandler());
  EXPECT_FALSE(state.HasScheduler());
  EXPECT_EQ(Core::instance.load(), &core);
}

TEST_F(CoreLifecycleTest, StartAndStopWithoutPluginFolderEndsBothThreads) {
  tree_.RemovePluginDir();
  StartCore();
  EXPECT_TRUE(inspect().HasWakeTrigger());
  EXPECT_TRUE(inspect().HasEventHandler());
  EXPECT_TRUE(inspect().HasScheduler());
  EXPECT_FALSE(inspect().LoadPlugins());  // no folder: false, and nothing logged
  StopCore();
  EXPECT_FALSE(inspect().HasWakeTrigger());
  EXPECT_FALSE(inspect().HasEventHandler());
  EXPECT_FALSE(inspect().HasScheduler());
  EXPECT_TRUE(inspect().Plugins().empty());
  EXPECT_EQ(inspect().QueueSize(), 0u);
  EXPECT_TRUE(log_->Entries().empty());
}

TEST_F(CoreLifecycleTest, DestroyedCoreAnswersPostsWithoutCrashing) {
  {
    Core core(wxFileName(tree_.ExecutablePath()));
    // Constructed but not started: nothing is taken.
    EXPECT_EQ(Post(MakeRecord(7, 0, 1, 2, "x", 1)), POST_NO_MEMORY);
  }
  EXPECT_EQ(Core::instance.load(), nullptr);
  EXPECT_EQ(Post(MakeRecord(7, 0, 1, 2, "x", 1)), POST_NO_MEMORY);
}

TEST_F(CoreLifecycleTest, ClosesAndUnloadsByMaskFiveDescending) {
  Probe* one = AddProbe("one.so", 1);
  Probe* seven = AddProbe("seven.so", 7);
  Probe* three = AddProbe("three.so", 3);
  one->descriptor.subscriptionMask[5] = 1;
  seven->descriptor.subscriptionMask[5] = 7;
  three->descriptor.subscriptionMask[5] = 3;
  StartCore();
  StopCore();
  auto sequenceOf = [](Probe* probe, int entry) {
    auto calls = probe->CallsTo(entry);
    return calls.empty() ? UINT64_MAX : calls[0].sequence;
  };
  EXPECT_LT(sequenceOf(seven, ENTRY_CLOSE), sequenceOf(three, ENTRY_CLOSE));
  EXPECT_LT(sequenceOf(three, ENTRY_CLOSE), sequenceOf(one, ENTRY_CLOSE));
  // Every Close comes before any Unload, which follow the same order.
  EXPECT_LT(sequenceOf(one, ENTRY_CLOSE), sequenceOf(seven, ENTRY_UNLOAD));
  EXPECT_LT(sequenceOf(seven, ENTRY_UNLOAD), sequenceOf(three, ENTRY_UNLOAD));
  EXPECT_LT(sequenceOf(three, ENTRY_UNLOAD), sequenceOf(one, ENTRY_UNLOAD));
}

TEST_F(CoreLifecycleTest, MaskFiveIsComparedUnsigned) {
  Probe* high = AddProbe("high.so", 1);
  Probe* low = AddProbe("low.so", 2);
  high->descriptor.subscriptionMask[5] = 0x80000000u;
  low->descriptor.subscriptionMask[5] = 0x7FFFFFFFu;
  StartCore();
  StopCore();
  EXPECT_LT(high->CallsTo(ENTRY_CLOSE)[0].sequence, low->CallsTo(ENTRY_CLOSE)[0].sequence);
}

TEST_F(CoreLifecycleTest, CallsEachPluginInLifecycleOrderOnTheMainThread) {
  Probe* probe = AddProbe("p.so", 0x10);
  probe->descriptor.readThread = 1;
  StartCore();
  ASSERT_TRUE(probe->WaitForCount(ENTRY_READ, 1, Scaled(5000)));
  StopCore();
  auto calls = probe->Calls();
  std::vector<int> mainThreadEntries;
  for (const ProbeCall& call : calls) {
    if (call.thread == std::this_thread::get_id()) mainThreadEntries.push_back(call.entry);
  }
  EXPECT_EQ(mainThreadEntries,
            (std::vector<int>{ENTRY_LOAD, ENTRY_OPEN, ENTRY_CLOSE, ENTRY_UNLOAD}));
  // The blocks as built by the Core.
  const ProbeCall open = probe->CallsTo(ENTRY_OPEN)[0];
  OpenRequest openRequest;
  memcpy(&openRequest, open.request.data(), sizeof(openRequest));
  EXPECT_EQ(openRequest.size, 20u);
  EXPECT_EQ(openRequest.version, 1u);
  const ProbeCall unload = probe->CallsTo(ENTRY_UNLOAD)[0];
  UnloadRequest unloadRequest;
  memcpy(&unloadRequest, unload.request.data(), sizeof(unloadRequest));
  EXPECT_EQ(unloadRequest.size, 8u);
  EXPECT_EQ(unloadRequest.version, 1u);
}

TEST_F(CoreLifecycleTest, PluginWithOpenCodeFiveStaysAndIsClosed) {
  Probe* probe = AddProbe("five.so", 0x55);
  probe->hooks.open = [] { return 5; };
  StartCore();
  ASSERT_EQ(inspect().Plugins().size(), 1u);
  EXPECT_EQ(inspect().Plugins()[0].openCode, 5);
  StopCore();
  EXPECT_EQ(probe->Count(ENTRY_CLOSE), 1u);
  EXPECT_EQ(probe->Count(ENTRY_UNLOAD), 1u);
}

TEST_F(CoreLifecycleTest, PostsAfterDeliveryEndedAreRefused) {
  Probe* sink = AddProbe("sink.so", 0x20);
  sink->descriptor.eventSink = 1;
  sink->descriptor.subscriptionMask[0] = 0xFFFFFFFFu;
  // Close runs after the event handler has stopped: nothing would deliver
  // the record, so the post must not be answered as if it had been taken.
  sink->hooks.close = [sink] {
    static const char text[] = "late";
    EXPECT_EQ(sink->Post(MakeRecord(0x20, 0, 1, 5, text, 4)), POST_NO_MEMORY);
  };
  StartCore();
  StopCore();
  EXPECT_EQ(sink->Count(ENTRY_WRITE), 0u);
  EXPECT_EQ(inspect().QueueSize(), 0u);
  // After Stop the queue is closed: posts are refused, not left behind.
  EXPECT_EQ(Post(MakeRecord(0x20, 0, 1, 5, "x", 1)), POST_NO_MEMORY);
}

TEST_F(CoreLifecycleTest, StopWaitsForAReadStillRunningUntilUnloadEndsIt) {
  Probe* probe = AddProbe("reader.so", 0x30);
  probe->descriptor.readThread = 1;
  std::atomic<bool> unloading{false};
  std::atomic<bool> readReturned{false};
  probe->hooks.read = [&](const ReadRequest&) {
    while (!unloading.load()) usleep(1000);
    usleep(200 * 1000);  // still inside the plug-in well after Unload returned
    readReturned.store(true);
  };
  probe->hooks.unload = [&] { unloading.store(true); };
  StartCore();
  ASSERT_TRUE(probe->WaitForCount(ENTRY_READ, 1, Scaled(5000)));
  StopCore();
  EXPECT_TRUE(readReturned.load());
  EXPECT_TRUE(log_->Entries().empty());
}

TEST_F(CoreLifecycleTest, IoctlThreadThatReturnsOnlyInUnloadIsWaitedFor) {
  Probe* probe = AddProbe("worker.so", 0x32);
  probe->descriptor.ioctlThread = 1;
  std::atomic<bool> unloading{false};
  std::atomic<bool> returned{false};
  probe->hooks.ioctl = [&](const IoctlRequest& request) -> uint32_t {
    if (request.code != IOCTL_THREAD) return 0;
    while (!unloading.load()) {
      probe->Post(MakeRecord(0x32, 0, 0, 0x1, "tick", 4));  // posts until told to stop
      usleep(1000);
    }
    returned.store(true);
    return 0;
  };
  probe->hooks.unload = [&] { unloading.store(true); };
  StartCore();
  ASSERT_TRUE(probe->WaitForCount(ENTRY_IOCTL, 2, Scaled(5000)));  // thread and status document
  StopCore();
  EXPECT_TRUE(returned.load());
  // Ticks still queued when delivery ends are discarded with a warning; a slow
  // machine may leave some. Nothing else may be logged.
  for (const RecordingLog::Entry& entry : log_->Entries()) {
    EXPECT_EQ(entry.text.rfind("discarded ", 0), 0u) << entry.text;
  }
}

TEST_F(CoreLifecycleTest, ReadThatNeverReturnsLeavesTheLibraryLoadedWithAWarning) {
  Probe* probe = AddProbe("stuck.so", 0x31);
  probe->descriptor.readThread = 1;
  // The call outlives the Core: what it uses must outlive this test's frame.
  static std::atomic<bool> release{false};
  static std::atomic<bool> returned{false};
  release.store(false);
  returned.store(false);
  probe->hooks.read = [](const ReadRequest&) {
    while (!release.load()) usleep(1000);
    returned.store(true);
  };
  StartCore();
  ASSERT_TRUE(probe->WaitForCount(ENTRY_READ, 1, Scaled(5000)));
  StopCore();  // gives up after its bounded wait
  EXPECT_TRUE(log_->Contains(
      wxLOG_Warning, "plugin stuck.so still runs 1 call(s) after Unload; its library stays loaded"));
  release.store(true);
  EXPECT_TRUE(testing_support::WaitUntil([] { return returned.load(); }));
}

TEST_F(CoreLifecycleTest, StalledPluginsShareOneDeadlineAtStop) {
  // Four plug-ins whose Read never returns by itself: Stop gives up on all of
  // them after one wait, not after one wait each.
  constexpr int kStalled = 4;
  static std::atomic<bool> release{false};
  static std::atomic<int> returned{0};
  release.store(false);
  returned.store(0);
  std::vector<Probe*> probes;
  for (int i = 0; i < kStalled; i++) {
    Probe* probe = AddProbe("stuck" + std::to_string(i) + ".so", 0x40 + i);
    probe->descriptor.readThread = 1;
    probe->hooks.read = [](const ReadRequest&) {
      while (!release.load()) usleep(1000);
      returned.fetch_add(1);
    };
    probes.push_back(probe);
  }
  StartCore();
  for (Probe* probe : probes) ASSERT_TRUE(probe->WaitForCount(ENTRY_READ, 1, Scaled(5000)));
  auto before = std::chrono::steady_clock::now();
  StopCore();
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::milliseconds(2 * kCallDrainMilliseconds));
  int warnings = 0;
  for (const RecordingLog::Entry& entry : log_->Entries()) {
    if (entry.text.find("still runs 1 call(s) after Unload") != std::string::npos) warnings++;
  }
  EXPECT_EQ(warnings, kStalled);
  release.store(true);
  EXPECT_TRUE(testing_support::WaitUntil([] { return returned.load() == kStalled; }));
}

}  // namespace
