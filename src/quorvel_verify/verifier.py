"""The verifier: what it trusts, where its collateral comes from, and the one-call `verify`.

A `Verifier` owns the pinned roots (AMD's bundled chains, or those it is made
with), how it judges revocation lists, where collateral comes from (what the
caller gives, else a `KdsClient` with its cache, online or offline) and its
own bounded caches. Its `verify` checks the evidence and returns the
evidence checks with the claims they established (an `EvidenceResult`); a
`Policy` then appraises those claims (`Policy.appraise`), which gives the
`Verification`. `verify()` does both in one call.
"""

from __future__ import annotations

import datetime
from collections.abc import Callable, Sequence
from typing import Final

from cryptography import x509
from cryptography.hazmat.primitives import serialization

from ._internal.certificates import der
from ._internal.platform import Collateral, EvidenceResult, PlatformVerifier, Revocation
from .errors import ErrorKind, VerificationError, about
from .policy import Policy
from .sevsnp.chains import trust_store
from .sevsnp.evidence import read_report
from .sevsnp.kds import JUDGED_BY, KdsClient
from .sevsnp.platform import EVIDENCE_CACHE_SIZE, SevSnp, SevSnpClaims
from .sevsnp.report import Report
from .verification import Verification

_DEFAULT_POLICY: Final = Policy()


class Verifier:
    """Verifies evidence against pinned roots, with its own bounded caches.

    `chains` pins chains instead of AMD's bundled ones: PEM, each an
    intermediate then its root (one or more such pairs per item); they are
    loaded and checked now. `revocation` says how revocation lists are
    judged (by default a verification without one is not refused, and a list
    counts as current until its next update). `kds`, a `KdsClient` (with its
    cache, and offline or not), supplies what the caller does not give: the
    VCEK of a report, and the revocation list of the chain the verification
    established; what it fetched enters its cache only once the checks that
    judge it passed, and a cached entry that fails them is dropped and
    fetched once more. `cache_size` bounds each of the verifier's caches: the
    certificates it has loaded, their chains and the checks that depend on a
    certificate alone. Two verifiers never share a cache, so one made with
    other roots never reuses another's verdict; a verifier is safe to share
    between threads.
    """

    def __init__(
        self,
        *,
        chains: bytes | Sequence[bytes] | None = None,
        revocation: Revocation = Revocation(),
        kds: KdsClient | None = None,
        cache_size: int = EVIDENCE_CACHE_SIZE,
    ) -> None:
        if not isinstance(revocation, Revocation):
            raise about("revocation", f"expected a Revocation, got {type(revocation).__name__}")
        if kds is not None and not isinstance(kds, KdsClient):
            raise about("kds", f"expected a KdsClient, got {type(kds).__name__}")
        if isinstance(cache_size, bool) or not isinstance(cache_size, int) or cache_size < 0:
            # None would make the caches unbounded.
            raise about("cache_size", f"expected a number of entries, 0 or more, got {cache_size!r}")
        self.revocation = revocation
        self.kds = kds
        self._platforms: tuple[PlatformVerifier[SevSnpClaims], ...] = (SevSnp(trust_store(chains), cache_size),)

    def verify(
        self,
        report: bytes | Report,
        certificate: bytes | x509.Certificate | None = None,
        *,
        certificate_table: bytes | None = None,
        crl: bytes | x509.CertificateRevocationList | None = None,
        now: datetime.datetime | None = None,
        revocation: Revocation | None = None,
    ) -> EvidenceResult[SevSnpClaims]:
        """The evidence checks of `report` and the claims they establish, before any policy.

        The arguments are `verify()`'s; `revocation` replaces the verifier's
        own settings for this call. Where neither `certificate` nor
        `certificate_table` is given, the verifier's `kds` supplies the VCEK;
        where `crl` is not given, the revocation list of the product line and
        key kind that the checks established. Raises `VerificationError` for
        input that cannot be verified at all.
        """
        now = instant(now)
        settings = self.revocation if revocation is None else revocation
        if not isinstance(settings, Revocation):
            raise about("revocation", f"expected a Revocation, got {type(settings).__name__}")
        collateral = Collateral(
            certificate=_certificate(certificate), certificate_table=_bytes("certificate_table", certificate_table),
            crl=_crl(crl),
        )
        platform = self._platform_of(report)

        def check(given: Collateral) -> EvidenceResult[SevSnpClaims]:
            return platform.check(report, given, now=now, revocation=settings)

        kds = self.kds
        if kds is None:
            return check(collateral)
        if collateral.certificate is None and collateral.certificate_table is None:
            decoded = read_report(report)
            crl_given = collateral.crl
            vcek, result = _settled(
                kds, lambda: kds.vcek_for(decoded, now=now)[1], lambda vcek: check(Collateral(vcek, crl=crl_given)),
                JUDGED_BY["VCEK"],
            )
            collateral = Collateral(vcek, crl=crl_given)
        else:
            result = check(collateral)
        claims = result.claims
        if collateral.crl is not None or claims.product is None or claims.key_kind is None:
            return result
        # The list of the product line and key kind that the verification established.
        product, key_kind, given = claims.product, claims.key_kind, collateral
        return _settled(
            kds, lambda: kds.crl(product, key_kind, now=now),
            lambda crl: check(Collateral(given.certificate, given.certificate_table, crl)),
            JUDGED_BY["revocation list"],
        )[1]

    def _platform_of(self, evidence: object) -> PlatformVerifier[SevSnpClaims]:
        # Evidence that no platform recognises goes to the first, whose reader names the likely mistake.
        return next((p for p in self._platforms if p.recognises(evidence)), self._platforms[0])


