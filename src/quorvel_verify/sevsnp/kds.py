"""A client of AMD's Key Distribution Service (KDS), with a disk cache and an offline mode.

The KDS serves the VCEK of a chip at a TCB, the intermediate and root
certificates of each product line's VCEK and VLEK chains, and the revocation
lists that the roots sign. It limits how often a caller may ask (HTTP 429) and
is sometimes unavailable (503): the client waits as the server's `Retry-After`
says, or backs off exponentially, within a bounded total time.

Nothing the client returns is trusted for being returned: a VCEK, a chain or a
revocation list is only parsed here (so that a body that is not one is never
cached), and `verify` then checks it against the pinned AMD roots, whether it
came from the network or from the cache.
"""

from __future__ import annotations

import datetime
import email.utils
import http.client
import ipaddress
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import IO, NoReturn

from cryptography.hazmat.primitives import serialization

from .._internal.cache import MAX_ENTRY_SIZE, Cache
from ..errors import ErrorKind, VerificationError
from .evidence import load_certificates
from .report import Report
from .revocation import load_crl
from .urls import KDS_BASE_URL, KEY_KINDS, cert_chain_url, crl_url, vcek_url
from .vocabulary import ProductLine

PRODUCTS = tuple(ProductLine)

USER_AGENT = "quorvel-verify"


class KdsError(VerificationError):
    """A request to the KDS failed. The message names the address and the status or the fault."""

    default_kind = ErrorKind.NETWORK

    def __init__(self, message: str, status: int | None = None) -> None:
        super().__init__(message)
        self.status = status  # the HTTP status, if the server answered with one


class OfflineError(VerificationError):
    """Offline, and what a verification needs is neither given nor in the cache. The message names it."""

    default_kind = ErrorKind.COLLATERAL


def check_base_url(base_url: str) -> str:
    """`base_url` if the client may use it: HTTPS, or plain HTTP to a loopback host (a test server)."""
    parts = urllib.parse.urlsplit(base_url)
    host = parts.hostname or ""
    if parts.scheme == "https" and host:
        return base_url
    if parts.scheme == "http" and _is_loopback(host):
        return base_url
    raise VerificationError(f"KDS address must be https:// (or http:// to a loopback host), not {base_url!r}")


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


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
        raise ValueError(f"{len(certificates)} certificates instead of the intermediate and the root")
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


class _CheckedRedirects(urllib.request.HTTPRedirectHandler):
    """Follows a redirect only to an address the client could have been given itself."""

    def redirect_request(
        self,
        req: urllib.request.Request,
        fp: IO[bytes],
        code: int,
        msg: str,
        headers: http.client.HTTPMessage,
        newurl: str,
    ) -> urllib.request.Request | None:
        try:
            check_base_url(newurl)
        except VerificationError:
            raise KdsError(f"{req.full_url}: HTTP {code} redirects to {newurl}, which is not https://") from None
        return super().redirect_request(req, fp, code, msg, headers, newurl)


