#!/usr/bin/env bash
# devgate's line cycle with the history on disk against without it.
#
#   bench/gate_history.sh [BUILD_DIR] [SECONDS]
#
# One unpaced simulated line with examples/large.toml and examples/demo.toml
# (every channel stored at every step, so the recorder's filter sees every
# store; the simulator's values stand still, so after the first reading of
# each channel little is written). ROUNDS (3) pairs of runs taking turns,
# without and with --history; the line's median full cycle of each run, and
# the ratio of the medians over the rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
secs=${2:-6}
rounds=${ROUNDS:-3}
cmake --build "$build" --target devgate >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ex="$PWD/examples"
printf '[[line]]\nname = "L"\nsimulate = true\n[[line.device]]\nname = "big"\ndescription = "%s/large.toml"\n[[line.device]]\nname = "small"\ndescription = "%s/demo.toml"\nstation = 2\n' \
    "$ex" "$ex" >"$work/site.toml"
cycle() {  # extra arguments of devgate run
    "$build/bin/devgate" run "$work/site.toml" --format jsonl --seconds "$secs" "$@" 2>&1 >/dev/null |
        sed -n 's/^line L: .*(median \([0-9.]*\) ms).*/\1/p'
}
off=() on=()
for ((r = 0; r < rounds; ++r)); do
    rm -f "$work"/h.db*
    off+=("$(cycle)")
    on+=("$(cycle --history "$work/h.db")")
    echo "round $r: off ${off[-1]} ms, on ${on[-1]} ms"
done
python3 -c "
import statistics as s
off, on = [float(x) for x in '${off[*]}'.split()], [float(x) for x in '${on[*]}'.split()]
print(f'median full cycle: off {s.median(off):.2f} ms, on {s.median(on):.2f} ms, ratio {s.median(on) / s.median(off):.3f}')"
