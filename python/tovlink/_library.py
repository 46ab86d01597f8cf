"""The session library, libTovLinkCxx, through ctypes: where it is found,
the declarations of the <tovlink/session.h> functions the package calls, and
the result codes.

The package loads this library: tovlink.Robot is a session of it, and the
robot's contract (limits, LEDs, queries, error names) is read from it.
Motions add the motion library, found beside it (find_motion_library).
"""

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Dict, List, Optional, Tuple, Union

PathLike = Union[str, "os.PathLike[str]"]

# --- Result codes (tovlink.h; <tovlink/session.h> uses the same values) --------

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


# --- Finding and loading the library ---------------------------------------------

if sys.platform == "win32":
    _FILE_NAMES = ("TovLinkCxx.dll",)
else:
    _FILE_NAMES = ("libTovLinkCxx.so.1", "libTovLinkCxx.so")
_SYSTEM_NAME = "TovLinkCxx"


def _installed_library_path() -> Optional[str]:
    """Where `cmake --install` put the library, when this package came with it."""
    try:
        from . import _install_location
    except ImportError:
        return None
    return getattr(_install_location, "LIBRARY_PATH", None)


def library_search_list() -> List[str]:
    """The files find_library() tries, in order, when it is given no path;
    the first that exists is loaded.

    1. a copy next to this module (an application may ship them together);
    2. the library that the same `cmake --install` installed (the note
       _install_location.py, written by that install).

    When none exists, the system's loader is asked for it by name (its path
    and cache, LD_LIBRARY_PATH).  A new place to look goes into this list,
    and only here.
    """
    here = os.path.dirname(os.path.abspath(__file__))
    places = [os.path.join(here, name) for name in _FILE_NAMES]
    installed = _installed_library_path()
    if installed:
        places.append(installed)
    return places


def find_library(path: Optional[PathLike] = None) -> str:
    """What ctypes is handed to load the session library (libTovLinkCxx):
    an explicit path as given; else the first file of library_search_list()
    that exists; else the library's name for the system's loader."""
    if path is not None:
        return os.fspath(path)
    for place in library_search_list():
        if os.path.exists(place):
            return place
    return ctypes.util.find_library(_SYSTEM_NAME) or _FILE_NAMES[0]


# The motion library, libTovLinkMotion (<tovlink/motion.h>), is built and
# installed beside the session library and loads it: it is looked for next
# to the session library the package loaded, else asked of the system's
# loader by name.
if sys.platform == "win32":
    _MOTION_FILE_NAMES = ("TovLinkMotion.dll",)
else:
    _MOTION_FILE_NAMES = ("libTovLinkMotion.so.1", "libTovLinkMotion.so")


def find_motion_library(path: Optional[PathLike] = None) -> str:
    """What ctypes is handed to load the motion library, for the session
    library find_library(path) names: the file beside it, else the motion
    library's name for the system's loader."""
    session = find_library(path)
    folder = os.path.dirname(session)
    if folder:
        for name in _MOTION_FILE_NAMES:
            if os.path.exists(os.path.join(folder, name)):
                return os.path.join(folder, name)
    return _MOTION_FILE_NAMES[0]


# --- <tovlink/session.h> -----------------------------------------------------------

MOTORS = 7  # TOVLINK_SESSION_MOTORS: the length of the pose and telemetry arrays


class Error(ctypes.Structure):
    """tovlink_error: a failure as tovlink_session_last_error reports it."""

    _fields_ = [
        ("code", ctypes.c_int32),
        ("sent", ctypes.c_int32),
        ("system_error", ctypes.c_int32),
        ("name_bytes", ctypes.c_char * 32),
        ("message", ctypes.c_char * 480),
    ]

    @property
    def name(self) -> str:
        return self.name_bytes.decode("ascii", "replace")

    @property
    def text(self) -> str:
        return self.message.decode("utf-8", "replace")

    @property
    def meaning(self) -> str:
        """The message without the operation in front."""
        operation, separator, rest = self.text.partition(": ")
        return rest if separator else operation


class TelemetryReading(ctypes.Structure):
    """tovlink_telemetry: one status line's values."""

    _fields_ = [
        ("sensor", ctypes.c_int32),
        ("mic", ctypes.c_int32),
        ("mic_analog", ctypes.c_int32),
        ("battery", ctypes.c_int32),
        ("motor_power", ctypes.c_int32),
        ("positions", ctypes.c_int32 * MOTORS),
    ]


LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)


class SessionOptions(ctypes.Structure):
    """tovlink_session_options (no log callback: a Robot is quiet)."""

    _fields_ = [
        ("baud", ctypes.c_int32),
        ("log", LOG_CALLBACK),
        ("log_context", ctypes.c_void_p),
        ("cancel", ctypes.c_void_p),
    ]


_SESSION = ctypes.c_void_p
_CANCEL = ctypes.c_void_p
_INT = ctypes.c_int32
_INTS = ctypes.POINTER(ctypes.c_int32)
_SIZE = ctypes.c_size_t

