// Payload copies: how the Core copies a poster's payload (once per post) and
// a start request's payload for its Read threads.
//
// The C library's memcpy moves a copy larger than the processor's second-level
// cache with vector loops. On some processors the string move instruction
// (rep movsb) is markedly faster there (a sixth faster for a 1 MiB frame on
// the servers we run on); on others it is slower, which is why the library
// stops using it. So which of the two copies large payloads is measured once
// per process, by ChooseLargeCopy; until then, in builds with sanitizers
// (which must see every byte copied) and off x86, memcpy does all copies.
// Safe from any thread.
#ifndef CORE_PAYLOAD_COPY_H_
#define CORE_PAYLOAD_COPY_H_

#include <stddef.h>
#include <string.h>

enum class LargeCopy { kMemcpy, kStringMove };

// Payloads from this size up to kLargeCopyUpTo take the chosen large copy.
// Below, the two are even; above, memcpy's stores that bypass the caches win.
constexpr size_t kLargeCopyFrom = size_t{256} << 10;
constexpr size_t kLargeCopyUpTo = size_t{16} << 20;

// Times both copies on a 1 MiB block and keeps the faster; the first call
// only, the others return at once. About a millisecond. Any thread.
void ChooseLargeCopy();
// The copy in use, and its name for reports.
LargeCopy ChosenLargeCopy();
const char* LargeCopyName(LargeCopy copy);
// For tests: the copy to use from now on. kStringMove is only taken where the
// processor has it and the build may use it; returns the copy in use.
LargeCopy UseLargeCopy(LargeCopy copy);

// The chosen large copy, for sizes from kLargeCopyFrom on.
void CopyLargePayload(void* to, const void* from, size_t size);

// Inline: every post copies its payload, and most are small.
inline void CopyPayload(void* to, const void* from, size_t size) {
  if (size < kLargeCopyFrom) {
    memcpy(to, from, size);
  } else {
    CopyLargePayload(to, from, size);
  }
}

#endif  // CORE_PAYLOAD_COPY_H_
