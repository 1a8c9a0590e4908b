"""Calls along every path of the three functions, for the robustness tests:
test_leaks.py repeats each one on the installed module, test_fault_injection.py
fails each interpreter call it makes in the fault-injection build.

Each path lists the kinds of fault point it meets, with how the call must end
when a point of that kind fails (test_fault_injection.py tells the kinds).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable

import report_builder as rb
from fault_harness import API_PANIC, MEMORY_ERROR, PANIC, SYSTEM_ERROR, Outcome
from hostile_objects import (Index, Interrupting, Mortal, Outer, ReturnsMortalText, SelfRenaming, SpecialTypeError,
                             Unprintable, UnprintableTypeError, type_error_with_cause)


# --- How a call ends when one of its fault points fails ------------------------


@dataclasses.dataclass(frozen=True)
class Ending:
    """How a call must end when a fault point of one kind fails, in modes 0
    and 1 (mode 2, the module's own allocation failing, always ends in
    MemoryError)."""

    label: str
    outcomes: tuple[Outcome, Outcome]
    # The exception types the unraisable hook receives in modes 0 and 1 (mode
    # 2 as mode 1); None: the same as when nothing fails.
    unraisable: tuple[tuple[str, ...], tuple[str, ...]] | None = None
    # Mode 0 prints the pending MemoryError (PyErr_Print) before the call ends.
    prints: bool = False
    # The exception types printed in modes 0, 1 and 2, when not as `prints` says.
    printed: tuple[tuple[str, ...], tuple[str, ...], tuple[str, ...]] | None = None

    def expected(self, mode: int) -> Outcome:
        return MEMORY_ERROR if mode == 2 else self.outcomes[mode]

    def expected_printed(self, mode: int) -> tuple[str, ...]:
        if self.printed is not None:
            return self.printed[mode]
        return ("MemoryError",) if mode == 0 and self.prints else ()

    def expected_unraisable(self, mode: int, normal: tuple[str, ...]) -> tuple[str, ...]:
        return normal if self.unraisable is None else self.unraisable[min(mode, 1)]


# An object the body creates (PyDict_New, PyBytes_FromStringAndSize,
# PyUnicode_FromStringAndSize, PyLong_FromLong, PyList_New, PyTuple_New): an
# internal failure, after the pending MemoryError (if any) has been printed.
NEW = Ending("new object", (API_PANIC, API_PANIC), prints=True)
# An insertion or any other call whose error is fetched: that error, or
# SystemError when the call set none.
FETCHED = Ending("fetched error", (MEMORY_ERROR, SYSTEM_ERROR))
# The exception's own argument, made while the entry point raises it.
RAISING = Ending("raising", (MEMORY_ERROR, MEMORY_ERROR), prints=True)


def text(label: str, outcome: Outcome, unraisable=None) -> Ending:
    """A failure the message absorbs: the call ends as usual, with other text."""
    return Ending(label, (outcome, outcome), unraisable)


def str_of(label: str, outcome: Outcome) -> Ending:
    """str() of a printable object failing: mode 0's MemoryError goes to the
    unraisable hook and a placeholder takes the text's place."""
    return text(label, outcome, (("MemoryError",), ()))


def type_mismatch(prefix: str) -> list[Ending]:
    """extract_bytes rejecting an object: the TypeError is made, then wrapped."""
    return [
        text("qualified type name", Outcome("TypeError",
             f"{prefix}'<failed to extract type name>' object cannot be converted to 'PyBytes'")),
        NEW,
        str_of("str() of the TypeError", Outcome("TypeError", f"{prefix}<unprintable TypeError object>")),
    ]


def unexpected_keyword(head: str, placeholder: str = "<unprintable str object>") -> list[Ending]:
    return [str_of("str() of the keyword", Outcome("TypeError", f"{head}'{placeholder}'")), RAISING]


# --- The paths ----------------------------------------------------------------


def patched(data: bytes, offset: int, value: bytes) -> bytes:
    return data[:offset] + value + data[offset + len(value):]


GENOA_V3 = rb.genuine("genoa-v3-azure")


@dataclasses.dataclass(frozen=True)
class CallPath:
    name: str
    function: str
    args: tuple | Callable[[type], tuple]  # or made from the PanicException class
    kwargs: dict
    endings: list[Ending]
    # How the call ends with no fault; None: as the installed module's does.
    normal: Outcome | None = None
    normal_unraisable: tuple[str, ...] = ()
    normal_printed: tuple[str, ...] = ()


def path(name, function, args, endings, *, kwargs=None, **kw) -> CallPath:
    return CallPath(name, function, args, kwargs or {}, endings, **kw)


def parse(name: str, data: bytes, endings=(RAISING,)) -> CallPath:
    return path(f"parse_report {name}", "parse_report", (data,), list(endings))


