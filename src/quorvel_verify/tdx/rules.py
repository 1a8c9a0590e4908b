"""What a relying party accepts of a TDX quote: the rules of the policy's `[tdx]` table, declared once.

Each rule is a `Rule`: how its TOML value is parsed, what its check makes of
the claims (`TdxClaims`), and its reference text. Secure by default: with no
rule set, a TD whose attributes allow debugging fails `allow_debug`, and a
TCB status other than UpToDate fails `tcb_statuses`; every other rule applies
only when set. Each check's detail says what the rule expected and what the
quote or Intel's collateral holds.
"""

from __future__ import annotations

import datetime
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, ClassVar, Final

from .._internal.rules import (
    Invalid, Rule, Verdict, boolean, choice, duration, field, hex_bytes, hex_choices, integer, list_of, span,
)
from .._internal.ruleset import RuleSet
from ..errors import PolicyError
from .collateral import TcbStatus
from .quote import TdAttribute

if TYPE_CHECKING:
    from .platform import TdxClaims

STATUSES: Final = tuple(status.value for status in TcbStatus)


def _allow_debug(allowed: bool, claims: TdxClaims) -> Verdict:
    debug = claims.quote.td_report.td_attributes.debug
    if debug and not allowed:
        return False, "expected a TD that cannot be debugged; its attributes allow debugging (bit 0 set)"
    return True, f"the TD {'allows' if debug else 'does not allow'} debugging"


def _tcb_statuses(allowed: tuple[str, ...], claims: TdxClaims) -> Verdict:
    found = claims.tcb_status
    return found in allowed, f"expected a TCB status of {', '.join(allowed)}; found {found or 'none'}"


def _advisory_ids(allowed: tuple[str, ...], claims: TdxClaims) -> Verdict:
    others = [advisory for advisory in claims.advisory_ids if advisory not in allowed]
    if others:
        return False, f"expected advisories among {', '.join(allowed)}; found {', '.join(others)}"
    return True, f"advisories {', '.join(claims.advisory_ids) or 'none'}, all allowed"


def _allow_list(field: str, label: str) -> Callable[[tuple[bytes, ...], TdxClaims], Verdict]:
    def check(allowed: tuple[bytes, ...], claims: TdxClaims) -> Verdict:
        found: bytes = getattr(claims.quote.td_report, field)
        return found in allowed, f"expected {label} {hex_choices(allowed)}; found {found.hex()}"

    return check


def _fmspcs(allowed: tuple[bytes, ...], claims: TdxClaims) -> Verdict:
    return bytes.fromhex(claims.fmspc) in allowed, f"expected FMSPC {hex_choices(allowed)}; found {claims.fmspc}"


def _report_data(expected: bytes, claims: TdxClaims) -> Verdict:
    found = claims.quote.td_report.report_data
    return found == expected, f"expected report data {expected.hex()}; found {found.hex()}"


def _xfam(expected: bytes, claims: TdxClaims) -> Verdict:
    found = claims.quote.td_report.xfam.to_bytes(8, "little")
    return found == expected, f"expected XFAM {expected.hex()}; found {found.hex()}"


def _attribute(bit: TdAttribute, wanted: bool) -> Callable[[bool, TdxClaims], Verdict]:
    name = (bit.name or "").lower()

    def check(enabled: bool, claims: TdxClaims) -> Verdict:
        found = claims.quote.td_report.td_attributes.has(bit)
        state = "set" if found else "clear"
        if not enabled:
            return True, f"TD attribute {name} {state}, not judged"
        return found == wanted, f"expected TD attribute {name} {'set' if wanted else 'clear'}; it is {state}"

    return check


def _min_tee_tcb_svn(minimum: bytes, claims: TdxClaims) -> Verdict:
    found = claims.quote.td_report.tee_tcb_svn
    below = [f"byte {index} is {have}, needs {need}" for index, (have, need) in enumerate(zip(found, minimum, strict=True)) if have < need]
    if below:
        return False, f"expected a TEE TCB SVN of at least {minimum.hex()} in each byte; found {found.hex()} ({'; '.join(below)})"
    return True, f"TEE TCB SVN {found.hex()}, at least {minimum.hex()} in each byte"


def _min_evaluation(minimum: int, claims: TdxClaims) -> Verdict:
    found = claims.tcb_evaluation_data_number
    passed = found is not None and found >= minimum
    return passed, (
        f"expected Intel's TCB evaluation data number at least {minimum}; the older of the TCB info's and the QE "
        f"identity's is {found}"
    )


def _when(moment: datetime.datetime) -> str:
    return f"{moment:%Y-%m-%dT%H:%M:%SZ}"