class KdsClient:
    """Fetches from the KDS at `base_url`, keeping what it fetched in `cache` (if given).

    `timeout` bounds every request (seconds without a byte from the server);
    `max_wait` bounds the total time spent waiting to retry one address after
    a 429 or a 503. `progress` receives one line per wait ("waiting 2 s to
    retry ..."), for a command to print where its user sees it. With
    `offline`, the client never touches the network: what the cache lacks is
    an `OfflineError` that names it. `sleep` and `clock` are replaceable for
    tests.
    """

    def __init__(
        self,
        base_url: str = KDS_BASE_URL,
        *,
        cache: Cache | None = None,
        offline: bool = False,
        timeout: float = 10.0,
        max_wait: float = 60.0,
        first_backoff: float = 1.0,
        progress: Callable[[str], None] | None = None,
        sleep: Callable[[float], None] = time.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.base_url = check_base_url(base_url)
        self.cache = cache
        self.offline = offline
        self.timeout = timeout
        self.max_wait = max_wait
        self.first_backoff = first_backoff
        self.progress = progress
        self._sleep = sleep
        self._clock = clock
        self._opener = urllib.request.build_opener(_CheckedRedirects())

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
            return cached
        if self.offline:
            where = f" in the cache {self.cache.directory}" if self.cache else " (no cache)"
            raise OfflineError(f"offline: no {kind.what}{where} for {url}")
        body = self._request(url)
        try:
            data, _ = kind.decode(body)
        except ValueError:
            raise KdsError(f"{url}: the response is not a {kind.what} ({len(body)} bytes: {body[:12]!r}...)") from None
        if self.cache is not None:
            try:
                self.cache.write(name, data)
            except OSError as error:
                # A cache that cannot be written costs a request next time, not this verification.
                if self.progress is not None:
                    self.progress(f"not cached: {self.cache.path(name)}: {error.strerror or error}")
        return data

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
            self.cache.drop(name)
            return None
        # Offline, a stale entry is still what there is; the checks judge it.
        if expires is not None and expires < now and not self.offline:
            return None
        return entry

    def _request(self, url: str) -> bytes:
        """The body of a successful GET of `url`, after waiting out 429s and 503s within `max_wait`."""
        return self._exchange(url)[0]

    def _exchange(self, url: str) -> tuple[bytes, dict[str, str]]:
        """The body and headers of a successful GET of `url`, after waiting out 429s and 503s within `max_wait`
        (Intel's PCS answers with issuer chains in its headers)."""
        deadline = self._clock() + self.max_wait
        backoff = self.first_backoff
        attempt = 0
        while True:
            attempt += 1
            request = urllib.request.Request(url, headers={"User-Agent": USER_AGENT})
            try:
                with self._opener.open(request, timeout=self.timeout) as response:
                    return _read_body(response, url), dict(response.headers.items())
            except urllib.error.HTTPError as error:
                with error:
                    status, reason, retry_after = error.code, error.reason, error.headers.get("Retry-After")
                if status not in (429, 503):
                    raise KdsError(f"{url}: HTTP {status} {reason}", status) from None
                wait = _retry_after(retry_after)
                if not wait:  # none, or "now" (0, a date past): retried at once, a request would be refused again
                    wait, backoff = backoff, backoff * 2
                if self._clock() + wait > deadline:
                    raise KdsError(
                        f"{url}: HTTP {status} {reason}, still after {attempt} attempts"
                        f" (retrying in {wait:g} s would exceed {self.max_wait:g} s)",
                        status,
                    ) from None
                if self.progress is not None:
                    self.progress(f"waiting {wait:g} s to retry {url} (HTTP {status}, attempt {attempt})")
                self._sleep(wait)
            except (TimeoutError, urllib.error.URLError, http.client.HTTPException, OSError) as error:
                _network_failure(url, error, self.timeout)


def _product(product: str) -> str:
    if product not in PRODUCTS:
        raise VerificationError(f"product line must be one of {', '.join(PRODUCTS)}, not {product!r}")
    return product


def _read_body(response: http.client.HTTPResponse, url: str) -> bytes:
    header = response.headers.get("Content-Length")
    length = int(header) if header is not None and header.isdigit() else None
    if length is not None and length > MAX_ENTRY_SIZE:
        raise KdsError(f"{url}: the response of {length} bytes is larger than any KDS entry")
    body = response.read(MAX_ENTRY_SIZE + 1)
    if len(body) > MAX_ENTRY_SIZE:
        raise KdsError(f"{url}: the response is larger than any KDS entry")
    # A connection closed early ends a read short without an error.
    if length is not None and len(body) != length:
        raise KdsError(f"{url}: the response ended after {len(body)} of its {length} bytes")
    return body


def _network_failure(url: str, error: BaseException, timeout: float) -> NoReturn:
    if isinstance(error, urllib.error.URLError) and isinstance(error.reason, BaseException):
        error = error.reason
    if isinstance(error, TimeoutError):
        raise KdsError(f"{url}: no response within {timeout:g} s") from None
    if isinstance(error, http.client.IncompleteRead):
        raise KdsError(f"{url}: the response ended after {len(error.partial)} bytes") from None
    raise KdsError(f"{url}: {error}") from None


def _retry_after(value: str | None) -> float | None:
    """Seconds to wait as a `Retry-After` header says (a number of seconds or an HTTP date), or None."""
    if value is None:
        return None
    value = value.strip()
    if value.isdigit():
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError):
        return None
    if when.tzinfo is None:
        return None
    return max(0.0, (when - _utcnow()).total_seconds())


__all__ = ["KEY_KINDS", "PRODUCTS", "KdsClient", "KdsError", "OfflineError", "check_base_url"]
