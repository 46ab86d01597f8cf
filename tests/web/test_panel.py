"""The web panel in headless Chromium, against tovlinkd and virtual robots.

One daemon serves two robots: `demo`, a virtual robot whose wire log shows what
the panel's commands put on the wire, and `t`, whose link the tests unplug
and plug in again. Screenshots and the daemon's output go to
TOVLINK_WEB_ARTIFACTS.
"""

import functools
import http.server
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

from virtual_robot import VirtualRobot, required_environment

ROBOT = "demo"  # the robot with the wire log, and the README's picture
WAIT_S = 15  # bound of every wait for the page or the daemon
CONNECT_WAIT_S = 30  # a robot's connect takes ~3.5 s, plus the daemon's retry pause


def artifacts_dir():
    """Where screenshots and daemon logs go: the build tree under ctest."""
    return os.environ.get("TOVLINK_WEB_ARTIFACTS") or tempfile.gettempdir()


def setUpModule():
    # The build tree's artefacts folder holds this run's pictures and logs only.
    folder = os.environ.get("TOVLINK_WEB_ARTIFACTS")
    if folder:
        os.makedirs(folder, exist_ok=True)
        for name in os.listdir(folder):
            if name.endswith((".png", ".log")):
                os.remove(os.path.join(folder, name))


def wait_until(condition, what, timeout_s=WAIT_S):
    """condition()'s first truthy value, polled until timeout_s."""
    deadline = time.monotonic() + timeout_s
    while True:
        try:
            value = condition()
        except WebDriverException:
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout_s} s waiting for {what}")
        time.sleep(0.05)


def timed_moves(sim):
    """(time of day in seconds, line) of each timed seven-angle move ("#151")
    the robot received, as its wire log stamped them."""
    return [(at, line) for at, line in sim.received_timed() if line.startswith("#151,")]


def free_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Daemon:
    """tovlinkd as a process, with an HTTP listener on a loopback port."""

    def __init__(self, workdir, log_path, *robot_options):
        self.port = free_loopback_port()
        self.origin = f"http://127.0.0.1:{self.port}"
        self._command = [
            required_environment("TOVLINKD"),
            "--socket", os.path.join(workdir, "tovlinkd.sock"),
            "--listen", f"127.0.0.1:{self.port}",
            # Saved motions go to the test's own folder, never the user's or the machine's.
            "--motions-dir", os.path.join(workdir, "motions"),
            *robot_options,
        ]
        self._log_path = log_path

    def __enter__(self):
        self._log = open(self._log_path, "a")
        self._process = subprocess.Popen(self._command, stdout=self._log, stderr=subprocess.STDOUT)
        wait_until(self._serves_page, "the daemon to serve its page")
        return self

    def _serves_page(self):
        if self._process.poll() is not None:
            raise AssertionError(f"tovlinkd exited with {self._process.returncode}")
        try:
            with urllib.request.urlopen(self.origin + "/", timeout=1) as reply:
                return reply.status == 200
        except OSError:
            return False

    def __exit__(self, *exc_info):
        self._process.terminate()
        try:
            self._process.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._log.close()


class DaemonSocket:
    """A client of the daemon's Unix socket: one request, one reply line."""

    def __init__(self, path):
        self._socket = socket.socket(socket.AF_UNIX)
        self._socket.settimeout(WAIT_S)
        self._socket.connect(path)
        self._file = self._socket.makefile("rw")
        self._file.readline()  # the version banner

    def ask(self, request):
        self._file.write(json.dumps(request) + "\n")
        self._file.flush()
        return json.loads(self._file.readline())

    def close(self):
        self._file.close()
        self._socket.close()


def start_browser(profile_dir):
    options = webdriver.ChromeOptions()
    options.binary_location = required_environment("TOVLINK_CHROMIUM")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 f"--user-data-dir={profile_dir}", "--window-size=1280,1000"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service(required_environment("TOVLINK_CHROMEDRIVER")),
                               options=options)
    browser.set_page_load_timeout(WAIT_S)
    browser.set_script_timeout(WAIT_S)
    return browser


