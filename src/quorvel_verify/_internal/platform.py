"""What a platform (AMD SEV-SNP, Intel TDX, ...) provides to plug into the verifier.

The shared parts (the `Check` and `Verification` types, `VerificationError`
and its `ErrorKind`, certificate pinning, the cache, the policy file and its
error reporting, the command's output) know nothing of any one platform. A
platform lives in a package of its own (`quorvel_verify/sevsnp/`,
`quorvel_verify/tdx/`, `quorvel_verify/azure/`) and provides:

1. **Recognition by content.** `PlatformVerifier.recognises(evidence)` says, from the
   bytes alone and cheaply, whether they are this platform's evidence (SEV-SNP:
   1184 bytes whose version field is one it knows; a TDX quote: its header's
   version, attestation key type and TEE type), before the platform's roots are
   loaded. `Verifier` and the command ask SEV-SNP's recogniser first, then TDX's,
   and give the evidence to the first platform that recognises it; evidence that
   none recognises goes to SEV-SNP, whose reader names the likely mistake ("this is a report written
   as base64 text", ...). A recogniser never raises.

2. **Evidence checks that establish claims.** `PlatformVerifier.check(evidence,
   collateral, now, revocation)` verifies the evidence against the pinned roots
   the platform instance was made with, and returns an `EvidenceResult`: the
   platform's evidence checks in order (each a `Check`, named without a
   prefix: "signature", "chain", ...), the names of those that must pass (a
   skip of one of them means not verified), and `claims`, a typed, immutable
   record of what the checks established (for SEV-SNP, `SevSnpClaims`: the
   decoded report, the product line and the key kind). `collateral` is a
   `GivenCollateral`: the certificates, tables and revocation list given by the
   caller, each None when not given; a platform reads the fields it knows and
   refuses with `VerificationError` (kind `usage`) one it cannot use. A
   platform instance owns its caches, each bounded, keyed by the exact input
   bytes, and never shared with another instance: two verifiers with
   different roots never share a verdict.

3. **Policy rules.** A platform declares its rules as `Rule`s (see
   `quorvel_verify.policy`), each with its parser, its check of the claims,
   the text of the TOML value it accepts, its default and its documentation.
   SEV-SNP's rules are the top-level keys of the policy file, as they have
   always been; every other platform's rules live in a table named after it
   (`[tdx]`), held by `Policy` as a field of that name whose value is the
   platform's own subclass of `quorvel_verify.policy.RuleSet` (a frozen
   dataclass with `table = "tdx"` whose fields are `_internal.rules.field(Rule(...))`),
   declared in `Policy` as `tdx: TdxRules | None = TdxRules.as_table()`. A
   table's errors name their path (`tdx.rule`) and line like any other, and
   `rule_reference()` lists its rules with `table` "tdx". `Policy.appraise(result)` gives the
   claims of an `EvidenceResult` to the rules of its platform, which make
   the `policy.<rule>` checks (for a table, `policy.<table>.<rule>`).

A new platform adds, and touches no other platform's checks to do so:
its `Platform` member (below); its package, with its parser, claims, checks,
rules and collateral source; an instance of its `PlatformVerifier`, made in
`Verifier.__init__` from the roots the verifier is given for it (a keyword
argument of its own, such as `tdx_roots=`, defaulting to the roots bundled
with the package) and made by `Verifier` when that platform's first evidence arrives; its table field in
`Policy`, and a branch of `Policy.appraise` that gives its claims to that
table's rules (`self.tdx.checks_of(claims)`); and, where its claims differ
from SEV-SNP's, what `Verification` reports of them.
"""

from __future__ import annotations

import dataclasses
import datetime
import enum
import importlib
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Final, Protocol

from ..checks import Check


class Platform(enum.StrEnum):
    """A kind of confidential-computing evidence that the verifier knows."""

    SEV_SNP = "sev-snp"  # an AMD SEV-SNP attestation report
    TDX = "tdx"  # an Intel TDX quote


# The registry of platforms: each platform's entry module (its `ENTRY`, a `PlatformEntry`), imported when first
# asked for, in the order in which evidence is asked whether it is that platform's. Evidence that no platform
# recognises goes to the first, whose reader names the likely mistake. A new platform is its package and its
# line here (with its member of `Platform` above).
REGISTRY: Final = {
    Platform.SEV_SNP: "quorvel_verify.sevsnp.entry",
    Platform.TDX: "quorvel_verify.tdx.entry",
}

