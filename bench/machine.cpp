// The machine, the build and the run's settings, printed before the figures:
// CPU model (from /proc/cpuinfo), kernel, the library malloc resolves to,
// the thread placement and the load average.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "bench/runner.h"
#include "core/payload_copy.h"

namespace {

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown CPU";
}

// The library that malloc resolves to in this process, plug-ins included.
std::string Allocator() {
  Dl_info info;
  void* address = dlsym(RTLD_DEFAULT, "malloc");
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
    return "unknown";
  }
  return info.dli_fname;
}

}  // namespace

std::string LoadAverage() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[48];
  snprintf(text, sizeof(text), "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

void PrintHeader(FILE* out) {
  utsname system;
  uname(&system);
  fprintf(out,
          "ombrevard_bench, %s mode, Core and reference interleaved (A B A B ...): "
          "%d repetitions of about %.2f s per throughput figure, %d batches of %u payloads "
          "per stream figure, %d x %d events for latency\n",
          run.options.mode.name, run.options.mode.repetitions, run.options.mode.repetitionSeconds,
          run.options.mode.streamBatches, kStreamBatchPayloads, run.options.mode.repetitions,
          run.options.mode.latencyEvents);
  fprintf(out, "machine: %s, %ld logical CPUs, %s %s\n", CpuModel().c_str(),
          sysconf(_SC_NPROCESSORS_ONLN), system.sysname, system.release);
  std::string allocator = Allocator();
  fprintf(out, "malloc on both sides: %s%s\n", allocator.c_str(),
          allocator.find("tcmalloc") == std::string::npos
              ? " (not tcmalloc, the server's allocator: figures will mislead)"
              : "");
  ChooseLargeCopy();  // as the first Core would
  fprintf(out,
          "the Core's copy of payloads from %zu KiB to %zu MiB: %s; the reference's: memcpy\n",
          kLargeCopyFrom >> 10, kLargeCopyUpTo >> 20, LargeCopyName(ChosenLargeCopy()));
  fprintf(out, "build: %s, g++ %s\n", OMBREVARD_BUILD_TYPE, __VERSION__);
  if (run.placement.producerCpu >= 0) {
    fprintf(out, "throughput and streams, both sides: producers on CPU %d, delivery on CPU %d\n",
            run.placement.producerCpu, run.placement.deliveryCpu);
  } else {
    fprintf(out, "throughput and streams: threads placed by the kernel\n");
  }
  fprintf(out, "load average at start: %s\n", LoadAverage().c_str());
}
