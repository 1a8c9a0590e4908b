"""Every interpreter call of the module failing, one at a time, on every path.

Runs against a fault-injection build of the module (see fault_harness.py),
named by QUORVEL_FAULT_BUILD: the directory that holds its quorvel.abi3.so,
e.g. build-fault/src/module of a tree configured with
-DQUORVEL_FAULT_INJECTION=ON. Without it the file is skipped, except in CI,
where a missing fault build is an error.

The fault build counts the fault points a call passes; each of them is
failed in turn, in each mode. Each path of call_paths.py lists the kinds of
point it meets, with how the call must end when a point of that kind fails:

- an object that a body creates (PyDict_New, PyBytes_FromStringAndSize,
  PyUnicode_FromStringAndSize, PyLong_FromLong, PyList_New, PyTuple_New):
  PanicException "Python API call failed", after the pending MemoryError
  (if any) has been printed;
- an insertion or any other call whose error is fetched: that error, or
  SystemError when the call set none;
- the exception's own argument while the error is being raised: MemoryError;
- a failure that the message absorbs: the usual exception with other text;
- in mode 2 (the module's own C++ allocation failing) always MemoryError.

Every point must end as one of its path's kinds says, and every kind must be
met; neither the number of points nor their order is fixed, except that a
successful parse_report makes each object of its result once and inserts
each key once, and a first import makes three objects. After every failure
the next call must work, and repeated failures must leave nothing behind:
neither interpreter blocks, nor C heap, nor references to the arguments.
"""

from __future__ import annotations

import collections
import concurrent.futures
import dataclasses
import functools
import json
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest

import fault_harness as fh
import quorvel
from call_paths import FETCHED, GENOA_V3, NEW, PATHS, CallPath, Ending
from fault_harness import API_PANIC, NONE_SET, OK, PANIC, Outcome
from hostile_objects import Unprintable
from reference import GET_REPORT_UNAVAILABLE

FAULT_BUILD = os.environ.get("QUORVEL_FAULT_BUILD", "")
if not FAULT_BUILD:
    _reason = ("QUORVEL_FAULT_BUILD is not set: build the module with -DQUORVEL_FAULT_INJECTION=ON "
               "and set it to the directory holding that quorvel.abi3.so")
    if os.environ.get("CI") == "true":
        pytest.fail(f"{_reason} (required in CI)", pytrace=False)
    pytest.skip(_reason, allow_module_level=True)

LIBRARY = Path(FAULT_BUILD) / fh.LIBRARY_NAME
HARNESS = Path(fh.__file__)

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\nLike SystemExit, this exception is derived"
    " from BaseException so that\nit will typically propagate all the way through the stack and cause the\nPython"
    " interpreter to exit.\n"
)
RESUMING = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
STACK_BELOW = "Python stack trace below:\n"


# --- How a call ends when one of its fault points fails ------------------------


def result_census(result: dict) -> dict[str, int]:
    """The points that building `result` passes, by kind: the dictionary and
    every key and value in it is a new object (None is not made, and nothing
    is cached between calls), and every key is inserted once."""
    new, inserted = 1, 0
    for value in result.values():
        new, inserted = new + 1, inserted + 1
        if type(value) is dict:
            nested = result_census(value)
            new, inserted = new + nested[NEW.label], inserted + nested[FETCHED.label]
        elif value is not None:
            new += 1
    return {NEW.label: new, FETCHED.label: inserted}


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
    """The fault build, with the PanicException of a failed object creation
    in parse_report."""
    module, switch = fh.load(library.parent)
    call = functools.partial(module.parse_report, GENOA_V3)
    points, _ = fh.count_points(switch, call)
    nth = next((nth for nth in range(1, points + 1) if fh.faulted(switch, call, nth, 1).outcome == API_PANIC), 0)
    if not nth:
        pytest.fail("no fault point of parse_report ended in PanicException")
    switch.arm(nth, 1)
    try:
        call()
    except BaseException as e:  # noqa: BLE001
        panic = e
    finally:
        switch.disarm()
    return FaultBuild(module, switch, type(panic), panic)


@dataclasses.dataclass
class BoundPath:
    case: CallPath
    args: tuple
    call: Callable[[], object]
    installed: Callable[[], object]  # the same call of the installed module


def bind(build: FaultBuild, case: CallPath) -> BoundPath:
    args = case.args(build.panic_class) if callable(case.args) else case.args
    function, installed = getattr(build.module, case.function), getattr(quorvel, case.function)
    return BoundPath(case, args, lambda: function(*args, **case.kwargs), lambda: installed(*args, **case.kwargs))


def matches(build: FaultBuild, case: CallPath, ending: Ending, mode: int, seen: fh.Observation) -> bool:
    expected = ending.expected(mode)
    if seen.outcome != expected or seen.stderr:
        return False
    if seen.exception_class is not None:
        if seen.exception_args != ((expected.message,) if expected.message else ()):
            return False
        if expected.kind == PANIC and seen.exception_class is not build.panic_class:
            return False  # a second PanicException class
    return (tuple(seen.unraisable) == ending.expected_unraisable(mode, case.normal_unraisable)
            and tuple(seen.printed) == ending.expected_printed(mode))


def describe(seen: fh.Observation) -> str:
    return f"{seen.outcome}, args {seen.exception_args!r}, unraisable {seen.unraisable}, printed {seen.printed}" + (
        f", wrote {seen.stderr!r}" if seen.stderr else "")


# --- Function calls ---------------------------------------------------------------


