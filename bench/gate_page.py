#!/usr/bin/python3
"""The web console with 5000 channels changing at the poll rate, in headless
Chromium: the longest frame and the long tasks while it follows the feed.

    bench/gate_page.py [BUILD_DIR] [SECONDS]

gate_page_host (bench/gate_page_host.cpp) runs the gateway and its HTTP face
on bench/sites/site5000.toml (two simulated lines at 115200 baud, five devices
of a thousand words) and changes every word in the simulated PLCs every
200 ms, so each poll reads new values. The page is opened, and once every
channel has a value the page measures for SECONDS (10) each: the gaps between
animation frames (requestAnimationFrame) and the long tasks (over 50 ms,
PerformanceObserver 'longtask'); first with the tables alone, then with eight
channels in the trend.
"""
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

root = Path(__file__).resolve().parent.parent
build = Path(sys.argv[1] if len(sys.argv) > 1 else root / "build/native")
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
subprocess.run(["cmake", "--build", str(build), "--target", "gate_page_host"], check=True, stdout=subprocess.DEVNULL)

host = subprocess.Popen([str(build / "bin/gate_page_host"), str(root / "bench/sites/site5000.toml"), "200"],
                        stderr=subprocess.PIPE, text=True)
found, address = threading.Event(), []


def read():
    for text in host.stderr:
        m = re.search(r"http on (\S+)", text)
        if m and not found.is_set():
            address.append(m.group(1))
            found.set()
    found.set()


threading.Thread(target=read, daemon=True).start()

# Over SECONDS: every gap between animation frames and every long task.
MEASURE = """
const [seconds, done] = [arguments[0], arguments[arguments.length - 1]];
const gaps = [], long = [];
const observer = new PerformanceObserver((list) => { for (const e of list.getEntries()) long.push(e.duration); });
observer.observe({ type: 'longtask' });
const received = window.devgateConsole.received();
const start = performance.now();
let last = start;
function frame(t) {
  gaps.push(t - last);
  last = t;
  if (t - start < seconds * 1000) { requestAnimationFrame(frame); return; }
  observer.disconnect();
  gaps.sort((a, b) => a - b);
  done({ frames: gaps.length, longest: gaps[gaps.length - 1], p99: gaps[Math.floor(gaps.length * 0.99)],
         median: gaps[gaps.length >> 1], longTasks: long.length, longestTask: Math.max(0, ...long),
         events: (window.devgateConsole.received() - received) / seconds });
}
requestAnimationFrame(frame);
"""

browser = None
try:
    if not found.wait(60) or not address:
        raise RuntimeError("gate_page_host printed no address")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1400"):
        options.add_argument(arg)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    browser.set_script_timeout(seconds + 30)
    browser.get(address[0])
    everything = "const c = window.devgateConsole; return c && c.channels.size === 5000 && " \
                 "[...c.channels.values()].every(ch => ch.status === 'ok')"
    WebDriverWait(browser, 60).until(lambda b: b.execute_script(everything))
    print(f"machine: {subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()} cores, "
          f"{subprocess.run(['uname', '-m'], capture_output=True, text=True).stdout.strip()}; "
          f"load average {open('/proc/loadavg').read().split()[0]}")
    tick = "document.querySelectorAll('section[data-device=\"a1\"] input.trend')" \
           ".forEach((box, i) => { if (i < 8) box.click(); })"
    browser.execute_cdp_cmd("Performance.enable", {})

    def metrics():  # the renderer's main thread: CPU time, time in tasks, in script
        m = {x["name"]: x["value"] for x in browser.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]}
        return m.get("ThreadTime", 0.0), m.get("TaskDuration", 0.0), m.get("ScriptDuration", 0.0)

    for label, setup in (("tables", None), ("tables + trend of 8", tick)):
        if setup:
            browser.execute_script(setup)
        before = metrics()
        r = browser.execute_async_script(MEASURE, seconds)
        cpu, task, script = (b - a for a, b in zip(before, metrics()))
        print(f"{label}: {r['events']:.0f} value events/s; frames {r['frames']} in {seconds:.0f} s, gap median "
              f"{r['median']:.1f} ms, p99 {r['p99']:.1f} ms, longest {r['longest']:.1f} ms; long tasks "
              f"{r['longTasks']} (longest {r['longestTask']:.0f} ms); main thread CPU {cpu / seconds * 1000:.0f} ms/s, "
              f"in tasks {task / seconds * 1000:.0f} ms/s, script {script / seconds * 1000:.0f} ms/s")
    browser.save_screenshot(str(build / "gate_page.png"))
finally:
    if browser:
        browser.quit()
    host.send_signal(signal.SIGINT)
    try:
        host.wait(20)
    except subprocess.TimeoutExpired:
        host.kill()
