"""What a relying party accepts: the rules of a policy and the checks they make of what the evidence established.

A policy is secure by default: with no rule set, a guest whose policy allows
debugging fails `policy.allow_debug`, and nothing else is required. Every
other rule applies only when it is set, and then makes one check, named
`policy.<rule>`, in the order of the attributes below. Each check's detail
says what the rule expected and what the report holds.

The rules are declared with their platform (SEV-SNP's in `sevsnp/rules.py`,
which are the top-level keys of the file); a later platform's rules live in a
table of the file named after it (`[tdx]`), held by a field of that name whose
value is the platform's own `RuleSet`. Azure's vTPM evidence, around either
platform's report, has its rules in `[azure]` (`azure/rules.py`), judged for
evidence of both. `rule_reference()` lists them all, with the text of each
rule's declaration.

`require_revocation` and `crl_grace_period` make no check of their own: they
set how the `revocation` check judges the revocation lists, on both
platforms. The verifier judges that check under its own settings
(`Verifier(revocation=Revocation(...))`, by default each platform's:
TDX requires Intel's CRLs, SEV-SNP goes without AMD's list where none can be
had) and records what it found; `Policy.appraise` lays the policy's settings
over the verifier's (`Policy.revocation`: what the policy sets wins, what it
leaves out stays) and judges the check again where they differ. So
`verify(..., policy=p)` and `p.appraise(verifier.verify(...))` give the same
result: there is one appraisal.

`report_data` at the top level is the freshness pin of both platforms (each
has 64 bytes of report data): it judges a TDX quote's report data too. Every
other top-level rule is SEV-SNP's; a policy that sets some of them and no
`[tdx]` table fails `policy.platform` for a TDX quote, and one that sets them
beside a `[tdx]` table (a mixed fleet) judges a TDX quote by the table and
says so in a skipped `policy.platform` check naming the SEV-SNP rules that do
not apply to it.

A policy is validated whole when it is made, from a TOML file, a mapping or
the constructor: an unknown rule, a value of the wrong type, malformed hex or
an empty allow-list is refused with a `PolicyError` before any report is
looked at; from a file, with its name and line (the error's `file`, `line`
and `path`).
"""

from __future__ import annotations

import dataclasses
import functools
import hashlib
import os
import re
import tomllib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ._internal import limits
from ._internal.files import read_input
from ._internal.platform import EvidenceResult, Platform, Revocation, entry
from ._internal.rules import Rule
from ._internal.ruleset import RuleSet, table_field, table_rules
from ._internal.toml_lines import key_lines
from .checks import Check, Outcome
from .errors import PolicyError, VerificationError
from .sevsnp.platform import SevSnpClaims
from .sevsnp.report import Report
from .sevsnp.rules import SevSnpRules
from .sevsnp.vocabulary import KeyKind, ProductLine

if TYPE_CHECKING:
    from .azure.rules import AzureRules
    from .sevsnp.verification import Verification
    from .tdx.platform import TdxClaims
    from .tdx.rules import TdxRules
    from .tdx.verification import TdxVerification

__all__ = ["AzureRules", "Policy", "PolicyError", "RuleDoc", "RuleSet", "SevSnpRules", "TdxRules", "rule_reference"]


# The top-level keys that set how revocation lists are read, for either platform: not rules about SEV-SNP guests.
_VERIFIER_SETTINGS = frozenset({"require_revocation", "crl_grace_period"})
# The top-level rules that judge a TDX quote too: what both platforms' evidence holds alike.
_SHARED_RULES = frozenset({"report_data"})


