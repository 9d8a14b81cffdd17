#!/usr/bin/env bash
# Runs the server of a build tree in the foreground under valgrind's memcheck
# with the example plug-ins for a few seconds, then stops it; fails on any
# invalid access or definite leak.
#   scripts/memcheck.sh [build dir]
set -euo pipefail
build=${1:-build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The server stops when its standard input ends, here after four seconds.
(sleep 4; echo) | valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --suppressions="$(dirname "$0")/memcheck.supp" \
  --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=yes \
  --log-file="$log" "$build/bin/ombrevard" -d > /dev/null 2>&1 || status=$?
status=${status:-0}
grep -E "ERROR SUMMARY|definitely lost" "$log" || true
if [ "$status" -ne 0 ]; then
  cat "$log"
  echo "memcheck: failed with status $status"
  exit 1
fi
echo "memcheck: no invalid access, no definite leak"
