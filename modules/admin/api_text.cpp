#include "modules/admin/api_text.h"

#include <glib.h>
#include <stdio.h>

namespace admin {

namespace {

// A JSON string, quoted; text that is not UTF-8 has its bad bytes replaced.
std::string Quote(const std::string& raw) {
  gchar* valid = g_utf8_make_valid(raw.data(), static_cast<gssize>(raw.size()));
  std::string text = "\"";
  for (const char* c = valid; *c != '\0'; c++) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += *c;
    } else if (byte < 0x20 || byte == '<' || byte == '>' || byte == '&') {
      char escape[8];
      snprintf(escape, sizeof(escape), "\\u%04x", byte);
      text += escape;
    } else {
      text += *c;
    }
  }
  g_free(valid);
  return text + "\"";
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

std::string Number(double value) {
  char text[32];
  snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

std::string Html(const std::string& raw) {
  gchar* escaped = g_markup_escape_text(raw.data(), static_cast<gssize>(raw.size()));
  std::string text = escaped;
  g_free(escaped);
  return text;
}

std::string Field(const char* name, uint64_t value) {
  return Quote(name) + ":" + std::to_string(value);
}

}  // namespace

std::string StatusJson(const ServerView& view) {
  std::string json = "{\"version\":" + Quote(view.version) +
                     ",\"uptime_seconds\":" + Number(view.uptimeSeconds) +
                     ",\"core_stats\":" + (view.coreStats ? "true" : "false") + ",\"plugins\":[";
  for (size_t i = 0; i < view.plugins.size(); i++) {
    const PluginView& plugin = view.plugins[i];
    json += std::string(i == 0 ? "" : ",") + "{\"file\":" + Quote(plugin.file) +
            ",\"id\":" + Quote(Hex(plugin.id)) +
            ",\"open_code\":" + std::to_string(plugin.openCode) +
            ",\"load_ms\":" + Number(plugin.loadMs) + ",\"open_ms\":" + Number(plugin.openMs) + "}";
  }
  return json + "],\"module_status\":" + Quote(view.statusDocument) + "}\n";
}

std::string StatsJson(const ServerView& view) {
  const CoreStats& core = view.core;
  std::string json =
      "{\"core_stats\":" + std::string(view.coreStats ? "true" : "false") +
      ",\"uptime_seconds\":" + Number(view.uptimeSeconds) + ",\"posts\":{" +
      Field("ok", core.posts[CORE_STATS_POST_OK]) + "," +
      Field("no_stream", core.posts[CORE_STATS_POST_NO_STREAM]) + "," +
      Field("throttled", core.posts[CORE_STATS_POST_THROTTLED]) + "," +
      Field("no_memory", core.posts[CORE_STATS_POST_NO_MEMORY]) + "}," +
      Field("bytes_copied", core.bytesCopied) + "," + Field("queue_depth", core.queueDepth) + "," +
      Field("queue_high_water", core.queueHighWater) + "," +
      Field("streams_open", core.streamsOpen) + "," +
      Field("payloads_in_flight", core.payloadsInFlight) + "," +
      Field("posters_waiting", core.postersWaiting) + "," +
      Field("read_threads", core.readThreads) + "," +
      Field("throttling", core.throttling != 0 ? 1 : 0) + "," +
      Field("throttled_ms", core.throttledMs) + "," + Field("notices_posted", core.noticesPosted) +
      "," + Field("memory_bytes", core.memoryBytes) + "," +
      Field("admin_events_heard", view.eventsHeard) + "," +
      Field("admin_bytes_heard", view.bytesHeard) + "," + Field("tail_readers", view.tailReaders) +
      "," + Field("tail_readers_dropped", view.tailReadersDropped) + ",\"plugins\":[";
  for (size_t i = 0; i < view.plugins.size(); i++) {
    const CorePluginStats& stats = view.plugins[i].stats;
    json += std::string(i == 0 ? "" : ",") + "{\"file\":" + Quote(view.plugins[i].file) + "," +
            Field("writes", stats.writes) + "," + Field("ioctls", stats.ioctls) + "," +
            Field("payloads_kept", stats.payloadsKept) + "," +
            Field("bytes_kept", stats.bytesKept) + "," + Field("stalls", stats.stalls) + "}";
  }
  json += "],\"notices\":[";
  for (size_t i = 0; i < view.notices.size(); i++) {
    json += std::string(i == 0 ? "" : ",") + "{" + Field("time_ms", view.notices[i].wallMs) +
            ",\"source\":" + Quote(view.NameOf(view.notices[i].source)) +
            ",\"text\":" + Quote(view.notices[i].text) + "}";
  }
  return json + "]}\n";
}

std::string TailEvent(const TailEntry& entry, const ServerView& names) {
  std::string data = "{" + Field("time_ms", static_cast<uint64_t>(entry.wallMs)) +
                     ",\"source\":" + Quote(names.NameOf(entry.source));
  if (entry.notice) {
    data += ",\"text\":" + Quote(entry.text) + "}";
  } else {
    data += ",\"type\":" + Quote(Hex(entry.type)) + ",\"stream\":" + Quote(Hex(entry.stream)) +
            ",\"flags\":" + Quote(Hex(entry.flags)) + "," + Field("size", entry.size) + "}";
  }
  return std::string("event: ") + (entry.notice ? "notice" : "event") +
         "\nid: " + std::to_string(entry.sequence) + "\ndata: " + data + "\n\n";
}

std::string PluginRows(const ServerView& view) {
  std::string rows;
  for (const PluginView& plugin : view.plugins) {
    rows += "<tr><td>" + Html(plugin.file) + "</td><td>" + Hex(plugin.id) + "</td><td>" +
            std::to_string(plugin.openCode) + "</td><td>" + Number(plugin.loadMs) + "</td><td>" +
            Number(plugin.openMs) + "</td><td>" + std::to_string(plugin.stats.writes) +
            "</td><td>" + std::to_string(plugin.stats.ioctls) + "</td><td>" +
            std::to_string(plugin.stats.payloadsKept) + "</td><td>" +
            std::to_string(plugin.stats.stalls) + "</td></tr>\n";
  }
  return rows;
}

}  // namespace admin
