// Throughput: events per second from one producer thread to 1 or 8 sinks,
// from the first post to the last sink's last Write, for each payload size.
// A warm-up round on each side sets the events per repetition.
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_node.h"
#include "bench/bench_sink.h"
#include "bench/core_rig.h"
#include "bench/reference_bus.h"
#include "bench/runner.h"
#include "core/queue_limits.h"

namespace {

// Warm-up rounds of the throughput figures, in events by payload size: the
// first touches of heap and code are not what we measure.
constexpr uint64_t kWarmEvents[kSizeCount] = {50000, 20000, 4000, 300};
// Bounds on what a repetition may queue when a producer outruns its bus.
constexpr uint64_t kMaxEvents = 2000000;
constexpr uint64_t kMaxQueuedBytes = 2ull << 30;

// Events for one repetition: what the slower side of the warm-up round does
// in the mode's repetition time, within [low, high].
uint64_t RepetitionCount(double coreRate, double referenceRate, uint64_t low, uint64_t high) {
  double slower = 0;
  if (run.options.core) slower = coreRate;
  if (run.options.reference && (slower == 0 || referenceRate < slower)) slower = referenceRate;
  double wanted = slower * run.options.mode.repetitionSeconds;
  if (wanted < static_cast<double>(low)) return low;
  if (wanted > static_cast<double>(high)) return high;
  return static_cast<uint64_t>(wanted);
}

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
    if (run.placement.producerCpu >= 0) PinCallingThread(run.placement.producerCpu);
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
    if (run.placement.producerCpu >= 0) PinCallingThread(run.placement.producerCpu);
    start = NowNanoseconds();
    for (uint64_t i = 0; i < count; i++) {
      if (!bus->Post(run.payloadSource, size, 0, nullptr)) refused++;
    }
  });
  poster.join();
  if (refused != 0)
    GiveUp("the reference could not allocate " + std::to_string(refused) + " copies");
  int64_t end = LastArrival(sinks, "reference throughput");
  return RateOver(count, start, end, cpuStart);
}

}  // namespace

void RunThroughput() {
  // The producer outruns its bus on purpose: the Core's queue must hold all
  // of a repetition, beyond the bound a server runs with. Read at each Start.
  setenv(kQueueMaxRecordsVariable, std::to_string(kMaxEvents).c_str(), 0);
  setenv(kQueueMaxBytesVariable,
         std::to_string(kMaxQueuedBytes + kMaxEvents * sizeof(EventRecord)).c_str(), 0);
  for (int sinkCount : run.options.sinkCounts) {
    CoreRig rig(run.nodeLibrary, sinkCount, 1, 0);
    if (run.options.core && !rig.Start()) GiveUp("the Core did not start");
    SinkSet referenceSinks(sinkCount);
    ReferenceBus bus(referenceSinks.pointers, 0);
    for (BenchSink* sink : CoreSinks(&rig)) sink->deliveryCpu.store(run.placement.deliveryCpu);
    for (BenchSink* sink : referenceSinks.pointers)
      sink->deliveryCpu.store(run.placement.deliveryCpu);
    for (uint32_t size : Sizes()) {
      Figure figure;
      figure.name = "events/s, " + std::to_string(sinkCount) +
                    (sinkCount == 1 ? " sink, " : " sinks, ") + SizeName(size) +
                    run.placementSuffix;
      figure.unit = Unit::kRate;
      figure.goal = Goal::kRatioAtLeast;
      figure.goalValue = 1.0;  // at least as fast as the minimal bus, wherever the threads run
      figure.cpuGoal = true;
      uint64_t warm = kWarmEvents[SizeIndex(size)];
      double coreRate = run.options.core ? CoreThroughput(&rig, size, warm).perSecond : 0;
      double referenceRate =
          run.options.reference
              ? ReferenceThroughput(&bus, referenceSinks.pointers, size, warm).perSecond
              : 0;
      uint64_t count = RepetitionCount(coreRate, referenceRate, warm,
                                       std::min(kMaxEvents, kMaxQueuedBytes / size));
      for (int r = 0; r < run.options.mode.repetitions; r++) {
        if (run.options.core) Record(&figure, true, CoreThroughput(&rig, size, count));
        if (run.options.reference) {
          Record(&figure, false, ReferenceThroughput(&bus, referenceSinks.pointers, size, count));
        }
      }
      Progress(figure);
      run.results.push_back(figure);
    }
  }
}
