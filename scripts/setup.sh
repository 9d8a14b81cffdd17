#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent; run
# as root on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  g++-multilib           # checks the plug-in header's 32-bit layout
  libgtest-dev
  libwxgtk3.2-dev        # the wxWidgets 3.2 base library, its headers and wx-config
  libdaemon-dev
  libtinyxml-dev
  libgoogle-perftools-dev  # tcmalloc minimal
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
