#!/usr/bin/env bash
# scripts/setup.sh against a broken package mirror, simulated by stand-ins
# for apt-get, dpkg and dpkg-query early in PATH: every package looks
# missing, and apt-get fails in the way each case asks for. Checks the exit
# status, the lines printed and the report of skipped sets.
#   tests/scripts/setup_mirror_test.sh <source dir>
set -uo pipefail
source_dir=${1:?source dir}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir -p "$work/bin" "$work/sources"
# Stand-ins. FAIL_UPDATE: every update fails as a mirror mid-sync does.
# FAIL_I386: installs of :i386 packages fail as with held broken packages.
# FAIL_MEDIA: installs of the GStreamer packages fail the same way.
# FAIL_ALL_INSTALLS: every install fails. Calls are logged to $work/calls.
cat > "$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >> "$CALLS"
case "$1" in
  update)
    if [ "${FAIL_UPDATE:-0}" = 1 ]; then
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    if [ "${FAIL_ALL_INSTALLS:-0}" = 1 ] || { [ "${FAIL_I386:-0}" = 1 ] && [[ "$*" == *:i386* ]]; } ||
       { [ "${FAIL_MEDIA:-0}" = 1 ] && [[ "$*" == *libgstreamer1.0-dev* ]]; }; then
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi ;;
esac
exit 0
STUB
printf '#!/bin/sh\necho "unknown ok not-installed"\n' > "$work/bin/dpkg-query"
printf '#!/bin/sh\necho "dpkg $*" >> "$CALLS"\n' > "$work/bin/dpkg"
chmod +x "$work/bin/"*

# Runs set-up as the given case; sets $status and $out, the report in $report.
run_setup() {
  : > "$work/calls"
  report="$work/report"
  : > "$report"
  out=$(env "$@" PATH="$work/bin:$PATH" CALLS="$work/calls" OMBREVARD_SETUP_REPORT="$report" \
        OMBREVARD_APT_SOURCES_DIR="$work/sources" OMBREVARD_APT_RETRY_DELAY=0 \
        timeout 60 bash "$source_dir/scripts/setup.sh" --all 2>&1)
  status=$?
}
check() {  # check <what> <command...>
  local what=$1
  shift
  if ! "$@"; then
    echo "FAILED: $what"
    echo "--- output (status $status):"
    printf '%s\n' "$out"
    failures=$((failures + 1))
  fi
}
updates() { grep -c '^apt-get update' "$work/calls"; }
installed() { grep '^apt-get install' "$work/calls" | grep -q -- " $1\( \|$\)"; }

# Every update fails: three tries, the unread index named, then everything
# is installed from the lists there are.
run_setup FAIL_UPDATE=1
check "update failure: exit 0" test "$status" = 0
check "update failure: three tries" test "$(updates)" = 3
check "update failure: names the unread index" \
  grep -q 'going on with the package lists.*binary-i386/Packages.xz' <<<"$out"
check "update failure: base installed" installed libdaemon-dev
check "update failure: 32-bit installed" installed libdaemon-dev:i386
check "update failure: nothing skipped" test ! -s "$report"

# The 32-bit packages cannot be installed: one line says so, the rest is
# installed, and the report tells the tests why their 32-bit pass is skipped.
run_setup FAIL_UPDATE=1 FAIL_I386=1
check "32-bit failure: exit 0" test "$status" = 0
check "32-bit failure: base and tools installed" installed valgrind
check "32-bit failure: one line" test "$(grep -c 'SKIPPED the 32-bit packages' <<<"$out")" = 1
check "32-bit failure: says the pass is skipped" \
  grep -q 'held broken packages; index not read: .*the 32-bit pass will be skipped' <<<"$out"
check "32-bit failure: no emulator without the 32-bit set" \
  test "$(grep -c 'qemu-user' "$work/calls")" = 0
check "32-bit failure: reported" grep -q $'^32-bit\tUnable to correct problems' "$report"

# GStreamer cannot be installed: the media plug-ins and their tests are
# skipped, said in one line and in the report; everything else goes on.
run_setup FAIL_MEDIA=1
check "media failure: exit 0" test "$status" = 0
check "media failure: one line" \
  test "$(grep -c 'SKIPPED the media packages.*GStreamer plug-ins and their tests will be skipped' <<<"$out")" = 1
check "media failure: the rest installed" installed valgrind
check "media failure: reported" grep -q $'^media\tUnable to correct problems' "$report"

# What must be installed cannot be: that is an error.
run_setup FAIL_ALL_INSTALLS=1
check "required failure: non-zero exit" test "$status" != 0
check "required failure: says which set" grep -q 'could not install the base packages' <<<"$out"

[ "$failures" = 0 ] && echo "setup survives a broken mirror: all checks passed"
exit $((failures != 0))
