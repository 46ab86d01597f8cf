"""Motions: movements as data (docs/motion.md).

Motion files are JSON; in Python a motion is the file's object as a dict.
A Robot plays and records them through the motion library libTovLinkMotion
(<tovlink/motion.h>, through ctypes), which runs the C++ player and
recorder on the Robot's own session: the same timing and the same lines on
the wire as the service and the tool.  See Robot.play, Robot.start_play,
Robot.record and Robot.start_recording; Client has the same through the
service.
"""

from __future__ import annotations

import ctypes
import json
import os
import queue
import tempfile
import threading
from typing import Any, Callable, Dict, Mapping, Optional, Union

from . import _library as lib_
from .errors import ArgumentError, ArgumentTypeError, TovLinkError, make_error

__all__ = ["Play", "Recording", "load_motion", "save_motion", "check_motion", "motion_text",
           "STATES"]

PathLike = Union[str, "os.PathLike[str]"]
MotionLike = Union[Mapping[str, Any], PathLike]
ProgressCallback = Callable[[Dict[str, Any]], None]

# tovlink_motion_state, in order.
STATES = ("playing", "paused", "finished", "stopped", "failed")
# The largest motion file the library reads (tovlink::motion::max_file_bytes).
MAX_FILE_BYTES = 4 * 1024 * 1024

_STILL_PLAYING = 1  # TOVLINK_MOTION_STILL_PLAYING
_WAIT_STEP_MS = 50  # how often a blocking wait looks at Ctrl-C


# --- <tovlink/motion.h> ----------------------------------------------------------------

class _Progress(ctypes.Structure):
    _fields_ = [
        ("state", ctypes.c_int32),
        ("loop", ctypes.c_int32),
        ("keyframe", ctypes.c_int32),
        ("keyframes", ctypes.c_int32),
        ("position_ms", ctypes.c_int64),
        ("duration_ms", ctypes.c_int64),
    ]


_PROGRESS_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(_Progress))


class _PlayOptions(ctypes.Structure):
    _fields_ = [
        ("speed", ctypes.c_double),
        ("loops", ctypes.c_int32),
        ("soft_start_ms", ctypes.c_int32),
        ("start_at_ms", ctypes.c_int64),
        ("on_progress", _PROGRESS_CALLBACK),
        ("progress_context", ctypes.c_void_p),
    ]


_P = ctypes.c_void_p
_INT = ctypes.c_int32
_ERROR = ctypes.POINTER(lib_.Error)
_TEXT_OUT = ctypes.POINTER(ctypes.c_void_p)  # char **: freed with tovlink_motion_free_text

_PROTOTYPES = {
    "tovlink_motion_free_text": (None, _P),
    "tovlink_motion_check": (_INT, ctypes.c_char_p, _TEXT_OUT, _ERROR),
    "tovlink_motion_play_options_init": (None, ctypes.POINTER(_PlayOptions)),
    "tovlink_motion_play_start": (_INT, _P, ctypes.c_char_p, ctypes.POINTER(_PlayOptions),
                                  ctypes.POINTER(_P), _TEXT_OUT, _ERROR),
    "tovlink_motion_play_pause": (None, _P),
    "tovlink_motion_play_resume": (None, _P),
    "tovlink_motion_play_stop": (None, _P),
    "tovlink_motion_play_progress": (None, _P, ctypes.POINTER(_Progress)),
    "tovlink_motion_play_wait": (_INT, _P, _INT, ctypes.POINTER(_Progress)),
    "tovlink_motion_play_error": (_INT, _P, _ERROR),
    "tovlink_motion_play_free": (None, _P),
    "tovlink_motion_record_start": (_INT, _P, _INT, ctypes.POINTER(_P), _ERROR),
    "tovlink_motion_record_stop": (_INT, _P, ctypes.c_double, ctypes.c_char_p, _TEXT_OUT,
                                   _ERROR),
    "tovlink_motion_record_samples": (ctypes.c_int64, _P),
    "tovlink_motion_record_free": (None, _P),
}

