// ombrevard_bench: measures the Core's event bus against a reference bus in
// one run and prints both, with their ratio, as one table.
//
// Every figure is taken for the real Core (driving real plug-in libraries,
// the bench_node copies in a scratch plug-in folder) and for the reference
// (ReferenceBus, ReferenceHost) in the same process, with the same allocator,
// the same sink code and the same page-aligned payload source. Repetitions
// alternate Core and reference (A B A B ...) so that both sides see the same
// machine: throughput, idle and start/stop repetition by repetition, the
// wake-up bound figures finer (streams batch by batch, latency event by
// event). The table gives medians with min..max, and the ratio column is the
// median of the per-repetition ratios; a second table gives the CPU time the
// process spent per event in the same repetitions.
//
//   ombrevard_bench --quick     under a minute
//   ombrevard_bench             full run, more repetitions and longer ones
//
// Threads: main runs everything; each measurement starts its own producer
// threads and joins them before it returns.
#include <dirent.h>
#include <dlfcn.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <wx/filename.h>
#include <wx/init.h>

#include "bench/bench_node.h"
#include "bench/bench_sink.h"
#include "bench/core_rig.h"
#include "bench/figures.h"
#include "bench/reference_bus.h"
#include "bench/reference_host.h"
#include "core/core.h"
#include "tests/support/event_record.h"

// What the benchmark may look at inside a Core (the Core's inspection hook).
class CoreInspector {
 public:
  explicit CoreInspector(Core* core) : core_(core) {}
  size_t PluginCount() { return core_->plugins.size(); }

 private:
  Core* core_;  // borrowed
};

