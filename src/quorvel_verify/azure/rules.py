"""What a relying party accepts of Azure's vTPM evidence: the rules of the policy's `[azure]` table.

They judge `AzureClaims`: the HCL report the evidence came in and the TPM
quote given with it, once the `tpm_*` checks have verified it. A rule that
is not set makes no check. `tpm_nonce` makes none of its own either: it is
the nonce the `tpm_nonce` evidence check expects (as `require_revocation`
sets how `revocation` judges), laid over the verifier's argument by
`verify(policy=...)` and the command.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import ClassVar, Final

from .._internal.rules import Invalid, Rule, Verdict, boolean, describe, field, hex_bytes, hex_choices, list_of
from .._internal.ruleset import RuleSet
from ..errors import VerificationError
from .hcl import HclReport
from .tpm_quote import MAX_SELECT, TpmEvidence, nonce_value

MAX_PCR: Final = 8 * MAX_SELECT - 1


@dataclass(frozen=True, slots=True)
class AzureClaims:
    """What Azure's evidence established beside the hardware report's: its HCL report (None for evidence that
    came in none) and the TPM quote verified against it (None: none given)."""

    hcl: HclReport | None
    tpm: TpmEvidence | None

    @classmethod
    def of(cls, wrapped: Mapping[str, object]) -> AzureClaims:
        """Azure's claims among what a result's wrappers unwrapped (`EvidenceResult.wrapped`)."""
        hcl, tpm = wrapped.get("hcl"), wrapped.get("tpm_quote")
        return cls(hcl if isinstance(hcl, HclReport) else None, tpm if isinstance(tpm, TpmEvidence) else None)


def _nonce(value: object) -> bytes:
    try:
        return nonce_value(value)
    except VerificationError as error:
        raise Invalid(error.reason) from None


def _pcrs(value: object) -> dict[int, tuple[bytes, ...]]:
    if not isinstance(value, Mapping):
        raise Invalid(f"expected a table of PCR indices, each with its allowed values, got {describe(value)}")
    parsed: dict[int, tuple[bytes, ...]] = {}
    for key, allowed in value.items():
        index = int(key) if isinstance(key, str) and key.isdigit() and key.isascii() else key
        if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index <= MAX_PCR:
            raise Invalid(f"expected a PCR index from 0 to {MAX_PCR} as the key, got {key!r}", str(key))
        try:
            parsed[index] = list_of(hex_bytes(32))(allowed)
        except Invalid as error:
            raise Invalid(error.message, str(key), *error.path) from None
    if not parsed:
        raise Invalid("expected at least one PCR: an empty table judges nothing")
    return dict(sorted(parsed.items()))


def _check_pcrs(allowed: Mapping[int, tuple[bytes, ...]], claims: AzureClaims) -> Verdict:
    if claims.tpm is None:
        return False, f"expected PCRs {', '.join(map(str, allowed))} from a TPM quote; no quote was given"
    found = claims.tpm.pcrs
    if not found:
        return False, "expected PCR values that the TPM quote vouches for; none given match its selection"
    wrong = []
    for index, values in allowed.items():
        value = found.get(index)
        if value is None:
            wrong.append(f"PCR {index} {hex_choices(values)}, which the quote does not select")
        elif value not in values:
            wrong.append(f"PCR {index} {hex_choices(values)}; found {value.hex()}")
    if wrong:
        return False, "expected " + "; ".join(wrong)
    return True, f"PCR{'s' if len(allowed) > 1 else ''} {', '.join(map(str, allowed))}, each among its allowed values"


def _require_quote(required: bool, claims: AzureClaims) -> Verdict:
    given = claims.tpm is not None
    if not required:
        return True, f"a TPM quote {'was' if given else 'was not'} given, not judged"
    if not given:
        return False, ("expected a TPM quote signed by the HCL report's attestation key: without one, the HCL "
                       "report, made at boot, proves neither freshness nor the current boot state")
    return True, "a TPM quote was given"


TPM_NONCE: Final = Rule(
    _nonce, None, 'string: the nonce as text (its UTF-8 bytes), or "hex:" then its bytes in hex', "none",
    "The nonce the relying party asked the TPM quote for: the ``tpm_nonce`` check passes only when the quote's "
    "extra data is exactly these bytes. Without it (or ``tpm_nonce=``, ``--tpm-nonce``) ``tpm_nonce`` skips, and "
    "evidence with a quote is not verified.",
)
PCRS: Final = Rule(
    _pcrs, _check_pcrs, "table of PCR index (0 to 31) to array of 64 hex digits", "any",
    "For each PCR index, the SHA-256 values allowed; a PCR the quote does not select fails, as does evidence "
    "without a quote.",
)
REQUIRE_TPM_QUOTE: Final = Rule(
    boolean, _require_quote, "boolean", "false",
    "When true, evidence must come with a TPM quote (and so in an HCL report): the setting a relying party "
    "wants, since an HCL report alone is made at boot and proves no freshness.",
)


@dataclass(frozen=True)
class AzureRules(RuleSet):
    """What Azure's vTPM evidence must meet: the `[azure]` table of a policy file, for evidence of either
    platform. None leaves a rule out; without the table no rule applies.

    Its checks are named `policy.azure.<rule>`; `tpm_nonce` makes none of its own but is the nonce that the
    `tpm_nonce` check expects (see `expected_nonce`).
    """

    table: ClassVar[str | None] = "azure"

    tpm_nonce: bytes | str | None = field(TPM_NONCE)
    pcrs: Mapping[int | str, Sequence[bytes | str]] | None = field(PCRS)
    require_tpm_quote: bool | None = field(REQUIRE_TPM_QUOTE)

    @classmethod
    def _placed_elsewhere(cls, key: str) -> str | None:
        from ..policy import Policy  # the whole policy, which holds this table

        if key in Policy.rules():
            return " in [azure]: a top-level key, which goes above the [azure] line (every key below it is in the table)"
        return None
