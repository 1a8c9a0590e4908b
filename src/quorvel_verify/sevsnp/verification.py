"""SEV-SNP's result: the outcome of verifying an AMD SEV-SNP report."""

from __future__ import annotations

from dataclasses import dataclass
from typing import ClassVar

from .._internal.platform import Platform
from ..verification import PlatformVerification
from .platform import SevSnpClaims
from .report import Report
from .vocabulary import KeyKind, ProductLine


@dataclass(frozen=True)
class Verification(PlatformVerification[SevSnpClaims]):
    """The outcome of `verify` (or of `Policy.appraise`): every check in order, and the verdict.

    `verified` holds when every evidence check that must pass passed and no
    check failed. `signed_digest` is the SHA-384 of what the chip signed
    (bytes 0x000-0x29F of the report), in hex: what a service should
    deduplicate or log reports by. The file's own hash will not do: the
    ECDSA signature is malleable (s and n-s both verify), and the bytes after
    0x2A0 are not signed at all, so one signed report has many encodings.
    `hcl` is the Azure HCL report the report came in, where it came in one:
    its runtime claims (`hcl.claims`) and the vTPM's attestation key
    (`hcl.attestation_key`, `hcl.attestation_key_jwk`), bound to the report
    by the `hcl` check. `tpm_quote` is the vTPM quote given with it (None: none
    given), verified with that key by the `tpm_signature`, `tpm_pcrs` and
    `tpm_nonce` checks: its fields, and its PCR values by index (`tpm_quote.pcrs`).
    `verified_at` is the time the evidence, certificates and revocation list
    were judged at (UTC): the `now` given, or the time of the verification.
    """

    platform: ClassVar[Platform] = Platform.SEV_SNP

    @property
    def report(self) -> Report:
        """The decoded report, every field read from the signed bytes."""
        return self.claims.report

    @property
    def product(self) -> ProductLine | None:
        """From the report's CPUID; for version 2, from the chain."""
        return self.claims.product

    @property
    def key_kind(self) -> KeyKind | None:
        """VCEK or VLEK, as the report's signing-key field names it."""
        return self.claims.key_kind

    @property
    def kds_url(self) -> str | None:
        """Where AMD's KDS serves the report's VCEK, built from the report."""
        return self.claims.kds_url

    @property
    def signed_digest(self) -> str:
        """SHA-384 of bytes 0x000-0x29F, hex."""
        return self.claims.signed_digest

    def to_json(self) -> dict[str, object]:
        """The verification as the command's `--json` output holds it."""
        return {
            "verified": self.verified,
            "platform": str(self.platform),
            "checks": [check.to_json() for check in self.checks],
            "product": self.product,
            "key_kind": self.key_kind,
            "kds_url": self.kds_url,
            "signed_digest": self.signed_digest,
            "report": self.report.to_json(),
        } | self._record() | self._wrapped_json()
