"""Values shared by Robot and Client: telemetry, what a move sent, and the
checks every argument goes through before anything is sent."""

from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Tuple

from .errors import ArgumentError, ArgumentTypeError

__all__ = [
    "MOTOR_COUNT",
    "ALL_MOTORS",
    "LEDS",
    "QUERIES",
    "Telemetry",
    "Move",
    "Pose",
    "angle_range",
]

MOTOR_COUNT = 7
#: The motor number that addresses every motor (timed and relative moves only).
ALL_MOTORS = 255
#: The robot's LEDs: eyes 1 (left) and 2, mouth 3, chest 4, ears 5 (left) and 6.
LEDS = range(1, 7)
MIN_POWER_VALUE = 500
DEFAULT_POWER_VALUE = 500
MAX_TIME_MS = 9999
MAX_SPEECH_BYTES = 39

#: The text queries: name -> the line it sends.
QUERIES = {
    "who": "#800",
    "motor-power": "#802",
    "motor-power-set": "#803",
    "init": "#804",
    "info": "#805",
    "init-mic-range": "#806",
    "init-power-limit": "#807",
    "position": "#142",
}

_INT32 = (-(2**31), 2**31 - 1)


def angle_range(motor: int) -> Tuple[int, int]:
    """The angles motor takes: 55-125 for motors 2, 3, 5 and 6, else 0-180.

    Angles outside are clamped to it (by the library), never refused.
    """
    return (55, 125) if motor in (2, 3, 5, 6) else (0, 180)


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


@dataclass(frozen=True)
class Move:
    """What a move sent: ``angle`` is ``requested`` clamped to ``range``."""

    motor: int
    angle: int
    requested: int
    range: Tuple[int, int]
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
    """What a pose sent: each angle clamped to its motor's range."""

    angles: Tuple[int, ...]
    requested: Tuple[int, ...]
    time_ms: Optional[int] = None

    @property
    def clamped(self) -> Tuple[bool, ...]:
        return tuple(sent != asked for sent, asked in zip(self.angles, self.requested))

    def __str__(self) -> str:
        text = "pose " + " ".join(str(angle) for angle in self.angles)
        if self.time_ms is not None:
            text += f" over {self.time_ms} ms"
        notes = [
            f"motor {motor} asked {asked}, takes {angle_range(motor)[0]}-{angle_range(motor)[1]}"
            for motor, (sent, asked) in enumerate(zip(self.angles, self.requested), start=1)
            if sent != asked
        ]
        return text + (f" (clamped: {'; '.join(notes)})" if notes else "")


# --- Argument checks -----------------------------------------------------------------


def whole(argument: str, value: Any, operation: str) -> int:
    """value as an int (bools refused), within the C library's int32."""
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


def within(argument: str, value: Any, low: int, high: int, operation: str,
           also: Iterable[int] = ()) -> int:
    """value as an int in [low, high] (or one of `also`)."""
    number = whole(argument, value, operation)
    extra = tuple(also)
    if not (low <= number <= high or number in extra):
        allowed = f"{low}-{high}" + "".join(f" or {value}" for value in extra)
        raise ArgumentError(f"{operation}: {argument} must be {allowed} (got {number})",
                            argument=argument, operation=operation, sent=False)
    return number


def motor(value: Any, operation: str, allow_all: bool = False) -> int:
    return within("motor", value, 1, MOTOR_COUNT, operation, (ALL_MOTORS,) if allow_all else ())


def time_ms(value: Any, operation: str) -> int:
    return within("time_ms", value, 0, MAX_TIME_MS, operation)


def seven_angles(angles: Any, operation: str) -> Tuple[int, ...]:
    try:
        values = tuple(angles)
    except TypeError:
        raise ArgumentTypeError(f"{operation}: angles must be a sequence of 7 ints",
                                argument="angles", operation=operation, sent=False) from None
    if len(values) != MOTOR_COUNT:
        raise ArgumentError(f"{operation}: angles must hold 7 angles (got {len(values)})",
                            argument="angles", operation=operation, sent=False)
    return tuple(whole(f"angles[{index}]", angle, operation) for index, angle in enumerate(values))


def speech_text(text: Any, operation: str) -> bytes:
    if isinstance(text, str):
        data = text.encode("utf-8")
    elif isinstance(text, (bytes, bytearray)):
        data = bytes(text)
    else:
        raise ArgumentTypeError(f"{operation}: text must be str or bytes, got {type(text).__name__}",
                                argument="text", operation=operation, sent=False)
    if len(data) > MAX_SPEECH_BYTES or b"\0" in data:
        raise ArgumentError(
            f"{operation}: text must be at most {MAX_SPEECH_BYTES} bytes without a zero byte "
            f"(got {len(data)} bytes)", argument="text", operation=operation, sent=False)
    return data


def clamp(motor_number: int, angle: int) -> int:
    low, high = angle_range(motor_number)
    return min(max(angle, low), high)
