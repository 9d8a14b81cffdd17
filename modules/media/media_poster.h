// MediaPoster: posts the buffers of one source on one stream, in the media
// payload format (core/media.h). One per stream, used by one thread at a
// time (the stream's Read thread).
#ifndef MODULES_MEDIA_MEDIA_POSTER_H_
#define MODULES_MEDIA_MEDIA_POSTER_H_

#include <gst/gst.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/plugin_api.h"
#include "modules/media/stream_meter.h"

namespace media {

// Stops (cancels) a stream: a post waiting on its gate wakes and is refused,
// and so is every later one. Any thread.
void PostStreamStop(PostEventFunction post, uint32_t stream);

class MediaPoster {
 public:
  MediaPoster(PostEventFunction post, uint32_t source, uint32_t stream)
      : post_(post), source_(source), stream_(stream) {}
  ~MediaPoster();
  MediaPoster(const MediaPoster&) = delete;
  MediaPoster& operator=(const MediaPoster&) = delete;

  // Posts the buffer of `sample` with its timestamps as running time plus
  // `offset` (ns), its flags, and `extraFlags` (MEDIA_FLAG_DISCONT, say). The
  // caps go along when they are new to the stream. Waits on the stream's gate
  // like any post on a stream. Returns the POST_* result; the caps count as
  // sent only once a post carrying them is accepted.
  int32_t PostSample(GstSample* sample, uint32_t extraFlags, int64_t offset);
  // Posts the end-of-stream payload.
  int32_t PostEnd();
  // Counts every frame posted from now on in `meter`, under `name`, until
  // the poster is destroyed.
  void Meter(StreamMeter* meter, const std::string& name) {
    meter_ = meter;
    name_ = name;
  }
  // Counts `count` payloads meant for the stream but dropped before posting,
  // so that the sequence numbers show the gap.
  void Skip(uint32_t count) { sequence_ += count; }

 private:
  int32_t Post(uint32_t bytes);

  PostEventFunction post_;
  uint32_t source_;
  uint32_t stream_;
  uint32_t sequence_ = 0;
  GstCaps* sentCaps_ = nullptr;  // owned: the caps the consumer has
  std::vector<uint8_t> scratch_;
  StreamMeter* meter_ = nullptr;  // not owned
  std::string name_;
};

}  // namespace media

#endif  // MODULES_MEDIA_MEDIA_POSTER_H_
