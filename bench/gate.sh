#!/usr/bin/env bash
# devgate on paced simulated lines, and its CPU per collection step against
# devhost's.
#
#   bench/gate.sh [BUILD_DIR] [SECONDS]
#
# 1. Two lines at 115200 baud (examples/large.toml on one, examples/demo.toml
#    on the other): each line's median full cycle alone and both together.
# 2. Three devices (examples/large.toml at stations 7, 8, 9) on one line at
#    115200 baud: the line's median full cycle against three times one
#    device's lower bound (request and answer bytes at 10 bits a byte plus
#    3.5 characters of silence before each answer, from the frame trace).
# 3. CPU per collection step of examples/demo.toml on an unpaced simulated
#    PLC: devgate (one line, one device) against devhost --simulate. Both run
#    the simulator in process; CPU time of the whole process (user and system)
#    over the steps, ROUNDS (5) pairs of runs taking turns, medians.
# 4. Silent devices: a TCP line to a plcsim bus paced at 19200 and at 115200
#    baud, eight devices (examples/demo.toml, wait 200 ms, stations 1 to 8);
#    one (station 8) or three (6, 7, 8) of them with no PLC behind. The
#    median full scan of stations 1 to 5 against the same line without the
#    silent devices, SILENT_SECONDS (60) a run; the silent ones go offline
#    after three steps and are probed at 1, 2, 4, ... 30 s. ONLY=silent runs
#    this part alone.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
secs=${2:-8}
cmake --build "$build" --target devgate devhost plcsim >/dev/null
bin="$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ex="$PWD/examples"

line() {  # NAME BAUD then "NAME DESCRIPTION STATION" per device
    local name=$1 baud=$2
    shift 2
    printf '[[line]]\nname = "%s"\nsimulate = true\nsim_baud = %s\n' "$name" "$baud"
    for d in "$@"; do
        set -- $d
        printf '[[line.device]]\nname = "%s"\ndescription = "%s/%s"\nstation = %s\n' "$1" "$ex" "$2" "$3"
    done
}
median_cycle() {  # SITE LINE
    "$bin/devgate" run "$1" --format jsonl --seconds "$secs" 2>&1 >/dev/null |
        sed -n "s/^line $2: .*(median \([0-9.]*\) ms).*/\1/p"
}

if [[ ${ONLY:-} != silent ]]; then  # ONLY=silent: the fourth part alone
echo "== two paced lines at 115200 baud ($secs s a run)"
line A 115200 "big large.toml 7" >"$work/a.toml"
line B 115200 "small demo.toml 1" >"$work/b.toml"
cat "$work/a.toml" "$work/b.toml" >"$work/ab.toml"
a=$(median_cycle "$work/a.toml" A)
b=$(median_cycle "$work/b.toml" B)
both=$("$bin/devgate" run "$work/ab.toml" --format jsonl --seconds "$secs" 2>&1 >/dev/null |
    sed -n 's/^line [AB]: .*(median \([0-9.]*\) ms).*/\1/p' | sort -g | tail -1)
python3 -c "a, b, t = $a, $b, $both; s = max(a, b)
print(f'alone: A {a:.1f} ms, B {b:.1f} ms; together: slower line {t:.1f} ms; ratio {t / s:.3f}')"

echo "== three devices on one line at 115200 baud"
line C 115200 "one large.toml 7" >"$work/c1.toml"
"$bin/devgate" run "$work/c1.toml" --format jsonl --seconds 2 --trace 2>"$work/trace" >/dev/null || true
line C 115200 "one large.toml 7" "two large.toml 8" "three large.toml 9" >"$work/c3.toml"
c3=$(median_cycle "$work/c3.toml" C)
python3 - "$work/trace" "$c3" <<'PY'
import sys
path, cycle = sys.argv[1], float(sys.argv[2])
pairs, seen, pending = [], set(), None
for line in open(path):
    parts = line.split()
    if len(parts) < 3 or parts[1] not in ("tx", "rx"):
        continue
    if parts[1] == "tx":
        frame = " ".join(parts[2:])
        if frame in seen:
            break
        seen.add(frame)
        pending = len(parts) - 2
    elif pending is not None:
        pairs.append((pending, len(parts) - 2))
        pending = None
