#!/usr/bin/env bash
# Runs the server of a build tree in the foreground under valgrind's memcheck
# and fails on any invalid access or definite leak:
#   1. with the example plug-ins for a few seconds;
#   2. when the build made the media plug-ins, recording a short test pattern
#      with them, stopped once the recording is complete.
#   scripts/memcheck.sh [build dir]
set -euo pipefail
build=${1:-build}
supp="$(cd "$(dirname "$0")" && pwd)/memcheck.supp"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

memcheck() {
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --suppressions="$supp" \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-origins=yes \
    --log-file="$work/valgrind.log" "$@"
}
# Shows the outcome of a run; fails the script when it did.
verdict() {
  local status=$1 what=$2
  grep -E "ERROR SUMMARY|definitely lost" "$work/valgrind.log" || true
  if [ "$status" -ne 0 ]; then
    cat "$work/valgrind.log"
    echo "memcheck ($what): failed with status $status"
    exit 1
  fi
  echo "memcheck ($what): no invalid access, no definite leak"
}

# The server stops when its standard input ends, here after four seconds.
status=0
(sleep 4; echo) | memcheck "$build/bin/ombrevard" -d > /dev/null 2>&1 || status=$?
verdict "$status" "example plug-ins"

[ -f "$build/bin/plugins/gst_source.so" ] || exit 0
# A server of its own, with only the media plug-ins beside it.
mkdir "$work/plugins"
cp "$build/bin/ombrevard" "$work/"
cp "$build/bin/plugins/gst_source.so" "$build/bin/plugins/gst_sink.so" "$work/plugins/"
printf '%s\n' '[source test]' 'pipeline=videotestsrc num-buffers=30 pattern=ball ! video/x-raw,width=160,height=120,framerate=30/1 ! openh264enc ! h264parse' \
  > "$work/plugins/gst_source.conf"
printf '%s\n' '[output rec]' 'source=test' "pipeline=h264parse ! mp4mux ! filesink location=$work/rec.mp4" \
  > "$work/plugins/gst_sink.conf"
mkfifo "$work/input"
memcheck "$work/ombrevard" -d < "$work/input" > /dev/null 2> "$work/server.err" &
server=$!
exec 3> "$work/input"
# Stopped once the recording is complete, or after five minutes in any case.
for _ in $(seq 300); do
  grep -q "output rec: finished" "$work/server.err" && break
  sleep 1
done
echo >&3
exec 3>&-
status=0
wait "$server" || status=$?
grep -q "output rec: finished, 30 buffers" "$work/server.err" ||
  { cat "$work/server.err"; echo "memcheck (media plug-ins): the recording did not finish"; exit 1; }
verdict "$status" "media plug-ins"
