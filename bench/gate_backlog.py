#!/usr/bin/python3
"""devgate --mqtt-backlog: messages a second the MQTT face publishes from a
history of N samples (default 50000) waiting for it, at --mqtt-backlog-rate
RATE (default 100000: the limit out of the way). A mosquitto broker on 127.0.0.1 and a
free port, no persistence; a QoS 1 subscriber counts the channel's messages.
The rate is taken between the subscriber's first and last message.

    bench/gate_backlog.py [BUILD_DIR] [N] [RATE]
"""
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/native"
N = int(sys.argv[2]) if len(sys.argv) > 2 else 50000
RATE = sys.argv[3] if len(sys.argv) > 3 else "100000"
DEVGATE = os.path.join(BUILD, "bin", "devgate")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    work = tempfile.mkdtemp(prefix="gate-backlog-")
    procs = []
    try:
        with open(os.path.join(work, "d.toml"), "w") as f:
            f.write('[device]\nstation = 1\n[[channel]]\naddress = "D100"\ntype = "WUB"\nname = "x"\n')
        site = os.path.join(work, "site.toml")
        with open(site, "w") as f:
            f.write('[[line]]\nname = "L"\nsimulate = true\n[[line.device]]\nname = "bench"\ndescription = "d.toml"\n')
        db = os.path.join(work, "h.db")
        # The schema and the channel as devgate writes them, then N samples of the channel.
        subprocess.run([DEVGATE, "run", site, "--format", "jsonl", "--seconds", "1", "--history", db],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        con = sqlite3.connect(db)
        channel = con.execute("SELECT id FROM channel WHERE device = 'bench' AND name = 'x'").fetchone()[0]
        first = con.execute("SELECT value FROM meta WHERE key = 'next_id'").fetchone()[0]
        ms = int(time.time() * 1000) - N
        con.executemany("INSERT INTO sample(channel, ms, id, value, status, code) VALUES(?, ?, ?, ?, 0, 0)",
                        ((channel, ms + i, first + i, i % 65536) for i in range(N)))
        con.execute("UPDATE meta SET value = ? WHERE key = 'next_id'", (first + N,))
        con.commit()
        con.close()

        port = free_port()
        with open(os.path.join(work, "broker.conf"), "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n"
                    "max_queued_messages 1000000\n" % port)
        procs.append(subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(work, "broker.conf")]))
        for _ in range(50):
            try:
                socket.create_connection(("127.0.0.1", port), 0.1).close()
                break
            except OSError:
                time.sleep(0.1)
        times = os.path.join(work, "times")
        sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1", "-t", "b/bench/x",
                                "-C", str(N), "-F", "%U"], stdout=open(times, "w"))
        procs.append(sub)
        time.sleep(0.5)  # subscribed (a bench: no check beyond the count below)
        procs.append(subprocess.Popen([DEVGATE, "run", site, "--format", "jsonl", "--history", db, "--mqtt",
                                       "127.0.0.1:%d" % port, "--mqtt-prefix", "b", "--mqtt-backlog",
                                       "--mqtt-backlog-rate", RATE], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL))
        sub.wait(timeout=600)
        stamps = [float(line) for line in open(times) if line.strip()]
        span = stamps[-1] - stamps[0]
        print("%d messages in %.2f s: %.0f msg/s (load %s)" % (len(stamps), span, (len(stamps) - 1) / span,
                                                                 open("/proc/loadavg").read().split()[0]))
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.terminate()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
