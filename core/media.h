/*
 * media.h: the media payload format of ombrevard's media streams.
 *
 * Plain C (C11 or C++17), part of the plug-in SDK beside plugin_api.h, and
 * like it needing only <stddef.h> and <stdint.h>. Producers of audio and video
 * (gst_source.so, bridges) and consumers (gst_sink.so, recorders, previews)
 * exchange it; plug-ins by other authors can read and write it with the
 * inline helpers below and nothing else of ours.
 *
 * ---- How a media stream runs ------------------------------------------------
 *
 * A consumer asks for a source by name with a stream start request:
 *   source 0, a stream handle of its choosing (MediaStreamHandle below),
 *   flags MEDIA_EVENT_FLAGS, type MEDIA_EVENT_TYPE, and as payload the source's
 *   name (UTF-8, no terminating zero).
 * Every producer whose mask 0 holds EventDirectKey(MEDIA_EVENT_TYPE) gets a
 * Read call for it; the one that has a source of that name answers, the others
 * return at once. It posts one payload per buffer on that stream, each with
 * flags MEDIA_EVENT_FLAGS and type MEDIA_EVENT_TYPE, and ends a finite stream
 * with a payload flagged MEDIA_FLAG_END_OF_STREAM.
 * Consumers receive them through Write with mask 0 holding
 * EventQueuedKey(MEDIA_EVENT_TYPE) and eventSink set. Every such consumer sees
 * every media payload of every stream, so each looks at `stream` and takes
 * only the streams it started.
 *
 * The posts are metered (flags bit 0 with class bit 0 of the type): while
 * memory is short the Core refuses them with POST_THROTTLED. A producer of a
 * live source drops the frame and resumes at the next keyframe; a producer
 * that can wait (a file) posts it again a little later.
 *
 * A stream carries one payload at a time, so a consumer that keeps a payload
 * (WriteReply.keep) holds its producer back until it releases it. That is the
 * flow control: keep each payload until it is consumed, never longer. See the
 * plug-in guide, "Media streams".
 *
 * ---- One payload -------------------------------------------------------------
 *
 *   offset 0              the 48-byte header (MediaHeader), little-endian
 *   offset headerSize     capsSize bytes of caps (UTF-8, no terminating zero)
 *   then                  dataSize bytes of media: one buffer of the stream
 *
 * The caps string (a GStreamer caps description such as
 * "video/x-h264, stream-format=byte-stream, alignment=au, width=320, ...")
 * comes on the first payload of a stream and whenever the caps change, both
 * flagged MEDIA_FLAG_CAPS_CHANGED; a producer may repeat it on other payloads
 * without that flag (a consumer joining late can use it). Timestamps are the
 * stream's running time in nanoseconds; -1 (MEDIA_TIME_NONE) means unknown. A
 * decoding time may be negative where frames are reordered: the first frames
 * are decoded before presentation time 0.
 *
 * Versions: fields are only ever appended to the header. A version 1 header
 * is exactly 48 bytes; a later version says so in `version` and carries its
 * larger size in `headerSize`, so that a version 1 reader still finds the caps
 * and media where headerSize says. A change a reader could not skip would take
 * a new magic.
 *
 * ---- Stream handles ----------------------------------------------------------
 *
 * Handles are global in the Core: two consumers that start streams with the
 * same handle get one stream between them, with both producers posting on it.
 * A consumer therefore makes its handles from its own plug-in id with
 * MediaStreamHandle(id, n), n = 0, 1, 2, ... for its first, second, third
 * stream: the id with n in its top byte. Ids are unique, so consumers whose
 * ids differ in their low 24 bits never make the same handle (ombrevard's own
 * plug-ins and examples keep the top byte of their ids 0). A stream the Core
 * has cancelled stays cancelled while the server runs, so use a new n rather
 * than starting a stopped handle again.
 */
#ifndef CORE_MEDIA_H_
#define CORE_MEDIA_H_

#include <stddef.h>
#include <stdint.h>

#include "plugin_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Media payloads and stream start requests: class byte 0x01 (with its
 * metered bit), type 0x200; flags bit 0 selects mask 0 and meters the post. */
#define MEDIA_EVENT_TYPE 0x01000200u
#define MEDIA_EVENT_FLAGS EVENT_FLAG_METERED

#define MEDIA_MAGIC 0x464D564Fu /* the bytes "OVMF" */
#define MEDIA_VERSION 1u
#define MEDIA_HEADER_SIZE 48u /* of version 1 */
#define MEDIA_TIME_NONE (-1)

/* MediaHeader.flags; bits not named here are ignored by readers. */
#define MEDIA_FLAG_KEYFRAME 0x01u      /* decodable on its own */
#define MEDIA_FLAG_DISCONT 0x02u       /* something was lost or skipped before it */
#define MEDIA_FLAG_CODEC_CONFIG 0x04u  /* codec set-up (parameter sets, stream headers) */
#define MEDIA_FLAG_END_OF_STREAM 0x08u /* the last payload of the stream; carries no media */
#define MEDIA_FLAG_CAPS_CHANGED 0x10u  /* the caps it carries are new for this stream */

