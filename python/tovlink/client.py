"""Client: the robot service tovlinkd over its Unix socket (standard library
only: socket and json).  The same operations and names as Robot."""

from __future__ import annotations

import datetime
import itertools
import json
import os
import socket
import time
from dataclasses import dataclass, replace
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Union

from . import values as v
from .errors import (
    ArgumentError,
    ArgumentTypeError,
    DisconnectedError,
    NotConnectedError,
    RobotTimeoutError,
    ServiceError,
    TovLinkError,
    make_error,
)
from .values import Contract, Move, Pose, Telemetry

__all__ = ["Client", "StateChange", "default_socket_path"]

PROTOCOL_MAJOR = 1
_MAX_LINE_BYTES = 1 << 20


def default_socket_path() -> Optional[str]:
    """Where the service listens: $TOVLINK_DAEMON, else
    $XDG_RUNTIME_DIR/tovlink/tovlinkd.sock (/run/tovlink/tovlinkd.sock for
    root); None when none is known."""
    explicit = os.environ.get("TOVLINK_DAEMON")
    if explicit:
        return explicit
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        return "/run/tovlink/tovlinkd.sock"
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    return os.path.join(runtime, "tovlink", "tovlinkd.sock") if runtime else None


@dataclass(frozen=True)
class StateChange:
    """A change of a watched robot's state, from :meth:`Client.watch`:
    ``state`` is ``"ready"``, ``"connecting"`` or ``"lost"``.  ``service``
    is False when the connection to the service itself was lost (or came
    back): the robot's state is then not known, and ``state`` says whether
    the watch can reach it."""

    robot: Optional[str]
    state: str
    port: Optional[str] = None
    service: bool = True


class _Dropped(Exception):
    """Inside watch(): the service's connection broke off."""


class _LineChannel:
    """One connection to the service: JSON objects, one per line."""

    def __init__(self, path: str, timeout_s: float) -> None:
        self.path = path
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._socket.settimeout(timeout_s)
        try:
            self._socket.connect(path)
        except OSError as error:
            self._socket.close()
            raise ServiceError(f"cannot reach the service at {path}: {error.strerror or error}"
                               " (is tovlinkd running?)", operation="connect",
                               sent=False) from error
        self._buffer = b""
        greeting = self.read()
        proto = greeting.get("proto", {}) if greeting.get("class") == "version" else {}
        if proto.get("major") != PROTOCOL_MAJOR:
            self.close()
            raise ServiceError(f"the service at {path} speaks protocol {proto.get('major')}, "
                               f"this client {PROTOCOL_MAJOR}", operation="connect", sent=False)
        self.version: Dict[str, Any] = greeting

    def send(self, message: Dict[str, Any]) -> None:
        try:
            self._socket.sendall(json.dumps(message).encode("utf-8") + b"\n")
        except OSError as error:
            raise ServiceError(f"{message.get('cmd')}: the service's socket failed: {error}",
                               operation=str(message.get("cmd")), sent=None) from error

    def read(self) -> Dict[str, Any]:
        while b"\n" not in self._buffer:
            if len(self._buffer) > _MAX_LINE_BYTES:
                raise ServiceError("the service sent an overlong line", sent=None)
            try:
                chunk = self._socket.recv(65536)
            except socket.timeout:
                raise RobotTimeoutError("no reply from the service in time", sent=None) from None
            except OSError as error:
                raise ServiceError(f"the service's socket failed: {error}", sent=None) from error
            if not chunk:
                raise ServiceError("the service closed the connection", sent=None)
            self._buffer += chunk
        line, self._buffer = self._buffer.split(b"\n", 1)
        try:
            message = json.loads(line)
        except ValueError:
            message = None
        return message if isinstance(message, dict) else {}

    def close(self) -> None:
        self._socket.close()


