#include "modules/admin/metrics_text.h"

#include <glib.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace admin {

namespace {

bool IsNameStart(char c) { return g_ascii_isalpha(c) || c == '_' || c == ':'; }
bool IsNameChar(char c) { return IsNameStart(c) || g_ascii_isdigit(c); }

// Reads a metric name at `*at`; false when there is none.
bool ReadName(const std::string& line, size_t* at, std::string* name) {
  size_t start = *at;
  if (start >= line.size() || !IsNameStart(line[start])) return false;
  size_t end = start + 1;
  while (end < line.size() && IsNameChar(line[end])) end++;
  *name = line.substr(start, end - start);
  *at = end;
  return true;
}

bool ReadLabels(const std::string& line, size_t* at, std::string* why) {
  std::set<std::string> seen;
  size_t i = *at + 1;  // past '{'
  while (i < line.size() && line[i] != '}') {
    size_t start = i;
    if (!g_ascii_isalpha(line[i]) && line[i] != '_') break;
    while (i < line.size() && (g_ascii_isalnum(line[i]) || line[i] == '_')) i++;
    std::string label = line.substr(start, i - start);
    if (label.compare(0, 2, "__") == 0 || !seen.insert(label).second) {
      *why = "label '" + label + "' reserved or repeated";
      return false;
    }
    if (i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"') break;
    for (i += 2; i < line.size() && line[i] != '"'; i++) {
      if (line[i] != '\\') continue;
      if (i + 1 >= line.size() || (line[i + 1] != '\\' && line[i + 1] != '"' && line[i + 1] != 'n'))
        break;
      i++;
    }
    if (i >= line.size() || line[i] != '"') break;
    i++;
    if (i < line.size() && line[i] == ',') i++;
  }
  if (i >= line.size() || line[i] != '}') {
    *why = "malformed labels";
    return false;
  }
  *at = i + 1;
  return true;
}

bool IsValue(const std::string& text) {
  if (text == "NaN" || text == "+Inf" || text == "-Inf") return true;
  if (text.empty()) return false;
  char* end = nullptr;
  (void)strtod(text.c_str(), &end);
  return *end == '\0' && text.find_first_of("xXnNiI") == std::string::npos;
}

// The family a sample of `name` belongs to, given the family typed last.
std::string FamilyOf(const std::string& name, const std::string& typed, const std::string& type) {
  if (name == typed) return typed;
  for (const char* suffix : {"_bucket", "_sum", "_count"}) {
    if ((type == "histogram" || (type == "summary" && std::string(suffix) != "_bucket")) &&
        name == typed + suffix) {
      return typed;
    }
  }
  return name;
}

bool CheckLines(const std::string& text, std::set<std::string>* families, std::string* why) {
  std::set<std::string> mine;  // families this block has started
  std::string current, typed, type;
  size_t number = 0;
  for (size_t start = 0; start < text.size(); number++) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end + 1;
    *why = "line " + std::to_string(number + 1) + ": ";
    std::string name;
    if (line.compare(0, 7, "# HELP ") == 0 || line.compare(0, 7, "# TYPE ") == 0) {
      size_t at = 7;
      if (!ReadName(line, &at, &name) || (at < line.size() && line[at] != ' ')) {
        *why += "bad metric name";
        return false;
      }
      if (line[2] == 'H') {
        for (size_t i = at; i < line.size(); i++) {
          if (line[i] == '\\' && (i + 1 >= line.size() || (line[++i] != '\\' && line[i] != 'n'))) {
            *why += "bad escape in help text";
            return false;
          }
        }
        continue;
      }
      std::string kind = at < line.size() ? line.substr(at + 1) : "";
      if (kind != "counter" && kind != "gauge" && kind != "histogram" && kind != "summary" &&
          kind != "untyped") {
        *why += "unknown type '" + kind + "'";
        return false;
      }
      if (families->count(name) != 0 || mine.count(name) != 0) {
        *why += "family " + name + " given twice, or by the server";
        return false;
      }
      typed = current = name;
      type = kind;
      mine.insert(name);
      continue;
    }
    if (line.empty() || line[0] == '#') {
      if (line.empty()) {
        *why += "empty line";
        return false;
      }
      continue;  // a comment
    }
    size_t at = 0;
    if (!ReadName(line, &at, &name)) {
      *why += "bad metric name";
      return false;
    }
    if (at < line.size() && line[at] == '{' && !ReadLabels(line, &at, why)) return false;
    if (at >= line.size() || line[at] != ' ' || !IsValue(line.substr(at + 1))) {
      *why += "expected one value after the name and labels (no timestamp)";
      return false;
    }
    std::string family = FamilyOf(name, typed, type);
    if (family != current) {
      if (families->count(family) != 0 || mine.count(family) != 0) {
        *why += "samples of " + family + " are not together, or the server gives it";
        return false;
      }
      current = family;
      mine.insert(family);
    }
  }
  for (const std::string& family : mine) {
    if (family.compare(0, 10, "ombrevard_") != 0) {
      *why = "name " + family + " does not start with ombrevard_";
      return false;
    }
  }
  families->insert(mine.begin(), mine.end());
  return true;
}

// Writes families and samples, and remembers the family names.
class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    families_.insert(name);
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, double value) {
    char number[32];
    snprintf(number, sizeof(number), "%.17g", value);
    text_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
  }
  void Sample(const std::string& labels, uint64_t value) {
    text_ +=
        name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
  }
  std::string& Text() { return text_; }
  std::set<std::string>& Families() { return families_; }

 private:
  std::string name_;
  std::string text_;
  std::set<std::string> families_;
};

