/* A plug-in that appends one line per entry point call to the file named by
 * the environment variable OMBREVARD_TRACE_FILE, for tests that run the
 * server as a process (a daemon inherits the environment). Each line is the
 * entry point's name and the process id; Load adds the working directory:
 *
 *   Load 1234 /tmp/ombrevard-test-abc/bin
 *   Open 1234
 *   Close 1234
 *   Unload 1234
 *
 * Every line is written with one write() to a file opened for appending, so
 * lines from several processes sharing one trace file never mix. Without the
 * variable the plug-in records nothing. Main thread only (these four entry
 * points are all it exports). */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "core/plugin_api.h"

static void Trace(const char* entry, int withCwd) {
  const char* path = getenv("OMBREVARD_TRACE_FILE");
  if (path == NULL || path[0] == '\0') return;
  char cwd[PATH_MAX];
  if (!withCwd || getcwd(cwd, sizeof(cwd)) == NULL) cwd[0] = '\0';
  char line[PATH_MAX + 64];
  int length = withCwd ? snprintf(line, sizeof(line), "%s %ld %s\n", entry, (long)getpid(), cwd)
                       : snprintf(line, sizeof(line), "%s %ld\n", entry, (long)getpid());
  if (length <= 0 || (size_t)length >= sizeof(line)) return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line, (size_t)length) != length) {
    /* Nothing to do: the test sees the line missing. */
  }
  close(fd);
}

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  descriptor->id = 0x54524143u; /* "TRAC" */
  Trace("Load", 1);
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  Trace("Open", 0);
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  Trace("Close", 0);
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  Trace("Unload", 0);
  return 0;
}
