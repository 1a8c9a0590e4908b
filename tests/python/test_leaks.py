"""Every path of the three functions, repeated many times, leaves nothing behind.

Each path runs in windows of 10,000 calls, after one of warm-up, until a
window grows neither the interpreter's allocated blocks nor the C heap where
the module's own C++ objects live (fault_harness.Meter: a leak grows every
window); the arguments, their types and what they hold keep the reference
counts they started with. Several threads calling at once each get exactly
their own results.

The loops take a few seconds in all; under the sanitizers
(QUORVEL_SANITIZED=1) they would take minutes and are skipped: there the
sanitizers themselves watch every allocation.
"""

from __future__ import annotations

import dataclasses
import os
import sys
import threading
from collections.abc import Callable

import pytest

from quorvel import get_report, get_tdx_quote, parse_report

import report_builder as rb
from fault_harness import Meter, tracked
from hostile_objects import Index, Unprintable, UnprintableTypeError

SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"
long_loop = pytest.mark.skipif(SANITIZED, reason="10,000-call windows are too slow under the sanitizers")

WINDOW = 10_000

genuine = rb.genuine
GENOA_V3 = genuine("genoa-v3-azure")


class Opaque:
    pass


@dataclasses.dataclass(frozen=True)
class Case:
    name: str
    function: Callable
    args: tuple = ()
    kwargs: dict = dataclasses.field(default_factory=dict)
    error: type[BaseException] | None = None  # None: the call succeeds


def case(name, function, *args, error=None, **kwargs) -> Case:
    return Case(name, function, args, kwargs, error)


PATHS = [
    # parse_report succeeding on every kind of report.
    case("v2 Milan", parse_report, genuine("milan-v2-gosevguest")),
    case("v2 Genoa", parse_report, genuine("genoa-v2-oak")),
    case("v2 Turin", parse_report, bytes(rb.build(2, "turin"))),
    case("v3 Milan", parse_report, genuine("milan-v3-azure")),
    case("v3 Genoa", parse_report, GENOA_V3),
    case("v5 Genoa", parse_report, genuine("genoa-v5-oak")),
    case("v5 Turin", parse_report, genuine("turin-v5-oak")),
    case("by keyword", parse_report, report_bytes=GENOA_V3),
    # parse_report failing: argument type, length, every codec error.
    case("bytearray", parse_report, bytearray(GENOA_V3), error=TypeError),
    case("str", parse_report, "text", error=TypeError),
    case("Python object", parse_report, Opaque(), error=TypeError),
    case("1183 bytes", parse_report, GENOA_V3[:-1], error=ValueError),
    case("1185 bytes", parse_report, GENOA_V3 + b"\0", error=ValueError),
    case("empty", parse_report, b"", error=ValueError),
    case("version 1", parse_report, bytes(rb.put_u32(bytearray(GENOA_V3), rb.VERSION, 1)), error=ValueError),
    case("masked chip id", parse_report, bytes(rb.v2_masked()), error=ValueError),
    case("unknown family", parse_report, bytes(rb.minimal(3, 0x17, 0x01)), error=ValueError),
    case("unknown model", parse_report, bytes(rb.minimal(3, 0x19, 0x20)), error=ValueError),
    case("reserved byte set", parse_report, bytes(rb.put(rb.build(5, "genoa"), 0x208, b"\x01")), error=ValueError),
    # parse_report: malformed calls.
    case("parse_report missing", parse_report, error=TypeError),
    case("parse_report too many", parse_report, GENOA_V3, GENOA_V3, error=TypeError),
    case("parse_report repeated", parse_report, GENOA_V3, report_bytes=GENOA_V3, error=TypeError),
    case("parse_report unexpected keyword", parse_report, report=GENOA_V3, error=TypeError),
    case("parse_report surrogate keyword", parse_report, error=TypeError, **{"\ud800": GENOA_V3}),
    # get_report: well-formed calls, then every kind of argument error.
    case("get_report", get_report, b"", error=NotImplementedError),
    case("get_report all arguments", get_report, bytes(64), 0, 4294967295, error=NotImplementedError),
    # Integers past the interpreter's cache: what __index__ returns must be released.
    case("get_report __index__", get_report, b"", Index(123456789), _vmpl=Index(987654321),
         error=NotImplementedError),
    case("get_report str challenge", get_report, "text", error=TypeError),
    case("get_report _msg_ver 2**32", get_report, b"", 2**32, error=OverflowError),
    case("get_report _vmpl __index__ 2**32", get_report, b"", None, Index(2**32), error=OverflowError),
    case("get_report _msg_ver negative", get_report, b"", -1, error=OverflowError),
    case("get_report _msg_ver 2**70", get_report, b"", 2**70, error=OverflowError),
    case("get_report _vmpl str", get_report, b"", 1, "2", error=TypeError),
    case("get_report __index__ TypeError", get_report, b"", Index(TypeError, "no integer"), error=TypeError),
    case("get_report __index__ ValueError", get_report, b"", Index(ValueError, "bad"), error=ValueError),
    case("get_report unprintable TypeError", get_report, b"", UnprintableTypeError(), error=TypeError),
    case("get_report missing", get_report, _vmpl=1, error=TypeError),
    case("get_report too many", get_report, b"", 1, 2, 3, error=TypeError),
    case("get_report repeated", get_report, b"", 1, _msg_ver=1, error=TypeError),
    case("get_report unexpected keyword", get_report, b"", foo=1, error=TypeError),
    case("get_report unprintable keyword", get_report, b"", error=TypeError, **{Unprintable("x"): 1}),
    # get_tdx_quote.
    case("get_tdx_quote", get_tdx_quote, bytes(64), error=ValueError),
    case("get_tdx_quote by keyword", get_tdx_quote, _report_data=b"", error=ValueError),
    case("get_tdx_quote bytearray", get_tdx_quote, bytearray(64), error=TypeError),
    case("get_tdx_quote missing", get_tdx_quote, error=TypeError),
    case("get_tdx_quote too many", get_tdx_quote, b"", b"", error=TypeError),
    case("get_tdx_quote repeated", get_tdx_quote, b"", _report_data=b"", error=TypeError),
    case("get_tdx_quote unexpected keyword", get_tdx_quote, data=b"", error=TypeError),
]


