"""The one intake: evidence in the shapes it is handed out in, recognised and unwrapped once.

A report may come bare, inside Azure's HCL report, followed by its
certificate table, or written as hex, base64 or base64url text of any of
these; so may a TDX quote, bare or as text; certificates may come in PEM or
DER, or in Azure's THIM payload. Each shape is recognised by its content,
never by a file name, and unwrapping only locates: what it finds is verified
exactly as if given bare, and the wrapper's own binding (the `hcl` check, the
THIM `tcbm`) is judged beside it.

`take_evidence` is the only place that asks what the evidence is: the
command and `Verifier.verify` both call it, and dispatch on the `Evidence`
it returns, which names the platform and carries what was unwrapped.
"""

from __future__ import annotations

import functools
import importlib
from dataclasses import dataclass
from typing import Any, Protocol

from ._internal import limits
from ._internal.evidence_text import decode_text
from ._internal.platform import SHAPES, Platform, entry, platform_of, recognised
from ._internal.untrusted import check_size
from .errors import ErrorKind, about


@dataclass(frozen=True)
class Evidence:
    """Evidence as the intake found it: the platform whose checks judge it, and what it came in.

    `hardware` is what that platform's checks read: the report or the quote as
    given (bytes, or a `Report` or `Quote` already decoded), unwrapped from
    its text and wrappers; for an HCL report around a TDX TDREPORT, the
    TDREPORT, which is verified through the TDX quote given beside it.
    Evidence that no platform recognises is SEV-SNP's, whose reader names
    the likely mistake.
    """

    platform: Platform
    hardware: object
    wrapper: object | None = None  # the wrapper it came in (Azure's HCL report), whose own checks are added
    certificate_table: bytes | None = None  # the table that followed the report in one file
    encoding: str | None = None  # "hex", "base64" or "base64url" where it was text

    @property
    def bare_quote(self) -> bool:
        """Whether this is a TDX quote given as itself (bare or as text), not inside another platform's wrapper."""
        return self.platform == Platform.TDX and self.wrapper is None and self.certificate_table is None

    @property
    def hcl(self) -> Any:
        """Azure's HCL report the evidence came in (an `azure.hcl.HclReport`), the one wrapper there is."""
        return self.wrapper


class Shape(Protocol):
    """A shape evidence or certificates are handed out in around a platform's own (`_internal.platform.SHAPES`)."""

    def binary(self, data: bytes) -> bool:
        """Whether `data` is in this shape (or the bare evidence's size): bytes as they are, never text."""
        ...

    def unwrap(self, data: bytes, source: str, encoding: str | None) -> Evidence | None:
        """The evidence inside `data`, or None where `data` is not in this shape."""
        ...

    def certificates(self, data: bytes, source: str) -> CertificateEvidence | None:
        """The certificates inside `data`, or None where `data` is not in this shape."""
        ...


@functools.cache
def _shapes() -> tuple[Shape, ...]:
    return tuple(importlib.import_module(name).SHAPE for name in SHAPES)


def _binary_evidence(data: bytes) -> bool:
    return any(shape.binary(data) for shape in _shapes())


def _quote(data: bytes) -> bool:
    return entry(Platform.TDX).recognises(data)


def take_evidence(data: object, source: str = "report") -> Evidence:
    """The evidence in `data`, whatever its shape; bare bytes that match no other shape are taken as an SEV-SNP
    report, for the report's own reader to judge (and, where it is something else, to name the mistake)."""
    found = recognised(data)
    if found is not None or not isinstance(data, bytes | bytearray | memoryview):
        return Evidence(found or platform_of(data), data)  # what no platform takes, the default one's reader names
    # Before any decoding: text is scanned and decoded whole, which for megabytes takes seconds.
    raw = check_size(bytes(data), limits.REPORT_FILE_SIZE, source, "report (with its certificate table)")
    encoding = None
    if not _binary_evidence(raw):
        # A quote under any reading first, then the report's shapes: each reading is decoded once.
        decoded = decode_text(raw, _quote, _binary_evidence)
        if decoded is not None:
            raw, encoding = decoded.data, decoded.encoding
            if _quote(raw):
                return Evidence(Platform.TDX, raw, encoding=encoding)
    for shape in _shapes():
        unwrapped = shape.unwrap(raw, source, encoding)
        if unwrapped is not None:
            return unwrapped
    return Evidence(Platform.SEV_SNP, raw, encoding=encoding)


def take_quote(quote: object) -> bytes:
    """The TDX quote given beside an HCL report around a TDREPORT (bare, or as hex, base64 or base64url text)."""
    if not isinstance(quote, bytes | bytearray | memoryview):
        raise about("quote", f"expected the TDX quote's bytes, got {type(quote).__name__}")
    data = bytes(quote)
    if not _quote(data) and not _binary_evidence(data) and len(data) <= limits.REPORT_FILE_SIZE:
        decoded = decode_text(data, _quote)
        data = decoded.data if decoded is not None else data
    if not _quote(data):
        raise about("quote", "not a TDX quote (version 4 or 5, TEE type 0x81)", ErrorKind.REPORT)
    return data


@dataclass(frozen=True)
class CertificateEvidence:
    """What a certificate argument held: certificates in PEM or DER, and the THIM payload they came in."""

    certificates: bytes
    thim: Any  # the `azure.thim.ThimPayload`, or None


def unwrap_certificates(data: bytes, source: str = "certificate") -> CertificateEvidence:
    data = bytes(data)
    for shape in _shapes():
        unwrapped = shape.certificates(data, source)
        if unwrapped is not None:
            return unwrapped
    return CertificateEvidence(data, None)
