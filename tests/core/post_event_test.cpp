// PostEvent: the four kinds of post, their results, and the payload copy.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "core/payload_copy.h"
#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

class PostEventTest : public CoreTest {
 protected:
  // A sink that takes every queued event through Write.
  Probe* AddSink(const std::string& name, uint32_t id) {
    Probe* sink = AddProbe(name, id);
    sink->descriptor.eventSink = 1;
    for (int k = 0; k < PLUGIN_SUBSCRIPTION_MASKS; k++) {
      sink->descriptor.subscriptionMask[k] = 0xFFFFFFFFu;
    }
    return sink;
  }
  // Posts a marker and waits until `sink` has seen it: everything posted
  // before has been delivered by then.
  void Flush(Probe* sink) {
    static const char marker[] = "marker";
    size_t before = sink->Count(ENTRY_WRITE);
    ASSERT_EQ(Post(MakeRecord(0x7777, 0, 1, 0x42, marker, 6)), POST_OK);
    ASSERT_TRUE(sink->WaitFor(
        [&](const std::vector<ProbeCall>& calls) {
          size_t writes = 0;
          bool seen = false;
          for (const ProbeCall& call : calls) {
            if (call.entry != ENTRY_WRITE) continue;
            if (++writes > before && call.type == 0x42) seen = true;
          }
          return seen;
        },
        Scaled(5000)));
  }
  // The marker of Flush may still be in its delivery pass: wait for it.
  bool HeldSettlesAt(size_t count) {
    return testing_support::WaitUntil([&] { return inspect().HeldPayloads() == count; });
  }
  std::vector<ProbeCall> WritesOfType(Probe* sink, uint32_t type) {
    std::vector<ProbeCall> writes;
    for (const ProbeCall& call : sink->CallsTo(ENTRY_WRITE)) {
      if (call.type == type) writes.push_back(call);
    }
    return writes;
  }
};

TEST_F(PostEventTest, OrdinaryPostIsCopiedOnceAndDeliveredByteForByte) {
  Probe* sink = AddSink("sink.so", 0x10);
  StartCore();
  char payload[64];
  for (int i = 0; i < 64; i++) payload[i] = static_cast<char>(i * 7);
  EventRecord record = MakeRecord(0x99, 0, 1, 0x123, payload, sizeof(payload));
  for (int i = 0; i < 152; i++) record.body[i] = static_cast<uint8_t>(255 - i);
  ASSERT_EQ(Post(record), POST_OK);
  memset(payload, 0, sizeof(payload));  // the poster keeps its memory; the Core has its copy
  Flush(sink);
  auto writes = WritesOfType(sink, 0x123);
  ASSERT_EQ(writes.size(), 1u);
  const ProbeCall& write = writes[0];
  EXPECT_NE(write.payloadPointer, static_cast<const void*>(payload));
  ASSERT_EQ(write.payload.size(), 64u);
  for (int i = 0; i < 64; i++) EXPECT_EQ(write.payload[i], static_cast<uint8_t>(i * 7));
  // Bytes 16.. of the Write request are the record's bytes 8.., with the
  // payload pointer already the Core's copy.
  WriteRequest request;
  memcpy(&request, write.request.data(), sizeof(request));
  EXPECT_EQ(request.size, sizeof(WriteRequest));
  EXPECT_EQ(request.version, 1u);
  EXPECT_EQ(request.code, 0u);
  EXPECT_EQ(request.ownThread, 0u);
  EventRecord expected = record;
  expected.payload = const_cast<void*>(write.payloadPointer);
  EXPECT_EQ(0, memcmp(write.request.data() + offsetof(WriteRequest, payloadSize),
                      reinterpret_cast<const uint8_t*>(&expected) + offsetof(EventRecord, payloadSize),
                      sizeof(EventRecord) - offsetof(EventRecord, payloadSize)));
  StopCore();
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
}

TEST_F(PostEventTest, ReleaseFlagWinsOverNonZeroSource) {
  Probe* sink = AddSink("sink.so", 0x10);
  StartCore();
  // 0x200 with a source is a release of a payload nobody holds: nothing queued.
  EXPECT_EQ(Post(MakeRecord(0x99, 0, EVENT_RELEASE, 0x500, "abc", 3)), POST_OK);
  // 0x201 is no release: an ordinary post, delivered through mask 0.
  EXPECT_EQ(Post(MakeRecord(0x99, 0, EVENT_RELEASE | 1, 0x501, "abc", 3)), POST_OK);
  Flush(sink);
  EXPECT_TRUE(WritesOfType(sink, 0x500).empty());
  EXPECT_EQ(WritesOfType(sink, 0x501).size(), 1u);
}

TEST_F(PostEventTest, StopForUnknownStreamCreatesNothing) {
  StartCore();
  EXPECT_EQ(Post(MakeRecord(0, 4242, EVENT_STOP_STREAM, 0)), POST_OK);
  EXPECT_FALSE(inspect().StreamExists(4242));
  // 0x1000 with a source is an ordinary post with no meaning of its own.
  EXPECT_EQ(Post(MakeRecord(5, 0, EVENT_STOP_STREAM, 0)), POST_OK);
}