bound = sum(q + a + 3.5 for q, a in pairs) * 10 / 115200 * 1000
print(f"{len(pairs)} requests a device scan, lower bound {bound:.2f} ms a device; "
      f"line cycle {cycle:.1f} ms against 3 x {bound:.2f} = {3 * bound:.2f} ms; ratio {cycle / (3 * bound):.3f}")
PY

echo "== CPU per collection step, examples/demo.toml, unpaced simulator"
line D 0 "d demo.toml 1" >"$work/d.toml"
python3 - "$bin" "$work/d.toml" "$secs" "$ex" "${ROUNDS:-5}" <<'PY'
import re, resource, subprocess, sys
bin, site, secs, ex, rounds = sys.argv[1:6]
def run(args, calls_pattern):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run(args, capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    calls = int(re.search(calls_pattern, out.stdout + out.stderr).group(1))
    return cpu, calls
# The machine is shared: pairs of runs taking turns, medians of the pairs.
gs, hs, ratios = [], [], []
for _ in range(int(rounds)):
    g_cpu, g_calls = run([f"{bin}/devgate", "run", site, "--format", "jsonl", "--seconds", secs], r"d: (\d+) calls")
    h_cpu, h_calls = run([f"{bin}/devhost", "run", "--config", f"{ex}/demo.toml", "--simulate", "--interval", "0",
                          "--cycles", str(g_calls), "--format", "jsonl"], r"summary: (\d+) calls")
    gs.append(g_cpu / g_calls * 1e6)
    hs.append(h_cpu / h_calls * 1e6)
    ratios.append(gs[-1] / hs[-1])
med = lambda v: sorted(v)[len(v) // 2]
print(f"devgate {med(gs):.1f} us a step, devhost {med(hs):.1f} us a step (medians of {rounds} pairs); "
      f"ratio {med(ratios):.3f} (pairs: {' '.join(f'{r:.2f}' for r in sorted(ratios))})")
PY
fi

echo "== silent devices on a line of eight (${SILENT_SECONDS:-60} s a run)"
python3 - "$bin" "$ex" "$work" "${SILENT_SECONDS:-60}" <<'PY'
import re, statistics, subprocess, sys
bin, ex, work, secs = sys.argv[1:5]
def run(baud, devices, silent):
    """Mean of the median full scans of stations 1 to 5; the line's cycles."""
    answering = [s for s in devices if s not in silent]
    sim = subprocess.Popen([f"{bin}/plcsim", "--tcp", "0", "--baud", str(baud)] +
                           [a for s in answering for a in ("--station", str(s))],
                           stdout=subprocess.PIPE, text=True)
    try:
        address = sim.stdout.readline().strip()
        site = f"{work}/silent.toml"
        with open(site, "w") as f:
            f.write(f'[[line]]\nname = "L"\ntcp = "{address}"\n')
            for s in devices:
                f.write(f'[[line.device]]\nname = "s{s}"\ndescription = "{ex}/demo.toml"\nstation = {s}\n')
        out = subprocess.run([f"{bin}/devgate", "run", site, "--format", "jsonl", "--seconds", secs],
                             capture_output=True, text=True).stderr
    finally:
        sim.terminate()
        sim.wait()
    scans = {int(m.group(1)): float(m.group(2))
             for m in re.finditer(r"^  s(\d): .* full scans \(median ([0-9.]+) ms\)", out, re.M)}
    cycles = re.search(r"^line L: .*?(\d+) full cycles", out, re.M).group(1)
    return statistics.mean(scans[s] for s in range(1, 6)), cycles
eight = list(range(1, 9))
for baud in (19200, 115200):
    for silent in ([8], [6, 7, 8]):
        base, base_cycles = run(baud, [s for s in eight if s not in silent], [])
        scan, cycles = run(baud, eight, silent)
        print(f"{baud} baud, {len(silent)} silent of 8: stations 1-5 median scan {scan:.1f} ms against "
              f"{base:.1f} ms without the silent ones, ratio {scan / base:.3f}; line cycles {cycles} "
              f"(without: {base_cycles})")
PY
