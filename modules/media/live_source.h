// LiveSource: a source that runs from Open on and serves any number of
// streams at once.
//
// One thread of its own runs the pipeline (and runs it again, after a pause
// that grows from 1 s to 30 s, when it fails or ends) and hands every sample
// to the streams then open. Each stream has a short queue, drained by the
// stream's Read thread, which posts on the stream. A stream starts at the next
// keyframe, its first payload carrying the current caps and with them the
// codec set-up (codec data, stream headers); a consumer too slow to keep its
// queue from filling never holds the pipeline back: its frames are dropped
// and counted until the next keyframe after it has caught up.
//
// Threads: Start and Stop on the main thread; Serve on Read threads, any
// number at once; the pipeline thread. Everything they share is guarded by
// `lock_`.
#ifndef MODULES_MEDIA_LIVE_SOURCE_H_
#define MODULES_MEDIA_LIVE_SOURCE_H_

#include <gst/gst.h>
#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "modules/common/plugin_log.h"
#include "modules/media/media_poster.h"

namespace media {

class LiveSource {
 public:
  LiveSource(const std::string& name, const std::string& description,
             const plugin_common::PluginLog& log)
      : name_(name), description_(description), log_(log) {}
  ~LiveSource() { Stop(); }
  LiveSource(const LiveSource&) = delete;
  LiveSource& operator=(const LiveSource&) = delete;

  void Start();
  // Ends the pipeline thread and waits for it; every Serve call returns soon
  // after. Safe to call twice.
  void Stop();

  // Posts the source's frames through `poster` until the consumer stops the
  // stream or Stop is called. Returns the number of frames dropped.
  uint64_t Serve(MediaPoster* poster);

 private:
  // One sample waiting to be posted on one stream.
  struct Entry {
    GstSample* sample;  // owned reference
    uint32_t flags;     // extra media flags: MEDIA_FLAG_DISCONT after a loss
    uint32_t skipped;   // frames dropped just before it
    int64_t offset;     // added to its running times
  };
  struct Stream {
    std::deque<Entry> queue;
    bool waitingForKeyframe = true;
    bool started = false;  // has had its first keyframe
    bool discont = false;  // the next entry follows a loss
    uint32_t skipped = 0;
    uint64_t dropped = 0;
  };

  void RunPipelines();                              // the pipeline thread
  void Distribute(GstSample* sample);               // pipeline thread, lock_ held
  void Enqueue(Stream* stream, GstSample* sample);  // lock_ held
  void Drop(Stream* stream, bool lost);             // lock_ held
  void Restarted();                                 // pipeline thread

  const std::string name_;
  const std::string description_;
  const plugin_common::PluginLog& log_;
  std::thread thread_;  // main thread only

  std::mutex lock_;
  std::condition_variable wake_;  // stopping_ or a queue changed
  bool stopping_ = false;
  std::list<Stream*> streams_;  // not owned: each lives in its Serve call
  int64_t offset_ = 0;          // added to running times since the last restart
  int64_t end_ = 0;             // the latest end time handed out, with offset_
};

}  // namespace media

#endif  // MODULES_MEDIA_LIVE_SOURCE_H_
