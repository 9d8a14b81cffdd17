// SourcePipeline: a source's gst-launch description with an appsink after
// it, run until it ends. Used by one thread at a time.
#ifndef MODULES_MEDIA_SOURCE_PIPELINE_H_
#define MODULES_MEDIA_SOURCE_PIPELINE_H_

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <functional>
#include <string>

namespace media {

class SourcePipeline {
 public:
  enum class End { kEndOfStream, kError, kStopped };

  SourcePipeline() = default;
  ~SourcePipeline();
  SourcePipeline(const SourcePipeline&) = delete;
  SourcePipeline& operator=(const SourcePipeline&) = delete;

  // Builds "<description> ! appsink". A live source's appsink keeps to the
  // clock and drops what its reader does not take in time; otherwise it
  // holds the pipeline back until the reader takes the next sample. False
  // with *error set when the description does not build.
  bool Build(const std::string& description, bool live, std::string* error);

  // Plays the pipeline and hands each sample to `take` (false from it stops
  // the run) until the end of the stream, an error (described in *error), or
  // `stopped` (asked at least every 100 ms) answers true. Warnings go to
  // `warn`. The pipeline is stopped when Run returns.
  End Run(const std::function<bool(GstSample*)>& take, const std::function<bool()>& stopped,
          const std::function<void(const std::string&)>& warn, std::string* error);

 private:
  GstElement* pipeline_ = nullptr;  // owned
  GstAppSink* sink_ = nullptr;      // owned reference
};

}  // namespace media

#endif  // MODULES_MEDIA_SOURCE_PIPELINE_H_