namespace {

constexpr uint32_t kSizes[] = {64, 4096, 65536, 1u << 20};
constexpr int kSizeCount = 4;
constexpr uint32_t kLargestPayload = 1u << 20;
constexpr uint32_t kStreamHandleBase = 100;
constexpr int kStreamsAtOnce = 4;
constexpr int kLatencyPayload = 64;
constexpr int kLatencyIntervalNanoseconds = 1000000;  // about 1,000 events/s
constexpr int kStartStopPlugins = 100;
constexpr int kIdlePlugins = 2;
constexpr int kWaitMilliseconds = 120000;  // a bus that stalls this long is broken

struct Mode {
  const char* name;
  int repetitions;
  // Aimed length of one throughput repetition on the slower side; event
  // counts follow from a warm-up round, so that a loaded machine or a slow
  // bus still gives repetitions long enough to mean something.
  double repetitionSeconds;
  int streamBatches;  // recorded batches per side and stream figure
  int latencyEvents;  // per side and repetition
  int idleMilliseconds;
  int idleRepetitions;
};

const Mode kQuickMode = {"quick", 3, 0.15, 10, 300, 2000, 2};
const Mode kFullMode = {"full", 7, 0.5, 40, 2000, 5000, 3};

// Warm-up rounds of the throughput figures, in events by payload size: the
// first touches of heap and code are not what we measure.
constexpr uint64_t kWarmEvents[kSizeCount] = {50000, 20000, 4000, 300};
// Bounds on what a repetition may queue when a producer outruns its bus.
constexpr uint64_t kMaxEvents = 2000000;
constexpr uint64_t kMaxQueuedBytes = 2ull << 30;

struct Options {
  Mode mode = kFullMode;
  bool core = true;               // measure the Core side
  bool reference = true;          // measure the reference side
  std::vector<std::string> only;  // sections to run; empty: all
  std::vector<uint32_t> sizes;    // payload sizes to run; empty: all
  std::vector<int> sinkCounts = {1, 8};
  bool placeThreads = true;  // producers and delivery on CPUs of their own
};

// Where producers and the delivering thread run, for the throughput and
// stream figures. Placement decides those rates more than anything either bus
// does: a producer and a delivery thread that share a CPU hand over by a
// context switch, 3-4 times faster than a wake-up of another, sleeping CPU,
// but cannot work at the same time. Left to the kernel, each side's threads
// settle into one arrangement or the other and stay so for a whole figure,
// and a one-stream ratio came out 0.25 or 4 by chance. So both sides get the
// same placement: producers on one CPU, the delivering thread on another.
struct Placement {
  int producerCpu = -1;  // -1: anywhere
  int deliveryCpu = -1;
};

// Set once in main, read-only afterwards.
Options options;
Placement placement;
std::string nodeLibrary;
const uint8_t* payloadSource = nullptr;  // owned; page-aligned, kLargestPayload bytes
std::vector<Figure> results;             // main thread only

const char* SizeName(uint32_t size) {
  switch (size) {
    case 64:
      return "64 B";
    case 4096:
      return "4 KiB";
    case 65536:
      return "64 KiB";
    default:
      return "1 MiB";
  }
}

int SizeIndex(uint32_t size) {
  for (int i = 0; i < kSizeCount; i++) {
    if (kSizes[i] == size) return i;
  }
  return kSizeCount - 1;
}

bool Wanted(const char* section) {
  return options.only.empty() ||
         std::find(options.only.begin(), options.only.end(), section) != options.only.end();
}

std::vector<uint32_t> Sizes() {
  if (!options.sizes.empty()) return options.sizes;
  return std::vector<uint32_t>(kSizes, kSizes + kSizeCount);
}

// Prints what was measured so far and leaves without joining anything: a
// stalled bus may still hold threads that will never return.
[[noreturn]] void GiveUp(const std::string& why) {
  fprintf(stderr, "ombrevard_bench: %s\n", why.c_str());
  PrintTable(results, stdout);
  fflush(stdout);
  fflush(stderr);
  _exit(2);
}

EventResult NewResult() {
  auto result = MakePluginBlock<EventResult>();
  return result;
}

EventRecord DataRecord(uint32_t source, uint32_t size) {
  return MakeRecord(source, 0, kSinkFlags, kSinkType, payloadSource, size);
}

// Waits until every sink has its target; returns the latest arrival time.
int64_t LastArrival(const std::vector<BenchSink*>& sinks, const std::string& what) {
  int64_t last = 0;
  for (BenchSink* sink : sinks) {
    if (!BenchSinkWait(sink, kWaitMilliseconds)) {
      GiveUp(what + ": timed out after " + std::to_string(sink->received.load()) + " of " +
             std::to_string(sink->target.load()) + " events");
    }
    last = std::max(last, sink->reachedAt.load());
  }
  return last;
}

// CPU time of the whole process, in seconds.
double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One repetition's outcome: the rate, and the CPU time the whole process
// spent per event meanwhile (all threads: producer, bus, sinks). The second
// is what the work costs, whatever else the machine runs at the time.
struct Rate {
  double perSecond = 0;
  double cpuNanoseconds = 0;
};

Rate RateOver(uint64_t count, int64_t start, int64_t end, double cpuStart) {
  Rate rate;
  rate.perSecond =
      static_cast<double>(count) * 1e9 / static_cast<double>(std::max<int64_t>(end - start, 1));
  rate.cpuNanoseconds = (CpuSeconds() - cpuStart) * 1e9 / static_cast<double>(count);
  return rate;
}

void Record(Figure* figure, bool core, const Rate& rate) {
  (core ? figure->core : figure->reference).push_back(rate.perSecond);
  (core ? figure->coreCpu : figure->referenceCpu).push_back(rate.cpuNanoseconds);
}

// Events for one repetition: what the slower side of the warm-up round does
// in the mode's repetition time, within [low, high].
uint64_t RepetitionCount(double coreRate, double referenceRate, uint64_t low, uint64_t high) {
  double slower = 0;
  if (options.core) slower = coreRate;
  if (options.reference && (slower == 0 || referenceRate < slower)) slower = referenceRate;
  double wanted = slower * options.mode.repetitionSeconds;
  if (wanted < static_cast<double>(low)) return low;
  if (wanted > static_cast<double>(high)) return high;
  return static_cast<uint64_t>(wanted);
}

// One line on standard error as each figure is done.
void Progress(const Figure& figure) {
  fprintf(stderr, "  %-44s Core %.4g, reference %.4g\n", figure.name.c_str(),
          Summarize(figure.core).median, Summarize(figure.reference).median);
}

// The first two CPUs this process may run on, or no placement with fewer.
Placement ChoosePlacement() {
  Placement chosen;
  cpu_set_t allowed;
  if (!options.placeThreads || sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
    return chosen;
  }
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; cpu++) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  if (cpus.size() < 2) return chosen;
  chosen.deliveryCpu = cpus[0];
  chosen.producerCpu = cpus[1];
  return chosen;
}