/* The header, field by field, as it lies in the payload (little-endian). The
 * helpers read and write the bytes themselves: payloads carry no alignment
 * promise, so never cast a payload pointer to this type. */
typedef struct MediaHeader {
  uint32_t magic;      /* MEDIA_MAGIC */
  uint16_t version;    /* MEDIA_VERSION */
  uint16_t headerSize; /* bytes before the caps: MEDIA_HEADER_SIZE for version 1 */
  uint32_t flags;      /* MEDIA_FLAG_* */
  uint32_t sequence;   /* the producer's count of payloads meant for this stream, from 0;
                          a gap means payloads were dropped before they were posted */
  uint32_t capsSize;   /* bytes of caps after the header; 0: none on this payload */
  uint32_t dataSize;   /* bytes of media after the caps: the rest of the payload */
  int64_t pts;         /* presentation time, ns, or MEDIA_TIME_NONE */
  int64_t dts;         /* decoding time, ns, or MEDIA_TIME_NONE */
  int64_t duration;    /* ns, or MEDIA_TIME_NONE */
} MediaHeader;

/* One payload's contents as the helpers write and read them. Pointers point
 * into the payload (reading) or at the writer's memory (writing). */
typedef struct MediaPacket {
  uint32_t version; /* read: the payload's version; ignored when writing */
  uint32_t flags;
  uint32_t sequence;
  int64_t pts;
  int64_t dts;
  int64_t duration;
  const char* caps; /* capsSize bytes, not zero-terminated; null when capsSize is 0 */
  uint32_t capsSize;
  const uint8_t* data; /* dataSize bytes; the writer copies them itself */
  uint32_t dataSize;
} MediaPacket;

/* MediaRead results. */
#define MEDIA_OK 0
#define MEDIA_ERROR_SHORT 1       /* shorter than a header, or no payload at all */
#define MEDIA_ERROR_MAGIC 2       /* not a media payload */
#define MEDIA_ERROR_VERSION 3     /* version 0 */
#define MEDIA_ERROR_HEADER_SIZE 4 /* headerSize too small for its version, or past the end */
#define MEDIA_ERROR_LENGTH 5      /* capsSize and dataSize do not add up to the payload */
#define MEDIA_ERROR_CAPS 6        /* a zero byte inside the caps */

static inline uint32_t MediaGet32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline uint64_t MediaGet64(const uint8_t* p) {
  return (uint64_t)MediaGet32(p) | ((uint64_t)MediaGet32(p + 4) << 32);
}

static inline void MediaPut32(uint8_t* p, uint32_t value) {
  p[0] = (uint8_t)value;
  p[1] = (uint8_t)(value >> 8);
  p[2] = (uint8_t)(value >> 16);
  p[3] = (uint8_t)(value >> 24);
}

static inline void MediaPut64(uint8_t* p, uint64_t value) {
  MediaPut32(p, (uint32_t)value);
  MediaPut32(p + 4, (uint32_t)(value >> 32));
}

/* Bytes of a version 1 payload with the given caps and media; 0 when that
 * does not fit in 32 bits. */
static inline uint32_t MediaPayloadSize(uint32_t capsSize, uint32_t dataSize) {
  uint64_t total = (uint64_t)MEDIA_HEADER_SIZE + capsSize + dataSize;
  return total > 0xFFFFFFFFu ? 0u : (uint32_t)total;
}

/* Writes the header and the caps of `packet` at `out`, which holds `outSize`
 * bytes. Returns the offset at which the packet's dataSize bytes of media go
 * (the caller copies them there), or 0 when the whole payload
 * (MediaPayloadSize) does not fit in outSize. */
static inline uint32_t MediaWriteHeader(void* out, uint32_t outSize, const MediaPacket* packet) {
  uint32_t total = MediaPayloadSize(packet->capsSize, packet->dataSize);
  if (out == NULL || total == 0u || total > outSize) return 0u;
  if (packet->capsSize != 0u && packet->caps == NULL) return 0u;
  uint8_t* p = (uint8_t*)out;
  MediaPut32(p + 0, MEDIA_MAGIC);
  p[4] = (uint8_t)MEDIA_VERSION;
  p[5] = 0;
  p[6] = (uint8_t)MEDIA_HEADER_SIZE;
  p[7] = 0;
  MediaPut32(p + 8, packet->flags);
  MediaPut32(p + 12, packet->sequence);
  MediaPut32(p + 16, packet->capsSize);
  MediaPut32(p + 20, packet->dataSize);
  MediaPut64(p + 24, (uint64_t)packet->pts);
  MediaPut64(p + 32, (uint64_t)packet->dts);
  MediaPut64(p + 40, (uint64_t)packet->duration);
  for (uint32_t i = 0; i < packet->capsSize; i++)
    p[MEDIA_HEADER_SIZE + i] = (uint8_t)packet->caps[i];
  return MEDIA_HEADER_SIZE + packet->capsSize;
}

