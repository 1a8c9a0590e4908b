"""A client of Intel's Provisioning Certification Service (PCS, API v4) for TDX, with a disk cache and an offline mode.

It fetches the collateral that verifies a TDX quote, in the form of the
`--collateral` file (`pcs_answers.FIELDS`: CRLs as hex DER, chains as PEM,
the TCB info and QE identity as the exact text Intel signed, signatures as
hex): the TCB info of the quote's FMSPC, the TD quoting enclave's identity,
the CRL of the PCK CA that issued the quote's PCK certificate, and the root
CA's CRL. That last one comes from Intel's certificate host
(https://certificates.trustedservices.intel.com/IntelSGXRootCA.der) when the
client asks Intel's own service; given another address (a caching service
or mirror, such as Intel's PCCS), the client asks it for everything, the
root CA's CRL at `<base>/sgx/certification/v4/rootcacrl` (hex or DER), or
where that is not served (404), at `<base>/sgx/certification/v4/crl?uri=`
with the root's distribution point (DER).

The requests, their retries after HTTP 429 and 503 and their deadlines are
the shared fetcher's, as for AMD's key service. Nothing the client returns is
trusted for being returned: each answer is only read and checked to be what
it claims (`pcs_answers`), and the verifier then judges its signatures, chains
and dates against the pinned root, whether it came from the network or from
the cache. So the client caches nothing by itself: what it fetched enters the
cache when the caller, whose checks judged it, says `keep(collateral)`; what
was read from the cache and failed them is dropped by `forget(collateral)`,
so that asking again fetches it anew instead of failing on it for good.
`settle` does either, part by part (`JUDGED_BY` names the checks that judge
each part).
"""

from __future__ import annotations

import contextlib
import datetime
import json
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass

from .._internal import limits
from .._internal.cache import Cache
from .._internal.client import CollateralClient, JudgedBy, Origin, write_entry
from .._internal.http import FetchError, check_url
from .._internal.json_object import lone_surrogate
from .._internal.untrusted import describe
from ..errors import ErrorKind, OfflineError, VerificationError
from . import pcs_answers
from .pck import load_pck_chain
from .quote import Quote, parse_quote
from .pcs_answers import FIELDS, FMSPC_SIZE, PARTS, PCK_CA_NAMES, PCS_BASE_URL, TCB_UPDATES, Part

# The parts the client returns, by the checks that report on each (`_internal.client.JudgedBy`). What the
# cache keeps is judged by each part alone (`TdxChecker.entries`): its signature under the pinned root and
# its dates.
JUDGED_BY: JudgedBy = {
    "tcb_info": ("collateral",),
    "qe_identity": ("collateral",),
    "pck_crl": ("revocation",),
    "root_ca_crl": ("revocation",),
}


class PcsError(FetchError):
    """A request to the PCS failed, or its answer is not what was asked for. The message names the address."""


def check_base_url(base_url: str) -> str:
    """`base_url` if the client may use it: HTTPS, or plain HTTP to a loopback host (a test server), with
    no user name, password, query or fragment."""
    check_url(base_url, "PCS address")
    return base_url


def _utcnow() -> datetime.datetime:
    return datetime.datetime.now(datetime.UTC)


@dataclass(frozen=True)
class _Request:
    """One part asked for: its cache entry's name, its address, and what its answer must be (`Part.check`)."""

    part: Part
    name: str
    url: str
    expected: str
    fallback: str | None = None  # asked for where `url` is not served (HTTP 404)


