// The /metrics answer: Prometheus text exposition format, version 0.0.4.
//
// First the Core's families (from the server's counters; at zero without
// them), then the admin plug-in's own, then each plug-in's latest metrics
// block (modules/common/plugin_metrics.h) in order of source id. A block that
// would break the format, or whose families clash with families already
// served, is left out, with one log line per block received.
#ifndef MODULES_ADMIN_METRICS_TEXT_H_
#define MODULES_ADMIN_METRICS_TEXT_H_

#include <stdint.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "modules/admin/server_view.h"
#include "modules/common/plugin_log.h"

namespace admin {

// Checks a metrics block: whole families with "# TYPE" lines before their
// samples, names starting "ombrevard_", well-formed labels and values, no
// timestamps, every line ending in '\n'. Family names in `families` are taken;
// on success the block's are added. False with `why` otherwise.
bool CheckMetricsBlock(const std::string& text, std::set<std::string>* families, std::string* why);

class MetricsText {
 public:
  explicit MetricsText(const plugin_common::PluginLog& log) : log_(log) {}
  // Any thread.
  std::string Render(const ServerView& view);

 private:
  const plugin_common::PluginLog& log_;
  std::mutex lock_;
  std::map<uint32_t, uint64_t> reported_;  // guarded by lock_: the block version last logged
};

}  // namespace admin

#endif  // MODULES_ADMIN_METRICS_TEXT_H_
