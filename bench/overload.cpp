// The overload figures: what the Core does when plug-ins post more than its
// sinks take.
//
//   - memory: one producer thread posts 64-byte events as fast as it can at a
//     sink that spends 20 us on each, until the queue's bound has refused
//     posts for a second; resident memory before, at the peak, and after the
//     queue has drained and the Core has been idle for a while, with what the
//     bound refused;
//   - stop: Stop while such a producer still posts, in milliseconds;
//   - stream churn: 5,000 releases of kept payloads, once with few streams
//     and once after 100,000 streams were started and stopped.
//
// It runs only when asked for (--only=overload): the drain of a full queue
// through a 20 us sink alone takes about 20 seconds. Its figures are printed
// as they come, outside the comparison table: the reference bus has no bound
// to compare with. The Core runs with the queue bound a server has by
// default, whatever the environment says.
//
// Threads: the benchmark's main thread, and the producer threads it starts
// and joins.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "bench/bench_sink.h"
#include "bench/core_rig.h"
#include "bench/runner.h"
#include "core/queue_limits.h"
#include "tests/support/event_record.h"

namespace {

constexpr int64_t kSinkWorkNanoseconds = 20000;
constexpr int kFloodMilliseconds = 1000;     // after the bound first refuses a post
constexpr int kFloodLimitMilliseconds = 60000;
constexpr int kIdleMilliseconds = 8000;
constexpr uint32_t kPayloadSize = 64;
constexpr int kChurnStreams = 100000;
constexpr int kReleases = 5000;

// The process's resident memory, in MiB.
double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

double Milliseconds(int64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e6; }

// One producer thread posting as fast as it can until told to stop.
class Flood {
 public:
  explicit Flood(BenchNode* producer) : node(producer) {
    thread = std::thread([this] { Run(); });
  }
  ~Flood() { Stop(); }
  void Stop() {
    stopping.store(true);
    if (thread.joinable()) thread.join();
  }
  uint64_t Accepted() const { return accepted.load(); }
  uint64_t Refused() const { return refused.load(); }

 private:
  void Run() {
    static const char payload[kPayloadSize] = "overload";
    EventRecord record =
        MakeRecord(node->descriptor.id, 0, kSinkFlags, kSinkType, payload, kPayloadSize);
    while (!stopping.load(std::memory_order_relaxed)) {
      auto result = MakePluginBlock<EventResult>();
      node->post(&record, &result);
      (result.result == POST_OK ? accepted : refused).fetch_add(1, std::memory_order_relaxed);
    }
  }

