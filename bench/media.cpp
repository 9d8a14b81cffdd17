// Media: a 1080p H.264 stream through the bus, from gst_source.so to
// gst_sink.so, against the same pipeline run directly as one GStreamer
// pipeline in this process.
//
// A clip is encoded once (openh264 at 8 Mbit/s, 30 frames a second). Each
// repetition plays all of it, on the Core side through a real Core over a
// scratch folder holding the two media plug-ins and a bench_node copy that
// counts the media payloads, timed from Start to the arrival of the
// end-of-stream payload; on the reference side as "<source> ! <rest>" played
// to its end. Two outputs: a fakesink, which lets go of each buffer at once,
// and mp4mux, which keeps each until the next arrives (the sink copies those
// payloads, see modules/media/payload_memory.h). Frames per second, and the
// CPU time per frame of the whole process, the work of both pipelines' threads
// included.
//
// Built when the media plug-ins are; otherwise the section says so.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "bench/runner.h"

#ifndef OMBREVARD_BENCH_MEDIA

void RunMedia() { fprintf(stderr, "  media: not built (the media plug-ins are not)\n"); }

#else

#include <gst/gst.h>

#include "bench/bench_node.h"
#include "bench/core_rig.h"
#include "core/media.h"

namespace {

constexpr uint64_t kClipFrames = 600;
constexpr int kWaitMilliseconds = 120000;

const char kEncode[] =
    "pattern=smpte ! video/x-raw,width=1920,height=1080,framerate=30/1 ! "
    "openh264enc bitrate=8000000 ! h264parse";

// Plays `description` to its end; false with *error set when it fails.
bool PlayToEnd(const std::string& description, std::string* error) {
  GError* failure = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &failure);
  if (failure != nullptr) {
    *error = failure->message;
    g_error_free(failure);
    if (pipeline != nullptr) gst_object_unref(pipeline);
    return false;
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* end =
      gst_bus_timed_pop_filtered(bus, static_cast<GstClockTime>(kWaitMilliseconds) * GST_MSECOND,
                                 static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  bool ended = end != nullptr && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
  if (!ended) *error = end != nullptr ? "the pipeline failed" : "the pipeline did not end";
  if (end != nullptr) gst_message_unref(end);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return ended;
}

// One run of the clip through a Core: gst_source plays `source`, gst_sink
// feeds `rest`, and a bench_node copy counts the payloads.
Rate ThroughTheBus(const std::string& source, const std::string& rest) {
  CoreRig rig(run.nodeLibrary, 1, 0, 0);
  const testing_support::TempTree& tree = rig.Tree();
  bool copied =
      !tree.AddPlugin(OMBREVARD_BENCH_MEDIA_DIR "/gst_source.so", "gst_source.so").empty() &&
      !tree.AddPlugin(OMBREVARD_BENCH_MEDIA_DIR "/gst_sink.so", "gst_sink.so").empty();
  if (!rig.Ok() || !copied) GiveUp("could not set up the media plug-ins");
  tree.WriteFile(tree.PluginDir() + "/gst_source.conf", "[source clip]\npipeline=" + source + "\n");
  tree.WriteFile(tree.PluginDir() + "/gst_sink.conf",
                 "[output bench]\nsource=clip\npipeline=" + rest + "\n");
  BenchNode* counter = rig.Sink(0);
  counter->descriptor.subscriptionMask[0] = EventQueuedKey(MEDIA_EVENT_TYPE);
  BenchSinkReset(&counter->sink, kClipFrames + 1, nullptr, 0);  // the frames and the end

  // The plug-ins' progress lines go to a file of the scratch folder, not
  // between the benchmark's.
  int saved = dup(STDERR_FILENO);
  int log = open((tree.Root() + "/plugins.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(log, STDERR_FILENO);
  double cpuStart = CpuSeconds();
  int64_t start = NowNanoseconds();
  bool started = rig.Start();
  bool ended = started && BenchSinkWait(&counter->sink, kWaitMilliseconds);
  Rate rate = RateOver(kClipFrames, start, counter->sink.reachedAt.load(), cpuStart);
  rig.Stop();
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(log);
  if (!ended) GiveUp("the clip did not come through the bus");
  return rate;
}

Rate Directly(const std::string& description) {
  std::string error;
  double cpuStart = CpuSeconds();
  int64_t start = NowNanoseconds();
  if (!PlayToEnd(description, &error)) GiveUp("the direct pipeline: " + error);
  return RateOver(kClipFrames, start, NowNanoseconds(), cpuStart);
}

}  // namespace

void RunMedia() {
  gst_init(nullptr, nullptr);
  testing_support::TempTree scratch(testing_support::TempTree::kEmpty);
  std::string clip = scratch.Root() + "/clip.mp4";
  std::string error;
  if (!PlayToEnd("videotestsrc num-buffers=" + std::to_string(kClipFrames) + " " + kEncode +
                     " ! mp4mux ! filesink location=" + clip,
                 &error)) {
    GiveUp("could not encode the clip: " + error);
  }
  const std::string source = "filesrc location=" + clip + " ! qtdemux ! h264parse";
  const char* const kOutputs[][2] = {
      {"frames/s, 1080p H.264 to fakesink", "h264parse ! fakesink"},
      {"frames/s, 1080p H.264 into mp4mux", "h264parse ! mp4mux ! fakesink"},
  };
  for (const auto& output : kOutputs) {
    Figure figure;
    figure.name = output[0];
    figure.unit = Unit::kRate;
    figure.note = "the reference plays the same pipeline directly, without the bus";
    for (int r = 0; r < run.options.mode.repetitions; r++) {
      if (run.options.core) Record(&figure, true, ThroughTheBus(source, output[1]));
      if (run.options.reference) Record(&figure, false, Directly(source + " ! " + output[1]));
    }
    Progress(figure);
    run.results.push_back(figure);
  }
}

#endif  // OMBREVARD_BENCH_MEDIA
