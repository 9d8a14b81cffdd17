#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent; run
# as root on Debian 12.
#   scripts/setup.sh           what the server, its tests and examples need
#   scripts/setup.sh --all     also the 32-bit x86 build, the sanitizer and
#                              fuzzing compilers and valgrind
#   scripts/setup.sh PKG...    also the Debian packages named
set -euo pipefail

all=0
extra=()
for arg in "$@"; do
  case "$arg" in
    --all) all=1 ;;
    *) extra+=("$arg") ;;
  esac
done

packages=(
  build-essential cmake pkg-config
  g++-multilib             # the plug-in header's 32-bit layout check
  libgtest-dev
  libwxgtk3.2-dev          # the wxWidgets 3.2 base library, its headers and wx-config
  libdaemon-dev
  libtinyxml-dev
  libgoogle-perftools-dev  # tcmalloc minimal
  ${extra[@]+"${extra[@]}"}
)
if [ "$all" = 1 ]; then
  packages+=(
    libwxgtk3.2-dev:i386 libdaemon-dev:i386 libtinyxml-dev:i386
    libgoogle-perftools-dev:i386 libgtest-dev:i386
    clang libclang-rt-14-dev # the fuzzer
    valgrind
  )
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The 32-bit build runs under user-mode emulation where the kernel cannot run
# it. The release's emulator (7.2) keeps one thread-area descriptor for all
# threads, so a thread coming back from a signal handler finds the thread
# pointer of the thread created last: pthread_self() and every thread-local
# variable then belong to another thread (the daemon, whose stop signal
# interrupts its main thread, joined "itself" and died). The backported
# emulator keeps them per thread.
if [ "$all" = 1 ]; then
  backports=/etc/apt/sources.list.d/bookworm-backports.sources
  if [ ! -e "$backports" ]; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$backports"
    apt-get update -q
  fi
  if ! dpkg-query -W -f='${Version}' qemu-user 2>/dev/null | grep -q 'bpo12'; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user
  fi
fi
