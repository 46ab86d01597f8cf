#!/usr/bin/env python3
"""A fleet starting a motion together: several tovlinkd daemons on one MQTT
broker, each with virtual robots (tovlink-sim processes, their wire logs
kept), and a play sent to the whole site with the daemons' fleet_all, which
gives it a start time a second ahead.

For each play, the time stamp of each robot's first keyframe line ("#151")
in its wire log is compared with the start time and with the other robots':
the spread (latest - earliest) over the whole fleet, and each robot's
lateness.  The wire logs stamp to the millisecond.

Needs mosquitto and mosquitto-clients (mosquitto_sub).  Everything listens
on 127.0.0.1 only.

    bench/fleet/motion_start_bench.py --tovlinkd build/service/tovlinkd \\
        --sim build/sim/tovlink-sim --daemons 3 --robots 10 --plays 10
"""

import argparse
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SITE = "bench"
KEYFRAME = re.compile(r'^(\d\d):(\d\d):(\d\d)\.(\d\d\d) rx "#151,')


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def local_day_ms(unix_ms):
    """The wire log's stamp (milliseconds of the local day) of a Unix time."""
    local = time.localtime(unix_ms // 1000)
    return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + unix_ms % 1000


class Daemon:
    """A tovlinkd with its Unix socket, asked one request at a time."""

    def __init__(self, args, index, links, broker_port, workdir):
        self.socket_path = os.path.join(workdir, f"d{index}.sock")
        command = [args.tovlinkd, "--config", "", "--socket", self.socket_path,
                   "--motions-dir", os.path.join(workdir, "motions"),
                   "--mqtt", f"127.0.0.1:{broker_port}", "--site", SITE,
                   "--mqtt-client-id", f"bench-d{index}"]
        for name, link in links:
            command += ["--robot", f"{name}={link}"]
        self.log = open(os.path.join(workdir, f"d{index}.log"), "w")
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT)
        self.names = [name for name, _ in links]
        self.connection = None

    def connect(self, limit=10):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            try:
                self.connection = socket.socket(socket.AF_UNIX)
                self.connection.connect(self.socket_path)
                self.reader = self.connection.makefile("r")
                self.reader.readline()  # the version banner
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError(f"no daemon on {self.socket_path}")

    def ask(self, request):
        self.connection.sendall((json.dumps(request) + "\n").encode())
        while True:
            message = json.loads(self.reader.readline())
            if message.get("class") == "reply":
                return message

    def all_ready(self):
        robots = self.ask({"cmd": "devices"})["result"]["robots"]
        return all(robot["state"] == "ready" for robot in robots)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.log.close()


def first_keyframes(log_path, after_offset):
    """Stamps of the first "#151" line after `after_offset` bytes of the log."""
    with open(log_path) as log:
        log.seek(after_offset)
        for line in log:
            match = KEYFRAME.match(line)
            if match:
                h, m, s, ms = (int(part) for part in match.groups())
                return ((h * 60 + m) * 60 + s) * 1000 + ms
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tovlinkd", required=True)
    parser.add_argument("--sim", required=True, help="the tovlink-sim program")
    parser.add_argument("--daemons", type=int, default=3)
    parser.add_argument("--robots", type=int, default=10, help="robots per daemon")
    parser.add_argument("--plays", type=int, default=10)
    parser.add_argument("--motion", default="nod")
    args = parser.parse_args()
    for program in ("mosquitto",):
        if not shutil.which(program) and not os.path.exists("/usr/sbin/" + program):
            sys.exit(f"{program} is needed")
    mosquitto = shutil.which("mosquitto") or "/usr/sbin/mosquitto"

    workdir = tempfile.mkdtemp(prefix="tovlink-fleet-start-")
    broker_port = free_port()
    with open(os.path.join(workdir, "mosquitto.conf"), "w") as conf:
        conf.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\n"
                   "persistence false\n")
    processes = []
    daemons = []
    try:
        broker = subprocess.Popen([mosquitto, "-c", os.path.join(workdir, "mosquitto.conf")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(broker)
        sims = {}
        for d in range(args.daemons):
            links = []
            for r in range(args.robots):
                name = f"d{d}r{r}"
                link = os.path.join(workdir, name)
                log_path = os.path.join(workdir, name + ".wire")
                log = open(log_path, "w")
                sim = subprocess.Popen([args.sim, "--link", link, "--log"], stdout=log,
                                       stderr=subprocess.DEVNULL)
                processes.append(sim)
                sims[name] = log_path
                links.append((name, link))
            time.sleep(0.3)  # the links exist
            daemons.append(Daemon(args, d, links, broker_port, workdir))
        for daemon in daemons:
            daemon.connect()
        deadline = time.monotonic() + 60
        while not all(daemon.all_ready() for daemon in daemons):
            if time.monotonic() > deadline:
                sys.exit("the robots were not all ready within 60 s")
            time.sleep(0.5)
        time.sleep(2)  # the bridges' robot links are on the broker

        spreads = []
        lateness = []
        for play in range(args.plays):
            offsets = {name: os.path.getsize(path) for name, path in sims.items()}
            sent = daemons[play % len(daemons)].ask(
                {"cmd": "fleet_all", "request": {"cmd": "play", "name": args.motion}})
            if not sent.get("ok"):
                sys.exit(f"fleet_all failed: {sent}")
            start_at = sent["result"]["start_at_ms"]
            time.sleep(max(0, start_at / 1000 - time.time()) + 2.5)
            stamps = {name: first_keyframes(path, offsets[name]) for name, path in sims.items()}
            missing = [name for name, stamp in stamps.items() if stamp is None]
            if missing:
                sys.exit(f"play {play}: no keyframe on {', '.join(missing)}")
            due = local_day_ms(start_at)
            values = list(stamps.values())
            spreads.append(max(values) - min(values))
            lateness.extend(stamp - due for stamp in values)
            print(f"play {play + 1}: spread {spreads[-1]} ms, lateness "
                  f"{min(values) - due}..{max(values) - due} ms")

        robots = args.daemons * args.robots
        print(f"\n{args.daemons} daemons x {args.robots} robots ({robots}), {args.plays} plays "
              f"of '{args.motion}' through fleet_all (start time 1 s ahead), one machine, "
              f"load {os.getloadavg()[0]:.2f}")
        print(f"first-keyframe spread over the fleet: median {statistics.median(spreads):.0f} ms, "
              f"worst {max(spreads)} ms")
        ordered = sorted(lateness)
        print(f"first keyframe after the start time: median {statistics.median(ordered):.0f} ms, "
              f"p95 {ordered[int(0.95 * (len(ordered) - 1))]} ms, worst {ordered[-1]} ms, "
              f"earliest {ordered[0]} ms")
    finally:
        for daemon in daemons:
            daemon.stop()
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