_loaded: Dict[str, ctypes.CDLL] = {}
_loaded_lock = threading.Lock()


def load_motion_library(library: Optional[PathLike] = None) -> ctypes.CDLL:
    """Loads the motion library that goes with the session library
    `library` names (see tovlink.find_library and
    _library.find_motion_library), the session library first."""
    lib_.load_library(library)
    target = lib_.find_motion_library(library)
    with _loaded_lock:
        if target not in _loaded:
            try:
                lib = ctypes.CDLL(target)
            except OSError as error:
                raise OSError(f"cannot load the motion library libTovLinkMotion ({target}): "
                              f"{error}; it is built and installed beside libTovLinkCxx") from error
            for name, (restype, *argtypes) in _PROTOTYPES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _loaded[target] = lib
        return _loaded[target]


def _taken_text(lib: ctypes.CDLL, pointer: ctypes.c_void_p) -> str:
    """A text the library handed out, as str; the library's copy is freed."""
    if not pointer.value:
        return ""
    try:
        return ctypes.string_at(pointer.value).decode("utf-8")
    finally:
        lib.tovlink_motion_free_text(pointer)


def _failure(error: lib_.Error, operation: str) -> TovLinkError:
    return make_error(error.name, error.text, code=error.code & 0xFFFFFFFF, operation=operation,
                      sent=bool(error.sent))


def _progress_dict(name: str, progress: _Progress) -> Dict[str, Any]:
    """The progress as the service reports it (its "motion" objects)."""
    return {"motion": name, "state": STATES[progress.state] if 0 <= progress.state < len(STATES)
            else "failed", "loop": progress.loop, "keyframe": progress.keyframe,
            "keyframes": progress.keyframes, "position_ms": progress.position_ms,
            "duration_ms": progress.duration_ms}


# --- Motion files --------------------------------------------------------------------------

def motion_text(motion: MotionLike, operation: str = "motion") -> str:
    """A motion's JSON text: a dict (the file's object) as JSON, a path read
    from its file."""
    if isinstance(motion, Mapping):
        return json.dumps(motion)
    if isinstance(motion, (str, os.PathLike)):
        path = os.fspath(motion)
        try:
            if os.path.getsize(path) > MAX_FILE_BYTES:
                raise ArgumentError(f"{operation}: {path} is larger than {MAX_FILE_BYTES} bytes",
                                    name="invalid_argument", operation=operation, sent=False)
            with open(path, encoding="utf-8") as file:
                return file.read()
        except OSError as error:
            raise ArgumentError(f"{operation}: cannot read {path}: {error.strerror or error}",
                                name="invalid_argument", operation=operation,
                                sent=False) from error
    raise ArgumentTypeError(f"{operation}: a motion is a dict or a file's path, not "
                            f"{type(motion).__name__}", argument="motion", operation=operation,
                            sent=False)


def load_motion(path: PathLike) -> Dict[str, Any]:
    """A motion file's object (the file is read, not checked: see check_motion)."""
    value = json.loads(motion_text(path, "load motion"))
    if not isinstance(value, dict):
        raise ArgumentError(f"load motion: {os.fspath(path)} does not hold a JSON object",
                            name="invalid_argument", operation="load motion", sent=False)
    return value


def save_motion(motion: Mapping[str, Any], path: PathLike) -> None:
    """Writes a motion to a file (through a temporary file beside it and a
    rename, so no reader sees half a motion)."""
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    handle, temporary = tempfile.mkstemp(prefix=".motion-", suffix=".json", dir=folder)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as file:
            json.dump(motion, file, indent=2)
            file.write("\n")
        os.replace(temporary, target)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def check_motion(motion: MotionLike, library: Optional[PathLike] = None) -> Dict[str, Any]:
    """The library's reading of a motion: {"motion": {...as it plays...},
    "keyframes": N, "duration_ms": T, "clamped": [{"keyframe", "motor",
    "requested", "sent"}, ...]}.  A bad motion raises ArgumentError naming
    the field ("keyframes[2].angles[4]: ...")."""
    lib = load_motion_library(library)
    text = motion_text(motion, "check motion").encode("utf-8")
    result = ctypes.c_void_p()
    error = lib_.Error()
    if lib.tovlink_motion_check(text, ctypes.byref(result), ctypes.byref(error)) != lib_.OK:
        raise _failure(error, "check motion")
    return json.loads(_taken_text(lib, result))


