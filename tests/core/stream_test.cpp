// Streams: start requests and their Read calls, one payload in flight, stops.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

// How long a post is watched to show that it does NOT return.
const int kStillBlockedMs = 150;

class StreamTest : public CoreTest {
 protected:
  Probe* AddProducer(const std::string& name, uint32_t id, uint32_t mask0) {
    Probe* probe = AddProbe(name, id);
    probe->descriptor.readThread = 1;
    probe->descriptor.subscriptionMask[0] = mask0;
    return probe;
  }
  Probe* AddConsumer(const std::string& name, uint32_t id) {
    Probe* probe = AddProbe(name, id);
    probe->descriptor.eventSink = 1;
    probe->descriptor.subscriptionMask[1] = 0xFFFFFFFF;
    return probe;
  }
  std::vector<ProbeCall> ReadsOn(Probe* probe, uint32_t stream) {
    std::vector<ProbeCall> reads;
    for (const ProbeCall& call : probe->CallsTo(ENTRY_READ)) {
      if (call.stream == stream) reads.push_back(call);
    }
    return reads;
  }
  // Posts on another thread; the future holds the result.
  std::future<int32_t> PostAsync(const EventRecord& record) {
    return std::async(std::launch::async, [this, record] { return Post(record); });
  }
  static bool Ready(std::future<int32_t>& result, int ms) {
    return result.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
  }
};

TEST_F(StreamTest, StartRequestCallsEachMatchingProducersReadWithAPrivateCopy) {
  Probe* first = AddProducer("first.so", 1, 0x800002);  // direct key of 0x1000002
  Probe* second = AddProducer("second.so", 2, 0x800002);
  Probe* queuedKey = AddProducer("queued.so", 3, 0x2000002);
  Probe* noReadThread = AddProbe("noread.so", 4);
  noReadThread->descriptor.subscriptionMask[0] = 0xFFFFFFFF;
  StartCore();
  char* payload = static_cast<char*>(malloc(5));
  memcpy(payload, "hello", 5);
  ASSERT_EQ(Post(MakeRecord(0, 42, 1, 0x1000002, payload, 5)), POST_OK);
  free(payload);  // the Read threads made their copies before PostEvent returned
  ASSERT_TRUE(first->WaitForCount(ENTRY_READ, 2, Scaled(5000)));   // scheduler start + stream
  ASSERT_TRUE(second->WaitForCount(ENTRY_READ, 2, Scaled(5000)));
  auto a = ReadsOn(first, 42);
  auto b = ReadsOn(second, 42);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(std::string(a[0].payload.begin(), a[0].payload.end()), "hello");
  EXPECT_EQ(std::string(b[0].payload.begin(), b[0].payload.end()), "hello");
  EXPECT_NE(a[0].payloadPointer, b[0].payloadPointer);
  EXPECT_NE(a[0].thread, std::this_thread::get_id());  // never on the poster's thread
  ReadRequest request;
  memcpy(&request, a[0].request.data(), sizeof(request));
  EXPECT_EQ(request.size, sizeof(ReadRequest));
  EXPECT_EQ(request.ownThread, 1u);
  EXPECT_EQ(request.code, 0u);
  EXPECT_TRUE(ReadsOn(queuedKey, 42).empty());
  EXPECT_EQ(noReadThread->Count(ENTRY_READ), 0u);
  EXPECT_TRUE(inspect().StreamExists(42));
}

TEST_F(StreamTest, DirectKeyKeepsTheTopClassBit) {
  Probe* producer = AddProducer("p.so", 1, 0x40000001);
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 7, 1, 0x80000001)), POST_OK);
  ASSERT_TRUE(producer->WaitFor(
      [](const std::vector<ProbeCall>& calls) {
        for (const ProbeCall& call : calls) {
          if (call.entry == ENTRY_READ && call.stream == 7) return true;
        }
        return false;
      },
      Scaled(5000)));
}

