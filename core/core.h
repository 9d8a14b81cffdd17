// Core: the plug-in host and event bus.
//
// The host creates exactly one Core, calls Start once, waits, calls Stop once
// and deletes it. Start loads and opens the plug-ins from the "plugins" folder
// beside the executable, posts the module status document and starts the two
// long-lived threads: the EventHandlerThread, which delivers every queued
// event, and the SchedulerThread, which watches the clock and the heap. Stop
// ends both threads, closes and unloads the plug-ins and discards what is
// still queued.
//
// Threads: construction, Start, Stop and destruction run on the host's main
// thread, and so do Load, Open, Close and Unload. PostEvent may be called from
// any thread; delivery runs on the event handler thread; Read and IOCTL code
// 1 run on PluginThreads. Locks (queueLock, pluginsLock, the locks inside
// PayloadRefs and StreamTable) are never nested and never held while a
// plug-in entry point runs or while a poster waits on a stream gate.
#ifndef CORE_CORE_H_
#define CORE_CORE_H_

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include <wx/dynlib.h>
#include <wx/filename.h>
#include <wx/string.h>

#include "core/payload_refs.h"
#include "core/plugin_api.h"
#include "core/plugin_thread.h"
#include "core/queue_limits.h"
#include "core/chunk_queue.h"
#include "core/stall_watch.h"
#include "core/stream_table.h"
#include "threads/scoped_lock.h"
#include "threads/thread_annotations.h"
#include "threads/thread.h"
#include "threads/trigger.h"

class EventHandlerThread;
class SchedulerThread;

// Log texts that operators and tests rely on.
extern const char kLoadFailedMessage[];      // "plugin %s load returned %d error %d"
extern const char kDuplicateIdMessage[];     // "plugin %s ID 0x%08lX already loaded"
extern const char kCallsStillRunningMessage[];
extern const char kClockChangedNotice[];     // "system time changed by %d seconds"
extern const char kMemoryLowNotice[];
extern const char kMemoryOkNotice[];
extern const char kQueueFullMessage[];       // refused posts, at most once a second
extern const char kDiscardedAtStopMessage[]; // records still queued when delivery ended

// The Core's version as the status document shows it: the project's version,
// from the build.
constexpr char kCoreVersion[] = OMBREVARD_VERSION;

// How long Stop waits, after the plug-ins' Unload calls, for their Read and
// IOCTL calls on threads of their own to return, all of them together,
// before it gives up and leaves the libraries of those still running loaded.
constexpr int kCallDrainMilliseconds = 5000;

// Stop is woken as each long-lived thread ends; it also looks at the thread's
// `finished` flag at least this often.
constexpr int kThreadEndLookMilliseconds = 100;

// How long the event handler goes on delivering once Stop has asked it to
// end; what is still queued then is discarded. A queue that never empties
// (a plug-in reposting what it gets, producers outrunning a slow sink) must
// not hold Stop up.
constexpr int kStopDeliveryMilliseconds = 250;

// The event queue keeps its records in chunks of this many, and the event
// handler takes the oldest chunk whole under one hold of queueLock. Records
// taken but not yet delivered are not counted against the queue's bound, so
// this is also how far the bound may be overshot.
constexpr size_t kDeliveryBatch = 64;
// How long the event handler spins for a post before it sleeps, in pause
// instructions (about 5 us on the machines we measure on), and how rarely it
// tries again once spinning stopped paying.
constexpr int kLingerPauses = 256;
constexpr unsigned kLingerRetry = 32;
// How long the handler lets posts gather once its spin caught one, in pause
// instructions: at first, and at most (about 10 us).
constexpr int kGatherFirst = 64;
constexpr int kGatherPauses = 512;
// The handler's nap, for waits that pausing would make costly: a gather grown
// to its longest in a flood of small records, and the wait for a producer's
// next large record (kernels round the nap up). Records count as small while
// a chunk of them weighs no more than kSmallChunkBytes: what gathers during a
// nap then stays in the caches.
constexpr long kNapNanoseconds = 10000;
constexpr uint64_t kSmallChunkBytes = uint64_t{512} << 10;
// When a poster and the event handler share one CPU, they take turns: the
// handler, finding the queue empty, gives the CPU up rather than sleep, and a
// poster gives it back once it has queued this many records or bytes. Turns
// this long keep what one turn writes in the processor's second-level cache,
// and cost two yields per turn, not a wake-up per record.
constexpr uint64_t kTurnRecords = 1024;
constexpr uint64_t kTurnBytes = uint64_t{1} << 20;
// What the handler must have taken since it last found the queue empty for it
// to count as a burst, in QueuedCost: a chunk of bare records.
constexpr uint64_t kBurstBytes = kDeliveryBatch * sizeof(EventRecord);

