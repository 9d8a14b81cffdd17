#!/usr/bin/env bash
# Fuzzes the event bus for a while: builds post_event_fuzz with clang (ASan,
# UBSan and libFuzzer) in build-fuzz and runs it from a copy of
# tests/fuzz/corpus.
#
#   scripts/fuzz.sh [seconds]     (default 60)
#
# Exits non-zero when the fuzzer found a crash, a leak, a hang (an input
# running longer than 10 s) or a broken invariant, or ran out of memory. The
# input that did it is left in build-fuzz/fuzz-findings/; replay it with
#   build-fuzz/bin/post_event_fuzz build-fuzz/fuzz-findings/<file>
# Run as root on Debian 12 (it installs missing packages). One fuzzing
# process, at most two build jobs.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi

build=build-fuzz
findings="$build/fuzz-findings"
work="$build/fuzz-corpus"

# The build's own dependencies, then clang with its runtime libraries
# (libFuzzer comes with clang 14's compiler-rt).
scripts/setup.sh clang libclang-rt-14-dev
clang --version | head -n 1

# A build dir first configured with another compiler cannot be switched.
if [ -f "$build/CMakeCache.txt" ] &&
   ! grep -q '^CMAKE_CXX_COMPILER_ID:.*Clang\|^CMAKE_CXX_COMPILER:FILEPATH=.*clang++' "$build/CMakeCache.txt"; then
  echo "$build was configured with another compiler; remove it first" >&2
  exit 2
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSANITIZE=address -DOMBREVARD_FUZZ=ON
cmake --build "$build" -j2 --target post_event_fuzz

rm -rf "$work" "$findings"
mkdir -p "$work" "$findings"
cp tests/fuzz/corpus/* "$work/"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
# libFuzzer stops itself after max_total_time; the outer limit only catches a
# run that cannot stop (its status is then 124 or 137). Inputs may be long
# at once (len_control=0): 1 KiB holds up to the 96 operations an input may
# make against the one Core, and long sequences reach deeper states. The
# leak check after each input stops by itself after 1000 tries (the Core's
# threads allocate while an input runs); LeakSanitizer checks again at exit,
# after the Core has been stopped and deleted.
timeout -k 10 $((seconds + 120)) "$build/bin/post_event_fuzz" "$work" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=1024 -len_control=0 \
  -artifact_prefix="$findings/" -print_final_stats=1 || status=$?

found=$(find "$findings" -type f | wc -l)
if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
  echo "fuzz: FAILED (exit status $status, $found finding(s) in $findings)" >&2
  find "$findings" -type f >&2
  exit 1
fi
echo "fuzz: no findings in $seconds s"