# --- Playing --------------------------------------------------------------------------------

class Play:
    """A motion playing on a Robot (Robot.start_play); use it with ``with``
    to have it stopped and released at the end of the block.

    ``report`` is what the library read: {"motion": name, "keyframes",
    "duration_ms", "loops", "speed", "clamped": [...]}.  Progress is a dict
    as the service reports it: {"motion", "state" (playing, paused,
    finished, stopped, failed), "loop", "keyframe", "keyframes",
    "position_ms", "duration_ms"}.
    """

    def __init__(self, lib: ctypes.CDLL, session: int, text: str, options: _PlayOptions,
                 on_progress: Optional[ProgressCallback], owner: Any = None) -> None:
        self._lib = lib
        self._lock = threading.Lock()
        self._handle: Optional[int] = None
        # The Robot whose session the play uses: kept alive while it plays.
        self._owner = owner
        self._updates: "queue.SimpleQueue[Dict[str, Any]]" = queue.SimpleQueue()
        self._on_progress = on_progress
        self._name = ""

        def enqueue(_context: Optional[int], progress: Any) -> None:
            # The library's thread: only hand the update over.
            self._updates.put(_progress_dict(self._name, progress.contents))

        # Kept as long as the play: the library calls it until freed.
        self._callback = _PROGRESS_CALLBACK(enqueue)
        options.on_progress = self._callback
        handle = ctypes.c_void_p()
        report = ctypes.c_void_p()
        error = lib_.Error()
        code = lib.tovlink_motion_play_start(session, text.encode("utf-8"), ctypes.byref(options),
                                             ctypes.byref(handle), ctypes.byref(report),
                                             ctypes.byref(error))
        if code != lib_.OK:
            raise _failure(error, "play")
        self._handle = handle.value
        self.report: Dict[str, Any] = json.loads(_taken_text(lib, report))
        self._name = str(self.report.get("motion", ""))

    def __enter__(self) -> "Play":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    @property
    def name(self) -> str:
        return self._name

    def _require(self) -> int:
        handle = self._handle
        if handle is None:
            raise TovLinkError("play: the play was closed", name="not_connected",
                               operation="play", sent=False)
        return handle

    def pause(self) -> None:
        """Holds the schedule; the move in progress runs to its keyframe."""
        self._lib.tovlink_motion_play_pause(self._require())

    def resume(self) -> None:
        self._lib.tovlink_motion_play_resume(self._require())

    def stop(self) -> None:
        """Ends the play; nothing is sent (the motors stay, power as it was)."""
        self._lib.tovlink_motion_play_stop(self._require())

    def progress(self) -> Dict[str, Any]:
        reading = _Progress()
        self._lib.tovlink_motion_play_progress(self._require(), ctypes.byref(reading))
        return _progress_dict(self._name, reading)

    @property
    def over(self) -> bool:
        return self.progress()["state"] not in ("playing", "paused")

    def error(self) -> Optional[TovLinkError]:
        """The failure that ended a failed play (e.g. the robot was lost)."""
        error = lib_.Error()
        if self._lib.tovlink_motion_play_error(self._require(), ctypes.byref(error)) == lib_.OK:
            return None
        return _failure(error, "play")

    def _deliver(self) -> None:
        """Hands queued progress to on_progress, on the calling thread."""
        while True:
            try:
                update = self._updates.get_nowait()
            except queue.Empty:
                return
            # The first updates may come before the report named the motion.
            update["motion"] = self._name
            if self._on_progress is not None:
                self._on_progress(update)

    def wait(self, timeout: Optional[float] = None) -> Optional[Dict[str, Any]]:
        """Waits for the play to be over (at most timeout seconds; None: no
        limit) and returns its last progress, or None when it still plays.
        on_progress is called from here, on this thread.  Ctrl-C (or any
        exception) stops the play and is raised again."""
        handle = self._require()
        left_ms = None if timeout is None else max(0, int(timeout * 1000))
        reading = _Progress()
        try:
            while True:
                step = _WAIT_STEP_MS if left_ms is None else min(_WAIT_STEP_MS, left_ms)
                code = self._lib.tovlink_motion_play_wait(handle, step, ctypes.byref(reading))
                self._deliver()
                if code != _STILL_PLAYING:
                    return _progress_dict(self._name, reading)
                if left_ms is not None:
                    left_ms -= step
                    if left_ms <= 0:
                        return None
        except BaseException:
            self._lib.tovlink_motion_play_stop(handle)
            raise

    def close(self) -> None:
        """Stops the play and releases it.  Calling it again does nothing."""
        with self._lock:
            handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            self._lib.tovlink_motion_play_free(handle)
        self._owner = None