def _settled[C](
    kds: KdsClient, fetch: Callable[[], bytes], check: Callable[[bytes], EvidenceResult[C]], judged_by: Sequence[str]
) -> tuple[bytes, EvidenceResult[C]]:
    """What `fetch` gives and its checks: nothing enters the cache before the checks that judge it (`judged_by`)
    have passed, and a cached entry that fails them is dropped and fetched once more (offline, where nothing
    could replace it, it stays, and the failed checks are the verdict)."""
    data = fetch()
    result = check(data)
    if not kds.settle(data, _passed(result, judged_by)):
        return data, result
    data = fetch()
    result = check(data)
    kds.settle(data, _passed(result, judged_by))
    return data, result


def _passed(result: EvidenceResult[object], names: Sequence[str]) -> bool:
    return all(check.passed for check in result.checks if check.name in names)


def instant(now: datetime.datetime | None) -> datetime.datetime:
    """`now` in UTC (the current time for None); `VerificationError` unless it is timezone-aware."""
    if now is None:
        return datetime.datetime.now(datetime.UTC)
    if not isinstance(now, datetime.datetime) or now.tzinfo is None or now.utcoffset() is None:
        raise about("now", "expected a timezone-aware datetime, such as one with tzinfo=datetime.UTC")
    # In UTC, so that every check compares and names the same instant.
    try:
        return now.astimezone(datetime.UTC)
    except OverflowError:
        raise about("now", f"{now.isoformat()} lies outside the years 1 to 9999 in UTC") from None


def _certificate(certificate: bytes | x509.Certificate | None) -> bytes | None:
    if isinstance(certificate, x509.Certificate):
        return der(certificate)
    return _bytes("certificate", certificate)


def _crl(crl: bytes | x509.CertificateRevocationList | None) -> bytes | None:
    if isinstance(crl, x509.CertificateRevocationList):
        return crl.public_bytes(serialization.Encoding.DER)
    return _bytes("crl", crl)


def _bytes(argument: str, data: object) -> bytes | None:
    if data is None or isinstance(data, bytes):
        return data
    if isinstance(data, bytearray | memoryview):
        return bytes(data)
    if argument == "crl":
        raise about("crl", f"expected the revocation list's bytes (DER or PEM), got {type(data).__name__}")
    raise VerificationError(f"expected certificates as bytes, got {type(data).__name__}", argument=argument)


_default: Verifier | None = None


def default_verifier() -> Verifier:
    """The verifier of `verify()` without `chains`: AMD's bundled chains, no key service, default settings."""
    global _default
    if _default is None:
        _default = Verifier()
    return _default


def verify(
    report: bytes | Report,
    certificate: bytes | x509.Certificate | None = None,
    *,
    certificate_table: bytes | None = None,
    chains: bytes | Sequence[bytes] | None = None,
    policy: Policy | None = None,
    now: datetime.datetime | None = None,
    crl: bytes | x509.CertificateRevocationList | None = None,
) -> Verification:
    """Verifies `report` (its raw 1184 bytes) against the VCEK or VLEK that signed it.

    `certificate` is that VCEK or VLEK in PEM or DER (or loaded, an
    `x509.Certificate`), or a PEM bundle holding it (in any order with its
    intermediate and root); `certificate_table` a
    certificate table as the extended report returns it. Either may be given,
    or both. Intermediates and roots in them are checked against the pinned
    ones, never trusted: AMD's bundled chains, or `chains` (PEM, each an
    intermediate then its root). `policy` judges what the report states
    (default: `Policy()`, which refuses a guest that allows debugging); `now`
    (timezone-aware) is when the certificates must be valid, by default the
    current time. `crl` is AMD's revocation list (DER or PEM) of the chain's
    product line and key kind, which `revocation` checks against the pinned
    root; without it that check is skipped, unless the policy sets
    `require_revocation`.

    The one-call form of `Verifier(chains=chains).verify(...)` then
    `policy.appraise(...)`: without `chains`, over one verifier kept for the
    process (and its caches); with them, over a verifier made for this call.
    Raises `VerificationError` for input that cannot be verified at all.
    """
    if policy is None:
        policy = _DEFAULT_POLICY
    elif not isinstance(policy, Policy):
        raise about(
            "policy", f"expected a Policy (Policy.from_mapping makes one from a mapping), got {type(policy).__name__}",
            ErrorKind.POLICY,
        )
    verifier = default_verifier() if chains is None else Verifier(chains=chains)
    result = verifier.verify(
        report, certificate, certificate_table=certificate_table, crl=crl, now=now,
        revocation=policy.revocation(verifier.revocation),
    )
    return policy.appraise(result)


__all__ = ["Verifier", "default_verifier", "instant", "verify"]