class TestFunctionFaults:
    @pytest.mark.parametrize("mode", fh.MODES, ids=fh.MODE_NAMES.get)
    @pytest.mark.parametrize("case", PATHS, ids=lambda p: p.name)
    def test_each_point_failing(self, build, case, mode):
        """Every point the call passes ends it as one of its kinds says, each
        kind is met, and the next call ends as with no fault."""
        bound = bind(build, case)
        points, normal = fh.count_points(build.switch, bound.call)
        expected = fh.observe(bound.installed).outcome if case.normal is None else case.normal
        assert (normal.outcome, tuple(normal.unraisable), tuple(normal.printed)) == (
            expected, case.normal_unraisable, case.normal_printed)
        problems, met = [], collections.Counter()
        for nth in range(1, points + 1):
            seen = fh.faulted(build.switch, bound.call, nth, mode)
            kinds = [ending for ending in case.endings if matches(build, case, ending, mode, seen)]
            met.update(ending.label for ending in kinds)
            if not kinds:
                problems.append(f"point {nth} of {points}: ended as {describe(seen)}")
            after = fh.observe(bound.call)
            if after.outcome != normal.outcome or after.result != normal.result:
                problems.append(f"point {nth}: the next call ended as {after.outcome}")
        assert problems == []
        assert build.switch.local_refs_across_caller_code() == 0
        assert [label for label in dict.fromkeys(e.label for e in case.endings) if not met[label]] == []
        if normal.outcome == OK and mode < 2:
            assert dict(met) == result_census(normal.result)

    @pytest.mark.parametrize("case", [p for p in PATHS if p.endings], ids=lambda p: p.name)
    def test_failures_release_everything(self, build, case):
        bound = bind(build, case)
        points, _ = fh.count_points(build.switch, bound.call)

        def one_round():
            for mode in fh.MODES:
                for nth in range(1, points + 1):
                    fh.faulted(build.switch, bound.call, nth, mode)
                    fh.observe(bound.call)

        # A thousand failing calls or more per window.
        rounds = max(3, 1000 // (3 * points))
        tracked = fh.tracked(bound.args, case.kwargs)
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

# The module object, its functions and their names, __all__ and the
# attributes: fetched errors; the interned names and a new __all__ list: new
# objects; and two failures of their own.
INIT_ENDINGS = [
    FETCHED,
    NEW,
    Ending("PanicException class", (Outcome(PANIC, f"Failed to initialize new exception type.: {PYERR_MEMORY}"),
                                    Outcome(PANIC, f"Failed to initialize new exception type.: {PYERR_NONE_SET}"))),
    Ending("append to __all__", (append_failure(PYERR_MEMORY), append_failure(PYERR_NONE_SET))),
]


def init_ending(seen: dict, mode: int) -> list[str]:
    """The kinds of point that a child's failed import fits."""
    kinds = []
    for ending in INIT_ENDINGS:
        expected = ending.expected(mode)
        if (seen["outcome"] == [expected.kind, expected.message] and not seen["stderr"]
                and tuple(seen["printed"]) == ending.expected_printed(mode)
                and (expected.kind != PANIC or seen["bases"] == [PANIC, "BaseException", "object"])):
            kinds.append(ending.label)
    return kinds


def run_child(*args) -> dict:
    done = subprocess.run([sys.executable, str(HARNESS), *map(str, args)], capture_output=True, text=True,
                          timeout=300, check=False)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


WORKING = {
    "all": ["get_report", "parse_report", "get_tdx_quote"],
    "public": ["get_report", "get_tdx_quote", "parse_report"],
    "cpuid": {"fam_id": 25, "mod_id": 1, "step": 0},
    "unavailable": GET_REPORT_UNAVAILABLE,
    "init_again_same": True,
    "in_sys_modules": True,
}


@pytest.fixture(scope="module")
def init_points(library) -> tuple[int, int]:
    """The points of a process's first import, and of the imports after one
    that failed at its last point (which made everything made once)."""
    clean = run_child("init", library, 0, 0)
    assert clean["outcome"] == ["ok", None]
    assert clean["working"] == {"file": os.path.realpath(library), **WORKING}
    first = clean["points"]
    return first, run_child("init", library, first, 0)["again_points"]


class TestInitFaults:
    @pytest.mark.parametrize("mode", fh.MODES, ids=fh.MODE_NAMES.get)
    def test_each_point_failing_then_import_again(self, library, init_points, mode):
        numbers = range(1, init_points[0] + 1)
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            children = list(pool.map(lambda nth: run_child("init", library, nth, mode), numbers))
        problems, met = [], collections.Counter()
        for nth, seen in zip(numbers, children):
            kinds = init_ending(seen, mode)
            met.update(kinds)
            if not kinds:
                problems.append(f"point {nth}: import ended as {seen['outcome']}, printed {seen['printed']}, "
                                f"wrote {seen['stderr']!r}")
            if seen["again"] != ["ok", None] or seen["working"] != {"file": os.path.realpath(library), **WORKING}:
                problems.append(f"point {nth}: the next import gave {seen['again']}, {seen.get('working')}")
        assert problems == []
        assert set(met) == {ending.label for ending in INIT_ENDINGS}
        if mode < 2:
            # The new objects of a first import: the interned names
            # '__name__' and '__all__', and the __all__ list.
            assert met[NEW.label] == 3

    def test_failed_initialisations_release_everything(self, library, init_points):
        first, later = init_points
        seen = run_child("init-rounds", library, first, later, 16)
        for mode in fh.MODES:
            outcomes = seen["outcomes"][fh.MODE_NAMES[mode]]
            allowed = {str(ending.expected(mode)) for ending in INIT_ENDINGS}
            assert len(outcomes) == later and set(outcomes) <= allowed
        assert seen["first"] in {str(ending.expected(0)) for ending in INIT_ENDINGS}
        assert seen["leaks"] == []
        assert seen["points"] == later
        assert seen["last"] == "ok"
        assert seen["working"] == {"file": os.path.realpath(library), **WORKING}
