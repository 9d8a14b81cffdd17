#include "core/payload_refs.h"

PayloadRefs::~PayloadRefs() {
  for (auto& entry : table) delete entry.second.more;
}

bool PayloadRefs::Empty(const Holders& holders) {
  return !holders.delivering && holders.inlineCount == 0 &&
         (holders.more == nullptr || holders.more->empty());
}

void PayloadRefs::Add(Holders* holders, uint32_t holder) {
  if (holders->inlineCount < 3) {
    holders->inlineIds[holders->inlineCount++] = holder;
    return;
  }
  if (holders->more == nullptr) holders->more = new std::unordered_multiset<uint32_t>();
  holders->more->insert(holder);
}

void PayloadRefs::Remove(Holders* holders, uint32_t holder) {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < holders->inlineCount; i++) {
    if (holders->inlineIds[i] != holder) holders->inlineIds[kept++] = holders->inlineIds[i];
  }
  holders->inlineCount = kept;
  if (holders->more != nullptr) holders->more->erase(holder);
}

bool PayloadRefs::EraseIfEmpty(std::unordered_map<void*, Holders>::iterator it) {
  if (!Empty(it->second)) return false;
  delete it->second.more;
  table.erase(it);
  return true;
}

void PayloadRefs::HoldForDelivery(void* payload) {
  if (payload == nullptr) return;
  ScopedLock hold(&lock);
  table[payload].delivering = true;
}

bool PayloadRefs::EndDelivery(void* payload) {
  if (payload == nullptr) return true;
  ScopedLock hold(&lock);
  auto it = table.find(payload);
  if (it == table.end()) return true;
  it->second.delivering = false;
  return EraseIfEmpty(it);
}

void PayloadRefs::addRef(void* payload, uint32_t holder) {
  if (payload == nullptr) return;
  ScopedLock hold(&lock);
  Add(&table[payload], holder);
}

bool PayloadRefs::dropRef(void* payload, uint32_t holder) {
  if (payload == nullptr) return true;
  ScopedLock hold(&lock);
  auto it = table.find(payload);
  if (it == table.end()) return true;
  Remove(&it->second, holder);
  return EraseIfEmpty(it);
}

PayloadRefs::ReleaseOutcome PayloadRefs::Release(void* payload, uint32_t holder) {
  if (payload == nullptr) return ReleaseOutcome::kNotHeld;
  ScopedLock hold(&lock);
  auto it = table.find(payload);
  if (it == table.end()) return ReleaseOutcome::kNotHeld;
  Remove(&it->second, holder);
  return EraseIfEmpty(it) ? ReleaseOutcome::kLastGone : ReleaseOutcome::kStillHeld;
}

size_t PayloadRefs::HeldCount() {
  ScopedLock hold(&lock);
  return table.size();
}

std::vector<void*> PayloadRefs::TakeAll() {
  std::vector<void*> payloads;
  ScopedLock hold(&lock);
  for (auto& entry : table) {
    payloads.push_back(entry.first);
    delete entry.second.more;
  }
  table.clear();
  return payloads;
}
