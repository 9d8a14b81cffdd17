#include "core/queue_limits.h"

#include <errno.h>
#include <stdlib.h>

#include <wx/log.h>

const char kQueueMaxBytesVariable[] = "OMBREVARD_QUEUE_MAX_BYTES";
const char kQueueMaxRecordsVariable[] = "OMBREVARD_QUEUE_MAX_RECORDS";
const char kBadQueueLimitMessage[] =
    "%s is not a positive whole number (\"%s\"); using the default %llu";

uint64_t ReadPositiveVariable(const char* variable, uint64_t fallback) {
  const char* text = getenv(variable);
  if (text == nullptr) return fallback;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  bool ok = text[0] >= '0' && text[0] <= '9' && end != text && *end == '\0' && errno == 0 &&
            value > 0;
  if (ok) return value;
  wxLogWarning(kBadQueueLimitMessage, variable, text, static_cast<unsigned long long>(fallback));
  return fallback;
}

QueueLimits ReadQueueLimits() {
  QueueLimits limits;
  limits.maxBytes = ReadPositiveVariable(kQueueMaxBytesVariable, kDefaultQueueMaxBytes);
  limits.maxRecords = ReadPositiveVariable(kQueueMaxRecordsVariable, kDefaultQueueMaxRecords);
  return limits;
}
