"""parse_report written in plain Python, with struct and slices.

This is what a user would write instead of the extension: the same checks, in
the same order of precedence, the same result dictionary and the same
ValueError messages for a wrong length, an unsupported version, a masked chip
identifier, an unknown processor generation or model, and a non-zero reserved
byte. The benchmark times it against quorvel.parse_report and checks that both
give the same result; it is also a readable second implementation.

The signed region is not re-encoded field by field: re-encoding a decoded
report reproduces the input's first 672 bytes except for the reserved bytes of
the four TCB fields, which come out as zero, so those are cleared when set.
"""

from __future__ import annotations

import struct

__all__ = ["parse_report"]

REPORT_SIZE = 1184
SIGNED_REGION_SIZE = 0x2A0

_DECODE_FAILED = "AttestationReport::from_bytes failed: "
_UNSUPPORTED = _DECODE_FAILED + "Kind(Unsupported)"
_MASKED_CHIP_ID = _DECODE_FAILED + "Custom { kind: Other, error: MaskedChipId }"
_UNKNOWN_GENERATION = _DECODE_FAILED + 'Custom { kind: InvalidData, error: "processor is not of know SEV-SNP generation." }'
_UNKNOWN_MODEL = _DECODE_FAILED + 'Custom { kind: InvalidData, error: "processor is not of know SEV-SNP model." }'
_NOT_ZEROED = _DECODE_FAILED + 'Custom { kind: InvalidData, error: "Skipped bytes were expected to be zeroed." }'

_VERSION = struct.Struct("<I")

_CHIP_ID = slice(0x1A0, 0x1E0)
_REPORT_DATA = slice(0x050, 0x090)
_SIG_R = slice(0x2A0, 0x2E8)
_SIG_S = slice(0x2E8, 0x330)
_REPORTED_TCB = 0x180
_CPUID = 0x188

_FAMILY_MILAN_GENOA = 0x19
_FAMILY_TURIN = 0x1A

# Reserved runs that must be zero, in the order the decoder meets them.
_RESERVED_V2 = (slice(0x04C, 0x050), slice(0x188, 0x1A0), slice(0x1EB, 0x1EC), slice(0x1EF, 0x1F0),
                slice(0x1F8, 0x2A0))
_RESERVED_V3_V4 = (slice(0x04C, 0x050), slice(0x18B, 0x1A0), slice(0x1EB, 0x1EC), slice(0x1EF, 0x1F0),
                   slice(0x1F8, 0x2A0))
_RESERVED_V5 = (slice(0x04C, 0x050), slice(0x18B, 0x1A0), slice(0x1EB, 0x1EC), slice(0x1EF, 0x1F0),
                slice(0x208, 0x2A0))
_ZEROS = {s.stop - s.start: bytes(s.stop - s.start) for s in _RESERVED_V2 + _RESERVED_V3_V4 + _RESERVED_V5}

# Offsets of the TCB fields inside the signed region, and the bytes of each
# field that are reserved (not read, written back as zero) in each layout.
_TCB_FIELDS = (0x038, 0x180, 0x1E0, 0x1F0)
_TCB_RESERVED_MILAN_GENOA = tuple(slice(f + 2, f + 6) for f in _TCB_FIELDS)
_TCB_RESERVED_TURIN = tuple(slice(f + 4, f + 7) for f in _TCB_FIELDS)
_ZERO_4 = bytes(4)
_ZERO_3 = bytes(3)
_ZERO_56 = bytes(56)
_ZERO_64 = bytes(64)


def _is_turin(report: bytes, version: int) -> bool:
    """The TCB layout of the report: True for Turin, False for Milan and Genoa."""
    if version == 2:
        # No CPUID bytes in version 2: a Turin chip identifier is 8 bytes long.
        chip_id = report[_CHIP_ID]
        if chip_id == _ZERO_64:
            raise ValueError(_MASKED_CHIP_ID)
        return chip_id[8:] == _ZERO_56
    family = report[_CPUID]
    model = report[_CPUID + 1]
    if family == _FAMILY_MILAN_GENOA:
        if model < 0x20 or model >> 4 == 0xA:
            return False
        raise ValueError(_UNKNOWN_MODEL)
    if family == _FAMILY_TURIN:
        if model < 0x12:
            return True
        raise ValueError(_UNKNOWN_MODEL)
    raise ValueError(_UNKNOWN_GENERATION)


def _signed_region(report: bytes, turin: bool) -> bytes:
    reserved, zero = (_TCB_RESERVED_TURIN, _ZERO_3) if turin else (_TCB_RESERVED_MILAN_GENOA, _ZERO_4)
    if all(report[r] == zero for r in reserved):
        return report[:SIGNED_REGION_SIZE]
    region = bytearray(report[:SIGNED_REGION_SIZE])
    for r in reserved:
        region[r] = zero
    return bytes(region)


def parse_report(report_bytes: bytes) -> dict[str, object]:
    """Decode a raw SEV-SNP attestation report as quorvel.parse_report does."""
    if not isinstance(report_bytes, bytes):
        raise TypeError(f"argument 'report_bytes': '{type(report_bytes).__qualname__}' object cannot be "
                        "converted to 'PyBytes'")
    report = report_bytes
    if len(report) != REPORT_SIZE:
        raise ValueError(f'{_DECODE_FAILED}Custom {{ kind: InvalidData, error: "expected {REPORT_SIZE} bytes, '
                         f'got {len(report)}" }}')
    (version,) = _VERSION.unpack_from(report)
    if version < 2:
        raise ValueError(_UNSUPPORTED)
    turin = _is_turin(report, version)
    reserved = _RESERVED_V2 if version == 2 else _RESERVED_V3_V4 if version < 5 else _RESERVED_V5
    for run in reserved:
        if report[run] != _ZEROS[run.stop - run.start]:
            raise ValueError(_NOT_ZEROED)

    tcb = report[_REPORTED_TCB:_REPORTED_TCB + 8]
    reported_tcb: dict[str, int]
    cpuid: dict[str, int | None]
    if turin:
        reported_tcb = {"bootloader": tcb[1], "tee": tcb[2], "snp": tcb[3], "microcode": tcb[7]}
    else:
        reported_tcb = {"bootloader": tcb[0], "tee": tcb[1], "snp": tcb[6], "microcode": tcb[7]}
    if version >= 3:
        cpuid = {"fam_id": report[_CPUID], "mod_id": report[_CPUID + 1], "step": report[_CPUID + 2]}
    else:
        cpuid = {"fam_id": None, "mod_id": None, "step": None}
    return {
        "chip_id": report[_CHIP_ID],
        "report_data": report[_REPORT_DATA],
        "signed_bytes": _signed_region(report, turin),
        "sig_r": report[_SIG_R],
        "sig_s": report[_SIG_S],
        "reported_tcb": reported_tcb,
        "cpuid": cpuid,
    }
