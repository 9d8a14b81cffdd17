// gst_source.so: media sources made of GStreamer pipelines.
//
// Settings (gst_source.conf beside the plug-in), one group per source:
//
//   [source NAME]
//   pipeline=<gst-launch description of the source part>
//   live=false
//
// The plug-in appends an appsink to each description. A consumer asks for a
// source by name with a media stream start request (core/media.h); Read then
// posts the pipeline's buffers on that stream as media payloads, in order,
// and a payload flagged end-of-stream after the last. A source that is not
// live runs its pipeline once for each request; a live one runs from Open on
// and serves every request from the next keyframe (live_source.h). A request
// for a name this plug-in does not have is left to other producers.
//
// Open answers 0 (also when idle: no settings file, or no source in it), 1
// for settings it cannot use, 2 when GStreamer cannot start.
//
// Threads: Load, Open, Close, Unload on the main thread; Read on a thread of
// its own per call, any number at once; each live source's pipeline thread.
// What they share is guarded by `lock`.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/media.h"
#include "core/plugin_api.h"
#include "modules/common/plugin_log.h"
#include "modules/common/plugin_settings.h"
#include "modules/media/gst_util.h"
#include "modules/media/live_source.h"
#include "modules/media/media_poster.h"
#include "modules/media/source_pipeline.h"

namespace {

using plugin_common::PluginSettings;
using plugin_common::SettingType;

constexpr uint32_t kSourceId = 0x004D0001u;
constexpr auto kRetryPause = std::chrono::milliseconds(50);
constexpr auto kCloseWait = std::chrono::seconds(5);

const plugin_common::PluginLog kLog("gst_source");

const std::vector<plugin_common::SettingGroup> kGroups = {
    {"source",
     true,
     {{"pipeline", SettingType::kText, nullptr}, {"live", SettingType::kBoolean, "false"}}},
};

struct Source {
  std::string name;
  std::string pipeline;
  bool live = false;
  std::unique_ptr<media::LiveSource> running;  // live sources, from Open to Unload
};

PostEventFunction postEvent;                              // set in Load; read-only afterwards
media::StreamMeter meter("source", "source", kSourceId);  // frames posted, for /metrics

std::mutex lock;
std::condition_variable changed;  // stopping, reads or streams changed
std::vector<Source> sources;      // guarded by lock; set once in Open, cleared in Unload
bool stopping = false;            // guarded by lock: Close has begun
int reads = 0;                    // guarded by lock: Read calls serving a stream
std::multiset<uint32_t> streams;  // guarded by lock: the streams they serve

bool Stopping() {
  std::lock_guard<std::mutex> hold(lock);
  return stopping;
}

// Posts one sample of a source that can wait: while memory is short the post
// is made again a little later, until it goes through or the plug-in closes.
int32_t PostPatiently(media::MediaPoster* poster, GstSample* sample) {
  for (;;) {
    int32_t result = poster->PostSample(sample, 0, 0);
    if (result != POST_THROTTLED && result != POST_NO_MEMORY) return result;
    std::unique_lock<std::mutex> hold(lock);
    if (changed.wait_for(hold, kRetryPause, [] { return stopping; })) return POST_NO_STREAM;
  }
}

// One run of a source that is not live, for one stream.
void ServeOnce(const Source& source, media::MediaPoster* poster) {
  media::SourcePipeline pipeline;
  std::string error;
  if (!pipeline.Build(source.pipeline, false, &error)) {
    kLog.Error("source %s: bad pipeline: %s", source.name.c_str(), error.c_str());
    (void)poster->PostEnd();  // the consumer ends its output; nothing more to do if it cannot
    return;
  }
  bool refused = false;
  media::SourcePipeline::End end = pipeline.Run(
      [&](GstSample* sample) {
        refused = PostPatiently(poster, sample) == POST_NO_STREAM;
        return !refused;
      },
      Stopping,
      [&](const std::string& text) {
        kLog.Warning("source %s: %s", source.name.c_str(), text.c_str());
      },
      &error);
  if (end == media::SourcePipeline::End::kError) {
    kLog.Error("source %s: %s", source.name.c_str(), error.c_str());
  }
  // After an error too, so that the consumer completes what it has.
  if (!refused && end != media::SourcePipeline::End::kStopped) (void)poster->PostEnd();
}

// Ends every stream and live pipeline, and waits up to `limit` for the Read
// calls to return; false when some still run.
bool StopServing(std::chrono::seconds limit) {
  std::vector<uint32_t> serving;
  {
    std::lock_guard<std::mutex> hold(lock);
    stopping = true;
    serving.assign(streams.begin(), streams.end());
  }
  changed.notify_all();
  // A Read call waiting on a stream's gate wakes when the stream is stopped.
  for (uint32_t stream : serving) media::PostStreamStop(postEvent, stream);
  for (Source& source : sources) {
    if (source.running != nullptr) source.running->Stop();
  }
  std::unique_lock<std::mutex> hold(lock);
  return changed.wait_for(hold, limit, [] { return reads == 0; });
}

}  // namespace

