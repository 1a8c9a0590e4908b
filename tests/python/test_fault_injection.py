"""Every interpreter call of the module failing, one at a time, on every path.

Runs against a fault-injection build of the module (see fault_harness.py),
named by QUORVEL_FAULT_BUILD: the directory that holds its quorvel.abi3.so,
e.g. build-fault/src/module of a tree configured with
-DQUORVEL_FAULT_INJECTION=ON. Without it the file is skipped, except in CI,
where a missing fault build is an error.

For each path through a function (and through the module's initialisation)
the table below names every fault point the path passes, in order, with the
outcome the call must end with when that point fails in each mode:

- an object that a body creates (PyDict_New, PyBytes_FromStringAndSize,
  PyUnicode_FromStringAndSize, PyLong_FromLong, PyList_New, PyTuple_New):
  PanicException "Python API call failed", after the pending MemoryError
  (if any) has been printed;
- an insertion or any other call whose error is fetched: that error, or
  SystemError when the call set none;
- the exception's own argument while the error is being raised: MemoryError;
- in mode 2 (the module's own C++ allocation failing) always MemoryError.

After every failure the next call must work, and repeated failures must
leave nothing behind: neither interpreter blocks, nor C heap, nor
references to the arguments.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import json
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest

import fault_harness as fh
from hostile_objects import Index, Unprintable, UnprintableTypeError
from fault_harness import API_PANIC, MEMORY_ERROR, NONE_SET, OK, PANIC, SYSTEM_ERROR, Outcome

FAULT_BUILD = os.environ.get("QUORVEL_FAULT_BUILD", "")
if not FAULT_BUILD:
    _reason = ("QUORVEL_FAULT_BUILD is not set: build the module with -DQUORVEL_FAULT_INJECTION=ON "
               "and set it to the directory holding that quorvel.abi3.so")
    if os.environ.get("CI") == "true":
        pytest.fail(f"{_reason} (required in CI)", pytrace=False)
    pytest.skip(_reason, allow_module_level=True)

LIBRARY = Path(FAULT_BUILD) / fh.LIBRARY_NAME
HARNESS = Path(fh.__file__)
REPORTS = Path(__file__).parent.parent / "data" / "reports"

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\nLike SystemExit, this exception is derived"
    " from BaseException so that\nit will typically propagate all the way through the stack and cause the\nPython"
    " interpreter to exit.\n"
)
RESUMING = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
STACK_BELOW = "Python stack trace below:\n"
NO_SEV_GUEST = "get_report is only available on Linux in an SEV-SNP guest (requires /dev/sev-guest)."
NO_TDX = "TDX device failure: TDX quote generation not available (built without libtdx-attest-dev or not on Linux)."
OUT_OF_RANGE = "out of range integral type conversion attempted"
DECODE = "AttestationReport::from_bytes failed: "


# --- What each fault point does to the call ----------------------------------


@dataclasses.dataclass(frozen=True)
class Point:
    """One fault point on a path: the outcomes when it fails in modes 0 and 1
    (mode 2 always ends in MemoryError)."""

    label: str
    outcomes: tuple[Outcome, Outcome]
    # The exception types the unraisable hook receives in modes 0 and 1 (mode
    # 2 as mode 1); None: the same as when nothing fails.
    unraisable: tuple[tuple[str, ...], tuple[str, ...]] | None = None
    # Mode 0 prints the pending MemoryError (PyErr_Print) before the call ends.
    prints: bool = False
    # The exception types printed in modes 0, 1 and 2, when not as `prints` says.
    printed: tuple[tuple[str, ...], tuple[str, ...], tuple[str, ...]] | None = None
    # Passed only by the first initialisation in a process.
    once: bool = False

    def expected(self, mode: int) -> Outcome:
        return MEMORY_ERROR if mode == 2 else self.outcomes[mode]

    def expected_printed(self, mode: int) -> tuple[str, ...]:
        if self.printed is not None:
            return self.printed[mode]
        return ("MemoryError",) if mode == 0 and self.prints else ()


def new(label: str, **kw) -> Point:
    """An object the body creates: an internal failure."""
    return Point(label, (API_PANIC, API_PANIC), prints=True, **kw)


def fetched(label: str, **kw) -> Point:
    """A call whose failure is fetched and passed on unchanged."""
    return Point(label, (MEMORY_ERROR, SYSTEM_ERROR), **kw)


def raising(label: str) -> Point:
    """The exception's argument, made while the entry point raises it."""
    return Point(label, (MEMORY_ERROR, MEMORY_ERROR), prints=True)


