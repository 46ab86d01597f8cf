"""Motions through the robot service: tovlink.Client and the tovlink tool
against tovlinkd driving a virtual robot whose wire log the test reads
(play by name and inline, progress, refusals while playing, stop from each
client, Ctrl-C, record, the motions folder).

Run by ctest where tovlinkd is built (tests/packaging/CMakeLists.txt sets
TOVLINKD, TOVLINK_SIM, TOVLINK_TOOL and PYTHONPATH).  A service that does
not speak protocol 1.2 (motions) skips them.
"""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import tovlink
from virtual_robot import VirtualRobot, required_environment, stop_process

DAEMON = required_environment("TOVLINKD")
SIM = required_environment("TOVLINK_SIM")
TOOL = required_environment("TOVLINK_TOOL")

sim = None
work = None
daemon = None
socket_path = None


def steps(name, count, gap_ms=300):
    """Keyframes gap_ms apart, motor 7 going 60, 70, 80..."""
    return {"format": 1, "name": name,
            "keyframes": [{"time_ms": index * gap_ms, "angles": [90] * 6 + [60 + 10 * index]}
                          for index in range(count)]}


def moves(since=0):
    return [line for line in sim.received()[since:] if line.startswith("#151,")]


def wait_for_new(line, since, timeout_s):
    """True once `line` reached the robot after its first `since` lines."""
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if line in sim.received()[since:]:
            return True
        time.sleep(0.02)
    return False