def once(path: Case) -> Callable[[], None]:
    """One call of the path, its expected exception swallowed."""
    function, args, kwargs, error = path.function, path.args, path.kwargs, path.error or ()

    def call() -> None:
        try:
            function(*args, **kwargs)
        except error:
            pass

    return call


@pytest.fixture
def quiet_unraisable():
    """Unprintable objects send their str() failure to the unraisable hook
    on every call: count them rather than print them."""
    seen = [0]

    def hook(args):
        seen[0] += 1

    previous, sys.unraisablehook = sys.unraisablehook, hook
    try:
        yield seen
    finally:
        sys.unraisablehook = previous


class TestRepeatedCalls:
    @long_loop
    @pytest.mark.parametrize("path", PATHS, ids=lambda path: path.name)
    def test_nothing_left_behind(self, path, quiet_unraisable):
        objects = tracked(path.args, path.kwargs)
        counts = [sys.getrefcount(o) for o in objects]
        meter = Meter().run(once(path), WINDOW)
        assert [sys.getrefcount(o) for o in objects] == counts
        assert meter.problems() == []
        assert quiet_unraisable[0] in (0, WINDOW * (meter.windows + 1))

    @pytest.mark.parametrize("path", PATHS, ids=lambda path: path.name)
    def test_each_call_ends_the_same_way(self, path, quiet_unraisable):
        """What the loops above swallow, exactly; a few calls also run under the sanitizers."""
        objects = tracked(path.args, path.kwargs)
        counts = [sys.getrefcount(o) for o in objects]
        outcomes = set()
        for _ in range(3):
            try:
                result = path.function(*path.args, **path.kwargs)
            except BaseException as e:  # noqa: BLE001
                outcomes.add((type(e), str(e)))
            else:
                outcomes.add((type(result), repr(result)))
        assert [sys.getrefcount(o) for o in objects] == counts
        [(kind, _)] = outcomes
        assert kind is (path.error or dict)


def expected_results(reports: dict[str, bytes]) -> dict[str, object]:
    out = {}
    for name, data in reports.items():
        try:
            out[name] = parse_report(data)
        except ValueError as e:
            out[name] = ("ValueError", str(e))
    return out


def run_threads(work, arguments) -> None:
    """Runs work(*args) on one thread per item of `arguments`, switching
    threads as often as the interpreter allows, and waits for all of them."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=tuple(args)) for args in arguments]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(previous)


class TestThreads:
    def test_concurrent_callers_get_their_own_results(self):
        # Valid reports of every kind and some that fail, each with its own message.
        reports = {path.name: path.args[0] for path in PATHS[:7]}
        reports |= {path.name: path.args[0] for path in PATHS if path.error is ValueError
                    and path.function is parse_report}
        expected = expected_results(reports)
        assert len({repr(v) for v in expected.values()}) == len(expected)
        iterations = 300 if SANITIZED else 3_000
        start = threading.Barrier(len(reports))
        mismatches: dict[str, int] = {}

        def work(name: str, data: bytes) -> None:
            wrong = 0
            start.wait()
            for _ in range(iterations):
                try:
                    got = parse_report(data)
                except ValueError as e:
                    got = ("ValueError", str(e))
                wrong += got != expected[name]
            mismatches[name] = wrong

        run_threads(work, reports.items())
        assert mismatches == dict.fromkeys(reports, 0)

    def test_concurrent_failures_keep_their_own_exceptions(self):
        # Each thread's call raises something different; none may see another's.
        calls = {
            "parse_report": (lambda: parse_report(b""), ValueError),
            "get_report": (lambda: get_report(b""), NotImplementedError),
            "get_tdx_quote": (lambda: get_tdx_quote(b""), ValueError),
            "type": (lambda: parse_report(bytearray()), TypeError),
            "overflow": (lambda: get_report(b"", 2**32), OverflowError),
            "index": (lambda: get_report(b"", Index(KeyError, "mine")), KeyError),
        }
        expected = {}
        for name, (call, error) in calls.items():
            with pytest.raises(error) as info:
                call()
            expected[name] = (type(info.value), str(info.value))
        iterations = 300 if SANITIZED else 3_000
        start = threading.Barrier(len(calls))
        mismatches: dict[str, int] = {}

        def work(name: str) -> None:
            call, error = calls[name]
            wrong = 0
            start.wait()
            for _ in range(iterations):
                try:
                    call()
                except error as e:
                    wrong += (type(e), str(e)) != expected[name] or sys.exc_info()[1] is not e
                else:
                    wrong += 1
            wrong += sys.exc_info() != (None, None, None)
            mismatches[name] = wrong

        run_threads(work, [(name,) for name in calls])
        assert mismatches == dict.fromkeys(calls, 0)