// ---- Throughput: one producer thread, 1 or 8 sinks -------------------------

std::vector<BenchSink*> CoreSinks(CoreRig* rig) {
  std::vector<BenchSink*> sinks;
  for (int i = 0; i < rig->SinkCount(); i++) sinks.push_back(&rig->Sink(i)->sink);
  return sinks;
}

// Events per second from the first post to the last sink's last Write.
Rate CoreThroughput(CoreRig* rig, uint32_t size, uint64_t count) {
  std::vector<BenchSink*> sinks = CoreSinks(rig);
  for (BenchSink* sink : sinks) BenchSinkReset(sink, count, nullptr, 0);
  BenchNode* producer = rig->Producer(0);
  EventRecord record = DataRecord(producer->descriptor.id, size);
  int64_t start = 0;
  uint64_t refused = 0;
  double cpuStart = CpuSeconds();
  std::thread poster([&] {
    if (placement.producerCpu >= 0) PinCallingThread(placement.producerCpu);
    EventResult result = NewResult();
    start = NowNanoseconds();
    for (uint64_t i = 0; i < count; i++) {
      producer->post(&record, &result);
      if (result.result != POST_OK) refused++;
    }
  });
  poster.join();
  if (refused != 0) GiveUp("the Core refused " + std::to_string(refused) + " posts");
  int64_t end = LastArrival(sinks, "Core throughput");
  return RateOver(count, start, end, cpuStart);
}

Rate ReferenceThroughput(ReferenceBus* bus, const std::vector<BenchSink*>& sinks, uint32_t size,
                         uint64_t count) {
  for (BenchSink* sink : sinks) BenchSinkReset(sink, count, nullptr, 0);
  int64_t start = 0;
  uint64_t refused = 0;
  double cpuStart = CpuSeconds();
  std::thread poster([&] {
    if (placement.producerCpu >= 0) PinCallingThread(placement.producerCpu);
    start = NowNanoseconds();
    for (uint64_t i = 0; i < count; i++) {
      if (!bus->Post(payloadSource, size, 0, nullptr)) refused++;
    }
  });
  poster.join();
  if (refused != 0)
    GiveUp("the reference could not allocate " + std::to_string(refused) + " copies");
  int64_t end = LastArrival(sinks, "reference throughput");
  return RateOver(count, start, end, cpuStart);
}

struct SinkSet {
  std::vector<BenchSink> storage;
  std::vector<BenchSink*> pointers;
  explicit SinkSet(int count) : storage(static_cast<size_t>(count)) {
    for (BenchSink& sink : storage) pointers.push_back(&sink);
  }
};

void RunThroughput() {
  for (int sinkCount : options.sinkCounts) {
    CoreRig rig(nodeLibrary, sinkCount, 1, 0);
    if (options.core && !rig.Start()) GiveUp("the Core did not start");
    SinkSet referenceSinks(sinkCount);
    ReferenceBus bus(referenceSinks.pointers, 0);
    for (BenchSink* sink : CoreSinks(&rig)) sink->deliveryCpu.store(placement.deliveryCpu);
    for (BenchSink* sink : referenceSinks.pointers) sink->deliveryCpu.store(placement.deliveryCpu);
    for (uint32_t size : Sizes()) {
      Figure figure;
      figure.name = "events/s, " + std::to_string(sinkCount) +
                    (sinkCount == 1 ? " sink, " : " sinks, ") + SizeName(size);
      figure.unit = Unit::kRate;
      figure.goal = Goal::kRatioAtLeast;
      figure.goalValue = size >= 65536 ? 0.9 : sinkCount == 1 ? 0.7 : 0.5;
      uint64_t warm = kWarmEvents[SizeIndex(size)];
      double coreRate = options.core ? CoreThroughput(&rig, size, warm).perSecond : 0;
      double referenceRate =
          options.reference
              ? ReferenceThroughput(&bus, referenceSinks.pointers, size, warm).perSecond
              : 0;
      uint64_t count = RepetitionCount(coreRate, referenceRate, warm,
                                       std::min(kMaxEvents, kMaxQueuedBytes / size));
      for (int r = 0; r < options.mode.repetitions; r++) {
        if (options.core) Record(&figure, true, CoreThroughput(&rig, size, count));
        if (options.reference) {
          Record(&figure, false, ReferenceThroughput(&bus, referenceSinks.pointers, size, count));
        }
      }
      Progress(figure);
      results.push_back(figure);
    }
  }
}