def text(label: str, outcome: Outcome, unraisable=None) -> Point:
    """A failure the message absorbs: the call ends as usual, with other text."""
    return Point(label, (outcome, outcome), unraisable)


def str_of(label: str, outcome: Outcome) -> Point:
    """str() of a printable object failing: mode 0's MemoryError goes to the
    unraisable hook and a placeholder takes the text's place."""
    return text(label, outcome, (("MemoryError",), ()))


def type_mismatch_points(prefix: str) -> list[Point]:
    """extract_bytes rejecting an object: the TypeError is made, then wrapped."""
    return [
        text("qualified type name", Outcome("TypeError",
             f"{prefix}'<failed to extract type name>' object cannot be converted to 'PyBytes'")),
        new("type-mismatch message"),
        str_of("str() of the TypeError", Outcome("TypeError", f"{prefix}<unprintable TypeError object>")),
        new("wrapped message"),
    ]


def unexpected_keyword_points(head: str) -> list[Point]:
    return [str_of("str() of the keyword", Outcome("TypeError", f"{head}'<unprintable str object>'")),
            raising("message")]


def success_points(cpuid: bool) -> list[Point]:
    """parse_report building its result: value, key and insertion per item."""
    def item(key: str, value: bool = True) -> list[Point]:
        return [new(f"{key} value")] * value + [new(f"{key} key"), fetched(f"{key} insertion")]

    points = [new("result dict")]
    for key in ("chip_id", "report_data", "signed_bytes", "sig_r", "sig_s"):
        points += item(key)
    points.append(new("reported_tcb dict"))
    for key in ("bootloader", "tee", "snp", "microcode"):
        points += item(key)
    points += item("reported_tcb", value=False)
    points.append(new("cpuid dict"))
    for key in ("fam_id", "mod_id", "step"):
        points += item(key, value=cpuid)  # None needs no object
    points += item("cpuid", value=False)
    return points


# --- The paths ----------------------------------------------------------------


class NoIntegerHere:
    def __index__(self):
        cause = KeyError("k")
        raise TypeError("no integer here") from cause


class SpecialTypeError(TypeError):
    pass


class Outer:
    class Inner:
        """Instances are rejected as bytes; the type is a heap type, so its
        reference count shows whether the module keeps it."""


def report(name: str) -> bytes:
    return (REPORTS / f"{name}.bin").read_bytes()


def patched(data: bytes, offset: int, value: bytes) -> bytes:
    return data[:offset] + value + data[offset + len(value):]


GENOA_V3 = report("genoa-v3-azure")


@dataclasses.dataclass(frozen=True)
class CallPath:
    name: str
    function: str
    make_args: Callable[[type], tuple]  # given the PanicException class
    kwargs: dict
    normal: Outcome
    points: list[Point]
    normal_unraisable: tuple[str, ...] = ()
    normal_printed: tuple[str, ...] = ()


def path(name, function, args, normal, points, *, kwargs=None, make_args=None, **kw) -> CallPath:
    return CallPath(name, function, make_args or (lambda panic_class: args), kwargs or {}, normal, points, **kw)


def decode_failure(name: str, data: bytes, message: str) -> CallPath:
    return path(f"parse_report {name}", "parse_report", (data,), Outcome("ValueError", DECODE + message),
                [raising("message")])


