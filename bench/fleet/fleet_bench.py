#!/usr/bin/env python3
"""A fleet on one MQTT broker: several tovlinkd daemons, each with virtual
robots, watched and commanded through the broker for a while.

Measures state messages lost (by their sequence numbers, and against the
rate asked for), command replies lost, the round trip of a command through
the broker (one robot, and all robots of the site), and the CPU time of
each daemon and of the broker (from /proc/<pid>/stat).

Needs mosquitto and mosquitto-clients (mosquitto_sub, mosquitto_pub).
Everything listens on 127.0.0.1 only.

    bench/fleet/fleet_bench.py --tovlinkd build/service/tovlinkd --minutes 10
"""

import argparse
import json
import os
import queue
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SITE = "bench"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


class Subscriber:
    """mosquitto_sub on the whole site; each line is queued with its arrival time."""

    def __init__(self, port):
        self.process = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-v", "-q", "1",
             "-i", f"fleet-bench-sub-{os.getpid()}", "-t", f"tovlink/{SITE}/#"],
            stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put((time.monotonic(), line.rstrip("\n")))

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=5)


class Publisher:
    """One mosquitto_pub connection per topic (-l: one message per line)."""

    def __init__(self, port):
        self.port = port
        self.processes = {}

    def send(self, topic, message):
        process = self.processes.get(topic)
        if process is None:
            process = subprocess.Popen(
                ["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1", "-l",
                 "-t", topic], stdin=subprocess.PIPE, text=True, bufsize=1)
            self.processes[topic] = process
        process.stdin.write(json.dumps(message) + "\n")
        process.stdin.flush()

    def stop(self):
        for process in self.processes.values():
            process.stdin.close()
            process.wait(timeout=5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tovlinkd", default="build/service/tovlinkd")
    parser.add_argument("--daemons", type=int, default=3)
    parser.add_argument("--robots", type=int, default=10, help="virtual robots per daemon")
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--mqtt-hz", type=float, default=2.0)
    parser.add_argument("--command-every", type=float, default=1.0,
                        help="seconds between commands to one robot")
    parser.add_argument("--all-every", type=float, default=10.0,
                        help="seconds between commands to all robots")
    parser.add_argument("--json", help="also write the figures here as JSON")
    args = parser.parse_args()

    for program in ("mosquitto_sub", "mosquitto_pub"):
        if not shutil.which(program):
            sys.exit(f"fleet_bench: {program} is missing (package mosquitto-clients)")
    broker_program = shutil.which("mosquitto") or "/usr/sbin/mosquitto"

    work = tempfile.mkdtemp(prefix="fleet-bench-")
    port = free_port()
    config = os.path.join(work, "mosquitto.conf")
    with open(config, "w") as file:
        file.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                   "log_dest none\nmax_queued_messages 10000\n")
    processes = []
    broker = subprocess.Popen([broker_program, "-c", config])
    processes.append(broker)
    time.sleep(0.5)

    subscriber = Subscriber(port)
    names = []
    daemons = []
    for d in range(args.daemons):
        command = [args.tovlinkd, "--socket", os.path.join(work, f"d{d}.sock"),
                   "--mqtt", f"127.0.0.1:{port}", "--site", SITE,
                   "--mqtt-hz", str(args.mqtt_hz)]
        for r in range(args.robots):
            name = f"d{d}-r{r:02d}"
            names.append(name)
            command += ["--sim", name]
        log = open(os.path.join(work, f"d{d}.log"), "w")
        daemon = subprocess.Popen(command, stderr=log, stdout=log)
        daemons.append(daemon)
        processes.append(daemon)
    publisher = Publisher(port)

    def stop_everything():
        subscriber.stop()
        publisher.stop()
        for process in reversed(processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    process.kill()

    # Wait until every robot says online.
    online = set()
    started = time.monotonic()
    while len(online) < len(names):
        if time.monotonic() - started > 120:
            stop_everything()
            sys.exit(f"fleet_bench: only {len(online)} of {len(names)} robots online; logs in {work}")
        try:
            _, line = subscriber.lines.get(timeout=1)
        except queue.Empty:
            continue
        topic, _, payload = line.partition(" ")
        parts = topic.split("/")
        if len(parts) == 4 and parts[3] == "status" and payload == "online":
            online.add(parts[2])
    print(f"fleet_bench: {len(names)} robots online after {time.monotonic() - started:.1f} s; "
          f"measuring for {args.minutes} min", flush=True)

    cpu_start = {p.pid: cpu_seconds(p.pid) for p in processes}
    window_start = time.monotonic()
    window_end = window_start + args.minutes * 60
    seqs = {name: [] for name in names}
    state_count = 0
    pending = {}  # id -> (sent_at, robots expected)
    one_rtt, all_rtt = [], []
    replies_expected = replies_received = replies_failed = 0
    next_one = window_start
    next_all = window_start + args.all_every / 2
    sequence = 0
    robot_turn = 0
    status_changes = []

    while True:
        now = time.monotonic()
        if now >= window_end:
            break
        if now >= next_one:
            sequence += 1
            robot = names[robot_turn % len(names)]
            robot_turn += 1
            ident = f"one-{sequence}"
            pending[ident] = [now, {robot}]
            replies_expected += 1
            publisher.send(f"tovlink/{SITE}/{robot}/cmd",
                           {"cmd": "led", "led": 1 + sequence % 6, "on": sequence % 2 == 0,
                            "id": ident})
            next_one += args.command_every
        if now >= next_all:
            sequence += 1
            ident = f"all-{sequence}"
            pending[ident] = [now, set(names)]
            replies_expected += len(names)
            publisher.send(f"tovlink/{SITE}/all/cmd",
                           {"cmd": "query", "query": "who", "id": ident})
            next_all += args.all_every
        try:
            arrived, line = subscriber.lines.get(timeout=max(0.0, min(next_one, next_all) - now))
        except queue.Empty:
            continue
        topic, _, payload = line.partition(" ")
        parts = topic.split("/")
        if len(parts) != 4:
            continue
        robot, kind = parts[2], parts[3]
        if kind == "state" and robot in seqs:
            message = json.loads(payload)
            seqs[robot].append(message["seq"])
            state_count += 1
        elif kind == "reply":
            message = json.loads(payload)
            ident = message.get("id")
            if ident in pending and robot in pending[ident][1]:
                pending[ident][1].discard(robot)
                replies_received += 1
                if not message.get("ok"):
                    replies_failed += 1
                rtt_ms = (arrived - pending[ident][0]) * 1000
                (one_rtt if ident.startswith("one-") else all_rtt).append(rtt_ms)
        elif kind == "status":
            status_changes.append((robot, payload))

    elapsed = time.monotonic() - window_start
    cpu = {p.pid: cpu_seconds(p.pid) - cpu_start[p.pid] for p in processes}
    # Replies still on their way get a few seconds more.
    grace_end = time.monotonic() + 5
    while time.monotonic() < grace_end and any(robots for _, robots in pending.values()):
        try:
            arrived, line = subscriber.lines.get(timeout=0.2)
        except queue.Empty:
            continue
        topic, _, payload = line.partition(" ")
        parts = topic.split("/")
        if len(parts) == 4 and parts[3] == "reply":
            message = json.loads(payload)
            ident = message.get("id")
            if ident in pending and parts[2] in pending[ident][1]:
                pending[ident][1].discard(parts[2])
                replies_received += 1
    stop_everything()

    expected_states = elapsed * args.mqtt_hz * len(names)
    gaps = 0
    for values in seqs.values():
        if values:
            gaps += (values[-1] - values[0] + 1) - len(set(values))
    figures = {
        "daemons": args.daemons,
        "robots": len(names),
        "seconds": round(elapsed, 1),
        "mqtt_hz": args.mqtt_hz,
        "state_messages": {
            "expected_at_rate": round(expected_states),
            "received": state_count,
            "received_of_expected": round(state_count / expected_states, 4),
            "missing_by_sequence": gaps,
        },
        "replies": {"expected": replies_expected, "received": replies_received,
                    "failed": replies_failed, "lost": replies_expected - replies_received},
        "round_trip_ms_one_robot": {
            "count": len(one_rtt), "median": round(statistics.median(one_rtt), 1) if one_rtt else None,
            "p99": round(percentile(one_rtt, 0.99), 1), "max": round(max(one_rtt, default=0), 1)},
        "round_trip_ms_all_robots": {
            "count": len(all_rtt), "median": round(statistics.median(all_rtt), 1) if all_rtt else None,
            "p99": round(percentile(all_rtt, 0.99), 1), "max": round(max(all_rtt, default=0), 1)},
        "cpu_percent": {
            **{f"tovlinkd d{d}": round(100 * cpu[daemons[d].pid] / elapsed, 2)
               for d in range(args.daemons)},
            "mosquitto": round(100 * cpu[broker.pid] / elapsed, 2)},
        "status_changes_during_run": len(status_changes),
        "logs": work,
    }
    print(json.dumps(figures, indent=2))
    if args.json:
        with open(args.json, "w") as file:
            json.dump(figures, file, indent=2)


if __name__ == "__main__":
    main()
