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

import dataclasses
import datetime
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Final, Protocol, overload

from cryptography import x509
from cryptography.hazmat.primitives import serialization

from ._internal.certificates import der
from ._internal.platform import Collateral, EvidenceResult, Platform, PlatformVerifier, Revocation
from .azure.hcl import REPORT_TYPE_TDX, HclReport, hcl_check
from .azure.tdreport import td_report_check
from .errors import ErrorKind, VerificationError, about, located
from .shapes import quote_from_text, unwrap_certificates, unwrap_report
from .policy import Policy
from .sevsnp.chains import trust_store
from .sevsnp.evidence import read_report
from ._internal.http import FetchError
from .sevsnp.kds import JUDGED_BY, KdsClient, KdsError, OfflineError
from .sevsnp.platform import EVIDENCE_CACHE_SIZE, SevSnp, SevSnpClaims
from .sevsnp.report import Report
from .tdx.collateral import Collateral as TdxCollateral
from .tdx.pcs import JUDGED_BY as PCS_JUDGED_BY
from .tdx.platform import Tdx, TdxClaims
from .tdx.quote import Quote
from .verification import TdxVerification, Verification

_DEFAULT_POLICY: Final = Policy()


class PcsSource(Protocol):
    """Where a verifier gets Intel's collateral for a TDX quote that comes without it (see `tdx.pcs.PcsClient`):
    in the form of the `--collateral` file, and told afterwards which parts passed the checks that judge them."""

    def collateral_for(self, quote: object, *, now: datetime.datetime) -> dict[str, str]: ...

    def settle(self, collateral: Mapping[str, str], passed: bool | Mapping[str, bool]) -> bool: ...


def _tdx_root(root: bytes | x509.Certificate | None) -> x509.Certificate | None:
    """The Intel SGX Root CA to pin instead of the bundled one (PEM or DER), or None for the bundled one."""
    if root is None or isinstance(root, x509.Certificate):
        return root
    if not isinstance(root, bytes):
        raise about("tdx_root", f"expected a certificate's bytes (PEM or DER), got {type(root).__name__}")
    try:
        return x509.load_pem_x509_certificate(root) if b"-----BEGIN" in root else x509.load_der_x509_certificate(root)
    except ValueError as error:
        raise about("tdx_root", f"not a certificate: {error}", ErrorKind.CHAINS) from None


