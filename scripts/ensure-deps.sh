#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the installer window need,
# when any of them is missing. Safe to run again: it does nothing when all are there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format clang-tidy shellcheck git procps
  qt6-base-dev qt6-base-private-dev libgl-dev libpugixml-dev libsystemd-dev
  libgtest-dev libgmock-dev libbenchmark-dev python3 clang libclang-rt-14-dev
  dbus dbus-bin fonts-noto-cjk xvfb xauth
  xdotool imagemagick
  util-linux coreutils libtinfo6 libbsd0 libmd0
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
