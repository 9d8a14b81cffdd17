#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test:
#   1. the native build and all its tests;
#   2. a clang build of the product, whose lock annotations are checked
#      (-Wthread-safety, as errors);
#   3. the 32-bit x86 build and its tests;
#   4. every test under AddressSanitizer with UndefinedBehaviorSanitizer, and
#      under ThreadSanitizer;
#   5. the fuzzer for a minute;
#   6. valgrind's memcheck over a foreground start and stop with the
#      example plug-ins, and over a recording with the media plug-ins.
# `scripts/test.sh --native` runs the first step only.
#
# A pass whose optional packages could not be installed (scripts/setup.sh
# says which and why) is skipped with a loud SKIPPED line and the rest runs.
# OMBREVARD_REQUIRE_32BIT=1 makes a skipped 32-bit pass a failure instead.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

report=$(mktemp)
trap 'rm -f "$report"' EXIT
if [ "${1:-}" = "--native" ]; then
  OMBREVARD_SETUP_REPORT=$report scripts/setup.sh
else
  OMBREVARD_SETUP_REPORT=$report scripts/setup.sh --all
fi
# Why the packages of an optional set are missing; empty when they are there.
skipped() { awk -F'\t' -v set="$1" '$1 == set { print $2; exit }' "$report"; }

# A loud line for a pass, or part of one, left out for want of packages.
skip_notice() { printf '\n%s\n%s\n%s\n\n' "!!!!!!!!" "$1" "!!!!!!!!" >&2; }

# Said before the native pass and again at the end, where it is seen.
package_notices() {
  local why
  why=$(skipped media)
  [ -z "$why" ] || skip_notice "media tests SKIPPED: GStreamer could not be installed: $why"
  why=$(skipped admin)
  [ -z "$why" ] || skip_notice "admin tests SKIPPED: libmicrohttpd could not be installed: $why"
  why=$(skipped admin-tools)
  [ -z "$why" ] || skip_notice "admin promtool and browser checks SKIPPED: $why"
}

step "native build and tests"
package_notices
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")
if [ "${1:-}" = "--native" ]; then
  package_notices
  exit 0
fi

step "clang build with checked lock annotations"
CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Debug -DOMBREVARD_TESTS=OFF
cmake --build build-clang -j"$jobs"

step "32-bit x86 build and tests"
why=$(skipped 32-bit)
[ -n "$why" ] || why=$(skipped 32-bit-emulator)
if [ -n "$why" ]; then
  if [ "${OMBREVARD_REQUIRE_32BIT:-0}" = 1 ]; then
    echo "32-bit pass FAILED: its packages could not be installed: $why" >&2
    exit 1
  fi
  skip_notice "32-bit pass SKIPPED: $why"
else
  scripts/i386-exec.sh
  cmake -S . -B build-32 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build-32 -j"$jobs"
  # Every test, as 32-bit programs against the 32-bit server and plug-ins.
  (cd build-32 && OMBREVARD_TEST_TIME_SCALE=4 ctest --output-on-failure -j"$jobs")
fi

for sanitizer in address thread; do
  step "tests under the $sanitizer sanitizer"
  # AddressSanitizer on an optimised build: the optimiser drops what an
  # unoptimised build keeps (a store nothing reads, say), and leaks follow.
  type=Debug
  [ "$sanitizer" = address ] && type=RelWithDebInfo
  # The shipped plug-ins under AddressSanitizer only: GLib, GStreamer and the
  # NATS client are not built for ThreadSanitizer, whose reports about their
  # locks would be noise.
  folders="threads;core;host"
  [ "$sanitizer" = address ] && folders="$folders;media;admin;bridge"
  cmake -S . -B "build-$sanitizer" -DCMAKE_BUILD_TYPE="$type" -DSANITIZE="$sanitizer" \
    -DOMBREVARD_TEST_FOLDERS="$folders"
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

step "fuzzing for a minute"
scripts/fuzz.sh 60

step "valgrind memcheck of a foreground start and stop"
# With the system allocator, which valgrind understands.
cmake -S . -B build-memcheck -DCMAKE_BUILD_TYPE=Debug -DOMBREVARD_TCMALLOC=OFF -DOMBREVARD_TESTS=OFF
cmake --build build-memcheck -j"$jobs"
scripts/memcheck.sh build-memcheck
package_notices