# The shapes evidence is handed out in around a platform's own: each module's `SHAPE` (an `intake.Shape`), asked
# by the intake in this order. Azure's: its HCL report around a report or a TDREPORT, its THIM payload around
# certificates; SEV-SNP's: a report followed by its certificate table in one file.
SHAPES: Final = ("quorvel_verify.azure.shape", "quorvel_verify.sevsnp.shape")
# The wrapper whose checks the verifier adds to those of the evidence inside it (a `Wrapper`): Azure's HCL report
# and the vTPM quote given with it.
WRAPPER: Final = "quorvel_verify.azure.wrapper"


@dataclass(frozen=True, slots=True)
class Revocation:
    """How a verifier judges revocation lists: whether a verification without one fails (`required`),
    and how many days past its next update a list still counts as current (`grace_days`).

    `required` None is each platform's default: a TDX quote needs Intel's PCK CRL and root CA CRL, an
    SEV-SNP report goes without AMD's list where none can be had (the check is skipped, naming why)."""

    required: bool | None = None
    grace_days: int = 0

    def under(self, required: bool | None, grace_days: int | None) -> Revocation:
        """These settings with a policy's `require_revocation` and `crl_grace_period` laid over them: what the
        policy sets wins, what it leaves out (None) stays."""
        return Revocation(
            required=self.required if required is None else required,
            grace_days=self.grace_days if grace_days is None else grace_days,
        )


@dataclass(frozen=True, slots=True)
class RevocationEvidence:
    """What the `revocation` check found, kept so that it can be judged again under other settings.

    `settings` are those the check in the result was judged under (the
    verifier's, or the call's). `judge` makes the check again from what the
    platform found (the lists given or why none came, their windows, what they
    revoke) under any settings, at the same instant: `Policy.appraise` lays the
    policy's revocation settings over `settings` and, where they differ, replaces
    the check with `judge`'s, so that `verify(..., policy=p)` and
    `p.appraise(verifier.verify(...))` are one judgement.
    """

    settings: Revocation
    judge: Callable[[Revocation], Check]


@dataclass(frozen=True, slots=True)
class GivenCollateral:
    """What the caller gives beside the evidence, each None when not given (bytes as given, never trusted)."""

    certificate: bytes | None = None  # a leaf in PEM or DER, or a PEM bundle holding it
    certificate_table: bytes | None = None  # a certificate table, as the platform's guest request returns it
    crl: bytes | None = None  # a revocation list, DER or PEM
    # The TCB that the certificate's source says it was issued for (Azure THIM's tcbm), as the report's
    # 64-bit TCB field: the reported TCB must be it.
    issued_tcb: int | None = None
    # Why no revocation list came where one was sought (the key service unreachable, a failure status, offline
    # with none cached): the `revocation` check names it, and skips, or fails where a list is required.
    crl_unavailable: str | None = None
    tdx: Any = None  # Intel's collateral for a TDX quote (a `tdx.collateral.TdxCollateral`: TCB info, QE identity, CRLs)


@dataclass(frozen=True, slots=True)
class EvidenceResult[C]:
    """What a platform's evidence checks found: the checks in order, and the claims they established."""

    platform: Platform
    checks: tuple[Check, ...]
    must_pass: frozenset[str]  # the checks that must pass, not merely not fail
    claims: C
    # What the wrappers the evidence came in unwrapped (Azure's HCL report, the vTPM quote given with it), under the
    # keys of the JSON output ("hcl", "tpm_quote"); each wrapper's checks are among the checks.
    wrapped: Mapping[str, Wrapped] = dataclasses.field(default_factory=dict, hash=False)
    judged_at: datetime.datetime | None = None  # the time the checks judged the evidence at, in UTC
    revocation: RevocationEvidence | None = None  # the `revocation` check's findings, to be judged under a policy

    def judged_under(self, settings: Revocation) -> EvidenceResult[C]:
        """This result with its `revocation` check judged under `settings` (itself where they are those it was
        judged under, or where it has no such check)."""
        found = self.revocation
        if found is None or settings == found.settings:
            return self
        check = found.judge(settings)
        checks = tuple(check if old.name == check.name else old for old in self.checks)
        return dataclasses.replace(self, checks=checks, revocation=RevocationEvidence(settings, found.judge))

    @property
    def hcl(self) -> Any:
        """Azure's HCL report the evidence came in (None: none): `wrapped["hcl"]`."""
        return self.wrapped.get("hcl")

    @property
    def tpm(self) -> Any:
        """The vTPM quote given with the HCL report (None: none): `wrapped["tpm_quote"]`."""
        return self.wrapped.get("tpm_quote")

    @property
    def verified(self) -> bool:
        """Whether the evidence holds: every check in `must_pass` passed and none failed."""
        return all(check.passed if check.name in self.must_pass else not check.failed for check in self.checks)


class Wrapped(Protocol):
    """What a wrapper around a platform's evidence unwrapped, as a result keeps it: shown in the JSON output under
    the wrapper's key."""

    def to_json(self) -> dict[str, object]: ...


