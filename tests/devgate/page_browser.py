#!/usr/bin/python3
"""devgate's console in headless Chromium, driven by Selenium, against
devgate polling examples/site.toml on simulated lines, paced at 115200 baud
(unpaced, the lines would keep both cores busy on a shared machine), and a
line of its own for a probe device that reads its channels every 0.2 s, and
a line to a closed port of 127.0.0.1 that never comes up, with a history on
disk. The devices wait a second for an answer, so that a loaded machine does
not fail their requests.

Usage: page_browser.py PATH_OF_DEVGATE SITE BUILD_DIR
"""
import json
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

DEVGATE, SITE, BUILD = sys.argv[1:4]
D100 = "读写DWUB0100"  # press1, press2: demo.toml
OVEN = ["读写DWUB%04d" % n for n in (1, 2)]  # large.toml: D1, D2 = 2, 3


def row(device, channel):
    return f'tr[data-device="{device}"][data-channel="{channel}"]'


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        folder, examples = Path(cls.folder.name), Path(SITE).resolve().parent
        for name in ("demo.toml", "large.toml"):
            text = (examples / name).read_text()
            (folder / name).write_text(re.sub(r"^wait_ms = \d+$", "wait_ms = 1000", text, flags=re.M))
        text = re.sub(r"^sim_baud = \d+\n", "", Path(SITE).read_text(), flags=re.M)
        text = re.sub(r"^simulate = true$", "simulate = true\nsim_baud = 115200", text, flags=re.M)
        site = folder / "site.toml"
        site.write_text(text + '[[line]]\nname = "fast"\nsimulate = true\n[[line.device]]\nname = "probe"\n'
                        'description = "demo.toml"\ninterval_ms = 10\n'
                        '[[line]]\nname = "dead"\ntcp = "127.0.0.1:1"\n[[line.device]]\nname = "lost"\n'
                        'description = "demo.toml"\n')
        cls.started_ms = int(time.time() * 1000) - 1000
        cls.gate = subprocess.Popen([DEVGATE, "run", str(site), "--http", "127.0.0.1:0", "--format", "jsonl",
                                     "--history", str(folder / "history.db")],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        address, found = [], threading.Event()

        def read():  # keeps reading, so that line events never fill the pipe
            for text in cls.gate.stderr:
                m = re.search(r"http on (http://127\.0\.0\.1:\d+/)#token=(\S+)", text)
                if m and not found.is_set():
                    address.extend(m.groups())
                    found.set()
            found.set()

        threading.Thread(target=read, daemon=True).start()
        if not found.wait(30) or not address:
            cls.gate.kill()
            raise RuntimeError("devgate printed no address")
        cls.base, cls.token = address
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1400"):
            options.add_argument(arg)
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.browser.set_script_timeout(10)
        cls.browser.get(cls.base + "#token=" + cls.token)
        # Starting takes longest on a loaded machine: the tables first, then 10 s a step.
        WebDriverWait(cls.browser, 60).until(lambda b: b.find_elements(By.CSS_SELECTOR, "tr[data-channel]"))

    @classmethod
    def tearDownClass(cls):
        try:
            cls.browser.execute_script("window.scrollTo(0, 0)")
            cls.browser.save_screenshot(str(Path(BUILD) / "devgate_page.png"))
            cls.browser.quit()
        finally:
            cls.gate.send_signal(signal.SIGINT)
            try:
                cls.gate.wait(20)
            except subprocess.TimeoutExpired:
                cls.gate.kill()
            cls.folder.cleanup()

    def api(self, path, body=None):
        request = urllib.request.Request(self.base + path, data=None if body is None else json.dumps(body).encode(),
                                         headers={"Authorization": "Bearer " + self.token,
                                                  "Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.load(answer)

    def value_of(self, device, channel):
        values = self.api(f"api/values?device={device}")["values"]
        return next(v["value"] for v in values if v["channel"] == channel)

    def find(self, css):
        return WebDriverWait(self.browser, 10).until(lambda b: b.find_element(By.CSS_SELECTOR, css), css)

    def cell(self, device, channel, part="value"):
        return self.find(f"{row(device, channel)} td.{part}")

    def wait_text(self, device, channel, text, seconds=10):
        self.browser.execute_script("arguments[0].scrollIntoView()", self.cell(device, channel))
        # The cell is found anew at each try: a row the page draws anew in between is no failure.
        WebDriverWait(self.browser, seconds, ignored_exceptions=[StaleElementReferenceException]).until(
            lambda b: self.cell(device, channel).text == text, f"{device}/{channel} never showed {text}")

    def test_the_table_shows_what_the_gateway_read_from_the_simulator(self):
        self.wait_text("press1", D100, "1234")  # the description's [simulator] value
        rows = self.browser.execute_script("""return Object.fromEntries([...document.querySelectorAll(
            'tr[data-device="press1"][data-channel]')].map(r => [r.dataset.channel, [r.querySelector('.value').textContent,
                                                                      r.querySelector('.status').textContent]]))""")
        values = self.api("api/values?device=press1")["values"]
        self.assertEqual(len(rows), len(values))
        for v in values:
            with self.subTest(channel=v["channel"]):
                shown, status = rows[v["channel"]]
                self.assertEqual(status, v["status"])
                if v["status"] == "w-only":
                    continue
                self.assertEqual(v["status"], "ok")
                self.assertEqual(shown if isinstance(v["value"], str) else float(shown), v["value"])

    def test_a_value_changed_in_the_plc_shows_within_a_second(self):
        self.wait_text("probe", D100, "1234")
        self.assertEqual(self.api("api/write", {"device": "probe", "channel": D100, "value": 4321})["code"], 0)
        self.wait_text("probe", D100, "4321", seconds=1)

    def test_a_value_written_on_the_page_reaches_the_plc_and_the_audit_panel(self):
        self.wait_text("oven", OVEN[0], "2")
        self.cell("oven", OVEN[0]).click()
        editor = self.find(f"{row('oven', OVEN[0])} input.editor")
        editor.send_keys(Keys.CONTROL, "a", Keys.NULL, "777", Keys.ENTER)
        result = self.find('section[data-device="oven"] output.result')
        WebDriverWait(self.browser, 10).until(lambda b: "code 0" in result.text, result.text)
        WebDriverWait(self.browser, 10).until(lambda b: self.value_of("oven", OVEN[0]) == 777)
        self.wait_text("oven", OVEN[0], "777")
        # The audit panel, drawn again after the write: face, device, channel, asked (the text as typed, which
        # the page sends), the value before, outcome.
        shown = """return [...document.querySelectorAll('#audit-panel:not(.hidden) #audit tbody tr')].map(
                     r => [...r.cells].map(c => c.textContent))"""
        WebDriverWait(self.browser, 10).until(lambda b: any(
            [r[1], *r[3:7]] == ["http", "oven", OVEN[0], '"777"', "2 ok"] and r[7].startswith("code 0")
            for r in b.execute_script(shown)), "the write never showed in the audit panel")

    def test_a_write_with_a_wrong_token_shows_the_refusal(self):
        self.browser.execute_script("sessionStorage.setItem('devgate-token', 'wrong')")
        try:
            self.cell("press2", D100).click()
            editor = self.find(f"{row('press2', D100)} input.editor")
            editor.send_keys(Keys.CONTROL, "a", Keys.NULL, "5", Keys.ENTER)
            result = self.find('section[data-device="press2"] output.result')
            WebDriverWait(self.browser, 10).until(lambda b: "401" in result.text, result.text)
        finally:
            self.browser.execute_script("sessionStorage.setItem('devgate-token', arguments[0])", self.token)
        self.assertEqual(self.value_of("press2", D100), 1234)

    def test_typed_values_and_variables_become_the_json_the_gateway_takes(self):
        cases = [  # a value typed for a channel of a type, or the variables of a command: JSON, None if refused
            ("12", "int", "12"), ("0x1F", "int", "31"), ("-0x10", "int", "-16"), ("1.5", "int", None),
            ("", "int", None), ("5", "double", "5.0"), ("2.5e3", "double", "2500.0"), ("-0.25", "double", "-0.25"),
            ("abc", "double", None), (" a b ", "string", '" a b "'),
            ("Level:int, Done:double", None, '{"Level":0,"Done":0.0}'),
            ("N=5; X=1.0, S=abc", None, '{"N":5,"X":1.0,"S":"abc"}'), ("Name:string=a b", None, '{"Name":"a b"}'),
            ("", None, "{}"), ("=5", None, None), ("Level", None, None), ("N:int=1.5", None, None),
        ]
        got = self.browser.execute_script("""const c = window.devgateConsole;
            return arguments[0].map(([text, type]) => { try {
                return type ? c.jsonOf(c.parseValue(text, type), type) : c.variablesJson(text);
            } catch (e) { return null; } });""", [case[:2] for case in cases])
        for (text, type_, expected), json_text in zip(cases, got):
            with self.subTest(text=text, type=type_):
                self.assertEqual(json_text, expected)

    def test_a_command_shows_its_code_and_variables(self):
        form = self.find('section[data-device="press1"] form.command')
        form.find_element(By.CSS_SELECTOR, "input.command-text").send_keys("READ(D,100,WUB=Level=Done)")
        form.find_element(By.CSS_SELECTOR, "input.command-vars").send_keys("Level:int, Done:double")
        form.find_element(By.CSS_SELECTOR, "button").click()
        out = form.find_element(By.CSS_SELECTOR, "output.command-result")
        WebDriverWait(self.browser, 10).until(lambda b: out.text.startswith("code"), out.text)
        self.assertRegex(out.text, r"^code 0\b.*Level = 1234")

    def test_the_trend_plots_a_ticked_channel_with_its_history(self):
        self.find(f"{row('oven', OVEN[1])} input.trend").click()
        points = "return Chart.getChart('trend-chart').data.datasets.map(d => d.data.length)"
        WebDriverWait(self.browser, 10).until(lambda b: b.execute_script(points)[0] >= 2)
        self.find(f"{row('oven', OVEN[1])} input.trend").click()
        WebDriverWait(self.browser, 10).until(lambda b: b.execute_script(points) == [])

    def test_the_trend_shows_a_chosen_range_zooms_and_downloads_its_csv(self):
        # The page offers the long windows once it knows of the history on disk.
        WebDriverWait(self.browser, 10).until(
            lambda b: b.execute_script("return !document.querySelector('#trend-window option[value=\"604800\"]').disabled"))
        self.find(f"{row('oven', OVEN[0])} input.trend").click()
        console = "return window.devgateConsole"
        # From devgate's start on: the channel's first reading is recorded then.
        self.browser.execute_script("window.devgateConsole.setRange(arguments[0], Date.now())", self.started_ms)
        span = "const v = window.devgateConsole.view; return v.live ? 0 : v.to - v.from"
        before = self.browser.execute_script(span)
        self.assertGreater(before, 0)
        points = "return Chart.getChart('trend-chart').data.datasets[0].data.length"
        WebDriverWait(self.browser, 10).until(lambda b: b.execute_script(points) >= 1)
        # The wheel zooms out around the pointer: one and a half times the span, still up to now.
        self.browser.execute_script("""const c = document.getElementById('trend-chart');
            const x = c.getBoundingClientRect().left + Chart.getChart(c).chartArea.left;
            c.dispatchEvent(new WheelEvent('wheel', {deltaY: 100, clientX: x, bubbles: true, cancelable: true}));""")
        self.assertAlmostEqual(self.browser.execute_script(span), before * 1.5, delta=2)
        self.find("#trend-csv").click()
        csv = WebDriverWait(self.browser, 10).until(lambda b: b.execute_script(console + ".lastCsv"))
        lines = csv.splitlines()
        self.assertEqual(lines[0], "device,channel,time,ms,value,status,code")
        self.assertTrue(lines[1:] and all(line.startswith(f"oven,{OVEN[0]},") for line in lines[1:]), csv)
        # A drag to the right pans to earlier times, the span kept.
        start = "return window.devgateConsole.view.from"
        was = self.browser.execute_script(start)
        ActionChains(self.browser).move_to_element(self.find("#trend-chart")).click_and_hold() \
            .move_by_offset(200, 0).release().perform()
        self.assertLess(self.browser.execute_script(start), was)
        self.assertAlmostEqual(self.browser.execute_script(span), before * 1.5, delta=2)
        self.find("#trend-reset").click()
        self.assertEqual(self.browser.execute_script(span), 0)
        self.find(f"{row('oven', OVEN[0])} input.trend").click()

    def test_the_lines_are_up_and_their_statistics_count_requests(self):
        for line in ("bus1", "bus2"):
            with self.subTest(line=line):
                state = self.find(f'.line[data-line="{line}"] .state')
                WebDriverWait(self.browser, 10).until(lambda b: state.text == "up")
                # The statistics are drawn anew every 3 s: the cell is read in one step, never held.
                cell = f'#stats tr.line-stats[data-line="{line}"] td.requests'
                text = "const c = document.querySelector(arguments[0]); return c ? c.textContent : ''"
                WebDriverWait(self.browser, 10).until(lambda b: int(b.execute_script(text, cell) or 0) > 0)

    def test_a_polled_device_shows_online_and_its_last_scan_and_the_column_says_changed(self):
        section = 'section[data-device="press1"]'
        WebDriverWait(self.browser, 10).until(lambda b: b.execute_script(
            f"const s = document.querySelector('{section} .device-scan'); return s && s.textContent.startsWith('scanned')"))
        self.assertEqual(self.find(f"{section} .device-state").text, "online")
        self.assertNotIn("late", self.find(f"{section} .device-scan").get_attribute("class"))
        self.assertEqual(self.find(f"{section} th:last-child").text, "changed")

    def test_a_long_table_pages_through_its_rows_in_order(self):
        names = [c["name"] for d in self.api("api/site")["devices"] if d["name"] == "oven" for c in d["channels"]]
        section = 'section[data-device="oven"]'
        first = f"return [...document.querySelectorAll('{section} tr[data-channel]')].map(r => r.dataset.channel)"
        for button, page in ((None, 0), ("next", 1), ("prev", 0)):
            with self.subTest(page=page):
                if button:
                    self.find(f"{section} button.{button}").click()
                rows = names[page * 100:page * 100 + 100]
                WebDriverWait(self.browser, 10).until(lambda b: b.execute_script(first) == rows)
                self.assertEqual(self.find(f"{section} .pager-text").text,
                                 f"rows {page * 100 + 1}–{page * 100 + 100} of {len(names)}")

    def test_a_line_that_cannot_connect_shows_down_and_its_channels_failed_without_value(self):
        line = self.find('.line[data-line="dead"]')
        WebDriverWait(self.browser, 10).until(lambda b: "down" in line.get_attribute("class"))
        self.assertEqual(line.find_element(By.CSS_SELECTOR, ".state").text, "down")
        WebDriverWait(self.browser, 10, ignored_exceptions=[StaleElementReferenceException]).until(
            lambda b: self.cell("lost", D100, "status").text == "failed -2")
        self.assertEqual(self.cell("lost", D100).text, "")
        self.assertIn("failed", self.find(row("lost", D100)).get_attribute("class"))

    def test_the_filter_keeps_the_matching_rows(self):
        box = self.browser.find_element(By.ID, "filter")
        shown = "return [...document.querySelectorAll('#devices tr[data-channel]')].map(r => r.dataset.channel)"
        box.send_keys("D0140.0")
        try:
            WebDriverWait(self.browser, 10).until(lambda b: len(b.execute_script(shown)) == 5 * 8)
            self.assertTrue(all("D0140.0" in c for c in self.browser.execute_script(shown)))
        finally:
            box.send_keys(Keys.CONTROL, "a", Keys.DELETE)
            WebDriverWait(self.browser, 10).until(lambda b: len(b.execute_script(shown)) > 5 * 8)


class Login(unittest.TestCase):
    """devgate with users (devgate user add, the password on standard input) on a line of two presses: an
    operator of press1 logs in and writes, a viewer's write is refused."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        folder = Path(cls.folder.name)
        (folder / "demo.toml").write_text((Path(SITE).resolve().parent / "demo.toml").read_text())
        (folder / "site.toml").write_text('[[line]]\nname = "l"\nsimulate = true\nsim_baud = 115200\n' + "".join(
            f'[[line.device]]\nname = "press{n}"\ndescription = "demo.toml"\nstation = {n}\n' for n in (1, 2)))
        users = str(folder / "users.toml")
        for name, role in (("olga", "operator"), ("vic", "viewer")):
            subprocess.run([DEVGATE, "user", "add", name, "--role", role, "--devices", "press1", "--users", users],
                           input=f"pw-{name}\n", text=True, check=True, capture_output=True)
        cls.gate = subprocess.Popen([DEVGATE, "run", str(folder / "site.toml"), "--http", "127.0.0.1:0", "--users",
                                     users, "--format", "jsonl"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                    text=True)
        m = re.search(r"http on (http://127\.0\.0\.1:\d+/)", cls.gate.stderr.readline())
        threading.Thread(target=lambda: [None for _ in cls.gate.stderr], daemon=True).start()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1400"):
            options.add_argument(arg)
        cls.browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.base = m.group(1) if m else None

    @classmethod
    def tearDownClass(cls):
        try:
            cls.browser.quit()
        finally:
            cls.gate.send_signal(signal.SIGINT)
            cls.gate.wait(20)
            cls.folder.cleanup()

    def log_in_and_write(self, user, value):
        """Logs in on a fresh page, writes value to press1's D100; the device's result line."""
        b = self.browser
        b.delete_all_cookies()
        b.get(self.base)
        b.execute_script("sessionStorage.clear()")
        WebDriverWait(b, 30).until(lambda b: b.find_element(By.ID, "login-form").is_displayed())
        b.find_element(By.ID, "login-user").send_keys(user)
        b.find_element(By.ID, "login-password").send_keys("pw-" + user, Keys.ENTER)
        WebDriverWait(b, 30).until(lambda b: b.find_element(By.ID, "who").text.startswith(user))
        cell = WebDriverWait(b, 30).until(lambda b: b.find_element(By.CSS_SELECTOR, row("press1", D100) + " td.value"))
        WebDriverWait(b, 30).until(lambda b: cell.text != "")
        cell.click()
        editor = WebDriverWait(b, 10).until(lambda b: b.find_element(By.CSS_SELECTOR, row("press1", D100) +
                                                                     " input.editor"))
        editor.send_keys(Keys.CONTROL, "a", Keys.NULL, str(value), Keys.ENTER)
        result = b.find_element(By.CSS_SELECTOR, 'section[data-device="press1"] output.result')
        WebDriverWait(b, 10).until(lambda b: result.text != "")
        return result.text

    def test_an_operator_logs_in_and_writes_and_a_viewer_is_refused(self):
        self.assertIsNotNone(self.base, "devgate did not start")
        self.assertIn("code 0", self.log_in_and_write("olga", 4321))
        WebDriverWait(self.browser, 10).until(
            lambda b: b.find_element(By.CSS_SELECTOR, row("press1", D100) + " td.value").text == "4321")
        self.browser.find_element(By.ID, "logout").click()
        WebDriverWait(self.browser, 30).until(lambda b: b.find_element(By.ID, "login-form").is_displayed())
        self.assertIn("403", self.log_in_and_write("vic", 5))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
