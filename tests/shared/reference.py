"""A small pure-Python model of quorvel's three functions.

It computes the expected outcomes of the shared test vectors and of the
Python suites, and is the benchmark's pure-Python contender: written in
plain Python with slices, the way a user would write parse_report without
the extension, it shares no code with the extension. Outcomes are plain data:

    Result(value)                        a successful call and its return value
    Raised(type, message, whole=True)    a raised exception and its message;
        whole=False when only the start of the message is quorvel's (the rest
        is the interpreter's own text), message None when none of it is
"""

from __future__ import annotations

import ctypes
import struct
from dataclasses import dataclass
from typing import Any

# The layout's offsets and the processor generations, as the report builder describes them.
import report_builder as rb
from report_builder import CHIP_ID, CPUID, REPORT_DATA, REPORTED_TCB, SIG_R, SIG_S, TCB_FIELDS

REPORT_SIZE = rb.REPORT_SIZE
SIGNED_SIZE = SIG_R  # the signature signs everything before it

DECODE_PREFIX = "AttestationReport::from_bytes failed: "
GET_REPORT_UNAVAILABLE = "get_report is only available on Linux in an SEV-SNP guest (requires /dev/sev-guest)."
TDX_UNAVAILABLE = (
    "TDX device failure: TDX quote generation not available "
    "(built without libtdx-attest-dev or not on Linux)."
)
OUT_OF_RANGE = "out of range integral type conversion attempted"


def owned(kind: str, text: str) -> str:
    return f'{DECODE_PREFIX}Custom {{ kind: {kind}, error: "{text}" }}'


# The messages of parse_report's ValueError: the decoder's failure, by its debug rendering.
UNSUPPORTED = DECODE_PREFIX + "Kind(Unsupported)"
MASKED_CHIP_ID = DECODE_PREFIX + "Custom { kind: Other, error: MaskedChipId }"
NOT_ZERO = owned("InvalidData", "Skipped bytes were expected to be zeroed.")
UNKNOWN_GENERATION = owned("InvalidData", "processor is not of know SEV-SNP generation.")
UNKNOWN_MODEL = owned("InvalidData", "processor is not of know SEV-SNP model.")

GENOA, TURIN = "Genoa", "Turin"  # what a version-2 chip id tells apart
# The generation each CPUID family and model names (versions 3 and later).
GENERATION_OF_CPUID = {(g.family, model): g.name for g in rb.GENERATIONS.values() for models in g.models
                       for model in models}
FAMILIES = {g.family for g in rb.GENERATIONS.values()}
ZERO_CHIP_ID = bytes(64)


def generation(data: bytes, version: int) -> str:
    """The generation whose layout decodes `data`, a report of `version`: by its CPUID family and model, or in
    version 2, which has none, by its chip id (8 bytes long on Turin)."""
    if version == 2:
        chip_id = data[CHIP_ID:CHIP_ID + 64]
        if chip_id == ZERO_CHIP_ID:
            raise ValueError(MASKED_CHIP_ID)
        return TURIN if chip_id[8:] == ZERO_CHIP_ID[8:] else GENOA
    name = GENERATION_OF_CPUID.get((data[CPUID], data[CPUID + 1]))
    if name is None:
        raise ValueError(UNKNOWN_MODEL if data[CPUID] in FAMILIES else UNKNOWN_GENERATION)
    return name


def zero_runs(*runs: tuple[int, int]) -> tuple[tuple[slice, bytes], ...]:
    return tuple((slice(start, end), bytes(end - start)) for start, end in runs)


def reserved_runs(cpuid_end: int, mitigation_end: int) -> tuple[tuple[slice, bytes], ...]:
    """The reserved runs that must be zero, in the order decoding meets them: after the key information, after
    the CPUID (all of it in version 2, which has none), after each firmware version, and after the mitigation
    vectors (from version 5 on) up to the signature."""
    return zero_runs((0x04C, 0x050), (cpuid_end, CHIP_ID), (0x1EB, 0x1EC), (0x1EF, 0x1F0), (mitigation_end, SIG_R))


RESERVED_V2, RESERVED_V3_V4, RESERVED_V5 = reserved_runs(CPUID, 0x1F8), reserved_runs(CPUID + 3, 0x1F8), \
    reserved_runs(CPUID + 3, 0x208)
# Where each generation's TCB layout has bootloader, tee, snp and microcode, and its reserved bytes in the four
# TCB fields of the signed region (decoding skips them and encoding writes zeros: they are cleared there).
TCB_AT = {g.name: tuple(g.tcb[name] for name in ("bootloader", "tee", "snp", "microcode"))
          for g in rb.GENERATIONS.values()}
TCB_RESERVED = {g.name: zero_runs(*((f + min(g.tcb_reserved), f + max(g.tcb_reserved) + 1) for f in TCB_FIELDS))
                for g in rb.GENERATIONS.values()}
# (each generation's reserved bytes are one run in every field)
assert all(len(zeros) == len(g.tcb_reserved) for g in rb.GENERATIONS.values() for _, zeros in TCB_RESERVED[g.name])
VERSION = struct.Struct("<I").unpack_from
NO_CPUID = {"fam_id": None, "mod_id": None, "step": None}


def parse_report(report_bytes: bytes) -> dict[str, Any]:
    """What quorvel.parse_report returns for `report_bytes`, or the ValueError it raises."""
    data = report_bytes
    if len(data) != REPORT_SIZE:
        raise ValueError(owned("InvalidData", f"expected {REPORT_SIZE} bytes, got {len(data)}"))
    (version,) = VERSION(data)
    if version < 2:
        raise ValueError(UNSUPPORTED)
    name = generation(data, version)
    for run, zeros in RESERVED_V2 if version == 2 else RESERVED_V3_V4 if version < 5 else RESERVED_V5:
        if data[run] != zeros:
            raise ValueError(NOT_ZERO)
    signed = data[:SIGNED_SIZE]
    if any(data[run] != zeros for run, zeros in TCB_RESERVED[name]):
        cleared = bytearray(signed)
        for run, zeros in TCB_RESERVED[name]:
            cleared[run] = zeros
        signed = bytes(cleared)
    bootloader, tee, snp, microcode = TCB_AT[name]
    tcb = data[REPORTED_TCB:REPORTED_TCB + 8]
    return {
        "chip_id": data[CHIP_ID:CHIP_ID + 64],
        "report_data": data[REPORT_DATA:REPORT_DATA + 64],
        "signed_bytes": signed,
        "sig_r": data[SIG_R:SIG_S],
        "sig_s": data[SIG_S:SIG_S + 72],
        "reported_tcb": {"bootloader": tcb[bootloader], "tee": tcb[tee], "snp": tcb[snp], "microcode": tcb[microcode]},
        "cpuid": {"fam_id": data[CPUID], "mod_id": data[CPUID + 1], "step": data[CPUID + 2]} if version >= 3
        else NO_CPUID.copy(),
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
                return Result(parse_report(data))
            except ValueError as error:
                return Raised("ValueError", str(error))
        if function == "get_report":
            require_bytes(slots[0], "_challenge")
            optional_u32(slots[1], "_msg_ver")
            optional_u32(slots[2], "_vmpl")
            return Raised("NotImplementedError", GET_REPORT_UNAVAILABLE)
        require_bytes(slots[0], "_report_data")
        return Raised("ValueError", TDX_UNAVAILABLE)
    except CallError as error:
        return error.raised