TEST_F(PostEventTest, PostOnUnknownStreamAnswersNoStream) {
  Probe* sink = AddSink("sink.so", 0x10);
  StartCore();
  EXPECT_EQ(Post(MakeRecord(0x99, 31337, 1, 0x600, "abc", 3)), POST_NO_STREAM);
  Flush(sink);
  EXPECT_TRUE(WritesOfType(sink, 0x600).empty());
}

TEST_F(PostEventTest, PayloadWithoutSizeTravelsAsNull) {
  Probe* sink = AddSink("sink.so", 0x10);
  StartCore();
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 0x700, "abc", 0)), POST_OK);
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 0x701, nullptr, 12)), POST_OK);
  Flush(sink);
  for (uint32_t type : {0x700u, 0x701u}) {
    auto writes = WritesOfType(sink, type);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].payloadPointer, nullptr);
    EXPECT_EQ(writes[0].payloadSize, 0u);
  }
}

TEST_F(PostEventTest, MeteredPostsAreRefusedOnlyWhileThrottling) {
  Probe* sink = AddSink("sink.so", 0x10);
  StartCore();
  inspect().SetThrottling(true);
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 0x01000800, "m", 1)), POST_THROTTLED);
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 3, 0x03000801, "m", 1)), POST_THROTTLED);  // class 3: bit 24 set
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 0x02000802, "n", 1)), POST_OK);  // class 2: not metered
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 2, 0x01000803, "n", 1)), POST_OK);  // flags bit 0 clear
  core()->PostText("a notice is never metered");
  inspect().SetThrottling(false);
  EXPECT_EQ(Post(MakeRecord(0x99, 0, 1, 0x01000804, "m", 1)), POST_OK);
  Flush(sink);
  EXPECT_TRUE(WritesOfType(sink, 0x01000800).empty());
  EXPECT_TRUE(WritesOfType(sink, 0x03000801).empty());
  EXPECT_EQ(WritesOfType(sink, 0x02000802).size(), 1u);
  EXPECT_EQ(WritesOfType(sink, 0x01000803).size(), 1u);
  EXPECT_EQ(WritesOfType(sink, 0x01000804).size(), 1u);
  auto notices = WritesOfType(sink, TYPE_TEXT_NOTICE);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(std::string(notices[0].payload.begin(), notices[0].payload.end()),
            "a notice is never metered");
}

TEST_F(PostEventTest, TextNoticeIsAnOrdinaryPostFromTheCore) {
  Probe* sink = AddProbe("sink.so", 0x10);
  sink->descriptor.eventSink = 1;
  sink->descriptor.subscriptionMask[6] = 0x2000002;  // the notice's queued key
  StartCore();
  core()->PostText("hello");
  core()->PostText("");
  ASSERT_TRUE(sink->WaitForCount(ENTRY_WRITE, 2, Scaled(5000)));
  auto writes = sink->CallsTo(ENTRY_WRITE);
  EXPECT_EQ(writes[0].source, SOURCE_CORE);
  EXPECT_EQ(writes[0].flags, 0x40u);
  EXPECT_EQ(writes[0].type, 0x1000002u);
  EXPECT_EQ(writes[0].stream, 0u);
  EXPECT_EQ(std::string(writes[0].payload.begin(), writes[0].payload.end()), "hello");
  EXPECT_EQ(writes[0].payloadSize, 5u);  // no terminating zero
  EXPECT_EQ(writes[1].payloadPointer, nullptr);
  EXPECT_EQ(writes[1].payloadSize, 0u);
}

TEST_F(PostEventTest, KeptPayloadStaysIntactUntilReleased) {
  Probe* keeper = AddSink("keeper.so", 0x10);
  keeper->hooks.write = [](const WriteRequest& request) -> uint32_t {
    return request.type == 0x800 ? 1 : 0;
  };
  StartCore();
  static const char text[] = "keep me";
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 0x800, text, 7)), POST_OK);
  ASSERT_TRUE(keeper->WaitFor(
      [](const std::vector<ProbeCall>& calls) {
        for (const ProbeCall& call : calls) {
          if (call.entry == ENTRY_WRITE && call.type == 0x800) return true;
        }
        return false;
      },
      Scaled(5000)));
  const void* kept = WritesOfType(keeper, 0x800)[0].payloadPointer;
  Flush(keeper);  // the delivery pass of the kept record is long over
  EXPECT_EQ(memcmp(kept, text, 7), 0);
  EXPECT_TRUE(HeldSettlesAt(1));
  // A release under another id leaves it held; under the keeper's id frees it.
  EXPECT_EQ(keeper->Post(MakeRecord(0x11, 0, EVENT_RELEASE, 0, kept, 7)), POST_OK);
  EXPECT_EQ(inspect().HeldPayloads(), 1u);
  EXPECT_EQ(keeper->Post(MakeRecord(0x10, 0, EVENT_RELEASE, 0, kept, 7)), POST_OK);
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
  // Released twice: nothing is held, nothing is freed again.
  EXPECT_EQ(keeper->Post(MakeRecord(0x10, 0, EVENT_RELEASE, 0, kept, 7)), POST_OK);
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
}

