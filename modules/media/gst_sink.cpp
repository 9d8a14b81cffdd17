// gst_sink.so: media consumers that feed GStreamer pipelines.
//
// Settings (gst_sink.conf beside the plug-in), one group per output:
//
//   [output NAME]
//   source=<source NAME to ask for>
//   pipeline=<gst-launch description of the rest; an appsrc goes in front>
//
// Open builds and plays each output's pipeline; the Read call the Core makes
// when its scheduler starts asks for each output's source on a stream of its
// own (MediaStreamHandle of this plug-in's id and the output's number). Write
// hands each payload to its output without copying and keeps it until
// GStreamer lets go of it (sink_output.h, payload_memory.h). At the end of a
// stream, and at Close, each output sends the end of the stream down its
// pipeline and the plug-in waits, up to kFinishWait, for the pipelines to
// finish, so that recordings are complete.
//
// Open answers 0 (also when idle), 1 for settings it cannot use, 2 when
// GStreamer cannot start.
//
// Threads: Load, Open, Close, Unload on the main thread; Write on the
// delivery thread; Read on a thread of its own; the watcher thread, which
// handles the pipelines' messages; GStreamer's threads, which release
// payloads. What they share is guarded by `lock`.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/media.h"
#include "core/plugin_api.h"
#include "modules/common/plugin_log.h"
#include "modules/common/plugin_settings.h"
#include "modules/media/gst_util.h"
#include "modules/media/payload_memory.h"
#include "modules/media/sink_output.h"
#include "modules/media/stream_meter.h"

namespace {

using media::SinkOutput;
using plugin_common::PluginSettings;
using plugin_common::SettingType;

constexpr uint32_t kSinkId = 0x004D0002u;
constexpr auto kFinishWait = std::chrono::seconds(3);
constexpr size_t kMostOutputs = 256;  // one stream handle each

const plugin_common::PluginLog kLog("gst_sink");

const std::vector<plugin_common::SettingGroup> kGroups = {
    {"output",
     true,
     {{"source", SettingType::kText, nullptr}, {"pipeline", SettingType::kText, nullptr}}},
};

PostEventFunction postEvent;                          // set in Load; read-only afterwards
media::StreamMeter meter("sink", "output", kSinkId);  // frames taken, for /metrics
// Made in Open, destroyed in Unload; read without the lock in between.
std::vector<std::unique_ptr<SinkOutput>> outputs;

std::mutex lock;
std::condition_variable changed;                           // any of the below, or an output stopped
std::deque<std::pair<SinkOutput*, GstMessage*>> messages;  // guarded by lock; owned references
size_t stopped = 0;     // guarded by lock: outputs stopped for good
bool watching = false;  // guarded by lock: the watcher thread runs
bool reading = false;   // guarded by lock: the scheduler-start Read runs
std::thread watcher;    // main thread only

void ReleasePayload(void* payload) {
  EventRecord record = MakePluginBlock<EventRecord>();
  record.payload = payload;
  record.source = kSinkId;
  record.flags = EVENT_RELEASE;
  EventResult result = MakePluginBlock<EventResult>();
  postEvent(&record, &result);
}

void Forward(SinkOutput* output, GstMessage* message) {
  {
    std::lock_guard<std::mutex> hold(lock);
    messages.emplace_back(output, message);
  }
  changed.notify_all();
}

void OutputStopped() {
  {
    std::lock_guard<std::mutex> hold(lock);
    stopped++;
  }
  changed.notify_all();
}

void Watch() {
  std::unique_lock<std::mutex> hold(lock);
  for (;;) {
    changed.wait(hold, [] { return !watching || !messages.empty(); });
    if (messages.empty()) return;
    std::pair<SinkOutput*, GstMessage*> next = messages.front();
    messages.pop_front();
    hold.unlock();
    next.first->OnMessage(next.second);
    gst_message_unref(next.second);
    hold.lock();
  }
}

// Ends every output: the end of the stream down each pipeline, a bounded wait
// for them to finish, then down with whatever is left, and the watcher.
void FinishOutputs() {
  for (std::unique_ptr<SinkOutput>& output : outputs) output->Finish();
  bool finished;
  {
    std::unique_lock<std::mutex> hold(lock);
    finished = changed.wait_for(hold, kFinishWait, [] { return stopped == outputs.size(); });
  }
  if (!finished) {
    kLog.Warning("outputs did not finish within %lld s; stopping them",
                 static_cast<long long>(kFinishWait.count()));
  }
  for (std::unique_ptr<SinkOutput>& output : outputs) output->Stop();
  {
    std::lock_guard<std::mutex> hold(lock);
    watching = false;
  }
  changed.notify_all();
  if (watcher.joinable()) watcher.join();
  std::lock_guard<std::mutex> hold(lock);
  for (auto& pending : messages) gst_message_unref(pending.second);
  messages.clear();
}

}  // namespace