class Panel(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.artifacts = artifacts_dir()
        cls.workdir = tempfile.mkdtemp(prefix="tovlink-web-")
        cls.addClassCleanup(shutil.rmtree, cls.workdir, ignore_errors=True)
        cls.sim_program = required_environment("TOVLINK_SIM")
        cls.link_t = os.path.join(cls.workdir, "robot-t")
        # `demo` is plugged in from the start; `t`'s link appears in its test.
        cls.robot_w = cls.enterClassContext(
            VirtualRobot(cls.sim_program, "--link", os.path.join(cls.workdir, "robot-w")))
        cls.daemon = cls.enterClassContext(Daemon(
            cls.workdir, os.path.join(cls.artifacts, "tovlinkd.log"),
            "--robot", f"{ROBOT}={cls.robot_w.port}", "--robot", f"t={cls.link_t}"))
        cls.browser = start_browser(os.path.join(cls.workdir, "profile"))
        cls.addClassCleanup(cls.browser.quit)

    def tearDown(self):
        # Every test leaves a picture of where the page was, and no script
        # error behind (network errors are expected where a socket is refused).
        self.screenshot(self.id().rsplit(".", 1)[-1])
        script_errors = [entry["message"] for entry in self.browser.get_log("browser")
                         if entry["level"] == "SEVERE" and entry["source"] == "javascript"]
        self.assertEqual(script_errors, [])

    def screenshot(self, name):
        self.browser.execute_script("window.scrollTo(0, 0)")
        self.browser.save_screenshot(os.path.join(self.artifacts, f"{name}.png"))

    # ---- page helpers ----

    def open_robot(self, name):
        self.browser.get(f"{self.daemon.origin}/#/robot/{name}")
        wait_until(lambda: self.css("#link-status").get_attribute("data-state") == "open",
                   "the page to connect")

    def css(self, selector):
        return self.browser.find_element(By.CSS_SELECTOR, selector)

    def robot_state(self):
        return self.css("#robot-state").get_attribute("data-state")

    def wait_ready(self, name):
        self.open_robot(name)
        wait_until(lambda: self.robot_state() == "ready", f"robot {name} ready", CONNECT_WAIT_S)

    def failures(self):
        return [(item.get_attribute("data-cmd"), item.text)
                for item in self.browser.find_elements(By.CSS_SELECTOR, "#failure-list li")]

    def wire_lines(self, prefix):
        return [line for line in self.robot_w.received() if line.startswith(prefix)]

    def wait_for_wire(self, prefix):
        wait_until(lambda: self.wire_lines(prefix), f"{prefix!r} on the wire")

    def full_page_screenshot(self, name):
        self.browser.execute_script("window.scrollTo(0, 0)")
        page, viewport = self.browser.execute_script(
            "return [document.documentElement.scrollHeight, window.innerHeight]")
        self.browser.set_window_size(1280, 1000 + page - viewport)
        try:
            self.screenshot(name)
        finally:
            self.browser.set_window_size(1280, 1000)

    # ---- tests ----

    def test_1_readings_and_plots_follow_the_robot(self):
        self.browser.get(self.daemon.origin + "/")
        listed = f'.robot-list li[data-robot="{ROBOT}"] .state'
        wait_until(lambda: self.css(listed).get_attribute("data-state") == "ready", "the robot listed ready",
                   CONNECT_WAIT_S)
        self.wait_ready(ROBOT)
        battery = self.css("#reading-battery")
        wait_until(lambda: re.fullmatch(r"\d+ mV", battery.text), "a battery reading")
        # Motor power drains the virtual battery ten times faster (2 mV/s).
        self.css("#power-on").click()
        self.wait_for_wire("#130\r")
        first = battery.text
        wait_until(lambda: battery.text != first, "the battery reading to change")
        plot = self.css('figure.plot[data-series="battery"]')
        points = int(wait_until(lambda: plot.get_attribute("data-points"), "a plotted point"))
        wait_until(lambda: int(plot.get_attribute("data-points")) > points, "the plot to gain points")
        # Paused plots hold still while readings go on; resumed, they catch up.
        self.css("button.pause").click()
        held = plot.get_attribute("data-points")
        readings_at_pause = len(self.wire_lines("#140"))
        wait_until(lambda: len(self.wire_lines("#140")) >= readings_at_pause + 5, "more status polls")
        self.assertEqual(plot.get_attribute("data-points"), held)
        self.css("button.pause").click()
        wait_until(lambda: int(plot.get_attribute("data-points")) > int(held), "the resumed plot")
        # The query box shows the robot's reply line.
        self.css("#query-ask").click()
        wait_until(lambda: "WHO,TovSim" in self.css("#query-replies").text, "the reply to `who`")

    def test_2_dragging_a_slider_moves_the_servo(self):
        self.wait_ready(ROBOT)
        slider = self.css('input[type="range"][data-motor="2"]')
        self.assertEqual((slider.get_attribute("min"), slider.get_attribute("max")), ("55", "125"))
        moves_before = len(self.wire_lines("#132,1,"))
        started = time.monotonic()
        drag = ActionChains(self.browser, duration=50).click_and_hold(slider)
        for _ in range(12):
            drag.move_by_offset(12, 0)
        drag.move_by_offset(200, 0).release().perform()
        elapsed_ms = (time.monotonic() - started) * 1000
        self.assertEqual(slider.get_attribute("value"), "125")
        # The final value always goes out; the ones before at most every 100 ms.
        self.wait_for_wire("#132,1,125\r")
        moves = len(self.wire_lines("#132,1,")) - moves_before
        self.assertGreaterEqual(moves, 2, "no move while dragging")
        self.assertLessEqual(moves, elapsed_ms / 100 + 3, "moves not rate-limited")
        # The dial shows the position the daemon reads back from the robot.
        servo = self.css('.servo[data-motor="2"]')
        wait_until(lambda: servo.get_attribute("data-position") == "125", "motor 2 at 125")
        # The keyboard drives a slider too: Home is the motor's lowest angle.
        self.css('input[type="range"][data-motor="4"]').send_keys(Keys.HOME)
        self.wait_for_wire("#132,3,000\r")

    def test_3_led_toggles_reach_the_wire_and_failures_are_shown(self):
        self.wait_ready(ROBOT)
        led = self.css('button[data-led="3"]')
        led.click()
        self.wait_for_wire("#100,3\r")
        wait_until(lambda: led.get_attribute("aria-pressed") == "true", "LED 3 shown on")
        led.click()
        self.wait_for_wire("#101,3\r")
        # A speed the robot does not take is refused; the page says which
        # command failed and why.
        speed = self.css("#speech-speed")
        speed.clear()
        speed.send_keys("49")
        self.css("#speech-speed-set").click()
        failure = wait_until(lambda: [f for f in self.failures() if f[0] == "speed"], "the failed speed")
        self.assertIn("Speech speed 49", failure[0][1])
        self.assertIn("speed", failure[0][1].split("—", 1)[1])
        self.assertEqual(self.wire_lines("#120"), [], "a refused speed reached the wire")

    def test_4_unplugged_robot_shows_lost_then_ready_again(self):
        self.open_robot("t")
        with VirtualRobot(self.sim_program, "--link", self.link_t, "--unplug-after", "12"):
            wait_until(lambda: self.robot_state() == "ready", "t ready", CONNECT_WAIT_S)
            wait_until(lambda: self.robot_state() == "lost", "t lost after the unplug", CONNECT_WAIT_S)
            self.screenshot("robot_lost")
            self.assertFalse(self.css("#power-on").is_enabled())
        with VirtualRobot(self.sim_program, "--link", self.link_t):
            wait_until(lambda: self.robot_state() == "ready", "t ready again", CONNECT_WAIT_S)
            self.assertTrue(self.css("#power-on").is_enabled())

    def test_5_a_page_from_another_origin_cannot_open_the_socket(self):
        page = (
            "<!doctype html><title>probe</title><script>"
            "function probe(url){return new Promise(done=>{const s=new WebSocket(url);"
            "s.onopen=()=>{s.close();done('open')};s.onclose=()=>done('refused')})}"
            "</script>")
        probe_dir = os.path.join(self.workdir, "other-origin")
        os.makedirs(probe_dir, exist_ok=True)
        with open(os.path.join(probe_dir, "index.html"), "w") as file:
            file.write(page)
        class QuietHandler(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *args):
                pass

        handler = functools.partial(QuietHandler, directory=probe_dir)
        other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=other.serve_forever, daemon=True).start()
        self.addCleanup(other.server_close)
        self.addCleanup(other.shutdown)
        ask = "probe(arguments[0]).then(arguments[arguments.length - 1]);"
        socket_url = f"ws://127.0.0.1:{self.daemon.port}/ws"
        # The same probe from the daemon's own page opens; from elsewhere it is refused.
        self.open_robot(ROBOT)
        self.browser.execute_script(page.split("<script>")[1].split("</script>")[0] + "window.probe=probe;")
        self.assertEqual(self.browser.execute_async_script(ask, socket_url), "open")
        self.browser.get(f"http://127.0.0.1:{other.server_address[1]}/index.html")
        self.assertEqual(self.browser.execute_async_script(ask, socket_url), "refused")

    def test_6_phone_width_dark_scheme_and_keyboard_focus(self):
        self.wait_ready(ROBOT)
        light = self.browser.execute_script("return getComputedStyle(document.body).backgroundColor")
        self.browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        self.browser.set_window_size(390, 844)
        try:
            wait_until(lambda: self.browser.execute_script(
                "return getComputedStyle(document.body).backgroundColor") != light, "the dark scheme")
            self.assertLessEqual(
                self.browser.execute_script("return document.documentElement.scrollWidth"),
                self.browser.execute_script("return window.innerWidth"), "sideways scrolling on a phone")
            self.screenshot("phone_dark")
            # The drawn robot: as wide as the phone allows, its limbs in the
            # dark scheme's text colour on the dark card.
            width, right, limb, card, text = self.browser.execute_script(
                "const figure = document.querySelector('.robot-figure');"
                "figure.scrollIntoView();"
                "const box = figure.getBoundingClientRect();"
                "const style = (selector, property) => getComputedStyle(document.querySelector(selector))[property];"
                "return [box.width, box.right, style('.figure-limb', 'stroke'),"
                "        style('.figure-frame', 'backgroundColor') === 'rgba(0, 0, 0, 0)'"
                "          ? style('section.servos', 'backgroundColor') : style('.figure-frame', 'backgroundColor'),"
                "        style('body', 'color')]")
            self.assertGreaterEqual(width, 250, "the figure too small to read on a phone")
            self.assertLessEqual(right, self.browser.execute_script("return window.innerWidth"))
            self.assertEqual(limb, text)
            self.assertNotEqual(limb, card)
            self.browser.save_screenshot(os.path.join(self.artifacts, "phone_dark_figure.png"))
        finally:
            self.browser.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
            self.browser.set_window_size(1280, 1000)
        # Tab reaches the controls, and the focused one is outlined (on a
        # fresh page: scrolling the figure moved where Tab starts).
        self.browser.refresh()
        self.browser.find_element(By.TAG_NAME, "body").send_keys(Keys.TAB)
        focused = self.browser.switch_to.active_element
        self.assertEqual(focused.tag_name, "a")
        self.assertNotEqual(focused.value_of_css_property("outline-style"), "none")

    def test_7_reconnects_when_the_daemon_comes_back(self):
        self.open_robot(ROBOT)
        status = self.css("#link-status")
        self.daemon.__exit__(None, None, None)
        wait_until(lambda: status.get_attribute("data-state") == "waiting", "the page to notice")
        self.assertIn("retrying", status.text)
        self.daemon.__enter__()
        wait_until(lambda: status.get_attribute("data-state") == "open", "the page to reconnect",
                   CONNECT_WAIT_S)
        wait_until(lambda: self.robot_state() == "ready", "the robot ready after the restart", CONNECT_WAIT_S)
        # The picture for the README: the robot page after a minute of use.
        if self.css("#failures-clear").is_displayed():
            self.css("#failures-clear").click()
        self.css("#query-ask").click()
        wait_until(lambda: "WHO,TovSim" in self.css("#query-replies").text, "the reply to `who`")
        # A wave's pose, so the drawing shows what it is for.
        wave = [60, 90, 110, 40, 90, 70, 165]
        self.ask(self.daemon_socket(), {"cmd": "pose", "robot": ROBOT, "angles": wave})
        wait_until(lambda: self.css('.robot-figure g[data-motor="7"]').get_attribute("data-angle") == "165",
                   "the drawing in the wave's pose")
        self.full_page_screenshot("panel")


    def test_8_sliders_and_leds_match_the_contract_table(self):
        # The panel draws its controls from the daemon's `describe`; the
        # contract's table of cases says what they must then be.
        with open(required_environment("TOVLINK_CONFORMANCE_CASES"), encoding="utf-8") as file:
            cases = json.load(file)["cases"]
        self.wait_ready(ROBOT)
        leds = [button.get_attribute("data-led")
                for button in self.browser.find_elements(By.CSS_SELECTOR, "button.led")]
        self.assertEqual(leds, ["1", "2", "3", "4", "5", "6"])
        sliders = {slider.get_attribute("data-motor"): slider for slider in
                   self.browser.find_elements(By.CSS_SELECTOR, 'input[type="range"][data-motor]')}
        checked = set()
        for case in cases:
            args = case["args"]
            with self.subTest(case=case["name"]):
                if case["op"] == "led":
                    # An LED the library knows has a button; one it refuses has none.
                    (self.assertNotIn if "error" in case else self.assertIn)(str(args["led"]), leds)
                    checked.add("led")
                elif case["op"] == "move" and "range" in case.get("result", {}):
                    # A clamped angle's range is the motor's slider's.
                    slider = sliders[str(args["motor"])]
                    self.assertEqual([int(slider.get_attribute("min")), int(slider.get_attribute("max"))],
                                     case["result"]["range"])
                    checked.add("range")
                elif case["op"] == "move" and "error" in case and "time_ms" not in args:
                    self.assertNotIn(str(args["motor"]), sliders)  # a motor the robot lacks
                    checked.add("motor")
        self.assertEqual(checked, {"led", "range", "motor"}, "the table lost the rows checked here")
        # The Motion card's speed field takes what the daemon's play takes.
        motion_limits = self.ask(self.daemon_socket(), {"cmd": "describe"})["motion"]
        speed = self.css("#motion-speed")
        self.assertEqual([float(speed.get_attribute("min")), float(speed.get_attribute("max"))],
                         motion_limits["speed"])

    def daemon_socket(self):
        client = DaemonSocket(os.path.join(self.workdir, "tovlinkd.sock"))
        self.addCleanup(client.close)
        return client

    def ask(self, client, request):
        reply = client.ask(request)
        self.assertTrue(reply.get("ok"), reply)
        return reply["result"]

    def test_9_the_drawn_robot_follows_the_motors(self):
        self.wait_ready(ROBOT)
        client = self.daemon_socket()
        self.ask(client, {"cmd": "pose", "robot": ROBOT, "angles": [90] * 7})
        shoulder = self.css('.robot-figure g[data-motor="7"]')
        wait_until(lambda: shoulder.get_attribute("data-angle") == "90", "the shoulder drawn at 90")
        hand = '.robot-figure g[data-motor="5"] .figure-hand'
        hanging = self.browser.execute_script(
            f"return document.querySelector('{hand}').getBoundingClientRect().top")
        # Moved by another client, the right shoulder rises on the drawing
        # within a second of the robot taking the move.
        self.ask(client, {"cmd": "move", "robot": ROBOT, "motor": 7, "angle": 170})
        wait_until(lambda: shoulder.get_attribute("data-angle") == "170", "the shoulder drawn at 170",
                   timeout_s=1.0)
        raised = self.browser.execute_script(
            f"return document.querySelector('{hand}').getBoundingClientRect().top")
        self.assertLess(raised, hanging - 20, "the hand did not rise with the shoulder")
        # Clicking a joint picks its motor's slider.
        self.css('.figure-joint[data-motor="6"]').click()
        focused = self.browser.switch_to.active_element
        self.assertEqual((focused.get_attribute("type"), focused.get_attribute("data-motor")), ("range", "6"))
        self.assertIn("selected", self.css('.figure-joint[data-motor="6"]').get_attribute("class"))
        self.ask(client, {"cmd": "pose", "robot": ROBOT, "angles": [90] * 7})

    def capture_poses(self, client, poses):
        """Moves the robot through the daemon to each pose, as another client
        would, and captures the pose the panel's telemetry then shows."""
        keyframes = self.css("#motion-keyframes")
        for pose in poses:
            self.ask(client, {"cmd": "pose", "robot": ROBOT, "angles": pose})
            wait_until(lambda: [self.css(f'.servo[data-motor="{m}"]').get_attribute("data-position")
                                for m in range(1, 8)] == [str(angle) for angle in pose], f"the pose {pose} shown")
            count = int(keyframes.get_attribute("data-count"))
            self.css("#motion-capture").click()
            wait_until(lambda: int(keyframes.get_attribute("data-count")) == count + 1, "the captured keyframe")

    def editor_keyframes(self):
        """(time, angles text) of each keyframe row of the Motion card."""
        return [(int(row.find_element(By.CSS_SELECTOR, ".keyframe-time").get_attribute("value")),
                 row.find_element(By.CSS_SELECTOR, ".keyframe-angles").text)
                for row in self.browser.find_elements(By.CSS_SELECTOR, "#motion-keyframes li")]

    def clear_editor(self):
        while self.browser.find_elements(By.CSS_SELECTOR, "#motion-keyframes .keyframe-delete"):
            self.browser.find_elements(By.CSS_SELECTOR, "#motion-keyframes .keyframe-delete")[0].click()

    def test_11_keyframes_are_reordered_deleted_and_go_through_a_file(self):
        self.wait_ready(ROBOT)
        self.clear_editor()
        client = self.daemon_socket()
        a, b, c = [90, 90, 90, 90, 90, 90, 90], [10, 60, 70, 80, 100, 110, 120], [170, 125, 55, 0, 55, 125, 180]
        text = lambda pose: " ".join(map(str, pose))
        self.capture_poses(client, [a, b, c])
        self.assertEqual(self.editor_keyframes(), [(0, text(a)), (1000, text(b)), (2000, text(c))])
        # A pose moves up a place; the times stay where they were.
        self.browser.find_elements(By.CSS_SELECTOR, "#motion-keyframes .keyframe-up")[2].click()
        self.assertEqual(self.editor_keyframes(), [(0, text(a)), (1000, text(c)), (2000, text(b))])
        self.browser.find_elements(By.CSS_SELECTOR, "#motion-keyframes .keyframe-delete")[0].click()
        self.assertEqual(self.editor_keyframes(), [(1000, text(c)), (2000, text(b))])
        # Downloaded, the file holds just that; uploaded again, so does the editor.
        downloads = os.path.join(self.workdir, "downloads")
        os.makedirs(downloads, exist_ok=True)
        self.browser.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
        name = self.css("#motion-name")
        name.clear()
        name.send_keys("round-trip")
        self.css("#motion-download").click()
        path = os.path.join(downloads, "round-trip.json")
        wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0, "the downloaded file")
        with open(path, encoding="utf-8") as file:
            motion = json.load(file)
        self.assertEqual(motion, {"format": 1, "name": "round-trip", "keyframes": [
            {"time_ms": 1000, "angles": c}, {"time_ms": 2000, "angles": b}]})
        self.clear_editor()
        name.clear()
        self.css("#motion-upload").send_keys(path)
        wait_until(lambda: self.css("#motion-note").text.startswith("Loaded round-trip.json: 2 keyframes"),
                   "the uploaded file")
        self.assertEqual(self.editor_keyframes(), [(1000, text(c)), (2000, text(b))])
        self.assertEqual(name.get_attribute("value"), "round-trip")
        self.ask(client, {"cmd": "pose", "robot": ROBOT, "angles": a})

    def test_10_a_motion_recorded_from_the_panel_plays_on_time(self):
        self.wait_ready(ROBOT)
        client = self.daemon_socket()
        poses = [[90, 90, 90, 90, 90, 90, 90], [90, 90, 90, 90, 90, 60, 160], [40, 120, 60, 150, 110, 70, 20]]
        times_ms = [500, 1500, 2500]
        self.clear_editor()
        self.capture_poses(client, poses)
        rows = self.browser.find_elements(By.CSS_SELECTOR, "#motion-keyframes li")
        self.assertEqual([row.find_element(By.CSS_SELECTOR, ".keyframe-angles").text for row in rows],
                         [" ".join(map(str, pose)) for pose in poses])
        # Times typed from the last, so each stays later than the one before.
        for row, time_ms in reversed(list(zip(rows, times_ms))):
            field = row.find_element(By.CSS_SELECTOR, ".keyframe-time")
            field.clear()
            field.send_keys(str(time_ms), Keys.TAB)
        name = self.css("#motion-name")
        name.clear()
        name.send_keys("panel-made")
        self.css("#motion-save").click()
        wait_until(lambda: self.css("#motion-note").text.startswith("Saved as panel-made"), "the motion saved")
        saved = self.ask(client, {"cmd": "motions", "action": "get", "name": "panel-made"})["motion"]
        self.assertEqual([(k["time_ms"], k["angles"]) for k in saved["keyframes"]], list(zip(times_ms, poses)))
        # Played from the list of saved motions.
        wait_until(lambda: self.css("#motion-list").get_attribute("value") == "panel-made", "it listed and chosen")
        moves_before = len(timed_moves(self.robot_w))
        self.css("#motion-play").click()
        card = self.css("section.motion")
        wait_until(lambda: card.get_attribute("data-motion-state") == "finished", "the motion to finish")
        self.assertIn("panel-made: finished", self.css("#motion-state").text)
        moves = timed_moves(self.robot_w)[moves_before:]
        self.assertEqual(len(moves), 3, moves)
        started = moves[0][0]
        for (at, line), pose, begins_ms, lasts_ms in zip(moves, poses, [0, 500, 1500], [500, 1000, 1000]):
            # Each keyframe is one timed move: its pose, the time to reach it,
            # sent when the one before is due (loose bounds: a busy machine).
            angles = ",".join(f"{angle:03d}" for angle in pose)
            self.assertEqual(line.rstrip("\r"), f"#151,{angles},{lasts_ms:04d}")
            self.assertAlmostEqual((at - started) * 1000, begins_ms, delta=250)
        # Played again and stopped from the card once its first move is out:
        # the robot is sent nothing more.
        moves_before = len(timed_moves(self.robot_w))
        self.css("#motion-play").click()
        wait_until(lambda: len(timed_moves(self.robot_w)) > moves_before, "the first move")
        self.css("#motion-stop").click()
        wait_until(lambda: card.get_attribute("data-motion-state") == "stopped", "the motion stopped")
        sent = len(timed_moves(self.robot_w)) - moves_before
        self.assertLess(sent, 3)
        time.sleep(1.5)  # past the last keyframe's time
        self.assertEqual(len(timed_moves(self.robot_w)) - moves_before, sent)
        # Recorded instead: the robot moved by another client while the
        # panel records; stopped, the editor holds the reduced keyframes,
        # ending at the pose the robot was left in.
        self.css("#motion-record").click()
        wait_until(lambda: self.css("#motion-record").get_attribute("aria-pressed") == "true", "recording")
        for pose in (poses[0], poses[2]):
            self.ask(client, {"cmd": "pose", "robot": ROBOT, "angles": pose, "time_ms": 400})
            time.sleep(0.6)  # the move takes 400 ms on the virtual robot
        self.css("#motion-record").click()
        wait_until(lambda: self.css("#motion-note").text.startswith("Loaded the recording"), "the recording loaded")
        recorded = self.editor_keyframes()
        self.assertGreaterEqual(len(recorded), 2, recorded)
        self.assertEqual(recorded[-1][1], " ".join(map(str, poses[2])))


