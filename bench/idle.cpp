// Idle: CPU per second of wall time of a started Core with two plug-ins and
// no events, against a reference host with the same two plug-ins, and which
// threads woke meanwhile (from /proc/self/task).
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>

#include "bench/bench_sink.h"
#include "bench/core_rig.h"
#include "bench/reference_host.h"
#include "bench/runner.h"

namespace {

constexpr int kIdlePlugins = 2;

struct ThreadTime {
  int64_t runNanoseconds = 0;
  int64_t runs = 0;  // times the thread was put on a CPU
};

// Every thread of the process, from /proc/self/task/<tid>/schedstat.
std::map<int, ThreadTime> ThreadTimes() {
  std::map<int, ThreadTime> times;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return times;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/schedstat");
    ThreadTime time;
    int64_t waited = 0;
    if (in >> time.runNanoseconds >> waited >> time.runs) times[atoi(entry->d_name)] = time;
  }
  closedir(tasks);
  return times;
}

// The threads other than this one that ran between the two readings: share
// of one core and wake-ups per second each.
std::string BusyThreads(const std::map<int, ThreadTime>& before,
                        const std::map<int, ThreadTime>& after, double wallSeconds) {
  std::string text;
  int self = static_cast<int>(syscall(SYS_gettid));
  for (const auto& entry : after) {
    auto earlier = before.find(entry.first);
    if (entry.first == self || earlier == before.end()) continue;
    int64_t runs = entry.second.runs - earlier->second.runs;
    if (runs == 0) continue;
    double share =
        static_cast<double>(entry.second.runNanoseconds - earlier->second.runNanoseconds) / 1e9 /
        wallSeconds * 100;
    char line[96];
    snprintf(line, sizeof(line), "%sa thread at %.1f wake-ups/s using %.3f%%",
             text.empty() ? "" : "; ", static_cast<double>(runs) / wallSeconds, share);
    text += line;
  }
  return text.empty() ? "no thread woke" : text;
}

// Percent of one core used by the whole process over `milliseconds`; fills
// `threads` with what BusyThreads says about that time.
double CpuPercentOver(int milliseconds, std::string* threads) {
  std::map<int, ThreadTime> threadsBefore = ThreadTimes();
  double cpuBefore = CpuSeconds();
  int64_t wallBefore = NowNanoseconds();
  usleep(static_cast<useconds_t>(milliseconds) * 1000);
  double cpu = CpuSeconds() - cpuBefore;
  double wall = static_cast<double>(NowNanoseconds() - wallBefore) / 1e9;
  *threads = BusyThreads(threadsBefore, ThreadTimes(), wall);
  return cpu / wall * 100;
}

// The process's resident memory, in whole megabytes, from /proc/self/status.
std::string ResidentMegabytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) {
      return std::to_string(strtoll(line.c_str() + 6, nullptr, 10) / 1024);
    }
  }
  return "?";
}

}  // namespace

void RunIdle() {
  Figure figure;
  figure.name = "idle CPU, 2 plug-ins (% of one core)";
  figure.unit = Unit::kPercentOfCore;
  figure.goal = Goal::kCoreBelow;
  figure.goalValue = 0.1;
  std::string coreThreads, referenceThreads;
  // Each side alone in the process: the process's CPU time is the figure.
  for (int r = 0; r < run.options.mode.idleRepetitions; r++) {
    if (run.options.core) {
      CoreRig rig(run.nodeLibrary, 0, 0, kIdlePlugins);
      if (!rig.Start()) GiveUp("the Core did not start");
      usleep(300000);  // past the start: status document, first scheduler tick
      figure.core.push_back(CpuPercentOver(run.options.mode.idleMilliseconds, &coreThreads));
    }
    if (run.options.reference) {
      CoreRig tree(run.nodeLibrary, 0, 0, kIdlePlugins);  // the same two plug-ins
      ReferenceHost host;
      (void)host.Start(tree.Tree().PluginDir());
      usleep(300000);
      figure.reference.push_back(
          CpuPercentOver(run.options.mode.idleMilliseconds, &referenceThreads));
    }
  }
  figure.note =
      "measured first, with " + ResidentMegabytes() +
      " MB resident. The reference is a host with the same two plug-ins, a sleeping "
      "delivery thread and a housekeeping thread that wakes every 100 ms. Threads that ran "
      "in the last repetition: Core: " +
      coreThreads + ". Reference: " + referenceThreads + ".";
  Progress(figure);
  run.results.push_back(figure);
}
