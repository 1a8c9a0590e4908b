"""Verify AMD SEV-SNP attestation reports: AMD's certificate chain, the report's signature and what it states."""

from __future__ import annotations

from .checks import Check, Outcome
from .errors import VerificationError

__all__ = ["Check", "Outcome", "VerificationError"]
