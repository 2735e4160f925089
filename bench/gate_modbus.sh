#!/usr/bin/env bash
# devgate's Modbus TCP face under load: 10 clients (bench/gate_modbus.cpp,
# libmodbus) reading 125 holding registers of examples/large.toml, and the
# lines' median full cycle without them, with them at RATE (20) reads a
# second each, and with them as fast as answers come.
#
#   bench/gate_modbus.sh [BUILD_DIR] [SECONDS] [CLIENTS]
#
# The site: line P at 115200 baud with examples/large.toml (unit 1; its
# holding registers 0..124 are D0..D119 and D200..D204), line U unpaced with
# examples/demo.toml (unit 2). ROUNDS (3) rounds of three runs taking turns,
# each devgate run --modbus 127.0.0.1:0 for SECONDS. Medians. The clients run
# at nice NICE (19): they stand in for other machines.
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
python3 - "$build/bin" "$work/site.toml" "$secs" "$clients" "${ROUNDS:-3}" "${RATE:-20}" "${NICE:-19}" <<'PY'
import re, subprocess, sys
bin, site, secs, clients, rounds, rate, nice = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4]), \
    int(sys.argv[5]), sys.argv[6], sys.argv[7]

def run(load):
    gate = subprocess.Popen([f"{bin}/devgate", "run", site, "--format", "jsonl", "--seconds", str(secs),
                             "--modbus", "127.0.0.1:0"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    port = int(re.match(r"devgate: modbus on [0-9.]+:(\d+)", gate.stderr.readline()).group(1))
    client = ""
    if load is not None:
        # Leaves 2 s of the run for the first poll and the end.
        out = subprocess.run(["nice", "-n", nice, f"{bin}/gate_modbus", "127.0.0.1", str(port), "1", "0", "125", str(clients),
                              str(secs - 2), load], capture_output=True, text=True)
        client = out.stdout.strip() or out.stderr.strip()
    summary = gate.stderr.read()
    gate.wait()
    cycles = {m.group(1): float(m.group(2)) for m in re.finditer(r"^line (\w+): .*\(median ([0-9.]+) ms\)", summary, re.M)}
    return cycles, client

med = lambda v: sorted(v)[len(v) // 2]
loads = {"none": None, f"{rate}/s": rate, "flat out": "0"}
cycles = {(k, line): [] for k in loads for line in "PU"}
rates = {k: [] for k in loads}
for _ in range(rounds):
    for key, load in loads.items():
        c, client = run(load)
        print(f"  {key}: {c} {client}")
        for line in "PU":
            cycles[(key, line)].append(c[line])
        if client:
            rates[key].append(float(re.search(r"([0-9.]+) reads/s", client).group(1)))
for key in loads:
    if rates[key]:
        print(f"{clients} clients, 125 registers, {key}: {med(rates[key]):.0f} reads/s (median of {rounds} runs)")
for line, what in (("P", "115200 baud, large.toml"), ("U", "unpaced, demo.toml")):
    base = med(cycles[("none", line)])
    print(f"line {line} ({what}) median full cycle: {base:.2f} ms without clients; " + "; ".join(
        f"{key} {med(cycles[(key, line)]):.2f} ms (ratio {med(cycles[(key, line)]) / base:.3f})"
        for key in loads if key != "none"))
PY
