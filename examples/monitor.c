/*
 * monitor.c: an example plug-in that prints what the Core tells it.
 *
 * It owns no thread and posts nothing. It prints to standard error:
 *   - the module status document, which the Core sends to every plug-in once
 *     per start through IOCTL code 2;
 *   - one line for every queued event it receives through Write, including
 *     the Core's text notices ("system time changed by ...", "available
 *     system memory is low, throttling video", ...), whose text it shows;
 *   - at Close, the Core's counters and each plug-in's, read through the
 *     server's statistics call (OmbrevardReadCoreStats).
 *
 * Threads: Load, Open, Close and Unload run on the server's main thread;
 * Write and IOCTL codes 2 and 3 run one at a time on the Core's event handler
 * thread. The only state shared between them is an atomic counter.
 *
 * Build: cc -shared -fPIC -o monitor.so monitor.c -I<folder holding core/>
 */
#define _GNU_SOURCE /* RTLD_DEFAULT */
#include <dlfcn.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>

#include "core/plugin_api.h"

/* The monitor's identity. 0x00060000 is the one identity the Core treats
 * specially: that plug-in is put at the front of the list, so it is opened
 * first and is offered every event before any other plug-in. The monitor
 * therefore prints each event before the other examples react to it. Only
 * one loaded plug-in may use an identity; if yours already has this one,
 * pick another (the monitor then simply takes its turn in list order). */
#define MONITOR_ID PLUGIN_ID_FRONT

/* Events delivered so far. Atomic: counted on the event handler thread,
 * read by Close on the main thread. */
static atomic_uint eventsSeen;

/* One line on standard error, written with a single call so that lines from
 * different threads (and plug-ins) do not mix. Any thread. */
static void Say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  fprintf(stderr, "monitor: %s\n", line);
}

/* Main thread, first call of all. The reply is our descriptor, zero-filled
 * by the Core; we fill in who we are and what we want to hear. */
PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  (void)request; /* we never post, so we need not keep postEvent */
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  descriptor->id = MONITOR_ID;

  /* Mask k answers the events whose flags carry bit k (mask 8 answers
   * EVENT_FLAG_MASK8). All ones holds every key: the monitor hears every
   * queued event that selects any of these masks, which covers the frames
   * of producer.c (flags bit 0) and whatever other plug-ins post. Mask 5 is
   * also the closing order (larger closes first, equal ones in no set
   * order); the monitor has nothing to wind down, so closing early is fine. */
  for (int k = 0; k < PLUGIN_SUBSCRIPTION_MASKS; k++) descriptor->subscriptionMask[k] = 0xFFFFFFFFu;
  /* Mask 6 is where the Core's text notices arrive (flags 0x40). Holding
   * exactly their key (0x02000002) hears the notices and no other type. */
  descriptor->subscriptionMask[6] = EventQueuedKey(TYPE_TEXT_NOTICE);

  descriptor->eventSink = 1; /* Write is called for matching queued events */
  return 0;                  /* 0, with loadError left 0: loaded */
}

/* Main thread, once every plug-in is loaded and accepted. (A plug-in whose
 * id is already taken is turned away after a successful Load, without any
 * further call; Open is the first call that proves we are in.) The return
 * value is our open code, shown in the status document. */
PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  Say("opened as 0x%08X", (unsigned)MONITOR_ID);
  return 0;
}

/* Event handler thread: one queued event whose flags selected a mask that
 * matches its type. The payload belongs to the Core and is valid until we
 * return (we do not keep it). Keep this short: every later event, for every
 * plug-in, waits until Write returns. */
PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* event = (const WriteRequest*)request;
  (void)reply; /* keep stays 0: the payload may go when we return */
  atomic_fetch_add(&eventsSeen, 1);
  if (event->source == SOURCE_CORE && event->type == TYPE_TEXT_NOTICE) {
    /* Text notices carry their characters without a terminating zero. */
    Say("event from the Core: notice \"%.*s\"", (int)event->payloadSize,
        event->payload != NULL ? (const char*)event->payload : "");
    return 0;
  }
  Say("event from 0x%08X stream 0x%08X type 0x%08X flags 0x%X, %u bytes", (unsigned)event->source,
      (unsigned)event->stream, (unsigned)event->type, (unsigned)event->flags,
      (unsigned)event->payloadSize);
  return 0;
}

/* Event handler thread: a broadcast. Code 2 (EVENT_FLAG_OTHERS) reaches every
 * plug-in but the poster, code 3 (EVENT_FLAG_ALL) every plug-in, whatever
 * their masks. An IOCTL request carries the payload only, not the event's
 * type, source or flags. The broadcast every plug-in gets is the Core's
 * module status document, posted once per start: compact XML, as text
 * without a terminating zero. */
PLUGIN_EXPORT int32_t IOCTL(void* request, void* reply) {
  const IoctlRequest* call = (const IoctlRequest*)request;
  (void)reply;
  if (call->code != IOCTL_EVENT_OTHERS && call->code != IOCTL_EVENT_ALL) return 0;
  atomic_fetch_add(&eventsSeen, 1);
  const char* text = (const char*)call->payload;
  if (text != NULL && call->payloadSize > 0 && text[0] == '<') {
    Say("broadcast (IOCTL %u), %u bytes: %.*s", (unsigned)call->code, (unsigned)call->payloadSize,
        (int)call->payloadSize, text);
  } else {
    Say("broadcast (IOCTL %u), %u bytes", (unsigned)call->code, (unsigned)call->payloadSize);
  }
  return 0;
}

/* Prints the Core's counters. The server exports the call; looked up at run
 * time, a server without it is no error. Any thread. */
#define MONITOR_MAX_PLUGINS 32
static void SayCounters(void) {
  CoreStatsFunction readStats = (CoreStatsFunction)dlsym(RTLD_DEFAULT, CORE_STATS_SYMBOL);
  if (readStats == NULL) return;
  CoreStats stats = {0};
  stats.size = sizeof(stats);
  stats.version = 1;
  static CorePluginStats plugins[MONITOR_MAX_PLUGINS]; /* main thread only */
  for (int i = 0; i < MONITOR_MAX_PLUGINS; i++) {
    plugins[i] = (CorePluginStats){.size = sizeof(CorePluginStats), .version = 1};
  }
  int32_t filled = readStats(&stats, plugins, MONITOR_MAX_PLUGINS);
  if (filled < 0) return;
  Say("up %llu ms: %llu posts taken, %llu refused; queue high water %llu; %llu payload bytes "
      "copied; %llu notices",
      (unsigned long long)stats.uptimeMs, (unsigned long long)stats.posts[CORE_STATS_POST_OK],
      (unsigned long long)(stats.posts[CORE_STATS_POST_NO_STREAM] +
                           stats.posts[CORE_STATS_POST_THROTTLED] +
                           stats.posts[CORE_STATS_POST_NO_MEMORY]),
      (unsigned long long)stats.queueHighWater, (unsigned long long)stats.bytesCopied,
      (unsigned long long)stats.noticesPosted);
  for (int32_t i = 0; i < filled; i++) {
    const CorePluginStats* plugin = &plugins[i];
    Say("  %s: %llu by Write, %llu by IOCTL, %llu kept, %llu stalls", plugin->file,
        (unsigned long long)plugin->writes, (unsigned long long)plugin->ioctls,
        (unsigned long long)plugin->payloadsKept, (unsigned long long)plugin->stalls);
  }
}

/* Main thread, at stop, after the last delivery. */
PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  Say("closing after %u events", atomic_load(&eventsSeen));
  SayCounters();
  return 0;
}

/* Main thread, last call; the library is closed afterwards. */
PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  Say("unloaded");
  return 0;
}
