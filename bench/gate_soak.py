#!/usr/bin/python3
"""devgate around the clock: resident memory with every face busy.

  bench/gate_soak.py SECONDS [--warmup S] [--build DIR] [--csv FILE] [--site FILE]

devgate runs bench/sites/soak10000.toml (10,000 channels: two unpaced
simulated lines of five 1000-word devices) with --format jsonl to /dev/null,
--http on a free port with an event-stream client reading /api/events and a
reader of /api/values every 10 s, --mqtt to a mosquitto broker started here
on 127.0.0.1 and a free port with a mosquitto_sub client taking everything,
and --modbus --modbus-writes on a free port with a client that reads 125
holding registers of one unit after another and writes one register of one
unit a second (so values change, and every face has news). Every 10 s the
resident memory (VmRSS) and CPU time of devgate go to the CSV (time_s,
rss_kb, cpu_s, sse_events, modbus_reads, modbus_writes).

At the end one line: the resident memory at the end of the warm-up (default
600 s: the history rings keep 10 minutes) and at the end, and the growth per
hour after the warm-up as the least-squares slope of the samples. With a run
no longer than the warm-up, the slope of all samples is given instead,
marked as such. Everything started here is stopped at the end (Ctrl-C too).

For the hour in the background:

  nohup bench/gate_soak.py 4200 --csv /tmp/soak.csv > /tmp/soak.log 2>&1 &
"""
import argparse
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def rss_cpu(pid):
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return rss, (int(fields[11]) + int(fields[12])) / ticks


def slope_per_hour(points):
    """Least-squares slope of (seconds, kB) in MB an hour."""
    n = len(points)
    if n < 2:
        return float("nan")
    mx = sum(p[0] for p in points) / n
    my = sum(p[1] for p in points) / n
    sxx = sum((p[0] - mx) ** 2 for p in points)
    sxy = sum((p[0] - mx) * (p[1] - my) for p in points)
    return sxy / sxx * 3600 / 1024 if sxx > 0 else float("nan")


class Counters:
    def __init__(self):
        self.sse = 0
        self.reads = 0
        self.writes = 0
        self.errors = 0
        self.stop = threading.Event()


def sse_client(port, counters):
    while not counters.stop.is_set():
        try:
            conn = socket.create_connection(("127.0.0.1", port), 5)
            conn.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
            conn.settimeout(1)
            while not counters.stop.is_set():
                try:
                    data = conn.recv(65536)
                except socket.timeout:
                    continue
                if not data:
                    break
                counters.sse += data.count(b"\nevent: ") + data.startswith(b"event: ")
            conn.close()
        except OSError:
            counters.errors += 1
            counters.stop.wait(1)


def values_reader(port, counters):
    while not counters.stop.wait(10):
        try:
            urllib.request.urlopen(f"http://127.0.0.1:{port}/api/values", timeout=30).read()
        except OSError:
            counters.errors += 1


