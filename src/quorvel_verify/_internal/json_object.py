"""One JSON object from outside input, read so that every reader of the same bytes sees the same values.

Evidence in JSON (Azure's runtime claims, a THIM payload) is judged by
whoever reads it after us too: a key given twice, which parsers resolve
differently, is refused rather than read one way here and another there.
Nesting and size are bounded before the parser recurses.
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Final, NoReturn

from ..errors import located

# Far deeper than any genuine claims or payload (three levels), far shallower
# than the interpreter's recursion limit.
MAX_DEPTH: Final = 32


def unique_keys(pairs: list[tuple[str, object]]) -> dict[str, object]:
    """A JSON object's pairs as a dict, refusing a key given twice: readers disagree on one (Intel's takes the
    first, Python's the last), so that what is judged here is what every reader of signed JSON sees."""
    result: dict[str, object] = {}
    for key, value in pairs:
        if key in result:
            raise ValueError(f"the key {key[:40]!r} is given twice")
        result[key] = value
    return result


def _not_json(name: str) -> NoReturn:
    raise ValueError(f"{name} is not a JSON value")


def _finite(text: str) -> float:
    # 1e999 reads as infinity: like NaN, a value that JSON cannot hold, which our own --json output would then
    # print as no JSON parser reads it.
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"the number {text[:20]} is too large for a JSON reader to hold")
    return value


def _depth(text: str) -> int:
    """How deeply brackets nest in `text`, strings left out: bounded before `json` recurses into it."""
    depth = deepest = 0
    in_string = escaped = False
    for character in text:
        if in_string:
            if escaped:
                escaped = False
            elif character == "\\":
                escaped = True
            elif character == '"':
                in_string = False
        elif character == '"':
            in_string = True
        elif character in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif character in "]}":
            depth -= 1
    return deepest


def lone_surrogate(value: object) -> bool:
    """Whether a string in the JSON value `value` holds a lone surrogate, as the escape `\\ud800` reads: no
    character, so no UTF-8 text (a file, our output, the cache) can hold it, and writing it would raise."""
    try:
        json.dumps(value, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


SURROGATE: Final = "a string holds a lone surrogate escape (such as \\ud800), which stands for no character"


def json_fault(error: Exception) -> str:
    """Where JSON text goes wrong, in plain words (the parser's own message is the error's detail)."""
    if isinstance(error, RecursionError):
        return "nested too deeply"
    if isinstance(error, json.JSONDecodeError):
        return f"it breaks off or goes wrong at line {error.lineno}, column {error.colno}"
    return str(error)  # this package's own refusals (a repeated key, NaN), or the int limit's


def load_object(data: bytes, what: str, max_size: int) -> Mapping[str, object]:
    """The JSON object in `data` (UTF-8); VerificationError naming `what` for anything else."""
    if len(data) > max_size:
        raise located(what, f"{len(data)} bytes, more than the {max_size} that one can hold")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise located(what, f"not UTF-8 text, as JSON must be (byte {error.start} is not)", str(error)) from None
    if _depth(text) > MAX_DEPTH:
        raise located(what, f"nested more than {MAX_DEPTH} levels deep")
    try:
        value = json.loads(text, object_pairs_hook=unique_keys, parse_constant=_not_json, parse_float=_finite)
    except ValueError as error:  # json.JSONDecodeError, a repeated key, NaN or infinity, too many digits
        raise located(what, f"not valid JSON: {json_fault(error)}", str(error)) from None
    if not isinstance(value, dict):
        raise located(what, f"expected a JSON object, got {type(value).__name__}")
    if lone_surrogate(value):
        raise located(what, f"not valid JSON text: {SURROGATE}")
    return value
