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
import threading
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Final, Protocol, overload

from cryptography import x509
from cryptography.hazmat.primitives import serialization

from ._internal.certificates import der
from ._internal.untrusted import describe, plainly
from ._internal.platform import GivenCollateral, EvidenceResult, Platform, PlatformVerifier, Revocation, entry, wrapper
from .errors import ErrorKind, VerificationError, about, located
from .intake import Evidence, take_evidence, take_quote, unwrap_certificates
from .policy import Policy
from .sevsnp.chains import trust_store
from .sevsnp.evidence import read_report
from .sevsnp.platform import EVIDENCE_CACHE_SIZE, SevSnp, SevSnpClaims
from .sevsnp.report import Report
from .sevsnp.verification import Verification

if TYPE_CHECKING:
    # TDX's and Azure's code is imported when evidence of theirs arrives: an SEV-SNP verification loads none.
    from .azure.tpm_quote import TpmQuote
    from .tdx.collateral import TdxCollateral
    from .tdx.platform import Tdx, TdxClaims
    from .tdx.quote import Quote
    from .tdx.verification import TdxVerification

    # The key service's client and its errors are imported where a verifier is given one: an offline
    # verification loads no network code.
    from .sevsnp.kds import KdsClient

_DEFAULT_POLICY: Final = Policy()


