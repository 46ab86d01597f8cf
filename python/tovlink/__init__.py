"""Python binding of TovLinkLib: drive the robot from Python.

    import tovlink

    with tovlink.Robot("/dev/ttyUSB0") as robot:
        print(robot.get_battery_value())
        robot.motor_set_pos(2, 90)

Every operation of the C library (tovlink.h) is a method of Robot under the
same name without the "tovlink_" prefix.  A method returns the value the C
function writes out (an int, a tuple of ints, or for the text queries a str)
and raises TovLinkError, carrying the result code and its meaning, whenever
the C function returns anything but TOVLINK_OK.

The library keeps one current connection per process and is not safe to call
from several threads at once; the same holds for this module.

Standard library only (ctypes): no build step.  See find_library() for where
the shared library is looked for.
"""

import ctypes
import ctypes.util
import os
import sys

__all__ = [
    "Robot",
    "TovLinkError",
    "RESULT_CODES",
    "find_library",
    "load_library",
    "library_version",
    "last_error",
]

# --- Result codes (tovlink.h) --------------------------------------------------

OK = 0
ERR_NO_CONNECTION = 1
ERR_NOT_CONNECTED = 2
ERR_INVALID_ARGUMENT = 3
ERR_EXCHANGE = 0xFFFFFFFF
ERR_CONNECT_RESET_SEND = 1001
ERR_CONNECT_PEER_SEND = 1003
ERR_CONNECT_PEER_REPLY = 1004
ERR_CONNECT_LINK_SEND = 1007
ERR_CONNECT_LINK_REPLY = 1008
ERR_CONNECT_INFO_SEND = 1009
ERR_PORT_OPEN = 10001
ERR_SEND_NULL = 10002
ERR_SEND_QUEUE = 10003
ERR_RECEIVE = 10005

# Code -> (name in tovlink.h, meaning).
RESULT_CODES = {
    OK: ("TOVLINK_OK", "success"),
    ERR_NO_CONNECTION: ("TOVLINK_ERR_NO_CONNECTION", "no connection"),
    ERR_NOT_CONNECTED: ("TOVLINK_ERR_NOT_CONNECTED", "not connected"),
    ERR_INVALID_ARGUMENT: (
        "TOVLINK_ERR_INVALID_ARGUMENT",
        "invalid argument (motor or value out of range, text too long, buffer too small)",
    ),
    ERR_EXCHANGE: (
        "TOVLINK_ERR_EXCHANGE",
        "the exchange with the robot failed (not sent, or no complete reply)",
    ),
    ERR_CONNECT_RESET_SEND: ("TOVLINK_ERR_CONNECT_RESET_SEND", "connect: the reset line could not be sent"),
    ERR_CONNECT_PEER_SEND: ("TOVLINK_ERR_CONNECT_PEER_SEND", "connect: the peer query could not be sent"),
    ERR_CONNECT_PEER_REPLY: ("TOVLINK_ERR_CONNECT_PEER_REPLY", "connect: no usable peer id from the adapter"),
    ERR_CONNECT_LINK_SEND: ("TOVLINK_ERR_CONNECT_LINK_SEND", "connect: the link line could not be sent"),
    ERR_CONNECT_LINK_REPLY: ("TOVLINK_ERR_CONNECT_LINK_REPLY", "connect: the adapter did not accept the link"),
    ERR_CONNECT_INFO_SEND: ("TOVLINK_ERR_CONNECT_INFO_SEND", "connect: the info query could not be sent"),
    ERR_PORT_OPEN: ("TOVLINK_ERR_PORT_OPEN", "the serial port could not be opened or set up"),
    ERR_SEND_NULL: ("TOVLINK_ERR_SEND_NULL", "nothing to send"),
    ERR_SEND_QUEUE: ("TOVLINK_ERR_SEND_QUEUE", "the line did not fit the send queue"),
    ERR_RECEIVE: ("TOVLINK_ERR_RECEIVE", "no complete reply in time"),
}

