#!/usr/bin/python3
"""devgate --mqtt-backlog with real mosquitto brokers on free ports of
127.0.0.1: a channel written over HTTP every 100 ms, the broker stopped for
OUTAGE_S (20) seconds with devgate restarted in the middle; a persistent QoS 1
subscriber receives afterwards every change the history recorded, in order.
Then a second broker bridged to the first, the first stopped for a while: the
subscriber on the second receives the backlog too. Skipped without mosquitto.
Usage: mqtt_backlog.py DEVGATE"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

DEVGATE = sys.argv[1]
OUTAGE_S = float(os.environ.get("OUTAGE_S", "20"))
DEADLINE_S = 30
TOKEN = "backlog-test-token"
BROKER = shutil.which("mosquitto", path="/usr/sbin:/usr/bin")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_for(what, probe):
    end = time.monotonic() + DEADLINE_S
    while time.monotonic() < end:
        if probe():
            return
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Folder:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="devgate-backlog-")
        self.procs = []

    def file(self, name, text=None):
        path = os.path.join(self.path, name)
        if text is not None:
            with open(path, "w") as f:
                f.write(text)
        return path

    def start(self, *args, out=subprocess.DEVNULL):
        proc = subprocess.Popen(list(args), stdout=out, stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        return proc

    def broker(self, name, port, extra=""):
        # Sessions kept over a restart; a broker started as root writes as the user mosquitto.
        store = os.path.join(self.path, "store")
        os.makedirs(store, exist_ok=True)
        os.chmod(self.path, 0o755)
        os.chmod(store, 0o777)
        conf = self.file(name + ".conf", "listener %d 127.0.0.1\nallow_anonymous true\npersistence true\n"
                         "persistence_location %s/\npersistence_file %s.db\n%s" % (port, store, name, extra))
        proc = self.start(BROKER, "-c", conf)
        wait_for("broker %s listening" % name, lambda: listening(port))
        return proc

    def subscriber(self, name, port):
        """A persistent-session QoS 1 subscriber of t/#, writing to NAME.txt; ready once it saw its marker."""
        out = open(self.file(name + ".txt"), "a")
        proc = self.start("mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-c", "-i", name, "-q", "1", "-v",
                          "-t", "t/#", out=out)
        marker = "marker-%s-%f" % (name, time.time())
        wait_for(name + " subscribed", lambda: subprocess.run(
            ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t", "t/marker", "-m", marker]).returncode
            == 0 and marker in open(self.file(name + ".txt")).read())
        return proc


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    proc.wait(timeout=DEADLINE_S)


class Writer:
    """While entered, writes the channel every 100 ms over HTTP (refused while devgate restarts)."""

    def __init__(self, http):
        self.http, self.written, self.on = http, 0, threading.Event()  # written: the last value devgate took

    def run(self):
        n = self.written
        while self.on.is_set():
            n += 1
            req = urllib.request.Request("http://127.0.0.1:%d/api/write" % self.http, method="POST",
                                         data=json.dumps({"device": "press", "channel": "count", "value": n}).encode(),
                                         headers={"Authorization": "Bearer " + TOKEN})
            try:
                urllib.request.urlopen(req, timeout=2).read()
                self.written = n
            except OSError:
                pass
            time.sleep(0.1)

    def __enter__(self):
        self.on.set()
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def __exit__(self, *exc):
        self.on.clear()
        self.thread.join()


def received(path):
    """The channel's payloads in the order received, each once: QoS 1 and the
    retained copy at every subscription may repeat one, never go back in time."""
    out = []
    for line in open(path):
        topic, _, payload = line.rstrip("\n").partition(" ")
        if topic == "t/press/count":
            m = json.loads(payload)
            if not out or m["time"] > out[-1][0]:
                out.append((m["time"], m["value"], m["status"]))
    return out


def recorded(folder):
    text = subprocess.run([DEVGATE, "history", folder.file("site.toml"), "--history", folder.file("h.db"),
                           "--device", "press", "--channel", "count", "--from", "0", "--format", "jsonl"],
                          capture_output=True, text=True, check=True).stdout
    return [(m["time"], m["value"], m["status"]) for m in map(json.loads, text.split("\n")[:-1]) if "time" in m]


def check_every_change(what, folder, sub, whole):
    """The subscriber's sequence equals the history's (from the first it received, unless whole)."""
    history = recorded(folder)
    got = received(folder.file(sub + ".txt"))
    assert got, what + ": nothing received"
    start = 0 if whole else history.index(got[0])
    missing = [x for x in history[start:] if x not in got]
    assert got == history[start:], "%s: %d received, %d recorded, missing %s" % (
        what, len(got), len(history) - start, missing[:5])
    print("%s: %d changes received in order, none missing" % (what, len(got)))


def main():
    if not BROKER or not shutil.which("mosquitto_sub") or not shutil.which("mosquitto_pub"):
        print("mosquitto not installed: skipped")
        return
    folder = Folder()
    try:
        run(folder)
    finally:
        for proc in folder.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        shutil.rmtree(folder.path, ignore_errors=True)


def run(folder):
    folder.file("press.toml", '[device]\nstation = 1\n[[channel]]\naddress = "D100"\ntype = "WUB"\nname = "count"\n')
    folder.file("site.toml", '[[line]]\nname = "sim"\nsimulate = true\n[[line.device]]\nname = "press"\n'
                'description = "press.toml"\ninterval_ms = 50\n')
    folder.file("token", TOKEN + "\n")
    pa, pb, http = free_port(), free_port(), free_port()
    gate_args = [DEVGATE, "run", folder.file("site.toml"), "--format", "jsonl", "--history", folder.file("h.db"),
                 "--http", "127.0.0.1:%d" % http, "--token-file", folder.file("token"), "--mqtt", "127.0.0.1:%d" % pa,
                 "--mqtt-prefix", "t", "--mqtt-id", "gw", "--mqtt-backlog"]

    # Without a history on disk the backlog has nothing to publish from: start-up error.
    assert subprocess.run(gate_args[:5] + gate_args[7:]).returncode == 1, "--mqtt-backlog without a history"

    broker = folder.broker("a", pa)
    folder.subscriber("sub1", pa)
    gate = folder.start(*gate_args)

    writer = Writer(http)
    with writer:
        wait_for("live changes", lambda: len(received(folder.file("sub1.txt"))) >= 5)
        # The outage, devgate restarted in its middle.
        before = len(received(folder.file("sub1.txt")))
        stop(broker)
        time.sleep(OUTAGE_S / 2)
        stop(gate)
        gate = folder.start(*gate_args)
        time.sleep(OUTAGE_S / 2)
        broker = folder.broker("a", pa)
        wait_for("changes after the outage", lambda: len(received(folder.file("sub1.txt"))) > before + 10)
    wait_for("the last write recorded", lambda: recorded(folder)[-1][1] == writer.written)
    # The subscriber reconnects by itself; everything recorded arrives.
    wait_for("the backlog at sub1", lambda: received(folder.file("sub1.txt"))[-1:] == recorded(folder)[-1:])
    check_every_change("outage and restart", folder, "sub1", True)
    retained = subprocess.run(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(pa), "-t", "t/press/count", "-C", "1",
                               "-W", "5"], capture_output=True, text=True).stdout
    assert json.loads(retained)["time"] == recorded(folder)[-1][0], "the retained value is the newest: " + retained

    # A second broker bridged to the first: its subscriber gets the backlog of an outage of the first.
    folder.broker("b", pb, "connection gw\naddress 127.0.0.1:%d\ntopic t/# in 1\nrestart_timeout 1\n" % pa)
    folder.subscriber("sub2", pb)
    with writer:
        wait_for("live changes through the bridge", lambda: len(received(folder.file("sub2.txt"))) >= 5)
        stop(broker)
        time.sleep(OUTAGE_S / 4)
        folder.broker("a", pa)
    wait_for("the last write recorded", lambda: recorded(folder)[-1][1] == writer.written)
    wait_for("the backlog at sub2", lambda: received(folder.file("sub2.txt"))[-1:] == recorded(folder)[-1:])
    check_every_change("through a bridge", folder, "sub2", False)
    stop(gate)


if __name__ == "__main__":
    main()
