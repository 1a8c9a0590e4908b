"""What a relying party accepts of a TDX quote: each rule of the `[tdx]` policy table as a function.

A rule takes its value, already typed (bytes for hex, tuples for lists), and
the evidence checks' claims, and says whether the quote meets it and why,
expected against found. Secure by default: with no rule set, a TD whose
attributes allow debugging fails `allow_debug`, and a TCB status other than
UpToDate fails `tcb_statuses`; every other rule applies only when set.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import Final

from ..checks import Check
from ..errors import VerificationError
from .checks import TdxEvidence
from .quote import TdAttribute

Outcome = tuple[bool, str]
DEFAULTS: Final[Mapping[str, object]] = {"allow_debug": False, "tcb_statuses": ("UpToDate",)}


def allow_debug(allowed: bool, claims: TdxEvidence) -> Outcome:
    debug = claims.quote.td_report.td_attributes.debug
    if debug and not allowed:
        return False, "expected a TD that cannot be debugged; its attributes allow debugging"
    return True, f"TD {'allows' if debug else 'does not allow'} debugging"


def tcb_statuses(allowed: tuple[str, ...], claims: TdxEvidence) -> Outcome:
    return claims.tcb_status in allowed, f"expected a TCB status in {', '.join(allowed)}; found {claims.tcb_status}"


def advisory_ids(allowed: tuple[str, ...], claims: TdxEvidence) -> Outcome:
    others = [advisory for advisory in claims.advisory_ids if advisory not in allowed]
    if others:
        return False, f"advisories not allowed: {', '.join(others)} (allowed: {', '.join(allowed)})"
    return True, f"advisories {', '.join(claims.advisory_ids) or 'none'}, all allowed"


def _allow_list(field: str) -> Callable[[tuple[bytes, ...], TdxEvidence], Outcome]:
    def rule(allowed: tuple[bytes, ...], claims: TdxEvidence) -> Outcome:
        found: bytes = getattr(claims.quote.td_report, field)
        listed = found in allowed
        return listed, f"{field} {found.hex()} {'is' if listed else 'is not'} one of the {len(allowed)} allowed"

    return rule


def fmspcs(allowed: tuple[bytes, ...], claims: TdxEvidence) -> Outcome:
    listed = bytes.fromhex(claims.fmspc) in allowed
    return listed, f"FMSPC {claims.fmspc} {'is' if listed else 'is not'} one of {', '.join(a.hex() for a in allowed)}"


def report_data(expected: bytes, claims: TdxEvidence) -> Outcome:
    found = claims.quote.td_report.report_data
    return found == expected, f"expected report data {expected.hex()}; found {found.hex()}"


def xfam(expected: int, claims: TdxEvidence) -> Outcome:
    found = claims.quote.td_report.xfam
    return found == expected, f"expected XFAM {expected:016x}; found {found:016x}"


def _attribute(bit: TdAttribute, wanted: bool) -> Callable[[bool, TdxEvidence], Outcome]:
    name = (bit.name or "").lower()

    def rule(enabled: bool, claims: TdxEvidence) -> Outcome:
        found = claims.quote.td_report.td_attributes.has(bit)
        if not enabled:
            return True, f"{name} {'set' if found else 'clear'}, not judged"
        return found == wanted, f"expected TD attribute {name} {'set' if wanted else 'clear'}; it is {'set' if found else 'clear'}"

    return rule


def min_tee_tcb_svn(minimum: bytes, claims: TdxEvidence) -> Outcome:
    found = claims.quote.td_report.tee_tcb_svn
    below = [index for index, (have, need) in enumerate(zip(found, minimum, strict=True)) if have < need]
    if below:
        return False, f"expected TEE TCB SVN at least {minimum.hex()} in each byte; found {found.hex()} (below at {below})"
    return True, f"TEE TCB SVN {found.hex()} at least {minimum.hex()} in each byte"


def min_tcb_evaluation_data_number(minimum: int, claims: TdxEvidence) -> Outcome:
    found = claims.tcb_evaluation_data_number
    passed = found is not None and found >= minimum
    return passed, f"expected Intel's TCB evaluation data number at least {minimum}; the TCB info's is {found}"


RULES: Final[Mapping[str, Callable[..., Outcome]]] = {
    "allow_debug": allow_debug,
    "tcb_statuses": tcb_statuses,
    "advisory_ids": advisory_ids,
    **{field: _allow_list(field) for field in (
        "mr_td", "rtmr0", "rtmr1", "rtmr2", "rtmr3", "mr_config_id", "mr_owner", "mr_owner_config", "mr_seam",
    )},  # fmt: skip
    "fmspcs": fmspcs,
    "report_data": report_data,
    "xfam": xfam,
    "require_sept_ve_disable": _attribute(TdAttribute.SEPT_VE_DISABLE, True),
    "forbid_migratable": _attribute(TdAttribute.MIGRATABLE, False),
    "forbid_pks": _attribute(TdAttribute.PKS, False),
    "forbid_kl": _attribute(TdAttribute.KL, False),
    "forbid_perfmon": _attribute(TdAttribute.PERFMON, False),
    "min_tee_tcb_svn": min_tee_tcb_svn,
    "min_tcb_evaluation_data_number": min_tcb_evaluation_data_number,
}


def appraise(rules: Mapping[str, object], claims: TdxEvidence) -> tuple[Check, ...]:
    """A `policy.<rule>` check for each rule set, the defaults included, in the order of `RULES`."""
    unknown = sorted(set(rules) - set(RULES))
    if unknown:
        raise VerificationError(f"unknown TDX policy rules: {', '.join(unknown)}")
    chosen = {**DEFAULTS, **rules}
    checks = []
    for name, rule in RULES.items():
        if name in chosen:
            passed, detail = rule(chosen[name], claims)
            checks.append(Check(f"policy.{name}", "pass" if passed else "fail", detail))
    return tuple(checks)
