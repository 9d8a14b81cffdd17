#include "bench/figures.h"

#include <algorithm>

namespace {

// The Core spends no more CPU on an event than the minimal bus.
constexpr double kCpuRatioGoal = 1.0;

std::string FormatValue(double value, Unit unit) {
  char text[32];
  switch (unit) {
    case Unit::kRate:
      if (value >= 1e6) {
        snprintf(text, sizeof(text), "%.2fM", value / 1e6);
      } else if (value >= 1e4) {
        snprintf(text, sizeof(text), "%.0fk", value / 1e3);
      } else if (value >= 1e3) {
        snprintf(text, sizeof(text), "%.1fk", value / 1e3);
      } else {
        snprintf(text, sizeof(text), "%.0f", value);
      }
      break;
    case Unit::kMicroseconds:
      snprintf(text, sizeof(text), value >= 100 ? "%.0f" : "%.1f", value);
      break;
    case Unit::kMilliseconds:
      snprintf(text, sizeof(text), value >= 100 ? "%.0f" : "%.1f", value);
      break;
    case Unit::kPercentOfCore:
      snprintf(text, sizeof(text), "%.3f%%", value);
      break;
  }
  return text;
}

std::string FormatSummary(const std::vector<double>& values, Unit unit) {
  if (values.empty()) return "-";
  Summary summary = Summarize(values);
  if (values.size() == 1) return FormatValue(summary.median, unit);
  return FormatValue(summary.median, unit) + " (" + FormatValue(summary.min, unit) + ".." +
         FormatValue(summary.max, unit) + ")";
}

// Paired ratios; empty when a reference value is zero or the sides differ.
std::vector<double> Ratios(const std::vector<double>& core, const std::vector<double>& reference) {
  std::vector<double> ratios;
  if (core.size() != reference.size()) return ratios;
  for (size_t i = 0; i < core.size(); i++) {
    if (reference[i] <= 0) return {};
    ratios.push_back(core[i] / reference[i]);
  }
  return ratios;
}

std::vector<double> Ratios(const Figure& figure) { return Ratios(figure.core, figure.reference); }

std::string FormatNanoseconds(const std::vector<double>& values) {
  if (values.empty()) return "-";
  Summary summary = Summarize(values);
  char text[64];
  snprintf(text, sizeof(text), "%.0f (%.0f..%.0f)", summary.median, summary.min, summary.max);
  return text;
}

// Columns padded to their widest cell; a rule under the first row.
void PrintRows(const std::vector<std::vector<std::string>>& rows, FILE* out) {
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); c++) widths[c] = std::max(widths[c], row[c].size());
  }
  for (size_t r = 0; r < rows.size(); r++) {
    fputc('|', out);
    for (size_t c = 0; c < rows[r].size(); c++) {
      fprintf(out, " %-*s |", static_cast<int>(widths[c]), rows[r][c].c_str());
    }
    fputc('\n', out);
    if (r == 0) {
      fputc('|', out);
      for (size_t c = 0; c < widths.size(); c++) {
        fprintf(out, "%s|", std::string(widths[c] + 2, '-').c_str());
      }
      fputc('\n', out);
    }
  }
}

std::string FormatRatios(const std::vector<double>& ratios) {
  if (ratios.empty()) return "-";
  Summary summary = Summarize(ratios);
  char text[64];
  if (ratios.size() == 1) {
    snprintf(text, sizeof(text), "%.2f", summary.median);
  } else {
    snprintf(text, sizeof(text), "%.2f (%.2f..%.2f)", summary.median, summary.min, summary.max);
  }
  return text;
}

std::string FormatGoal(const Figure& figure) {
  char text[48];
  switch (figure.goal) {
    case Goal::kNone:
      return "";
    case Goal::kRatioAtLeast:
      snprintf(text, sizeof(text), "ratio >= %.2f", figure.goalValue);
      break;
    case Goal::kRatioAtMost:
      snprintf(text, sizeof(text), "ratio <= %.2f", figure.goalValue);
      break;
    case Goal::kCoreBelow:
      snprintf(text, sizeof(text), "Core < %s", FormatValue(figure.goalValue, figure.unit).c_str());
      break;
  }
  return text;
}

}  // namespace

Summary Summarize(std::vector<double> values) {
  Summary summary;
  if (values.empty()) return summary;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  summary.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  summary.min = values.front();
  summary.max = values.back();
  return summary;
}

int64_t Percentile(std::vector<int64_t>* samples, double fraction) {
  if (samples->empty()) return 0;
  std::sort(samples->begin(), samples->end());
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(samples->size()));
  if (rank >= samples->size()) rank = samples->size() - 1;
  return (*samples)[rank];
}

std::string Verdict(const Figure& figure) {
  if (figure.goal == Goal::kNone || figure.core.empty()) return "";
  if (figure.goal == Goal::kCoreBelow) {
    return Summarize(figure.core).median < figure.goalValue ? "ok" : "SHORT";
  }
  std::vector<double> ratios = Ratios(figure);
  if (ratios.empty()) return "";
  double ratio = Summarize(ratios).median;
  bool met =
      figure.goal == Goal::kRatioAtLeast ? ratio >= figure.goalValue : ratio <= figure.goalValue;
  return met ? "ok" : "SHORT";
}

void PrintTable(const std::vector<Figure>& figures, FILE* out) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"figure", "Core", "reference", "Core / ref", "target", ""});
  for (const Figure& figure : figures) {
    rows.push_back({figure.name, FormatSummary(figure.core, figure.unit),
                    FormatSummary(figure.reference, figure.unit), FormatRatios(Ratios(figure)),
                    FormatGoal(figure), Verdict(figure)});
  }
  PrintRows(rows, out);
  for (const Figure& figure : figures) {
    if (!figure.note.empty()) {
      fprintf(out, "\nNote, %s: %s\n", figure.name.c_str(), figure.note.c_str());
    }
  }
}

void PrintCpuTable(const std::vector<Figure>& figures, FILE* out) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back(
      {"CPU time per event, all threads (ns)", "Core", "reference", "Core / ref", "target", ""});
  for (const Figure& figure : figures) {
    if (figure.coreCpu.empty() && figure.referenceCpu.empty()) continue;
    std::vector<double> ratios = Ratios(figure.coreCpu, figure.referenceCpu);
    std::string verdict;
    char goal[32] = "";
    if (figure.cpuGoal) {
      if (!ratios.empty()) verdict = Summarize(ratios).median <= kCpuRatioGoal ? "ok" : "SHORT";
      snprintf(goal, sizeof(goal), "ratio <= %.2f", kCpuRatioGoal);
    }
    rows.push_back({figure.name, FormatNanoseconds(figure.coreCpu),
                    FormatNanoseconds(figure.referenceCpu), FormatRatios(ratios), goal, verdict});
  }
  if (rows.size() > 1) PrintRows(rows, out);
}