@dataclass(frozen=True)
class Policy(SevSnpRules):
    """The whole policy: SEV-SNP's rules at the top level (`SevSnpRules`), TDX's in its `[tdx]` table
    (`TdxRules`) and Azure's in `[azure]` (`AzureRules`). None leaves a rule out; `allow_debug` always applies.

    Hex values (`measurements`, `host_data`, `report_data`, `id_key_digests`,
    `author_key_digests`) may be given as bytes or hex strings and are held as
    bytes; lists are held as tuples. What each rule requires is in
    `rule_reference()`.
    """

    # Each table's rules are imported when a policy has the table (see `_internal.ruleset.TABLES`): a policy
    # without [tdx] judging SEV-SNP evidence loads none of TDX's code.
    tdx: TdxRules | None = table_field("tdx")
    azure: AzureRules | None = table_field("azure")

    def __post_init__(self) -> None:
        super().__post_init__()
        shared = self.report_data
        if shared is not None and self.tdx is not None and self.tdx.report_data not in (None, shared):
            # Either would be judged on a TDX quote: one of the two pins would silently not hold.
            raise PolicyError(
                "tdx.report_data: differs from the top-level report_data, which judges TDX quotes too; set one",
                ("tdx", "report_data"),
            )

    @classmethod
    def _placed_elsewhere(cls, key: str) -> str | None:
        if key in table_rules("azure").rules():
            return " at the top level: an Azure rule, which goes in the [azure] table"
        return " at the top level: a TDX rule, which goes in the [tdx] table" if key in table_rules("tdx").rules() else None

    def expected_nonce(self, given: bytes | str | None) -> bytes | None:
        """The nonce the `tpm_nonce` check expects: `given` (the caller's), else the `[azure]` table's
        `tpm_nonce`; a caller's nonce other than the policy's is refused, since one of them is a mistake."""
        pinned = self.azure.tpm_nonce if self.azure is not None else None
        if given is None:
            return pinned  # type: ignore[return-value]  # parsed: bytes
        from .azure.tpm_quote import nonce_value

        nonce = nonce_value(given)
        if pinned is not None and nonce != pinned:
            raise PolicyError("tpm_nonce: the nonce given differs from the policy's [azure] tpm_nonce",
                              ("azure", "tpm_nonce"))
        return nonce

    @classmethod
    def from_toml(cls, text: str, source: str = "<policy>") -> Policy:
        """A policy from the text of a TOML file; errors name `source` and the line."""
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            message = str(error)
            where = re.search(r" \(at (?:line (\d+), column \d+|end of document)\)$", message)
            if where is None:
                raise PolicyError(f"not valid TOML: {message}", file=source) from None
            line = int(where[1]) if where[1] else len(text.splitlines())
            raise PolicyError(f"not valid TOML: {message[:where.start()]}", file=source, line=line) from None
        try:
            return cls.from_mapping(data)
        except PolicyError as error:
            raise PolicyError(
                error.reason, error.path, file=source, line=_line_of(text, error.path, data)
            ) from None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Policy:
        """A policy from a TOML file (a regular file of at most `limits.POLICY_FILE_SIZE` bytes, or `-`)."""
        try:
            text = read_input(os.fspath(path), "policy file", limits.POLICY_FILE_SIZE).decode("utf-8")
        except VerificationError as error:
            raise PolicyError(error.reason, file=os.fspath(path)) from error
        except UnicodeDecodeError as error:
            raise PolicyError(f"not UTF-8 text, as TOML must be ({error.reason})", file=os.fspath(path)) from error
        return cls.from_toml(text, os.fspath(path))

    def revocation(self, verifier: Revocation) -> Revocation:
        """The verifier's revocation settings with this policy's `require_revocation` and `crl_grace_period`
        laid over them: what the policy sets wins, what it leaves out is the verifier's."""
        return verifier.under(self.require_revocation, self.crl_grace_period)

    def appraise(self, result: EvidenceResult[SevSnpClaims] | EvidenceResult[TdxClaims]) -> Verification | TdxVerification:
        """The verification of `result` (what `Verifier.verify` returned): its evidence checks, then the
        `policy.<rule>` checks of the rules of its platform that apply; verified when the evidence holds
        and no rule fails.

        Fail closed across platforms: a policy that sets rules for one platform only (SEV-SNP's top-level
        rules, or a `[tdx]` table) fails `policy.platform` for evidence of the other, so that an allow-list
        written for one never lets the other through unpinned. An empty policy applies each platform's
        defaults; a top-level `report_data` judges either platform's report data.

        This is the one place where the policy's revocation settings apply: the `revocation` check is judged
        again under them where they differ from those the verifier judged it under (see `Policy.revocation`).
        """
        if result.revocation is not None:
            result = result.judged_under(self.revocation(result.revocation.settings))
        # Likewise the nonce a vTPM quote must answer: the policy's is judged here, whichever form verified.
        pinned = self.azure.tpm_nonce if self.azure is not None else None
        if pinned is not None:
            from .azure.rules import AzureClaims
            from .azure.tpm_quote import nonce_judged, nonce_value

            tpm = AzureClaims.of(result.wrapped).tpm
            if tpm is not None:
                result = dataclasses.replace(result, checks=nonce_judged(result.checks, tpm, nonce_value(pinned)))
        claims = result.claims
        # The TDX rules are made only for a TDX quote: an SEV-SNP verification imports none of TDX's code.
        rules: RuleSet | None = (
            self if result.platform is Platform.SEV_SNP else self._tdx_rules if result.platform is Platform.TDX else None
        )
        if rules is None:
            raise PolicyError(f"no rules for evidence of {result.platform}")
        platform = entry(result.platform)
        assert isinstance(claims, platform.claims_type)
        judged = self._platform_check(result.platform) + rules.checks_of(claims) + self._azure_checks(result)
        # The platform's result, through its entry in the registry.
        appraised: Verification | TdxVerification = platform.verification(result, judged)
        return appraised

    def _azure_checks(self, result: EvidenceResult[Any]) -> list[Check]:
        """The `policy.azure.<rule>` checks, where the policy has an `[azure]` table: of any evidence, since a
        rule such as `require_tpm_quote` is about what came with it."""
        if self.azure is None:
            return []
        from .azure.rules import AzureClaims

        return self.azure.checks_of(AzureClaims.of(result.wrapped))

    @functools.cached_property
    def _tdx_rules(self) -> TdxRules:
        """The rules a TDX quote must meet: the [tdx] table (TDX's defaults without one) and the top-level
        `report_data`, which judges both platforms' report data."""
        rules: TdxRules = self.tdx or _default_rules("tdx")  # type: ignore[assignment]  # the [tdx] table's class
        if self.report_data is None:
            return rules
        return dataclasses.replace(rules, report_data=self.report_data)

    @functools.cached_property
    def _snp_rules_set(self) -> tuple[str, ...]:
        """The SEV-SNP rules this policy sets (read once per policy: it is immutable)."""
        return tuple(
            item.name for item in dataclasses.fields(self)
            if item.name not in ("tdx", "azure") and item.name not in _VERIFIER_SETTINGS and getattr(self, item.name) != item.default
        )  # fmt: skip

    def _platform_check(self, platform: Platform) -> list[Check]:
        """`policy.platform`, failed when this policy sets rules for the other platform only; for a TDX quote,
        skipped naming the SEV-SNP rules set beside a [tdx] table, which do not judge it; else no check."""
        snp_set = self._snp_rules_set
        snp_only = tuple(name for name in snp_set if name not in _SHARED_RULES)
        tdx_set = self.tdx is not None
        if platform is Platform.TDX and snp_only and not tdx_set:
            detail = f"the policy sets SEV-SNP rules only ({', '.join(snp_only)}) and no [tdx] table; the evidence is a TDX quote"
        elif platform is Platform.SEV_SNP and tdx_set and not snp_set:
            detail = "the policy sets a [tdx] table only and no SEV-SNP rule; the evidence is an SEV-SNP report"
        elif platform is Platform.TDX and snp_only:
            # A mixed fleet's policy: said, so that the top-level rules never seem to have judged the quote.
            return [Check("policy.platform", Outcome.SKIP, (
                f"the SEV-SNP rules {', '.join(snp_only)} judge SEV-SNP reports only; this TDX quote is judged by "
                "the [tdx] table"
            ))]
        else:
            return []
        return [Check("policy.platform", Outcome.FAIL, detail)]

    def evaluate(
        self, report: Report, *, product: str | None, key_kind: str | None, csp_id: str | None = None
    ) -> list[Check]:
        """The `policy.<rule>` checks of a report alone, in the order of `rules()`.

        `product` and `key_kind` are what a verification established: the
        product line and "VCEK" or "VLEK" (None when unknown); `csp_id` the
        cloud a VLEK was issued to, read from its certificate (None: not known,
        which `csp_ids` refuses).
        """
        claims = SevSnpClaims(
            report=report, product=ProductLine(product) if product is not None else None,
            key_kind=KeyKind(key_kind) if key_kind is not None else None, kds_url=None,
            signed_digest=hashlib.sha384(report.signed_bytes).hexdigest(), csp_id=csp_id,
        )
        return self.checks_of(claims)


