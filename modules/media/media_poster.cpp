#include "modules/media/media_poster.h"

#include <string.h>

#include "core/media.h"
#include "modules/media/gst_util.h"

namespace media {

namespace {

// What a GStreamer buffer's flags say in media flags.
uint32_t FlagsOf(GstBuffer* buffer) {
  uint32_t flags = 0;
  if (!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) flags |= MEDIA_FLAG_KEYFRAME;
  if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT)) flags |= MEDIA_FLAG_DISCONT;
  if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_HEADER)) flags |= MEDIA_FLAG_CODEC_CONFIG;
  return flags;
}

int64_t Shifted(int64_t time, int64_t offset) {
  return time == MEDIA_TIME_NONE ? time : time + offset;
}

}  // namespace

void PostStreamStop(PostEventFunction post, uint32_t stream) {
  EventRecord record = MakePluginBlock<EventRecord>();
  record.stream = stream;
  record.flags = EVENT_STOP_STREAM;
  EventResult result = MakePluginBlock<EventResult>();
  post(&record, &result);
}

MediaPoster::~MediaPoster() {
  if (sentCaps_ != nullptr) gst_caps_unref(sentCaps_);
  if (meter_ != nullptr) meter_->End(stream_);
}

int32_t MediaPoster::PostSample(GstSample* sample, uint32_t extraFlags, int64_t offset) {
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (buffer == nullptr) return POST_OK;  // nothing to carry
  GstCaps* caps = gst_sample_get_caps(sample);
  bool newCaps = caps != nullptr && (sentCaps_ == nullptr ||
                                     (caps != sentCaps_ && !gst_caps_is_equal(caps, sentCaps_)));
  gchar* capsText = newCaps ? gst_caps_to_string(caps) : nullptr;
  const GstSegment* segment = gst_sample_get_segment(sample);

  MediaPacket packet = {};
  packet.flags = FlagsOf(buffer) | extraFlags | (newCaps ? MEDIA_FLAG_CAPS_CHANGED : 0u);
  packet.sequence = sequence_++;
  packet.pts = Shifted(RunningTime(segment, GST_BUFFER_PTS(buffer)), offset);
  packet.dts = Shifted(RunningTime(segment, GST_BUFFER_DTS(buffer)), offset);
  packet.duration = GST_BUFFER_DURATION_IS_VALID(buffer)
                        ? static_cast<int64_t>(GST_BUFFER_DURATION(buffer))
                        : MEDIA_TIME_NONE;
  packet.caps = capsText;
  packet.capsSize = capsText != nullptr ? static_cast<uint32_t>(strlen(capsText)) : 0u;
  gsize size = gst_buffer_get_size(buffer);
  packet.dataSize = size > 0xFFFFFFFFu ? 0u : static_cast<uint32_t>(size);
  uint32_t total = MediaPayloadSize(packet.capsSize, packet.dataSize);
  int32_t result = POST_NO_MEMORY;  // a buffer too large for one payload
  if (total != 0 && packet.dataSize == size) {
    if (scratch_.size() < total) scratch_.resize(total);
    uint32_t at = MediaWriteHeader(scratch_.data(), total, &packet);
    gst_buffer_extract(buffer, 0, scratch_.data() + at, size);
    result = Post(total);
  }
  g_free(capsText);
  if (result == POST_OK && newCaps) gst_caps_replace(&sentCaps_, caps);
  if (result == POST_OK && meter_ != nullptr) meter_->Count(stream_, name_, packet.dataSize);
  return result;
}

int32_t MediaPoster::PostEnd() {
  MediaPacket packet = {};
  packet.flags = MEDIA_FLAG_END_OF_STREAM;
  packet.sequence = sequence_++;
  packet.pts = packet.dts = packet.duration = MEDIA_TIME_NONE;
  if (scratch_.size() < MEDIA_HEADER_SIZE) scratch_.resize(MEDIA_HEADER_SIZE);
  (void)MediaWriteHeader(scratch_.data(), MEDIA_HEADER_SIZE, &packet);  // always fits
  return Post(MEDIA_HEADER_SIZE);
}

int32_t MediaPoster::Post(uint32_t bytes) {
  EventRecord record = MakePluginBlock<EventRecord>();
  record.payloadSize = bytes;
  record.payload = scratch_.data();
  record.source = source_;
  record.stream = stream_;
  record.flags = MEDIA_EVENT_FLAGS;
  record.type = MEDIA_EVENT_TYPE;
  EventResult result = MakePluginBlock<EventResult>();
  post_(&record, &result);
  return result.result;
}

}  // namespace media
