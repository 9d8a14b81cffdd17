// Figures and the result table of the benchmark.
//
// A Figure holds the per-repetition values measured for the Core and for the
// reference, taken in the same run and interleaved, so that each Core value
// has a reference value measured right next to it. The table prints the
// median of each side with min..max, and the median (min..max) of the paired
// ratios Core / reference, against the figure's target.
//
// Threads: the benchmark's main thread only.
#ifndef BENCH_FIGURES_H_
#define BENCH_FIGURES_H_

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
};

// Median and range; all zero for no values.
Summary Summarize(std::vector<double> values);

// The value below which `fraction` of the samples lie (nearest rank);
// sorts `samples`. Zero for no samples.
int64_t Percentile(std::vector<int64_t>* samples, double fraction);

enum class Unit {
  kRate,  // per second
  kMicroseconds,
  kMilliseconds,
  kPercentOfCore,
};

enum class Goal {
  kNone,
  kRatioAtLeast,  // Core / reference >= value
  kRatioAtMost,   // Core / reference <= value
  kCoreBelow,     // the Core's own figure < value
};

struct Figure {
  std::string name;
  Unit unit = Unit::kRate;
  Goal goal = Goal::kNone;
  double goalValue = 0;
  std::vector<double> core;       // one value per repetition
  std::vector<double> reference;  // paired with `core`
  // Rates only: the process's CPU time per event in each repetition (ns).
  std::vector<double> coreCpu;
  std::vector<double> referenceCpu;
  // Whether the CPU time per event has the target: the throughput figures,
  // where both sides do the same work per event. Streams are bound by
  // wake-ups and the media figures compare unlike work.
  bool cpuGoal = false;
  std::string note;  // printed after the table, when set
};

// The figure's own verdict: "ok", "SHORT", or "" when it has no goal.
std::string Verdict(const Figure& figure);

// A Markdown table, one row per figure, then the notes.
void PrintTable(const std::vector<Figure>& figures, FILE* out);

// A Markdown table of the CPU time per event of the figures that have it.
void PrintCpuTable(const std::vector<Figure>& figures, FILE* out);

#endif  // BENCH_FIGURES_H_
