"""The PCK certificate chain of a quote and the SGX extension of its PCK certificate.

The PCK certificate states what Intel certified about the platform: its FMSPC
(the platform model that picks the TCB info), its PCE's identity, and the TCB
it had when the key was issued (16 SGX components, the PCESVN and the CPUSVN).
Those come from Intel's extension 1.2.840.113741.1.13.1, a SEQUENCE OF
(OID, value) pairs that `cryptography` hands over as raw bytes; it is decoded
with `cryptography.hazmat.asn1`, so the DER rules (minimal lengths and
integers, no trailing bytes) are cryptography's, not ours.
"""

from __future__ import annotations

import datetime
import enum
import functools
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Final, TypeVar

from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat import asn1

from .._internal.certificates import common_name, how_many
from .._internal.untrusted import describe, plainly
from ..errors import ErrorKind, VerificationError


class PckError(VerificationError):
    """A quote's PCK certificate chain that cannot be read."""

    default_kind = ErrorKind.CERTIFICATE


SGX_EXTENSION: Final = x509.ObjectIdentifier("1.2.840.113741.1.13.1")
_ARC: Final = SGX_EXTENSION.dotted_string
_PPID, _TCB, _PCE_ID, _FMSPC, _SGX_TYPE = (f"{_ARC}.{n}" for n in range(1, 6))
# The TCB's 18 entries in Intel's order: the 16 SGX components, the PCESVN, the CPUSVN.
_TCB_ARCS: Final = tuple(f"{_ARC}.2.{n}" for n in range(1, 19))
# Intel's chain is exactly three certificates: the PCK certificate, its CA and the root.
CHAIN_CERTIFICATES: Final = 3
# What Intel's checks call a certificate without a common name, or whose subject cannot be read: Intel's
# certificates are told apart by their common names, and one without is none of them.
UNNAMED: Final = ""

_T = TypeVar("_T")


class SgxType(enum.IntEnum):
    STANDARD = 0
    SCALABLE = 1
    SCALABLE_WITH_INTEGRITY = 2


class PckIssuer(enum.StrEnum):
    """Which of Intel's PCK CAs issued the certificate; Intel's PCK CRL is published per CA."""

    PLATFORM = "platform"
    PROCESSOR = "processor"


_ISSUER_NAMES: Final = {
    "Intel SGX PCK Platform CA": PckIssuer.PLATFORM,
    "Intel SGX PCK Processor CA": PckIssuer.PROCESSOR,
}


@asn1.sequence
class _Entry:
    oid: x509.ObjectIdentifier
    value: asn1.TLV


@asn1.sequence
class _Svn:
    oid: x509.ObjectIdentifier
    value: int


@asn1.sequence
class _Octets:
    oid: x509.ObjectIdentifier
    value: bytes


# The TCB is a SEQUENCE of 18 (OID, value) pairs that Intel writes in one
# order: decoded as one fixed sequence, which costs a third less than a list
# of pairs decoded one by one, and whose OIDs are then checked in order.
_Tcb: type[Any] = asn1.sequence(type("_Tcb", (), {"__annotations__": {**{f"c{n}": _Svn for n in range(1, 18)}, "cpusvn": _Octets}}))


@dataclass(frozen=True, slots=True)
class SgxExtension:
    """What the PCK certificate states about the platform."""

    ppid: bytes
    tcb_components: tuple[int, ...]  # the 16 SGX TCB component SVNs, in order
    pcesvn: int
    cpusvn: bytes
    pce_id: bytes
    fmspc: bytes
    sgx_type: SgxType


@dataclass(frozen=True, slots=True)
class PckChain:
    """The quote's chain, each certificate found by its role: the PCK certificate, the CA that issued it, and the
    root that was sent (only compared with the pinned one)."""

    pck: x509.Certificate
    ca: x509.Certificate
    root: x509.Certificate
    issuer: PckIssuer
    extension: SgxExtension
    windows: tuple[tuple[datetime.datetime, datetime.datetime], ...]  # the PCK's and the CA's validity, read once


def load_pck_chain(pem: bytes, pinned: x509.Certificate | None = None) -> PckChain:
    """The chain of certification data type 5: exactly the PCK certificate, the Platform or Processor CA and the
    root, in any order (Intel's library accepts them so); each is found by its role, never by its place.

    A certificate that is the `pinned` root byte for byte is replaced by it: the pinned object has decoded its
    key, names and extensions once, where the copy would decode them again for each new chain."""
    try:
        certificates = x509.load_pem_x509_certificates(pem.rstrip(b"\0"))
    except (ValueError, x509.InvalidVersion) as error:
        raise PckError(f"the quote's PCK certificate chain is not PEM certificates (a block is corrupted): {plainly(error)}",
                       detail=describe(error)) from error
    if pinned is not None:
        certificates = [pinned if certificate == pinned else certificate for certificate in certificates]
    for certificate in certificates:
        # cryptography decodes these lazily: a malformed key, extension or name
        # in a certificate sent by the guest is bad input here, not an error later.
        try:
            certificate.public_key()
            certificate.signature_algorithm_oid  # noqa: B018
            certificate.extensions  # noqa: B018
            certificate.subject == certificate.issuer  # noqa: B015
        # An extension given twice, or a name form cryptography does not know, is not a ValueError.
        except (ValueError, TypeError, UnsupportedAlgorithm, x509.DuplicateExtension, x509.UnsupportedGeneralNameType) as error:
            raise PckError(f"a certificate of the quote's PCK chain is malformed: {plainly(error)}",
                           detail=describe(error)) from None
    # Each certificate's names compared and read once: the roles below sort them by these.
    named = [(c, _self_issued(c), common_name(c, UNNAMED)) for c in certificates]
    roots = [c for c, issued, _ in named if issued]
    cas = [c for c, issued, name in named if not issued and name in _ISSUER_NAMES]
    pcks = [c for c, issued, name in named if not issued and name not in _ISSUER_NAMES]
    for found, role in ((pcks, "PCK certificate"), (cas, "PCK Platform or Processor CA"), (roots, "root CA certificate")):
        if len(found) != 1:
            what = "lacks the" if not found else f"holds {len(found)} certificates as the"
            raise PckError(
                f"the quote's PCK certificate chain {what} {role}: Intel's chain is exactly the PCK certificate, its CA "
                f"and the root ({how_many(len(certificates))} given)"
            )
    pck, ca, root = pcks[0], cas[0], roots[0]
    windows = tuple((c.not_valid_before_utc, c.not_valid_after_utc) for c in (pck, ca))
    return PckChain(pck, ca, root, _ISSUER_NAMES[common_name(ca, UNNAMED)], sgx_extension(pck), windows)


