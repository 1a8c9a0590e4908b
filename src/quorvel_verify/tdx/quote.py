"""Every field of an Intel TDX quote (versions 4 and 5), typed.

The quote comes from the guest, so it is read as hostile: a cursor that
never reads past the buffer and checks each length against what is left
(`size > len(data) - offset`, never an addition that could pass a bound), and
each refusal is a `VerificationError` that names what the bytes are and
where they stop making sense. What this verifier cannot lay out is refused
here; what it can lay out but does not trust (the attestation key type, the
QE vendor) is left to the `quote` check, which says what it found.

Genuine quotes may sit in a larger buffer (one cloud hands out 8,000 bytes):
bytes after the signature data are accepted and counted, never read.
"""

from __future__ import annotations

import dataclasses
import enum
import struct
from dataclasses import dataclass
from typing import Final

from .._internal import limits
from ..errors import ErrorKind, VerificationError


class QuoteError(VerificationError):
    """Bytes that are not a TDX quote this verifier reads."""

    default_kind = ErrorKind.REPORT


HEADER_SIZE: Final = 48
TD_REPORT_10_SIZE: Final = 584
TD_REPORT_15_SIZE: Final = 648
ENCLAVE_REPORT_SIZE: Final = 384
MAX_QUOTE_SIZE: Final = limits.QUOTE_SIZE

TEE_TYPE_SGX: Final = 0x00000000
TEE_TYPE_TDX: Final = 0x00000081
# Intel's quoting enclave, the only QE vendor whose quotes this verifier knows.
INTEL_QE_VENDOR_ID: Final = bytes.fromhex("939a7233f79c4ca9940a0db3957f0607")
ECDSA_P256_KEY_TYPE: Final = 2

# Version 5's body descriptor: what the body after the header is.
BODY_SGX_ENCLAVE: Final = 1
BODY_TD_REPORT_10: Final = 2
BODY_TD_REPORT_15: Final = 3
BODY_TD_REPORT_15_PARTITIONING: Final = 4

CERT_DATA_PCK_CHAIN: Final = 5
CERT_DATA_QE_REPORT: Final = 6
CERT_DATA_NAMES: Final = {
    1: "PPID in clear",
    2: "PPID encrypted with RSA-2048",
    3: "PPID encrypted with RSA-3072",
    4: "PCK certificate alone",
    5: "PCK certificate chain",
    6: "QE report",
    7: "platform manifest",
}


class TdAttribute(enum.IntFlag):
    """The named bits of a TD's attributes; bits not named here are kept in the raw value."""

    DEBUG = 1 << 0
    SEPT_VE_DISABLE = 1 << 28
    MIGRATABLE = 1 << 29
    PKS = 1 << 30
    KL = 1 << 31
    PERFMON = 1 << 63


@dataclass(frozen=True, slots=True)
class TdAttributes:
    """A TD's attributes, 64 bits as the TD report holds them, each named bit a property."""

    raw: int

    def has(self, bit: TdAttribute) -> bool:
        return bool(self.raw & bit)

    @property
    def debug(self) -> bool:
        return self.has(TdAttribute.DEBUG)

    @property
    def sept_ve_disable(self) -> bool:
        return self.has(TdAttribute.SEPT_VE_DISABLE)

    @property
    def migratable(self) -> bool:
        return self.has(TdAttribute.MIGRATABLE)

    @property
    def pks(self) -> bool:
        return self.has(TdAttribute.PKS)

    @property
    def kl(self) -> bool:
        return self.has(TdAttribute.KL)

    @property
    def perfmon(self) -> bool:
        return self.has(TdAttribute.PERFMON)

    def to_json(self) -> dict[str, object]:
        return {bit.name.lower(): self.has(bit) for bit in TdAttribute if bit.name} | {"raw": f"{self.raw:016x}"}


@dataclass(frozen=True, slots=True)
class Header:
    version: int
    attestation_key_type: int
    tee_type: int
    qe_svn: int
    pce_svn: int
    qe_vendor_id: bytes
    user_data: bytes


