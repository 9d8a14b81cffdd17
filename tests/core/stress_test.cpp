// Many threads at once: posts on many streams and on none, small and large,
// random keeps and releases, stream stops mid-flow, Read threads coming and
// going, and Stop in the middle of it all. Every payload copy must be freed
// exactly once, every post must answer one of the four codes, no post on a
// stream may overtake the stream's previous payload, and the run must end.
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "core/payload_ledger.h"
#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

const uint32_t kStreams = 8;
const uint32_t kFrameType = 0x02000001;  // class 2: never metered
const uint32_t kProducerBase = 0x5000;

// What the first 16 bytes of every stress payload say.
struct Frame {
  uint32_t poster;
  uint32_t sequence;
  uint32_t stream;
  uint32_t magic;
};
const uint32_t kMagic = 0x5EEDF00D;

class StressTest : public LedgerCoreTest {
 protected:
  // Records a result code and fails on anything but the four.
  void Count(int32_t result) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (result != POST_OK && result != POST_NO_STREAM && result != POST_THROTTLED &&
        result != POST_NO_MEMORY) {
      badResults_++;
    }
    results_[result]++;
  }

  // Called inside every Write: the stream's previous payload must be gone by
  // the time its next one is handed out, and each poster's frames arrive in
  // the order it posted them.
  void CheckFrame(uint32_t sink, const WriteRequest& request) {
    if (request.payloadSize < sizeof(Frame) || request.stream == 0) return;
    Frame frame;
    memcpy(&frame, request.payload, sizeof(frame));
    if (frame.magic != kMagic) return;
    std::lock_guard<std::mutex> hold(mutex_);
    auto& previous = inFlight_[std::make_pair(sink, request.stream)];
    if (previous.first != nullptr && previous.first != request.payload &&
        PayloadLedger::Serial(previous.first) == previous.second) {
      overtaken_++;
    }
    previous = {request.payload, PayloadLedger::Serial(request.payload)};
    auto key = std::make_tuple(sink, request.stream, frame.poster);
    auto last = lastSequence_.find(key);
    if (last != lastSequence_.end() && frame.sequence <= last->second) outOfOrder_++;
    lastSequence_[key] = frame.sequence;
  }

  std::mutex mutex_;
  std::map<int32_t, uint64_t> results_;
  uint64_t badResults_ = 0;
  uint64_t overtaken_ = 0;
  uint64_t outOfOrder_ = 0;
  std::map<std::pair<uint32_t, uint32_t>, std::pair<const void*, uint64_t>> inFlight_;
  std::map<std::tuple<uint32_t, uint32_t, uint32_t>, uint32_t> lastSequence_;
  std::atomic<uint32_t> nextPoster_{1000};  // one per posting thread or Read call
};

