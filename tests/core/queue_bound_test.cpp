// The queue's bound: posts beyond it are refused and counted, except the
// delivery thread's own; the bound comes from the environment.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <random>

#include "core/queue_limits.h"
#include "core/chunk_queue.h"
#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

const uint32_t kHold = 0x4000;     // delivery waits inside this event's Write
const uint32_t kRelayed = 0x4001;  // what the relay posts from inside it

class QueueBoundTest : public CoreTest {
 protected:
  void TearDown() override {
    CoreTest::TearDown();
    unsetenv(kQueueMaxBytesVariable);
    unsetenv(kQueueMaxRecordsVariable);
  }

  // A sink whose Write of a kHold event waits until `release`, then posts
  // `relays` events from the delivery thread; it takes flags bit 0 only, so
  // it never sees its own relays (bit 1).
  Probe* AddRelay(int relays) {
    Probe* relay = AddProbe("relay.so", 0x60);
    relay->descriptor.eventSink = 1;
    relay->descriptor.subscriptionMask[0] = 0xFFFFFFFFu;
    relay->hooks.write = [this, relay, relays](const WriteRequest& request) -> uint32_t {
      if (request.type != kHold) return 0;
      while (!release.load()) usleep(1000);
      for (int i = 0; i < relays; i++) {
        int32_t answer = relay->Post(MakeRecord(0x60, 0, 2, kRelayed, "relay", 5));
        std::lock_guard<std::mutex> hold(mutex);
        relayAnswers.push_back(answer);
      }
      return 0;
    };
    return relay;
  }

  // Starts the Core and parks delivery inside the relay's Write, with the
  // queue empty behind it.
  void StartHeld(Probe* relay) {
    StartCore();
    ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, kHold)), POST_OK);
    ASSERT_TRUE(relay->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  }

  // Posts `count` events of `size` payload bytes; how many were taken. Every
  // other answer must be POST_NO_MEMORY.
  int PostMany(int count, uint32_t size) {
    std::vector<char> payload(size, 'p');
    int taken = 0;
    for (int i = 0; i < count; i++) {
      int32_t answer = Post(MakeRecord(0x99, 0, 2, 0x77, payload.data(), size));
      if (answer == POST_OK) {
        taken++;
      } else {
        EXPECT_EQ(answer, POST_NO_MEMORY);
      }
    }
    return taken;
  }

  std::string FullMessage(uint64_t records, uint64_t bytes, int refused) {
    return std::string(wxString::Format(kQueueFullMessage, static_cast<unsigned long long>(records),
                                        static_cast<unsigned long long>(bytes),
                                        static_cast<unsigned long long>(refused))
                           .utf8_str());
  }

  std::atomic<bool> release{false};
  std::mutex mutex;
  std::vector<int32_t> relayAnswers;  // guarded by mutex
};

TEST_F(QueueBoundTest, FullQueueRefusesPostsButNotTheDeliveryThreadsOrTheCoresOwn) {
  setenv(kQueueMaxRecordsVariable, "50", 1);
  Probe* relay = AddRelay(20);
  StartHeld(relay);
  EXPECT_EQ(PostMany(80, 8), 50);
  EXPECT_EQ(inspect().QueueSize(), 50u);
  // The Core's own notices are not lost to a full queue either.
  core()->PostText("still heard");
  EXPECT_EQ(inspect().QueueSize(), 51u);
  // A relay posting from inside Write loses nothing to a full queue.
  release.store(true);
  ASSERT_TRUE(testing_support::WaitUntil([&] {
    std::lock_guard<std::mutex> hold(mutex);
    return relayAnswers.size() == 20;
  }));
  {
    std::lock_guard<std::mutex> hold(mutex);
    EXPECT_EQ(relayAnswers, std::vector<int32_t>(20, POST_OK));
  }
  // The refusals are counted and reported once, not once each.
  std::string message = FullMessage(50, kDefaultQueueMaxBytes, 30);
  EXPECT_TRUE(testing_support::WaitUntil([&] { return log_->Contains(wxLOG_Warning, message); }))
      << message;
  int reports = 0;
  for (const RecordingLog::Entry& entry : log_->Entries()) {
    if (entry.text.find("event queue full") != std::string::npos) reports++;
  }
  EXPECT_EQ(reports, 1);
}

