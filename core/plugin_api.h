/*
 * plugin_api.h: the contract between the ombrevard Core and its plug-ins.
 *
 * This is the one header a plug-in author builds against. It is plain C
 * (C11 or C++17), includes only <stddef.h> and <stdint.h>, and needs nothing
 * else of ours.
 *
 * A plug-in is a shared library in the "plugins" folder beside the server's
 * executable, with a name ending in ".so". It exports up to eight functions of
 * type PluginEntry under the plain names "Load", "Unload", "Open", "Close",
 * "Read", "Write", "Seek" and "IOCTL" (declare them with PLUGIN_EXPORT).
 * Only "Load" is required; the Core never calls an entry point a library does
 * not export.
 *
 * Every block that crosses the boundary is plain little-endian memory that
 * begins with a u32 `size` and a u32 `version`. The Core zero-fills every
 * block it builds, writes both header words, and never checks the header of a
 * block it receives. Fields are only ever appended, never moved.
 *
 * Layout: the shipped target is 32-bit x86 (4-byte pointers), whose sizes and
 * offsets are pinned at the end of this file. A 64-bit build keeps the same
 * fields in the same order with 8-byte pointers at natural alignment; the
 * padding that alignment needs is spelled out as `padN` fields that exist only
 * there, and the `size` words carry that build's sizes.
 *
 * Threads, in short (each entry point says more):
 *   - Load, Open, Close, Unload: the server's main thread, one at a time.
 *   - Write, IOCTL codes 2 and 3: the Core's event handler thread, one at a
 *     time, never overlapping each other.
 *   - Read, IOCTL code 1: a thread of their own each, any number at once,
 *     concurrently with everything else. A plug-in that asks for them makes
 *     its entry points safe for that.
 *   - PostEvent: from any thread, also from inside any entry point, from the
 *     start of Load until Unload returns; but not on a stream from inside
 *     Write or IOCTL: a post on a stream waits until the stream's previous
 *     payload is gone, which may take the very delivery thread it would
 *     block. Where that is certain (the payload being handed over, or one
 *     still queued) the post is refused at once with POST_NO_MEMORY.
 */
#ifndef CORE_PLUGIN_API_H_
#define CORE_PLUGIN_API_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PLUGIN_EXPORT __attribute__((visibility("default")))

/* Padding that exists only where pointers are 8 bytes wide. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#define PLUGIN_API_PAD64(name)
#else
#define PLUGIN_API_PAD64(name) uint32_t name;
#endif

/* ---- Identities, flags, types and result codes ------------------------- */

/* The Core's own identity: source of its events, holder of payloads while it
 * delivers them, and its ID in the module status document. */
#define SOURCE_CORE 0x80000000u

/* EventRecord.flags. Bits 0..7 select subscription masks 0..7. */
#define EVENT_FLAG_MASK(k) (1u << (k))
#define EVENT_FLAG_OTHERS 0x100u  /* IOCTL code 2 to every plug-in but the source */
#define EVENT_RELEASE 0x200u      /* whole word: give back a kept payload */
#define EVENT_FLAG_MASK8 0x400u   /* selects subscription mask 8 */
#define EVENT_FLAG_ALL 0x800u     /* IOCTL code 3 to every plug-in */
#define EVENT_STOP_STREAM 0x1000u /* whole word, with source 0: cancel a stream */

/* A metered post (refused while memory is short) has flags bit 0 and type
 * bit 24 (bit 0 of the class byte) both set. */
#define EVENT_FLAG_METERED 0x1u
#define TYPE_CLASS_METERED 0x01000000u

/* Type words: class byte in bits 24..31, type within the class in 0..23. */
#define TYPE_CLASS(type) ((uint32_t)(type) >> 24)
#define TYPE_TEXT_NOTICE 0x01000002u   /* the Core's text notices */
#define TYPE_MODULE_STATUS 0x01000010u /* the module status document */
#define TEXT_NOTICE_FLAGS 0x40u        /* flags of a text notice (mask 6) */

/* EventResult.result */
#define POST_OK 0
#define POST_NO_STREAM 1
#define POST_THROTTLED 5
#define POST_NO_MEMORY (-1)

