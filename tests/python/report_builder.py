"""Builds raw 1184-byte SEV-SNP attestation reports for the tests, the shared
vectors (tests/vectors/generate.py) and the benchmark.

Every field that decoding copies unchanged gets bytes derived from a label and
the field's offset, so a field read from the wrong offset or in the wrong byte
order shows, and the same call always builds the same bytes; every reserved
run stays zero, so a built report decodes unless its caller breaks it.
"""

from __future__ import annotations

import hashlib
from pathlib import Path

REPORT_SIZE = 1184
GENUINE_DIR = Path(__file__).parent.parent / "data" / "reports"

# Offsets of the layout; integers are little-endian.
VERSION = 0x000
REPORT_DATA = 0x050
REPORTED_TCB = 0x180
CPUID = 0x188
CHIP_ID = 0x1A0
MITIGATION = 0x1F8
SIG_R = 0x2A0
TAIL = 0x330

# current, reported, committed and launch TCB.
TCB_FIELDS = (0x038, REPORTED_TCB, 0x1E0, 0x1F0)
# Fields that take any value in every version, as (offset, size): the header
# after the version, platform and key information, report data through the
# report id of the migration agent, both firmware versions, the signature.
FREE_FIELDS = ((0x004, 0x34), (0x040, 12), (REPORT_DATA, 0x130), (0x1E8, 3), (0x1EC, 3), (SIG_R, 144))

# CPUID family and model per generation (versions 3 and later).
CPUID_OF = {"milan": (0x19, 0x01), "genoa": (0x19, 0x11), "genoa-a0": (0x19, 0xA0), "turin": (0x1A, 0x02)}
CPUID_STEP = 0x01


def stream(label: str, size: int) -> bytes:
    """`size` bytes that depend on `label` only."""
    return hashlib.shake_256(label.encode()).digest(size)


def put(buf: bytearray, offset: int, data: bytes) -> bytearray:
    buf[offset:offset + len(data)] = data
    return buf


def put_u32(buf: bytearray, offset: int, value: int) -> bytearray:
    return put(buf, offset, value.to_bytes(4, "little"))


def tcb_reserved(turin: bool) -> tuple[int, ...]:
    """Indexes of the reserved bytes inside a TCB field, in the Turin or the Milan/Genoa layout."""
    return (4, 5, 6) if turin else (2, 3, 4, 5)


def tcb_reserved_offsets(turin: bool) -> list[int]:
    """Offsets of the reserved bytes of the four TCB fields in a layout."""
    return [field + i for field in TCB_FIELDS for i in tcb_reserved(turin)]


def build(
    version: int = 3,
    generation: str = "milan",
    *,
    label: str = "",
    cpuid: tuple[int, int, int] | None = None,
    chip_id: bytes | None = None,
    dirty_tcb: bool = False,
    tail: bool = False,
) -> bytearray:
    """A decodable report of `version` from a `generation` processor, every
    free field filled with bytes derived from `label`.

    A Turin chip id is 8 bytes long. Version 2 has no CPUID bytes; its chip id
    picks the layout instead: only the first 8 bytes non-zero means Turin,
    more means the Milan/Genoa layout. `dirty_tcb` leaves the reserved bytes
    of the TCB fields non-zero, which decoding does not check; `tail` fills
    the bytes after the signature.
    """
    label = label or f"v{version}-{generation}"
    turin = generation == "turin"
    buf = put_u32(bytearray(REPORT_SIZE), VERSION, version)
    for offset, size in FREE_FIELDS:
        put(buf, offset, stream(f"{label}/{offset:#x}", size))
    for offset in TCB_FIELDS:
        put(buf, offset, stream(f"{label}/tcb{offset:#x}", 8))
    for offset in [] if dirty_tcb else tcb_reserved_offsets(turin):
        buf[offset] = 0
    if version >= 3:
        put(buf, CPUID, bytes(cpuid or (*CPUID_OF[generation], CPUID_STEP)))
    if chip_id is None:
        chip_id = stream(f"{label}/chip", 8) + bytes(56) if turin else stream(f"{label}/chip", 64)
    put(buf, CHIP_ID, chip_id)
    if version >= 5:
        put(buf, MITIGATION, stream(f"{label}/mitigation", 16))
    if tail:
        put(buf, TAIL, stream(f"{label}/tail", REPORT_SIZE - TAIL))
    return buf


def minimal(version: int = 3, family: int = 0x19, model: int = 0x01) -> bytearray:
    """All zero but the version and, from version 3 on, the CPUID family and model."""
    buf = put_u32(bytearray(REPORT_SIZE), VERSION, version)
    return put(buf, CPUID, bytes([family, model])) if version >= 3 else buf


def v2_masked() -> bytearray:
    """A version-2 report whose chip id is all zero (MASK_CHIP_ID set)."""
    return build(2, "genoa", chip_id=bytes(64))


def genuine(name: str) -> bytes:
    """The genuine report `name` of tests/data/reports."""
    return (GENUINE_DIR / f"{name}.bin").read_bytes()
