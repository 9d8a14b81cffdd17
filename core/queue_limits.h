// QueueLimits: how much the Core's event queue may hold before ordinary posts
// are refused with POST_NO_MEMORY.
//
// Each queued record counts its payload's bytes plus the record itself, so a
// flood of small posts is bounded as well as a few large ones. The defaults
// keep the queue within about 256 MiB; operators change them through the
// environment variables OMBREVARD_QUEUE_MAX_BYTES and
// OMBREVARD_QUEUE_MAX_RECORDS (positive decimal integers), read when the Core
// starts. Main thread only.
#ifndef CORE_QUEUE_LIMITS_H_
#define CORE_QUEUE_LIMITS_H_

#include <stdint.h>

#include "core/plugin_api.h"

extern const char kQueueMaxBytesVariable[];    // "OMBREVARD_QUEUE_MAX_BYTES"
extern const char kQueueMaxRecordsVariable[];  // "OMBREVARD_QUEUE_MAX_RECORDS"
extern const char kBadQueueLimitMessage[];

constexpr uint64_t kDefaultQueueMaxBytes = 256ull << 20;
constexpr uint64_t kDefaultQueueMaxRecords = 1ull << 20;

// What one queued record counts against the byte bound.
inline uint64_t QueuedCost(uint32_t payloadSize) { return sizeof(EventRecord) + payloadSize; }
inline uint64_t QueuedCost(const EventRecord& record) { return QueuedCost(record.payloadSize); }

struct QueueLimits {
  uint64_t maxBytes = kDefaultQueueMaxBytes;
  uint64_t maxRecords = kDefaultQueueMaxRecords;
};

// The positive whole number in an environment variable, or `fallback` when
// it is unset; a value that is not one is logged as a warning. Main thread.
uint64_t ReadPositiveVariable(const char* variable, uint64_t fallback);

// The limits the environment asks for; a variable that is not a positive
// decimal integer is logged as a warning and its default used.
QueueLimits ReadQueueLimits();

#endif  // CORE_QUEUE_LIMITS_H_