// How long the event handler waits one way for posts (spinning, gathering,
// yielding, napping), learnt from what the last wait brought: its owner shrinks it
// when a wait brings nothing and restores it when one pays. Once at nothing,
// the wait is tried again (at `retry`) once in kLingerRetry times. Event
// handler thread only.
struct AdaptiveWait {
  int length;
  unsigned skips = 0;

  explicit AdaptiveWait(int initial) : length(initial) {}
  // How long to wait this time; 0: not at all.
  int Next(int retry) {
    if (length == 0 && ++skips % kLingerRetry == 0) return retry;
    return length;
  }
};

// The Core's entry for one loaded plug-in. Copied by value inside `plugins`;
// copies share `library` and `calls`, which the Core frees once at unload.
// Aligned to 8 bytes on every target: the stall watchdog keeps three bits in
// the low end of its address, and the counters below are read atomically.
struct alignas(8) PluginRecord {
  wxDynamicLibrary* library = nullptr;  // owned; never null in the list
  PluginEntry load = nullptr;           // entry points, null when not exported
  PluginEntry unload = nullptr;
  PluginEntry open = nullptr;
  PluginEntry close = nullptr;
  PluginEntry read = nullptr;
  PluginEntry write = nullptr;
  PluginEntry seek = nullptr;  // kept, never called
  PluginEntry ioctl = nullptr;
  // Events delivered by Write, and by IOCTL codes 2 and 3, counted as each
  // call returns: written by the event handler thread alone with relaxed
  // atomic stores, read with relaxed atomic loads (a fixed layout, copied
  // with the record while no delivery runs). Beside the entry points and the
  // masks, so that a delivery touches no more of the record than it reads.
  alignas(8) uint64_t writes = 0;
  alignas(8) uint64_t ioctls = 0;
  PluginDescriptor descriptor{};  // Load's reply, copied whole
  wxString fileName;              // without directory, as listed
  std::string fileNameBytes;      // the same name, byte for byte as on disk
  int32_t openCode = 0;
  int64_t loadTime = 0;  // milliseconds spent in Load
  int64_t openTime = 0;  // milliseconds spent in Open
  int64_t loadMicros = 0;  // the same on the monotonic clock, for the statistics
  int64_t openMicros = 0;
  // Owned; Read and IOCTL code 1 calls in progress, and the plug-in's counters.
  PluginCalls* calls = nullptr;
};

// What the Core decided on a post, written over the poster's record as it is
// queued, so that what is queued agrees with what was checked.
struct PostDecision {
  void* payload;         // the Core's copy, or null; owned by the queued record
  uint32_t payloadSize;  // 0 without a copy
  uint32_t source;
  uint32_t streamId;
  Stream* stream;  // borrowed; the stream whose gate the post holds, or null
};

// One queued record and the stream whose gate it holds (null off streams).
struct QueuedEvent {
  EventRecord record;
  Stream* stream;  // borrowed; alive while the record occupies its gate
};

using EventQueue = ChunkQueue<QueuedEvent, kDeliveryBatch>;

// A plug-in that takes queued events through Write, as the delivery loop
// reads it for every record: entry point and masks side by side, rather
// than spread over its whole PluginRecord.
struct SinkEntry {
  PluginEntry write;
  PluginRecord* plugin;  // borrowed; an element of Core::plugins
  uint32_t subscriptionMask[PLUGIN_SUBSCRIPTION_MASKS];
};

// What the scheduler carries from one tick to the next.
struct SchedulerState {
  uint32_t memoryLimit = 0;  // bytes; fixed when the thread starts
  time_t previous = 0;       // time of the previous tick, 0 before the first
};

// Milliseconds on the monotonic clock, which setting the system clock does
// not move. Any thread.
int64_t MonotonicMilliseconds();
int64_t MonotonicMicroseconds();

// The stall watchdog's word keeps the entry point in the low bits of the
// record's address.
static_assert(alignof(PluginRecord) >= 8, "a PluginRecord's address leaves three bits free");

