#include "modules/admin/preview.h"

#include <chrono>

#include "core/media.h"

namespace admin {

namespace {

constexpr size_t kLargestFrame = 4 << 20;

void PostStream(PostEventFunction post, uint32_t stream, uint32_t flags, uint32_t type,
                const std::string& payload) {
  EventRecord record = MakePluginBlock<EventRecord>();
  record.stream = stream;
  record.flags = flags;
  record.type = type;
  record.payloadSize = static_cast<uint32_t>(payload.size());
  record.payload = payload.empty() ? nullptr : const_cast<char*>(payload.data());  // copied
  EventResult result = MakePluginBlock<EventResult>();
  post(&record, &result);
}

}  // namespace

void Preview::Configure(const std::string& source, PostEventFunction post, uint32_t stream) {
  source_ = source;
  post_ = post;
  stream_ = stream;
  std::lock_guard<std::mutex> hold(lock_);
  ready_ = wanted_ = started_ = stopped_ = jpeg_ = false;
  frame_.clear();
  number_ = 0;
}

void Preview::Start() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (started_ || stopped_ || source_.empty()) return;
    wanted_ = true;
    if (!ready_) return;
    started_ = true;
  }
  PostStream(post_, stream_, MEDIA_EVENT_FLAGS, MEDIA_EVENT_TYPE, source_);
}

void Preview::Ready() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ready_ = true;
    if (!wanted_ || started_ || stopped_) return;
    started_ = true;
  }
  // A new stream: the post waits on no gate, so it is allowed on the
  // delivery thread.
  PostStream(post_, stream_, MEDIA_EVENT_FLAGS, MEDIA_EVENT_TYPE, source_);
}

void Preview::Take(const WriteRequest* write) {
  if (write->stream != stream_ || stream_ == 0 || write->type != MEDIA_EVENT_TYPE) return;
  MediaPacket packet;
  if (MediaRead(write->payload, write->payloadSize, &packet) != MEDIA_OK) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (packet.capsSize > 0) {
      jpeg_ = std::string(packet.caps, packet.capsSize).compare(0, 10, "image/jpeg") == 0;
    }
    if (!jpeg_ || packet.dataSize == 0 || packet.dataSize > kLargestFrame) return;
    frame_.assign(reinterpret_cast<const char*>(packet.data), packet.dataSize);
    number_++;
  }
  arrived_.notify_all();
}

Preview::Frame Preview::Next(uint64_t* seen, std::string* jpeg, int milliseconds) {
  std::unique_lock<std::mutex> hold(lock_);
  arrived_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                    [&] { return stopped_ || number_ > *seen; });
  if (stopped_) return Frame::kStopped;
  if (number_ <= *seen) return Frame::kNone;
  *seen = number_;
  *jpeg = frame_;
  return Frame::kNew;
}

void Preview::Stop() {
  bool started;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
    started = started_;
  }
  arrived_.notify_all();
  if (started) PostStream(post_, stream_, EVENT_STOP_STREAM, 0, std::string());
}

}  // namespace admin
