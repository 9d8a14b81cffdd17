// Core lifecycle: construction, the start and stop sequences, the two
// long-lived threads and the closing of the plug-ins.
#include "core/core.h"

#include <stdlib.h>

#include <algorithm>

#include <wx/datetime.h>
#include <wx/log.h>

#include "core/event_handler_thread.h"
#include "core/scheduler_thread.h"
#include "threads/pt.h"

std::atomic<Core*> Core::instance{nullptr};

const char kCallsStillRunningMessage[] =
    "plugin %s still runs %d call(s) after Unload; its library stays loaded";

Core::Core(const wxFileName& path)
    : wakeTrigger(nullptr),
      triggerStorage(nullptr),
      eventHandler(nullptr),
      scheduler(nullptr),
      queueState(QueueState::kClosed),
      executable(path),
      throttling(false),
      lowSince(0),
      abandonedLibraries(0) {
  instance.store(this);
}

Core::~Core() {
  // Nothing may reach this Core through PostEvent any more.
  Core* self = this;
  instance.compare_exchange_strong(self, nullptr);
  // Records are only left over when a post slipped in after Stop drained the
  // queue; their payload copies are ours.
  for (const EventRecord& record : queue) FreeCopy(record.payload);
  // Payloads still kept by plug-ins: every plug-in is gone by now, so nobody
  // can use or release them any more.
  if (abandonedLibraries == 0) {
    for (void* payload : payloadRefs.TakeAll()) FreeCopy(payload);
  }
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
  }
  {
    ScopedLock hold(&pluginsLock);
    plugins.clear();
  }
  throttling.store(false);
  lowSince = 0;
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
  DiscardQueued();
  ClosePlugins();
  UnloadPlugins();
  DrainQueue();
  // The trigger itself stays until destruction: a poster that appended just
  // before DrainQueue closed the queue may still be posting it.
  ScopedLock hold(&queueLock);
  wakeTrigger = nullptr;
}

void Core::OpenPlugins() {
  for (PluginRecord& record : plugins) {
    if (record.library == nullptr || record.open == nullptr) continue;
    auto request = MakePluginBlock<OpenRequest>();
    auto reply = MakePluginBlock<OpenReply>();
    wxLongLong before = wxDateTime::UNow().GetValue();
    int32_t code = record.open(&request, &reply);
    wxLongLong after = wxDateTime::UNow().GetValue();
    record.openTime = (after - before).GetValue();
    record.openCode = code;
  }
}

void Core::StartEventHandler() {
  eventHandler = new EventHandlerThread(this);
  eventHandler->start();
}

void Core::StopEventHandler() {
  if (eventHandler == nullptr) return;
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
// waits on, look at `finished` every 100 ms, then delete it (which joins).
void Core::EndThread(pt::thread* thread, bool wakeHandler) {
  thread->signal();
  if (wakeHandler) WakeHandler();
  while (!thread->get_finished()) pt::msleep(100);
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
    (void)record.close(&request, &reply);
  }
}

void Core::UnloadPlugins() {
  for (size_t i = 0; i < plugins.size(); i++) {
    PluginRecord record = plugins[i];
    if (record.library == nullptr) continue;
    {
      // From here on no stream start reaches this plug-in's Read.
      ScopedLock hold(&pluginsLock);
      record.calls->closing.store(true, std::memory_order_relaxed);
    }
    if (record.unload != nullptr) {
      auto request = MakePluginBlock<UnloadRequest>();
      auto reply = MakePluginBlock<UnloadReply>();
      (void)record.unload(&request, &reply);
    }
    bool idle = WaitForCalls(record);
    {
      // Stream starts from other plug-ins' threads still walk the list: they
      // must see the record gone before its library and counter are.
      ScopedLock hold(&pluginsLock);
      plugins[i].library = nullptr;
      plugins[i].calls = nullptr;
    }
    if (idle) {
      record.library->Unload();
      delete record.library;
      delete record.calls;
    } else {
      // The library and the counter stay for the calls still running in them,
      // for the rest of the process.
      wxLogWarning(kCallsStillRunningMessage, record.fileName, record.calls->running.load());
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

// Main thread. True once none of the plug-in's calls on threads of their own
// still runs; false when some still do after kCallDrainMilliseconds, rather
// than pull the code out from under a running call.
bool Core::WaitForCalls(const PluginRecord& record) {
  for (int waited = 0; record.calls->running.load() != 0 && waited < kCallDrainMilliseconds;
       waited += 10) {
    pt::msleep(10);
  }
  return record.calls->running.load() == 0;
}

// Main thread, once the event handler has ended: what is queued now and what
// is posted from here on will never be delivered.
void Core::DiscardQueued() {
  std::deque<EventRecord> left;
  {
    ScopedLock hold(&queueLock);
    queueState = QueueState::kDiscarding;
    left.swap(queue);
  }
  for (const EventRecord& record : left) FreePayload(record.payload, record.stream);
}

void Core::DrainQueue() {
  for (;;) {
    EventRecord record;
    {
      ScopedLock hold(&queueLock);
      if (queue.empty()) {
        queueState = QueueState::kClosed;
        return;
      }
      record = queue.front();
      queue.pop_front();
    }
    // Opens the stream's gate too, so no poster stays blocked on it.
    FreePayload(record.payload, record.stream);
  }
}
