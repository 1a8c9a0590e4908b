"""Verify AMD SEV-SNP attestation reports: AMD's certificate chain, the report's signature and what it states."""

from __future__ import annotations

from .checks import Check, Outcome
from .errors import VerificationError
from .policy import Policy, PolicyError
from .sevsnp.report import Cpuid, FirmwareVersion, GuestPolicy, PlatformInfo, Report, TcbVersion
from .verify import Verification, verify

__all__ = [
    "Check",
    "Cpuid",
    "FirmwareVersion",
    "GuestPolicy",
    "Outcome",
    "PlatformInfo",
    "Policy",
    "PolicyError",
    "Report",
    "TcbVersion",
    "Verification",
    "VerificationError",
    "verify",
]
