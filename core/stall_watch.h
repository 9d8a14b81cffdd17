// StallWatch: tells which plug-in a thread is calling into, so that another
// thread can notice a call that does not come back.
//
// The watched thread (the event handler for Write and IOCTL, the main thread
// for Close and Unload at Stop) publishes one word as each call begins, and
// one more once it is out of the plug-ins (after a call, or after a run of
// them), and reads no clock. A watcher samples the word on its own tick
// (StallSampler): a word that shows the same call on two samples a threshold
// apart is a stall, reported once; the next different word ends it. Times
// are measured on the watcher's samples, so they are good to one tick.
//
// Enter and Leave on the watched thread only; Read from any thread.
// StallSampler belongs to the one watcher that uses it.
#ifndef CORE_STALL_WATCH_H_
#define CORE_STALL_WATCH_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "threads/thread.h"

class Core;

extern const char kStallVariable[];         // "OMBREVARD_STALL_MS"
extern const char kDeliveryStallMessage[];  // "plugin %s has been in %s for %d ms; delivery is waiting"
extern const char kStopStallMessage[];      // "plugin %s has been in %s for %d ms; stop is waiting"
extern const char kStallReturnMessage[];    // "plugin %s returned from %s after %d ms"

constexpr int kDefaultStallMilliseconds = 1000;
// How often the watchers sample: the scheduler's tick.
constexpr int kStallSampleMilliseconds = 100;

// The stall threshold the environment asks for (OMBREVARD_STALL_MS, a
// positive number of milliseconds); a bad value is logged and the default
// used. Main thread.
int ReadStallThreshold();

class StallWatch {
 public:
  enum Entry : uint32_t { kWrite = 0, kIoctl = 1, kClose = 2, kUnload = 3 };
  // The entry point's name as logs show it.
  static const char* EntryName(uint32_t entry);

  // A call into the plug-in at `index` of the Core's list begins.
  void Enter(size_t index, Entry entry) {
    sequence++;
    word.store((sequence << kSequenceShift) | (static_cast<uint64_t>(index) << kIndexShift) |
                   (static_cast<uint64_t>(entry) << kEntryShift) | kInCall,
               std::memory_order_release);
  }
  // ... and has returned, with no other call following at once.
  void Leave() { word.store(sequence << kSequenceShift, std::memory_order_release); }

  uint64_t Read() const { return word.load(std::memory_order_acquire); }

  static bool InCall(uint64_t value) { return (value & kInCall) != 0; }
  static size_t Index(uint64_t value) {
    return static_cast<size_t>((value >> kIndexShift) & kIndexMask);
  }
  static uint32_t EntryOf(uint64_t value) {
    return static_cast<uint32_t>((value >> kEntryShift) & 3u);
  }

 private:
  // Bit 0: a call is in progress; bits 1-2: the entry point; bits 3-22: the
  // plug-in's index; the rest: the call's number, so that two calls into the
  // same plug-in between two samples never look like one long call.
  static constexpr uint64_t kInCall = 1;
  static constexpr int kEntryShift = 1;
  static constexpr int kIndexShift = 3;
  static constexpr uint64_t kIndexMask = (1u << 20) - 1;
  static constexpr int kSequenceShift = 23;

  std::atomic<uint64_t> word{0};
  uint64_t sequence = 0;  // watched thread only
};

// What one sample found out.
struct StallNews {
  enum Kind { kNothing, kStalled, kReturned } kind = kNothing;
  size_t index = 0;     // the plug-in
  uint32_t entry = 0;   // StallWatch::Entry
  int milliseconds = 0;  // how long the call has run, or ran
};

class StallSampler {
 public:
  // Looks at the word as it is at `now` (monotonic milliseconds).
  StallNews Sample(uint64_t word, int64_t now, int thresholdMilliseconds);

 private:
  uint64_t seen = 0;     // the word at the last sample
  int64_t seenSince = 0;  // when it was first seen
  bool reported = false;  // its call was reported as a stall
};

// Watches the main thread's Close and Unload calls while Stop runs: the
// scheduler, which watches delivery, has ended by then. Joinable; Stop
// signals and deletes it (which joins).
class StopWatchThread : public pt::thread {
 public:
  explicit StopWatchThread(Core* owner) : pt::thread(false), core(owner) {}
  ~StopWatchThread() override;

 protected:
  void execute() override;

 private:
  Core* core;  // borrowed; outlives the thread
};

#endif  // CORE_STALL_WATCH_H_
