#include "core/payload_ledger.h"

#include <mutex>
#include <unordered_map>

namespace {

struct Ledger {
  std::mutex mutex;
  std::unordered_map<const void*, uint64_t> live;  // guarded by mutex
  uint64_t copies = 0;
  uint64_t frees = 0;
  uint64_t errors = 0;
};

Ledger& TheLedger() {
  static Ledger* ledger = new Ledger();  // lives for the process
  return *ledger;
}

}  // namespace

std::atomic<bool> PayloadLedger::enabled{false};

void PayloadLedger::Enable(bool on) {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.mutex);
  if (on) {
    ledger.live.clear();
    ledger.copies = ledger.frees = ledger.errors = 0;
  }
  enabled.store(on);
}

PayloadLedger::Totals PayloadLedger::Read() {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.mutex);
  return Totals{ledger.copies, ledger.frees, ledger.errors, ledger.live.size()};
}

uint64_t PayloadLedger::Serial(const void* payload) {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.mutex);
  auto it = ledger.live.find(payload);
  return it == ledger.live.end() ? 0 : it->second;
}

void PayloadLedger::Enter(const void* payload) {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.mutex);
  ledger.copies++;
  if (!ledger.live.emplace(payload, ledger.copies).second) ledger.errors++;  // handed out twice
}

void PayloadLedger::Remove(const void* payload) {
  Ledger& ledger = TheLedger();
  std::lock_guard<std::mutex> hold(ledger.mutex);
  ledger.frees++;
  if (ledger.live.erase(payload) == 0) ledger.errors++;
}
