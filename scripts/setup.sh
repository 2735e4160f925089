#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root),
# and unpacks the ARM targets' iconv modules into the build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang clang-format pkg-config
          g++-arm-linux-gnueabihf g++-arm-linux-gnueabi qemu-user
          googletest libgtest-dev libgmock-dev libbenchmark-dev
          libmodbus-dev python3-pymodbus python3-crcmod
          libcli11-dev libtomlplusplus-dev socat valgrind
          libcpp-httplib-dev nlohmann-json3-dev libjs-chart.js
          chromium chromium-driver python3-selenium
          libmosquitto-dev mosquitto mosquitto-clients mbpoll
          libsqlite3-dev sqlite3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
need_arch=0
for a in armhf armel; do dpkg --print-foreign-architectures | grep -qx "$a" || need_arch=1; done
if [ ${#missing[@]} -gt 0 ] || [ $need_arch -eq 1 ]; then
  dpkg --add-architecture armhf
  dpkg --add-architecture armel
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# iconv modules of the ARM C libraries, for tests under qemu-user.
for arch in armhf armel; do
  dest="build/sysroot-$arch"
  if [ ! -d "$dest/usr/lib" ]; then
    tmp=$(mktemp -d)
    (cd "$tmp" && apt-get download "libc6:$arch" >/dev/null)
    mkdir -p "$dest"
    dpkg -x "$tmp"/libc6_*_"$arch".deb "$dest"
    rm -rf "$tmp"
  fi
done
