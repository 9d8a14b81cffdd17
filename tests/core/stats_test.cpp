// The Core's counters as plug-ins read them (OmbrevardReadCoreStats, looked
// up as a plug-in does), and the stall watchdog over delivery and Stop.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/queue_limits.h"
#include "core/stall_watch.h"
#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;
using testing_support::WaitUntil;

struct Snapshot {
  int32_t filled = -1;
  CoreStats core = MakePluginBlock<CoreStats>();
  std::vector<CorePluginStats> plugins;

  const CorePluginStats* Plugin(const std::string& file) const {
    for (int32_t i = 0; i < filled; i++) {
      if (file == plugins[i].file) return &plugins[i];
    }
    return nullptr;
  }
};

Snapshot ReadStats(uint32_t capacity = 8) {
  auto read = reinterpret_cast<CoreStatsFunction>(dlsym(RTLD_DEFAULT, CORE_STATS_SYMBOL));
  Snapshot snapshot;
  EXPECT_NE(read, nullptr) << "the executable does not export " CORE_STATS_SYMBOL;
  if (read == nullptr) return snapshot;
  snapshot.plugins.assign(capacity, MakePluginBlock<CorePluginStats>());
  snapshot.filled = read(&snapshot.core, snapshot.plugins.data(), capacity);
  return snapshot;
}

// A probe that takes every event selecting mask 0 through Write and keeps
// what its keepAll says.
Probe* AddSink(Probe* probe) {
  probe->hooks.ioctl = [](const IoctlRequest&) -> uint32_t { return 0; };  // keeps no broadcast
  probe->descriptor.eventSink = 1;
  probe->descriptor.subscriptionMask[0] = 0xFFFFFFFFu;
  return probe;
}

class CoreStatsTest : public CoreTest {
 protected:
  void TearDown() override {
    release.store(true);
    CoreTest::TearDown();
    unsetenv(kQueueMaxRecordsVariable);
  }
  std::atomic<bool> release{false};
};

