/* A sink that spends 20 microseconds on each event it is handed, busy, as a
 * plug-in doing real work in Write would. It takes every queued event whose
 * flags select mask 0. Write runs on the Core's delivery thread. */
#include <stdint.h>
#include <time.h>

#include "core/plugin_api.h"

#define SLOW_ID 0x534C4F57u /* "SLOW" */

static int64_t NowNanoseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  (void)request;
  descriptor->id = SLOW_ID;
  descriptor->subscriptionMask[0] = 0xFFFFFFFFu;
  descriptor->eventSink = 1;
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  (void)request;
  (void)reply;
  int64_t until = NowNanoseconds() + 20000;
  while (NowNanoseconds() < until) {
  }
  return 0;
}
