// ombrevard_bench: measures the Core's event bus against a reference bus in
// one run and prints both, with their ratio, as one table.
//
// Every figure is taken for the real Core (driving real plug-in libraries,
// the bench_node copies in a scratch plug-in folder) and for the reference
// (ReferenceBus, ReferenceHost) in the same process, with the same allocator,
// the same sink code and the same page-aligned payload source. Repetitions
// alternate Core and reference (A B A B ...) so that both sides see the same
// machine: throughput, idle and start/stop repetition by repetition, the
// wake-up bound figures finer (streams batch by batch, latency event by
// event). The table gives medians with min..max, and the ratio column is the
// median of the per-repetition ratios; a second table gives the CPU time the
// process spent per event in the same repetitions.
//
//   ombrevard_bench --quick     under a minute
//   ombrevard_bench             full run, more repetitions and longer ones
//
// This file reads the command line and runs the sections (see runner.h) in
// order. Threads: main runs everything; each section starts its own producer
// threads and joins them before it returns.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wx/init.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/bench_sink.h"
#include "bench/runner.h"

namespace {

void PrintUsage() {
  printf(
      "usage: ombrevard_bench [--quick | --full] [--only=SECTION,...] [--side=core|reference]\n"
      "                       [--sizes=64,4096,...] [--sinks=1,8] [--repetitions=N]\n"
      "                       [--placement=split|free]\n"
      "sections: throughput, streams, latency, idle, startstop, media; overload only when named\n");
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t comma = list.find(',', begin);
    if (comma == std::string::npos) comma = list.size();
    if (comma > begin) items.push_back(list.substr(begin, comma - begin));
    begin = comma + 1;
  }
  return items;
}

bool ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    auto value = [&arg](const char* prefix) -> const char* {
      size_t length = strlen(prefix);
      return arg.compare(0, length, prefix) == 0 ? arg.c_str() + length : nullptr;
    };
    if (arg == "--help") {
      PrintUsage();
      exit(0);
    } else if (arg == "--quick") {
      run.options.mode = kQuickMode;
    } else if (arg == "--full") {
      run.options.mode = kFullMode;
    } else if (const char* only = value("--only=")) {
      run.options.only = SplitList(only);
    } else if (const char* side = value("--side=")) {
      run.options.core = strcmp(side, "reference") != 0;
      run.options.reference = strcmp(side, "core") != 0;
    } else if (const char* sizes = value("--sizes=")) {
      for (const std::string& size : SplitList(sizes)) {
        uint32_t bytes = static_cast<uint32_t>(strtoul(size.c_str(), nullptr, 10));
        if (std::find(kSizes, kSizes + kSizeCount, bytes) == kSizes + kSizeCount) return false;
        run.options.sizes.push_back(bytes);
      }
    } else if (const char* sinks = value("--sinks=")) {
      run.options.sinkCounts.clear();
      for (const std::string& count : SplitList(sinks)) {
        int n = atoi(count.c_str());
        if (n < 1 || n > 64) return false;
        run.options.sinkCounts.push_back(n);
      }
    } else if (const char* where = value("--placement=")) {
      if (strcmp(where, "split") != 0 && strcmp(where, "free") != 0) return false;
      run.options.placeThreads = strcmp(where, "split") == 0;
      run.options.placementGiven = true;
    } else if (const char* repetitions = value("--repetitions=")) {
      run.options.mode.repetitions = std::max(1, atoi(repetitions));
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) {
    PrintUsage();
    return 1;
  }
  wxInitializer framework;
  if (!framework.IsOk()) {
    fprintf(stderr, "ombrevard_bench: the framework did not initialise\n");
    return 1;
  }
  run.nodeLibrary = OMBREVARD_BENCH_NODE;
  uint8_t* source = static_cast<uint8_t*>(aligned_alloc(4096, kLargestPayload));
  if (source == nullptr) return 1;
  for (uint32_t i = 0; i < kLargestPayload; i++) source[i] = static_cast<uint8_t>(i * 131 + 7);
  run.payloadSource = source;
  run.placement = ChoosePlacement();

  PrintHeader(stdout);
  fflush(stdout);
  int64_t began = NowNanoseconds();
  // Idle first, while the process holds no more memory than an idle server:
  // on the virtual machines we measure on, a sleeping thread's wake-up costs
  // more the more memory its process has resident (about 1.8 ms more per
  // gigabyte), and the traffic sections leave hundreds of megabytes with the
  // allocator. Its row still goes where it belongs in the table.
  std::vector<Figure> idle;
  if (Wanted("idle")) {
    RunIdle();
    idle.swap(run.results);
  }
  // Asked for by name only: its drain alone takes half a minute.
  if (std::find(run.options.only.begin(), run.options.only.end(), "overload") !=
      run.options.only.end()) {
    RunOverload();
  }
  if (Wanted("throughput")) {
    RunThroughput();
    // Real servers do not pin their threads: unless one placement was asked
    // for, the same figures again with the kernel placing the threads.
    if (!run.options.placementGiven && run.placement.producerCpu >= 0) {
      Placement split = run.placement;
      run.placement = Placement();
      run.placementSuffix = ", free placement";
      RunThroughput();
      run.placement = split;
      run.placementSuffix.clear();
    }
  }
  if (Wanted("streams")) RunStreams();
  if (Wanted("latency")) RunLatency();
  run.results.insert(run.results.end(), idle.begin(), idle.end());
  if (Wanted("startstop")) RunStartStop();
  if (Wanted("media")) RunMedia();
  printf("load average at end: %s; run took %.0f s\n\n", LoadAverage().c_str(),
         static_cast<double>(NowNanoseconds() - began) / 1e9);
  PrintTable(run.results, stdout);
  printf(
      "\nThe same repetitions as CPU time: less sensitive than the rates to what else the "
      "machine runs (lower is better).\n\n");
  PrintCpuTable(run.results, stdout);
  free(source);
  return 0;
}
