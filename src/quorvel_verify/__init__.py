"""Verify confidential-computing evidence: AMD SEV-SNP attestation reports against AMD's certificate chain.

`verify()` checks a report in one call. A service makes a `Verifier` once
(its pinned roots, revocation settings, key service and caches), checks
evidence with `Verifier.verify`, and appraises the claims with a `Policy`
(`Policy.appraise`), which gives the `Verification`.
"""

from __future__ import annotations

from ._internal.platform import Collateral, EvidenceResult, Platform, Revocation
from .checks import Check, Outcome
from .errors import ErrorKind, PolicyError, VerificationError
from .policy import Policy, RuleDoc, rule_reference
from .sevsnp.platform import SevSnpClaims
from .sevsnp.report import Cpuid, FirmwareVersion, GuestPolicy, PlatformInfo, Report, TcbVersion
from .sevsnp.vocabulary import KeyKind, ProductLine
from .verification import Verification
from .verifier import Verifier, verify

__all__ = [
    "Check",
    "Collateral",
    "Cpuid",
    "ErrorKind",
    "EvidenceResult",
    "FirmwareVersion",
    "GuestPolicy",
    "KeyKind",
    "Outcome",
    "Platform",
    "PlatformInfo",
    "Policy",
    "PolicyError",
    "ProductLine",
    "Report",
    "Revocation",
    "RuleDoc",
    "SevSnpClaims",
    "TcbVersion",
    "Verification",
    "VerificationError",
    "Verifier",
    "rule_reference",
    "verify",
]
