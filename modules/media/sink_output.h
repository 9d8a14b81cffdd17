// SinkOutput: one output of gst_sink.so, an appsrc in front of the
// configured rest of a pipeline, fed from one media stream.
//
// Its life: Start (Open) builds the pipeline and plays it; Request (the
// scheduler-start Read) asks for the source; Take (the delivery thread)
// wraps each payload without copying and hands it to the appsrc, never
// waiting on GStreamer; the pipeline's end, error or warning reaches
// OnMessage on the plug-in's watcher thread; Finish (Close) sends the end of
// the stream down the pipeline so that a recording is completed; Stop tears
// the pipeline down and stops the stream.
//
// Threads: as above. The state and the pipeline's elements are guarded by
// `lock_`; what only Take touches belongs to the delivery thread.
#ifndef MODULES_MEDIA_SINK_OUTPUT_H_
#define MODULES_MEDIA_SINK_OUTPUT_H_

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "core/media.h"
#include "core/plugin_api.h"
#include "modules/common/plugin_log.h"
#include "modules/media/payload_memory.h"

namespace media {

class SinkOutput {
 public:
  // What an output needs from its plug-in.
  struct Context {
    const plugin_common::PluginLog* log;
    PostEventFunction postEvent;
    // Hands a bus message (a new reference) to the watcher thread.
    std::function<void(SinkOutput*, GstMessage*)> forward;
    // Called once the output has stopped for good.
    std::function<void()> stopped;
  };

  SinkOutput(const std::string& name, const std::string& source, const std::string& pipeline,
             uint32_t stream, const Context& context)
      : name_(name), source_(source), description_(pipeline), stream_(stream), context_(context) {}
  ~SinkOutput();
  SinkOutput(const SinkOutput&) = delete;
  SinkOutput& operator=(const SinkOutput&) = delete;

  const std::string& Name() const { return name_; }
  uint32_t Stream() const { return stream_; }

  // Builds and plays the pipeline; false after logging why.
  bool Start();
  // Asks for the source on the output's stream, if the output still runs.
  void Request();
  // Delivery thread: one payload of the output's stream, from `producer`.
  // True: keep it (it is released when GStreamer lets go of it). The first
  // producer heard is the stream's; should a second one answer the same
  // name, its payloads are dropped, with one warning.
  bool Take(uint32_t producer, void* payload, uint32_t payloadSize);
  // Watcher thread: a message from the pipeline's bus.
  void OnMessage(GstMessage* message);
  // Sends the end of the stream down the pipeline, if it runs.
  void Finish();
  // Tears the pipeline down and stops the stream; the first call tells the
  // plug-in (Context::stopped), later ones do nothing.
  void Stop();

 private:
  enum class State { kIdle, kRunning, kEnding, kStopped };

  static GstBusSyncReply OnBus(GstBus* bus, GstMessage* message, gpointer self);
  static void OnNeedData(GstAppSrc* appsrc, guint length, gpointer self);
  // The appsrc while the output runs, as a new reference; null otherwise.
  GstAppSrc* RunningSource();
  bool Push(GstAppSrc* appsrc, const MediaPacket& packet, void* payload);
  // Takes new caps; false after logging when they cannot be read.
  bool TakeCaps(GstAppSrc* appsrc, const MediaPacket& packet);
  GstClockTime Rebased(int64_t time) const;

  const std::string name_;
  const std::string source_;
  const std::string description_;
  const uint32_t stream_;
  const Context context_;
  PayloadSlot slot_;

  std::mutex lock_;
  State state_ = State::kIdle;      // guarded by lock_
  bool requested_ = false;          // guarded by lock_
  GstElement* pipeline_ = nullptr;  // guarded by lock_; owned
  GstAppSrc* appsrc_ = nullptr;     // guarded by lock_; owned reference

  // Delivery thread only.
  GstCaps* caps_ = nullptr;  // owned: the caps of the stream now
  bool first_ = true;        // no buffer pushed yet
  int64_t base_ = 0;         // the first buffer's time: recordings start at 0
  bool warnedNotMedia_ = false;
  bool warnedNoCaps_ = false;
  uint32_t producer_ = 0;  // the producer the stream takes payloads from; 0: none yet
  bool warnedProducer_ = false;
  std::atomic<uint64_t> buffers_{0};  // pushed; read by the watcher
};

}  // namespace media

#endif  // MODULES_MEDIA_SINK_OUTPUT_H_
