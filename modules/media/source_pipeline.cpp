#include "modules/media/source_pipeline.h"

#include "modules/media/gst_util.h"

namespace media {

namespace {

const char kSinkName[] = "ombrevard_out";
constexpr GstClockTime kPollInterval = 100 * GST_MSECOND;

}  // namespace

SourcePipeline::~SourcePipeline() {
  if (pipeline_ != nullptr) {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
  }
  if (sink_ != nullptr) gst_object_unref(sink_);
}

bool SourcePipeline::Build(const std::string& description, bool live, std::string* error) {
  pipeline_ = ParsePipeline(description + " ! appsink name=" + kSinkName, error);
  if (pipeline_ == nullptr) return false;
  GstElement* sink = ElementNamed(pipeline_, kSinkName);
  if (sink == nullptr || !GST_IS_APP_SINK(sink)) {
    if (sink != nullptr) gst_object_unref(sink);
    *error = "the description must end in an element with one output";
    return false;
  }
  sink_ = GST_APP_SINK(sink);
  g_object_set(sink_, "sync", live ? TRUE : FALSE, "max-buffers", live ? 30u : 2u, "drop",
               live ? TRUE : FALSE, nullptr);
  DropLastSamples(pipeline_);
  return true;
}

SourcePipeline::End SourcePipeline::Run(const std::function<bool(GstSample*)>& take,
                                        const std::function<bool()>& stopped,
                                        const std::function<void(const std::string&)>& warn,
                                        std::string* error) {
  GstStateChangeReturn started = gst_element_set_state(pipeline_, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline_);
  End end = End::kStopped;
  for (;;) {
    GstMessage* message = gst_bus_pop_filtered(
        bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING));
    if (message != nullptr) {
      bool failed = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
      if (failed) *error = DescribeMessage(message);
      if (!failed) warn(DescribeMessage(message));
      gst_message_unref(message);
      if (failed) {
        end = End::kError;
        break;
      }
      continue;
    }
    if (started == GST_STATE_CHANGE_FAILURE) {
      *error = "the pipeline could not start";
      end = End::kError;
      break;
    }
    if (stopped()) break;
    GstSample* sample = gst_app_sink_try_pull_sample(sink_, kPollInterval);
    if (sample != nullptr) {
      bool more = take(sample);
      gst_sample_unref(sample);
      if (!more) break;
    } else if (gst_app_sink_is_eos(sink_)) {
      // A streaming thread that fails posts its error, then sends the end of
      // the stream: look at the bus once more before calling it an end.
      end = End::kEndOfStream;
      GstMessage* failure = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
      if (failure != nullptr) {
        *error = DescribeMessage(failure);
        gst_message_unref(failure);
        end = End::kError;
      }
      break;
    }
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  return end;
}

}  // namespace media
