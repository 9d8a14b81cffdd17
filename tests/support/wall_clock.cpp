#include "tests/support/wall_clock.h"

#include <sys/time.h>
#include <time.h>

#include <atomic>

#include "tests/support/next_symbol.h"

namespace testing_support {

namespace {

std::atomic<long> offset{0};
std::atomic<long> timeCalls{0};

}  // namespace

void SetWallClockOffset(long seconds) { offset.store(seconds); }

long TimeCalls() { return timeCalls.load(); }

}  // namespace testing_support

using testing_support::NextSymbol;

extern "C" {

int clock_gettime(clockid_t clock, struct timespec* now) noexcept {
  static auto real = NextSymbol<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  int result = real(clock, now);
  if (result == 0 && clock == CLOCK_REALTIME) now->tv_sec += testing_support::offset.load();
  return result;
}

int gettimeofday(struct timeval* now, void* zone) noexcept {
  static auto real = NextSymbol<int (*)(struct timeval*, void*)>("gettimeofday");
  int result = real(now, zone);
  if (result == 0) now->tv_sec += testing_support::offset.load();
  return result;
}

time_t time(time_t* out) noexcept {
  static auto real = NextSymbol<time_t (*)(time_t*)>("time");
  testing_support::timeCalls.fetch_add(1);
  time_t now = real(nullptr) + testing_support::offset.load();
  if (out != nullptr) *out = now;
  return now;
}

}  // extern "C"