def unprintable_keyword(function: str, args: tuple = (), key: str = Unprintable("x"), name: str = "") -> CallPath:
    """A keyword whose str() fails: the message shows a placeholder, and the
    failure goes to the unraisable hook."""
    head = f"{function}() got an unexpected keyword argument "
    kind, name_kind = type(key).__name__, type(type(key).__name__).__name__
    return path(f"{function} unprintable keyword{name}", function, args, [
        text("str() of the keyword", Outcome("TypeError", f"{head}'<unprintable {kind} object>'"),
             (("MemoryError",), ())),
        text("type name", Outcome("TypeError", f"{head}'<unprintable object>'")),
        text("str() of the type name",
             Outcome("TypeError", f"{head}'<unprintable <unprintable {name_kind} object> object>'"),
             (("RuntimeError", "MemoryError"), ("RuntimeError",))),
        RAISING,
    ], kwargs={key: b""}, normal_unraisable=("RuntimeError",))


SUCCESS = [NEW, FETCHED]
# A PanicException of the module's coming back through the caller's code.
RESUMED = [dataclasses.replace(FETCHED, printed=((), (), ())),
           dataclasses.replace(text("str() of the PanicException", Outcome(PANIC, "Unwrapped panic from Python code")),
                               printed=((PANIC,), (PANIC,), ())),
           dataclasses.replace(RAISING, printed=((PANIC, "MemoryError"), (PANIC,), (PANIC,)))]
INTERRUPTED = Outcome("KeyboardInterrupt", "")
UNPRINTABLE_TYPE_ERROR = Outcome("TypeError", "argument '_msg_ver': <unprintable TypeError object>")

