// ServerView: one reading of everything the admin plug-in serves, taken
// without holding anything, for one HTTP answer.
//
// The Core's counters come from the snapshot call the server exports
// (plugin_api.h, "Core statistics"), looked up at run time; a server without
// it leaves `coreStats` false and the Core's figures at zero. The plug-in
// list comes from the same call, or, without it, from the module status
// document.
#ifndef MODULES_ADMIN_SERVER_VIEW_H_
#define MODULES_ADMIN_SERVER_VIEW_H_

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/plugin_api.h"
#include "modules/admin/admin_state.h"

namespace admin {

struct PluginView {
  std::string file;
  uint32_t id = 0;
  int32_t openCode = 0;
  double loadMs = 0;
  double openMs = 0;
  CorePluginStats stats = CorePluginStats();  // zero without the Core's counters
};

struct ServerView {
  bool coreStats = false;
  CoreStats core = CoreStats();
  std::string version;       // the Core's, from the module status document
  double uptimeSeconds = 0;  // the Core's, or the admin plug-in's own without its counters
  std::vector<PluginView> plugins;
  std::string statusDocument;
  uint64_t eventsHeard = 0;  // by the admin plug-in itself
  uint64_t bytesHeard = 0;
  std::deque<TailEntry> notices;
  std::map<uint32_t, MetricsBlock> blocks;
  size_t tailReaders = 0;
  uint64_t tailReadersDropped = 0;

  // The file name of the plug-in with `id`, or its id as "0x%08X".
  std::string NameOf(uint32_t id) const;
};

ServerView ReadServer(const AdminState& state);

// The plug-ins listed in a module status document, and the Core's version;
// false when the text is not such a document.
bool ParseModuleStatus(const std::string& text, std::string* version,
                       std::vector<PluginView>* plugins);

}  // namespace admin

#endif  // MODULES_ADMIN_SERVER_VIEW_H_