# Text query replies are short lines; this leaves ample room.
TEXT_REPLY_BUFFER_SIZE = 256
DEFAULT_BAUD = 115200
MOTOR_COUNT = 7


class TovLinkError(Exception):
    """A TovLinkLib function returned a result code other than TOVLINK_OK.

    code       the result code as the C function returned it (unsigned)
    name       its name in tovlink.h, e.g. "TOVLINK_ERR_INVALID_ARGUMENT"
    meaning    a short explanation
    operation  the C function that returned it
    """

    def __init__(self, code, operation):
        self.code = code
        self.operation = operation
        self.name, self.meaning = RESULT_CODES.get(code, ("unknown", "unknown result code"))
        super().__init__(f"{operation} failed with {code} ({self.name}: {self.meaning})")


# --- Finding and loading the library ---------------------------------------------

if sys.platform == "win32":
    _FILE_NAMES = ("TovLinkLib.dll",)
else:
    _FILE_NAMES = ("libTovLinkLib.so.1", "libTovLinkLib.so")


def _installed_library_path():
    """Where `cmake --install` put the library, when this module came with it."""
    try:
        from . import _install_location
    except ImportError:
        return None
    return _install_location.LIBRARY_PATH


def find_library(path=None):
    """Returns what to hand to ctypes to load TovLinkLib.

    In order: an explicit path; a copy next to this module; the library that
    the same `cmake --install` installed; then the system's search (the
    dynamic loader's path and cache, LD_LIBRARY_PATH) under the SONAME.
    """
    if path is not None:
        return os.fspath(path)
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _FILE_NAMES:
        beside = os.path.join(here, name)
        if os.path.exists(beside):
            return beside
    installed = _installed_library_path()
    if installed and os.path.exists(installed):
        return installed
    return ctypes.util.find_library("TovLinkLib") or _FILE_NAMES[0]


_INT = ctypes.c_int32
_INT_OUT = ctypes.POINTER(ctypes.c_int32)
_HANDLE = ctypes.c_void_p
_CODE = ctypes.c_uint32
_SIZE = ctypes.c_uint64

_TELEMETRY_GETTERS = (
    "get_sensor_value",
    "get_mic_value",
    "get_mic_analog_value",
    "get_battery_value",
    "get_motor_power",
)
_TEXT_QUERIES = (
    "who",
    "get_motorpower",
    "set_motorpower",
    "get_init",
    "get_info",
    "get_init_mic_range",
    "get_init_power_limit",
    "get_position",
)
# Commands: name -> number of int32 arguments after the handle.
_COMMANDS = {
    "motor_power_on": 1,
    "motor_power_off": 0,
    "motor_start": 0,
    "motor_set_pos": 2,
    "motor_set_pos_rel": 2,
    "motor_pos_all": 7,
    "motor_angle_time": 3,
    "motor_angle_time_rel": 3,
    "motor_angle_multi_time": 8,
    "motor_adjust": 2,
    "led_on": 1,
    "led_off": 1,
    "sound": 2,
    "voice_speed": 1,
}


# The Windows DLL exports two functions only under their C++-decorated names
# (see tovlink.h); they are bound to their plain names here.
_WINDOWS_DECORATED_NAMES = {
    "tovlink_motor_set_pos_rel": "?tovlink_motor_set_pos_rel@@YAIPEAKHH@Z",
    "tovlink_motor_angle_time_rel": "?tovlink_motor_angle_time_rel@@YAIPEAKHHH@Z",
}


def _declare(lib, name, restype, *argtypes):
    if sys.platform == "win32" and name in _WINDOWS_DECORATED_NAMES:
        setattr(lib, name, lib[_WINDOWS_DECORATED_NAMES[name]])
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)


