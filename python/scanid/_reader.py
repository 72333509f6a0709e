"""Reader handles, the USB listing and hotplug."""

from __future__ import annotations

import ctypes
import enum
import queue
import threading
import time
from dataclasses import dataclass
from typing import Callable, Iterator, List, Optional, Self, Tuple

from . import _native
from ._cards import Card, identity_document, other_card
from ._errors import Cancelled, ScanIdError, error_for

_lib: Optional[ctypes.CDLL] = None
_lib_lock = threading.Lock()


def lib() -> ctypes.CDLL:
    """The loaded and checked library (loaded on first use)."""
    global _lib
    if _lib is None:
        with _lib_lock:
            if _lib is None:
                _lib = _native.load()
    return _lib


IDCARD, OTHERCARD, NO_CARD, CANCELLED, UNKNOWN_DOCUMENT = 1, 2, 10, 12, 13
CARD_REMOVED, CARD_PRESENT = 14, 15

#: Address of a decode server: (host, port), a dotted IPv4 address.
Server = Tuple[str, int]


class EventKind(enum.IntEnum):
    """Kinds of the events a read reports."""

    CARD = 1       #: a card was detected ("find ID card", ...)
    HEARTBEAT = 2  #: "Detect the heart" / "NOT Detect the heart"
    PROGRESS = 3   #: progress and failure texts of a read


class Stream(enum.IntEnum):
    """Where the library would have printed a console line."""

    OUT = 1
    ERR = 2


EventHandler = Callable[[EventKind, str], None]
ConsoleHandler = Callable[[Stream, str, Optional[str]], None]


def version() -> str:
    """The loaded library's version, "major.minor.micro"."""
    return lib().GetScanIdVersionString().decode()


@dataclass(frozen=True)
class DeviceInfo:
    """An attached USB reader module."""

    name: str              #: reader name for scanid.open(), "usb:1-1.4"
    serial: Optional[str]  #: the device's serial-number string, if it has one
    bus: int               #: USB bus number
    address: int           #: address on the bus (changes on a replug)


def _device(d: _native.Device) -> DeviceInfo:
    return DeviceInfo(name=d.name.decode(), serial=d.serial.decode() if d.serial is not None else None,
                      bus=d.bus, address=d.address)


def list_readers() -> List[DeviceInfo]:
    """The attached USB reader modules, in bus and port order. Serial
    readers cannot be listed: open them by name ("serial:/dev/ttyS1@115200")."""
    out = ctypes.POINTER(_native.Device)()
    n = lib().scanid_list_usb(ctypes.byref(out))
    if n < 0:
        raise error_for(n)
    try:
        return [_device(out[i]) for i in range(n)]
    finally:
        lib().scanid_free_list(out)


class _Closing:
    """A context manager over a library handle that close() gives back, also
    when the object is collected unclosed."""

    _handle: Optional[int]

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self.close()


