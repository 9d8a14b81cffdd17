// nats_bridge.so: joins servers into one bus through NATS.
//
// Settings (nats_bridge.conf beside the plug-in):
//
//   [nats]
//   servers=nats://127.0.0.1:4222[,nats://...]   tried in this order
//   name= user= password= token= creds=          optional
//   tls-ca= tls-cert= tls-key=                    optional
//   max-message=8388608                           bytes; larger messages are refused
//
//   [export NAME]          local -> NATS
//   subject=<subject>
//   source=<media source>  a media stream; or, for events:
//   type=<hex> mask=<hex> flags=<hex>   events whose type matches `type` in
//                          the bits of `mask` (default ffffffff), posted with
//                          any of `flags` (default ff: masks 0..7)
//
//   [import NAME]          NATS -> local
//   subject=<subject>      may hold the wildcards * and >
//   offer=<media source>   a media source offered locally; or, for events:
//   type=<hex> flags=<hex> optional: post with these instead of the sender's
//
// Exports and imports are described in bridge_link.h and media_import.h.
// Nothing goes round in a loop: our own events and streams are never sent
// back out (the broker does not echo our messages to us, Write skips what we
// posted, and an export of an imported stream to the subject it came from is
// refused here).
//
// The settings are read in Load, since the subscription masks depend on the
// event exports; Open answers 0 (also when idle), 1 for settings it cannot
// use. A broker that cannot be reached or refuses us is logged; the bridge
// stays idle, tries again, and the server runs on.
//
// Threads: Load, Open, Close, Unload on the main thread; Write on the
// delivery thread; Read on threads of their own; BridgeLink's threads.
#include <nats/nats.h>
#include <stdlib.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/media.h"
#include "core/plugin_api.h"
#include "modules/common/plugin_log.h"
#include "modules/common/plugin_settings.h"
#include "modules/nats_bridge/bridge_link.h"