/* IOCTL codes */
#define IOCTL_THREAD 1       /* the plug-in's own thread (ioctlThread) */
#define IOCTL_EVENT_OTHERS 2 /* an EVENT_FLAG_OTHERS event from someone else */
#define IOCTL_EVENT_ALL 3    /* an EVENT_FLAG_ALL event */

/* Entry point numbers (their order of lookup). */
#define ENTRY_LOAD 0
#define ENTRY_UNLOAD 1
#define ENTRY_OPEN 2
#define ENTRY_CLOSE 3
#define ENTRY_READ 4
#define ENTRY_WRITE 5
#define ENTRY_SEEK 6
#define ENTRY_IOCTL 7

#define PLUGIN_SUBSCRIPTION_MASKS 9
#define PLUGIN_MASK_CLOSE_ORDER 5   /* this mask also orders Close: larger first */
#define PLUGIN_ID_FRONT 0x00060000u /* loaded to the front of the list */

/* ---- Subscription keys -------------------------------------------------- */

/* The Core matches a subscription mask not with an event's type word but with
 * a key made from it by moving the class byte one bit; which way depends on
 * the road the event travels. A consulted mask matches when it holds every
 * bit of the key: (key & mask) == key. Write keys, not type words, into your
 * masks. */

/* Queued road (ordinary posts, delivered through Write): the class byte moves
 * up one bit and its top bit drops out. 0x01000002 gives 0x02000002. */
static inline uint32_t EventQueuedKey(uint32_t type) {
  return ((type & 0xFF000000u) << 1) | (type & 0x00FFFFFFu);
}

/* Direct road (stream start requests, dispatched to Read): the class byte
 * moves down one bit. 0x01000100 gives 0x00800100. */
static inline uint32_t EventDirectKey(uint32_t type) {
  return ((type & 0xFF000000u) >> 1) | (type & 0x00FFFFFFu);
}

/* ---- Event records ------------------------------------------------------ */

/* One event, as posted and as delivered. Written by the poster; the Core only
 * reads it and keeps its own copy. */
typedef struct EventRecord {
  uint32_t size;        /* poster: sizeof(EventRecord); never checked */
  uint32_t version;     /* poster: 1; never checked */
  uint32_t payloadSize; /* poster: payload length in bytes */
  PLUGIN_API_PAD64(pad0)
  /* Ordinary post: the poster's memory; the Core copies it before PostEvent
   * returns and the poster keeps ownership. Release post: the Core-owned copy
   * being given back. Stream start: copied for each Read call before
   * PostEvent returns. May be null. */
  void* payload;
  uint32_t source; /* poster's id; 0 for stream control; SOURCE_CORE for the Core */
  uint32_t stream; /* stream handle; 0 on an ordinary post: no stream */
  uint32_t flags;  /* EVENT_FLAG_* bits, or the whole words EVENT_RELEASE, EVENT_STOP_STREAM */
  uint32_t type;   /* class byte and type, matched against subscription masks */
  uint8_t body[152]; /* passed on unchanged; the Core reads nothing in it */
} EventRecord;

/* PostEvent's answer. The poster fills size (12) and version (1); PostEvent
 * writes only `result`: one of the POST_* codes. */
typedef struct EventResult {
  uint32_t size;
  uint32_t version;
  int32_t result;
} EventResult;

/* The Core's post function, handed to every plug-in in LoadRequest.postEvent.
 * Always returns 0; the outcome is written into result->result:
 *   - flags == EVENT_RELEASE: give back a payload this plug-in kept (source
 *     must be the plug-in's own id). POST_OK, whether or not it was held.
 *   - source != 0: an ordinary post, queued for delivery. On a stream it first
 *     waits until the stream's previous payload is gone. POST_OK, or
 *     POST_NO_STREAM (stream never started, or stopped), POST_THROTTLED
 *     (metered post while memory is short), POST_NO_MEMORY (no copy could be
 *     made; the queue is at its bound; delivery has ended because the server
 *     is stopping; no Core is running; or, from inside Write or IOCTL, a
 *     stream whose gate only the delivery thread itself could open).
 *   - source == 0, flags == EVENT_STOP_STREAM: stop the stream. POST_OK.
 *   - source == 0, other flags: start the stream (a new one if it was
 *     stopped) and call the matching producers' Read on threads of their own.
 *     POST_OK, or POST_NO_MEMORY from inside Write or IOCTL as above.
 * A refused post is dropped; nothing of it stays with the Core.
 *
 * Pointers: a null `event` is answered POST_NO_MEMORY (when `result` is not
 * null). A null `result` is allowed: the post is made and its answer
 * dropped. Pointers that are not null cannot be checked: `event`, its
 * payload for payloadSize bytes, and `result` must point to memory of the
 * caller's that stays valid for the call, or the server's process faults.
 * Safe from any thread. */
