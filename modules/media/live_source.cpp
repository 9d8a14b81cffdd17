#include "modules/media/live_source.h"

#include <algorithm>
#include <chrono>

#include "core/media.h"
#include "modules/media/gst_util.h"
#include "modules/media/source_pipeline.h"

namespace media {

namespace {

constexpr size_t kQueueLimit = 30;  // about a second of video per stream
constexpr int kFirstPauseSeconds = 1;
constexpr int kLongestPauseSeconds = 30;

}  // namespace

void LiveSource::Start() {
  thread_ = std::thread([this] { RunPipelines(); });
}

void LiveSource::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

uint64_t LiveSource::Serve(MediaPoster* poster) {
  Stream stream;
  std::unique_lock<std::mutex> hold(lock_);
  streams_.push_back(&stream);
  bool told = false;  // of the first drop
  for (;;) {
    wake_.wait(hold, [&] { return stopping_ || !stream.queue.empty(); });
    if (stopping_) break;
    Entry entry = stream.queue.front();
    stream.queue.pop_front();
    bool tell = !told && stream.dropped > 0;
    hold.unlock();  // no lock held while posting: the post may wait on the stream's gate
    if (tell) {
      told = true;
      log_.Warning("source %s: a consumer is too slow; dropping its frames until it catches up",
                   name_.c_str());
    }
    poster->Skip(entry.skipped);
    int32_t result = poster->PostSample(entry.sample, entry.flags, entry.offset);
    gst_sample_unref(entry.sample);
    hold.lock();
    if (result == POST_NO_STREAM) break;
    if (result != POST_OK) Drop(&stream, false);  // throttled: memory is short
  }
  streams_.remove(&stream);
  for (Entry& entry : stream.queue) gst_sample_unref(entry.sample);
  return stream.dropped;
}

void LiveSource::RunPipelines() {
  int pause = kFirstPauseSeconds;
  for (;;) {
    SourcePipeline pipeline;
    std::string error;
    if (!pipeline.Build(description_, true, &error)) {
      log_.Error("source %s: bad pipeline: %s", name_.c_str(), error.c_str());
      return;  // the same text will not build any better later
    }
    bool flowed = false;
    SourcePipeline::End end = pipeline.Run(
        [&](GstSample* sample) {
          flowed = true;
          std::lock_guard<std::mutex> hold(lock_);
          Distribute(sample);
          return true;
        },
        [&] {
          std::lock_guard<std::mutex> hold(lock_);
          return stopping_;
        },
        [&](const std::string& text) {
          log_.Warning("source %s: %s", name_.c_str(), text.c_str());
        },
        &error);
    if (end == SourcePipeline::End::kStopped) return;
    Restarted();
    if (flowed) pause = kFirstPauseSeconds;
    if (end == SourcePipeline::End::kError) {
      log_.Error("source %s: %s; starting again in %d s", name_.c_str(), error.c_str(), pause);
    } else {
      log_.Warning("source %s: end of stream; starting again in %d s", name_.c_str(), pause);
    }
    std::unique_lock<std::mutex> hold(lock_);
    if (wake_.wait_for(hold, std::chrono::seconds(pause), [&] { return stopping_; })) return;
    pause = std::min(pause * 2, kLongestPauseSeconds);
  }
}

void LiveSource::Distribute(GstSample* sample) {
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (buffer == nullptr) return;
  bool keyframe = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  int64_t end = RunningTime(gst_sample_get_segment(sample), GST_BUFFER_PTS(buffer));
  if (end != MEDIA_TIME_NONE && GST_BUFFER_DURATION_IS_VALID(buffer)) {
    end += static_cast<int64_t>(GST_BUFFER_DURATION(buffer));
  }
  if (end != MEDIA_TIME_NONE) end_ = std::max(end_, end + offset_);

  for (Stream* stream : streams_) {
    if (stream->queue.size() >= kQueueLimit) {
      Drop(stream, stream->started);
    } else if (stream->waitingForKeyframe && !keyframe) {
      Drop(stream, stream->started);
    } else {
      // The first payload of a stream carries the caps, and with them the
      // codec set-up (codec data, stream headers).
      Enqueue(stream, sample);
      stream->waitingForKeyframe = false;
      stream->started = true;
    }
  }
  wake_.notify_all();
}

void LiveSource::Enqueue(Stream* stream, GstSample* sample) {
  stream->queue.push_back(Entry{gst_sample_ref(sample), stream->discont ? MEDIA_FLAG_DISCONT : 0u,
                                stream->skipped, offset_});
  stream->discont = false;
  stream->skipped = 0;
}

void LiveSource::Drop(Stream* stream, bool lost) {
  // Before a stream's first keyframe nothing is lost: it has not begun.
  if (lost) {
    stream->dropped++;
    stream->skipped++;
  } else if (stream->started) {
    stream->dropped++;  // refused by the Core; its sequence number is spent already
  }
  stream->waitingForKeyframe = true;
  stream->discont = stream->discont || stream->started;
}

void LiveSource::Restarted() {
  std::lock_guard<std::mutex> hold(lock_);
  // The next run's running times start again from 0; carry on from here.
  offset_ = end_;
  for (Stream* stream : streams_) {
    stream->waitingForKeyframe = true;
    stream->discont = stream->discont || stream->started;
  }
}

}  // namespace media