@dataclass(frozen=True, slots=True)
class TdReport:
    """The TD report of the quote's body; the 1.5 fields are None in a 1.0 report, never zero."""

    tee_tcb_svn: bytes
    mr_seam: bytes
    mr_signer_seam: bytes
    seam_attributes: bytes
    td_attributes: TdAttributes
    xfam: int
    mr_td: bytes
    mr_config_id: bytes
    mr_owner: bytes
    mr_owner_config: bytes
    rtmr0: bytes
    rtmr1: bytes
    rtmr2: bytes
    rtmr3: bytes
    report_data: bytes
    tee_tcb_svn2: bytes | None = None
    mr_servicetd: bytes | None = None

    @property
    def module_major_version(self) -> int:
        """The TDX module's major version, which picks its identity in Intel's TCB info."""
        return self.tee_tcb_svn[1]

    @property
    def module_svn(self) -> int:
        return self.tee_tcb_svn[0]


@dataclass(frozen=True, slots=True)
class EnclaveReport:
    """The quoting enclave's report, as the PCK key signs it (`raw`, 384 bytes)."""

    cpu_svn: bytes
    misc_select: int
    isv_ext_prod_id: bytes
    attributes: bytes
    mr_enclave: bytes
    mr_signer: bytes
    config_id: bytes
    isv_prod_id: int
    isv_svn: int
    config_svn: int
    isv_family_id: bytes
    report_data: bytes
    raw: bytes = dataclasses.field(repr=False)


@dataclass(frozen=True, slots=True)
class SignatureData:
    """The quote's ECDSA signature data with its QE report certification data (type 6 holding type 5)."""

    signature: bytes  # r || s, 32 bytes each, big-endian
    attestation_key: bytes  # x || y of the P-256 attestation key
    qe_report: EnclaveReport
    qe_report_signature: bytes  # r || s by the PCK key
    qe_auth_data: bytes
    pck_chain_pem: bytes = dataclasses.field(repr=False)


@dataclass(frozen=True, slots=True)
class Quote:
    header: Header
    body_type: int  # 2: TD report 1.0, 3: TD report 1.5 (version 4 quotes always carry 1.0)
    td_report: TdReport
    signature_data: SignatureData
    signed: bytes = dataclasses.field(repr=False)  # the header and body, what the attestation key signs
    trailing_size: int = 0  # bytes after the signature data, accepted and not read
    raw: bytes = dataclasses.field(default=b"", repr=False)  # the quote as given, trailing bytes included

    def to_json(self) -> dict[str, object]:
        """Every field, bytes in hex; the PEM chain as its text."""
        out = _json(self)
        signature_data = dict(out["signature_data"])  # type: ignore[call-overload]
        signature_data["pck_chain_pem"] = self.signature_data.pck_chain_pem.decode("ascii", "replace")
        return out | {"signature_data": signature_data}


def _json(value: object) -> dict[str, object]:
    def convert(item: object) -> object:
        if isinstance(item, bytes):
            return item.hex()
        if isinstance(item, TdAttributes):
            return item.to_json()
        if dataclasses.is_dataclass(item) and not isinstance(item, type):
            return {f.name: convert(getattr(item, f.name)) for f in dataclasses.fields(item) if f.name not in ("raw", "signed")}
        return item

    return convert(value)  # type: ignore[return-value]


class _Cursor:
    """Reads forward through `data`, refusing any read that would pass `end`."""

    def __init__(self, data: bytes, offset: int = 0, end: int | None = None) -> None:
        self.data = data
        self.offset = offset
        self.end = len(data) if end is None else end

    @property
    def left(self) -> int:
        return self.end - self.offset

    def take(self, size: int, what: str) -> bytes:
        if size > self.left:
            raise QuoteError(
                f"truncated quote: {what} needs {size} bytes at offset {self.offset}, only {self.left} are left"
            )
        chunk = self.data[self.offset : self.offset + size]
        self.offset += size
        return chunk

    def u16(self, what: str) -> int:
        return int.from_bytes(self.take(2, what), "little")

    def u32(self, what: str) -> int:
        return int.from_bytes(self.take(4, what), "little")

    def sub(self, size: int, what: str) -> _Cursor:
        """A cursor over the next `size` bytes, which must all be there."""
        if size > self.left:
            raise QuoteError(
                f"truncated quote: {what} declares {size} bytes at offset {self.offset}, only {self.left} are left"
            )
        inner = _Cursor(self.data, self.offset, self.offset + size)
        self.offset += size
        return inner

    def done(self, what: str) -> None:
        if self.left:
            raise QuoteError(f"malformed quote: {self.left} bytes at offset {self.offset} after the {what}")


