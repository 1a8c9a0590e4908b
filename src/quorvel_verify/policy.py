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
import datetime
import difflib
import functools
import hashlib
import os
import re
import tomllib
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar, Final, Self

from ._internal import limits
from ._internal.files import read_input
from ._internal.platform import EvidenceResult, Platform, Revocation, entry
from ._internal.toml_lines import key_lines
from ._internal.rules import Invalid, Rule, Verdict, describe, field
from .checks import Check, Outcome
from .errors import PolicyError, VerificationError
from .sevsnp import rules as snp
from .sevsnp import rules_identity as snp_identity
from .sevsnp import rules_platform as snp_platform
from .sevsnp.platform import SevSnpClaims
from .sevsnp.report import FirmwareVersion, Report
from .sevsnp.rules import TcbMinimum
from .sevsnp.vocabulary import KeyKind, ProductLine
from .tdx import rules as tdx
from .azure import rules as azure
from .azure.rules import AzureClaims
from .azure.tpm_quote import nonce_judged, nonce_value
from .tdx.platform import TdxClaims
from .sevsnp.verification import Verification
from .tdx.verification import TdxVerification

__all__ = ["AzureRules", "Policy", "PolicyError", "RuleDoc", "RuleSet", "SevSnpRules", "TdxRules", "rule_reference"]


class RuleSet:
    """The machinery of a set of rules declared as dataclass fields (see `Rule`): validation when made,
    loading from a mapping, and the checks of a platform's claims.

    `Policy` is one (SEV-SNP's rules at the top level); a later platform's
    rules are another, held by `Policy` under the platform's table name.
    """

    # The table that holds these rules in a policy file: None for the top level.
    table: ClassVar[str | None] = None
    # What the names of the checks start with: "policy." then, for a table, "<table>.", unless the table's
    # checks keep the plain names (each verification checks one platform's rules, so they cannot clash).
    check_prefix: ClassVar[str | None] = None
    _made_checks: ClassVar[tuple[tuple[str, str, Callable[[Any, Any], Verdict]], ...]]

    def __post_init__(self) -> None:
        for item in dataclasses.fields(self):  # type: ignore[arg-type]
            value = getattr(self, item.name)
            if value is None and item.default is None:
                continue
            rule: Rule = item.metadata["rule"]
            try:
                object.__setattr__(self, item.name, rule.parse(value))
            except Invalid as error:
                path = (item.name, *error.path)
                raise PolicyError(f"{_dotted(path)}: {error.message}", path) from None

    @classmethod
    def rules(cls) -> tuple[str, ...]:
        """The rule keys, in the order of their checks."""
        return tuple(item.name for item in dataclasses.fields(cls))  # type: ignore[arg-type]

    @classmethod
    def from_mapping(cls, data: Mapping[str, object]) -> Self:
        """Rules from a mapping shaped like the TOML file (hex as strings, "major.minor" as a string)."""
        for key in data:
            if key not in cls.rules():
                close = difflib.get_close_matches(str(key), cls.rules(), n=1)
                hint = cls._placed_elsewhere(str(key)) or (f" (did you mean {close[0]}?)" if close else "")
                raise PolicyError(f"{key}: unknown rule{hint}", (str(key),))
        return cls(**data)

    @classmethod
    def _placed_elsewhere(cls, key: str) -> str | None:
        """Where `key` belongs when it is another table's rule (the hint for a rule written in the wrong place)."""
        return None

    @classmethod
    def as_table(cls) -> Any:
        """The field of `Policy` that holds these rules under the table `cls.table` of a policy file: it takes
        an instance or a mapping, and its errors' paths and lines lead into the table."""

        def parse(value: object) -> RuleSet:
            if isinstance(value, cls):
                return value
            if not isinstance(value, Mapping):
                raise Invalid(f"expected a table of rules, got {describe(value)}")
            try:
                return cls.from_mapping(value)
            except PolicyError as error:
                raise Invalid(error.reason.removeprefix(f"{_dotted(error.path)}: "), *error.path) from None

        rule = Rule(parse, None, f"a table of {cls.table} rules", "no rules", f"The rules of {cls.table}.")
        return dataclasses.field(default=None, metadata={"rule": rule, "table": cls})

    @classmethod
    def _checks(cls) -> tuple[tuple[str, str, Callable[[Any, Any], Verdict]], ...]:
        """The rules that make a check: key, check name and check, in order; read from the fields once per
        class (a constant of the class, like its fields)."""
        made = cls.__dict__.get("_made_checks")
        if made is None:
            prefix = cls.check_prefix or ("policy." if cls.table is None else f"policy.{cls.table}.")
            made = tuple(
                (item.name, prefix + item.name, item.metadata["rule"].check)
                for item in dataclasses.fields(cls)  # type: ignore[arg-type]
                if item.metadata["rule"].check is not None
            )
            cls._made_checks = made
        return made

    def checks_of(self, claims: object) -> list[Check]:
        """One check per rule that is set and makes a check, in the order of `rules()`."""
        checks = []
        for key, name, check in self._checks():
            value = getattr(self, key)
            if value is not None:
                passed, detail = check(value, claims)
                checks.append(Check(name, Outcome.PASS if passed else Outcome.FAIL, detail))
        return checks


