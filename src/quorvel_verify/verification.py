"""The outcome of a verification: every check in order, the verdict, and what the evidence established."""

from __future__ import annotations

import datetime
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import ClassVar

from . import __version__
from ._internal.platform import Platform, Wrapped

from .azure.hcl import HclReport
from .azure.tpm_quote import TpmEvidence
from .checks import Check
from .sevsnp.report import Report
from .tdx.collateral import TcbStatus
from .tdx.quote import Quote
from .tdx.tcb import MatchedLevels
from .sevsnp.vocabulary import KeyKind, ProductLine


class _Checked:
    """What every platform's verification offers of its checks, and what every one records of itself."""

    checks: tuple[Check, ...]
    verified_at: datetime.datetime | None
    wrapped: Mapping[str, Wrapped]

    def _record(self) -> dict[str, str]:
        """The keys every result's JSON holds about the verification itself: when it was judged, and by what."""
        at = self.verified_at
        when: dict[str, str] = {} if at is None else {
            "verified_at": at.astimezone(datetime.UTC).replace(tzinfo=None).isoformat(timespec="seconds") + "Z"}
        return when | {"quorvel_version": __version__}

    def _wrapped_json(self) -> dict[str, object]:
        """What the wrappers unwrapped, each under its key ("hcl", "tpm_quote")."""
        return {key: value.to_json() for key, value in self.wrapped.items()}

    @property
    def hcl(self) -> HclReport | None:
        """Azure's HCL report the evidence came in (None: none), bound to it by the `hcl` check."""
        found = self.wrapped.get("hcl")
        return found if isinstance(found, HclReport) else None

    @property
    def tpm_quote(self) -> TpmEvidence | None:
        """The vTPM quote given with the HCL report (None: none given), verified by the `tpm_*` checks."""
        found = self.wrapped.get("tpm_quote")
        return found if isinstance(found, TpmEvidence) else None

    @property
    def failed(self) -> tuple[Check, ...]:
        """The checks that failed, in order."""
        return tuple(check for check in self.checks if check.failed)

    def check(self, name: str) -> Check:
        """The check of this name; KeyError if it was not made."""
        for check in self.checks:
            if check.name == name:
                return check
        raise KeyError(name)


@dataclass(frozen=True)
class Verification(_Checked):
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
    by the `hcl` check, so that a service can go on to check a TPM quote.
    `verified_at` is the time the evidence, certificates and revocation list
    were judged at (UTC): the `now` given, or the time of the verification.
    """

    platform: ClassVar[Platform] = Platform.SEV_SNP

    verified: bool
    report: Report
    checks: tuple[Check, ...]
    product: ProductLine | None  # from the report's CPUID; for version 2, from the chain
    key_kind: KeyKind | None  # VCEK or VLEK, as the report's signing-key field names it
    kds_url: str | None  # where AMD's KDS serves the report's VCEK, built from the report
    signed_digest: str  # SHA-384 of bytes 0x000-0x29F, hex
    wrapped: Mapping[str, Wrapped] = field(default_factory=dict, hash=False)
    verified_at: datetime.datetime | None = None

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


@dataclass(frozen=True)
class TdxVerification(_Checked):
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
    quote came with one: its claims, bound by the `hcl` and `td_report` checks.
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

    verified: bool
    quote: Quote
    checks: tuple[Check, ...]
    tcb_status: TcbStatus | None
    advisory_ids: tuple[str, ...]
    fmspc: str
    wrapped: Mapping[str, Wrapped] = field(default_factory=dict, hash=False)
    tcb_levels: MatchedLevels = MatchedLevels()

    @property
    def tcb_date(self) -> str | None:
        """The earliest TCB date of the levels found (Intel's date of the TCB the verdict vouches for), or None."""
        return self.tcb_levels.tcb_date
    verified_at: datetime.datetime | None = None
    signed_digest: str = ""  # SHA-256 of the header and body, hex

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