def _max_collateral_age(age: datetime.timedelta, claims: TdxClaims) -> Verdict:
    issued, now = claims.collateral_issued, claims.judged_at
    if issued is None or now is None:
        return False, f"expected Intel's TCB info and QE identity issued at most {span(age)} ago; no issue date or time judged at is known"
    found = now - issued
    return found <= age, (
        f"expected Intel's TCB info and QE identity issued at most {span(age)} before {_when(now)}; the older was "
        f"issued {_when(issued)}, {span(max(found, datetime.timedelta(0)))} before"
    )


OUT_OF_DATE: Final = (TcbStatus.OUT_OF_DATE, TcbStatus.OUT_OF_DATE_CONFIGURATION_NEEDED)


def _out_of_date_grace(grace: datetime.timedelta, claims: TdxClaims) -> Verdict:
    status, since, now = claims.tcb_status, claims.out_of_date_since, claims.judged_at
    if status not in OUT_OF_DATE:
        return True, f"TCB status {status or 'none'}, not out of date: no grace period needed"
    if since is None or now is None:
        return False, (
            f"expected an {status} TCB at most {span(grace)} after Intel's newer level; the collateral names no "
            "newer level's date to count from"
        )
    try:
        until = since + grace
    except OverflowError:
        until = datetime.datetime.max.replace(tzinfo=datetime.UTC)
    detail = (
        f"{status} since Intel's newer TCB level of {_when(since)}; accepted for {span(grace)}, until {_when(until)}; "
        f"judged at {_when(now)}"
    )
    return now <= until, detail if now <= until else f"expected the grace period not over: {detail}"


def _statuses(value: object) -> tuple[str, ...]:
    return list_of(choice(STATUSES))(value)


def _advisory(value: object) -> str:
    if not isinstance(value, str) or not value.isascii() or not value.strip() or len(value) > 64:
        raise Invalid(f"expected an advisory id such as INTEL-SA-00837, got {value!r}")
    return value


def _hex_list(size: int) -> Callable[[object], tuple[bytes, ...]]:
    return list_of(hex_bytes(size))


def _measurement(field: str, label: str, doc: str | None = None) -> Rule:
    return Rule(
        _hex_list(48), _allow_list(field, label), "array of 96 hex digits", "any",
        doc or f"The TD's {label} must be one of these.",
    )


ALLOW_DEBUG: Final = Rule(
    boolean, _allow_debug, "boolean", "false",
    "Whether a TD whose attributes allow debugging (bit 0, DEBUG) is accepted; by default it fails.",
)
TCB_STATUSES: Final = Rule(
    _statuses, _tcb_statuses, f"array of {', '.join(STATUSES)}", '["UpToDate"]',
    "The converged TCB statuses accepted (the platform's, the TDX module's and the QE's, as Intel's library "
    "converges them); by default only UpToDate. TDRelaunchAdvised and TDRelaunchAdvisedConfigurationNeeded (a TD "
    "launched OutOfDate whose module was since updated in place) pass only when listed.",
)
ADVISORY_IDS: Final = Rule(
    list_of(_advisory), _advisory_ids, "array of strings", "any",
    "Intel's advisories that the TCB level may name; any other fails.",
)
MR_TD = _measurement("mr_td", "MRTD")
RTMR0 = _measurement("rtmr0", "RTMR0")
RTMR1 = _measurement("rtmr1", "RTMR1")
RTMR2 = _measurement("rtmr2", "RTMR2")
RTMR3 = _measurement("rtmr3", "RTMR3")
MR_CONFIG_ID = _measurement("mr_config_id", "MRCONFIGID")
MR_OWNER = _measurement("mr_owner", "MROWNER")
MR_OWNER_CONFIG = _measurement("mr_owner_config", "MROWNERCONFIG")
# MRSEAM measures the TDX module that hosts the TD, not the TD.
MR_SEAM = _measurement("mr_seam", "MRSEAM", "The measurement of the TDX module (MRSEAM) must be one of these.")
FMSPCS: Final = Rule(
    _hex_list(6), _fmspcs, "array of 12 hex digits", "any", "The platform model (FMSPC of the PCK certificate) must be one of these.",
)
REPORT_DATA: Final = Rule(
    hex_bytes(64), _report_data, "128 hex digits", "any", "The TD report's report data must be exactly this.",
)
XFAM: Final = Rule(
    hex_bytes(8), _xfam, "16 hex digits (the 8 bytes as the TD report holds them)", "any",
    "The TD's XFAM must be exactly this.",
)
REQUIRE_SEPT_VE_DISABLE: Final = Rule(
    boolean, _attribute(TdAttribute.SEPT_VE_DISABLE, True), "boolean", "false",
    "When true, the TD attribute SEPT_VE_DISABLE (bit 28) must be set.",
)


def _forbid(bit: TdAttribute, number: int) -> Rule:
    name = (bit.name or "").upper()
    return Rule(boolean, _attribute(bit, False), "boolean", "false", f"When true, the TD attribute {name} (bit {number}) must be clear.")