@dataclass(frozen=True)
class TdxRules(RuleSet):
    """The rules a TDX quote must meet: the `[tdx]` table of a policy file. None leaves a rule out;
    `allow_debug` and `tcb_statuses` always apply.

    Their checks are named `policy.<rule>`, as SEV-SNP's are: a verification
    judges one platform's rules only. Hex values may be given as bytes or hex
    strings and are held as bytes; lists are held as tuples.
    """

    table: ClassVar[str | None] = "tdx"
    check_prefix: ClassVar[str | None] = "policy."

    allow_debug: bool = field(tdx.ALLOW_DEBUG, default=False)
    tcb_statuses: Sequence[str] = field(tdx.TCB_STATUSES, default=("UpToDate",))
    advisory_ids: Sequence[str] | None = field(tdx.ADVISORY_IDS)
    mr_td: Sequence[bytes | str] | None = field(tdx.MR_TD)
    rtmr0: Sequence[bytes | str] | None = field(tdx.RTMR0)
    rtmr1: Sequence[bytes | str] | None = field(tdx.RTMR1)
    rtmr2: Sequence[bytes | str] | None = field(tdx.RTMR2)
    rtmr3: Sequence[bytes | str] | None = field(tdx.RTMR3)
    mr_config_id: Sequence[bytes | str] | None = field(tdx.MR_CONFIG_ID)
    mr_owner: Sequence[bytes | str] | None = field(tdx.MR_OWNER)
    mr_owner_config: Sequence[bytes | str] | None = field(tdx.MR_OWNER_CONFIG)
    mr_seam: Sequence[bytes | str] | None = field(tdx.MR_SEAM)
    fmspcs: Sequence[bytes | str] | None = field(tdx.FMSPCS)
    report_data: bytes | str | None = field(tdx.REPORT_DATA)
    xfam: bytes | str | None = field(tdx.XFAM)
    require_sept_ve_disable: bool | None = field(tdx.REQUIRE_SEPT_VE_DISABLE)
    forbid_migratable: bool | None = field(tdx.FORBID_MIGRATABLE)
    forbid_pks: bool | None = field(tdx.FORBID_PKS)
    forbid_kl: bool | None = field(tdx.FORBID_KL)
    forbid_perfmon: bool | None = field(tdx.FORBID_PERFMON)
    min_tee_tcb_svn: bytes | str | None = field(tdx.MIN_TEE_TCB_SVN)
    min_tcb_evaluation_data_number: int | None = field(tdx.MIN_TCB_EVALUATION_DATA_NUMBER)
    max_collateral_age: datetime.timedelta | str | int | None = field(tdx.MAX_COLLATERAL_AGE)
    out_of_date_grace: datetime.timedelta | str | int | None = field(tdx.OUT_OF_DATE_GRACE)

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.out_of_date_grace is not None and not set(tdx.OUT_OF_DATE) & set(self.tcb_statuses):
            # Otherwise `tcb_statuses` refuses what the grace period would accept, and the rule does nothing.
            raise PolicyError(
                "out_of_date_grace: bounds how long OutOfDate is accepted, which tcb_statuses does not accept: add "
                '"OutOfDate" (or "OutOfDateConfigurationNeeded") to tcb_statuses',
                ("out_of_date_grace",),
            )

    @classmethod
    def _placed_elsewhere(cls, key: str) -> str | None:
        # Every key after a [tdx] line is in that table: a top-level key written below it lands here.
        if key in Policy.rules():
            return " in [tdx]: a top-level key, which goes above the [tdx] line (every key below it is in the table)"
        return None


