#!/usr/bin/python3
"""devgate's HTTP face from a real HTTP client (urllib): every endpoint, each
error status, the token rule, a write that reaches the simulated PLC, the
change feed, and numbers that read back exactly over HTTP, JSON lines and MQTT
(with Debian's mosquitto, when installed). Usage: http_api.py DEVGATE"""
import json
import math
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

DEVGATE = sys.argv[1]
TOKEN = "t0k3n-for-tests"
DEADLINE_S = 20
DESCRIPTION = """[device]
station = 1
wait_ms = 1000
[simulator]
set = ["D100=11", "D101=22", "D110=0x4049,0x0FDB", %s]
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
address = "D110"
type = "DF"
name = "flow"
[[channel]]
address = "D120"
type = "LUB"
name = "count"
[[channel]]
address = "D130"
type = "LF"
name = "ratio"
"""
# Numbers the simulated PLC holds, one channel each from D200 on, that must
# read back as the same double from /api/values, MQTT and JSON lines: integers
# near and beyond 2^53, and floats and doubles of every kind (None: no number).
NUMBERS = (("LUB", 2**53 - 1), ("LUB", 2**53), ("LUB", 2**64 - 1), ("LUB", 12345678901), ("LB", -2**53),
           ("LB", -12345678901), ("LD", 9007199254740991), ("LD", 9999999999999999), ("DF", 0.1), ("DF", -0.0),
           ("DF", 3.4028234663852886e38), ("DF", 1.401298464324817e-45), ("DF", 1.1754942106924411e-38),
           ("DF", -2.5), ("DF", math.inf), ("LF", 2.718281828459045), ("LF", 1e308), ("LF", 5e-324), ("LF", -0.0),
           ("LF", -1.7976931348623157e308), ("LF", 0.1), ("LF", 2.2250738585072014e-308), ("LF", math.nan))


def plc_words(kind, number):
    """The words the PLC holds for the number, the high word at the lower address."""
    if kind == "LD":
        return [int(("%016d" % number)[i:i + 4], 16) for i in range(0, 16, 4)]  # BCD: a decimal digit a nibble
    raw = struct.pack({"LUB": ">Q", "LB": ">q", "DF": ">f", "LF": ">d"}[kind], number)
    return [int.from_bytes(raw[i:i + 2], "big") for i in range(0, len(raw), 2)]


def plc_double(kind, number):
    """The PLC's value decoded with the channel's type, or None where no number reads."""
    value = struct.unpack(">f", struct.pack(">f", number))[0] if kind == "DF" else float(number)
    return value if math.isfinite(value) else None


def same(read, expected):
    """The same double (the sign of a zero too), or both no number."""
    return (read is None and expected is None) or (
        read is not None and expected is not None and struct.pack(">d", read) == struct.pack(">d", expected))


DESCRIPTION = DESCRIPTION % ", ".join(
    '"D%d=%s"' % (200 + 4 * i, ",".join("0x%04X" % w for w in plc_words(*row))) for i, row in enumerate(NUMBERS))
DESCRIPTION += "".join('[[channel]]\naddress = "D%d"\ntype = "%s"\nname = "n%d"\nrw = "r"\n' % (200 + 4 * i, row[0], i)
                       for i, row in enumerate(NUMBERS))


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def start(folder, *args, out=subprocess.DEVNULL):
    """devgate on the test site; returns the process and its first stderr line."""
    proc = subprocess.Popen([DEVGATE, "run", os.path.join(folder, "site.toml"), "--format", "jsonl", *args],
                            stdout=out, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stderr], [], [], DEADLINE_S)
    return proc, proc.stderr.readline() if ready else ""


def call(base, path, body=None, token=TOKEN, headers=None, raw=None):
    """(status, JSON answer or text) of one request."""
    data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
    req = urllib.request.Request(base + path, data=data, headers=dict(headers or {}))
    if token:
        req.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            status, text, kind = r.status, r.read(), r.headers.get("Content-Type", "")
    except urllib.error.HTTPError as e:
        status, text, kind = e.code, e.read(), e.headers.get("Content-Type", "")
    return status, json.loads(text) if kind.startswith("application/json") else text


def wait_for(what, probe):
    """Polls until probe() is true, for at most DEADLINE_S."""
    end = time.monotonic() + DEADLINE_S
    while time.monotonic() < end:
        if probe():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def as_doubles(text):
    """JSON with every number read as a double, so that "-0" keeps its sign."""
    return json.loads(text, parse_int=float)


