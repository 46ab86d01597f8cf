"""The Python package as a user gets it: installed with pip into a virtual
environment, then used end to end against the virtual robot; and a connect
that Ctrl-C interrupts.

The package is installed as `pip install --no-index ./python` into a fresh
virtual environment: it builds its own copy of the native libraries with
CMake, and is used with no environment variable pointing at them.

Run by ctest (tests/packaging/CMakeLists.txt), which sets TOVLINK_SIM,
TOVLINK_LIBRARY (for the interrupted connect, run from the source tree),
TOVLINK_PYTHON_SOURCE (the source tree's python/ folder) and PYTHONPATH.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

from virtual_robot import VirtualRobot, required_environment

LIBRARY = required_environment("TOVLINK_LIBRARY")
SIM = required_environment("TOVLINK_SIM")
SOURCE = required_environment("TOVLINK_PYTHON_SOURCE")


def venv_interpreter():
    """A python3 that makes virtual environments with pip in them."""
    for python in (sys.executable, "/usr/bin/python3"):
        if not os.path.exists(python):
            continue
        probe = subprocess.run([python, "-c", "import venv, ensurepip"], capture_output=True,
                               timeout=60)
        if probe.returncode == 0:
            return python
    return None


def source_files():
    found = set()
    for folder, _, files in os.walk(SOURCE):
        found.update(os.path.join(folder, name) for name in files if "__pycache__" not in folder)
    return found


def clean_environment(**extra):
    env = {key: value for key, value in os.environ.items()
           if key not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "LD_LIBRARY_PATH",
                          "LD_PRELOAD")}
    env.update(extra)
    return env


class PipInstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        python = venv_interpreter()
        if python is None:
            raise unittest.SkipTest("no python3 here makes virtual environments (python3-venv)")
        cls.work = tempfile.mkdtemp(prefix="tovlink-pip-")
        # A fresh environment that sees no system package, and pip without a
        # package index: the build needs CMake and the compiler alone.
        cls.venv = os.path.join(cls.work, "venv")
        subprocess.run([python, "-m", "venv", cls.venv], check=True, capture_output=True,
                       timeout=120)
        cls.python = os.path.join(cls.venv, "bin", "python")
        before = source_files()
        result = subprocess.run([cls.python, "-m", "pip", "install", "--no-index", SOURCE],
                                capture_output=True, text=True, timeout=600,
                                env=clean_environment())
        if result.returncode != 0:
            raise AssertionError(f"pip install failed:\n{result.stdout}{result.stderr}")
        cls.left_in_source = source_files() - before

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_in_venv(self, script, *args):
        result = subprocess.run([self.python, "-c", textwrap.dedent(script), *args],
                                capture_output=True, text=True, timeout=60, cwd=self.work,
                                env=clean_environment())
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_installed_with_its_metadata_type_marker_and_own_libraries(self):
        output = self.run_in_venv("""
            import importlib.metadata, os, tovlink
            print(tovlink.__file__)
            print(importlib.metadata.version("tovlink"))
            print(os.path.exists(os.path.join(os.path.dirname(tovlink.__file__), "py.typed")))
            print(tovlink.find_library())
            print(tovlink.library_version())
            from tovlink import _library, motion
            print(_library.find_motion_library())
            checked = motion.check_motion({"format": 1, "name": "n", "keyframes": [
                {"time_ms": 0, "angles": [90, 10, 90, 90, 90, 90, 90]}]})
            print(checked["clamped"][0]["sent"])
        """)
        (location, version, typed, library, library_version, motion_library,
         clamped_to) = output.split()
        package = os.path.dirname(location)
        self.assertTrue(location.startswith(self.venv), location)
        self.assertEqual(version, "1.0.0.3")
        self.assertEqual(typed, "True")
        self.assertEqual(library, os.path.join(package, "libTovLinkCxx.so.1"))
        self.assertEqual(library_version, version)
        # The motion library came along, beside it, and loads.
        self.assertEqual(motion_library, os.path.join(package, "libTovLinkMotion.so.1"))
        self.assertEqual(clamped_to, "55")
        # The build left nothing behind in the source tree.
        self.assertEqual(self.left_in_source, set())

    def test_used_end_to_end_against_the_robot(self):
        # Every 7th reply withheld: the adapter dialogue has four, so the
        # third query after the connect times out.
        with VirtualRobot(SIM, "--drop-every", "7") as sim:
            output = self.run_in_venv("""
                import json, sys, tovlink
                with tovlink.Robot(sys.argv[1]) as robot:
                    move = robot.move(2, 10)                      # reply 5
                    report = {"move": str(move), "clamped": move.clamped}
                    robot.who()                                   # reply 6
                    try:
                        robot.who()                               # reply 7: withheld
                    except TimeoutError as error:
                        report["timeout"] = str(error)
                        report["sent"] = error.sent
                    report["positions"] = robot.telemetry().positions
                try:
                    robot.who()
                except tovlink.NotConnectedError as error:
                    report["ended"] = str(error)
                print(json.dumps(report))
            """, sim.port)
            self.assertTrue(sim.wait_for_received("#132,1,055\r\r"))
        report = json.loads(output.splitlines()[-1])
        self.assertEqual(report["move"], "motor 2 to 55 (asked 10; motor 2 takes 55-125)")
        self.assertTrue(report["clamped"])
        # The query went out; the robot never answered it.
        self.assertEqual(report["timeout"], "query who: no complete reply from the robot within "
                                            "1.5 s (the command was sent and may have acted)")
        self.assertIs(report["sent"], True)
        self.assertIn("not connected", report["ended"])
        self.assertEqual(report["positions"], [90, 55, 90, 90, 90, 90, 90])


class InterruptedConnect(unittest.TestCase):
    def test_ctrl_c_stops_waiting_at_once_and_the_connection_is_ended(self):
        script = textwrap.dedent("""
            import sys, time, tovlink
            print("connecting", flush=True)
            try:
                tovlink.Robot(sys.argv[1], library=sys.argv[2])
            except KeyboardInterrupt:
                print("interrupted", flush=True)
            time.sleep(8)  # still running: the port must close without its exit
        """)
        with VirtualRobot(SIM) as sim:
            child = subprocess.Popen([sys.executable, "-c", script, sim.port, LIBRARY],
                                     stdout=subprocess.PIPE, text=True)
            try:
                self.assertEqual(child.stdout.readline().strip(), "connecting")
                self.assertTrue(sim.wait_for_received("R,1\r", timeout_s=5))
                interrupted_at = time.monotonic()
                child.send_signal(signal.SIGINT)
                self.assertEqual(child.stdout.readline().strip(), "interrupted")
                # The connect's fixed pauses take 3.5 s; it stops at once and
                # closes the port it opened, though the program goes on.
                self.assertLess(time.monotonic() - interrupted_at, 1.0)
                self.assertTrue(sim.wait_for_event("host closed the port", timeout_s=1.5))
                self.assertIsNone(child.poll())
            finally:
                child.kill()
                child.wait()
                child.stdout.close()


if __name__ == "__main__":
    unittest.main()
