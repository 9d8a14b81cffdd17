// The probe: a test plug-in whose behaviour each test sets and which records
// every call the Core makes into it.
//
// The test opens the very file the Core will load (dlopen of the same path
// gives the same instance), takes the Probe through the exported
// "ProbeInstance", sets its descriptor and hooks, and reads its record after
// the Core has unloaded it (the test's own handle keeps it loaded).
// All members are safe from any thread.
#ifndef TESTS_PLUGINS_PROBE_H_
#define TESTS_PLUGINS_PROBE_H_

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/plugin_api.h"

struct ProbeCall {
  int entry = -1;          // ENTRY_*
  uint32_t code = 0;       // IOCTL code
  uint64_t sequence = 0;   // order across every probe sharing a sequence
  std::thread::id thread;
  std::vector<uint8_t> request;  // the request block, byte for byte
  std::vector<uint8_t> payload;  // the bytes behind the payload pointer during the call
  const void* payloadPointer = nullptr;
  uint32_t payloadSize = 0;
  uint32_t stream = 0;
  uint32_t source = 0;
  uint32_t flags = 0;
  uint32_t type = 0;
};

struct ProbeHooks {
  // Each runs inside the matching entry point, after the call is recorded.
  std::function<int32_t(const LoadRequest&, PluginDescriptor*)> load;  // default: copy the descriptor, 0
  std::function<int32_t()> open;                     // default 0
  std::function<void()> close;
  std::function<void()> unload;
  std::function<void(const ReadRequest&)> read;
  std::function<uint32_t(const WriteRequest&)> write;  // returns keep; default: keepAll
  std::function<uint32_t(const IoctlRequest&)> ioctl;  // returns keep; default: keepAll
};

class Probe {
 public:
  // Set before the Core loads the plug-in.
  PluginDescriptor descriptor{};  // copied into Load's reply (size and version excepted)
  ProbeHooks hooks;
  std::atomic<uint32_t> keepAll{0};
  std::atomic<uint64_t>* sequence = nullptr;  // shared order counter, or null

  // Filled at Load.
  PostEventFunction post = nullptr;

  // Posts through the Core's PostEvent; returns the result code.
  int32_t Post(const EventRecord& record) {
    EventResult result{};
    result.size = sizeof(result);
    result.version = 1;
    result.result = 12345;
    post(&record, &result);
    return result.result;
  }

  void Record(const ProbeCall& call) {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(call);
    calls_.back().sequence = sequence != nullptr ? sequence->fetch_add(1) : calls_.size();
    changed_.notify_all();
  }

  std::vector<ProbeCall> Calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }

  std::vector<ProbeCall> CallsTo(int entry) {
    std::vector<ProbeCall> matching;
    for (const ProbeCall& call : Calls()) {
      if (call.entry == entry) matching.push_back(call);
    }
    return matching;
  }

  size_t Count(int entry) { return CallsTo(entry).size(); }

  void Clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.clear();
  }

  // Waits until `condition` holds over the record, up to `milliseconds`.
  bool WaitFor(const std::function<bool(const std::vector<ProbeCall>&)>& condition,
               int milliseconds) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                             [&] { return condition(calls_); });
  }

  bool WaitForCount(int entry, size_t count, int milliseconds) {
    return WaitFor(
        [&](const std::vector<ProbeCall>& calls) {
          size_t n = 0;
          for (const ProbeCall& call : calls) n += call.entry == entry ? 1 : 0;
          return n >= count;
        },
        milliseconds);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ProbeCall> calls_;
};

typedef Probe* (*ProbeInstanceFunction)();

#endif  // TESTS_PLUGINS_PROBE_H_
