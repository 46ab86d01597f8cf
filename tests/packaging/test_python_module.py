"""The Python module tovlink against the virtual robot: every method once,
checked against what reached the robot and what it answered, and the ways it
raises TovLinkError.  One connection for the whole module (each costs 3.5 s).

Run by ctest (tests/packaging/CMakeLists.txt), which sets TOVLINK_SIM (the
tovlink-sim program), TOVLINK_LIBRARY (the built shared library) and
PYTHONPATH (the source tree's python/ folder).
"""

import os
import shutil
import subprocess
import sys
import tempfile
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


def last_status_line():
    lines = [line for line in sim.sent() if line.startswith("S,")]
    return lines[-1].rstrip("\r\n").split(",") if lines else None


class ConnectedRobot(unittest.TestCase):
    def assert_sent(self, line):
        self.assertTrue(sim.wait_for_received(line), f"{line!r} never reached the robot")

    def test_connect_reached_the_adapter_and_linked(self):
        self.assertTrue(robot.connected)
        self.assertEqual(robot.port, sim.port)
        self.assertIn("connected", repr(robot))
        received = sim.received()
        for line in ("R,1\r", "GDH\r", "I\r"):
            self.assertIn(line, received)
        self.assertTrue(any(line.startswith("E,0,") for line in received))

    def test_text_queries_return_the_reply_line_as_str(self):
        queries = {
            "who": "#800\r",
            "get_motorpower": "#802\r",
            "set_motorpower": "#803\r",
            "get_init": "#804\r",
            "get_info": "#805\r",
            "get_init_mic_range": "#806\r",
            "get_init_power_limit": "#807\r",
            "get_position": "#142\r",
        }
        for method, wire_line in queries.items():
            with self.subTest(method=method):
                text = getattr(robot, method)()
                self.assertIsInstance(text, str)
                self.assert_sent(wire_line)
                # The robot's own reply, its line ending removed.
                self.assertIn(text + "\r\n", sim.sent())
                self.assertNotIn("\n", text)
        self.assertTrue(robot.who().startswith("WHO,"))
        self.assertRegex(robot.get_position(), r"^POS(,\d+){7}$")

    def test_telemetry_getters_return_the_status_line_values(self):
        getters = {
            "get_sensor_value": "sensor",
            "get_mic_value": "mic",
            "get_mic_analog_value": "mic_analog",
            "get_battery_value": "battery",
            "get_motor_power": "motor_power",
        }
        for method, field in getters.items():
            with self.subTest(method=method):
                value = getattr(robot, method)()
                self.assertIsInstance(value, int)
                self.assertEqual(value, int(last_status_line()[STATUS_FIELDS[field]]))
        self.assert_sent("#140\r")

    def test_motor_positions_follow_a_move(self):
        robot.motor_set_pos(3, 70)
        self.assert_sent("#132,2,070\r\r")
        position = robot.get_motor_position(3)
        status = last_status_line()
        self.assertEqual(position, int(status[4 + 2]))
        # The cached positions are those of that same status line.
        self.assertEqual(robot.get_motor_positions(), tuple(int(p) for p in status[4:11]))

    def test_motor_commands_put_their_lines_on_the_wire(self):
        commands = [
            (robot.motor_power_on, (600,), "#133,9,0600\r"),
            (robot.motor_start, (), "#134\r\r"),
            (robot.motor_set_pos, (1, 200), "#132,0,180\r\r"),  # clamped
            (robot.motor_set_pos_rel, (2, 15), "#137,1,000\r\r"),
            (robot.motor_pos_all, (10, 20, 30, 40, 50, 60, 70), "#136,010,055,055,040,055,060,070\r\r"),
            (robot.motor_angle_time, (4, 45, 200), "#150,3,045,0200\r\r"),
            (robot.motor_angle_time_rel, (255, 0, 100), "#152,255,000,0100\r\r"),
            (robot.motor_angle_multi_time, (90, 90, 90, 90, 90, 90, 90, 300),
             "#151,090,090,090,090,090,090,090,0300\r\r"),
            (robot.motor_adjust, (5, -3), "#810,4,-003\r\r"),
            (robot.motor_power_off, (), "#131\r"),
        ]
        for method, args, wire_line in commands:
            with self.subTest(method=method.__name__):
                self.assertIsNone(method(*args))
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
        ]
        for method, args, wire_line in commands:
            with self.subTest(method=method.__name__, args=args):
                self.assertIsNone(method(*args))
                self.assert_sent(wire_line)

    def test_refused_arguments_raise_with_the_code_and_send_nothing(self):
        refusals = [
            (robot.get_motor_position, (8,)),
            (robot.motor_set_pos, (0, 90)),
            (robot.motor_power_on, (499,)),
            (robot.voice_speed, (301,)),
            (robot.voice, ("x" * 40,)),
        ]
        for method, args in refusals:
            with self.subTest(method=method.__name__):
                before = len(sim.received())
                with self.assertRaises(tovlink.TovLinkError) as raised:
                    method(*args)
                error = raised.exception
                self.assertEqual(error.code, tovlink.ERR_INVALID_ARGUMENT)
                self.assertEqual(error.name, "TOVLINK_ERR_INVALID_ARGUMENT")
                self.assertEqual(error.operation, "tovlink_" + method.__name__)
                self.assertIn("invalid argument", str(error))
                self.assertEqual(robot.last_error(), tovlink.ERR_INVALID_ARGUMENT)
                self.assertEqual(len(sim.received()), before)

    def test_library_version_and_last_error_through_the_robot(self):
        self.assertEqual(robot.library_version(), tovlink.library_version(LIBRARY))
        robot.led_on(1)
        self.assertEqual(robot.last_error(), tovlink.OK)
        self.assertEqual(tovlink.last_error(LIBRARY), tovlink.OK)


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
                with self.assertRaises(tovlink.TovLinkError) as raised:
                    method(*args)
                self.assertEqual(raised.exception.code, tovlink.ERR_NOT_CONNECTED)
                self.assertEqual(raised.exception.name, "TOVLINK_ERR_NOT_CONNECTED")


