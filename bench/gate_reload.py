#!/usr/bin/python3
"""devgate's reload: how long it takes, and whether the kept line pauses.

  bench/gate_reload.py [BUILD_DIR] [RELOADS]

devgate runs a copy of examples/site.toml (two lines paced at 19200 baud)
with --format jsonl, --http and --modbus on free ports and a notify socket of
its own. Every 2 s the copy's pump (line bus2) gets another interval_ms and
devgate a SIGHUP. Reported: the time from SIGHUP to READY=1 of each reload,
and the gaps between press1's values (line bus1, kept), by the time devgate
stored them, within 0.5 s of a reload against the other gaps.
"""
import datetime
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "native")
RELOADS = int(sys.argv[2]) if len(sys.argv) > 2 else 5


def stored(line):
    """The monotonic time at which devgate stored the value of a jsonl line."""
    at = datetime.datetime.strptime(json.loads(line)["time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    return at.replace(tzinfo=datetime.timezone.utc).timestamp() - (time.time() - time.monotonic())


def await_message(sock, text):
    while text not in sock.recv(4096).decode().split("\n"):
        pass
    return time.monotonic()


with tempfile.TemporaryDirectory() as tmp:
    for name in ("site.toml", "demo.toml", "large.toml"):
        shutil.copy(os.path.join(ROOT, "examples", name), tmp)
    site = os.path.join(tmp, "site.toml")
    with open(site) as f:
        text = f.read()
    path = os.path.join(tmp, "notify")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(60)
    gate = subprocess.Popen([os.path.join(BUILD, "bin", "devgate"), "run", site, "--format", "jsonl", "--seconds",
                             str(10 + 3 * RELOADS), "--http", "127.0.0.1:0", "--modbus", "127.0.0.1:0"],
                            env=dict(os.environ, NOTIFY_SOCKET=path), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    times = []

    def read():
        for line in gate.stdout:
            if '"device":"press1"' in line and '"value"' in line:
                times.append(stored(line))

    threading.Thread(target=read, daemon=True).start()
    try:
        await_message(sock, "READY=1")
        time.sleep(3)
        reloads = []
        for i in range(RELOADS):
            with open(site, "w") as f:
                f.write(text.replace("interval_ms = 100", "interval_ms = %d" % (110 + i)))
            start = time.monotonic()
            gate.send_signal(signal.SIGHUP)
            await_message(sock, "RELOADING=1")
            reloads.append((start, await_message(sock, "READY=1")))
            time.sleep(2)
    finally:
        gate.terminate()
        gate.wait(timeout=30)

near, other = [], []
for a, b in zip(times, times[1:]):
    (near if any(s - 0.5 <= b and a <= e + 0.5 for s, e in reloads) else other).append((b - a) * 1000)
other.sort()
print("SIGHUP to READY=1, ms:", " ".join("%.0f" % ((e - s) * 1000) for s, e in reloads))
print("press1 gaps near a reload: max %.0f ms (%d gaps)" % (max(near), len(near)))
print("press1 gaps otherwise: max %.0f ms, p99 %.0f ms (%d gaps)" % (other[-1], other[len(other) * 99 // 100],
                                                                      len(other)))
