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
from dataclasses import dataclass
from typing import Final

import quorvel

from .errors import VerificationError

REPORT_SIZE: Final = 0x4A0
# Bytes 0x000-0x29F, everything before the signature, are what the chip signs.
SIGNED_SIZE: Final = 0x2A0
SIGNATURE_COMPONENT_SIZE: Final = 72

# Offsets and sizes of the fields; integers are little-endian.
_VERSION = (0x000, 4)
_GUEST_SVN = (0x004, 4)
_POLICY = (0x008, 8)
_FAMILY_ID = (0x010, 16)
_IMAGE_ID = (0x020, 16)
_VMPL = (0x030, 4)
_SIGNATURE_ALGO = (0x034, 4)
_CURRENT_TCB = (0x038, 8)
_PLATFORM_INFO = (0x040, 8)
_KEY_INFO = (0x048, 4)
_REPORT_DATA = (0x050, 64)
_MEASUREMENT = (0x090, 48)
_HOST_DATA = (0x0C0, 32)
_ID_KEY_DIGEST = (0x0E0, 48)
_AUTHOR_KEY_DIGEST = (0x110, 48)
_REPORT_ID = (0x140, 32)
_REPORT_ID_MA = (0x160, 32)
_REPORTED_TCB = (0x180, 8)
_CPUID = (0x188, 3)  # family, model, stepping: version 3 and later
_CHIP_ID = (0x1A0, 64)
_COMMITTED_TCB = (0x1E0, 8)
_CURRENT_FIRMWARE = (0x1E8, 3)  # build, minor, major
_COMMITTED_FIRMWARE = (0x1EC, 3)
_LAUNCH_TCB = (0x1F0, 8)
_LAUNCH_MIT_VECTOR = (0x1F8, 8)  # version 5 and later
_CURRENT_MIT_VECTOR = (0x200, 8)
_SIGNATURE_R = (0x2A0, SIGNATURE_COMPONENT_SIZE)
_SIGNATURE_S = (0x2E8, SIGNATURE_COMPONENT_SIZE)

FIRST_VERSION_WITH_CPUID: Final = 3
FIRST_VERSION_WITH_MIT_VECTORS: Final = 5

# The signing-key field (bits 4:2 of the key information).
SIGNING_KEY_VCEK: Final = 0
SIGNING_KEY_VLEK: Final = 1
SIGNING_KEY_NONE: Final = 7
KEY_KINDS: Final = {SIGNING_KEY_VCEK: "VCEK", SIGNING_KEY_VLEK: "VLEK"}
# The signature-algorithm field: ECDSA P-384 with SHA-384 is the only one defined.
SIGNATURE_ALGO_ECDSA_P384_SHA384: Final = 1

TURIN_FAMILY: Final = 0x1A


def _bytes(raw: bytes, field: tuple[int, int]) -> bytes:
    offset, size = field
    return raw[offset:offset + size]


def _int(raw: bytes, field: tuple[int, int]) -> int:
    return int.from_bytes(_bytes(raw, field), "little")


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
        return cls(raw=raw, abi_minor=raw & 0xFF, abi_major=raw >> 8 & 0xFF, **_flags(raw, _GUEST_POLICY_BITS))

    @property
    def abi(self) -> tuple[int, int]:
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
        return cls(raw=raw, **_flags(raw, _PLATFORM_INFO_BITS))


