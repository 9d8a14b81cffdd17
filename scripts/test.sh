#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the native build and all its tests;
#   2. the 32-bit x86 build and its tests;
#   3. every test under AddressSanitizer with UndefinedBehaviorSanitizer, and
#      under ThreadSanitizer;
#   4. the fuzzer for a minute;
#   5. valgrind's memcheck over a foreground start and stop with the
#      example plug-ins.
# `scripts/test.sh --native` runs the first step only.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

if [ "${1:-}" = "--native" ]; then
  scripts/setup.sh
else
  scripts/setup.sh --all
fi

step "native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
[ "${1:-}" = "--native" ] && exit 0

step "32-bit x86 build and tests"
scripts/i386-exec.sh
cmake -S . -B build-32 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-32 -j"$jobs"
# Every test, as 32-bit programs against the 32-bit server and plug-ins.
(cd build-32 && OMBREVARD_TEST_TIME_SCALE=4 ctest --output-on-failure -j"$jobs")

for sanitizer in address thread; do
  step "tests under the $sanitizer sanitizer"
  cmake -S . -B "build-$sanitizer" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE="$sanitizer" \
    -DOMBREVARD_TEST_FOLDERS="threads;core;host"
  cmake --build "build-$sanitizer" -j"$jobs"
  # The daemon's 60-second time-out is a matter of waiting, not of memory or
  # threads; it runs in the native pass. Under ThreadSanitizer a daemon asleep
  # in select() never sees its stop signal (the sanitizer holds asynchronous
  # signals back until the thread runs instrumented code), so the daemon
  # process tests run in the native and address-sanitizer passes only.
  skip='SlowReport'
  [ "$sanitizer" = thread ] && skip='SlowReport|Daemon'
  (cd "build-$sanitizer" && OMBREVARD_TEST_TIME_SCALE=4 ctest --output-on-failure -j"$jobs" \
    -E "$skip")
done

if [ -x scripts/fuzz.sh ]; then
  step "fuzzing for a minute"
  scripts/fuzz.sh 60
fi

step "valgrind memcheck of a foreground start and stop"
# With the system allocator, which valgrind understands.
cmake -S . -B build-memcheck -DCMAKE_BUILD_TYPE=Debug -DOMBREVARD_TCMALLOC=OFF -DOMBREVARD_TESTS=OFF
cmake --build build-memcheck -j"$jobs"
scripts/memcheck.sh build-memcheck