def _declare_prototypes(lib):
    _declare(lib, "tovlink_connect", _HANDLE, ctypes.c_char_p, _INT)
    _declare(lib, "tovlink_end", None, _HANDLE)
    _declare(lib, "tovlink_get_lasterror", _CODE)
    _declare(lib, "tovlin_get_lib_ver", _CODE, ctypes.c_char_p, _SIZE)
    for name in _TELEMETRY_GETTERS:
        _declare(lib, "tovlink_" + name, _CODE, _HANDLE, _INT_OUT)
    _declare(lib, "tovlink_get_motor_position", _CODE, _HANDLE, _INT, _INT_OUT)
    _declare(lib, "tovlink_get_motor_positions", _CODE, _HANDLE, *([_INT_OUT] * MOTOR_COUNT))
    for name in _TEXT_QUERIES:
        _declare(lib, "tovlink_" + name, _CODE, _HANDLE, ctypes.c_char_p, _SIZE)
    for name, arg_count in _COMMANDS.items():
        _declare(lib, "tovlink_" + name, _CODE, _HANDLE, *([_INT] * arg_count))
    _declare(lib, "tovlink_voice", _CODE, _HANDLE, ctypes.c_char_p)


_loaded = {}


def load_library(path=None):
    """Loads TovLinkLib (see find_library) with every prototype declared.

    One library object per path, so Robot objects and the module functions
    share the library's process-wide state.
    """
    target = find_library(path)
    if target not in _loaded:
        try:
            lib = ctypes.CDLL(target)
        except OSError as error:
            raise OSError(
                f"cannot load TovLinkLib ({target}): {error}; pass library=PATH, "
                "put the library next to the tovlink module, or on the loader's path"
            ) from error
        _declare_prototypes(lib)
        _loaded[target] = lib
    return _loaded[target]


def library_version(library=None):
    """The library's version text, e.g. "1.0.0.3" (needs no connection)."""
    lib = load_library(library)
    buffer = ctypes.create_string_buffer(32)
    _check(lib.tovlin_get_lib_ver(buffer, len(buffer)), "tovlin_get_lib_ver")
    return buffer.value.decode("ascii")


def last_error(library=None):
    """The process-wide last result code (tovlink_get_lasterror)."""
    return load_library(library).tovlink_get_lasterror()


def _check(code, operation):
    if code != OK:
        raise TovLinkError(code, operation)


def _reply_text(buffer):
    """A text query's reply line as str, without its line ending.

    Each byte becomes one character (Latin-1), so nothing the robot sends is
    lost or refused.
    """
    return buffer.value.decode("latin-1").rstrip("\r\n")


# --- The robot ---------------------------------------------------------------------