class Verifier:
    """Verifies evidence against pinned roots, with its own bounded caches.

    `chains` pins chains instead of AMD's bundled ones: PEM, each an
    intermediate then its root (one or more such pairs per item); they are
    loaded and checked now. `revocation` says how revocation lists are
    judged where the policy does not (by default each platform's: an SEV-SNP
    verification without AMD's list is not refused, a TDX one without Intel's
    CRLs is; a list counts as current until its next update). `kds`, a `KdsClient` (with its
    cache, and offline or not), supplies what the caller does not give: the
    VCEK of a report, and the revocation list of the chain the verification
    established; what it fetched enters its cache only once the checks that
    judge it passed, and a cached entry that fails them is dropped and
    fetched once more. `cache_size` bounds each of the verifier's caches: the
    certificates it has loaded, their chains and the checks that depend on a
    certificate alone. `tdx_root` pins another Intel SGX Root CA (PEM, DER or
    loaded) instead of the bundled one for TDX quotes; `pcs` (a
    `tdx.pcs.PcsClient`) supplies Intel's collateral for a quote that comes
    without it. Two verifiers never share a cache, so one made with
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
        tdx_root: bytes | x509.Certificate | None = None,
        pcs: PcsSource | None = None,
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
        self.pcs = pcs
        self._tdx = Tdx(_tdx_root(tdx_root), cache_size)
        self._platforms: tuple[PlatformVerifier[Any], ...] = (SevSnp(trust_store(chains), cache_size), self._tdx)

    def verify(
        self,
        report: bytes | Report | Quote,
        certificate: bytes | str | x509.Certificate | None = None,
        *,
        certificate_table: bytes | None = None,
        crl: bytes | str | x509.CertificateRevocationList | None = None,
        now: datetime.datetime | None = None,
        revocation: Revocation | None = None,
        collateral: TdxCollateral | None = None,
        quote: bytes | None = None,
    ) -> EvidenceResult[Any]:
        """The evidence checks of `report` and the claims they establish, before any policy.

        The arguments are `verify()`'s; `revocation` replaces the verifier's
        own settings for this call. The result records what the `revocation`
        check found, so that `Policy.appraise` judges it under the policy's
        settings, as `verify(..., policy=...)` does. Where neither `certificate` nor
        `certificate_table` is given, the verifier's `kds` supplies the VCEK;
        where `crl` is not given, the revocation list of the product line and
        key kind that the checks established; a list that cannot be had (the
        service unreachable, a failure status, offline with none cached)
        makes the `revocation` check skip, naming why, or fail where a list is
        required, and the verification goes on. A VCEK that cannot be had is
        still an error: nothing can be verified without it. Raises
        `VerificationError` for input that cannot be verified at all.

        An Intel TDX quote (told from a report by its content) carries its PCK
        chain: `collateral` is Intel's collateral for it (TCB info, QE
        identity, CRLs); where it is not given, the verifier's `pcs` supplies
        it. The result's claims are then `TdxClaims`. Azure's HCL report around
        a TDX TDREPORT is verified through `quote`, the TDX quote made from
        that TDREPORT: the result is the quote's verification with the `hcl`
        check and `td_report` (the quote's TD report is the TDREPORT's in
        every field they share), both of which must pass.
        """
        now = instant(now)
        settings = self.revocation if revocation is None else revocation
        if not isinstance(settings, Revocation):
            raise about("revocation", f"expected a Revocation, got {type(settings).__name__}")
        # A TDX quote written as text is the quote (an SEV-SNP report as text is unwrapped below).
        report = quote_from_text(report) or report
        if self._tdx.recognises(report):
            if quote is not None:
                raise about("quote", "the evidence is itself a TDX quote; quote= is for an HCL report around a "
                                     "TDX TDREPORT", ErrorKind.USAGE)
            return self._verify_tdx(report, collateral, now, settings, certificate, certificate_table, crl)
        evidence, hcl, table = self._unwrap(report, _bytes("certificate_table", certificate_table), quote is not None)
        if hcl is not None and hcl.report_type == REPORT_TYPE_TDX:
            return self._verify_hcl_tdx(hcl, _quote(quote), collateral, now, settings, certificate, table, crl)
        if quote is not None:
            raise about("quote", "a TDX quote is for an HCL report around a TDX TDREPORT; the evidence is an "
                                 "SEV-SNP report", ErrorKind.USAGE)
        if collateral is not None:
            raise about("collateral", "Intel's collateral is for a TDX quote; the evidence is an SEV-SNP report")
        certificates = _certificate(certificate)
        # A THIM payload's certificates are checked as any others; its tcbm must be the reported TCB.
        given = unwrap_certificates(certificates) if certificates is not None else None
        snp_collateral = Collateral(
            certificate=given.certificates if given is not None else None, certificate_table=table, crl=_crl(crl),
            issued_tcb=given.thim.tcbm if given is not None and given.thim is not None else None,
        )
        platform = self._platform_of(evidence)

        def check(given: Collateral) -> EvidenceResult[SevSnpClaims]:
            return platform.check(evidence, given, now=now, revocation=settings)

        kds = self.kds
        if kds is None:
            result = check(snp_collateral)
        else:
            if snp_collateral.certificate is None and snp_collateral.certificate_table is None:
                decoded = read_report(evidence)  # type: ignore[arg-type]  # names mistakes
                base = snp_collateral
                vcek, result = _settled(
                    kds, lambda: kds.vcek_for(decoded, now=now)[1],
                    lambda vcek: check(dataclasses.replace(base, certificate=vcek)), JUDGED_BY["VCEK"],
                )
                snp_collateral = dataclasses.replace(snp_collateral, certificate=vcek)
            else:
                result = check(snp_collateral)
            claims = result.claims
            if snp_collateral.crl is None and claims.product is not None and claims.key_kind is not None:
                # The list of the product line and key kind that the verification established. One that cannot
                # be had leaves the rest of the verification standing: the revocation check says why it has none.
                product, key_kind, known = claims.product, claims.key_kind, snp_collateral
                try:
                    result = _settled(
                        kds, lambda: kds.crl(product, key_kind, now=now),
                        lambda crl: check(dataclasses.replace(known, crl=crl)), JUDGED_BY["revocation list"],
                        verdict_stands=True,
                    )[1]
                except (KdsError, OfflineError, FetchError) as error:
                    result = check(dataclasses.replace(known, crl_unavailable=str(error)))
        if hcl is None:
            return result
        return dataclasses.replace(
            result, checks=(*result.checks, hcl_check(hcl)), must_pass=result.must_pass | {"hcl"}, hcl=hcl
        )

    def _unwrap(
        self, report: object, table: bytes | None, quote_given: bool
    ) -> tuple[object, HclReport | None, bytes | None]:
        """The hardware report in `report` (bare, in an HCL report, before its certificate table, or as text),
        the HCL report it came in, and the certificate table, the caller's or the one it came with."""
        if not isinstance(report, bytes | bytearray | memoryview) or any(
            platform.recognises(report) for platform in self._platforms
        ):
            return report, None, table
        given = unwrap_report(bytes(report))
        if given.certificate_table is not None:
            if table is not None:
                raise about("certificate_table", "the report is followed by its own certificate table: give one or "
                                                 "the other")
            table = given.certificate_table
        if given.hcl is not None and given.hcl.report_type == REPORT_TYPE_TDX and not quote_given:
            raise located("report", (
                "an HCL report around a TDX TDREPORT, which is verified through the TDX quote made from it: "
                "give that quote (--td-quote, or quote=), with Intel's collateral"
            ))
        return given.report, given.hcl, table

    def _verify_hcl_tdx(
        self, hcl: HclReport, quote: bytes, collateral: TdxCollateral | None, now: datetime.datetime,
        settings: Revocation, certificate: bytes | str | x509.Certificate | None, certificate_table: bytes | None,
        crl: bytes | str | x509.CertificateRevocationList | None,
    ) -> EvidenceResult[TdxClaims]:
        # Only the CPU that made a TDREPORT can check its MAC: what vouches for it is the signed quote, whose
        # TD report must be this TDREPORT's, and the TDREPORT's report data binds the claims (`hcl`).
        if not self._tdx.recognises(quote):
            raise about("quote", "not a TDX quote (version 4 or 5, TEE type 0x81)", ErrorKind.REPORT)
        result = self._verify_tdx(quote, collateral, now, settings, certificate, certificate_table, crl)
        return dataclasses.replace(
            result, checks=(*result.checks, hcl_check(hcl), td_report_check(hcl.hardware_report, quote)),
            must_pass=result.must_pass | {"hcl", "td_report"}, hcl=hcl,
        )

    def _verify_tdx(
        self, quote: object, collateral: TdxCollateral | None, now: datetime.datetime,
        settings: Revocation, certificate: bytes | str | x509.Certificate | None, certificate_table: bytes | None,
        crl: bytes | str | x509.CertificateRevocationList | None,
    ) -> EvidenceResult[TdxClaims]:
        if collateral is not None and not isinstance(collateral, TdxCollateral):
            raise about("collateral", f"expected Intel's collateral (tdx.collateral.Collateral), got {type(collateral).__name__}")
        given = Collateral(
            certificate=_certificate(certificate), certificate_table=_bytes("certificate_table", certificate_table),
            crl=_crl(crl), tdx=collateral,
        )

        def check(tdx: TdxCollateral | None) -> EvidenceResult[TdxClaims]:
            result: EvidenceResult[TdxClaims] = self._tdx.check(
                quote, dataclasses.replace(given, tdx=tdx), now=now, revocation=settings)
            return result

        pcs = self.pcs
        if collateral is not None or pcs is None:
            return check(collateral)
        # Nothing enters the cache before the checks that judge it pass; a cached part that fails them is
        # dropped and fetched once more.
        for _ in range(2):
            fetched = pcs.collateral_for(quote, now=now)
            result = check(TdxCollateral.from_json(fetched))
            passed = {part: _passed(result, names) for part, names in PCS_JUDGED_BY.items()}
            if not pcs.settle(fetched, passed):
                break
        return result

    def _platform_of(self, evidence: object) -> PlatformVerifier[Any]:
        # Evidence that no platform recognises goes to the first, whose reader names the likely mistake.
        return next((p for p in self._platforms if p.recognises(evidence)), self._platforms[0])


