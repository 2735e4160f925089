#!/usr/bin/python3
"""devgate's HTTP face under 50 concurrent readers of /api/values.

  bench/gate_http.py [BUILD_DIR] [SECONDS] [RATE]

Two simulated lines paced at 115200 baud (examples/large.toml on one,
examples/demo.toml on the other), served with --http on a free port. Runs
take turns, ROUNDS (3) of each: the lines without clients, and the lines with
50 clients (5 processes of 10 threads, one keep-alive connection each)
reading /api/values (both devices) in a loop, each at most RATE
requests a second (0: as fast as they can). Reported: the clients' median and
p99 latency and request rate, and each line's median full cycle from
/api/stats, with and without clients (medians of the rounds).
"""
import http.client
import json
import multiprocessing
import os
import re
import select
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/native")
SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 10
RATE = float(sys.argv[3]) if len(sys.argv) > 3 else 0
ROUNDS = int(os.environ.get("ROUNDS", "3"))
PROCESSES, THREADS = 5, 10


def site(folder):
    ex = os.path.join(ROOT, "examples")
    path = os.path.join(folder, "site.toml")
    with open(path, "w") as f:
        for line, device, desc in (("A", "big", "large.toml"), ("B", "small", "demo.toml")):
            f.write(f'[[line]]\nname = "{line}"\nsimulate = true\nsim_baud = 115200\n'
                    f'[[line.device]]\nname = "{device}"\ndescription = "{ex}/{desc}"\n')
    return path


def client(port, seconds, rate, out):
    """One process of THREADS readers; puts its latencies (ms) on out."""
    os.nice(19)  # the clients stand in for other machines: the lines and devgate's server go first
    lat, lock = [], threading.Lock()

    def reader():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        mine, end = [], time.monotonic() + seconds
        while time.monotonic() < end:
            t = time.perf_counter()
            for attempt in (1, 2):  # as a browser does, once more on a new connection the server closed
                try:
                    conn.request("GET", "/api/values")
                    r = conn.getresponse()
                    r.read()
                    break
                except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                    conn.close()
                    if attempt == 2:
                        raise
            mine.append((time.perf_counter() - t) * 1000)
            if r.status != 200:
                raise SystemExit(f"status {r.status}")
            if rate > 0:
                time.sleep(max(0.0, 1 / rate - (time.perf_counter() - t)))
        with lock:
            lat.extend(mine)

    threads = [threading.Thread(target=reader) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    out.put(lat)


def run(path, clients):
    """(median cycle by line, latencies) of one run."""
    proc = subprocess.Popen([os.path.join(BUILD, "bin/devgate"), "run", path, "--format", "jsonl",
                             "--http", "127.0.0.1:0"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([proc.stderr], [], [], 20)
        port = int(re.search(r"127\.0\.0\.1:(\d+)/", proc.stderr.readline() if ready else "").group(1))
        lat = []
        if clients:
            out = multiprocessing.Queue()
            procs = [multiprocessing.Process(target=client, args=(port, SECONDS, RATE, out)) for _ in range(PROCESSES)]
            for p in procs:
                p.start()
            for _ in procs:
                lat.extend(out.get())
            for p in procs:
                p.join()
        else:
            time.sleep(SECONDS)  # the lines poll for the run's length
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", "/api/stats")
        stats = json.loads(conn.getresponse().read())
        return {l["name"]: l["medianCycleMs"] for l in stats["lines"]}, lat
    finally:
        proc.terminate()
        proc.wait(timeout=30)


def main():
    subprocess.run(["cmake", "--build", BUILD, "--target", "devgate"], check=True, stdout=subprocess.DEVNULL)
    folder = tempfile.mkdtemp(prefix="gate-http-")
    path = site(folder)
    alone, loaded, lat, rates = {"A": [], "B": []}, {"A": [], "B": []}, [], []
    for _ in range(ROUNDS):
        for clients in (False, True):
            cycles, l = run(path, clients)
            for name, ms in cycles.items():
                (loaded if clients else alone)[name].append(ms)
            if clients:
                lat.extend(l)
                rates.append(len(l) / SECONDS)
    lat.sort()
    print(f"{PROCESSES * THREADS} clients on /api/values, {ROUNDS} runs of {SECONDS:.0f} s, "
          f"{'unpaced' if RATE == 0 else f'{RATE:g} requests/s each'}: "
          f"{statistics.median(rates):.0f} requests/s, latency median {lat[len(lat) // 2]:.2f} ms, "
          f"p99 {lat[min(len(lat) - 1, int(len(lat) * 0.99))]:.2f} ms")
    for name in ("A", "B"):
        a, b = statistics.median(alone[name]), statistics.median(loaded[name])
        print(f"line {name}: median cycle {a:.1f} ms alone, {b:.1f} ms with clients, ratio {b / a:.3f} "
              f"(runs alone {' '.join(f'{x:.1f}' for x in alone[name])}; "
              f"with clients {' '.join(f'{x:.1f}' for x in loaded[name])})")


if __name__ == "__main__":
    main()
