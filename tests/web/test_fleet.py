"""The fleet page in headless Chromium, against a real MQTT broker.

A mosquitto on a loopback port, and tovlinkd with two virtual robots of its
own (`a` and `b`, --sim) bridged to it as site `lab`. The page shows the site
as the broker does; its command to all must reach both robots, which the test
asks through the daemon's own socket. Screenshots and logs go to
TOVLINK_WEB_ARTIFACTS.
"""

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

# setUpModule: this run's pictures and logs only, as for the panel.
from test_panel import CONNECT_WAIT_S, WAIT_S, Daemon, DaemonSocket, artifacts_dir, \
    free_loopback_port, setUpModule, start_browser, wait_until
from virtual_robot import required_environment

SITE = "lab"
ROBOTS = ("a", "b")
# Where the test's daemon says its panel is (never opened: only published).
PANEL_URL = "http://lab.example:8080/"
TABLE_SCRIPT = """
const headings = [...document.querySelectorAll('#fleet-table thead th')].map((th) => th.textContent);
const rows = {};
for (const tr of document.querySelectorAll('#fleet-table tbody tr')) {
  rows[tr.dataset.robot] = Object.fromEntries(
    [...tr.children].map((cell, i) => [headings[i], [cell.textContent, cell.dataset.state ?? null]]));
}
return rows;
"""