FORBID_MIGRATABLE = _forbid(TdAttribute.MIGRATABLE, 29)
FORBID_PKS = _forbid(TdAttribute.PKS, 30)
FORBID_KL = _forbid(TdAttribute.KL, 31)
FORBID_PERFMON = _forbid(TdAttribute.PERFMON, 63)
MIN_TEE_TCB_SVN: Final = Rule(
    hex_bytes(16), _min_tee_tcb_svn, "32 hex digits", "none",
    "Each byte of the TD report's TEE TCB SVN must be at least this one's.",
)
MAX_COLLATERAL_AGE: Final = Rule(
    duration, _max_collateral_age, 'span of time: "30d" (days), "12h" (hours) or an integer number of days', "none",
    "Intel's TCB info and QE identity must both have been issued (their issueDate) at most this long before the "
    "time judged at: collateral Intel still calls current may be older than a relying party wants after a TCB "
    "recovery.",
)
OUT_OF_DATE_GRACE: Final = Rule(
    duration, _out_of_date_grace, 'span of time: "30d" (days), "12h" (hours) or an integer number of days', "none",
    "How long an OutOfDate (or OutOfDateConfigurationNeeded) TCB stays accepted after Intel published the newer "
    "level that made it so: counted from the tcbDate of the first level newer than the one matched (of the "
    "platform's, the TDX module's or the QE's levels, whichever is out of date, the earliest). Past it, the "
    "quote fails. ``tcb_statuses`` must list the status too: this rule only bounds how long it is accepted.",
)
MIN_TCB_EVALUATION_DATA_NUMBER: Final = Rule(
    integer(0, 0xFFFF_FFFF), _min_evaluation, "integer", "none",
    "Intel's TCB info and QE identity must both be of this TCB evaluation data number or later: how recent "
    "Intel's judgement must be.",
)


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

    allow_debug: bool = field(ALLOW_DEBUG, default=False)
    tcb_statuses: Sequence[str] = field(TCB_STATUSES, default=("UpToDate",))
    advisory_ids: Sequence[str] | None = field(ADVISORY_IDS)
    mr_td: Sequence[bytes | str] | None = field(MR_TD)
    rtmr0: Sequence[bytes | str] | None = field(RTMR0)
    rtmr1: Sequence[bytes | str] | None = field(RTMR1)
    rtmr2: Sequence[bytes | str] | None = field(RTMR2)
    rtmr3: Sequence[bytes | str] | None = field(RTMR3)
    mr_config_id: Sequence[bytes | str] | None = field(MR_CONFIG_ID)
    mr_owner: Sequence[bytes | str] | None = field(MR_OWNER)
    mr_owner_config: Sequence[bytes | str] | None = field(MR_OWNER_CONFIG)
    mr_seam: Sequence[bytes | str] | None = field(MR_SEAM)
    fmspcs: Sequence[bytes | str] | None = field(FMSPCS)
    report_data: bytes | str | None = field(REPORT_DATA)
    xfam: bytes | str | None = field(XFAM)
    require_sept_ve_disable: bool | None = field(REQUIRE_SEPT_VE_DISABLE)
    forbid_migratable: bool | None = field(FORBID_MIGRATABLE)
    forbid_pks: bool | None = field(FORBID_PKS)
    forbid_kl: bool | None = field(FORBID_KL)
    forbid_perfmon: bool | None = field(FORBID_PERFMON)
    min_tee_tcb_svn: bytes | str | None = field(MIN_TEE_TCB_SVN)
    min_tcb_evaluation_data_number: int | None = field(MIN_TCB_EVALUATION_DATA_NUMBER)
    max_collateral_age: datetime.timedelta | str | int | None = field(MAX_COLLATERAL_AGE)
    out_of_date_grace: datetime.timedelta | str | int | None = field(OUT_OF_DATE_GRACE)

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.out_of_date_grace is not None and not set(OUT_OF_DATE) & set(self.tcb_statuses):
            # Otherwise `tcb_statuses` refuses what the grace period would accept, and the rule does nothing.
            raise PolicyError(
                "out_of_date_grace: bounds how long OutOfDate is accepted, which tcb_statuses does not accept: add "
                '"OutOfDate" (or "OutOfDateConfigurationNeeded") to tcb_statuses',
                ("out_of_date_grace",),
            )

    @classmethod
    def _placed_elsewhere(cls, key: str) -> str | None:
        # Every key after a [tdx] line is in that table: a top-level key written below it lands here.
        from ..policy import Policy  # the whole policy, which holds this table

        if key in Policy.rules():
            return " in [tdx]: a top-level key, which goes above the [tdx] line (every key below it is in the table)"
        return None
