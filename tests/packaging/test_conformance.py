"""The contract's table of cases (tests/conformance/cases.json) against
tovlink.Robot and tovlink.Client: each row's wire bytes, read from the
virtual robots' logs, and its error (name, message, sent) or its result.

Robot drives two tovlink-sim robots of its own; Client drives two more
through a tovlinkd started here.  Of each pair, one never answers `who`
(the rows with peer "ignore_who").  Run by ctest, which sets TOVLINK_SIM,
TOVLINK_LIBRARY, TOVLINKD, TOVLINK_CONFORMANCE_CASES and PYTHONPATH.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
from contextlib import ExitStack

import tovlink
from virtual_robot import VirtualRobot, required_environment, stop_process

SIM = required_environment("TOVLINK_SIM")
LIBRARY = required_environment("TOVLINK_LIBRARY")
DAEMON = required_environment("TOVLINKD")
CASES = required_environment("TOVLINK_CONFORMANCE_CASES")

PEER_OPTIONS = {"": (), "ignore_who": ("--ignore", "#800")}
POLL = "#140\r"  # the service's telemetry polls are not part of any case
MARKER = "#805\r"  # `info`, asked after each case: its line ends the case's bytes
WAIT_S = 20


def run_operation(robot, op, args):
    """A row's operation on a Robot or a Client (the same methods); returns
    the values the row's `result` names."""
    time_ms = args.get("time_ms")
    if op == "move":
        sent = robot.move(args["motor"], args["angle"], time_ms)
        if isinstance(sent, tovlink.Pose):
            return {"angles": list(sent.angles)}
        return {"angle": sent.angle, "range": list(sent.range)}
    if op == "pose":
        return {"angles": list(robot.pose(args["angles"], time_ms).angles)}
    if op == "move_relative":
        robot.move_relative(args["motor"], time_ms)
    elif op == "adjust":
        robot.adjust(args["motor"], args["offset"])
    elif op == "power":
        if args["on"]:
            robot.power_on(args.get("value"))
        else:
            robot.power_off()
    elif op == "led":
        (robot.led_on if args["on"] else robot.led_off)(args["led"])
    elif op == "tone":
        robot.tone(args["first"], args["second"])
    elif op == "say":
        robot.say(args["text"])
    elif op == "speed":
        robot.speech_speed(args["speed"])
    elif op == "query":
        return {"text": robot.query(args["query"])}
    else:
        raise AssertionError(f"no Python mapping for {op}")
    return {}


def wire_since(sim, start):
    """The bytes sim received from entry `start` up to the marker line."""
    deadline = time.monotonic() + WAIT_S
    while True:
        lines = sim.received()[start:]
        if MARKER in lines:
            return "".join(line for line in lines[:lines.index(MARKER)] if line != POLL)
        if time.monotonic() > deadline:
            return f"(no marker {MARKER!r} in {lines!r})"
        time.sleep(0.02)


def start_daemon(stack, sims):
    """tovlinkd on a socket of its own, driving `sims` by peer name; returns
    the socket's path once every robot is ready."""
    work = tempfile.mkdtemp(prefix="tovlink-conformance-")
    stack.callback(shutil.rmtree, work, ignore_errors=True)
    socket_path = os.path.join(work, "tovlinkd.sock")
    command = [DAEMON, "--socket", socket_path]
    for peer, sim in sims.items():
        command += ["--robot", f"{peer or 'plain'}={sim.port}"]
    daemon = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True)

    def stop():
        stop_process(daemon)

    stack.callback(stop)
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        if daemon.poll() is not None:
            raise RuntimeError(f"tovlinkd exited: {daemon.stderr.read()}")
        try:
            with tovlink.Client(socket_path) as client:
                if all(robot["state"] == "ready" for robot in client.devices()):
                    return socket_path
        except tovlink.ServiceError:
            pass
        time.sleep(0.2)
    raise RuntimeError("tovlinkd's robots never became ready")


class ContractTable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(CASES, encoding="utf-8") as file:
            cls.cases = json.load(file)["cases"]
        stack = ExitStack()
        cls.addClassCleanup(stack.close)
        # interface name -> {peer: (the interface's handle, its robot's wire log)}
        cls.interfaces = {}
        direct = {peer: stack.enter_context(VirtualRobot(SIM, *options))
                  for peer, options in PEER_OPTIONS.items()}
        cls.interfaces["Robot"] = {
            peer: (stack.enter_context(tovlink.Robot(sim.port, library=LIBRARY)), sim)
            for peer, sim in direct.items()}
        served = {peer: stack.enter_context(VirtualRobot(SIM, *options))
                  for peer, options in PEER_OPTIONS.items()}
        socket_path = start_daemon(stack, served)
        cls.interfaces["Client"] = {
            peer: (stack.enter_context(tovlink.Client(socket_path, robot=peer or "plain")), sim)
            for peer, sim in served.items()}

    def check_row(self, case, robot, sim):
        start = len(sim.received())
        try:
            got = run_operation(robot, case["op"], case["args"])
            error = None
        except tovlink.TovLinkError as raised:
            got, error = {}, raised
        robot.info()  # the marker
        self.assertEqual(wire_since(sim, start), case["wire"])
        if "error" in case:
            self.assertIsNotNone(error, f"succeeded with {got}")
            self.assertEqual((error.name, str(error), error.sent),
                             (case["error"], case["message"], case["sent"]))
        else:
            self.assertIsNone(error)
            for key, value in case.get("result", {}).items():
                self.assertEqual(got.get(key), value, key)

    def test_every_row_on_robot_and_client(self):
        for interface, peers in self.interfaces.items():
            for case in self.cases:
                robot, sim = peers[case.get("peer", "")]
                with self.subTest(interface=interface, case=case["name"]):
                    self.check_row(case, robot, sim)
        # Both read one contract: the library's.
        client = self.interfaces["Client"][""][0]
        self.assertEqual(client.contract, tovlink.library_contract(LIBRARY))
        self.assertEqual(sorted(client.contract.leds), list(range(1, 7)))


if __name__ == "__main__":
    unittest.main()
