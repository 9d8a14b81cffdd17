// The runner every section of ombrevard_bench shares: the run's settings and
// collected figures, the payload sizes, the thread placement, and the small
// steps each measurement repeats (a record to post, the wait for the sinks,
// a rate with its CPU cost, a progress line, giving up on a stalled bus).
//
// Each section lives in a file of its own (throughput.cpp, streams.cpp,
// latency.cpp, idle.cpp, start_stop.cpp, media.cpp) and appends its figures to
// run.results; overload.cpp prints figures of its own; machine.cpp describes
// the machine; bench_main.cpp reads the command line and runs the sections
// in order.
//
// Threads: everything here belongs to the benchmark's main thread, except
// where a function says otherwise. Each section starts its own producer
// threads and joins them before it returns.
#ifndef BENCH_RUNNER_H_
#define BENCH_RUNNER_H_

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bench/bench_sink.h"
#include "bench/figures.h"
#include "core/plugin_api.h"

constexpr uint32_t kSizes[] = {64, 4096, 65536, 1u << 20};
constexpr int kSizeCount = 4;
constexpr uint32_t kLargestPayload = 1u << 20;
constexpr uint32_t kStreamBatchPayloads = 100;  // per stream and batch of the stream figures

struct Mode {
  const char* name;
  int repetitions;
  // Aimed length of one throughput repetition on the slower side; event
  // counts follow from a warm-up round, so that a loaded machine or a slow
  // bus still gives repetitions long enough to mean something.
  double repetitionSeconds;
  int streamBatches;  // recorded batches per side and stream figure
  int latencyEvents;  // per side and repetition
  int idleMilliseconds;
  int idleRepetitions;
};

extern const Mode kQuickMode;
extern const Mode kFullMode;

struct Options {
  Mode mode = kFullMode;
  bool core = true;               // measure the Core side
  bool reference = true;          // measure the reference side
  std::vector<std::string> only;  // sections to run; empty: all
  std::vector<uint32_t> sizes;    // payload sizes to run; empty: all
  std::vector<int> sinkCounts = {1, 8};
  bool placeThreads = true;  // producers and delivery on CPUs of their own
  bool placementGiven = false;  // --placement named one: throughput runs under it alone
};

// Where producers and the delivering thread run, for the throughput and
// stream figures. Placement decides those rates more than anything either bus
// does: a producer and a delivery thread that share a CPU hand over by a
// context switch, 3-4 times faster than a wake-up of another, sleeping CPU,
// but cannot work at the same time. Left to the kernel, each side's threads
// settle into one arrangement or the other and stay so for a whole figure,
// and a one-stream ratio came out 0.25 or 4 by chance. So both sides get the
// same placement: producers on one CPU, the delivering thread on another.
struct Placement {
  int producerCpu = -1;  // -1: anywhere
  int deliveryCpu = -1;
};

// What the whole run shares. Set in main before the first section runs and
// read-only afterwards, except `results`, to which the sections append.
struct BenchRun {
  Options options;
  Placement placement;
  std::string placementSuffix;  // added to throughput figure names: "" or ", free placement"
  std::string nodeLibrary;                 // path of the built bench_node plug-in
  const uint8_t* payloadSource = nullptr;  // owned by main; page-aligned, kLargestPayload bytes
  std::vector<Figure> results;
};
extern BenchRun run;

// The sections, in the order of the table. Each appends its figures to
// run.results and gives up (below) when a bus stalls or refuses.
void RunThroughput();  // throughput.cpp
void RunStreams();     // streams.cpp
void RunLatency();     // latency.cpp
void RunIdle();        // idle.cpp
void RunStartStop();   // start_stop.cpp
void RunMedia();       // media.cpp: a 1080p H.264 stream, through the bus and directly
// Not in the table, and only when asked for by name (overload.cpp).
void RunOverload();

// The machine, the build and the settings, before the first figure
// (machine.cpp).
void PrintHeader(FILE* out);
// The load average as "1.00 0.50 0.25", or "unknown" (machine.cpp).
std::string LoadAverage();

const char* SizeName(uint32_t size);
int SizeIndex(uint32_t size);
// The sizes the command line asked for, or all of them.
std::vector<uint32_t> Sizes();
// Whether the command line asked for `section`.
bool Wanted(const char* section);

// The first two CPUs this process may run on, or no placement with fewer (or
// when the command line asked for none).
Placement ChoosePlacement();

// Prints what was measured so far and leaves without joining anything: a
// stalled bus may still hold threads that will never return.
[[noreturn]] void GiveUp(const std::string& why);

// A fresh EventResult, and an ordinary post of `size` bytes from the shared
// payload source to the benchmark's sinks. Any thread.
EventResult NewResult();
EventRecord DataRecord(uint32_t source, uint32_t size);

// Waits until every sink has its target; returns the latest arrival time.
int64_t LastArrival(const std::vector<BenchSink*>& sinks, const std::string& what);

// CPU time of the whole process, in seconds. Any thread.
double CpuSeconds();

// One repetition's outcome: the rate, and the CPU time the whole process
// spent per event meanwhile (all threads: producer, bus, sinks). The second
// is what the work costs, whatever else the machine runs at the time.
struct Rate {
  double perSecond = 0;
  double cpuNanoseconds = 0;
};

Rate RateOver(uint64_t count, int64_t start, int64_t end, double cpuStart);
void Record(Figure* figure, bool core, const Rate& rate);

// One line on standard error as each figure is done.
void Progress(const Figure& figure);

// Reference sinks, owned here, with the pointers the reference bus takes.
struct SinkSet {
  std::vector<BenchSink> storage;
  std::vector<BenchSink*> pointers;
  explicit SinkSet(int count) : storage(static_cast<size_t>(count)) {
    for (BenchSink& sink : storage) pointers.push_back(&sink);
  }
};

#endif  // BENCH_RUNNER_H_
