"""Values shared by Robot and Client: the robot's contract (what it accepts,
as the library defines it), telemetry, what a move sent, and the type
checks every argument goes through before it is handed on.

The robot's limits are not written down here: a Robot reads them from the
session library (tovlink_contract_json), a Client from the service (``describe``), and
the library or the service refuses what falls outside them.  The module-level
names (MOTOR_COUNT, LEDS, QUERIES, angle_range(), ...) are the library's,
read the first time one is used.
"""

from __future__ import annotations

import json
import operator
import os
import threading
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Tuple, Union

from .errors import ArgumentError, ArgumentTypeError

# The contract's module-level names (MOTOR_COUNT, ...) are left out: `import *`
# would need the library.
__all__ = [
    "Contract",
    "library_contract",
    "Telemetry",
    "Move",
    "Pose",
    "angle_range",
]

Span = Tuple[int, int]
PathLike = Union[str, "os.PathLike[str]"]

_INT32 = (-(2**31), 2**31 - 1)


def _span(value: Any) -> Span:
    low, high = value
    return int(low), int(high)


class Contract:
    """What the robot accepts, as the library defines it: from
    :func:`library_contract` (the library a Robot runs on) or
    :attr:`Client.contract` (the service's ``describe``).

    Ranges are (low, high) pairs, both included.  ``document`` is the JSON
    object itself (its fields are listed in docs/protocol.md).
    """

    def __init__(self, document: Mapping[str, Any]) -> None:
        self.document: Dict[str, Any] = dict(document)
        motors = document["motors"]
        self.motor_count: int = int(motors["count"])
        self.all_motors: int = int(motors["all"])
        self.angle_ranges: Tuple[Span, ...] = tuple(_span(r) for r in motors["angle_ranges"])
        self.all_angle_range: Span = _span(motors["all_angle_range"])
        self.time_range: Span = _span(motors["time_ms"])
        self.adjust_offset_range: Span = _span(motors["adjust_offset"])
        self.power_value_range: Span = _span(motors["power_value"])
        self.default_power_value: int = int(motors["default_power_value"])
        #: LED number -> its name ("left eye", ...), in the library's order.
        self.leds: Dict[int, str] = {int(led["number"]): str(led["name"])
                                     for led in document["leds"]}
        self.tone_first_range: Span = _span(document["tone"]["first"])
        self.tone_second_range: Span = _span(document["tone"]["second"])
        speech = document["speech"]
        self.max_speech_bytes: int = int(speech["max_bytes"])
        self.speech_forbidden_bytes: bytes = bytes(speech["forbidden_bytes"])
        self.speech_speed_range: Span = _span(speech["speed"])
        #: Query name -> the line it sends ("who" -> "#800").
        self.queries: Dict[str, str] = {str(q["name"]): str(q["line"])
                                        for q in document["queries"]}
        #: Result code -> (name, message without the operation).
        self.errors: Dict[int, Tuple[str, str]] = {
            int(e["code"]): (str(e["name"]), str(e["message"])) for e in document["errors"]}

    def angle_range(self, motor: int) -> Span:
        """The angles motor takes; angles outside are clamped, never refused."""
        if 1 <= motor <= self.motor_count:
            return self.angle_ranges[motor - 1]
        return self.all_angle_range

    def error_name(self, code: int) -> str:
        """The library's name of a result code ("receive_timeout"), or "unknown_error"."""
        return self.errors.get(code, ("unknown_error", ""))[0]

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Contract) and other.document == self.document

    def __repr__(self) -> str:
        return (f"<tovlink.Contract {self.motor_count} motors, LEDs "
                f"{min(self.leds)}-{max(self.leds)}, {len(self.queries)} queries>")


_contracts: Dict[Optional[str], Contract] = {}
_contracts_lock = threading.Lock()


def library_contract(library: Optional[PathLike] = None) -> Contract:
    """The contract of the library a Robot runs on (library: as for Robot),
    read once from the session library (tovlink_contract_json).  Raises
    OSError when the library cannot be loaded (a Client reads its service's
    contract instead).
    """
    key = os.fspath(library) if library is not None else None
    with _contracts_lock:
        if key not in _contracts:
            from . import _library

            _contracts[key] = Contract(json.loads(_library.contract_json(library)))
        return _contracts[key]


# The module's names for parts of the library's contract, read on first use.
_CONTRACT_NAMES = {
    "MOTOR_COUNT": lambda c: c.motor_count,
    # The motor number that addresses every motor (timed and relative moves only).
    "ALL_MOTORS": lambda c: c.all_motors,
    # The LED numbers (eyes 1 and 2, mouth 3, chest 4, ears 5 and 6).
    "LEDS": lambda c: range(min(c.leds), max(c.leds) + 1),
    # The text queries: name -> the line it sends.
    "QUERIES": lambda c: dict(c.queries),
    "MIN_POWER_VALUE": lambda c: c.power_value_range[0],
    "DEFAULT_POWER_VALUE": lambda c: c.default_power_value,
    "MAX_TIME_MS": lambda c: c.time_range[1],
    "MAX_SPEECH_BYTES": lambda c: c.max_speech_bytes,
}


