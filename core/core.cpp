// Core lifecycle: construction, the start and stop sequences, the two
// long-lived threads and the closing of the plug-ins.
#include "core/core.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include <wx/datetime.h>
#include <wx/log.h>

#include "core/event_handler_thread.h"
#include "core/payload_copy.h"
#include "core/scheduler_thread.h"
#include "threads/pt.h"

std::atomic<Core*> Core::instance{nullptr};

const char kCallsStillRunningMessage[] =
    "plugin %s still runs %d call(s) after Unload; its library stays loaded";
const char kDiscardedAtStopMessage[] = "discarded %lu queued event(s) at stop";

Core::Core(const wxFileName& path)
    : queueLock(Mutex::SpinFirst{}),
      wakeTrigger(nullptr),
      queueState(QueueState::kClosed),
      queuedBytes(0),
      handlerAsleep(true),
      handlerCpu(-1),
      lastPosterCpu(-1),
      lastPostOnStream(false),
      spareBlock(nullptr),
      triggerStorage(nullptr),
      eventHandler(nullptr),
      scheduler(nullptr),
      deliveryEnding(false),
      linger(kLingerPauses),
      gather(kGatherFirst),
      yielding(1),
      napping(1),
      bytesSinceYield(0),
      lastTakeSmall(true),
      refusedPosts(0),
      executable(path),
      throttling(false),
      lowSince(0),
      abandonedLibraries(0),
      posts{},
      noticesPosted(0),
      postersWaiting(0),
      startedAt(0),
      memoryBytes(0),
      throttledMs(0),
      throttledSince(0),
      stallThreshold(kDefaultStallMilliseconds),
      postsQueued(0),
      bytesCopied(0),
      queueHighWater(0),
      queueTaken(0) {
  ChooseLargeCopy();  // once per process, before any post can copy
  instance.store(this);
}

Core::~Core() {
  // Nothing may reach this Core through PostEvent any more.
  Core* self = this;
  instance.compare_exchange_strong(self, nullptr);
  CloseStats();  // only left open by a started Core that never stopped
  // Records are only left over when a post slipped in after Stop drained the
  // queue; their payload copies are ours.
  queue.ForEach([](const QueuedEvent& event) { FreeCopy(event.record.payload); });
  // Payloads still kept by plug-ins: every plug-in is gone by now, so nobody
  // can use or release them any more.
  if (abandonedLibraries == 0) {
    for (void* payload : payloadRefs.TakeAll()) FreeCopy(payload);
  }
  DropSpareBlock();
  delete triggerStorage;
}

bool Core::Start() {
  {
    ScopedLock hold(&queueLock);
    if (wakeTrigger != nullptr) return true;  // already running
    if (triggerStorage == nullptr) {
      triggerStorage = new pt::trigger(true, false);
    } else {
      triggerStorage->reset();  // a wake-up left from the previous run means nothing now
    }
    wakeTrigger = triggerStorage;
    queueState = QueueState::kOpen;
    handlerAsleep = true;  // until it has looked at the queue
    queueLimits = ReadQueueLimits();
  }
  deliveryEnding.store(false);
  {
    ScopedLock hold(&pluginsLock);
    plugins.clear();
  }
  throttling.store(false);
  lowSince = 0;
  throttledSince = 0;
  stallThreshold = ReadStallThreshold();
  startedAt.store(MonotonicMilliseconds());
  OpenStats();  // plug-ins may read the counters from their Load on
  (void)LoadPlugins();  // no plug-in folder is no failure: the Core runs without plug-ins
  OpenPlugins();
  (void)PublishModuleStatus();  // always posts
  StartEventHandler();
  StartScheduler();
  return true;
}

void Core::Stop() {
  StopScheduler();
  StopEventHandler();
  DrainQueue();  // the event handler did it already, if one ran
  ReportRefusedPosts();
  // The scheduler, which watches delivery, is gone: a thread of its own
  // names a plug-in whose Close or Unload keeps Stop waiting.
  StopWatchThread* watcher = nullptr;
  if (!plugins.empty()) {
    watcher = new StopWatchThread(this);
    watcher->start();
  }
  ClosePlugins();
  UnloadPlugins();
  if (watcher != nullptr) {
    watcher->signal();  // cuts its wait short
    delete watcher;     // joins
  }
  CloseStats();
  // The trigger itself stays until destruction: a poster that appended just
  // before the queue closed may still be posting it.
  ScopedLock hold(&queueLock);
  wakeTrigger = nullptr;
}

void Core::OpenPlugins() {
  for (PluginRecord& record : plugins) {
    if (record.library == nullptr || record.open == nullptr) continue;
    auto request = MakePluginBlock<OpenRequest>();
    auto reply = MakePluginBlock<OpenReply>();
    int64_t started = MonotonicMicroseconds();
    wxLongLong before = wxDateTime::UNow().GetValue();
    int32_t code = record.open(&request, &reply);
    wxLongLong after = wxDateTime::UNow().GetValue();
    int64_t ended = MonotonicMicroseconds();
    // Under the lock: the statistics call reads the records from any thread.
    ScopedLock hold(&pluginsLock);
    record.openTime = (after - before).GetValue();
    record.openMicros = ended - started;
    record.openCode = code;
  }
}

