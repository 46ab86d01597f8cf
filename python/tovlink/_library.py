"""Loading TovLinkLib with ctypes: where the shared library is found, the
prototypes of its functions, and its result codes."""

import ctypes
import ctypes.util
import os
import sys
from typing import Callable, Dict, Optional, Tuple, Union

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
RESULT_CODES: Dict[int, Tuple[str, str]] = {
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


# --- Finding and loading the library ---------------------------------------------

if sys.platform == "win32":
    _FILE_NAMES = ("TovLinkLib.dll",)
else:
    _FILE_NAMES = ("libTovLinkLib.so.1", "libTovLinkLib.so")


def _installed_library_path() -> Optional[str]:
    """Where `cmake --install` put the library, when this module came with it."""
    try:
        from . import _install_location
    except ImportError:
        return None
    return _install_location.LIBRARY_PATH


def find_library(path: Union[str, "os.PathLike[str]", None] = None) -> str:
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


def _declare(lib: ctypes.CDLL, name: str, restype, *argtypes) -> None:
    if sys.platform == "win32" and name in _WINDOWS_DECORATED_NAMES:
        setattr(lib, name, lib[_WINDOWS_DECORATED_NAMES[name]])
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)


def _declare_prototypes(lib: ctypes.CDLL) -> None:
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


_loaded: Dict[str, ctypes.CDLL] = {}


def load_once(target: str, declare: Callable[[ctypes.CDLL], None], what: str,
              remedy: str) -> ctypes.CDLL:
    """Loads the shared library at target once (later calls get the same
    object), with declare() setting its prototypes; an OSError names what
    it is and the remedy."""
    if target not in _loaded:
        try:
            lib = ctypes.CDLL(target)
        except OSError as error:
            raise OSError(f"cannot load {what} ({target}): {error}; {remedy}") from error
        declare(lib)
        _loaded[target] = lib
    return _loaded[target]


def load_library(path: Union[str, "os.PathLike[str]", None] = None) -> ctypes.CDLL:
    """Loads TovLinkLib (see find_library) with every prototype declared.

    One library object per path, so Robot objects and the module functions
    share the library's process-wide state.
    """
    return load_once(find_library(path), _declare_prototypes, "TovLinkLib",
                     "pass library=PATH, put the library next to the tovlink module, "
                     "or on the loader's path")


def library_version(library: Union[str, "os.PathLike[str]", None] = None) -> str:
    """The library's version text, e.g. "1.0.0.3" (needs no connection)."""
    lib = load_library(library)
    buffer = ctypes.create_string_buffer(32)
    code = lib.tovlin_get_lib_ver(buffer, len(buffer))
    if code != OK:
        from .errors import TovLinkError

        raise TovLinkError(f"tovlin_get_lib_ver: the version cannot be read (code {code})",
                           code=code, name=code_name(code), operation="tovlin_get_lib_ver")
    return buffer.value.decode("ascii")


def last_error(library: Union[str, "os.PathLike[str]", None] = None) -> int:
    """The process-wide last result code (tovlink_get_lasterror)."""
    return load_library(library).tovlink_get_lasterror()


def reply_text(buffer: ctypes.Array) -> str:
    """A text query's reply line as str, without its line ending.

    Each byte becomes one character (Latin-1), so nothing the robot sends is
    lost or refused.
    """
    return buffer.value.decode("latin-1").rstrip("\r\n")




def code_name(code: int) -> str:
    """The code's name in tovlink.h, or "unknown"."""
    return RESULT_CODES.get(code, ("unknown", ""))[0]