@functools.cache
def _default_rules(table: str) -> RuleSet:
    """What applies under a policy without the table: the table's defaults (made once, when first needed)."""
    return table_rules(table)()


def __getattr__(name: str) -> Any:
    """The platforms' rule sets, declared with their platforms, imported when first asked for by this name."""
    if name in ("TdxRules", "AzureRules"):
        return table_rules(name.removesuffix("Rules").lower())
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


@dataclass(frozen=True, slots=True)
class RuleDoc:
    """One rule as the policy reference documents it."""

    table: str | None  # the TOML table that holds it: None for the top level (SEV-SNP), "tdx" for TDX
    name: str  # its key
    value: str  # the TOML value it accepts
    default: str  # what applies when it is not set
    doc: str  # what it requires


def rule_reference() -> tuple[RuleDoc, ...]:
    """Every rule of every platform, in the order of its checks, with the text declared beside it."""
    return _reference(Policy)


def _reference(rules: type[RuleSet]) -> tuple[RuleDoc, ...]:
    found: list[RuleDoc] = []
    for item in dataclasses.fields(rules):  # type: ignore[arg-type]
        table: type[RuleSet] | str | None = item.metadata.get("table")
        if table is not None:  # a platform's table: its own rules (imported now, to be listed)
            found += _reference(table_rules(table) if isinstance(table, str) else table)
        else:
            rule: Rule = item.metadata["rule"]
            found.append(RuleDoc(rules.table, item.name, rule.value, rule.default, rule.doc))
    return tuple(found)


# --- Where in the file ------------------------------------------------------------


def _line_of(text: str, path: Sequence[str | int], data: Mapping[str, Any]) -> int | None:
    """The line (from 1) that sets what `path` leads to: the line of its key, or of the nearest enclosing
    one, and for an element of an array the first line at or after the key's that holds it."""
    lines = text.splitlines()
    first = key_lines(text)
    keys = tuple(part for part in path if isinstance(part, str))
    found = next((first[keys[:n]] for n in range(len(keys), 0, -1) if keys[:n] in first), None)
    if found is None or len(path) < 2 or not isinstance(path[1], int):
        return found
    elements = data.get(str(path[0]))
    element = elements[path[1]] if isinstance(elements, list) and path[1] < len(elements) else None
    if isinstance(element, str):
        for number in range(found, len(lines) + 1):
            if f'"{element}"' in lines[number - 1] or f"'{element}'" in lines[number - 1]:
                return number
    return found


