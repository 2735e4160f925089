#!/usr/bin/python3
"""devgate's readiness and watchdog messages, on a notify socket of our own.

devgate runs the example site with NOTIFY_SOCKET and WATCHDOG_USEC (4 s: a
ping every 2 s) as systemd would set them, and --trace, which has each line's
thread write every frame to standard error. While the test reads that pipe,
READY=1 and WATCHDOG=1 come; when it stops reading, the pipe fills, the lines'
threads block in their writes, and the pings stop; when it reads again, they
come back; SIGTERM brings STOPPING=1.

Then devgate runs a copy of the example site: SIGHUP after an edit of one
line reloads it (RELOADING=1, READY=1, the other line kept), SIGHUP after a
fault refuses it with the fault's file:line, and polling goes on; the HTTP
face, started again, answers on the port it took at first.

Usage: notify_check.py PATH_OF_DEVGATE EXAMPLES_DIR
"""
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import urllib.request
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


def end(gate):
    """Terminates devgate (killed after 30 s)."""
    if gate.poll() is None:
        gate.terminate()
    try:
        gate.wait(timeout=30)
    except subprocess.TimeoutExpired:
        gate.kill()
        gate.wait()


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
        end(gate)



def lines_of(stream, into):
    for line in stream:
        into.put(line)


def await_line(lines, test, within):
    """The first line that passes the test within the time, or None."""
    until = time.monotonic() + within
    while time.monotonic() < until:
        try:
            line = lines.get(timeout=max(0.01, until - time.monotonic()))
        except queue.Empty:
            break
        if test(line):
            return line
    return None


with tempfile.TemporaryDirectory() as tmp:
    for name in ("site.toml", "demo.toml", "large.toml"):
        shutil.copy(os.path.join(EXAMPLES, name), tmp)
    site = os.path.join(tmp, "site.toml")
    with open(site) as f:
        text = f.read()
    path = os.path.join(tmp, "notify")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    gate = subprocess.Popen([DEVGATE, "run", site, "--format", "jsonl", "--seconds", "120", "--http", "127.0.0.1:0"],
                            env=dict(os.environ, NOTIFY_SOCKET=path), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    out, err = queue.Queue(), queue.Queue()
    threading.Thread(target=lines_of, args=(gate.stdout, out), daemon=True).start()
    threading.Thread(target=lines_of, args=(gate.stderr, err), daemon=True).start()
    try:
        check(await_message(sock, "READY=1", 60), "READY=1 once the copied site runs")
        http = await_line(err, lambda l: l.startswith("devgate: http on "), 1)
        url = http.split()[3].split("#")[0] if http else "none"
        with open(site, "w") as f:
            f.write(text.replace("interval_ms = 100", "interval_ms = 150"))
        gate.send_signal(signal.SIGHUP)
        check(await_message(sock, "RELOADING=1", 30), "RELOADING=1 at SIGHUP")
        check(await_message(sock, "READY=1", 30), "READY=1 after the reload")
        done = await_line(err, lambda l: l.startswith("devgate: reloaded"), 30)
        check(done is not None and done.endswith(": kept bus1; changed bus2; added none; removed none\n"),
              "the reload keeps bus1 and sets bus2 up anew: " + str(done))
        again = await_line(err, lambda l: l.startswith("devgate: http on "), 30)
        check(again == "devgate: http on " + url + "\n", "the HTTP face on its port again: " + str(again))
        with urllib.request.urlopen(url + "api/site", timeout=10) as answer:
            check('"pump"' in answer.read().decode(), "the HTTP face serves the reloaded site")
        # A second line named bus1, on the site file's line the fault names.
        with open(site, "a") as f:
            f.write('\n[[line]]\nname = "bus1"\nsimulate = true\n')
        fault = "%s:%d: a second line named bus1" % (site, text.count("\n") + 3)
        gate.send_signal(signal.SIGHUP)
        said = await_line(err, lambda l: l.startswith(site), 30)
        check(said == fault + "\n", "a faulty site's fault with its file:line: " + str(said))
        refused = await_line(err, lambda l: "reload refused" in l, 30)
        check(refused is not None and refused.endswith("the running site is kept\n"), "the faulty site refused")
        while not out.empty():
            out.get()
        check(await_line(out, lambda l: '"device":"pump"' in l, 30) is not None, "pump is polled on")
    finally:
        end(gate)

sys.exit(1 if failures else 0)
