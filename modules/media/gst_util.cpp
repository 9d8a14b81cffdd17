#include "modules/media/gst_util.h"

#include <string.h>

#include <mutex>

namespace media {

bool InitGStreamer(const plugin_common::PluginLog& log) {
  static std::once_flag once;
  static bool ready = false;
  static std::string why;
  std::call_once(once, [] {
    GError* error = nullptr;
    ready = gst_init_check(nullptr, nullptr, &error);
    if (!ready) why = error != nullptr ? error->message : "unknown reason";
    if (error != nullptr) g_error_free(error);
  });
  if (!ready) log.Error("GStreamer could not start: %s", why.c_str());
  return ready;
}

GstElement* ParsePipeline(const std::string& description, std::string* error) {
  GError* failure = nullptr;
  GstElement* pipeline =
      gst_parse_launch_full(description.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &failure);
  if (failure != nullptr) {
    *error = failure->message;
    g_error_free(failure);
    if (pipeline != nullptr) gst_object_unref(pipeline);
    return nullptr;
  }
  if (pipeline == nullptr) *error = "empty pipeline";
  return pipeline;
}

GstElement* ElementNamed(GstElement* pipeline, const char* name) {
  return GST_IS_BIN(pipeline) ? gst_bin_get_by_name(GST_BIN(pipeline), name) : nullptr;
}

void DropLastSamples(GstElement* pipeline) {
  if (!GST_IS_BIN(pipeline)) return;
  GstIterator* sinks = gst_bin_iterate_sinks(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(sinks, &item) == GST_ITERATOR_OK) {
    GObject* sink = G_OBJECT(g_value_get_object(&item));
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(sink), "enable-last-sample") != nullptr) {
      g_object_set(sink, "enable-last-sample", FALSE, nullptr);
    }
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(sinks);
}

std::string DescribeMessage(GstMessage* message) {
  GError* error = nullptr;
  gchar* debug = nullptr;
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    gst_message_parse_error(message, &error, &debug);
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
    gst_message_parse_warning(message, &error, &debug);
  }
  std::string text = GST_MESSAGE_SRC(message) != nullptr
                         ? std::string(GST_OBJECT_NAME(GST_MESSAGE_SRC(message))) + ": "
                         : std::string();
  text += error != nullptr ? error->message : GST_MESSAGE_TYPE_NAME(message);
  // The debug text is "<file>(<line>): <function> (): <element path>:\n<detail>";
  // only the detail says more than the message.
  const char* detail = debug != nullptr ? strrchr(debug, '\n') : nullptr;
  if (detail != nullptr && detail[1] != '\0') text += std::string(" (") + (detail + 1) + ")";
  if (error != nullptr) g_error_free(error);
  g_free(debug);
  return text;
}

int64_t RunningTime(const GstSegment* segment, GstClockTime time) {
  if (segment == nullptr || segment->format != GST_FORMAT_TIME || !GST_CLOCK_TIME_IS_VALID(time)) {
    return -1;
  }
  guint64 running = 0;
  int sign = gst_segment_to_running_time_full(segment, GST_FORMAT_TIME, time, &running);
  if (sign == 0) return -1;
  int64_t value = sign > 0 ? static_cast<int64_t>(running) : -static_cast<int64_t>(running);
  return value == -1 ? -2 : value;  // -1 ns says "unknown"; a nanosecond off says the time
}

}  // namespace media
