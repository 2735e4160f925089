#!/usr/bin/python3
"""devgate's audit record: writes and commands from HTTP, MQTT (a mosquitto
broker on a free port of 127.0.0.1) and Modbus TCP (pymodbus), accepted and
refused, each in GET /api/audit exactly once with its face, who and outcome;
first into an --audit file of JSON lines, then into the history database.
Usage: audit_check.py DEVGATE"""
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading

from pymodbus.client import ModbusTcpClient

from http_api import DEADLINE_S, TOKEN, call, closed_port, wait_for

DEVGATE = sys.argv[1]
SITE = """[[line]]
name = "sim"
simulate = true
[[line.device]]
name = "press1"
description = "press.toml"
[[line.device.modbus]]
channel = "temp"
table = "holding"
address = 0
[[line.device.modbus]]
channel = "code"
table = "holding"
address = 1
"""
PRESS = """[device]
station = 1
wait_ms = 1000
[simulator]
set = ["D100=11", "D101=22", "D102=0x0042"]
[[channel]]
address = "D100"
type = "WUB"
name = "temp"
[[channel]]
address = "D101"
type = "WUB"
name = "limit"
rw = "r"
[[channel]]
address = "D102"
type = "WD"
name = "code"
"""

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def start(folder, *args, auth=("--token-file", "token")):
    """devgate with HTTP and Modbus TCP; (process, HTTP base, Modbus port) from its start-up lines."""
    proc = subprocess.Popen([DEVGATE, "run", os.path.join(folder, "site.toml"), "--format", "jsonl", "--http",
                             "127.0.0.1:0", auth[0], os.path.join(folder, auth[1]), "--modbus", "127.0.0.1:0",
                             "--modbus-writes", *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in proc.stderr], daemon=True).start()
    base = port = None
    while base is None or port is None:
        try:
            line = lines.get(timeout=DEADLINE_S)
        except queue.Empty:
            break
        m = re.search(r"http on (http://127\.0\.0\.1:\d+)/", line) or re.search(r"modbus on 127\.0\.0\.1:(\d+)$",
                                                                               line.strip())
        if m and m.group(1).startswith("http"):
            base = m.group(1)
        elif m:
            port = int(m.group(1))
    check(base is not None and port is not None, "devgate announces HTTP and Modbus")
    return proc, base, port


def audit(base, query="", token=TOKEN):
    status, answer = call(base, "/api/audit?limit=1000" + query, token=token)
    if status != 200:
        check(False, "GET /api/audit: %s %s" % (status, answer))
    return answer.get("records", []) if status == 200 else []


def same_request(record, row):
    return (record["face"], record["channel"] or record["command"], record["asked"]) == row[1:4]


def requests_each_recorded_once(base, port, broker_port):
    wait_for("temp read", lambda: call(base, "/api/values?device=press1")[1]["values"][0]["status"] == "ok")
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
    client.connect()

    def http_write(channel, value):
        return lambda: call(base, "/api/write", {"device": "press1", "channel": channel, "value": value})[0]

    def mqtt_set(payload, channel="temp"):
        return lambda: subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker_port), "-q", "1", "-t",
                                       "t/press1/%s/set" % channel, "-m", payload], timeout=DEADLINE_S).returncode

    def modbus_write(address, word):
        return lambda: getattr(client.write_register(address, word, slave=1), "exception_code", 0)

    # (what, face, channel or command, asked as recorded, who, refused, do it, its answer)
    rows = [
        ("an HTTP write", "http", "temp", 77, "127.0.0.1", False, http_write("temp", 77), 200),
        ("an HTTP write out of range", "http", "temp", 70000, "127.0.0.1", True, http_write("temp", 70000), 400),
        ("an HTTP write to a read-only channel", "http", "limit", 5, "127.0.0.1", True, http_write("limit", 5), 409),
        ("an HTTP command", "http", "READ(D,101,WUB=r)", {"r": 0}, "127.0.0.1", False,
         lambda: call(base, "/api/ioctl", {"device": "press1", "command": "READ(D,101,WUB=r)",
                                           "variables": {"r": 0}})[0], 200),
        ("a Modbus write (function 6)", "modbus", "temp", 4321, "127.0.0.1", False, modbus_write(0, 4321), 0),
        # 10000 is beyond a BCD word's 0..9999: exception 3.
        ("a Modbus write beyond the range (exception 3)", "modbus", "code", 10000, "127.0.0.1", True,
         modbus_write(1, 10000), 3),
        # Register 50 belongs to no channel: exception 2, recorded with the request as asked.
        ("a Modbus write to no channel (exception 2)", "modbus", "", {"function": 6, "unit": 1, "address": 50,
                                                                     "count": 1}, "127.0.0.1", True,
         modbus_write(50, 1), 2),
    ]
    if broker_port:
        rows.append(("an MQTT write", "mqtt", "temp", "55", "t/press1/temp/set", False, mqtt_set("55"), 0))
        rows.append(("an MQTT write to no channel", "mqtt", "", "56", "t/press1/nothere/set", True,
                     mqtt_set("56", "nothere"), 0))
    for row in rows:
        check(row[6]() == row[7], "%s is answered %s" % (row[0], row[7]))
    wait_for("every request recorded", lambda: all(any(same_request(r, row) for r in audit(base)) for row in rows))
    records = audit(base)
    for row in rows:
        found = [r for r in records if same_request(r, row)]
        check(len(found) == 1, "%s is recorded once: %s" % (row[0], found))
        if len(found) == 1:
            r = found[0]
            outcome = (r["who"], r["device"], bool(r["refused"]), r["code"] == 5 if row[5] else r["code"] == 0)
            check(outcome == (row[4], "press1", row[5], True), "%s: who, device and outcome: %s" % (row[0], r))
    temp = [r for r in records if r["face"] == "http" and r["asked"] == 77]
    check(temp and temp[0]["before"]["value"] == 11 and temp[0]["before"]["status"] == "ok",
          "the reading before the first write: %s" % temp)
    check([r["ms"] for r in records] == sorted((r["ms"] for r in records), reverse=True), "newest first")
    client.close()


