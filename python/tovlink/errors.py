"""The exceptions of the tovlink package.

Every error the package raises is a :class:`TovLinkError`.  The subclasses
are also the standard exceptions a caller would reach for, so either kind of
``except`` works::

    TovLinkError                 base; .code, .name, .operation, .sent
    ├── NotConnectedError        the connection was ended (or never made)
    ├── RobotTimeoutError        also TimeoutError: no (complete) reply in time
    ├── PortError                also OSError: the serial port would not open
    ├── ConnectError             also ConnectionError: the adapter dialogue failed
    ├── DisconnectedError        also ConnectionError: the robot is gone (unplugged)
    ├── ServiceError             also ConnectionError: the robot service failed
    ├── ArgumentError            also ValueError: an argument the library refuses
    └── ArgumentTypeError        also TypeError: an argument of the wrong type (.argument)

A refusal or failure reported by the library (Robot) or the service (Client)
keeps its name and message as they word it, so Robot and Client raise the
same exception with the same text for the same cause.
"""

from __future__ import annotations

from typing import Optional

__all__ = [
    "TovLinkError",
    "NotConnectedError",
    "RobotTimeoutError",
    "PortError",
    "ConnectError",
    "DisconnectedError",
    "ServiceError",
    "ArgumentError",
    "ArgumentTypeError",
    "make_error",
]


class TovLinkError(Exception):
    """An operation on the robot, the library or the robot service failed.

    Attributes:
        code: the result code: the C library's (unsigned, as its functions
            return it: 4294967295 for a failed exchange), or the service's
            error code; None when there is none.
        name: the library's name of the code, as the service reports it
            too (``invalid_argument``, ``receive_timeout``, ``link_lost``,
            ...), or the service's own (``bad_request``, ``unknown_robot``).
        operation: what was being done: the C function
            (``tovlink_motor_set_pos``) or the service command (``move``).
        sent: whether the command can have reached the robot, as the library
            reported it: True (it was sent; the robot may have acted on it),
            False (nothing reached the robot) or None (not known: the
            service's socket failed).
    """

    def __init__(
        self,
        message: str,
        *,
        code: Optional[int] = None,
        name: str = "",
        operation: str = "",
        sent: Optional[bool] = None,
    ) -> None:
        super().__init__(message)
        self.code = code
        self.name = name
        self.operation = operation
        self.sent = sent

    @property
    def meaning(self) -> str:
        """The message without the operation in front of it."""
        text = str(self)
        prefix = self.operation + ": "
        return text[len(prefix):] if self.operation and text.startswith(prefix) else text


class NotConnectedError(TovLinkError):
    """The connection was ended, or the service's robot is not ready."""


class RobotTimeoutError(TovLinkError, TimeoutError):
    """No complete reply from the robot (or the service) in time."""


class PortError(TovLinkError, OSError):
    """The serial port could not be opened or set up.

    ``errno`` and ``strerror`` carry the system's reason when it is known.
    """

    def __init__(self, message: str, *, errno: Optional[int] = None,
                 strerror: Optional[str] = None, **details) -> None:
        super().__init__(message, **details)
        self.errno = errno
        self.strerror = strerror

    def __str__(self) -> str:
        # OSError would print "[Errno 2] ..." alone once errno is set.
        return str(self.args[0]) if self.args else ""


class ConnectError(TovLinkError, ConnectionError):
    """The adapter dialogue of a connect failed (the port opened)."""


class DisconnectedError(TovLinkError, ConnectionError):
    """The robot is gone: its port failed, or the service lost it."""


class ServiceError(TovLinkError, ConnectionError):
    """The robot service could not be reached, or broke off."""


class ArgumentError(TovLinkError, ValueError):
    """An argument the library (or the service) refuses; nothing was sent.
    ``argument`` names it where the package checked it itself (a count or a
    32-bit range), else is empty: the message says what is wrong."""

    def __init__(self, message: str, *, argument: str = "", **details) -> None:
        super().__init__(message, **details)
        self.argument = argument


class ArgumentTypeError(TovLinkError, TypeError):
    """An argument has the wrong type; nothing was sent.  ``argument`` names it."""

    def __init__(self, message: str, *, argument: str = "", **details) -> None:
        super().__init__(message, **details)
        self.argument = argument


# Error names -> the exception raised for them; the rest raise TovLinkError.
_CLASSES = {
    "invalid_argument": ArgumentError,
    "bad_request": ArgumentError,
    "bad_motion": ArgumentError,
    "receive_timeout": RobotTimeoutError,
    "exchange_failed": RobotTimeoutError,
    "link_lost": DisconnectedError,
    "not_connected": NotConnectedError,
    "robot_not_ready": NotConnectedError,
    "port_open": PortError,
    "connect_reset_send": ConnectError,
    "connect_peer_send": ConnectError,
    "connect_peer_reply": ConnectError,
    "connect_link_send": ConnectError,
    "connect_link_reply": ConnectError,
    "connect_info_send": ConnectError,
}


def make_error(name: str, message: str, **details) -> TovLinkError:
    """The exception for an error the library or the service named."""
    return _CLASSES.get(name, TovLinkError)(message, name=name, **details)