PATHS = [
    # parse_report: success on each kind of report.
    *[parse(name, rb.genuine(name), SUCCESS) for name in
      ("genoa-v2-oak", "milan-v2-gosevguest", "milan-v3-azure", "genoa-v3-azure", "genoa-v5-oak", "turin-v5-oak")],
    parse("v2 Turin built", bytes(rb.build(2, "turin")), SUCCESS),
    path("parse_report by keyword", "parse_report", (), SUCCESS, kwargs={"report_bytes": GENOA_V3}),
    # parse_report: every codec error.
    parse("too short", GENOA_V3[:-1]),
    parse("too long", GENOA_V3 + b"\0"),
    parse("empty", b""),
    parse("version 1", patched(GENOA_V3, 0, b"\x01")),
    parse("masked chip id", patched(rb.genuine("genoa-v2-oak"), rb.CHIP_ID, bytes(64))),
    parse("unknown family", patched(GENOA_V3, rb.CPUID, b"\x17")),
    parse("unknown model", patched(GENOA_V3, rb.CPUID + 1, b"\x20")),
    parse("reserved byte set", patched(GENOA_V3, 0x04C, b"\x01")),
    # parse_report: argument errors.
    parse("bytearray", bytearray(GENOA_V3), type_mismatch("argument 'report_bytes': ")),
    parse("str", "text", type_mismatch("argument 'report_bytes': ")),
    parse("Python object", Outer.Inner(), type_mismatch("argument 'report_bytes': ")),
    path("parse_report unexpected keyword", "parse_report", (),
         unexpected_keyword("parse_report() got an unexpected keyword argument "), kwargs={"report": GENOA_V3}),
    path("parse_report missing", "parse_report", (), [RAISING]),
    path("parse_report too many", "parse_report", (GENOA_V3, GENOA_V3), [RAISING]),
    path("parse_report repeated", "parse_report", (GENOA_V3,), [RAISING], kwargs={"report_bytes": GENOA_V3}),
    path("parse_report surrogate keyword", "parse_report", (),
         [str_of("str() of the keyword",
                 Outcome("TypeError", "parse_report() got an unexpected keyword argument '<unprintable str object>'")),
          NEW, RAISING],
         kwargs={"\ud800": GENOA_V3}),
    # get_report: well-formed calls end in NotImplementedError.
    path("get_report valid", "get_report", (b"",), [RAISING]),
    path("get_report valid ints", "get_report", (b"x" * 64, 0, 4294967295), [RAISING]),
    # Integers past the interpreter's cache: what __index__ returns must be released.
    path("get_report valid __index__", "get_report", (b"", Index(123456789)), [FETCHED, RAISING],
         kwargs={"_vmpl": Index(987654321)}),
    # get_report: each kind of argument error.
    path("get_report missing", "get_report", (), [RAISING], kwargs={"_vmpl": 1}),
    path("get_report too many", "get_report", (b"", 1, 2, 3), [RAISING]),
    path("get_report unexpected keyword", "get_report", (b"",),
         unexpected_keyword("get_report() got an unexpected keyword argument "), kwargs={"foo": 1}),
    path("get_report repeated", "get_report", (b"", 1), [RAISING], kwargs={"_msg_ver": 1}),
    path("get_report str challenge", "get_report", ("text",), type_mismatch("argument '_challenge': ")),
    path("get_report Python class challenge", "get_report", (Outer.Inner(),),
         type_mismatch("argument '_challenge': ")),
    path("get_report str _msg_ver", "get_report", (b"", "1"),
         [FETCHED, str_of("str() of the TypeError", UNPRINTABLE_TYPE_ERROR), NEW]),
    path("get_report _msg_ver 2**32", "get_report", (b"", 2**32), [NEW]),
    path("get_report _vmpl __index__ 2**32", "get_report", (b"", None, Index(2**32)), [FETCHED, NEW]),
    path("get_report _msg_ver negative", "get_report", (b"", -1), []),
    path("get_report _msg_ver 2**70", "get_report", (b"", 2**70), []),
    path("get_report _vmpl str", "get_report", (b"", 1, "2"),
         [FETCHED, str_of("str() of the TypeError", Outcome("TypeError", "argument '_vmpl': <unprintable TypeError object>")),
          NEW]),
    path("get_report __index__ TypeError", "get_report", (b"", Index(TypeError, "no integer")),
         [FETCHED, str_of("str() of the TypeError", UNPRINTABLE_TYPE_ERROR), NEW]),
    path("get_report __index__ ValueError", "get_report", (b"", Index(ValueError, "bad value")), [FETCHED]),
    path("get_report __index__ TypeError subclass", "get_report", (b"", None, Index(SpecialTypeError, "special")),
         [FETCHED]),
    path("get_report __index__ TypeError with cause", "get_report", (b"", None, Index(type_error_with_cause)),
         [FETCHED, str_of("str() of the TypeError",
                          Outcome("TypeError", "argument '_vmpl': <unprintable TypeError object>")), NEW]),
    # The unraisable path: str() of the TypeError to wrap fails.
    path("get_report unprintable TypeError", "get_report", (b"", UnprintableTypeError()),
         [dataclasses.replace(FETCHED, unraisable=((), ())),
          text("str() of the TypeError", UNPRINTABLE_TYPE_ERROR, (("MemoryError",), ())),
          text("type name", Outcome("TypeError", "argument '_msg_ver': <unprintable object>")),
          text("str() of the type name",
               Outcome("TypeError", "argument '_msg_ver': <unprintable <unprintable str object> object>"),
               (("RuntimeError", "MemoryError"), ("RuntimeError",))),
          NEW],
         normal_unraisable=("RuntimeError",)),
    # A PanicException coming back through __index__ is resumed: printed, and
    # raised anew.
    path("get_report PanicException fed back", "get_report", lambda panic_class: (b"", Index(panic_class, "resumed")),
         RESUMED, normal=Outcome(PANIC, "resumed"), normal_printed=(PANIC,)),
    # An interrupt while a message is formatted is the program's: the call ends with it.
    path("get_report __index__ TypeError interrupted", "get_report", (b"", Index(TypeError, Interrupting("x"))),
         [FETCHED, str_of("str() of the TypeError", UNPRINTABLE_TYPE_ERROR)], normal=INTERRUPTED),
    path("parse_report keyword interrupted", "parse_report", (), unexpected_keyword(
        "parse_report() got an unexpected keyword argument ", "<unprintable Interrupting object>")[:1],
         kwargs={Interrupting("x"): b""}, normal=INTERRUPTED),
    path("get_report PanicException interrupted", "get_report",
         lambda panic_class: (b"", Index(panic_class, Interrupting("x"))), RESUMED[:2], normal=INTERRUPTED),
    # Objects of the caller's that run its code when the module releases them.
    *[path(f"get_report __index__ TypeError {name}", "get_report", (b"", Index(error)),
           [FETCHED, str_of("str() of the TypeError", UNPRINTABLE_TYPE_ERROR), NEW])
      for name, error in (("of a mortal", lambda: TypeError(Mortal())),
                          ("with mortal text", lambda: TypeError(ReturnsMortalText())))],
    unprintable_keyword("parse_report", key=SelfRenaming("x"), name=" of a self-renaming type"),
    # get_tdx_quote.
    path("get_tdx_quote valid", "get_tdx_quote", (bytes(64),), [RAISING]),
    path("get_tdx_quote by keyword", "get_tdx_quote", (), [RAISING], kwargs={"_report_data": b""}),
    path("get_tdx_quote bytearray", "get_tdx_quote", (bytearray(64),), type_mismatch("argument '_report_data': ")),
    path("get_tdx_quote missing", "get_tdx_quote", (), [RAISING]),
    path("get_tdx_quote too many", "get_tdx_quote", (b"", b""), [RAISING]),
    path("get_tdx_quote repeated", "get_tdx_quote", (b"",), [RAISING], kwargs={"_report_data": b""}),
    unprintable_keyword("get_tdx_quote"),
    unprintable_keyword("get_report", (b"",)),
    path("get_tdx_quote unexpected keyword", "get_tdx_quote", (),
         unexpected_keyword("get_tdx_quote() got an unexpected keyword argument "), kwargs={"data": b""}),
]