_TD_REPORT_FIELDS: Final = struct.Struct("<16s48s48s8sQQ48s48s48s48s48s48s48s48s64s")
# One layout per body type, each the whole body: the 1.5 report adds TEE_TCB_SVN2 and MRSERVICETD.
_TD_REPORT_LAYOUTS: Final = {
    TD_REPORT_10_SIZE: _TD_REPORT_FIELDS,
    TD_REPORT_15_SIZE: struct.Struct(_TD_REPORT_FIELDS.format + "16s48s"),
}


def _td_report(raw: bytes) -> TdReport:
    fields = _TD_REPORT_LAYOUTS[len(raw)].unpack(raw)
    (tee_tcb_svn, mr_seam, mr_signer_seam, seam_attributes, td_attributes, xfam, mr_td, mr_config_id, mr_owner,
     mr_owner_config, rtmr0, rtmr1, rtmr2, rtmr3, report_data) = fields[:15]  # fmt: skip
    tee_tcb_svn2, mr_servicetd = fields[15:] or (None, None)  # the 1.5 fields, None in a 1.0 report
    return TdReport(
        tee_tcb_svn, mr_seam, mr_signer_seam, seam_attributes, TdAttributes(td_attributes), xfam, mr_td,
        mr_config_id, mr_owner, mr_owner_config, rtmr0, rtmr1, rtmr2, rtmr3, report_data, tee_tcb_svn2, mr_servicetd,
    )  # fmt: skip


_ENCLAVE_REPORT_FIELDS: Final = struct.Struct("<16sI12x16s16s32s32x32s32x64sHHH42x16s64s")


def enclave_report(raw: bytes) -> EnclaveReport:
    """The 384-byte SGX report body of an enclave (the quoting enclave's, here)."""
    if len(raw) != ENCLAVE_REPORT_SIZE:
        raise QuoteError(f"an enclave report is {ENCLAVE_REPORT_SIZE} bytes, not {len(raw)}")
    (cpu_svn, misc_select, isv_ext_prod_id, attributes, mr_enclave, mr_signer, config_id, isv_prod_id, isv_svn,
     config_svn, isv_family_id, report_data) = _ENCLAVE_REPORT_FIELDS.unpack(raw)  # fmt: skip
    return EnclaveReport(
        cpu_svn, misc_select, isv_ext_prod_id, attributes, mr_enclave, mr_signer, config_id, isv_prod_id, isv_svn,
        config_svn, isv_family_id, report_data, raw,
    )  # fmt: skip


_HEADER: Final = struct.Struct("<HHIHH16s20s")


