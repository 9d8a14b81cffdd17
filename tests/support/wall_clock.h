// A wall clock the test moves: while an offset is set, every read of the
// wall clock in this process (time, gettimeofday, clock_gettime with
// CLOCK_REALTIME) is shifted by it, as if the system clock had been set, and
// the machine's own clock is left alone. The monotonic clock, and the
// kernel's own measure of a wait on the wall clock, are not shifted: a wait
// that took its deadline from the shifted clock is timed by the real one, as
// it would be after a real step of the clock.
//
// The test executable gets these definitions ahead of the C library's as soon
// as it calls SetWallClockOffset; each forwards to the C library's own. Safe
// from any thread.
#ifndef TESTS_SUPPORT_WALL_CLOCK_H_
#define TESTS_SUPPORT_WALL_CLOCK_H_

namespace testing_support {

// Seconds added to every wall-clock read from now on; 0 gives the real time.
void SetWallClockOffset(long seconds);

// How many times time() has been called in this process so far.
long TimeCalls();

}  // namespace testing_support

#endif  // TESTS_SUPPORT_WALL_CLOCK_H_
