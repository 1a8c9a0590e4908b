"""A bounded memo of judgements, keyed by the exact bytes judged."""

from __future__ import annotations

import threading
from collections.abc import Callable, Hashable


class Memo[K: Hashable, V]:
    """At most `size` entries (0: none kept); when full, the oldest goes first. A `make` that raises leaves
    nothing behind. A verifier serves several threads: entries are added and evicted under a lock (two
    threads evicting the same oldest entry would otherwise raise KeyError), while `make` runs outside it."""

    def __init__(self, size: int) -> None:
        self._size = max(0, size)
        self._entries: dict[K, V] = {}
        self._lock = threading.Lock()

    def get(self, key: K, make: Callable[[], V]) -> V:
        try:
            return self._entries[key]
        except KeyError:
            pass
        value = make()
        if not self._size:
            return value
        with self._lock:
            if len(self._entries) >= self._size:
                del self._entries[next(iter(self._entries))]
            self._entries[key] = value
        return value

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
