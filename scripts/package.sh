#!/usr/bin/env bash
# Builds the Debian packages quorlan-plugin and devgate for amd64 (native
# preset), armhf (armv7) and armel (armv5) into build/packages, versioned from
# git describe, and runs lintian on them (any error fails).
#   scripts/package.sh [amd64|armhf|armel ...]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build/packages
mkdir -p "$out"

# A tag vX.Y.Z gives X.Y.Z (+N.gHASH past it); without one, 0.0.0+N.gHASH.
if described=$(git describe --tags --long --match 'v[0-9]*' 2>/dev/null); then
  version=$(sed -E 's/^v//; s/-0-g[0-9a-f]+$//; s/-([0-9]+)-g([0-9a-f]+)$/+\1.g\2/' <<<"$described")
else
  version="0.0.0+$(git rev-list --count HEAD).g$(git rev-parse --short HEAD)"
fi
git diff --quiet HEAD -- 2>/dev/null || version+=".dirty"

changelog=$out/changelog.gz
{
  printf 'quorlan (%s) unstable; urgency=medium\n\n  * Built from commit %s.\n\n' "$version" "$(git rev-parse HEAD)"
  printf ' -- quorlan developers <quorlan-devel@example.com>  %s\n' "$(git log -1 --format=%aD)"
} | gzip -9n >"$changelog"

# armel's libraries are not installed through dpkg here (scripts/setup.sh):
# a dpkg database of the unpacked packages lets dpkg-shlibdeps find who
# provides each library.
armel_depends() {
  local root=$PWD/build/sysroot-armel admin=$PWD/build/sysroot-armel/.dpkg
  local -a libs=(-l"$root/lib/arm-linux-gnueabi" -l"$root/usr/lib/arm-linux-gnueabi" -l"$PWD/build/armv5")
  local -a files=()
  for f in "$@"; do files+=("$(realpath "$f")"); done
  local work
  work=$(mktemp -d)
  mkdir "$work/debian"
  printf 'Source: quorlan\n\nPackage: quorlan\nArchitecture: armel\n' >"$work/debian/control"
  (cd "$work" && DPKG_ADMINDIR=$admin dpkg-shlibdeps -O "${libs[@]}" "${files[@]}" 2>/dev/null) |
    sed -n 's/^shlibs:Depends=//p'
  rm -rf "$work"
}

fail=0
for arch in "${@:-amd64 armhf armel}"; do
  for a in $arch; do
    case "$a" in
      amd64) preset=native ;;
      armhf) preset=armv7 ;;
      armel) preset=armv5 ;;
      *) echo "unknown architecture: $a" >&2; exit 2 ;;
    esac
    echo "==== packages for $a ($preset), version $version"
    cmake --preset "$preset" -DQUORLAN_PACKAGE_VERSION="$version" -DQUORLAN_PACKAGE_ARCH="$a" \
      -DQUORLAN_PACKAGE_CHANGELOG="$changelog" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" --target quorlan_com zevohost devcfg devgate devhost plcsim
    if [ "$a" = armel ]; then
      bin=build/armv5/bin
      cmake --preset "$preset" \
        -DQUORLAN_PACKAGE_PLUGIN_DEPENDS="$(armel_depends build/armv5/libquorlan_com_armv5.so $bin/devcfg)" \
        -DQUORLAN_PACKAGE_DEVGATE_DEPENDS="$(armel_depends $bin/devgate $bin/devhost $bin/plcsim)" >/dev/null
    fi
    rm -f "$out"/*_"$a".deb
    (cd "build/$preset" && cpack -B "$out" >/dev/null)
    rm -rf "$out/_CPack_Packages"
    for deb in "$out"/*_"$version"_"$a".deb; do
      echo "== lintian $(basename "$deb")"
      lintian --no-tag-display-limit "$deb" || fail=1
    done
  done
done
exit $fail
