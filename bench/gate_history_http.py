#!/usr/bin/python3
"""/api/history and /api/history.csv over a week of one channel sampled every
second (604,800 samples): the time of a week reduced to 1000 points (best of
5), and the CSV's bytes, time and devgate's resident memory before and after
it (streamed: the range is never in memory). Usage: gate_history_http.py DEVGATE"""
import os
import re
import select
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

DEVGATE = sys.argv[1]
DAY_MS = 86400 * 1000


def start(folder):
    proc = subprocess.Popen([DEVGATE, "run", os.path.join(folder, "site.toml"), "--format", "jsonl", "--http",
                             "127.0.0.1:0", "--history", os.path.join(folder, "h.db")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    end = time.monotonic() + 30
    while time.monotonic() < end:
        ready, _, _ = select.select([proc.stderr], [], [], 1)
        m = re.search(r"http on (http://127\.0\.0\.1:\d+)/", proc.stderr.readline() if ready else "")
        if m:
            return proc, m.group(1)
    proc.kill()
    sys.exit("devgate did not start")


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024


def main():
    folder = tempfile.mkdtemp(prefix="gate-history-http-")
    with open(os.path.join(folder, "d.toml"), "w") as f:
        f.write('[device]\nstation = 1\n[[channel]]\naddress = "D100"\ntype = "LF"\nname = "ch0"\n')
    with open(os.path.join(folder, "site.toml"), "w") as f:
        f.write('[[line]]\nname = "sim"\nsimulate = true\n[[line.device]]\nname = "bench"\ndescription = "d.toml"\n')
    db = os.path.join(folder, "h.db")
    proc, base = start(folder)  # makes the database and registers the channel
    while not os.path.exists(db):
        time.sleep(0.05)
    proc.terminate()
    proc.wait(30)
    start_ms = (int(time.time() * 1000) // DAY_MS - 8) * DAY_MS
    with sqlite3.connect(db) as c:
        channel = c.execute("SELECT id FROM channel WHERE device = 'bench' AND name = 'ch0'").fetchone()[0]
        first = c.execute("SELECT value FROM meta WHERE key = 'next_id'").fetchone()[0]
        n = 7 * 86400
        c.executemany("INSERT INTO sample(channel, ms, id, value, status, code) VALUES(?, ?, ?, ?, 0, 0)",
                      ((channel, start_ms + i * 1000, first + i, 1000 + (i % 3600) / 7.0) for i in range(n)))
        c.execute("UPDATE meta SET value = ? WHERE key = 'next_id'", (first + n,))
    proc, base = start(folder)
    try:
        query = "device=bench&channel=ch0&from=%d&to=%d" % (start_ms, start_ms + 7 * DAY_MS - 1)
        best = None
        for _ in range(5):
            t = time.perf_counter()
            with urllib.request.urlopen(base + "/api/history?" + query + "&points=1000", timeout=60) as r:
                body = r.read()
            best = min(best or 1e9, time.perf_counter() - t)
        print("/api/history, 7 days (604800 samples) to 1000 points: best of 5 %.1f ms, %d bytes" %
              (best * 1000, len(body)))
        before = rss_mb(proc.pid)
        t = time.perf_counter()
        size = 0
        with urllib.request.urlopen(base + "/api/history.csv?" + query, timeout=300) as r:
            while chunk := r.read(65536):
                size += len(chunk)
        took = time.perf_counter() - t
        print("/api/history.csv, 7 days: %.1f MB in %.2f s (%.0f samples/s); devgate's RSS %.1f MB before, "
              "%.1f MB after" % (size / 1e6, took, 604800 / took, before, rss_mb(proc.pid)))
    finally:
        proc.terminate()
        proc.wait(30)
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