GET_REPORT_UNEXPECTED = "get_report() got an unexpected keyword argument "
PARSE_REPORT_MISMATCH = "argument 'report_bytes': "
UNPRINTABLE_TYPE_ERROR = Outcome("TypeError", "argument '_msg_ver': <unprintable TypeError object>")

PATHS = [
    # parse_report: success on each kind of report.
    path("parse_report v2 Genoa", "parse_report", (report("genoa-v2-oak"),), OK, success_points(cpuid=False)),
    path("parse_report v2 Milan", "parse_report", (report("milan-v2-gosevguest"),), OK, success_points(cpuid=False)),
    path("parse_report v3 Milan", "parse_report", (report("milan-v3-azure"),), OK, success_points(cpuid=True)),
    path("parse_report v3 Genoa", "parse_report", (GENOA_V3,), OK, success_points(cpuid=True)),
    path("parse_report v5 Genoa", "parse_report", (report("genoa-v5-oak"),), OK, success_points(cpuid=True)),
    path("parse_report v5 Turin", "parse_report", (report("turin-v5-oak"),), OK, success_points(cpuid=True)),
    path("parse_report by keyword", "parse_report", (), OK, success_points(cpuid=True),
         kwargs={"report_bytes": GENOA_V3}),
    # parse_report: every codec error.
    decode_failure("too short", GENOA_V3[:-1],
                   'Custom { kind: InvalidData, error: "expected 1184 bytes, got 1183" }'),
    decode_failure("empty", b"", 'Custom { kind: InvalidData, error: "expected 1184 bytes, got 0" }'),
    decode_failure("version 1", patched(GENOA_V3, 0, b"\x01"), "Kind(Unsupported)"),
    decode_failure("masked chip id", patched(report("genoa-v2-oak"), 0x1A0, bytes(64)),
                   "Custom { kind: Other, error: MaskedChipId }"),
    decode_failure("unknown family", patched(GENOA_V3, 0x188, b"\x17"),
                   'Custom { kind: InvalidData, error: "processor is not of know SEV-SNP generation." }'),
    decode_failure("unknown model", patched(GENOA_V3, 0x189, b"\x20"),
                   'Custom { kind: InvalidData, error: "processor is not of know SEV-SNP model." }'),
    decode_failure("reserved byte set", patched(GENOA_V3, 0x04C, b"\x01"),
                   'Custom { kind: InvalidData, error: "Skipped bytes were expected to be zeroed." }'),
    # parse_report: argument errors.
    path("parse_report bytearray", "parse_report", (bytearray(GENOA_V3),),
         Outcome("TypeError", PARSE_REPORT_MISMATCH + "'bytearray' object cannot be converted to 'PyBytes'"),
         type_mismatch_points(PARSE_REPORT_MISMATCH)),
    path("parse_report missing", "parse_report", (),
         Outcome("TypeError", "parse_report() missing 1 required positional argument: 'report_bytes'"),
         [raising("message")]),
    path("parse_report too many", "parse_report", (GENOA_V3, GENOA_V3),
         Outcome("TypeError", "parse_report() takes 1 positional arguments but 2 were given"), [raising("message")]),
    path("parse_report repeated", "parse_report", (GENOA_V3,),
         Outcome("TypeError", "parse_report() got multiple values for argument 'report_bytes'"),
         [raising("message")], kwargs={"report_bytes": GENOA_V3}),
    path("parse_report surrogate keyword", "parse_report", (), Outcome(
        "TypeError", "parse_report() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        [str_of("str() of the keyword",
                Outcome("TypeError", "parse_report() got an unexpected keyword argument '<unprintable str object>'")),
         new("surrogatepass encoding"), raising("message")],
        kwargs={"\ud800": GENOA_V3}),
    # get_report: well-formed calls end in NotImplementedError.
    path("get_report valid", "get_report", (b"",), Outcome("NotImplementedError", NO_SEV_GUEST),
         [raising("message")]),
    path("get_report valid ints", "get_report", (b"x" * 64, 0, 4294967295),
         Outcome("NotImplementedError", NO_SEV_GUEST), [raising("message")]),
    path("get_report valid __index__", "get_report", (b"", Index(3), Index(2)),
         Outcome("NotImplementedError", NO_SEV_GUEST),
         [fetched("_msg_ver __index__"), fetched("_vmpl __index__"), raising("message")]),
    # get_report: each kind of argument error.
    path("get_report missing", "get_report", (),
         Outcome("TypeError", "get_report() missing 1 required positional argument: '_challenge'"),
         [raising("message")], kwargs={"_vmpl": 1}),
    path("get_report too many", "get_report", (b"", 1, 2, 3),
         Outcome("TypeError", "get_report() takes from 1 to 3 positional arguments but 4 were given"),
         [raising("message")]),
    path("get_report unexpected keyword", "get_report", (b"",),
         Outcome("TypeError", GET_REPORT_UNEXPECTED + "'foo'"), unexpected_keyword_points(GET_REPORT_UNEXPECTED),
         kwargs={"foo": 1}),
    path("get_report repeated", "get_report", (b"", 1),
         Outcome("TypeError", "get_report() got multiple values for argument '_msg_ver'"), [raising("message")],
         kwargs={"_msg_ver": 1}),
    path("get_report str challenge", "get_report", ("text",),
         Outcome("TypeError", "argument '_challenge': 'str' object cannot be converted to 'PyBytes'"),
         type_mismatch_points("argument '_challenge': ")),
    path("get_report Python class challenge", "get_report", (Outer.Inner(),),
         Outcome("TypeError", "argument '_challenge': 'Outer.Inner' object cannot be converted to 'PyBytes'"),
         type_mismatch_points("argument '_challenge': ")),
    path("get_report str _msg_ver", "get_report", (b"", "1"),
         Outcome("TypeError", "argument '_msg_ver': 'str' object cannot be interpreted as an integer"),
         [fetched("_msg_ver __index__"), str_of("str() of the TypeError", UNPRINTABLE_TYPE_ERROR),
          new("wrapped message")]),
    path("get_report _msg_ver 2**32", "get_report", (b"", 2**32), Outcome("OverflowError", OUT_OF_RANGE),
         [new("overflow message")]),
    path("get_report _vmpl __index__ 2**32", "get_report", (b"", None, Index(2**32)),
         Outcome("OverflowError", OUT_OF_RANGE), [fetched("_vmpl __index__"), new("overflow message")]),
    path("get_report _msg_ver negative", "get_report", (b"", -1),
         Outcome("OverflowError", "can't convert negative int to unsigned"), []),
    path("get_report __index__ ValueError", "get_report", (b"", Index(ValueError, "bad value")),
         Outcome("ValueError", "bad value"), [fetched("_msg_ver __index__")]),
    path("get_report __index__ TypeError subclass", "get_report", (b"", None, Index(SpecialTypeError, "special")),
         Outcome(fh.exception_name(SpecialTypeError), "special"), [fetched("_vmpl __index__")]),
    path("get_report __index__ TypeError with cause", "get_report", (b"", None, NoIntegerHere()),
         Outcome("TypeError", "argument '_vmpl': no integer here"),
         [fetched("_vmpl __index__"),
          str_of("str() of the TypeError", Outcome("TypeError", "argument '_vmpl': <unprintable TypeError object>")),
          new("wrapped message")]),
    # The unraisable path: str() of the TypeError to wrap fails.
    path("get_report unprintable TypeError", "get_report", (b"", UnprintableTypeError()), UNPRINTABLE_TYPE_ERROR,
         [fetched("_msg_ver __index__", unraisable=((), ())),
          text("str() of the TypeError", UNPRINTABLE_TYPE_ERROR, (("MemoryError",), ())),
          text("type name", Outcome("TypeError", "argument '_msg_ver': <unprintable object>")),
          text("str() of the type name",
               Outcome("TypeError", "argument '_msg_ver': <unprintable <unprintable str object> object>"),
               (("RuntimeError", "MemoryError"), ("RuntimeError",))),
          new("wrapped message")],
         normal_unraisable=("RuntimeError",)),
    # A PanicException coming back through __index__ is resumed: printed, and
    # raised anew.
    path("get_report PanicException fed back", "get_report", None, Outcome(PANIC, "resumed"),
         [dataclasses.replace(fetched("_msg_ver __index__"), printed=((), (), ())),
          dataclasses.replace(text("str() of the PanicException", Outcome(PANIC, "Unwrapped panic from Python code")),
                              printed=((PANIC,), (PANIC,), ())),
          dataclasses.replace(raising("PanicException message"), printed=((PANIC, "MemoryError"), (PANIC,), (PANIC,))),
          dataclasses.replace(raising("PanicException arguments"),
                              printed=((PANIC, "MemoryError"), (PANIC,), (PANIC,)))],
         make_args=lambda panic_class: (b"", Index(panic_class, "resumed")), normal_printed=(PANIC,)),
    # get_tdx_quote.
    path("get_tdx_quote valid", "get_tdx_quote", (bytes(64),), Outcome("ValueError", NO_TDX), [raising("message")]),
    path("get_tdx_quote by keyword", "get_tdx_quote", (), Outcome("ValueError", NO_TDX), [raising("message")],
         kwargs={"_report_data": b""}),
    path("get_tdx_quote bytearray", "get_tdx_quote", (bytearray(64),),
         Outcome("TypeError", "argument '_report_data': 'bytearray' object cannot be converted to 'PyBytes'"),
         type_mismatch_points("argument '_report_data': ")),
    path("get_tdx_quote missing", "get_tdx_quote", (),
         Outcome("TypeError", "get_tdx_quote() missing 1 required positional argument: '_report_data'"),
         [raising("message")]),
    path("get_tdx_quote too many", "get_tdx_quote", (b"", b""),
         Outcome("TypeError", "get_tdx_quote() takes 1 positional arguments but 2 were given"),
         [raising("message")]),
    path("get_tdx_quote repeated", "get_tdx_quote", (b"",),
         Outcome("TypeError", "get_tdx_quote() got multiple values for argument '_report_data'"),
         [raising("message")], kwargs={"_report_data": b""}),
    path("get_tdx_quote unprintable keyword", "get_tdx_quote", (), Outcome(
        "TypeError", "get_tdx_quote() got an unexpected keyword argument '<unprintable Unprintable object>'"),
        [text("str() of the keyword", Outcome(
            "TypeError", "get_tdx_quote() got an unexpected keyword argument '<unprintable Unprintable object>'"),
            (("MemoryError",), ())),
         text("type name", Outcome("TypeError", "get_tdx_quote() got an unexpected keyword argument "
                                                "'<unprintable object>'")),
         text("str() of the type name", Outcome(
             "TypeError",
             "get_tdx_quote() got an unexpected keyword argument '<unprintable <unprintable str object> object>'"),
             (("RuntimeError", "MemoryError"), ("RuntimeError",))),
         raising("message")],
        kwargs={Unprintable("x"): b""}, normal_unraisable=("RuntimeError",)),
]


