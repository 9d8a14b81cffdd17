#include "core/payload_refs.h"

PayloadRefs::~PayloadRefs() {
  for (auto& entry : table) delete entry.second.more;
}

bool PayloadRefs::Empty(const Holders& holders) {
  return holders.inlineCount == 0 && (holders.more == nullptr || holders.more->empty());
}

void PayloadRefs::Add(Holders* holders, uint32_t holder) {
  if (holders->inlineCount < 3) {
    holders->inlineIds[holders->inlineCount++] = holder;
    return;
  }
  if (holders->more == nullptr) holders->more = new std::unordered_multiset<uint32_t>();
  holders->more->insert(holder);
}

uint32_t PayloadRefs::Remove(Holders* holders, uint32_t holder) {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < holders->inlineCount; i++) {
    if (holders->inlineIds[i] != holder) holders->inlineIds[kept++] = holders->inlineIds[i];
  }
  uint32_t removed = holders->inlineCount - kept;
  holders->inlineCount = kept;
  if (holders->more != nullptr) removed += static_cast<uint32_t>(holders->more->erase(holder));
  return removed;
}

void PayloadRefs::Register(uint32_t holder, PluginCounters* counters) {
  ScopedLock hold(&lock);
  tallies[holder] = counters;
}

void PayloadRefs::Unregister(uint32_t holder) {
  ScopedLock hold(&lock);
  tallies.erase(holder);
}

void PayloadRefs::Tally(uint32_t holder, uint32_t size, uint32_t count, bool kept) {
  auto it = tallies.find(holder);
  if (it == tallies.end() || count == 0) return;
  PluginCounters* counters = it->second;
  uint64_t bytes = static_cast<uint64_t>(size) * count;
  if (kept) {
    Bump(counters->payloadsKept, count);
    Bump(counters->bytesKept, bytes);
  } else {
    Bump(counters->payloadsKept, 0 - static_cast<uint64_t>(count));
    Bump(counters->bytesKept, 0 - bytes);
  }
}

void PayloadRefs::HoldForDelivery(void* payload) {
  if (payload == nullptr) return;
  keptDuringDelivery = false;
  delivering.store(payload, std::memory_order_release);
}

bool PayloadRefs::EndDelivery(void* payload) {
  if (payload == nullptr) return true;
  if (!keptDuringDelivery) {
    // Only this thread puts payloads into the table, so with no keep during
    // this delivery the payload has no entry, whatever others released.
    delivering.store(nullptr, std::memory_order_release);
    return true;
  }
  keptDuringDelivery = false;
  ScopedLock hold(&lock);
  delivering.store(nullptr, std::memory_order_release);
  return table.find(payload) == table.end();
}

void PayloadRefs::Keep(void* payload, uint32_t size, uint32_t holder) {
  if (payload == nullptr) return;
  ScopedLock hold(&lock);
  // Under the lock, so that a release sees either the call word or the pair.
  uint64_t word = call.exchange(0, std::memory_order_acq_rel);
  if ((word & kCallReleased) != 0) return;  // released during its own call
  Holders& holders = table[payload];
  holders.size = size;
  Add(&holders, holder);
  Tally(holder, size, 1, true);
  keptDuringDelivery = true;
}

bool PayloadRefs::ReleaseCall(void* payload, uint32_t holder) {
  if (delivering.load(std::memory_order_acquire) != payload) return false;
  uint64_t active = kCallActive | holder;
  if (!call.compare_exchange_strong(active, active | kCallReleased, std::memory_order_acq_rel)) {
    return false;
  }
  // The word may belong to the next delivery, if the handler moved on between
  // the two reads; that delivery's word is the handler's again.
  if (delivering.load(std::memory_order_acquire) != payload) {
    uint64_t marked = active | kCallReleased;
    (void)call.compare_exchange_strong(marked, active, std::memory_order_acq_rel);
    return false;
  }
  return true;
}

PayloadRefs::ReleaseOutcome PayloadRefs::Release(void* payload, uint32_t holder) {
  if (payload == nullptr) return ReleaseOutcome::kNotHeld;
  ScopedLock hold(&lock);
  bool inTable = false;
  auto it = table.find(payload);
  if (it != table.end()) {
    inTable = true;
    Tally(holder, it->second.size, Remove(&it->second, holder), false);
    if (Empty(it->second)) {
      delete it->second.more;
      table.erase(it);
    }
  }
  bool beingDelivered = ReleaseCall(payload, holder) ||
                        delivering.load(std::memory_order_acquire) == payload;
  if (beingDelivered || table.count(payload) != 0) return ReleaseOutcome::kStillHeld;
  return inTable ? ReleaseOutcome::kLastGone : ReleaseOutcome::kNotHeld;
}

size_t PayloadRefs::HeldCount() {
  ScopedLock hold(&lock);
  size_t count = table.size();
  void* current = delivering.load(std::memory_order_acquire);
  if (current != nullptr && table.count(current) == 0) count++;
  return count;
}

std::vector<void*> PayloadRefs::TakeAll() {
  std::vector<void*> payloads;
  ScopedLock hold(&lock);
  for (auto& entry : table) {
    payloads.push_back(entry.first);
    delete entry.second.more;
  }
  table.clear();
  tallies.clear();
  return payloads;
}
