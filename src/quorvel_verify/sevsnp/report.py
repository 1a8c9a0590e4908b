"""Every field of an SEV-SNP attestation report, typed.

A `Report` is made only from bytes that `quorvel.parse_report` accepted, so
its length, version, processor generation and reserved runs are already
known to be sound; each field is then read by offset from the raw bytes
exactly as given. Fields that a report's version does not carry are None,
never zero: the CPUID from version 3 on, the mitigation vectors from version 5
on.
"""

from __future__ import annotations

import dataclasses
import functools
import struct
from dataclasses import dataclass
from typing import Final

import quorvel

from ..errors import ErrorKind, VerificationError
from .vocabulary import KeyKind, ProductLine

REPORT_SIZE: Final = 0x4A0
# Bytes 0x000-0x29F, everything before the signature, are what the chip signs.
SIGNED_SIZE: Final = 0x2A0
SIGNATURE_COMPONENT_SIZE: Final = 72

# The fields before the unread tail at 0x330, in order, as `struct` reads them
# (little-endian, no padding); None names a reserved run. Version-gated fields
# are read in every version and dropped where the version lacks them.
_FIELDS: Final = (
    ("version", "I"),  # 0x000
    ("guest_svn", "I"),  # 0x004
    ("guest_policy", "Q"),  # 0x008
    ("family_id", "16s"),  # 0x010
    ("image_id", "16s"),  # 0x020
    ("vmpl", "I"),  # 0x030
    ("signature_algo", "I"),  # 0x034
    ("current_tcb", "8s"),  # 0x038
    ("platform_info", "Q"),  # 0x040
    ("key_info", "I"),  # 0x048
    (None, "4x"),  # 0x04C
    ("report_data", "64s"),  # 0x050
    ("measurement", "48s"),  # 0x090
    ("host_data", "32s"),  # 0x0C0
    ("id_key_digest", "48s"),  # 0x0E0
    ("author_key_digest", "48s"),  # 0x110
    ("report_id", "32s"),  # 0x140
    ("report_id_ma", "32s"),  # 0x160
    ("reported_tcb", "8s"),  # 0x180
    ("cpuid", "3s"),  # 0x188: family, model, stepping; version 3 and later
    (None, "21x"),  # 0x18B
    ("chip_id", "64s"),  # 0x1A0
    ("committed_tcb", "8s"),  # 0x1E0
    ("current_firmware", "3s"),  # 0x1E8: build, minor, major
    (None, "x"),  # 0x1EB
    ("committed_firmware", "3s"),  # 0x1EC
    (None, "x"),  # 0x1EF
    ("launch_tcb", "8s"),  # 0x1F0
    ("launch_mit_vector", "Q"),  # 0x1F8: version 5 and later
    ("current_mit_vector", "Q"),  # 0x200
    (None, "152x"),  # 0x208
    ("signature_r", "72s"),  # 0x2A0
    ("signature_s", "72s"),  # 0x2E8
)
_LAYOUT: Final = struct.Struct("<" + "".join(code for _, code in _FIELDS))
_NAMES: Final = tuple(name for name, _ in _FIELDS if name is not None)
assert _LAYOUT.size == 0x330, "the fields end where the unread tail begins"

FIRST_VERSION_WITH_CPUID: Final = 3
FIRST_VERSION_WITH_MIT_VECTORS: Final = 5

# The signing-key field (bits 4:2 of the key information).
SIGNING_KEY_VCEK: Final = 0
SIGNING_KEY_VLEK: Final = 1
SIGNING_KEY_NONE: Final = 7
KEY_KINDS: Final = {SIGNING_KEY_VCEK: KeyKind.VCEK, SIGNING_KEY_VLEK: KeyKind.VLEK}
# The signature-algorithm field: ECDSA P-384 with SHA-384 is the only one defined.
SIGNATURE_ALGO_ECDSA_P384_SHA384: Final = 1

TURIN_FAMILY: Final = 0x1A


