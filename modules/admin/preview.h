// Preview: a live picture of one media source for the dashboard, as MJPEG.
//
// With `[http] preview=NAME`, the first viewer of /preview starts a media
// stream from the source NAME (a gst_source source whose pipeline ends in
// JPEG frames, say `... ! jpegenc`), which then runs until Close. Take keeps
// the latest frame, copied out of the payload on the delivery thread; each
// viewer waits for the next one and is sent only the latest, so a slow viewer
// skips frames and is never queued for.
//
// Threads: Configure and Stop on the main thread; Take and Ready on the
// delivery thread; Start and Next on the HTTP threads.
#ifndef MODULES_ADMIN_PREVIEW_H_
#define MODULES_ADMIN_PREVIEW_H_

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "core/plugin_api.h"

namespace admin {

class Preview {
 public:
  // `source` empty: no preview. `stream` is the handle to ask on.
  void Configure(const std::string& source, PostEventFunction post, uint32_t stream);
  bool Enabled() const { return !source_.empty(); }
  // Asks for the source, once: at once when the server has started, or
  // else as soon as it has.
  void Start();
  // The server has started (every plug-in is open, so the source can answer).
  void Ready();
  // A queued event: keeps its frame when it belongs to the preview stream.
  void Take(const WriteRequest* write);
  enum class Frame { kNew, kNone, kStopped };
  // Waits up to `milliseconds` for a frame later than `*seen`; copies it.
  Frame Next(uint64_t* seen, std::string* jpeg, int milliseconds);
  // Wakes every viewer for good and stops the stream.
  void Stop();

 private:
  std::string source_;  // fixed between Configure and Stop
  PostEventFunction post_ = nullptr;
  uint32_t stream_ = 0;

  std::mutex lock_;
  std::condition_variable arrived_;
  bool ready_ = false;    // guarded by lock_
  bool wanted_ = false;   // guarded by lock_: a viewer came before the server was ready
  bool started_ = false;  // guarded by lock_
  bool stopped_ = false;  // guarded by lock_
  bool jpeg_ = false;     // guarded by lock_: the stream's caps say image/jpeg
  std::string frame_;     // guarded by lock_
  uint64_t number_ = 0;   // guarded by lock_: frames taken
};

}  // namespace admin

#endif  // MODULES_ADMIN_PREVIEW_H_