def _self_issued(certificate: x509.Certificate) -> bool:
    return certificate.subject == certificate.issuer


def sgx_extension(certificate: x509.Certificate) -> SgxExtension:
    """The SGX extension of a PCK certificate, every field checked for presence and size."""
    try:
        extension = certificate.extensions.get_extension_for_oid(SGX_EXTENSION).value
    except x509.ExtensionNotFound:
        raise PckError("the PCK certificate has no SGX extension (1.2.840.113741.1.13.1)") from None
    except ValueError as error:
        raise PckError(f"the PCK certificate's extensions cannot be read: {plainly(error)}",
                       detail=describe(error)) from error
    if not isinstance(extension, x509.UnrecognizedExtension):
        raise PckError("the PCK certificate's SGX extension is not raw bytes")
    try:
        fields = _entries(extension.value)
        tcb = _require(fields, _TCB).parse(_Tcb)
        entries = [getattr(tcb, f"c{n}") for n in range(1, 18)] + [tcb.cpusvn]
        found = tuple(entry.oid.dotted_string for entry in entries)
        if found != _TCB_ARCS:
            raise PckError(f"the PCK certificate's SGX TCB holds {', '.join(found)}, not Intel's 18 entries in order")
        svns = tuple(entry.value for entry in entries[:17])
        if not all(0 <= svn <= 0xFF for svn in svns[:16]) or not 0 <= svns[16] <= 0xFFFF or len(tcb.cpusvn.value) != 16:
            raise PckError("the PCK certificate's SGX TCB has a component SVN, PCESVN or CPUSVN out of range")
        return SgxExtension(
            ppid=_octets(fields, _PPID, 16),
            tcb_components=svns[:16],
            pcesvn=svns[16],
            cpusvn=tcb.cpusvn.value,
            pce_id=_octets(fields, _PCE_ID, 2),
            fmspc=_octets(fields, _FMSPC, 6),
            sgx_type=_sgx_type(_require(fields, _SGX_TYPE)),
        )
    except (ValueError, TypeError) as error:
        if isinstance(error, VerificationError):
            raise
        raise PckError("the PCK certificate's SGX extension is malformed: its DER does not decode as Intel's "
                       "SGX extension", detail=describe(error)) from error


def _entries(der: bytes) -> dict[str, asn1.TLV]:
    entries = asn1.decode_der(list[_Entry], der)
    found: dict[str, asn1.TLV] = {}
    for entry in entries:
        arc = entry.oid.dotted_string
        if arc in found:
            raise PckError(f"the PCK certificate's SGX extension holds {arc} twice")
        found[arc] = entry.value
    return found


def _require(fields: dict[str, asn1.TLV], arc: str) -> asn1.TLV:
    if arc not in fields:
        raise PckError(f"the PCK certificate's SGX extension lacks {arc}")
    return fields[arc]


def _parsed(fields: dict[str, asn1.TLV], arc: str, kind: type[_T], check: Callable[[_T], bool], want: str) -> _T:
    value = _require(fields, arc).parse(kind)
    if not check(value):
        raise PckError(f"the PCK certificate's SGX extension has {arc} = {value!r}, expected {want}")
    return value


def _octets(fields: dict[str, asn1.TLV], arc: str, size: int) -> bytes:
    return _parsed(fields, arc, bytes, lambda v: len(v) == size, f"{size} bytes")


def _sgx_type(value: asn1.TLV) -> SgxType:
    # The declarative decoder has no ENUMERATED; its content octets are an
    # INTEGER's, so the value is re-tagged as one (content under 128 bytes,
    # hence one length octet) and cryptography decodes it with DER's rules.
    content = bytes(value.data)
    if value.tag_bytes != b"\x0a" or not 0 < len(content) <= 4:
        raise PckError("the PCK certificate's SGX type is not a small ENUMERATED")
    number = asn1.decode_der(int, b"\x02" + bytes([len(content)]) + content)
    try:
        return SgxType(number)
    except ValueError:
        raise PckError(f"the PCK certificate's SGX type {number} is not one Intel defines") from None


def __getattr__(name: str) -> object:
    if name == "common_name":  # Intel's own, which named a certificate without a common name ""
        warnings.warn("quorvel_verify.tdx.pck.common_name is now quorvel_verify._internal.certificates.common_name "
                      "(certificate, UNNAMED)", DeprecationWarning, stacklevel=2)
        return functools.partial(common_name, unnamed=UNNAMED)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
