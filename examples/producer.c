/*
 * producer.c: an example plug-in that streams numbered frames.
 *
 * How a stream comes about: some plug-in posts a stream start request
 * (source 0, a stream handle of its choosing, and flags and a type that
 * select producers). The Core calls the Read entry of every matching producer
 * on a new thread, handing it the handle; the producer then posts its data on
 * that handle as ordinary posts, one payload at a time.
 *
 * Here nobody else asks for a stream, so the producer asks itself: when the
 * Core's scheduler starts, it calls Read once without a stream, and the
 * producer posts a start request that selects its own mask. The Core answers
 * with a second Read call, for the stream, and the producer starts a thread
 * of its own that posts a frame ten times a second. The same code would serve
 * a request from any other plug-in.
 *
 * Each post on the stream waits while the stream's previous frame is still in
 * flight (the stream's flow control); consumer.c keeps some frames for a
 * while, and the producer reports how long it was held back.
 *
 * Threads: Load, Open, Close and Unload on the server's main thread; Read on
 * threads the Core starts for each call, possibly several at once; the frame
 * thread is ours. Everything they share is guarded by `lock`.
 *
 * Build: cc -shared -fPIC -pthread -o producer.so producer.c -I<folder holding core/>
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

#include "core/plugin_api.h"

#define PRODUCER_ID 0x00070001u

/* The stream handle we choose. Any 32-bit value but 0 names a stream; the
 * Core never looks inside it. */
#define FRAME_STREAM 0x46524D31u /* "FRM1" */

/* The frames' type word: class byte 0x01, type 0x100. Bit 24 (bit 0 of the
 * class byte) together with flags bit 0 makes a post metered: the Core
 * refuses it with POST_THROTTLED while memory is short. Video frames are
 * what should give way then. */
#define FRAME_TYPE 0x01000100u
#define FRAME_FLAGS EVENT_FLAG_METERED /* flags bit 0: selects mask 0 of receivers */

#define FRAMES_PER_SECOND 10

/* The payload of a frame. Plug-ins that exchange payloads agree on their
 * layout; consumer.c repeats this one. Fixed-width fields only. */
typedef struct Frame {
  uint32_t number;   /* 1, 2, 3, ... */
  uint32_t reserved; /* 0 */
  uint64_t postedAt; /* CLOCK_MONOTONIC milliseconds when posted */
} Frame;

/* Set in Load, valid until Unload returns; read-only in between. */
static PostEventFunction postEvent;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake;   /* broadcast under lock when stopping or readCalls change */
static int stopping;          /* guarded by lock: Close has begun */
static int streaming;         /* guarded by lock: frameThread was started */
static pthread_t frameThread; /* guarded by lock; joined by StopStreaming */
static int readCalls;         /* guarded by lock: Read calls now running */

static void Say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  fprintf(stderr, "producer: %s\n", line);
}

static uint64_t NowMilliseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

/* Every post goes through here: a record and a result block, both ours. */
static int32_t Post(uint32_t source, uint32_t stream, uint32_t flags, uint32_t type,
                    const void* payload, uint32_t payloadSize) {
  EventRecord record = {0};
  record.size = sizeof(record);
  record.version = 1;
  record.payloadSize = payloadSize;
  record.payload = (void*)payload; /* the Core copies it before PostEvent returns */
  record.source = source;
  record.stream = stream;
  record.flags = flags;
  record.type = type;
  EventResult result = {sizeof(result), 1, 0};
  postEvent(&record, &result);
  return result.result;
}

/* The frame thread: one frame every 1/FRAMES_PER_SECOND seconds until Close.
 * Takes `lock` only to wait between frames, never while posting. */
static void* StreamFrames(void* argument) {
  (void)argument;
  const uint64_t period = 1000 / FRAMES_PER_SECOND;
  uint64_t due = NowMilliseconds();
  unsigned throttled = 0;
  for (uint32_t number = 1;; number++) {
    /* Wait for the frame's time, or for Close. */
    pthread_mutex_lock(&lock);
    struct timespec deadline = {(time_t)(due / 1000), (long)(due % 1000) * 1000000L};
    int timedOut = 0;
    while (!stopping && !timedOut) {
      timedOut = pthread_cond_timedwait(&wake, &lock, &deadline) == ETIMEDOUT;
    }
    int stop = stopping;
    pthread_mutex_unlock(&lock);
    if (stop) break;

    Frame frame = {number, 0, NowMilliseconds()};
    int32_t result =
        Post(PRODUCER_ID, FRAME_STREAM, FRAME_FLAGS, FRAME_TYPE, &frame, sizeof(frame));
    uint64_t waited = NowMilliseconds() - frame.postedAt;
    if (result == POST_NO_STREAM) {
      Say("frame %u refused: the stream is closed", (unsigned)number);
      break;
    } else if (result == POST_THROTTLED) {
      throttled++; /* memory is short: the frame is dropped, the next one tried */
      if (throttled == 1 || throttled % 50 == 0) {
        Say("%u frame(s) dropped while throttled", throttled);
      }
    } else if (result != POST_OK) {
      Say("frame %u refused with %d", (unsigned)number, (int)result);
    } else if (waited >= period / 2) {
      Say("frame %u waited %u ms until the stream's previous frame was gone", (unsigned)number,
          (unsigned)waited);
    } else if (number % 10 == 0) {
      Say("frame %u posted", (unsigned)number);
    }

    /* Keep the pace, but after a long wait start afresh rather than burst. */
    due += period;
    uint64_t now = NowMilliseconds();
    if (due < now) due = now;
  }
  return NULL;
}

