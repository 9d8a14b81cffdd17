/* A plug-in that posts one event of its own type in Open and then posts
 * again every event of that type it is handed in Write, so that the Core's
 * queue never empties: what a plug-in does that relays each event it gets to
 * others that relay it back. Write runs on the Core's delivery thread; Open
 * on the main thread. */
#include <stdint.h>

#include "core/plugin_api.h"

#define ECHO_ID 0x4543484Fu   /* "ECHO" */
#define ECHO_TYPE 0x00000E40u /* class 0: never metered; its queued key is itself */

static PostEventFunction post;

static void Echo(const void* payload, uint32_t size) {
  EventRecord record = {0};
  record.size = sizeof(record);
  record.version = 1;
  record.payloadSize = size;
  record.payload = (void*)payload;
  record.source = ECHO_ID;
  record.flags = EVENT_FLAG_MASK(0);
  record.type = ECHO_TYPE;
  EventResult result = {sizeof(result), 1, 0};
  post(&record, &result);
}

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  post = ((LoadRequest*)request)->postEvent;
  descriptor->id = ECHO_ID;
  descriptor->subscriptionMask[0] = EventQueuedKey(ECHO_TYPE);
  descriptor->eventSink = 1;
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  static const char seed[64] = "echo";
  (void)request;
  (void)reply;
  Echo(seed, sizeof(seed));
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* write = (const WriteRequest*)request;
  (void)reply;
  if (write->type == ECHO_TYPE) Echo(write->payload, write->payloadSize);
  return 0;
}
