#!/usr/bin/env bash
# Checks the plug-in libraries: processor attributes, unmangled exports, and
# that they import the host layer instead of linking it.
set -uo pipefail
cd "$(dirname "$0")/.."
fail=0
check() {  # description, command...
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; fail=1; fi
}
attrs() { readelf -A "$1"; }
has() { attrs "$1" | grep -q "$2"; }
hasnt() { ! attrs "$1" | grep -q "$2"; }

v7=build/armv7/libquorlan_com_armv7.so
v5=build/armv5/libquorlan_com_armv5.so
nat=build/native/libquorlan_com.so

for lib in "$nat" "$v7" "$v5"; do
  check "$lib exists" test -f "$lib"
  check "$lib sits beside libzevohost.so" test -f "$(dirname "$lib")/libzevohost.so"
  for sym in CreateDeviceCtrl DestroyDeviceCtrl GetInterfaceVersion; do
    check "$lib exports $sym unmangled" sh -c "nm -D --defined-only '$lib' | grep -qw 'T $sym'"
  done
  check "$lib does not link libzevohost" sh -c "! readelf -d '$lib' | grep -q libzevohost"
  check "$lib imports the host's CString" sh -c "nm -D --undefined-only '$lib' | grep -q CString"
done

check "armv7 is v7" has "$v7" "Tag_CPU_arch: v7"
check "armv7 is Thumb-2" has "$v7" "Tag_THUMB_ISA_use: Thumb-2"
check "armv7 has VFPv3" has "$v7" "Tag_FP_arch: VFPv3"
check "armv7 passes floats in VFP registers" has "$v7" "Tag_ABI_VFP_args: VFP registers"
check "armv5 is v5TE" has "$v5" "Tag_CPU_arch: v5TE"
check "armv5 has no VFP" hasnt "$v5" "Tag_FP_arch"
check "armv5 passes floats in core registers" hasnt "$v5" "Tag_ABI_VFP_args: VFP registers"
exit $fail
