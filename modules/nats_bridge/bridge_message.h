// BridgeMessage: what nats_bridge.so puts in one NATS message, and how it
// reads one back.
//
//   offset 0    the 40-byte envelope, little-endian:
//                 u32 magic "OVNB", u16 version 1, u16 header size 40,
//                 u16 kind (media or event), u16 zero, u32 extra size,
//                 u32 payload size, u32 zero, u64 origin, u64 sequence
//   offset 40   extra: for media the stream's caps (UTF-8, no zero) or
//               nothing; for an event its type, flags and 152-byte body
//   then        the payload, byte for byte as it was posted (a media
//               payload with its own header)
//
// `origin` is a random number a bridge draws when it opens; `sequence`
// counts, from 0, the messages that bridge meant for the subject, sent or
// not, so a receiver sees every loss as a gap. Readers check every length
// against the message's real size: nothing read from the network is trusted
// as a length.
//
// Plain functions over bytes; safe from any thread.
#ifndef MODULES_NATS_BRIDGE_BRIDGE_MESSAGE_H_
#define MODULES_NATS_BRIDGE_BRIDGE_MESSAGE_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "core/media.h"
#include "core/plugin_api.h"

namespace bridge {

constexpr uint32_t kMessageMagic = 0x424E564Fu;  // the bytes "OVNB"
constexpr uint32_t kMessageVersion = 1;
constexpr uint32_t kEnvelopeSize = 40;
constexpr uint32_t kEventExtraSize = 8 + sizeof(EventRecord::body);

enum class Kind : uint16_t { kMedia = 1, kEvent = 2 };

struct Message {
  Kind kind = Kind::kMedia;
  uint64_t origin = 0;
  uint64_t sequence = 0;
  const uint8_t* extra = nullptr;  // into the message
  uint32_t extraSize = 0;
  const uint8_t* payload = nullptr;  // into the message
  uint32_t payloadSize = 0;
};

// Why ReadMessage refused a message; kOk when it did not.
enum class Fault { kOk, kShort, kMagic, kVersion, kLength, kKind, kMedia };

// Replaces `out` with the whole message. `extra` may be null when
// extraSize is 0; so may `payload` when payloadSize is 0.
void WriteMessage(std::vector<uint8_t>* out, Kind kind, uint64_t origin, uint64_t sequence,
                  const void* extra, uint32_t extraSize, const void* payload, uint32_t payloadSize);

// Reads `size` bytes at `data` into `message` (pointers into `data`).
// Media messages must carry a media payload that MediaRead accepts and caps
// without a zero byte; event messages exactly kEventExtraSize extra bytes.
Fault ReadMessage(const void* data, size_t size, Message* message);

const char* FaultText(Fault fault);

}  // namespace bridge

#endif  // MODULES_NATS_BRIDGE_BRIDGE_MESSAGE_H_