std::string Label(const char* name, const std::string& value) {
  std::string text = std::string(name) + "=\"";
  for (char c : value) {
    if (c == '\\' || c == '"') text += '\\';
    text += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return text + "\"";
}

}  // namespace

bool CheckMetricsBlock(const std::string& text, std::set<std::string>* families, std::string* why) {
  if (text.empty() || text.back() != '\n') {
    *why = "empty, or the last line does not end in a line break";
    return false;
  }
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) ||
      text.find_first_of(std::string("\r\0", 2)) != std::string::npos) {
    *why = "not UTF-8 text";
    return false;
  }
  return CheckLines(text, families, why);
}

std::string MetricsText::Render(const ServerView& view) {
  const CoreStats& core = view.core;
  Exposition out;
  out.Family("ombrevard_core_stats_available", "gauge",
             "1 when the server exports its counters; 0: the Core's figures read 0");
  out.Sample("", static_cast<uint64_t>(view.coreStats ? 1 : 0));
  out.Family("ombrevard_uptime_seconds", "gauge", "Time since the Core started.");
  out.Sample("", view.uptimeSeconds);
  out.Family("ombrevard_events_posted_total", "counter", "Posts, by result.");
  const char* results[CORE_STATS_POST_RESULTS] = {"ok", "no_stream", "throttled", "no_memory"};
  for (int i = 0; i < CORE_STATS_POST_RESULTS; i++)
    out.Sample(Label("result", results[i]), core.posts[i]);
  out.Family("ombrevard_events_delivered_total", "counter",
             "Events delivered to each plug-in, by entry point.");
  for (const PluginView& plugin : view.plugins) {
    out.Sample(Label("plugin", plugin.file) + "," + Label("entry", "Write"), plugin.stats.writes);
    out.Sample(Label("plugin", plugin.file) + "," + Label("entry", "IOCTL"), plugin.stats.ioctls);
  }
  out.Family("ombrevard_payload_bytes_copied_total", "counter", "Payload bytes copied by posts.");
  out.Sample("", core.bytesCopied);
  out.Family("ombrevard_queue_depth", "gauge", "Events queued for delivery.");
  out.Sample("", core.queueDepth);
  out.Family("ombrevard_queue_depth_max", "gauge", "The most events ever queued at once.");
  out.Sample("", core.queueHighWater);
  // One family with a sample per plug-in, from one field of its counters.
  auto perPlugin = [&](const char* name, const char* type, const char* help,
                       uint64_t CorePluginStats::*field) {
    out.Family(name, type, help);
    for (const PluginView& plugin : view.plugins)
      out.Sample(Label("plugin", plugin.file), plugin.stats.*field);
  };
  perPlugin("ombrevard_payloads_kept", "gauge", "Payloads each plug-in keeps.",
            &CorePluginStats::payloadsKept);
  perPlugin("ombrevard_payload_bytes_kept", "gauge", "Bytes of the payloads each plug-in keeps.",
            &CorePluginStats::bytesKept);
  perPlugin("ombrevard_delivery_stalls_total", "counter",
            "Deliveries to each plug-in the stall watchdog reported.", &CorePluginStats::stalls);
  out.Family("ombrevard_plugin_open_code", "gauge", "What each plug-in's Open answered.");
  for (const PluginView& plugin : view.plugins) {
    char id[16];
    snprintf(id, sizeof(id), "0x%08X", plugin.id);
    out.Sample(Label("plugin", plugin.file) + "," + Label("id", id),
               static_cast<double>(plugin.openCode));
  }
  out.Family("ombrevard_streams_open", "gauge", "Streams the Core knows.");
  out.Sample("", core.streamsOpen);
  out.Family("ombrevard_payloads_in_flight", "gauge", "Stream payloads not yet let go.");
  out.Sample("", core.payloadsInFlight);
  out.Family("ombrevard_posters_waiting", "gauge", "Posters waiting on a stream's gate.");
  out.Sample("", core.postersWaiting);
  out.Family("ombrevard_read_threads", "gauge", "Read calls running.");
  out.Sample("", core.readThreads);
  out.Family("ombrevard_throttling", "gauge", "1 while metered posts are refused.");
  out.Sample("", static_cast<uint64_t>(core.throttling != 0 ? 1 : 0));
  out.Family("ombrevard_throttled_seconds_total", "counter", "Time metered posts were refused.");
  out.Sample("", static_cast<double>(core.throttledMs) / 1000.0);
  out.Family("ombrevard_notices_posted_total", "counter", "Text notices the Core posted.");
  out.Sample("", core.noticesPosted);
  out.Family("ombrevard_memory_bytes", "gauge", "Memory in use, as the scheduler last read it.");
  out.Sample("", core.memoryBytes);
  out.Family("ombrevard_admin_events_heard_total", "counter",
             "Events delivered to the admin plug-in.");
  out.Sample("", view.eventsHeard);
  out.Family("ombrevard_admin_event_bytes_heard_total", "counter",
             "Payload bytes of the events delivered to the admin plug-in.");
  out.Sample("", view.bytesHeard);
  out.Family("ombrevard_admin_tail_readers", "gauge", "Readers of /api/events.");
  out.Sample("", static_cast<uint64_t>(view.tailReaders));
  out.Family("ombrevard_admin_tail_readers_dropped_total", "counter",
             "Readers of /api/events dropped for falling behind.");
  out.Sample("", view.tailReadersDropped);

  for (const auto& block : view.blocks) {
    std::string why;
    if (CheckMetricsBlock(block.second.text, &out.Families(), &why)) {
      out.Text() += block.second.text;
      continue;
    }
    std::lock_guard<std::mutex> hold(lock_);
    uint64_t& reported = reported_[block.first];
    if (reported == block.second.version) continue;
    reported = block.second.version;
    log_.Warning("metrics of %s left out of /metrics: %s", view.NameOf(block.first).c_str(),
                 why.c_str());
  }
  return out.Text();
}

}  // namespace admin
