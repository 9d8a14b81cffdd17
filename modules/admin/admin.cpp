// admin.so: lets operators see inside a running server, over HTTP.
//
// Settings (admin.conf beside the plug-in):
//
//   [http]
//   address=127.0.0.1   numeric IPv4 or IPv6; all addresses only when set so
//   port=8090
//   token=              optional; when set, every request needs it
//   preview=            optional; a media source to show live (preview.h)
//
// It serves the Core's counters, the plug-ins and what it hears on the bus
// (http_server.h): /metrics, /api/status, /api/stats, /api/events and the
// dashboard at /. With a settings file it hears every queued event (all nine
// masks; without one it subscribes to nothing), the text
// notices among them, the other plug-ins' metrics blocks
// (modules/common/plugin_metrics.h), and by IOCTL the module status document
// and every broadcast.
//
// Open answers 0 (also when idle: no settings file, or no [http] in it), 1
// for settings it cannot use, 2 when it cannot listen (the address is in
// use, say); the server runs on either way.
//
// Threads: Load, Open, Close, Unload on the main thread; Write and IOCTL on
// the delivery thread, where they only count and copy into AdminState; the
// HTTP server's threads, from Open to Close.
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/media.h"
#include "core/plugin_api.h"
#include "modules/admin/admin_state.h"
#include "modules/admin/http_server.h"
#include "modules/admin/preview.h"
#include "modules/common/plugin_log.h"
#include "modules/common/plugin_metrics.h"
#include "modules/common/plugin_settings.h"

namespace {

using plugin_common::PluginSettings;
using plugin_common::SettingType;

constexpr uint32_t kAdminId = 0x00AD0001u;
const char kStatusRoot[] = "<Vesk";

const plugin_common::PluginLog kLog("admin");

const std::vector<plugin_common::SettingGroup> kGroups = {
    {"http",
     false,
     {{"address", SettingType::kText, "127.0.0.1"},
      {"port", SettingType::kInteger, "8090", 1, 65535},
      {"token", SettingType::kText, ""},
      {"preview", SettingType::kText, ""}}},
};

PostEventFunction postEvent;  // set in Load; read-only afterwards
admin::AdminState state;
admin::Preview preview;
std::unique_ptr<admin::HttpServer> server;  // main thread only

// A token goes into headers and query strings as it is: visible ASCII only.
bool UsableToken(const std::string& token) {
  for (char c : token) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

extern "C" {

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  postEvent = static_cast<const LoadRequest*>(request)->postEvent;
  PluginDescriptor* descriptor = static_cast<PluginDescriptor*>(reply);
  descriptor->id = kAdminId;
  // Without a settings file it stays idle: it then hears nothing either, and
  // costs the delivery thread nothing.
  std::string settings = PluginSettings::PathFor(reinterpret_cast<const void*>(&Load));
  if (access(settings.c_str(), F_OK) != 0) return 0;
  for (uint32_t& mask : descriptor->subscriptionMask) mask = 0xFFFFFFFFu;
  descriptor->eventSink = 1;
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  state.Reset();
  PluginSettings settings(kLog);
  int32_t code = 0;
  if (!settings.LoadForOpen(reinterpret_cast<const void*>(&Open), kGroups, &code)) return code;
  const plugin_common::SettingSection& http = settings.Sections()[0];
  if (!UsableToken(http.Text("token"))) {
    settings.Reject(http, "token", "only visible ASCII characters, no blanks");
    return 1;
  }
  preview.Configure(http.Text("preview"), postEvent, MediaStreamHandle(kAdminId, 0));
  server.reset(new admin::HttpServer(&state, &preview, kLog));
  std::string why;
  if (!server->Start(http.Text("address"), static_cast<int>(http.Integer("port")),
                     http.Text("token"), &why)) {
    kLog.Error("%s", why.c_str());
    server.reset();
    return 2;
  }
  kLog.Info("dashboard at %s%s", server->Url().c_str(),
            http.Text("token").empty() ? "" : " (add ?token=<token> from admin.conf)");
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  (void)reply;
  const WriteRequest* write = static_cast<const WriteRequest*>(request);
  const char* text = static_cast<const char*>(write->payload);
  size_t length = text != nullptr ? write->payloadSize : 0;
  state.Heard(write->source, write->stream, write->flags, write->type, write->payloadSize);
  preview.Take(write);
  if (write->type == TYPE_TEXT_NOTICE) {
    state.Notice(write->source, text, length);
  } else if (write->type == plugin_common::kPluginMetricsType && length > 0) {
    // A block too large, or from one source too many, is dropped: it shows
    // only in the admin plug-in's own count of what it heard.
    (void)state.PluginMetrics(write->source, text, length);
  }
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(void* request, void* reply) {
  (void)reply;
  const IoctlRequest* ioctl = static_cast<const IoctlRequest*>(request);
  if (ioctl->code != IOCTL_EVENT_OTHERS && ioctl->code != IOCTL_EVENT_ALL) return 0;
  const char* text = static_cast<const char*>(ioctl->payload);
  size_t length = text != nullptr ? ioctl->payloadSize : 0;
  state.Heard(0, 0, ioctl->code == IOCTL_EVENT_ALL ? EVENT_FLAG_ALL : EVENT_FLAG_OTHERS, 0,
              ioctl->payloadSize);
  // The broadcast carries no type word; the status document is known by its
  // root element.
  if (length > 0 && length < (1u << 20) && memmem(text, length, kStatusRoot, 5) != nullptr &&
      strncmp(text, "<?xml", length < 5 ? length : 5) == 0) {
    state.ModuleStatus(text, length);
    preview.Ready();
  }
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  preview.Stop();
  if (server != nullptr) server->Stop();
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  server.reset();
  return 0;
}

}  // extern "C"
