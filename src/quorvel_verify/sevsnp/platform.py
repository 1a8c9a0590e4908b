"""AMD SEV-SNP as a platform of the verifier: its evidence checks in order, their claims, and its caches.

One `SevSnp` belongs to one `Verifier` and its pinned chains. What depends on
a certificate alone (the certificate's facts, its chain, its key and TCB
checks) and what a revocation list says of a chain are kept per instance,
bounded, by the exact input bytes or by the objects made from them: a
service verifying many reports of few chips then pays for little more than
decoding the report and one ECDSA verification. The signature, the validity
at `now`, the chip id and the policy are checked on every call.
"""

from __future__ import annotations

import datetime
import hashlib
from dataclasses import dataclass
from typing import Final

from cryptography import x509

from .._internal.memo import Memo, Memoized
from .._internal.platform import GivenCollateral, EvidenceResult, Platform, Revocation, RevocationEvidence
from ..checks import Check, Outcome
from ..errors import ErrorKind, VerificationError, located
from . import checks
from .certificate import LeafFacts, csp_id_of, decoded, leaf_facts
from .chains import Chain, TrustStore
from .evidence import certificates_from_table, find_leaf, load_certificates, read_report
from .report import REPORT_SIZE, Records, Report, TcbVersion
from .revocation import Judgement, judged_lists, list_problem, load_crl
from .urls import vcek_url
from .vocabulary import KeyKind, ProductLine

# Verified evidence is kept by its exact bytes; the bound keeps memory flat
# when every report comes with another certificate.
EVIDENCE_CACHE_SIZE: Final = 1024
# Checks of the report's own fields: few distinct values in a service, any value in hostile input.
FIELD_CACHE_SIZE: Final = 64
# The validity check's detail changes once a second.
VALIDITY_CACHE_SIZE: Final = 16
KNOWN_VERSIONS: Final = range(2, 6)


@dataclass(frozen=True, slots=True)
class SevSnpClaims:
    """What SEV-SNP's evidence checks established, for a policy to appraise.

    `report` is the decoded report, every field read from the signed bytes;
    `product` its product line (from its CPUID; for version 2, from the
    chain); `key_kind` the kind of key its signing-key field names;
    `kds_url` where AMD's key service serves its VCEK; `signed_digest` the
    SHA-384 of bytes 0x000-0x29F, in hex (see `Verification.signed_digest`);
    `csp_id` the cloud provider named in the VLEK that signed (None for a VCEK).
    """

    report: Report
    product: ProductLine | None
    key_kind: KeyKind | None
    kds_url: str | None
    signed_digest: str
    csp_id: str | None = None


def looks_like_report(evidence: object) -> bool:
    """Whether `evidence` is an SEV-SNP report: a `Report`, or 1184 bytes whose version is one we know; never
    raises. Told from the bytes alone, before the platform's chains are loaded."""
    if isinstance(evidence, Report):
        return True
    if not isinstance(evidence, bytes | bytearray | memoryview) or len(evidence) != REPORT_SIZE:
        return False
    return int.from_bytes(bytes(evidence[:4]), "little") in KNOWN_VERSIONS


