"""TDX's result: the outcome of verifying an Intel TDX quote."""

from __future__ import annotations

from dataclasses import dataclass
from typing import ClassVar

from .._internal.platform import Platform
from ..verification import PlatformVerification
from .collateral import TcbStatus
from .quote import Quote
from .platform import TdxClaims
from .tcb import MatchedLevels


@dataclass(frozen=True)
class TdxVerification(PlatformVerification[TdxClaims]):
    """The outcome of verifying an Intel TDX quote: every check in order, the verdict, and what it established.

    `verified` holds when every evidence check that must pass passed and no
    check failed. `tcb_status` is the TCB status converged from the
    platform's, the TDX module's and the quoting enclave's (None when no TCB
    level was found), with Intel's `advisory_ids` of all three merged;
    `tcb_levels` the level found for each of the three (its status, TCB date
    and advisories, so a reader can tell which part needs the update) and
    `tcb_date` the earliest of their TCB dates; `fmspc` is the platform
    model of the PCK certificate, in hex; `quote` the parsed quote. `hcl` is
    the Azure HCL report whose TDREPORT the quote was made from, where the
    quote came with one: its claims, bound by the `hcl` and `td_report` checks;
    `tpm_quote` the vTPM quote given with it, as `Verification.tpm_quote`.
    `verified_at` is the time the quote, certificates and collateral were
    judged at (UTC).
    `signed_digest` is the SHA-256 of what the quote's signature covers (its
    header and body, the bytes before the signature data), in hex: what a
    service should deduplicate or log quotes by, as for SEV-SNP. The file's
    own hash will not do: the ECDSA signature is malleable (s and n-s both
    verify), and the signature data (certificates, and bytes after it) is
    not signed by the attestation key, so one signed quote has many encodings.
    """

    platform: ClassVar[Platform] = Platform.TDX

    @property
    def quote(self) -> Quote:
        """The parsed quote, every field typed."""
        return self.claims.quote

    @property
    def tcb_status(self) -> TcbStatus | None:
        """The TCB status converged from the platform's, the TDX module's and the QE's (None: no level found)."""
        return self.claims.tcb_status

    @property
    def advisory_ids(self) -> tuple[str, ...]:
        """Intel's advisories of the three levels found, merged."""
        return self.claims.advisory_ids

    @property
    def fmspc(self) -> str:
        """The platform model of the PCK certificate, in hex."""
        return self.claims.fmspc

    @property
    def tcb_levels(self) -> MatchedLevels:
        """The level found for the platform, the TDX module and the QE: status, TCB date, advisories."""
        return self.claims.tcb_levels

    @property
    def tcb_date(self) -> str | None:
        """The earliest TCB date of the levels found (Intel's date of the TCB the verdict vouches for), or None."""
        return self.tcb_levels.tcb_date

    @property
    def signed_digest(self) -> str:
        """SHA-256 of the header and body, hex."""
        return self.claims.signed_digest

    def to_json(self) -> dict[str, object]:
        """The verification as the command's `--json` output holds it."""
        return {
            "verified": self.verified,
            "platform": str(self.platform),
            "checks": [check.to_json() for check in self.checks],
            "tcb_status": self.tcb_status,
            "advisory_ids": list(self.advisory_ids),
            "tcb_date": self.tcb_date,
            "tcb_levels": self.tcb_levels.to_json(),
            "fmspc": self.fmspc,
            "signed_digest": self.signed_digest,
            "quote": self.quote.to_json(),
        } | self._record() | self._wrapped_json()
