/* A library without Load: skipped without any call. */
#include "core/plugin_api.h"

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  return 0;
}