class PcsSource(Protocol):
    """Where a verifier gets Intel's collateral for a TDX quote that comes without it (see `tdx.pcs.PcsClient`):
    in the form of the `--collateral` file, and told afterwards which parts hold by themselves (their signatures,
    issuers and dates under the pinned root), whatever the quote's own checks found."""

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
        raise VerificationError(f"tdx_root: not a certificate: {plainly(error)}", ErrorKind.CHAINS, argument="tdx_root",
                                reason=f"not a certificate: {plainly(error)}", detail=describe(error)) from None


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
    established; what it fetched enters its cache only once it holds by
    itself (its signature, issuer and dates under the pinned roots), and a
    cached entry that does not is dropped and fetched once more: never one
    that holds because other evidence (a forged report or quote) failed.
    `cache_size` bounds each of the verifier's caches in entries: the
    certificates it has loaded that a pinned chain signed, their chains and
    the checks that depend on a certificate alone; its memos of judgements keep only what passed its
    signature, and are bounded in bytes too (see the limits guide). `tdx_root` pins another Intel SGX Root CA (PEM, DER or
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
        if kds is not None:
            from .sevsnp.kds import KdsClient

            if not isinstance(kds, KdsClient):
                raise about("kds", f"expected a KdsClient, got {type(kds).__name__}")
        if isinstance(cache_size, bool) or not isinstance(cache_size, int) or cache_size < 0:
            # None would make the caches unbounded.
            raise about("cache_size", f"expected a number of entries, 0 or more, got {cache_size!r}")
        self.revocation = revocation
        self.kds = kds
        self.pcs = pcs
        # Chains and a root given are loaded and checked now, so that a mistake in them is told at once; each
        # platform's checker (with the bundled roots where none is given, and its caches) is made by its entry in
        # the registry when the first evidence of that platform arrives: a service that verifies SEV-SNP reports
        # only never loads Intel's root.
        self._pinned: dict[Platform, object] = {
            Platform.SEV_SNP: trust_store(chains) if chains is not None else None, Platform.TDX: _tdx_root(tdx_root),
        }
        self._cache_size = cache_size
        self._building = threading.Lock()
        self._checkers: dict[Platform, PlatformVerifier[Any]] = {}

    def _checker(self, platform: Platform) -> PlatformVerifier[Any]:
        built = self._checkers.get(platform)
        if built is None:
            with self._building:  # one checker, and so one set of caches, however many threads ask at once
                built = self._checkers.get(platform)
                if built is None:
                    built = entry(platform).checker(self._pinned.get(platform), self._cache_size)
                    self._checkers[platform] = built
        return built

    @property
    def _snp(self) -> SevSnp:
        checker = self._checker(Platform.SEV_SNP)
        assert isinstance(checker, SevSnp)
        return checker

    @property
    def _tdx(self) -> Tdx:
        from .tdx.platform import Tdx

        checker = self._checker(Platform.TDX)
        assert isinstance(checker, Tdx)
        return checker

    def verify(
        self,
        report: bytes | Report | Quote | Evidence,
        certificate: bytes | str | x509.Certificate | None = None,
        *,
        certificate_table: bytes | None = None,
        crl: bytes | str | x509.CertificateRevocationList | None = None,
        now: datetime.datetime | None = None,
        revocation: Revocation | None = None,
        collateral: TdxCollateral | str | bytes | Mapping[str, object] | None = None,
        quote: bytes | None = None,
        tpm_quote: TpmQuote | bytes | str | Mapping[str, object] | None = None,
        tpm_nonce: bytes | str | None = None,
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

        `tpm_quote` is the vTPM quote given with an HCL report (a `TpmQuote`,
        or its JSON form: `message`, `signature` and `pcrs` in hex), and
        `tpm_nonce` the nonce it was asked for (bytes; text as its UTF-8
        bytes, or "hex:" then hex digits). With a quote, three checks must
        pass: `tpm_signature` (it verifies with the HCL report's HCLAkPub),
        `tpm_pcrs` (the values, in the order of its selection, hash to its PCR
        digest) and `tpm_nonce` (its extra data is `tpm_nonce`; it skips
        without one, and the evidence is then not verified). Without a quote,
        `tpm_quote` skips: the HCL report, made at boot, establishes no
        freshness.
        """
        now = instant(now)
        # Azure's HCL report and vTPM quote, through the registry: its code is loaded where a quote or nonce is
        # given or the evidence came in an HCL report, not for a bare report.
        given_for_wrapper = tpm_quote is not None or tpm_nonce is not None
        wrapper_given = wrapper().given(tpm_quote, tpm_nonce) if given_for_wrapper else None
        settings = self.revocation if revocation is None else revocation
        if not isinstance(settings, Revocation):
            raise about("revocation", f"expected a Revocation, got {type(settings).__name__}")
        # What the evidence is, asked once: the command hands over what it already took.
        taken = report if isinstance(report, Evidence) else take_evidence(report)
        if taken.bare_quote:
            if quote is not None:
                raise about("quote", "the evidence is itself a TDX quote; quote= is for an HCL report around a "
                                     "TDX TDREPORT", ErrorKind.USAGE)
            if wrapper_given is not None:
                wrapper_given.refuse("a TDX quote")
            return self._verify_tdx(taken.hardware, collateral, now, settings, certificate, certificate_table, crl)
        table = self._table(taken, _bytes("certificate_table", certificate_table), quote is not None)
        # A wrapper (Azure's HCL report) adds its own checks to those of the evidence inside it.
        wrapping = None
        if taken.wrapper is not None:
            wrappers = wrapper()
            wrapping = wrappers.wrapping(taken.wrapper, wrapper_given or wrappers.given(None, None))
        if wrapping is not None and wrapper().needs_quote(taken.wrapper):
            through = take_quote(quote)
            return wrapping.around(self._verify_tdx(through, collateral, now, settings, certificate, table, crl),
                                   through)
        evidence = taken.hardware
        if wrapping is None and wrapper_given is not None:
            wrapper_given.refuse("an SEV-SNP report")
        if quote is not None:
            raise about("quote", "a TDX quote is for an HCL report around a TDX TDREPORT; the evidence is an "
                                 "SEV-SNP report", ErrorKind.USAGE)
        if collateral is not None:
            raise about("collateral", "Intel's collateral is for a TDX quote; the evidence is an SEV-SNP report")
        certificates = _certificate(certificate)
        # A THIM payload's certificates are checked as any others; its tcbm must be the reported TCB.
        given = unwrap_certificates(certificates) if certificates is not None else None
        snp_collateral = GivenCollateral(
            certificate=given.certificates if given is not None else None, certificate_table=table, crl=_crl(crl),
            issued_tcb=given.thim.tcbm if given is not None and given.thim is not None else None,
        )
        platform = self._checker(taken.platform)
        snp = self._snp

        def check(given: GivenCollateral) -> EvidenceResult[SevSnpClaims]:
            return platform.check(evidence, given, now=now, revocation=settings)

        kds = self.kds
        if kds is None:
            result = check(snp_collateral)
        else:
            from ._internal.http import FetchError
            from .sevsnp.kds import KdsError, OfflineError

            if snp_collateral.certificate is None and snp_collateral.certificate_table is None:
                decoded = read_report(evidence)  # type: ignore[arg-type]  # names mistakes
                base = snp_collateral
                filed_under: list[str] = []  # the product line whose VCEK the key service returned

                def fetch_vcek() -> bytes:
                    product, vcek = kds.vcek_for(decoded, now=now)
                    filed_under.append(product)
                    return vcek

                vcek, result = _settled(
                    kds, fetch_vcek, lambda vcek: check(dataclasses.replace(base, certificate=vcek)),
                    lambda vcek: snp.vcek_holds(vcek, filed_under[-1], decoded, now),
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
                        lambda crl: check(dataclasses.replace(known, crl=crl)),
                        lambda crl: snp.crl_holds(crl, product, key_kind, now, settings.grace_days),
                        verdict_stands=True,
                    )[1]
                except (KdsError, OfflineError, FetchError) as error:
                    result = check(dataclasses.replace(known, crl_unavailable=str(error)))
        return result if wrapping is None else wrapping.around(result)

    @staticmethod
    def _table(taken: Evidence, table: bytes | None, quote_given: bool) -> bytes | None:
        """The certificate table: the caller's, or the one the report came with in one file (not both)."""
        if taken.certificate_table is not None:
            if table is not None:
                raise about("certificate_table", "the report is followed by its own certificate table: give one or "
                                                 "the other")
            table = taken.certificate_table
        if taken.wrapper is not None and wrapper().needs_quote(taken.wrapper) and not quote_given:
            raise wrapper().missing_quote()
        return table

    def _verify_tdx(
        self, quote: object, collateral_given: object, now: datetime.datetime,
        settings: Revocation, certificate: bytes | str | x509.Certificate | None, certificate_table: bytes | None,
        crl: bytes | str | x509.CertificateRevocationList | None,
    ) -> EvidenceResult[TdxClaims]:
        from .tdx.collateral import TdxCollateral

        collateral = _tdx_collateral(collateral_given)
        given = GivenCollateral(
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
        # Nothing enters the cache before it holds by itself; a cached part that does not is dropped and fetched
        # once more. Each part is judged alone (its signature, issuer and dates), never by how the quote fared:
        # a forged quote must not empty a cache that genuine ones rely on.
        for _ in range(2):
            fetched = pcs.collateral_for(quote, now=now)
            parts = TdxCollateral.from_json(fetched)
            result = check(parts)
            if not pcs.settle(fetched, self._tdx.checker.entries(parts, now, settings.grace_days)):
                break
        return result


def _settled[C](
    kds: KdsClient, fetch: Callable[[], bytes], check: Callable[[bytes], EvidenceResult[C]],
    holds: Callable[[bytes], bool], *, verdict_stands: bool = False,
) -> tuple[bytes, EvidenceResult[C]]:
    """What `fetch` gives and the evidence's checks with it. The entry is judged alone (`holds`: its signature,
    issuer and dates), never by the evidence's checks, which also fail for a forged report: nothing enters the
    cache before it holds, and a cached entry that does not is dropped and fetched once more (offline, where
    nothing could replace it, it stays, and the failed checks are the verdict). With `verdict_stands`, when
    nothing can be fetched to replace the dropped entry, its failed checks are the verdict too: a cached list
    must not become "no list" because the key service cannot be reached."""
    from ._internal.http import FetchError

    data = fetch()
    result = check(data)
    if not kds.settle(data, holds(data)):
        return data, result
    try:
        data = fetch()
    except FetchError:
        if verdict_stands:
            return data, result
        raise
    result = check(data)
    kds.settle(data, holds(data))
    return data, result


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


def _tdx_collateral(collateral: object) -> TdxCollateral | None:
    """Intel's collateral as given: typed, or the JSON of the --collateral file as text, bytes or a mapping."""
    if collateral is None:
        return None
    from .tdx.collateral import TdxCollateral

    if isinstance(collateral, TdxCollateral):
        return collateral
    if not isinstance(collateral, str | bytes | bytearray | memoryview | Mapping):
        raise about("collateral", "expected Intel's collateral (a TdxCollateral, or its JSON as text, bytes or a "
                                  f"mapping), got {type(collateral).__name__}")
    try:
        return TdxCollateral.from_json(bytes(collateral) if isinstance(collateral, bytearray | memoryview) else collateral)
    except VerificationError as error:
        raise VerificationError(f"collateral: {error}", error.kind, argument="collateral", reason=str(error),
                                detail=error.detail) from None


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
    tpm_quote: TpmQuote | bytes | str | Mapping[str, object] | None = None,
    tpm_nonce: bytes | str | None = None,
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
    collateral: TdxCollateral | str | bytes | Mapping[str, object],
    quote: bytes | None = None,
    tpm_quote: TpmQuote | bytes | str | Mapping[str, object] | None = None,
    tpm_nonce: bytes | str | None = None,
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
    collateral: TdxCollateral | str | bytes | Mapping[str, object] | None = None,
    quote: bytes | None = None,
    tpm_quote: TpmQuote | bytes | str | Mapping[str, object] | None = None,
    tpm_nonce: bytes | str | None = None,
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
    (timezone-aware) is the time the evidence, certificates, revocation list
    and collateral are judged at, by default the current time. `crl` is AMD's revocation list (DER or PEM) of the chain's
    product line and key kind, which `revocation` checks against the pinned
    root; without it that check is skipped, unless the policy sets
    `require_revocation`. A TDX quote's `revocation` needs Intel's CRLs in its
    collateral, and fails without them unless the policy sets
    `require_revocation = false`.

    An Intel TDX quote (bare, or as hex, base64 or base64url text) is told
    from a report by its content: `collateral` is
    then Intel's collateral for it (TCB info, QE identity, CRLs): a
    `TdxCollateral`, or the JSON object of the `--collateral` file as text,
    bytes or a mapping; the result is a `TdxVerification`. Azure's
    HCL report around a TDX TDREPORT is verified with `quote`, the TDX quote
    made from it, and that quote's `collateral` (see `Verifier.verify`).

    `tpm_quote`, with an HCL report, is the vTPM quote its attestation key
    signed, checked by `tpm_signature`, `tpm_pcrs` and `tpm_nonce`; the nonce
    expected is `tpm_nonce`, else the policy's `[azure]` `tpm_nonce` (see
    `Verifier.verify`).

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
        tpm_quote=tpm_quote, tpm_nonce=policy.expected_nonce(tpm_nonce),
    )
    return policy.appraise(result)


__all__ = ["Verifier", "default_verifier", "instant", "verify"]
