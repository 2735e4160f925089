#!/usr/bin/python3
"""devgate's readiness and watchdog messages, on a notify socket of our own.

devgate runs the example site with NOTIFY_SOCKET and WATCHDOG_USEC (4 s: a
ping every 2 s) as systemd would set them, and --trace, which has each line's
thread write every frame to standard error. While the test reads that pipe,
READY=1 and WATCHDOG=1 come; when it stops reading, the pipe fills, the lines'
threads block in their writes, and the pings stop; when it reads again, they
come back; SIGTERM brings STOPPING=1.

Usage: notify_check.py PATH_OF_DEVGATE EXAMPLES_DIR
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

DEVGATE, EXAMPLES = sys.argv[1:3]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def messages(sock, until):
    """Datagrams that come before the deadline, with their arrival times."""
    got = []
    while time.monotonic() < until:
        sock.settimeout(max(0.01, until - time.monotonic()))
        try:
            got.append((time.monotonic(), sock.recv(4096).decode()))
        except socket.timeout:
            break
    return got


def await_message(sock, text, within):
    until = time.monotonic() + within
    while time.monotonic() < until:
        sock.settimeout(max(0.01, until - time.monotonic()))
        try:
            if text in sock.recv(4096).decode().split("\n"):
                return True
        except socket.timeout:
            break
    return False


with tempfile.TemporaryDirectory() as tmp:
    path = os.path.join(tmp, "notify")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    env = dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="4000000")
    gate = subprocess.Popen([DEVGATE, "run", os.path.join(EXAMPLES, "site.toml"), "--trace", "--format", "jsonl",
                             "--seconds", "120"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    reading = threading.Event()
    reading.set()

    def drain():
        while True:
            reading.wait()
            if not gate.stderr.read1(65536):
                return

    threading.Thread(target=drain, daemon=True).start()
    try:
        check(await_message(sock, "READY=1", 60), "READY=1 once the site runs")
        check(await_message(sock, "WATCHDOG=1", 10), "WATCHDOG=1 while every line's thread is alive")

        # The lines block on the full pipe: a quiet spell of over two periods.
        reading.clear()
        until, quiet = time.monotonic() + 60, False
        last = time.monotonic()
        while time.monotonic() < until and not quiet:
            got = [t for t, m in messages(sock, time.monotonic() + 1) if "WATCHDOG=1" in m.split("\n")]
            if got:
                last = got[-1]
            quiet = time.monotonic() - last > 5
        check(quiet, "no WATCHDOG=1 for 5 s while the lines' threads are stuck")

        reading.set()
        check(await_message(sock, "WATCHDOG=1", 10), "WATCHDOG=1 again once the lines go on")
        gate.terminate()
        check(await_message(sock, "STOPPING=1", 30), "STOPPING=1 at SIGTERM")
    finally:
        reading.set()
        if gate.poll() is None:
            gate.terminate()
        try:
            gate.wait(timeout=30)
        except subprocess.TimeoutExpired:
            gate.kill()
            gate.wait()

sys.exit(1 if failures else 0)
