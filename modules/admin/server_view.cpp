#include "modules/admin/server_view.h"

#include <dlfcn.h>
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace admin {

namespace {

struct ParseState {
  std::string version;
  std::vector<PluginView> plugins;
  bool root = false;
};

const char* Attribute(const gchar** names, const gchar** values, const char* name) {
  for (size_t i = 0; names[i] != nullptr; i++) {
    if (strcmp(names[i], name) == 0) return values[i];
  }
  return "";
}

void StartElement(GMarkupParseContext*, const gchar* element, const gchar** names,
                  const gchar** values, gpointer data, GError**) {
  ParseState* state = static_cast<ParseState*>(data);
  if (strcmp(element, "Vesk") == 0) state->root = true;
  if (strcmp(element, "Module") == 0 && strcmp(Attribute(names, values, "Name"), "Core") == 0) {
    state->version = Attribute(names, values, "Version");
  }
  if (strcmp(element, "Plugin") != 0) return;
  PluginView plugin;
  plugin.id = static_cast<uint32_t>(strtoll(Attribute(names, values, "ID"), nullptr, 10));
  if (plugin.id == SOURCE_CORE) return;  // the Core's own line
  plugin.file = Attribute(names, values, "Filename");
  plugin.openCode = static_cast<int32_t>(strtol(Attribute(names, values, "OpenCode"), nullptr, 10));
  plugin.loadMs = strtod(Attribute(names, values, "LoadTime"), nullptr);
  plugin.openMs = strtod(Attribute(names, values, "OpenTime"), nullptr);
  state->plugins.push_back(plugin);
}

// The Core's counters and one entry per plug-in; false when the server does
// not export them or the Core is not running.
bool ReadCoreStats(CoreStats* core, std::vector<CorePluginStats>* plugins) {
  static const CoreStatsFunction readStats =
      reinterpret_cast<CoreStatsFunction>(dlsym(RTLD_DEFAULT, CORE_STATS_SYMBOL));
  if (readStats == nullptr) return false;
  uint32_t capacity = 32;
  for (int attempt = 0; attempt < 3; attempt++) {
    *core = MakePluginBlock<CoreStats>();
    plugins->assign(capacity, MakePluginBlock<CorePluginStats>());
    int32_t filled = readStats(core, plugins->data(), capacity);
    if (filled < 0) return false;
    if (core->pluginCount <= capacity || attempt == 2) {
      plugins->resize(static_cast<size_t>(filled) < capacity ? static_cast<size_t>(filled)
                                                             : capacity);
      return true;
    }
    capacity = core->pluginCount + 8;  // more loaded than thought: ask again with room
  }
  return true;
}

}  // namespace

bool ParseModuleStatus(const std::string& text, std::string* version,
                       std::vector<PluginView>* plugins) {
  GMarkupParser parser = {StartElement, nullptr, nullptr, nullptr, nullptr};
  ParseState state;
  GMarkupParseContext* context =
      g_markup_parse_context_new(&parser, static_cast<GMarkupParseFlags>(0), &state, nullptr);
  bool parsed = g_markup_parse_context_parse(context, text.data(), static_cast<gssize>(text.size()),
                                             nullptr) &&
                g_markup_parse_context_end_parse(context, nullptr);
  g_markup_parse_context_free(context);
  if (!parsed || !state.root) return false;
  *version = state.version;
  *plugins = state.plugins;
  return true;
}

std::string ServerView::NameOf(uint32_t id) const {
  for (const PluginView& plugin : plugins) {
    if (plugin.id == id) return plugin.file;
  }
  char name[16];
  snprintf(name, sizeof(name), "0x%08X", id);
  return name;
}

ServerView ReadServer(const AdminState& state) {
  ServerView view;
  view.statusDocument = state.StatusDocument();
  std::vector<PluginView> listed;
  (void)ParseModuleStatus(view.statusDocument, &view.version, &listed);  // empty until it comes
  std::vector<CorePluginStats> stats;
  view.coreStats = ReadCoreStats(&view.core, &stats);
  if (view.coreStats) {
    for (const CorePluginStats& one : stats) {
      PluginView plugin;
      plugin.file.assign(one.file, strnlen(one.file, sizeof(one.file)));
      plugin.id = one.id;
      plugin.openCode = one.openCode;
      plugin.loadMs = static_cast<double>(one.loadUs) / 1000.0;
      plugin.openMs = static_cast<double>(one.openUs) / 1000.0;
      plugin.stats = one;
      view.plugins.push_back(plugin);
    }
    view.uptimeSeconds = static_cast<double>(view.core.uptimeMs) / 1000.0;
  } else {
    view.plugins = listed;
    view.uptimeSeconds = static_cast<double>(MonotonicMs() - state.OpenedMs()) / 1000.0;
  }
  view.eventsHeard = state.EventsHeard();
  view.bytesHeard = state.BytesHeard();
  view.notices = state.Notices();
  view.blocks = state.Blocks();
  view.tailReaders = state.Readers();
  view.tailReadersDropped = state.ReadersDropped();
  return view;
}

}  // namespace admin
