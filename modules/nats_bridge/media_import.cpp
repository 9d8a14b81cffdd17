#include "modules/nats_bridge/media_import.h"

#include <string.h>

#include <vector>

#include "core/media.h"
#include "modules/common/plugin_post.h"

namespace bridge {

namespace {

// What one consumer may have waiting: enough for a file source that runs
// far ahead of real time to get through a stall of the consumer's pipeline.
constexpr size_t kQueuePayloads = 1024;
constexpr size_t kQueueBytes = 16u << 20;

}  // namespace

void MediaImport::Take(const MessageRef& ref, const Message& message, bool gap) {
  MediaPacket packet;
  (void)MediaRead(message.payload, message.payloadSize, &packet);  // checked by ReadMessage
  bool keyframe = (packet.flags & MEDIA_FLAG_KEYFRAME) != 0;
  bool end = (packet.flags & MEDIA_FLAG_END_OF_STREAM) != 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (message.extraSize != 0) {
      caps_.assign(reinterpret_cast<const char*>(message.extra), message.extraSize);
    }
    if (packet.capsSize != 0) caps_.assign(packet.caps, packet.capsSize);
    for (Consumer* consumer : consumers_) {
      if (end) {
        // A stream that ends is ended for every consumer, started or not.
        consumer->queue.push_back(Entry{ref, message.payload, message.payloadSize, true, {}});
        consumer->bytes += message.payloadSize;
        continue;
      }
      // After a loss, and while the queue is full, a consumer waits for
      // the next keyframe; it starts at one too, once the caps are known.
      bool full = consumer->queue.size() >= kQueuePayloads ||
                  (consumer->bytes != 0 && consumer->bytes + message.payloadSize > kQueueBytes);
      if (gap || full) consumer->waiting = true;
      if (full || (consumer->waiting && (!keyframe || caps_.empty()))) {
        if (consumer->started) counters_->dropped++;
        continue;
      }
      Entry entry{ref, message.payload, message.payloadSize, false, {}};
      // A consumer that has not been given the stream's caps (it joins now,
      // or missed a change while it waited) gets them with this payload.
      if (packet.capsSize == 0 && consumer->caps != caps_) entry.caps = caps_;
      consumer->caps = caps_;
      consumer->queue.push_back(entry);
      consumer->bytes += entry.size;
      consumer->waiting = false;
      consumer->started = true;
    }
  }
  wake_.notify_all();
}

void MediaImport::Serve(PostEventFunction post, uint32_t source, uint32_t stream) {
  Consumer consumer;
  std::vector<uint8_t> scratch;
  std::unique_lock<std::mutex> hold(lock_);
  if (stopping_) return;
  consumers_.push_back(&consumer);
  for (;;) {
    wake_.wait(hold, [&] { return stopping_ || !consumer.queue.empty(); });
    if (stopping_) break;
    Entry entry = consumer.queue.front();
    consumer.queue.pop_front();
    consumer.bytes -= entry.size;
    hold.unlock();  // no lock held while posting: the post waits on the stream's gate
    const void* payload = entry.payload;
    uint32_t size = entry.size;
    if (!entry.caps.empty()) {
      MediaPacket packet;
      (void)MediaRead(entry.payload, entry.size, &packet);
      packet.flags |= MEDIA_FLAG_CAPS_CHANGED;
      packet.caps = entry.caps.data();
      packet.capsSize = static_cast<uint32_t>(entry.caps.size());
      size = MediaPayloadSize(packet.capsSize, packet.dataSize);
      scratch.resize(size);
      uint32_t at = size != 0 ? MediaWriteHeader(scratch.data(), size, &packet) : 0;
      if (at != 0 && packet.dataSize != 0)
        memcpy(scratch.data() + at, packet.data, packet.dataSize);
      payload = scratch.data();
      if (at == 0) size = 0;  // cannot happen with caps from a checked message
    }
    int32_t result = size != 0 ? plugin_common::PostRecord(post, source, stream, MEDIA_EVENT_FLAGS,
                                                           MEDIA_EVENT_TYPE, payload, size)
                               : POST_NO_MEMORY;
    entry.ref.reset();  // before taking the lock: the last reference frees the message
    hold.lock();
    if (result == POST_NO_STREAM || (entry.end && result == POST_OK)) break;
    if (result != POST_OK) {
      // Refused (memory is short): what is queued behind it cannot be
      // decoded without it, so the consumer waits for the next keyframe.
      consumer.waiting = true;
      counters_->dropped++;
      for (auto it = consumer.queue.begin(); it != consumer.queue.end();) {
        if (it->end) {
          ++it;
        } else {
          counters_->dropped++;
          consumer.bytes -= it->size;
          it = consumer.queue.erase(it);
        }
      }
    }
  }
  consumers_.remove(&consumer);
}

void MediaImport::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
}

}  // namespace bridge