typedef int32_t (*PostEventFunction)(const EventRecord* event, EventResult* result);

/* ---- Entry points ------------------------------------------------------- */

/* Every entry point: request in, reply out, both owned by the Core and valid
 * only during the call. */
typedef int32_t (*PluginEntry)(void* request, void* reply);

/* "Load" request. Main thread, once, first of all calls. Return 0 with
 * loadError 0 for success; anything else refuses the plug-in and closes the
 * library without any further call. A plug-in whose id another plug-in has
 * already taken is refused the same way after a successful Load. So start
 * nothing here that outlives the call: start threads in Open. */
typedef struct LoadRequest {
  uint32_t size;    /* Core: sizeof(LoadRequest) */
  uint32_t version; /* Core: 2 */
  void* core;       /* Core: opaque; no call takes it back */
  PostEventFunction postEvent; /* Core: valid until Unload returns */
} LoadRequest;

/* "Load" reply: the plug-in describes itself. The Core zero-fills it, writes
 * size and version, and copies it whole after a successful Load. */
typedef struct PluginDescriptor {
  uint32_t size;    /* Core: 64 */
  uint32_t version; /* Core: 1 */
  uint32_t id;      /* plug-in: its identity, unique among the loaded plug-ins;
                       use it as the source of every ordinary post */
  /* plug-in: mask k (0..7) answers flags bit k, mask 8 answers
   * EVENT_FLAG_MASK8. Mask 5 is also the closing order: larger first. */
  uint32_t subscriptionMask[PLUGIN_SUBSCRIPTION_MASKS];
  uint32_t reserved0;
  uint8_t ioctlThread; /* plug-in: non-zero asks for IOCTL code 1 on a thread of its own */
  uint8_t reserved1;
  uint8_t readThread;  /* plug-in: non-zero receives Read calls */
  uint8_t eventSink;   /* plug-in: non-zero receives queued events through Write */
  uint32_t reserved2;
  uint32_t loadError;  /* plug-in: non-zero fails the load */
} PluginDescriptor;

/* "Unload": main thread, last call, after Close. Stop every thread of the
 * plug-in before returning; the library is closed afterwards. */
typedef struct UnloadRequest {
  uint32_t size;    /* 8 */
  uint32_t version; /* 1 */
} UnloadRequest;

typedef struct UnloadReply {
  uint32_t size;    /* 12 */
  uint32_t version; /* 1 */
  uint32_t reserved0;
} UnloadReply;

/* "Open": main thread, once every plug-in is loaded. The return value is the
 * open code shown in the status document; non-zero changes nothing else. */
typedef struct OpenRequest {
  uint32_t size;    /* 20 */
  uint32_t version; /* 1 */
  uint32_t reserved0;
  uint32_t reserved1;
  uint32_t reserved2;
} OpenRequest;

typedef struct OpenReply {
  uint32_t size;    /* 16 */
  uint32_t version; /* 1 */
  uint32_t reserved0;
  uint32_t reserved1;
} OpenReply;

/* "Close": main thread, at stop, after the last queued delivery, in
 * descending order of subscription mask 5. */
typedef struct CloseRequest {
  uint32_t size;    /* 12 */
  uint32_t version; /* 1 */
  uint32_t reserved0;
} CloseRequest;

typedef struct CloseReply {
  uint32_t size;    /* 12 */
  uint32_t version; /* 1 */
  uint32_t reserved0;
} CloseReply;

/* "Read": a thread of its own per call (readThread set). Once when the Core's
 * scheduler starts (no payload, stream 0), and once per matching stream start
 * request. The call may run as long as the producer streams; it must return
 * by the time Unload returns. */
