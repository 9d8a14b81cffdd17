// BatchGate: lets a producer thread post one batch at a time, each when the
// benchmark grants it, so that the Core's producers and the reference's can
// take turns batch by batch while both stay started.
//
// Threads: Grant from the benchmark's thread, WaitForBatch from the one
// producer; Reset only while the producer is not waiting.
#ifndef BENCH_BATCH_GATE_H_
#define BENCH_BATCH_GATE_H_

#include <stdint.h>

#include <condition_variable>
#include <mutex>

class BatchGate {
 public:
  BatchGate() = default;
  BatchGate(const BatchGate&) = delete;
  BatchGate& operator=(const BatchGate&) = delete;

  void Reset() {
    std::lock_guard<std::mutex> hold(mutex);
    granted = 0;
  }

  // Lets the producer start its next batch.
  void Grant() {
    {
      std::lock_guard<std::mutex> hold(mutex);
      granted++;
    }
    changed.notify_one();
  }

  // Blocks until batch number `batch` (counted from 0) has been granted.
  void WaitForBatch(uint32_t batch) {
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait(hold, [this, batch] { return granted > batch; });
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  uint32_t granted = 0;  // guarded by mutex
};

#endif  // BENCH_BATCH_GATE_H_
