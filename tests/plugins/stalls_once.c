/* A plug-in that stalls delivery once: its IOCTL for the module status
 * document (code 2, at start) does not return until the server's statistics
 * call counts a stall against it, or 30 seconds have passed. It finds that
 * call as any plug-in would, with dlsym, so a server that does not export it
 * is never seen to stall. For the tests that run the server as a process,
 * with OMBREVARD_STALL_MS set small. Event handler thread only. */
#define _GNU_SOURCE /* RTLD_DEFAULT */
#include <dlfcn.h>
#include <string.h>
#include <unistd.h>

#include "core/plugin_api.h"

#define STALLS_ONCE_ID 0x53544C31u /* "STL1" */

static uint64_t OwnStalls(CoreStatsFunction readStats) {
  CoreStats stats;
  CorePluginStats plugins[16];
  memset(&stats, 0, sizeof(stats));
  memset(plugins, 0, sizeof(plugins));
  stats.size = sizeof(stats);
  stats.version = 1;
  for (int i = 0; i < 16; i++) {
    plugins[i].size = sizeof(plugins[i]);
    plugins[i].version = 1;
  }
  int32_t filled = readStats(&stats, plugins, 16);
  for (int32_t i = 0; i < filled; i++) {
    if (plugins[i].id == STALLS_ONCE_ID) return plugins[i].stalls;
  }
  return 0;
}

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  ((PluginDescriptor*)reply)->id = STALLS_ONCE_ID;
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(void* request, void* reply) {
  (void)reply;
  if (((const IoctlRequest*)request)->code != IOCTL_EVENT_OTHERS) return 0;
  CoreStatsFunction readStats = (CoreStatsFunction)dlsym(RTLD_DEFAULT, CORE_STATS_SYMBOL);
  if (readStats == NULL) return 0;
  for (int waited = 0; waited < 30000 && OwnStalls(readStats) == 0; waited += 10) usleep(10000);
  return 0;
}
