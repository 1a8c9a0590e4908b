"""Binary evidence written as text: hex, base64 or base64url, as APIs and JSON documents hand it out.

Hex digits are also base64 symbols, so each reading is tried in turn and the
first whose bytes the caller accepts (a report, an HCL report) wins; a text
that decodes under no reading to something accepted is not evidence text.
Decoding is strict: one alphabet, padding either complete or absent,
whitespace only between symbols.
"""

from __future__ import annotations

import base64
import binascii
import re
from collections.abc import Callable, Iterator
from typing import Final, NamedTuple

_WHITESPACE: Final = re.compile(rb"\s+")
_HEX: Final = re.compile(rb"(?:[0-9A-Fa-f]{2})+")
_BASE64: Final = re.compile(rb"[A-Za-z0-9+/]+={0,2}")
_BASE64URL: Final = re.compile(rb"[A-Za-z0-9_-]+={0,2}")


class DecodedText(NamedTuple):
    data: bytes
    encoding: str  # "hex", "base64" or "base64url"


def _base64(text: bytes, alphabet: re.Pattern[bytes], altchars: bytes) -> bytes | None:
    # Padding is complete or absent: coreutils and most encoders leave it out of base64url, never half of it.
    if not alphabet.fullmatch(text) or (text.endswith(b"=") and len(text) % 4):
        return None
    try:
        return base64.b64decode(text + b"=" * (-len(text) % 4), altchars=altchars, validate=True)
    except binascii.Error:  # a length that no encoding gives
        return None


def _readings(text: bytes) -> Iterator[DecodedText]:
    """The bytes that `text` decodes to under each encoding it is written in, hex first; each decoded when asked."""
    if _HEX.fullmatch(text):
        yield DecodedText(bytes.fromhex(text.decode("ascii")), "hex")
    for encoding, alphabet, altchars in (("base64", _BASE64, b"+/"), ("base64url", _BASE64URL, b"-_")):
        result = _base64(text, alphabet, altchars)
        if result is not None:
            yield DecodedText(result, encoding)


def decode_text(data: bytes, *accepts: Callable[[bytes], bool]) -> DecodedText | None:
    """`data` decoded from the first text encoding under which the first of `accepts` takes the bytes, else
    the first under which the next one does, and so on; None if none does. Each reading is decoded once."""
    text = _WHITESPACE.sub(b"", bytes(data))
    if not text:
        return None
    pending, seen = _readings(text), list[DecodedText]()
    for accept in accepts:
        for decoded in seen:
            if accept(decoded.data):
                return decoded
        for decoded in pending:
            seen.append(decoded)
            if accept(decoded.data):
                return decoded
    return None
