/* A plug-in that, in Open, writes to a pipe whose reading end it has closed,
 * as a plug-in writing to a socket its peer has closed does: the write fails
 * with EPIPE, and the process is sent SIGPIPE. Main thread only. */
#include <stdint.h>
#include <unistd.h>

#include "core/plugin_api.h"

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  ((PluginDescriptor*)reply)->id = 0x50495045u; /* "PIPE" */
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  int ends[2];
  (void)request;
  (void)reply;
  if (pipe(ends) != 0) return 1;
  close(ends[0]);
  ssize_t written = write(ends[1], "x", 1);
  close(ends[1]);
  return written < 0 ? 0 : 2; /* the open code tells whether the write failed */
}
