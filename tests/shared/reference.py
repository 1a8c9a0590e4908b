"""A small, slow, pure-Python model of quorvel's three functions.

It computes the expected outcomes of the shared test vectors and of the
Python suites, so it is written for plain reading rather than speed and
shares no code with the extension. Outcomes are plain data:

    Result(value)                        a successful call and its return value
    Raised(type, message, whole=True)    a raised exception and its message;
        whole=False when only the start of the message is quorvel's (the rest
        is the interpreter's own text), message None when none of it is
"""

from __future__ import annotations

import ctypes
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

# The processor generations, as the report builder describes them.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
import report_builder as rb  # noqa: E402 - found through the path above

REPORT_SIZE = 0x4A0
SIGNED_SIZE = 0x2A0

DECODE_PREFIX = "AttestationReport::from_bytes failed: "
END_OF_INPUT = 'Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }'
GET_REPORT_UNAVAILABLE = "get_report is only available on Linux in an SEV-SNP guest (requires /dev/sev-guest)."
TDX_UNAVAILABLE = (
    "TDX device failure: TDX quote generation not available "
    "(built without libtdx-attest-dev or not on Linux)."
)
OUT_OF_RANGE = "out of range integral type conversion attempted"


class CodecError(Exception):
    """A decoding failure, carried by its debug rendering."""


def owned(kind: str, text: str) -> CodecError:
    return CodecError(f'Custom {{ kind: {kind}, error: "{text}" }}')


UNSUPPORTED = CodecError("Kind(Unsupported)")
MASKED_CHIP_ID = CodecError("Custom { kind: Other, error: MaskedChipId }")
NOT_ZERO = owned("InvalidData", "Skipped bytes were expected to be zeroed.")
UNKNOWN_GENERATION = owned("InvalidData", "processor is not of know SEV-SNP generation.")
UNKNOWN_MODEL = owned("InvalidData", "processor is not of know SEV-SNP model.")

MILAN, GENOA, TURIN = "Milan", "Genoa", "Turin"


def generation_of(version: int, chip_id: bytes, family: int, model: int) -> str:
    if version == 2:
        if not any(chip_id):
            raise MASKED_CHIP_ID
        return TURIN if not any(chip_id[8:]) else GENOA
    of_family = [g for g in rb.GENERATIONS.values() if g.family == family]
    if not of_family:
        raise UNKNOWN_GENERATION
    for generation in of_family:
        if any(model in models for models in generation.models):
            return generation.name
    raise UNKNOWN_MODEL


@dataclass
class Tcb:
    fmc: int | None
    bootloader: int
    tee: int
    snp: int
    microcode: int

    @staticmethod
    def read(field: bytes, generation: str) -> Tcb:
        at = rb.GENERATIONS[generation.lower()].tcb
        return Tcb(field[at["fmc"]] if "fmc" in at else None,
                   *(field[at[name]] for name in ("bootloader", "tee", "snp", "microcode")))

    def write(self, generation: str) -> bytes:
        field = bytearray(8)
        for name, at in rb.GENERATIONS[generation.lower()].tcb.items():
            field[at] = getattr(self, name) or 0
        return bytes(field)


class Reader:
    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0

    def take(self, size: int) -> bytes:
        if len(self.data) - self.at < size:
            self.at = len(self.data)
            raise CodecError(END_OF_INPUT)
        chunk = self.data[self.at:self.at + size]
        self.at += size
        return chunk

    def number(self, size: int) -> int:
        return int.from_bytes(self.take(size), "little")

    def zeros(self, size: int) -> None:
        if any(self.take(size)):
            raise NOT_ZERO


@dataclass
class Report:
    """Every field of the report, in layout order; None where a version lacks it."""

    version: int
    head: bytes  # guest_svn, policy, family_id, image_id, vmpl, sig_algo: 0x004-0x037
    current_tcb: Tcb
    plat_info_key_info: bytes  # 0x040-0x04B
    digests: bytes  # report_data through report_id_ma: 0x050-0x17F
    reported_tcb: Tcb
    cpuid: tuple[int, int, int] | None
    chip_id: bytes
    committed_tcb: Tcb
    current_fw: bytes  # build, minor, major
    committed_fw: bytes
    launch_tcb: Tcb
    mitigation: tuple[int, int] | None  # launch, current
    sig_r: bytes
    sig_s: bytes

    @property
    def report_data(self) -> bytes:
        return self.digests[:64]

    def generation(self) -> str:
        family, model, _ = self.cpuid or (0, 0, 0)
        return generation_of(self.version, self.chip_id, family, model)


