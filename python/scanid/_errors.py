"""Exceptions: one class per failure the library reports."""

from __future__ import annotations

from typing import Dict, Optional, Type


class ScanIdError(Exception):
    """A call of the library failed.

    ``code`` is the library's result code (an int of its interface) and
    ``event`` the last event text the read reported before it ended, or None.
    """

    def __init__(self, code: int, event: Optional[str] = None, reader: Optional[str] = None) -> None:
        self.code = code
        self.event = event
        self.reader = reader
        what = f"{type(self).__name__} (result {code})"
        if reader:
            what = f"{reader}: {what}"
        super().__init__(f"{what}: {event}" if event else what)

    def __reduce__(self):  # keeps the three attributes across pickling
        return type(self), (self.code, self.event, self.reader)


class ReaderError(ScanIdError):
    """The reader module could not be used."""


class SerialOpenError(ReaderError):
    """The serial port could not be opened or set up (result 4)."""


class UsbOpenError(ReaderError):
    """No USB reader module at that name, or it could not be opened (result 5)."""


class ModuleError(ReaderError):
    """The module failed a step of the card exchange (result 7), or answered
    without the expected header and status (result 0)."""


class HeartbeatError(ReaderError):
    """The module did not answer its link check (result 11)."""


class ServerError(ScanIdError):
    """The decode server failed the card exchange."""


class ServerConnectError(ServerError):
    """The decode server (and its standby) could not be reached (result 3)."""


class ServerTimeout(ServerError):
    """The decode server did not answer in time (result 6, or -1 for the
    first relayed packet)."""


class ServerDataError(ServerError):
    """The decode server's answer was unusable (result 8)."""


class Cancelled(ScanIdError):
    """The read or wait was ended by Reader.cancel() (result 12)."""


class UsageError(ScanIdError, ValueError):
    """A setting, name or argument the library refused (results -101,
    -102, -105)."""


class Busy(ScanIdError):
    """Another thread is reading on the same reader (result -104)."""


class ResourceError(ScanIdError):
    """Memory, a descriptor or a thread could not be had (result -103)."""


_BY_CODE: Dict[int, Type[ScanIdError]] = {
    0: ModuleError,
    -1: ServerTimeout,
    3: ServerConnectError,
    4: SerialOpenError,
    5: UsbOpenError,
    6: ServerTimeout,
    7: ModuleError,
    8: ServerDataError,
    11: HeartbeatError,
    12: Cancelled,
    -101: UsageError,
    -102: UsageError,
    -103: ResourceError,
    -104: Busy,
    -105: UsageError,
}


def error_for(code: int, event: Optional[str] = None, reader: Optional[str] = None) -> ScanIdError:
    """The exception for a result code (ScanIdError for one it does not know)."""
    return _BY_CODE.get(code, ScanIdError)(code, event, reader)
