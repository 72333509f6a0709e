"""What a read gives: an identity document or another card, as frozen
dataclasses made from the library's extended record."""

from __future__ import annotations

import ctypes
import datetime
import enum
import os
from dataclasses import dataclass, field
from typing import Optional, Union

from ._native import PHOTO_BYTES, Record


class DocumentKind(enum.IntEnum):
    """Kind of identity document (the record's ``document``)."""

    RESIDENT = 1        #: resident identity card
    FOREIGN_2017 = 2    #: foreign permanent resident ID card, 2017 ('I')
    HMT_PERMIT = 3      #: residence permit for Hong Kong, Macao and Taiwan residents ('J')
    FOREIGN_2023 = 4    #: foreign permanent resident ID card, 2023 ('Y')
    UNKNOWN = 9         #: a type letter the library does not know: raw text block and photo only


class CardKind(enum.IntEnum):
    """Kind of another card, as the library numbers them; an IC card seen
    over serial carries the module's own kind byte, which may be none of
    these (OtherCard.kind is then a plain int)."""

    M1 = 1
    KIND_2 = 2
    KIND_3 = 3
    YCT = 4


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", errors="replace")


def _date(text: str) -> Optional[datetime.date]:
    if len(text) != 8 or not text.isdigit():
        return None
    try:
        return datetime.date(int(text[:4]), int(text[4:6]), int(text[6:]))
    except ValueError:
        return None


@dataclass(frozen=True)
class IdentityDocument:
    """An identity document of the family, every field of the library's
    extended record. A field the document's kind does not have is "".

    Dates are ``datetime.date`` where the card gives eight digits, else None;
    ``valid_to`` is None for a text such as "长期" (long-term), which
    ``valid_to_text`` keeps, as ``birth_text`` and ``valid_from_text`` keep
    what the card gave."""

    reader: str
    document: DocumentKind
    type_letter: str
    name_zh: str
    name_en: str
    sex: str
    sex_text: str
    ethnic_code: str
    ethnic: str
    nationality: str
    birth: Optional[datetime.date]
    address: str
    number: str
    authority: str
    valid_from: Optional[datetime.date]
    valid_to: Optional[datetime.date]
    travel_permit: str
    issue_count: str
    renewal_count: str
    card_version: str
    authority_code: str
    previous_number: str
    number_valid: bool
    birth_text: str
    valid_from_text: str
    valid_to_text: str
    photo: bytes = field(repr=False)
    text_block: bytes = field(repr=False)

    @property
    def name(self) -> str:
        """The Chinese name, or the English one when there is none."""
        return self.name_zh or self.name_en

    def save_photo(self, path: Union[str, os.PathLike]) -> None:
        """Decode the photo into an image file at ``path`` through the photo
        decoder (SaveImage()); raises OSError when the decoder fails."""
        from . import _reader
        buf = (ctypes.c_ubyte * PHOTO_BYTES).from_buffer_copy(self.photo)
        rc = _reader.lib().SaveImage(buf, os.fsencode(path))
        if rc != 1:
            raise OSError(f"the photo decoder could not write {os.fsdecode(path)} (result {rc})")


@dataclass(frozen=True)
class OtherCard:
    """A card that is not an identity document: its kind and raw data (over
    USB the module's whole frame, over serial the card's data bytes)."""

    reader: str
    kind: Union[CardKind, int]
    data: bytes


Card = Union[IdentityDocument, OtherCard]

_TEXT_FIELDS = ("type_letter", "name_zh", "name_en", "sex", "sex_text", "ethnic_code", "ethnic",
                "nationality", "address", "number", "authority", "travel_permit", "issue_count",
                "renewal_count", "card_version", "authority_code", "previous_number")


def identity_document(reader: str, r: Record) -> IdentityDocument:
    texts = {name: _text(getattr(r, name)) for name in _TEXT_FIELDS}
    birth, valid_from, valid_to = _text(r.birth), _text(r.valid_from), _text(r.valid_to)
    try:
        kind = DocumentKind(r.document)
    except ValueError:
        kind = DocumentKind.UNKNOWN
    return IdentityDocument(
        reader=reader, document=kind, birth=_date(birth), valid_from=_date(valid_from),
        valid_to=_date(valid_to), number_valid=bool(r.number_valid), birth_text=birth,
        valid_from_text=valid_from, valid_to_text=valid_to, photo=bytes(r.photo),
        text_block=bytes(r.text_block), **texts)


def other_card(reader: str, r: Record) -> OtherCard:
    kind: Union[CardKind, int]
    try:
        kind = CardKind(r.card_kind)
    except ValueError:
        kind = r.card_kind
    n = max(0, min(r.card_data_len, len(r.card_data)))
    return OtherCard(reader=reader, kind=kind, data=bytes(r.card_data[:n]))
