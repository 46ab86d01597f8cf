"""The example hosts in examples/ against the virtual robot: each one must
connect, report the robot's own telemetry, put its move on the wire and end;
and fail plainly when the port is missing.

ctest runs one test case per example (tests/packaging/CMakeLists.txt), with
TOVLINK_SIM, TOVLINK_VERSION and the example's own variable set:
TOVLINK_EXAMPLE_C, TOVLINK_EXAMPLE_CPP (programs), or TOVLINK_EXAMPLE_PY (the
script, run with this interpreter) with TOVLINK_LIBRARY and PYTHONPATH.
"""

import os
import subprocess
import sys
import tempfile
import unittest

from virtual_robot import VirtualRobot, required_environment

RUN_TIMEOUT_S = 60
MISSING_PORT = os.path.join(tempfile.gettempdir(), "tovlink-no-such-port")


def status_lines(sim):
    return [line.rstrip("\r\n").split(",") for line in sim.sent() if line.startswith("S,")]


class Examples(unittest.TestCase):
    def run_example(self, command):
        # The library writes two of its diagnostics in Shift-JIS.
        return subprocess.run(command, capture_output=True, encoding="utf-8", errors="replace",
                              timeout=RUN_TIMEOUT_S)

    def run_against_robot(self, command_before_port, command_after_port=()):
        """Runs the example against a fresh virtual robot; returns its output
        lines and the robot."""
        with VirtualRobot(required_environment("TOVLINK_SIM")) as sim:
            result = self.run_example([*command_before_port, sim.port, *command_after_port])
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        self.assertIn("TovLinkLib " + required_environment("TOVLINK_VERSION"), lines)
        return lines, sim

    def assert_reached_robot(self, sim, *wire_lines):
        received = sim.received()
        for line in wire_lines:
            self.assertIn(line, received)

    def assert_value_from_status(self, lines, label, field, sim):
        """`label <n>` is printed with n one the robot really reported."""
        printed = [line for line in lines if line.startswith(label + " ")]
        self.assertEqual(len(printed), 1, lines)
        reported = {int(status[field]) for status in status_lines(sim)}
        self.assertIn(int(printed[0].split()[-1]), reported)

    def assert_missing_port_fails(self, command_before_port, command_after_port=(),
                                  messages=("tovlink_connect failed", "10001")):
        result = self.run_example([*command_before_port, MISSING_PORT, *command_after_port])
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        for message in messages:
            self.assertIn(message, result.stderr)

    def test_c_host(self):
        program = [required_environment("TOVLINK_EXAMPLE_C")]
        lines, sim = self.run_against_robot(program)
        self.assertTrue(any(line.startswith("robot WHO,") for line in lines), lines)
        self.assert_value_from_status(lines, "battery", 12, sim)
        self.assert_value_from_status(lines, "sensor", 1, sim)
        self.assertIn("motor 2 sent to 100", lines)
        self.assert_reached_robot(sim, "#800\r", "#140\r", "#130\r", "#133,9,0500\r",
                                  "#132,1,100\r\r")
        self.assert_missing_port_fails(program)
        self.assertEqual(self.run_example(program).returncode, 2)  # no port: usage

    def test_cpp_host(self):
        program = [required_environment("TOVLINK_EXAMPLE_CPP")]
        lines, sim = self.run_against_robot(program)
        self.assert_value_from_status(lines, "battery", 12, sim)
        self.assert_value_from_status(lines, "mic", 2, sim)
        positions = [line.split()[1:] for line in lines if line.startswith("positions ")]
        self.assertIn(positions[0], [status[4:11] for status in status_lines(sim)])
        self.assert_reached_robot(sim, "#133,9,0500\r", "#151,090,060,120,090,060,120,090,0500\r\r")
        self.assert_missing_port_fails(program)

    def test_python_host(self):
        script = required_environment("TOVLINK_EXAMPLE_PY")
        library = ["--library", required_environment("TOVLINK_LIBRARY")]
        lines, sim = self.run_against_robot([sys.executable, script], library)
        self.assertTrue(any(line.startswith("robot WHO,") for line in lines), lines)
        self.assert_value_from_status(lines, "battery", 12, sim)
        self.assertIn("motor 2 sent to 100 over 300 ms", lines)
        self.assert_reached_robot(sim, "#800\r", "#133,9,0500\r", "#150,1,100,0300\r\r")
        # The Python module's PortError names the port and the system's reason.
        self.assert_missing_port_fails(
            [sys.executable, script], library,
            [f"connect to {MISSING_PORT}: could not open the serial port: No such file or directory"])


if __name__ == "__main__":
    unittest.main()
