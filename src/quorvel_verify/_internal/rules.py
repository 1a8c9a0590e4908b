"""What every platform's policy rules are made of: the rule declaration and the parsers of TOML values.

A rule is declared once, as a `Rule` beside the platform's other rules
(`sevsnp/rules.py`, later `tdx/rules.py`): how its TOML value is parsed and
validated, what its check makes of the claims, and the text of its
documentation, from which `quorvel_verify.policy.rule_reference()` (and so
the policy reference) is generated.
"""

from __future__ import annotations

import dataclasses
import datetime
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

# A check's outcome: whether the rule holds, and the detail that says what it expected and what it found.
Verdict = tuple[bool, str]


class Invalid(Exception):
    """A value that a rule cannot take; `path` leads from the rule's value to the culprit."""

    def __init__(self, message: str, *path: str | int) -> None:
        super().__init__(message)
        self.message = message
        self.path = path


@dataclass(frozen=True, slots=True)
class Rule:
    """One rule of a policy, declared once.

    `parse` validates a value (as TOML or code gives it) and returns it as the
    policy holds it, raising `Invalid`; `check` judges a platform's claims
    against the parsed value (None for a rule that makes no check of its own);
    `value`, `default` and `doc` are the reference's text: the TOML value
    accepted, what applies when the rule is not set, and what it requires.
    """

    parse: Callable[[Any], Any]
    check: Callable[[Any, Any], Verdict] | None
    value: str
    default: str
    doc: str


def field(rule: Rule, default: Any = None) -> Any:
    """A policy's dataclass field for `rule` (None: not set, unless `default` says otherwise)."""
    return dataclasses.field(default=default, metadata={"rule": rule})


# --- Values ------------------------------------------------------------------


def describe(value: object) -> str:
    """A value as a TOML user knows it: its TOML type and, for a short scalar, the value."""
    if isinstance(value, bool):
        return f"the boolean {str(value).lower()}"
    if isinstance(value, int):
        return f"the integer {value}"
    if isinstance(value, float):
        return f"the float {value}"
    if isinstance(value, str):
        return f'the string "{value}"' if len(value) <= 20 else f"a string of {len(value)} characters"
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, Mapping):
        return "a table"
    return f"a {type(value).__name__}"


def boolean(value: object) -> bool:
    """true or false."""
    if not isinstance(value, bool):
        raise Invalid(f"expected true or false, got {describe(value)}")
    return value


def integer(low: int, high: int) -> Callable[[object], int]:
    """An integer from `low` to `high` (a boolean is not one)."""
    def parse(value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise Invalid(f"expected an integer from {low} to {high}, got {describe(value)}")
        return value

    return parse


# A span of time as a policy writes it: whole days ("30d") or hours ("12h"), or an integer number of days.
_DURATION = re.compile(r"([0-9]{1,6})([dh])")
_UNITS = {"d": "days", "h": "hours"}
# A century: longer spans mean "never", and would overflow the dates they are added to.
MAX_DURATION = datetime.timedelta(days=36525)


def duration(value: object) -> datetime.timedelta:
    """A span of time: "30d" (days) or "12h" (hours), an integer number of days, or a `datetime.timedelta`;
    from zero to a century."""
    if isinstance(value, datetime.timedelta):
        span = value
    elif isinstance(value, int) and not isinstance(value, bool):
        if not 0 <= value <= MAX_DURATION.days:
            raise Invalid(f"expected a number of days from 0 to {MAX_DURATION.days}, got {describe(value)}")
        span = datetime.timedelta(days=value)
    elif isinstance(value, str) and (match := _DURATION.fullmatch(value)):
        span = datetime.timedelta(**{_UNITS[match[2]]: int(match[1])})
    else:
        raise Invalid(f'expected a span of time such as "30d" or "12h", or a number of days, got {describe(value)}')
    if not datetime.timedelta(0) <= span <= MAX_DURATION:
        raise Invalid(f"expected a span of time from 0 to {MAX_DURATION.days} days, got {span}")
    return span


def span(value: datetime.timedelta) -> str:
    """A span of time as a detail names it: "30 days", "12 hours", "1 day 6 hours"."""
    if value.seconds % 3600 or value.microseconds:  # given in code, finer than hours
        return str(value)
    days, hours = value.days, value.seconds // 3600
    parts = [f"{days} day{'s' if days != 1 else ''}"] if days else []
    if hours or not days:
        parts.append(f"{hours} hour{'s' if hours != 1 else ''}")
    return " ".join(parts)


def hex_bytes(size: int) -> Callable[[object], bytes]:
    """`size` bytes, given as bytes or as hex digits (either case, nothing else)."""

    def parse(value: object) -> bytes:
        if isinstance(value, bytes) and len(value) == size:
            return value
        if not isinstance(value, str):
            raise Invalid(f"expected {2 * size} hex digits, got {describe(value)}")
        if not re.fullmatch(r"[0-9A-Fa-f]*", value):
            hint = ": leave out the 0x" if value[:2] in ("0x", "0X") else ""
            raise Invalid(f"expected {2 * size} hex digits, got {describe(value)}, which is not hex{hint}")
        if len(value) != 2 * size:
            raise Invalid(f"expected {2 * size} hex digits ({size} bytes), got {len(value)}")
        return bytes.fromhex(value)

    return parse


def choice(choices: Sequence[str]) -> Callable[[object], str]:
    """One of `choices`, exactly."""
    def parse(value: object) -> str:
        if not isinstance(value, str) or value not in choices:
            raise Invalid(f"expected one of {', '.join(choices)}, got {describe(value)}")
        return value

    return parse


def list_of[T](item: Callable[[object], T]) -> Callable[[object], tuple[T, ...]]:
    """A non-empty allow-list: an empty one would refuse every report, which no one means."""

    def parse(value: object) -> tuple[T, ...]:
        if not isinstance(value, (list, tuple)):
            raise Invalid(f"expected an array, got {describe(value)}")
        if not value:
            raise Invalid("expected at least one value: an empty list allows nothing")
        parsed = []
        for index, element in enumerate(value):
            try:
                parsed.append(item(element))
            except Invalid as error:
                raise Invalid(error.message, index, *error.path) from None
        return tuple(parsed)

    return parse



def hex_choices(allowed: Sequence[bytes]) -> str:
    """An allow-list of hex values as a detail names it."""
    return allowed[0].hex() if len(allowed) == 1 else f"one of {len(allowed)} allowed values"


def either(words: Sequence[object], conjunction: str = "or") -> str:
    """"a", "a or b", "a, b or c"."""
    texts = [str(word) for word in words]
    return texts[0] if len(texts) == 1 else f"{', '.join(texts[:-1])} {conjunction} {texts[-1]}"