def product_of(cpuid: Cpuid) -> str:
    """The product line of a CPUID family and model, by the ranges that `parse_report` accepts."""
    if cpuid.family == 0x19 and cpuid.model < 0x10:
        return "Milan"
    if cpuid.family == 0x19 and (cpuid.model < 0x20 or cpuid.model >> 4 == 0xA):
        return "Genoa"
    if cpuid.family == TURIN_FAMILY and cpuid.model < 0x12:
        return "Turin"
    raise VerificationError(f"CPUID family {cpuid.family:#04x} model {cpuid.model:#04x} names no known product line")


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
    product: str | None  # "Milan", "Genoa" or "Turin", from the CPUID
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
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Report:
        """The report in `data`; VerificationError, naming what is wrong, if `quorvel.parse_report` refuses it."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"a report is bytes, not {type(data).__name__}")
        raw = bytes(data)
        try:
            parsed = quorvel.parse_report(raw)
        except ValueError as error:
            raise VerificationError(f"not an attestation report: {error}") from error
        report = cls._decode(raw)
        # The TCB layout decides what every component means: this reading and
        # the module's must agree, or neither is trusted.
        if parsed["reported_tcb"] != {
            name: value for name, value in report.reported_tcb.components().items() if name != "fmc"
        }:
            raise VerificationError(
                f"the reported TCB reads as {report.reported_tcb} here but as {parsed['reported_tcb']} in quorvel"
            )
        return report

    @classmethod
    def _decode(cls, raw: bytes) -> Report:
        version = _int(raw, _VERSION)
        chip_id = _bytes(raw, _CHIP_ID)
        cpuid: Cpuid | None = None
        if version >= FIRST_VERSION_WITH_CPUID:
            cpuid = Cpuid(*_bytes(raw, _CPUID))
            turin = cpuid.family == TURIN_FAMILY
        else:
            # A version-2 report names its generation by its chip id alone:
            # Turin's fills only the first 8 bytes.
            turin = not any(chip_id[8:])
        has_mit_vectors = version >= FIRST_VERSION_WITH_MIT_VECTORS
        key_info = _int(raw, _KEY_INFO)

        def tcb(field: tuple[int, int]) -> TcbVersion:
            return TcbVersion.from_field(_bytes(raw, field), turin)

        return cls(
            raw=raw,
            version=version,
            guest_svn=_int(raw, _GUEST_SVN),
            guest_policy=GuestPolicy.from_value(_int(raw, _POLICY)),
            family_id=_bytes(raw, _FAMILY_ID),
            image_id=_bytes(raw, _IMAGE_ID),
            vmpl=_int(raw, _VMPL),
            signature_algo=_int(raw, _SIGNATURE_ALGO),
            current_tcb=tcb(_CURRENT_TCB),
            platform_info=PlatformInfo.from_value(_int(raw, _PLATFORM_INFO)),
            key_info=key_info,
            signing_key=key_info >> 2 & 0b111,
            author_key_en=bool(key_info & 1),
            mask_chip_key=bool(key_info >> 1 & 1),
            report_data=_bytes(raw, _REPORT_DATA),
            measurement=_bytes(raw, _MEASUREMENT),
            host_data=_bytes(raw, _HOST_DATA),
            id_key_digest=_bytes(raw, _ID_KEY_DIGEST),
            author_key_digest=_bytes(raw, _AUTHOR_KEY_DIGEST),
            report_id=_bytes(raw, _REPORT_ID),
            report_id_ma=_bytes(raw, _REPORT_ID_MA),
            reported_tcb=tcb(_REPORTED_TCB),
            cpuid=cpuid,
            product=None if cpuid is None else product_of(cpuid),
            turin=turin,
            chip_id=chip_id,
            committed_tcb=tcb(_COMMITTED_TCB),
            current_firmware=FirmwareVersion.from_field(_bytes(raw, _CURRENT_FIRMWARE)),
            committed_firmware=FirmwareVersion.from_field(_bytes(raw, _COMMITTED_FIRMWARE)),
            launch_tcb=tcb(_LAUNCH_TCB),
            launch_mit_vector=_int(raw, _LAUNCH_MIT_VECTOR) if has_mit_vectors else None,
            current_mit_vector=_int(raw, _CURRENT_MIT_VECTOR) if has_mit_vectors else None,
            signature_r=_bytes(raw, _SIGNATURE_R),
            signature_s=_bytes(raw, _SIGNATURE_S),
        )

    @property
    def signed_bytes(self) -> bytes:
        """The bytes the chip signed, as given: 0x000-0x29F of the raw report (not a re-encoding)."""
        return self.raw[:SIGNED_SIZE]

    @property
    def key_kind(self) -> str | None:
        """"VCEK" or "VLEK", as the signing-key field names them; None for any other value."""
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