class Reader(_Closing):
    """An open reader. Made by scanid.open(); a context manager.

    One read or wait at a time; cancel() may be called from any thread and
    from a signal handler. A read called on the main thread runs the
    library's cycle on a helper thread and waits for it there, so that
    signal handlers (and KeyboardInterrupt, which cancels the cycle) run
    while it waits; the callbacks are then called on that helper thread."""

    def __init__(self, name: Optional[str] = None, server: Optional[Server] = None, *,
                 standby: Optional[Server] = None, no_standby: bool = False,
                 on_event: Optional[EventHandler] = None,
                 on_console: Optional[ConsoleHandler] = None) -> None:
        self._lib = lib()
        handle = ctypes.c_void_p()
        rc = self._lib.scanid_open(name.encode() if name is not None else None, ctypes.byref(handle))
        if rc != 0:
            raise error_for(rc, reader=name)
        self._handle: Optional[int] = handle.value
        self._name: str = self._lib.scanid_reader_name(self._handle).decode()
        self._lock = threading.Lock()
        self._last_event: Optional[str] = None
        self._depth = 0                   # read(), wait_removal() and cards() running
        self._stop: Optional[str] = None  # "cancel" or "deadline", until they end
        self._retrying = False
        self.on_event = on_event
        self.on_console = on_console
        # The trampolines live as long as the handle: the library holds
        # their addresses until close() takes them back.
        self._event_cb = _native.EventCallback(self._on_event)
        self._console_cb = _native.ConsoleCallback(self._on_console)
        self._lib.scanid_set_event_cb(self._handle, self._event_cb, None)
        self._lib.scanid_set_console_cb(self._handle, self._console_cb, None)
        try:
            if server is not None:
                self.set_server(*server)
            if no_standby:
                self.set_standby(None)
            elif standby is not None:
                self.set_standby(*standby)
        except BaseException:
            self.close()
            raise

    # -- callbacks (on the reading thread) --------------------------------
    def _on_event(self, _reader: int, kind: int, message: Optional[bytes], _user: int) -> None:
        text = message.decode("utf-8", errors="replace") if message is not None else ""
        self._last_event = text
        handler = self.on_event
        if handler is not None:
            # An exception here goes to sys.unraisablehook (ctypes reports
            # it); the read goes on untouched.
            handler(EventKind(kind) if kind in EventKind._value2member_map_ else kind, text)

    def _on_console(self, _reader: int, stream: int, line: Optional[bytes], error_text: Optional[bytes],
                    _user: int) -> None:
        handler = self.on_console
        if handler is None:
            return
        handler(Stream(stream) if stream in Stream._value2member_map_ else stream,
                line.decode("utf-8", errors="replace") if line is not None else "",
                error_text.decode("utf-8", errors="replace") if error_text is not None else None)

    # -- settings ---------------------------------------------------------
    @property
    def name(self) -> str:
        """The reader's canonical name ("usb:1-2", "serial:/dev/ttyUSB0@115200")."""
        return self._name

    @property
    def closed(self) -> bool:
        return self._handle is None

    def _live(self) -> int:
        if self._handle is None:
            raise ValueError("the reader is closed")
        return self._handle

    def set_server(self, host: str, port: int) -> None:
        """Set the decode server (a dotted IPv4 address and a port)."""
        with self._lock:
            rc = self._lib.scanid_set_server(self._live(), host.encode(), port)
        if rc != 0:
            raise error_for(rc, reader=self._name)

    def set_standby(self, host: Optional[str], port: int = 19977) -> None:
        """Set the standby server (a host name or address), or with None
        turn the fail-over off."""
        with self._lock:
            rc = self._lib.scanid_set_standby(self._live(), host.encode() if host is not None else None, port)
        if rc != 0:
            raise error_for(rc, reader=self._name)

    # -- reading ----------------------------------------------------------
    # A read() runs cycle after cycle and cards() reads and waits in turn, so
    # a cancel may come between two cycles, when the library has nothing to
    # end: it is kept in _stop until the outermost call ends, every cycle
    # checks it first, and a helper repeats the library's cancel until a
    # cycle has taken it.
    def _enter(self) -> None:
        if self._depth == 0:
            self._stop = None
        self._depth += 1

    def _leave(self) -> None:
        self._depth -= 1

    def _request_stop(self, reason: str) -> bool:
        if self._depth == 0 or self._handle is None:
            return False
        if self._stop is None:
            self._stop = reason
        if self._lib.scanid_cancel(self._handle):
            return True
        if not self._retrying:
            self._retrying = True
            threading.Thread(target=self._retry_cancel, name=f"scanid cancel {self._name}",
                             daemon=True).start()
        return True

    def _retry_cancel(self) -> None:
        try:
            while self._stop is not None and self._depth > 0 and self._handle is not None:
                if self._lib.scanid_cancel(self._handle):
                    return
                time.sleep(0.01)
        finally:
            self._retrying = False

    def _blocking(self, call: Callable[[], int]) -> int:
        """Runs `call` (a library cycle) unless a stop is pending; on the main
        thread through a helper thread, so that signals are handled while it
        runs."""
        if self._stop is not None:
            return CANCELLED
        if threading.current_thread() is not threading.main_thread():
            return call()
        result: List[int] = []
        done = threading.Event()

        def run() -> None:
            try:
                result.append(call())
            finally:
                done.set()

        threading.Thread(target=run, name=f"scanid {self._name}", daemon=True).start()
        try:
            done.wait()
        except BaseException:
            # KeyboardInterrupt or a signal handler's exception: end the cycle
            # before the exception leaves, so the handle is free again.
            self._request_stop("cancel")
            done.wait()
            raise
        return result[0] if result else CANCELLED

    def _claim(self) -> int:
        handle = self._live()
        if not self._lock.acquire(blocking=False):
            raise error_for(-104, reader=self._name)
        return handle

    def read(self, timeout: Optional[float] = None) -> Optional[Card]:
        """Read one card: an IdentityDocument or an OtherCard.

        Runs read cycles until a card is read. With ``timeout`` (seconds)
        it gives up after that long and returns None: no card is a result,
        not an error. Raises Cancelled when cancel() ends it, and the
        ScanIdError subclass of any failure (UsbOpenError for a module that
        is not there, ServerConnectError for a decode server that cannot be
        reached, ...), with the library's result code and last event text."""
        handle = self._claim()
        self._enter()
        timer: Optional[threading.Timer] = None
        try:
            if timeout is not None:
                if timeout <= 0:
                    return None
                timer = threading.Timer(timeout, self._request_stop, ("deadline",))
                timer.daemon = True
                timer.start()
            record = _native.Record()
            while True:
                record.size = ctypes.sizeof(record)
                self._last_event = None
                rc = self._blocking(lambda: self._lib.scanid_read_ex(handle, ctypes.byref(record)))
                if rc in (IDCARD, UNKNOWN_DOCUMENT):
                    return identity_document(self._name, record)
                if rc == OTHERCARD:
                    return other_card(self._name, record)
                if rc == CANCELLED and self._stop == "deadline":
                    return None
                if rc != NO_CARD:
                    raise error_for(rc, self._last_event, self._name)
        finally:
            if timer is not None:
                timer.cancel()
            self._leave()
            self._lock.release()

    def wait_removal(self, timeout: Optional[float] = None) -> bool:
        """Wait until the card the last read found has left the reader (the
        module only; no decode server is asked). True when it has, False
        when ``timeout`` seconds passed with it still there. Raises as
        read() does."""
        ms = -1 if timeout is None else max(0, int(timeout * 1000))
        handle = self._claim()
        self._enter()
        try:
            self._last_event = None
            rc = self._blocking(lambda: self._lib.scanid_wait_removal(handle, ms))
        finally:
            self._leave()
            self._lock.release()
        if rc == CARD_REMOVED:
            return True
        if rc == CARD_PRESENT:
            return False
        raise error_for(rc, self._last_event, self._name)

    def cards(self) -> Iterator[Card]:
        """The cards placed on the reader, one per placement, until cancel()
        or close().

        After each card it waits for the card to be taken away, so a card
        left lying there is given once. A failed read raises (call cards()
        again to go on); a failed wait for the removal (the module went
        away) reads again after a second, and a card still lying there is
        given again."""
        self._enter()
        try:
            while self._handle is not None and self._stop is None:
                try:
                    card = self.read()
                except Cancelled:
                    return
                if card is None:
                    continue
                yield card
                if self._handle is None or self._stop is not None:
                    return
                try:
                    self.wait_removal()
                except Cancelled:
                    return
                except ScanIdError:
                    time.sleep(1.0)
        finally:
            self._leave()

    def cancel(self) -> bool:
        """End the read, wait or cards() loop running on this reader, from
        any thread or a signal handler: it raises Cancelled (cards() ends)
        within 50 ms. True when one was running; a cancel with none running
        is not kept for the next."""
        return self._request_stop("cancel")

    # -- lifetime ---------------------------------------------------------
    def close(self) -> None:
        """Cancel what runs, wait for it, and close the handle. No callback
        is called after close() returns. Closing twice does nothing."""
        if self._handle is None:
            return
        self._request_stop("cancel")
        with self._lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            self._lib.scanid_set_event_cb(handle, _native.EventCallback(), None)
            self._lib.scanid_set_console_cb(handle, _native.ConsoleCallback(), None)
            self._lib.scanid_close(handle)
        self.on_event = self.on_console = None

    def __repr__(self) -> str:
        return f"<scanid.Reader {self._name!r}{' closed' if self.closed else ''}>"


