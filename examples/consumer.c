/*
 * consumer.c: an example plug-in that receives the frames of producer.c,
 * keeps some of them for a while and gives them back later.
 *
 * Frames arrive through Write on the Core's event handler thread. Normally a
 * payload is valid only until Write returns. Answering keep = 1 holds it
 * beyond that, until the plug-in posts a release for it (flags exactly
 * EVENT_RELEASE, source its own id, payload the pointer it was handed). Here
 * every fifth frame is kept and released 300 ms later by a thread of the
 * consumer's own.
 *
 * A stream carries one payload at a time: while a frame is kept, the
 * producer's next post on that stream waits inside PostEvent. The producer
 * reports that wait, which shows the stream's flow control at work.
 *
 * Threads: Load, Open, Close and Unload on the server's main thread; Write on
 * the event handler thread; the release thread is ours. What they share is
 * guarded by `lock`, or set in Open before the Core's threads start.
 *
 * Build: cc -shared -fPIC -pthread -o consumer.so consumer.c -I<folder holding core/>
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "core/plugin_api.h"

#define CONSUMER_ID 0x00070002u

/* What producer.c posts: type FRAME_TYPE with flags bit 0, which selects our
 * mask 0. */
#define FRAME_TYPE 0x01000100u

#define KEEP_EVERY 5          /* keep frames 5, 10, 15, ... */
#define HOLD_MILLISECONDS 300 /* and release each this long after it came */
#define MAX_KEPT 8

/* The payload of a frame, as producer.c lays it out. */
typedef struct Frame {
  uint32_t number;
  uint32_t reserved;
  uint64_t postedAt; /* CLOCK_MONOTONIC milliseconds */
} Frame;

/* A frame we hold on to. */
typedef struct KeptFrame {
  void* payload;      /* borrowed from the Core until we post its release; never freed by us */
  uint32_t number;    /* copied out: the payload must not be read after the release */
  uint64_t postedAt;  /* copied out too */
  uint64_t releaseAt; /* CLOCK_MONOTONIC milliseconds */
} KeptFrame;

/* Set in Load, valid until Unload returns; read-only in between. */
static PostEventFunction postEvent;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake;        /* signalled under lock when kept or stopping change */
static KeptFrame kept[MAX_KEPT];   /* guarded by lock; oldest first */
static int keptCount;              /* guarded by lock */
static int stopping;               /* guarded by lock: Close has begun */
static int releasing;              /* set in Open before the Core's threads start: the
                                      release thread runs, so frames may be kept */
static pthread_t releaseThread;    /* main thread only */
static atomic_uint framesReceived; /* counted on the event handler thread */
static atomic_uint framesKept;

static void Say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  fprintf(stderr, "consumer: %s\n", line);
}

static uint64_t NowMilliseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

/* Gives one kept payload back to the Core. Any thread; call it with no lock
 * held. Once the last holder has released a payload the Core frees it and
 * lets the stream's next payload through. */
static void Release(const KeptFrame* frame) {
  EventRecord record = {0};
  record.size = sizeof(record);
  record.version = 1;
  record.payload = frame->payload;
  record.source = CONSUMER_ID;  /* the Core filed our hold under our id */
  record.flags = EVENT_RELEASE; /* the whole word: 0x200 and nothing else */
  EventResult result = {sizeof(result), 1, 0};
  postEvent(&record, &result); /* always POST_OK */
}

/* The release thread: gives each kept frame back when its time has come. */
static void* ReleaseFrames(void* argument) {
  (void)argument;
  pthread_mutex_lock(&lock);
  while (!stopping) {
    if (keptCount == 0) {
      pthread_cond_wait(&wake, &lock);
      continue;
    }
    uint64_t due = kept[0].releaseAt;
    if (NowMilliseconds() < due) {
      struct timespec deadline = {(time_t)(due / 1000), (long)(due % 1000) * 1000000L};
      (void)pthread_cond_timedwait(&wake, &lock, &deadline); /* the loop looks again */
      continue;
    }
    KeptFrame frame = kept[0];
    keptCount--;
    memmove(&kept[0], &kept[1], (size_t)keptCount * sizeof(kept[0]));
    /* Post with our lock released: Write needs it on the event handler
     * thread, and delivery must never wait for one of our posts. */
    pthread_mutex_unlock(&lock);
    Say("releasing frame %u, %u ms after it was posted", (unsigned)frame.number,
        (unsigned)(NowMilliseconds() - frame.postedAt));
    Release(&frame);
    pthread_mutex_lock(&lock);
  }
  pthread_mutex_unlock(&lock);
  return NULL;
}

