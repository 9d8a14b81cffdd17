#include "bench/runner.h"

#include <sched.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "bench/core_rig.h"
#include "tests/support/event_record.h"

const Mode kQuickMode = {"quick", 3, 0.15, 10, 300, 2000, 2};
const Mode kFullMode = {"full", 7, 0.5, 40, 2000, 5000, 3};

BenchRun run;

namespace {

constexpr int kWaitMilliseconds = 120000;  // a bus that stalls this long is broken

}  // namespace

const char* SizeName(uint32_t size) {
  switch (size) {
    case 64:
      return "64 B";
    case 4096:
      return "4 KiB";
    case 65536:
      return "64 KiB";
    default:
      return "1 MiB";
  }
}

int SizeIndex(uint32_t size) {
  for (int i = 0; i < kSizeCount; i++) {
    if (kSizes[i] == size) return i;
  }
  return kSizeCount - 1;
}

bool Wanted(const char* section) {
  const std::vector<std::string>& only = run.options.only;
  return only.empty() || std::find(only.begin(), only.end(), section) != only.end();
}

std::vector<uint32_t> Sizes() {
  if (!run.options.sizes.empty()) return run.options.sizes;
  return std::vector<uint32_t>(kSizes, kSizes + kSizeCount);
}

Placement ChoosePlacement() {
  Placement chosen;
  cpu_set_t allowed;
  if (!run.options.placeThreads || sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
    return chosen;
  }
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; cpu++) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  if (cpus.size() < 2) return chosen;
  chosen.deliveryCpu = cpus[0];
  chosen.producerCpu = cpus[1];
  return chosen;
}

void GiveUp(const std::string& why) {
  fprintf(stderr, "ombrevard_bench: %s\n", why.c_str());
  PrintTable(run.results, stdout);
  fflush(stdout);
  fflush(stderr);
  _exit(2);
}

EventResult NewResult() {
  auto result = MakePluginBlock<EventResult>();
  return result;
}

EventRecord DataRecord(uint32_t source, uint32_t size) {
  return MakeRecord(source, 0, kSinkFlags, kSinkType, run.payloadSource, size);
}

int64_t LastArrival(const std::vector<BenchSink*>& sinks, const std::string& what) {
  int64_t last = 0;
  for (BenchSink* sink : sinks) {
    if (!BenchSinkWait(sink, kWaitMilliseconds)) {
      GiveUp(what + ": timed out after " + std::to_string(sink->received.load()) + " of " +
             std::to_string(sink->target.load()) + " events");
    }
    last = std::max(last, sink->reachedAt.load());
  }
  return last;
}

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Rate RateOver(uint64_t count, int64_t start, int64_t end, double cpuStart) {
  Rate rate;
  rate.perSecond =
      static_cast<double>(count) * 1e9 / static_cast<double>(std::max<int64_t>(end - start, 1));
  rate.cpuNanoseconds = (CpuSeconds() - cpuStart) * 1e9 / static_cast<double>(count);
  return rate;
}

void Record(Figure* figure, bool core, const Rate& rate) {
  (core ? figure->core : figure->reference).push_back(rate.perSecond);
  (core ? figure->coreCpu : figure->referenceCpu).push_back(rate.cpuNanoseconds);
}

void Progress(const Figure& figure) {
  fprintf(stderr, "  %-44s Core %.4g, reference %.4g\n", figure.name.c_str(),
          Summarize(figure.core).median, Summarize(figure.reference).median);
}