def open(name: Optional[str] = None, server: Optional[Server] = None, **settings) -> Reader:  # noqa: A001
    """Open a reader by name: "usb" (the first USB module), "usb:1-1.4" (the
    module on that port), "serial:/dev/ttyS1@115200". ``server`` is the
    decode server, (address, port). Keyword settings as Reader's. Nothing
    is opened on the device until the first read."""
    return Reader(name, server, **settings)


class HotplugEvent(enum.IntEnum):
    ARRIVED = 1  #: a module was plugged in
    LEFT = 2     #: a module was unplugged


HotplugHandler = Callable[[HotplugEvent, DeviceInfo], None]


class Hotplug(_Closing):
    """USB modules arriving and leaving, as a callback or an iterator.

    With a ``callback`` it is called on the library's hotplug thread for each
    change; without one, iterate over the Hotplug for (event, device) pairs.
    ``enumerate`` reports the modules already attached as arrivals first.
    A context manager; close() stops the notices (no callback after it)."""

    def __init__(self, callback: Optional[HotplugHandler] = None, *, enumerate: bool = True,
                 poll: bool = False) -> None:
        self._lib = lib()
        self._callback = callback
        self._queue: "queue.SimpleQueue[Optional[Tuple[HotplugEvent, DeviceInfo]]]" = queue.SimpleQueue()
        self._cb = _native.HotplugCallback(self._on_change)
        handle = ctypes.c_void_p()
        flags = (1 if enumerate else 0) | (2 if poll else 0)
        rc = self._lib.scanid_hotplug_register(self._cb, None, flags, ctypes.byref(handle))
        if rc != 0:
            raise error_for(rc)
        self._handle: Optional[int] = handle.value

    def _on_change(self, event: int, device, _user: int) -> None:
        item = (HotplugEvent(event), _device(device[0]))
        if self._callback is not None:
            self._callback(*item)
        else:
            self._queue.put(item)

    def get(self, timeout: Optional[float] = None) -> Optional[Tuple[HotplugEvent, DeviceInfo]]:
        """The next change; None after ``timeout`` seconds or once closed."""
        try:
            return self._queue.get(timeout=timeout)
        except queue.Empty:
            return None

    def __iter__(self) -> Iterator[Tuple[HotplugEvent, DeviceInfo]]:
        while True:
            item = self._queue.get()
            if item is None:
                return
            yield item

    def close(self) -> None:
        handle, self._handle = self._handle, None
        if handle is not None:
            self._lib.scanid_hotplug_deregister(handle)
            self._queue.put(None)
