"""A client of AMD's Key Distribution Service (KDS), with a disk cache and an offline mode.

The KDS serves the VCEK of a chip at a TCB, the intermediate and root
certificates of each product line's VCEK and VLEK chains, and the revocation
lists that the roots sign. The requests, their retries after HTTP 429 and 503
and their deadlines are the shared fetcher's (`_internal.http`).

Nothing the client returns is trusted for being returned: a VCEK, a chain or a
revocation list is only parsed here, and `verify` then checks it against the
pinned AMD roots, whether it came from the network or from the cache. So the
client caches nothing by itself: what it fetched enters the cache when the
caller, whose checks judged it, says `keep(data)`; an entry read from the
cache that failed them is dropped by `forget(data)`, so that the next request
asks the KDS again instead of failing on it for good.
"""

from __future__ import annotations

import contextlib
import datetime
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass

from cryptography.hazmat.primitives import serialization

from .._internal import limits
from .._internal.certificates import how_many
from .._internal.client import CollateralClient, JudgedBy, write_entry
from .._internal.http import USER_AGENT, FetchError, check_url
from ..errors import ErrorKind, OfflineError, VerificationError
from .evidence import load_certificates
from .report import Report
from .revocation import load_crl
from .urls import KDS_BASE_URL, KEY_KINDS, cert_chain_url, crl_url, vcek_url
from .vocabulary import ProductLine

PRODUCTS = tuple(ProductLine)

# The parts the client returns, by the checks that report on each (`_internal.client.JudgedBy`). What the
# cache keeps is judged by the entry alone (`SevSnp.vcek_holds`, `SevSnp.crl_holds`): a VCEK by AMD's pinned
# intermediate that signed it for the chip and TCB it is filed under, a list by the pinned root's signature
# and its dates (one that revokes the chain holds).
JUDGED_BY: JudgedBy = {"VCEK": ("chain", "key", "chip", "tcb"), "revocation list": ("revocation",)}


class KdsError(FetchError):
    """A request to the KDS failed. The message names the address and the status or the fault."""


def check_base_url(base_url: str) -> str:
    """`base_url` if the client may use it: HTTPS, or plain HTTP to a loopback host (a test server), with
    no user name, password, query or fragment."""
    check_url(base_url, "KDS address")
    return base_url


@dataclass(frozen=True)
class _Kind:
    """What one kind of KDS entry is called and how its bytes are read."""

    what: str
    # The entry normalised (a VCEK and a CRL as DER, a chain as PEM) and when it stops being current (None: never).
    decode: Callable[[bytes], tuple[bytes, datetime.datetime | None]]


def _decode_vcek(data: bytes) -> tuple[bytes, datetime.datetime | None]:
    certificates = load_certificates(data)
    if len(certificates) != 1:
        raise ValueError(f"{len(certificates)} certificates instead of one")
    # The certificate of one chip at one TCB never changes: kept for good.
    return certificates[0].public_bytes(serialization.Encoding.DER), None


def _decode_chain(data: bytes) -> tuple[bytes, datetime.datetime | None]:
    certificates = load_certificates(data)
    if len(certificates) != 2:
        raise ValueError(f"{how_many(len(certificates))} instead of the intermediate and the root")
    pem = b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)
    return pem, min(c.not_valid_after_utc for c in certificates)


def _decode_crl(data: bytes) -> tuple[bytes, datetime.datetime | None]:
    crl = load_crl(data)
    # A list without a next update is never current: `revocation` says so.
    next_update = crl.next_update_utc or datetime.datetime.min.replace(tzinfo=datetime.UTC)
    return crl.public_bytes(serialization.Encoding.DER), next_update


_VCEK = _Kind("VCEK", _decode_vcek)
_CHAIN = _Kind("certificate chain", _decode_chain)
_CRL = _Kind("revocation list", _decode_crl)


def _utcnow() -> datetime.datetime:
    return datetime.datetime.now(datetime.UTC)


