"""What the clients of vendors' collateral services (AMD's key service, Intel's certification service) share.

Their set-up: the service's address, the cache, offline mode, and the shared
fetcher with its deadlines and retries.

And the rule that a client caches nothing by itself: what it returns enters
the cache only when the caller's checks that judge it passed (`keep`), and
what it read from the cache and failed them is dropped (`forget`), so that
asking again fetches it anew. Between the two, the client remembers where
each thing it returned came from, keyed by the thing itself, so that bytes or
values it did not return (or changed since) are never written under its
entries.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Hashable, Mapping
from dataclasses import dataclass
from typing import ClassVar

from . import limits
from .cache import Cache
from .http import FetchError, Fetcher, check_url
from .memo import Memo

# A run asks for three or four things; a long-lived client forgets the oldest it was never told about.
REMEMBERED = 64

# What each part that a collateral client returns (a VCEK, a revocation list, Intel's TCB info, ...) is
# reported on by: the checks of a verification that judge it. What the cache keeps or drops is not judged by
# them, which also fail for forged evidence, but by each part alone under the pinned roots (its signature,
# issuer and dates): genuine collateral is never dropped for a forged report's or quote's sake.
type JudgedBy = Mapping[str, tuple[str, ...]]


@dataclass(frozen=True)
class Origin:
    """Where something a client returned came from: its cache entry, and whether it was read from it."""

    name: str
    cached: bool


class Origins:
    """The origins of the last `REMEMBERED` things a client returned, by key. A verifier, and so its
    client, may serve several threads: the memo holds its lock for every step."""

    def __init__(self) -> None:
        # Bounded by the count alone: every key is a body the service sent, which its own limit bounds.
        self._origins: Memo[Hashable, Origin] = Memo(REMEMBERED, max_bytes=REMEMBERED * limits.KDS_BODY_SIZE)

    def remember(self, key: Hashable, name: str, *, cached: bool) -> None:
        self._origins.put(key, Origin(name, cached))

    def take(self, key: Hashable) -> Origin | None:
        """The origin of `key`, forgotten once told: a verdict settles what was returned once."""
        return self._origins.pop(key)


def write_entry(cache: Cache, name: str, data: bytes, progress: Callable[[str], None] | None) -> None:
    """`data` into the entry `name`. A cache that cannot be written costs a request next time, not this
    verification: `progress` (if given) is told, and nothing is raised."""
    try:
        cache.write(name, data)
    except OSError as error:
        if progress is not None:
            progress(f"not cached: {cache.path(name)}: {error.strerror or error}")


class CollateralClient:
    """A client of one collateral service at `base_url` (default: the vendor's own), reading and (when told
    to keep what passed) writing `cache` (if given); what the subclasses document their parameters as."""

    _default_base_url: ClassVar[str]
    _address: ClassVar[str]  # what the service's address is called in errors: "KDS address"
    # Each part the client returns, with the checks of a verification that report on it (`JudgedBy`).
    judged_by: ClassVar[JudgedBy]
    _error: ClassVar[type[FetchError]]  # what a failed request raises

    def __init__(
        self,
        base_url: str | None = None,
        *,
        cache: Cache | None = None,
        offline: bool = False,
        timeout: float = limits.REQUEST_SECONDS,
        max_wait: float = limits.RETRY_SECONDS,
        run_seconds: float | None = None,
        first_backoff: float = 1.0,
        progress: Callable[[str], None] | None = None,
        slow_after: float | None = limits.SLOW_SECONDS,
        sleep: Callable[[float], None] = time.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        url = self._default_base_url if base_url is None else base_url
        check_url(url, self._address)
        self.base_url = url
        self.cache = cache
        self.offline = offline
        self.progress = progress
        self._fetcher = Fetcher(
            timeout=timeout, max_wait=max_wait, run_seconds=run_seconds, first_backoff=first_backoff,
            progress=progress, slow_after=slow_after, error=self._error, sleep=sleep, clock=clock,
        )
        self._origins = Origins()


__all__ = ["REMEMBERED", "CollateralClient", "JudgedBy", "Origin", "Origins", "write_entry"]
