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
    ├── ArgumentError            also ValueError: an argument out of range (.argument)
    └── ArgumentTypeError        also TypeError: an argument of the wrong type (.argument)
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
]


class TovLinkError(Exception):
    """An operation on the robot, the library or the robot service failed.

    Attributes:
        code: the result code: the C library's (unsigned, as its functions
            return it: 4294967295 for a failed exchange), or the service's
            error code; None when there is none.
        name: the code's name: ``TOVLINK_ERR_...`` for the C library, the
            service's error name (``receive_timeout``, ``link_lost``, ...).
        operation: what was being done: the C function
            (``tovlink_motor_set_pos``) or the service command (``move``).
        sent: whether the command can have reached the robot: True (it was
            sent; the robot may have acted on it), False (nothing reached
            the robot) or None (not known).
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
    """An argument is out of range; nothing was sent.  ``argument`` names it."""

    def __init__(self, message: str, *, argument: str = "", **details) -> None:
        super().__init__(message, **details)
        self.argument = argument


class ArgumentTypeError(TovLinkError, TypeError):
    """An argument has the wrong type; nothing was sent.  ``argument`` names it."""

    def __init__(self, message: str, *, argument: str = "", **details) -> None:
        super().__init__(message, **details)
        self.argument = argument