extern "C" {

PLUGIN_EXPORT int32_t Load(void* request, void* reply) {
  postEvent = static_cast<const LoadRequest*>(request)->postEvent;
  meter.SetPost(postEvent);
  PluginDescriptor* descriptor = static_cast<PluginDescriptor*>(reply);
  descriptor->id = kSinkId;
  descriptor->subscriptionMask[0] = EventQueuedKey(MEDIA_EVENT_TYPE);  // media payloads
  descriptor->eventSink = 1;
  descriptor->readThread = 1;  // for the scheduler-start Read, which asks for the sources
  return 0;
}

PLUGIN_EXPORT int32_t Open(void* request, void* reply) {
  (void)request;
  (void)reply;
  PluginSettings settings(kLog);
  int32_t code = 0;
  if (!settings.LoadForOpen(reinterpret_cast<const void*>(&Open), kGroups, &code)) return code;
  const std::vector<plugin_common::SettingSection>& sections = settings.Sections();
  if (sections.size() > kMostOutputs) {
    settings.Reject(sections[kMostOutputs], nullptr, "more than 256 outputs");
    return 1;
  }
  if (!media::InitGStreamer(kLog)) return 2;
  media::SetPayloadRelease(ReleasePayload);
  SinkOutput::Context context{&kLog, postEvent, Forward, OutputStopped};
  {
    // A Core started again in this process finds the library as it was left.
    std::lock_guard<std::mutex> hold(lock);
    watching = true;
    stopped = 0;
  }
  watcher = std::thread(Watch);
  std::string names;
  for (size_t i = 0; i < sections.size(); i++) {
    uint32_t stream = MediaStreamHandle(kSinkId, static_cast<uint32_t>(i));
    outputs.emplace_back(new SinkOutput(sections[i].Name(), sections[i].Text("source"),
                                        sections[i].Text("pipeline"), stream, context));
    if (outputs.back()->Start()) {
      names +=
          (names.empty() ? "" : ", ") + sections[i].Name() + " <- " + sections[i].Text("source");
    }
  }
  if (!names.empty()) kLog.Info("outputs: %s", names.c_str());
  return 0;
}

PLUGIN_EXPORT int32_t Read(void* request, void* reply) {
  (void)reply;
  if (static_cast<const ReadRequest*>(request)->stream != 0) return 0;  // not a media request
  {
    std::lock_guard<std::mutex> hold(lock);
    if (!watching) return 0;  // idle, or closing
    reading = true;
  }
  // Every plug-in is open by now, so the sources can answer.
  for (std::unique_ptr<SinkOutput>& output : outputs) output->Request();
  {
    std::lock_guard<std::mutex> hold(lock);
    reading = false;
  }
  changed.notify_all();
  return 0;
}

PLUGIN_EXPORT int32_t Write(void* request, void* reply) {
  const WriteRequest* event = static_cast<const WriteRequest*>(request);
  if (event->type != MEDIA_EVENT_TYPE || event->stream == 0) return 0;
  for (std::unique_ptr<SinkOutput>& output : outputs) {
    if (output->Stream() == event->stream) {
      static_cast<WriteReply*>(reply)->keep =
          output->Take(event->source, event->payload, event->payloadSize);
      MediaPacket packet;
      if (MediaRead(event->payload, event->payloadSize, &packet) == MEDIA_OK &&
          packet.dataSize > 0) {
        meter.Count(event->stream, output->Name(), packet.dataSize);
      }
      break;
    }
  }
  return 0;
}

PLUGIN_EXPORT int32_t Close(void* request, void* reply) {
  (void)request;
  (void)reply;
  FinishOutputs();
  return 0;
}

PLUGIN_EXPORT int32_t Unload(void* request, void* reply) {
  (void)request;
  (void)reply;
  FinishOutputs();
  {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [] { return !reading; });
  }
  if (media::LivePayloadMemories() != 0) {
    // GStreamer still holds payload memory, whose slots live in the outputs:
    // leave them be rather than free what it may still reach.
    kLog.Error("%d payloads still held by GStreamer at unload", media::LivePayloadMemories());
    for (std::unique_ptr<SinkOutput>& output : outputs) (void)output.release();
  }
  outputs.clear();
  return 0;
}

}  // extern "C"