def main():
    folder = tempfile.mkdtemp(prefix="devgate-audit-")
    for name, text in (("site.toml", SITE), ("press.toml", PRESS), ("token", TOKEN + "\n")):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    broker, broker_port, mqtt = None, 0, []
    mosquitto = shutil.which("mosquitto", path="/usr/sbin:/usr/bin")
    if mosquitto and shutil.which("mosquitto_pub"):
        broker_port = closed_port()
        with open(os.path.join(folder, "broker.conf"), "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % broker_port)
        broker = subprocess.Popen([mosquitto, "-c", os.path.join(folder, "broker.conf")], stderr=subprocess.DEVNULL)
        mqtt = ["--mqtt", "127.0.0.1:%d" % broker_port, "--mqtt-prefix", "t"]
    else:
        print("skip the MQTT row: no mosquitto")
    try:
        # The --audit file: every face's requests, and who may read them.
        file = os.path.join(folder, "audit.jsonl")
        proc, base, port = start(folder, "--audit", file, *mqtt)
        try:
            if mqtt:
                wait_for("the MQTT face subscribed", lambda: call(base, "/api/stats")[0] == 200 and subprocess.run(
                    ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker_port), "-t", "t/press1/temp", "-C", "1",
                     "-W", "2"], capture_output=True, timeout=DEADLINE_S).returncode == 0)
            requests_each_recorded_once(base, port, broker_port)
            # Reads are open on the loopback, this one is not.
            for token in (None, "wrong"):
                status = call(base, "/api/audit", token=token)[0]
                check(status in (401, 403), "/api/audit with token %s: %s" % (token, status))
            check(len(audit(base, "&device=nope")) == 0, "another device's records: none")
            check(call(base, "/api/audit?limit=1001")[0] == 400, "a limit over 1000: 400")
            check(call(base, "/api/audit?from=yesterday")[0] == 400, "a time that is none: 400")
        finally:
            proc.terminate()
            check(proc.wait(timeout=DEADLINE_S) == 0, "devgate ends with 0")
        with open(file) as f:
            check(sum(1 for _ in f) >= 6, "the file holds a line a request")

        # With a history: the database takes the record, the file is left alone;
        # with users, a write is the user's.
        size = os.path.getsize(file)
        users = os.path.join(folder, "users.toml")
        subprocess.run([DEVGATE, "user", "add", "otto", "--role", "operator", "--users", users], input="pw-otto\n",
                       capture_output=True, text=True, timeout=DEADLINE_S)
        otto = subprocess.run([DEVGATE, "user", "token", "otto", "--users", users], capture_output=True, text=True,
                              timeout=DEADLINE_S).stdout.strip()
        proc, base, port = start(folder, "--history", os.path.join(folder, "history.db"), "--audit", file,
                                 auth=("--users", "users.toml"))
        try:
            wait_for("temp read", lambda: call(base, "/api/values?device=press1", token=otto)[1]["values"][0][
                "status"] == "ok")
            write = {"device": "press1", "channel": "temp", "value": 78}
            check(call(base, "/api/write", write, token=otto)[0] == 200, "otto writes")
            wait_for("the write in the database", lambda: any(r["asked"] == 78 for r in audit(base, token=otto)))
            records = audit(base, token=otto)
            check(len(records) == 1 and records[0]["who"] == "otto", "the database holds otto's write only: %s" %
                  records)
            wait_for("the record counted in /api/stats", lambda: call(base, "/api/stats", token=otto)[1]["audit"] == {
                "up": True, "written": 1, "lost": 0})
        finally:
            proc.terminate()
            check(proc.wait(timeout=DEADLINE_S) == 0, "devgate ends with 0")
        check(os.path.getsize(file) == size, "the --audit file is not written beside the database")
        done = subprocess.run([DEVGATE, "run", os.path.join(folder, "site.toml"), "--seconds", "1", "--audit",
                               os.path.join(folder, "no", "such", "folder.jsonl")], capture_output=True, text=True,
                              timeout=DEADLINE_S)
        check(done.returncode == 1 and "--audit" in done.stderr, "an --audit file that cannot be written: exit 1, " +
              done.stderr.strip())
    finally:
        if broker:
            broker.terminate()
            broker.wait(timeout=DEADLINE_S)
        shutil.rmtree(folder, ignore_errors=True)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
