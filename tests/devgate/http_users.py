#!/usr/bin/python3
"""devgate's HTTP face with users (--users): the users file written by
`devgate user add` and `devgate user token`, what each role may do at every
endpoint, the session cookie and the page's header, failed logins slowed and
logged, and refusals at start. Usage: http_users.py DEVGATE"""
import json
import os
import re
import select
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

from http_api import call, check, wait_for

DEVGATE = sys.argv[1]
SITE = """[[line]]
name = "sim"
simulate = true
[[line.device]]
name = "press1"
description = "press.toml"
[[line.device]]
name = "press2"
description = "press.toml"
station = 2
"""
PRESS = """[device]
station = 1
wait_ms = 1000
[[channel]]
address = "D100"
type = "WUB"
name = "temp"
"""


def devgate(*args, stdin=""):
    return subprocess.run([DEVGATE, *args], input=stdin, capture_output=True, text=True, timeout=60)


def post(base, path, body, cookie=None, page=True, token=None):
    headers = {"Content-Type": "application/json"}
    if cookie:
        headers["Cookie"] = cookie
    if page:
        headers["X-Devgate"] = "1"
    return call(base, path, body, token=token, headers=headers)


def login(base, user, password, page=True):
    """(status, the session cookie's name=value or None)."""
    req = urllib.request.Request(base + "/api/login", json.dumps({"user": user, "password": password}).encode(),
                                 headers={"X-Devgate": "1"} if page else {})
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            cookie = r.headers.get("Set-Cookie")
            check(all(p in cookie for p in ("HttpOnly", "SameSite=Strict", "Path=/")), cookie)
            return r.status, cookie.split(";")[0]
    except urllib.error.HTTPError as e:
        return e.code, None


def main():
    folder = tempfile.mkdtemp(prefix="devgate-users-")
    users = os.path.join(folder, "users.toml")
    for name, text in (("site.toml", SITE), ("press.toml", PRESS)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)

    # The users file: passwords from standard input, never an empty one; a user added again is replaced.
    check(devgate("user", "add", "vera", "--role", "viewer", "--users", users, stdin="\n").returncode == 1,
          "an empty password is refused")
    for name, role, devices in (("vera", "viewer", []), ("otto", "operator", ["--devices", "press1"]),
                                ("ada", "admin", []), ("otto", "operator", ["--devices", "press1"])):
        done = devgate("user", "add", name, "--role", role, *devices, "--users", users, stdin="pw-" + name + "\n")
        check(done.returncode == 0, done.stderr)
    check("replaced user otto" in done.stdout, done.stdout)
    check(os.stat(users).st_mode & 0o777 == 0o600, "the users file is the owner's only")
    text = open(users).read()
    check(text.count("$argon2id$") == 3 and "pw-" not in text, text)
    tokens = {}
    for name in ("vera", "otto", "ada"):
        done = devgate("user", "token", name, "--users", users)
        tokens[name] = done.stdout.strip()
        check(done.returncode == 0 and re.fullmatch(r"[0-9a-f]{64}", tokens[name]) and tokens[name] not in
              open(users).read(), done.stderr)

    # Refusals at start: a users file with a fault (file:line), a device the site has not, --users with --token-file.
    bad = os.path.join(folder, "bad.toml")
    for text, status, said in (('[[user]]\nname = "x"\nrole = "boss"\n', 1, "bad.toml:1: user x: role"),
                               (text.replace("'press1'", "'press9'"), 1, "no device press9")):
        with open(bad, "w") as f:
            f.write(text)
        done = devgate("run", os.path.join(folder, "site.toml"), "--http", "127.0.0.1:0", "--users", bad,
                       "--seconds", "5")
        check(done.returncode == status and said in done.stderr, done.stderr)
    check(devgate("run", "site.toml", "--http", "127.0.0.1:0", "--users", users, "--token-file", bad).returncode == 2,
          "--users excludes --token-file")

    proc = subprocess.Popen([DEVGATE, "run", os.path.join(folder, "site.toml"), "--http", "127.0.0.1:0", "--users",
                             users, "--format", "jsonl"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([proc.stderr], [], [], 20)
        m = re.search(r"http on (http://127\.0\.0\.1:\d+)/$", proc.stderr.readline().strip() if ready else "")
        check(m, "devgate did not start (no token is printed with users)")
        base = m.group(1)
        wait_for("the line", lambda: call(base, "/api/site", token=tokens["vera"])[1]["lines"][0]["up"])

        # Each role against every endpoint, by its token (None: nobody; loopback reads are not open with users).
        write = {"device": "press1", "channel": "temp", "value": 5}
        command = {"device": "press1", "command": "READ(D,100,WUB=V)", "variables": {"V": 0}}
        rows = (  # endpoint, body, statuses of: nobody, vera (viewer), otto (operator of press1), ada (admin)
            ("/api/values", None, (401, 200, 200, 200)),
            ("/api/site", None, (401, 200, 200, 200)),
            ("/api/stats", None, (401, 200, 200, 200)),
            ("/api/history?device=press1&channel=temp", None, (401, 200, 200, 200)),
            ("/api/history.csv?device=press1&channel=temp", None, (401, 404, 404, 404)),  # no history on disk
            ("/api/write", write, (401, 403, 200, 200)),
            ("/api/write", dict(write, device="press2"), (401, 403, 403, 200)),
            ("/api/ioctl", command, (401, 403, 200, 200)),
            ("/api/ioctl", dict(command, device="press2"), (401, 403, 403, 200)),
            ("/api/logout", {}, (401, 200, 200, 200)),
        )
        for path, body, statuses in rows:
            for who, status in zip((None, "vera", "otto", "ada"), statuses):
                got, answer = call(base, path, body, token=tokens.get(who))
                check(got == status, "%s %s %s: %d %s" % (who, path, body, got, answer))
                if status == 403 and path == "/api/write" and who == "otto":
                    check("press2" in answer["error"], answer)

        # A session: the cookie reads; a write with it needs the page's header, and only on otto's device.
        check(login(base, "otto", "pw-otto", page=False)[0] == 403, "a login without the page's header")
        status, cookie = login(base, "otto", "pw-otto")
        check(status == 200, "otto logs in: %d" % status)
        check(call(base, "/api/values", headers={"Cookie": cookie}, token=None)[0] == 200, "the cookie reads")
        for body, page, status in ((write, False, 403), (write, True, 200), (dict(write, device="press2"), True, 403)):
            got = post(base, "/api/write", body, cookie=cookie, page=page)[0]
            check(got == status, "session write %s page %s: %d" % (body["device"], page, got))
        check(post(base, "/api/logout", {}, cookie=cookie)[0] == 200, "logout")
        check(post(base, "/api/write", write, cookie=cookie)[0] == 401, "the session ended with the logout")
        check(call(base, "/api/values", token=tokens["otto"][:-1] + "x")[0] == 401, "a wrong token")

        # A failed login slows the next from that address, and is logged with the name but not the password.
        check(login(base, "ada", "wrong-secret")[0] == 401, "a wrong password")
        check(login(base, "ada", "pw-ada")[0] == 429, "the next login waits")
    finally:
        proc.terminate()
        _, err = proc.communicate(timeout=30)
    check('failed login as "ada" from 127.0.0.1' in err and "wrong-secret" not in err, err)
    print("http_users: all checks passed")


if __name__ == "__main__":
    main()
