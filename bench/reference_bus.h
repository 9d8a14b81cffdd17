// ReferenceBus: the cheapest faithful bus that does the Core's queued job, run
// in the same process as the Core so that the two can be compared figure by
// figure.
//
// A post copies the payload once (malloc + memcpy), appends a 184-byte record
// to a std::deque under one mutex and wakes the one consumer through a
// condition variable when it sleeps. The consumer takes the records out one
// at a time, calls every sink through a function pointer and frees the
// payload. A stream is a semaphore of count 1: a post on it waits, after its
// copy is made, until the stream's previous payload has been freed.
//
// Threads: Post from any thread; the sinks run on the consumer thread, which
// the constructor starts and the destructor stops and joins.
#ifndef BENCH_REFERENCE_BUS_H_
#define BENCH_REFERENCE_BUS_H_

#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/bench_sink.h"

// The record as it travels: 184 bytes, the shipped EventRecord's size, with
// the body a pointer's width shorter or longer as the build needs.
struct ReferenceRecord {
  uint32_t size;
  uint32_t version;
  uint32_t payloadSize;
  uint32_t reserved0;
  void* payload;  // owned by the bus from the post until the consumer frees it
  uint32_t source;
  uint32_t stream;
  uint32_t flags;
  uint32_t type;
  uint8_t body[184 - 32 - sizeof(void*)];
};
static_assert(sizeof(ReferenceRecord) == 184, "the reference moves 184-byte records");

class ReferenceBus {
 public:
  // sinks: borrowed; they outlive the bus. streams: number of gated streams,
  // numbered 1 to streams.
  ReferenceBus(const std::vector<BenchSink*>& sinks, int streams);
  ~ReferenceBus();
  ReferenceBus(const ReferenceBus&) = delete;
  ReferenceBus& operator=(const ReferenceBus&) = delete;

  // Any thread. stream 0: no stream. stamp: kStampBytes copied into the body,
  // or null. False only when the copy could not be allocated.
  bool Post(const void* payload, uint32_t payloadSize, uint32_t stream, const uint8_t* stamp);

 private:
  struct SinkCall {
    SinkFunction deliver;
    BenchSink* sink;  // borrowed
  };

  void Consume();  // the consumer thread's body

  std::vector<SinkCall> sinks;     // fixed at construction
  std::unique_ptr<sem_t[]> gates;  // one per stream; fixed at construction
  int streamCount;
  std::mutex queueLock;
  std::condition_variable wake;
  std::deque<ReferenceRecord> queue;  // guarded by queueLock
  bool sleeping = false;              // guarded by queueLock: the consumer waits on `wake`
  bool stopping = false;              // guarded by queueLock
  std::thread consumer;
};

#endif  // BENCH_REFERENCE_BUS_H_
