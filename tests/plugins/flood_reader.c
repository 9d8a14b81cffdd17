/* A producer that posts unmetered 64-byte events on no stream as fast as it
 * can, from the Read call it gets when the Core's scheduler starts, until
 * Close or Unload tells it to stop: a producer that outruns whatever sinks
 * there are. Open queues a backlog first (a second of a 20-microsecond sink's
 * work), so the queue is long whenever the server is stopped, however soon.
 * Read runs on a thread of its own; Load, Open, Close and Unload on the main
 * thread. */
#include <stdint.h>

#include "core/plugin_api.h"

#define FLOOD_ID 0x464C4F4Fu   /* "FLOO" */
#define FLOOD_TYPE 0x00000F10u /* class 0: never metered */

static PostEventFunction post;
static volatile int stopping;

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  post = ((LoadRequest*)request)->postEvent;
  descriptor->id = FLOOD_ID;
  descriptor->readThread = 1;
  return 0;
}

#define BACKLOG_EVENTS 50000

static EventRecord FloodRecord(void) {
  static const char payload[64] = "flood";
  EventRecord record = {0};
  record.size = sizeof(record);
  record.version = 1;
  record.payloadSize = sizeof(payload);
  record.payload = (void*)payload;
  record.source = FLOOD_ID;
  record.flags = EVENT_FLAG_MASK(0);
  record.type = FLOOD_TYPE;
  return record;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  EventRecord record = FloodRecord();
  (void)request;
  (void)reply;
  for (int i = 0; i < BACKLOG_EVENTS; i++) {
    EventResult result = {sizeof(result), 1, 0};
    post(&record, &result);
  }
  return 0;
}

PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  EventRecord record = FloodRecord();
  (void)reply;
  if (((const ReadRequest*)request)->stream != 0) return 0;
  while (!__atomic_load_n(&stopping, __ATOMIC_RELAXED)) {
    EventResult result = {sizeof(result), 1, 0};
    post(&record, &result);
  }
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  __atomic_store_n(&stopping, 1, __ATOMIC_RELAXED);
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  return Close(request, reply);
}