TEST_F(StreamTest, BroadcastFlagsAloneStartNoRead) {
  Probe* producer = AddProducer("p.so", 1, 0xFFFFFFFF);
  StartCore();
  ASSERT_TRUE(producer->WaitForCount(ENTRY_READ, 1, Scaled(5000)));  // scheduler start
  ASSERT_EQ(Post(MakeRecord(0, 8, EVENT_FLAG_OTHERS, 0)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0, 9, EVENT_FLAG_ALL, 0)), POST_OK);
  EXPECT_EQ(producer->Count(ENTRY_READ), 1u);  // both starts dispatch on the posting thread
  EXPECT_TRUE(inspect().StreamExists(8));
}

TEST_F(StreamTest, ReadAtSchedulerStartCarriesNothing) {
  Probe* producer = AddProducer("p.so", 1, 0);
  StartCore();
  ASSERT_TRUE(producer->WaitForCount(ENTRY_READ, 1, Scaled(5000)));
  const ProbeCall call = producer->CallsTo(ENTRY_READ)[0];
  ReadRequest request;
  memcpy(&request, call.request.data(), sizeof(request));
  EXPECT_EQ(request.payloadSize, 0u);
  EXPECT_EQ(request.payload, nullptr);
  EXPECT_EQ(request.stream, 0u);
  EXPECT_EQ(request.ownThread, 1u);
}

TEST_F(StreamTest, KeptPayloadHoldsTheGateUntilItsRelease) {
  Probe* consumer = AddConsumer("c.so", 0x20);
  consumer->hooks.write = [](const WriteRequest& request) -> uint32_t {
    return request.payloadSize == 3 && memcmp(request.payload, "one", 3) == 0 ? 1 : 0;
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 5, 0, 0)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0x30, 5, 2, 0x1, "one", 3)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  const void* kept = consumer->CallsTo(ENTRY_WRITE)[0].payloadPointer;

  auto second = PostAsync(MakeRecord(0x30, 5, 2, 0x1, "two", 3));
  EXPECT_FALSE(Ready(second, kStillBlockedMs));
  // Releases that hold nothing open nothing.
  consumer->Post(MakeRecord(0x20, 0, EVENT_RELEASE, 0, nullptr, 0));
  static const char stranger[] = "never delivered";
  consumer->Post(MakeRecord(0x20, 0, EVENT_RELEASE, 0, stranger, 3));
  consumer->Post(MakeRecord(0x21, 0, EVENT_RELEASE, 0, kept, 3));  // not the keeper
  EXPECT_FALSE(Ready(second, kStillBlockedMs));
  EXPECT_EQ(consumer->Count(ENTRY_WRITE), 1u);

  consumer->Post(MakeRecord(0x20, 0, EVENT_RELEASE, 0, kept, 3));
  ASSERT_TRUE(Ready(second, Scaled(5000)));
  EXPECT_EQ(second.get(), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 2, Scaled(5000)));
  EXPECT_EQ(consumer->CallsTo(ENTRY_WRITE)[1].payload, (std::vector<uint8_t>{'t', 'w', 'o'}));
}

TEST_F(StreamTest, StartRequestOnABusyStreamWaitsForThePayloadInFlight) {
  Probe* consumer = AddConsumer("c.so", 0x20);
  consumer->keepAll = 1;
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 6, 0, 0)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0x30, 6, 2, 0x1, "one", 3)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  const void* kept = consumer->CallsTo(ENTRY_WRITE)[0].payloadPointer;
  auto restart = PostAsync(MakeRecord(0, 6, 0, 0));
  EXPECT_FALSE(Ready(restart, kStillBlockedMs));
  consumer->Post(MakeRecord(0x20, 0, EVENT_RELEASE, 0, kept, 3));
  ASSERT_TRUE(Ready(restart, Scaled(5000)));
  EXPECT_EQ(restart.get(), POST_OK);
}