// ---- Streams: one payload in flight per stream -----------------------------
//
// Each payload waits until the previous one of its stream has been delivered
// and freed, so the rate follows how fast a sleeping thread wakes up, and on
// a shared virtual machine that changes tenfold from one moment to the next.
// Both sides therefore stay started for the whole figure and take turns batch
// by batch; each Core batch is paired with the reference batch after it.

constexpr uint32_t kStreamBatchPayloads = 100;  // per stream and batch
constexpr uint32_t kStreamWarmBatches = 2;      // not recorded

// Raises the sink's target by one batch, lets the producers go and waits for
// the batch's last payload.
template <typename GrantAll>
Rate RunBatch(BenchSink* sink, uint64_t target, uint64_t payloads, const GrantAll& grantAll,
              const char* what) {
  BenchSinkRaiseTarget(sink, target);
  double cpuStart = CpuSeconds();
  int64_t start = NowNanoseconds();
  grantAll();
  int64_t end = LastArrival({sink}, what);
  return RateOver(payloads, start, end, cpuStart);
}

void RunStreamFigure(CoreRig* rig, ReferenceBus* bus, BenchSink* referenceSink, int streams,
                     uint32_t size) {
  Figure figure;
  figure.name = streams == 1 ? std::string("payloads/s, 1 stream, ") + SizeName(size)
                             : std::string("payloads/s, 4 streams at once, ") + SizeName(size);
  figure.unit = Unit::kRate;
  if (streams == 1) {
    figure.goal = Goal::kRatioAtLeast;
    figure.goalValue = 0.9;
  }
  uint32_t batches = kStreamWarmBatches + static_cast<uint32_t>(options.mode.streamBatches);
  uint64_t perBatch = static_cast<uint64_t>(kStreamBatchPayloads) * static_cast<uint64_t>(streams);

  // The Core's producers: one Read call per stream, posting batch by batch.
  BenchSink* coreSink = &rig->Sink(0)->sink;
  if (options.core) {
    BenchSinkReset(coreSink, 0, nullptr, 0);
    for (int k = 0; k < streams; k++) {
      rig->Producer(k)->batches.Reset();
      // Read gets a private copy of the order before PostEvent returns.
      StreamOrder order{kStreamBatchPayloads, batches, size,     payloadSource,
                        kSinkFlags,           kSinkType, placement.producerCpu};
      auto request = MakePluginBlock<EventRecord>();
      request.payloadSize = sizeof(order);
      request.payload = &order;
      request.source = 0;
      request.stream = kStreamHandleBase + static_cast<uint32_t>(k);
      request.flags = kProducerStartFlags;
      request.type = ProducerStartType(k);
      EventResult result = NewResult();
      rig->Sink(0)->post(&request, &result);
      if (result.result != POST_OK) GiveUp("the Core refused a stream start request");
    }
  }
  // The reference's producers: a thread per stream, posting batch by batch.
  BatchGate referenceGates[kStreamsAtOnce];
  std::vector<std::thread> producers;
  if (options.reference) {
    BenchSinkReset(referenceSink, 0, nullptr, 0);
    for (int k = 0; k < streams; k++) {
      producers.emplace_back([bus, k, size, batches, &referenceGates] {
        if (placement.producerCpu >= 0) PinCallingThread(placement.producerCpu);
        for (uint32_t batch = 0; batch < batches; batch++) {
          referenceGates[k].WaitForBatch(batch);
          for (uint32_t i = 0; i < kStreamBatchPayloads; i++) {
            (void)bus->Post(payloadSource, size, static_cast<uint32_t>(k + 1), nullptr);
          }
        }
      });
    }
  }

  uint64_t coreTarget = 0, referenceTarget = 0;
  for (uint32_t batch = 0; batch < batches; batch++) {
    bool recorded = batch >= kStreamWarmBatches;
    if (options.core) {
      coreTarget += perBatch;
      Rate rate = RunBatch(
          coreSink, coreTarget, perBatch,
          [rig, streams] {
            for (int k = 0; k < streams; k++) rig->Producer(k)->batches.Grant();
          },
          "Core streams");
      if (recorded) Record(&figure, true, rate);
    }
    if (options.reference) {
      referenceTarget += perBatch;
      Rate rate = RunBatch(
          referenceSink, referenceTarget, perBatch,
          [&referenceGates, streams] {
            for (int k = 0; k < streams; k++) referenceGates[k].Grant();
          },
          "reference streams");
      if (recorded) Record(&figure, false, rate);
    }
  }
  for (std::thread& producer : producers) producer.join();
  for (int k = 0; options.core && k < streams; k++) {
    if (rig->Producer(k)->refusedPosts.load() != 0) GiveUp("the Core refused a stream post");
  }
  Progress(figure);
  results.push_back(figure);
}

