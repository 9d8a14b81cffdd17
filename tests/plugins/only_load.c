/* A plug-in that exports nothing but Load: it must load and run, and the Core
 * must call nothing else. Written in C to prove the header builds as C. */
#include "core/plugin_api.h"

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  descriptor->id = 0x4C4F4144u; /* "LOAD" */
  /* Asks for every call, none of which it exports. */
  descriptor->ioctlThread = 1;
  descriptor->readThread = 1;
  descriptor->eventSink = 1;
  for (int k = 0; k < PLUGIN_SUBSCRIPTION_MASKS; k++) descriptor->subscriptionMask[k] = 0xFFFFFFFFu;
  return 0;
}
