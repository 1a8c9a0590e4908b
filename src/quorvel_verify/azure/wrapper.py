"""Azure's wrapper around a platform's evidence: the HCL report (around an SEV-SNP report or a TDX TDREPORT) and
the vTPM quote its attestation key signs.

The verifier verifies the evidence inside as if it were given bare (the SEV-SNP
report; for a TDREPORT, the TDX quote made from it, since only the CPU that
made a TDREPORT can check its MAC) and then hands the inner platform's result
to `Wrapping.around`, which adds the wrapper's own checks: `hcl` (the claims
are those the hardware report's report data binds), `td_report` (the quote's
TD report is the TDREPORT's) and the vTPM quote's (`tpm_signature`,
`tpm_pcrs`, `tpm_nonce`, or `tpm_quote` where none was given). What it
unwrapped is kept in the result under the keys of the JSON output, `hcl` and
`tpm_quote`.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Final

from .._internal.platform import EvidenceResult
from ..checks import Check, Outcome
from ..errors import about, located
from .hcl import REPORT_TYPE_TDX, HclReport, hcl_check
from .tdreport import td_report_check
from .tpm_quote import TpmEvidence, TpmQuote, nonce_value, quote_argument, read_quote, tpm_checks

# The checks that a TPM quote's verification makes, each of which must pass when one is given.
TPM_CHECKS: Final = frozenset({"tpm_signature", "tpm_pcrs", "tpm_nonce"})


@dataclass(frozen=True)
class Given:
    """What the caller gave for the wrapper beside the evidence (`tpm_quote=`, `tpm_nonce=`), read before the
    evidence so that a mistake in them is named first."""

    tpm: TpmQuote | None
    nonce: bytes | None

    def refuse(self, evidence: str) -> None:
        """Refuses a TPM quote given with `evidence` (named: "a TDX quote") that came in no wrapper."""
        if self.tpm is not None:
            raise about("tpm_quote", f"a TPM quote is for an Azure HCL report, whose attestation key signs it; the "
                                     f"evidence is {evidence}")


def given(tpm_quote: object, tpm_nonce: object) -> Given:
    """The wrapper's arguments as the caller gave them (None where not given), checked."""
    return Given(quote_argument(tpm_quote) if tpm_quote is not None else None,
                 nonce_value(tpm_nonce) if tpm_nonce is not None else None)


def needs_quote(wrapper: object) -> bool:
    """Whether the evidence in `wrapper` is verified through a quote given beside it (a TDX TDREPORT)."""
    return isinstance(wrapper, HclReport) and wrapper.report_type == REPORT_TYPE_TDX


@dataclass(frozen=True)
class Wrapping:
    """An HCL report with what was given for it: the checks it adds to the inner platform's result."""

    hcl: HclReport
    tpm: TpmEvidence | None
    nonce: bytes | None

    def around[C](self, result: EvidenceResult[C], through: bytes | None = None) -> EvidenceResult[C]:
        """`result` with the HCL report's checks (and `td_report`, where the result is that of the quote
        `through`, made from its TDREPORT), then the vTPM quote's, and what they unwrapped."""
        hcl = self.hcl
        checks: tuple[Check, ...] = (hcl_check(hcl),)
        must_pass = {"hcl"}
        if through is not None:
            checks += (td_report_check(hcl.hardware_report, through),)
            must_pass.add("td_report")
        wrapped = {**result.wrapped, "hcl": hcl}
        if self.tpm is None:
            checks += (Check("tpm_quote", Outcome.SKIP, "no TPM quote given: the HCL report was made at boot, so "
                             "neither freshness nor the current boot state is established"),)
        else:
            checks += tpm_checks(self.tpm, hcl.attestation_key, self.nonce)
            must_pass |= TPM_CHECKS
            wrapped["tpm_quote"] = self.tpm
        return dataclasses.replace(result, checks=(*result.checks, *checks), must_pass=result.must_pass | must_pass,
                                   wrapped=wrapped)


def wrapping(wrapper: object, arguments: Given) -> Wrapping:
    """The wrapping of `wrapper` (the HCL report the intake found), its vTPM quote read against its key."""
    assert isinstance(wrapper, HclReport)
    tpm = read_quote(arguments.tpm, wrapper.attestation_key) if arguments.tpm is not None else None
    return Wrapping(wrapper, tpm, arguments.nonce)


def missing_quote() -> Exception:
    return located("report", (
        "an HCL report around a TDX TDREPORT, which is verified through the TDX quote made from it: "
        "give that quote (--td-quote, or quote=), with Intel's collateral"
    ))
