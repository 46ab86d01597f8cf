"""Robot: a direct connection to the robot, a session of the session
library libTovLinkCxx (<tovlink/session.h>, through ctypes)."""

from __future__ import annotations

import ctypes
import os
import threading
import time
import weakref
from typing import Any, Dict, Optional, Sequence, Tuple, Union

from . import _library as lib_
from . import motion as motion_
from . import values as v
from .errors import (ArgumentError, ConnectError, NotConnectedError, PortError, TovLinkError,
                     make_error)
from .values import Contract, Move, Pose, Telemetry

__all__ = ["Robot"]

PathLike = Union[str, "os.PathLike[str]"]

_CONNECT_STEPS = {
    lib_.ERR_RECEIVE: "the adapter did not answer the reset (no CMD reply to R,1)",
    lib_.ERR_CONNECT_RESET_SEND: "could not send the reset line (R,1)",
    lib_.ERR_CONNECT_PEER_SEND: "could not send the peer id request (GDH)",
    lib_.ERR_CONNECT_PEER_REPLY: "no usable peer id from the adapter",
    lib_.ERR_CONNECT_LINK_SEND: "could not send the link line (E,0,...)",
    lib_.ERR_CONNECT_LINK_REPLY: "the adapter refused the link (no AOK reply to E,0,...)",
    lib_.ERR_CONNECT_INFO_SEND: "could not send the info line (I)",
}


def _library_error(error: lib_.Error, operation: str) -> TovLinkError:
    """The exception for what the library reported about a failed operation:
    its name, its message and its sent flag, as they are.  code is the C
    library's form (unsigned: 4294967295 for a failed exchange)."""
    return make_error(error.name, error.text, code=error.code & 0xFFFFFFFF,
                      operation=operation, sent=bool(error.sent))


def _not_connected(operation: str, what: str) -> TovLinkError:
    return NotConnectedError(f"{what}: not connected (the connection was ended)",
                             code=lib_.ERR_NOT_CONNECTED, name="not_connected",
                             operation=operation, sent=False)


def _connect_error(error: lib_.Error, port: str) -> TovLinkError:
    code = error.code & 0xFFFFFFFF
    details: Dict[str, Any] = {"code": code, "name": error.name,
                               "operation": "tovlink_connect", "sent": False}
    if code == lib_.ERR_PORT_OPEN:
        number = error.system_error
        if number:
            text = os.strerror(number)
            return PortError(f"connect to {port}: could not open the serial port: {text}",
                             errno=number, strerror=text, **details)
        return PortError(f"connect to {port}: could not open or set up the serial port "
                         f"({error.meaning})", **details)
    step = _CONNECT_STEPS.get(code)
    if step is not None:
        return ConnectError(f"connect to {port}: {step}", **details)
    return _library_error(error, "tovlink_connect")


def _close_session(lib: ctypes.CDLL, session: int, motions: "weakref.WeakSet[Any]") -> None:
    """Ends a session; its plays and recordings first, which use it from
    threads of their own."""
    for running in list(motions):
        running.close()
    lib.tovlink_session_close(session)


class _Connecting:
    """An open running on a thread of its own, so that Ctrl-C (or any
    exception) in the waiting thread stops it: the session library then ends
    what it opened and returns within 50 ms (the open's cancel token)."""

    _POLL_S = 0.05
    _STOP_WAIT_S = 5.0

    def __init__(self, lib: ctypes.CDLL, port: bytes, baud: int) -> None:
        self._lib = lib
        self._cancel = lib.tovlink_cancel_new()
        if not self._cancel:
            raise MemoryError("connect: out of memory")
        self.error = lib_.Error()
        self.session: Optional[int] = None
        self._abandoned = False
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._run, args=(port, baud),
                                        name="tovlink-connect", daemon=True)

    def _run(self, port: bytes, baud: int) -> None:
        options = lib_.SessionOptions(baud=baud, cancel=self._cancel)
        opened = ctypes.c_void_p()
        code = self._lib.tovlink_session_open(port, ctypes.byref(options), ctypes.byref(opened))
        if code != lib_.OK:
            # The failed open is this thread's to read.
            self._lib.tovlink_session_last_error(None, ctypes.byref(self.error))
        with self._lock:
            if self._abandoned and opened.value:
                self._lib.tovlink_session_close(opened)
                opened = ctypes.c_void_p()
            self.session = opened.value

    def wait(self) -> Optional[int]:
        """The open session, or None (see error)."""
        self._thread.start()
        try:
            while self._thread.is_alive():
                self._thread.join(self._POLL_S)
        except BaseException:
            with self._lock:
                self._abandoned = True
            self._lib.tovlink_cancel_request(self._cancel)
            self._thread.join(self._STOP_WAIT_S)
            raise
        finally:
            if not self._thread.is_alive():
                self._lib.tovlink_cancel_free(self._cancel)
        return self.session