@dataclass(frozen=True, slots=True)
class TcbVersion:
    """A TCB version: the security patch level of each firmware component.

    The processor's own layout of the 8 bytes: Milan and Genoa keep the boot
    loader in byte 0, the TEE in byte 1, SNP in byte 6 and microcode in byte 7;
    Turin keeps FMC in byte 0, then boot loader, TEE and SNP, and microcode in
    byte 7. `raw` is the field's 64-bit little-endian value, reserved bytes
    included.
    """

    bootloader: int
    tee: int
    snp: int
    microcode: int
    fmc: int | None  # Turin only
    raw: int

    @classmethod
    def from_field(cls, field: bytes, turin: bool) -> TcbVersion:
        """The TCB version in an 8-byte field, in Turin's layout or in Milan's and Genoa's."""
        raw = int.from_bytes(field, "little")
        if turin:
            return cls(bootloader=field[1], tee=field[2], snp=field[3], microcode=field[7], fmc=field[0], raw=raw)
        return cls(bootloader=field[0], tee=field[1], snp=field[6], microcode=field[7], fmc=None, raw=raw)

    def components(self) -> dict[str, int]:
        """The components by name, FMC first where the layout has it."""
        named = {"bootloader": self.bootloader, "tee": self.tee, "snp": self.snp, "microcode": self.microcode}
        return named if self.fmc is None else {"fmc": self.fmc, **named}

    def spls(self) -> dict[str, int]:
        """The components under the names of a KDS query, in its order: fmcSPL (Turin only), blSPL, teeSPL,
        snpSPL, ucodeSPL."""
        spls = {} if self.fmc is None else {"fmcSPL": self.fmc}
        return spls | {"blSPL": self.bootloader, "teeSPL": self.tee, "snpSPL": self.snp, "ucodeSPL": self.microcode}

    def __str__(self) -> str:
        return " ".join(f"{name}={value}" for name, value in self.components().items())

    def to_json(self) -> dict[str, object]:
        """The components by name, and the raw field as 16 hex digits."""
        return {**self.components(), "raw": f"{self.raw:016x}"}


@dataclass(frozen=True, slots=True)
class Cpuid:
    """The processor's CPUID family, model and stepping (versions 3 and later)."""

    family: int
    model: int
    stepping: int


@dataclass(frozen=True, slots=True)
class FirmwareVersion:
    """A version of the platform's SNP firmware, `major.minor.build`."""

    major: int
    minor: int
    build: int

    @classmethod
    def from_field(cls, field: bytes) -> FirmwareVersion:
        """The version in a 3-byte field."""
        # Stored build, minor, major.
        return cls(major=field[2], minor=field[1], build=field[0])

    def __str__(self) -> str:
        return f"{self.major}.{self.minor}.{self.build}"


def _flags(raw: int, bits: dict[str, int]) -> dict[str, bool]:
    return {name: bool(raw >> bit & 1) for name, bit in bits.items()}


# The named bits of the guest policy and of the platform information.
_GUEST_POLICY_BITS: Final = {
    "smt_allowed": 16,
    "migrate_ma_allowed": 18,
    "debug_allowed": 19,
    "single_socket": 20,
    "cxl_allowed": 21,
    "mem_aes_256_xts": 22,
    "rapl_disabled": 23,
    "ciphertext_hiding": 24,
    "page_swap_disabled": 25,
}
_PLATFORM_INFO_BITS: Final = {
    "smt_enabled": 0,
    "tsme_enabled": 1,
    "ecc_enabled": 2,
    "rapl_disabled": 3,
    "ciphertext_hiding_enabled": 4,
    "alias_check_complete": 5,
}


@dataclass(frozen=True, slots=True)
class GuestPolicy:
    """The guest policy that the guest owner set at launch and the firmware enforces."""

    raw: int
    abi_minor: int  # the oldest firmware ABI the guest may run on: minor, then major
    abi_major: int
    smt_allowed: bool  # the guest may run with SMT enabled
    migrate_ma_allowed: bool  # a migration agent may be associated with the guest
    debug_allowed: bool  # the host may debug the guest (read and write its memory)
    single_socket: bool  # the guest may be activated on one socket only
    cxl_allowed: bool  # CXL may be populated with the guest's memory
    mem_aes_256_xts: bool  # AES-256-XTS is required for memory encryption
    rapl_disabled: bool  # running average power limit interfaces must be disabled
    ciphertext_hiding: bool  # ciphertext hiding must be enabled
    page_swap_disabled: bool  # the host may not swap the guest's pages

    @classmethod
    def from_value(cls, raw: int) -> GuestPolicy:
        """The guest policy of the 64-bit field's value."""
        return cls(raw=raw, abi_minor=raw & 0xFF, abi_major=raw >> 8 & 0xFF, **_flags(raw, _GUEST_POLICY_BITS))

    @property
    def abi(self) -> tuple[int, int]:
        """The least firmware ABI version as (major, minor), for comparing."""
        return self.abi_major, self.abi_minor