class TokenAndInProcessRobot(unittest.TestCase):
    """A daemon with a token and its own virtual robot (--sim): the page
    passes on the token it was opened with, asks for one when it has none
    (or a wrong one), and shows the robot."""

    def test_token_from_the_url_or_the_prompt_opens_the_socket(self):
        workdir = tempfile.mkdtemp(prefix="tovlink-web-token-")
        self.addCleanup(shutil.rmtree, workdir, ignore_errors=True)
        artifacts = artifacts_dir()
        token_file = os.path.join(workdir, "token")
        with open(token_file, "w") as file:
            file.write("s3cret/+token\n")
        daemon = Daemon(workdir, os.path.join(artifacts, "tovlinkd-token.log"),
                        "--sim", "vr", "--token-file", token_file)
        with daemon:
            # /auth tells a wrong or missing token from a right one.
            for query, expected in (("", 401), ("?token=wrong", 401), ("?token=s3cret%2F%2Btoken", 204)):
                with self.subTest(query=query):
                    try:
                        with urllib.request.urlopen(f"{daemon.origin}/auth{query}", timeout=WAIT_S) as reply:
                            status, body = reply.status, reply.read()
                    except urllib.error.HTTPError as refusal:
                        status, body = refusal.code, refusal.read()
                    self.assertEqual(status, expected)
                    if expected == 401:
                        self.assertEqual(json.loads(body), {"token_required": True})
            browser = start_browser(os.path.join(workdir, "profile"))
            self.addCleanup(browser.quit)
            css = lambda selector: browser.find_element(By.CSS_SELECTOR, selector)
            status = lambda: css("#link-status").get_attribute("data-state")
            # As typed, '+' and all: the page passes it on as a plus, not a space.
            browser.get(daemon.origin + "/?token=s3cret/+token#/robot/vr")
            wait_until(lambda: status() == "open", "the socket with the token as typed")
            browser.get(daemon.origin + "/?token=s3cret%2F%2Btoken#/robot/vr")
            wait_until(lambda: status() == "open", "the socket with the token")
            self.assertFalse(css("#token-form").is_displayed())
            # Without one the page asks for it instead of retrying; a wrong
            # one is said to be wrong; the right one opens the live page.
            browser.get(daemon.origin + "/#/robot/vr")
            wait_until(lambda: status() == "token", "the token prompt")
            self.assertTrue(css("#token-form").is_displayed())
            self.assertNotIn("retrying", css("#link-status").text)
            css("#token-input").send_keys("s3cret/+tokem")
            css("#token-submit").click()
            wait_until(lambda: "did not accept" in css("#token-message").text, "the wrong token refused")
            self.assertEqual(status(), "token")
            browser.save_screenshot(os.path.join(artifacts, "token_prompt.png"))
            css("#token-input").clear()
            css("#token-input").send_keys("s3cret/+token")
            css("#token-submit").click()
            wait_until(lambda: status() == "open", "the socket with the typed token")
            self.assertFalse(css("#token-form").is_displayed())
            # The robot's page is built again when the daemon's list and
            # contract arrive, so every check finds its element afresh.
            wait_until(lambda: css("#robot-state").get_attribute("data-state") == "ready", "vr ready",
                       CONNECT_WAIT_S)
            battery = lambda: css("#reading-battery").text
            wait_until(lambda: battery().endswith(" mV"), "a battery reading")
            first = battery()
            css("#power-on").click()
            wait_until(lambda: battery() != first, "the battery reading to change")
            browser.save_screenshot(os.path.join(artifacts, "in_process_robot.png"))
            # The typed token lasts for the tab: a reload needs no prompt.
            browser.refresh()
            wait_until(lambda: status() == "open", "the socket after a reload")


