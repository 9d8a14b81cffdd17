// The JSON answers of /api/status, /api/stats and the entries of /api/events,
// and the plug-ins table of the dashboard page.
#ifndef MODULES_ADMIN_API_TEXT_H_
#define MODULES_ADMIN_API_TEXT_H_

#include <string>

#include "modules/admin/admin_state.h"
#include "modules/admin/server_view.h"

namespace admin {

std::string StatusJson(const ServerView& view);
std::string StatsJson(const ServerView& view);
// One entry of the live tail as a Server-Sent Event ("event:", "id:",
// "data:" lines and a blank line).
std::string TailEvent(const TailEntry& entry, const ServerView& names);
// Rows of the plug-ins table, escaped for HTML.
std::string PluginRows(const ServerView& view);

}  // namespace admin

#endif  // MODULES_ADMIN_API_TEXT_H_
