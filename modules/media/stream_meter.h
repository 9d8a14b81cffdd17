// StreamMeter: frames and bits per second of a plug-in's media streams, for
// the admin plug-in's /metrics.
//
// The plug-in counts each frame it posts or takes; about once a second (at
// the first count after a second has passed) the meter posts its figures as a
// metrics block (modules/common/plugin_metrics.h): for each stream, labelled
// with its handle and the source or output it serves, the frames and bytes so
// far and the frames and bits per second since the block before. A stream
// that ends drops out of the next block.
//
// Threads: every member is safe from any thread. The post is made without
// the meter's lock, and never on a stream, so it is allowed inside Write.
#ifndef MODULES_MEDIA_STREAM_METER_H_
#define MODULES_MEDIA_STREAM_METER_H_

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>

#include "core/plugin_api.h"

namespace media {

class StreamMeter {
 public:
  // Metrics are named ombrevard_media_<family>_..., and a stream's source or
  // output goes in the label `label`.
  StreamMeter(const char* family, const char* label, uint32_t pluginId)
      : family_(family), label_(label), pluginId_(pluginId) {}
  StreamMeter(const StreamMeter&) = delete;
  StreamMeter& operator=(const StreamMeter&) = delete;

  // Load: the post function; nothing is posted before it is set.
  void SetPost(PostEventFunction post);
  // One frame of `bytes` bytes on `stream`, which serves `name`.
  void Count(uint32_t stream, const std::string& name, uint64_t bytes);
  void End(uint32_t stream);

 private:
  // The block for the figures now, `nowNs` on the monotonic clock; lock_ held.
  std::string Block(int64_t nowNs);

  struct Meter {
    std::string name;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t framesBefore = 0;  // at the block before
    uint64_t bytesBefore = 0;
  };

  const std::string family_;
  const std::string label_;
  const uint32_t pluginId_;

  std::mutex lock_;
  PostEventFunction post_ = nullptr;   // guarded by lock_
  std::map<uint32_t, Meter> streams_;  // guarded by lock_
  int64_t lastBlockNs_ = 0;            // guarded by lock_
};

}  // namespace media

#endif  // MODULES_MEDIA_STREAM_METER_H_
