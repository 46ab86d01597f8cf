"""The Python module tovlink against the virtual robot: every method once,
checked against what reached the robot and what it answered, and the ways it
raises TovLinkError.  One connection for the whole module (each costs 3.5 s).

Run by ctest (tests/packaging/CMakeLists.txt), which sets TOVLINK_SIM (the
tovlink-sim program), TOVLINK_LIBRARY (the built session library) and
PYTHONPATH (the source tree's python/ folder).
"""

import errno
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import tovlink
from virtual_robot import VirtualRobot, required_environment

LIBRARY = required_environment("TOVLINK_LIBRARY")
SIM = required_environment("TOVLINK_SIM")
VERSION = required_environment("TOVLINK_VERSION")

# "S,<sensor>,<mic>,M,<p1>..<p7>,P,<battery>,<motor power>,<mic analog>,E"
STATUS_FIELDS = {"sensor": 1, "mic": 2, "battery": 12, "motor_power": 13, "mic_analog": 14}

sim = None
robot = None


def setUpModule():
    global sim, robot
    sim = VirtualRobot(SIM).__enter__()
    try:
        robot = tovlink.Robot(sim.port, 115200, library=LIBRARY)
    except BaseException:
        sim.__exit__(None, None, None)
        raise


def tearDownModule():
    robot.end()
    sim.__exit__(None, None, None)


def status_lines():
    return [line for line in sim.sent() if line.startswith("S,")]


def status_line_after(count):
    """The first status line sent after the first `count` (the wire log
    trails the wire, so a reading may be in hand before its line is logged)."""
    deadline = time.monotonic() + 2
    while len(status_lines()) <= count and time.monotonic() < deadline:
        time.sleep(0.02)
    lines = status_lines()
    return lines[count].rstrip("\r\n").split(",") if len(lines) > count else None


