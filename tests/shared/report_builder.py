"""Builds raw 1184-byte SEV-SNP attestation reports for both suites, the shared
vectors (tests/vectors/generate.py), the fuzz seeds and the benchmark.

Every field that decoding copies unchanged gets bytes derived from a label and
the field's offset, so a field read from the wrong offset or in the wrong byte
order shows, and the same call always builds the same bytes; every reserved
run stays zero, so a built report decodes unless its caller breaks it.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass
from pathlib import Path

REPORT_SIZE = 1184
GENUINE_DIR = Path(__file__).parent.parent / "data" / "reports"

# Offsets of the layout; integers are little-endian.
VERSION = 0x000
POLICY = 0x008  # the guest policy, a u64
REPORT_DATA = 0x050
REPORTED_TCB = 0x180
CPUID = 0x188
CHIP_ID = 0x1A0
MITIGATION = 0x1F8
SIG_R = 0x2A0  # also the end of the signed region
SIG_S = 0x2E8
TAIL = 0x330

# current, reported, committed and launch TCB.
TCB_FIELDS = (0x038, REPORTED_TCB, 0x1E0, 0x1F0)
# Fields that take any value in every version, as (offset, size): the header
# after the version, platform and key information, report data through the
# report id of the migration agent, both firmware versions, the signature.
FREE_FIELDS = ((0x004, 0x34), (0x040, 12), (REPORT_DATA, 0x130), (0x1E8, 3), (0x1EC, 3), (SIG_R, 144))



@dataclass(frozen=True)
class Generation:
    """A processor generation as reports show it: its CPUID family and models
    (versions 3 and later), the model build() gives it, and where each
    component of a TCB version sits in the 8-byte field (the other bytes of
    the field are reserved)."""

    name: str
    family: int
    models: tuple[range, ...]
    sample_model: int
    tcb: dict[str, int]

    @property
    def tcb_reserved(self) -> tuple[int, ...]:
        return tuple(i for i in range(8) if i not in self.tcb.values())


_MILAN_GENOA_TCB = {"bootloader": 0, "tee": 1, "snp": 6, "microcode": 7}
GENERATIONS = {
    g.name.lower(): g for g in (
        Generation("Milan", 0x19, (range(0x00, 0x10),), 0x01, _MILAN_GENOA_TCB),
        Generation("Genoa", 0x19, (range(0x10, 0x20), range(0xA0, 0xB0)), 0x11, _MILAN_GENOA_TCB),
        Generation("Turin", 0x1A, (range(0x00, 0x12),), 0x02,
                   {"fmc": 0, "bootloader": 1, "tee": 2, "snp": 3, "microcode": 7}),
    )
}

# The CPUID family and model that build() gives each generation, by name,
# and the second model range of Genoa as one more.
CPUID_OF = {name: (g.family, g.sample_model) for name, g in GENERATIONS.items()} | {"genoa-a0": (0x19, 0xA0)}
CPUID_STEP = 0x01


def stream(label: str, size: int) -> bytes:
    """`size` bytes that depend on `label` only."""
    return hashlib.shake_256(label.encode()).digest(size)


def put(buf: bytearray, offset: int, data: bytes) -> bytearray:
    buf[offset:offset + len(data)] = data
    return buf


def put_u32(buf: bytearray, offset: int, value: int) -> bytearray:
    return put(buf, offset, value.to_bytes(4, "little"))


def tcb_reserved_offsets(generation: str) -> list[int]:
    """Offsets of the reserved bytes of the four TCB fields of a `generation` report."""
    return [field + i for field in TCB_FIELDS for i in GENERATIONS[generation].tcb_reserved]


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
    layout = generation.removesuffix("-a0")  # the Genoa A0 model is Genoa
    turin = layout == "turin"
    buf = put_u32(bytearray(REPORT_SIZE), VERSION, version)
    for offset, size in FREE_FIELDS:
        put(buf, offset, stream(f"{label}/{offset:#x}", size))
    for offset in TCB_FIELDS:
        put(buf, offset, stream(f"{label}/tcb{offset:#x}", 8))
    for offset in [] if dirty_tcb else tcb_reserved_offsets(layout):
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
