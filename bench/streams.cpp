// Streams: one payload in flight per stream, for one stream and for four at
// once.
//
// Each payload waits until the previous one of its stream has been delivered
// and freed, so the rate follows how fast a sleeping thread wakes up, and on
// a shared virtual machine that changes tenfold from one moment to the next.
// Both sides therefore stay started for the whole figure and take turns batch
// by batch; each Core batch is paired with the reference batch after it.
#include <stdint.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/batch_gate.h"
#include "bench/bench_node.h"
#include "bench/bench_sink.h"
#include "bench/core_rig.h"
#include "bench/reference_bus.h"
#include "bench/runner.h"

namespace {

constexpr uint32_t kStreamHandleBase = 100;
constexpr int kStreamsAtOnce = 4;
constexpr uint32_t kStreamWarmBatches = 2;  // not recorded

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
  uint32_t batches = kStreamWarmBatches + static_cast<uint32_t>(run.options.mode.streamBatches);
  uint64_t perBatch = static_cast<uint64_t>(kStreamBatchPayloads) * static_cast<uint64_t>(streams);

  // The Core's producers: one Read call per stream, posting batch by batch.
  BenchSink* coreSink = &rig->Sink(0)->sink;
  if (run.options.core) {
    BenchSinkReset(coreSink, 0, nullptr, 0);
    for (int k = 0; k < streams; k++) {
      rig->Producer(k)->batches.Reset();
      // Read gets a private copy of the order before PostEvent returns.
      StreamOrder order{kStreamBatchPayloads,     batches,    size,
                        run.payloadSource,        kSinkFlags, kSinkType,
                        run.placement.producerCpu};
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
  if (run.options.reference) {
    BenchSinkReset(referenceSink, 0, nullptr, 0);
    for (int k = 0; k < streams; k++) {
      producers.emplace_back([bus, k, size, batches, &referenceGates] {
        if (run.placement.producerCpu >= 0) PinCallingThread(run.placement.producerCpu);
        for (uint32_t batch = 0; batch < batches; batch++) {
          referenceGates[k].WaitForBatch(batch);
          for (uint32_t i = 0; i < kStreamBatchPayloads; i++) {
            (void)bus->Post(run.payloadSource, size, static_cast<uint32_t>(k + 1), nullptr);
          }
        }
      });
    }
  }

  uint64_t coreTarget = 0, referenceTarget = 0;
  for (uint32_t batch = 0; batch < batches; batch++) {
    bool recorded = batch >= kStreamWarmBatches;
    if (run.options.core) {
      coreTarget += perBatch;
      Rate rate = RunBatch(
          coreSink, coreTarget, perBatch,
          [rig, streams] {
            for (int k = 0; k < streams; k++) rig->Producer(k)->batches.Grant();
          },
          "Core streams");
      if (recorded) Record(&figure, true, rate);
    }
    if (run.options.reference) {
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
  for (int k = 0; run.options.core && k < streams; k++) {
    if (rig->Producer(k)->refusedPosts.load() != 0) GiveUp("the Core refused a stream post");
  }
  Progress(figure);
  run.results.push_back(figure);
}

}  // namespace

void RunStreams() {
  CoreRig rig(run.nodeLibrary, 1, kStreamsAtOnce, 0);
  if (run.options.core && !rig.Start()) GiveUp("the Core did not start");
  SinkSet referenceSinks(1);
  ReferenceBus bus(referenceSinks.pointers, kStreamsAtOnce);
  rig.Sink(0)->sink.deliveryCpu.store(run.placement.deliveryCpu);
  referenceSinks.pointers[0]->deliveryCpu.store(run.placement.deliveryCpu);
  for (int streams : {1, kStreamsAtOnce}) {
    for (uint32_t size : Sizes())
      RunStreamFigure(&rig, &bus, referenceSinks.pointers[0], streams, size);
  }
}
