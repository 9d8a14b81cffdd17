#include "core/stream_table.h"

#include "core/plugin_counters.h"

StreamTable::~StreamTable() {
  for (auto& entry : streams) delete entry.second;
  for (Stream* stream : stopped) delete stream;
}

Stream* StreamTable::Join(uint32_t handle) {
  ScopedLock hold(&lock);
  auto it = streams.find(handle);
  if (it == streams.end()) return nullptr;
  it->second->users++;
  return it->second;
}

Stream* StreamTable::Prepare(uint32_t handle) {
  ScopedLock hold(&lock);
  Stream*& stream = streams[handle];
  if (stream == nullptr) {
    stream = new Stream();
    openCount.store(streams.size(), std::memory_order_relaxed);
  }
  stream->users++;
  return stream;
}

void StreamTable::Leave(Stream* stream) {
  ScopedLock hold(&lock);
  stream->users--;
  if (stream->cancelled && stream->users == 0 && !stream->occupied) {
    stopped.erase(stream);
    Discard(stream);
  }
}

void StreamTable::Discard(Stream* stream) {
  if ((stream->pins.fetch_or(Stream::kDoomed, std::memory_order_acq_rel) & ~Stream::kDoomed) == 0) {
    delete stream;
  }
}

Stream* StreamTable::Pin(Stream* stream) {
  stream->pins.fetch_add(1, std::memory_order_relaxed);
  return stream;
}

void StreamTable::PostGate(Stream* stream) {
  if (stream == nullptr) return;
  stream->gate.post();
  if (stream->pins.fetch_sub(1, std::memory_order_acq_rel) - 1 == Stream::kDoomed) delete stream;
}

Stream* StreamTable::PassOn(Stream* stream) {
  if (stream->users == 0 && !stream->occupied) {
    stopped.erase(stream);
    Discard(stream);
    return nullptr;
  }
  return Pin(stream);
}

bool StreamTable::Occupy(Stream* stream, void* payload) {
  Stream* post = nullptr;
  {
    ScopedLock hold(&lock);
    stream->users--;
    if (!stream->cancelled) {
      if (!stream->occupied) Bump(inFlightCount);
      stream->occupied = true;
      stream->kept = false;
      stream->inFlight = payload;
      if (payload != nullptr) byPayload[reinterpret_cast<uintptr_t>(payload)] = stream;
      return true;
    }
    post = PassOn(stream);
  }
  PostGate(post);
  return false;
}

void StreamTable::Reopen(Stream* stream) {
  Stream* post = nullptr;
  {
    ScopedLock hold(&lock);
    stream->users--;
    post = stream->cancelled ? PassOn(stream) : Pin(stream);
  }
  PostGate(post);
}

void StreamTable::MarkKept(Stream* stream, const void* payload) {
  ScopedLock hold(&lock);
  if (stream->occupied && stream->inFlight == payload) stream->kept = true;
}

bool StreamTable::HeldByKeeper(Stream* stream) {
  ScopedLock hold(&lock);
  return stream->occupied && stream->kept;
}

void StreamTable::ClearOccupant(Stream* stream, uintptr_t payload) {
  auto it = byPayload.find(payload);
  // Another stream's payload may have that address by now, when the occupant
  // was freed before this call.
  if (payload != 0 && it != byPayload.end() && it->second == stream) byPayload.erase(it);
  if (stream->occupied) Bump(inFlightCount, 0 - uint64_t{1});
  stream->occupied = false;
  stream->kept = false;
  stream->inFlight = nullptr;
}

// The occupant is gone: the gate is to open, or a stopped stream nobody holds
// any more goes.
Stream* StreamTable::Release(Stream* stream, uintptr_t payload) {
  ClearOccupant(stream, payload);
  return stream->cancelled ? PassOn(stream) : Pin(stream);
}

void StreamTable::Vacate(Stream* stream, uintptr_t payload) {
  Stream* post = nullptr;
  {
    ScopedLock hold(&lock);
    if (!stream->occupied || reinterpret_cast<uintptr_t>(stream->inFlight) != payload) return;
    post = Release(stream, payload);
  }
  PostGate(post);
}

Stream* StreamTable::Unclaim(const void* payload) {
  ScopedLock hold(&lock);
  auto it = byPayload.find(reinterpret_cast<uintptr_t>(payload));
  if (it == byPayload.end()) return nullptr;
  Stream* stream = it->second;
  byPayload.erase(it);
  // Still occupied: the gate stays shut, and the stream alive, until Open.
  stream->inFlight = nullptr;
  return stream;
}

void StreamTable::Open(Stream* stream) {
  Stream* post = nullptr;
  {
    ScopedLock hold(&lock);
    post = Release(stream, 0);
  }
  PostGate(post);
}

void StreamTable::Cancel(uint32_t handle) {
  Stream* post = nullptr;
  {
    ScopedLock hold(&lock);
    auto it = streams.find(handle);
    if (it == streams.end()) return;
    Stream* stream = it->second;
    streams.erase(it);
    openCount.store(streams.size(), std::memory_order_relaxed);
    stream->cancelled = true;
    if (stream->users == 0 && !stream->occupied) {
      Discard(stream);
      return;
    }
    stopped.insert(stream);
    // Wakes one waiter; each passes the wake on as it leaves (PassOn).
    if (stream->users > 0) post = Pin(stream);
  }
  PostGate(post);
}

bool StreamTable::Exists(uint32_t handle) {
  ScopedLock hold(&lock);
  return streams.count(handle) != 0;
}

size_t StreamTable::Count() {
  ScopedLock hold(&lock);
  return streams.size() + stopped.size();
}
