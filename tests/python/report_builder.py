"""Builds raw 1184-byte SEV-SNP attestation reports for the tests.

Every field a report may carry gets a distinct, non-zero byte pattern, so a
field read from the wrong offset or in the wrong byte order shows; every
reserved run stays zero, so a built report decodes unless a test breaks it.
"""

from __future__ import annotations

from pathlib import Path

REPORT_SIZE = 1184
GENUINE_DIR = Path(__file__).parent.parent / "data" / "reports"

# Offsets of the layout; integers are little-endian.
VERSION = 0x000
CURRENT_TCB = 0x038
REPORT_DATA = 0x050
REPORTED_TCB = 0x180
CPUID = 0x188
CHIP_ID = 0x1A0
COMMITTED_TCB = 0x1E0
CURRENT_FW = 0x1E8
LAUNCH_TCB = 0x1F0
MITIGATION = 0x1F8
SIG_R = 0x2A0
SIG_S = 0x2E8
TAIL = 0x330

TCB_FIELDS = (CURRENT_TCB, REPORTED_TCB, COMMITTED_TCB, LAUNCH_TCB)

# Fields copied unchanged by the decoder, as (offset, size); chip id, CPUID and
# mitigation vectors depend on the version and are written separately.
OPAQUE_FIELDS = (
    (0x004, 4), (0x008, 8), (0x010, 16), (0x020, 16), (0x030, 4), (0x034, 4),
    (0x040, 8), (0x048, 4), (REPORT_DATA, 64), (0x090, 48), (0x0C0, 32),
    (0x0E0, 48), (0x110, 48), (0x140, 32), (0x160, 32),
    (CURRENT_FW, 3), (0x1EC, 3), (SIG_R, 72), (SIG_S, 72),
)

# CPUID family and model per generation (versions 3 and later).
CPUID_OF = {"milan": (0x19, 0x01), "genoa": (0x19, 0x11), "genoa-a0": (0x19, 0xA0), "turin": (0x1A, 0x02)}
CPUID_STEP = 0x01

# (fmc, bootloader, tee, snp, microcode) of each TCB field.
TCB_VALUES = {
    CURRENT_TCB: (0x05, 0x01, 0x02, 0x03, 0x04),
    REPORTED_TCB: (0x15, 0x11, 0x12, 0x13, 0x14),
    COMMITTED_TCB: (0x25, 0x21, 0x22, 0x23, 0x24),
    LAUNCH_TCB: (0x35, 0x31, 0x32, 0x33, 0x34),
}
# What every built report shows as reported_tcb: each generation's own layout
# is written, and fmc is never shown.
BUILT_REPORTED_TCB = {"bootloader": 0x11, "tee": 0x12, "snp": 0x13, "microcode": 0x14}


def pattern(seed: int, size: int) -> bytes:
    """`size` non-zero bytes counting up from `seed`."""
    return bytes((seed + i) % 255 + 1 for i in range(size))


def tcb_bytes(values: tuple[int, int, int, int, int], turin: bool) -> bytes:
    fmc, bootloader, tee, snp, microcode = values
    if turin:
        return bytes([fmc, bootloader, tee, snp, 0, 0, 0, microcode])
    return bytes([bootloader, tee, 0, 0, 0, 0, snp, microcode])


def tcb_reserved_offsets(turin: bool) -> list[int]:
    """Offsets of the reserved bytes of the four TCB fields in a layout."""
    inside = (4, 5, 6) if turin else (2, 3, 4, 5)
    return [field + i for field in TCB_FIELDS for i in inside]


def put(buf: bytearray, offset: int, data: bytes) -> bytearray:
    buf[offset:offset + len(data)] = data
    return buf


def put_u32(buf: bytearray, offset: int, value: int) -> bytearray:
    return put(buf, offset, value.to_bytes(4, "little"))


def build(version: int = 3, generation: str = "milan", *, mitigation: tuple[int, int] = (0x0201, 3)) -> bytearray:
    """A decodable report of `version` from a `generation` processor, every field patterned.

    Version 2 has no CPUID bytes; its chip id picks the layout instead: only the
    first 8 bytes non-zero means Turin, more means the Milan/Genoa layout.
    """
    buf = put_u32(bytearray(REPORT_SIZE), VERSION, version)
    for offset, size in OPAQUE_FIELDS:
        put(buf, offset, pattern(offset, size))
    turin = generation == "turin"
    for offset in TCB_FIELDS:
        put(buf, offset, tcb_bytes(TCB_VALUES[offset], turin))
    put(buf, CHIP_ID, pattern(0xC0, 8) + bytes(56) if version == 2 and turin else pattern(0xC0, 64))
    if version >= 3:
        put(buf, CPUID, bytes([*CPUID_OF[generation], CPUID_STEP]))
    if version >= 5:
        put(buf, MITIGATION, mitigation[0].to_bytes(8, "little") + mitigation[1].to_bytes(8, "little"))
    return buf


def cpuid(version: int, generation: str) -> dict[str, int | None]:
    """The cpuid that `build(version, generation)` decodes to."""
    if version < 3:
        return {"fam_id": None, "mod_id": None, "step": None}
    family, model = CPUID_OF[generation]
    return {"fam_id": family, "mod_id": model, "step": CPUID_STEP}


def minimal(version: int = 3, family: int = 0x19, model: int = 0x01) -> bytearray:
    """All zero but the version and, from version 3 on, the CPUID family and model."""
    buf = put_u32(bytearray(REPORT_SIZE), VERSION, version)
    return put(buf, CPUID, bytes([family, model])) if version >= 3 else buf


def v2_chip(chip_id: bytes) -> bytearray:
    """A minimal version-2 report with the given 64-byte chip id."""
    return put(minimal(2), CHIP_ID, chip_id)


def v2_masked() -> bytearray:
    """A patterned version-2 report whose chip id is all zero (MASK_CHIP_ID set)."""
    return put(build(2, "genoa"), CHIP_ID, bytes(64))


def genuine(name: str) -> bytes:
    """The genuine report `name` of tests/data/reports."""
    return (GENUINE_DIR / f"{name}.bin").read_bytes()