def decode(data: bytes) -> Report:
    if len(data) != REPORT_SIZE:
        raise owned("InvalidData", f"expected {REPORT_SIZE} bytes, got {len(data)}")
    r = Reader(data)
    version = r.number(4)
    if version < 2:
        raise UNSUPPORTED
    generation = generation_of(version, data[0x1A0:0x1E0], data[0x188], data[0x189])
    head = r.take(0x34)
    current_tcb = Tcb.read(r.take(8), generation)
    plat_info_key_info = r.take(12)
    r.zeros(4)
    digests = r.take(0x130)
    reported_tcb = Tcb.read(r.take(8), generation)
    cpuid = None
    if version >= 3:
        cpuid = (r.number(1), r.number(1), r.number(1))
        r.zeros(21)
    else:
        r.zeros(24)
    chip_id = r.take(64)
    committed_tcb = Tcb.read(r.take(8), generation)
    current_fw = r.take(3)
    r.zeros(1)
    committed_fw = r.take(3)
    r.zeros(1)
    launch_tcb = Tcb.read(r.take(8), generation)
    mitigation = None
    if version >= 5:
        mitigation = (r.number(8), r.number(8))
        r.zeros(152)
    else:
        r.zeros(168)
    sig_r, sig_s = r.take(72), r.take(72)
    assert r.at == 0x330
    return Report(version, head, current_tcb, plat_info_key_info, digests, reported_tcb, cpuid, chip_id,
                  committed_tcb, current_fw, committed_fw, launch_tcb, mitigation, sig_r, sig_s)


def encode(report: Report) -> bytes:
    generation = report.generation()
    out = bytearray(report.version.to_bytes(4, "little"))
    out += report.head
    out += report.current_tcb.write(generation)
    out += report.plat_info_key_info + bytes(4)
    out += report.digests
    out += report.reported_tcb.write(generation)
    out += bytes(report.cpuid) + bytes(21) if report.cpuid is not None else bytes(24)
    out += report.chip_id
    out += report.committed_tcb.write(generation)
    out += report.current_fw + bytes(1) + report.committed_fw + bytes(1)
    out += report.launch_tcb.write(generation)
    if report.version >= 5:
        launch, current = report.mitigation or (0, 0)
        out += launch.to_bytes(8, "little") + current.to_bytes(8, "little") + bytes(152)
    else:
        out += bytes(168)
    out += report.sig_r + report.sig_s + bytes(368)
    assert len(out) == REPORT_SIZE
    return bytes(out)


def parse_report_result(data: bytes) -> dict[str, Any]:
    report = decode(data)
    tcb = report.reported_tcb
    family, model, step = report.cpuid if report.cpuid is not None else (None, None, None)
    return {
        "chip_id": report.chip_id,
        "report_data": report.report_data,
        "signed_bytes": encode(report)[:SIGNED_SIZE],
        "sig_r": report.sig_r,
        "sig_s": report.sig_s,
        "reported_tcb": {"bootloader": tcb.bootloader, "tee": tcb.tee, "snp": tcb.snp, "microcode": tcb.microcode},
        "cpuid": {"fam_id": family, "mod_id": model, "step": step},
    }


# Calls: parameter lists and argument rules.

PARAMETERS = {
    "get_report": ["_challenge", "_msg_ver", "_vmpl"],
    "parse_report": ["report_bytes"],
    "get_tdx_quote": ["_report_data"],
}


@dataclass(frozen=True)
class Result:
    value: Any


@dataclass(frozen=True)
class Raised:
    type_name: str
    message: str | None
    whole: bool = True


class CallError(Exception):
    def __init__(self, type_name: str, message: str | None, whole: bool = True, unraisable: list | None = None) -> None:
        super().__init__(type_name, message)
        self.raised = Raised(type_name, message, whole)
        # The exception types a failing str() hands to the unraisable hook on the way.
        self.unraisable = unraisable or []