def _settled[C](
    kds: KdsClient, fetch: Callable[[], bytes], check: Callable[[bytes], EvidenceResult[C]], judged_by: Sequence[str],
    *, verdict_stands: bool = False,
) -> tuple[bytes, EvidenceResult[C]]:
    """What `fetch` gives and its checks: nothing enters the cache before the checks that judge it (`judged_by`)
    have passed, and a cached entry that fails them is dropped and fetched once more (offline, where nothing
    could replace it, it stays, and the failed checks are the verdict). With `verdict_stands`, when nothing can
    be fetched to replace the dropped entry, its failed checks are the verdict too: a cached revocation list
    that revokes the chain must not become "no list" because the key service cannot be reached."""
    data = fetch()
    result = check(data)
    if not kds.settle(data, _passed(result, judged_by)):
        return data, result
    try:
        data = fetch()
    except FetchError:
        if verdict_stands:
            return data, result
        raise
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


def _certificate(certificate: bytes | str | x509.Certificate | None) -> bytes | None:
    if isinstance(certificate, x509.Certificate):
        return der(certificate)
    return _bytes("certificate", _pem_text("certificate", certificate))


def _crl(crl: bytes | str | x509.CertificateRevocationList | None) -> bytes | None:
    if isinstance(crl, x509.CertificateRevocationList):
        return crl.public_bytes(serialization.Encoding.DER)
    return _bytes("crl", _pem_text("crl", crl))