// Reads the heap's allocated byte count; false when it cannot be read.
typedef bool (*HeapReader)(uint64_t* allocatedBytes);

// PostEvent: the function every plug-in is handed at Load. Reaches the Core
// through Core::instance; with no Core it answers POST_NO_MEMORY.
extern "C" int32_t PostEvent(const EventRecord* event, EventResult* result);

class Core {
 public:
  explicit Core(const wxFileName& executable);
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // Main thread. Always true; a second call while running does nothing.
  bool Start();
  // Main thread. Harmless when Start never ran.
  void Stop();

  // The one Core of the process; set by the constructor, cleared by the
  // destructor. PostEvent reaches the Core only through it.
  static std::atomic<Core*> instance;

  // The body of PostEvent. Any thread; never holds two locks at once.
  void Post(const EventRecord* event, EventResult* result);
  // Posts a text notice from the Core (type 0x1000002, flags 0x40) and
  // ignores the outcome. Any thread.
  void PostText(const std::string& text);

  // Scheduler decisions, kept apart from the clock and the heap so that they
  // can be driven directly. Scheduler thread (or a test standing in for it).
  void UpdateThrottling(bool low, int32_t now);
  void SchedulerTick(SchedulerState* state, time_t now, HeapReader readHeap);
  static uint32_t MemoryCeiling(bool sysinfoOk, uint64_t totalBytes);
  // Signed whole seconds between two ticks, truncated toward zero.
  static int ClockDifference(time_t previous, time_t now);

  // The status document as it is posted. Main thread, while no plug-in is
  // being loaded or unloaded.
  std::string BuildModuleStatus();

  // Event handler thread: delivers every queued record, or, once Stop has
  // asked delivery to end, for kStopDeliveryMilliseconds at most.
  void DeliverQueue();
  // Event handler thread, as its last act; main thread when none ran.
  // Closes the queue (posts are refused from here on) and discards what is
  // still in it, logging how many records that was.
  void DrainQueue() EXCLUDES(queueLock);
  // Marks the calling thread as the one delivery thread: its posts are
  // admitted beyond the queue's bound. Event handler thread.
  static void MarkDeliveryThread();
  // Logs the posts refused for a full queue since the last report, if any.
  // Scheduler thread, or main thread at Stop.
  void ReportRefusedPosts();
  // Scheduler thread: starts the read threads of the plug-ins that asked.
  void StartReadThreads();
  // Samples the delivery thread's call into a plug-in and reports a stall,
  // or its end. Scheduler thread, every tick.
  void WatchDelivery() EXCLUDES(pluginsLock);
  // The same for the main thread's Close and Unload calls at Stop. Stop's
  // watcher thread.
  void WatchStop() EXCLUDES(pluginsLock);

  // The body of OmbrevardReadCoreStats, on the running Core. Any thread;
  // takes pluginsLock only.
  int32_t ReadStats(CoreStats* stats, CorePluginStats* pluginStats, uint32_t capacity)
      EXCLUDES(pluginsLock);

  bool QueueEmpty() EXCLUDES(queueLock) {
    ScopedLock hold(&queueLock);
    return queue.empty();
  }
  // Records queued since Start; any thread.
  uint64_t RecordsQueued() const { return postsQueued.load(std::memory_order_relaxed); }
  // Scheduler thread, once the queue has been empty a while: its spare
  // storage goes back to the allocator.
  void TrimQueue() EXCLUDES(queueLock) {
    {
      ScopedLock hold(&queueLock);
      queue.Trim();
    }
    DropSpareBlock();
  }
  pt::trigger* WakeTriggerForHandler() EXCLUDES(queueLock) {
    ScopedLock hold(&queueLock);
    return wakeTrigger;
  }
  bool Throttling() const { return throttling.load(); }

 private:
  friend class CoreInspector;  // tests look at the state through it

  bool LoadPlugins();
  void OpenPlugins();
  bool PublishModuleStatus();
  void StartEventHandler();
  void StopEventHandler();
  void StartScheduler();
  void StopScheduler();
  void EndThread(pt::thread* thread, bool wakeHandler);
  void ClosePlugins();
  void UnloadPlugins();
  // The Core becomes the one OmbrevardReadCoreStats reads (from Start), and
  // stops being it (at the end of Stop, once no reader is left in it).
  void OpenStats();
  void CloseStats();
  const PluginRecord* Callee(uintptr_t word) const;
  void ReportStall(const StallNews& news, const char* stallMessage, wxString* stalled)
      EXCLUDES(pluginsLock);
  void CountPost(int32_t result);