class PcsClient(CollateralClient):
    """Fetches from the PCS at `base_url` (default: Intel's), reading and (when told to `keep`) writing
    `cache` (if given).

    `timeout`, `max_wait`, `run_seconds`, `first_backoff`, `progress`,
    `slow_after`, `sleep` and `clock` mean what they mean for `KdsClient`: each request has one
    deadline, the waits to retry one address after 429 or 503 have one,
    and (if given) so has everything the client fetches from its creation.
    With `offline`, the client never touches the network: what the cache
    lacks is an `OfflineError` that names it. `tcb_update` ("early" or
    "standard"; None: the service's default, Intel's standard) asks for that
    set of Intel's TCB info and QE identity: the early one names a TCB
    recovery's levels before the standard one does, for a fleet to prepare.
    Each set has its own cache entries.

    For `--fetch`, a verifier asks `collateral(fmspc, ca)` with the FMSPC and
    the issuing CA from the quote's PCK certificate, checks the quote with
    it, then calls `settle(collateral, passed)` with, for each part of
    `JUDGED_BY`, whether the part holds by itself (`TdxChecker.entries`),
    whatever the quote's checks found; if that dropped a cached part, it asks
    once more. What it used is what `--save-collateral` writes.
    """

    _default_base_url = PCS_BASE_URL
    _address = "PCS address"
    judged_by = JUDGED_BY
    _error = PcsError

    def __init__(
        self,
        base_url: str | None = None,
        *,
        cache: Cache | None = None,
        offline: bool = False,
        tcb_update: str | None = None,
        timeout: float = limits.REQUEST_SECONDS,
        max_wait: float = limits.RETRY_SECONDS,
        run_seconds: float | None = None,
        first_backoff: float = 1.0,
        progress: Callable[[str], None] | None = None,
        slow_after: float | None = limits.SLOW_SECONDS,
        sleep: Callable[[float], None] = time.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if tcb_update is not None and (not isinstance(tcb_update, str) or tcb_update not in TCB_UPDATES):
            raise VerificationError(
                f"tcb_update: one of {', '.join(TCB_UPDATES)} (or None), not {tcb_update!r}", ErrorKind.USAGE
            )
        super().__init__(
            base_url, cache=cache, offline=offline, timeout=timeout, max_wait=max_wait, run_seconds=run_seconds,
            first_backoff=first_backoff, progress=progress, slow_after=slow_after, sleep=sleep, clock=clock,
        )
        self.tcb_update = tcb_update
        # The cache entries of a set asked for by name are its own: the early set is not the standard one.
        self._set = "" if tcb_update is None else f"{tcb_update}/"

    # --- What the client fetches ------------------------------------------------

    def collateral(self, fmspc: bytes, ca: str, *, now: datetime.datetime | None = None) -> dict[str, str]:
        """The whole collateral of a quote whose PCK certificate names `fmspc` and was issued by the PCK CA
        `ca` ("platform" or "processor"), in the form of the `--collateral` file.

        Offline, an `OfflineError` names every part the cache lacks.
        """
        requests = (self._tcb_info(fmspc), self._qe_identity(), self._pck_crl(ca), self._root_ca_crl())
        found: dict[str, str] = {}
        missing: list[_Request] = []
        for request in requests:
            try:
                found |= self._get(request, now)
            except OfflineError:
                missing.append(request)
        if missing:
            raise OfflineError(self._missing(missing))
        return {name: found[name] for name in FIELDS}

    def collateral_for(self, quote: object, *, now: datetime.datetime | None = None) -> dict[str, str]:
        """The whole collateral of `quote` (its bytes or a parsed `Quote`): of the platform model and PCK CA
        that its PCK certificate names."""
        parsed = quote if isinstance(quote, Quote) else parse_quote(quote)  # type: ignore[arg-type]
        chain = load_pck_chain(parsed.signature_data.pck_chain_pem)
        return self.collateral(chain.extension.fmspc, chain.issuer.value, now=now)

    def tcb_info(self, fmspc: bytes, *, now: datetime.datetime | None = None) -> dict[str, str]:
        """The TCB info of the platform model `fmspc`: `tcb_info`, `tcb_info_signature`, `tcb_info_issuer_chain`."""
        return self._get(self._tcb_info(fmspc), now)

    def qe_identity(self, *, now: datetime.datetime | None = None) -> dict[str, str]:
        """The TD quoting enclave's identity: `qe_identity`, `qe_identity_signature`, `qe_identity_issuer_chain`."""
        return self._get(self._qe_identity(), now)

    def pck_crl(self, ca: str, *, now: datetime.datetime | None = None) -> dict[str, str]:
        """The CRL of the PCK CA `ca` ("platform" or "processor"): `pck_crl`, `pck_crl_issuer_chain`."""
        return self._get(self._pck_crl(ca), now)

    def root_ca_crl(self, *, now: datetime.datetime | None = None) -> dict[str, str]:
        """The root CA's CRL: `root_ca_crl`."""
        return self._get(self._root_ca_crl(), now)

    def _tcb_info(self, fmspc: bytes) -> _Request:
        if not isinstance(fmspc, bytes) or len(fmspc) != FMSPC_SIZE:
            raise VerificationError(f"an FMSPC is {FMSPC_SIZE} bytes, not {fmspc!r}", ErrorKind.USAGE)
        name = fmspc.hex().upper()
        url = pcs_answers.tcb_info_url(fmspc, self.base_url, self.tcb_update)
        return _Request(pcs_answers.TCB_INFO, f"pcs/tdx/{self._set}tcb/{name}.json", url, name)

    def _qe_identity(self) -> _Request:
        url = pcs_answers.qe_identity_url(self.base_url, self.tcb_update)
        return _Request(pcs_answers.QE_IDENTITY, f"pcs/tdx/{self._set}qe-identity.json", url, "")

    def _pck_crl(self, ca: str) -> _Request:
        # The plain name, whatever kind of str (an enumeration's member) `ca` is.
        name = next((known for known in PCK_CA_NAMES if isinstance(ca, str) and ca == known), None)
        if name is None:
            raise VerificationError(f"a PCK CA is one of {', '.join(PCK_CA_NAMES)}, not {ca!r}", ErrorKind.USAGE)
        return _Request(pcs_answers.PCK_CRL, f"pcs/pck-crl/{name}.json", pcs_answers.pck_crl_url(name, self.base_url),
                        name)

    def _root_ca_crl(self) -> _Request:
        url = pcs_answers.root_ca_crl_url(self.base_url)
        fallback = None if url == pcs_answers.INTEL_ROOT_CA_CRL_URL else pcs_answers.crl_by_uri_url(self.base_url)
        return _Request(pcs_answers.ROOT_CA_CRL, "pcs/root-ca-crl.json", url, "", fallback)

    def _missing(self, missing: list[_Request]) -> str:
        where = f"in the cache {self.cache.directory}" if self.cache else "(no cache)"
        if len(missing) == 1:
            return f"offline: no {missing[0].part.what} {where} for {missing[0].url}"
        listed = "; ".join(f"no {request.part.what} for {request.url}" for request in missing)
        return f"offline: {where}: {listed}"

    def _get(self, request: _Request, now: datetime.datetime | None) -> dict[str, str]:
        cached = self._cached(request, now or _utcnow())
        if cached is not None:
            return self._returned(request, cached, cached=True)
        if self.offline:
            raise OfflineError(self._missing([request]))
        url = request.url
        try:
            body, headers = self._fetcher.get_with_headers(url, limits.PCS_BODY_SIZE, "PCS answer")
        except PcsError as error:
            if error.status != 404 or request.fallback is None:
                raise
            url = request.fallback
            body, headers = self._fetcher.get_with_headers(url, limits.PCS_BODY_SIZE, "PCS answer")
        part = request.part
        try:
            chain = next((found for name in (part.header, *part.other_headers)
                          if name is not None and (found := headers.get(name)) is not None), None)
            fields = part.read(body, chain)
            part.check(fields, request.expected)
        except MemoryError:
            raise
        except Exception as error:  # noqa: BLE001 (whatever reading outside input raises is the input's fault)
            reason = describe(error)
            raise PcsError(f"{url}: the response is not the {part.what} asked for ({reason})") from None
        return self._returned(request, fields, cached=False)

    def _cached(self, request: _Request, now: datetime.datetime) -> dict[str, str] | None:
        if self.cache is None:
            return None
        data = self.cache.read(request.name)
        if data is None:
            return None
        part = request.part
        try:
            fields = json.loads(data)
            if not isinstance(fields, dict) or sorted(fields) != sorted(part.fields) or not all(
                isinstance(value, str) for value in fields.values()
            ) or lone_surrogate(fields):
                raise ValueError(f"not the fields of a {part.what}")
            expires = part.check(fields, request.expected)
        except MemoryError:
            raise
        except Exception:  # noqa: BLE001
            # Torn, truncated or overwritten by something else: never trusted, fetched again.
            with contextlib.suppress(OSError):
                self.cache.drop(request.name)
            return None
        # Offline, a part past its next update is still what there is; the checks judge it.
        if expires < now and not self.offline:
            return None
        return fields

    # --- Keeping what passed the checks that judge it ----------------------------

    def keep(self, collateral: Mapping[str, str]) -> None:
        """The checks that judge the parts of `collateral` that this client returned passed: they enter the
        cache (if they were fetched; what was read from the cache stays there). Other values are ignored."""
        self.settle(collateral, True)

    def forget(self, collateral: Mapping[str, str]) -> bool:
        """The checks that judge the parts of `collateral` that this client returned failed: those read from
        the cache are dropped, so that asking again fetches them anew. Whether an entry was dropped: never
        offline, where nothing could replace it."""
        return self.settle(collateral, False)

    def settle(self, collateral: Mapping[str, str], passed: bool | Mapping[str, bool]) -> bool:
        """For each part of `collateral` that this client returned, keep it if the checks that judge it
        passed (`passed`, or `passed[part]` by the names of `JUDGED_BY`), else forget it. Whether a cached
        entry was dropped, so that asking once more fetches it anew (and may get a good one)."""
        dropped = False
        for part in PARTS:
            origin = self._origins.take(_key(part, collateral))
            if origin is None or self.cache is None:
                continue
            if passed if isinstance(passed, bool) else passed.get(part.name, False):
                self._write(origin, part, collateral)
            elif origin.cached and not self.offline:
                with contextlib.suppress(OSError):
                    self.cache.drop(origin.name)
                    dropped = True
        return dropped

    def _write(self, origin: Origin, part: Part, collateral: Mapping[str, str]) -> None:
        if origin.cached or self.cache is None:
            return
        entry = json.dumps({name: collateral[name] for name in part.fields}, separators=(",", ":"))
        write_entry(self.cache, origin.name, entry.encode("ascii"), self.progress)

    def _returned(self, request: _Request, fields: dict[str, str], *, cached: bool) -> dict[str, str]:
        self._origins.remember(_key(request.part, fields), request.name, cached=cached)
        return dict(fields)


def _key(part: Part, collateral: Mapping[str, str]) -> tuple[str | None, ...]:
    """A part as the client returned it: the values of all its fields, so that a part changed since is not it."""
    return (part.name, *(collateral.get(name) for name in part.fields))


__all__ = ["JUDGED_BY", "PCS_BASE_URL", "TCB_UPDATES", "OfflineError", "PcsClient", "PcsError", "check_base_url"]