@dataclass(frozen=True)
class AzureRules(RuleSet):
    """What Azure's vTPM evidence must meet: the `[azure]` table of a policy file, for evidence of either
    platform. None leaves a rule out; without the table no rule applies.

    Its checks are named `policy.azure.<rule>`; `tpm_nonce` makes none of its own but is the nonce that the
    `tpm_nonce` check expects (see `expected_nonce`).
    """

    table: ClassVar[str | None] = "azure"

    tpm_nonce: bytes | str | None = field(azure.TPM_NONCE)
    pcrs: Mapping[int | str, Sequence[bytes | str]] | None = field(azure.PCRS)
    require_tpm_quote: bool | None = field(azure.REQUIRE_TPM_QUOTE)

    @classmethod
    def _placed_elsewhere(cls, key: str) -> str | None:
        if key in Policy.rules():
            return " in [azure]: a top-level key, which goes above the [azure] line (every key below it is in the table)"
        return None


# What applies to a TDX quote under a policy without a [tdx] table: TDX's defaults.
_DEFAULT_TDX_RULES: Final = TdxRules()
# The top-level keys that set how revocation lists are read, for either platform: not rules about SEV-SNP guests.
_VERIFIER_SETTINGS = frozenset({"require_revocation", "crl_grace_period"})
# The top-level rules that judge a TDX quote too: what both platforms' evidence holds alike.
_SHARED_RULES = frozenset({"report_data"})


@dataclass(frozen=True)
class SevSnpRules(RuleSet):
    """The rules an SEV-SNP report must meet: the top-level keys of a policy file. None leaves a rule out;
    `allow_debug` always applies. `Policy`, the whole policy, is these with the other platforms' tables.

    Hex values (`measurements`, `host_data`, `report_data`, `id_key_digests`,
    `author_key_digests`) may be given as bytes or hex strings and are held as
    bytes; lists are held as tuples. What each rule requires is in
    `rule_reference()`.
    """

    allow_debug: bool = field(snp.ALLOW_DEBUG, default=False)
    vmpl: Sequence[int] | None = field(snp.VMPL)
    # Per component, the least level in the current, reported and committed TCB,
    # for every product line or per line ({"Milan": {"snp": 8}, ...}).
    min_tcb: TcbMinimum | Mapping[str, TcbMinimum] | None = field(snp.MIN_TCB)
    min_launch_tcb: TcbMinimum | Mapping[str, TcbMinimum] | None = field(snp.MIN_LAUNCH_TCB)
    allow_provisional_firmware: bool | None = field(snp.ALLOW_PROVISIONAL_FIRMWARE)
    measurements: Sequence[bytes | str] | None = field(snp.MEASUREMENTS)
    host_data: Sequence[bytes | str] | None = field(snp.HOST_DATA)
    report_data: bytes | str | None = field(snp.REPORT_DATA)
    id_key_digests: Sequence[bytes | str] | None = field(snp.ID_KEY_DIGESTS)
    author_key_digests: Sequence[bytes | str] | None = field(snp.AUTHOR_KEY_DIGESTS)
    min_guest_svn: int | None = field(snp.MIN_GUEST_SVN)
    min_abi: tuple[int, int] | str | None = field(snp.MIN_ABI)
    products: Sequence[str] | None = field(snp.PRODUCTS)
    key_kinds: Sequence[str] | None = field(snp.KEY_KINDS_RULE)
    allow_smt: bool | None = field(snp.ALLOW_SMT)
    allow_migration_agent: bool | None = field(snp.ALLOW_MIGRATION_AGENT)
    require_single_socket: bool | None = field(snp.REQUIRE_SINGLE_SOCKET)
    allow_cxl: bool | None = field(snp.ALLOW_CXL)
    require_aes_256_xts: bool | None = field(snp.REQUIRE_AES_256_XTS)
    require_rapl_disabled: bool | None = field(snp.REQUIRE_RAPL_DISABLED)
    require_ciphertext_hiding: bool | None = field(snp.REQUIRE_CIPHERTEXT_HIDING)
    require_page_swap_disabled: bool | None = field(snp.REQUIRE_PAGE_SWAP_DISABLED)
    image_ids: Sequence[bytes | str] | None = field(snp_identity.IMAGE_IDS)
    family_ids: Sequence[bytes | str] | None = field(snp_identity.FAMILY_IDS)
    report_ids: Sequence[bytes | str] | None = field(snp_identity.REPORT_IDS)
    report_id_mas: Sequence[bytes | str] | None = field(snp_identity.REPORT_ID_MAS)
    chip_ids: Sequence[bytes | str] | None = field(snp_identity.CHIP_IDS)
    # "major.minor.build", the least of the current and the committed firmware.
    min_firmware: FirmwareVersion | str | None = field(snp_platform.MIN_FIRMWARE)
    # Platform-info bits by name: true requires, false forbids.
    platform_info: Mapping[str, bool] | None = field(snp_platform.PLATFORM_INFO)
    min_launch_mitigation_vector: int | None = field(snp_platform.MIN_LAUNCH_MITIGATION_VECTOR)
    min_current_mitigation_vector: int | None = field(snp_platform.MIN_CURRENT_MITIGATION_VECTOR)
    csp_ids: Sequence[str] | None = field(snp_identity.CSP_IDS)
    require_revocation: bool | None = field(snp.REQUIRE_REVOCATION)
    crl_grace_period: int | None = field(snp.CRL_GRACE_PERIOD)


