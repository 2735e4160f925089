#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root),
# the ARM targets' libraries for the tools, and unpacks the ARM targets' iconv
# modules into the build tree.
#
# armhf: Debian's packages through multiarch (dpkg --add-architecture).
# armel: Debian's bookworm-security archive carries no armel, so the armel
# builds of the libraries that amd64 and armhf take from it (libssl3, zlib,
# libsystemd0, ...) lag behind them, and Multi-Arch: same refuses to install
# packages of one name at different versions side by side. The armel packages
# are therefore unpacked into build/sysroot-armel (apt resolves and downloads
# them, dpkg -x unpacks them; nothing is installed on this machine), which the
# armv5 toolchain file searches.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang clang-format pkg-config
          g++-arm-linux-gnueabihf g++-arm-linux-gnueabi qemu-user
          googletest libgtest-dev libgmock-dev libbenchmark-dev
          libmodbus-dev python3-pymodbus python3-crcmod
          libcli11-dev libtomlplusplus-dev socat valgrind
          libmicrohttpd-dev nlohmann-json3-dev libjs-chart.js
          openssl curl testssl.sh
          chromium chromium-driver python3-selenium
          libmosquitto-dev mosquitto mosquitto-clients mbpoll
          libsqlite3-dev sqlite3 libsodium-dev
          libsystemd-dev lintian dpkg-dev fakeroot systemd)
# The ARM targets' libraries for the tools (header-only ones, CLI11 and
# nlohmann-json, are architecture-independent and come with the list above).
arm_libraries=(libmosquitto-dev libmodbus-dev libmicrohttpd-dev libtomlplusplus-dev libsystemd-dev libsqlite3-dev
               libsodium-dev)
for p in "${arm_libraries[@]}"; do packages+=("$p:armhf"); done
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
# The Prometheus server and promtool for the metrics test, which starts its
# own server: installed without the node exporter it recommends, and with
# service starts refused while it installs (where no policy refuses them
# already), so that installing it leaves no server listening.
if ! dpkg-query -W -f='${Status}' prometheus 2>/dev/null | grep -q "install ok installed"; then
  own_policy=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && own_policy=1
  fi
  status=0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends prometheus >/dev/null || status=$?
  if [ $own_policy -eq 1 ]; then rm -f /usr/sbin/policy-rc.d; fi
  [ $status -eq 0 ] || exit $status
fi

# The armel libraries and what they need, unpacked into build/sysroot-armel.
# The C library's headers and the kernel headers come with the cross compiler
# and are left out, so that the compiler sees one set of them.
armel_root=build/sysroot-armel
if [ "$(cat "$armel_root/.libraries" 2>/dev/null)" != "$(printf '%s\n' "${arm_libraries[@]}")" ]; then
  tmp=$(mktemp -d) && chmod 755 "$tmp"  # apt downloads as the _apt user
  mkdir -p "$tmp/archives/partial"
  : >"$tmp/status"
  apt-get -q -y --no-install-recommends -o Dir::State::status="$tmp/status" -o Dir::Cache::archives="$tmp/archives" \
    -o Debug::NoLocking=1 --download-only install "${arm_libraries[@]/%/:armel}" >/dev/null
  # A dpkg database of what is unpacked (files listed under the sysroot's
  # path), for dpkg-shlibdeps when scripts/package.sh packages for armel.
  mkdir -p "$armel_root"
  root=$(realpath "$armel_root")
  admin=$root/.dpkg
  mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
  echo 1 >"$admin/info/format"
  printf 'amd64\narmel\n' >"$admin/arch"
  : >"$admin/status"
  for deb in "$tmp"/archives/*_armel.deb; do
    case "$(basename "$deb")" in
      libc6-dev_* | linux-libc-dev_* | libcrypt-dev_* | libnsl-dev_* | libtirpc-dev_* | libc-devtools_*) continue ;;
    esac
    dpkg -x "$deb" "$armel_root"
    name=$(dpkg-deb -f "$deb" Package)
    [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ] && name+=":armel"
    { dpkg-deb -f "$deb"; echo "Status: install ok installed"; echo; } >>"$admin/status"
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' -e '/^$/d' -e "s|^|$root|" \
      >"$admin/info/$name.list"
    dpkg-deb -e "$deb" "$tmp/control"
    for f in shlibs symbols; do
      if [ -f "$tmp/control/$f" ]; then cp "$tmp/control/$f" "$admin/info/$name.$f"; fi
    done
    rm -rf "$tmp/control"
  done
  rm -rf "$tmp"
  printf '%s\n' "${arm_libraries[@]}" >"$armel_root/.libraries"
fi

# iconv modules of the ARM C libraries, for tests under qemu-user.
for arch in armhf armel; do
  dest="build/sysroot-$arch"
  if ! ls -d "$dest"/usr/lib/*/gconv >/dev/null 2>&1; then
    tmp=$(mktemp -d) && chmod 755 "$tmp"
    (cd "$tmp" && apt-get download "libc6:$arch" >/dev/null)
    mkdir -p "$dest"
    dpkg -x "$tmp"/libc6_*_"$arch".deb "$dest"
    rm -rf "$tmp"
  fi
done
