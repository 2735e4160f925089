#!/usr/bin/python3
"""The ARM builds of the tools, run under qemu-user, against native clients.

devcfg builds a blob of the example description and prints it back as a
description that builds the same blob; devgate checks the example site and
runs it with every face: its HTTP face answers /api/values to urllib, its
MQTT face publishes the pump's values to a native mosquitto broker (read by
mosquitto_sub) and its Modbus TCP face answers mbpoll. Ports are free ones of
127.0.0.1; every wait has a deadline.

Usage: on_target.py EMULATOR_ARGS... -- DEVGATE DEVCFG EXAMPLES_DIR
"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

split = sys.argv.index("--")
EMU = sys.argv[1:split]
DEVGATE, DEVCFG, EXAMPLES = sys.argv[split + 1:split + 4]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*args, timeout=120):
    return subprocess.run([*EMU, *args], capture_output=True, text=True, timeout=timeout)


def read_until(stream, pattern, deadline):
    """Lines of a child's stream until one matches; the match or None."""
    os.set_blocking(stream.fileno(), True)
    while time.monotonic() < deadline:
        line = stream.readline()
        if not line:
            return None
        m = re.search(pattern, line)
        if m:
            return m
    return None


with tempfile.TemporaryDirectory() as tmp:
    blob, back, blob2 = (os.path.join(tmp, n) for n in ("a.bin", "back.toml", "b.bin"))
    built = run(DEVCFG, "build", os.path.join(EXAMPLES, "demo.toml"), "-o", blob)
    dumped = run(DEVCFG, "dump", blob, "-o", back)
    rebuilt = run(DEVCFG, "build", back, "-o", blob2)
    same = all(r.returncode == 0 for r in (built, dumped, rebuilt)) and open(blob, "rb").read() == open(blob2, "rb").read()
    check(same, "devcfg: build, dump and build again give the same blob " + built.stderr + dumped.stderr + rebuilt.stderr)

    site = os.path.join(EXAMPLES, "site.toml")
    checked = run(DEVGATE, "check", site)
    check(checked.returncode == 0 and "2 lines, 4 devices" in checked.stdout,
          "devgate check passes the example site: " + checked.stdout + checked.stderr)

    mqtt_port = free_port()
    conf = os.path.join(tmp, "broker.conf")
    with open(conf, "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\n" % mqtt_port)
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", conf], stderr=subprocess.PIPE, text=True)
    gate = None
    try:
        check(read_until(broker.stderr, " running", time.monotonic() + 20) is not None, "the broker runs")
        gate = subprocess.Popen([*EMU, DEVGATE, "run", site, "--format", "jsonl", "--seconds", "240",
                                 "--http", "127.0.0.1:0", "--modbus", "127.0.0.1:0",
                                 "--mqtt", "127.0.0.1:%d" % mqtt_port],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        http = read_until(gate.stderr, r"devgate: http on (http://\S+?/)(#|\s|$)", deadline)
        modbus = read_until(gate.stderr, r"devgate: modbus on [\d.]+:(\d+)", deadline)
        check(http is not None and modbus is not None, "devgate runs the example site with HTTP and Modbus faces")

        # The pump's first value over MQTT, retained or as it comes.
        sub = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(mqtt_port), "-t", "devgate/pump/#",
                              "-v", "-C", "8", "-W", "60"], capture_output=True, text=True, timeout=90)
        check(sub.returncode == 0 and re.search(r"^devgate/pump/[^$ ]+ {\"value\":", sub.stdout, re.M) is not None,
              "devgate publishes to the native broker: " + sub.stdout + sub.stderr)

        if http is not None:
            values, deadline = [], time.monotonic() + 60
            while time.monotonic() < deadline and not any(v.get("status") == "ok" for v in values):
                with urllib.request.urlopen(http.group(1) + "api/values?device=pump", timeout=10) as r:
                    values = json.load(r)["values"]
                if not any(v.get("status") == "ok" for v in values):
                    time.sleep(0.2)  # the line's next cycle
            check(any(v.get("status") == "ok" and v.get("value") is not None for v in values),
                  "GET /api/values answers the pump's values: %r" % values[:2])

        if modbus is not None:
            # The pump is the site's fourth device; the devices before it, on the slower line, may not be read yet.
            out = subprocess.run(["mbpoll", "-m", "tcp", "-p", modbus.group(1), "-0", "-1", "-o", "10",
                                  "-a", "4", "-r", "0", "-c", "1", "127.0.0.1"],
                                 capture_output=True, text=True, timeout=60)
            check(out.returncode == 0 and re.search(r"^\[0\]:\s+-?\d+", out.stdout, re.M) is not None,
                  "mbpoll reads the pump's first holding register (unit 4): " + out.stdout[-200:] + out.stderr)
    finally:
        for child in (gate, broker):
            if child is not None:
                child.terminate()
                try:
                    child.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
    if gate is not None:
        check(gate.returncode == 0, "devgate stops at SIGTERM with status 0 (got %r)" % gate.returncode)

sys.exit(1 if failures else 0)
