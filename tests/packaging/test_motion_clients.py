"""Motions from the clients, against the virtual robot: Python's Robot.play
and Robot.record (through libTovLinkMotion) and the tovlink tool's play,
record and motions on a port of its own, checked on the robot's wire log.

Run by ctest (tests/packaging/CMakeLists.txt), which sets TOVLINK_SIM,
TOVLINK_LIBRARY, TOVLINK_TOOL and PYTHONPATH.
"""

import _thread
import json
import os
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import tovlink
from tovlink import motion as motions
from virtual_robot import VirtualRobot, required_environment

LIBRARY = required_environment("TOVLINK_LIBRARY")
SIM = required_environment("TOVLINK_SIM")
TOOL = required_environment("TOVLINK_TOOL")

# The robot's clock and ours both stamp the wire: a keyframe's line may be
# this late or early against the schedule on a busy shared machine.  The
# schedule's precision is measured by the benchmark, not here.
SCHEDULE_SLACK_S = 0.15


def motion(name, steps, start=None):
    """A motion of keyframes `steps` ms apart, motor 7 going 60, 70, 80...;
    motor 2 of the first keyframe asks 10 (its range starts at 55)."""
    frames = []
    for index in range(steps):
        angles = [90, 90, 90, 90, 90, 90, 60 + 10 * index]
        frames.append({"time_ms": index * 300, "angles": angles})
    frames[0]["angles"][1] = 10 if start is None else start
    return {"format": 1, "name": name, "keyframes": frames}


def timed_moves(sim, since=0):
    """(log time, line) of the seven-angle timed moves the robot received."""
    return [(at, line) for at, line in sim.received_timed()[since:] if line.startswith("#151,")]


def move_line(angles, time_ms):
    return "#151," + ",".join(f"{angle:03d}" for angle in angles) + f",{time_ms:04d}\r\r"