typedef struct ReadRequest {
  uint32_t size;        /* Core: sizeof(ReadRequest) */
  uint32_t version;     /* Core: 1 */
  uint32_t code;        /* Core: 0 */
  uint8_t ownThread;    /* Core: 1 */
  uint8_t reserved0[3];
  uint32_t payloadSize; /* Core: the request's payload length; 0 at scheduler start */
  PLUGIN_API_PAD64(pad0)
  /* Core: a private copy of the request's payload made for this call, freed
   * when the call returns; null when there is none. */
  void* payload;
  uint32_t stream; /* Core: the stream handle to post on; 0 at scheduler start */
  PLUGIN_API_PAD64(pad1)
} ReadRequest;

typedef struct ReadReply {
  uint32_t size;    /* 20 */
  uint32_t version; /* 1 */
  uint32_t reserved0;
  uint32_t reserved1;
  uint32_t reserved2;
} ReadReply;

/* "Write": the event handler thread (eventSink set), for each queued event
 * whose flags select a subscription mask that matches its type. Bytes from
 * payloadSize on are the event record's from its payloadSize on. */
typedef struct WriteRequest {
  uint32_t size;        /* Core: sizeof(WriteRequest) */
  uint32_t version;     /* Core: 1 */
  uint32_t code;        /* Core: 0 */
  uint8_t ownThread;    /* Core: 0 */
  uint8_t reserved0[3];
  uint32_t payloadSize; /* the event's */
  PLUGIN_API_PAD64(pad0)
  /* The Core's copy of the payload, or null. Valid until the call returns,
   * or, if the reply sets keep, until this plug-in posts EVENT_RELEASE for
   * it with its own id as source. Never free it. */
  void* payload;
  uint32_t source;
  uint32_t stream;
  uint32_t flags;
  uint32_t type;
  uint8_t body[152];
} WriteRequest;

typedef struct WriteReply {
  uint32_t size;    /* 24 */
  uint32_t version; /* 1 */
  uint32_t reserved0;
  uint32_t reserved1;
  uint32_t reserved2;
  uint32_t keep;    /* plug-in: non-zero keeps the payload until released */
} WriteReply;

/* "IOCTL". Code 1 (IOCTL_THREAD): right after Load, on a thread of its own
 * (ioctlThread set); the call is that thread's whole life and must return by
 * the time Unload returns. Codes 2 and 3: the event handler thread, for
 * broadcast events, whatever the masks; payload as for Write, keep in the
 * reply. */
typedef struct IoctlRequest {
  uint32_t size;         /* Core: sizeof(IoctlRequest) */
  uint32_t version;      /* Core: 1 */
  uint32_t code;         /* Core: IOCTL_* */
  uint32_t paramSize;    /* Core: IOCTL_PARAM_SIZE_THREAD or IOCTL_PARAM_SIZE_EVENT */
  uint32_t paramVersion; /* Core: 1 */
  uint32_t payloadSize;  /* Core: codes 2, 3: the event's; code 1: 0 */
  void* payload;         /* Core: codes 2, 3: as WriteRequest.payload; code 1: null */
} IoctlRequest;

/* The parameter block nested at IoctlRequest.paramSize: a header only for
 * code 1; header, payloadSize and payload for codes 2 and 3. */
#define IOCTL_PARAM_SIZE_THREAD 8u
#define IOCTL_PARAM_SIZE_EVENT ((uint32_t)(sizeof(IoctlRequest) - offsetof(IoctlRequest, paramSize)))

typedef struct IoctlReply {
  uint32_t size;    /* Core: 28 */
  uint32_t version; /* Core: 1 */
  uint32_t code;    /* Core: the request's code */
  uint32_t reserved0;
  uint32_t keep;    /* plug-in, codes 2 and 3: non-zero keeps the payload */
  uint32_t paramSize;    /* Core: 8 */
  uint32_t paramVersion; /* Core: 1 */
} IoctlReply;

/* "Seek" is looked up but never called. */

/* ---- Core statistics ---------------------------------------------------- */

