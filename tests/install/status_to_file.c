/* A plug-in that is built outside the source tree, against the installed
 * SDK only: `#include "plugin_api.h"` finds the header through the include
 * folder that pkg-config or the CMake package names, and nothing else of the
 * project is reachable.
 *
 * It appends every module status document it receives (IOCTL code 2 from the
 * Core, recognised by its content) to the file named by the environment
 * variable OMBREVARD_STATUS_FILE, one document a line, so that a test sees
 * that the installed server loaded it and fed it. Without the variable it
 * records nothing.
 *
 * Threads: Load runs on the server's main thread, IOCTL on the Core's event
 * handler thread; they share no state. */
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "plugin_api.h"

#define STATUS_TO_FILE_ID 0x00075346u

static const char kDocumentStart[] = "<?xml ";

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  descriptor->id = STATUS_TO_FILE_ID;
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(void* request, void* reply) {
  const IoctlRequest* call = (const IoctlRequest*)request;
  (void)reply; /* keep stays 0: the document is copied out before returning */
  if (call->code != IOCTL_EVENT_OTHERS || call->payload == NULL) return 0;
  size_t length = call->payloadSize;
  if (length < sizeof(kDocumentStart) - 1 ||
      memcmp(call->payload, kDocumentStart, sizeof(kDocumentStart) - 1) != 0) {
    return 0;
  }
  const char* path = getenv("OMBREVARD_STATUS_FILE");
  if (path == NULL || path[0] == '\0') return 0;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  /* One write for the document and its newline, so that nothing can come
   * between them. */
  char* line = (char*)malloc(length + 1);
  if (line != NULL) {
    memcpy(line, call->payload, length);
    line[length] = '\n';
    if (write(fd, line, length + 1) != (ssize_t)(length + 1)) {
      /* Nothing to do: the test sees the document missing. */
    }
    free(line);
  }
  close(fd);
  return 0;
}