@dataclass(frozen=True, slots=True)
class PlatformInfo:
    """What the platform was running with when it made the report; bits not named here stay in `raw`."""

    raw: int
    smt_enabled: bool
    tsme_enabled: bool  # transparent encryption of all memory
    ecc_enabled: bool  # ECC memory
    rapl_disabled: bool
    ciphertext_hiding_enabled: bool
    alias_check_complete: bool  # the memory alias check has passed

    @classmethod
    def from_value(cls, raw: int) -> PlatformInfo:
        """The platform information of the 64-bit field's value."""
        return cls(raw=raw, **_flags(raw, _PLATFORM_INFO_BITS))


def product_of(cpuid: Cpuid) -> ProductLine:
    """The product line of a CPUID family and model, by the ranges that `parse_report` accepts."""
    if cpuid.family == 0x19 and cpuid.model < 0x10:
        return ProductLine.MILAN
    if cpuid.family == 0x19 and (cpuid.model < 0x20 or cpuid.model >> 4 == 0xA):
        return ProductLine.GENOA
    if cpuid.family == TURIN_FAMILY and cpuid.model < 0x12:
        return ProductLine.TURIN
    raise VerificationError(
        f"CPUID family {cpuid.family:#04x} model {cpuid.model:#04x} names no known product line", ErrorKind.REPORT
    )


def _cpuid(field: bytes) -> Cpuid:
    """The CPUID of the 3-byte field: family, model, stepping."""
    return Cpuid(*field)


class Records:
    """How a report's records (TCB versions, guest policy, platform information, firmware versions, CPUID)
    are made from its fields.

    Made without a size, each record is made anew. A verifier makes one with
    a size, which keeps up to that many of each kind: records are immutable
    and a service sees few distinct values of each, so sharing them saves
    most of the cost of decoding a report. Never shared between verifiers.
    """

    tcb = staticmethod(TcbVersion.from_field)
    guest_policy = staticmethod(GuestPolicy.from_value)
    platform_info = staticmethod(PlatformInfo.from_value)
    firmware = staticmethod(FirmwareVersion.from_field)
    cpuid = staticmethod(_cpuid)
    product = staticmethod(product_of)

    def __init__(self, size: int = 0) -> None:
        if size:
            self.tcb = functools.lru_cache(size)(TcbVersion.from_field)
            self.guest_policy = functools.lru_cache(size)(GuestPolicy.from_value)
            self.platform_info = functools.lru_cache(size)(PlatformInfo.from_value)
            self.firmware = functools.lru_cache(size)(FirmwareVersion.from_field)
            self.cpuid = functools.lru_cache(size)(_cpuid)
            self.product = functools.lru_cache(size)(product_of)


_NEW_RECORDS: Final = Records()


_TCB_FIELDS: Final = ("current_tcb", "reported_tcb", "committed_tcb", "launch_tcb")


