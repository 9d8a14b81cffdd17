/* A plug-in that watches media streams for the media tests, which run the
 * server as a process. It appends one line to the file named by the
 * environment variable OMBREVARD_MEDIA_WATCH for each media payload it is
 * delivered, for the module status document and for each test event (type
 * WATCH_EVENT_TYPE, mask 3):
 *
 *   media <stream> <sequence> <flags> <caps bytes> <media bytes> <size> <time>
 *   bad <stream> <MediaRead result>
 *   status <document>
 *   event <source> <flags> <payload text>
 *
 * It keeps the latest metrics block of each plug-in (plugin_metrics.h) in
 * "<that file>.metrics.<source>". With OMBREVARD_WATCH_POST set it posts a
 * test event every 50 ms from the scheduler-start Read until Close, with the
 * payload "<OMBREVARD_WATCH_POST>-<n>", n from 1.
 *
 * numbers in hexadecimal for stream and flags, in decimal otherwise. <size>
 * is the size, at that moment, of the file named by OMBREVARD_MEDIA_WATCH_SIZE
 * (-1 without one), so that a test sees how far a consumer writing that file
 * had come when each payload was delivered. <time> is the monotonic clock at
 * delivery in microseconds, the same in every process of the machine, so a
 * stream's payloads can be timed from one server to another. Without
 * OMBREVARD_MEDIA_WATCH it
 * records nothing. Write and IOCTL on the event handler thread, Read on a
 * thread of its own, Close on the main thread. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "core/media.h"
#include "core/plugin_api.h"

#define WATCH_ID 0x00075701u
#define WATCH_EVENT_TYPE 0x00000E50u /* class 0: never metered; its queued key is itself */
#define METRICS_TYPE 0x02000301u

static PostEventFunction post;
static volatile int closing;
static volatile int reading; /* the posting Read runs */

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

static long long Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static long long WatchedSize(void) {
  const char* path = getenv("OMBREVARD_MEDIA_WATCH_SIZE");
  struct stat file;
  if (path == NULL || stat(path, &file) != 0) return -1;
  return (long long)file.st_size;
}

/* Replaces the metrics file of `source` with `size` bytes at `block`. */
static void KeepMetrics(uint32_t source, const void* block, uint32_t size) {
  const char* watch = getenv("OMBREVARD_MEDIA_WATCH");
  if (watch == NULL || watch[0] == '\0' || block == NULL) return;
  char path[4096], next[4120];
  snprintf(path, sizeof(path), "%s.metrics.%08x", watch, (unsigned)source);
  snprintf(next, sizeof(next), "%s.new", path);
  int fd = open(next, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  int whole = write(fd, block, size) == (ssize_t)size;
  close(fd);
  if (whole) rename(next, path); /* the test never reads half a block */
}

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  post = ((const LoadRequest*)request)->postEvent;
  closing = 0;
  descriptor->id = WATCH_ID;
  descriptor->subscriptionMask[0] = EventQueuedKey(MEDIA_EVENT_TYPE);
  descriptor->subscriptionMask[3] = EventQueuedKey(WATCH_EVENT_TYPE);
  descriptor->subscriptionMask[7] = EventQueuedKey(METRICS_TYPE);
  descriptor->eventSink = 1;
  descriptor->readThread = getenv("OMBREVARD_WATCH_POST") != NULL;
  return 0;
}

PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  (void)reply;
  const char* prefix = getenv("OMBREVARD_WATCH_POST");
  if (((const ReadRequest*)request)->stream != 0 || prefix == NULL) return 0;
  __atomic_store_n(&reading, 1, __ATOMIC_RELEASE);
  for (unsigned n = 1; !__atomic_load_n(&closing, __ATOMIC_ACQUIRE); n++) {
    char text[64];
    int length = snprintf(text, sizeof(text), "%s-%u", prefix, n);
    EventRecord record = {0};
    record.size = sizeof(record);
    record.version = 1;
    record.payloadSize = length > 0 ? (uint32_t)length : 0u;
    record.payload = text;
    record.source = WATCH_ID;
    record.flags = EVENT_FLAG_MASK(3);
    record.type = WATCH_EVENT_TYPE;
    EventResult result = {sizeof(result), 1, 0};
    post(&record, &result);
    struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, NULL);
  }
  __atomic_store_n(&reading, 0, __ATOMIC_RELEASE);
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  __atomic_store_n(&closing, 1, __ATOMIC_RELEASE);
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  __atomic_store_n(&closing, 1, __ATOMIC_RELEASE);
  struct timespec pause = {0, 1000 * 1000};
  while (__atomic_load_n(&reading, __ATOMIC_ACQUIRE)) nanosleep(&pause, NULL); /* no Read outlives us */
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* event = (const WriteRequest*)request;
  (void)reply;
  if (event->type == METRICS_TYPE) {
    KeepMetrics(event->source, event->payload, event->payloadSize);
    return 0;
  }
  if (event->type == WATCH_EVENT_TYPE) {
    char line[200];
    int text = event->payloadSize < 100 ? (int)event->payloadSize : 100;
    int length = snprintf(line, sizeof(line), "event %08x %x %.*s\n", (unsigned)event->source,
                          (unsigned)event->flags, text,
                          event->payload != NULL ? (const char*)event->payload : "");
    if (length > 0 && (size_t)length < sizeof(line)) Append(line, (size_t)length);
    return 0;
  }
  if (event->type != MEDIA_EVENT_TYPE) return 0;
  char line[160];
  MediaPacket packet;
  int read = MediaRead(event->payload, event->payloadSize, &packet);
  int length =
      read == MEDIA_OK
          ? snprintf(line, sizeof(line), "media %08x %u %x %u %u %lld %lld\n",
                     (unsigned)event->stream, (unsigned)packet.sequence, (unsigned)packet.flags,
                     (unsigned)packet.capsSize, (unsigned)packet.dataSize, WatchedSize(), Now())
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
