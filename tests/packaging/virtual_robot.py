"""Runs tovlink-sim for a test: the virtual robot on a real pseudo-terminal,
with its wire log collected so a test can see what reached the robot."""

import os
import re
import select
import signal
import subprocess
import threading
import time

# "12:34:56.789 rx "#140\r"" -> direction and the quoted bytes.
_LOG_ENTRY = re.compile(r'^\S+ (rx|tx) "((?:[^"\\]|\\.)*)"')
# "12:34:56.789 -- host closed the port"
_LOG_EVENT = re.compile(r"^\S+ -- (.*)$")
_ESCAPES = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\", '"': '"'}


def unescape(quoted):
    """The bytes of a wire-log entry, with the sim's escapes undone."""
    return re.sub(
        r"\\(x[0-9A-Fa-f]{2}|.)",
        lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x" else _ESCAPES[m.group(1)],
        quoted,
    )


class VirtualRobot:
    """Context manager: starts `tovlink-sim --log`, yields once it serves.

    port        the pseudo-terminal's path, for the host to open
    received()  the lines the robot received, bytes as text ("\\r" included)
    sent()      the replies it sent
    """

    START_TIMEOUT_S = 10

    def __init__(self, sim_program, *options):
        self._command = [sim_program, "--log", *options]
        # --hand: the hand moves come on standard input (move_by_hand).
        self._hand = "--hand" in options
        self._entries = []
        self._times = []  # the log's time of each entry, seconds since midnight
        self._lock = threading.Lock()
        self._unparsed = b""
        self._ended = False
        self.port = None

    def __enter__(self):
        # Unbuffered: the log is read straight from the pipe, so that a look
        # at it takes every line the robot has written so far.
        self._process = subprocess.Popen(
            self._command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0,
            stdin=subprocess.PIPE if self._hand else subprocess.DEVNULL,
        )
        self._log = self._process.stdout.fileno()
        os.set_blocking(self._log, False)
        self.port = self._first_line()
        if not self.port.startswith("/"):
            self._process.kill()
            raise RuntimeError(f"tovlink-sim gave no port: {self.port!r} "
                               f"{self._process.stderr.read().decode(errors='replace')}")
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()
        return self

    def __exit__(self, *exc_info):
        self._process.send_signal(signal.SIGTERM)
        try:
            self._process.wait(timeout=self.START_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        # Its output is closed only once the reader has seen its end.
        self._reader.join(timeout=self.START_TIMEOUT_S)
        self._process.stdout.close()
        self._process.stderr.close()
        if self._process.stdin:
            self._process.stdin.close()

    def move_by_hand(self, motor, angle):
        """Turns a motor by hand (needs --hand; the robot takes it while
        motor power is off) and waits until the robot logged it."""
        self._process.stdin.write(f"{motor} {angle}\n".encode())
        if not self.wait_for_event(f"hand moved motor {motor} to {angle}"):
            raise RuntimeError(f"the virtual robot did not take the hand move {motor} {angle}")

    def _first_line(self):
        """The program's first line (its port), the rest kept for the log."""
        deadline = time.monotonic() + self.START_TIMEOUT_S
        while b"\n" not in self._unparsed and not self._ended:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._log], [], [], left)[0]:
                break
            self._take_available()
        first, _, self._unparsed = self._unparsed.partition(b"\n")
        return first.decode(errors="replace").strip()

    def _take_available(self):
        """Reads what the pipe holds now; True while the program may write more."""
        while True:
            try:
                chunk = os.read(self._log, 65536)
            except BlockingIOError:
                return True
            if not chunk:
                self._ended = True
                return False
            self._unparsed += chunk

    def _drain(self):
        """Under the lock: every complete log line written so far, parsed.
        The robot logs a line before it answers it, so a host that has its
        reply finds the line here."""
        if not self._ended:
            self._take_available()
        *lines, self._unparsed = self._unparsed.split(b"\n")
        for raw in lines:
            line = raw.decode(errors="replace")
            match = _LOG_ENTRY.match(line)
            event = _LOG_EVENT.match(line)
            if match:
                self._entries.append((match.group(1), unescape(match.group(2))))
            elif event:
                self._entries.append(("event", event.group(1)))
            else:
                continue
            self._times.append(_seconds_of_day(line))

    def _collect(self):
        # Keeps the pipe from filling while no test looks.
        while not self._ended:
            select.select([self._log], [], [], 0.5)
            with self._lock:
                self._drain()

    def _lines(self, direction):
        with self._lock:
            self._drain()
            return [data for seen, data in self._entries if seen == direction]

    def received(self):
        return self._lines("rx")

    def received_timed(self):
        """(time, line) of each line the robot received; time in seconds
        since midnight, as the robot's log stamps it (1 ms steps)."""
        with self._lock:
            self._drain()
            return [(at, data) for at, (seen, data) in zip(self._times, self._entries)
                    if seen == "rx"]

    def hand_moves(self):
        """The hand moves the robot took, in order: [(motor, angle), ...]."""
        moves = []
        for event in self._lines("event"):
            match = re.match(r"hand moved motor (\d+) to (\d+)", event)
            if match:
                moves.append((int(match.group(1)), int(match.group(2))))
        return moves

    def sent(self):
        return self._lines("tx")

    def wait_for_received(self, line, timeout_s=2.0):
        """True once `line` reached the robot (the log trails the wire)."""
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if line in self.received():
                return True
            time.sleep(0.02)
        return False


    def wait_for_event(self, text, timeout_s=2.0):
        """True once a port event ("-- ..." in the log) containing text was logged."""
        deadline = time.monotonic() + timeout_s
        while time.monotonic() < deadline:
            if any(text in event for event in self._lines("event")):
                return True
            time.sleep(0.02)
        return False


def _seconds_of_day(line):
    """The log line's time stamp ("12:34:56.789 ...") in seconds."""
    hours, minutes, seconds = line.split(" ", 1)[0].split(":")
    return int(hours) * 3600 + int(minutes) * 60 + float(seconds)


def stop_process(process, timeout_s=10):
    """Asks a child program to end (SIGTERM), kills it if it has not within
    timeout_s, and closes the pipes it was given."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for pipe in (process.stdin, process.stdout, process.stderr):
        if pipe is not None:
            pipe.close()


def required_environment(name):
    value = os.environ.get(name)
    if not value:
        raise RuntimeError(f"{name} is not set: run this test through ctest")
    return value