def _quote(quote: object) -> bytes:
    if isinstance(quote, bytes | bytearray | memoryview):
        return quote_from_text(quote) or bytes(quote)
    raise about("quote", f"expected the TDX quote's bytes, got {type(quote).__name__}")


def _pem_text(argument: str, data: object) -> object:
    """PEM (or a THIM payload) given as `str`, as its bytes: text that is not ASCII is no PEM."""
    if not isinstance(data, str):
        return data
    if not data.isascii():
        raise about(argument, "expected PEM text, which is ASCII; this str holds other characters")
    return data.encode("ascii")


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


@overload
def verify(
    report: bytes | Report,
    certificate: bytes | str | x509.Certificate | None = None,
    *,
    certificate_table: bytes | None = None,
    chains: bytes | Sequence[bytes] | None = None,
    policy: Policy | Mapping[str, object] | None = None,
    now: datetime.datetime | None = None,
    crl: bytes | str | x509.CertificateRevocationList | None = None,
    collateral: None = None,
    quote: None = None,
) -> Verification: ...
@overload
def verify(
    report: bytes | Quote,
    certificate: None = None,
    *,
    certificate_table: None = None,
    chains: None = None,
    policy: Policy | Mapping[str, object] | None = None,
    now: datetime.datetime | None = None,
    crl: None = None,
    collateral: TdxCollateral,
    quote: bytes | None = None,
) -> TdxVerification: ...
def verify(
    report: bytes | Report | Quote,
    certificate: bytes | str | x509.Certificate | None = None,
    *,
    certificate_table: bytes | None = None,
    chains: bytes | Sequence[bytes] | None = None,
    policy: Policy | Mapping[str, object] | None = None,
    now: datetime.datetime | None = None,
    crl: bytes | str | x509.CertificateRevocationList | None = None,
    collateral: TdxCollateral | None = None,
    quote: bytes | None = None,
) -> Verification | TdxVerification:
    """Verifies `report` against the VCEK or VLEK that signed it, or a TDX quote against Intel's collateral.

    `report` is the raw 1184 bytes, or the same recognised by content in the
    shapes it is handed out in: Azure's HCL report around it (which adds the
    `hcl` check, and the runtime claims as `Verification.hcl`), the report
    followed by its certificate table, or any of these as hex, base64 or
    base64url text. `certificate` is that VCEK or VLEK in PEM (bytes or str)
    or DER (or loaded, an `x509.Certificate`), a PEM bundle holding it (in any
    order with its intermediate and root), or Azure's THIM payload (whose
    `tcbm` the `tcb` check then compares with the reported TCB);
    `certificate_table` a certificate table as the extended report returns
    it. Either may be given, or both. Intermediates and roots in them are
    checked against the pinned ones, never trusted: AMD's bundled chains, or
    `chains` (PEM, each an intermediate then its root). `policy` (a `Policy`,
    or a mapping shaped like the policy file) judges what the report states
    (default: `Policy()`, which refuses a guest that allows debugging); `now`
    (timezone-aware) is when the certificates must be valid, by default the
    current time. `crl` is AMD's revocation list (DER or PEM) of the chain's
    product line and key kind, which `revocation` checks against the pinned
    root; without it that check is skipped, unless the policy sets
    `require_revocation`. A TDX quote's `revocation` needs Intel's CRLs in its
    collateral, and fails without them unless the policy sets
    `require_revocation = false`.

    An Intel TDX quote (bare, or as hex, base64 or base64url text) is told
    from a report by its content: `collateral` is
    then Intel's collateral for it (`quorvel_verify.tdx.collateral.Collateral`:
    TCB info, QE identity, CRLs), and the result a `TdxVerification`. Azure's
    HCL report around a TDX TDREPORT is verified with `quote`, the TDX quote
    made from it, and that quote's `collateral` (see `Verifier.verify`).

    The one-call form of `Verifier(chains=chains).verify(...)` then
    `policy.appraise(...)`: without `chains`, over one verifier kept for the
    process (and its caches); with them, over a verifier made for this call.
    Raises `VerificationError` for input that cannot be verified at all.
    """
    if policy is None:
        policy = _DEFAULT_POLICY
    elif isinstance(policy, Mapping):
        policy = Policy.from_mapping(policy)
    elif not isinstance(policy, Policy):
        raise about("policy", f"expected a Policy or a mapping of rules, got {type(policy).__name__}", ErrorKind.POLICY)
    verifier = default_verifier() if chains is None else Verifier(chains=chains)
    result = verifier.verify(
        report, certificate, certificate_table=certificate_table, crl=crl, now=now, collateral=collateral, quote=quote,
    )
    return policy.appraise(result)


__all__ = ["Verifier", "default_verifier", "instant", "verify"]
