"""Robot: a direct connection to the robot through the C library (ctypes)."""

from __future__ import annotations

import atexit
import ctypes
import os
import threading
import weakref
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

from . import _library as lib_
from . import values as v
from .errors import (
    ArgumentError,
    ConnectError,
    NotConnectedError,
    PortError,
    RobotTimeoutError,
    TovLinkError,
)
from .values import Move, Pose, Telemetry

__all__ = ["Robot"]

PathLike = Union[str, "os.PathLike[str]"]

# The C functions whose failure can mean the robot acted: the commands.
_ACTIONS = {
    "tovlink_motor_power_on", "tovlink_motor_power_off", "tovlink_motor_start",
    "tovlink_motor_set_pos", "tovlink_motor_set_pos_rel", "tovlink_motor_pos_all",
    "tovlink_motor_angle_time", "tovlink_motor_angle_time_rel", "tovlink_motor_angle_multi_time",
    "tovlink_motor_adjust", "tovlink_led_on", "tovlink_led_off", "tovlink_sound",
    "tovlink_voice_speed", "tovlink_voice", "tovlink_set_motorpower",
}

_CONNECT_STEPS = {
    lib_.ERR_RECEIVE: "the adapter did not answer the reset (no CMD reply to R,1)",
    lib_.ERR_CONNECT_RESET_SEND: "could not send the reset line (R,1)",
    lib_.ERR_CONNECT_PEER_SEND: "could not send the peer id request (GDH)",
    lib_.ERR_CONNECT_PEER_REPLY: "no usable peer id from the adapter",
    lib_.ERR_CONNECT_LINK_SEND: "could not send the link line (E,0,...)",
    lib_.ERR_CONNECT_LINK_REPLY: "the adapter refused the link (no AOK reply to E,0,...)",
    lib_.ERR_CONNECT_INFO_SEND: "could not send the info line (I)",
}


def error_for_code(code: int, operation: str, what: str = "") -> TovLinkError:
    """The exception for a C function's result code.

    operation: the C function; what: how the message names the operation
    (defaults to the function's name).
    """
    name, meaning = lib_.RESULT_CODES.get(code, ("unknown", f"unknown result code {code}"))
    label = what or operation
    details: Dict[str, Any] = {"code": code, "name": name, "operation": operation}
    if code in (lib_.ERR_NOT_CONNECTED, lib_.ERR_NO_CONNECTION):
        return NotConnectedError(f"{label}: not connected (the connection was ended)",
                                 sent=False, **details)
    if code == lib_.ERR_INVALID_ARGUMENT:
        return ArgumentError(f"{label}: invalid argument", sent=False, **details)
    if code in (lib_.ERR_EXCHANGE, lib_.ERR_RECEIVE):
        if operation in _ACTIONS:
            return RobotTimeoutError(
                f"{label}: no reply from the robot within 1.5 s (the command may have reached "
                "the robot and acted)", sent=None, **details)
        return RobotTimeoutError(f"{label}: no reply from the robot within 1.5 s",
                                 sent=False, **details)
    return TovLinkError(f"{label}: {meaning} ({name}, code {code})", **details)


def _connect_error(code: int, port: str) -> TovLinkError:
    details: Dict[str, Any] = {"code": code, "name": lib_.code_name(code),
                               "operation": "tovlink_connect", "sent": False}
    if code == lib_.ERR_PORT_OPEN:
        reason = _why_port_will_not_open(port)
        if reason is not None:
            number, text = reason
            return PortError(f"connect to {port}: could not open the serial port: {text}",
                             errno=number, strerror=text, **details)
        return PortError(f"connect to {port}: could not open or set up the serial port", **details)
    step = _CONNECT_STEPS.get(code)
    if step is not None:
        return ConnectError(f"connect to {port}: {step}", **details)
    return error_for_code(code, "tovlink_connect", f"connect to {port}")


