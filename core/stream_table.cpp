#include "core/stream_table.h"

bool StreamTable::Find(uint32_t handle, StreamGate** gate) {
  ScopedLock hold(&lock);
  auto it = streams.find(handle);
  if (it == streams.end()) return false;
  *gate = it->second->gate.get();
  return true;
}

bool StreamTable::Occupy(uint32_t handle, StreamGate* gate, void* payload) {
  bool cancelled;
  {
    ScopedLock hold(&lock);
    auto it = streams.find(handle);  // streams are never removed
    cancelled = it == streams.end() || it->second->cancelled;
    if (gate != nullptr) gate->inFlight.store(cancelled ? nullptr : payload, std::memory_order_relaxed);
  }
  if (cancelled && gate != nullptr) gate->gate.post();
  return !cancelled;
}

void StreamTable::Vacate(uint32_t handle, uintptr_t payload) {
  StreamGate* open = nullptr;
  {
    ScopedLock hold(&lock);
    auto it = streams.find(handle);
    if (it == streams.end()) return;
    StreamGate* gate = it->second->gate.get();
    if (gate == nullptr || reinterpret_cast<uintptr_t>(gate->inFlight.load(std::memory_order_relaxed)) != payload) return;
    gate->inFlight.store(nullptr, std::memory_order_relaxed);
    open = gate;
  }
  open->gate.post();
}

std::vector<StreamGate*> StreamTable::Unclaim(const void* payload) {
  std::vector<StreamGate*> gates;
  ScopedLock hold(&lock);
  for (auto& entry : streams) {
    StreamGate* gate = entry.second->gate.get();
    if (gate != nullptr && gate->inFlight.load(std::memory_order_relaxed) == payload) {
      // Nothing else clears it meanwhile: the payload's delivery is over, so
      // no Vacate names it, and the gate stays shut until OpenGates.
      gate->inFlight.store(nullptr, std::memory_order_relaxed);
      gates.push_back(gate);
    }
  }
  return gates;
}

void StreamTable::OpenGates(const std::vector<StreamGate*>& gates) {
  for (StreamGate* gate : gates) gate->gate.post();
}

StreamGate* StreamTable::Prepare(uint32_t handle) {
  ScopedLock hold(&lock);
  std::unique_ptr<Stream>& stream = streams[handle];
  if (!stream) stream.reset(new Stream());
  if (!stream->gate) stream->gate.reset(new StreamGate());
  return stream->gate.get();
}

void StreamTable::Reopen(StreamGate* gate) {
  {
    ScopedLock hold(&lock);
    gate->inFlight.store(nullptr, std::memory_order_relaxed);
  }
  gate->gate.post();
}

void StreamTable::Cancel(uint32_t handle) {
  StreamGate* gate = nullptr;
  {
    ScopedLock hold(&lock);
    auto it = streams.find(handle);
    if (it == streams.end()) return;
    it->second->cancelled = true;
    gate = it->second->gate.get();
  }
  if (gate != nullptr) gate->gate.post();
}

bool StreamTable::Exists(uint32_t handle) {
  ScopedLock hold(&lock);
  return streams.count(handle) != 0;
}

bool StreamTable::Cancelled(uint32_t handle) {
  ScopedLock hold(&lock);
  auto it = streams.find(handle);
  return it != streams.end() && it->second->cancelled;
}