def setUpModule():
    global sim, work, daemon, socket_path
    sim = VirtualRobot(SIM).__enter__()
    work = tempfile.mkdtemp(prefix="tovlinkd-motions-")
    socket_path = os.path.join(work, "tovlinkd.sock")
    daemon = subprocess.Popen([DAEMON, "--socket", socket_path, "--robot", f"arm={sim.port}",
                               "--motions-dir", os.path.join(work, "motions")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if daemon.poll() is not None:
            break
        try:
            with tovlink.Client(socket_path) as client:
                if [robot["state"] for robot in client.devices()] == ["ready"]:
                    return
        except tovlink.ServiceError:
            pass
        time.sleep(0.2)
    problem = daemon.stderr.read() if daemon.poll() is not None else "never ready"
    tearDownModule()
    if "--motions-dir" in problem:
        raise unittest.SkipTest("this tovlinkd has no motions (--motions-dir)")
    raise RuntimeError(f"tovlinkd's robot did not become ready: {problem}")


def tearDownModule():
    if daemon is not None:
        stop_process(daemon)
    if sim is not None:
        sim.__exit__(None, None, None)
    if work is not None:
        shutil.rmtree(work, ignore_errors=True)


def run_tool(*args):
    environment = {**os.environ, "TOVLINK_PORT": "", "TOVLINK_DAEMON": "",
                   "XDG_RUNTIME_DIR": "/nonexistent/tovlink-test"}
    return subprocess.run([TOOL, "--daemon", socket_path, "--robot", "arm", *args],
                          capture_output=True, text=True, timeout=30, env=environment,
                          stdin=subprocess.DEVNULL)


class ClientMotions(unittest.TestCase):
    def setUp(self):
        self.client = tovlink.Client(socket_path, robot="arm")
        self.addCleanup(self.client.close)
        proto = self.client.service_version.get("proto", {})
        if proto.get("minor", 0) < 2:
            self.skipTest(f"the service speaks protocol 1.{proto.get('minor', 0)}, without motions")

    def test_saved_motion_plays_by_name_with_its_progress(self):
        saved = self.client.save_motion(steps("client-steps", 3))
        self.assertEqual(saved, {"name": "client-steps", "clamped": []})
        listed = {entry["name"]: entry for entry in self.client.motions()}
        self.assertEqual((listed["client-steps"]["keyframes"], listed["client-steps"]["shipped"]),
                         (3, False))
        self.assertEqual(self.client.get_motion("client-steps")["keyframes"],
                         steps("client-steps", 3)["keyframes"])
        before = len(sim.received())
        seen = []
        last = self.client.play("client-steps", on_progress=seen.append)
        self.assertEqual((last["motion"], last["state"], last["keyframes"]),
                         ("client-steps", "finished", 3))
        self.assertEqual(seen[-1]["state"], "finished")
        self.assertTrue(wait_for_new("#151,090,090,090,090,090,090,080,0300\r\r", before, 2))
        self.assertEqual(moves(before), ["#151,090,090,090,090,090,090,060,0000\r\r",
                                         "#151,090,090,090,090,090,090,070,0300\r\r",
                                         "#151,090,090,090,090,090,090,080,0300\r\r"])
        # A speed beyond what the service says it takes is refused before a move.
        fastest = self.client.motion_limits["speed"][1]
        with self.assertRaises(tovlink.TovLinkError) as caught:
            self.client.play("client-steps", speed=fastest * 2)
        self.assertEqual((caught.exception.name, caught.exception.sent), ("bad_request", False))
        self.client.delete_motion("client-steps")
        with self.assertRaises(tovlink.TovLinkError) as caught:
            self.client.play("client-steps")
        self.assertEqual(caught.exception.name, "unknown_motion")

    def test_motor_commands_are_refused_while_a_motion_plays_and_stop_ends_it(self):
        before = len(sim.received())
        report = self.client.start_play(steps("inline", 8), loops=0)
        self.assertEqual((report["motion"], report["keyframes"], report["loops"]),
                         ("inline", 8, 0))
        try:
            with self.assertRaises(tovlink.TovLinkError) as caught:
                self.client.move(1, 90)
            self.assertEqual((caught.exception.name, caught.exception.sent),
                             ("motion_playing", False))
            self.assertIn('"inline"', str(caught.exception))
            self.client.led_on(3)  # LEDs pass
            paused = self.client.pause()
            self.assertEqual(paused["state"], "paused")
            self.client.resume()
        finally:
            stopped = self.client.stop()
        self.assertEqual(stopped["state"], "stopped")
        count = len(moves(before))
        time.sleep(0.7)
        self.assertEqual(len(moves(before)), count)
        with self.assertRaises(tovlink.TovLinkError) as caught:
            self.client.stop()
        self.assertEqual(caught.exception.name, "no_motion")
        with self.assertRaises(ValueError) as caught:
            self.client.play({"format": 1, "name": "bad", "keyframes": [{"time_ms": 0}]})
        self.assertEqual(caught.exception.name, "bad_motion")

    def test_record_through_the_service(self):
        recorded = self.client.record(0.3, interval_ms=20, name="held")
        self.assertEqual(recorded["name"], "held")
        self.assertGreaterEqual(len(recorded["keyframes"]), 1)
        self.assertEqual(len(recorded["keyframes"][0]["angles"]), 7)


class ToolMotions(unittest.TestCase):
    def setUp(self):
        with tovlink.Client(socket_path) as client:
            if client.service_version.get("proto", {}).get("minor", 0) < 2:
                self.skipTest("the service has no motions")
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def test_save_list_play_delete(self):
        path = os.path.join(self.folder.name, "tool-steps.json")
        with open(path, "w", encoding="utf-8") as file:
            json.dump(steps("tool-steps", 2), file)
        saved = run_tool("motions", "save", path)
        self.assertEqual(saved.returncode, 0, saved.stderr)
        listed = run_tool("--json", "motions")
        names = [entry["name"] for entry in json.loads(listed.stdout)["motions"]]
        self.assertIn("tool-steps", names)
        before = len(sim.received())
        played = run_tool("--json", "play", "tool-steps", "--speed", "2")
        self.assertEqual(played.returncode, 0, played.stderr)
        self.assertEqual(json.loads(played.stdout)["state"], "finished")
        self.assertEqual(moves(before)[-1], "#151,090,090,090,090,090,090,070,0150\r\r")
        self.assertEqual(run_tool("motions", "delete", "tool-steps").returncode, 0)
        self.assertNotIn("tool-steps",
                         [e["name"] for e in json.loads(run_tool("--json", "motions").stdout)
                          ["motions"]])

    def test_ctrl_c_sends_stop_and_the_robot_gets_no_more_moves(self):
        path = os.path.join(self.folder.name, "forever.json")
        with open(path, "w", encoding="utf-8") as file:
            json.dump(steps("forever", 6), file)
        before = len(sim.received())
        environment = {**os.environ, "TOVLINK_PORT": "", "TOVLINK_DAEMON": ""}
        process = subprocess.Popen([TOOL, "--daemon", socket_path, "--robot", "arm", "play", path,
                                    "--loop", "0"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, env=environment)
        try:
            self.assertTrue(wait_for_new("#151,090,090,090,090,090,090,080,0300\r\r", before,
                                         timeout_s=10))
            process.send_signal(signal.SIGINT)
            _, err = process.communicate(timeout=10)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        self.assertEqual(process.returncode, 130, err)
        count = len(moves(before))
        time.sleep(0.7)
        self.assertEqual(len(moves(before)), count)
        with tovlink.Client(socket_path, robot="arm") as client:
            client.move(1, 90)  # motor commands pass again

    def test_record_writes_the_service_s_recording(self):
        path = os.path.join(self.folder.name, "kept.json")
        done = run_tool("--json", "record", path, "--seconds", "0.4", "--interval", "20")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(json.loads(done.stdout)["name"], "kept")
        with open(path, encoding="utf-8") as file:
            self.assertEqual(json.load(file)["name"], "kept")


if __name__ == "__main__":
    unittest.main()