class KdsClient(CollateralClient):
    """Fetches from the KDS at `base_url` (default: AMD's), reading and (when told to `keep`) writing
    `cache` (if given).

    `timeout` bounds every request, from connecting to the body's last byte;
    `max_wait` bounds the total time spent waiting to retry one address after
    a 429 or a 503; `run_seconds`, if given, everything the client fetches
    from its creation (a command's run). `progress` receives one line per wait
    ("waiting 2 s to retry ...") and one per request still unanswered after
    `slow_after` seconds ("still waiting for ..."; None: never), for a command
    to print where its user sees it (never on stdout). With `offline`, the client never touches the network: what the cache
    lacks is an `OfflineError` that names it. `sleep` and `clock` are
    replaceable for tests.
    """

    _default_base_url = KDS_BASE_URL
    _address = "KDS address"
    judged_by = JUDGED_BY
    _error = KdsError

    def keep(self, data: bytes) -> None:
        """The checks that judge `data`, which this client returned, passed: it enters the cache (if it was
        fetched; what was read from the cache stays there). Bytes the client did not return are ignored."""
        origin = self._origins.take(bytes(data))
        if origin is None or origin.cached or self.cache is None:
            return
        write_entry(self.cache, origin.name, data, self.progress)

    def forget(self, data: bytes) -> bool:
        """The checks that judge `data`, which this client returned, failed: if it was read from the cache,
        the entry is dropped, so that asking again fetches it anew. Whether an entry was dropped: never
        offline, where nothing could replace it (and a list past its next update is still what there is)."""
        origin = self._origins.take(bytes(data))
        if origin is None or not origin.cached or self.cache is None or self.offline:
            return False
        try:
            self.cache.drop(origin.name)
        except OSError:
            return False
        return True

    def settle(self, data: bytes, passed: bool) -> bool:
        """`keep(data)` if the checks that judge it `passed`, else `forget(data)`; whether a cached entry was
        dropped, so that asking once more fetches it anew (and may get a good one)."""
        if passed:
            self.keep(data)
            return False
        return self.forget(data)

    def _returned(self, data: bytes, name: str, *, cached: bool) -> bytes:
        self._origins.remember(data, name, cached=cached)
        return data

    def vcek(
        self, product: str, chip_id: bytes, spls: Mapping[str, int], *, now: datetime.datetime | None = None
    ) -> bytes:
        """The DER VCEK of the chip `chip_id` of `product` at the TCB `spls` (KDS query names)."""
        url = vcek_url(_product(product), chip_id, spls, self.base_url)
        hw_id = urllib.parse.urlsplit(url).path.rsplit("/", 1)[1]
        tcb = "_".join(f"{name}{value}" for name, value in spls.items())
        return self._get(f"vcek/{product}/{hw_id}/{tcb}.der", url, _VCEK, now)

    def vcek_for(self, report: Report, *, now: datetime.datetime | None = None) -> tuple[str, bytes]:
        """The product line and DER VCEK of the chip and reported TCB of `report`.

        A version-2 report names no product line: the lines of its TCB layout
        are asked in turn, and the one that knows the chip answers.
        """
        if report.key_kind == "VLEK":
            raise VerificationError(
                "the report is signed by a VLEK, which the KDS does not serve: give its certificate", ErrorKind.COLLATERAL
            )
        if report.key_kind != "VCEK":
            raise VerificationError(f"the report's signing-key field holds {report.signing_key}, which names no VCEK",
                                    ErrorKind.COLLATERAL)
        if report.mask_chip_id:
            raise VerificationError(
                "the report's chip id is masked, so the KDS cannot name its VCEK: give its certificate",
                ErrorKind.COLLATERAL,
            )
        spls = report.reported_tcb.spls()
        *others, last = [report.product] if report.product else ["Turin"] if report.turin else ["Milan", "Genoa"]
        for product in others:
            try:
                return product, self.vcek(product, report.chip_id, spls, now=now)
            except OfflineError:
                pass
            except KdsError as error:
                if error.status != 404:
                    raise
        return last, self.vcek(last, report.chip_id, spls, now=now)

    def cert_chain(self, product: str, key_kind: str = "VCEK", *, now: datetime.datetime | None = None) -> bytes:
        """The PEM intermediate (ASK or ASVK) then root (ARK) of a product line's chain."""
        url = cert_chain_url(_product(product), key_kind, self.base_url)
        return self._get(f"{key_kind.lower()}/{product}/cert_chain.pem", url, _CHAIN, now)

    def crl(self, product: str, key_kind: str = "VCEK", *, now: datetime.datetime | None = None) -> bytes:
        """The DER revocation list that the product line's ARK signs for a chain."""
        url = crl_url(_product(product), key_kind, self.base_url)
        return self._get(f"{key_kind.lower()}/{product}/crl.der", url, _CRL, now)

    def _get(self, name: str, url: str, kind: _Kind, now: datetime.datetime | None) -> bytes:
        now = now or _utcnow()
        cached = self._cached(name, kind, now)
        if cached is not None:
            return self._returned(cached, name, cached=True)
        if self.offline:
            where = f" in the cache {self.cache.directory}" if self.cache else " (no cache)"
            raise OfflineError(f"offline: no {kind.what}{where} for {url}")
        body = self._fetcher.get(url, limits.KDS_BODY_SIZE, "KDS entry")
        try:
            data, _ = kind.decode(body)
        except ValueError:
            raise KdsError(f"{url}: the response is not a {kind.what} ({len(body)} bytes: {body[:12]!r}...)") from None
        return self._returned(data, name, cached=False)

    def _cached(self, name: str, kind: _Kind, now: datetime.datetime) -> bytes | None:
        if self.cache is None:
            return None
        data = self.cache.read(name)
        if data is None:
            return None
        try:
            entry, expires = kind.decode(data)
        except ValueError:
            # Torn, truncated or overwritten by something else: never trusted, fetched again.
            with contextlib.suppress(OSError):
                self.cache.drop(name)
            return None
        # Offline, a stale entry is still what there is; the checks judge it.
        if expires is not None and expires < now and not self.offline:
            return None
        return entry

def _product(product: str) -> str:
    if product not in PRODUCTS:
        raise VerificationError(f"product line must be one of {', '.join(PRODUCTS)}, not {product!r}")
    return product


__all__ = [
    "JUDGED_BY", "KEY_KINDS", "PRODUCTS", "USER_AGENT", "KdsClient", "KdsError", "OfflineError", "check_base_url",
]
