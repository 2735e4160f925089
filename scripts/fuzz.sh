#!/usr/bin/env bash
# Builds the fuzzers (clang, libFuzzer, address and undefined-behaviour
# sanitizers) and runs each for a bounded time on a copy of its seed corpus.
# A dictionary fuzz/<name>.dict, where there is one, is passed with -dict.
# Any crash, leak, sanitizer report or timeout fails the run.
#   FUZZ_SECONDS  seconds per fuzzer (default 60)
#   FUZZ_BUILD    build directory (default: the fuzz preset's, build/fuzz)
#   FUZZ_ONLY     run only these fuzzers (names without fuzz_, blank separated)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
names=${FUZZ_ONLY:-"config answers ioctrl convert"}
if [ -n "${FUZZ_BUILD:-}" ]; then
  build=$FUZZ_BUILD
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DQUORLAN_FUZZ=ON -DQUORLAN_SOAK=OFF -DQUORLAN_TESTS=OFF -DQUORLAN_TOOLS=OFF -DQUORLAN_WERROR=ON >/dev/null
else
  build=build/fuzz
  cmake --preset fuzz >/dev/null
fi
targets=()
for n in $names; do targets+=("fuzz_$n"); done
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
for n in $names; do
  mkdir -p "$work/$n"
  cp fuzz/corpus/"$n"/* "$work/$n/"
  echo "== fuzz_$n for ${seconds}s"
  dict=()
  if [ -f "fuzz/$n.dict" ]; then dict=("-dict=$PWD/fuzz/$n.dict"); fi
  # The seeds alone first, so that a seed which fails is named as such.
  if ! (cd "$work" && "$OLDPWD/$build/bin/fuzz_$n" "${dict[@]}" -runs=0 "$work/$n" >"$work/$n.log" 2>&1) ||
     ! (cd "$work" && "$OLDPWD/$build/bin/fuzz_$n" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
          -rss_limit_mb=2048 -print_final_stats=1 "$work/$n" >>"$work/$n.log" 2>&1); then
    echo "fuzz_$n failed:"
    tail -n 60 "$work/$n.log"
    mkdir -p "$build/findings"
    cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$build/findings/" 2>/dev/null || true
    fail=1
  else
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$n.log" || true
  fi
done
exit $fail
