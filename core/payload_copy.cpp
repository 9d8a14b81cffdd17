#include "core/payload_copy.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#if (defined(__x86_64__) || defined(__i386__)) && !defined(OMBREVARD_SANITIZE_ADDRESS) && \
    !defined(OMBREVARD_SANITIZE_THREAD)
#define OMBREVARD_STRING_MOVE 1
#endif

namespace {

std::atomic<LargeCopy> chosen{LargeCopy::kMemcpy};
std::once_flag choosing;

#if defined(OMBREVARD_STRING_MOVE)
constexpr size_t kTrialBytes = size_t{1} << 20;
constexpr int kTrials = 5;
// The string move must win by this much to be taken: a tie stays with the
// C library, whose choice holds on more processors.
constexpr double kWinningShare = 0.95;

// The processor's "enhanced rep movsb" flag: without it the string move is
// slow at every size.
bool HasStringMove() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx & (1u << 9)) != 0;
}

void MoveString(void* to, const void* from, size_t size) {
  asm volatile("rep movsb" : "+D"(to), "+S"(from), "+c"(size) : : "memory");
}

int64_t Nanoseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void CopyWithLibrary(void* to, const void* from, size_t size) { memcpy(to, from, size); }

// Nanoseconds one copy of kTrialBytes takes.
int64_t TimeCopy(void (*copy)(void*, const void*, size_t), char* to, const char* from) {
  int64_t start = Nanoseconds();
  copy(to, from, kTrialBytes);
  asm volatile("" : : "r"(to) : "memory");  // the copy is used: keep it
  return Nanoseconds() - start;
}

void Choose() {
  if (!HasStringMove()) return;
  char* from = static_cast<char*>(malloc(kTrialBytes));
  char* to = static_cast<char*>(malloc(kTrialBytes));
  if (from != nullptr && to != nullptr) {
    // Both blocks faulted in and in the caches, as a poster's frame and a
    // reused payload block are. The trials alternate, and the fastest of
    // each counts, so that a moment of other work on the machine does not
    // decide.
    memset(from, 1, kTrialBytes);
    memset(to, 2, kTrialBytes);
    int64_t library = INT64_MAX;
    int64_t string = INT64_MAX;
    for (int i = 0; i < kTrials; i++) {
      library = std::min(library, TimeCopy(CopyWithLibrary, to, from));
      string = std::min(string, TimeCopy(MoveString, to, from));
    }
    if (static_cast<double>(string) < kWinningShare * static_cast<double>(library)) {
      chosen.store(LargeCopy::kStringMove, std::memory_order_relaxed);
    }
  }
  free(from);
  free(to);
}
#endif

}  // namespace

void ChooseLargeCopy() {
#if defined(OMBREVARD_STRING_MOVE)
  std::call_once(choosing, Choose);
#endif
}

LargeCopy ChosenLargeCopy() { return chosen.load(std::memory_order_relaxed); }

const char* LargeCopyName(LargeCopy copy) {
  return copy == LargeCopy::kStringMove ? "rep movsb" : "memcpy";
}

LargeCopy UseLargeCopy(LargeCopy copy) {
  std::call_once(choosing, [] {});  // a later ChooseLargeCopy keeps this choice
#if defined(OMBREVARD_STRING_MOVE)
  if (copy == LargeCopy::kStringMove && !HasStringMove()) copy = LargeCopy::kMemcpy;
#else
  copy = LargeCopy::kMemcpy;
#endif
  chosen.store(copy, std::memory_order_relaxed);
  return copy;
}

void CopyLargePayload(void* to, const void* from, size_t size) {
#if defined(OMBREVARD_STRING_MOVE)
  if (size <= kLargeCopyUpTo &&
      chosen.load(std::memory_order_relaxed) == LargeCopy::kStringMove) {
    MoveString(to, from, size);
    return;
  }
#endif
  memcpy(to, from, size);
}
