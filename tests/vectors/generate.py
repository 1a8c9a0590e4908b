"""Writes the shared test vectors (the *.json files beside this script).

Usage: python tests/vectors/generate.py [--check]

Inputs are built here with tests/shared/report_builder.py; every expected
outcome comes from tests/shared/reference.py. The output depends on nothing but these
files and tests/data/reports, so running the script again gives
byte-identical files. --check writes nothing
and exits 1 if a file is missing or differs.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "shared"))

import reference as ref  # noqa: E402 - found through the path above
import report_builder as rb  # noqa: E402
from report_builder import CHIP_ID, FREE_FIELDS, GENUINE_DIR, MITIGATION, REPORTED_TCB, minimal, put  # noqa: E402

FORMAT = 1
# The generations whose reports the vectors are built from.
CPUID_OF = {name: rb.CPUID_OF[name] for name in ("milan", "genoa", "turin")}
# A TCB field whose components land on different values in the two layouts:
# Milan/Genoa read bootloader=5 tee=1 snp=0xCC microcode=4, Turin reads
# fmc=5 bootloader=1 tee=2 snp=3 microcode=4. Its reserved bytes are not zero.
TELLING_TCB = bytes([0x05, 0x01, 0x02, 0x03, 0xAA, 0xBB, 0xCC, 0x04])


def report(version: int, generation: str = "genoa", **kw) -> bytearray:
    """A decodable report (report_builder.build), from a Genoa processor unless told otherwise."""
    return rb.build(version, generation, **kw)


def with_bytes(buf: bytearray, *changes: tuple[int, int]) -> bytearray:
    for offset, value in changes:
        buf[offset] = value
    return buf


def chip(*nonzero: int) -> bytes:
    """A chip id that is zero except at the given indexes."""
    return bytes(0x5A if i in nonzero else 0 for i in range(64))


# Vector construction.

Args = list[Any]
Kwargs = list[tuple[str, Any]]


def encode_value(value: Any) -> Any:
    """An argument as JSON: a tagged value, null for None."""
    if value is None:
        return None
    if isinstance(value, bool):
        return {"bool": value}
    if isinstance(value, int):
        return {"int": str(value)}
    if isinstance(value, float):
        return {"float": value}
    if isinstance(value, str):
        return {"str": value}
    if isinstance(value, bytes):
        return {"bytes": value.hex()}
    if isinstance(value, bytearray):
        return {"bytearray": value.hex()}
    raise TypeError(f"no JSON form for {type(value).__name__}")


def encode_result(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, dict):
        return {key: encode_result(item) for key, item in value.items()}
    return value


def vector(name: str, function: str, args: Args, kwargs: Kwargs | None = None, note: str = "") -> dict[str, Any]:
    kwargs = kwargs or []
    outcome = ref.call(function, args, kwargs)
    entry: dict[str, Any] = {"name": name}
    if note:
        entry["note"] = note
    entry["function"] = function
    entry["args"] = [encode_value(a) for a in args]
    entry["kwargs"] = {key: encode_value(value) for key, value in kwargs}
    if isinstance(outcome, ref.Result):
        entry["result"] = encode_result(outcome.value)
    else:
        error: dict[str, Any] = {"type": outcome.type_name}
        if outcome.message is not None:
            error["message" if outcome.whole else "message_prefix"] = outcome.message
        entry["error"] = error
    return entry


def parse(name: str, data: bytes | bytearray, note: str = "") -> dict[str, Any]:
    return vector(name, "parse_report", [bytes(data)], note=note)


def versions() -> list[dict[str, Any]]:
    out = [
        parse("v3-minimal-milan", minimal(3), "all zero but version 3 and CPUID 19/01"),
        parse("v2-genoa-by-chip-id", report(2, "genoa"), "version 2: no CPUID; a chip id beyond its first 8 bytes means the Milan/Genoa layout"),
        parse("v2-turin-by-chip-id", report(2, "turin"), "version 2: only the first 8 chip id bytes set means the Turin layout"),
    ]
    for version in (3, 4, 5):
        for generation in CPUID_OF:
            out.append(parse(f"v{version}-{generation}", report(version, generation)))
    out += [
        parse("v5-mitigation-vectors", put(report(5, "genoa"), MITIGATION, (0x0201).to_bytes(8, "little") + (3).to_bytes(8, "little")),
              "launch and current mitigation vectors 0x0201 and 3 are part of the signed region"),
        parse("v6-genoa", report(6, "genoa"), "versions above 5 use the version-5 layout"),
        parse("v7-milan", report(7, "milan")),
        parse("v9-turin", report(9, "turin")),
        parse("v2147483647-genoa", report(0x7FFFFFFF, "genoa")),
        parse("v4294967295-milan", report(0xFFFFFFFF, "milan")),
    ]
    return out


def generations() -> list[dict[str, Any]]:
    out = []
    accepted = [(0x19, m) for m in (0x00, 0x01, 0x0F, 0x10, 0x11, 0x1F, 0xA0, 0xA5, 0xAF)]
    accepted += [(0x1A, m) for m in (0x00, 0x02, 0x11)]
    for family, model in accepted:
        data = put(report(3, cpuid=(family, model, 0x00), label=f"cpuid-{family:02x}-{model:02x}"), REPORTED_TCB, TELLING_TCB)
        out.append(parse(f"family-{family:02x}-model-{model:02x}", data))
    for family, model in [(0x19, m) for m in (0x20, 0x2F, 0x9F, 0xB0, 0xFF)] + [(0x1A, m) for m in (0x12, 0x1F, 0xA0, 0xFF)]:
        out.append(parse(f"family-{family:02x}-model-{model:02x}-unknown", minimal(3, family, model)))
    for family in (0x00, 0x17, 0x18, 0x1B, 0xFF):
        out.append(parse(f"family-{family:02x}-unknown", minimal(4, family, 0x01), "an unknown family fails whatever the model"))
    out += [
        parse("v5-family-17-unknown", minimal(5, 0x17, 0x11)),
        parse("stepping-ff", with_bytes(minimal(3), (0x18A, 0xFF)), "the stepping byte takes no part in the generation"),
        parse("v2-turin-telling-tcb", put(report(2, "turin"), REPORTED_TCB, TELLING_TCB)),
        parse("v2-genoa-telling-tcb", put(report(2, "genoa"), REPORTED_TCB, TELLING_TCB)),
        parse("v3-chip-id-ignored-for-generation", put(report(3, "turin", chip_id=chip(*range(64)), label="v3-chip"), REPORTED_TCB, TELLING_TCB),
              "from version 3 the generation comes from CPUID alone"),
    ]
    return out


def chip_ids() -> list[dict[str, Any]]:
    return [
        parse("v2-masked", report(2, chip_id=bytes(64)), "version 2 with MASK_CHIP_ID: nothing names the generation"),
        parse("v2-masked-minimal", minimal(2)),
        parse("v2-chip-byte-0-turin", put(report(2, chip_id=chip(0), label="v2-chip0"), REPORTED_TCB, TELLING_TCB)),
        parse("v2-chip-byte-7-turin", put(report(2, chip_id=chip(7), label="v2-chip7"), REPORTED_TCB, TELLING_TCB)),
        parse("v2-chip-byte-8-genoa", put(report(2, chip_id=chip(8), label="v2-chip8"), REPORTED_TCB, TELLING_TCB)),
        parse("v2-chip-byte-63-genoa", put(report(2, chip_id=chip(63), label="v2-chip63"), REPORTED_TCB, TELLING_TCB)),
        parse("v3-masked-accepted", report(3, "milan", chip_id=bytes(64), label="v3-masked"), "from version 3 a zero chip id is fine"),
        parse("v5-masked-accepted", report(5, "turin", chip_id=bytes(64), label="v5-masked")),
        parse("genuine-milan-v2-masked", put(bytearray((GENUINE_DIR / "milan-v2-gosevguest.bin").read_bytes()), CHIP_ID, bytes(64))),
    ]


def decode_errors() -> list[dict[str, Any]]:
    out = [parse(f"length-{n}", bytes(n)) for n in (0, 1, 1183, 1185, 2368)]
    out += [
        parse("length-1183-valid-prefix", report(3, "milan")[:-1]),
        parse("length-1185-valid-prefix", report(3, "milan") + b"\x00"),
        parse("version-0", minimal(0)),
        parse("version-1", report(1, "genoa", label="v1")),
        parse("version-1-masked-and-dirty", with_bytes(minimal(1), (0x04C, 1)), "the version is checked before the generation"),
        parse("masked-before-reserved", with_bytes(report(2, chip_id=bytes(64), label="v2-masked-dirty"), (0x04C, 1), (0x188, 1))),
        parse("generation-before-reserved", with_bytes(minimal(3, 0x17, 0x01), (0x04C, 1), (0x1EB, 1))),
        parse("model-before-reserved", with_bytes(minimal(3, 0x19, 0x20), (0x04C, 1), (0x29F, 1))),
    ]
    reserved = [
        (3, "genoa", 0x04C), (3, "genoa", 0x04F), (5, "turin", 0x04D),
        (2, "genoa", 0x188), (2, "genoa", 0x189), (2, "turin", 0x18A), (2, "genoa", 0x19F),
        (3, "milan", 0x18B), (4, "genoa", 0x19F), (5, "turin", 0x195),
        (3, "milan", 0x1EB), (5, "genoa", 0x1EF), (2, "turin", 0x1EB),
        (2, "genoa", 0x1F8), (3, "milan", 0x1FF), (4, "turin", 0x207), (4, "genoa", 0x208), (3, "genoa", 0x29F),
        (5, "genoa", 0x208), (5, "milan", 0x29F), (9, "turin", 0x250),
    ]
    for version, generation, offset in reserved:
        data = with_bytes(report(version, generation), (offset, 0x80))
        out.append(parse(f"v{version}-{generation}-reserved-{offset:03x}", data))
    return out


def signed_region() -> list[dict[str, Any]]:
    return [
        parse("v3-milan-dirty-tcb", report(3, "milan", dirty_tcb=True),
              "reserved bytes inside TCB fields are not checked and come back as zero in signed_bytes"),
        parse("v5-turin-dirty-tcb", report(5, "turin", dirty_tcb=True)),
        parse("v2-genoa-dirty-tcb", report(2, "genoa", dirty_tcb=True)),
        parse("v4-genoa-tail", report(4, "genoa", tail=True), "bytes after signature S are ignored"),
        parse("v5-milan-mitigation-and-tail", report(5, "milan", tail=True, dirty_tcb=True)),
        parse("v3-firmware-versions", put(report(3, "genoa", label="v3-fw"), 0x1E8, bytes([1, 2, 3, 0, 4, 5, 6]))),
        parse("v3-all-ff-free-fields", put(with_bytes(minimal(3), *[(o, 0xFF) for f, n in FREE_FIELDS for o in range(f, f + n)]),
                                           REPORTED_TCB, b"\xff" * 8)),
    ]


def genuine() -> list[dict[str, Any]]:
    return [parse(path.stem, path.read_bytes()) for path in sorted(GENUINE_DIR.glob("*.bin"))]


def arguments() -> list[dict[str, Any]]:
    valid = bytes(minimal(3))
    return [
        vector("parse_report-by-keyword", "parse_report", [], [("report_bytes", valid)]),
        vector("parse_report-no-argument", "parse_report", []),
        vector("parse_report-two-arguments", "parse_report", [valid, valid]),
        vector("parse_report-keyword-case", "parse_report", [], [("Report_Bytes", valid)]),
        vector("parse_report-keyword-trailing-space", "parse_report", [], [("report_bytes ", valid)]),
        vector("parse_report-twice", "parse_report", [valid], [("report_bytes", valid)]),
        vector("parse_report-too-many-before-keyword", "parse_report", [valid, valid], [("foo", 1)]),
        vector("parse_report-keyword-before-missing", "parse_report", [], [("foo", 1)]),
        vector("parse_report-shape-before-type", "parse_report", ["text", "text"]),
        vector("parse_report-bytearray", "parse_report", [bytearray(valid)]),
        vector("parse_report-str", "parse_report", [valid.decode("latin-1")]),
        vector("parse_report-none", "parse_report", [None]),
        vector("parse_report-int", "parse_report", [5]),
        vector("parse_report-bytearray-by-keyword", "parse_report", [], [("report_bytes", bytearray(8))]),
        vector("get_report-empty-challenge", "get_report", [b""]),
        vector("get_report-all-none", "get_report", [b"", None, None]),
        vector("get_report-limits", "get_report", [bytes(64), 0, 4294967295]),
        vector("get_report-keywords-any-order", "get_report", [], [("_vmpl", 2), ("_msg_ver", 1), ("_challenge", b"x")]),
        vector("get_report-bool", "get_report", [b""], [("_vmpl", True)]),
        vector("get_report-no-argument", "get_report", []),
        vector("get_report-msg_ver-only", "get_report", [], [("_msg_ver", 1)]),
        vector("get_report-four-arguments", "get_report", [b"", 1, 2, 3]),
        vector("get_report-one-argument-too-many", "get_report", ["x", "x", "x", "x", "x", "x"]),
        vector("get_report-unexpected-keyword", "get_report", [b""], [("foo", 1)]),
        vector("get_report-first-bad-keyword-wins", "get_report", [b""], [("foo", 1), ("_challenge", b"")]),
        vector("get_report-twice-challenge", "get_report", [b""], [("_challenge", b"")]),
        vector("get_report-twice-msg_ver", "get_report", [b"", 1], [("_msg_ver", 1)]),
        vector("get_report-twice-vmpl-none", "get_report", [b"", None, None], [("_vmpl", None)]),
        vector("get_report-keyword-then-unexpected", "get_report", [], [("_msg_ver", 1), ("foo", 1)]),
        vector("get_report-str-challenge", "get_report", ["x"]),
        vector("get_report-msg_ver-2**32", "get_report", [b"", 4294967296]),
        vector("get_report-msg_ver-2**64-1", "get_report", [b""], [("_msg_ver", 2**64 - 1)]),
        vector("get_report-vmpl-2**32", "get_report", [b"", None, 4294967296]),
        vector("get_report-msg_ver-2**64", "get_report", [b"", 2**64], note="the interpreter's own OverflowError"),
        vector("get_report-vmpl-negative", "get_report", [b""], [("_vmpl", -1)], note="the interpreter's own OverflowError"),
        vector("get_report-vmpl-str", "get_report", [b"", None, "1"]),
        vector("get_report-vmpl-float", "get_report", [b"", 1, 2.5]),
        vector("get_report-msg_ver-first", "get_report", [b"", "x", -1]),
        vector("get_report-msg_ver-first-overflow", "get_report", [b"", 2**32, "x"]),
        vector("get_report-challenge-first", "get_report", [None, 2**32]),
        vector("get_tdx_quote-64-bytes", "get_tdx_quote", [bytes(64)]),
        vector("get_tdx_quote-empty", "get_tdx_quote", [], [("_report_data", b"")]),
        vector("get_tdx_quote-bytearray", "get_tdx_quote", [bytearray(64)]),
        vector("get_tdx_quote-str", "get_tdx_quote", [], [("_report_data", "x")]),
        vector("get_tdx_quote-two-arguments", "get_tdx_quote", [b"", b""]),
        vector("get_tdx_quote-three-arguments", "get_tdx_quote", [1, 2, 3]),
        vector("get_tdx_quote-non-ascii-keyword", "get_tdx_quote", [], [("ключ", b"")]),
        vector("get_tdx_quote-no-argument", "get_tdx_quote", []),
    ]


GROUPS = {
    "versions.json": ("Decodable reports of every version: 2, 3, 4, 5 and above", versions),
    "generations.json": ("Processor generation from CPUID family and model, and the TCB layout it selects", generations),
    "chip_id.json": ("Version 2 generation from the chip id; masked chip ids", chip_ids),
    "decode_errors.json": ("Every decoding failure, and which one wins when a report has several", decode_errors),
    "signed_region.json": ("What signed_bytes holds where it differs from the input", signed_region),
    "genuine.json": ("Genuine reports from Milan, Genoa and Turin machines", genuine),
    "arguments.json": ("Call shapes and argument types of the three functions", arguments),
}


def render() -> dict[str, str]:
    """The text of every vector file, by file name."""
    files = {}
    for file_name, (description, make) in GROUPS.items():
        document = {"format": FORMAT, "description": description, "vectors": make()}
        files[file_name] = json.dumps(document, indent=1, ensure_ascii=True) + "\n"
    return files


def main(argv: list[str]) -> int:
    check = argv[1:] == ["--check"]
    if argv[1:] and not check:
        print("usage: python tests/vectors/generate.py [--check]", file=sys.stderr)
        return 2
    stale = []
    for file_name, text in render().items():
        path = HERE / file_name
        if check:
            if not path.exists() or path.read_text(encoding="utf-8") != text:
                stale.append(file_name)
        else:
            path.write_text(text, encoding="utf-8")
    if stale:
        print("out of date: " + ", ".join(stale) + " (run python tests/vectors/generate.py)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
