#include "modules/media/sink_output.h"

#include "modules/media/gst_util.h"
#include "modules/media/media_poster.h"

namespace media {

namespace {

const char kSourceName[] = "ombrevard_in";

// Buffers go into the pipeline with their times moved so that the first is
// at this running-time origin, in a segment starting here: a decoding time
// before the first presentation time (reordered video) then stays positive.
constexpr GstClockTime kOrigin = 3600 * GST_SECOND;

}  // namespace

SinkOutput::~SinkOutput() {
  Stop();
  if (caps_ != nullptr) gst_caps_unref(caps_);
}

bool SinkOutput::Start() {
  std::string error;
  GstElement* pipeline =
      ParsePipeline(std::string("appsrc name=") + kSourceName + " ! " + description_, &error);
  GstElement* appsrc = pipeline != nullptr ? ElementNamed(pipeline, kSourceName) : nullptr;
  if (appsrc == nullptr || !GST_IS_APP_SRC(appsrc)) {
    if (pipeline != nullptr) error = "the description must begin with an element that takes input";
    context_.log->Error("output %s: bad pipeline: %s", name_.c_str(), error.c_str());
    if (appsrc != nullptr) gst_object_unref(appsrc);
    if (pipeline != nullptr) gst_object_unref(pipeline);
    return false;
  }
  // One payload at a time comes in (the stream's gate), so the queue needs
  // no limit of its own.
  g_object_set(appsrc, "format", GST_FORMAT_TIME, "is-live", FALSE, "max-bytes",
               G_GUINT64_CONSTANT(0), "handle-segment-change", TRUE, "emit-signals", FALSE,
               nullptr);
  GstAppSrcCallbacks callbacks = {};
  callbacks.need_data = OnNeedData;
  gst_app_src_set_callbacks(GST_APP_SRC(appsrc), &callbacks, this, nullptr);
  DropLastSamples(pipeline);
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_bus_set_sync_handler(bus, OnBus, this, nullptr);
  gst_object_unref(bus);
  {
    std::lock_guard<std::mutex> hold(lock_);
    pipeline_ = pipeline;
    appsrc_ = GST_APP_SRC(appsrc);
    state_ = State::kRunning;
  }
  // A failure is on the bus by now, and the watcher says what it was.
  return gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void SinkOutput::Request() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ != State::kRunning) return;
    requested_ = true;
  }
  EventRecord record = MakePluginBlock<EventRecord>();
  record.payloadSize = static_cast<uint32_t>(source_.size());
  record.payload = const_cast<char*>(source_.data());  // copied for each Read call
  record.source = 0;
  record.stream = stream_;
  record.flags = MEDIA_EVENT_FLAGS;
  record.type = MEDIA_EVENT_TYPE;
  EventResult result = MakePluginBlock<EventResult>();
  context_.postEvent(&record, &result);
}

GstAppSrc* SinkOutput::RunningSource() {
  std::lock_guard<std::mutex> hold(lock_);
  if (state_ != State::kRunning || appsrc_ == nullptr) return nullptr;
  return GST_APP_SRC(gst_object_ref(appsrc_));
}

bool SinkOutput::Take(uint32_t producer, void* payload, uint32_t payloadSize) {
  if (producer_ == 0) producer_ = producer;
  if (producer != producer_) {
    if (!warnedProducer_) {
      context_.log->Warning(
          "output %s: plug-ins 0x%08X and 0x%08X both answer source %s; "
          "the second one's payloads are dropped",
          name_.c_str(), producer_, producer, source_.c_str());
    }
    warnedProducer_ = true;
    return false;
  }
  MediaPacket packet;
  int read = MediaRead(payload, payloadSize, &packet);
  if (read != MEDIA_OK) {
    if (!warnedNotMedia_) {
      context_.log->Warning("output %s: dropped a payload: %s", name_.c_str(),
                            MediaErrorText(read));
    }
    warnedNotMedia_ = true;
    return false;
  }
  GstAppSrc* appsrc = RunningSource();
  if (appsrc == nullptr) return false;
  bool keep = Push(appsrc, packet, payload);
  gst_object_unref(appsrc);
  return keep;
}