_PROTOTYPES = {
    "tovlink_session_last_error": (_INT, _SESSION, ctypes.POINTER(Error)),
    "tovlink_cancel_new": (_CANCEL,),
    "tovlink_cancel_request": (None, _CANCEL),
    "tovlink_cancel_free": (None, _CANCEL),
    "tovlink_session_open": (_INT, ctypes.c_char_p, ctypes.POINTER(SessionOptions),
                             ctypes.POINTER(_SESSION)),
    "tovlink_session_close": (None, _SESSION),
    "tovlink_session_link_alive": (_INT, _SESSION),
    "tovlink_session_telemetry": (_INT, _SESSION, ctypes.POINTER(TelemetryReading)),
    "tovlink_session_query": (_INT, _SESSION, _INT, ctypes.c_char_p, _SIZE,
                              ctypes.POINTER(_SIZE)),
    "tovlink_session_move": (_INT, _SESSION, _INT, _INT, _INTS),
    "tovlink_session_move_timed": (_INT, _SESSION, _INT, _INT, _INT, _INTS),
    "tovlink_session_move_all": (_INT, _SESSION, _INT, _INT, _INTS),
    "tovlink_session_pose": (_INT, _SESSION, _INTS, _INTS),
    "tovlink_session_pose_timed": (_INT, _SESSION, _INTS, _INT, _INTS),
    "tovlink_session_move_relative": (_INT, _SESSION, _INT),
    "tovlink_session_move_relative_timed": (_INT, _SESSION, _INT, _INT),
    "tovlink_session_adjust": (_INT, _SESSION, _INT, _INT),
    "tovlink_session_power_on": (_INT, _SESSION, _INT),
    "tovlink_session_power_off": (_INT, _SESSION),
    "tovlink_session_start": (_INT, _SESSION),
    "tovlink_session_led_on": (_INT, _SESSION, _INT),
    "tovlink_session_led_off": (_INT, _SESSION, _INT),
    "tovlink_session_tone": (_INT, _SESSION, _INT, _INT),
    "tovlink_session_speech_speed": (_INT, _SESSION, _INT),
    "tovlink_session_say": (_INT, _SESSION, ctypes.c_char_p),
    "tovlink_query_name": (ctypes.c_char_p, _INT),
    "tovlink_contract_json": (_SIZE, ctypes.c_char_p, _SIZE),
    "tovlink_session_library_version": (_SIZE, ctypes.c_char_p, _SIZE),
}


def _declare_prototypes(lib: ctypes.CDLL) -> None:
    for name, (restype, *argtypes) in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


_loaded: Dict[str, ctypes.CDLL] = {}
_loaded_lock = threading.Lock()


def load_library(path: Optional[PathLike] = None) -> ctypes.CDLL:
    """Loads the session library (see find_library) with the prototypes of
    <tovlink/session.h> declared; one object per path."""
    target = find_library(path)
    with _loaded_lock:
        if target not in _loaded:
            try:
                lib = ctypes.CDLL(target)
            except OSError as error:
                raise OSError(f"cannot load the session library libTovLinkCxx ({target}): "
                              f"{error}; pass library=PATH, put the library next to the "
                              "tovlink module, or on the loader's path") from error
            _declare_prototypes(lib)
            _loaded[target] = lib
        return _loaded[target]


def _read_text(function, what: str) -> str:
    """A text the library copies out with its full length returned
    (the contract's JSON, the version), asked for again if it did not fit."""
    size = 256
    while True:
        buffer = ctypes.create_string_buffer(size)
        length = function(buffer, size)
        if length < size:
            return buffer.value.decode("utf-8")
        if length >= 1 << 24:
            raise OSError(f"{what}: the library reported {length} bytes")
        size = length + 1


def contract_json(library: Optional[PathLike] = None) -> str:
    """The robot's contract as the library defines it (tovlink_contract_json)."""
    return _read_text(load_library(library).tovlink_contract_json, "the library's contract")


def query_numbers(lib: ctypes.CDLL) -> Dict[str, int]:
    """Query name -> its tovlink_query number, as the library names them."""
    numbers: Dict[str, int] = {}
    while True:
        name = lib.tovlink_query_name(len(numbers))
        if name is None:
            return numbers
        numbers[name.decode("ascii")] = len(numbers)


def library_version(library: Optional[PathLike] = None) -> str:
    """The library's version text, e.g. "1.0.0.3" (needs no connection)."""
    version = _read_text(load_library(library).tovlink_session_library_version,
                         "the library's version")
    if not version:
        from .errors import TovLinkError

        raise TovLinkError("library version: the version cannot be read",
                           code=ERR_EXCHANGE, name="exchange_failed",
                           operation="tovlin_get_lib_ver")
    return version


# The library keeps a failed open as the opening thread's last error, and a
# Robot opens on a thread of its own (so Ctrl-C can stop it): the outcome is
# handed back to the thread that asked for the Robot here.
_connects = threading.local()


def note_connect(code: int) -> None:
    """Records the calling thread's latest Robot connect (0: it succeeded)."""
    _connects.code = code & 0xFFFFFFFF


def last_error(library: Optional[PathLike] = None) -> int:
    """The result code of the calling thread's last Robot connect: 0 when it
    succeeded or there was none.  Each Robot keeps its own operations' code
    (Robot.last_error()).  library: loaded, as for load_library, so a
    missing library raises OSError."""
    load_library(library)
    return getattr(_connects, "code", OK)


def reply_text(buffer: ctypes.Array) -> str:
    """A text query's reply line as str, without its line ending.

    Each byte becomes one character (Latin-1), so nothing the robot sends is
    lost or refused.
    """
    return buffer.value.decode("latin-1").rstrip("\r\n")


def code_name(code: int) -> str:
    """The code's name in tovlink.h, or "unknown"."""
    return RESULT_CODES.get(code, ("unknown", ""))[0]
