// Queued delivery: who receives what, through which entry point.
#include <gtest/gtest.h>
#include <sched.h>
#include <string.h>

#include "tests/core/core_harness.h"

namespace {

using testing_support::Scaled;

class DeliveryTest : public CoreTest {
 protected:
  // Posts `record`, then a marker every probe gets through IOCTL code 3, and
  // waits until all `probes` have seen the marker.
  void PostAndSettle(const EventRecord& record, const std::vector<Probe*>& probes) {
    ASSERT_EQ(Post(record), POST_OK);
    ASSERT_EQ(Post(MakeRecord(0x7777, 0, EVENT_FLAG_ALL, 0xFEED, "m", 1)), POST_OK);
    for (Probe* probe : probes) {
      ASSERT_TRUE(probe->WaitFor(
          [](const std::vector<ProbeCall>& calls) {
            for (const ProbeCall& call : calls) {
              if (call.entry == ENTRY_IOCTL && call.code == IOCTL_EVENT_ALL &&
                  call.payload == std::vector<uint8_t>{'m'}) {
                return true;
              }
            }
            return false;
          },
          Scaled(5000)));
    }
  }
  // What `probe` got of the record with payload "R": "write", "ioctl2",
  // "ioctl3" or "" (nothing).
  std::string Received(Probe* probe) {
    std::string got;
    for (const ProbeCall& call : probe->Calls()) {
      if (call.payload != std::vector<uint8_t>{'R'}) continue;
      if (call.entry == ENTRY_WRITE) got += "write";
      if (call.entry == ENTRY_IOCTL) got += "ioctl" + std::to_string(call.code);
    }
    return got;
  }
  Probe* AddSink(const std::string& name, uint32_t id, int mask, uint32_t bits) {
    Probe* probe = AddProbe(name, id);
    probe->descriptor.eventSink = 1;
    if (mask >= 0) probe->descriptor.subscriptionMask[mask] = bits;
    return probe;
  }
};

TEST_F(DeliveryTest, QueuedKeyMovesTheClassByteUp) {
  Probe* up = AddSink("up.so", 1, 0, 0x2000002);     // key of 0x1000002
  Probe* down = AddSink("down.so", 2, 0, 0x800002);  // the direct key: no match here
  Probe* plain = AddSink("plain.so", 3, 0, 0x1000002);
  StartCore();
  PostAndSettle(MakeRecord(9, 0, 1, 0x1000002, "R", 1), {up, down, plain});
  EXPECT_EQ(Received(up), "write");
  EXPECT_EQ(Received(down), "");
  EXPECT_EQ(Received(plain), "");
}

TEST_F(DeliveryTest, TopClassBitDropsOutOfTheQueuedKey) {
  Probe* low = AddSink("low.so", 1, 2, 0x1);
  StartCore();
  PostAndSettle(MakeRecord(9, 0, 4, 0x80000001, "R", 1), {low});
  EXPECT_EQ(Received(low), "write");
}

TEST_F(DeliveryTest, FlagsSelectWhichMasksAreConsulted) {
  Probe* mask3 = AddSink("mask3.so", 1, 3, 0xFFFFFFFF);
  Probe* mask8 = AddSink("mask8.so", 2, 8, 0xFFFFFFFF);
  Probe* partial = AddSink("partial.so", 3, 3, 0x00000F00);  // key 0x1234 needs more bits
  StartCore();
  PostAndSettle(MakeRecord(9, 0, 1u << 3, 0x1234, "R", 1), {mask3, mask8, partial});
  EXPECT_EQ(Received(mask3), "write");
  EXPECT_EQ(Received(mask8), "");
  EXPECT_EQ(Received(partial), "");
  mask3->Clear();
  mask8->Clear();
  PostAndSettle(MakeRecord(9, 0, EVENT_FLAG_MASK8, 0x1234, "R", 1), {mask3, mask8});
  EXPECT_EQ(Received(mask3), "");
  EXPECT_EQ(Received(mask8), "write");
}

TEST_F(DeliveryTest, TypeZeroMatchesEverySinkWhateverItsMasks) {
  Probe* empty = AddSink("empty.so", 1, -1, 0);
  Probe* noSink = AddProbe("nosink.so", 2);
  noSink->descriptor.subscriptionMask[0] = 0xFFFFFFFF;
  StartCore();
  PostAndSettle(MakeRecord(9, 0, 1, 0, "R", 1), {empty, noSink});
  EXPECT_EQ(Received(empty), "write");
  EXPECT_EQ(Received(noSink), "");  // eventSink clear: no Write
}

TEST_F(DeliveryTest, RecordSelectingNothingReachesNobody) {
  Probe* all = AddSink("all.so", 1, 0, 0xFFFFFFFF);
  StartCore();
  PostAndSettle(MakeRecord(9, 0, 0, 0, "R", 1), {all});
  EXPECT_EQ(Received(all), "");
}

TEST_F(DeliveryTest, BroadcastRules) {
  Probe* source = AddSink("source.so", 0x50, 0, 0xFFFFFFFF);
  Probe* other = AddSink("other.so", 0x51, 0, 0xFFFFFFFF);
  StartCore();
  // Others: everyone but the source through IOCTL 2; the source may still
  // match through Write.
  PostAndSettle(MakeRecord(0x50, 0, EVENT_FLAG_OTHERS | 1, 0x10, "R", 1), {source, other});
  EXPECT_EQ(Received(source), "write");
  EXPECT_EQ(Received(other), "ioctl2");
  source->Clear();
  other->Clear();
  // All: everyone through IOCTL 3, masks or not.
  PostAndSettle(MakeRecord(0x50, 0, EVENT_FLAG_ALL, 0x10, "R", 1), {source, other});
  EXPECT_EQ(Received(source), "ioctl3");
  EXPECT_EQ(Received(other), "ioctl3");
  source->Clear();
  other->Clear();
  // Both: the source gets 3, every other plug-in 2.
  PostAndSettle(MakeRecord(0x50, 0, EVENT_FLAG_ALL | EVENT_FLAG_OTHERS, 0x10, "R", 1),
                {source, other});
  EXPECT_EQ(Received(source), "ioctl3");
  EXPECT_EQ(Received(other), "ioctl2");
}

TEST_F(DeliveryTest, IoctlBlocksCarryTheCodeAndTheCoresPayload) {
  Probe* probe = AddSink("probe.so", 0x60, -1, 0);
  StartCore();
  PostAndSettle(MakeRecord(0x61, 0, EVENT_FLAG_OTHERS, 0x10, "R", 1), {probe});
  for (const ProbeCall& call : probe->CallsTo(ENTRY_IOCTL)) {
    if (call.payload != std::vector<uint8_t>{'R'}) continue;
    IoctlRequest request;
    memcpy(&request, call.request.data(), sizeof(request));
    EXPECT_EQ(request.size, sizeof(IoctlRequest));
    EXPECT_EQ(request.version, 1u);
    EXPECT_EQ(request.code, 2u);
    EXPECT_EQ(request.paramSize, IOCTL_PARAM_SIZE_EVENT);
    EXPECT_EQ(request.paramVersion, 1u);
    EXPECT_EQ(request.payloadSize, 1u);
  }
}

TEST_F(DeliveryTest, RecordsArriveInPostingOrder) {
  Probe* sink = AddSink("sink.so", 1, 0, 0xFFFFFFFF);
  StartCore();
  for (uint32_t i = 0; i < 500; i++) {
    ASSERT_EQ(Post(MakeRecord(9, 0, 1, 0x100, &i, sizeof(i))), POST_OK);
  }
  ASSERT_TRUE(sink->WaitForCount(ENTRY_WRITE, 500, Scaled(10000)));
  auto writes = sink->CallsTo(ENTRY_WRITE);
  for (uint32_t i = 0; i < 500; i++) {
    uint32_t value;
    memcpy(&value, writes[i].payload.data(), sizeof(value));
    EXPECT_EQ(value, i);
  }
  StopCore();
  EXPECT_EQ(inspect().HeldPayloads(), 0u);
}

// Finding the queue empty, the handler spins a moment for the next post and
// sleeps when none comes. Here each event is posted only once the one before
// was delivered, so the handler mostly gives up and sleeps between them (its
// spin shrinks to nothing and is tried again now and then), and every tenth
// round a burst comes that it catches while spinning. A wake-up lost on
// either path leaves an event undelivered.
TEST_F(DeliveryTest, EveryPostArrivesWhetherTheHandlerSpinsOrSleeps) {
  Probe* sink = AddSink("sink.so", 1, 0, 0xFFFFFFFF);
  StartCore();
  size_t posted = 0;
  for (uint32_t round = 0; round < 100; round++) {
    int burst = round % 10 == 0 ? 50 : 1;
    for (int i = 0; i < burst; i++) {
      ASSERT_EQ(Post(MakeRecord(9, 0, 1, 0x100, &round, sizeof(round))), POST_OK);
    }
    posted += burst;
    ASSERT_TRUE(sink->WaitForCount(ENTRY_WRITE, posted, Scaled(5000))) << "round " << round;
  }
}

// Keeps the calling thread on the CPUs it is pinned to (a handler started
// meanwhile inherits them) and gives it back its own mask at the end.
struct CpuPin {
  cpu_set_t before;
  CpuPin() { CPU_ZERO(&before); sched_getaffinity(0, sizeof(before), &before); }
  ~CpuPin() { sched_setaffinity(0, sizeof(before), &before); }
  bool To(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof(one), &one) == 0;
  }
};