void RunStreams() {
  CoreRig rig(nodeLibrary, 1, kStreamsAtOnce, 0);
  if (options.core && !rig.Start()) GiveUp("the Core did not start");
  SinkSet referenceSinks(1);
  ReferenceBus bus(referenceSinks.pointers, kStreamsAtOnce);
  rig.Sink(0)->sink.deliveryCpu.store(placement.deliveryCpu);
  referenceSinks.pointers[0]->deliveryCpu.store(placement.deliveryCpu);
  for (int streams : {1, kStreamsAtOnce}) {
    for (uint32_t size : Sizes())
      RunStreamFigure(&rig, &bus, referenceSinks.pointers[0], streams, size);
  }
}

// ---- Latency: PostEvent to Write at about 1,000 events/s --------------------
//
// Wake-up bound as well, so the two sides share one poster thread and take
// turns event by event: the Core gets an event every millisecond, and the
// reference one half a millisecond later.

struct Latency {
  double median;  // microseconds
  double p99;
};

Latency SummarizeLatencies(std::vector<int64_t>* latencies) {
  Latency result;
  result.median = static_cast<double>(Percentile(latencies, 0.5)) / 1e3;
  result.p99 = static_cast<double>(Percentile(latencies, 0.99)) / 1e3;
  return result;
}

void SleepUntil(timespec* next, int64_t stepNanoseconds) {
  next->tv_nsec += stepNanoseconds;
  while (next->tv_nsec >= 1000000000) {
    next->tv_nsec -= 1000000000;
    next->tv_sec++;
  }
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, nullptr);
}

void RunLatency() {
  CoreRig rig(nodeLibrary, 1, 1, 0);
  if (options.core && !rig.Start()) GiveUp("the Core did not start");
  SinkSet referenceSinks(1);
  ReferenceBus bus(referenceSinks.pointers, 0);
  BenchNode* producer = rig.Producer(0);
  BenchSink* coreSink = &rig.Sink(0)->sink;
  BenchSink* referenceSink = referenceSinks.pointers[0];
  Figure median, p99;
  median.name = "latency median, 64 B at 1k/s (us)";
  median.unit = Unit::kMicroseconds;
  median.goal = Goal::kRatioAtMost;
  median.goalValue = 1.5;
  p99.name = "latency p99, 64 B at 1k/s (us)";
  p99.unit = Unit::kMicroseconds;
  size_t events = static_cast<size_t>(options.mode.latencyEvents);
  for (int r = 0; r < options.mode.repetitions; r++) {
    std::vector<int64_t> coreLatencies(events, 0), referenceLatencies(events, 0);
    BenchSinkReset(coreSink, events, coreLatencies.data(), events);
    BenchSinkReset(referenceSink, events, referenceLatencies.data(), events);
    std::thread poster([&] {
      EventRecord record = DataRecord(producer->descriptor.id, kLatencyPayload);
      timespec next;
      clock_gettime(CLOCK_MONOTONIC, &next);
      for (size_t i = 0; i < events; i++) {
        SleepUntil(&next, kLatencyIntervalNanoseconds / 2);
        if (options.core) {
          int64_t stamp = NowNanoseconds();
          memcpy(record.body, &stamp, kStampBytes);
          EventResult result = NewResult();
          producer->post(&record, &result);
          if (result.result != POST_OK) GiveUp("the Core refused a post");
        }
        SleepUntil(&next, kLatencyIntervalNanoseconds / 2);
        if (options.reference) {
          int64_t stamp = NowNanoseconds();
          uint8_t bytes[kStampBytes];
          memcpy(bytes, &stamp, sizeof(bytes));
          (void)bus.Post(payloadSource, kLatencyPayload, 0, bytes);
        }
      }
    });
    poster.join();
    if (options.core) {
      (void)LastArrival({coreSink}, "Core latency");
      Latency core = SummarizeLatencies(&coreLatencies);
      median.core.push_back(core.median);
      p99.core.push_back(core.p99);
    }
    if (options.reference) {
      (void)LastArrival({referenceSink}, "reference latency");
      Latency reference = SummarizeLatencies(&referenceLatencies);
      median.reference.push_back(reference.median);
      p99.reference.push_back(reference.p99);
    }
  }
  Progress(median);
  Progress(p99);
  results.push_back(median);
  results.push_back(p99);
}

