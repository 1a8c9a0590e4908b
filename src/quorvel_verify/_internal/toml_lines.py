"""Where in a TOML file each key is set: the line that a policy error names.

`tomllib` gives the values without their places, so the lines are found by
reading the text again, just enough to tell a key from the rest: a line that
starts inside a multi-line string (`\"\"\"...\"\"\"` or `'''...'''`) is text,
whatever it looks like, and comments and single-line strings are skipped so
that a quote or `#` in them does not fool the scan. Every step moves forward
through the text, and the patterns cannot backtrack over a run of blanks, so
the time is linear in the file's size (a file is a policy, of at most
`limits.POLICY_FILE_SIZE` bytes).
"""

from __future__ import annotations

import re
from collections.abc import Iterator

_KEY = r"""(?:[A-Za-z0-9_-]+|"[^"\n]*"|'[^'\n]*')"""
# A header stands alone on its line, with at most a comment after it: "[a]," is an element of an array of arrays.
_HEADER = re.compile(r"[ \t]*\[\[?([^\[\]\n]*)\]\]?[ \t]*(?:#.*)?$")
_ASSIGNMENT = re.compile(rf"[ \t]*({_KEY}(?:[ \t]*\.[ \t]*{_KEY})*)[ \t]*=")


def key_lines(text: str) -> dict[tuple[str, ...], int]:
    """The first line (from 1) of each table header and each key assignment, by the key's full path."""
    table: tuple[str, ...] = ()
    first: dict[tuple[str, ...], int] = {}
    for number, line in _lines_outside_strings(text):
        if header := _HEADER.match(line):
            table = split_key(header[1])
            first.setdefault(table, number)
        elif assignment := _ASSIGNMENT.match(line):
            first.setdefault(table + split_key(assignment[1]), number)
    return first


def split_key(key: str) -> tuple[str, ...]:
    return tuple(part.strip().strip("\"'") for part in key.split("."))


def _lines_outside_strings(text: str) -> Iterator[tuple[int, str]]:
    """(number, line) of each line that does not start inside a multi-line string."""
    inside: str | None = None  # the delimiter of the multi-line string the scan is in
    for number, line in enumerate(text.splitlines(), start=1):
        starts_inside = inside is not None
        position = 0
        while position < len(line):
            if inside is not None:
                end = _closing(line, inside, position)
                if end < 0:
                    break
                position, inside = end + 3, None
                continue
            character = line[position]
            if character == "#":
                break
            if line.startswith(('"""', "'''"), position):
                inside = line[position:position + 3]
                position += 3
            elif character in "\"'":
                end = _closing(line, character, position + 1)
                position = end + 1 if end >= 0 else len(line)
            else:
                position += 1
        if not starts_inside:
            yield number, line


def _closing(line: str, quote: str, start: int) -> int:
    """Where the string's closing `quote` lies in `line` from `start`, or -1; a basic string's `\\"` is no end."""
    while (end := line.find(quote, start)) >= 0:
        if quote[0] == "'" or _backslashes_before(line, end, start) % 2 == 0:
            return end
        start = end + 1
    return -1


def _backslashes_before(line: str, position: int, start: int) -> int:
    count = 0
    while position - count - 1 >= start and line[position - count - 1] == "\\":
        count += 1
    return count


__all__ = ["key_lines", "split_key"]
