// Plug-in metrics: how a plug-in we ship hands its own counters to the admin
// plug-in, over the bus.
//
// Now and then (about once a second) a plug-in posts one ordinary event:
// source its own id, stream 0, flags kPluginMetricsFlags, type
// kPluginMetricsType, and as payload a block of Prometheus text exposition
// format (version 0.0.4) holding its metric
// families whole: "# HELP" and "# TYPE" lines, then the samples, each line
// ending in '\n', no timestamps. Names start with "ombrevard_" and the
// plug-in's family ("ombrevard_bridge_messages_published_total"); labels say
// what a sample belongs to (subject="video.test"). A later block from the
// same source replaces the earlier one whole.
//
// The admin plug-in keeps the latest block of each source and serves it in
// /metrics after the Core's own families (dropping a block that would break
// the format, with a log line); with no admin plug-in loaded the posts reach
// nobody and cost one small copy each. The class byte is 2: never metered,
// so metrics still flow while memory is short.
#ifndef MODULES_COMMON_PLUGIN_METRICS_H_
#define MODULES_COMMON_PLUGIN_METRICS_H_

#include <stdint.h>

#include <string>

#include "core/plugin_api.h"

namespace plugin_common {

constexpr uint32_t kPluginMetricsType = 0x02000301u;
constexpr uint32_t kPluginMetricsFlags = EVENT_FLAG_MASK(7);  // the admin plug-in listens on mask 7

// Posts `block` as this plug-in's metrics; returns the post's result code.
// Any thread.
inline int32_t PostPluginMetrics(PostEventFunction post, uint32_t source,
                                 const std::string& block) {
  auto record = MakePluginBlock<EventRecord>();
  record.payloadSize = static_cast<uint32_t>(block.size());
  record.payload = const_cast<char*>(block.data());  // copied by the post
  record.source = source;
  record.flags = kPluginMetricsFlags;
  record.type = kPluginMetricsType;
  auto result = MakePluginBlock<EventResult>();
  (void)post(&record, &result);
  return result.result;
}

}  // namespace plugin_common

#endif  // MODULES_COMMON_PLUGIN_METRICS_H_
