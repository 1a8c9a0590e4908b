"""What a collateral client remembers of what it returned, until its caller has judged it.

A client (AMD's key service, Intel's certification service) caches nothing by
itself: what it returns enters the cache only when the caller's checks that
judge it passed (`keep`), and what it read from the cache and failed them is
dropped (`forget`), so that asking again fetches it anew. Between the two, the
client remembers where each thing it returned came from, keyed by the thing
itself, so that bytes or values it did not return (or changed since) are
never written under its entries.
"""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable
from dataclasses import dataclass

from .cache import Cache

# A run asks for three or four things; a long-lived client forgets the oldest it was never told about.
REMEMBERED = 64


@dataclass(frozen=True)
class Origin:
    """Where something a client returned came from: its cache entry, and whether it was read from it."""

    name: str
    cached: bool


class Origins:
    """The origins of the last `REMEMBERED` things a client returned, by key. A verifier, and so its
    client, may serve several threads: every step holds a lock."""

    def __init__(self) -> None:
        self._origins: OrderedDict[Hashable, Origin] = OrderedDict()
        self._lock = threading.Lock()

    def remember(self, key: Hashable, name: str, *, cached: bool) -> None:
        with self._lock:
            self._origins[key] = Origin(name, cached)
            self._origins.move_to_end(key)
            while len(self._origins) > REMEMBERED:
                self._origins.popitem(last=False)

    def take(self, key: Hashable) -> Origin | None:
        """The origin of `key`, forgotten once told: a verdict settles what was returned once."""
        with self._lock:
            return self._origins.pop(key, None)


def write_entry(cache: Cache, name: str, data: bytes, progress: Callable[[str], None] | None) -> None:
    """`data` into the entry `name`. A cache that cannot be written costs a request next time, not this
    verification: `progress` (if given) is told, and nothing is raised."""
    try:
        cache.write(name, data)
    except OSError as error:
        if progress is not None:
            progress(f"not cached: {cache.path(name)}: {error.strerror or error}")


__all__ = ["REMEMBERED", "Origin", "Origins", "write_entry"]