class Missing:
    def __repr__(self) -> str:
        return "MISSING"


MISSING = Missing()


def quoted_list(names: list[str]) -> str:
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def lossy(text: str) -> str:
    """UTF-8 text of a str with each lone surrogate as three U+FFFD."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def printed(value: Any, unraisable: list) -> str:
    """str(value) as a message shows it; when str() fails, the failure goes to
    the unraisable hook (its type is appended to `unraisable`) and a
    placeholder takes the text's place. An interrupt (KeyboardInterrupt,
    SystemExit) is no failure to print: the call ends with it."""
    try:
        text = str(value)
    except Exception as error:  # noqa: BLE001 - whatever str() raises is reported, not raised
        unraisable.append(type(error))
        return f"<unprintable {type(value).__name__} object>"
    return lossy(text)


def match_arguments(function: str, args: list[Any], kwargs: list[tuple[str, Any]]) -> list[Any]:
    """The parameter slots of a call (a missing argument is the `MISSING` marker).

    A keyword is matched by its text, whatever its str subclass does; one that
    matches no parameter is shown by its str().
    """
    names = PARAMETERS[function]
    full = f"{function}()"
    slots: list[Any] = [MISSING] * len(names)
    if len(args) > len(names):
        counts = f"{len(names)}" if len(names) == 1 else f"from 1 to {len(names)}"
        were = "was" if len(args) == 1 else "were"
        raise CallError("TypeError", f"{full} takes {counts} positional arguments but {len(args)} {were} given")
    slots[:len(args)] = args
    for key, value in kwargs:
        text = str.__str__(key)
        if text not in names:
            unraisable: list = []
            shown = printed(key, unraisable)
            raise CallError("TypeError", f"{full} got an unexpected keyword argument '{shown}'", unraisable=unraisable)
        index = names.index(text)
        if slots[index] is not MISSING:
            raise CallError("TypeError", f"{full} got multiple values for argument '{text}'")
        slots[index] = value
    if slots[0] is MISSING:
        raise CallError("TypeError", f"{full} missing 1 required positional argument: {quoted_list(names[:1])}")
    return slots


def python_type_name(value: Any) -> str:
    name = type(value).__qualname__
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "<failed to extract type name>"
    return name


def require_bytes(value: Any, name: str) -> bytes:
    # By the type itself: an object that claims another __class__ is not believed.
    if not issubclass(type(value), bytes):
        raise CallError("TypeError", f"argument '{name}': '{python_type_name(value)}' object cannot be converted to 'PyBytes'")
    return value


def optional_u32(value: Any, name: str) -> int | None:
    if value is MISSING or value is None:
        return None
    if not isinstance(value, int):
        # The interpreter's own text follows the parameter name.
        raise CallError("TypeError", f"argument '{name}': ", whole=False)
    if value < 0 or value >= 2**64:
        raise CallError("OverflowError", None)
    if value >= 2**32:
        raise CallError("OverflowError", OUT_OF_RANGE)
    return value


def as_unsigned_long_long(value: int) -> int | OverflowError:
    """The interpreter's own conversion, which a u32 argument goes through:
    the number, or the OverflowError it raises (whose text no vector pins)."""
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.argtypes = [ctypes.py_object]
    convert.restype = ctypes.c_ulonglong
    try:
        return convert(value)
    except OverflowError as error:
        return error


def call(function: str, args: list[Any], kwargs: list[tuple[str, Any]]) -> Result | Raised:
    """The outcome of calling quorvel.<function>(*args, **dict(kwargs))."""
    try:
        slots = match_arguments(function, args, kwargs)
        if function == "parse_report":
            data = require_bytes(slots[0], "report_bytes")
            try:
                return Result(parse_report_result(data))
            except CodecError as error:
                return Raised("ValueError", DECODE_PREFIX + str(error))
        if function == "get_report":
            require_bytes(slots[0], "_challenge")
            optional_u32(slots[1], "_msg_ver")
            optional_u32(slots[2], "_vmpl")
            return Raised("NotImplementedError", GET_REPORT_UNAVAILABLE)
        require_bytes(slots[0], "_report_data")
        return Raised("ValueError", TDX_UNAVAILABLE)
    except CallError as error:
        return error.raised
