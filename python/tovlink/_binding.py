"""Loading the package's native binding, libTovLinkPy: the C interface over
the C++ library that tovlink.Robot runs on (one connection per Robot, one
status exchange per telemetry reading, quiet, interruptible connects)."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from typing import Optional, Union

from . import _library

PathLike = Union[str, "os.PathLike[str]"]

if sys.platform == "win32":
    _FILE_NAMES = ("TovLinkPy.dll",)
else:
    _FILE_NAMES = ("libTovLinkPy.so.1", "libTovLinkPy.so")

TELEMETRY_VALUES = 12
MESSAGE_SIZE = 480


class Error(ctypes.Structure):
    """tovlink_py_error: what a failed call reports."""

    _fields_ = [
        ("code", ctypes.c_int32),
        ("sent", ctypes.c_int32),
        ("system_error", ctypes.c_int32),
        ("message", ctypes.c_char * MESSAGE_SIZE),
    ]

    @property
    def text(self) -> str:
        return self.message.decode("utf-8", "replace")

    @property
    def meaning(self) -> str:
        """The message without the C++ library's operation in front."""
        operation, separator, rest = self.text.partition(": ")
        return rest if separator else operation


def time_argument(time_ms: Optional[int]):
    """A move's time for the binding: null for at once."""
    return None if time_ms is None else ctypes.byref(ctypes.c_int32(time_ms))


def _candidates(library: Optional[PathLike]) -> list:
    here = os.path.dirname(os.path.abspath(__file__))
    places = [os.path.join(here, name) for name in _FILE_NAMES]
    c_library = _library.find_library(library)
    if os.path.dirname(c_library):
        places += [os.path.join(os.path.dirname(os.path.abspath(c_library)), name)
                   for name in _FILE_NAMES]
    try:
        from . import _install_location

        places.append(getattr(_install_location, "BINDING_PATH", ""))
    except ImportError:
        pass
    return [place for place in places if place]


def find_binding(library: Optional[PathLike] = None) -> str:
    """Where the binding is loaded from: beside this module; beside the C
    library (see find_library, library is its explicit path); where the same
    `cmake --install` put it; else the loader's own search."""
    for place in _candidates(library):
        if os.path.exists(place):
            return place
    return ctypes.util.find_library("TovLinkPy") or _FILE_NAMES[0]


_ROBOT = ctypes.c_void_p
_STOP = ctypes.c_void_p
_ERROR = ctypes.POINTER(Error)
_INT = ctypes.c_int32
_INTS = ctypes.POINTER(ctypes.c_int32)

_SIZE_OUT = ctypes.POINTER(ctypes.c_size_t)

_PROTOTYPES = {
    "tovlink_py_contract_json": (_INT, ctypes.c_char_p, ctypes.c_size_t, _SIZE_OUT),
    "tovlink_py_stop_new": (_STOP,),
    "tovlink_py_stop_request": (None, _STOP),
    "tovlink_py_stop_free": (None, _STOP),
    "tovlink_py_connect": (_ROBOT, ctypes.c_char_p, _INT, _STOP, _ERROR),
    "tovlink_py_end": (None, _ROBOT),
    "tovlink_py_link_alive": (_INT, _ROBOT),
    "tovlink_py_telemetry": (_INT, _ROBOT, _INTS, _ERROR),
    "tovlink_py_query": (_INT, _ROBOT, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t,
                         _SIZE_OUT, _ERROR),
    # The time arguments: null for at once.
    "tovlink_py_move": (_INT, _ROBOT, _INT, _INT, _INTS, _INTS, _ERROR),
    "tovlink_py_pose": (_INT, _ROBOT, _INTS, _INTS, _INTS, _ERROR),
    "tovlink_py_move_relative": (_INT, _ROBOT, _INT, _INTS, _ERROR),
    "tovlink_py_adjust": (_INT, _ROBOT, _INT, _INT, _ERROR),
    "tovlink_py_power_on": (_INT, _ROBOT, _INT, _ERROR),
    "tovlink_py_power_off": (_INT, _ROBOT, _ERROR),
    "tovlink_py_start": (_INT, _ROBOT, _ERROR),
    "tovlink_py_led": (_INT, _ROBOT, _INT, _INT, _ERROR),
    "tovlink_py_tone": (_INT, _ROBOT, _INT, _INT, _ERROR),
    "tovlink_py_speech_speed": (_INT, _ROBOT, _INT, _ERROR),
    "tovlink_py_say": (_INT, _ROBOT, ctypes.c_char_p, ctypes.c_size_t, _ERROR),
}

def _declare_prototypes(binding: ctypes.CDLL) -> None:
    for name, (restype, *argtypes) in _PROTOTYPES.items():
        function = getattr(binding, name)
        function.restype = restype
        function.argtypes = argtypes


def load_binding(library: Optional[PathLike] = None) -> ctypes.CDLL:
    """Loads the binding (see find_binding) with its prototypes declared."""
    return _library.load_once(find_binding(library), _declare_prototypes, "the tovlink binding",
                              "it is built and installed beside TovLinkLib: pass library=PATH "
                              "to that library, or put both on the loader's path")