def modbus_client(port, units, counters):
    """Reads 125 holding registers of a unit after another; writes one register a second."""
    tid = 0
    last_write = 0.0
    value = 0

    def call(conn, unit, pdu):
        nonlocal tid
        tid = (tid + 1) & 0xFFFF
        conn.sendall(struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu)
        head = b""
        while len(head) < 7:
            chunk = conn.recv(7 - len(head))
            if not chunk:
                raise OSError("closed")
            head += chunk
        length = struct.unpack(">H", head[4:6])[0] - 1
        body = b""
        while len(body) < length:
            chunk = conn.recv(length - len(body))
            if not chunk:
                raise OSError("closed")
            body += chunk
        return body

    while not counters.stop.is_set():
        try:
            conn = socket.create_connection(("127.0.0.1", port), 5)
            conn.settimeout(30)
            k = 0
            while not counters.stop.is_set():
                unit = units[k % len(units)]
                start = 125 * ((k // len(units)) % 8)
                call(conn, unit, struct.pack(">BHH", 3, start, 125))
                counters.reads += 1
                k += 1
                now = time.monotonic()
                if now - last_write >= 1:
                    last_write = now
                    value = (value + 1) & 0x7FFF
                    call(conn, units[value % len(units)], struct.pack(">BHH", 6, value % 1000, value))
                    counters.writes += 1
                counters.stop.wait(0.02)
            conn.close()
        except OSError:
            counters.errors += 1
            counters.stop.wait(1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("seconds", type=float)
    ap.add_argument("--warmup", type=float, default=600)
    ap.add_argument("--build", default=os.path.join(ROOT, "build/native"))
    ap.add_argument("--csv", default="gate_soak.csv")
    ap.add_argument("--site", default=os.path.join(ROOT, "bench/sites/soak10000.toml"))
    ap.add_argument("--interval", type=float, default=10)
    a = ap.parse_args()

    work = tempfile.mkdtemp(prefix="gate_soak-")
    procs = []

    def stop_all(*_):
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGINT if p is procs[-1] else signal.SIGTERM)
        for p in reversed(procs):
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    counters = Counters()
    try:
        mport = free_port()
        with open(os.path.join(work, "broker.conf"), "w") as f:
            f.write(f"listener {mport} 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n"
                    "max_queued_messages 100000\n")
        procs.append(subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "broker.conf")]))
        for _ in range(50):
            try:
                socket.create_connection(("127.0.0.1", mport), 0.1).close()
                break
            except OSError:
                time.sleep(0.1)
        procs.append(subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mport), "-t", "devgate/#",
                                       "-q", "1"], stdout=subprocess.DEVNULL))
        err = open(os.path.join(work, "devgate.err"), "w+")
        gate = subprocess.Popen([os.path.join(a.build, "bin/devgate"), "run", a.site, "--format", "jsonl",
                                 "--http", "127.0.0.1:0", "--modbus", "127.0.0.1:0", "--modbus-writes",
                                 "--mqtt", f"127.0.0.1:{mport}"], stdout=subprocess.DEVNULL, stderr=err)
        procs.append(gate)
        hport = bport = None
        for _ in range(300):
            err.seek(0)
            text = err.read()
            m = re.search(r"http on http://127\.0\.0\.1:(\d+)/", text)
            n = re.search(r"modbus on 127\.0\.0\.1:(\d+)", text)
            hport, bport = (int(m.group(1)) if m else None), (int(n.group(1)) if n else None)
            if (hport and bport) or gate.poll() is not None:
                break
            time.sleep(0.1)
        if not (hport and bport):
            sys.exit("devgate did not start:\n" + text)
        units = list(range(1, 11))
        for target, args in ((sse_client, (hport, counters)), (values_reader, (hport, counters)),
                             (modbus_client, (bport, units, counters))):
            threading.Thread(target=target, args=args, daemon=True).start()

        samples = []
        start = time.monotonic()
        with open(a.csv, "w") as csv:
            csv.write("time_s,rss_kb,cpu_s,sse_events,modbus_reads,modbus_writes\n")
            while True:
                t = time.monotonic() - start
                if gate.poll() is not None:
                    sys.exit(f"devgate ended with {gate.returncode}")
                rss, cpu = rss_cpu(gate.pid)
                samples.append((t, rss))
                csv.write(f"{t:.1f},{rss},{cpu:.2f},{counters.sse},{counters.reads},{counters.writes}\n")
                csv.flush()
                if t >= a.seconds:
                    break
                time.sleep(max(0.0, min(a.interval * len(samples) - (time.monotonic() - start), a.seconds - t)))
        counters.stop.set()
        after = [p for p in samples if p[0] >= a.warmup]
        marked = "" if len(after) >= 2 else " (all samples: the run is no longer than the warm-up)"
        fit = after if len(after) >= 2 else samples
        at_warm = fit[0][1] / 1024
        print(f"gate_soak: {samples[-1][0]:.0f} s, {len(samples)} samples, rss {samples[0][1] / 1024:.1f} MB at start, "
              f"{at_warm:.1f} MB at {fit[0][0]:.0f} s, {samples[-1][1] / 1024:.1f} MB at the end; growth "
              f"{slope_per_hour(fit):+.2f} MB/h after {fit[0][0]:.0f} s{marked}; cpu {cpu / samples[-1][0] * 100:.0f} % "
              f"of a core; {counters.sse} events, {counters.reads} modbus reads, {counters.writes} writes, "
              f"{counters.errors} client errors; samples in {a.csv}")
    finally:
        counters.stop.set()
        stop_all()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