/* Reads a payload as delivered (WriteRequest.payload and payloadSize). Checks
 * the magic, the version, the header size and that the caps and media lengths
 * add up to exactly the payload's size, so that no length in the payload is
 * trusted; then fills `packet` with pointers into the payload. Returns
 * MEDIA_OK, or a MEDIA_ERROR_* code and leaves `packet` zeroed. */
static inline int MediaRead(const void* payload, uint32_t payloadSize, MediaPacket* packet) {
  const uint8_t* p = (const uint8_t*)payload;
  MediaPacket empty = {0, 0, 0, 0, 0, 0, NULL, 0, NULL, 0};
  *packet = empty;
  if (p == NULL || payloadSize < MEDIA_HEADER_SIZE) return MEDIA_ERROR_SHORT;
  if (MediaGet32(p) != MEDIA_MAGIC) return MEDIA_ERROR_MAGIC;
  uint32_t version = (uint32_t)p[4] | ((uint32_t)p[5] << 8);
  uint32_t headerSize = (uint32_t)p[6] | ((uint32_t)p[7] << 8);
  if (version == 0u) return MEDIA_ERROR_VERSION;
  if (headerSize < MEDIA_HEADER_SIZE || (version == 1u && headerSize != MEDIA_HEADER_SIZE) ||
      headerSize > payloadSize) {
    return MEDIA_ERROR_HEADER_SIZE;
  }
  uint32_t capsSize = MediaGet32(p + 16);
  uint32_t dataSize = MediaGet32(p + 20);
  uint32_t rest = payloadSize - headerSize;
  if (capsSize > rest || dataSize != rest - capsSize) return MEDIA_ERROR_LENGTH;
  for (uint32_t i = 0; i < capsSize; i++) {
    if (p[headerSize + i] == 0u) return MEDIA_ERROR_CAPS;
  }
  packet->version = version;
  packet->flags = MediaGet32(p + 8);
  packet->sequence = MediaGet32(p + 12);
  packet->pts = (int64_t)MediaGet64(p + 24);
  packet->dts = (int64_t)MediaGet64(p + 32);
  packet->duration = (int64_t)MediaGet64(p + 40);
  packet->caps = capsSize != 0u ? (const char*)(p + headerSize) : NULL;
  packet->capsSize = capsSize;
  packet->data = p + headerSize + capsSize;
  packet->dataSize = dataSize;
  return MEDIA_OK;
}

/* A short English text for a MediaRead result, for log lines. */
static inline const char* MediaErrorText(int error) {
  switch (error) {
    case MEDIA_OK:
      return "valid";
    case MEDIA_ERROR_SHORT:
      return "shorter than a media header";
    case MEDIA_ERROR_MAGIC:
      return "not a media payload (wrong magic)";
    case MEDIA_ERROR_VERSION:
      return "media version 0";
    case MEDIA_ERROR_HEADER_SIZE:
      return "wrong media header size";
    case MEDIA_ERROR_LENGTH:
      return "caps and media lengths do not match the payload size";
    case MEDIA_ERROR_CAPS:
      return "zero byte inside the caps";
    default:
      return "unknown error";
  }
}

/* The handle of a consumer's n-th stream (n from 0 to 255): its plug-in id
 * with n in the top byte. 0 (no stream) for an n above 255, and for the one n
 * whose handle would be 0; take the next n then. */
static inline uint32_t MediaStreamHandle(uint32_t consumerId, uint32_t n) {
  if (n > 255u) return 0u;
  return consumerId ^ (n << 24);
}

/* ---- Layout checks ------------------------------------------------------ */

/* No pointers: the same on every target. */
PLUGIN_API_ASSERT(sizeof(MediaHeader) == MEDIA_HEADER_SIZE);
PLUGIN_API_ASSERT(offsetof(MediaHeader, version) == 4);
PLUGIN_API_ASSERT(offsetof(MediaHeader, headerSize) == 6);
PLUGIN_API_ASSERT(offsetof(MediaHeader, flags) == 8);
PLUGIN_API_ASSERT(offsetof(MediaHeader, sequence) == 12);
PLUGIN_API_ASSERT(offsetof(MediaHeader, capsSize) == 16);
PLUGIN_API_ASSERT(offsetof(MediaHeader, dataSize) == 20);
PLUGIN_API_ASSERT(offsetof(MediaHeader, pts) == 24);
PLUGIN_API_ASSERT(offsetof(MediaHeader, dts) == 32);
PLUGIN_API_ASSERT(offsetof(MediaHeader, duration) == 40);

#ifdef __cplusplus
}
#endif

#endif /* CORE_MEDIA_H_ */
