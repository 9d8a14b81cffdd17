#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent; run
# as root on Debian 12.
#   scripts/setup.sh           what the server, its tests and examples need,
#                              GStreamer for the media plug-ins, libmicrohttpd
#                              for the admin plug-in, the NATS client for the
#                              bridge
#   scripts/setup.sh --all     also the 32-bit x86 build, the sanitizer and
#                              fuzzing compilers, valgrind, nats-server, and
#                              promtool and Chromium for the admin tests
#   scripts/setup.sh PKG...    also the Debian packages named
#
# Packages come in sets. A required set that cannot be installed ends the
# script with an error. An optional set that cannot be installed is reported
# in one line, saying what is skipped because of it, and the script goes on
# and exits 0. With OMBREVARD_SETUP_REPORT naming a file, each skipped set is
# also appended to it as "<set><TAB><reason>" (scripts/test.sh reads it).
#
# A mirror whose index files are broken (a sync in progress, say) does not
# stop the set-up: a failed `apt-get update` is retried, then the lists that
# could be read are used, and only what cannot be installed from them is
# skipped or fails.
set -euo pipefail

all=0
extra=()
for arg in "$@"; do
  case "$arg" in
    --all) all=1 ;;
    *) extra+=("$arg") ;;
  esac
done

sources_dir=${OMBREVARD_APT_SOURCES_DIR:-/etc/apt/sources.list.d}
retry_delay=${OMBREVARD_APT_RETRY_DELAY:-5}
report=${OMBREVARD_SETUP_REPORT:-}
export DEBIAN_FRONTEND=noninteractive

say() { printf 'setup: %s\n' "$*" >&2; }

# The sets, in the order they are installed: name, kind, what is lost without
# an optional set, and the packages.
set_names=()
declare -A set_kind set_loss set_packages set_apt_args
add_set() {
  local name=$1
  set_names+=("$name")
  set_kind[$name]=$2
  set_loss[$name]=$3
  set_apt_args[$name]=$4
  shift 4
  set_packages[$name]="$*"
}

add_set base required "" "" \
  build-essential cmake pkg-config \
  g++-multilib             `# the plug-in header's 32-bit layout check` \
  libgtest-dev \
  libwxgtk3.2-dev          `# the wxWidgets 3.2 base library, its headers and wx-config` \
  libdaemon-dev \
  libtinyxml-dev \
  libgoogle-perftools-dev  `# tcmalloc minimal` \
  lintian                  `# the package test checks the .deb with it` \
  ${extra[@]+"${extra[@]}"}
# GStreamer 1.22 for gst_source.so and gst_sink.so: appsrc and appsink, the
# encoders, parsers and muxers of the tests (openh264, mp4mux, matroskamux,
# mpegtsmux, checksumsink) and gst-launch-1.0, which the tests decode with.
add_set media optional "the GStreamer plug-ins and their tests will be skipped" "" \
  libglib2.0-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-tools
# The NATS C client for nats_bridge.so.
add_set nats optional "nats_bridge and its tests will be skipped" "" libnats-dev
# libmicrohttpd for admin.so.
add_set admin optional "admin.so and its tests will be skipped" "" libmicrohttpd-dev
if [ "$all" = 1 ]; then
  # promtool (in prometheus), Chromium and chromedriver for the admin tests,
  # which check its metrics and its dashboard.
  add_set admin-tools optional "the admin tests' promtool and browser checks will be skipped" "" \
    prometheus chromium chromium-driver
  add_set tools required "" "" \
    clang libclang-rt-14-dev `# the fuzzer and the lock-annotation check` \
    valgrind \
    nats-server              `# the broker the bridge tests start`
  add_set 32-bit optional "the 32-bit pass will be skipped" "" \
    libwxgtk3.2-dev:i386 libdaemon-dev:i386 libtinyxml-dev:i386 \
    libgoogle-perftools-dev:i386 libgtest-dev:i386
  # The 32-bit build runs under user-mode emulation where the kernel cannot
  # run it. The release's emulator (7.2) keeps one thread-area descriptor for
  # all threads, so a thread coming back from a signal handler finds the
  # thread pointer of the thread created last: pthread_self() and every
  # thread-local variable then belong to another thread (the daemon, whose
  # stop signal interrupts its main thread, joined "itself" and died). The
  # backported emulator keeps them per thread.
  add_set 32-bit-emulator optional "the 32-bit pass will be skipped" "-t bookworm-backports" \
    qemu-user
fi

# Prints the packages of a set that are not installed (for the emulator: not
# the backported one).
missing_of() {
  local p
  for p in ${set_packages[$1]}; do
    if [ "$p" = qemu-user ]; then
      dpkg-query -W -f='${Version}' "$p" 2>/dev/null | grep -q 'bpo12' || echo "$p"
    else
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    fi
  done
}

declare -A set_missing
any_missing=0
for name in "${set_names[@]}"; do
  set_missing[$name]=$(missing_of "$name" | tr '\n' ' ')
  [ -n "${set_missing[$name]// /}" ] && any_missing=1
done
[ "$any_missing" = 0 ] && exit 0

if [ "$all" = 1 ]; then
  if [ -n "${set_missing[32-bit]// /}" ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  fi
  backports="$sources_dir/bookworm-backports.sources"
  if [ -n "${set_missing[32-bit-emulator]// /}" ] && [ ! -e "$backports" ]; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$backports"
  fi
fi

# Indexes that could not be read in the last update, for the reasons given
# when something then fails to install.
unread=""
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs apt-get with its output shown and kept in $log.
apt() { apt-get "$@" 2>&1 | tee "$log" >&2; }
update() {
  local try
  for try in 1 2 3; do
    if apt update -q; then
      return 0
    fi
    [ "$try" -lt 3 ] && sleep $((retry_delay * try))
  done
  # "E: Failed to fetch <url>  <why>" names each index that stayed unread.
  unread=$(sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' "$log" |
           tr '\n' ';' | sed 's/;$//; s/;/; /g')
  say "apt-get update failed 3 times; going on with the package lists it could read." \
      "Not read: ${unread:-$(grep '^E:' "$log" | tail -n 1)}"
}
update

# Installs the missing packages of one set; on failure prints apt's last error.
install_set() {
  local name=$1
  # shellcheck disable=SC2086  # word splitting of the lists is meant
  if apt install -y -q --no-install-recommends ${set_apt_args[$name]} ${set_missing[$name]}; then
    return 0
  fi
  grep '^E:' "$log" | tail -n 1 | sed 's/^E: //'
  return 1
}

skipped=""
for name in "${set_names[@]}"; do
  [ -n "${set_missing[$name]// /}" ] || continue
  # A set that builds on a skipped one is skipped with it.
  if [ "$name" = 32-bit-emulator ] && [[ " $skipped " == *" 32-bit "* ]]; then continue; fi
  if why=$(install_set "$name"); then continue; fi
  reason="${why%.}"
  reason="${reason:-apt-get install failed}"
  [ -n "$unread" ] && reason="$reason; index not read: $unread"
  if [ "${set_kind[$name]}" = required ]; then
    say "could not install the $name packages (${set_missing[$name]% }): $reason"
    exit 1
  fi
  skipped="$skipped $name"
  say "SKIPPED the $name packages (${set_missing[$name]% }): $reason; ${set_loss[$name]}"
  [ -n "$report" ] && printf '%s\t%s\n' "$name" "$reason" >> "$report"
done
exit 0
