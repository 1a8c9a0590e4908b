#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets.

usage: make_seeds.py DECODE_CORPUS_DIR CURSOR_CORPUS_DIR

The decode corpus gets the genuine reports of tests/data/reports, a built
report of every version and processor generation, and one report per kind of
decoding failure. The cursor corpus gets a few operation scripts (the input
format is described in fuzz_cursor.cpp).
"""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "shared"))

import report_builder as rb  # noqa: E402

GENERATIONS_V2 = ("genoa", "turin")  # by chip id: all 64 bytes, or only the first 8
GENERATIONS = tuple(rb.CPUID_OF)  # milan 19/01, genoa 19/11, genoa-a0 19/A0, turin 1A/02


def with_byte(data: bytearray, offset: int, value: int = 0x5A) -> bytearray:
    data = bytearray(data)
    data[offset] = value
    return data


def decode_seeds() -> dict[str, bytes]:
    seeds: dict[str, bytes] = {}
    for version in (2, 3, 4, 5, 9):
        for generation in GENERATIONS_V2 if version == 2 else GENERATIONS:
            seeds[f"built-v{version}-{generation}"] = rb.build(version, generation)
        seeds[f"minimal-v{version}"] = rb.minimal(version) if version > 2 else rb.put(rb.minimal(2), rb.CHIP_ID, b"\x01" * 64)
    # Reports that decode only with the dirty bytes the decoder ignores.
    dirty = rb.build(5, "turin")
    for offset in rb.tcb_reserved_offsets("turin"):
        dirty[offset] = 0xEE
    seeds["dirty-tcb-turin"] = rb.put(dirty, rb.TAIL, b"\xff" * 368)
    # One per failure, in precedence order.
    seeds["short"] = rb.build(3)[:1183]
    seeds["long"] = rb.build(3) + b"\x00"
    seeds["version-1"] = rb.put_u32(rb.build(3), rb.VERSION, 1)
    seeds["masked-chip-id"] = rb.v2_masked()
    seeds["unknown-family"] = rb.minimal(3, 0x17, 0x01)
    seeds["unknown-model"] = rb.minimal(5, 0x1A, 0x12)
    seeds["dirty-0x04c"] = with_byte(rb.build(3, "genoa"), 0x04C)
    seeds["dirty-0x18a-v2"] = with_byte(rb.build(2, "genoa"), 0x18A)
    seeds["dirty-0x1eb"] = with_byte(rb.build(4, "milan"), 0x1EB)
    seeds["dirty-0x200-v4"] = with_byte(rb.build(4, "turin"), 0x200)
    seeds["dirty-0x29f-v5"] = with_byte(rb.build(5, "genoa"), 0x29F)
    return {name: bytes(data) for name, data in seeds.items()}


def cursor_seeds() -> dict[str, bytes]:
    data = bytes([1, 2, 3, 4, 5, 6, 7, 8]) + bytes(24) + bytes(range(0x80, 0xC0))
    every_op = bytes([0, 1, 2, 3, 4, 5, 6, 7, 8, 24, 9, 0, 10, 0, 10, 2, 10, 7,
                      11, 2, 1, 5, 1, 2, 3, 4, 11, 0, 0, 0, 1, 2, 3, 4, 11, 9, 1, 1, 1, 1, 1, 1])
    return {
        "every-op": bytes([len(data)]) + data + every_op,
        "skip-zero-then-dirty": bytes([40]) + bytes(32) + b"\x01" * 8 + bytes([8, 32, 8, 8, 8, 1]),
        "reads-past-end": bytes([10]) + bytes(range(1, 11)) + bytes([1, 1, 1, 0, 0]),
        "huge-skip": bytes([4]) + bytes(4) + bytes([9, 0, 9, 3, 0]),
        "tcb-fields": bytes([16]) + bytes([5, 1, 2, 3, 0xAA, 0xBB, 0xCC, 4] * 2) + bytes([10, 2, 10, 0, 10, 3]),
    }


def write(directory: Path, seeds: dict[str, bytes]) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    for name, data in seeds.items():
        (directory / f"seed-{name}").write_bytes(data)


def main() -> None:
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    decode_dir, cursor_dir = Path(sys.argv[1]), Path(sys.argv[2])
    write(decode_dir, decode_seeds())
    for report in sorted((ROOT / "tests" / "data" / "reports").glob("*.bin")):
        shutil.copyfile(report, decode_dir / f"seed-genuine-{report.stem}")
    write(cursor_dir, cursor_seeds())


if __name__ == "__main__":
    main()