# --- Fixtures -------------------------------------------------------------------


@dataclasses.dataclass
class FaultBuild:
    module: object
    switch: fh.FaultSwitch
    panic_class: type
    panic: BaseException  # one caught from the module


@pytest.fixture(scope="module")
def library() -> Path:
    if not LIBRARY.is_file():
        pytest.fail(f"QUORVEL_FAULT_BUILD is set but {LIBRARY} does not exist", pytrace=False)
    return LIBRARY


@pytest.fixture(scope="module")
def build(library) -> FaultBuild:
    module, switch = fh.load(library.parent)
    switch.arm(1, 1)  # the result dict of parse_report: an internal failure
    try:
        module.parse_report(GENOA_V3)
    except BaseException as e:  # noqa: BLE001
        panic = e
    else:
        pytest.fail("an armed fault point did not fail")
    finally:
        switch.disarm()
    return FaultBuild(module, switch, type(panic), panic)


@dataclasses.dataclass
class BoundPath:
    spec: CallPath
    args: tuple
    call: Callable[[], object]

    def tracked(self) -> list[object]:
        """The arguments, their types and what they hold: the module must
        leave the reference counts of all of them as it found them."""
        objects = [*self.args, *self.spec.kwargs, *self.spec.kwargs.values()]
        for argument in list(objects):
            objects.append(type(argument))
            objects.extend(getattr(argument, "__dict__", {}).values())
        return objects


