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

StallNews StallSampler::Sample(uint64_t word, int64_t now, int thresholdMilliseconds) {
  StallNews news;
  if (word != seen) {
    // The call seen before has returned; if it was reported, say so.
    if (reported) {
      news.kind = StallNews::kReturned;
      news.index = StallWatch::Index(seen);
      news.entry = StallWatch::EntryOf(seen);
      news.milliseconds = static_cast<int>(now - seenSince);
    }
    seen = word;
    seenSince = now;
    reported = false;
    return news;
  }
  // Timed from the first sample that saw the call, so a call reported as a
  // stall has certainly run for the threshold.
  if (StallWatch::InCall(word) && !reported && now - seenSince >= thresholdMilliseconds) {
    reported = true;
    news.kind = StallNews::kStalled;
    news.index = StallWatch::Index(word);
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

void Core::WatchDelivery() {
  StallNews news = deliverySampler.Sample(deliveryWatch.Read(), MonotonicMilliseconds(),
                                          stallThreshold);
  ReportStall(news, kDeliveryStallMessage, &deliveryStalled);
}

void Core::WatchStop() {
  StallNews news = stopSampler.Sample(stopWatch.Read(), MonotonicMilliseconds(), stallThreshold);
  ReportStall(news, kStopStallMessage, &stopStalled);
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
    if (news.index >= plugins.size()) return;
    const PluginRecord& record = plugins[news.index];
    *stalled = record.fileName;
    if (stallMessage == kDeliveryStallMessage && record.calls != nullptr) {
      Bump(record.calls->counters.stalls);
    }
  }
  wxLogWarning(stallMessage, *stalled, entry, news.milliseconds);
}
