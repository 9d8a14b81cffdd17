// StallWatch: tells which plug-in a thread is calling into, so that another
// thread can notice a call that does not come back.
//
// The watched thread (the event handler for Write and IOCTL, the main thread
// for Close and Unload at Stop) stores one word as each call begins, naming
// the plug-in and the entry point, and one more once it is out of the
// plug-ins (after a call, or after a run of them), and reads no clock. A
// watcher samples the word on its own tick (StallSampler), together with a
// count of the calls into that plug-in that have returned, which tells two
// calls into the same plug-in apart: the same word and count on two samples
// a threshold apart is a stall, reported once; the next different pair ends
// it. Times are measured on the watcher's samples, so they are good to one
// tick.
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

  // A call into the plug-in whose entry in the Core's list is at `callee`
  // (at least 8-byte aligned) begins.
  void Enter(const void* callee, Entry entry) {
    word.store(reinterpret_cast<uintptr_t>(callee) | (uintptr_t{entry} << kEntryShift) | kInCall,
               std::memory_order_release);
  }
  // ... and has returned, with no other call following at once.
  void Leave() { word.store(0, std::memory_order_release); }

  uintptr_t Read() const { return word.load(std::memory_order_acquire); }

  static bool InCall(uintptr_t value) { return (value & kInCall) != 0; }
  // The address of the callee's entry: only compared, never followed, since
  // the list may have changed since.
  static uintptr_t Callee(uintptr_t value) { return value & ~uintptr_t{7}; }
  static uint32_t EntryOf(uintptr_t value) {
    return static_cast<uint32_t>((value >> kEntryShift) & 3u);
  }

 private:
  // Bit 0: a call is in progress; bits 1-2: the entry point; the rest: the
  // address of the callee's entry, so a call costs its thread one store.
  static constexpr uintptr_t kInCall = 1;
  static constexpr int kEntryShift = 1;

  std::atomic<uintptr_t> word{0};
};

// What one sample found out.
struct StallNews {
  enum Kind { kNothing, kStalled, kReturned } kind = kNothing;
  uintptr_t callee = 0;  // the plug-in's entry in the Core's list
  uint32_t entry = 0;   // StallWatch::Entry
  int milliseconds = 0;  // how long the call has run, or ran
};

class StallSampler {
 public:
  // Looks at the word as it is at `now` (monotonic milliseconds), with the
  // count of returned calls into the plug-in it names (0 where every call
  // is made once, as Close and Unload are).
  StallNews Sample(uintptr_t word, uint64_t returned, int64_t now, int thresholdMilliseconds);

 private:
  uintptr_t seen = 0;         // the word at the last sample
  uint64_t seenReturned = 0;  // ... and the count that came with it
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
