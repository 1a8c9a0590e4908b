"""Verify confidential-computing evidence: AMD SEV-SNP attestation reports against AMD's certificate chain, and
Intel TDX quotes against Intel's PCK chain and collateral.

`verify()` checks a report in one call. A service makes a `Verifier` once
(its pinned roots, revocation settings, key service and caches), checks
evidence with `Verifier.verify`, and appraises the claims with a `Policy`
(`Policy.appraise`), which gives the `Verification`. `Cache` is where
fetched collateral is kept, and `FetchError` what a key service's failed
request raises.

The names below are loaded when first used, so that the command can say
that `cryptography` is missing (install `quorvel[verify]`) instead of
failing as it is imported.
"""

from __future__ import annotations

import importlib
import warnings
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._internal.cache import Cache
    from ._internal.http import FetchError
    from ._internal.platform import EvidenceResult, GivenCollateral, Platform, Revocation, RevocationEvidence
    from .checks import Check, Outcome
    from .errors import ErrorKind, PolicyError, VerificationError
    from .policy import Policy, RuleDoc, SevSnpRules, TdxRules, rule_reference
    from .sevsnp.platform import SevSnpClaims
    from .sevsnp.report import Cpuid, FirmwareVersion, GuestPolicy, PlatformInfo, Report, TcbVersion
    from .sevsnp.vocabulary import KeyKind, ProductLine
    from .tdx.collateral import TdxCollateral
    from .tdx.platform import TdxClaims
    from .sevsnp.verification import Verification
    from .tdx.verification import TdxVerification
    from .verifier import Verifier, verify

try:
    # Written into the wheel by the build (pyproject.toml), so that no distribution metadata is read at import.
    from ._version import __version__ as __version__  # type: ignore[import-not-found, unused-ignore]
except ImportError:  # run from a source tree that was never built
    __version__ = "0+unknown"

# Each public name, by the module that defines it.
_MODULES = {
    "Check": ".checks", "Outcome": ".checks",
    "Cache": "._internal.cache", "FetchError": "._internal.http",
    "EvidenceResult": "._internal.platform", "GivenCollateral": "._internal.platform", "Platform": "._internal.platform",
    "Revocation": "._internal.platform", "RevocationEvidence": "._internal.platform",
    "ErrorKind": ".errors", "PolicyError": ".errors", "VerificationError": ".errors",
    "Policy": ".policy", "RuleDoc": ".policy", "SevSnpRules": ".policy", "TdxRules": ".policy", "rule_reference": ".policy",
    "SevSnpClaims": ".sevsnp.platform",
    "Cpuid": ".sevsnp.report", "FirmwareVersion": ".sevsnp.report", "GuestPolicy": ".sevsnp.report",
    "PlatformInfo": ".sevsnp.report", "Report": ".sevsnp.report", "TcbVersion": ".sevsnp.report",
    "KeyKind": ".sevsnp.vocabulary", "ProductLine": ".sevsnp.vocabulary",
    "TdxCollateral": ".tdx.collateral", "TdxClaims": ".tdx.platform",
    "TdxVerification": ".tdx.verification", "Verification": ".sevsnp.verification",
    "Verifier": ".verifier", "verify": ".verifier",
}

__all__ = [
    "Cache",
    "Check",
    "Cpuid",
    "ErrorKind",
    "EvidenceResult",
    "FetchError",
    "FirmwareVersion",
    "GivenCollateral",
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
    "RevocationEvidence",
    "RuleDoc",
    "SevSnpClaims",
    "SevSnpRules",
    "TcbVersion",
    "TdxClaims",
    "TdxCollateral",
    "TdxRules",
    "TdxVerification",
    "Verification",
    "VerificationError",
    "Verifier",
    "rule_reference",
    "verify",
]
assert sorted(__all__) == sorted(_MODULES), "every public name is loaded from its module"


# Names that were public under another name, each with its new one: they still work, and warn.
_RENAMED = {"Collateral": "GivenCollateral"}


def __getattr__(name: str) -> object:
    if name in _RENAMED:
        warnings.warn(f"quorvel_verify.{name} is now {_RENAMED[name]} (Intel's collateral is TdxCollateral)",
                      DeprecationWarning, stacklevel=2)
        return __getattr__(_RENAMED[name])
    module = _MODULES.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module, __name__), name)
    globals()[name] = value  # looked up once
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *_MODULES])