// ---- Idle: CPU per second of wall time with no events -----------------------

struct ThreadTime {
  int64_t runNanoseconds = 0;
  int64_t runs = 0;  // times the thread was put on a CPU
};

// Every thread of the process, from /proc/self/task/<tid>/schedstat.
std::map<int, ThreadTime> ThreadTimes() {
  std::map<int, ThreadTime> times;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return times;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/schedstat");
    ThreadTime time;
    int64_t waited = 0;
    if (in >> time.runNanoseconds >> waited >> time.runs) times[atoi(entry->d_name)] = time;
  }
  closedir(tasks);
  return times;
}

// The threads other than this one that ran between the two readings: share
// of one core and wake-ups per second each.
std::string BusyThreads(const std::map<int, ThreadTime>& before,
                        const std::map<int, ThreadTime>& after, double wallSeconds) {
  std::string text;
  int self = static_cast<int>(syscall(SYS_gettid));
  for (const auto& entry : after) {
    auto earlier = before.find(entry.first);
    if (entry.first == self || earlier == before.end()) continue;
    int64_t runs = entry.second.runs - earlier->second.runs;
    if (runs == 0) continue;
    double share =
        static_cast<double>(entry.second.runNanoseconds - earlier->second.runNanoseconds) / 1e9 /
        wallSeconds * 100;
    char line[96];
    snprintf(line, sizeof(line), "%sa thread at %.1f wake-ups/s using %.3f%%",
             text.empty() ? "" : "; ", static_cast<double>(runs) / wallSeconds, share);
    text += line;
  }
  return text.empty() ? "no thread woke" : text;
}

// Percent of one core used by the whole process over `milliseconds`; fills
// `threads` with what BusyThreads says about that time.
double CpuPercentOver(int milliseconds, std::string* threads) {
  std::map<int, ThreadTime> threadsBefore = ThreadTimes();
  double cpuBefore = CpuSeconds();
  int64_t wallBefore = NowNanoseconds();
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
  double cpu = CpuSeconds() - cpuBefore;
  double wall = static_cast<double>(NowNanoseconds() - wallBefore) / 1e9;
  *threads = BusyThreads(threadsBefore, ThreadTimes(), wall);
  return cpu / wall * 100;
}

// The process's resident memory, in whole megabytes, from /proc/self/status.
std::string ResidentMegabytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) {
      return std::to_string(strtoll(line.c_str() + 6, nullptr, 10) / 1024);
    }
  }
  return "?";
}

void RunIdle() {
  Figure figure;
  figure.name = "idle CPU, 2 plug-ins (% of one core)";
  figure.unit = Unit::kPercentOfCore;
  figure.goal = Goal::kCoreBelow;
  figure.goalValue = 0.1;
  std::string coreThreads, referenceThreads;
  // Each side alone in the process: the process's CPU time is the figure.
  for (int r = 0; r < options.mode.idleRepetitions; r++) {
    if (options.core) {
      CoreRig rig(nodeLibrary, 0, 0, kIdlePlugins);
      if (!rig.Start()) GiveUp("the Core did not start");
      usleep(300000);  // past the start: status document, first scheduler tick
      figure.core.push_back(CpuPercentOver(options.mode.idleMilliseconds, &coreThreads));
    }
    if (options.reference) {
      CoreRig tree(nodeLibrary, 0, 0, kIdlePlugins);  // the same two plug-ins
      ReferenceHost host;
      (void)host.Start(tree.Tree().PluginDir());
      usleep(300000);
      figure.reference.push_back(CpuPercentOver(options.mode.idleMilliseconds, &referenceThreads));
    }
  }
  figure.note =
      "measured first, with " + ResidentMegabytes() +
      " MB resident. The reference is a host with the same two plug-ins, a sleeping "
      "delivery thread and a housekeeping thread that wakes every 100 ms. Threads that ran "
      "in the last repetition: Core: " +
      coreThreads + ". Reference: " + referenceThreads + ".";
  Progress(figure);
  results.push_back(figure);
}

