#!/usr/bin/env bash
# devgate's Modbus TCP face under load: 10 clients (bench/gate_modbus.cpp,
# libmodbus) reading 125 holding registers of examples/large.toml as fast as
# answers come, and the lines' median full cycle with and without them.
#
#   bench/gate_modbus.sh [BUILD_DIR] [SECONDS] [CLIENTS]
#
# The site: line P at 115200 baud with examples/large.toml (unit 1; its
# holding registers 0..124 are D0..D119 and D200..D204), line U unpaced with
# examples/demo.toml (unit 2). ROUNDS (3) pairs of runs taking turns, each
# devgate run --modbus 127.0.0.1:0 for SECONDS: without clients, then with
# them. Medians.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
secs=${2:-8}
clients=${3:-10}
cmake --build "$build" --target devgate gate_modbus >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ex="$PWD/examples"
cat >"$work/site.toml" <<TOML
[[line]]
name = "P"
simulate = true
sim_baud = 115200
[[line.device]]
name = "big"
description = "$ex/large.toml"
[[line]]
name = "U"
simulate = true
[[line.device]]
name = "small"
description = "$ex/demo.toml"
TOML
python3 - "$build/bin" "$work/site.toml" "$secs" "$clients" "${ROUNDS:-3}" <<'PY'
import re, subprocess, sys
bin, site, secs, clients, rounds = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])

def run(load):
    gate = subprocess.Popen([f"{bin}/devgate", "run", site, "--format", "jsonl", "--seconds", str(secs),
                             "--modbus", "127.0.0.1:0"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    port = int(re.match(r"devgate: modbus on [0-9.]+:(\d+)", gate.stderr.readline()).group(1))
    client = ""
    if load:
        # Leaves 2 s of the run for the first poll and the end.
        out = subprocess.run([f"{bin}/gate_modbus", "127.0.0.1", str(port), "1", "0", "125", str(clients),
                              str(secs - 2)], capture_output=True, text=True)
        client = out.stdout.strip() or out.stderr.strip()
    summary = gate.stderr.read()
    gate.wait()
    cycles = {m.group(1): float(m.group(2)) for m in re.finditer(r"^line (\w+): .*\(median ([0-9.]+) ms\)", summary, re.M)}
    return cycles, client

med = lambda v: sorted(v)[len(v) // 2]
quiet, loaded, rates = {"P": [], "U": []}, {"P": [], "U": []}, []
for _ in range(rounds):
    q, _ = run(False)
    l, client = run(True)
    print("  without:", q, " with:", l, " ", client)
    for name in q:
        quiet[name].append(q[name])
        loaded[name].append(l[name])
    rates.append(float(re.search(r"([0-9.]+) reads/s", client).group(1)))
print(f"{clients} clients, 125 registers: {med(rates):.0f} reads/s (median of {rounds} runs)")
for name, what in (("P", "115200 baud, large.toml"), ("U", "unpaced, demo.toml")):
    a, b = med(quiet[name]), med(loaded[name])
    print(f"line {name} ({what}) median full cycle: {a:.2f} ms without clients, {b:.2f} ms with; ratio {b / a:.3f}")
PY