TEST_F(CoreStatsTest, CountsPostsDeliveriesKeptPayloadsAndTheQueue) {
  setenv(kQueueMaxRecordsVariable, "3", 1);
  Probe* held = AddSink(AddProbe("held.so", 0x10));
  Probe* keeper = AddSink(AddProbe("keeper.so", 0x20));
  keeper->keepAll = 1;
  Probe* reader = AddProbe("reader.so", 0x30);
  reader->descriptor.readThread = 1;
  reader->hooks.read = [this](const ReadRequest&) {
    while (!release.load()) usleep(1000);
  };
  // The first data event parks delivery inside held.so's Write.
  held->hooks.write = [this](const WriteRequest& request) -> uint32_t {
    if (request.type == 1) {
      while (!release.load()) usleep(1000);
    }
    return 0;
  };
  EXPECT_EQ(ReadStats().filled, -1);  // no Core running
  StartCore();
  ASSERT_TRUE(held->WaitForCount(ENTRY_IOCTL, 1, Scaled(5000)));  // the status document
  ASSERT_TRUE(reader->WaitForCount(ENTRY_READ, 1, Scaled(5000)));
  const uint32_t statusBytes = static_cast<uint32_t>(StatusText(held).size());

  const char payload[10] = "ninebytes";
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 1, payload, 10)), POST_OK);
  ASSERT_TRUE(held->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  for (int i = 0; i < 3; i++) EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 2, payload, 10)), POST_OK);
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 2, payload, 10)), POST_NO_MEMORY);  // the queue is full
  EXPECT_EQ(Post(MakeRecord(0x99, 0x77, 1, 2, payload, 10)), POST_NO_STREAM);
  inspect().SetThrottling(true);
  EXPECT_EQ(Post(MakeRecord(0x99, 0, EVENT_FLAG_METERED, TYPE_CLASS_METERED, payload, 10)),
            POST_THROTTLED);
  inspect().SetThrottling(false);

  Snapshot busy = ReadStats();
  ASSERT_EQ(busy.filled, 3);
  ASSERT_EQ(busy.core.noticesPosted, 0u);  // a notice would add to the posts below
  EXPECT_EQ(busy.core.size, sizeof(CoreStats));
  EXPECT_EQ(busy.core.pluginCount, 3u);
  EXPECT_EQ(busy.core.posts[CORE_STATS_POST_OK], 5u);  // the status document and four
  EXPECT_EQ(busy.core.posts[CORE_STATS_POST_NO_MEMORY], 1u);
  EXPECT_EQ(busy.core.posts[CORE_STATS_POST_NO_STREAM], 1u);
  EXPECT_EQ(busy.core.posts[CORE_STATS_POST_THROTTLED], 1u);
  EXPECT_EQ(busy.core.queueDepth, 3u);
  EXPECT_EQ(busy.core.queueHighWater, 3u);
  EXPECT_EQ(busy.core.bytesCopied, statusBytes + 40u);
  EXPECT_EQ(busy.core.readThreads, 1u);
  const CorePluginStats* reading = busy.Plugin("reader.so");
  ASSERT_NE(reading, nullptr);
  EXPECT_EQ(reading->id, 0x30u);
  EXPECT_EQ(reading->writes, 0u);
  EXPECT_EQ(reading->ioctls, 1u);

  release.store(true);
  ASSERT_TRUE(keeper->WaitForCount(ENTRY_WRITE, 4, Scaled(5000)));
  // The probe sees a call begin; the Core counts it once it has returned.
  ASSERT_TRUE(WaitUntil([] {
    Snapshot now = ReadStats();
    const CorePluginStats* keeping = now.Plugin("keeper.so");
    return keeping != nullptr && keeping->payloadsKept == 4 && now.core.readThreads == 0;
  }));
  // keeper.so gave back one of the four payloads it kept.
  keeper->Post(MakeRecord(0x20, 0, EVENT_RELEASE, 0, keeper->CallsTo(ENTRY_WRITE)[0].payloadPointer));
  Snapshot after = ReadStats();
  EXPECT_EQ(after.core.queueDepth, 0u);
  EXPECT_EQ(after.core.queueHighWater, 3u);
  const CorePluginStats* keeping = after.Plugin("keeper.so");
  const CorePluginStats* holding = after.Plugin("held.so");
  ASSERT_NE(keeping, nullptr);
  ASSERT_NE(holding, nullptr);
  EXPECT_EQ(holding->writes, 4u);
  EXPECT_EQ(holding->ioctls, 1u);
  EXPECT_EQ(holding->payloadsKept, 0u);
  EXPECT_EQ(keeping->writes, 4u);
  EXPECT_EQ(keeping->payloadsKept, 3u);
  EXPECT_EQ(keeping->bytesKept, 30u);
  EXPECT_EQ(keeping->stalls, 0u);

  // A caller built against a shorter header gets what it has room for.
  auto read = reinterpret_cast<CoreStatsFunction>(dlsym(RTLD_DEFAULT, CORE_STATS_SYMBOL));
  CoreStats shorter = MakePluginBlock<CoreStats>();
  shorter.size = offsetof(CoreStats, bytesCopied);
  shorter.bytesCopied = 12345;
  EXPECT_EQ(read(&shorter, nullptr, 0), 0);
  EXPECT_EQ(shorter.size, offsetof(CoreStats, bytesCopied));
  EXPECT_EQ(shorter.posts[CORE_STATS_POST_OK], after.core.posts[CORE_STATS_POST_OK]);
  EXPECT_EQ(shorter.bytesCopied, 12345u);
  shorter.size = 8;
  EXPECT_EQ(read(&shorter, nullptr, 0), -1);
  EXPECT_EQ(ReadStats(1).filled, 1);
  StopCore();
  EXPECT_EQ(ReadStats().filled, -1);
}

TEST_F(CoreStatsTest, CountsStreamsAndTheirPayloadsInFlight) {
  Probe* keeper = AddSink(AddProbe("keeper.so", 0x20));
  keeper->keepAll = 1;
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 0x55, 1, 0)), POST_OK);  // starts the stream
  ASSERT_EQ(Post(MakeRecord(0x99, 0x55, 1, 2, "abc", 3)), POST_OK);
  ASSERT_TRUE(keeper->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  ASSERT_TRUE(WaitUntil([] {  // counted once the Write has returned
    Snapshot now = ReadStats();
    const CorePluginStats* keeping = now.Plugin("keeper.so");
    return keeping != nullptr && keeping->payloadsKept == 1;
  }));
  Snapshot kept = ReadStats();
  EXPECT_EQ(kept.core.streamsOpen, 1u);
  EXPECT_EQ(kept.core.payloadsInFlight, 1u);  // the gate waits for keeper.so
  EXPECT_EQ(kept.core.postersWaiting, 0u);
  EXPECT_EQ(kept.Plugin("keeper.so")->bytesKept, 3u);
  keeper->Post(MakeRecord(0x20, 0, EVENT_RELEASE, 0, keeper->CallsTo(ENTRY_WRITE)[0].payloadPointer));
  ASSERT_EQ(Post(MakeRecord(0, 0x55, EVENT_STOP_STREAM, 0)), POST_OK);
  Snapshot stopped = ReadStats();
  EXPECT_EQ(stopped.core.streamsOpen, 0u);
  EXPECT_EQ(stopped.core.payloadsInFlight, 0u);
  EXPECT_EQ(stopped.Plugin("keeper.so")->payloadsKept, 0u);
}

class StallWatchdogTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    setenv(kStallVariable, "50", 1);
  }
  void TearDown() override {
    CoreTest::TearDown();
    unsetenv(kStallVariable);
  }

  // Log warnings that begin with `prefix`.
  int Count(const std::string& prefix) {
    int count = 0;
    for (const RecordingLog::Entry& entry : log_->Entries()) {
      if (entry.level == wxLOG_Warning && entry.text.compare(0, prefix.size(), prefix) == 0) count++;
    }
    return count;
  }
  // Stays inside the plug-in until the watchdog has named the call, then a
  // few ticks more, to show that a stall is reported once.
  void StallUntilNamed(const std::string& prefix) {
    EXPECT_TRUE(WaitUntil([&] { return Count(prefix) > 0; }, Scaled(10000))) << prefix;
    usleep(3 * kStallSampleMilliseconds * 1000);
  }
};

TEST_F(StallWatchdogTest, NamesAStalledWriteAndIoctlOnceEachAndTheirReturn) {
  Probe* slow = AddSink(AddProbe("slow.so", 0x10));
  Probe* quick = AddSink(AddProbe("quick.so", 0x20));
  slow->hooks.write = [this](const WriteRequest&) -> uint32_t {
    StallUntilNamed("plugin slow.so has been in Write for ");
    return 0;
  };
  slow->hooks.ioctl = [this](const IoctlRequest& request) -> uint32_t {
    if (request.code == IOCTL_EVENT_ALL) StallUntilNamed("plugin slow.so has been in IOCTL for ");
    return 0;
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 2)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0x99, 0, EVENT_FLAG_ALL, 2)), POST_OK);
  ASSERT_TRUE(quick->WaitForCount(ENTRY_IOCTL, 2, Scaled(10000)));
  ASSERT_TRUE(WaitUntil([&] { return Count("plugin slow.so returned from IOCTL after ") == 1; },
                        Scaled(10000)));
  EXPECT_EQ(Count("plugin slow.so has been in Write for "), 1);
  EXPECT_EQ(Count("plugin slow.so returned from Write after "), 1);
  EXPECT_EQ(Count("plugin slow.so has been in IOCTL for "), 1);
  EXPECT_EQ(Count("plugin quick.so"), 0);
  for (const RecordingLog::Entry& entry : log_->Entries()) {
    int ms = 0;
    if (sscanf(entry.text.c_str(), "plugin slow.so has been in Write for %d ms; delivery is waiting",
               &ms) == 1) {
      EXPECT_GE(ms, 50) << entry.text;
    }
  }
  Snapshot stats = ReadStats();
  EXPECT_EQ(stats.Plugin("slow.so")->stalls, 2u);
  EXPECT_EQ(stats.Plugin("quick.so")->stalls, 0u);
}

TEST_F(StallWatchdogTest, StopNamesAPluginSlowInCloseOrUnload) {
  Probe* closing = AddProbe("closing.so", 0x10);
  Probe* unloading = AddProbe("unloading.so", 0x20);
  closing->hooks.close = [this] { StallUntilNamed("plugin closing.so has been in Close for "); };
  unloading->hooks.unload = [this] {
    StallUntilNamed("plugin unloading.so has been in Unload for ");
  };
  StartCore();
  StopCore();
  for (const char* name : {"closing.so has been in Close", "unloading.so has been in Unload"}) {
    bool named = false;
    for (const RecordingLog::Entry& entry : log_->Entries()) {
      if (entry.text.find(name) != std::string::npos) {
        named = true;
        EXPECT_NE(entry.text.find("ms; stop is waiting"), std::string::npos) << entry.text;
      }
    }
    EXPECT_TRUE(named) << name;
  }
  EXPECT_EQ(Count("plugin closing.so returned from Close after "), 1);
  EXPECT_EQ(Count("plugin unloading.so returned from Unload after "), 1);
}

TEST_F(StallWatchdogTest, BadThresholdFallsBackToTheDefault) {
  setenv(kStallVariable, "0", 1);
  StartCore();
  EXPECT_TRUE(log_->Contains(
      wxLOG_Warning, "OMBREVARD_STALL_MS is not a positive whole number (\"0\"); using the default 1000"));
}

}  // namespace
