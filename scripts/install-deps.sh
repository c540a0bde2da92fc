#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and nothing when
# they are all present. A fresh machine has stale package lists, so the lists
# are refreshed once before the first install.
set -euo pipefail

packages=(
  build-essential
  cmake
  make
  pkg-config
  python3
  nlohmann-json3-dev
  libutf8proc-dev
  uuid-dev
  googletest
  libgtest-dev
  libgmock-dev
  libglib2.0-dev
  libgdk-pixbuf-2.0-dev
  librsvg2-common
  libplist-dev
  dbus
  dbus-daemon
  fuse3
  libfuse3-dev
  clang-14
  clang-format
  libclang-rt-14-dev
  libbenchmark-dev
  dpkg-dev
  libnautilus-extension-dev
  nautilus
  libnemo-extension-dev
  nemo
  libcaja-extension-dev
  caja
  libthunarx-3-dev
  thunar
  libatk-adaptor
  xvfb
  xdotool
  at-spi2-core
  gir1.2-atspi-2.0
  python3-gi
  imagemagick
  gnustep-make
  libgnustep-base-dev
  libgnustep-gui-dev
  libblocksruntime-dev
)

# KDE's Dolphin and its plugin library, without recommendations: they would
# bring a whole desktop (about 300 packages are needed as it is). GNUstep's
# cairo back end gives its AppKit a display, for running the macOS class.
kde_packages=(
  dolphin
  libkf5kio-dev
  gnustep-back0.29-cairo
  extra-cmake-modules
  qtbase5-dev
)

missing_of() {
  local p status
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_kde < <(missing_of "${kde_packages[@]}")

[[ ${#missing[@]} -eq 0 && ${#missing_kde[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages. Install them as root with:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  [[ ${#missing_kde[@]} -gt 0 ]] &&
    echo "  apt-get install -y --no-install-recommends ${missing_kde[*]}" >&2
  exit 1
fi

echo "Installing missing Debian packages: ${missing[*]} ${missing_kde[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
[[ ${#missing[@]} -eq 0 ]] || apt-get install -y -qq "${missing[@]}"
[[ ${#missing_kde[@]} -eq 0 ]] || apt-get install -y -qq --no-install-recommends "${missing_kde[@]}"
