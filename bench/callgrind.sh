#!/usr/bin/env bash
# Instructions per collection step of the 115-word block, counted by
# callgrind: step_count runs N1 and N2 steps (after the same set-up), and the
# difference of the two totals divided by N2 - N1 is the cost of one step.
#
#   bench/callgrind.sh [BUILD_DIR] [N1] [N2]
#
# BUILD_DIR defaults to build/native (configured with -DQUORLAN_BENCH=ON, as
# the native preset is); step_count is built there if it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
n1=${2:-200}
n2=${3:-1200}

cmake --build "$build" --target step_count >/dev/null
program="$build/bin/step_count"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

total() {
    valgrind --tool=callgrind --callgrind-out-file="$work/out.$1" "$program" "$1" >"$work/log.$1" 2>&1
    grep -E '^(summary|totals):' "$work/out.$1" | head -1 | awk '{print $2}'
}

t1=$(total "$n1")
t2=$(total "$n2")
per=$(((t2 - t1) / (n2 - n1)))
allocs=$(grep -o 'allocations/step [0-9.]*' "$work/log.$n2" | awk '{print $2}')
echo "instructions per 115-word collection step: $per  (Ir $t1 at N=$n1, $t2 at N=$n2)"
echo "allocations per step: $allocs"
# The step's own wire time at 115200 baud: a 10-byte request and a 235-byte
# answer, 10 bits a byte, plus 3.5 characters of silence before the answer.
awk -v per="$per" 'BEGIN {
    wire = (10 + 235 + 3.5) * 10 / 115200;
    printf "wire time of the step at 115200 baud: %.2f ms; at 300 MHz and 1 instruction a cycle the step takes %.3f ms (%.2f %%)\n",
           wire * 1000, per / 3e8 * 1000, per / 3e8 / wire * 100 }'