namespace {

using plugin_common::PluginSettings;
using plugin_common::SettingSection;
using plugin_common::SettingType;

constexpr uint32_t kBridgeId = 0x004E0001u;
constexpr size_t kMostMediaExports = 255;  // one stream handle each
constexpr int64_t kLibraryCloseWaitMs = 5000;

const plugin_common::PluginLog kLog("nats_bridge");

const std::vector<plugin_common::SettingGroup> kGroups = {
    {"nats",
     false,
     {{"servers", SettingType::kText, "nats://127.0.0.1:4222"},
      {"name", SettingType::kText, ""},
      {"user", SettingType::kText, ""},
      {"password", SettingType::kText, ""},
      {"token", SettingType::kText, ""},
      {"creds", SettingType::kText, ""},
      {"tls-ca", SettingType::kText, ""},
      {"tls-cert", SettingType::kText, ""},
      {"tls-key", SettingType::kText, ""},
      {"max-message", SettingType::kInteger, "8388608", 1024, 64 << 20}}},
    {"export",
     true,
     {{"subject", SettingType::kText, nullptr},
      {"source", SettingType::kText, ""},
      {"type", SettingType::kText, ""},
      {"mask", SettingType::kText, ""},
      {"flags", SettingType::kText, ""}}},
    {"import",
     true,
     {{"subject", SettingType::kText, nullptr},
      {"offer", SettingType::kText, ""},
      {"type", SettingType::kText, ""},
      {"flags", SettingType::kText, ""}}},
};

PostEventFunction postEvent;  // set in Load; read-only afterwards
// Set in Load, read-only from Open until Unload.
int32_t settingsCode = 0;
bool configured = false;
bridge::LinkSettings linkSettings;
std::vector<bridge::ExportSettings> exportSettings;
std::vector<bridge::ImportSettings> importSettings;
// Made in Open, destroyed in Unload; read without a lock in between.
std::unique_ptr<bridge::BridgeLink> link;

// A hex word ("02000400" or "0x02000400"); false when it is not one.
bool ParseHex(const std::string& text, uint32_t* value) {
  std::string digits =
      text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0 ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 8 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  *value = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
  return true;
}

// A subject: tokens separated by dots, none empty, no blanks; with
// `wildcards`, a token may be "*", and the last one ">".
bool ValidSubject(const std::string& subject, bool wildcards) {
  if (subject.empty()) return false;
  size_t start = 0;
  for (;;) {
    size_t dot = subject.find('.', start);
    std::string token = subject.substr(start, dot == std::string::npos ? dot : dot - start);
    if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos) return false;
    bool wild = token.find_first_of("*>") != std::string::npos;
    if (wild && (!wildcards || token.size() != 1 || (token == ">" && dot != std::string::npos))) {
      return false;
    }
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

// Whether `subject` (no wildcards) is one that `pattern` subscribes to.
bool SubjectMatches(const std::string& pattern, const std::string& subject) {
  size_t p = 0, s = 0;
  for (;;) {
    size_t pEnd = pattern.find('.', p), sEnd = subject.find('.', s);
    std::string token = pattern.substr(p, pEnd == std::string::npos ? pEnd : pEnd - p);
    if (token == ">") return true;
    if (token != "*" && token != subject.substr(s, sEnd == std::string::npos ? sEnd : sEnd - s)) {
      return false;
    }
    if (pEnd == std::string::npos || sEnd == std::string::npos) {
      return pEnd == std::string::npos && sEnd == std::string::npos;
    }
    p = pEnd + 1;
    s = sEnd + 1;
  }
}

// Reads a hex key of `section` into *value when it is given; false after
// rejecting it.
bool HexKey(PluginSettings* settings, const SettingSection& section, const char* key,
            uint32_t* value, bool* given) {
  const std::string& text = section.Text(key);
  *given = !text.empty();
  if (!*given) return true;
  if (ParseHex(text, value)) return true;
  settings->Reject(section, key, "'" + text + "' is not a hexadecimal word");
  return false;
}

bool ReadExport(PluginSettings* settings, const SettingSection& section,
                bridge::ExportSettings* out) {
  out->name = section.Name();
  out->subject = section.Text("subject");
  out->source = section.Text("source");
  if (!ValidSubject(out->subject, false)) {
    settings->Reject(section, "subject", "not a subject to publish to");
    return false;
  }
  bool type = false, mask = false, flags = false;
  out->mask = 0xFFFFFFFFu;
  out->flags = 0xFFu;
  if (!HexKey(settings, section, "type", &out->type, &type) ||
      !HexKey(settings, section, "mask", &out->mask, &mask) ||
      !HexKey(settings, section, "flags", &out->flags, &flags)) {
    return false;
  }
  if (out->source.empty() == !type || (!out->source.empty() && (mask || flags))) {
    settings->Reject(section, nullptr, "give either source, or type with mask and flags");
    return false;
  }
  return true;
}

bool ReadImport(PluginSettings* settings, const SettingSection& section,
                bridge::ImportSettings* out) {
  out->name = section.Name();
  out->subject = section.Text("subject");
  out->offer = section.Text("offer");
  if (!ValidSubject(out->subject, true)) {
    settings->Reject(section, "subject", "not a subject to subscribe to");
    return false;
  }
  if (!HexKey(settings, section, "type", &out->type, &out->ownType) ||
      !HexKey(settings, section, "flags", &out->flags, &out->ownFlags)) {
    return false;
  }
  if (!out->offer.empty() && (out->ownType || out->ownFlags)) {
    settings->Reject(section, nullptr, "give either offer, or type and flags");
    return false;
  }
  return true;
}

// Reads and checks the whole file; the open code, 0 when there is nothing
// to do.
int32_t ReadSettings() {
  PluginSettings settings(kLog);
  int32_t code = 0;
  if (!settings.LoadForOpen(reinterpret_cast<const void*>(&ReadSettings), kGroups, &code)) {
    return code;
  }
  bool ok = true;
  std::set<std::string> exported, imported;
  size_t mediaExports = 0;
  for (const SettingSection& section : settings.Sections()) {
    if (section.Kind() == "nats") {
      linkSettings.servers.clear();
      std::string list = section.Text("servers");
      for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        std::string server = list.substr(start, comma == std::string::npos ? comma : comma - start);
        server.erase(0, server.find_first_not_of(" \t"));
        server.erase(server.find_last_not_of(" \t") + 1);
        if (!server.empty()) linkSettings.servers.push_back(server);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
      if (linkSettings.servers.empty()) {
        settings.Reject(section, "servers", "no server named");
        ok = false;
      }
      linkSettings.name = section.Text("name");
      linkSettings.user = section.Text("user");
      linkSettings.password = section.Text("password");
      linkSettings.token = section.Text("token");
      linkSettings.creds = section.Text("creds");
      linkSettings.tlsCa = section.Text("tls-ca");
      linkSettings.tlsCert = section.Text("tls-cert");
      linkSettings.tlsKey = section.Text("tls-key");
      linkSettings.maxMessage = static_cast<uint32_t>(section.Integer("max-message"));
    } else if (section.Kind() == "export") {
      bridge::ExportSettings one;
      if (!ReadExport(&settings, section, &one)) {
        ok = false;
      } else if (!exported.insert(one.subject).second) {
        // Each export numbers its own messages: two on one subject would
        // look like losses to every receiver.
        settings.Reject(section, "subject", "another export publishes to it");
        ok = false;
      } else if (!one.source.empty() && ++mediaExports > kMostMediaExports) {
        settings.Reject(section, nullptr, "more than 255 media exports");
        ok = false;
      } else {
        exportSettings.push_back(one);
      }
    } else {
      bridge::ImportSettings one;
      if (!ReadImport(&settings, section, &one)) {
        ok = false;
      } else if (!imported.insert(one.subject).second) {
        settings.Reject(section, "subject", "another import subscribes to it");
        ok = false;
      } else {
        importSettings.push_back(one);
      }
    }
  }
  for (const bridge::ExportSettings& one : exportSettings) {
    for (const bridge::ImportSettings& from : importSettings) {
      if (!one.source.empty() && one.source == from.offer &&
          SubjectMatches(from.subject, one.subject)) {
        kLog.Error("%s: [export %s]: would send the stream imported by [import %s] back to %s",
                   settings.Path().c_str(), one.name.c_str(), from.name.c_str(),
                   one.subject.c_str());
        ok = false;
      }
    }
  }
  if (!ok) return 1;
  configured = true;
  return 0;
}

}  // namespace

extern "C" {

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  postEvent = static_cast<const LoadRequest*>(request)->postEvent;
  PluginDescriptor* descriptor = static_cast<PluginDescriptor*>(reply);
  descriptor->id = kBridgeId;
  configured = false;
  linkSettings = bridge::LinkSettings();
  exportSettings.clear();
  importSettings.clear();
  settingsCode = ReadSettings();
  if (!configured) return 0;  // idle: no masks, nothing delivered
  bridge::BridgeLink::Subscriptions(exportSettings, descriptor->subscriptionMask);
  for (const bridge::ImportSettings& one : importSettings) {
    // Stream start requests for the sources we offer.
    if (!one.offer.empty()) descriptor->subscriptionMask[0] |= EventDirectKey(MEDIA_EVENT_TYPE);
  }
  descriptor->eventSink = 1;
  descriptor->readThread = 1;  // the scheduler-start Read asks for the exports' sources
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  if (!configured) return settingsCode;
  if (nats_Open(-1) != NATS_OK) {
    kLog.Error("the NATS client library cannot start: %s", nats_GetLastError(nullptr));
    return 2;
  }
  std::unique_ptr<bridge::BridgeLink> made(new bridge::BridgeLink(kLog, kBridgeId));
  std::string error;
  if (!made->Configure(postEvent, linkSettings, exportSettings, importSettings, &error)) {
    kLog.Error("%s: [nats]: %s",
               PluginSettings::PathFor(reinterpret_cast<const void*>(&Open)).c_str(),
               error.c_str());
    made.reset();
    nats_CloseAndWait(kLibraryCloseWaitMs);
    return 1;
  }
  link = std::move(made);
  link->Start();
  kLog.Info("%zu exports, %zu imports", exportSettings.size(), importSettings.size());
  return 0;
}

PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  (void)reply;
  const ReadRequest* read = static_cast<const ReadRequest*>(request);
  if (link == nullptr) return 0;
  if (read->stream == 0) {
    link->RequestSources();
  } else if (read->payload != nullptr && read->payloadSize != 0) {
    link->Serve(std::string(static_cast<const char*>(read->payload), read->payloadSize),
                read->stream);
  }
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  if (link == nullptr) return 0;
  static_cast<WriteReply*>(reply)->keep = link->Write(static_cast<const WriteRequest*>(request));
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  if (link != nullptr) link->Stop();
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  if (link == nullptr) return 0;
  link->Stop();
  // Every client thread must be gone before the link they call back goes.
  if (nats_CloseAndWait(kLibraryCloseWaitMs) != NATS_OK) {
    kLog.Warning("the NATS client library did not wind down in time");
    (void)link.release();  // left to the process's end rather than freed under a thread
    return 0;
  }
  link.reset();
  return 0;
}

}  // extern "C"
