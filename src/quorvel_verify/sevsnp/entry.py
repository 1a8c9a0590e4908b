"""AMD SEV-SNP's entry in the registry of platforms (`_internal.platform.REGISTRY`)."""

from __future__ import annotations

from typing import Final

from .._internal.platform import Platform
from .chains import TrustStore, trust_store
from .platform import SevSnp, SevSnpClaims, looks_like_report
from .text import TEXT, SevSnpText


class SevSnpEntry:
    platform = Platform.SEV_SNP
    text: SevSnpText = TEXT  # how the command shows its verification
    claims_type = SevSnpClaims

    def recognises(self, evidence: object) -> bool:
        return looks_like_report(evidence)

    def checker(self, pinned: TrustStore | None, cache_size: int) -> SevSnp:
        """SEV-SNP's checker under the chains a verifier pinned, or AMD's bundled ones (loaded once a process)."""
        return SevSnp(pinned if pinned is not None else trust_store(None), cache_size)


ENTRY: Final = SevSnpEntry()
