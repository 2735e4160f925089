#!/usr/bin/env bash
# Wire efficiency of full scans against plcsim paced as a serial line.
#
#   bench/wire.sh [BUILD_DIR] [BAUD ...]
#
# 1. examples/large.toml through devhost on a plcsim pseudo-terminal: full-scan
#    times from devhost's frame trace (time from one scan's first request to
#    the next scan's first request; median of the scans), against the lower
#    bound of the traced requests: request and answer bytes at 10 bits a byte
#    plus 3.5 characters of silence before each answer.
# 2. wire_bench: the driver and a libmodbus poller reading the same D and M
#    elements with 0x03/0x01, side by side in one run (scan time, bound, CPU).
#
# BUILD_DIR defaults to build/native (the native preset builds the benchmarks).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
shift || true
bauds=("$@")
[ ${#bauds[@]} -gt 0 ] || bauds=(9600 115200)
scans=${SCANS:-7}

cmake --build "$build" --target wire_bench plcsim devhost >/dev/null
bin="$build/bin"
work=$(mktemp -d)
plc_pid=
cleanup() {
    [ -z "$plc_pid" ] || kill "$plc_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "== examples/large.toml through devhost ($scans scans)"
for baud in "${bauds[@]}"; do
    "$bin/plcsim" --baud "$baud" --station 7 --link "$work/plc" >"$work/plcsim.out" 2>&1 &
    plc_pid=$!
    for _ in $(seq 50); do [ -e "$work/plc" ] && break; sleep 0.1; done
    # One call per rank: count the ranks from a first short run.
    "$bin/devhost" run --port "$work/plc" --baud "$baud" --config examples/large.toml --cycles 200 --interval 0 \
        --trace >/dev/null 2>"$work/probe" || true
    ranks=$(awk '$2 == "tx" { $1 = ""; if (seen[$0]++) { print n; exit } n++ }' "$work/probe")
    "$bin/devhost" run --port "$work/plc" --baud "$baud" --config examples/large.toml \
        --cycles $((ranks * (scans + 1) + 1)) --interval 0 --trace >"$work/summary" 2>"$work/trace"
    kill "$plc_pid"
    wait "$plc_pid" 2>/dev/null || true
    plc_pid=
    python3 - "$work/trace" "$ranks" "$baud" <<'PY'
import sys
path, ranks, baud = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def seconds(stamp):
    h, m, s = stamp.split(":")
    return int(h) * 3600 + int(m) * 60 + float(s)
tx, pairs, pending = [], [], None
for line in open(path):
    parts = line.split()
    if len(parts) < 2 or parts[1] not in ("tx", "rx"):
        continue
    if parts[1] == "tx":
        tx.append(seconds(parts[0]))
        pending = len(parts) - 2
    elif pending is not None:
        pairs.append((pending, len(parts) - 2))
        pending = None
bound = sum(q + a + 3.5 for q, a in pairs[:ranks]) * 10 / baud * 1000
scans = [(tx[(k + 1) * ranks] - tx[k * ranks]) * 1000 for k in range(1, len(tx) // ranks - 1)]
scans.sort()
median = scans[len(scans) // 2]
print(f"{baud:>7} baud: {ranks} requests a scan, full scan {median:.2f} ms (median of {len(scans)}), "
      f"lower bound {bound:.2f} ms, ratio {median / bound:.3f}")
PY
done

echo "== driver and libmodbus side by side (wire_bench)"
args=()
for baud in "${bauds[@]}"; do args+=(--baud "$baud"); done
"$bin/wire_bench" --scans "$scans" "${args[@]}"
