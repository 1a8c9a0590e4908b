"""Properties of the three functions over generated inputs and call shapes.

Each outcome is compared with the reference model of the shared vectors
(tests/shared/reference.py): the dictionary a report decodes to or its
error, how a call's arguments match the parameters, and the bytes argument's
type check. The integer conversions, where an argument's own __index__ may
raise anything, are modelled here: they say which exception (type and, where
the module makes it, message) a call gives.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass, field

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from quorvel import get_report, get_tdx_quote, parse_report

import reference as ref
import report_builder as rb
from hostile_objects import (Index, Interrupting, Outer, SpecialTypeError, Unprintable, UnprintableTypeError,
                             captured_unraisable, type_error_with_cause)

GENUINE = [path.read_bytes() for path in sorted(rb.GENUINE_DIR.glob("*.bin"))]
BUILT = [
    bytes(rb.build(version, generation))
    for version in (2, 3, 4, 5, 9)
    for generation in (("genoa", "turin") if version == 2 else tuple(rb.CPUID_OF))
]
BASES = GENUINE + BUILT
# Drawn by index, so that a failing example names a report rather than printing it.
bases = st.sampled_from(range(len(BASES))).map(BASES.__getitem__)

# --- Reports -------------------------------------------------------------------------------------

KEYS = ["chip_id", "report_data", "signed_bytes", "sig_r", "sig_s", "reported_tcb", "cpuid"]
BYTES_SIZES = {"chip_id": 64, "report_data": 64, "signed_bytes": 672, "sig_r": 72, "sig_s": 72}
TCB_KEYS = ["bootloader", "tee", "snp", "microcode"]
CPUID_KEYS = ["fam_id", "mod_id", "step"]
# Every way a report of the right length fails to decode.
FIXED_DECODE_ERRORS = {ref.UNSUPPORTED, ref.MASKED_CHIP_ID, ref.UNKNOWN_GENERATION, ref.UNKNOWN_MODEL, ref.NOT_ZERO}


def expected_report(data: bytes) -> dict | str:
    """What parse_report(data) returns, or the message of its ValueError."""
    try:
        return ref.parse_report(data)
    except ValueError as error:
        return str(error)


def check_shape(result) -> None:
    assert type(result) is dict
    assert list(result) == KEYS and all(type(key) is str for key in result)
    assert {key: len(value) for key, value in result.items() if type(value) is bytes} == BYTES_SIZES
    assert type(result["reported_tcb"]) is dict and list(result["reported_tcb"]) == TCB_KEYS
    assert all(type(v) is int and 0 <= v <= 255 for v in result["reported_tcb"].values())
    cpuid = list(result["cpuid"].values())
    assert type(result["cpuid"]) is dict and list(result["cpuid"]) == CPUID_KEYS
    assert cpuid == [None] * 3 or all(type(v) is int and 0 <= v <= 255 for v in cpuid)


def check_parse(data: bytes) -> None:
    expected = expected_report(bytes(data))
    try:
        result = parse_report(data)
    except ValueError as e:
        assert type(e) is ValueError
        assert len(e.args) == 1 and type(e.args[0]) is str
        message = e.args[0]
        assert message in FIXED_DECODE_ERRORS or len(data) != rb.REPORT_SIZE
        assert message == expected
        return
    check_shape(result)
    assert result == expected
    # The signed region is a fixed point: decoding it again reproduces it.
    assert parse_report(result["signed_bytes"] + data[672:]) == result


# Offsets where one changed byte moves a report from one outcome to another:
# the version, the generation bytes, the edges of every reserved run and TCB field.
EDGES = sorted({0x000, 0x001, 0x003, 0x038, 0x03A, 0x03C, 0x03D, 0x03E, 0x03F, 0x04B, 0x04C, 0x04F, 0x050,
                0x182, 0x184, 0x185, 0x186, 0x188, 0x189, 0x18A, 0x18B, 0x19F, 0x1A0, 0x1A7, 0x1A8, 0x1DF,
                0x1E2, 0x1E6, 0x1EA, 0x1EB, 0x1EE, 0x1EF, 0x1F2, 0x1F6, 0x1F8, 0x1FF, 0x200, 0x207, 0x208,
                0x29F, 0x2A0, 0x32F, 0x330, 0x49F})
CPUIDS = [(0x19, m) for m in (0x00, 0x0F, 0x10, 0x1F, 0x20, 0x9F, 0xA0, 0xAF, 0xB0, 0xFF)] + \
         [(0x1A, m) for m in (0x00, 0x11, 0x12, 0xFF)] + [(0x17, 0x01), (0x00, 0x00), (0x1B, 0x01)]
VERSIONS = [0, 1, 2, 3, 4, 5, 6, 9, 2**31, 2**32 - 1]

mutation = st.one_of(
    st.tuples(st.just("byte"), st.integers(0, 1183), st.integers(0, 255)),
    st.tuples(st.just("byte"), st.sampled_from(EDGES), st.integers(1, 255)),
    st.tuples(st.just("version"), st.sampled_from(VERSIONS)),
    st.tuples(st.just("cpuid"), st.sampled_from(CPUIDS)),
    st.tuples(st.just("chip_id"), st.sampled_from([bytes(64), b"\x07" * 8 + bytes(56), bytes(8) + b"\x07" + bytes(55)])),
    st.tuples(st.just("resize"), st.integers(-2, 2)),
)


@st.composite
def mutated_reports(draw) -> bytes:
    data = bytearray(draw(bases))
    for change in draw(st.lists(mutation, max_size=5)):
        kind, *values = change
        if kind == "byte" and values[0] < len(data):
            data[values[0]] = values[1]
        elif kind == "version":
            rb.put_u32(data, rb.VERSION, values[0])
        elif kind == "cpuid":
            rb.put(data, rb.CPUID, bytes(values[0]))
        elif kind == "chip_id":
            rb.put(data, rb.CHIP_ID, values[0])
        elif kind == "resize":
            data = data[:len(data) + values[0]] if values[0] < 0 else data + bytes(values[0])
    return bytes(data)


class RawBytes(bytes):
    """A bytes subclass: accepted as report bytes."""


class TestParseReport:
    @settings(max_examples=300)
    @given(case=st.sampled_from(range(len(BUILT))), noise=st.binary(min_size=1184, max_size=1184))
    def test_any_content_in_the_fields_decoding_does_not_check(self, case, noise):
        data = bytearray(BUILT[case])
        version = int.from_bytes(data[:4], "little")
        opaque = [*rb.FREE_FIELDS, *((o, 8) for o in rb.TCB_FIELDS), (rb.TAIL, rb.REPORT_SIZE - rb.TAIL)]
        if version >= 3:
            opaque += [(rb.CHIP_ID, 64), (rb.CPUID + 2, 1)]
        if version >= 5:
            opaque.append((rb.MITIGATION, 16))
        for offset, size in opaque:
            data[offset:offset + size] = noise[offset:offset + size]
        check_parse(bytes(data))

    @settings(max_examples=300)
    @given(data=st.one_of(st.binary(max_size=1300), st.binary(min_size=1184, max_size=1184)))
    def test_arbitrary_bytes(self, data):
        check_parse(data)

    @settings(max_examples=300)
    @given(version=st.sampled_from(VERSIONS), cpuid=st.sampled_from(CPUIDS), rest=st.binary(min_size=1184, max_size=1184))
    def test_random_reports_with_meaningful_header(self, version, cpuid, rest):
        # Random bytes fail on the version or the generation; with those set the
        # reserved runs and the success path are reached too.
        data = rb.put(rb.put_u32(bytearray(rest), rb.VERSION, version), rb.CPUID, bytes(cpuid))
        check_parse(bytes(data))

    @settings(max_examples=600)
    @given(data=mutated_reports())
    def test_mutated_reports(self, data):
        check_parse(data)

    @settings(max_examples=50)
    @given(data=mutated_reports())
    def test_bytes_subclass_decodes_like_bytes(self, data):
        try:
            expected = parse_report(data)
        except ValueError as e:
            with pytest.raises(ValueError) as info:
                parse_report(RawBytes(data))
            assert info.value.args == e.args
        else:
            assert parse_report(report_bytes=RawBytes(data)) == expected


# --- The call model ------------------------------------------------------------------------------



NAMES = {parse_report: "parse_report", get_report: "get_report", get_tdx_quote: "get_tdx_quote"}
ALL_PARAMETERS = sorted({p for parameters in ref.PARAMETERS.values() for p in parameters})


@dataclass
class Expected:
    """An exception the call must raise (or a result it must return)."""

    type: type | None = None
    message: str | None = None  # None: the interpreter's own wording, compared as `args`
    args: tuple | None = None
    instance: BaseException | None = None  # the very object that must come out
    cause: BaseException | None = None  # of a prefixed TypeError
    prefixed: bool = False
    result: dict | None = None
    unraisable: list = field(default_factory=list)


def expected_call(function, args: tuple, keywords: list) -> Expected:
    try:
        return expected_outcome(function, args, keywords)
    except (KeyboardInterrupt, SystemExit) as interrupt:  # from str() of something a message shows
        return Expected(type(interrupt), args=interrupt.args)


def expected_outcome(function, args: tuple, keywords: list) -> Expected:
    name = NAMES[function]
    parameters = ref.PARAMETERS[name]
    try:
        slots = ref.match_arguments(name, list(args), keywords)
    except ref.CallError as error:
        return Expected(TypeError, error.raised.message, unraisable=error.unraisable)
    try:
        ref.require_bytes(slots[0], parameters[0])
    except ref.CallError as error:
        return Expected(TypeError, error.raised.message, prefixed=True)
    for parameter, value in zip(parameters[1:], slots[1:]):
        if value is not ref.MISSING and value is not None:
            failure = expected_u32(parameter, value)
            if failure is not None:
                return failure
    if function is get_report:
        return Expected(NotImplementedError, ref.GET_REPORT_UNAVAILABLE)
    if function is get_tdx_quote:
        return Expected(ValueError, ref.TDX_UNAVAILABLE)
    outcome = expected_report(bytes(slots[0]))
    return Expected(ValueError, outcome) if isinstance(outcome, str) else Expected(result=outcome)


def expected_u32(name: str, value) -> Expected | None:
    if issubclass(type(value), int):
        number = int.__index__(value)  # an int subclass is read as is, its __index__ is not called
    else:
        try:
            number = operator.index(value)
        except BaseException as e:  # noqa: BLE001 - the module meets the same exception
            if type(e) is TypeError:
                unraisable: list = []
                message = f"argument '{name}': {ref.printed(e, unraisable)}"
                return Expected(TypeError, message, cause=e.__cause__, prefixed=True, unraisable=unraisable)
            instance = getattr(value, "value", None)
            return Expected(type(e), args=e.args, instance=instance if instance is e else None)
    converted = ref.as_unsigned_long_long(number)
    if isinstance(converted, OverflowError):
        return Expected(OverflowError, args=converted.args)
    if converted >= 2**32:
        return Expected(OverflowError, ref.OUT_OF_RANGE)
    return None


SPECIFIED = (TypeError, OverflowError, ValueError, NotImplementedError)


def check_call(function, args: tuple, keywords: list) -> None:
    expected = expected_call(function, args, keywords)
    kwargs = dict(keywords)
    assert len(kwargs) == len(keywords), "keywords are distinct dictionary keys"
    with captured_unraisable() as unraisable:
        try:
            result = function(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001 - compared with the model below
            error = e
        else:
            error = None
    assert [exc_type for exc_type, _, _ in unraisable] == expected.unraisable
    if expected.result is not None:
        assert error is None
        assert result == expected.result
        return
    assert error is not None, f"returned {result!r}"
    if expected.instance is not None:
        assert error is expected.instance
    assert type(error) is expected.type
    if expected.message is not None:
        assert error.args == (expected.message,)
        # A user's __index__ may raise anything; everything the module raises is specified.
        assert isinstance(error, SPECIFIED)
    else:
        assert error.args == expected.args
    if expected.prefixed:
        assert error.__suppress_context__ is True
        assert error.__cause__ is expected.cause


# --- Objects of every kind ---------------------------------------------------------------------


class SmallInt(int):
    def __index__(self):
        raise AssertionError("an int subclass is read without __index__")


class RaisingEq:
    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __hash__ = object.__hash__


class Impostor:
    """Passes isinstance() for bytes and int, but is neither."""

    __class__ = property(lambda self: bytes if self.bytes_like else int)

    def __init__(self, bytes_like: bool):
        self.bytes_like = bytes_like


class Unnamed:
    """A class whose qualified name has no UTF-8 text."""


Unnamed.__qualname__ = "Unnamed\ud800"


def unnamed() -> Unnamed:
    return Unnamed()  # built through a function: strategies are labelled by their callables' names


index_errors = st.sampled_from([
    lambda: TypeError("not an index"), type_error_with_cause, lambda: TypeError(Unprintable("x")),
    lambda: TypeError(), lambda: SpecialTypeError("special"), lambda: ValueError("bad"),
    lambda: OverflowError("huge"), lambda: KeyError("k"), lambda: ZeroDivisionError(), lambda: RuntimeError("boom"),
    lambda: KeyboardInterrupt(), lambda: TypeError(Interrupting("x")),
]).map(lambda make: make())

BOUNDARIES = [0, 1, 2**32 - 1, 2**32, 2**63, 2**64 - 1, 2**64, 2**100, -1, -(2**64)]
integers = st.one_of(st.sampled_from(BOUNDARIES), st.integers())

values = st.one_of(
    st.binary(max_size=8),
    st.binary(max_size=8).map(RawBytes),
    bases,
    st.binary(max_size=4).map(bytearray),
    st.binary(max_size=4).map(memoryview),
    st.text(max_size=4),
    st.none(),
    st.booleans(),
    integers,
    integers.filter(lambda n: n >= 0).map(SmallInt),
    st.floats(),
    st.lists(st.integers(0, 3), max_size=2),
    st.builds(object),
    integers.map(Index),
    st.sampled_from(["3", 3.0, None, True, b"1"]).map(Index),
    index_errors.map(Index),
    st.just("x").map(Unprintable),
    st.builds(RaisingEq),
    st.builds(Outer.Inner),
    st.builds(unnamed),
    st.builds(Impostor, st.booleans()),
    st.sampled_from([int, bytes, Index, TypeError("as a value")]),
)


class Twin(str):
    """Equal in text to a plain str, but a distinct dictionary key; comparing it raises."""

    def __hash__(self):
        return str.__hash__(self) ^ 1

    def __eq__(self, other):
        raise RuntimeError("no comparison")

    __ne__ = __eq__


class Disguised(str):
    """Matched by its text, shown by its __str__."""

    def __str__(self):
        return "disguised"


plain_names = st.one_of(
    st.sampled_from(ALL_PARAMETERS),
    st.sampled_from(["foo", "", "Report_Bytes", "_CHALLENGE", "report_bytes ", "ключ", "\ud800", "a\udfffb"]),
    st.text(max_size=3),
)
keyword_names = st.one_of(
    plain_names,
    plain_names.map(Twin),
    plain_names.map(Disguised),
    plain_names.map(Unprintable),
    plain_names.map(Interrupting),
)


@st.composite
def keyword_lists(draw, max_size=3) -> list:
    """(name, value) pairs whose names are distinct dictionary keys."""
    pairs, keys = [], set()
    for name in draw(st.lists(keyword_names, max_size=max_size)):
        key = (type(name) is Twin, str.__str__(name))  # every other str subclass hashes as its text
        if key not in keys:
            keys.add(key)
            pairs.append((name, draw(values)))
    return pairs


functions = st.sampled_from(list(NAMES))
# Filtering by the model's own example counts would be slow; these are cheap calls.
CALL_SETTINGS = settings(max_examples=500, suppress_health_check=[HealthCheck.too_slow])


# Tried for both integer parameters on every run: accepted values, 2**32 and
# more, the interpreter's own overflows, values without an integer meaning,
# an int subclass (read without its __index__), and each way __index__ can fail.
U32_EDGES = [
    None, 0, 1, True, False, 2**32 - 1, SmallInt(5), Index(3), Index(2**32 - 1),
    2**32, 2**63, 2**64 - 1, SmallInt(2**32), Index(2**32), Index(2**64 - 1),
    -1, -(2**40), 2**64, 2**100, Index(-1), Index(2**64),
    "1", 1.0, 1.5, b"1", [1], object(), Index("3"), Index(3.0),
    Index(type_error_with_cause()), Index(SpecialTypeError("sub")), Index(ValueError("bad")),
    Index(OverflowError("big")), Index(ZeroDivisionError()), UnprintableTypeError(),
    Index(TypeError, Interrupting("x")),
]


def with_each_u32_edge(test):
    for position in (1, 2):
        for value in U32_EDGES:
            test = example(position=position, value=value)(test)
    return test


class TestCallShapes:
    @CALL_SETTINGS
    @given(function=functions, args=st.lists(values, max_size=4).map(tuple), keywords=keyword_lists())
    def test_any_call(self, function, args, keywords):
        check_call(function, args, keywords)

    @CALL_SETTINGS
    @given(function=functions, data=st.data())
    def test_well_formed_shape_with_any_values(self, function, data):
        # Each parameter given at most once, by position up to the first one
        # given by keyword: only the conversions and the function's work remain.
        parameters = ref.PARAMETERS[NAMES[function]]
        count = data.draw(st.integers(1, len(parameters)))
        chosen = [data.draw(st.one_of(bases, st.binary(max_size=4), values))]
        chosen += [data.draw(values) for _ in parameters[1:count]]
        split = data.draw(st.integers(0, count))
        keywords = list(zip(parameters[split:count], chosen[split:]))
        check_call(function, tuple(chosen[:split]), data.draw(st.permutations(keywords)))

    @with_each_u32_edge
    @settings(max_examples=200)
    @given(position=st.sampled_from([1, 2]), value=values)
    def test_unsigned_conversion(self, position, value):
        name = ref.PARAMETERS["get_report"][position]
        check_call(get_report, (b"",), [(name, value)])
        check_call(get_report, (b"", None, value)[:position + 1], [])