/* Main thread, first call of all. */
PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  const LoadRequest* load = (const LoadRequest*)request;
  PluginDescriptor* descriptor = (PluginDescriptor*)reply;
  postEvent = load->postEvent;

  /* Timed waits measured on the monotonic clock: a change of the wall
   * clock must not stall or hurry the frames. */
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  int failed = pthread_cond_init(&wake, &attributes);
  pthread_condattr_destroy(&attributes);
  if (failed != 0) {
    descriptor->loadError = 1; /* the Core logs it and closes the library */
    return 0;
  }

  descriptor->id = PRODUCER_ID;
  /* Read calls for stream start requests whose flags carry bit 0 and whose
   * type is FRAME_TYPE. No Write calls: eventSink stays 0, so these masks
   * matter only for stream start requests. */
  descriptor->subscriptionMask[0] = EventDirectKey(FRAME_TYPE); /* stream starts travel the direct road: 0x00800100 */
  descriptor->readThread = 1;
  return 0;
}

/* Main thread, once every plug-in is loaded and accepted. */
PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  Say("opened as 0x%08X", (unsigned)PRODUCER_ID);
  return 0;
}

/* Read: on a thread the Core starts for this call. Once at scheduler start
 * (stream 0, no payload), then once for each stream start request that
 * selects us. Calls may overlap each other and anything else. */
PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  const ReadRequest* read = (const ReadRequest*)request;
  (void)reply;
  pthread_mutex_lock(&lock);
  readCalls++;
  pthread_mutex_unlock(&lock);

  if (read->stream == 0) {
    /* Scheduler start. Ask for our stream: source 0 makes this a stream
     * start request; flags bit 0 and FRAME_TYPE select our own mask 0, so
     * the Core calls Read again, on another thread, with the handle. The
     * request payload (none here) would reach each producer's Read. */
    Say("asking for stream 0x%08X", (unsigned)FRAME_STREAM);
    (void)Post(0, FRAME_STREAM, EVENT_FLAG_MASK(0), FRAME_TYPE, NULL, 0); /* always POST_OK */
  } else {
    /* A stream start request selected us: serve it from a thread of our
     * own, so this call returns at once. One stream at a time here. */
    pthread_mutex_lock(&lock);
    const char* answer = "declining stream 0x%08X: already streaming or closing";
    if (!stopping && !streaming && read->stream == FRAME_STREAM &&
        pthread_create(&frameThread, NULL, StreamFrames, NULL) == 0) {
      streaming = 1;
      answer = "streaming frames on stream 0x%08X";
    }
    pthread_mutex_unlock(&lock);
    Say(answer, (unsigned)read->stream);
  }

  pthread_mutex_lock(&lock);
  readCalls--;
  pthread_cond_broadcast(&wake);
  pthread_mutex_unlock(&lock);
  return 0;
}

/* Main thread. Stops the frame thread and waits for it. Safe to call twice. */
static void StopStreaming(void) {
  pthread_mutex_lock(&lock);
  stopping = 1;
  pthread_cond_broadcast(&wake);
  int started = streaming;
  streaming = 0;
  pthread_mutex_unlock(&lock);
  if (!started) return;
  /* The frame thread may be blocked inside PostEvent, waiting for a frame
   * that a consumer still keeps. A stop request cancels the stream and wakes
   * that post, which then answers POST_NO_STREAM. */
  (void)Post(0, FRAME_STREAM, EVENT_STOP_STREAM, 0, NULL, 0);
  pthread_join(frameThread, NULL);
  Say("frame thread stopped");
}

/* Main thread, at stop, after the Core's last delivery. */
PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  StopStreaming();
  return 0;
}

/* Main thread, last call. Nothing of ours may run once it returns, since the
 * library is closed afterwards: no thread, no Read call. */
PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  StopStreaming(); /* does nothing when Close has stopped the frames */
  pthread_mutex_lock(&lock);
  while (readCalls > 0) pthread_cond_wait(&wake, &lock);
  pthread_mutex_unlock(&lock);
  pthread_cond_destroy(&wake);
  Say("unloaded");
  return 0;
}
