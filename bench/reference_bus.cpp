#include "bench/reference_bus.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

ReferenceBus::ReferenceBus(const std::vector<BenchSink*>& sinkList, int streams)
    : gates(new sem_t[streams > 0 ? streams : 1]), streamCount(streams) {
  for (BenchSink* sink : sinkList) sinks.push_back(SinkCall{BenchSinkDeliver, sink});
  for (int i = 0; i < streamCount; i++) sem_init(&gates[i], 0, 1);
  consumer = std::thread([this] { Consume(); });
}

ReferenceBus::~ReferenceBus() {
  {
    std::lock_guard<std::mutex> hold(queueLock);
    stopping = true;
  }
  wake.notify_one();
  consumer.join();
  for (const ReferenceRecord& record : queue) free(record.payload);
  for (int i = 0; i < streamCount; i++) sem_destroy(&gates[i]);
}

bool ReferenceBus::Post(const void* payload, uint32_t payloadSize, uint32_t stream,
                        const uint8_t* stamp) {
  ReferenceRecord record;
  record.size = sizeof(record);
  record.version = 1;
  record.payloadSize = payloadSize;
  record.reserved0 = 0;
  record.payload = nullptr;
  if (payload != nullptr && payloadSize != 0) {
    record.payload = malloc(payloadSize);
    if (record.payload == nullptr) return false;
    memcpy(record.payload, payload, payloadSize);
  }
  record.source = 1;
  record.stream = stream;
  record.flags = 0;
  record.type = 0;
  if (stamp != nullptr) memcpy(record.body, stamp, kStampBytes);
  if (stream != 0) {
    // The copy is made before the wait, as the Core does.
    while (sem_wait(&gates[stream - 1]) != 0 && errno == EINTR) {
    }
  }
  bool wakeConsumer;
  {
    std::lock_guard<std::mutex> hold(queueLock);
    queue.push_back(record);
    wakeConsumer = sleeping;
  }
  if (wakeConsumer) wake.notify_one();
  return true;
}

void ReferenceBus::Consume() {
  for (;;) {
    ReferenceRecord record;
    {
      std::unique_lock<std::mutex> hold(queueLock);
      while (queue.empty()) {
        if (stopping) return;
        sleeping = true;
        wake.wait(hold);
        sleeping = false;
      }
      record = queue.front();
      queue.pop_front();
    }
    for (const SinkCall& call : sinks) {
      call.deliver(call.sink, record.payload, record.payloadSize, record.body);
    }
    free(record.payload);
    if (record.stream != 0) sem_post(&gates[record.stream - 1]);
  }
}
