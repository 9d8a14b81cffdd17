/* A plug-in that watches media streams for the media tests, which run the
 * server as a process. It appends one line to the file named by the
 * environment variable OMBREVARD_MEDIA_WATCH for each media payload it is
 * delivered and for the module status document:
 *
 *   media <stream> <sequence> <flags> <caps bytes> <media bytes> <size>
 *   bad <stream> <MediaRead result>
 *   status <document>
 *
 * numbers in hexadecimal for stream and flags, in decimal otherwise. <size>
 * is the size, at that moment, of the file named by OMBREVARD_MEDIA_WATCH_SIZE
 * (-1 without one), so that a test sees how far a consumer writing that file
 * had come when each payload was delivered. Without OMBREVARD_MEDIA_WATCH it
 * records nothing. Write and IOCTL only, on the event handler thread. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/media.h"
#include "core/plugin_api.h"

static void Append(const char* text, size_t length) {
  const char* path = getenv("OMBREVARD_MEDIA_WATCH");
  if (path == NULL || path[0] == '\0') return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, text, length) != (ssize_t)length) {
    /* Nothing to do: the test sees the line missing. */
  }
  close(fd);
}

static long long WatchedSize(void) {
  const char* path = getenv("OMBREVARD_MEDIA_WATCH_SIZE");
  struct stat file;
  if (path == NULL || stat(path, &file) != 0) return -1;
  return (long long)file.st_size;
}

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  descriptor->id = 0x00075701u;
  descriptor->subscriptionMask[0] = EventQueuedKey(MEDIA_EVENT_TYPE);
  descriptor->eventSink = 1;
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* event = (const WriteRequest*)request;
  (void)reply;
  if (event->type != MEDIA_EVENT_TYPE) return 0;
  char line[160];
  MediaPacket packet;
  int read = MediaRead(event->payload, event->payloadSize, &packet);
  int length =
      read == MEDIA_OK
          ? snprintf(line, sizeof(line), "media %08x %u %x %u %u %lld\n", (unsigned)event->stream,
                     (unsigned)packet.sequence, (unsigned)packet.flags, (unsigned)packet.capsSize,
                     (unsigned)packet.dataSize, WatchedSize())
          : snprintf(line, sizeof(line), "bad %08x %d\n", (unsigned)event->stream, read);
  if (length > 0 && (size_t)length < sizeof(line)) Append(line, (size_t)length);
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(void* request, void* reply) {
  const IoctlRequest* call = (const IoctlRequest*)request;
  (void)reply;
  if (call->code != IOCTL_EVENT_OTHERS || call->payload == NULL) return 0;
  Append("status ", 7);
  Append((const char*)call->payload, call->payloadSize);
  Append("\n", 1);
  return 0;
}