@dataclass(frozen=True)
class Report:
    """An attestation report that `quorvel.parse_report` accepted, every field read from its raw bytes.

    Made by `Report.from_bytes`. `product` and `cpuid` are None for version 2,
    which has no CPUID; `turin` says whether the TCB fields are in Turin's
    layout, which for version 2 the chip id decides (only its first 8 bytes
    non-zero). `launch_mit_vector` and `current_mit_vector` are None before
    version 5.
    """

    raw: bytes  # the 1184 bytes exactly as given
    version: int
    guest_svn: int
    guest_policy: GuestPolicy
    family_id: bytes
    image_id: bytes
    vmpl: int
    signature_algo: int  # 1: ECDSA P-384 with SHA-384
    current_tcb: TcbVersion
    platform_info: PlatformInfo
    key_info: int
    signing_key: int  # bits 4:2 of the key information: 0 VCEK, 1 VLEK, 7 none
    author_key_en: bool  # bit 0: the ID block was signed by an author key, whose digest is in the report
    mask_chip_key: bool  # bit 1: the host set MASK_CHIP_KEY
    report_data: bytes
    measurement: bytes
    host_data: bytes
    id_key_digest: bytes
    author_key_digest: bytes
    report_id: bytes
    report_id_ma: bytes  # the report id of the migration agent; all ones when there is none
    reported_tcb: TcbVersion
    cpuid: Cpuid | None
    product: ProductLine | None  # from the CPUID
    turin: bool
    chip_id: bytes
    committed_tcb: TcbVersion
    current_firmware: FirmwareVersion
    committed_firmware: FirmwareVersion
    launch_tcb: TcbVersion
    launch_mit_vector: int | None
    current_mit_vector: int | None
    signature_r: bytes  # little-endian, as stored
    signature_s: bytes

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview, records: Records = _NEW_RECORDS) -> Report:
        """The report in `data`; VerificationError, naming what is wrong, if `quorvel.parse_report` refuses it.

        `records` makes its records (a verifier passes its own, which shares them between reports).
        """
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"a report is bytes, not {type(data).__name__}")
        raw = bytes(data)
        try:
            parsed = quorvel.parse_report(raw)
        except ValueError as error:
            raise VerificationError(
                f"not an attestation report: {_refusal(raw, str(error))}", ErrorKind.REPORT, detail=str(error)
            ) from error
        report = cls._decode(raw, records)
        # The TCB layout decides what every component means: this reading and
        # the module's must agree, or neither is trusted.
        if parsed["reported_tcb"] != {
            name: value for name, value in report.reported_tcb.components().items() if name != "fmc"
        }:
            raise VerificationError(
                f"the reported TCB reads as {report.reported_tcb} here but as {parsed['reported_tcb']} in quorvel",
                ErrorKind.REPORT,
            )
        return report

    @classmethod
    def _decode(cls, raw: bytes, records: Records) -> Report:
        fields = dict(zip(_NAMES, _LAYOUT.unpack_from(raw), strict=True))
        version = fields["version"]
        cpuid: Cpuid | None = None
        if version >= FIRST_VERSION_WITH_CPUID:
            cpuid = records.cpuid(fields["cpuid"])
            turin = cpuid.family == TURIN_FAMILY
        else:
            # A version-2 report names its generation by its chip id alone:
            # Turin's fills only the first 8 bytes.
            turin = not any(fields["chip_id"][8:])
        if version < FIRST_VERSION_WITH_MIT_VECTORS:
            fields["launch_mit_vector"] = fields["current_mit_vector"] = None
        key_info = fields["key_info"]
        fields.update(
            raw=raw,
            guest_policy=records.guest_policy(fields["guest_policy"]),
            platform_info=records.platform_info(fields["platform_info"]),
            signing_key=key_info >> 2 & 0b111,
            author_key_en=bool(key_info & 1),
            mask_chip_key=bool(key_info >> 1 & 1),
            cpuid=cpuid,
            product=None if cpuid is None else records.product(cpuid),
            turin=turin,
            current_firmware=records.firmware(fields["current_firmware"]),
            committed_firmware=records.firmware(fields["committed_firmware"]),
            **{name: records.tcb(fields[name], turin) for name in _TCB_FIELDS},
        )
        # The frozen dataclass's __init__ would assign the fields one call
        # each, which costs more than reading them; a verifier decodes a report
        # per request.
        report = object.__new__(cls)
        vars(report).update(fields)
        return report

    @property
    def signed_bytes(self) -> bytes:
        """The bytes the chip signed, as given: 0x000-0x29F of the raw report (not a re-encoding)."""
        return self.raw[:SIGNED_SIZE]

    @property
    def key_kind(self) -> KeyKind | None:
        """VCEK or VLEK, as the signing-key field names them; None for any other value."""
        return KEY_KINDS.get(self.signing_key)

    @property
    def mask_chip_id(self) -> bool:
        """Whether the chip id is masked (the host's MASK_CHIP_ID makes the firmware write zeros there)."""
        return not any(self.chip_id)

    def to_json(self) -> dict[str, object]:
        """Every field, bytes in hex and records as objects; the raw report itself is left out."""
        return {
            field.name: _json_value(getattr(self, field.name)) for field in dataclasses.fields(self) if field.name != "raw"
        } | {"key_kind": self.key_kind, "mask_chip_id": self.mask_chip_id}


def _json_value(value: object) -> object:
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, TcbVersion):
        return value.to_json()
    if isinstance(value, FirmwareVersion):
        return str(value)
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {field.name: getattr(value, field.name) for field in dataclasses.fields(value)}
    return value


assert {field.name for field in dataclasses.fields(Report)} == {
    *_NAMES, "raw", "signing_key", "author_key_en", "mask_chip_key", "product", "turin"
}, "every field of a Report is decoded"


def _refusal(raw: bytes, message: str) -> str:
    """What the module's refusal of `raw` (its `ValueError` text, fixed by its contract) means, in plain words."""
    if len(raw) != REPORT_SIZE:
        return f"{len(raw)} bytes, where a report is {REPORT_SIZE}"
    if "Kind(Unsupported)" in message:
        return f"version {int.from_bytes(raw[:4], 'little')}, where a report is of version 2 or later"
    if "MaskedChipId" in message:
        return ("a version-2 report whose chip id is masked, so its processor generation cannot be told "
                "(versions 3 and later carry the CPUID)")
    if "generation" in message or "model" in message:
        return "its CPUID names a processor family or model of no known SEV-SNP generation"
    if "zeroed" in message:
        return "a reserved byte is not zero"
    return "its fields do not decode"
