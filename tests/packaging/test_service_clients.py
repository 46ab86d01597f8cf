"""The service's clients against the real robot service: tovlink.Client and
the tovlink tool, with tovlinkd running one virtual robot.

Run by ctest where tovlinkd is built (tests/packaging/CMakeLists.txt sets
TOVLINKD, TOVLINK_TOOL and PYTHONPATH).
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from datetime import timedelta

import tovlink
from virtual_robot import VirtualRobot, required_environment, stop_process

DAEMON = required_environment("TOVLINKD")
TOOL = required_environment("TOVLINK_TOOL")

work = None
daemon = None
socket_path = None


def setUpModule():
    global work, daemon, socket_path
    work = tempfile.mkdtemp(prefix="tovlinkd-clients-")
    socket_path = os.path.join(work, "tovlinkd.sock")
    daemon = subprocess.Popen([DAEMON, "--socket", socket_path, "--sim", "arm"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if daemon.poll() is not None:
            raise RuntimeError(f"tovlinkd exited: {daemon.stderr.read()}")
        try:
            with tovlink.Client(socket_path) as client:
                if [robot["state"] for robot in client.devices()] == ["ready"]:
                    return
        except tovlink.ServiceError:
            pass
        time.sleep(0.2)
    tearDownModule()
    raise RuntimeError("tovlinkd's robot never became ready")


def tearDownModule():
    if daemon is not None:
        stop_process(daemon)
    shutil.rmtree(work, ignore_errors=True)


def daemon_release():
    with tovlink.Client(socket_path) as client:
        return client.service_version["release"]


def run_tool(*args, env=None):
    environment = {**os.environ, "TOVLINK_PORT": "", "TOVLINK_DAEMON": "",
                   "XDG_RUNTIME_DIR": "/nonexistent/tovlink-test", **(env or {})}
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=30,
                          env=environment, stdin=subprocess.DEVNULL)


class PythonClient(unittest.TestCase):
    def setUp(self):
        self.client = tovlink.Client(socket_path, robot="arm")
        self.addCleanup(self.client.close)

    def test_devices_and_telemetry_from_the_service(self):
        self.assertEqual([(r["name"], r["state"], r["sim"]) for r in self.client.devices()],
                         [("arm", "ready", True)])
        telemetry = self.client.telemetry()
        self.assertIsInstance(telemetry, tovlink.Telemetry)
        self.assertEqual(len(telemetry.positions), 7)
        self.assertTrue(6000 <= telemetry.battery <= 7900)
        self.assertIsNotNone(telemetry.age_ms)
        self.assertEqual(self.client.service_version["proto"]["major"], 1)

    def test_the_same_operations_as_robot(self):
        move = self.client.move(2, 10)
        self.assertEqual((move.angle, move.requested, move.range, move.clamped),
                         (55, 10, (55, 125), True))
        pose = self.client.pose([90, 90, 90, 150, 90, 90, 90], time_ms=100)
        self.assertEqual(pose.angles, (90, 90, 90, 150, 90, 90, 90))
        self.assertTrue(self.client.who().startswith("WHO,"))
        self.assertEqual(self.client.mic_range(), "MIC,0,100")
        self.client.led_on(3)
        self.client.speech_speed(120)
        self.assertEqual(self.client.init_settings()[-5:], "V,120")
        # Robot and Client share their names.
        for name in ("telemetry", "move", "pose", "move_relative", "adjust", "power_on",
                     "power_off", "start", "led_on", "led_off", "tone", "say", "speech_speed",
                     "who", "info", "query", "motor_positions"):
            self.assertTrue(callable(getattr(tovlink.Robot, name)), name)
            self.assertTrue(callable(getattr(tovlink.Client, name)), name)

    def test_watch_yields_snapshots_until_closed(self):
        watch = self.client.watch(rate_hz=10)
        samples = [next(watch) for _ in range(3)]
        watch.close()
        self.assertTrue(all(isinstance(sample, tovlink.Telemetry) for sample in samples))
        self.assertTrue(all(sample.robot == "arm" for sample in samples))
        self.client.who()  # the client itself stayed usable

    def test_errors_carry_the_library_s_refusal_or_name_the_robot(self):
        with self.assertRaises(ValueError) as raised:
            self.client.led_on(7)
        self.assertEqual((raised.exception.name, str(raised.exception), raised.exception.sent),
                         ("invalid_argument", "led 7 on: LED 7 does not exist (LEDs are 1-6)",
                          False))
        # The package's own checks come first, worded as a Robot's.
        with self.assertRaises(TypeError) as raised:
            self.client.move(1, "90")
        self.assertEqual(raised.exception.argument, "angle")
        with tovlink.Client(socket_path, robot="nobody") as stranger:
            with self.assertRaises(tovlink.TovLinkError) as raised:
                stranger.who()
        self.assertEqual(raised.exception.name, "unknown_robot")
        self.assertIs(raised.exception.sent, False)
        with self.assertRaises(ConnectionError):
            tovlink.Client(os.path.join(work, "no-such.sock"))


    def test_history_leds_and_fleet(self):
        self.client.led_on(2)
        self.client.led_off(5)
        reading = self.client.telemetry()
        self.assertEqual(reading.leds, (None, True, None, None, False, None))
        self.assertLess(abs(reading.time_ms - time.time() * 1000), 5000)
        # The service has kept the readings since it connected the robot.
        everything = self.client.history()
        self.assertGreater(len(everything), 0)
        times = [sample.time_ms for sample in everything]
        self.assertEqual(times, sorted(times))
        self.assertTrue(all(sample.robot == "arm" and sample.age_ms >= 0 for sample in everything))
        self.assertEqual(len(everything[-1].positions), 7)
        recent = self.client.history("arm", since=timedelta(seconds=1))
        self.assertLess(len(recent), len(everything) + 2)
        self.assertTrue(all(sample.age_ms <= 1000 for sample in recent), recent)
        with self.assertRaises(ValueError):
            self.client.history(since=-1)
        # No MQTT bridge: the service has no fleet, and says so by name.
        with self.assertRaises(tovlink.TovLinkError) as raised:
            self.client.fleet()
        self.assertEqual(raised.exception.name, "unknown_command")


class WatchFollowsLossAndReturn(unittest.TestCase):
    """watch() on a daemon of its own: a robot on a link that is unplugged and
    plugged again, then the daemon itself restarted."""

    def start_daemon(self):
        process = subprocess.Popen([DAEMON, "--socket", self.socket, "--robot", f"t={self.link}"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (process.poll() is None and process.kill(), process.wait()))
        deadline = time.monotonic() + 10
        while not os.path.exists(self.socket) and time.monotonic() < deadline:
            time.sleep(0.05)
        return process

    def next_change(self, watch, limit_s=15):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            item = next(watch)
            if isinstance(item, tovlink.StateChange):
                return item
        self.fail("no state change in time")

    def test_watch_reports_changes_and_goes_on(self):
        sim = required_environment("TOVLINK_SIM")
        self.socket = os.path.join(work, "watched.sock")
        self.link = os.path.join(work, "watched-link")
        daemon_process = self.start_daemon()
        with VirtualRobot(sim, "--link", self.link, "--unplug-after", "8"):
            client = tovlink.Client(self.socket, robot="t", timeout_s=3)
            self.addCleanup(client.close)
            watch = client.watch(rate_hz=5, retry_s=0.2)
            self.addCleanup(watch.close)
            change = self.next_change(watch)
            while change.state != "lost":  # the first connect may still have been under way
                self.assertIn(change.state, ("connecting", "ready"))
                change = self.next_change(watch)
            self.assertEqual((change.robot, change.state, change.service), ("t", "lost", True))
        with VirtualRobot(sim, "--link", self.link):
            self.assertEqual(self.next_change(watch).state, "ready")
            self.assertIsInstance(next(watch), tovlink.Telemetry)
            # The daemon goes away and comes back on the same socket.
            daemon_process.send_signal(signal.SIGTERM)
            daemon_process.wait(timeout=10)
            self.assertEqual(self.next_change(watch), tovlink.StateChange("t", "lost", None, False))
            self.start_daemon()
            self.assertEqual(self.next_change(watch), tovlink.StateChange("t", "ready", None, False))
            item = next(watch)
            while not isinstance(item, tovlink.Telemetry):  # the robot connecting again
                item = next(watch)
            self.assertEqual(item.robot, "t")
            # The old way: a lost robot raises.
            strict = client.watch(rate_hz=5, raise_on_lost=True)
            self.addCleanup(strict.close)
            self.assertIsInstance(next(strict), tovlink.Telemetry)
        with self.assertRaises(tovlink.DisconnectedError):
            for _ in range(100):
                next(strict)


class ToolThroughTheService(unittest.TestCase):
    def test_commands_go_through_the_service_socket(self):
        status = run_tool("--daemon", socket_path, "--json", "status")
        self.assertEqual(status.returncode, 0, status.stderr)
        fields = json.loads(status.stdout.splitlines()[-1])
        self.assertTrue(fields["ok"])
        self.assertEqual(len(fields["positions"]), 7)
        # Found through TOVLINK_DAEMON too; motion reports what was sent.
        move = run_tool("--robot", "arm", "move", "2", "10", env={"TOVLINK_DAEMON": socket_path})
        self.assertEqual(move.returncode, 0, move.stderr)
        self.assertEqual(move.stdout, "motor 2 to 55 (asked 10; motor 2 takes 55-125)\n")
        devices = run_tool("--daemon", socket_path, "devices")
        self.assertRegex(devices.stdout, r"^arm  /dev/pts/\d+  ready  \(virtual\)\n$")

    def test_the_service_is_found_at_its_usual_socket(self):
        runtime = tempfile.mkdtemp(dir=work)
        os.makedirs(os.path.join(runtime, "tovlink"))
        os.symlink(socket_path, os.path.join(runtime, "tovlink", "tovlinkd.sock"))
        if os.geteuid() == 0:
            self.skipTest("root's usual socket is /run/tovlink/tovlinkd.sock")
        who = run_tool("who", env={"XDG_RUNTIME_DIR": runtime})
        self.assertEqual(who.returncode, 0, who.stderr)
        self.assertEqual(who.stdout, "WHO,TovSim,VR-0001\n")

    def test_a_shell_runs_its_lines_through_the_service(self):
        result = subprocess.run([TOOL, "--daemon", socket_path, "shell"], input="who\nled on 2\n",
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "WHO,TovSim,VR-0001\nled 2 on\n")

    def test_the_daemon_and_the_virtual_robot_tell_their_version(self):
        release = daemon_release()
        for program in (required_environment("TOVLINK_SIM"), DAEMON):
            with self.subTest(program=os.path.basename(program)):
                result = subprocess.run([program, "--version"], capture_output=True, text=True,
                                        timeout=10, stdin=subprocess.DEVNULL)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(release, result.stdout)

    def test_failures_name_the_robot_and_exit_one(self):
        result = run_tool("--daemon", socket_path, "--robot", "nobody", "status")
        self.assertEqual(result.returncode, 1)
        self.assertIn("nobody", result.stderr)
        missing = run_tool("--daemon", os.path.join(work, "absent.sock"), "status")
        self.assertEqual(missing.returncode, 1)
        self.assertIn("cannot reach the service at", missing.stderr)


if __name__ == "__main__":
    unittest.main()