def __getattr__(name: str) -> Any:
    if name in _CONTRACT_NAMES:
        return _CONTRACT_NAMES[name](library_contract())
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def angle_range(motor: int) -> Span:
    """The angles motor takes, in the library's contract (see
    :meth:`Contract.angle_range`); angles outside are clamped, never refused."""
    return library_contract().angle_range(motor)


@dataclass(frozen=True)
class Telemetry:
    """One reading of the robot's status.

    From a Client, every value comes from one status line (the service's
    latest poll, ``age_ms`` old).  From a Robot, see :meth:`Robot.telemetry`.
    """

    sensor: int
    mic: int
    mic_analog: int
    battery: int
    motor_power: int
    positions: Tuple[int, ...]
    age_ms: Optional[int] = None
    robot: Optional[str] = None
    #: From a Client: when the reading was taken (Unix ms), and the LEDs 1-6
    #: as the service last switched them (True, False, or None when not
    #: switched since the service connected the robot).
    time_ms: Optional[int] = None
    leds: Optional[Tuple[Optional[bool], ...]] = None


@dataclass(frozen=True)
class Move:
    """What a move sent: ``angle`` is ``requested`` clamped to ``range``."""

    motor: int
    angle: int
    requested: int
    range: Span
    time_ms: Optional[int] = None

    @property
    def clamped(self) -> bool:
        return self.angle != self.requested

    def __str__(self) -> str:
        text = f"motor {self.motor} to {self.angle}"
        if self.time_ms is not None:
            text += f" over {self.time_ms} ms"
        if self.clamped:
            low, high = self.range
            text += f" (asked {self.requested}; motor {self.motor} takes {low}-{high})"
        return text


@dataclass(frozen=True)
class Pose:
    """What a pose (or a timed move of every motor) sent: each angle clamped
    to its motor's range; ``ranges`` are those ranges, motors 1-7."""

    angles: Tuple[int, ...]
    requested: Tuple[int, ...]
    time_ms: Optional[int] = None
    ranges: Tuple[Span, ...] = ()

    @property
    def clamped(self) -> Tuple[bool, ...]:
        return tuple(sent != asked for sent, asked in zip(self.angles, self.requested))

    def __str__(self) -> str:
        text = "pose " + " ".join(str(angle) for angle in self.angles)
        if self.time_ms is not None:
            text += f" over {self.time_ms} ms"
        notes = []
        for index, (sent, asked) in enumerate(zip(self.angles, self.requested)):
            if sent != asked:
                note = f"motor {index + 1} asked {asked}"
                if index < len(self.ranges):
                    note += f", takes {self.ranges[index][0]}-{self.ranges[index][1]}"
                notes.append(note)
        return text + (f" (clamped: {'; '.join(notes)})" if notes else "")


# --- Type checks: the range checks are the library's ---------------------------------


def whole(argument: str, value: Any, operation: str) -> int:
    """value as an int (bools refused) that fits the session library's and the
    service's 32-bit integers."""
    if isinstance(value, bool):
        raise ArgumentTypeError(f"{operation}: {argument} must be an int, got bool",
                                argument=argument, operation=operation, sent=False)
    try:
        number = operator.index(value)
    except TypeError:
        raise ArgumentTypeError(
            f"{operation}: {argument} must be an int, got {type(value).__name__}",
            argument=argument, operation=operation, sent=False) from None
    if not _INT32[0] <= number <= _INT32[1]:
        raise ArgumentError(f"{operation}: {argument} is out of range (got {number})",
                            argument=argument, operation=operation, sent=False)
    return number


def optional_whole(argument: str, value: Any, operation: str) -> Optional[int]:
    return None if value is None else whole(argument, value, operation)


def angle_list(angles: Any, count: int, operation: str) -> Tuple[int, ...]:
    """angles as `count` ints (one per motor)."""
    try:
        values = tuple(angles)
    except TypeError:
        raise ArgumentTypeError(f"{operation}: angles must be a sequence of {count} ints",
                                argument="angles", operation=operation, sent=False) from None
    if len(values) != count:
        raise ArgumentError(f"{operation}: angles must hold {count} angles (got {len(values)})",
                            argument="angles", operation=operation, sent=False)
    return tuple(whole(f"angles[{index}]", angle, operation) for index, angle in enumerate(values))


def speech_bytes(text: Any, operation: str) -> bytes:
    """text as the bytes to speak: str as UTF-8, bytes as given."""
    if isinstance(text, str):
        return text.encode("utf-8")
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    raise ArgumentTypeError(f"{operation}: text must be str or bytes, got {type(text).__name__}",
                            argument="text", operation=operation, sent=False)


def motor_number(value: Any, contract: Contract, operation: str) -> int:
    """A motor whose reading is looked up here (nothing is sent for it)."""
    number = whole("motor", value, operation)
    if not 1 <= number <= contract.motor_count:
        raise ArgumentError(f"{operation}: motors are 1-{contract.motor_count}",
                            argument="motor", operation=operation, sent=False)
    return number


def query_name(name: Any, contract: Contract) -> str:
    if not isinstance(name, str) or name not in contract.queries:
        raise ArgumentError(f"query: no query named {name!r} (one of {', '.join(contract.queries)})",
                            argument="name", operation="query", sent=False)
    return name