// Whether `sink` was written the records numbered 0 to count - 1, in order.
void ExpectNumberedInOrder(Probe* sink, uint32_t count) {
  std::vector<ProbeCall> writes = sink->CallsTo(ENTRY_WRITE);
  ASSERT_EQ(writes.size(), count);
  for (uint32_t i = 0; i < count; i++) {
    uint32_t value;
    memcpy(&value, writes[i].payload.data(), sizeof(value));
    ASSERT_EQ(value, i);
  }
}

// A poster and the handler on one CPU take turns: the handler gives the CPU up
// instead of sleeping, and the poster hands it back after a turn's worth of
// records or of bytes. Every record must still arrive, in order, through turns
// ended either way, and a lone post after the poster waited must still be
// delivered.
TEST_F(DeliveryTest, PosterAndHandlerOnOneCpuTakeTurnsAndLoseNothing) {
  CpuPin pin;
  ASSERT_TRUE(pin.To(sched_getcpu()));
  Probe* sink = AddSink("sink.so", 1, 0, 0xFFFFFFFF);
  StartCore();
  std::vector<uint8_t> payload(16 << 10);
  uint32_t next = 0;
  for (int round = 0; round < 12; round++) {
    // Small records end turns by count, 16 KiB ones by bytes.
    size_t size = round % 3 == 0 ? payload.size() : sizeof(next);
    int burst = round % 3 == 0 ? 200 : round % 3 == 1 ? 2500 : 1;
    for (int i = 0; i < burst; i++, next++) {
      memcpy(payload.data(), &next, sizeof(next));
      ASSERT_EQ(Post(MakeRecord(9, 0, 1, 0x100, payload.data(), size)), POST_OK);
    }
    ASSERT_TRUE(sink->WaitForCount(ENTRY_WRITE, next, Scaled(10000))) << "round " << round;
  }
  ExpectNumberedInOrder(sink, next);
}