class RobotPlaysAndRecords(unittest.TestCase):
    """One connection for the class (each costs 3.5 s)."""

    @classmethod
    def setUpClass(cls):
        cls.sim = VirtualRobot(SIM, "--hand").__enter__()
        try:
            cls.robot = tovlink.Robot(cls.sim.port, library=LIBRARY)
        except BaseException:
            cls.sim.__exit__(None, None, None)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.robot.end()
        cls.sim.__exit__(None, None, None)

    def test_each_keyframe_goes_out_as_one_timed_move_at_its_time(self):
        before = len(self.sim.received_timed())
        seen = []
        threads = set()

        def on_progress(progress):
            seen.append(progress)
            threads.add(threading.get_ident())

        last = self.robot.play(motion("steps", 4), on_progress=on_progress)
        self.assertEqual(last["state"], "finished")
        self.assertEqual((last["keyframes"], last["duration_ms"]), (4, 900))
        # Each move heads for the next keyframe over the time between them:
        # the robot interpolates.  Motor 2's 10 went out as 55, its lowest.
        expected = [move_line([90, 55, 90, 90, 90, 90, 60], 0),
                    move_line([90, 90, 90, 90, 90, 90, 70], 300),
                    move_line([90, 90, 90, 90, 90, 90, 80], 300),
                    move_line([90, 90, 90, 90, 90, 90, 90], 300)]
        self.assertTrue(self.sim.wait_for_received(expected[-1]))
        moves = timed_moves(self.sim, before)
        self.assertEqual([line for _, line in moves], expected)
        # Move k goes out when the robot must start towards keyframe k:
        # at keyframe k-1's time, counted from the first line.
        first = moves[0][0]
        for index, (at, _) in enumerate(moves[1:], start=1):
            self.assertAlmostEqual(at - first, (index - 1) * 0.3, delta=SCHEDULE_SLACK_S,
                                   msg=f"move {index}")
        # Progress reached the caller's thread, in order, ending once.
        self.assertEqual(threads, {threading.get_ident()})
        self.assertEqual([p["keyframe"] for p in seen if p["state"] == "playing"], [0, 1, 2, 3])
        self.assertEqual([p["state"] for p in seen].count("finished"), 1)
        self.assertEqual(seen[-1], last)

    def test_start_play_reports_clamping_and_can_be_paused_and_stopped(self):
        before = len(self.sim.received_timed())
        with self.robot.start_play(motion("long", 8), speed=2, loops=0) as play:
            self.assertEqual(play.report["clamped"],
                             [{"keyframe": 0, "motor": 2, "requested": 10, "sent": 55}])
            self.assertEqual((play.report["loops"], play.report["speed"]), (0, 2))
            self.assertTrue(self.sim.wait_for_received(
                move_line([90, 90, 90, 90, 90, 90, 70], 150)))
            play.pause()
            paused_at = len(timed_moves(self.sim, before))
            time.sleep(0.5)  # a few keyframes' time at speed 2
            self.assertEqual(play.progress()["state"], "paused")
            self.assertLessEqual(len(timed_moves(self.sim, before)), paused_at + 1)
            play.resume()
            self.assertIsNone(play.wait(0.3))  # loops until stopped
            play.stop()
            last = play.wait(2)
            self.assertEqual(last["state"], "stopped")
            self.assertIsNone(play.error())
        stopped_at = len(timed_moves(self.sim, before))
        time.sleep(0.4)
        self.assertEqual(len(timed_moves(self.sim, before)), stopped_at)

    def test_a_bad_motion_is_refused_naming_the_field_and_nothing_is_sent(self):
        before = len(self.sim.received())
        bad = motion("bad", 2)
        bad["keyframes"][1]["angles"][3] = "up"
        with self.assertRaises(tovlink.ArgumentError) as caught:
            self.robot.play(bad)
        self.assertIn("keyframes[1].angles[3]", str(caught.exception))
        self.assertIs(caught.exception.sent, False)
        with self.assertRaises(tovlink.ArgumentError) as caught:
            self.robot.play(motion("fast", 2), speed=50)
        self.assertIn("speed", str(caught.exception))
        with self.assertRaises(tovlink.ArgumentError):
            self.robot.play(os.path.join(tempfile.gettempdir(), "no-such-motion.json"))
        self.assertEqual(self.sim.received()[before:], [])

    def test_ctrl_c_stops_the_play_and_nothing_more_goes_out(self):
        before = len(self.sim.received_timed())
        timer = threading.Timer(0.45, _thread.interrupt_main)
        timer.start()
        try:
            with self.assertRaises(KeyboardInterrupt):
                self.robot.play(motion("interrupted", 8))
        finally:
            timer.cancel()
        sent = len(timed_moves(self.sim, before))
        self.assertGreaterEqual(sent, 2)
        self.assertLess(sent, 8)
        time.sleep(0.7)  # two more keyframes' time
        self.assertEqual(len(timed_moves(self.sim, before)), sent)
        self.assertEqual(len(self.robot.motor_positions()), 7)  # the robot still serves

    def test_teach_by_hand_then_play_it_back(self):
        self.robot.power_off()
        self.sim.move_by_hand(7, 60)
        with self.robot.start_recording(interval_ms=20) as recording:
            time.sleep(0.1)
            # A steady sweep of motor 7, then back part of the way: a hand
            # turns it a degree or two at a time.
            for angle in list(range(60, 151, 2)) + list(range(148, 119, -2)):
                self.sim.move_by_hand(7, angle)
                time.sleep(0.01)
            time.sleep(0.1)
            taught = recording.stop(tolerance=3, name="taught")
        self.assertEqual(taught["name"], "taught")
        frames = taught["keyframes"]
        self.assertGreaterEqual(recording.samples, 30)
        # A handful: the sweep, the turn, the way back (and a few more where
        # a busy machine made the hand stall).
        self.assertLessEqual(len(frames), 12)
        self.assertLess(len(frames), recording.samples / 4)
        sevens = [frame["angles"][6] for frame in frames]
        self.assertEqual(sevens[0], 60)
        self.assertEqual(max(sevens), 150)
        self.assertEqual(sevens[-1], 120)
        self.assertEqual(motions.check_motion(taught, LIBRARY)["clamped"], [])

        self.sim.move_by_hand(7, 90)
        self.robot.power_on()
        before = len(self.sim.received_timed())
        self.robot.play(taught)
        moves = [line for _, line in timed_moves(self.sim, before)]
        self.assertEqual(len(moves), len(frames))
        self.assertIn(move_line([90] * 6 + [150], 0)[:32], [line[:32] for line in moves])
        self.assertTrue(moves[-1].startswith("#151,090,090,090,090,090,090,120,"))

        record = self.robot.record(0.2, interval_ms=20, name="still")
        self.assertEqual(record["name"], "still")
        self.assertGreaterEqual(len(record["keyframes"]), 1)
        with self.assertRaises(tovlink.ArgumentError):
            self.robot.record(0.1, interval_ms=5)

    def test_motion_files_round_trip(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "steps.json")
            motions.save_motion(motion("steps", 3), path)
            loaded = motions.load_motion(path)
            self.assertEqual(loaded, motion("steps", 3))
            checked = motions.check_motion(path, LIBRARY)
            self.assertEqual((checked["keyframes"], checked["duration_ms"]), (3, 600))
            self.assertEqual(checked["motion"]["keyframes"][0]["angles"][1], 55)
            self.assertEqual(os.listdir(folder), ["steps.json"])


