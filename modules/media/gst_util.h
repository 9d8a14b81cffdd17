// Small GStreamer helpers shared by gst_source.so and gst_sink.so.
#ifndef MODULES_MEDIA_GST_UTIL_H_
#define MODULES_MEDIA_GST_UTIL_H_

#include <gst/gst.h>

#include <string>

#include "modules/common/plugin_log.h"

namespace media {

// Initialises GStreamer for this process (once; later calls only report the
// first outcome). False after logging why. Main thread (Open).
bool InitGStreamer(const plugin_common::PluginLog& log);

// A pipeline from a gst-launch description; null with *error set when the
// text does not parse or names an element that is not installed. Any thread.
GstElement* ParsePipeline(const std::string& description, std::string* error);

// The element of `pipeline` named `name`, a reference the caller drops.
GstElement* ElementNamed(GstElement* pipeline, const char* name);

// Turns off "last-sample" on every sink of `pipeline`: each would otherwise
// hold on to the last buffer it was given until the next one arrives.
void DropLastSamples(GstElement* pipeline);

// "<element>: <message> (<detail>)" for an error or warning message.
std::string DescribeMessage(GstMessage* message);

// The running time of `time` in `segment`, signed, in nanoseconds; -1 when
// either is unknown.
int64_t RunningTime(const GstSegment* segment, GstClockTime time);

}  // namespace media

#endif  // MODULES_MEDIA_GST_UTIL_H_
