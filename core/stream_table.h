// StreamTable: the Core's streams and their gates.
//
// A stream is made by a start request and lives until a stop request, after
// which it is removed as soon as nothing is in flight on it and nobody waits
// on its gate; a later start request on the same handle makes a new stream.
// Its gate (the only one the Core uses) is a semaphore of count 1 that lets
// one payload travel on the stream at a time: a poster takes it before its
// record is queued, and it is posted again when that payload is freed.
//
// Callers hold a Stream pointer while they wait on its gate (Join, Prepare)
// or while a record of theirs occupies it (Occupy until Vacate, or Unclaim
// and Open); a stream is only deleted once no caller holds it, so no gate is
// freed under a waiter. A kept payload finds its stream by address, without
// a scan.
//
// The table's lock guards the map and every field of every Stream but the
// semaphore. It is never held while anyone waits on a gate, nor while a gate
// is posted: a post that wakes a waiter is a system call, and the stream's
// other posters need the lock meanwhile. The decision to post is taken under
// the lock and pins the stream (Stream::pins), so that it is not deleted
// before the post that follows lets go of it. Safe from any thread.
#ifndef CORE_STREAM_TABLE_H_
#define CORE_STREAM_TABLE_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <unordered_map>
#include <unordered_set>

#include "threads/scoped_lock.h"
#include "threads/semaphore.h"
#include "threads/thread_annotations.h"

struct Stream {
  Stream() : gate(1) {}
  pt::semaphore gate;
  // The rest is guarded by the table's lock (the analysis cannot name a lock
  // of another object here).
  void* inFlight = nullptr;  // borrowed; the occupying record's payload, or null
  bool occupied = false;     // a record holds the gate: queued, delivered or kept
  bool kept = false;         // ... and its delivery is over: plug-ins keep the payload
  bool cancelled = false;    // stopped: out of the map, deleted once idle
  int users = 0;             // callers that joined and have not occupied or left
  // Gate posts decided under the table's lock and not yet made, plus
  // kDoomed once the stream is to be deleted. Whoever sees it reach kDoomed
  // exactly deletes the stream.
  static constexpr uint32_t kDoomed = 1u << 31;
  std::atomic<uint32_t> pins{0};
};

class StreamTable {
 public:
  StreamTable() = default;
  ~StreamTable();
  StreamTable(const StreamTable&) = delete;
  StreamTable& operator=(const StreamTable&) = delete;

  // Ordinary post: the stream, held for the caller until it occupies the
  // gate or leaves; null when the handle names no stream.
  Stream* Join(uint32_t handle) EXCLUDES(lock);
  // Start request: the same, making the stream when the handle has none.
  Stream* Prepare(uint32_t handle) EXCLUDES(lock);
  // A joined caller that will not take the gate after all.
  void Leave(Stream* stream) EXCLUDES(lock);

  // After a poster took the gate: its record (with `payload`, which may be
  // null) now occupies it. False, with the gate passed on, when the stream
  // was stopped meanwhile.
  bool Occupy(Stream* stream, void* payload) EXCLUDES(lock);
  // After a start request took the gate: gives it back.
  void Reopen(Stream* stream) EXCLUDES(lock);

  // The occupying record's delivery ended with the payload kept by plug-ins.
  void MarkKept(Stream* stream, const void* payload) EXCLUDES(lock);
  // Whether the gate is held by a payload that plug-ins keep, so that a
  // release from another thread may open it.
  bool HeldByKeeper(Stream* stream) EXCLUDES(lock);

  // The occupying record's payload has been freed (its address is only
  // compared): the gate opens.
  void Vacate(Stream* stream, uintptr_t payload) EXCLUDES(lock);
  // A kept payload was released for the last time and is about to be freed:
  // its stream, if it travelled on one, with the address forgotten, for Open
  // once the payload is freed. Called before the free, while no other
  // payload can have that address.
  Stream* Unclaim(const void* payload) EXCLUDES(lock);
  void Open(Stream* stream) EXCLUDES(lock);

  // Stop request: the stream leaves the map; posts waiting on its gate are
  // woken and refused. A handle never started is not created.
  void Cancel(uint32_t handle) EXCLUDES(lock);

  bool Exists(uint32_t handle) EXCLUDES(lock);
  // Streams alive, in the map or stopped and still held.
  size_t Count() EXCLUDES(lock);

  // For the statistics, without the lock: streams started and not stopped,
  // and streams whose gate a payload holds.
  uint64_t OpenCount() const { return openCount.load(std::memory_order_relaxed); }
  uint64_t InFlightCount() const { return inFlightCount.load(std::memory_order_relaxed); }

 private:
  // A gate to be posted once the lock is let go: the stream, pinned until
  // PostGate has posted it. PostGate takes null for no post.
  static Stream* Pin(Stream* stream);
  static void PostGate(Stream* stream);  // without the lock
  // A stopped stream's gate, as the last holder lets go: deleted when idle
  // (null), otherwise to be posted, so that the next waiter wakes and sees
  // the stop.
  Stream* PassOn(Stream* stream) REQUIRES(lock);
  // A stream nobody holds any more: deleted now, or by the last post of
  // its gate still under way.
  static void Discard(Stream* stream);
  // The occupant is gone: the gate to post, or null.
  Stream* Release(Stream* stream, uintptr_t payload) REQUIRES(lock);
  void ClearOccupant(Stream* stream, uintptr_t payload) REQUIRES(lock);

  Mutex lock;
  std::unordered_map<uint32_t, Stream*> streams GUARDED_BY(lock);  // owned
  std::unordered_set<Stream*> stopped GUARDED_BY(lock);  // owned; cancelled, still held
  std::unordered_map<uintptr_t, Stream*> byPayload GUARDED_BY(lock);  // in-flight payloads
  // Changed under the lock, read without it.
  std::atomic<uint64_t> openCount{0};      // streams.size()
  std::atomic<uint64_t> inFlightCount{0};  // occupied streams
};

#endif  // CORE_STREAM_TABLE_H_