def numbers_settled(read):
    return all(read.get("n%d" % i, {}).get("status") == "ok" for i in range(len(NUMBERS)))


def check_numbers(face, read):
    for i, (kind, number) in enumerate(NUMBERS):
        got = read.get("n%d" % i, {})
        check(got.get("status") == "ok" and same(got["value"], plc_double(kind, number)),
              "%s: %s %r read as %s" % (face, kind, number, got))


def mqtt_numbers(port):
    """The retained values on the number channels, from mosquitto_sub, once all are read."""
    sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-v", "-W", str(DEADLINE_S),
                            "-t", "t/press1/+"], stdout=subprocess.PIPE, text=True)
    objects = {}
    try:
        for line in sub.stdout:  # ends at the -W deadline at the latest
            topic, _, payload = line.rstrip("\n").partition(" ")
            objects[topic.rsplit("/", 1)[1]] = as_doubles(payload)
            if numbers_settled(objects):
                break
    finally:
        sub.terminate()
        sub.wait(timeout=DEADLINE_S)
    return objects


def value_of(base, device, channel):
    _, answer = call(base, "/api/values?device=" + device, token=None)
    return next(v for v in answer["values"] if v["channel"] == channel)


def stream_opens(base):
    try:
        urllib.request.urlopen(base + "/api/events", timeout=10).close()
        return True
    except urllib.error.HTTPError:
        return False


