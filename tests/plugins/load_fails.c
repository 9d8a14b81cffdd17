/* A plug-in whose Load fails (returns 3, reports error 7): the Core names it
 * in its error message and closes it without any other call. */
#include "core/plugin_api.h"

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  descriptor->id = 0x0BAD;
  descriptor->loadError = 7;
  return 3;
}