/*
 * The server exports one function that copies its counters out. Look it up at
 * run time, so the plug-in still loads (and simply goes without) in a server
 * that lacks it:
 *
 *   CoreStatsFunction readStats =
 *       (CoreStatsFunction)dlsym(RTLD_DEFAULT, CORE_STATS_SYMBOL);
 *
 * The caller zero-fills a CoreStats and sets `size` to sizeof(CoreStats) and
 * `version` to 1, and may pass room for `capacity` CorePluginStats (each with
 * `size` and `version` set the same way; the first element's `size` is taken
 * as the size of every element), or a null pointer and 0. The Core fills the
 * fields the caller's `size` covers (a caller built against an older header
 * gets the fields it knows), writes into `size` how many bytes it filled,
 * leaves `version` as it is, and fills one CorePluginStats per loaded plug-in
 * in list order, up to `capacity`. It returns how many it filled, or -1 when
 * `stats` is null, when its `size` (or, with room for plug-ins, the first
 * element's) is below 16, or when no Core is running.
 *
 * Callable from any thread, also from inside any entry point, from the start of
 * Load until Unload returns. It takes no lock the delivery thread waits on,
 * and costs a few microseconds per plug-in: fine for a once-a-second sampler.
 * Counters are read one by one, without stopping traffic: two of them may
 * disagree by the events in flight while they were read.
 *
 * What is counted: `posts` counts every PostEvent call by its result
 * (releases, stream starts and stops, and the Core's own posts included);
 * `bytesCopied` the payload bytes of the posts that were queued; a stall is a
 * Write or IOCTL call that ran past the stall threshold (the environment
 * variable OMBREVARD_STALL_MS, default 1000 ms), counted once however long it
 * lasts. `memoryBytes` is 0 in builds without the server's allocator.
 */
#define CORE_STATS_SYMBOL "OmbrevardReadCoreStats"
#define CORE_STATS_FILE_MAX 64u

/* Index into CoreStats.posts: the post's result code. */
#define CORE_STATS_POST_OK 0
#define CORE_STATS_POST_NO_STREAM 1
#define CORE_STATS_POST_THROTTLED 2
#define CORE_STATS_POST_NO_MEMORY 3
#define CORE_STATS_POST_RESULTS 4

typedef struct CoreStats {
  uint32_t size;    /* caller: sizeof(CoreStats); Core: the bytes it filled */
  uint32_t version; /* caller: 1 */
  uint64_t uptimeMs;                        /* since the Core started */
  uint64_t posts[CORE_STATS_POST_RESULTS];  /* PostEvent calls, by result */
  uint64_t bytesCopied;      /* payload bytes copied by posts */
  uint64_t queueDepth;       /* records queued now */
  uint64_t queueHighWater;   /* the most ever queued at once */
  uint64_t streamsOpen;      /* streams started and not stopped, now */
  uint64_t payloadsInFlight; /* stream payloads not yet let go, now */
  uint64_t postersWaiting;   /* posters blocked on a stream's gate now */
  uint64_t readThreads;      /* Read calls running now */
  uint64_t throttledMs;      /* total time metered posts were refused (to the
                                scheduler's last heap reading, once a second) */
  uint64_t noticesPosted;    /* text notices the Core posted */
  uint64_t memoryBytes;      /* memory in use, as the scheduler last read it */
  uint32_t throttling;       /* non-zero while metered posts are refused */
  uint32_t pluginCount;      /* plug-ins loaded (may exceed what was filled) */
} CoreStats;

typedef struct CorePluginStats {
  uint32_t size;    /* caller: sizeof(CorePluginStats) */
  uint32_t version; /* caller: 1 */
  char file[CORE_STATS_FILE_MAX]; /* file name, NUL-terminated, cut to fit */
  uint32_t id;
  int32_t openCode;      /* what Open answered; 0 before it ran or without Open */
  uint64_t loadUs;       /* time Load took, in microseconds */
  uint64_t openUs;       /* time Open took, in microseconds */
  uint64_t writes;       /* events delivered by Write */
  uint64_t ioctls;       /* events delivered by IOCTL codes 2 and 3 */
  uint64_t payloadsKept; /* payloads it keeps now */
  uint64_t bytesKept;    /* their bytes */
  uint64_t stalls;       /* Write and IOCTL calls the stall watchdog reported */
} CorePluginStats;