class Robot:
    """A connection to the robot; use it as a context manager.

    Robot(port, baud=115200, library=None) connects (at least 3.5 s: the
    adapter dialogue) and raises TovLinkError with the connect's result code
    when that fails.  port: a device path, or a name under /dev (Linux) or a
    COM name (Windows).  library: an explicit path to the shared library.

    The C library keeps one current connection per process: a second Robot
    replaces the first as the one every operation acts on.
    """

    def __init__(self, port, baud=DEFAULT_BAUD, library=None):
        self._lib = load_library(library)
        self._handle = self._lib.tovlink_connect(os.fsencode(port), baud)
        if not self._handle:
            raise TovLinkError(self._lib.tovlink_get_lasterror(), "tovlink_connect")
        self.port = port
        self.baud = baud

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.end()

    def __repr__(self):
        state = "connected" if self.connected else "ended"
        return f"<tovlink.Robot {self.port!r} {self.baud} baud, {state}>"

    @property
    def connected(self):
        return self._handle is not None

    def end(self):
        """Ends the connection (tovlink_end).  Calling it again does nothing."""
        if self._handle is not None:
            self._lib.tovlink_end(self._handle)
            self._handle = None

    close = end

    def _call(self, name, *args):
        _check(getattr(self._lib, "tovlink_" + name)(self._handle, *args), "tovlink_" + name)

    def _read_int(self, name, *args):
        value = ctypes.c_int32()
        self._call(name, *args, ctypes.byref(value))
        return value.value

    def _text(self, name):
        buffer = ctypes.create_string_buffer(TEXT_REPLY_BUFFER_SIZE)
        # One byte stays zero, so the reply always ends as text.
        self._call(name, buffer, len(buffer) - 1)
        return _reply_text(buffer)

    # Telemetry: each asks the robot for its status line ("#140").

    def get_sensor_value(self):
        return self._read_int("get_sensor_value")

    def get_mic_value(self):
        return self._read_int("get_mic_value")

    def get_mic_analog_value(self):
        return self._read_int("get_mic_analog_value")

    def get_battery_value(self):
        return self._read_int("get_battery_value")

    def get_motor_power(self):
        """Motor power as a number (get_motorpower is the text query)."""
        return self._read_int("get_motor_power")

    def get_motor_position(self, motor):
        """Position of motor 1-7."""
        return self._read_int("get_motor_position", motor)

    def get_motor_positions(self):
        """The last positions received, motors 1-7, without asking the robot."""
        values = [ctypes.c_int32() for _ in range(MOTOR_COUNT)]
        self._call("get_motor_positions", *(ctypes.byref(value) for value in values))
        return tuple(value.value for value in values)

    # Text queries: the robot's reply line as str, line ending removed.

    def who(self):
        return self._text("who")

    def get_motorpower(self):
        return self._text("get_motorpower")

    def set_motorpower(self):
        """Has the robot keep its power setting; returns its reply."""
        return self._text("set_motorpower")

    def get_init(self):
        return self._text("get_init")

    def get_info(self):
        return self._text("get_info")

    def get_init_mic_range(self):
        return self._text("get_init_mic_range")

    def get_init_power_limit(self):
        return self._text("get_init_power_limit")

    def get_position(self):
        return self._text("get_position")

    # Motors: numbered 1-7 (255: all, where tovlink.h allows it).

    def motor_power_on(self, value):
        """value >= 500."""
        self._call("motor_power_on", value)

    def motor_power_off(self):
        self._call("motor_power_off")

    def motor_start(self):
        self._call("motor_start")

    def motor_set_pos(self, motor, angle):
        self._call("motor_set_pos", motor, angle)

    def motor_set_pos_rel(self, motor, value=0):
        self._call("motor_set_pos_rel", motor, value)

    def motor_pos_all(self, angle1, angle2, angle3, angle4, angle5, angle6, angle7):
        self._call("motor_pos_all", angle1, angle2, angle3, angle4, angle5, angle6, angle7)

    def motor_angle_time(self, motor, angle, time):
        """Moves motor (1-7 or 255) to angle over time."""
        self._call("motor_angle_time", motor, angle, time)

    def motor_angle_time_rel(self, motor, value, time):
        self._call("motor_angle_time_rel", motor, value, time)

    def motor_angle_multi_time(self, angle1, angle2, angle3, angle4, angle5, angle6, angle7, time):
        self._call(
            "motor_angle_multi_time", angle1, angle2, angle3, angle4, angle5, angle6, angle7, time
        )

    def motor_adjust(self, motor, value):
        self._call("motor_adjust", motor, value)

    # LEDs, sound and voice.

    def led_on(self, led):
        self._call("led_on", led)

    def led_off(self, led):
        self._call("led_off", led)

    def sound(self, first, second):
        self._call("sound", first, second)

    def voice_speed(self, speed):
        """speed 50-300."""
        self._call("voice_speed", speed)

    def voice(self, text):
        """Speaks text: at most 39 bytes; str is sent as UTF-8, bytes as given."""
        data = text if isinstance(text, bytes) else text.encode("utf-8")
        self._call("voice", data)

    # Library-wide, here too for convenience.

    def last_error(self):
        return self._lib.tovlink_get_lasterror()

    def library_version(self):
        buffer = ctypes.create_string_buffer(32)
        _check(self._lib.tovlin_get_lib_ver(buffer, len(buffer)), "tovlin_get_lib_ver")
        return buffer.value.decode("ascii")
