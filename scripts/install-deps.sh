#!/usr/bin/env bash
# Installs the Debian packages the build needs, and nothing when they are all
# present. Without arguments: the core's (the extension's core, the Linux
# platform, finder-host, tarvine-app and their tests). With arguments, also
# those of each part named:
#   nautilus nemo caja thunar dolphin  a file manager's module, and the file
#                                      manager itself for its desktop test
#   window    the history window (GTK 4)
#   desktop   what the desktop tests drive the file managers and the window with
#   macos     the macOS class's check on GNUstep
#   check     what `make check` adds: sanitizers, fuzzing, benchmarks, format
#   all       everything above (what `make check`, and so CI, installs)
# e.g. scripts/install-deps.sh thunar   (or: make deps HOSTS=thunar)
# A fresh machine has stale package lists, so they are refreshed once before
# the first install. Without root, the command to run is printed instead.
set -euo pipefail

core=(build-essential cmake make pkg-config python3 nlohmann-json3-dev libutf8proc-dev uuid-dev
      googletest libgtest-dev libgmock-dev libglib2.0-dev libgdk-pixbuf-2.0-dev libplist-dev
      dbus dbus-daemon libgit2-dev zlib1g-dev libsqlite3-dev libssl-dev git gettext locales)
declare -A parts=(
  [nautilus]="libnautilus-extension-dev nautilus"
  [nemo]="libnemo-extension-dev nemo"
  [caja]="libcaja-extension-dev caja"
  [thunar]="libthunarx-3-dev thunar"
  [window]="libgtk-4-dev"
  [desktop]="xvfb xdotool at-spi2-core gir1.2-atspi-2.0 python3-gi imagemagick libatk-adaptor
             librsvg2-common fuse3 libfuse3-dev"
  [check]="clang-14 clang-format libclang-rt-14-dev libbenchmark-dev dpkg-dev fuse3 libfuse3-dev
           e2fsprogs openssh-server openssh-client"
)
# Without recommendations: KDE's would bring a whole desktop (about 300
# packages are needed as it is), and GNUstep's cairo back end (which gives its
# AppKit a display) would bring GNUstep's applications.
declare -A bare_parts=(
  [dolphin]="dolphin libkf5kio-dev extra-cmake-modules qtbase5-dev"
  [macos]="clang-14 gnustep-make libgnustep-base-dev libgnustep-gui-dev libblocksruntime-dev
           gnustep-back0.29-cairo xvfb"
)

wanted=()
for part in "$@"; do
  case "$part" in
    all) wanted+=(nautilus nemo caja thunar dolphin window desktop macos check) ;;
    nautilus | nemo | caja | thunar | dolphin | window | desktop | macos | check) wanted+=("$part") ;;
    *)
      echo "install-deps.sh: unknown part \"$part\"; known: nautilus nemo caja thunar dolphin" \
           "window desktop macos check all" >&2
      exit 2
      ;;
  esac
done

packages=("${core[@]}")
bare=()
for part in "${wanted[@]}"; do
  if [[ -n "${parts[$part]:-}" ]]; then
    read -r -a more <<< "$(echo ${parts[$part]})"
    packages+=("${more[@]}")
  else
    read -r -a more <<< "$(echo ${bare_parts[$part]})"
    bare+=("${more[@]}")
  fi
done

missing_of() {
  local p status
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || echo "$p"
  done | sort -u
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_bare < <(missing_of "${bare[@]}")

# The German translation is tested under LANG=de_DE.UTF-8, which the C library
# honours only once that locale is generated (Debian's locales package ships
# its source, not the compiled locale).
has_german_locale() { locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; }
generate_german_locale() {
  has_german_locale && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "The de_DE.UTF-8 locale is missing. Generate it as root with:" >&2
    echo "  sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen && locale-gen" >&2
    exit 1
  fi
  sed -i 's/^# *\(de_DE\.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
  grep -q '^de_DE\.UTF-8 UTF-8$' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen
}

if [[ ${#missing[@]} -eq 0 && ${#missing_bare[@]} -eq 0 ]]; then
  generate_german_locale
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages. Install them as root with:" >&2
  [[ ${#missing[@]} -gt 0 ]] && echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  [[ ${#missing_bare[@]} -gt 0 ]] &&
    echo "  apt-get install -y --no-install-recommends ${missing_bare[*]}" >&2
  exit 1
fi

echo "Installing missing Debian packages: ${missing[*]} ${missing_bare[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
[[ ${#missing[@]} -eq 0 ]] || apt-get install -y -qq "${missing[@]}"
[[ ${#missing_bare[@]} -eq 0 ]] || apt-get install -y -qq --no-install-recommends "${missing_bare[@]}"
generate_german_locale
