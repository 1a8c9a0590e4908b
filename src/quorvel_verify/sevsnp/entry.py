"""AMD SEV-SNP's entry in the registry of platforms (`_internal.platform.REGISTRY`)."""

from __future__ import annotations

from typing import Final

from .._internal.platform import EvidenceResult, Platform
from ..checks import Check
from .chains import TrustStore, trust_store
from .platform import SevSnp, SevSnpClaims, looks_like_report
from .text import TEXT, SevSnpText
from .verification import Verification


class SevSnpEntry:
    platform = Platform.SEV_SNP
    text: SevSnpText = TEXT  # how the command shows its verification
    claims_type = SevSnpClaims
    verification_type = Verification
    # The command's pins of its rules (see `PlatformEntry.pins`).
    pins: tuple[tuple[str, str, bool], ...] = (
        ("--report-data", "report_data", False), ("--measurement", "measurements", True), ("--vmpl", "vmpl", True),
        ("--min-tcb", "min_tcb", False),
    )

    def recognises(self, evidence: object) -> bool:
        return looks_like_report(evidence)

    def verification(self, result: EvidenceResult[SevSnpClaims], judged: list[Check]) -> Verification:
        return Verification(
            verified=result.verified and not any(check.failed for check in judged),
            checks=result.checks + tuple(judged), claims=result.claims, wrapped=result.wrapped,
            verified_at=result.judged_at,
        )

    def checker(self, pinned: TrustStore | None, cache_size: int) -> SevSnp:
        """SEV-SNP's checker under the chains a verifier pinned, or AMD's bundled ones (loaded once a process)."""
        return SevSnp(pinned if pinned is not None else trust_store(None), cache_size)


ENTRY: Final = SevSnpEntry()
