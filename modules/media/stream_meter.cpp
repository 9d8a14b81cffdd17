#include "modules/media/stream_meter.h"

#include <stdio.h>
#include <time.h>

#include "modules/common/plugin_metrics.h"

namespace media {

namespace {

constexpr int64_t kSecondNs = 1000000000;

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kSecondNs + now.tv_nsec;
}

std::string LabelValue(const std::string& raw) {
  std::string text;
  for (char c : raw) {
    if (c == '\\' || c == '"') text += '\\';
    text += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return text;
}

std::string Number(double value) {
  char text[32];
  snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

}  // namespace

void StreamMeter::SetPost(PostEventFunction post) {
  std::lock_guard<std::mutex> hold(lock_);
  post_ = post;
  streams_.clear();
  lastBlockNs_ = NowNs();
}

void StreamMeter::Count(uint32_t stream, const std::string& name, uint64_t bytes) {
  std::string block;
  PostEventFunction post;
  {
    std::lock_guard<std::mutex> hold(lock_);
    Meter& meter = streams_[stream];
    if (meter.name.empty()) meter.name = name;
    meter.frames++;
    meter.bytes += bytes;
    int64_t now = NowNs();
    if (post_ == nullptr || now - lastBlockNs_ < kSecondNs) return;
    block = Block(now);
    post = post_;
  }
  (void)plugin_common::PostPluginMetrics(post, pluginId_, block);  // a refused one is simply missed
}

void StreamMeter::End(uint32_t stream) {
  std::lock_guard<std::mutex> hold(lock_);
  streams_.erase(stream);
}

std::string StreamMeter::Block(int64_t nowNs) {
  double seconds = static_cast<double>(nowNs - lastBlockNs_) / kSecondNs;
  lastBlockNs_ = nowNs;
  const std::string prefix = "ombrevard_media_" + family_ + "_";
  const char* const names[4] = {"frames_total", "bytes_total", "frames_per_second", "bitrate"};
  const char* const helps[4] = {
      "Frames so far on each media stream.", "Bytes of media so far on each media stream.",
      "Frames per second on each media stream, over the last second.",
      "Bits per second on each media stream, over the last second (bit rate)."};
  std::string block;
  for (int i = 0; i < 4; i++) {
    std::string name = prefix + names[i];
    block += "# HELP " + name + " " + helps[i] + "\n# TYPE " + name + " " +
             (i < 2 ? "counter" : "gauge") + "\n";
    for (const auto& entry : streams_) {
      const Meter& meter = entry.second;
      char stream[16];
      snprintf(stream, sizeof(stream), "0x%08X", entry.first);
      std::string value =
          i == 0   ? std::to_string(meter.frames)
          : i == 1 ? std::to_string(meter.bytes)
          : i == 2 ? Number(static_cast<double>(meter.frames - meter.framesBefore) / seconds)
                   : Number(static_cast<double>(meter.bytes - meter.bytesBefore) * 8 / seconds);
      block += name + "{" + label_ + "=\"" + LabelValue(meter.name) + "\",stream=\"" + stream +
               "\"} " + value + "\n";
    }
  }
  for (auto& entry : streams_) {
    entry.second.framesBefore = entry.second.frames;
    entry.second.bytesBefore = entry.second.bytes;
  }
  return block;
}

}  // namespace media
