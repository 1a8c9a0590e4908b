"""A bounded memo of judgements, keyed by the exact bytes judged."""

from __future__ import annotations

import dataclasses
import operator
import threading
from collections.abc import Callable, Hashable
from typing import Any

from . import limits


def input_bytes(key: object) -> int:
    """How many bytes of input a key holds: its bytes, text and memory views, in tuples and dataclasses (a
    `TdxCollateral`). Every key of every memo is sized when kept, on a first verification each of a dozen:
    how a type is sized is worked out once per type, not by asking each value what it is."""
    kind = type(key)
    sizer = _SIZERS.get(kind)
    if sizer is None:
        sizer = _SIZERS.setdefault(kind, _sizer(kind))
    return sizer(key)


def _none(_: object) -> int:
    return 0


def _memory(view: memoryview) -> int:
    return view.nbytes


def _parts(parts: tuple[object, ...]) -> int:
    return sum(map(input_bytes, parts))


def _sizer(kind: type) -> Callable[[Any], int]:
    """How to size a value of `kind`: a subclass (a `StrEnum`, a named tuple) as its base."""
    if issubclass(kind, bytes | bytearray | str):
        return len
    if issubclass(kind, memoryview):
        return _memory
    if issubclass(kind, tuple):
        return _parts
    if dataclasses.is_dataclass(kind):
        names = [field.name for field in dataclasses.fields(kind)]
        if not names:
            return _none
        fields = operator.attrgetter(*names)  # one field: its value; more: a tuple of them
        if len(names) == 1:
            return lambda value: input_bytes(fields(value))
        return lambda value: _parts(fields(value))
    return _none  # numbers, None, certificates, keys: no input held as bytes


# By the type of value: a program's keys are of a few types.
_SIZERS: dict[type, Callable[[Any], int]] = {}


class Memo[K: Hashable, V]:
    """At most `size` entries (0: none kept) whose keys hold at most `max_bytes` of input between them; when
    either is full, the oldest go first. Only a value that `keep` accepts is kept: a judgement of input that
    failed its signature is made again when asked again, so that hostile input, which costs nothing to vary,
    never fills the memo (nor pushes out what genuine input earned). A `make` that raises leaves nothing
    behind. A verifier serves several threads: entries are added and evicted under a lock (two threads
    evicting the same oldest entry would otherwise raise KeyError), while `make` runs outside it."""

    def __init__(
        self, size: int, max_bytes: int = limits.MEMO_BYTES, keep: Callable[[V], bool] | None = None
    ) -> None:
        self._size = max(0, size)
        self._max_bytes = max_bytes
        self._keep = keep
        self._entries: dict[K, tuple[V, int]] = {}  # the value, and the bytes of input its key holds
        self._bytes = 0
        self._lock = threading.Lock()

    def get(self, key: K, make: Callable[[], V]) -> V:
        try:
            return self._entries[key][0]
        except KeyError:
            pass
        value = make()
        if self._keep is None or self._keep(value):
            self.put(key, value)
        return value

    def put(self, key: K, value: V) -> None:
        """`value` kept under `key` as the newest entry, where the memo has room for the input its key holds."""
        if not self._size:
            return
        weight = input_bytes(key)
        if weight > self._max_bytes:
            return
        with self._lock:
            while self._entries and (len(self._entries) >= self._size or self._bytes + weight > self._max_bytes):
                oldest = next(iter(self._entries))
                self._bytes -= self._entries.pop(oldest)[1]
            self._bytes -= self._entries.pop(key, (value, 0))[1]  # made by another thread meanwhile
            self._entries[key] = (value, weight)
            self._bytes += weight

    def pop(self, key: K) -> V | None:
        """The value kept under `key`, no longer kept; None where none is."""
        with self._lock:
            entry = self._entries.pop(key, None)
            if entry is None:
                return None
            self._bytes -= entry[1]
            return entry[0]

    @property
    def held(self) -> int:
        """The bytes of input that the keys of the entries hold."""
        return self._bytes

    def __len__(self) -> int:
        return len(self._entries)

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
            self._bytes = 0


class Memoized[R]:
    """`function` with a `Memo` of its results by its arguments (each hashable): the bounds, and the lock, of
    every other memo of the verifier."""

    def __init__(self, size: int, function: Callable[..., R]) -> None:
        self._memo: Memo[tuple[Hashable, ...], R] = Memo(size)
        self._function = function

    def __call__(self, *arguments: Hashable) -> R:
        return self._memo.get(arguments, lambda: self._function(*arguments))