class SevSnp:
    """SEV-SNP's evidence checks against the chains of `store`, with caches of `cache_size` entries."""

    platform = Platform.SEV_SNP

    def __init__(self, store: TrustStore, cache_size: int = EVIDENCE_CACHE_SIZE) -> None:
        self.store = store
        self._records = Records(FIELD_CACHE_SIZE)
        # Certificates are kept, with the checks of a certificate alone, only once a pinned chain signed the
        # leaf: certificates anyone can make are loaded and judged again when given again, and keep nothing.
        self._evidence: Memo[tuple[bytes | None, bytes | None, KeyKind | None], _Found] = Memo(
            cache_size, keep=lambda found: found.chain is not None)
        self._periods = Memoized(cache_size, checks.validity_periods)
        self._valid = Memoized(VALIDITY_CACHE_SIZE, self._validity_passed)
        self._key = Memoized(cache_size, checks.key_check)
        self._chip = Memoized(cache_size, checks.chip_check)
        self._tcb = Memoized(cache_size, checks.tcb_check)
        self._product = Memoized(cache_size, checks.product_check)
        self._report = Memoized(FIELD_CACHE_SIZE, checks.report_check)
        self._kds_url = Memoized(cache_size, _kds_url)
        # A list that is not its root's is judged again when given again: input anyone can vary keeps nothing.
        self._lists: Memo[tuple[object, ...], Judgement] = Memo(cache_size, keep=lambda judged: judged.forged is None)
        self._decoded = Memoized(FIELD_CACHE_SIZE, decoded)

    def recognises(self, evidence: object) -> bool:
        return looks_like_report(evidence)

    def check(
        self, evidence: object, collateral: GivenCollateral, *, now: datetime.datetime, revocation: Revocation
    ) -> EvidenceResult[SevSnpClaims]:
        """The evidence checks of the report `evidence` (bytes or a `Report`) with the certificates of
        `collateral`, in order: report, chain, validity, key, signature, chip, tcb, product, revocation."""
        report = self._read(evidence)
        key_kind = report.key_kind
        found = self._found(collateral.certificate, collateral.certificate_table, key_kind)
        chain, chain_check, facts = found.chain, found.check, found.evidence.facts
        product = report.product or (chain.product if chain is not None else None)
        # The checks of a certificate alone are kept for a certificate a pinned chain signed, and made anew for
        # one anyone could have made (which would otherwise hold its bytes in each cache).
        signed = chain is not None
        periods = self._periods(facts, chain) if signed else checks.validity_periods(facts, chain)
        second = int(now.timestamp())
        key_check, chip_check, tcb_check = (
            (self._key, self._chip, self._tcb) if signed else (checks.key_check, checks.chip_check, checks.tcb_check))

        def judge(settings: Revocation) -> Check:
            return checks.revocation_check(
                collateral.crl, chain, facts, settings, now, self._judged, collateral.crl_unavailable
            )

        results = (
            self._report(report.version, report.signature_algo, report.signing_key),
            chain_check,
            checks.validity_failure(periods, now) or (
                self._valid(facts, chain, second) if signed else checks.validity_passed(periods, second)),
            key_check(facts, key_kind, product),
            checks.signature_check(report, facts),
            chip_check(report.chip_id, report.mask_chip_id, facts, key_kind, product),
            _issued_tcb_check(tcb_check(facts, report.reported_tcb), collateral.issued_tcb, report),
            self._product(report.product, report.cpuid, chain),
            judge(revocation),
        )
        claims = SevSnpClaims(
            report=report, product=product, key_kind=key_kind,
            kds_url=self._kds_url(report.chip_id, report.reported_tcb, product, key_kind),
            signed_digest=hashlib.sha384(report.signed_bytes).hexdigest(),
            csp_id=csp_id_of(facts.certificate) if key_kind == KeyKind.VLEK else None,
        )
        return EvidenceResult(Platform.SEV_SNP, results, checks.MUST_PASS, claims, judged_at=now,
                              revocation=RevocationEvidence(revocation, judge))

    def vcek_holds(self, vcek: bytes, product: str, report: Report, now: datetime.datetime) -> bool:
        """Whether the VCEK that a key service filed under the report's chip and TCB holds by itself: the pinned
        intermediate of `product` signed it, it names that chip and that TCB, and it is valid at `now`. What
        the report's signature or the rest of its evidence say is not the VCEK's fault: a forged report must
        not get a good VCEK dropped from a cache (see `Verifier`)."""
        try:
            found = self._found(vcek, None, KeyKind.VCEK)
            chain = found.chain
            if chain is None or chain.product != product:
                return False
            facts = found.evidence.facts
            return (
                checks.validity_failure(self._periods(facts, chain), now) is None
                and self._chip(report.chip_id, False, facts, KeyKind.VCEK, chain.product).passed
                and self._tcb(facts, report.reported_tcb).passed
            )
        except VerificationError:
            return False

    def crl_holds(self, crl: bytes, product: str, key_kind: str, now: datetime.datetime, grace_days: int) -> bool:
        """Whether a revocation list filed as `product`'s `key_kind` list holds by itself: signed by that pinned
        root, complete and current at `now` (within `grace_days`), whichever chain it was read for."""
        try:
            loaded = load_crl(crl)
        except VerificationError:
            return False
        grace = datetime.timedelta(days=grace_days)
        return any(
            list_problem(loaded, self.store.checked(chain).root, now, grace) is None
            for chain in self.store.chains if chain.product == product and chain.key_kind == key_kind
        )

    def _judged(
        self, data: bytes, ark: x509.Certificate, intermediate: x509.Certificate, leaf: x509.Certificate | None
    ) -> Judgement:
        return self._lists.get((data, ark, intermediate, leaf), lambda: judged_lists(data, ark, intermediate, leaf))

    def _read(self, evidence: object) -> Report:
        if isinstance(evidence, Report):
            # What is judged must be what the chip signed: a Report made or changed
            # by hand (dataclasses.replace) could pair other fields with genuine bytes.
            evidence = evidence.raw
        if isinstance(evidence, bytes | bytearray | memoryview) and len(evidence) == REPORT_SIZE:
            try:
                return Report.from_bytes(evidence, self._records)
            except VerificationError as error:
                raise located("report", str(error)) from error
        return read_report(evidence)  # type: ignore[arg-type]  # names the likely mistake, or the wrong type

    def _found(self, certificate: bytes | None, certificate_table: bytes | None, key_kind: KeyKind | None) -> _Found:
        def judge() -> _Found:
            loaded = self._load_evidence(certificate, certificate_table, key_kind)
            chain, check = checks.chain_check(self.store, loaded, key_kind)
            return _Found(loaded, chain, check)

        return self._evidence.get((certificate, certificate_table, key_kind), judge)

    def _load_evidence(
        self, certificate: bytes | None, certificate_table: bytes | None, key_kind: KeyKind | None
    ) -> checks.GivenCertificates:
        if certificate is None and certificate_table is None:
            raise VerificationError(
                "no certificate: give the VCEK or VLEK, or the certificate table that holds it", ErrorKind.CERTIFICATE
            )
        found: list[x509.Certificate] = []
        if certificate is not None:
            found += load_certificates(certificate)
        if certificate_table is not None:
            found += certificates_from_table(certificate_table)
        leaf, name, others = find_leaf(found, key_kind)
        return checks.GivenCertificates(leaf_facts(leaf, name, self._decoded), others)

    def _validity_passed(self, facts: LeafFacts, chain: Chain | None, second: int) -> Check:
        return checks.validity_passed(self._periods(facts, chain), second)