@dataclass(frozen=True)
class Policy(SevSnpRules):
    """The whole policy: SEV-SNP's rules at the top level (`SevSnpRules`), TDX's in its `[tdx]` table
    (`TdxRules`) and Azure's in `[azure]` (`AzureRules`). None leaves a rule out; `allow_debug` always applies.

    Hex values (`measurements`, `host_data`, `report_data`, `id_key_digests`,
    `author_key_digests`) may be given as bytes or hex strings and are held as
    bytes; lists are held as tuples. What each rule requires is in
    `rule_reference()`.
    """

    tdx: TdxRules | None = TdxRules.as_table()
    azure: AzureRules | None = AzureRules.as_table()

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
        if key in AzureRules.rules():
            return " at the top level: an Azure rule, which goes in the [azure] table"
        return " at the top level: a TDX rule, which goes in the [tdx] table" if key in TdxRules.rules() else None

    def expected_nonce(self, given: bytes | str | None) -> bytes | None:
        """The nonce the `tpm_nonce` check expects: `given` (the caller's), else the `[azure]` table's
        `tpm_nonce`; a caller's nonce other than the policy's is refused, since one of them is a mistake."""
        from .azure.tpm_quote import nonce_value

        pinned = self.azure.tpm_nonce if self.azure is not None else None
        if given is None:
            return pinned  # type: ignore[return-value]  # parsed: bytes
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
        tpm = AzureClaims.of(result.wrapped).tpm
        if tpm is not None and pinned is not None:
            result = dataclasses.replace(result, checks=nonce_judged(result.checks, tpm, nonce_value(pinned)))
        claims = result.claims
        rules = {Platform.SEV_SNP: self, Platform.TDX: self._tdx_rules}.get(result.platform)
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
        return self.azure.checks_of(AzureClaims.of(result.wrapped))

    @functools.cached_property
    def _tdx_rules(self) -> TdxRules:
        """The rules a TDX quote must meet: the [tdx] table (TDX's defaults without one) and the top-level
        `report_data`, which judges both platforms' report data."""
        rules = self.tdx or _DEFAULT_TDX_RULES
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
        table: type[RuleSet] | None = item.metadata.get("table")
        if table is not None:  # a platform's table: its own rules
            found += _reference(table)
        else:
            rule: Rule = item.metadata["rule"]
            found.append(RuleDoc(rules.table, item.name, rule.value, rule.default, rule.doc))
    return tuple(found)


# --- Where in the file ------------------------------------------------------------


def _dotted(path: Sequence[str | int]) -> str:
    text = ""
    for part in path:
        text += f"[{part}]" if isinstance(part, int) else f".{part}" if text else part
    return text


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