class WrapperArguments(Protocol):
    """What the caller gave for a wrapper beside the evidence, read before the evidence."""

    def refuse(self, evidence: str) -> None:
        """Refuses what was given for a wrapper when `evidence` (named: "a TDX quote") came in none."""
        ...


class Wrapping(Protocol):
    """A wrapper the evidence came in, with what was given for it."""

    def around[C](self, result: EvidenceResult[C], through: bytes | None = None) -> EvidenceResult[C]:
        """The inner platform's `result` (of the quote `through`, where the wrapped evidence is verified through
        one) with the wrapper's checks and what it unwrapped (`EvidenceResult.wrapped`)."""
        ...


class Wrapper(Protocol):
    """A wrapper around a platform's evidence, as the verifier drives it (`WRAPPER`)."""

    def given(self, tpm_quote: object, tpm_nonce: object) -> WrapperArguments:
        """What the caller gave for the wrapper (`tpm_quote=`, `tpm_nonce=`), checked."""
        ...

    def needs_quote(self, wrapper: object) -> bool:
        """Whether the evidence in `wrapper` is verified through a quote given beside it."""
        ...

    def missing_quote(self) -> Exception:
        """The error for a wrapper that needs a quote given without one."""
        ...

    def wrapping(self, wrapper: object, arguments: Any) -> Wrapping:
        """The wrapping of `wrapper` (what the intake found) with what was given for it."""
        ...


def wrapper() -> Wrapper:
    """The wrapper of `WRAPPER`, its module imported when first asked for."""
    found: Wrapper = importlib.import_module(WRAPPER)
    return found


class PlatformVerifier[C](Protocol):
    """The part of a platform that `Verifier` drives: one instance per verifier, with its roots and caches."""

    platform: Platform

    def recognises(self, evidence: object) -> bool:
        """Whether `evidence` (bytes, or a platform's own decoded type) is this platform's, by content; never
        raises."""
        ...

    def check(
        self, evidence: object, collateral: GivenCollateral, *, now: datetime.datetime, revocation: Revocation
    ) -> EvidenceResult[C]:
        """The evidence checks and the claims they establish; `VerificationError` for input that cannot be
        verified at all."""
        ...


class PlatformText(Protocol):
    """How the command shows a platform's verification as text, between the evidence's files and the verdict
    (the checks, the hints and the verdict line are the command's own)."""

    evidence: str  # what the evidence is called in the first line: "report", "quote"

    def fields(self, result: Any) -> list[tuple[str, str]]:
        """The evidence's fields that a reader looks at first, as (label, text) pairs."""
        ...

    def notes(self, result: Any) -> list[tuple[str, str]]:
        """What is shown after the checks, as (label, text) pairs."""
        ...

    def verified_with(self, result: Any) -> str:
        """The verdict of a verified result: "verified with ..."."""
        ...


class PlatformEntry(Protocol):
    """What the registry holds of a platform: how its evidence is told from the bytes, what its claims are, and
    how a verifier makes its checker when the platform's first evidence arrives."""

    platform: Platform
    claims_type: type
    verification_type: type  # its result, a subclass of `verification.PlatformVerification`
    # The command's pins of its rules, for a one-off check without a policy file: each pin's flag, the rule it
    # sets and whether that rule is an allow-list (the flag's value its one item).
    pins: tuple[tuple[str, str, bool], ...]
    text: PlatformText  # how the command shows the platform's verification

    def recognises(self, evidence: object) -> bool:
        """Whether `evidence` (bytes, or the platform's own decoded type) is this platform's, by content alone,
        before any root is loaded; never raises."""
        ...

    def verification(self, result: EvidenceResult[Any], judged: list[Check]) -> Any:
        """The platform's verification (`Verification`, `TdxVerification`) of `result` with the policy's checks
        `judged` after its evidence checks: verified when the evidence holds and none of them failed."""
        ...

    def checker(self, pinned: Any, cache_size: int) -> PlatformVerifier[Any]:
        """The platform's checker under the roots a verifier pinned for it (None: those bundled with the
        package), with caches of `cache_size` entries."""
        ...


def entry(platform: Platform) -> PlatformEntry:
    """The registry's entry of `platform`, its module imported when first asked for (then held by sys.modules)."""
    found: PlatformEntry = importlib.import_module(REGISTRY[platform]).ENTRY
    return found


def recognised(evidence: object) -> Platform | None:
    """The first platform of the registry that recognises `evidence`, or None where none does."""
    return next((platform for platform in REGISTRY if entry(platform).recognises(evidence)), None)


def platform_of(evidence: object) -> Platform:
    """The platform whose checks judge `evidence`: the first that recognises it, else the registry's first."""
    return recognised(evidence) or next(iter(REGISTRY))
