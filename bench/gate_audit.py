#!/usr/bin/python3
"""What the audit record costs: an HTTP write's round trip without and with
--audit FILE, and GET /api/audit on a file of 64 MiB (its bound) of records.

  bench/gate_audit.py [BUILD_DIR] [WRITES]

A simulated line (examples/demo.toml's device); WRITES (300) writes of one
channel one after the other, the median and p99 of their round trips; then
/api/audit for the newest 100 records, and for a device no record names (the
whole bounded scan), 5 times each, the median.
"""
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/native")
WRITES = int(sys.argv[2]) if len(sys.argv) > 2 else 300
TOKEN = "bench-token"


def start(folder, *args):
    site = os.path.join(folder, "site.toml")
    with open(site, "w") as f:
        f.write('[[line]]\nname = "sim"\nsimulate = true\n[[line.device]]\nname = "press1"\n'
                'description = "%s"\n' % os.path.join(ROOT, "examples", "demo.toml"))
    with open(os.path.join(folder, "token"), "w") as f:
        f.write(TOKEN + "\n")
    proc = subprocess.Popen([os.path.join(BUILD, "bin/devgate"), "run", site, "--format", "jsonl", "--http",
                             "127.0.0.1:0", "--token-file", os.path.join(folder, "token"), *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for line in proc.stderr:
        m = re.search(r"http on (http://127\.0\.0\.1:\d+)/", line)
        if m:
            return proc, m.group(1)
    raise RuntimeError("devgate printed no address")


def request(base, path, body=None):
    req = urllib.request.Request(base + path, json.dumps(body).encode() if body else None,
                                 headers={"Authorization": "Bearer " + TOKEN})
    t = time.perf_counter()
    with urllib.request.urlopen(req, timeout=30) as r:
        r.read()
    return (time.perf_counter() - t) * 1000


def writes(base):
    channel = json.load(urllib.request.urlopen(base + "/api/site"))["devices"][0]["channels"]
    name = next(c["name"] for c in channel if c["rw"] != "r" and c["type"] == "int")
    ms = sorted(request(base, "/api/write", {"device": "press1", "channel": name, "value": i % 100})
                for i in range(WRITES))
    return statistics.median(ms), ms[int(len(ms) * 0.99) - 1]


def main():
    with tempfile.TemporaryDirectory() as folder:
        audit = os.path.join(folder, "audit.jsonl")
        for label, args in (("without --audit", ()), ("with --audit", ("--audit", audit))):
            proc, base = start(folder, *args)
            try:
                median, p99 = writes(base)
                print("write %s: median %.2f ms, p99 %.2f ms" % (label, median, p99))
            finally:
                proc.terminate()
                proc.wait()
        line = open(audit).readline()
        with open(audit, "w") as f:
            f.write(line * (64 * 1024 * 1024 // len(line) + 1))
        proc, base = start(folder, "--audit", audit)
        try:
            for what, query in (("the newest 100", ""), ("a device no record names (64 MiB scanned)", "&device=x")):
                ms = statistics.median(request(base, "/api/audit?limit=100" + query) for _ in range(5))
                print("GET /api/audit, %s: %.1f ms" % (what, ms))
        finally:
            proc.terminate()
            proc.wait()


if __name__ == "__main__":
    main()
