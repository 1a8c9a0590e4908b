"""Intel TDX's entry in the registry of platforms (`_internal.platform.REGISTRY`)."""

from __future__ import annotations

from typing import Final

from cryptography import x509

from .._internal.platform import EvidenceResult, Platform
from ..checks import Check
from .platform import Tdx, TdxClaims, looks_like_quote
from .text import TEXT, TdxText
from .verification import TdxVerification


class TdxEntry:
    platform = Platform.TDX
    text: TdxText = TEXT  # how the command shows its verification
    claims_type = TdxClaims
    verification_type = TdxVerification
    # The command's pins of its rules (see `PlatformEntry.pins`).
    pins: tuple[tuple[str, str, bool], ...] = (("--report-data", "report_data", False), ("--mr-td", "mr_td", True))

    def recognises(self, evidence: object) -> bool:
        return looks_like_quote(evidence)

    def verification(self, result: EvidenceResult[TdxClaims], judged: list[Check]) -> TdxVerification:
        return TdxVerification(
            verified=result.verified and not any(check.failed for check in judged),
            checks=result.checks + tuple(judged), claims=result.claims, wrapped=result.wrapped,
            verified_at=result.judged_at,
        )

    def checker(self, pinned: x509.Certificate | None, cache_size: int) -> Tdx:
        """TDX's checker under the Intel SGX Root CA a verifier pinned, or the bundled one, loaded now."""
        return Tdx(pinned, cache_size)


ENTRY: Final = TdxEntry()