// ---- Start plus Stop with 100 plug-ins ---------------------------------------

void RunStartStop() {
  CoreRig tree(nodeLibrary, 0, 0, kStartStopPlugins);  // only the copies; no Core of its own
  if (!tree.Ok()) GiveUp("could not copy the plug-ins");
  Figure total, start, stop;
  total.name = "Start + Stop, 100 plug-ins (ms)";
  start.name = "  of which Start (ms)";
  stop.name = "  of which Stop (ms)";
  for (Figure* figure : {&total, &start, &stop}) figure->unit = Unit::kMilliseconds;
  std::string loadedNote;
  for (int r = 0; r < options.mode.repetitions; r++) {
    if (options.core) {
      Core core(wxFileName(tree.Tree().ExecutablePath()));
      int64_t t0 = NowNanoseconds();
      (void)core.Start();
      int64_t t1 = NowNanoseconds();
      size_t loaded = CoreInspector(&core).PluginCount();
      core.Stop();
      int64_t t2 = NowNanoseconds();
      if (loaded != kStartStopPlugins) loadedNote = "the Core loaded " + std::to_string(loaded);
      start.core.push_back(static_cast<double>(t1 - t0) / 1e6);
      stop.core.push_back(static_cast<double>(t2 - t1) / 1e6);
      total.core.push_back(static_cast<double>(t2 - t0) / 1e6);
    }
    if (options.reference) {
      ReferenceHost host;
      int64_t t0 = NowNanoseconds();
      int loaded = host.Start(tree.Tree().PluginDir());
      int64_t t1 = NowNanoseconds();
      host.Stop();
      int64_t t2 = NowNanoseconds();
      if (loaded != kStartStopPlugins)
        loadedNote = "the reference loaded " + std::to_string(loaded);
      start.reference.push_back(static_cast<double>(t1 - t0) / 1e6);
      stop.reference.push_back(static_cast<double>(t2 - t1) / 1e6);
      total.reference.push_back(static_cast<double>(t2 - t0) / 1e6);
    }
  }
  if (!loadedNote.empty()) total.note = loadedNote + " plug-ins instead of 100";
  for (Figure* figure : {&total, &start, &stop}) {
    Progress(*figure);
    results.push_back(*figure);
  }
}

// ---- The machine ----------------------------------------------------------------

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown CPU";
}

std::string LoadAverage() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[48];
  snprintf(text, sizeof(text), "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

// The library that malloc resolves to in this process, plug-ins included.
std::string Allocator() {
  Dl_info info;
  void* address = dlsym(RTLD_DEFAULT, "malloc");
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return "unknown";
  }
  return info.dli_fname;
}

void PrintHeader(FILE* out) {
  utsname system;
  uname(&system);
  fprintf(out,
          "ombrevard_bench, %s mode, Core and reference interleaved (A B A B ...): "
          "%d repetitions of about %.2f s per throughput figure, %d batches of %u payloads "
          "per stream figure, %d x %d events for latency\n",
          options.mode.name, options.mode.repetitions, options.mode.repetitionSeconds,
          options.mode.streamBatches, kStreamBatchPayloads, options.mode.repetitions,
          options.mode.latencyEvents);
  fprintf(out, "machine: %s, %ld logical CPUs, %s %s\n", CpuModel().c_str(),
          sysconf(_SC_NPROCESSORS_ONLN), system.sysname, system.release);
  std::string allocator = Allocator();
  fprintf(out, "malloc on both sides: %s%s\n", allocator.c_str(),
          allocator.find("tcmalloc") == std::string::npos
              ? " (not tcmalloc, the server's allocator: figures will mislead)"
              : "");
  fprintf(out, "build: %s, g++ %s\n", OMBREVARD_BUILD_TYPE, __VERSION__);
  if (placement.producerCpu >= 0) {
    fprintf(out, "throughput and streams, both sides: producers on CPU %d, delivery on CPU %d\n",
            placement.producerCpu, placement.deliveryCpu);
  } else {
    fprintf(out, "throughput and streams: threads placed by the kernel\n");
  }
  fprintf(out, "load average at start: %s\n", LoadAverage().c_str());
}

