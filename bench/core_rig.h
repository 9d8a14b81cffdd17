// CoreRig: a real Core over a scratch plug-in folder (the tests' TempTree)
// filled with copies of the bench_node plug-in. It copies the plug-in in as
// sinks, producers or idle bystanders, opens each configured copy itself to
// set it up, and then starts a Core over the folder.
//
// Threads: the class belongs to the benchmark's main thread. The BenchNode
// pointers a CoreRig hands out stay valid until it is destroyed.
#ifndef BENCH_CORE_RIG_H_
#define BENCH_CORE_RIG_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/bench_node.h"
#include "core/core.h"
#include "tests/support/temp_tree.h"

// Sinks subscribe through mask 1 to every type; producers answer stream
// start requests (mask 0) for their own type bit.
constexpr uint32_t kSinkFlags = EVENT_FLAG_MASK(1);
constexpr uint32_t kSinkType = 0x00000123u;  // class 0: never metered
constexpr uint32_t kProducerStartFlags = EVENT_FLAG_MASK(0);
constexpr uint32_t kSinkIdBase = 0x5100;
constexpr uint32_t kProducerIdBase = 0x5200;

// Type of the stream start request that reaches producer k alone.
inline uint32_t ProducerStartType(int k) { return 1u << k; }

class CoreRig {
 public:
  // nodeLibrary: path of the built bench_node plug-in.
  CoreRig(const std::string& nodeLibrary, int sinks, int producers, int idle);
  ~CoreRig();  // stops the Core if it runs
  CoreRig(const CoreRig&) = delete;
  CoreRig& operator=(const CoreRig&) = delete;

  // False when a copy could not be made or opened.
  bool Ok() const { return ok; }
  bool Start();
  void Stop();

  const testing_support::TempTree& Tree() const { return tree; }
  BenchNode* Sink(int i) { return sinks[i]; }
  BenchNode* Producer(int k) { return producers[k]; }
  int SinkCount() const { return static_cast<int>(sinks.size()); }

 private:
  BenchNode* AddConfigured(const std::string& name);

  std::string library;
  testing_support::TempTree tree;
  std::vector<void*> handles;         // owned; our own opens of the copies, closed last
  std::vector<BenchNode*> sinks;      // borrowed from the open copies
  std::vector<BenchNode*> producers;  // borrowed from the open copies
  std::unique_ptr<Core> core;
  bool started = false;
  bool ok = true;
};

#endif  // BENCH_CORE_RIG_H_
