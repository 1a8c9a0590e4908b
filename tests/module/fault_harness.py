"""Drives the fault-injection build of quorvel.

That build (configured with -DQUORVEL_FAULT_INJECTION=ON, never installed)
passes every allocating or inserting interpreter call of the module through a
fault point and exports two C functions to choose one of them to fail:
``quorvel_fault_arm(nth, mode)`` fails the nth point from now (1-based, 0
disarms) and ``quorvel_fault_points()`` counts the points passed since the
last arm. A fault point fails in one of three modes:

- 0: the call fails with MemoryError set, as when the interpreter's memory
  is exhausted;
- 1: the call fails without setting an exception;
- 2: the module's own C++ allocation fails (std::bad_alloc).

This file is imported by the tests, and also run as a script in child
processes for the faults of the module's initialisation, which happens once
per process:

    python fault_harness.py init LIBRARY NTH MODE
    python fault_harness.py init-rounds LIBRARY FIRST_POINTS LATER_POINTS ROUNDS_PER_WINDOW

Each prints one JSON object on standard output. A child of ``init`` also
reports the points that the import after the failed one passes.
"""

from __future__ import annotations

import array
import ctypes
import dataclasses
import gc
import importlib.util
import io
import json
import os
import sys
from collections.abc import Callable
from pathlib import Path

import report_builder

MODES = (0, 1, 2)
MODE_NAMES = {0: "memory-error", 1: "no-exception", 2: "bad-alloc"}
LIBRARY_NAME = "quorvel.abi3.so"

PANIC = "pyo3_runtime.PanicException"
API_CALL_FAILED = "Python API call failed"
NONE_SET = "attempted to fetch exception but none was set"


class FaultSwitch:
    """The exported functions of a fault-injection build."""

    def __init__(self, library: str | os.PathLike[str]):
        # PyDLL: the functions run with the interpreter lock held, like every
        # other call into the module.
        lib = ctypes.PyDLL(os.fspath(library))
        self._arm = lib.quorvel_fault_arm
        self._arm.argtypes = [ctypes.c_long, ctypes.c_int]
        self._arm.restype = None
        self._points = lib.quorvel_fault_points
        self._points.argtypes = []
        self._points.restype = ctypes.c_long
        self._local_refs = lib.quorvel_local_refs_across_caller_code
        self._local_refs.argtypes = []
        self._local_refs.restype = ctypes.c_long
        self._init = lib.PyInit_quorvel
        self._init.argtypes = []
        self._init.restype = ctypes.py_object

    def arm(self, nth: int, mode: int = 0) -> None:
        self._arm(nth, mode)

    def disarm(self) -> None:
        self._arm(0, 0)

    def points(self) -> int:
        return self._points()

    def local_refs_across_caller_code(self) -> int:
        """Calls of the caller's code made while a LocalRef was held, ever (must stay 0)."""
        return self._local_refs()

    def init(self):
        """Calls PyInit_quorvel as an import would; raises what it raises."""
        return self._init()


def load(build_dir: str | os.PathLike[str]):
    """The module of a fault-injection build and its switch, loaded in this process.

    The module is loaded from its file under its own name, and whatever
    sys.modules held under that name before is put back, so that tests of the
    installed module in the same process are not affected.
    """
    library = Path(build_dir) / LIBRARY_NAME
    if not library.is_file():
        raise FileNotFoundError(f"no fault-injection build of quorvel at {library}")
    switch = FaultSwitch(library)
    previous = sys.modules.get("quorvel")
    spec = importlib.util.spec_from_file_location("quorvel", library)
    try:
        module = importlib.util.module_from_spec(spec)
    finally:
        if previous is None:
            sys.modules.pop("quorvel", None)
        else:
            sys.modules["quorvel"] = previous
    if os.path.realpath(module.__file__) != os.path.realpath(library):
        raise ImportError(f"{module.__file__} was loaded instead of {library}")
    return module, switch


def exception_name(cls: type) -> str:
    return cls.__name__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"


@dataclasses.dataclass(frozen=True)
class Outcome:
    """How a call ended: "ok" or the exception's name, and its str()."""

    kind: str
    message: str | None = None

    def __str__(self) -> str:
        return self.kind if self.message is None else f"{self.kind}({self.message!r})"


OK = Outcome("ok")
MEMORY_ERROR = Outcome("MemoryError", "")
SYSTEM_ERROR = Outcome("SystemError", NONE_SET)
API_PANIC = Outcome(PANIC, API_CALL_FAILED)