// ---- Command line ----------------------------------------------------------------

void PrintUsage() {
  printf(
      "usage: ombrevard_bench [--quick | --full] [--only=SECTION,...] [--side=core|reference]\n"
      "                       [--sizes=64,4096,...] [--sinks=1,8] [--repetitions=N]\n"
      "                       [--placement=split|free]\n"
      "sections: throughput, streams, latency, idle, startstop\n");
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t comma = list.find(',', begin);
    if (comma == std::string::npos) comma = list.size();
    if (comma > begin) items.push_back(list.substr(begin, comma - begin));
    begin = comma + 1;
  }
  return items;
}

bool ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&arg](const char* prefix) -> const char* {
      size_t length = strlen(prefix);
      return arg.compare(0, length, prefix) == 0 ? arg.c_str() + length : nullptr;
    };
    if (arg == "--help") {
      PrintUsage();
      exit(0);
    } else if (arg == "--quick") {
      options.mode = kQuickMode;
    } else if (arg == "--full") {
      options.mode = kFullMode;
    } else if (const char* only = value("--only=")) {
      options.only = SplitList(only);
    } else if (const char* side = value("--side=")) {
      options.core = strcmp(side, "reference") != 0;
      options.reference = strcmp(side, "core") != 0;
    } else if (const char* sizes = value("--sizes=")) {
      for (const std::string& size : SplitList(sizes)) {
        uint32_t bytes = static_cast<uint32_t>(strtoul(size.c_str(), nullptr, 10));
        if (std::find(kSizes, kSizes + kSizeCount, bytes) == kSizes + kSizeCount) return false;
        options.sizes.push_back(bytes);
      }
    } else if (const char* sinks = value("--sinks=")) {
      options.sinkCounts.clear();
      for (const std::string& count : SplitList(sinks)) {
        int n = atoi(count.c_str());
        if (n < 1 || n > 64) return false;
        options.sinkCounts.push_back(n);
      }
    } else if (const char* where = value("--placement=")) {
      if (strcmp(where, "split") != 0 && strcmp(where, "free") != 0) return false;
      options.placeThreads = strcmp(where, "split") == 0;
    } else if (const char* repetitions = value("--repetitions=")) {
      options.mode.repetitions = std::max(1, atoi(repetitions));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) {
    PrintUsage();
    return 1;
  }
  wxInitializer framework;
  if (!framework.IsOk()) {
    fprintf(stderr, "ombrevard_bench: the framework did not initialise\n");
    return 1;
  }
  nodeLibrary = OMBREVARD_BENCH_NODE;
  uint8_t* source = static_cast<uint8_t*>(aligned_alloc(4096, kLargestPayload));
  if (source == nullptr) return 1;
  for (uint32_t i = 0; i < kLargestPayload; i++) source[i] = static_cast<uint8_t>(i * 131 + 7);
  payloadSource = source;
  placement = ChoosePlacement();

  PrintHeader(stdout);
  fflush(stdout);
  int64_t began = NowNanoseconds();
  // Idle first, while the process holds no more memory than an idle server:
  // on the virtual machines we measure on, a sleeping thread's wake-up costs
  // more the more memory its process has resident (about 1.8 ms more per
  // gigabyte), and the traffic sections leave hundreds of megabytes with the
  // allocator. Its row still goes where it belongs in the table.
  std::vector<Figure> idle;
  if (Wanted("idle")) {
    RunIdle();
    idle.swap(results);
  }
  if (Wanted("throughput")) RunThroughput();
  if (Wanted("streams")) RunStreams();
  if (Wanted("latency")) RunLatency();
  results.insert(results.end(), idle.begin(), idle.end());
  if (Wanted("startstop")) RunStartStop();
  printf("load average at end: %s; run took %.0f s\n\n", LoadAverage().c_str(),
         static_cast<double>(NowNanoseconds() - began) / 1e9);
  PrintTable(results, stdout);
  printf(
      "\nThe same repetitions as CPU time: less sensitive than the rates to what else the "
      "machine runs (lower is better).\n\n");
  PrintCpuTable(results, stdout);
  free(source);
  return 0;
}