@dataclass(frozen=True, slots=True)
class _Found:
    """The certificates given, the pinned chain that signed the leaf (None if none did) and the `chain` check."""

    evidence: checks.GivenCertificates
    chain: Chain | None
    check: Check


def _issued_tcb_check(tcb: Check, issued_tcb: int | None, report: Report) -> Check:
    """`tcb`, failed where the certificate's source names another TCB than the reported one (a THIM payload's
    tcbm): the VCEK then came to the caller as another TCB's, whatever its extensions say."""
    if issued_tcb is None or not tcb.passed:
        return tcb
    difference = tcbm_difference(issued_tcb, report.reported_tcb, report.turin)
    return tcb if difference is None else Check("tcb", Outcome.FAIL, difference)


def _kds_url(chip_id: bytes, tcb: TcbVersion, product: ProductLine | None, key_kind: KeyKind | None) -> str | None:
    """Where AMD's KDS serves the VCEK of the report's chip at its reported TCB.

    Built from the report alone; None for a VLEK (not served per chip), a
    masked chip id, or a version-2 report whose chain is unknown.
    """
    if key_kind != KeyKind.VCEK or product is None or not any(chip_id):
        return None
    return vcek_url(product, chip_id, tcb.spls())


def tcbm_difference(tcbm: int, reported: TcbVersion, turin: bool) -> str | None:
    """None when the payload's `tcbm` is the report's reported TCB; else a detail saying where they differ."""
    if tcbm == reported.raw:
        return None
    issued = TcbVersion.from_field(tcbm.to_bytes(8, "little"), turin)
    differing = [
        f"{name} {issued_level} vs {reported_level}"
        for (name, issued_level), reported_level in zip(
            issued.components().items(), reported.components().values(), strict=True
        )
        if issued_level != reported_level
    ] or ["reserved bytes"]
    return (
        f"expected the THIM payload's tcbm {tcbm:016X} ({issued}) to be the reported TCB {reported.raw:016X} "
        f"({reported}); they differ in {', '.join(differing)}"
    )
