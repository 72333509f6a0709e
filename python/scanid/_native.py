"""The library as ctypes sees it: loading, record declarations, prototypes.

The records are declared once here and checked against the library's own
layout table (``scanid_layout()``) at import, so a binding and a library
that disagree about a record never exchange one.
"""

from __future__ import annotations

import ctypes
import os
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_int,
                    c_ubyte, c_uint, c_void_p)
from typing import Dict, List, Optional, Tuple

#: The oldest library whose interface the binding uses: 1.4.0.
NEEDED_VERSION = (1, 4, 0)

LIBRARY = "libscanid.so.1"
#: The library leaves libusb and the photo decoder to the loading program.
DEPENDENCIES = ("libusb-1.0.so.0", "libwlt.so.1")


class LibraryError(ImportError):
    """The library could not be loaded, is too old, or lays out a record
    differently from the binding's declarations."""


class IdInfo(Structure):
    _fields_ = [
        ("name", c_char * 30),
        ("sex", c_char * 2),
        ("nation", c_char * 4),
        ("birth", c_char * 16),
        ("address", c_char * 140),
        ("cardno", c_char * 36),
        ("authority", c_char * 64),
        ("starttime", c_char * 16),
        ("endtime", c_char * 16),
        ("photo", c_ubyte * 2048),
        ("photolen", c_int),
        ("cardkind", c_ubyte),
        ("carddata", c_ubyte * 51),
        ("carddatalen", c_int),
        ("cardfoundcb", c_void_p),
    ]


PHOTO_BYTES = 1024
TEXT_BLOCK_BYTES = 256


class Record(Structure):
    """scanid_record: every field of every document kind."""

    _fields_ = [
        ("size", c_uint),
        ("document", c_int),
        ("type_letter", c_char * 4),
        ("name_zh", c_char * 48),
        ("name_en", c_char * 124),
        ("sex", c_char * 4),
        ("sex_text", c_char * 24),
        ("ethnic_code", c_char * 4),
        ("ethnic", c_char * 16),
        ("nationality", c_char * 8),
        ("birth", c_char * 12),
        ("address", c_char * 108),
        ("number", c_char * 40),
        ("authority", c_char * 48),
        ("valid_from", c_char * 12),
        ("valid_to", c_char * 32),
        ("travel_permit", c_char * 20),
        ("issue_count", c_char * 4),
        ("renewal_count", c_char * 4),
        ("card_version", c_char * 4),
        ("authority_code", c_char * 12),
        ("previous_number", c_char * 20),
        ("number_valid", c_int),
        ("photo", c_ubyte * PHOTO_BYTES),
        ("text_block", c_ubyte * TEXT_BLOCK_BYTES),
        ("card_kind", c_int),
        ("card_data_len", c_int),
        ("card_data", c_ubyte * 64),
    ]


class Device(Structure):
    _fields_ = [
        ("name", c_char_p),
        ("serial", c_char_p),
        ("bus", c_int),
        ("address", c_int),
    ]


class Field(Structure):
    _fields_ = [
        ("record", c_char_p),
        ("field", c_char_p),
        ("offset", c_uint),
        ("size", c_uint),
    ]


#: The library's record names and the declarations that must match them.
RECORDS = {"idInfo": IdInfo, "scanid_record": Record, "scanid_device": Device}
#: Records that later versions may extend at their end.
GROWING = {"scanid_record"}

EventCallback = CFUNCTYPE(None, c_void_p, c_int, c_char_p, c_void_p)
ConsoleCallback = CFUNCTYPE(None, c_void_p, c_int, c_char_p, c_char_p, c_void_p)
HotplugCallback = CFUNCTYPE(None, c_int, POINTER(Device), c_void_p)