TEST_F(StreamTest, NoPostOvertakesTheStreamsPreviousPayload) {
  Probe* consumer = AddConsumer("c.so", 0x20);
  // The consumer checks, inside each Write, that at most one payload of the
  // stream is alive: the previous one must be gone before the next is queued.
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 9, 0, 0)), POST_OK);
  const int kPerThread = 300;
  auto producer = [this](uint32_t tag) {
    for (uint32_t i = 0; i < kPerThread; i++) {
      uint32_t value[2] = {tag, i};
      EXPECT_EQ(Post(MakeRecord(0x30 + tag, 9, 2, 0x1, value, sizeof(value))), POST_OK);
    }
  };
  std::thread a(producer, 1), b(producer, 2);
  a.join();
  b.join();
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 2 * kPerThread, Scaled(10000)));
  uint32_t next[3] = {0, 0, 0};
  for (const ProbeCall& call : consumer->CallsTo(ENTRY_WRITE)) {
    uint32_t value[2];
    memcpy(value, call.payload.data(), sizeof(value));
    EXPECT_EQ(value[1], next[value[0]]++);  // each thread's posts arrive in its order
  }
  StopCore();
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
}

TEST_F(StreamTest, RecordWithoutPayloadStillOpensTheGate) {
  Probe* consumer = AddConsumer("c.so", 0x20);
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 10, 0, 0)), POST_OK);
  for (int i = 0; i < 20; i++) ASSERT_EQ(Post(MakeRecord(0x30, 10, 2, 0x1)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 20, Scaled(5000)));
}

TEST_F(StreamTest, StopRequestCancelsTheStreamAndFreesItsWaiters) {
  Probe* consumer = AddConsumer("c.so", 0x20);
  consumer->keepAll = 1;
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 11, 0, 0)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0x30, 11, 2, 0x1, "one", 3)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  auto waiting = PostAsync(MakeRecord(0x30, 11, 2, 0x1, "two", 3));
  EXPECT_FALSE(Ready(waiting, kStillBlockedMs));
  ASSERT_EQ(Post(MakeRecord(0, 11, EVENT_STOP_STREAM, 0)), POST_OK);
  ASSERT_TRUE(Ready(waiting, Scaled(5000)));
  EXPECT_EQ(waiting.get(), POST_NO_STREAM);
  EXPECT_FALSE(inspect().StreamExists(11));
  EXPECT_EQ(Post(MakeRecord(0x30, 11, 2, 0x1, "three", 5)), POST_NO_STREAM);
  EXPECT_EQ(consumer->Count(ENTRY_WRITE), 1u);
  // A new start request makes a new stream on the handle, whose gate owes
  // nothing to the old stream's payload, still kept.
  ASSERT_EQ(Post(MakeRecord(0, 11, 0, 0)), POST_OK);
  EXPECT_EQ(Post(MakeRecord(0x30, 11, 2, 0x1, "four", 4)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 2, Scaled(5000)));
}

TEST_F(StreamTest, PostsAfterDeliveryEndedNeverWaitOnUndeliverableRecords) {
  // Once the event handler has stopped, nothing more is delivered: a record
  // posted then must not hold its stream's gate against the next poster (a
  // plug-in that joins its posting thread in Close would wait for ever).
  Probe* poster = AddProbe("poster.so", 0x40);
  std::future<int32_t> second;
  poster->hooks.close = [&] {
    EXPECT_EQ(poster->Post(MakeRecord(0x40, 12, 2, 0x1, "first", 5)), POST_NO_MEMORY);
    second = std::async(std::launch::async, [poster] {
      return poster->Post(MakeRecord(0x40, 12, 2, 0x1, "second", 6));
    });
    ASSERT_TRUE(Ready(second, Scaled(5000)));
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 12, 0, 0)), POST_OK);
  StopCore();
  EXPECT_EQ(second.get(), POST_NO_MEMORY);
  EXPECT_EQ(inspect().QueueSize(), 0u);
}

TEST_F(StreamTest, ProducerStreamsFromItsReadCallInOrder) {
  Probe* producer = AddProducer("p.so", 0x70, 0x800002);
  Probe* consumer = AddConsumer("c.so", 0x20);
  producer->hooks.read = [producer](const ReadRequest& request) {
    if (request.stream == 0) return;  // the call at scheduler start
    for (uint32_t frame = 0; frame < 50; frame++) {
      EXPECT_EQ(producer->Post(MakeRecord(0x70, request.stream, 2, 0x1, &frame, sizeof(frame))),
                POST_OK);
    }
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 21, 1, 0x1000002)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 50, Scaled(10000)));
  uint32_t expected = 0;
  for (const ProbeCall& call : consumer->CallsTo(ENTRY_WRITE)) {
    uint32_t frame;
    memcpy(&frame, call.payload.data(), sizeof(frame));
    EXPECT_EQ(call.stream, 21u);
    EXPECT_EQ(call.source, 0x70u);
    EXPECT_EQ(frame, expected++);
  }
}

