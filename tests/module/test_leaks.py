"""Every path of the three functions (call_paths.py), repeated many times, leaves nothing behind.

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

import os
import sys
import threading
from collections.abc import Callable

import pytest

from quorvel import get_report, get_tdx_quote, parse_report

import call_paths
import quorvel
from call_paths import CallPath
from fault_harness import Meter, tracked
from hostile_objects import Index

SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"
long_loop = pytest.mark.skipif(SANITIZED, reason="10,000-call windows are too slow under the sanitizers")

WINDOW = 10_000

# Every path but the one that needs the fault build's own PanicException class.
PATHS = [path for path in call_paths.PATHS if not callable(path.args)]


def bind(path: CallPath) -> Callable[[], object]:
    function, args, kwargs = getattr(quorvel, path.function), path.args, path.kwargs
    return lambda: function(*args, **kwargs)


def once(path: CallPath) -> Callable[[], None]:
    """One call of the path, its exception swallowed (each call of a path
    ends the same way: test_each_call_ends_the_same_way)."""
    call = bind(path)

    def swallowing() -> None:
        try:
            call()
        except BaseException:  # noqa: BLE001, S110 - the outcome is checked below
            pass

    return swallowing


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
        # Outcomes as text: holding an exception's class would count as a reference.
        call, outcomes = bind(path), set()
        for _ in range(3):
            try:
                result = call()
            except BaseException as e:  # noqa: BLE001
                outcomes.add((type(e).__qualname__, str(e)))
            else:
                outcomes.add(("result", repr(result)))
        assert [sys.getrefcount(o) for o in objects] == counts
        assert len(outcomes) == 1


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
        reports = {path.name: path.args[0] for path in PATHS if path.function == "parse_report"
                   and len(path.args) == 1 and type(path.args[0]) is bytes and not path.kwargs}
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