TEST_F(QueueBoundTest, PayloadBytesAndRecordsCountAgainstTheByteBound) {
  // Room for three 1000-byte events with their records, not for four; but
  // one event of any size fits an empty queue.
  uint64_t bound = 4 * (sizeof(EventRecord) + 1000) - 1;
  setenv(kQueueMaxBytesVariable, std::to_string(bound).c_str(), 1);
  setenv(kQueueMaxRecordsVariable, "lots", 1);
  Probe* relay = AddRelay(0);
  StartHeld(relay);
  EXPECT_TRUE(log_->Contains(wxLOG_Warning,
                             "OMBREVARD_QUEUE_MAX_RECORDS is not a positive whole number (\"lots\"); "
                             "using the default 1048576"));
  EXPECT_EQ(PostMany(1, static_cast<uint32_t>(bound) * 2), 1);
  release.store(true);
  ASSERT_TRUE(testing_support::WaitUntil([&] { return inspect().QueueSize() == 0; }));
  release.store(false);
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, kHold)), POST_OK);
  ASSERT_TRUE(relay->WaitForCount(ENTRY_WRITE, 2, Scaled(5000)));
  EXPECT_EQ(PostMany(10, 1000), 3);
  release.store(true);
}

// No memory for the queue's storage: the post is refused as beyond the bound,
// rather than thrown out of PostEvent, and what was queued stays.
TEST_F(QueueBoundTest, NoMemoryForQueueStorageRefusesThePost) {
  SKIP_UNDER_SANITIZER();
  setenv(kQueueMaxRecordsVariable, "100000000", 1);
  setenv(kQueueMaxBytesVariable, "1000000000000", 1);
  Probe* relay = AddRelay(0);
  StartHeld(relay);  // nothing is delivered from here on
  EXPECT_EXIT(
      {
        // Every 64th post needs new storage.
        LimitAddressSpace(512u << 20);
        size_t taken = 0;
        for (int i = 0; i < 20000000; i++) {
          int32_t answer = Post(MakeRecord(0x99, 0, 1, 0x77));
          if (answer == POST_OK) {
            taken++;
            continue;
          }
          _exit(answer == POST_NO_MEMORY && inspect().QueueSize() == taken ? 0 : 1);
        }
        _exit(2);
      },
      testing::ExitedWithCode(0), "");
  release.store(true);
}

// The queue's storage: order and weights survive chunks taken whole,
// consumed in part, put back at the front and reused, against a deque doing
// the same; the slot foretold for the next append is the one it fills.
TEST(ChunkQueueTest, KeepsFirstInFirstOutThroughTakesPutBacksAndReuse) {
  using Queue = ChunkQueue<int, 4>;
  Queue queue;
  Queue::Chunk* held = nullptr;  // the consumer's chunk, its values still in the model
  std::deque<int> model;
  std::mt19937 random(7);
  int next = 1;
  for (int step = 0; step < 20000; step++) {
    int choice = static_cast<int>(random() % 10);
    if (choice < 5) {
      const int* ahead = queue.SlotAhead(0);
      int* slot = queue.Append(static_cast<uint64_t>(next));
      ASSERT_NE(slot, nullptr);
      if (ahead != nullptr) {
        ASSERT_EQ(slot, ahead);
      }
      *slot = next;
      model.push_back(next++);
    } else if (held == nullptr) {
      held = queue.TakeChunk();
      ASSERT_EQ(held == nullptr, model.empty());
      if (held != nullptr) {
        uint64_t weight = 0;
        for (size_t i = held->begin; i < held->end; i++) weight += static_cast<uint64_t>(held->values[i]);
        ASSERT_EQ(held->weight, weight);
      }
    } else if (choice < 9 && held->size() != 0) {
      ASSERT_EQ(held->values[held->begin++], model.front());
      model.pop_front();
    } else if (choice == 9) {
      held->weight = 0;
      for (size_t i = held->begin; i < held->end; i++) held->weight += static_cast<uint64_t>(held->values[i]);
      queue.PutBack(held);
      held = nullptr;
    } else {
      queue.Recycle(held);
      held = nullptr;
    }
    ASSERT_EQ(queue.size() + (held != nullptr ? held->size() : 0), model.size());
    if (queue.empty()) queue.Trim();
  }
  if (held != nullptr) queue.PutBack(held);
  std::vector<int> left;
  queue.ForEach([&left](int value) { left.push_back(value); });
  ASSERT_EQ(left, std::vector<int>(model.begin(), model.end()));
}

}  // namespace