TEST_F(StreamTest, StoppedStreamsGoOnceNothingIsInFlight) {
  Probe* consumer = AddConsumer("c.so", 0x20);
  consumer->hooks.write = [](const WriteRequest& request) -> uint32_t {
    return request.stream == 2 ? 1 : 0;  // keeps what comes on stream 2
  };
  StartCore();
  for (uint32_t handle = 1000; handle < 3000; handle++) {
    ASSERT_EQ(Post(MakeRecord(0, handle, 0, 0)), POST_OK);
    ASSERT_EQ(Post(MakeRecord(0, handle, EVENT_STOP_STREAM, 0)), POST_OK);
  }
  EXPECT_EQ(inspect().StreamCount(), 0u);
  // A stopped stream whose payload is still kept stays until its release.
  ASSERT_EQ(Post(MakeRecord(0, 2, 0, 0)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0x30, 2, 2, 0x1, "kept", 4)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  ASSERT_EQ(Post(MakeRecord(0, 2, EVENT_STOP_STREAM, 0)), POST_OK);
  EXPECT_FALSE(inspect().StreamExists(2));
  EXPECT_EQ(inspect().StreamCount(), 1u);
  const void* kept = consumer->CallsTo(ENTRY_WRITE)[0].payloadPointer;
  ASSERT_EQ(consumer->Post(MakeRecord(0x20, 0, EVENT_RELEASE, 0, kept, 0)), POST_OK);
  // The release may come while the delivery is still ending; then the end
  // of the delivery frees the payload.
  EXPECT_TRUE(testing_support::WaitUntil([&] { return inspect().StreamCount() == 0; }));
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
}

TEST_F(StreamTest, PostFromWriteOnAGateOnlyDeliveryOpensFailsAtOnce) {
  // The gate of a stream whose payload is being handed over opens only when
  // this very delivery ends: a post or start on it from inside Write would
  // wait for ever, so it is refused at once.
  Probe* consumer = AddConsumer("c.so", 0x20);
  std::vector<int32_t> answers;  // written on the delivery thread, read after Stop
  consumer->hooks.write = [&](const WriteRequest& request) -> uint32_t {
    if (request.type == 0x1) {
      answers.push_back(consumer->Post(MakeRecord(0x20, request.stream, 2, 0x2, "own", 3)));
      answers.push_back(consumer->Post(MakeRecord(0, request.stream, 0, 0)));  // a start
    }
    return 0;
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0, 31, 0, 0)), POST_OK);
  ASSERT_EQ(Post(MakeRecord(0x30, 31, 2, 0x1, "frame", 5)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  // The stream still works afterwards.
  ASSERT_EQ(Post(MakeRecord(0x30, 31, 2, 0x3, "next", 4)), POST_OK);
  ASSERT_TRUE(consumer->WaitForCount(ENTRY_WRITE, 2, Scaled(5000)));
  StopCore();
  EXPECT_EQ(answers, (std::vector<int32_t>{POST_NO_MEMORY, POST_NO_MEMORY}));
}

class StreamDeathTest : public StreamTest {};

TEST_F(StreamDeathTest, ReadWithoutRoomForItsCopyIsSkipped) {
  SKIP_UNDER_SANITIZER();
  Probe* producer = AddProducer("p.so", 1, 0xFFFFFFFF);
  StartCore();
  ASSERT_TRUE(producer->WaitForCount(ENTRY_READ, 1, Scaled(5000)));
  EXPECT_EXIT(
      {
        LimitAddressSpace(512u << 20);
        static const char small[] = "the size lies";
        int32_t answer = Post(MakeRecord(0, 13, 1, 0, small, kUnallocatableSize));
        bool called = producer->WaitForCount(ENTRY_READ, 2, 300);
        _exit(answer == POST_OK && !called ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
