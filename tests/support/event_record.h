// MakeRecord: an EventRecord as a plug-in fills it in, for the tests and the
// benchmark, which post.
#ifndef TESTS_SUPPORT_EVENT_RECORD_H_
#define TESTS_SUPPORT_EVENT_RECORD_H_

#include <stdint.h>

#include "core/plugin_api.h"

// A record with the given fields; body zero.
inline EventRecord MakeRecord(uint32_t source, uint32_t stream, uint32_t flags, uint32_t type,
                              const void* payload = nullptr, uint32_t payloadSize = 0) {
  EventRecord record{};
  record.size = sizeof(record);
  record.version = 1;
  record.payloadSize = payloadSize;
  record.payload = const_cast<void*>(payload);
  record.source = source;
  record.stream = stream;
  record.flags = flags;
  record.type = type;
  return record;
}

#endif  // TESTS_SUPPORT_EVENT_RECORD_H_