extern "C" {

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  postEvent = static_cast<const LoadRequest*>(request)->postEvent;
  meter.SetPost(postEvent);
  PluginDescriptor* descriptor = static_cast<PluginDescriptor*>(reply);
  descriptor->id = kSourceId;
  descriptor->subscriptionMask[0] = EventDirectKey(MEDIA_EVENT_TYPE);  // media stream starts
  descriptor->readThread = 1;
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  PluginSettings settings(kLog);
  int32_t code = 0;
  if (!settings.LoadForOpen(reinterpret_cast<const void*>(&Open), kGroups, &code)) return code;
  if (!media::InitGStreamer(kLog)) return 2;
  std::vector<Source> loaded(settings.Sections().size());
  std::string names;
  for (size_t i = 0; i < loaded.size(); i++) {
    const plugin_common::SettingSection& section = settings.Sections()[i];
    loaded[i].name = section.Name();
    loaded[i].pipeline = section.Text("pipeline");
    loaded[i].live = section.Boolean("live");
    if (loaded[i].live) {
      loaded[i].running.reset(new media::LiveSource(loaded[i].name, loaded[i].pipeline, kLog));
      loaded[i].running->Start();
    }
    names += (i == 0 ? "" : ", ") + loaded[i].name + (loaded[i].live ? " (live)" : "");
  }
  {
    // A Core started again in this process finds the library as it was left.
    std::lock_guard<std::mutex> hold(lock);
    sources = std::move(loaded);
    stopping = false;
  }
  kLog.Info("sources: %s", names.c_str());
  return 0;
}

PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  (void)reply;
  const ReadRequest* read = static_cast<const ReadRequest*>(request);
  if (read->stream == 0 || read->payload == nullptr || read->payloadSize == 0) return 0;
  std::string name(static_cast<const char*>(read->payload), read->payloadSize);
  const Source* source = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock);
    if (stopping) return 0;
    for (const Source& candidate : sources) {
      if (candidate.name == name) source = &candidate;
    }
    if (source == nullptr) return 0;  // another producer's, perhaps
    reads++;
    streams.insert(read->stream);
  }
  media::MediaPoster poster(postEvent, kSourceId, read->stream);
  poster.Meter(&meter, name);
  if (source->live) {
    uint64_t dropped = source->running->Serve(&poster);
    if (dropped > 0) {
      kLog.Warning("source %s: stream 0x%08X ended; %llu frames dropped for it", name.c_str(),
                   read->stream, static_cast<unsigned long long>(dropped));
    }
  } else {
    ServeOnce(*source, &poster);
  }
  {
    std::lock_guard<std::mutex> hold(lock);
    reads--;
    streams.erase(streams.find(read->stream));
  }
  changed.notify_all();
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  if (!StopServing(kCloseWait)) kLog.Warning("still waiting for streams to end");
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  // No Read call may outlive this one.
  while (!StopServing(kCloseWait)) kLog.Warning("still waiting for streams to end");
  std::lock_guard<std::mutex> hold(lock);
  sources.clear();
  return 0;
}

}  // extern "C"