def parse_quote(data: bytes) -> Quote:
    """The quote in `data`, or `VerificationError` naming why these bytes are not a TDX quote this verifier reads."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise QuoteError(f"a quote is bytes, not {type(data).__name__}")
    data = bytes(data)
    if len(data) > MAX_QUOTE_SIZE:
        raise QuoteError(f"a quote of {len(data)} bytes is longer than the {MAX_QUOTE_SIZE} this verifier reads")
    if len(data) < HEADER_SIZE:
        raise QuoteError(f"not a TDX quote: {len(data)} bytes, shorter than its {HEADER_SIZE}-byte header")
    cursor = _Cursor(data, HEADER_SIZE)
    header = Header(*_HEADER.unpack_from(data))
    version, tee_type = header.version, header.tee_type
    if version == 3:
        # Version 3 is the SGX quote's layout (its TEE type bytes are reserved): not read as anything else.
        raise QuoteError("an SGX quote (version 3), which this verifier does not take: it verifies TDX quotes, versions 4 and 5")
    if tee_type == TEE_TYPE_SGX:
        raise QuoteError(f"an SGX enclave quote (version {version}, TEE type 0), not a TDX quote")
    if tee_type != TEE_TYPE_TDX:
        raise QuoteError(f"not a TDX quote: TEE type {tee_type:#x}, a TDX quote has {TEE_TYPE_TDX:#x}")
    if version == 4:
        body_type, body_size = BODY_TD_REPORT_10, TD_REPORT_10_SIZE
    elif version == 5:
        body_type, body_size = cursor.u16("the body type"), cursor.u32("the body size")
        expected = {BODY_TD_REPORT_10: TD_REPORT_10_SIZE, BODY_TD_REPORT_15: TD_REPORT_15_SIZE}
        if body_type == BODY_SGX_ENCLAVE:
            raise QuoteError("an SGX enclave quote (version 5, body type 1), not a TDX quote")
        if body_type == BODY_TD_REPORT_15_PARTITIONING:
            raise QuoteError(
                "quote version 5 with body type 4, a TD report 1.5 of a TD partitioning guest: not supported, "
                "only 2 (TD report 1.0) and 3 (1.5) are"
            )
        if body_type not in expected:
            raise QuoteError(f"quote version 5 with body type {body_type}: only 2 (TD report 1.0) and 3 (1.5) are known")
        if body_size != expected[body_type]:
            raise QuoteError(
                f"quote version 5: body type {body_type} is {expected[body_type]} bytes, the quote says {body_size}"
            )
    else:
        raise QuoteError(f"quote version {version} is not supported: only versions 4 and 5 are")
    td_report = _td_report(cursor.take(body_size, "the TD report"))
    signed = data[: cursor.offset]
    signature_data = _signature_data(cursor.sub(cursor.u32("the signature data size"), "the signature data"))
    return Quote(header, body_type, td_report, signature_data, signed, cursor.left, data)


# The fixed parts of the signature data (type 6 holding type 5): the quote's signature, the attestation key and
# the certification data's type and size; the QE report, its signature and the authentication data's size; the
# PCK chain's type and size.
_SIGNATURE_HEAD: Final = struct.Struct("<64s64sHI")
_QE_REPORT_HEAD: Final = struct.Struct(f"<{ENCLAVE_REPORT_SIZE}s64sH")
_PCK_CHAIN_HEAD: Final = struct.Struct("<HI")


def _signature_data_at_once(data: bytes, start: int, end: int) -> SignatureData | None:
    """The signature data in `data[start:end]` read in three struct layouts where it has the one shape this verifier
    reads, every size fitting exactly; None otherwise, for the cursor to find and name the fault."""
    outer = start + _SIGNATURE_HEAD.size
    if outer > end:
        return None
    signature, attestation_key, outer_type, outer_size = _SIGNATURE_HEAD.unpack_from(data, start)
    if outer_type != CERT_DATA_QE_REPORT or outer_size != end - outer or outer_size < _QE_REPORT_HEAD.size:
        return None
    qe_report_raw, qe_report_signature, auth_size = _QE_REPORT_HEAD.unpack_from(data, outer)
    auth = outer + _QE_REPORT_HEAD.size
    if auth_size + _PCK_CHAIN_HEAD.size > end - auth:
        return None
    inner_type, chain_size = _PCK_CHAIN_HEAD.unpack_from(data, auth + auth_size)
    chain = auth + auth_size + _PCK_CHAIN_HEAD.size
    if inner_type != CERT_DATA_PCK_CHAIN or chain_size != end - chain:
        return None
    return SignatureData(signature, attestation_key, enclave_report(qe_report_raw), qe_report_signature,
                         data[auth:auth + auth_size], data[chain:end])  # fmt: skip


def _signature_data(cursor: _Cursor) -> SignatureData:
    at_once = _signature_data_at_once(cursor.data, cursor.offset, cursor.end)
    if at_once is not None:
        return at_once
    signature = cursor.take(64, "the quote signature")
    attestation_key = cursor.take(64, "the attestation key")
    outer_type = cursor.u16("the certification data type")
    if outer_type != CERT_DATA_QE_REPORT:
        raise QuoteError(_unsupported_certification(outer_type, CERT_DATA_QE_REPORT))
    outer = cursor.sub(cursor.u32("the certification data size"), "the certification data")
    cursor.done("certification data")
    qe_report = enclave_report(outer.take(ENCLAVE_REPORT_SIZE, "the QE report"))
    qe_report_signature = outer.take(64, "the QE report signature")
    qe_auth_data = outer.take(outer.u16("the QE authentication data size"), "the QE authentication data")
    inner_type = outer.u16("the PCK certification data type")
    if inner_type != CERT_DATA_PCK_CHAIN:
        raise QuoteError(_unsupported_certification(inner_type, CERT_DATA_PCK_CHAIN))
    chain = outer.take(outer.u32("the PCK certificate chain size"), "the PCK certificate chain")
    outer.done("PCK certificate chain")
    return SignatureData(signature, attestation_key, qe_report, qe_report_signature, qe_auth_data, chain)


def _unsupported_certification(found: int, expected: int) -> str:
    name = CERT_DATA_NAMES.get(found, "unknown")
    return (
        f"certification data type {found} ({name}) is not supported: "
        f"this verifier reads type {expected} ({CERT_DATA_NAMES[expected]}) there"
    )
