// Latency: PostEvent to Write at about 1,000 events/s, median and 99th
// percentile.
//
// Wake-up bound as well, so the two sides share one poster thread and take
// turns event by event: the Core gets an event every millisecond, and the
// reference one half a millisecond later.
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <thread>
#include <vector>

#include "bench/bench_node.h"
#include "bench/bench_sink.h"
#include "bench/core_rig.h"
#include "bench/reference_bus.h"
#include "bench/runner.h"

namespace {

constexpr int kLatencyPayload = 64;
constexpr int kLatencyIntervalNanoseconds = 1000000;  // about 1,000 events/s

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

}  // namespace

void RunLatency() {
  CoreRig rig(run.nodeLibrary, 1, 1, 0);
  if (run.options.core && !rig.Start()) GiveUp("the Core did not start");
  SinkSet referenceSinks(1);
  ReferenceBus bus(referenceSinks.pointers, 0);
  BenchNode* producer = rig.Producer(0);
  BenchSink* coreSink = &rig.Sink(0)->sink;
  BenchSink* referenceSink = referenceSinks.pointers[0];
  Figure median, p99;
  median.name = "latency median, 64 B at 1k/s (us)";
  median.unit = Unit::kMicroseconds;
  median.goal = Goal::kRatioAtMost;
  median.goalValue = 1.0;
  p99.name = "latency p99, 64 B at 1k/s (us)";
  p99.unit = Unit::kMicroseconds;
  size_t events = static_cast<size_t>(run.options.mode.latencyEvents);
  for (int r = 0; r < run.options.mode.repetitions; r++) {
    std::vector<int64_t> coreLatencies(events, 0), referenceLatencies(events, 0);
    BenchSinkReset(coreSink, events, coreLatencies.data(), events);
    BenchSinkReset(referenceSink, events, referenceLatencies.data(), events);
    std::thread poster([&] {
      EventRecord record = DataRecord(producer->descriptor.id, kLatencyPayload);
      timespec next;
      clock_gettime(CLOCK_MONOTONIC, &next);
      for (size_t i = 0; i < events; i++) {
        SleepUntil(&next, kLatencyIntervalNanoseconds / 2);
        if (run.options.core) {
          int64_t stamp = NowNanoseconds();
          memcpy(record.body, &stamp, kStampBytes);
          EventResult result = NewResult();
          producer->post(&record, &result);
          if (result.result != POST_OK) GiveUp("the Core refused a post");
        }
        SleepUntil(&next, kLatencyIntervalNanoseconds / 2);
        if (run.options.reference) {
          int64_t stamp = NowNanoseconds();
          uint8_t bytes[kStampBytes];
          memcpy(bytes, &stamp, sizeof(bytes));
          (void)bus.Post(run.payloadSource, kLatencyPayload, 0, bytes);
        }
      }
    });
    poster.join();
    if (run.options.core) {
      (void)LastArrival({coreSink}, "Core latency");
      Latency core = SummarizeLatencies(&coreLatencies);
      median.core.push_back(core.median);
      p99.core.push_back(core.p99);
    }
    if (run.options.reference) {
      (void)LastArrival({referenceSink}, "reference latency");
      Latency reference = SummarizeLatencies(&referenceLatencies);
      median.reference.push_back(reference.median);
      p99.reference.push_back(reference.p99);
    }
  }
  Progress(median);
  Progress(p99);
  run.results.push_back(median);
  run.results.push_back(p99);
}