class LibraryWithoutRobot(unittest.TestCase):
    def test_version_matches_the_project(self):
        self.assertEqual(tovlink.library_version(LIBRARY), VERSION)

    def test_connect_to_a_missing_port_raises_port_open(self):
        missing = os.path.join(tempfile.gettempdir(), "tovlink-no-such-port")
        with self.assertRaises(tovlink.TovLinkError) as raised:
            tovlink.Robot(missing, library=LIBRARY)
        self.assertEqual(raised.exception.code, tovlink.ERR_PORT_OPEN)
        self.assertEqual(raised.exception.operation, "tovlink_connect")
        self.assertIn("TOVLINK_ERR_PORT_OPEN", str(raised.exception))

    def test_exchange_failure_code_is_named(self):
        error = tovlink.TovLinkError(0xFFFFFFFF, "tovlink_who")
        self.assertEqual(error.name, "TOVLINK_ERR_EXCHANGE")
        self.assertEqual(tovlink.TovLinkError(12345, "x").name, "unknown")

    def test_an_explicit_library_path_is_used_as_given(self):
        self.assertEqual(tovlink.find_library(LIBRARY), LIBRARY)

    def test_a_library_beside_the_module_is_found_first(self):
        # A copy of the module with the library dropped into its folder, as an
        # application may ship them; imported by a fresh interpreter.
        with tempfile.TemporaryDirectory() as folder:
            package = os.path.join(folder, "tovlink")
            shutil.copytree(os.path.dirname(tovlink.__file__), package,
                            ignore=shutil.ignore_patterns("__pycache__", "_install_location.py"))
            beside = os.path.join(package, "libTovLinkLib.so.1")
            shutil.copy(LIBRARY, beside)
            probe = "import tovlink; print(tovlink.find_library()); print(tovlink.library_version())"
            result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                                    env={**os.environ, "PYTHONPATH": folder}, timeout=30)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.split(), [beside, VERSION])

    def test_a_missing_library_says_how_to_point_at_one(self):
        with self.assertRaises(OSError) as raised:
            tovlink.load_library("/nonexistent/libTovLinkLib.so.1")
        self.assertIn("library=PATH", str(raised.exception))


def load_tests(loader, tests, pattern):
    # EndedRobot ends the shared connection, so it runs after ConnectedRobot.
    suite = unittest.TestSuite()
    for case in (ConnectedRobot, EndedRobot, LibraryWithoutRobot):
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite


if __name__ == "__main__":
    unittest.main()