class ToolPlaysAndRecords(unittest.TestCase):
    """tovlink on a port of its own (each run connects: 3.5 s)."""

    def setUp(self):
        self.sim = VirtualRobot(SIM).__enter__()
        self.addCleanup(self.sim.__exit__, None, None, None)
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def motion_file(self, document):
        path = os.path.join(self.folder.name, document["name"] + ".json")
        with open(path, "w", encoding="utf-8") as file:
            json.dump(document, file)
        return path

    def tool(self, *args):
        return subprocess.run([TOOL, "--port", self.sim.port, *args], capture_output=True,
                              text=True, timeout=60)

    def test_play_with_progress_and_json(self):
        done = self.tool("--json", "play", self.motion_file(motion("steps", 4)), "--speed", "2")
        self.assertEqual(done.returncode, 0, done.stderr)
        result = json.loads(done.stdout.strip().splitlines()[-1])
        self.assertEqual((result["command"], result["ok"], result["state"], result["keyframes"]),
                         ("play", True, "finished", 4))
        self.assertEqual([line for _, line in timed_moves(self.sim)][-1],
                         move_line([90, 90, 90, 90, 90, 90, 90], 150))
        # Without --json and a terminal: one plain line per progress.
        shown = self.tool("play", self.motion_file(motion("plain", 2)))
        self.assertEqual(shown.returncode, 0, shown.stderr)
        lines = shown.stdout.splitlines()
        self.assertRegex(lines[-1], r"^plain  keyframe 2/2  0\.3/0\.3 s  finished$")
        self.assertIn("keyframe 1 motor 2: asked 10, sent 55", shown.stderr)

    def test_ctrl_c_stops_the_robot(self):
        path = self.motion_file(motion("forever", 6))
        before = len(self.sim.received_timed())
        process = subprocess.Popen([TOOL, "--port", self.sim.port, "play", path, "--loop", "0"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertTrue(self.sim.wait_for_received(
                move_line([90, 90, 90, 90, 90, 90, 80], 300), timeout_s=15))
            process.send_signal(signal.SIGINT)
            out, err = process.communicate(timeout=10)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        self.assertEqual(process.returncode, 130, err)
        self.assertIn("the motion was stopped at keyframe", err)
        sent = len(timed_moves(self.sim, before))
        time.sleep(0.7)
        self.assertEqual(len(timed_moves(self.sim, before)), sent)

    def test_record_writes_a_motion_file_and_motions_need_the_service(self):
        path = os.path.join(self.folder.name, "still.json")
        done = self.tool("--json", "record", path, "--seconds", "0.5", "--interval", "20")
        self.assertEqual(done.returncode, 0, done.stderr)
        result = json.loads(done.stdout.strip().splitlines()[-1])
        self.assertEqual((result["file"], result["name"]), (path, "still"))
        self.assertGreaterEqual(result["samples"], 10)
        saved = motions.check_motion(path, LIBRARY)
        self.assertEqual(saved["motion"]["name"], "still")
        self.assertEqual(saved["keyframes"], result["keyframes"])

        refused = self.tool("record", path, "--seconds", "1", "--name", "no/slash")
        self.assertEqual(refused.returncode, 2)
        self.assertIn("--name", refused.stderr)
        by_name = self.tool("play", "wave")
        self.assertEqual(by_name.returncode, 2)
        self.assertIn("names a motion of the service's", by_name.stderr)
        listed = self.tool("motions")
        self.assertEqual(listed.returncode, 1)
        self.assertIn("the motions folder is the service's", listed.stderr)


if __name__ == "__main__":
    unittest.main()