  bool LoadOne(const wxString& directory, const wxString& name, std::vector<uint32_t>* accepted);
  void WaitForCalls();
  static void KeepForever(const PluginRecord& record);

  int32_t PostOrdinary(const EventRecord& event);
  void PostRelease(const EventRecord& event);
  int32_t StartStream(const EventRecord& event);
  bool TakeGate(Stream* stream);
  void DispatchStreamStart(const EventRecord& event) EXCLUDES(pluginsLock);
  void LaunchReads(const ReadRequest& request, const EventRecord* event) EXCLUDES(pluginsLock);
  void PostFromCore(const std::string& text, uint32_t flags, uint32_t type);
  enum class AppendResult { kQueued, kFull, kClosed, kNoMemory };
  AppendResult Append(const EventRecord& event, const PostDecision& decided) EXCLUDES(queueLock);
  bool Admits(uint64_t cost, uint32_t source) REQUIRES(queueLock);
  EventQueue::Chunk* TakeEvents(EventQueue::Chunk* done, bool sleepIfEmpty) EXCLUDES(queueLock);
  bool PostArrivesSoon();
  void LetPostsGather(uint64_t seen);
  bool PostArrivesAfterYield(uint64_t seen);
  bool PostArrivesDuringNap(uint64_t seen);
  bool PostsCameDuringNap(uint64_t seen);
  void PutBack(EventQueue::Chunk* chunk) EXCLUDES(queueLock);
  void WakeHandler() EXCLUDES(queueLock);
  void DeliverTo(PluginRecord& plugin, const EventRecord& record, uint32_t key,
                 const WriteRequest& writeRequest);
  void CallWrite(PluginRecord& plugin, PluginEntry write, const EventRecord& record,
                 const WriteRequest& writeRequest);
  void EndCall(uint32_t id, const EventRecord& record, uint32_t keep);
  // A payload copy of `size` bytes, not yet filled: the spare block when it
  // fits, otherwise from the heap. Null when there is no memory. Any thread.
  void* NewCopy(uint32_t size);
  // A copy of `size` bytes is no longer used: the spare block when large,
  // otherwise freed. Then the stream's gate, if any, opens.
  void FreePayload(void* payload, uint32_t size, Stream* stream);
  static void FreeCopy(void* payload);  // frees one payload copy of the Core's
  void DropSpareBlock();