def bind(build: FaultBuild, spec: CallPath) -> BoundPath:
    args = spec.make_args(build.panic_class)
    function = getattr(build.module, spec.function)
    return BoundPath(spec, args, lambda: function(*args, **spec.kwargs))


def check_point(build: FaultBuild, bound: BoundPath, nth: int, mode: int, reference) -> list[str]:
    """Fails the nth point in `mode`, then calls again with no fault; returns
    what went wrong, if anything."""
    spec, point = bound.spec, bound.spec.points[nth - 1]
    where = f"{spec.name}: point {nth} ({point.label}), {fh.MODE_NAMES[mode]}"
    seen = fh.faulted(build.switch, bound.call, nth, mode)
    problems = []
    expected = point.expected(mode)
    if seen.outcome != expected:
        problems.append(f"{where}: ended as {seen.outcome}, expected {expected}")
    elif seen.exception_class is not None:
        if seen.exception_args != ((expected.message,) if expected.message else ()):
            problems.append(f"{where}: args {seen.exception_args!r}")
        if expected.kind == PANIC and seen.exception_class is not build.panic_class:
            problems.append(f"{where}: a second PanicException class")
    unraisable = point.unraisable[min(mode, 1)] if point.unraisable else spec.normal_unraisable
    if tuple(seen.unraisable) != unraisable:
        problems.append(f"{where}: unraisable hook got {seen.unraisable}, expected {list(unraisable)}")
    if tuple(seen.printed) != point.expected_printed(mode):
        problems.append(f"{where}: printed {seen.printed}, expected {list(point.expected_printed(mode))}")
    if seen.stderr:
        problems.append(f"{where}: wrote {seen.stderr!r}")
    after = fh.observe(bound.call)
    if after.outcome != spec.normal or (spec.normal == OK and after.result != reference):
        problems.append(f"{where}: the next call ended as {after.outcome}")
    return problems