TEST_F(PostEventTest, ReleaseDuringTheCallBeatsKeep) {
  // A plug-in that gives the payload back inside Write and still answers keep
  // holds nothing afterwards: the payload is freed at the end of the pass.
  Probe* sink = AddSink("sink.so", 0x10);
  sink->hooks.write = [sink](const WriteRequest& request) -> uint32_t {
    if (request.type != 0x900) return 0;
    sink->Post(MakeRecord(0x10, 0, EVENT_RELEASE, 0, request.payload, request.payloadSize));
    return 1;
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 0x900, "abc", 3)), POST_OK);
  Flush(sink);
  EXPECT_TRUE(HeldSettlesAt(0));
}

TEST_F(PostEventTest, ReleaseCannotTakeTheCoresOwnHold) {
  // Two keepers; the first, in its own call, releases under the Core's id.
  // The payload must survive until the second keeper's call and both releases.
  Probe* first = AddSink("first.so", 0x10);
  Probe* second = AddSink("second.so", 0x11);
  first->hooks.write = [first](const WriteRequest& request) -> uint32_t {
    if (request.type != 0xA00) return 0;
    first->Post(MakeRecord(SOURCE_CORE, 0, EVENT_RELEASE, 0, request.payload, 0));
    return 1;
  };
  second->hooks.write = [](const WriteRequest& request) -> uint32_t {
    return request.type == 0xA00 ? 1 : 0;
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, 0xA00, "intact", 6)), POST_OK);
  Flush(second);
  auto seen = WritesOfType(second, 0xA00);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(std::string(seen[0].payload.begin(), seen[0].payload.end()), "intact");
  EXPECT_TRUE(HeldSettlesAt(1));
  first->Post(MakeRecord(0x10, 0, EVENT_RELEASE, 0, seen[0].payloadPointer, 0));
  second->Post(MakeRecord(0x11, 0, EVENT_RELEASE, 0, seen[0].payloadPointer, 0));
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
}

TEST_F(PostEventTest, NullPointersAreAnsweredNotFollowed) {
  Probe* sink = AddSink("sink.so", 0x10);
  StartCore();
  EventResult result{sizeof(EventResult), 1, 12345};
  EXPECT_EQ(PostEvent(nullptr, &result), 0);
  EXPECT_EQ(result.result, POST_NO_MEMORY);
  // Without a result block the post is made and its answer dropped.
  EventRecord record = MakeRecord(0x99, 0, 1, 0x51, "made", 4);
  EXPECT_EQ(PostEvent(&record, nullptr), 0);
  EXPECT_EQ(PostEvent(nullptr, nullptr), 0);
  Flush(sink);
  auto seen = WritesOfType(sink, 0x51);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(std::string(seen[0].payload.begin(), seen[0].payload.end()), "made");
}

// Large payloads go through reused blocks and, on some processors, another
// copy than memcpy: each must arrive whole, whatever the block held before,
// whether it is reused at a smaller size or outgrown, with either copy.
TEST_F(PostEventTest, LargePayloadsArriveByteForByteThroughReusedBlocks) {
  Probe* sink = AddSink("sink.so", 0x10);
  StartCore();
  LargeCopy chosen = ChosenLargeCopy();
  const uint32_t sizes[] = {1u << 20,   1u << 20, 700u << 10,
                           300u << 10, (1u << 20) + 4097, 1u << 20};
  uint32_t type = 0x900;
  for (LargeCopy copy : {LargeCopy::kMemcpy, LargeCopy::kStringMove}) {
    UseLargeCopy(copy);
    for (uint32_t size : sizes) {
      std::vector<uint8_t> payload(size);
      for (uint32_t i = 0; i < size; i++) payload[i] = static_cast<uint8_t>(i * 13 + type);
      ASSERT_EQ(Post(MakeRecord(0x99, 0, 1, ++type, payload.data(), size)), POST_OK);
      Flush(sink);  // delivered and freed: the next post may reuse its block
      auto writes = WritesOfType(sink, type);
      ASSERT_EQ(writes.size(), 1u);
      EXPECT_TRUE(writes[0].payload == payload) << LargeCopyName(copy) << ", " << size << " bytes";
    }
  }
  UseLargeCopy(chosen);
  StopCore();
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
}

class PostEventDeathTest : public PostEventTest {};

TEST_F(PostEventDeathTest, NoMemoryForTheCopyAnswersMinusOne) {
  SKIP_UNDER_SANITIZER();
  StartCore();
  EXPECT_EXIT(
      {
        LimitAddressSpace(512u << 20);
        static const char small[] = "the size lies";
        int32_t answer = Post(MakeRecord(0x99, 0, 1, 0, small, kUnallocatableSize));
        _exit(answer == POST_NO_MEMORY ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