  // What posters write on every post, on cache lines of their own: the
  // delivery thread reads the plug-in list and the stop flag for every
  // record, and a line it reads that every poster also writes would move
  // between the two CPUs at each post.
  // queueLock spins before it sleeps: every post and every take holds it
  // briefly, and a poster and the handler on two CPUs would otherwise meet
  // on it in the kernel, a wait and a wake-up per meeting.
  alignas(64) Mutex queueLock;
  // Borrowed from triggerStorage; set only between Start and Stop.
  pt::trigger* wakeTrigger GUARDED_BY(queueLock);
  EventQueue queue GUARDED_BY(queueLock);
  // What becomes of a post. kClosed before Start and from the moment
  // delivery ends: nothing would deliver a record any more, so posts are
  // refused rather than answered POST_OK and dropped.
  enum class QueueState { kOpen, kClosed };
  QueueState queueState GUARDED_BY(queueLock);
  uint64_t queuedBytes GUARDED_BY(queueLock);  // QueuedCost of every record in `queue`
  // Set by the handler when it found the queue empty and is about to wait;
  // the next append wakes it and clears it. While it is busy, appends post
  // nothing: it looks at the queue again before it waits.
  bool handlerAsleep GUARDED_BY(queueLock);
  // The CPU the handler last took records on (-1: not known).
  int handlerCpu GUARDED_BY(queueLock);
  // The CPU the last record was queued from (-1: not known): written under
  // queueLock, read by the handler without it.
  std::atomic<int> lastPosterCpu;
  // Whether the last record queued travels on a stream; as lastPosterCpu.
  std::atomic<bool> lastPostOnStream;
  QueueLimits queueLimits GUARDED_BY(queueLock);  // read from the environment at Start
  // Builds that check memory (ASan, valgrind) bring their own allocator, and
  // a reused block would hide from them a plug-in's use of a payload it no
  // longer holds. ThreadSanitizer builds keep the reuse, to check its hand-over.
#if defined(OMBREVARD_NO_TCMALLOC) && !defined(OMBREVARD_SANITIZE_THREAD)
  static constexpr bool kRecycleBlocks = false;
#else
  static constexpr bool kRecycleBlocks = true;
#endif
  // A large payload block freed by delivery and kept for the next large post:
  // a steady stream of frames of one size then reuses a warm block instead of
  // taking one from the heap's page lists, and faulting in the pages the
  // heap gave back meanwhile, for every frame. At most one, dropped when the
  // queue is trimmed. Owned; exchanged atomically by posters and delivery.
  alignas(64) std::atomic<void*> spareBlock;
  // Owned; made by the first Start and kept until the Core is destroyed, so
  // that a poster may post it after letting go of queueLock.
  alignas(64) pt::trigger* triggerStorage;
  // Changed only on the main thread, under pluginsLock. The event handler and
  // the scheduler read it without the lock (it does not change while they
  // run); stream starts from other threads read it under the lock.
  std::vector<PluginRecord> plugins;
  EventHandlerThread* eventHandler;  // owned; null when not running
  // The sinks in `plugins`, in list order: made before the event handler
  // starts and read by it alone while it runs, as `plugins` stays the same.
  std::vector<SinkEntry> sinks;
  SchedulerThread* scheduler;        // owned; null when not running
  // Set by Stop before it signals the event handler; read once per record.
  std::atomic<bool> deliveryEnding;
  // Event handler thread only: the spin of PostArrivesSoon and the wait of
  // LetPostsGather, in pause instructions; whether PostArrivesAfterYield
  // yields and PostArrivesDuringNap naps (1) or not (0); and the QueuedCost
  // of the records taken since the handler last found the queue empty after
  // its spin.
  AdaptiveWait linger;
  AdaptiveWait gather;
  AdaptiveWait yielding;
  AdaptiveWait napping;
  uint64_t bytesSinceYield;
  // Event handler thread only: whether a chunk of records like those taken
  // last weighs no more than kSmallChunkBytes.
  bool lastTakeSmall;
  // Posts refused for a full queue since the last report.
  std::atomic<uint64_t> refusedPosts;
  PayloadRefs payloadRefs;
  StreamTable streamTable;
  wxFileName executable;  // absolute and normalised; never changed
  std::atomic<bool> throttling;  // written by the scheduler, read by posters
  int32_t lowSince;              // scheduler thread only
  Mutex pluginsLock;
  int abandonedLibraries;  // main thread; libraries left loaded for running calls

  // Statistics. The other posts by result, on a cache line of their own:
  // every poster adds to them (relaxed fetch_add), and nothing the delivery
  // thread writes per event shares the line.
  alignas(64) std::atomic<uint64_t> posts[CORE_STATS_POST_RESULTS];
  std::atomic<uint64_t> noticesPosted;
  std::atomic<uint64_t> postersWaiting;  // on a stream's gate, now
  std::atomic<int64_t> startedAt;        // monotonic milliseconds; set by Start
  std::atomic<uint64_t> memoryBytes;     // written by the scheduler
  std::atomic<uint64_t> throttledMs;     // written by the scheduler
  int64_t throttledSince;                // scheduler thread only; 0 when not throttling
  int stallThreshold;                    // milliseconds; set by Start before the watchers run
  // Counted as records are queued, under queueLock (so by load and store),
  // read without it; on a line of their own, which posters write and the
  // delivery thread never touches. Ordinary posts queued are most posts, and
  // cost no locked add of their own here.
  alignas(64) std::atomic<uint64_t> postsQueued;
  std::atomic<uint64_t> bytesCopied;  // payload bytes of the posts queued
  std::atomic<uint64_t> queueHighWater;
  // Written by the delivery thread: the watch word at each Write and IOCTL
  // call, and the records taken out of the queue (under queueLock, which
  // DrainQueue on the main thread takes too). Depth is queued minus taken.
  alignas(64) StallWatch deliveryWatch;
  std::atomic<uint64_t> queueTaken;
  StallSampler deliverySampler;  // scheduler thread only
  wxString deliveryStalled;      // scheduler thread only; the plug-in of the stall reported
  StallWatch stopWatch;          // main thread, around Close and Unload
  StallSampler stopSampler;      // Stop's watcher thread only
  wxString stopStalled;          // Stop's watcher thread only
};

#endif  // CORE_CORE_H_