# --- Function calls ---------------------------------------------------------------


class TestFunctionFaults:
    @pytest.mark.parametrize("spec", PATHS, ids=lambda p: p.name)
    def test_path_passes_the_listed_points(self, build, spec):
        bound = bind(build, spec)
        points, seen = fh.count_points(build.switch, bound.call)
        assert seen.outcome == spec.normal
        assert tuple(seen.unraisable) == spec.normal_unraisable
        assert tuple(seen.printed) == spec.normal_printed
        assert points == len(spec.points)

    @pytest.mark.parametrize("mode", fh.MODES, ids=fh.MODE_NAMES.get)
    @pytest.mark.parametrize("spec", PATHS, ids=lambda p: p.name)
    def test_each_point_failing(self, build, spec, mode):
        bound = bind(build, spec)
        reference = fh.observe(bound.call).result
        problems = []
        for nth in range(1, len(spec.points) + 1):
            problems += check_point(build, bound, nth, mode, reference)
        assert problems == []

    @pytest.mark.parametrize("spec", [p for p in PATHS if p.points], ids=lambda p: p.name)
    def test_failures_release_everything(self, build, spec):
        bound = bind(build, spec)

        def one_round():
            for mode in fh.MODES:
                for nth in range(1, len(spec.points) + 1):
                    fh.faulted(build.switch, bound.call, nth, mode)
                    fh.observe(bound.call)

        # A thousand failing calls or more per window.
        rounds = max(3, 1000 // (3 * len(spec.points)))
        tracked = bound.tracked()
        counts = [sys.getrefcount(a) for a in tracked]
        meter = fh.Meter().run(one_round, rounds)
        assert [sys.getrefcount(a) for a in tracked] == counts
        assert meter.problems() == []


# --- PanicException ---------------------------------------------------------------


class TestPanicException:
    def test_class(self, build):
        cls = build.panic_class
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("pyo3_runtime", "PanicException", "PanicException")
        assert cls.__bases__ == (BaseException,)
        assert not issubclass(cls, Exception)
        assert cls.__doc__ == PANIC_DOC and len(PANIC_DOC) == 235
        assert "PanicException" not in vars(build.module)

    def test_one_class_for_every_failure(self, build):
        # Failures in each function body and in raising, by several routes.
        calls = [
            (lambda: build.module.parse_report(GENOA_V3), 19),
            (lambda: build.module.get_report(b"", 2**32), 1),
            (lambda: build.module.get_tdx_quote(bytearray()), 2),
            (lambda: build.module.get_report(b"", Index(build.panic_class, "again")), 2),
        ]
        seen = [fh.faulted(build.switch, call, nth, 0) for call, nth in calls]
        assert [s.exception_class for s in seen] == [build.panic_class] * 4
        assert [s.exception_args for s in seen] == [(fh.API_CALL_FAILED,)] * 3 + [("Unwrapped panic from Python code",)]

    def test_args_and_str(self, build):
        assert build.panic.args == (fh.API_CALL_FAILED,)
        assert str(build.panic) == fh.API_CALL_FAILED

    @pytest.mark.parametrize(
        "make, message",
        [
            (lambda build: build.panic, fh.API_CALL_FAILED),
            (lambda build: build.panic_class("made in Python"), "made in Python"),
            (lambda build: build.panic_class("ключ \u2603"), "ключ \u2603"),
            (lambda build: build.panic_class(Unprintable("x")), "Unwrapped panic from Python code"),
        ],
        ids=["caught", "made", "non-ascii", "unprintable"],
    )
    def test_fed_back_is_resumed(self, build, capfd, make, message):
        panic = make(build)

        class Raises:
            def __index__(self):
                raise panic

        capfd.readouterr()
        with pytest.raises(BaseException) as info:
            build.module.get_report(b"", Raises())
        err = capfd.readouterr().err
        resumed = info.value
        assert type(resumed) is build.panic_class
        assert resumed is not panic
        assert resumed.args == (message,)
        # The two lines, then the interpreter's print of the fetched exception,
        # which leaves nothing in sys.last_exc.
        assert err.index(RESUMING) < err.index(STACK_BELOW)
        printed = err[err.index(STACK_BELOW):]
        assert "Traceback (most recent call last):" in printed and "in __index__" in printed
        assert "pyo3_runtime.PanicException" in printed
        assert not hasattr(sys, "last_exc")


# --- Module initialisation, one fresh process per failure ----------------------


def append_failure(error: str) -> Outcome:
    return Outcome(PANIC, f"could not append __name__ to __all__: {error}")


PYERR_MEMORY = "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }"
PYERR_NONE_SET = f"PyErr {{ type: <class 'SystemError'>, value: SystemError('{NONE_SET}'), traceback: None }}"


def function_points(name: str, first: bool) -> list[Point]:
    points = [fetched(f"{name}: module name"), fetched(f"{name}: function object")]
    if first:
        points.append(new("interned '__name__'", once=True))
    points.append(fetched(f"{name}: __name__"))
    if first:
        points.append(new("interned '__all__'", once=True))
    points.append(fetched(f"{name}: __all__"))
    if first:
        # __all__ is missing: the AttributeError is fetched, which makes the
        # PanicException class, and a new list is set.
        points += [
            Point("PanicException class",
                  (Outcome(PANIC, f"Failed to initialize new exception type.: {PYERR_MEMORY}"),
                   Outcome(PANIC, f"Failed to initialize new exception type.: {PYERR_NONE_SET}")), once=True),
            new("new __all__ list"),
            fetched("set __all__"),
        ]
    points += [
        Point(f"{name}: append to __all__", (append_failure(PYERR_MEMORY), append_failure(PYERR_NONE_SET))),
        fetched(f"{name}: set attribute"),
    ]
    return points


INIT_POINTS = [fetched("module object")] + function_points("get_report", True) + function_points(
    "parse_report", False) + function_points("get_tdx_quote", False)


def run_child(*args) -> dict:
    done = subprocess.run([sys.executable, str(HARNESS), *map(str, args)], capture_output=True, text=True,
                          timeout=300, check=False)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


WORKING = {
    "all": ["get_report", "parse_report", "get_tdx_quote"],
    "public": ["get_report", "get_tdx_quote", "parse_report"],
    "cpuid": {"fam_id": 25, "mod_id": 1, "step": 0},
    "unavailable": NO_SEV_GUEST,
    "init_again_same": True,
    "in_sys_modules": True,
}


class TestInitFaults:
    def test_import_passes_the_listed_points(self, library):
        seen = run_child("init", library, 0, 0)
        assert seen["outcome"] == ["ok", None]
        assert seen["points"] == len(INIT_POINTS)
        assert seen["working"] == {"file": os.path.realpath(library), **WORKING}

    @pytest.mark.parametrize("mode", fh.MODES, ids=fh.MODE_NAMES.get)
    def test_each_point_failing_then_import_again(self, library, mode):
        numbers = range(1, len(INIT_POINTS) + 1)
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            children = list(pool.map(lambda nth: run_child("init", library, nth, mode), numbers))
        problems = []
        for nth, seen in zip(numbers, children):
            point = INIT_POINTS[nth - 1]
            where = f"point {nth} ({point.label}), {fh.MODE_NAMES[mode]}"
            expected = point.expected(mode)
            if seen["outcome"] != [expected.kind, expected.message]:
                problems.append(f"{where}: import ended as {seen['outcome']}, expected {expected}")
            if expected.kind == PANIC and seen["bases"] != [PANIC, "BaseException", "object"]:
                problems.append(f"{where}: PanicException bases {seen['bases']}")
            if tuple(seen["printed"]) != point.expected_printed(mode) or seen["stderr"]:
                problems.append(f"{where}: printed {seen['printed']}, wrote {seen['stderr']!r}")
            if seen["again"] != ["ok", None] or seen["working"] != {"file": os.path.realpath(library), **WORKING}:
                problems.append(f"{where}: the next import gave {seen['again']}, {seen.get('working')}")
        assert problems == []

    def test_failed_initialisations_release_everything(self, library):
        later = [point for point in INIT_POINTS if not point.once]
        seen = run_child("init-rounds", library, len(INIT_POINTS), len(later), 16)
        assert seen["first"] == str(INIT_POINTS[-1].expected(0))
        for mode in fh.MODES:
            assert seen["outcomes"][fh.MODE_NAMES[mode]] == [str(point.expected(mode)) for point in later]
        assert seen["leaks"] == []
        assert seen["points"] == len(later)
        assert seen["last"] == "ok"
        assert seen["working"] == {"file": os.path.realpath(library), **WORKING}