bool SinkOutput::Push(GstAppSrc* appsrc, const MediaPacket& packet, void* payload) {
  if (packet.capsSize > 0 && !TakeCaps(appsrc, packet)) return false;
  if ((packet.flags & MEDIA_FLAG_END_OF_STREAM) != 0) {
    gst_app_src_end_of_stream(appsrc);
    return false;
  }
  if (packet.dataSize == 0) return false;
  if (caps_ == nullptr) {
    if (!warnedNoCaps_)
      context_.log->Warning("output %s: media before caps, dropped", name_.c_str());
    warnedNoCaps_ = true;
    return false;
  }
  if (first_)
    base_ = packet.pts != MEDIA_TIME_NONE   ? packet.pts
            : packet.dts != MEDIA_TIME_NONE ? packet.dts
                                            : 0;
  GstBuffer* buffer = gst_buffer_new();
  GstMemory* memory = WrapPayload(payload, packet.data, packet.dataSize, &slot_);
  if (memory == nullptr) {
    gst_buffer_unref(buffer);
    return false;
  }
  gst_buffer_append_memory(buffer, memory);
  GST_BUFFER_PTS(buffer) = Rebased(packet.pts);
  GST_BUFFER_DTS(buffer) = Rebased(packet.dts);
  GST_BUFFER_DURATION(buffer) =
      packet.duration >= 0 ? static_cast<GstClockTime>(packet.duration) : GST_CLOCK_TIME_NONE;
  if ((packet.flags & MEDIA_FLAG_KEYFRAME) == 0)
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  if ((packet.flags & MEDIA_FLAG_DISCONT) != 0)
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
  if ((packet.flags & MEDIA_FLAG_CODEC_CONFIG) != 0)
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_HEADER);
  buffers_++;
  if (first_) {
    // The first buffer brings the segment that places kOrigin at running time 0.
    first_ = false;
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    segment.start = kOrigin;
    GstSample* sample = gst_sample_new(buffer, caps_, &segment, nullptr);
    (void)gst_app_src_push_sample(appsrc, sample);
    gst_sample_unref(sample);
    gst_buffer_unref(buffer);
  } else {
    (void)gst_app_src_push_buffer(appsrc, buffer);
  }
  // Kept: released when GStreamer lets go of the buffer, which a refused
  // push has done already (the Core then frees the payload as usual).
  return true;
}

bool SinkOutput::TakeCaps(GstAppSrc* appsrc, const MediaPacket& packet) {
  std::string text(packet.caps, packet.capsSize);
  GstCaps* caps = gst_caps_from_string(text.c_str());
  if (caps == nullptr) {
    context_.log->Error("output %s: caps not understood: %s", name_.c_str(), text.c_str());
    return false;
  }
  if (caps_ == nullptr || !gst_caps_is_equal(caps, caps_)) gst_app_src_set_caps(appsrc, caps);
  gst_caps_take(&caps_, caps);
  return true;
}

GstClockTime SinkOutput::Rebased(int64_t time) const {
  if (time == MEDIA_TIME_NONE) return GST_CLOCK_TIME_NONE;
  int64_t moved = time - base_ + static_cast<int64_t>(kOrigin);
  return moved > 0 ? static_cast<GstClockTime>(moved) : 0;
}

GstBusSyncReply SinkOutput::OnBus(GstBus* bus, GstMessage* message, gpointer self) {
  (void)bus;
  GstMessageType type = GST_MESSAGE_TYPE(message);
  if (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_WARNING || type == GST_MESSAGE_EOS) {
    SinkOutput* output = static_cast<SinkOutput*>(self);
    output->context_.forward(output, gst_message_ref(message));
  }
  gst_message_unref(message);  // a handler that drops a message frees it
  return GST_BUS_DROP;
}

void SinkOutput::OnNeedData(GstAppSrc* appsrc, guint length, gpointer self) {
  (void)appsrc;
  (void)length;
  // The pipeline has passed on everything it was given and wants more; a
  // payload it still holds would keep the next one from coming.
  DetachHeld(&static_cast<SinkOutput*>(self)->slot_);
}

void SinkOutput::OnMessage(GstMessage* message) {
  {
    // What a pipeline says after it stopped (a second error about the same
    // fault, say) is of no more use.
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == State::kStopped) return;
  }
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
      context_.log->Info("output %s: finished, %llu buffers", name_.c_str(),
                         static_cast<unsigned long long>(buffers_.load()));
      Stop();
      break;
    case GST_MESSAGE_ERROR:
      context_.log->Error("output %s: %s", name_.c_str(), DescribeMessage(message).c_str());
      Stop();
      break;
    default:
      context_.log->Warning("output %s: %s", name_.c_str(), DescribeMessage(message).c_str());
      break;
  }
}

void SinkOutput::Finish() {
  GstAppSrc* appsrc = nullptr;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ != State::kRunning) return;
    state_ = State::kEnding;
    appsrc = GST_APP_SRC(gst_object_ref(appsrc_));
  }
  gst_app_src_end_of_stream(appsrc);
  gst_object_unref(appsrc);
}

void SinkOutput::Stop() {
  GstElement* pipeline = nullptr;
  GstAppSrc* appsrc = nullptr;
  bool requested = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ == State::kStopped) return;
    state_ = State::kStopped;
    pipeline = pipeline_;
    appsrc = appsrc_;
    pipeline_ = nullptr;
    appsrc_ = nullptr;
    requested = requested_;
  }
  if (pipeline != nullptr) {
    gst_element_set_state(pipeline, GST_STATE_NULL);  // frees every buffer it held
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
  }
  if (appsrc != nullptr) gst_object_unref(appsrc);
  // The producer may be waiting to post the next payload; it stops now.
  if (requested) PostStreamStop(context_.postEvent, stream_);
  context_.stopped();
}

}  // namespace media