_PROTOTYPES = {
    "GetScanIdVersion": (c_uint, []),
    "GetScanIdVersionString": (c_char_p, []),
    "SaveImage": (c_int, [c_void_p, c_char_p]),
    "scanid_layout": (POINTER(Field), []),
    "scanid_open": (c_int, [c_char_p, POINTER(c_void_p)]),
    "scanid_close": (None, [c_void_p]),
    "scanid_reader_name": (c_char_p, [c_void_p]),
    "scanid_set_server": (c_int, [c_void_p, c_char_p, c_int]),
    "scanid_set_standby": (c_int, [c_void_p, c_char_p, c_int]),
    "scanid_set_event_cb": (None, [c_void_p, EventCallback, c_void_p]),
    "scanid_set_console_cb": (None, [c_void_p, ConsoleCallback, c_void_p]),
    "scanid_read_ex": (c_int, [c_void_p, POINTER(Record)]),
    "scanid_cancel": (c_int, [c_void_p]),
    "scanid_wait_removal": (c_int, [c_void_p, c_int]),
    "scanid_list_usb": (c_int, [POINTER(POINTER(Device))]),
    "scanid_free_list": (None, [POINTER(Device)]),
    "scanid_hotplug_register": (c_int, [HotplugCallback, c_void_p, c_int, POINTER(c_void_p)]),
    "scanid_hotplug_deregister": (None, [c_void_p]),
}


def _version_tuple(encoded: int) -> Tuple[int, int, int]:
    return (encoded >> 16) & 0xFF, (encoded >> 8) & 0xFF, encoded & 0xFF


def library_layout(lib: ctypes.CDLL) -> Dict[str, List[Tuple[Optional[str], int, int]]]:
    """The library's layout table as {record: [(field or None, offset, size)]}."""
    table: Dict[str, List[Tuple[Optional[str], int, int]]] = {}
    entry = lib.scanid_layout()
    i = 0
    while entry[i].record is not None:
        e = entry[i]
        field = e.field.decode() if e.field is not None else None
        table.setdefault(e.record.decode(), []).append((field, e.offset, e.size))
        i += 1
    return table


def check_layout(table: Dict[str, List[Tuple[Optional[str], int, int]]]) -> None:
    """Raise LibraryError unless every declared record matches the table."""
    for name, declared in RECORDS.items():
        entries = table.get(name)
        if not entries or entries[0][0] is not None:
            raise LibraryError(f"the library gives no layout of {name}")
        size = entries[0][2]
        mine = {f[0]: (getattr(declared, f[0]).offset, getattr(declared, f[0]).size)
                for f in declared._fields_}
        theirs = {f: (off, sz) for f, off, sz in entries[1:]}
        for field, place in mine.items():
            if theirs.get(field) != place:
                raise LibraryError(
                    f"{name}.{field}: the binding has offset/size {place}, "
                    f"the library {theirs.get(field)}")
        extra = [f for f, (off, _) in theirs.items() if f not in mine]
        if name in GROWING:
            if size < ctypes.sizeof(declared) or any(theirs[f][0] < ctypes.sizeof(declared) for f in extra):
                raise LibraryError(f"{name}: the library's record does not begin with the binding's")
        elif extra or size != ctypes.sizeof(declared):
            raise LibraryError(
                f"{name}: the library's record is {size} bytes with fields {sorted(theirs)}, "
                f"the binding's {ctypes.sizeof(declared)}")


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Load and check the library (SCANID_LIBRARY overrides its name)."""
    path = path or os.environ.get("SCANID_LIBRARY") or LIBRARY
    try:
        for dep in DEPENDENCIES:
            ctypes.CDLL(dep, mode=ctypes.RTLD_GLOBAL)
        lib = ctypes.CDLL(path)
    except OSError as e:
        raise LibraryError(f"cannot load {path}: {e}") from e
    try:
        lib.GetScanIdVersion.restype = c_uint
        have = _version_tuple(lib.GetScanIdVersion())
    except AttributeError as e:
        raise LibraryError(f"{path} is not libscanid") from e
    if have < NEEDED_VERSION:
        raise LibraryError(
            f"{path} is libscanid {'.'.join(map(str, have))}; the binding needs "
            f"{'.'.join(map(str, NEEDED_VERSION))} or newer")
    # The layout first: nothing else is called on a library that disagrees.
    lib.scanid_layout.restype, lib.scanid_layout.argtypes = _PROTOTYPES["scanid_layout"]
    check_layout(library_layout(lib))
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError as e:
            raise LibraryError(f"{path} lacks {name}") from e
        fn.restype = restype
        fn.argtypes = argtypes
    return lib