/* Main thread, first call of all. Starts no thread: a plug-in whose id
 * another plug-in already has is turned away after Load returns, and its
 * library is closed without any further call. */
PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  const LoadRequest* load = (const LoadRequest*)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  postEvent = load->postEvent;
  descriptor->id = CONSUMER_ID;
  /* Frames select mask 0; it must hold the queued key of their type. */
  descriptor->subscriptionMask[0] = EventQueuedKey(FRAME_TYPE); /* 0x02000100 */
  descriptor->eventSink = 1;
  return 0;
}

/* Main thread, once every plug-in is loaded and accepted: the place to start
 * threads. A non-zero return is shown in the status document as our open
 * code and changes nothing else, so we still run, only without keeping. */
PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  int failed = pthread_cond_init(&wake, &attributes);
  pthread_condattr_destroy(&attributes);
  if (failed != 0) return 1;
  if (pthread_create(&releaseThread, NULL, ReleaseFrames, NULL) != 0) {
    pthread_cond_destroy(&wake);
    return 2;
  }
  releasing = 1;
  Say("opened as 0x%08X; keeping every %dth frame for %d ms", (unsigned)CONSUMER_ID, KEEP_EVERY,
      HOLD_MILLISECONDS);
  return 0;
}

/* Event handler thread: one frame. The payload is the Core's; with keep left
 * at 0 it may be gone as soon as we return. Return quickly, and never post on
 * the frame's own stream from here: that post would wait for this very frame
 * to be gone. */
PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* event = (const WriteRequest*)request;
  WriteReply* answer = (WriteReply*)reply;
  if (event->type != FRAME_TYPE || event->payload == NULL || event->payloadSize < sizeof(Frame)) {
    return 0;
  }
  Frame frame;
  memcpy(&frame, event->payload, sizeof(frame)); /* payloads carry no alignment promise */
  atomic_fetch_add(&framesReceived, 1);
  if (!releasing || frame.number % KEEP_EVERY != 0) return 0;

  int keep = 0;
  pthread_mutex_lock(&lock);
  if (!stopping && keptCount < MAX_KEPT) {
    KeptFrame* slot = &kept[keptCount++];
    slot->payload = event->payload;
    slot->number = frame.number;
    slot->postedAt = frame.postedAt;
    slot->releaseAt = NowMilliseconds() + HOLD_MILLISECONDS;
    pthread_cond_signal(&wake);
    keep = 1;
  }
  pthread_mutex_unlock(&lock);
  if (keep) {
    answer->keep = 1; /* the payload stays valid until we post its release */
    atomic_fetch_add(&framesKept, 1);
    Say("keeping frame %u for %d ms", (unsigned)frame.number, HOLD_MILLISECONDS);
  }
  return 0;
}

/* Main thread. Stops the release thread and gives back whatever is still
 * kept, so that no payload stays held and no producer stays blocked on the
 * stream. Does nothing the second time. */
static void StopReleasing(void) {
  if (!releasing) return;
  pthread_mutex_lock(&lock);
  stopping = 1;
  pthread_cond_signal(&wake);
  pthread_mutex_unlock(&lock);
  pthread_join(releaseThread, NULL);
  releasing = 0;

  KeptFrame left[MAX_KEPT];
  pthread_mutex_lock(&lock);
  int count = keptCount;
  memcpy(left, kept, (size_t)count * sizeof(kept[0]));
  keptCount = 0;
  pthread_mutex_unlock(&lock);
  for (int i = 0; i < count; i++) {
    Say("releasing frame %u at close", (unsigned)left[i].number);
    Release(&left[i]);
  }
  pthread_cond_destroy(&wake);
}

/* Main thread, at stop, after the Core's last delivery. */
PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  StopReleasing();
  Say("closed: %u frames received, %u kept", atomic_load(&framesReceived),
      atomic_load(&framesKept));
  return 0;
}

/* Main thread, last call; the library is closed afterwards, so no thread of
 * ours may still run when it returns. */
PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  StopReleasing(); /* does nothing when Close has stopped the thread */
  return 0;
}