typedef int32_t (*CoreStatsFunction)(CoreStats* stats, CorePluginStats* plugins,
                                     uint32_t capacity);

/* ---- Layout checks ------------------------------------------------------ */

#ifdef __cplusplus
#define PLUGIN_API_ASSERT(cond) static_assert(cond, #cond)
#else
#define PLUGIN_API_ASSERT(cond) _Static_assert(cond, #cond)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu /* 32-bit x86: the shipped layout */
PLUGIN_API_ASSERT(sizeof(EventRecord) == 184);
PLUGIN_API_ASSERT(offsetof(EventRecord, payloadSize) == 8);
PLUGIN_API_ASSERT(offsetof(EventRecord, payload) == 12);
PLUGIN_API_ASSERT(offsetof(EventRecord, source) == 16);
PLUGIN_API_ASSERT(offsetof(EventRecord, stream) == 20);
PLUGIN_API_ASSERT(offsetof(EventRecord, flags) == 24);
PLUGIN_API_ASSERT(offsetof(EventRecord, type) == 28);
PLUGIN_API_ASSERT(offsetof(EventRecord, body) == 32);
PLUGIN_API_ASSERT(sizeof(LoadRequest) == 16);
PLUGIN_API_ASSERT(offsetof(LoadRequest, core) == 8);
PLUGIN_API_ASSERT(offsetof(LoadRequest, postEvent) == 12);
PLUGIN_API_ASSERT(sizeof(ReadRequest) == 28);
PLUGIN_API_ASSERT(offsetof(ReadRequest, payloadSize) == 16);
PLUGIN_API_ASSERT(offsetof(ReadRequest, payload) == 20);
PLUGIN_API_ASSERT(offsetof(ReadRequest, stream) == 24);
PLUGIN_API_ASSERT(sizeof(WriteRequest) == 192);
PLUGIN_API_ASSERT(offsetof(WriteRequest, payloadSize) == 16);
PLUGIN_API_ASSERT(offsetof(WriteRequest, payload) == 20);
PLUGIN_API_ASSERT(offsetof(WriteRequest, source) == 24);
PLUGIN_API_ASSERT(offsetof(WriteRequest, stream) == 28);
PLUGIN_API_ASSERT(offsetof(WriteRequest, flags) == 32);
PLUGIN_API_ASSERT(offsetof(WriteRequest, type) == 36);
PLUGIN_API_ASSERT(offsetof(WriteRequest, body) == 40);
PLUGIN_API_ASSERT(sizeof(IoctlRequest) == 28);
PLUGIN_API_ASSERT(offsetof(IoctlRequest, payloadSize) == 20);
PLUGIN_API_ASSERT(offsetof(IoctlRequest, payload) == 24);
#else /* 64-bit: pointers widen, later offsets move */
PLUGIN_API_ASSERT(sizeof(EventRecord) == 192);
PLUGIN_API_ASSERT(offsetof(EventRecord, payloadSize) == 8);
PLUGIN_API_ASSERT(offsetof(EventRecord, payload) == 16);
PLUGIN_API_ASSERT(offsetof(EventRecord, source) == 24);
PLUGIN_API_ASSERT(offsetof(EventRecord, stream) == 28);
PLUGIN_API_ASSERT(offsetof(EventRecord, flags) == 32);
PLUGIN_API_ASSERT(offsetof(EventRecord, type) == 36);
PLUGIN_API_ASSERT(offsetof(EventRecord, body) == 40);
PLUGIN_API_ASSERT(sizeof(LoadRequest) == 24);
PLUGIN_API_ASSERT(offsetof(LoadRequest, core) == 8);
PLUGIN_API_ASSERT(offsetof(LoadRequest, postEvent) == 16);
PLUGIN_API_ASSERT(sizeof(ReadRequest) == 40);
PLUGIN_API_ASSERT(offsetof(ReadRequest, payloadSize) == 16);
PLUGIN_API_ASSERT(offsetof(ReadRequest, payload) == 24);
PLUGIN_API_ASSERT(offsetof(ReadRequest, stream) == 32);
PLUGIN_API_ASSERT(sizeof(WriteRequest) == 200);
PLUGIN_API_ASSERT(offsetof(WriteRequest, payloadSize) == 16);
PLUGIN_API_ASSERT(offsetof(WriteRequest, payload) == 24);
PLUGIN_API_ASSERT(offsetof(WriteRequest, source) == 32);
PLUGIN_API_ASSERT(offsetof(WriteRequest, stream) == 36);
PLUGIN_API_ASSERT(offsetof(WriteRequest, flags) == 40);
PLUGIN_API_ASSERT(offsetof(WriteRequest, type) == 44);
PLUGIN_API_ASSERT(offsetof(WriteRequest, body) == 48);
PLUGIN_API_ASSERT(sizeof(IoctlRequest) == 32);
PLUGIN_API_ASSERT(offsetof(IoctlRequest, payloadSize) == 20);
PLUGIN_API_ASSERT(offsetof(IoctlRequest, payload) == 24);
#endif
/* Blocks without pointers: the same everywhere. */
PLUGIN_API_ASSERT(sizeof(EventResult) == 12);
PLUGIN_API_ASSERT(offsetof(EventResult, result) == 8);
PLUGIN_API_ASSERT(sizeof(PluginDescriptor) == 64);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, id) == 8);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, subscriptionMask) == 12);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, reserved0) == 48);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, ioctlThread) == 52);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, readThread) == 54);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, eventSink) == 55);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, reserved2) == 56);
PLUGIN_API_ASSERT(offsetof(PluginDescriptor, loadError) == 60);
PLUGIN_API_ASSERT(sizeof(UnloadRequest) == 8);
PLUGIN_API_ASSERT(sizeof(UnloadReply) == 12);
PLUGIN_API_ASSERT(sizeof(OpenRequest) == 20);
PLUGIN_API_ASSERT(sizeof(OpenReply) == 16);
PLUGIN_API_ASSERT(sizeof(CloseRequest) == 12);
PLUGIN_API_ASSERT(sizeof(CloseReply) == 12);
PLUGIN_API_ASSERT(sizeof(ReadReply) == 20);
PLUGIN_API_ASSERT(sizeof(WriteReply) == 24);
PLUGIN_API_ASSERT(offsetof(WriteReply, keep) == 20);
PLUGIN_API_ASSERT(sizeof(IoctlReply) == 28);
PLUGIN_API_ASSERT(offsetof(IoctlReply, keep) == 16);
PLUGIN_API_ASSERT(offsetof(IoctlReply, paramSize) == 20);
PLUGIN_API_ASSERT(offsetof(ReadRequest, ownThread) == 12);
PLUGIN_API_ASSERT(offsetof(WriteRequest, ownThread) == 12);
PLUGIN_API_ASSERT(sizeof(CoreStats) == 136);
PLUGIN_API_ASSERT(offsetof(CoreStats, posts) == 16);
PLUGIN_API_ASSERT(offsetof(CoreStats, throttling) == 128);
PLUGIN_API_ASSERT(sizeof(CorePluginStats) == 136);
PLUGIN_API_ASSERT(offsetof(CorePluginStats, id) == 72);
PLUGIN_API_ASSERT(offsetof(CorePluginStats, loadUs) == 80);
PLUGIN_API_ASSERT(offsetof(CorePluginStats, stalls) == 128);
/* The Write request carries the record from its payloadSize on, 8 bytes later. */
PLUGIN_API_ASSERT(sizeof(WriteRequest) - offsetof(WriteRequest, payloadSize) ==
                  sizeof(EventRecord) - offsetof(EventRecord, payloadSize));
PLUGIN_API_ASSERT(offsetof(WriteRequest, body) == offsetof(EventRecord, body) + 8);

#ifdef __cplusplus
}

/* C++ only: a zero-filled block of type T with its header written, the way
 * the Core builds every block: `auto reply = MakePluginBlock<WriteReply>();` */
template <typename T>
inline T MakePluginBlock(uint32_t version = 1) {
  T block = T();
  block.size = static_cast<uint32_t>(sizeof(T));
  block.version = version;
  return block;
}
#endif

#endif /* CORE_PLUGIN_API_H_ */