@dataclasses.dataclass
class Observation:
    outcome: Outcome
    result: object = None
    exception_class: type | None = None
    exception_args: tuple = ()
    stderr: str = ""
    unraisable: list[str] = dataclasses.field(default_factory=list)
    printed: list[str] = dataclasses.field(default_factory=list)


def forget_printed_error() -> None:
    """Drops the references that PyErr_Print leaves in sys.last_*."""
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        if hasattr(sys, name):
            delattr(sys, name)


def observe(call: Callable[[], object]) -> Observation:
    """Runs `call`, capturing how it ended, what it handed to the unraisable
    hook, which exceptions it printed (PyErr_Print and PyErr_PrintEx hand them
    to sys.excepthook) and anything else it wrote to sys.stderr."""
    unraisable: list[str] = []
    printed: list[str] = []
    previous = sys.unraisablehook, sys.excepthook, sys.stderr
    sys.unraisablehook = lambda args: unraisable.append(exception_name(args.exc_type))
    sys.excepthook = lambda exc_type, value, traceback: printed.append(exception_name(exc_type))
    sys.stderr = captured = io.StringIO()
    try:
        try:
            result = call()
        except BaseException as e:  # noqa: BLE001 - every ending is recorded
            seen = Observation(Outcome(exception_name(type(e)), str(e)), None, type(e), e.args)
        else:
            seen = Observation(OK, result)
    finally:
        sys.unraisablehook, sys.excepthook, sys.stderr = previous
        forget_printed_error()
    seen.stderr = captured.getvalue()
    seen.unraisable = unraisable
    seen.printed = printed
    return seen


def faulted(switch: FaultSwitch, call: Callable[[], object], nth: int, mode: int) -> Observation:
    """`call` with its nth fault point failing in `mode`."""
    switch.arm(nth, mode)
    try:
        return observe(call)
    finally:
        switch.disarm()


def count_points(switch: FaultSwitch, call: Callable[[], object]) -> tuple[int, Observation]:
    """The number of fault points a call passes when none fails, and its outcome."""
    switch.arm(0)
    seen = observe(call)
    return switch.points(), seen


def settle() -> None:
    forget_printed_error()
    gc.collect()


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_probe() -> Callable[[], int]:
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # not glibc 2.33 or later: no reading
        return lambda: 0
    mallinfo2.argtypes = []
    mallinfo2.restype = _MallInfo2

    def in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd  # small chunks, and large ones mapped on their own

    return in_use


heap_bytes = _heap_probe()
"""Bytes in use on the C heap (glibc), where the module's own C++ objects live."""


def tracked(args: tuple, kwargs: dict) -> list[object]:
    """The arguments of a call, their types and what they hold: a call must
    leave the reference counts of all of them as it found them."""
    objects = [*args, *kwargs, *kwargs.values()]
    for argument in list(objects):
        objects.append(type(argument))
        objects.extend(getattr(argument, "__dict__", {}).values())
    return objects


def repeat(action: Callable[[], object], times: int) -> None:
    for _ in range(times):
        action()


class Meter:
    """Whether repeating an action leaves anything behind.

    Reads interpreter blocks (sys.getallocatedblocks) and C heap bytes, where
    the module's own C++ objects live, after a collection, before and after
    windows of repetitions. The readings go into a preallocated array, so
    that taking them keeps no object alive.

    A leak grows every window. A cache that the interpreter fills on first
    use, or a free list growing to its size, grows the first windows only.
    So windows are run until one grows neither count (up to a limit), and
    the action is stable when that happens.
    """

    # The C heap moves by a few pages when the interpreter resizes an internal
    # table; one small C++ object lost per call exceeds this many times over
    # in a window of a thousand calls or more.
    HEAP_TOLERANCE = 16 * 1024

    def __init__(self, max_windows: int = 8):
        self.max_windows = max_windows
        self.windows = 0
        self.readings = array.array("q", [0] * (2 * (max_windows + 1)))

    def run(self, action: Callable[[], object], times: int) -> "Meter":
        """Runs `action` `times` times per window, after one window of warm-up."""
        repeat(action, times)
        self._read(0)
        blocks_settled = heap_settled = False
        for window in range(1, self.max_windows + 1):
            repeat(action, times)  # its loop counter is gone when it returns
            self._read(window)
            self.windows = window
            blocks, heap = self._growth(window)
            blocks_settled = blocks_settled or blocks <= 0
            heap_settled = heap_settled or heap <= self.HEAP_TOLERANCE
            if blocks_settled and heap_settled:
                break
        return self

    def _read(self, window: int) -> None:
        settle()
        self.readings[2 * window] = sys.getallocatedblocks()
        self.readings[2 * window + 1] = heap_bytes()

    def _growth(self, window: int) -> tuple[int, int]:
        r = self.readings
        return r[2 * window] - r[2 * window - 2], r[2 * window + 1] - r[2 * window - 1]

    def growth(self) -> list[tuple[int, int]]:
        """(blocks, heap bytes) gained in each window run."""
        return [self._growth(window) for window in range(1, self.windows + 1)]

    def problems(self) -> list[str]:
        growth = self.growth()
        out = []
        if min(blocks for blocks, _ in growth) > 0:
            out.append(f"interpreter blocks grew in every window: {growth}")
        if min(heap for _, heap in growth) > self.HEAP_TOLERANCE:
            out.append(f"the C heap grew in every window: {growth}")
        return out