class Robot:
    """A connection to the robot; use it with ``with``.

    ``Robot(port, baud=115200, library=None)`` opens the port and runs the
    adapter dialogue (about 3.5 s).  port: a device path, a name under /dev
    (Linux) or a COM name (Windows).  library: an explicit path to the
    session library libTovLinkCxx (else see :func:`tovlink.find_library`).

    Raises PortError (also an OSError, with the system's errno) when the port
    will not open, ConnectError (also a ConnectionError) when the dialogue
    fails.  Ctrl-C during the connect stops it within about 50 ms and closes
    the port it opened.

    Each Robot is a connection of its own (several robots in one program
    work), and quiet: nothing is printed.  Its methods may be called from
    several threads; the robot serves them one at a time.  Once the robot's
    port fails (unplugged), every method raises DisconnectedError at once.
    A Robot that is never ended is ended when it is garbage-collected or at
    interpreter exit.

    Methods have Python names (``move``, ``telemetry``, ``say``); the C
    library's names (``motor_set_pos``, ``get_battery_value``, ``voice``)
    are kept as aliases taking the C functions' arguments.
    """

    def __init__(self, port: PathLike, baud: int = lib_.DEFAULT_BAUD,
                 library: Optional[PathLike] = None) -> None:
        self._session: Optional[int] = None
        self._finalizer: Optional[weakref.finalize] = None
        self._lock = threading.RLock()
        # Plays and recordings on this session: ended before the session is.
        self._motions: "weakref.WeakSet[Any]" = weakref.WeakSet()
        self._last_code = lib_.OK
        self.port = os.fsdecode(port)
        self.baud = v.whole("baud", baud, "connect")
        self._library = library
        self._lib = lib_.load_library(library)
        self.contract: Contract = v.library_contract(library)
        """What the robot accepts, as the library defines it (see Contract)."""
        self._queries = lib_.query_numbers(self._lib)
        connecting = _Connecting(self._lib, os.fsencode(port), self.baud)
        session = connecting.wait()
        lib_.note_connect(connecting.error.code)
        if not session:
            raise _connect_error(connecting.error, self.port)
        self._session = session
        self._finalizer = weakref.finalize(self, _close_session, self._lib, session,
                                           self._motions)

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
        return self._session is not None

    @property
    def link_alive(self) -> bool:
        """False once the robot's port has failed (unplugged) or the Robot
        was ended; never blocks."""
        session = self._session
        return session is not None and bool(self._lib.tovlink_session_link_alive(session))

    def end(self) -> None:
        """Ends the connection (closes the port).  Calling it again does
        nothing; an operation running on another thread finishes first."""
        with self._lock:
            if self._session is not None:
                self._session = None
                if self._finalizer is not None:
                    self._finalizer()

    close = end

    # --- Calling the session library ---------------------------------------------------

    def _call(self, operation: str, function: str, *args: Any, what: str = "") -> None:
        """Runs a tovlink_session_* function on this robot's session;
        operation names the C function it stands for (as
        TovLinkError.operation does), or the Python method where there is
        none ("telemetry"); what is how a message names it when the Robot
        was ended."""
        with self._lock:
            if self._session is None:
                self._last_code = lib_.ERR_NOT_CONNECTED
                raise _not_connected(operation, what or operation)
            code = getattr(self._lib, function)(self._session, *args)
            self._last_code = code & 0xFFFFFFFF
            if code != lib_.OK:
                # The library keeps the failure as this thread's last error there.
                error = lib_.Error()
                self._lib.tovlink_session_last_error(self._session, ctypes.byref(error))
        if code != lib_.OK:
            raise _library_error(error, operation)

    def _refuse(self, operation: str, what: str, reason: str) -> None:
        """Raises the refusal of an argument the library cannot be handed,
        as _call would raise the library's own."""
        with self._lock:
            if self._session is None:
                self._last_code = lib_.ERR_NOT_CONNECTED
                raise _not_connected(operation, what)
            self._last_code = lib_.ERR_INVALID_ARGUMENT
        raise ArgumentError(f"{what}: {reason}", code=lib_.ERR_INVALID_ARGUMENT,
                            name="invalid_argument", operation=operation, sent=False)

    def _text(self, function: str, name: str) -> str:
        buffer = ctypes.create_string_buffer(lib_.TEXT_REPLY_BUFFER_SIZE)
        length = ctypes.c_size_t()
        self._call(function, "tovlink_session_query", self._queries[name], buffer, len(buffer),
                   ctypes.byref(length), what=f"query {name}")
        return lib_.reply_text(buffer)

    # --- Telemetry ----------------------------------------------------------------------

    def telemetry(self) -> Telemetry:
        """Every telemetry value, all from one status exchange ("#140").

        Raises TovLinkError (name "bad_reply") when the reply is not a
        complete status line.
        """
        return self._reading("telemetry", "telemetry")

    def sensor(self) -> int:
        """The sensor reading (one status exchange)."""
        return self._reading("tovlink_get_sensor_value", "sensor").sensor

    def mic(self) -> int:
        """The microphone level (one status exchange)."""
        return self._reading("tovlink_get_mic_value", "microphone").mic

    def mic_analog(self) -> int:
        """The microphone's analog value (one status exchange)."""
        return self._reading("tovlink_get_mic_analog_value", "microphone analog").mic_analog

    def battery(self) -> int:
        """The battery in millivolts (one status exchange)."""
        return self._reading("tovlink_get_battery_value", "battery").battery

    def motor_power(self) -> int:
        """The motor power value, 0 while off (one status exchange)."""
        return self._reading("tovlink_get_motor_power", "motor power").motor_power

    def motor_position(self, motor: int) -> int:
        """The position of motor 1-7 (one status exchange)."""
        number = v.motor_number(motor, self.contract, "motor position")
        reading = self._reading("tovlink_get_motor_position", f"position of motor {number}")
        return reading.positions[number - 1]

    def motor_positions(self) -> Tuple[int, ...]:
        """The positions of motors 1-7, all from one status exchange."""
        return self._reading("tovlink_get_motor_positions", "motor positions").positions

    def _reading(self, operation: str, what: str) -> Telemetry:
        """One status exchange, every value from its one reply."""
        reading = lib_.TelemetryReading()
        self._call(operation, "tovlink_session_telemetry", ctypes.byref(reading), what=what)
        return Telemetry(reading.sensor, reading.mic, reading.mic_analog, reading.battery,
                         reading.motor_power, tuple(reading.positions))

    # --- Text queries: the robot's reply line, line ending removed ----------------------

    def query(self, name: str) -> str:
        """A text query by its name (see Contract.queries): "who", "info", ..."""
        return self._text("query", v.query_name(name, self.contract))

    def who(self) -> str:
        """The robot's identification ("#800")."""
        return self._text("tovlink_who", "who")

    def motor_power_text(self) -> str:
        """The motor power state as the robot words it ("#802")."""
        return self._text("tovlink_get_motorpower", "motor-power")

    def save_power_limit(self) -> str:
        """Has the robot keep its current power value as its limit ("#803");
        returns its reply.  (The C name is set_motorpower.)"""
        return self._text("tovlink_set_motorpower", "motor-power-set")

    def init_settings(self) -> str:
        """The initial settings ("#804")."""
        return self._text("tovlink_get_init", "init")

    def info(self) -> str:
        """The robot's information line ("#805")."""
        return self._text("tovlink_get_info", "info")

    def mic_range(self) -> str:
        """The initial microphone range ("#806")."""
        return self._text("tovlink_get_init_mic_range", "init-mic-range")

    def power_limit(self) -> str:
        """The initial power limit ("#807")."""
        return self._text("tovlink_get_init_power_limit", "init-power-limit")

    def position_text(self) -> str:
        """The positions as the robot words them ("#142")."""
        return self._text("tovlink_get_position", "position")

    # --- Motors: the library checks every value and clamps angles ---------------------

    def power_on(self, value: Optional[int] = None) -> None:
        """Powers the motors with value (default: the contract's
        default_power_value; the library refuses one below its range)."""
        number = (self.contract.default_power_value if value is None
                  else v.whole("value", value, "power on"))
        self._call("tovlink_motor_power_on", "tovlink_session_power_on", number, what="power on")

    def power_off(self) -> None:
        """Powers the motors off."""
        self._call("tovlink_motor_power_off", "tovlink_session_power_off", what="power off")

    def start(self) -> None:
        """Starts the motors ("#134")."""
        self._call("tovlink_motor_start", "tovlink_session_start", what="start")

    def move(self, motor: int, angle: int, time_ms: Optional[int] = None) -> Union[Move, Pose]:
        """Moves motor 1-7 to angle, at once or over time_ms; the angle is
        clamped to the motor's range (Contract.angle_range) and the returned
        Move says what was sent.

        With a time, motor may be 255 (every motor): each motor is clamped
        to its own range (the seven-angle timed move), and the result is a
        Pose of the seven angles sent.
        """
        what = f"move motor {motor}"
        number = v.whole("motor", motor, what)
        requested = v.whole("angle", angle, what)
        ms = v.optional_whole("time_ms", time_ms, what)
        sent = (ctypes.c_int32 * lib_.MOTORS)()
        if ms is None:
            self._call("tovlink_motor_set_pos", "tovlink_session_move", number, requested, sent,
                       what=what)
        elif number == self.contract.all_motors:
            # Each motor's own clamped angle, not the one motors 1, 4 and 7 got.
            self._call("tovlink_motor_angle_time", "tovlink_session_move_all", requested, ms,
                       sent, what=what)
            return Pose(tuple(sent), (requested,) * len(sent), ms, self.contract.angle_ranges)
        else:
            self._call("tovlink_motor_angle_time", "tovlink_session_move_timed", number,
                       requested, ms, sent, what=what)
        return Move(number, sent[0], requested, self.contract.angle_range(number), ms)

    def move_all(self, angle: int, time_ms: int) -> Pose:
        """Every motor to angle over time_ms, each clamped to its own range."""
        return self.move(self.contract.all_motors, angle, time_ms)  # type: ignore[return-value]

    def pose(self, angles: Sequence[int], time_ms: Optional[int] = None) -> Pose:
        """Moves all seven motors (angles for motors 1-7), at once or over
        time_ms; each angle is clamped to its motor's range."""
        count = self.contract.motor_count
        requested = v.angle_list(angles, count, "pose")
        ms = v.optional_whole("time_ms", time_ms, "pose")
        wanted = (ctypes.c_int32 * lib_.MOTORS)(*requested)
        sent = (ctypes.c_int32 * lib_.MOTORS)()
        if ms is None:
            self._call("tovlink_motor_pos_all", "tovlink_session_pose", wanted, sent, what="pose")
        else:
            self._call("tovlink_motor_angle_multi_time", "tovlink_session_pose_timed", wanted, ms,
                       sent, what="pose")
        return Pose(tuple(sent), requested, ms, self.contract.angle_ranges)

    def move_relative(self, motor: int, time_ms: Optional[int] = None) -> None:
        """The robot's relative move of motor 1-7 (or 255 with a time): the
        virtual robot releases the motor where it is."""
        what = f"move motor {motor} relative"
        number = v.whole("motor", motor, what)
        ms = v.optional_whole("time_ms", time_ms, what)
        if ms is None:
            self._call("tovlink_motor_set_pos_rel", "tovlink_session_move_relative", number,
                       what=what)
        else:
            self._call("tovlink_motor_angle_time_rel", "tovlink_session_move_relative_timed",
                       number, ms, what=what)

    def adjust(self, motor: int, offset: int) -> None:
        """Sets the adjustment offset of motor 1-7."""
        what = f"adjust motor {motor}"
        self._call("tovlink_motor_adjust", "tovlink_session_adjust", v.whole("motor", motor, what),
                   v.whole("offset", offset, what), what=what)

    # --- LEDs, sound and speech ------------------------------------------------------------

    def led_on(self, led: int) -> None:
        """Switches an LED on (Contract.leds: eyes 1 2, mouth 3, chest 4, ears 5 6)."""
        number = v.whole("led", led, "led on")
        self._call("tovlink_led_on", "tovlink_session_led_on", number, what=f"led {number} on")

    def led_off(self, led: int) -> None:
        """Switches an LED off."""
        number = v.whole("led", led, "led off")
        self._call("tovlink_led_off", "tovlink_session_led_off", number, what=f"led {number} off")

    def tone(self, first: int, second: int) -> None:
        """Plays a tone (the virtual robot takes the values as Hz and ms)."""
        self._call("tovlink_sound", "tovlink_session_tone", v.whole("first", first, "tone"),
                   v.whole("second", second, "tone"), what="tone")

    def say(self, text: Union[str, bytes]) -> None:
        """Speaks text (str is sent as UTF-8, bytes as given).  The library
        refuses a text longer than Contract.max_speech_bytes or holding a
        line end (which would start another command) or a zero byte."""
        data = v.speech_bytes(text, "say")
        if b"\0" in data:
            # The library takes a zero-terminated text and would see this one
            # cut short, so the refusal (in the library's words) is made here.
            self._refuse("tovlink_voice", "say", "the text holds a zero byte")
        self._call("tovlink_voice", "tovlink_session_say", data, what="say")

    def speech_speed(self, speed: int) -> None:
        """Sets the speech speed (Contract.speech_speed_range)."""
        self._call("tovlink_voice_speed", "tovlink_session_speech_speed",
                   v.whole("speed", speed, "speech speed"), what="speech speed")

    # --- Motions (tovlink.motion, the motion library libTovLinkMotion) -------------------

    def start_play(self, motion: motion_.MotionLike, speed: float = 1.0, loops: int = 1,
                   soft_start_ms: int = 0, on_progress: Optional[motion_.ProgressCallback] = None,
                   start_at_ms: Optional[int] = None) -> motion_.Play:
        """Starts playing a motion (a motion file's dict, or its path) and
        returns at once with the Play (pause, resume, stop, progress, wait).

        speed 0.1-10; loops 1 or more, 0 for until stopped; soft_start_ms
        makes the first move that much longer, easing from wherever the
        robot is; start_at_ms: a Unix time in ms for the first line (fleets
        started together).  Each keyframe goes out as one timed seven-angle
        move; angles outside a motor's range are clamped (Play.report lists
        them).  A bad motion raises ArgumentError naming the field at fault,
        and nothing is sent.  The robot's other methods stay usable while it
        plays; ending the Robot stops the play.
        """
        lib = motion_.load_motion_library(self._library)
        text = motion_.motion_text(motion, "play")
        options = motion_.play_options(speed, loops, soft_start_ms, start_at_ms)
        with self._lock:
            if self._session is None:
                raise _not_connected("play", "play")
            play = motion_.Play(lib, self._session, text, options, on_progress, owner=self)
            self._motions.add(play)
        return play

    def play(self, motion: motion_.MotionLike, speed: float = 1.0, loops: int = 1,
             soft_start_ms: int = 0, on_progress: Optional[motion_.ProgressCallback] = None,
             start_at_ms: Optional[int] = None) -> Dict[str, Any]:
        """Plays a motion to its end (see start_play) and returns its last
        progress.  on_progress(progress) is called on this thread after each
        keyframe's move is sent and on each change of state.  Ctrl-C stops
        the robot cleanly (nothing more is sent) and is raised again.
        Raises the robot's error when it failed mid-motion (DisconnectedError
        when it was lost)."""
        with self.start_play(motion, speed, loops, soft_start_ms, on_progress,
                             start_at_ms) as playing:
            last = playing.wait()
            assert last is not None
            if last["state"] == "failed":
                failure = playing.error()
                if failure is not None:
                    raise failure
            return last

    def start_recording(self, interval_ms: int = 50) -> motion_.Recording:
        """Starts reading the motors' positions every interval_ms (10-10000)
        on a thread of the library's; Recording.stop(tolerance, name) ends it
        and returns the motion.  Teach by hand: power the motors off first,
        then move the robot."""
        lib = motion_.load_motion_library(self._library)
        interval = v.whole("interval_ms", interval_ms, "record")
        with self._lock:
            if self._session is None:
                raise _not_connected("record", "record")
            recording = motion_.Recording(lib, self._session, interval, owner=self)
            self._motions.add(recording)
        return recording

    def record(self, seconds: float, interval_ms: int = 50, tolerance: float = 2.0,
               name: str = "recording") -> Dict[str, Any]:
        """Records the robot's movement for `seconds` and returns it as a
        motion (a motion file's dict) reduced to the keyframes that keep
        within tolerance degrees of every sample.  Ctrl-C ends the recording
        (nothing is kept) and is raised again."""
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or seconds < 0:
            raise ArgumentError(f"record: seconds must be a number of seconds, 0 or more "
                                f"(got {seconds!r})", argument="seconds", operation="record",
                                sent=False)
        with self.start_recording(interval_ms) as recording:
            deadline = time.monotonic() + seconds
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                time.sleep(min(left, 0.05))
            return recording.stop(tolerance, name)

    # --- Library-wide ------------------------------------------------------------------------

    def last_error(self) -> int:
        """The result code of this Robot's last operation: 0 when it
        succeeded, else the code its exception carried."""
        return self._last_code

    def library_version(self) -> str:
        """The library's version, e.g. "1.0.0.3"."""
        return lib_.library_version(self._library)

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

    def motor_angle_time(self, motor: int, angle: int, time: int) -> Union[Move, Pose]:
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

