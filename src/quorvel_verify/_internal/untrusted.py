"""The rule for input from outside: bounded before it is parsed, and any failure to parse it a `VerificationError`.

The libraries that parse certificates and lists raise more than `ValueError`
for bytes they cannot read (a duplicated extension, an unknown version or key
algorithm each have a class of their own, and a new release may add more).
Whatever a parser of outside input raises is the input's fault, so every
loader wraps its parser in `parsing`: the caller sees one exception class,
with the input named and what is wrong with it in this package's words (the
library's own message, which a reader of ours cannot act on, is kept as the
error's `detail`), and the command exits 2 instead of printing a traceback.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager

from ..errors import VerificationError, located


@contextmanager
def parsing(source: str, what: str, mistake: Callable[[Exception], str | None] | None = None) -> Iterator[None]:
    """Turns any exception of the parsing in its body into a `VerificationError`: "`source`: not `what`: cause",
    about the argument that `source` names (`errors.located`), with the parser's message as its `detail`.

    `mistake`, given the exception, may name what the input probably is
    instead. A `VerificationError` passes as it is. `MemoryError` passes too: the
    input was bounded before parsing began, so running out of memory is the
    process's state, not the input's fault.
    """
    try:
        yield
    except (VerificationError, MemoryError):
        raise
    except Exception as error:  # noqa: BLE001 (the rule: whatever a parser of outside input raises)
        named = mistake(error) if mistake is not None else None
        raise located(source, named or f"not {what}: {plainly(error)}", describe(error)) from error


# What a parser's exception class says of the input, by the class's name (cryptography's own classes are named,
# not imported: a release may move or add them, and an unknown one is still the input's fault).
_PLAIN_BY_CLASS = {
    "DuplicateExtension": "an extension appears twice",
    "InvalidVersion": "a version that is not valid for it",
    "UnsupportedAlgorithm": "a key or signature algorithm that cannot be used",
    "UnicodeDecodeError": "bytes that are not text where text is due",
}


def plainly(error: BaseException) -> str:
    """What the input's fault is, in this package's words; the parser's own message is the detail."""
    named = _PLAIN_BY_CLASS.get(type(error).__name__)
    if named is not None:
        return named
    text = str(error)
    if "PEM" in text:
        return "a PEM block that does not decode"
    if "asn1" in text.lower() or "der" in text.lower():
        return "its DER encoding (or that of one of its parts, such as an extension) is malformed"
    return "its content does not decode"


def describe(error: BaseException) -> str:
    """The cause as a reader needs it: the message, and the class where the message alone does not say it."""
    text = str(error)
    if isinstance(error, ValueError) and text:
        return text
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def check_size(data: bytes, limit: int, source: str, what: str) -> bytes:
    """`data` if it is at most `limit` bytes; a `VerificationError` naming the cap otherwise (about the
    argument that `source` names, as `errors.located` reads it)."""
    if len(data) > limit:
        raise located(source, f"{len(data)} bytes, more than any {what} (at most {limit} bytes)")
    return data


__all__ = ["check_size", "describe", "parsing", "plainly"]