  BenchNode* node;
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused{0};
  std::thread thread;
};

void MemoryAndStop(const std::string& nodeLibrary) {
  CoreRig rig(nodeLibrary, 1, 1, 0);
  if (!rig.Ok() || !rig.Start()) {
    fprintf(stderr, "overload: the Core did not start\n");
    return;
  }
  BenchSink& sink = rig.Sink(0)->sink;
  sink.workNanoseconds.store(kSinkWorkNanoseconds);
  usleep(500 * 1000);
  double before = ResidentMiB();
  double peak = before;
  Flood flood(rig.Producer(0));
  int64_t floodStart = NowNanoseconds();
  int full = 0;
  for (int waited = 0; full < kFloodMilliseconds && waited < kFloodLimitMilliseconds;
       waited += 100) {
    usleep(100 * 1000);
    if (ResidentMiB() > peak) peak = ResidentMiB();
    if (flood.Refused() != 0) full += 100;
  }
  flood.Stop();
  int64_t floodTook = NowNanoseconds() - floodStart;
  int64_t drainStart = NowNanoseconds();
  while (sink.received.load() < flood.Accepted()) {
    usleep(100 * 1000);
    if (ResidentMiB() > peak) peak = ResidentMiB();
  }
  double drained = ResidentMiB();
  int64_t drainTook = NowNanoseconds() - drainStart;
  double lowest = drained;
  for (int waited = 0; waited < kIdleMilliseconds; waited += 100) {
    usleep(100 * 1000);
    if (ResidentMiB() < lowest) lowest = ResidentMiB();
  }
  printf("overload, 64 B posts at a 20 us sink for %.1f s: %llu taken, %llu refused by the bound\n",
         Milliseconds(floodTook) / 1000, static_cast<unsigned long long>(flood.Accepted()),
         static_cast<unsigned long long>(flood.Refused()));
  printf("  resident MiB: %.0f before, %.0f at the peak, %.0f when drained (after %.1f s), "
         "%.0f after %d s idle\n",
         before, peak, drained, Milliseconds(drainTook) / 1000, lowest, kIdleMilliseconds / 1000);

  Flood again(rig.Producer(0));
  usleep(1000 * 1000);  // the queue is at its bound by now
  int64_t stopStart = NowNanoseconds();
  rig.Stop();
  int64_t stopTook = NowNanoseconds() - stopStart;
  again.Stop();
  printf("  Stop while the producer still posts: %.0f ms\n", Milliseconds(stopTook));
}

// Milliseconds taken by kReleases releases of payloads the sink kept, after
// `churn` streams were started and stopped.
double ReleaseMilliseconds(const std::string& nodeLibrary, int churn) {
  CoreRig rig(nodeLibrary, 1, 0, 0);
  if (!rig.Ok() || !rig.Start()) return -1;
  BenchNode* sink = rig.Sink(0);
  auto result = MakePluginBlock<EventResult>();
  for (int i = 0; i < churn; i++) {
    EventRecord start = MakeRecord(0, 1000 + static_cast<uint32_t>(i), 0x100, 0);
    EventRecord stop = MakeRecord(0, 1000 + static_cast<uint32_t>(i), EVENT_STOP_STREAM, 0);
    sink->post(&start, &result);
    sink->post(&stop, &result);
  }
  sink->keep.store(true);
  BenchSinkReset(&sink->sink, kReleases, nullptr, 0);
  static const char payload[kPayloadSize] = "kept";
  for (int i = 0; i < kReleases; i++) {
    EventRecord record = MakeRecord(0x77, 0, kSinkFlags, kSinkType, payload, kPayloadSize);
    sink->post(&record, &result);
  }
  if (!BenchSinkWait(&sink->sink, 60000)) return -1;
  int64_t start = NowNanoseconds();
  for (const void* kept : sink->kept) {
    EventRecord release = MakeRecord(sink->descriptor.id, 0, EVENT_RELEASE, 0, kept, 0);
    sink->post(&release, &result);
  }
  int64_t took = NowNanoseconds() - start;
  sink->kept.clear();
  return Milliseconds(took);
}

}  // namespace

void RunOverload() {
  const std::string& nodeLibrary = run.nodeLibrary;
  // The bound this section is about is the one a server runs with; the
  // other sections get theirs back afterwards.
  std::string bytes = getenv(kQueueMaxBytesVariable) ? getenv(kQueueMaxBytesVariable) : "";
  std::string records = getenv(kQueueMaxRecordsVariable) ? getenv(kQueueMaxRecordsVariable) : "";
  unsetenv(kQueueMaxBytesVariable);
  unsetenv(kQueueMaxRecordsVariable);
  MemoryAndStop(nodeLibrary);
  printf("  %d releases of kept payloads: %.1f ms with no streams, %.1f ms after %d streams were "
         "started and stopped\n\n",
         kReleases, ReleaseMilliseconds(nodeLibrary, 0), ReleaseMilliseconds(nodeLibrary, kChurnStreams),
         kChurnStreams);
  fflush(stdout);
  if (!bytes.empty()) setenv(kQueueMaxBytesVariable, bytes.c_str(), 1);
  if (!records.empty()) setenv(kQueueMaxRecordsVariable, records.c_str(), 1);
}
