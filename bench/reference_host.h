// ReferenceHost: the cheapest faithful start and stop of a plug-in host, the
// yardstick for the Core's Start and Stop.
//
// Start lists the "*.so" files of a folder, opens each library, looks up the
// eight entry points, calls Load and then Open, and starts two threads: a
// delivery thread that sleeps on a condition variable until there is work,
// and a housekeeping thread that wakes every 100 ms and reads the clock, as
// the Core's scheduler does. Stop wakes and joins both threads, calls Close
// and Unload, and closes every library.
//
// Threads: one thread drives Start and Stop; the two threads it starts only
// wait.
#ifndef BENCH_REFERENCE_HOST_H_
#define BENCH_REFERENCE_HOST_H_

#include <time.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/plugin_api.h"

class ReferenceHost {
 public:
  ReferenceHost() = default;
  ~ReferenceHost();  // stops a running host
  ReferenceHost(const ReferenceHost&) = delete;
  ReferenceHost& operator=(const ReferenceHost&) = delete;

  // Returns the number of plug-ins loaded.
  int Start(const std::string& pluginDir);
  void Stop();

 private:
  struct Loaded {
    void* handle;  // owned; closed by Stop
    PluginEntry entries[8];
  };

  void Deliver();  // body of the delivery thread: sleeps, there is no work
  void Tick();     // body of the housekeeping thread

  std::vector<Loaded> plugins;
  std::vector<std::thread> threads;
  volatile time_t lastTick = 0;  // housekeeping thread only
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;  // guarded by lock
};

#endif  // BENCH_REFERENCE_HOST_H_
