// Payload memory: GStreamer memory over a payload the Core delivered, with no
// copy, given back to the Core when GStreamer lets go of it.
//
// A consumer keeps each payload it wraps (WriteReply.keep) and the stream's
// gate stays shut until the payload is released, which paces the producer.
// But some elements hold a buffer until the next one arrives (a muxer that
// needs the next timestamp for a duration, a decoder's reference frames, any
// queue): with one payload in flight per stream that next one would never
// come. So when the pipeline asks for more data while it still holds the
// payload, the payload is detached: its bytes are copied into memory of our
// own, GStreamer reads that copy from then on, and the payload is released.
// The copy is made only then, and only once per payload; a pipeline that is
// done with a buffer when it asks for the next costs no copy at all.
//
// Readers reach the bytes only between map and unmap, so the switch is made
// while nobody has them mapped: at once when no mapping is open, otherwise
// when the last one closes.
//
// Threads: any. One lock, inside this file, guards the slots and every
// payload memory's state; it is held for a copy at most, never while calling
// GStreamer or the Core.
#ifndef MODULES_MEDIA_PAYLOAD_MEMORY_H_
#define MODULES_MEDIA_PAYLOAD_MEMORY_H_

#include <gst/gst.h>
#include <stdint.h>

namespace media {

struct PayloadMemory;

// Gives a payload back to the Core; called once per wrapped payload, from
// whatever thread lets go of it.
using ReleasePayload = void (*)(void* payload);

// One stream's place for the payload GStreamer holds, at most one at a time
// (the stream's gate lets no second one come). Must outlive every memory
// wrapped for it.
struct PayloadSlot {
  PayloadMemory* held = nullptr;  // guarded by the file's lock
};

// Sets the release function for every later Wrap. Call once, before any.
void SetPayloadRelease(ReleasePayload release);

// A read-only GstMemory over `size` bytes at `data`, inside `payload`, which
// the caller keeps; placed in `slot`. Null when GStreamer cannot make it
// (then nothing is held).
GstMemory* WrapPayload(void* payload, const uint8_t* data, size_t size, PayloadSlot* slot);

// The pipeline wants more: if it still holds the slot's payload, detach it.
void DetachHeld(PayloadSlot* slot);

// Payload memories not yet freed (for checks at unload).
int LivePayloadMemories();

}  // namespace media

#endif  // MODULES_MEDIA_PAYLOAD_MEMORY_H_