# --- Child processes: faults of the module's initialisation -----------------


def _import_fresh():
    import quorvel  # noqa: PLC0415 - the point is to run the import here

    return quorvel


def _check_working(module, switch: FaultSwitch) -> dict:
    """What a working module shows; reported to the parent to compare."""
    report = report_builder.minimal(3)
    try:
        module.get_report(b"")
    except NotImplementedError as e:
        unavailable = str(e)
    else:
        unavailable = None
    return {
        "file": os.path.realpath(module.__file__),
        "all": module.__all__,
        "public": sorted(name for name in vars(module) if not name.startswith("__")),
        "cpuid": module.parse_report(bytes(report))["cpuid"],
        "unavailable": unavailable,
        "init_again_same": switch.init() is module,
        "in_sys_modules": sys.modules.get("quorvel") is module,
    }


def _child_init(library: str, nth: int, mode: int) -> dict:
    """Imports the module with its nth initialisation fault point failing in
    `mode`, then imports it again with no fault."""
    switch = FaultSwitch(library)  # the same object that the import loads
    sys.path.insert(0, str(Path(library).parent))
    switch.arm(nth, mode)
    first = observe(_import_fresh)
    points = switch.points()
    switch.disarm()
    again = observe(_import_fresh)
    out = {
        "outcome": [first.outcome.kind, first.outcome.message],
        "points": points,
        "stderr": first.stderr,
        "printed": first.printed,
        "again": [again.outcome.kind, again.outcome.message],
        "again_points": switch.points(),
    }
    if first.exception_class is not None:
        out["bases"] = [exception_name(base) for base in first.exception_class.__mro__]
        out["args"] = [repr(arg) for arg in first.exception_args]
    if again.outcome == OK:
        out["working"] = _check_working(again.result, switch)
    return out


def _child_init_rounds(library: str, first_points: int, later_points: int, rounds: int) -> dict:
    """Fails the initialisation at each of its points in each mode, over and
    over, and reports whether that left anything behind.

    The first import fails at its last point (`first_points`), which creates
    everything that is made once per process (interned names, the
    PanicException class); from then on an initialisation passes
    `later_points` points, and failing any of them leaves nothing cached, so
    the failures can be repeated in this process.
    """
    switch = FaultSwitch(library)
    sys.path.insert(0, str(Path(library).parent))
    switch.arm(first_points, 0)
    first = observe(_import_fresh)
    switch.disarm()

    outcomes: dict[str, list[str]] = {}

    def one_round() -> None:
        for mode in MODES:
            seen = [faulted(switch, switch.init, nth, mode).outcome for nth in range(1, later_points + 1)]
            outcomes.setdefault(MODE_NAMES[mode], [str(outcome) for outcome in seen])

    meter = Meter().run(one_round, rounds)

    points, last = count_points(switch, _import_fresh)
    out = {"first": str(first.outcome), "outcomes": outcomes, "leaks": meter.problems(), "growth": meter.growth(),
           "points": points, "last": str(last.outcome)}
    if last.outcome == OK:
        out["working"] = _check_working(last.result, switch)
    return out


def main(argv: list[str]) -> int:
    command, library, *rest = argv
    if command == "init":
        nth, mode = map(int, rest)
        result = _child_init(library, nth, mode)
    elif command == "init-rounds":
        result = _child_init_rounds(library, *map(int, rest))
    else:
        raise SystemExit(f"unknown command {command!r}")
    sys.stdout.write(json.dumps(result) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