// A poster on another CPU, a little slower than delivery. With small records
// the handler's spin catches its posts, the wait that lets them gather grows
// while more keep coming, and at its longest becomes a nap; with large ones
// spaced beyond the spin, the handler naps for the next. Every record must
// arrive, in order, whichever of those waits it came in.
TEST_F(DeliveryTest, PostsFromAnotherCpuWhileTheHandlerWaitsOrNapsAllArrive) {
  CpuPin pin;
  int handlerCpu = sched_getcpu();
  int posterCpu = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE && posterCpu < 0; cpu++) {
    if (cpu != handlerCpu && CPU_ISSET(cpu, &pin.before)) posterCpu = cpu;
  }
  if (posterCpu < 0) GTEST_SKIP() << "one CPU only";
  ASSERT_TRUE(pin.To(handlerCpu));
  Probe* sink = AddSink("sink.so", 1, 0, 0xFFFFFFFF);
  StartCore();
  ASSERT_TRUE(pin.To(posterCpu));
  std::vector<uint8_t> payload(64 << 10);
  uint32_t next = 0;
  for (int round = 0; round < 2; round++) {
    size_t size = round == 0 ? sizeof(next) : payload.size();
    uint32_t count = round == 0 ? 20000 : 500;
    int spins = round == 0 ? 1000 : 5000;
    for (uint32_t i = 0; i < count; i++, next++) {
      memcpy(payload.data(), &next, sizeof(next));
      ASSERT_EQ(Post(MakeRecord(9, 0, 1, 0x100, payload.data(), size)), POST_OK);
      for (volatile int spin = 0; spin < spins; spin = spin + 1) {
      }
    }
    ASSERT_TRUE(sink->WaitForCount(ENTRY_WRITE, next, Scaled(10000))) << "round " << round;
  }
  ExpectNumberedInOrder(sink, next);
}

TEST_F(DeliveryTest, WriteAndIoctlRunOnOneThreadThatIsNotTheMainOne) {
  Probe* sink = AddSink("sink.so", 1, 0, 0xFFFFFFFF);
  StartCore();
  PostAndSettle(MakeRecord(9, 0, 1, 0x10, "R", 1), {sink});
  std::thread::id handler;
  for (const ProbeCall& call : sink->Calls()) {
    if (call.entry != ENTRY_WRITE && !(call.entry == ENTRY_IOCTL && call.code != 1)) continue;
    if (handler == std::thread::id()) handler = call.thread;
    EXPECT_EQ(call.thread, handler);
  }
  EXPECT_NE(handler, std::this_thread::get_id());
}

TEST_F(DeliveryTest, PluginMayPostFromInsideWrite) {
  // A relay answers every event of type 0x10 with one of type 0x20.
  Probe* relay = AddSink("relay.so", 1, 0, 0x10);
  Probe* end = AddSink("end.so", 2, 1, 0x20);
  relay->hooks.write = [relay](const WriteRequest& request) -> uint32_t {
    relay->Post(MakeRecord(1, 0, 2, 0x20, request.payload, request.payloadSize));
    return 0;
  };
  StartCore();
  ASSERT_EQ(Post(MakeRecord(9, 0, 1, 0x10, "R", 1)), POST_OK);
  ASSERT_TRUE(end->WaitForCount(ENTRY_WRITE, 1, Scaled(5000)));
  EXPECT_EQ(Received(end), "write");
  EXPECT_EQ(end->CallsTo(ENTRY_WRITE)[0].source, 1u);
}

}  // namespace
