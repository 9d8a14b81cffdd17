// StreamTable: the Core's streams and their gates.
//
// A stream is created by its first start request and lives until the Core is
// destroyed. Its gate (gate number 0, the only one the Core uses) is a
// semaphore of count 1 that lets one payload travel on the stream at a time:
// a poster takes it before its record is queued, and it is posted again when
// that payload is freed. `inFlight` names the payload on its way.
//
// The table's lock guards the map, each stream's `cancelled` flag and each
// gate's `inFlight`. It is never held while anyone waits on a gate: callers
// get the gate pointer (stable for the Core's life), let go of the lock, and
// wait. Gates are posted after the lock is released. Safe from any thread.
#ifndef CORE_STREAM_TABLE_H_
#define CORE_STREAM_TABLE_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <unordered_map>
#include <vector>

#include "threads/scoped_lock.h"
#include "threads/semaphore.h"
#include "threads/thread_annotations.h"

struct StreamGate {
  StreamGate() : gate(1) {}
  pt::semaphore gate;
  // Changed only under the table's lock (which belongs to another object, so
  // the analysis cannot name it); atomic so that no read can race a write.
  // Borrowed; the Core frees the payload.
  std::atomic<void*> inFlight{nullptr};
};

struct Stream {
  std::unique_ptr<StreamGate> gate;  // gate number 0; null until a start request makes it
  bool cancelled = false;            // guarded by the table's lock; never cleared
};

class StreamTable {
 public:
  StreamTable() = default;
  StreamTable(const StreamTable&) = delete;
  StreamTable& operator=(const StreamTable&) = delete;

  // Ordinary post: false when the stream does not exist. Otherwise *gate is
  // its gate, or null when it has none.
  bool Find(uint32_t handle, StreamGate** gate) EXCLUDES(lock);

  // After a poster has taken the gate: marks payload as in flight. When the
  // stream has been cancelled, gives the gate back instead and returns false.
  bool Occupy(uint32_t handle, StreamGate* gate, void* payload) EXCLUDES(lock);

  // The payload of the record that travelled on `handle` is gone: opens the
  // stream's gate if that payload is the one in flight there. Payloads are
  // named by address only, since they may already be freed.
  void Vacate(uint32_t handle, uintptr_t payload) EXCLUDES(lock);

  // A kept payload was released for the last time and is about to be freed:
  // clears inFlight on every gate whose in-flight payload it is and returns
  // those gates, for OpenGates once the payload is freed. Called before the
  // free, while no other payload can have the same address; after it, the
  // address may already be another poster's new copy on another stream.
  std::vector<StreamGate*> Unclaim(const void* payload) EXCLUDES(lock);
  // Posts each gate Unclaim returned. Takes no lock.
  static void OpenGates(const std::vector<StreamGate*>& gates);

  // Start request: the stream's gate, creating the stream and gate as needed.
  StreamGate* Prepare(uint32_t handle) EXCLUDES(lock);
  // Start request, after taking the gate: clears inFlight and gives it back.
  void Reopen(StreamGate* gate) EXCLUDES(lock);

  // Stop request: cancels an existing stream and posts its gate once. A
  // handle never started is not created.
  void Cancel(uint32_t handle) EXCLUDES(lock);

  bool Exists(uint32_t handle) EXCLUDES(lock);
  bool Cancelled(uint32_t handle) EXCLUDES(lock);

 private:
  Mutex lock;
  std::unordered_map<uint32_t, std::unique_ptr<Stream>> streams GUARDED_BY(lock);
};

#endif  // CORE_STREAM_TABLE_H_
