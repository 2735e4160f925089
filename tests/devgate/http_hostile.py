#!/usr/bin/python3
"""devgate's HTTP face under hostile clients from 127.0.0.1: IDLE connections
that send nothing (each reopened when closed) and SLOW connections that send
a request head one byte a second (slowloris). A normal client from 127.0.0.2
asks GET /api/values every 0.2 s meanwhile.

  http_hostile.py DEVGATE SITE [SECONDS]

As a test (no SECONDS): the normal client is answered throughout, and every
slow connection is closed by the server before it has sent its head: at once
beyond the limit of connections from one address, else at the head deadline
(10 s; the test waits at most 30 s). With SECONDS (bench/
runs it so): prints the normal client's latency (median, p99, max) and the
lines' median cycle from /api/stats without and with the hostile clients.
"""
import json
import re
import select
import socket
import statistics
import subprocess
import sys
import threading
import time

DEVGATE, SITE = sys.argv[1:3]
SECONDS = float(sys.argv[3]) if len(sys.argv) > 3 else None
IDLE, SLOW = 200, 50
CLOSE_BOUND_S = 30  # the test waits this long at most for the slow connections to be closed


def get(port, path, source="127.0.0.2"):
    """(seconds, status) of one request on a fresh connection from source."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0)) as s:
        s.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path.encode())
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
    return time.monotonic() - start, int(answer.split(b" ", 2)[1]), answer.split(b"\r\n\r\n", 1)[-1]


def cycles(port):
    _, _, body = get(port, "/api/stats")
    return {l["name"]: l["medianCycleMs"] for l in json.loads(body)["lines"]}


class Hostile:
    """The idle and slow connections, on one thread, until stop is set."""

    def __init__(self, port):
        self.port, self.stop = port, threading.Event()
        self.slow_closed = {}  # first SLOW connections: index -> seconds until the server closed it
        self.thread = threading.Thread(target=self.run, daemon=True)

    def open(self):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", self.port))
        return s

    def run(self):
        start = time.monotonic()
        slow = [(i, self.open()) for i in range(SLOW)]  # first, so that those within the per-address limit are served
        time.sleep(0.5)
        idle = [self.open() for _ in range(IDLE)]
        head = b"GET /api/values HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"X-Slow: " + b"a" * 1000
        sent = 0
        next_byte = time.monotonic()
        while not self.stop.is_set():
            readable, _, _ = select.select(idle + [s for _, s in slow], [], [], 0.2)
            for s in readable:  # closed by the server (or refused): reopen
                try:
                    gone = s.recv(4096) == b""
                except OSError:
                    gone = True
                if not gone:
                    continue
                s.close()
                if s in idle:
                    idle[idle.index(s)] = self.open()
                else:
                    k = next(k for k, (_, t) in enumerate(slow) if t is s)
                    i = slow[k][0]
                    if i < SLOW and i not in self.slow_closed:
                        self.slow_closed[i] = time.monotonic() - start
                    slow[k] = (i + SLOW, self.open())
            if time.monotonic() >= next_byte:
                next_byte += 1
                for _, s in slow:
                    try:
                        s.send(head[sent % len(head):sent % len(head) + 1])
                    except OSError:
                        pass
                sent += 1
            time.sleep(0.01)  # reopening is not a connect storm
        for s in idle + [s for _, s in slow]:
            s.close()


def main():
    gate = subprocess.Popen([DEVGATE, "run", SITE, "--http", "127.0.0.1:0"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([gate.stderr], [], [], 20)
        m = re.search(r"http on http://127\.0\.0\.1:(\d+)/", gate.stderr.readline() if ready else "")
        assert m, "devgate did not start"
        port = int(m.group(1))
        threading.Thread(target=lambda: [None for _ in gate.stderr], daemon=True).start()
        time.sleep(0 if SECONDS is None else 8)  # the bench lets the lines settle for a calm figure
        calm = cycles(port) if SECONDS else None
        hostile = Hostile(port)
        hostile.thread.start()
        latencies = []
        end = time.monotonic() + (SECONDS or CLOSE_BOUND_S)
        while time.monotonic() < end and (SECONDS or len(hostile.slow_closed) < SLOW or len(latencies) < 20):
            seconds, status, _ = get(port, "/api/values")
            assert status == 200, "the normal client got %d" % status
            latencies.append(seconds)
            time.sleep(0.2)
        busy = cycles(port) if SECONDS else None
        hostile.stop.set()
        hostile.thread.join(timeout=10)
        if SECONDS is None:
            assert len(hostile.slow_closed) == SLOW, "slow connections left open: %d of %d" % (
                SLOW - len(hostile.slow_closed), SLOW)
            # Those beyond the per-address limit are closed at once; the others once their head is overdue.
            assert max(hostile.slow_closed.values()) > 2, "no slow connection was served before it was closed"
            print("http_hostile: %d answers to the normal client; every slow connection closed" % len(latencies))
            return
        latencies.sort()
        ms = [1000 * x for x in latencies]
        print("normal client: %d answers, median %.1f ms, p99 %.1f ms, max %.1f ms" % (
            len(ms), statistics.median(ms), ms[min(len(ms) - 1, int(0.99 * len(ms)))], ms[-1]))
        closed = sorted(hostile.slow_closed.values())
        print("slow connections closed: %d of %d, after %.1f to %.1f s" % (
            len(closed), SLOW, closed[0] if closed else 0, closed[-1] if closed else 0))
        print("median cycle ms without / with:", calm, busy)
    finally:
        gate.terminate()
        gate.wait(timeout=20)


if __name__ == "__main__":
    main()
