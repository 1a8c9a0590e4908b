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
import functools
import hashlib
from dataclasses import dataclass
from typing import Final

from cryptography import x509

from .._internal.platform import Collateral, EvidenceResult, Platform, Revocation, RevocationEvidence
from ..azure.thim import tcbm_difference
from ..checks import Check, Outcome
from ..errors import ErrorKind, VerificationError, located
from . import checks
from .certificate import LeafFacts, csp_id_of, decoded, leaf_facts
from .chains import Chain, TrustStore
from .evidence import certificates_from_table, find_leaf, load_certificates, read_report
from .report import REPORT_SIZE, Records, Report, TcbVersion
from .revocation import judged_lists
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


class SevSnp:
    """SEV-SNP's evidence checks against the chains of `store`, with caches of `cache_size` entries."""

    platform = Platform.SEV_SNP

    def __init__(self, store: TrustStore, cache_size: int = EVIDENCE_CACHE_SIZE) -> None:
        self.store = store
        self._records = Records(FIELD_CACHE_SIZE)
        self._evidence = functools.lru_cache(cache_size)(self._load_evidence)
        self._chain = functools.lru_cache(cache_size)(functools.partial(checks.chain_check, store))
        self._periods = functools.lru_cache(cache_size)(checks.validity_periods)
        self._valid = functools.lru_cache(VALIDITY_CACHE_SIZE)(self._validity_passed)
        self._key = functools.lru_cache(cache_size)(checks.key_check)
        self._chip = functools.lru_cache(cache_size)(checks.chip_check)
        self._tcb = functools.lru_cache(cache_size)(checks.tcb_check)
        self._product = functools.lru_cache(cache_size)(checks.product_check)
        self._report = functools.lru_cache(FIELD_CACHE_SIZE)(checks.report_check)
        self._kds_url = functools.lru_cache(cache_size)(_kds_url)
        self._judged = functools.lru_cache(cache_size)(judged_lists)
        self._decoded = functools.lru_cache(FIELD_CACHE_SIZE)(decoded)

    def recognises(self, evidence: object) -> bool:
        """Whether `evidence` is an SEV-SNP report: a `Report`, or 1184 bytes whose version is one we know."""
        if isinstance(evidence, Report):
            return True
        if not isinstance(evidence, bytes | bytearray | memoryview) or len(evidence) != REPORT_SIZE:
            return False
        return int.from_bytes(bytes(evidence[:4]), "little") in KNOWN_VERSIONS

    def check(
        self, evidence: object, collateral: Collateral, *, now: datetime.datetime, revocation: Revocation
    ) -> EvidenceResult[SevSnpClaims]:
        """The evidence checks of the report `evidence` (bytes or a `Report`) with the certificates of
        `collateral`, in order: report, chain, validity, key, signature, chip, tcb, product, revocation."""
        report = self._read(evidence)
        key_kind = report.key_kind
        found = self._evidence(collateral.certificate, collateral.certificate_table, key_kind)
        chain, chain_check = self._chain(found, key_kind)
        facts = found.facts
        product = report.product or (chain.product if chain is not None else None)

        def judge(settings: Revocation) -> Check:
            return checks.revocation_check(
                collateral.crl, chain, facts, settings, now, self._judged, collateral.crl_unavailable
            )

        results = (
            self._report(report.version, report.signature_algo, report.signing_key),
            chain_check,
            checks.validity_failure(self._periods(facts, chain), now) or self._valid(facts, chain, int(now.timestamp())),
            self._key(facts, key_kind, product),
            checks.signature_check(report, facts),
            self._chip(report.chip_id, report.mask_chip_id, facts, key_kind, product),
            _issued_tcb_check(self._tcb(facts, report.reported_tcb), collateral.issued_tcb, report),
            self._product(report.product, report.cpuid, chain),
            judge(revocation),
        )
        claims = SevSnpClaims(
            report=report, product=product, key_kind=key_kind,
            kds_url=self._kds_url(report.chip_id, report.reported_tcb, product, key_kind),
            signed_digest=hashlib.sha384(report.signed_bytes).hexdigest(),
            csp_id=csp_id_of(facts.certificate) if key_kind == KeyKind.VLEK else None,
        )
        return EvidenceResult(
            Platform.SEV_SNP, results, checks.MUST_PASS, claims, revocation=RevocationEvidence(revocation, judge)
        )

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

    def _load_evidence(
        self, certificate: bytes | None, certificate_table: bytes | None, key_kind: KeyKind | None
    ) -> checks.Evidence:
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
        return checks.Evidence(leaf_facts(leaf, name, self._decoded), others)

    def _validity_passed(self, facts: LeafFacts, chain: Chain | None, second: int) -> Check:
        return checks.validity_passed(self._periods(facts, chain), second)


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
