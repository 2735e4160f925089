#!/usr/bin/python3
"""devgate's history on disk over HTTP: /api/history and /api/history.csv
answer from the database, the statistics show the history's state (down with
the reason on a read-only disk, while every face goes on, then up with a gap),
and a devgate killed with SIGKILL while it records restarts with its history
whole (SQLite's integrity check passes) and answers across the kill.
Usage: history_http.py DEVGATE"""
import fcntl
import json
import os
import re
import select
import signal
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

DEVGATE = sys.argv[1]
TOKEN = "history-token"
DEADLINE_S = 30
DESCRIPTION = """[device]
station = 1
[simulator]
set = ["D100=1"]
[[channel]]
address = "D100"
type = "WUB"
name = "temp"
"""


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def wait_for(what, probe):
    """Polls until probe() gives something true, for at most DEADLINE_S; returns it."""
    end = time.monotonic() + DEADLINE_S
    while time.monotonic() < end:
        got = probe()
        if got:
            return got
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def start(folder):
    """devgate on the site; returns the process and the HTTP face's address."""
    proc = subprocess.Popen([DEVGATE, "run", os.path.join(folder, "site.toml"), "--format", "jsonl", "--http",
                             "127.0.0.1:0", "--token-file", os.path.join(folder, "token")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    end = time.monotonic() + DEADLINE_S
    while time.monotonic() < end:
        ready, _, _ = select.select([proc.stderr], [], [], end - time.monotonic())
        line = proc.stderr.readline() if ready else ""
        m = re.search(r"http on (http://127\.0\.0\.1:\d+)/", line)
        if m:
            # The rest of standard error is read away, so devgate never blocks on it.
            threading.Thread(target=proc.stderr.read, daemon=True).start()
            return proc, m.group(1)
        if not line:
            break
    proc.kill()
    raise AssertionError("devgate did not announce its HTTP face")


def call(base, path, body=None):
    """(status, JSON answer or text, headers) of one request."""
    req = urllib.request.Request(base + path, data=json.dumps(body).encode() if body is not None else None,
                                 headers={"Authorization": "Bearer " + TOKEN})
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            status, text, headers = r.status, r.read(), r.headers
    except urllib.error.HTTPError as e:
        status, text, headers = e.code, e.read(), e.headers
    kind = headers.get("Content-Type", "")
    return status, json.loads(text) if kind.startswith("application/json") else text.decode(), headers


def history(base, **query):
    """The answer of /api/history, from the moment devgate announces its address."""
    query = dict(dict(device="press1", channel="temp", points=10000), **query)
    status, answer, _ = call(base, "/api/history?" + urllib.parse.urlencode(query))
    check(status == 200, "history: %s %s" % (status, answer))
    return answer


def immutable(path, on):
    """Sets or clears the file's immutable attribute (writing it fails, for root too); False where it cannot."""
    get, put, flag = 0x80086601, 0x40086602, 0x10  # FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_IMMUTABLE_FL
    try:
        with open(path, "rb") as f:
            flags = struct.unpack("l", fcntl.ioctl(f, get, struct.pack("l", 0)))[0]
            fcntl.ioctl(f, put, struct.pack("l", flags | flag if on else flags & ~flag))
        return True
    except OSError:
        return False


def values(answer):
    return {p[1] for p in answer["points"] if p[1] is not None}


class Writer(threading.Thread):
    """Writes 1, 2, 3, ... offset on to temp until stopped, each awaited by devgate's answer."""

    def __init__(self, base, offset):
        super().__init__(daemon=True)
        self.base, self.offset, self.stop, self.written = base, offset, threading.Event(), []

    def run(self):
        n = self.offset
        while not self.stop.is_set():
            n += 1
            try:
                call(self.base, "/api/write", {"device": "press1", "channel": "temp", "value": n})
            except OSError:
                return  # devgate was killed
            self.written.append(n)


def main():
    folder = tempfile.mkdtemp(prefix="devgate-history-http-")
    with open(os.path.join(folder, "press.toml"), "w") as f:
        f.write(DESCRIPTION)
    with open(os.path.join(folder, "site.toml"), "w") as f:
        f.write('[history]\npath = "h.db"\n[[line]]\nname = "sim"\nsimulate = true\n'
                '[[line.device]]\nname = "press1"\ndescription = "press.toml"\n')
    with open(os.path.join(folder, "token"), "w") as f:
        f.write(TOKEN)
    db = os.path.join(folder, "h.db")
    since = int(time.time() * 1000) - 1000

    proc, base = start(folder)
    try:
        history(base)  # a fresh database answers at once (200, if with no points yet)
        # Values recorded, then devgate killed while it writes more.
        writer = Writer(base, 100)
        writer.start()
        wait_for("20 values recorded", lambda: len(values(history(base, **{"from": since}))) >= 20)
        _, stats, _ = call(base, "/api/stats")
        h = stats["history"]
        check(h["up"] and h["recorded"] >= 20 and h["missing"] == 0 and h["reason"] == "", stats)
        before = values(history(base, **{"from": since}))
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=DEADLINE_S)
        writer.stop.set()
        writer.join(DEADLINE_S)
        with sqlite3.connect(db) as c:
            check(c.execute("PRAGMA integrity_check").fetchone()[0] == "ok", "the database is whole after the kill")

        # Restarted: what was answered before the kill is still there, and the new values come after it.
        proc, base = start(folder)
        writer = Writer(base, 1000)
        writer.start()
        after = wait_for("values after the restart",
                         lambda: (lambda a: a if any(v > 1000 for v in values(a)) else None)(
                             history(base, **{"from": since})))
        writer.stop.set()
        writer.join(DEADLINE_S)
        check(before <= values(after), "the values before the kill are all answered after it")
        times = [p[0] for p in after["points"]]
        check(times == sorted(times) and after["reduced"] is False and after["gaps"] == [], after)

        # Reduced to buckets of min and max when there are more samples than points.
        to = times[-1]
        reduced = history(base, **{"from": since, "to": to, "points": 4})
        check(reduced["reduced"] is True and 1 <= len(reduced["buckets"]) <= 4 and reduced["bucketMs"] > 0, reduced)
        check(min(b[1] for b in reduced["buckets"]) == min(values(after)) and
              max(b[2] for b in reduced["buckets"]) == max(values(after)), reduced)

        # The CSV: every sample of the range, as devgate history prints them, as an attachment.
        status, text, headers = call(base, "/api/history.csv?device=press1&channel=D100&from=%d&to=%d" % (since, to))
        check(status == 200 and headers["Content-Type"].startswith("text/csv"), (status, headers))
        check(headers["Content-Disposition"] == 'attachment; filename="press1-D100.csv"', headers)
        rows = text.splitlines()
        check(rows[0] == "time,ms,value,status,code", rows[:2])
        check([int(r.split(",")[1]) for r in rows[1:]] == [t for t in times if t <= to], "CSV and JSON differ")
        check(rows[1:] == subprocess.run([DEVGATE, "history", os.path.join(folder, "site.toml"), "--device", "press1",
                                          "--channel", "temp", "--from", str(since), "--to", str(to)],
                                         capture_output=True, text=True, timeout=DEADLINE_S).stdout.splitlines()[1:],
              "the CSV is devgate history's")

        # Faults name the offending value.
        for path, code, word in (
                ("/api/history?device=press1&channel=temp&from=yesterday", 400, "yesterday"),
                ("/api/history?device=press1&channel=temp&from=2026-12-09T10:00&to=2026-12-09T09:00", 400, "after"),
                ("/api/history?device=press1&channel=temp&from=2026-01-01&to=2026-12-01", 400, "31 days"),
                ("/api/history?device=press1&channel=temp&points=10001", 400, "10001"),
                ("/api/history?device=press1&channel=nope", 404, "nope"),
                ("/api/history.csv?device=nobody&channel=temp", 404, "nobody")):
            status, answer, _ = call(base, path)
            check(status == code and word in answer["error"], "%s: %s %s" % (path, status, answer))

        # A read-only disk: history down with the reason in the statistics, every face goes on, and once it
        # can write again the changes it missed are a gap.
        writer = Writer(base, 2000)
        writer.start()
        if immutable(db, True) and immutable(db + "-wal", True):
            try:
                down = wait_for("history down", lambda: (lambda h: h if not h["up"] else None)(
                    call(base, "/api/stats")[1]["history"]))
                check("Operation not permitted" in down["reason"], down)
                wait_for("changes missed", lambda: call(base, "/api/stats")[1]["history"]["missing"] > 0)
                check(call(base, "/api/values")[0] == 200 and len(history(base)["points"]) > 0,
                      "values and the history are answered while it cannot write")
            finally:
                immutable(db + "-wal", False)
                immutable(db, False)
            up = wait_for("history up", lambda: (lambda h: h if h["up"] and h["gaps"] > 0 else None)(
                call(base, "/api/stats")[1]["history"]))
            check(up["reason"] == "" and up["downs"] == 1, up)
            check(sum(g["missing"] for g in history(base, **{"from": since})["gaps"]) == up["missing"], up)
        else:
            print("history over HTTP: no immutable files here; the read-only disk is not tried")
        writer.stop.set()
        writer.join(DEADLINE_S)

        # The database gone: 503 with the reason; the rest of devgate goes on.
        os.rename(db, db + ".away")
        status, answer, _ = call(base, "/api/history?device=press1&channel=temp")
        check(status == 503 and "cannot be read" in answer["error"], (status, answer))
        check(call(base, "/api/values")[0] == 200, "values are answered without the history")
        os.rename(db + ".away", db)
    finally:
        proc.kill()
        proc.wait(timeout=DEADLINE_S)
    print("history over HTTP: 1 passed, 0 failed")


if __name__ == "__main__":
    main()
