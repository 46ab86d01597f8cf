"""tovlink: drive the robot from Python.

Directly, as a session of TovLinkLib's session library libTovLinkCxx
(its C interface <tovlink/session.h>, through ctypes; standard library
only)::

    import tovlink

    with tovlink.Robot("/dev/ttyUSB0") as robot:
        print(robot.telemetry().battery)
        print(robot.move(2, 10))        # motor 2 to 55 (asked 10; motor 2 takes 55-125)

or through the robot service tovlinkd, with the same methods::

    with tovlink.Client() as client:    # $TOVLINK_DAEMON or the service's usual socket
        for sample in client.watch(rate_hz=5):   # a lost robot: a StateChange, then on
            if isinstance(sample, tovlink.Telemetry):
                print(sample.positions)

What the robot accepts (its motors' angle ranges, LED numbers, speech rules,
queries, result codes) is the library's: ``robot.contract``, or
``client.contract`` (the service's).  MOTOR_COUNT, LEDS, QUERIES and the
other module-level names are read from the library on first use.

Errors are TovLinkError subclasses that are also the standard exceptions:
``except TimeoutError`` catches RobotTimeoutError, ``except OSError`` a
PortError, ``except ValueError`` an ArgumentError (see tovlink.errors).  A
refusal carries the library's name and message, the same from Robot and
Client.

Motions (movements as data): ``robot.play("wave.json")``,
``robot.record(10)``, ``client.play("wave")``; see tovlink.motion.

Robot's methods have Python names; the C library's names (``motor_set_pos``,
``get_battery_value``, ``voice``, ...) remain as aliases.  The package
loads one shared library, libTovLinkCxx: see find_library() and
library_search_list() for where it is looked for; motions also load
libTovLinkMotion, from beside it.
"""

from ._library import (
    DEFAULT_BAUD,
    ERR_CONNECT_INFO_SEND,
    ERR_CONNECT_LINK_REPLY,
    ERR_CONNECT_LINK_SEND,
    ERR_CONNECT_PEER_REPLY,
    ERR_CONNECT_PEER_SEND,
    ERR_CONNECT_RESET_SEND,
    ERR_EXCHANGE,
    ERR_INVALID_ARGUMENT,
    ERR_NO_CONNECTION,
    ERR_NOT_CONNECTED,
    ERR_PORT_OPEN,
    ERR_RECEIVE,
    ERR_SEND_NULL,
    ERR_SEND_QUEUE,
    OK,
    RESULT_CODES,
    TEXT_REPLY_BUFFER_SIZE,
    find_library,
    last_error,
    library_search_list,
    library_version,
    load_library,
)
from .client import Client, StateChange, default_socket_path
from .errors import (
    ArgumentError,
    ArgumentTypeError,
    ConnectError,
    DisconnectedError,
    NotConnectedError,
    PortError,
    RobotTimeoutError,
    ServiceError,
    TovLinkError,
)
from .robot import Robot
from . import motion
from .motion import Play, Recording
from . import values as _values
from .values import Contract, Move, Pose, Telemetry, angle_range, library_contract


def __getattr__(name):
    # MOTOR_COUNT, LEDS, QUERIES, ...: the library's contract, read on first use.
    if name in _values._CONTRACT_NAMES:
        return getattr(_values, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "Robot",
    "Client",
    "StateChange",
    "Play",
    "Recording",
    "Telemetry",
    "Move",
    "Pose",
    "Contract",
    "library_contract",
    "angle_range",
    "default_socket_path",
    "TovLinkError",
    "NotConnectedError",
    "RobotTimeoutError",
    "PortError",
    "ConnectError",
    "DisconnectedError",
    "ServiceError",
    "ArgumentError",
    "ArgumentTypeError",
    "RESULT_CODES",
    # MOTOR_COUNT, ALL_MOTORS, LEDS, QUERIES, MIN_POWER_VALUE, DEFAULT_POWER_VALUE,
    # MAX_TIME_MS and MAX_SPEECH_BYTES are importable by name but left out of
    # `import *`, which would need the library.
    "find_library",
    "library_search_list",
    "load_library",
    "library_version",
    "last_error",
]

__version__ = "1.0.0.3"
