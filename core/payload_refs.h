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
// Only kept payloads have an entry in the table. The delivery hold and the
// hold of the one plug-in call in progress live in two atomic words that the
// event handler writes without the lock, so a delivery to plug-ins that do
// not keep the payload takes no lock at all. A keep is written into the table
// under the lock; a release that comes while the call holding the payload is
// still in progress marks the call's word, also under the lock, so that a
// keep answered after it is not recorded.
//
// Threads: HoldForDelivery, addRef, dropRef, Keep and EndDelivery on the
// event handler thread only (one delivery, and one call of it, at a time);
// the others from any thread. Every operation that takes the table's lock
// takes nothing else. A null payload is never held.
//
// Each plug-in's kept payloads and their bytes are counted on the
// PluginCounters the Core registers for its id (Register, Unregister), under
// the table's lock; a holder with none registered is not counted.
#ifndef CORE_PAYLOAD_REFS_H_
#define CORE_PAYLOAD_REFS_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/plugin_counters.h"
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
  // payload, so the caller frees it. True at once for null. Takes the lock
  // only when a plug-in kept the payload during this delivery.
  bool EndDelivery(void* payload) EXCLUDES(lock);
  // Event handler thread, before EndDelivery: whether a plug-in kept the
  // payload during this delivery (it may have released it since).
  bool KeptDuringDelivery() const { return keptDuringDelivery; }

  // Event handler thread, around one plug-in call of the delivery in
  // progress. addRef: the plug-in holds the payload from now on. After the
  // call, dropRef when the reply did not keep the payload (true when no
  // holder is left, which the delivery hold rules out until EndDelivery;
  // true at once for null), Keep when it did: the hold stays until the
  // plug-in's release, unless that release came already. Only Keep takes the
  // lock.
  void addRef(void* payload, uint32_t holder) {
    if (payload != nullptr) call.store(kCallActive | holder, std::memory_order_release);
  }
  bool dropRef(void* payload, uint32_t holder) {
    (void)holder;  // the call word names the one call in progress
    if (payload == nullptr) return true;
    call.store(0, std::memory_order_release);
    return false;  // the delivery hold stays until EndDelivery
  }
  void Keep(void* payload, uint32_t size, uint32_t holder) EXCLUDES(lock);

  // Where the kept payloads of `holder` are counted from now on (borrowed;
  // the Core unregisters it before freeing it). Main thread.
  void Register(uint32_t holder, PluginCounters* counters) EXCLUDES(lock);
  void Unregister(uint32_t holder) EXCLUDES(lock);

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
    uint32_t size = 0;         // the payload's bytes
    uint32_t inlineCount = 0;  // entries used in inlineIds
    uint32_t inlineIds[3];
    std::unordered_multiset<uint32_t>* more = nullptr;  // owned; rare overflow
  };

  // The call word: zero when no call is in progress, otherwise the holder id
  // with kCallActive, plus kCallReleased once that holder released the
  // payload during the call.
  static constexpr uint64_t kCallActive = 1ull << 32;
  static constexpr uint64_t kCallReleased = 1ull << 33;

  static bool Empty(const Holders& holders);
  static uint32_t Remove(Holders* holders, uint32_t holder);  // the pairs that went
  static void Add(Holders* holders, uint32_t holder);
  // Counts `count` pairs of one payload (of `size` bytes) more, or fewer,
  // as kept by `holder`.
  void Tally(uint32_t holder, uint32_t size, uint32_t count, bool kept) REQUIRES(lock);
  // A release of the payload of the call in progress by the plug-in being
  // called; true when it matched that call.
  bool ReleaseCall(void* payload, uint32_t holder) REQUIRES(lock);

  Mutex lock;
  std::unordered_map<void*, Holders> table GUARDED_BY(lock);  // kept payloads only
  // Written by the event handler; read by the others under the lock. A
  // thread learns of a payload only from a call that started after these
  // were written, so it never sees them stale for that payload.
  std::atomic<void*> delivering{nullptr};  // the payload of the delivery in progress
  std::atomic<uint64_t> call{0};           // the call word, for `delivering`
  bool keptDuringDelivery = false;         // event handler thread only
  std::unordered_map<uint32_t, PluginCounters*> tallies GUARDED_BY(lock);  // borrowed
};

#endif  // CORE_PAYLOAD_REFS_H_
