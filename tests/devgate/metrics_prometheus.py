#!/usr/bin/python3
"""devgate's /metrics against the real consumers: promtool accepts the
exposition, the token rule of the other reads holds, and Debian's Prometheus
server, scraping devgate every second with the token, answers a query for a
device's request counter with a count above 0. Skips (77) without prometheus.
Usage: metrics_prometheus.py DEVGATE SITE"""
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

DEVGATE, SITE = sys.argv[1], sys.argv[2]
TOKEN = "metrics-t0k3n"
DEADLINE_S = 60  # the whole test


def check(condition, what):
    if not condition:
        print("FAIL:", what)
        sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, headers=None):
    """(status, body) of a GET."""
    try:
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers or {}), timeout=5) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()
    except OSError:
        return 0, ""


def stop(proc):
    if proc is not None and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main():
    prometheus, promtool = shutil.which("prometheus"), shutil.which("promtool")
    if prometheus is None or promtool is None:
        print("SKIP: Debian's prometheus (with promtool) is not installed")
        return 77
    end = time.monotonic() + DEADLINE_S
    gate = server = None
    with tempfile.TemporaryDirectory() as tmp:
        token_file = os.path.join(tmp, "token")
        with open(token_file, "w") as f:
            f.write(TOKEN + "\n")
        try:
            gate = subprocess.Popen([DEVGATE, "run", SITE, "--format", "jsonl", "--history",
                                     os.path.join(tmp, "history.db"), "--http", "127.0.0.1:0", "--token-file",
                                     token_file], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            base = None
            while base is None and time.monotonic() < end:
                ready, _, _ = select.select([gate.stderr], [], [], max(0.0, end - time.monotonic()))
                line = gate.stderr.readline() if ready else ""
                check(line != "" or not ready, "devgate ended before it served: exit %s" % gate.poll())
                m = re.search(r"http on (http://127\.0\.0\.1:(\d+))/", line)
                if m:
                    base, port = m.group(1), int(m.group(2))
            check(base is not None, "devgate announced no HTTP address")

            # The token rule of the reads: open on the loopback, the token
            # wanted when the request names another host.
            status, _ = get(base + "/metrics", {"Host": "gateway.example"})
            check(status == 401, "/metrics for another host without the token: %d, not 401" % status)
            status, body = get(base + "/metrics", {"Host": "gateway.example", "Authorization": "Bearer " + TOKEN})
            check(status == 200, "/metrics with the token: %d" % status)
            for family in ("devgate_device_requests_total", "devgate_device_request_duration_seconds_bucket",
                           'devgate_feed_dropped_total{face="http"}', 'devgate_clients{face="http"}',
                           'devgate_history_up{face="history"}', "process_resident_memory_bytes",
                           "process_cpu_seconds_total"):
                check(family in body, "the exposition lacks " + family)
            lint = subprocess.run([promtool, "check", "metrics"], input=body, capture_output=True, text=True,
                                  timeout=20)
            check(lint.returncode == 0, "promtool check metrics: %s%s" % (lint.stdout, lint.stderr))

            # Prometheus scrapes devgate with the token, every second.
            config = os.path.join(tmp, "prometheus.yml")
            with open(config, "w") as f:
                f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                        "scrape_configs:\n  - job_name: devgate\n    authorization:\n"
                        "      credentials_file: %s\n    static_configs:\n      - targets: ['127.0.0.1:%d']\n"
                        % (token_file, port))
            web = "127.0.0.1:%d" % free_port()
            server = subprocess.Popen([prometheus, "--config.file", config, "--web.listen-address", web,
                                       "--storage.tsdb.path", os.path.join(tmp, "data")],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            query = urllib.parse.quote('devgate_device_requests_total{job="devgate",device="press1"}')
            count = None
            while time.monotonic() < end and server.poll() is None:
                status, body = get("http://%s/api/v1/query?query=%s" % (web, query))
                if status == 200:
                    result = json.loads(body)["data"]["result"]
                    if result and float(result[0]["value"][1]) > 0:
                        count = float(result[0]["value"][1])
                        break
                time.sleep(0.2)  # the next poll of the server's answer, not a wait for an event
            if count is None and server.poll() is not None:
                print(server.stderr.read())
            check(count is not None, "Prometheus has no request count of press1 above 0")
            print("press1: %d requests, as Prometheus scraped them" % count)
        finally:
            stop(server)
            stop(gate)
    check(gate.returncode == 0, "devgate exited %s" % gate.returncode)
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
