#include "core/stall_watch.h"

#include <limits.h>

#include <wx/log.h>

#include "core/core.h"
#include "core/queue_limits.h"
#include "core/thread_log.h"

const char kStallVariable[] = "OMBREVARD_STALL_MS";
const char kDeliveryStallMessage[] = "plugin %s has been in %s for %d ms; delivery is waiting";
const char kStopStallMessage[] = "plugin %s has been in %s for %d ms; stop is waiting";
const char kStallReturnMessage[] = "plugin %s returned from %s after %d ms";

int ReadStallThreshold() {
  uint64_t value = ReadPositiveVariable(kStallVariable, kDefaultStallMilliseconds);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

const char* StallWatch::EntryName(uint32_t entry) {
  static const char* const kNames[4] = {"Write", "IOCTL", "Close", "Unload"};
  return kNames[entry & 3u];
}

StallNews StallSampler::Sample(uintptr_t word, uint64_t returned, int64_t now,
                               int thresholdMilliseconds) {
  StallNews news;
  if (word != seen || returned != seenReturned) {
    // The call seen before has returned; if it was reported, say so.
    if (reported) {
      news.kind = StallNews::kReturned;
      news.callee = StallWatch::Callee(seen);
      news.entry = StallWatch::EntryOf(seen);
      news.milliseconds = static_cast<int>(now - seenSince);
    }
    seen = word;
    seenReturned = returned;
    seenSince = now;
    reported = false;
    return news;
  }
  // Timed from the first sample that saw the call, so a call reported as a
  // stall has certainly run for the threshold.
  if (StallWatch::InCall(word) && !reported && now - seenSince >= thresholdMilliseconds) {
    reported = true;
    news.kind = StallNews::kStalled;
    news.callee = StallWatch::Callee(word);
    news.entry = StallWatch::EntryOf(word);
    news.milliseconds = static_cast<int>(now - seenSince);
  }
  return news;
}

StopWatchThread::~StopWatchThread() { waitfor(); }

void StopWatchThread::execute() {
  BindThreadToActiveLog();
  while (!relax(kStallSampleMilliseconds)) core->WatchStop();
  core->WatchStop();  // the last call has returned by now: say so if it stalled
}

// The list does not change while the scheduler runs, so it is read here
// without pluginsLock.
void Core::WatchDelivery() {
  uintptr_t word = deliveryWatch.Read();
  uint64_t returned = 0;
  const PluginRecord* record = StallWatch::InCall(word) ? Callee(word) : nullptr;
  if (record != nullptr) {
    returned = __atomic_load_n(&record->writes, __ATOMIC_RELAXED) +
               __atomic_load_n(&record->ioctls, __ATOMIC_RELAXED);
  }
  StallNews news = deliverySampler.Sample(word, returned, MonotonicMilliseconds(), stallThreshold);
  ReportStall(news, kDeliveryStallMessage, &deliveryStalled);
}

void Core::WatchStop() {
  StallNews news =
      stopSampler.Sample(stopWatch.Read(), 0, MonotonicMilliseconds(), stallThreshold);
  ReportStall(news, kStopStallMessage, &stopStalled);
}

// The entry of `plugins` at the address a watch word names, or null when
// there is none there (any more). The caller keeps the list from changing.
const PluginRecord* Core::Callee(uintptr_t word) const {
  uintptr_t address = StallWatch::Callee(word);
  uintptr_t first = reinterpret_cast<uintptr_t>(plugins.data());
  if (address < first || address >= first + plugins.size() * sizeof(PluginRecord) ||
      (address - first) % sizeof(PluginRecord) != 0) {
    return nullptr;
  }
  return &plugins[(address - first) / sizeof(PluginRecord)];
}

// Looks the plug-in up under pluginsLock, since Stop's watcher runs while
// the main thread changes the list, and keeps its name in `stalled` for the
// return, which may come after the list is gone. Stalls in delivery are
// counted; only the scheduler counts them, so a plain store will do.
void Core::ReportStall(const StallNews& news, const char* stallMessage, wxString* stalled) {
  const char* entry = StallWatch::EntryName(news.entry);
  if (news.kind == StallNews::kReturned) {
    wxLogWarning(kStallReturnMessage, *stalled, entry, news.milliseconds);
    return;
  }
  if (news.kind != StallNews::kStalled) return;
  {
    ScopedLock hold(&pluginsLock);
    const PluginRecord* record = Callee(news.callee);
    if (record == nullptr) return;
    *stalled = record->fileName;
    if (stallMessage == kDeliveryStallMessage && record->calls != nullptr) {
      Bump(record->calls->counters.stalls);
    }
  }
  wxLogWarning(stallMessage, *stalled, entry, news.milliseconds);
}