def _why_port_will_not_open(port: str) -> Optional[Tuple[int, str]]:
    """The system's reason the port does not open, asked again after the
    library failed (it keeps errno to itself)."""
    path = port if os.path.isabs(port) or os.name == "nt" else os.path.join("/dev", port)
    try:
        fd = os.open(path, os.O_RDWR | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_NONBLOCK", 0))
    except OSError as error:
        return error.errno, error.strerror
    os.close(fd)
    return None


# Connects left running by an interrupted constructor: joined at exit, so
# their ports are closed before the process goes.
_pending_connects: "weakref.WeakSet[threading.Thread]" = weakref.WeakSet()


@atexit.register
def _finish_pending_connects() -> None:
    for thread in list(_pending_connects):
        thread.join(timeout=10)


def _end_handle(lib: ctypes.CDLL, handle: int) -> None:
    lib.tovlink_end(handle)


class Robot:
    """A connection to the robot through the C library; use it with ``with``.

    ``Robot(port, baud=115200, library=None)`` opens the port and runs the
    adapter dialogue (about 3.5 s).  port: a device path, a name under /dev
    (Linux) or a COM name (Windows).  library: an explicit path to the shared
    library (see :func:`tovlink.find_library`).

    Raises PortError (also an OSError, with the system's errno) when the port
    will not open, ConnectError (also a ConnectionError) when the dialogue
    fails.

    Ctrl-C during the connect raises KeyboardInterrupt within about 50 ms;
    the C library's connect cannot be stopped part way, so it runs on in a
    worker thread, which ends the connection as soon as it returns (and the
    interpreter waits for that at exit).  A Robot that is never ended is
    ended when it is garbage-collected or at interpreter exit.

    The C library keeps one current connection per process: a second Robot
    replaces the first as the one every operation acts on.  Call one Robot
    from one thread at a time.

    Methods have Python names (``move``, ``telemetry``, ``say``); the C
    library's names (``motor_set_pos``, ``get_battery_value``, ``voice``)
    are kept as aliases taking the C functions' arguments.
    """

    _CONNECT_POLL_S = 0.05

    def __init__(self, port: PathLike, baud: int = lib_.DEFAULT_BAUD,
                 library: Optional[PathLike] = None) -> None:
        self._handle: Optional[int] = None
        self._finalizer: Optional[weakref.finalize] = None
        self.port = os.fsdecode(port)
        self.baud = v.within("baud", baud, 1, 2**31 - 1, "connect")
        self._lib = lib_.load_library(library)
        handle, code = self._connect_interruptibly(os.fsencode(port), self.baud)
        if not handle:
            raise _connect_error(code, self.port)
        self._handle = handle
        self._finalizer = weakref.finalize(self, _end_handle, self._lib, handle)

    def _connect_interruptibly(self, port: bytes, baud: int) -> Tuple[Optional[int], int]:
        lib = self._lib
        state: Dict[str, Any] = {"abandoned": False}
        lock = threading.Lock()
        done = threading.Event()

        def connect() -> None:
            handle = lib.tovlink_connect(port, baud)
            code = lib.tovlink_get_lasterror()
            with lock:
                state["handle"], state["code"] = handle, code
                if state["abandoned"] and handle:
                    lib.tovlink_end(handle)
            done.set()

        worker = threading.Thread(target=connect, name="tovlink-connect", daemon=True)
        _pending_connects.add(worker)
        worker.start()
        try:
            while not done.wait(self._CONNECT_POLL_S):
                pass
        except BaseException:
            # Interrupted: whoever finishes last ends what the connect opened.
            with lock:
                state["abandoned"] = True
                if state.get("handle"):
                    lib.tovlink_end(state["handle"])
            raise
        worker.join()
        return state.get("handle"), state.get("code", lib_.ERR_PORT_OPEN)

    def __enter__(self) -> "Robot":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.end()

    def __repr__(self) -> str:
        state = "connected" if self.connected else "ended"
        return f"<tovlink.Robot {self.port!r} {self.baud} baud, {state}>"

    @property
    def connected(self) -> bool:
        """True until :meth:`end`."""
        return self._handle is not None

    def end(self) -> None:
        """Ends the connection (tovlink_end).  Calling it again does nothing."""
        if self._handle is not None:
            self._handle = None
            if self._finalizer is not None:
                self._finalizer()

    close = end

    # --- Calling the C library ------------------------------------------------------

    def _call(self, function: str, *args: Any, what: str = "") -> None:
        code = getattr(self._lib, function)(self._handle, *args)
        if code != lib_.OK:
            raise error_for_code(code, function, what)

    def _read_int(self, function: str, *args: Any, what: str = "") -> int:
        value = ctypes.c_int32()
        self._call(function, *args, ctypes.byref(value), what=what)
        return value.value

    def _text(self, function: str, what: str) -> str:
        buffer = ctypes.create_string_buffer(lib_.TEXT_REPLY_BUFFER_SIZE)
        # One byte stays zero, so the reply always ends as text.
        self._call(function, buffer, len(buffer) - 1, what=what)
        return lib_.reply_text(buffer)

    def _cached_positions(self) -> Tuple[int, ...]:
        values = [ctypes.c_int32() for _ in range(v.MOTOR_COUNT)]
        self._call("tovlink_get_motor_positions", *(ctypes.byref(value) for value in values),
                   what="motor positions")
        return tuple(value.value for value in values)

    # --- Telemetry --------------------------------------------------------------------

    def telemetry(self) -> Telemetry:
        """Every telemetry value.

        The C library reads one value per status exchange ("#140"), so this
        makes five exchanges (sensor, microphone, microphone analog, battery,
        motor power), a few milliseconds apart; the positions come from the
        last one's status line, which the library keeps.  A Client's
        telemetry comes from a single status line.
        """
        sensor = self.sensor()
        mic = self.mic()
        mic_analog = self.mic_analog()
        battery = self.battery()
        motor_power = self.motor_power()
        return Telemetry(sensor, mic, mic_analog, battery, motor_power, self._cached_positions())

    def sensor(self) -> int:
        """The sensor reading (one status exchange)."""
        return self._read_int("tovlink_get_sensor_value", what="sensor")

    def mic(self) -> int:
        """The microphone level (one status exchange)."""
        return self._read_int("tovlink_get_mic_value", what="microphone")

    def mic_analog(self) -> int:
        """The microphone's analog value (one status exchange)."""
        return self._read_int("tovlink_get_mic_analog_value", what="microphone analog")

    def battery(self) -> int:
        """The battery in millivolts (one status exchange)."""
        return self._read_int("tovlink_get_battery_value", what="battery")

    def motor_power(self) -> int:
        """The motor power value, 0 while off (one status exchange)."""
        return self._read_int("tovlink_get_motor_power", what="motor power")

    def motor_position(self, motor: int) -> int:
        """The position of motor 1-7 (one status exchange)."""
        number = v.motor(motor, "motor position")
        return self._read_int("tovlink_get_motor_position", number,
                              what=f"position of motor {number}")

    def motor_positions(self) -> Tuple[int, ...]:
        """The positions of motors 1-7, all from one status exchange."""
        self._read_int("tovlink_get_battery_value", what="motor positions")
        return self._cached_positions()

    # --- Text queries: the robot's reply line, line ending removed ----------------------

    def query(self, name: str) -> str:
        """A text query by its name (see tovlink.QUERIES): "who", "info", ..."""
        method = _QUERY_METHODS.get(name)
        if method is None:
            raise ArgumentError(f"query: no query named {name!r} (one of {', '.join(v.QUERIES)})",
                                argument="name", operation="query", sent=False)
        return method(self)

    def who(self) -> str:
        """The robot's identification ("#800")."""
        return self._text("tovlink_who", "who")

    def motor_power_text(self) -> str:
        """The motor power state as the robot words it ("#802")."""
        return self._text("tovlink_get_motorpower", "motor power text")

    def save_power_limit(self) -> str:
        """Has the robot keep its current power value as its limit ("#803");
        returns its reply.  (The C name is set_motorpower.)"""
        return self._text("tovlink_set_motorpower", "save power limit")

    def init_settings(self) -> str:
        """The initial settings ("#804")."""
        return self._text("tovlink_get_init", "init settings")

    def info(self) -> str:
        """The robot's information line ("#805")."""
        return self._text("tovlink_get_info", "info")

    def mic_range(self) -> str:
        """The initial microphone range ("#806")."""
        return self._text("tovlink_get_init_mic_range", "mic range")

    def power_limit(self) -> str:
        """The initial power limit ("#807")."""
        return self._text("tovlink_get_init_power_limit", "power limit")

    def position_text(self) -> str:
        """The positions as the robot words them ("#142")."""
        return self._text("tovlink_get_position", "position text")

    # --- Motors -------------------------------------------------------------------------

    def power_on(self, value: int = v.DEFAULT_POWER_VALUE) -> None:
        """Powers the motors with value (at least 500)."""
        number = v.within("value", value, v.MIN_POWER_VALUE, 2**31 - 1, "power on")
        self._call("tovlink_motor_power_on", number, what="power on")

    def power_off(self) -> None:
        """Powers the motors off."""
        self._call("tovlink_motor_power_off", what="power off")

    def start(self) -> None:
        """Starts the motors ("#134")."""
        self._call("tovlink_motor_start", what="start")

    def move(self, motor: int, angle: int, time_ms: Optional[int] = None) -> Move:
        """Moves motor 1-7 to angle, at once or over time_ms (0-9999; then
        motor may also be 255, every motor).  The angle is clamped to the
        motor's range (see angle_range); the returned Move says what was sent.
        """
        what = f"move motor {motor}"
        number = v.motor(motor, what, allow_all=time_ms is not None)
        requested = v.whole("angle", angle, what)
        if time_ms is None:
            self._call("tovlink_motor_set_pos", number, requested, what=what)
        else:
            ms = v.time_ms(time_ms, what)
            self._call("tovlink_motor_angle_time", number, requested, ms, what=what)
        return Move(number, v.clamp(number, requested), requested, v.angle_range(number), time_ms)

    def pose(self, angles: Sequence[int], time_ms: Optional[int] = None) -> Pose:
        """Moves all seven motors (angles for motors 1-7), at once or over
        time_ms (0-9999); each angle is clamped to its motor's range."""
        requested = v.seven_angles(angles, "pose")
        if time_ms is None:
            self._call("tovlink_motor_pos_all", *requested, what="pose")
        else:
            ms = v.time_ms(time_ms, "pose")
            self._call("tovlink_motor_angle_multi_time", *requested, ms, what="pose")
        sent = tuple(v.clamp(motor, angle) for motor, angle in enumerate(requested, start=1))
        return Pose(sent, requested, time_ms)

    def move_relative(self, motor: int, time_ms: Optional[int] = None) -> None:
        """The robot's relative move of motor 1-7 (or 255 with a time): the
        virtual robot releases the motor where it is."""
        what = f"move motor {motor} relative"
        number = v.motor(motor, what, allow_all=time_ms is not None)
        if time_ms is None:
            self._call("tovlink_motor_set_pos_rel", number, 0, what=what)
        else:
            self._call("tovlink_motor_angle_time_rel", number, 0, v.time_ms(time_ms, what),
                       what=what)

    def adjust(self, motor: int, offset: int) -> None:
        """Sets the adjustment offset of motor 1-7."""
        what = f"adjust motor {motor}"
        self._call("tovlink_motor_adjust", v.motor(motor, what), v.whole("offset", offset, what),
                   what=what)

    # --- LEDs, sound and speech ------------------------------------------------------------

    def led_on(self, led: int) -> None:
        """Switches LED 1-6 on (eyes 1 2, mouth 3, chest 4, ears 5 6)."""
        number = v.within("led", led, v.LEDS.start, v.LEDS.stop - 1, "led on")
        self._call("tovlink_led_on", number, what=f"led {number} on")

    def led_off(self, led: int) -> None:
        """Switches LED 1-6 off."""
        number = v.within("led", led, v.LEDS.start, v.LEDS.stop - 1, "led off")
        self._call("tovlink_led_off", number, what=f"led {number} off")

    def tone(self, first: int, second: int) -> None:
        """Plays a tone: first 0-99999, second 0-9999 (the virtual robot
        takes them as Hz and ms)."""
        a = v.within("first", first, 0, 99999, "tone")
        b = v.within("second", second, 0, 9999, "tone")
        self._call("tovlink_sound", a, b, what="tone")

    def say(self, text: Union[str, bytes]) -> None:
        """Speaks text: at most 39 bytes (str is sent as UTF-8, bytes as given)."""
        self._call("tovlink_voice", v.speech_text(text, "say"), what="say")

    def speech_speed(self, speed: int) -> None:
        """Sets the speech speed, 50-300."""
        self._call("tovlink_voice_speed", v.within("speed", speed, 50, 300, "speech speed"),
                   what="speech speed")

    # --- Library-wide ------------------------------------------------------------------------

    def last_error(self) -> int:
        """The C library's process-wide last result code."""
        return self._lib.tovlink_get_lasterror()

    def library_version(self) -> str:
        """The C library's version, e.g. "1.0.0.3"."""
        return lib_.library_version(self._lib._name)

    # --- The C library's names, kept as aliases ------------------------------------------------

    get_sensor_value = sensor
    get_mic_value = mic
    get_mic_analog_value = mic_analog
    get_battery_value = battery
    get_motor_power = motor_power
    get_motor_position = motor_position
    get_motor_positions = motor_positions
    get_motorpower = motor_power_text
    set_motorpower = save_power_limit
    get_init = init_settings
    get_info = info
    get_init_mic_range = mic_range
    get_init_power_limit = power_limit
    get_position = position_text
    motor_power_on = power_on
    motor_power_off = power_off
    motor_start = start
    motor_set_pos = move
    motor_adjust = adjust
    sound = tone
    voice_speed = speech_speed
    voice = say

    def motor_set_pos_rel(self, motor: int, value: int = 0) -> None:
        """C name of :meth:`move_relative`; value is not sent (the wire has no amount)."""
        v.whole("value", value, "move relative")
        self.move_relative(motor)

    def motor_pos_all(self, angle1: int, angle2: int, angle3: int, angle4: int, angle5: int,
                      angle6: int, angle7: int) -> Pose:
        """C name of :meth:`pose` without a time."""
        return self.pose((angle1, angle2, angle3, angle4, angle5, angle6, angle7))

    def motor_angle_time(self, motor: int, angle: int, time: int) -> Move:
        """C name of :meth:`move` with a time."""
        return self.move(motor, angle, time)

    def motor_angle_time_rel(self, motor: int, value: int, time: int) -> None:
        """C name of :meth:`move_relative` with a time; value is not sent."""
        v.whole("value", value, "move relative")
        self.move_relative(motor, time)

    def motor_angle_multi_time(self, angle1: int, angle2: int, angle3: int, angle4: int,
                               angle5: int, angle6: int, angle7: int, time: int) -> Pose:
        """C name of :meth:`pose` with a time."""
        return self.pose((angle1, angle2, angle3, angle4, angle5, angle6, angle7), time)


_QUERY_METHODS: Dict[str, Callable[[Robot], str]] = {
    "who": Robot.who,
    "motor-power": Robot.motor_power_text,
    "motor-power-set": Robot.save_power_limit,
    "init": Robot.init_settings,
    "info": Robot.info,
    "init-mic-range": Robot.mic_range,
    "init-power-limit": Robot.power_limit,
    "position": Robot.position_text,
}