class Recording:
    """A recording in progress (Robot.start_recording): positions read every
    interval_ms until stop()."""

    def __init__(self, lib: ctypes.CDLL, session: int, interval_ms: int,
                 owner: Any = None) -> None:
        self._lib = lib
        self._lock = threading.Lock()
        self._handle: Optional[int] = None
        self._owner = owner
        handle = ctypes.c_void_p()
        error = lib_.Error()
        if lib.tovlink_motion_record_start(session, interval_ms, ctypes.byref(handle),
                                           ctypes.byref(error)) != lib_.OK:
            raise _failure(error, "record")
        self._handle = handle.value
        self.samples = 0
        """How many samples the recording took (set by stop())."""

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def sample_count(self) -> int:
        handle = self._handle
        return int(self._lib.tovlink_motion_record_samples(handle)) if handle else self.samples

    def stop(self, tolerance: float = 2.0, name: str = "recording") -> Dict[str, Any]:
        """Ends the recording and returns the motion: the samples reduced to
        the keyframes that keep within tolerance degrees of every one."""
        handle = self._handle
        if not handle:
            raise TovLinkError("record: the recording was closed", name="not_connected",
                               operation="record", sent=False)
        if not isinstance(tolerance, (int, float)) or isinstance(tolerance, bool):
            raise ArgumentTypeError("record: tolerance must be a number of degrees",
                                    argument="tolerance", operation="record", sent=False)
        result = ctypes.c_void_p()
        error = lib_.Error()
        if self._lib.tovlink_motion_record_stop(handle, float(tolerance), name.encode("utf-8"),
                                                ctypes.byref(result),
                                                ctypes.byref(error)) != lib_.OK:
            raise _failure(error, "record")
        taken = json.loads(_taken_text(self._lib, result))
        self.samples = int(taken.get("samples", 0))
        return taken["motion"]

    def close(self) -> None:
        with self._lock:
            handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            self._lib.tovlink_motion_record_free(handle)
        self._owner = None


def play_options(speed: float, loops: int, soft_start_ms: int,
                 start_at_ms: Optional[int]) -> _PlayOptions:
    """The options as the library takes them; the library checks the values."""
    from . import values as v

    options = _PlayOptions()
    if not isinstance(speed, (int, float)) or isinstance(speed, bool):
        raise ArgumentTypeError("play: speed must be a number", argument="speed",
                                operation="play", sent=False)
    options.speed = float(speed)
    options.loops = v.whole("loops", loops, "play")
    options.soft_start_ms = v.whole("soft_start_ms", soft_start_ms, "play")
    if start_at_ms is None:
        options.start_at_ms = 0
    elif isinstance(start_at_ms, bool) or not isinstance(start_at_ms, int):
        raise ArgumentTypeError("play: start_at_ms must be an int (Unix time in ms)",
                                argument="start_at_ms", operation="play", sent=False)
    else:
        options.start_at_ms = start_at_ms
    return options
