// PayloadLedger: an account of the payload copies the Core makes and frees.
//
// Off unless a test turns it on; then every copy is entered with a serial
// number, every free takes its entry out, and a free of a payload not in the
// ledger counts as an error. Lets a stress test prove that every copy was
// freed exactly once. When off, each call costs one relaxed atomic load.
// Safe from any thread.
#ifndef CORE_PAYLOAD_LEDGER_H_
#define CORE_PAYLOAD_LEDGER_H_

#include <stdint.h>

#include <atomic>

class PayloadLedger {
 public:
  struct Totals {
    uint64_t copies;
    uint64_t frees;
    uint64_t errors;  // frees of payloads the ledger did not hold
    uint64_t live;    // copies not yet freed
  };

  static void Enable(bool on);
  static Totals Read();
  // The serial number of a live copy at `payload`, or 0 when none is live.
  static uint64_t Serial(const void* payload);

  static void Copied(const void* payload) {
    if (enabled.load(std::memory_order_relaxed) && payload != nullptr) Enter(payload);
  }
  static void Freed(const void* payload) {
    if (enabled.load(std::memory_order_relaxed) && payload != nullptr) Remove(payload);
  }

 private:
  static void Enter(const void* payload);
  static void Remove(const void* payload);
  static std::atomic<bool> enabled;
};

#endif  // CORE_PAYLOAD_LEDGER_H_