void Core::StartEventHandler() {
  sinks.clear();
  for (PluginRecord& plugin : plugins) {
    if (plugin.library == nullptr || plugin.descriptor.eventSink == 0 || plugin.write == nullptr) {
      continue;
    }
    SinkEntry sink;
    sink.write = plugin.write;
    sink.plugin = &plugin;
    memcpy(sink.subscriptionMask, plugin.descriptor.subscriptionMask, sizeof(sink.subscriptionMask));
    sinks.push_back(sink);
  }
  eventHandler = new EventHandlerThread(this);
  eventHandler->start();
}

void Core::StopEventHandler() {
  if (eventHandler == nullptr) return;
  deliveryEnding.store(true);     // seen between two records, however full the queue
  EndThread(eventHandler, true);  // its wait is on the wake trigger
  eventHandler = nullptr;
}

void Core::StartScheduler() {
  scheduler = new SchedulerThread(this);
  scheduler->start();
}

void Core::StopScheduler() {
  if (scheduler == nullptr) return;
  EndThread(scheduler, false);  // its relax is cut short by the signal itself
  scheduler = nullptr;
}

// Main thread. The one way a long-lived thread ends: signal it, wake what it
// waits on, wait for `finished` (woken as the body ends, looking again at
// least every 100 ms), then delete it (which joins).
void Core::EndThread(pt::thread* thread, bool wakeHandler) {
  thread->signal();
  if (wakeHandler) WakeHandler();
  while (!thread->await_finished(kThreadEndLookMilliseconds)) {
  }
  delete thread;
}

void Core::ClosePlugins() {
  {
    ScopedLock hold(&pluginsLock);
    std::sort(plugins.begin(), plugins.end(), [](const PluginRecord& a, const PluginRecord& b) {
      return a.descriptor.subscriptionMask[PLUGIN_MASK_CLOSE_ORDER] >
             b.descriptor.subscriptionMask[PLUGIN_MASK_CLOSE_ORDER];
    });
  }
  for (const PluginRecord& record : plugins) {
    if (record.library == nullptr || record.close == nullptr) continue;
    auto request = MakePluginBlock<CloseRequest>();
    auto reply = MakePluginBlock<CloseReply>();
    stopWatch.Enter(&record, StallWatch::kClose);
    (void)record.close(&request, &reply);
    stopWatch.Leave();
  }
}

// Main thread. Every Unload first, then one wait for the calls of every
// plug-in still running on threads of their own, then the libraries close:
// plug-ins whose calls stall share one deadline instead of adding one each.
void Core::UnloadPlugins() {
  for (const PluginRecord& record : plugins) {
    if (record.library == nullptr) continue;
    {
      // From here on no stream start reaches this plug-in's Read.
      ScopedLock hold(&pluginsLock);
      record.calls->closing.store(true, std::memory_order_relaxed);
    }
    if (record.unload != nullptr) {
      auto request = MakePluginBlock<UnloadRequest>();
      auto reply = MakePluginBlock<UnloadReply>();
      stopWatch.Enter(&record, StallWatch::kUnload);
      (void)record.unload(&request, &reply);
      stopWatch.Leave();
    }
  }
  WaitForCalls();
  for (size_t i = 0; i < plugins.size(); i++) {
    PluginRecord record = plugins[i];
    if (record.library == nullptr) continue;
    {
      // Stream starts from other plug-ins' threads still walk the list: they
      // must see the record gone before its library and counter are.
      ScopedLock hold(&pluginsLock);
      plugins[i].library = nullptr;
      plugins[i].calls = nullptr;
    }
    payloadRefs.Unregister(record.descriptor.id);  // its counters go now, or stay unread
    int running = record.calls->running.load();
    if (running == 0) {
      record.library->Unload();
      delete record.library;
      delete record.calls;
    } else {
      // The library and the counter stay for the calls still running in them,
      // for the rest of the process.
      wxLogWarning(kCallsStillRunningMessage, record.fileName, running);
      KeepForever(record);
      abandonedLibraries++;
    }
  }
  ScopedLock hold(&pluginsLock);
  plugins.clear();
}

// Main thread. Keeps a plug-in's library open and its call counter alive for
// as long as the process runs, for calls that outlived its Unload.
void Core::KeepForever(const PluginRecord& record) {
  static std::vector<PluginRecord>* kept = new std::vector<PluginRecord>();
  kept->push_back(record);
}

// Main thread. Returns once no plug-in's call on a thread of its own still
// runs, or after kCallDrainMilliseconds: rather than pull the code out from
// under a running call, its library then stays loaded.
void Core::WaitForCalls() {
  int64_t endBy = MonotonicMilliseconds() + kCallDrainMilliseconds;
  for (;;) {
    bool busy = false;
    for (const PluginRecord& record : plugins) {
      if (record.library != nullptr && record.calls->running.load() != 0) busy = true;
    }
    if (!busy || MonotonicMilliseconds() >= endBy) return;
    pt::msleep(10);
  }
}

int64_t MonotonicMilliseconds() { return MonotonicMicroseconds() / 1000; }

int64_t MonotonicMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void Core::DrainQueue() {
  EventQueue left;
  {
    ScopedLock hold(&queueLock);
    queueState = QueueState::kClosed;
    left.swap(queue);
    queuedBytes = 0;
    Bump(queueTaken, left.size());
  }
  if (left.empty()) return;
  // Each free opens the record's stream gate too, so no poster stays blocked.
  left.ForEach([this](const QueuedEvent& event) {
    FreePayload(event.record.payload, event.record.payloadSize, event.stream);
  });
  wxLogWarning(kDiscardedAtStopMessage, static_cast<unsigned long>(left.size()));
}