class ConnectedRobot(unittest.TestCase):
    def assert_sent(self, line):
        self.assertTrue(sim.wait_for_received(line), f"{line!r} never reached the robot")

    def test_connect_reached_the_adapter_and_linked(self):
        self.assertTrue(robot.connected)
        self.assertEqual(robot.port, sim.port)
        self.assertIn("connected", repr(robot))
        # The log trails the wire: wait for each line rather than read once.
        for line in ("R,1\r", "GDH\r", "I\r"):
            self.assert_sent(line)
        self.assertTrue(any(line.startswith("E,0,") for line in sim.received()))

    def test_text_queries_return_the_reply_line_as_str(self):
        queries = {
            ("who", "who"): "#800\r",
            ("motor_power_text", "get_motorpower"): "#802\r",
            ("save_power_limit", "set_motorpower"): "#803\r",
            ("init_settings", "get_init"): "#804\r",
            ("info", "get_info"): "#805\r",
            ("mic_range", "get_init_mic_range"): "#806\r",
            ("power_limit", "get_init_power_limit"): "#807\r",
            ("position_text", "get_position"): "#142\r",
        }
        for (method, c_name), wire_line in queries.items():
            with self.subTest(method=method):
                # The C library's name is the same method.
                self.assertEqual(getattr(tovlink.Robot, c_name), getattr(tovlink.Robot, method))
                text = getattr(robot, method)()
                self.assertIsInstance(text, str)
                self.assert_sent(wire_line)
                # The robot's own reply, its line ending removed.
                self.assertIn(text + "\r\n", sim.sent())
                self.assertNotIn("\n", text)
        self.assertTrue(robot.who().startswith("WHO,"))
        self.assertRegex(robot.get_position(), r"^POS(,\d+){7}$")
        self.assertEqual(robot.query("init-mic-range"), "MIC,0,100")

    def test_telemetry_getters_return_the_status_line_values(self):
        getters = {
            "sensor": "sensor",
            "mic": "mic",
            "mic_analog": "mic_analog",
            "battery": "battery",
            "get_motor_power": "motor_power",
        }
        for method, field in getters.items():
            with self.subTest(method=method):
                before = len(status_lines())
                value = getattr(robot, method)()
                self.assertIsInstance(value, int)
                self.assertEqual(value, int(status_line_after(before)[STATUS_FIELDS[field]]))
        self.assert_sent("#140\r")

    def test_motor_positions_follow_a_move(self):
        robot.motor_set_pos(3, 70)
        self.assert_sent("#132,2,070\r\r")
        before = len(status_lines())
        position = robot.get_motor_position(3)
        self.assertEqual(position, int(status_line_after(before)[4 + 2]))
        # A fresh exchange each time, its positions from that same status line.
        before = len(status_lines())
        positions = robot.motor_positions()
        self.assertEqual(positions, tuple(int(p) for p in status_line_after(before)[4:11]))
        self.assertEqual(positions[2], 70)

    def test_telemetry_is_one_exchange_every_value_from_its_status_line(self):
        robot.move(4, 100)
        before = sim.received().count("#140\r")
        lines_before = len(status_lines())
        telemetry = robot.telemetry()
        self.assertIsInstance(telemetry, tovlink.Telemetry)
        self.assertTrue(sim.wait_for_received("#140\r"))
        self.assertEqual(sim.received().count("#140\r"), before + 1)
        status = status_line_after(lines_before)
        for field, index in STATUS_FIELDS.items():
            self.assertEqual(getattr(telemetry, field), int(status[index]), field)
        self.assertEqual(telemetry.positions, tuple(int(p) for p in status[4:11]))
        self.assertEqual(telemetry.positions[3], 100)
        self.assertTrue(7000 < telemetry.battery <= 7900)

    def test_moves_return_what_was_sent(self):
        move = robot.move(2, 10)
        self.assert_sent("#132,1,055\r\r")
        self.assertEqual((move.motor, move.angle, move.requested, move.range), (2, 55, 10, (55, 125)))
        self.assertTrue(move.clamped)
        self.assertEqual(str(move), "motor 2 to 55 (asked 10; motor 2 takes 55-125)")
        pose = robot.pose([90, 90, 90, 150, 90, 90, 200], time_ms=100)
        self.assert_sent("#151,090,090,090,150,090,090,180,0100\r\r")
        self.assertEqual(pose.angles, (90, 90, 90, 150, 90, 90, 180))
        self.assertEqual(pose.clamped, (False,) * 6 + (True,))
        self.assertFalse(robot.move(1, 45, time_ms=200).clamped)
        self.assert_sent("#150,0,045,0200\r\r")

    def test_motor_commands_put_their_lines_on_the_wire(self):
        commands = [
            (robot.motor_power_on, (600,), "#133,9,0600\r"),
            (robot.motor_start, (), "#134\r\r"),
            (robot.motor_set_pos, (1, 200), "#132,0,180\r\r"),  # clamped
            (robot.motor_set_pos_rel, (2, 15), "#137,1,000\r\r"),
            (robot.motor_pos_all, (10, 20, 30, 40, 50, 60, 70), "#136,010,055,055,040,055,060,070\r\r"),
            (robot.move_relative, (3,), "#137,2,000\r\r"),
            (robot.start, (), "#134\r\r"),
            (robot.motor_angle_time, (4, 45, 200), "#150,3,045,0200\r\r"),
            (robot.motor_angle_time_rel, (255, 0, 100), "#152,255,000,0100\r\r"),
            (robot.motor_angle_multi_time, (90, 90, 90, 90, 90, 90, 90, 300),
             "#151,090,090,090,090,090,090,090,0300\r\r"),
            (robot.motor_adjust, (5, -3), "#810,4,-003\r\r"),
            (robot.motor_power_off, (), "#131\r"),
        ]
        for method, args, wire_line in commands:
            with self.subTest(method=method.__name__):
                method(*args)
                self.assert_sent(wire_line)
        self.assert_sent("#130\r")  # power on asks first

    def test_led_sound_and_voice_put_their_lines_on_the_wire(self):
        commands = [
            (robot.led_on, (2,), "#100,2\r"),
            (robot.led_off, (2,), "#101,2\r"),
            (robot.sound, (440, 100), "#110,00440,0100\r"),
            (robot.voice_speed, (150,), "#120,150\r"),
            (robot.voice, ("hello",), "#121,hello\r"),
            (robot.voice, (b"bytes as given",), "#121,bytes as given\r"),
            (robot.say, ("said",), "#121,said\r"),
            (robot.tone, (220, 50), "#110,00220,0050\r"),
            (robot.speech_speed, (100,), "#120,100\r"),
            (robot.led_on, (6,), "#100,6\r"),
        ]
        for method, args, wire_line in commands:
            with self.subTest(method=method.__name__, args=args):
                self.assertIsNone(method(*args))
                self.assert_sent(wire_line)

    def test_bad_arguments_are_refused_and_nothing_is_sent(self):
        # The library's refusals (the contract's table has one row each);
        # these are the ones the table leaves out, and the package's own
        # type and size checks.
        refusals = [
            (robot.get_motor_position, (8,), tovlink.ArgumentError, "motor position: motors are 1-7"),
            (robot.move, (255, 90), tovlink.ArgumentError, "move motor 255: motors are 1-7"),
            (robot.move, (1, 90, -1), tovlink.ArgumentError,
             "move motor 1: time -1 ms is outside 0-9999 ms"),
            (robot.say, (b"a\0b",), tovlink.ArgumentError, "say: the text holds a zero byte"),
            (robot.say, ("line\nend",), tovlink.ArgumentError, "say: the text holds a line end"),
            (robot.pose, ([90] * 6,), tovlink.ArgumentError, "pose: angles must hold 7 angles (got 6)"),
            (robot.query, ("whom",), tovlink.ArgumentError, "query: no query named 'whom' (one of who,"),
            (robot.move, ("2", 90), tovlink.ArgumentTypeError, "move motor 2: motor must be an int, got str"),
            (robot.move, (2, 90.5), tovlink.ArgumentTypeError, "move motor 2: angle must be an int, got float"),
            (robot.led_off, (True,), tovlink.ArgumentTypeError, "led off: led must be an int, got bool"),
            (robot.say, (42,), tovlink.ArgumentTypeError, "say: text must be str or bytes, got int"),
            (robot.move, (2, 2**40), tovlink.ArgumentError, "move motor 2: angle is out of range (got 1099511627776)"),
        ]
        for method, args, kind, message in refusals:
            with self.subTest(method=method.__name__, args=args):
                before = len(sim.received())
                with self.assertRaises(kind) as raised:
                    method(*args)
                error = raised.exception
                self.assertTrue(str(error).startswith(message), str(error))
                self.assertIsInstance(error, TypeError if kind is tovlink.ArgumentTypeError
                                      else ValueError)
                self.assertIs(error.sent, False)
                if kind is tovlink.ArgumentTypeError:
                    self.assertIn(error.argument, str(error))
                robot.info()  # a line after the refusal: nothing came before it
                deadline = time.monotonic() + 2
                while "#805\r" not in sim.received()[before:] and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertEqual(sim.received()[before:], ["#805\r"])

    def test_a_timed_move_of_every_motor_reports_each_motor_s_angle(self):
        pose = robot.move(255, 100, time_ms=50)
        self.assert_sent("#151,100,100,100,100,100,100,100,0050\r\r")
        self.assertIsInstance(pose, tovlink.Pose)
        self.assertEqual(robot.move_all(30, 50).clamped, (False, True, True, False, True, True, False))
        self.assertEqual(str(robot.move_all(30, 50)),
                         "pose 30 55 55 30 55 55 30 over 50 ms (clamped: motor 2 asked 30, "
                         "takes 55-125; motor 3 asked 30, takes 55-125; motor 5 asked 30, takes "
                         "55-125; motor 6 asked 30, takes 55-125)")

    def test_library_version_and_last_error_through_the_robot(self):
        self.assertEqual(robot.library_version(), tovlink.library_version(LIBRARY))
        robot.led_on(1)
        self.assertEqual(robot.last_error(), tovlink.OK)
        self.assertEqual(tovlink.last_error(LIBRARY), tovlink.OK)

    def test_the_robot_is_quiet(self):
        # Diagnostic lines are the C library's; a Robot prints nothing.
        script = ("import sys, tovlink\n"
                  "with tovlink.Robot(sys.argv[1], library=sys.argv[2]) as r:\n"
                  "    r.who(); r.led_on(1)\n")
        with VirtualRobot(SIM) as other:
            result = subprocess.run([sys.executable, "-c", script, other.port, LIBRARY],
                                    capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((result.stdout, result.stderr), ("", ""))


class EndedRobot(unittest.TestCase):
    """Runs after ConnectedRobot: leaving the `with` block ends the link."""

    @classmethod
    def setUpClass(cls):
        with robot:
            pass

    def test_end_closes_the_port_once(self):
        self.assertFalse(robot.connected)
        self.assertIn("ended", repr(robot))
        robot.end()  # a second end does nothing
        self.assertFalse(robot.connected)

    def test_operations_raise_not_connected(self):
        for method, args in ((robot.who, ()), (robot.get_battery_value, ()), (robot.led_on, (1,))):
            with self.subTest(method=method.__name__):
                with self.assertRaises(tovlink.NotConnectedError) as raised:
                    method(*args)
                self.assertEqual(raised.exception.code, tovlink.ERR_NOT_CONNECTED)
                self.assertEqual(raised.exception.name, "not_connected")
                self.assertIn("not connected", str(raised.exception))


class UnpluggedRobot(unittest.TestCase):
    def test_a_lost_link_is_reported_at_once_as_disconnected(self):
        with VirtualRobot(SIM, "--unplug-after", "5") as gone:
            with tovlink.Robot(gone.port, library=LIBRARY) as lost:
                self.assertTrue(lost.link_alive)
                self.assertTrue(gone.wait_for_event("unplugged", timeout_s=8))
                deadline = time.monotonic() + 2
                while lost.link_alive and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.assertFalse(lost.link_alive)
                for method, args in ((lost.who, ()), (lost.telemetry, ()), (lost.move, (1, 90))):
                    with self.subTest(method=method.__name__):
                        started = time.monotonic()
                        with self.assertRaises(tovlink.DisconnectedError) as raised:
                            method(*args)
                        # At once, not after the 1.5 s reply time-out.
                        self.assertLess(time.monotonic() - started, 0.5)
                        self.assertIsInstance(raised.exception, ConnectionError)
                        self.assertEqual(raised.exception.name, "link_lost")
                        self.assertIn("lost", str(raised.exception))


class LibraryWithoutRobot(unittest.TestCase):
    def test_version_matches_the_project(self):
        self.assertEqual(tovlink.library_version(LIBRARY), VERSION)

    def test_connect_to_a_missing_port_raises_an_os_error_with_the_reason(self):
        missing = os.path.join(tempfile.gettempdir(), "tovlink-no-such-port")
        with self.assertRaises(OSError) as raised:
            tovlink.Robot(missing, library=LIBRARY)
        error = raised.exception
        self.assertIsInstance(error, tovlink.PortError)
        self.assertEqual(error.code, tovlink.ERR_PORT_OPEN)
        self.assertEqual(error.errno, errno.ENOENT)
        self.assertEqual(error.operation, "tovlink_connect")
        self.assertEqual(str(error), f"connect to {missing}: could not open the serial port: "
                                     "No such file or directory")

    def test_the_module_names_are_the_library_s_contract(self):
        # Read from the library on first use, in a fresh interpreter.
        probe = ("import sys, tovlink\n"
                 "print(tovlink.library_contract(sys.argv[1]).leds)\n"
                 "from tovlink import LEDS, QUERIES, DEFAULT_POWER_VALUE, MAX_TIME_MS\n"
                 "print(list(LEDS), QUERIES['who'], DEFAULT_POWER_VALUE, MAX_TIME_MS,"
                 " tovlink.angle_range(2), tovlink.MOTOR_COUNT, tovlink.ALL_MOTORS)\n")
        directory = os.path.dirname(LIBRARY)
        result = subprocess.run(
            [sys.executable, "-c", probe, LIBRARY], capture_output=True, text=True, timeout=30,
            env={**os.environ, "LD_LIBRARY_PATH": directory})
        self.assertEqual(result.returncode, 0, result.stderr)
        leds, names = result.stdout.splitlines()
        self.assertIn("6: 'right ear'", leds)
        self.assertEqual(names, "[1, 2, 3, 4, 5, 6] #800 500 9999 (55, 125) 7 255")
        with self.assertRaises(AttributeError):
            tovlink.NO_SUCH_LIMIT

    def test_an_explicit_library_path_is_used_as_given(self):
        self.assertEqual(tovlink.find_library(LIBRARY), LIBRARY)

    def test_a_library_beside_the_module_is_found_first(self):
        # A copy of the module with the library dropped into its folder, as an
        # application may ship them; imported by a fresh interpreter.
        with tempfile.TemporaryDirectory() as folder:
            package = os.path.join(folder, "tovlink")
            shutil.copytree(os.path.dirname(tovlink.__file__), package,
                            ignore=shutil.ignore_patterns("__pycache__", "_install_location.py"))
            beside = os.path.join(package, "libTovLinkCxx.so.1")
            shutil.copy(LIBRARY, beside)
            probe = "import tovlink; print(tovlink.find_library()); print(tovlink.library_version())"
            result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                                    env={**os.environ, "PYTHONPATH": folder}, timeout=30)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.split(), [beside, VERSION])

    def test_a_missing_library_says_how_to_point_at_one(self):
        with self.assertRaises(OSError) as raised:
            tovlink.load_library("/nonexistent/libTovLinkCxx.so.1")
        self.assertIn("library=PATH", str(raised.exception))


def load_tests(loader, tests, pattern):
    # EndedRobot ends the shared connection, so it runs after ConnectedRobot.
    suite = unittest.TestSuite()
    for case in (ConnectedRobot, EndedRobot, UnpluggedRobot, LibraryWithoutRobot):
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite


if __name__ == "__main__":
    unittest.main()
