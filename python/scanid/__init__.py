"""Read identity cards and other contactless cards through libscanid.

The reader module on USB or a serial port cannot decode an identity
document itself: the library relays the card exchange to a decode server
and gives back the document's fields. This package binds the installed
library (``libscanid.so.1``) with ctypes; nothing is compiled.

    import scanid

    for device in scanid.list_readers():
        print(device.name)                    # "usb:1-1.4"

    with scanid.open("usb:1-1.4", server=("10.0.0.5", 19904)) as reader:
        card = reader.read(timeout=30)        # None: no card within 30 s
        if isinstance(card, scanid.IdentityDocument):
            print(card.name, card.number, card.birth)
            card.save_photo("photo.bmp")
        elif isinstance(card, scanid.OtherCard):
            print(card.kind, card.data.hex())

        for card in reader.cards():           # one per card placed, until
            ...                               # reader.cancel() or close()

Failures raise ScanIdError subclasses that carry the library's result code
(``code``) and the last event text of the read (``event``). No card is not
a failure: read() returns None at its time limit.

Threads: one read at a time per reader (another raises Busy), several
readers on several threads at once. cancel() may be called from any thread
and from a signal handler. Event and console callbacks run on the thread
that runs the library's cycle; an exception they raise is reported through
sys.unraisablehook and does not touch the read. No callback is called after
close(). SCANID_LIBRARY in the environment names another library file.
"""

from ._cards import Card, CardKind, DocumentKind, IdentityDocument, OtherCard
from ._errors import (Busy, Cancelled, HeartbeatError, ModuleError, ReaderError, ResourceError,
                      ScanIdError, SerialOpenError, ServerConnectError, ServerDataError, ServerError,
                      ServerTimeout, UsageError, UsbOpenError)
from ._native import NEEDED_VERSION, LibraryError
from ._reader import (DeviceInfo, EventKind, Hotplug, HotplugEvent, Reader, Stream, lib, list_readers,
                      open, version)

# Load and check the library now: a binding that does not fit the library
# fails at import, not at the first read.
lib()

__all__ = [
    "Busy", "Cancelled", "Card", "CardKind", "DeviceInfo", "DocumentKind", "EventKind",
    "HeartbeatError", "Hotplug", "HotplugEvent", "IdentityDocument", "LibraryError", "ModuleError",
    "NEEDED_VERSION", "OtherCard", "Reader", "ReaderError", "ResourceError", "ScanIdError",
    "SerialOpenError", "ServerConnectError", "ServerDataError", "ServerError", "ServerTimeout",
    "Stream", "UsageError", "UsbOpenError", "list_readers", "open", "version",
]
