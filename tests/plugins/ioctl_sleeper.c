/* A plug-in that holds the delivery thread: in Open it broadcasts one event
 * to every plug-in (EVENT_FLAG_ALL), and when that event reaches its own
 * IOCTL it sleeps OMBREVARD_SLEEP_MS milliseconds (2500 by default) before
 * returning, once per start. */
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/plugin_api.h"

#define SLEEPER_ID 0x534C5052u /* "SLPR" */
static const char kMarker[] = "sleep here";

static PostEventFunction postEvent;
static atomic_int slept;

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  postEvent = ((LoadRequest*)request)->postEvent;
  descriptor->id = SLEEPER_ID;
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  atomic_store(&slept, 0);
  EventRecord record;
  memset(&record, 0, sizeof(record));
  record.size = sizeof(record);
  record.version = 1;
  record.payloadSize = sizeof(kMarker);
  record.payload = (void*)kMarker;
  record.source = SLEEPER_ID;
  record.flags = EVENT_FLAG_ALL;
  record.type = 0x02000777u;
  EventResult result = {sizeof(result), 1, 0};
  postEvent(&record, &result);
  return result.result;
}

PLUGIN_EXPORT int32_t IOCTL(void* request, void* reply) {
  const IoctlRequest* ioctl = (const IoctlRequest*)request;
  (void)reply;
  if (ioctl->code != IOCTL_EVENT_ALL || ioctl->payloadSize != sizeof(kMarker) ||
      memcmp(ioctl->payload, kMarker, sizeof(kMarker)) != 0 || atomic_exchange(&slept, 1)) {
    return 0;
  }
  const char* setting = getenv("OMBREVARD_SLEEP_MS");
  long ms = setting != NULL ? atol(setting) : 2500;
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  return 0;
}