def raw(base, head, body=b"", pieces=1):
    """The status of a request sent as bytes (body in pieces), 0 when the
    connection closed without one; reads to the end, as the server closes."""
    with socket.create_connection(("127.0.0.1", int(base.rsplit(":", 1)[1])), timeout=DEADLINE_S) as s:
        try:
            s.sendall(head)
            step = max(1, len(body) // pieces)
            for i in range(0, len(body), step):
                s.sendall(body[i:i + step])
        except (BrokenPipeError, ConnectionResetError):
            pass  # refused before the whole body: the answer came first
        answer = b""
        try:
            while chunk := s.recv(65536):
                answer += chunk
        except ConnectionResetError:
            pass
    m = re.match(rb"HTTP/1\.1 (\d+)", answer)
    return int(m.group(1)) if m else 0


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) / 1024


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    folder = tempfile.mkdtemp(prefix="devgate-http-")
    with open(os.path.join(folder, "press.toml"), "w") as f:
        f.write(DESCRIPTION)
    with open(os.path.join(folder, "site.toml"), "w") as f:
        f.write('[[line]]\nname = "sim"\nsimulate = true\n[[line.device]]\nname = "press1"\n'
                'description = "press.toml"\n[[line]]\nname = "dead"\ntcp = "127.0.0.1:%d"\n'
                '[[line.device]]\nname = "far"\ndescription = "press.toml"\n' % closed_port())
    token_file = os.path.join(folder, "token")
    with open(token_file, "w") as f:
        f.write("  " + TOKEN + "  \nsecond line\n")

    # Start-up refusals: a bad address exits 2, a missing or empty token file 1.
    open(os.path.join(folder, "empty"), "w").close()
    for args, code in ((["--http", "127.0.0.1"], 2), (["--http", "127.0.0.1:0", "--token-file", "/nonexistent"], 1),
                       (["--http", "127.0.0.1:0", "--token-file", os.path.join(folder, "empty")], 1)):
        proc, _ = start(folder, *args)
        check(proc.wait(timeout=DEADLINE_S) == code, "exit %d for %s" % (code, args))

    # Without a token file, a random token is printed in the page's address.
    proc, line = start(folder, "--http", "127.0.0.1:0")
    m = re.search(r"http on (http://127\.0\.0\.1:\d+/)#token=([0-9a-f]{32})$", line.strip())
    check(m, "the address with a generated token: " + line)
    check(call(m.group(1).rstrip("/"), "/api/write", {"device": "press1", "channel": "temp", "value": 5},
               token=m.group(2))[0] == 200, "the generated token is accepted")
    proc.terminate()
    proc.wait(timeout=DEADLINE_S)

    # A broker for the MQTT face, on a free port of 127.0.0.1, when mosquitto is installed.
    broker, mqtt = None, []
    if shutil.which("mosquitto", path="/usr/sbin:/usr/bin") and shutil.which("mosquitto_sub"):
        mqtt_port = closed_port()
        with open(os.path.join(folder, "broker.conf"), "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n" % mqtt_port)
        broker = subprocess.Popen([shutil.which("mosquitto", path="/usr/sbin:/usr/bin"), "-c",
                                   os.path.join(folder, "broker.conf")], stderr=subprocess.DEVNULL)
        mqtt = ["--mqtt", "127.0.0.1:%d" % mqtt_port, "--mqtt-prefix", "t"]
    jsonl = open(os.path.join(folder, "out.jsonl"), "w")
    proc, line = start(folder, "--http", "127.0.0.1:0", "--token-file", token_file, *mqtt, out=jsonl)
    try:
        m = re.search(r"devgate: http on (http://127\.0\.0\.1:\d+/)$", line.strip())
        check(m, "the address line: " + line)
        base = m.group(1).rstrip("/")

        status, site = call(base, "/api/site", token=None)
        check(status == 200 and [l["name"] for l in site["lines"]] == ["sim", "dead"], site)
        check(site["lines"][0]["devices"] == ["press1"], site)
        press = site["devices"][0]
        check((press["name"], press["line"], press["station"]) == ("press1", "sim", 1), press)
        check(press["channels"][:5] == [{"name": "temp", "element": "D100", "type": "int", "rw": "rw"},
                                    {"name": "limit", "element": "D101", "type": "int", "rw": "r"},
                                    {"name": "flow", "element": "D110", "type": "double", "rw": "rw"},
                                    {"name": "count", "element": "D120", "type": "double", "rw": "rw"},
                                    {"name": "ratio", "element": "D130", "type": "double", "rw": "rw"}], press)

        # The channels are read by more than one request: await each one checked here.
        for channel in ("temp", "flow"):
            wait_for(channel + " read", lambda: value_of(base, "press1", channel)["status"] == "ok")
        temp = value_of(base, "press1", "temp")
        check(temp["value"] == 11 and temp["code"] == 0 and temp["time"].endswith("Z"), temp)
        check(abs(value_of(base, "press1", "flow")["value"] - 3.14159) < 1e-4, "flow")
        far = value_of(base, "far", "temp")
        check(far["value"] is None and far["time"] is None and far["status"] in ("never", "failed"), far)
        wait_for("the dead line down", lambda: not call(base, "/api/site")[1]["lines"][1]["up"])
        dead = call(base, "/api/site")[1]["lines"][1]
        check(dead["code"] != 0 and dead["message"] and dead["time"].endswith("Z"), dead)  # why, for a late page

        # Writes: the token, the value's type, the channel's direction, the line.
        write = {"device": "press1", "channel": "temp", "value": 77}
        for body, token, status in (
                (write, None, 401), (write, "wrong", 401), (write, TOKEN + "x", 401),
                (dict(write, value=1.5), TOKEN, 400), (dict(write, value=True), TOKEN, 400),
                (dict(write, value="0x10x"), TOKEN, 400), ({"device": "press1", "value": 1}, TOKEN, 400),
                (dict(write, device="nope"), TOKEN, 404), (dict(write, channel="nope"), TOKEN, 404),
                (dict(write, channel="limit"), TOKEN, 409), (dict(write, device="far"), TOKEN, 503)):
            answer = call(base, "/api/write", body, token=token)
            check(answer[0] == status and "error" in answer[1], "%s -> %s" % (body, answer))
        check(call(base, "/api/write", raw=b"{not json")[0] == 400, "malformed JSON")
        check(call(base, "/api/write", raw=b"[" * 70000)[0] == 400, "an over-long body")
        check(call(base, "/api/values?device=" + "x" * 300)[0] == 400, "an over-long query value")

        # The change feed (events with every field) carries the written value.
        events = urllib.request.urlopen(base + "/api/events", timeout=10)
        check(events.headers["Content-Type"].startswith("text/event-stream"), "event stream type")
        status, answer = call(base, "/api/write", write)
        check(status == 200 and answer == {"code": 0, "meaning": answer["meaning"]}, answer)
        seen = set()
        end = time.monotonic() + DEADLINE_S
        while "temp=77" not in seen and time.monotonic() < end:
            text = events.readline().decode()
            if text.startswith("data: ") and '"device"' in text:
                e = json.loads(text[6:])
                check(set(e) == {"device", "channel", "value", "time", "status", "code"}, e)
                seen.add("%s=%s" % (e["channel"], e["value"]))
        check("temp=77" in seen, "the written value on the change feed")
        events.close()
        wait_for("the written value read back", lambda: value_of(base, "press1", "temp")["value"] == 77)
        check(call(base, "/api/write", dict(write, channel="flow", value="2.5"))[1]["code"] == 0, "string to double")
        wait_for("flow written", lambda: value_of(base, "press1", "flow")["value"] == 2.5)

        # A value the channel cannot hold, or a command that cannot mean what
        # it says, is refused with 400 naming it, and the PLC keeps its value.
        for body, named in (({"channel": "temp", "value": 70000}, "not 70000"),
                            ({"channel": "temp", "value": -1}, "not -1"), ({"channel": "temp", "value": "0x10000"}, "0x10000"),
                            ({"channel": "flow", "value": 1e39}, "float range")):
            status, answer = call(base, "/api/write", dict(write, **body))
            check(status == 400 and named in answer.get("error", ""), "%s -> %s %s" % (body, status, answer))
        for command, variables, named in (("WRITE(D,100,WUB=V)", {}, "V is neither"),
                                          ("xyz WRITE(D,100,WUB=V)", {"V": 7}, "unknown command keyword")):
            status, answer = call(base, "/api/ioctl", {"device": "press1", "command": command, "variables": variables})
            check(status == 400 and named in answer.get("error", ""), "%s -> %s %s" % (command, status, answer))
        # A variable lives for its command only: the next command neither sees nor uses it.
        call(base, "/api/ioctl", {"device": "press1", "command": "READ(D,101,WUB=Leak)", "variables": {"Leak": 0}})
        status, answer = call(base, "/api/ioctl", {"device": "press1", "command": "WRITE(D,100,WUB=Leak)"})
        check(status == 400 and "Leak" in answer.get("error", ""), "another command's variable: %s" % answer)
        status, answer = call(base, "/api/ioctl", {"device": "press1", "command": "READ(D,101,WUB=r)", "variables": {"r": 0}})
        check(answer.get("variables") == {"r": 22}, "only the command's own variables come back: %s" % answer)
        check(value_of(base, "press1", "temp")["value"] == 77, "the refused writes left temp at 77")

        # Every number the PLC holds reads back as the same double from the
        # HTTP API, JSON lines and MQTT; written, it reaches the PLC exactly.
        def values():
            with urllib.request.urlopen(base + "/api/values?device=press1", timeout=10) as r:
                return {v["channel"]: v for v in as_doubles(r.read())["values"]}
        wait_for("the numbers read", lambda: numbers_settled(values()))
        check_numbers("HTTP", values())

        # The file grows by every reading; each look parses only what came since the last.
        seen, tail = {}, {"at": 0, "part": ""}

        def lines():
            with open(jsonl.name) as f:
                f.seek(tail["at"])
                text = tail["part"] + f.read()
                tail["at"] = f.tell()
            *whole, tail["part"] = text.split("\n")
            for o in map(as_doubles, whole):
                if o.get("device") == "press1" and "channel" in o:
                    seen[o["channel"]] = o
            return seen
        wait_for("the numbers on JSON lines", lambda: numbers_settled(lines()))
        check_numbers("JSON lines", lines())
        if broker:
            check_numbers("MQTT", mqtt_numbers(mqtt_port))
        for kind, number in NUMBERS:
            expected = plc_double(kind, number)
            if expected is not None and (kind == "LF" or kind == "LUB" and expected <= 2**53):
                channel = "count" if kind == "LUB" else "ratio"
                check(call(base, "/api/write", dict(write, channel=channel, value=number))[1].get("code") == 0, number)
                wait_for("%r read back" % number, lambda: same(values()[channel]["value"], expected))
        status, answer = call(base, "/api/write", dict(write, channel="count", value=9007199254740993))
        check(status == 400 and "9007199254740993" in answer.get("error", ""), "beyond 2^53: %s" % answer)

        # Commands: typed variables come back after the command.
        status, answer = call(base, "/api/ioctl", {"device": "press1", "command": "READ(D,100,WUB=r)",
                                                   "variables": {"n": 7, "x": 1.5, "s": "text", "r": 0}})
        check(status == 200 and isinstance(answer["code"], int) and answer["meaning"], answer)
        check({k: answer["variables"].get(k) for k in "nxs"} == {"n": 7, "x": 1.5, "s": "text"}, answer)
        for body, status in (({"device": "nope", "command": "x"}, 404), ({"device": "press1"}, 400),
                             ({"device": "press1", "command": "x", "variables": {"b": None}}, 400),
                             ({"device": "far", "command": "READ(D,100,WUB=v)"}, 503)):
            check(call(base, "/api/ioctl", body)[0] == status, "%s -> %d" % (body, status))

        status, stats = call(base, "/api/stats", token=None)
        line = stats["lines"][0]
        check(status == 200 and {"name", "up", "downs", "cycles", "lastCycleMs", "medianCycleMs", "requests",
                                 "failures", "devices"} <= set(line), line)
        check(set(line["devices"][0]["latencyMs"]) == {"p50", "p90", "p99"} and line["devices"][0]["calls"] > 0,
              line)
        check(stats["lines"][1]["downs"] >= 1, stats["lines"][1])
        check(stats["history"] is None and stats["audit"] is None, "no history, no audit record: %s" % stats)

        status, history = call(base, "/api/history?device=press1&channel=temp&seconds=3600", token=None)
        points = history["points"]
        check(status == 200 and points and all(isinstance(p[0], int) for p in points), history)
        check(points[-1][1] == 77 and 11 in [p[1] for p in points], points)
        for query, status in (("device=press1&channel=nope", 404), ("device=nope&channel=temp", 404),
                              ("device=press1", 400), ("device=press1&channel=temp&seconds=abc", 400)):
            check(call(base, "/api/history?" + query)[0] == status, query)

        # Reads are open on loopback, but not for a page that names another host.
        check(call(base, "/api/values", token=None, headers={"Host": "evil.example:80"})[0] == 401, "rebinding")
        port = base.rsplit(":", 1)[1]
        for host in ("127.0.0.1.evil.example", "127.evil.example", "127.0.0.1evil.example",
                     "127.0.0.1:%s.evil.example" % port):
            for path in ("/api/values", "/api/site", "/api/stats", "/api/history?device=press1&channel=temp"):
                check(call(base, path, token=None, headers={"Host": host})[0] == 401, "rebinding %s %s" % (host, path))
        check(call(base, "/api/values?token=" + TOKEN, token=None, headers={"Host": "evil.example:80"})[0] == 401,
              "no token in a URL")
        req = urllib.request.Request(base + "/api/session", data=b"", headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req, timeout=10) as r:
            cookie = r.headers.get("Set-Cookie")
        check(cookie and "HttpOnly" in cookie and "SameSite=Strict" in cookie and TOKEN not in cookie, cookie)
        check(call(base, "/api/session", raw=b"", token=None)[0] == 401, "the read cookie needs the token")
        for cookie_header, status in ((cookie.split(";")[0], 200), ("devgate-read=" + TOKEN, 401)):
            check(call(base, "/api/values", token=None, headers={"Host": "evil.example:80", "Cookie": cookie_header})[0]
                  == status, "reads with the cookie %s" % cookie_header)
        check(call(base, "/api/write", {"device": "press1", "channel": "temp", "value": 1}, token=None,
                   headers={"Cookie": cookie.split(";")[0]})[0] == 401, "the read cookie does not write")

        # The page's headers: only its own scripts, no guessed types, no framing.
        with urllib.request.urlopen(base + "/", timeout=10) as r:
            csp = r.headers.get("Content-Security-Policy", "")
            check("script-src 'self'" in csp and "frame-ancestors 'none'" in csp and
                  r.headers.get("X-Content-Type-Options") == "nosniff", dict(r.headers))
        # The token as the header carries it, no decoding: these are refused and their writes not carried out.
        # A raw NUL byte too (libmicrohttpd cuts the value there; devgate refuses the request).
        write_body = json.dumps({"device": "press1", "channel": "temp", "value": 55}).encode()
        for authorization in (b"Bearer " + TOKEN.encode() + b"%0A", b"Bearer " + TOKEN.encode() + b"%00junk",
                              b"Bearer " + TOKEN.encode() + b"\x00junk",
                              b"Bearer " + "".join("%%%02X" % ord(c) for c in TOKEN).encode()):
            head = (b"POST /api/write HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + authorization +
                    b"\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(write_body))
            status = raw(base, head, write_body)
            check(status in (0, 400, 401), "token form %r: %d" % (authorization, status))
        check(value_of(base, "press1", "temp")["value"] == 77, "no refused write was carried out")

        # Heads and bodies are bounded, whatever the transfer encoding; reading stops at the bound and the
        # connection closes (0: closed while the client still sent, so its answer may be lost to the reset).
        auth = b"Authorization: Bearer " + TOKEN.encode() + b"\r\n"
        post = b"POST /api/write HTTP/1.1\r\nHost: 127.0.0.1\r\n" + auth
        chunked = b"".join(b"%x\r\n" % 65536 + b"[" * 65536 + b"\r\n" for _ in range(64)) + b"0\r\n\r\n"  # 4 MiB
        before = rss_mb(proc.pid)
        for what, head, body, statuses in (
                ("4 MiB chunked", post + b"Transfer-Encoding: chunked\r\n\r\n", chunked, (0, 400)),
                ("64 KiB + 1 chunked", post + b"Transfer-Encoding: chunked\r\n\r\n",
                 b"10001\r\n" + b"[" * 65537 + b"\r\n0\r\n\r\n", (0, 400)),
                ("a Content-Length of 100 MiB", post + b"Content-Length: 104857600\r\n\r\n", b"[" * 1000, (0, 400)),
                ("10,000 header fields", b"GET /api/site HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                 b"".join(b"X-%d: a\r\n" % i for i in range(10000)) + b"\r\n", b"", (0, 400, 413, 431)),
                ("65 header fields", b"GET /api/site HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                 b"".join(b"X-%d: a\r\n" % i for i in range(64)) + b"\r\n", b"", (431,)),
                ("a 40 KiB head", b"GET /api/site HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + b"a" * 40960 +
                 b"\r\n\r\n", b"", (0, 400, 413, 431)),
                ("a body within the bound", post + b"Content-Length: 9\r\n\r\n", b"{not json", (400,))):
            status = raw(base, head, body, pieces=64)
            check(status in statuses, "%s: %d" % (what, status))
        if not os.environ.get("DEVGATE_SANITIZED"):
            check(rss_mb(proc.pid) < before + 20,
                  "memory after the bodies: %.0f MB, %.0f before" % (rss_mb(proc.pid), before))
        check(call(base, "/api/values?device=nope")[0] == 404, "unknown device")
        check(call(base, "/api/nothing")[0] == 404, "unknown path")

        # A malformed request closes that client only (a request line without a version gets no answer).
        for request, statuses in ((b"NONSENSE\r\n\r\n", (0, 400)), (b"GET / HTTP/1.1\r\nHost: x\r\nX-1\r\n\r\n", (400,))):
            status = raw(base, request)
            check(status in statuses, "a malformed request %r: %d" % (request, status))
        check(call(base, "/api/site")[0] == 200, "the others go on")

        # Answers go uncompressed, whatever a browser accepts (compressing each anew costs far more CPU).
        for path in ("/api/values", "/chart.js"):
            req = urllib.request.Request(base + path, headers={"Accept-Encoding": "gzip, deflate, br"})
            with urllib.request.urlopen(req, timeout=10) as r:
                check(r.headers.get("Content-Encoding") is None, path + " uncompressed")

        # The web console's files, from the fixed set only.
        check(b"devgate" in call(base, "/", token=None)[1], "index")
        with open("/usr/share/javascript/chart.js/chart.min.js", "rb") as f:
            check(call(base, "/chart.js", token=None)[1] == f.read(), "chart.js as Debian ships it")
        for path in ("/app.js", "/style.css"):
            check(call(base, path, token=None)[0] == 200, path)
        for path in ("/etc/passwd", "/web/index.html", "/%2e%2e/CMakeLists.txt"):
            check(call(base, path, token=None)[0] in (400, 404), path)

        # Event streams are bounded: the one over the limit is refused, reads go on.
        streams = [urllib.request.urlopen(base + "/api/events", timeout=10) for _ in range(16)]
        check(call(base, "/api/events")[0] == 503, "an event stream over the limit")
        check(call(base, "/api/site")[0] == 200, "reads beside full event streams")
        for s in streams:
            s.close()
        wait_for("a stream freed", lambda: stream_opens(base))
    finally:
        proc.terminate()
        proc.wait(timeout=DEADLINE_S)
        jsonl.close()
        if broker:
            broker.terminate()
            broker.wait(timeout=DEADLINE_S)
    check(proc.returncode == 0, "exit status %d" % proc.returncode)
    print("http_api: all checks passed")


if __name__ == "__main__":
    main()
