#include "modules/nats_bridge/bridge_message.h"

#include <string.h>

namespace bridge {

void WriteMessage(std::vector<uint8_t>* out, Kind kind, uint64_t origin, uint64_t sequence,
                  const void* extra, uint32_t extraSize, const void* payload,
                  uint32_t payloadSize) {
  out->assign(kEnvelopeSize, 0);
  uint8_t* p = out->data();
  MediaPut32(p, kMessageMagic);
  p[4] = static_cast<uint8_t>(kMessageVersion);
  p[6] = static_cast<uint8_t>(kEnvelopeSize);
  p[8] = static_cast<uint8_t>(kind);
  MediaPut32(p + 12, extraSize);
  MediaPut32(p + 16, payloadSize);
  MediaPut64(p + 24, origin);
  MediaPut64(p + 32, sequence);
  const uint8_t* extraBytes = static_cast<const uint8_t*>(extra);
  const uint8_t* payloadBytes = static_cast<const uint8_t*>(payload);
  if (extraSize != 0) out->insert(out->end(), extraBytes, extraBytes + extraSize);
  if (payloadSize != 0) out->insert(out->end(), payloadBytes, payloadBytes + payloadSize);
}

Fault ReadMessage(const void* data, size_t size, Message* message) {
  *message = Message();
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (p == nullptr || size < kEnvelopeSize) return Fault::kShort;
  if (MediaGet32(p) != kMessageMagic) return Fault::kMagic;
  uint32_t version = p[4] | (p[5] << 8);
  uint32_t headerSize = p[6] | (p[7] << 8);
  if (version != kMessageVersion) return Fault::kVersion;
  uint64_t extraSize = MediaGet32(p + 12);
  uint64_t payloadSize = MediaGet32(p + 16);
  // 64-bit sums: no 32-bit field can wrap them.
  if (headerSize != kEnvelopeSize || headerSize + extraSize + payloadSize != size) {
    return Fault::kLength;
  }
  uint32_t kind = p[8] | (p[9] << 8);
  message->origin = MediaGet64(p + 24);
  message->sequence = MediaGet64(p + 32);
  message->extraSize = static_cast<uint32_t>(extraSize);
  message->extra = extraSize != 0 ? p + headerSize : nullptr;
  message->payloadSize = static_cast<uint32_t>(payloadSize);
  message->payload = payloadSize != 0 ? p + headerSize + extraSize : nullptr;
  if (kind == static_cast<uint32_t>(Kind::kEvent)) {
    message->kind = Kind::kEvent;
    return extraSize == kEventExtraSize ? Fault::kOk : Fault::kLength;
  }
  if (kind != static_cast<uint32_t>(Kind::kMedia)) return Fault::kKind;
  message->kind = Kind::kMedia;
  if (message->extra != nullptr && memchr(message->extra, 0, extraSize) != nullptr) {
    return Fault::kMedia;
  }
  MediaPacket packet;
  return MediaRead(message->payload, message->payloadSize, &packet) == MEDIA_OK ? Fault::kOk
                                                                                : Fault::kMedia;
}

const char* FaultText(Fault fault) {
  switch (fault) {
    case Fault::kOk:
      return "valid";
    case Fault::kShort:
      return "shorter than the envelope";
    case Fault::kMagic:
      return "wrong magic";
    case Fault::kVersion:
      return "unknown version";
    case Fault::kLength:
      return "lengths do not match the message size";
    case Fault::kKind:
      return "unknown kind";
    case Fault::kMedia:
      return "not a valid media payload";
  }
  return "unknown fault";
}

}  // namespace bridge
