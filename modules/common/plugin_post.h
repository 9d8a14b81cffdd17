// PostRecord: one post by a plug-in we ship, with the record built the way
// the Core builds its blocks (zero-filled, header written).
//
// Safe from any thread; the rules of PostEvent (core/plugin_api.h) apply,
// among them that a post on a stream waits for the stream's gate.
#ifndef MODULES_COMMON_PLUGIN_POST_H_
#define MODULES_COMMON_PLUGIN_POST_H_

#include <stdint.h>
#include <string.h>

#include "core/plugin_api.h"

namespace plugin_common {

// Posts `payloadSize` bytes at `payload` (copied by the post; for a release,
// the payload given back) and, when `body` is not null, its 152 bytes as the
// record's body. Returns the post's result, one of the POST_* codes.
inline int32_t PostRecord(PostEventFunction post, uint32_t source, uint32_t stream, uint32_t flags,
                          uint32_t type, const void* payload, uint32_t payloadSize,
                          const uint8_t* body = nullptr) {
  EventRecord record = MakePluginBlock<EventRecord>();
  record.payloadSize = payloadSize;
  record.payload = const_cast<void*>(payload);
  record.source = source;
  record.stream = stream;
  record.flags = flags;
  record.type = type;
  if (body != nullptr) memcpy(record.body, body, sizeof(record.body));
  EventResult result = MakePluginBlock<EventResult>();
  (void)post(&record, &result);  // always 0: the outcome is in result
  return result.result;
}

}  // namespace plugin_common

#endif  // MODULES_COMMON_PLUGIN_POST_H_