class Broker:
    """mosquitto on a loopback port, anonymous clients allowed."""

    def __init__(self, workdir, log_path):
        self.port = free_loopback_port()
        self._config = os.path.join(workdir, "mosquitto.conf")
        with open(self._config, "w") as file:
            file.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        self._log_path = log_path

    def __enter__(self):
        self._log = open(self._log_path, "a")
        self._process = subprocess.Popen([required_environment("TOVLINK_MOSQUITTO"), "-c", self._config],
                                         stdout=self._log, stderr=subprocess.STDOUT)
        wait_until(self._listening, "the broker to listen")
        return self

    def _listening(self):
        if self._process.poll() is not None:
            raise AssertionError(f"mosquitto exited with {self._process.returncode}")
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", self.port)) == 0

    def __exit__(self, *exc_info):
        self._process.terminate()
        try:
            self._process.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._log.close()


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.artifacts = artifacts_dir()
        cls.workdir = tempfile.mkdtemp(prefix="tovlink-fleet-")
        cls.addClassCleanup(shutil.rmtree, cls.workdir, ignore_errors=True)
        cls.broker = Broker(cls.workdir, os.path.join(cls.artifacts, "mosquitto.log"))
        cls.enterClassContext(cls.broker)
        robots = [option for name in ROBOTS for option in ("--sim", name)]
        cls.daemon = cls.enterClassContext(Daemon(
            cls.workdir, os.path.join(cls.artifacts, "tovlinkd-fleet.log"), *robots,
            "--mqtt", f"127.0.0.1:{cls.broker.port}", "--site", SITE, "--mqtt-hz", "5",
            "--panel-url", PANEL_URL))
        cls.robots = DaemonSocket(os.path.join(cls.workdir, "tovlinkd.sock"))
        cls.addClassCleanup(cls.robots.close)
        cls.browser = start_browser(os.path.join(cls.workdir, "profile"))
        cls.addClassCleanup(cls.browser.quit)

    def tearDown(self):
        self.browser.save_screenshot(os.path.join(self.artifacts, f"{self.id().rsplit('.', 1)[-1]}.png"))
        script_errors = [entry["message"] for entry in self.browser.get_log("browser")
                         if entry["level"] == "SEVERE" and entry["source"] == "javascript"]
        self.assertEqual(script_errors, [])

    # ---- page helpers ----

    def css(self, selector):
        return self.browser.find_element(By.CSS_SELECTOR, selector)

    def table(self):
        """The robots' rows, read in one go (the page renews them every second):
        {robot: {column heading: (text, data-state)}}."""
        return self.browser.execute_script(TABLE_SCRIPT)

    def cell(self, robot, column):
        return self.table().get(robot, {}).get(column, [None, None])

    def cell_text(self, robot, column):
        return self.cell(robot, column)[0]

    def send_to_all(self, request=None, preset=None):
        """Sends the request (JSON text) or the named preset with the page's form."""
        if preset is not None:
            Select(self.css("#all-preset")).select_by_visible_text(preset)
        if request is not None:
            field = self.css("#all-request")
            field.clear()
            field.send_keys(request)
        # The page writes each outcome afresh; two in a row may read the same.
        self.browser.execute_script("document.getElementById('all-outcome').textContent = ''")
        self.css('#all-form button[type="submit"]').click()
        return wait_until(lambda: self.css("#all-outcome").text, "the outcome of the command to all")

    def motor_power_on_the_wire(self, robot):
        """The robot's own answer to `motor-power`, e.g. MP,1,600."""
        reply = self.robots.ask({"cmd": "query", "robot": robot, "query": "motor-power"})
        self.assertTrue(reply["ok"], reply)
        return reply["result"]["text"]

    # ---- tests ----

    def test_1_the_site_and_one_command_to_all(self):
        # The panel links to the fleet page once the daemon answers `fleet`.
        self.browser.get(self.daemon.origin + "/")
        link = wait_until(lambda: self.css("#fleet-link").is_displayed() and self.css("#fleet-link"),
                          "the Fleet link")
        link.click()
        wait_until(lambda: self.browser.current_url == self.daemon.origin + "/fleet.html", "the fleet page")
        wait_until(lambda: self.css("#link-status").get_attribute("data-state") == "open",
                   "the page to connect")
        self.assertEqual(self.css("#fleet-title").text, f"Fleet — site {SITE}")

        # Both robots, online, with their battery from the state messages.
        for robot in ROBOTS:
            wait_until(lambda: self.cell(robot, "Status") == ["online", "ready"], f"{robot} online",
                       CONNECT_WAIT_S)
            shown = wait_until(lambda: re.fullmatch(r"(\d+) mV", self.cell_text(robot, "Battery") or ""),
                               f"{robot}'s battery")
            # The robot's own battery, as the daemon reads it (it drains by a
            # fraction of a millivolt a second).
            reading = self.robots.ask({"cmd": "poll", "robot": robot})["result"]["battery"]
            self.assertLessEqual(abs(int(shown.group(1)) - reading), 20)
            self.assertEqual(self.cell_text(robot, "Motor power"), "0")
        self.assertRegex(self.css("#fleet-summary").text,
                         rf"^2 robots, 2 online — broker 127\.0\.0\.1:{self.broker.port} \(connected\)")

        # A request typed in: it reaches both robots, and each row shows the reply.
        for robot in ROBOTS:
            self.assertEqual(self.motor_power_on_the_wire(robot), "MP,0,0")
        outcome = self.send_to_all(request='{"cmd":"power","on":true,"value":600}')
        self.assertEqual(outcome, f"Sent to tovlink/{SITE}/all/cmd; replies show in each robot's row.")
        for robot in ROBOTS:
            wait_until(lambda: self.cell_text(robot, "Last reply") == "power: ok", f"{robot}'s reply")
            self.assertEqual(self.motor_power_on_the_wire(robot), "MP,1,600")
            wait_until(lambda: self.cell_text(robot, "Motor power") == "600", f"{robot}'s motor power shown")

        # A preset: the field takes its request, and it goes out as it is.
        Select(self.css("#all-preset")).select_by_visible_text("Motor power off")
        self.assertEqual(json.loads(self.css("#all-request").get_attribute("value")),
                         {"cmd": "power", "on": False})
        self.send_to_all()
        for robot in ROBOTS:
            wait_until(lambda: self.motor_power_on_the_wire(robot).startswith("MP,0,"),
                       f"{robot}'s motor power off")
            wait_until(lambda: self.cell_text(robot, "Motor power") == "0",
                       f"{robot}'s motor power shown off")
        self.browser.save_screenshot(os.path.join(self.artifacts, "fleet.png"))

    def test_2_without_the_broker_nothing_is_sent_and_the_page_says_so(self):
        self.browser.get(self.daemon.origin + "/fleet.html")
        summary = self.css("#fleet-summary")
        wait_until(lambda: "(connected)" in summary.text, "the page to show the site")
        self.broker.__exit__(None, None, None)
        try:
            wait_until(lambda: "(not connected)" in summary.text, "the page to see the broker gone")
            outcome = self.send_to_all(preset="Eye LED on")
            self.assertEqual(outcome, "Not sent: fleet_all: not connected to the broker")
            # The robots themselves go on.
            for robot in ROBOTS:
                reply = self.robots.ask({"cmd": "poll", "robot": robot})
                self.assertTrue(reply["ok"], reply)
                self.assertEqual(reply["result"]["state"], "ready")
        finally:
            self.broker.__enter__()
        wait_until(lambda: re.search(r"2 online .*\(connected\)", summary.text), "the site back",
                   CONNECT_WAIT_S)
        outcome = self.send_to_all(preset="Who are you")
        self.assertTrue(outcome.startswith("Sent to "), outcome)
        for robot in ROBOTS:
            wait_until(lambda: self.cell_text(robot, "Last reply") == "query: ok", f"{robot}'s reply")

    def test_3_fits_a_phone_and_links_each_robot_to_its_page(self):
        self.browser.get(self.daemon.origin + "/fleet.html")
        for robot in ROBOTS:
            wait_until(lambda: self.cell(robot, "Status") == ["online", "ready"], f"{robot} online",
                       CONNECT_WAIT_S)
        # The header's links sit together, the panel's first.
        links = [a.text for a in self.browser.find_elements(By.CSS_SELECTOR, "header .top-links a")]
        self.assertEqual(links, ["TovLink panel", "Fleet"])
        self.browser.set_window_size(390, 844)
        try:
            wait_until(lambda: self.browser.execute_script("return window.innerWidth") <= 390, "a phone's width")
            widths = self.browser.execute_script(
                "return [document.documentElement.scrollWidth, window.innerWidth]")
            self.assertLessEqual(widths[0], widths[1], "sideways scrolling on a phone")
            # Every value still shows, labelled with its column.
            battery = self.browser.execute_script(
                "const td = document.querySelector('#fleet-table tbody tr td:nth-child(3)');"
                "const box = td.getBoundingClientRect();"
                "return [getComputedStyle(td, '::before').content, box.right <= window.innerWidth, td.textContent];")
            self.assertEqual(battery[0], '"Battery"')
            self.assertTrue(battery[1], "the battery cut off at the right")
            self.assertRegex(battery[2], r"^\d+ mV$")
            self.browser.save_screenshot(os.path.join(self.artifacts, "fleet_phone.png"))
        finally:
            self.browser.set_window_size(1280, 1000)
        # Each robot of this daemon links to its own page, which shows it.
        link = wait_until(lambda: self.css('#fleet-table tr[data-robot="b"] th a'), "b's link")
        self.assertEqual(link.text, "b")
        # A robot of another daemon links to the panel that daemon names; a
        # link that is not a web address never becomes one.
        publish = ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.broker.port), "-q", "1"]
        for name, panel in (("far", "http://far.example:8080/"), ("sly", "javascript:alert(1)")):
            subprocess.run(publish + ["-r", "-t", f"tovlink/{SITE}/{name}/status", "-m", "online"],
                           check=True, timeout=WAIT_S)
            state = {"class": "telemetry", "robot": name, "battery": 7000, "panel": panel}
            subprocess.run(publish + ["-t", f"tovlink/{SITE}/{name}/state", "-m", json.dumps(state)],
                           check=True, timeout=WAIT_S)
        far = wait_until(lambda: self.css('#fleet-table tr[data-robot="far"] th a'), "far's link")
        self.assertEqual(far.get_attribute("href"), "http://far.example:8080/#/robot/far")
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, '#fleet-table tr[data-robot="sly"] th a'), [])
        # This daemon publishes its own address with its robots' states.
        site = self.robots.ask({"cmd": "fleet"})["result"]["robots"]
        self.assertEqual({robot["name"]: robot.get("panel") for robot in site},
                         {**{name: PANEL_URL for name in ROBOTS}, "far": "http://far.example:8080/", "sly": None})
        self.css('#fleet-table tr[data-robot="b"] th a').click()
        wait_until(lambda: self.browser.current_url.endswith("/#/robot/b"), "b's page")
        wait_until(lambda: self.css("#robot-state").get_attribute("data-state") == "ready", "b shown ready")


if __name__ == "__main__":
    unittest.main()