class PageOpensWithWhatTheDaemonRemembers(unittest.TestCase):
    """A page opened after the daemon has run a while: its plots already hold
    that time, and its LED buttons show the LEDs the daemon set."""

    RUN_S = 25

    def test_plots_and_leds_from_before_the_page_opened(self):
        workdir = tempfile.mkdtemp(prefix="tovlink-web-history-")
        self.addCleanup(shutil.rmtree, workdir, ignore_errors=True)
        with Daemon(workdir, os.path.join(artifacts_dir(), "tovlinkd-history.log"), "--sim", "vr") as daemon:
            started = time.monotonic()
            client = DaemonSocket(os.path.join(workdir, "tovlinkd.sock"))
            self.addCleanup(client.close)
            wait_until(lambda: client.ask({"cmd": "poll", "robot": "vr"}).get("ok"), "vr ready", CONNECT_WAIT_S)
            for led, on in ((2, True), (5, True), (5, False)):
                reply = client.ask({"cmd": "led", "robot": "vr", "led": led, "on": on})
                self.assertTrue(reply["ok"], reply)
            time.sleep(max(0.0, self.RUN_S - (time.monotonic() - started)))
            browser = start_browser(os.path.join(workdir, "profile"))
            self.addCleanup(browser.quit)
            browser.get(daemon.origin + "/#/robot/vr")
            opened = time.monotonic()
            css = lambda selector: browser.find_element(By.CSS_SELECTOR, selector)
            # Found afresh each time: the page is built again when the
            # daemon's list and contract arrive, which a slow daemon sends late.
            span = lambda: int(css('figure.plot[data-series="battery"]').get_attribute("data-span-s") or 0)
            # Live readings alone would cover only the seconds since the page opened.
            wait_until(lambda: span() >= self.RUN_S - 10, "plots holding the time before the page opened")
            self.assertGreater(span(), time.monotonic() - opened + 5)
            pressed = lambda led: css(f'button[data-led="{led}"]').get_attribute("aria-pressed")
            wait_until(lambda: pressed(2) == "true", "LED 2 shown on")
            self.assertEqual([pressed(led) for led in (1, 3, 4, 5, 6)], ["false"] * 5)
            browser.save_screenshot(os.path.join(artifacts_dir(), "history_on_open.png"))


if __name__ == "__main__":
    unittest.main()
