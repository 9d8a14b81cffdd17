// PayloadRefs: who still holds each payload copy the Core made.
//
// A payload copy is held by the Core while it delivers the record (its
// delivery hold), by each plug-in while its Write or IOCTL call runs, and
// beyond that by every plug-in whose reply asked to keep it, until that
// plug-in posts a release. When the last holder is gone the caller frees the
// payload. Plug-in holds behave as a multiset of (payload, id) pairs; the
// Core's delivery hold is kept apart from them, so no release post, whatever
// source it names, can take the payload from under a delivery in progress.
//
// Every operation takes the table's own lock and nothing else; safe from any
// thread. A null payload is never held.
#ifndef CORE_PAYLOAD_REFS_H_
#define CORE_PAYLOAD_REFS_H_

#include <stddef.h>
#include <stdint.h>

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "threads/scoped_lock.h"
#include "threads/thread_annotations.h"

class PayloadRefs {
 public:
  enum class ReleaseOutcome {
    kNotHeld,    // no holder at all: a payload the Core never delivered or freed already
    kStillHeld,  // others (or the delivery in progress) still hold it
    kLastGone,   // that was the last holder: the caller frees the payload
  };

  PayloadRefs() = default;
  ~PayloadRefs();
  PayloadRefs(const PayloadRefs&) = delete;
  PayloadRefs& operator=(const PayloadRefs&) = delete;

  // Event handler thread: the Core's hold for the length of one delivery.
  void HoldForDelivery(void* payload) EXCLUDES(lock);
  // Event handler thread: ends that hold; true when no plug-in kept the
  // payload, so the caller frees it. True at once for null.
  bool EndDelivery(void* payload) EXCLUDES(lock);

  // A plug-in's hold, around its call and beyond if it keeps the payload.
  void addRef(void* payload, uint32_t holder) EXCLUDES(lock);
  // Removes every pair (payload, holder); true when no holder of any kind is
  // left. True at once for null.
  bool dropRef(void* payload, uint32_t holder) EXCLUDES(lock);

  // A release post: as dropRef, but tells a payload nobody holds apart from
  // one whose last holder just left, so a stray release frees nothing.
  ReleaseOutcome Release(void* payload, uint32_t holder) EXCLUDES(lock);

  // Number of payloads with at least one holder.
  size_t HeldCount() EXCLUDES(lock);

  // Forgets every holder and hands the payloads to the caller, who frees them.
  // Only for a Core whose plug-ins are all gone.
  std::vector<void*> TakeAll() EXCLUDES(lock);

 private:
  struct Holders {
    bool delivering = false;
    uint32_t inlineCount = 0;  // entries used in inlineIds
    uint32_t inlineIds[3];
    std::unordered_multiset<uint32_t>* more = nullptr;  // owned; rare overflow
  };

  // Requires lock. True when nobody holds the entry any more.
  static bool Empty(const Holders& holders);
  static void Remove(Holders* holders, uint32_t holder);
  static void Add(Holders* holders, uint32_t holder);
  bool EraseIfEmpty(std::unordered_map<void*, Holders>::iterator it) REQUIRES(lock);

  Mutex lock;
  std::unordered_map<void*, Holders> table GUARDED_BY(lock);
};

#endif  // CORE_PAYLOAD_REFS_H_