TEST_F(StressTest, EverythingAtOnceThenStopInTheMiddle) {
  std::atomic<bool> running{true};

  // Sinks keep a share of what they get; kept payloads wait in a pool that a
  // releaser thread empties in random order.
  struct Kept {
    Probe* owner;
    uint32_t id;
    const void* payload;
  };
  std::mutex poolMutex;
  std::deque<Kept> pool;
  std::vector<Probe*> sinks;
  for (uint32_t i = 0; i < 3; i++) {
    Probe* sink = AddProbe("sink" + std::to_string(i) + ".so", 0x100 + i);
    sink->descriptor.eventSink = 1;
    for (int k = 0; k < 4; k++) sink->descriptor.subscriptionMask[k] = 0xFFFFFFFF;
    sink->hooks.write = [this, sink, i, &pool, &poolMutex](const WriteRequest& request) -> uint32_t {
      CheckFrame(i, request);
      thread_local std::mt19937 random(std::random_device{}());
      if (request.payload == nullptr || random() % 3 != 0) return 0;
      if (random() % 8 == 0) {
        // Give it back inside the call and still ask to keep it: holds nothing.
        sink->Post(MakeRecord(0x100 + i, 0, EVENT_RELEASE, 0, request.payload, 0));
        return 1;
      }
      std::lock_guard<std::mutex> hold(poolMutex);
      pool.push_back({sink, 0x100 + i, request.payload});
      return 1;
    };
    sink->hooks.ioctl = [](const IoctlRequest&) -> uint32_t { return 0; };
    sinks.push_back(sink);
  }

  // Producers answer stream starts with a Read that posts a few frames.
  for (uint32_t i = 0; i < 2; i++) {
    Probe* producer = AddProbe("producer" + std::to_string(i) + ".so", kProducerBase + i);
    producer->descriptor.readThread = 1;
    producer->descriptor.subscriptionMask[0] = 0xFFFFFFFF;
    producer->hooks.read = [this, producer, i](const ReadRequest& request) {
      if (request.stream == 0) return;
      uint32_t poster = nextPoster_.fetch_add(1);
      for (uint32_t n = 1; n <= 5; n++) {
        Frame frame = {poster, n, request.stream, kMagic};
        Count(producer->Post(
            MakeRecord(kProducerBase + i, request.stream, 2, kFrameType, &frame, sizeof(frame))));
      }
    };
  }

  StartCore();
  for (uint32_t s = 1; s <= kStreams; s++) Count(Post(MakeRecord(0, s, 0, 0)));

  std::vector<std::thread> threads;
  // Posters: frames on random streams, plain events on none, now and then a
  // metered one.
  for (uint32_t t = 0; t < 4; t++) {
    threads.emplace_back([this, t, &running] {
      std::mt19937 random(t * 7919 + 1);
      // Now and then a frame large enough for the Core to reuse its block.
      std::vector<uint8_t> buffer(640 << 10, static_cast<uint8_t>(t));
      uint32_t sequence = 0;
      while (running.load()) {
        uint32_t stream = random() % 3 == 0 ? 0 : 1 + random() % kStreams;
        uint32_t size = random() % 64 == 0 ? (256u << 10) + random() % (384u << 10)
                                           : sizeof(Frame) + random() % (4096 - sizeof(Frame));
        Frame frame = {t + 1, ++sequence, stream, kMagic};
        memcpy(buffer.data(), &frame, sizeof(frame));
        uint32_t flags = 1u << (random() % 4);
        uint32_t type = random() % 10 == 0 ? 0x01000003 : kFrameType;
        if (random() % 20 == 0) flags |= EVENT_FLAG_ALL;
        Count(Post(MakeRecord(t + 1, stream, flags, type, buffer.data(), size)));
      }
    });
  }
  // Stream control: stops mid-flow, fresh starts (which call the producers'
  // Read on threads of their own), now and then throttling. A stopped handle
  // is not started again: that would make a new stream on it, whose payloads
  // may rightly travel while the old one's is still kept.
  threads.emplace_back([this, &running] {
    std::mt19937 random(4242);
    uint32_t next = kStreams + 1;
    std::set<uint32_t> stopped;
    while (running.load()) {
      uint32_t stream = 1 + random() % (next - 1);
      if (random() % 4 == 0) {
        Count(Post(MakeRecord(0, stream, EVENT_STOP_STREAM, 0)));
        stopped.insert(stream);
      }
      bool fresh = random() % 2 == 0 || stopped.count(stream) != 0;
      Count(Post(MakeRecord(0, fresh ? next++ : stream, 1, 0x2)));
      if (random() % 10 == 0) inspect().SetThrottling(random() % 2 == 0);
      usleep(500);
    }
  });
  // The releaser: gives kept payloads back in random order, sometimes twice,
  // sometimes under the wrong id, sometimes a pointer never handed out.
  std::atomic<bool> releasing{true};
  std::thread releaser([&] {
    std::mt19937 random(99);
    static const char stranger[] = "never delivered";
    while (releasing.load()) {
      Kept kept{nullptr, 0, nullptr};
      {
        std::lock_guard<std::mutex> hold(poolMutex);
        if (!pool.empty()) {
          // Any one of them, taken out in constant time: the pool may hold
          // thousands, and producers' Read calls wait on what it holds,
          // within Stop's one deadline for calls still running.
          size_t at = random() % pool.size();
          kept = pool[at];
          pool[at] = pool.back();
          pool.pop_back();
        }
      }
      if (kept.payload == nullptr) {
        usleep(200);
        continue;
      }
      if (random() % 10 == 0) kept.owner->Post(MakeRecord(kept.id + 1, 0, EVENT_RELEASE, 0, kept.payload, 0));
      if (random() % 10 == 0) kept.owner->Post(MakeRecord(kept.id, 0, EVENT_RELEASE, 0, stranger, 0));
      kept.owner->Post(MakeRecord(kept.id, 0, EVENT_RELEASE, 0, kept.payload, 0));
      if (random() % 10 == 0) kept.owner->Post(MakeRecord(kept.id, 0, EVENT_RELEASE, 0, kept.payload, 0));
    }
  });

  usleep(Scaled(1500) * 1000);
  StopCore();  // in the middle of it all
  // The posters go on until one of them has been refused by the stopped Core.
  EXPECT_TRUE(testing_support::WaitUntil([this] {
    std::lock_guard<std::mutex> hold(mutex_);
    return results_[POST_NO_MEMORY] > 0;
  }));
  running.store(false);
  for (std::thread& thread : threads) thread.join();
  releasing.store(false);
  releaser.join();

  {
    std::lock_guard<std::mutex> hold(mutex_);
    EXPECT_EQ(badResults_, 0u);
    EXPECT_EQ(overtaken_, 0u);
    EXPECT_EQ(outOfOrder_, 0u);
    EXPECT_GT(results_[POST_OK], 1000u);
    EXPECT_GT(results_[POST_NO_MEMORY], 0u);  // posts after Stop
  }
  // Destroying the Core frees what sinks still kept; then every copy is gone.
  DestroyCore();
  PayloadLedger::Totals totals = PayloadLedger::Read();
  EXPECT_EQ(totals.errors, 0u);
  EXPECT_EQ(totals.live, 0u);
  EXPECT_EQ(totals.copies, totals.frees);
  EXPECT_GT(totals.copies, 1000u);
}

}  // namespace