class Client:
    """A client of the robot service; use it with ``with``.

    ``Client(path=None, robot=None, timeout_s=10.0)`` connects to the
    service's Unix socket (default: see :func:`default_socket_path`).
    robot names the service's robot to drive; it may be left out when the
    service has one robot.

    Its methods are Robot's (``telemetry``, ``move``, ``pose``, ``say``, the
    text queries, ...), with the same arguments, results and exceptions; a
    lost robot raises DisconnectedError.  Besides: :meth:`devices` and
    :meth:`watch`.
    """

    def __init__(self, path: Optional[str] = None, robot: Optional[str] = None,
                 timeout_s: float = 10.0) -> None:
        found = path or default_socket_path()
        if not found:
            raise ServiceError("no service socket known: pass path= or set TOVLINK_DAEMON",
                               operation="connect", sent=False)
        self.path = found
        self.robot = robot
        self.timeout_s = timeout_s
        self._channel: Optional[_LineChannel] = _LineChannel(found, timeout_s)
        self._ids = itertools.count(1)
        self._contract: Optional[Contract] = None
        self._motion_limits: Dict[str, Any] = {}

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "connected" if self.connected else "closed"
        return f"<tovlink.Client {self.path!r} robot={self.robot!r}, {state}>"

    @property
    def connected(self) -> bool:
        return self._channel is not None

    @property
    def service_version(self) -> Dict[str, Any]:
        """The service's greeting: {"class":"version","release":...,"proto":{...}}."""
        return self._require().version

    @property
    def contract(self) -> Contract:
        """What the robot accepts, as the service's library defines it (the
        service's ``describe``, asked once per Client)."""
        if self._contract is None:
            self._describe()
        return self._contract  # type: ignore[return-value]

    @property
    def motion_limits(self) -> Dict[str, Any]:
        """What the service's play and record take: speed, loops, recording
        interval and tolerance, a motion's size (``describe``'s ``motion``
        object, docs/protocol.md); empty from a service without motions."""
        if self._contract is None:
            self._describe()
        return dict(self._motion_limits)

    def _describe(self) -> None:
        # The robot's contract is the library's; the service adds what its
        # motions take beside it.
        document = dict(self._call("describe", robot_addressed=False))
        self._motion_limits = document.pop("motion", {})
        self._contract = Contract(document)

    def close(self) -> None:
        """Closes the connection to the service.  Calling it again does nothing."""
        if self._channel is not None:
            self._channel.close()
            self._channel = None

    end = close

    def _require(self) -> _LineChannel:
        if self._channel is None:
            raise NotConnectedError("the client was closed", operation="client", sent=False)
        return self._channel

    def _call(self, command: str, robot_addressed: bool = True, **args: Any) -> Dict[str, Any]:
        channel = self._require()
        request_id = next(self._ids)
        message: Dict[str, Any] = {"cmd": command, "id": request_id, **args}
        if robot_addressed and self.robot is not None:
            message["robot"] = self.robot
        channel.send(message)
        while True:
            reply = channel.read()
            if reply.get("class") != "reply" or reply.get("id", request_id) != request_id:
                continue  # pushed objects, or a reply to something else
            if reply.get("ok"):
                result = reply.get("result")
                return result if isinstance(result, dict) else {}
            raise _service_error(command, reply.get("error") or {})

    # --- Robots and telemetry ---------------------------------------------------------------

    def devices(self) -> List[Dict[str, Any]]:
        """The service's robots: [{"name", "port", "state", "sim"}, ...]."""
        return list(self._call("devices", robot_addressed=False).get("robots", []))

    def telemetry(self) -> Telemetry:
        """Every telemetry value, from the service's latest status line."""
        return _telemetry(self._call("poll"), self.robot)

    def sensor(self) -> int:
        return self.telemetry().sensor

    def mic(self) -> int:
        return self.telemetry().mic

    def mic_analog(self) -> int:
        return self.telemetry().mic_analog

    def battery(self) -> int:
        return self.telemetry().battery

    def motor_power(self) -> int:
        return self.telemetry().motor_power

    def motor_position(self, motor: int) -> int:
        number = v.motor_number(motor, self.contract, "motor position")
        return self.telemetry().positions[number - 1]

    def motor_positions(self) -> tuple:
        return self.telemetry().positions

    def watch(self, rate_hz: Optional[float] = None, *, raise_on_lost: bool = False,
              retry_s: float = 1.0) -> Iterator[Union[Telemetry, StateChange]]:
        """Telemetry snapshots as the service pushes them, at rate_hz (1-50;
        default: the service's poll rate), until the iterator is closed.

        A robot that is lost, or found again, comes as a :class:`StateChange`
        between the snapshots, and the watch goes on: the service reconnects
        the robot by itself.  When the service's connection drops (a restart),
        a StateChange with ``service=False`` and state ``"lost"`` comes, the
        watch connects again every ``retry_s`` seconds, and the robot's state
        follows once it is back.  With ``raise_on_lost=True`` a lost robot
        raises DisconnectedError instead, and a lost service ServiceError.

        Runs on a connection of its own, so the client stays usable meanwhile.
        """
        request: Dict[str, Any] = {"cmd": "watch", "id": "watch", "enable": True}
        if rate_hz is not None:
            request["rate_hz"] = rate_hz
        if self.robot is not None:
            request["robot"] = self.robot
        known: Dict[Optional[str], str] = {}  # robot -> the state last reported
        service_lost = False
        while True:
            try:
                channel = _LineChannel(self.path, self.timeout_s)
            except ServiceError:
                if raise_on_lost or not service_lost:
                    raise
                time.sleep(retry_s)
                continue
            try:
                try:
                    channel.send(request)
                except ServiceError as error:
                    if raise_on_lost:
                        raise
                    raise _Dropped() from error
                while True:
                    try:
                        message = channel.read()
                    except RobotTimeoutError:
                        if raise_on_lost:
                            raise
                        continue  # a lost robot sends no telemetry: keep waiting
                    except ServiceError as error:
                        if raise_on_lost:
                            raise
                        raise _Dropped() from error
                    kind = message.get("class")
                    if kind == "reply" and message.get("cmd") == "watch" and not message.get("ok"):
                        raise _service_error("watch", message.get("error") or {})
                    robot = message.get("robot")
                    if self.robot is not None and robot not in (None, self.robot):
                        continue
                    if kind == "telemetry":
                        yield _telemetry(message, robot)
                    elif kind == "state":
                        state = str(message.get("state"))
                        if state == "lost" and raise_on_lost:
                            raise DisconnectedError(
                                f"watch: robot {robot} is disconnected "
                                f"({message.get('port', 'its port')} is gone)",
                                name="link_lost", operation="watch", sent=False)
                        if service_lost:
                            service_lost = False
                            yield StateChange(self.robot, "ready", None, service=False)
                        # The first state of a robot is news only when it is not ready.
                        if known.get(robot, "ready") != state:
                            yield StateChange(robot, state, message.get("port"))
                        known[robot] = state
            except _Dropped:
                if not service_lost:
                    service_lost = True
                    yield StateChange(self.robot, "lost", None, service=False)
            finally:
                channel.close()

    def history(self, robot: Optional[str] = None,
                since: Union[None, float, datetime.timedelta] = None) -> List[Telemetry]:
        """The robot's recent telemetry as the service keeps it (its
        ``--history``), oldest first: every reading of the last ``since``
        (seconds, or a timedelta; default all it has).  Each has ``time_ms``
        (Unix ms) and ``age_ms`` (its age when the service answered).

        robot defaults to the client's robot."""
        args: Dict[str, Any] = {}
        if since is not None:
            seconds = since.total_seconds() if isinstance(since, datetime.timedelta) else since
            if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or seconds < 0:
                raise ValueError(f"history: since must be seconds >= 0 (got {since!r})")
            args["since_ms"] = int(round(seconds * 1000))
        name = robot if robot is not None else self.robot
        if name is not None:
            args["robot"] = name
        result = self._call("history", robot_addressed=False, **args)
        now_ms = int(result.get("now_ms", 0))
        samples = []
        for sample in result.get("samples", []):
            reading = _telemetry({**sample, "robot": result.get("robot", name)}, name)
            samples.append(replace(reading, age_ms=now_ms - int(sample.get("time_ms", now_ms))))
        return samples

    def fleet(self) -> Dict[str, Any]:
        """The site's robots as the service's MQTT bridge sees them (the
        service's ``fleet``): {"site", "broker", "connected", "robots":
        [{"name", "status", "telemetry"?, "state_age_ms"?, "reply"?}, ...],
        "limit", "not_listed"}.  A service without a fleet raises
        ServiceError (unknown_command)."""
        return self._call("fleet", robot_addressed=False)

    def fleet_all(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """Sends a request (e.g. {"cmd": "led", "led": 3, "on": True}) to every
        robot of the site; returns {"topic", "id"}: the replies show in
        :meth:`fleet`."""
        return self._call("fleet_all", robot_addressed=False, request=dict(request))

    # --- Text queries ---------------------------------------------------------------------------

    def query(self, name: str) -> str:
        """A text query by its name (see Contract.queries)."""
        return str(self._call("query", query=v.query_name(name, self.contract)).get("text", ""))

    def who(self) -> str:
        return self.query("who")

    def motor_power_text(self) -> str:
        return self.query("motor-power")

    def save_power_limit(self) -> str:
        return self.query("motor-power-set")

    def init_settings(self) -> str:
        return self.query("init")

    def info(self) -> str:
        return self.query("info")

    def mic_range(self) -> str:
        return self.query("init-mic-range")

    def power_limit(self) -> str:
        return self.query("init-power-limit")

    def position_text(self) -> str:
        return self.query("position")

    # --- Motors: the service's library checks every value and clamps angles -----------

    def power_on(self, value: Optional[int] = None) -> None:
        args = {} if value is None else {"value": v.whole("value", value, "power on")}
        self._call("power", on=True, **args)

    def power_off(self) -> None:
        self._call("power", on=False)

    def start(self) -> None:
        self._call("start")

    def move(self, motor: int, angle: int, time_ms: Optional[int] = None) -> Union[Move, Pose]:
        what = f"move motor {motor}"
        args: Dict[str, Any] = {"motor": v.whole("motor", motor, what),
                                "angle": v.whole("angle", angle, what)}
        if time_ms is not None:
            args["time_ms"] = v.whole("time_ms", time_ms, what)
        result = self._call("move", **args)
        if "angles" in result:  # every motor, each clamped to its own range
            sent = tuple(int(angle) for angle in result["angles"])
            return Pose(sent, (args["angle"],) * len(sent), time_ms, self.contract.angle_ranges)
        low, high = result["range"]
        return Move(args["motor"], int(result["angle"]), args["angle"], (int(low), int(high)),
                    time_ms)

    def move_all(self, angle: int, time_ms: int) -> Pose:
        return self.move(self.contract.all_motors, angle, time_ms)  # type: ignore[return-value]

    def pose(self, angles: Sequence[int], time_ms: Optional[int] = None) -> Pose:
        requested = v.angle_list(angles, self.contract.motor_count, "pose")
        args: Dict[str, Any] = {"angles": list(requested)}
        if time_ms is not None:
            args["time_ms"] = v.whole("time_ms", time_ms, "pose")
        result = self._call("pose", **args)
        sent = tuple(int(angle) for angle in result["angles"])
        return Pose(sent, requested, time_ms, self.contract.angle_ranges)

    def move_relative(self, motor: int, time_ms: Optional[int] = None) -> None:
        what = f"move motor {motor} relative"
        args: Dict[str, Any] = {"motor": v.whole("motor", motor, what)}
        if time_ms is not None:
            args["time_ms"] = v.whole("time_ms", time_ms, what)
        self._call("move_relative", **args)

    def adjust(self, motor: int, offset: int) -> None:
        what = f"adjust motor {motor}"
        self._call("adjust", motor=v.whole("motor", motor, what),
                   offset=v.whole("offset", offset, what))

    # --- LEDs, sound and speech ----------------------------------------------------------------

    def led_on(self, led: int) -> None:
        self._call("led", led=v.whole("led", led, "led on"), on=True)

    def led_off(self, led: int) -> None:
        self._call("led", led=v.whole("led", led, "led off"), on=False)

    def tone(self, first: int, second: int) -> None:
        self._call("tone", first=v.whole("first", first, "tone"),
                   second=v.whole("second", second, "tone"))

    def say(self, text: Union[str, bytes]) -> None:
        data = v.speech_bytes(text, "say")
        self._call("say", text=data.decode("utf-8", errors="replace"))

    def speech_speed(self, speed: int) -> None:
        self._call("speed", speed=v.whole("speed", speed, "speech speed"))

    # --- Motions (the service's player, recorder and motions folder) -----------------

    def start_play(self, motion: Union[str, Mapping[str, Any], "os.PathLike[str]"],
                   speed: float = 1.0, loops: int = 1, soft_start_ms: int = 0,
                   start_at_ms: Optional[int] = None) -> Dict[str, Any]:
        """Has the service play a motion and returns once it is scheduled,
        with the service's report ({"motion", "keyframes", "duration_ms",
        "loops", "speed", "clamped"}).  motion: a name from the service's
        motions (str), a motion file's dict, or a file's path (a Path, or a
        str holding "/" or ending in ".json"), sent inline.  Options as
        Robot.start_play.  Refusals are TovLinkErrors named as the service
        names them: bad_motion (also an ArgumentError), unknown_motion,
        motion_playing."""
        args: Dict[str, Any] = _motion_argument(motion)
        if not isinstance(speed, (int, float)) or isinstance(speed, bool):
            raise ArgumentTypeError("play: speed must be a number", argument="speed",
                                    operation="play", sent=False)
        args["speed"] = speed
        args["loops"] = v.whole("loops", loops, "play")
        args["soft_start_ms"] = v.whole("soft_start_ms", soft_start_ms, "play")
        if start_at_ms is not None:
            if isinstance(start_at_ms, bool) or not isinstance(start_at_ms, int):
                raise ArgumentTypeError("play: start_at_ms must be an int (Unix time in ms)",
                                        argument="start_at_ms", operation="play", sent=False)
            args["start_at_ms"] = start_at_ms
        return self._call("play", **args)

    def play(self, motion: Union[str, Mapping[str, Any], "os.PathLike[str]"],
             speed: float = 1.0, loops: int = 1, soft_start_ms: int = 0,
             start_at_ms: Optional[int] = None,
             on_progress: Optional[Callable[[Dict[str, Any]], None]] = None) -> Dict[str, Any]:
        """Plays a motion on the service's robot to its end (see start_play)
        and returns its last progress ({"motion", "state", "loop",
        "keyframe", "keyframes", "position_ms", "duration_ms"}), calling
        on_progress with each progress the service pushes.  Ctrl-C (or any
        exception) stops the play (the service sends nothing more) and is
        raised again.  A play that failed raises its error (DisconnectedError
        for a robot lost mid-motion)."""
        channel = _LineChannel(self.path, self.timeout_s)
        try:
            _watch_motions(channel, self.robot)
            report = self.start_play(motion, speed, loops, soft_start_ms, start_at_ms)
            try:
                return _follow_play(channel, self.robot, report, on_progress, speed, loops,
                                    soft_start_ms, start_at_ms)
            except BaseException:
                self._stop_quietly()
                raise
        finally:
            channel.close()

    def _stop_quietly(self) -> None:
        try:
            self.stop()
        except TovLinkError:
            pass  # already over, or the service is gone: nothing left to stop

    def stop(self) -> Dict[str, Any]:
        """Stops the motion playing (nothing is sent: the motors stay, power
        as it was) and returns its progress.  Nothing playing: TovLinkError
        named no_motion."""
        return self._call("stop")

    def pause(self) -> Dict[str, Any]:
        return self._call("pause")

    def resume(self) -> Dict[str, Any]:
        return self._call("resume")

    def record_start(self, interval_ms: int = 50) -> Dict[str, Any]:
        """Starts the service recording the robot's positions every
        interval_ms (10-10000)."""
        return self._call("record", action="start",
                          interval_ms=v.whole("interval_ms", interval_ms, "record"))

    def record_stop(self, tolerance: float = 2.0, name: str = "recording") -> Dict[str, Any]:
        """Ends the recording: {"motion": {...}, "samples": N, "keyframes": K}
        (not saved: see save_motion)."""
        if not isinstance(tolerance, (int, float)) or isinstance(tolerance, bool):
            raise ArgumentTypeError("record: tolerance must be a number of degrees",
                                    argument="tolerance", operation="record", sent=False)
        return self._call("record", action="stop", tolerance=tolerance, name=str(name))

    def record(self, seconds: float, interval_ms: int = 50, tolerance: float = 2.0,
               name: str = "recording") -> Dict[str, Any]:
        """Records for `seconds` through the service and returns the motion
        (a motion file's dict).  Ctrl-C ends the recording and is raised
        again."""
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or seconds < 0:
            raise ArgumentError(f"record: seconds must be a number of seconds, 0 or more "
                                f"(got {seconds!r})", argument="seconds", operation="record",
                                sent=False)
        self.record_start(interval_ms)
        try:
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                time.sleep(min(0.05, max(0.0, deadline - time.monotonic())))
        except BaseException:
            try:
                self.record_stop(tolerance, name)
            except TovLinkError:
                pass
            raise
        return dict(self.record_stop(tolerance, name).get("motion", {}))

    def motions(self) -> List[Dict[str, Any]]:
        """The service's motions: [{"name", "keyframes", "duration_ms",
        "shipped"}, ...] sorted by name."""
        return list(self._call("motions", robot_addressed=False, action="list")
                    .get("motions", []))

    def get_motion(self, name: str) -> Dict[str, Any]:
        return dict(self._call("motions", robot_addressed=False, action="get",
                               name=str(name)).get("motion", {}))

    def save_motion(self, motion: Union[Mapping[str, Any], "os.PathLike[str]", str]
                    ) -> Dict[str, Any]:
        """Saves a motion (a dict or a file's path) in the service's motions
        folder under its own name: {"name", "clamped"}."""
        if isinstance(motion, Mapping):
            document = dict(motion)
        else:
            from .motion import load_motion

            document = load_motion(motion)
        return self._call("motions", robot_addressed=False, action="save", motion=document)

    def delete_motion(self, name: str) -> Dict[str, Any]:
        return self._call("motions", robot_addressed=False, action="delete", name=str(name))


def _motion_argument(motion: Any) -> Dict[str, Any]:
    """"name" for a motion of the service's, "motion" for one sent inline."""
    if isinstance(motion, Mapping):
        return {"motion": dict(motion)}
    if isinstance(motion, os.PathLike) or (isinstance(motion, str) and (
            "/" in motion or os.sep in motion or motion.endswith(".json"))):
        from .motion import load_motion

        return {"motion": load_motion(motion)}
    if isinstance(motion, str):
        return {"name": motion}
    raise ArgumentTypeError(f"play: a motion is a name, a dict or a file's path, not "
                            f"{type(motion).__name__}", argument="motion", operation="play",
                            sent=False)


def _watch_motions(channel: _LineChannel, robot: Optional[str]) -> None:
    """Has the service push the robot's progress on this channel (and its
    telemetry, once a second: the least it sends)."""
    request: Dict[str, Any] = {"cmd": "watch", "id": "motion", "enable": True, "rate_hz": 1}
    if robot is not None:
        request["robot"] = robot
    channel.send(request)
    while True:
        message = channel.read()
        if message.get("class") == "reply" and message.get("id") == "motion":
            if not message.get("ok"):
                raise _service_error("watch", message.get("error") or {})
            return


# How long past its end a play's last progress may take to come.
_PLAY_END_GRACE_S = 10.0


def _follow_play(channel: _LineChannel, robot: Optional[str], report: Dict[str, Any],
                 on_progress: Optional[Callable[[Dict[str, Any]], None]], speed: float,
                 loops: int, soft_start_ms: int, start_at_ms: Optional[int]) -> Dict[str, Any]:
    """Reads the pushed progress of the play until it is over."""
    deadline = None
    if loops > 0:
        # A play with an end: bounded wait, should the service never say so.
        length_s = (float(report.get("duration_ms", 0)) * loops / max(speed, 0.1)
                    + soft_start_ms) / 1000
        begins = max(time.time(), (start_at_ms or 0) / 1000)
        deadline = time.monotonic() + (begins - time.time()) + length_s + _PLAY_END_GRACE_S
    while True:
        if deadline is not None and time.monotonic() > deadline:
            raise RobotTimeoutError("play: the service did not report the end of the motion",
                                    name="receive_timeout", operation="play", sent=True)
        message = channel.read()
        if robot is not None and message.get("robot") not in (None, robot):
            continue
        if message.get("class") == "state" and message.get("state") == "lost":
            raise DisconnectedError(f"play: robot {message.get('robot')} is disconnected",
                                    name="link_lost", operation="play", sent=True)
        if message.get("class") != "motion":
            continue
        progress = {key: value for key, value in message.items() if key != "class"}
        if on_progress is not None:
            on_progress(progress)
        state = progress.get("state")
        if state == "failed":
            error = progress.get("error") or {}
            raise _service_error("play", {"name": error.get("name", "failed"),
                                          "message": error.get("message", "play: failed"),
                                          "code": error.get("code"),
                                          "sent": error.get("sent")})
        if state in ("finished", "stopped"):
            return progress


def _telemetry(result: Dict[str, Any], robot: Optional[str]) -> Telemetry:
    if result.get("state") == "lost":
        raise DisconnectedError(f"telemetry: robot {result.get('robot', robot)} is disconnected",
                                name="link_lost", operation="poll", sent=False)
    return Telemetry(
        sensor=int(result.get("sensor", 0)),
        mic=int(result.get("mic", 0)),
        mic_analog=int(result.get("mic_analog", 0)),
        battery=int(result.get("battery", 0)),
        motor_power=int(result.get("motor_power", 0)),
        positions=tuple(int(p) for p in result.get("positions", ())),
        age_ms=result.get("age_ms"),
        robot=result.get("robot", robot),
        time_ms=result.get("time_ms"),
        leds=tuple(result["leds"]) if isinstance(result.get("leds"), list) else None,
    )



def _service_error(command: str, error: Dict[str, Any]) -> TovLinkError:
    """The exception for the service's error reply: its name, message and
    sent flag as they are (sent None only when the reply has none)."""
    name = str(error.get("name", "error"))
    message = str(error.get("message") or f"{command}: {name}")
    sent = error.get("sent")
    details: Dict[str, Any] = {"code": error.get("code"), "operation": command,
                               "sent": sent if isinstance(sent, bool) else None}
    if name == "robot_not_ready" and "lost" in message:
        return DisconnectedError(message, name=name, **details)
    return make_error(name, message, **details)
