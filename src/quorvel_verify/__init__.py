"""Verify confidential-computing evidence: AMD SEV-SNP attestation reports against AMD's certificate chain, and
Intel TDX quotes against Intel's PCK chain and collateral.

`verify()` checks a report in one call. A service makes a `Verifier` once
(its pinned roots, revocation settings, key service and caches), checks
evidence with `Verifier.verify`, and appraises the claims with a `Policy`
(`Policy.appraise`), which gives the `Verification`.
"""

from __future__ import annotations

from ._internal.platform import Collateral, EvidenceResult, Platform, Revocation
from .checks import Check, Outcome
from .errors import ErrorKind, PolicyError, VerificationError
from .policy import Policy, RuleDoc, TdxRules, rule_reference
from .sevsnp.platform import SevSnpClaims
from .sevsnp.report import Cpuid, FirmwareVersion, GuestPolicy, PlatformInfo, Report, TcbVersion
from .sevsnp.vocabulary import KeyKind, ProductLine
from .tdx.platform import TdxClaims
from .verification import TdxVerification, Verification
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
    "TdxClaims",
    "TdxRules",
    "TdxVerification",
    "Verification",
    "VerificationError",
    "Verifier",
    "rule_reference",
    "verify",
]
