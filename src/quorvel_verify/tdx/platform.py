"""Intel TDX as a platform of the verifier: recognising a quote, its evidence checks in order, and their claims.

One `Tdx` belongs to one `Verifier` and its pinned Intel SGX Root CA; its
`TdxChecker` keeps, bounded and per instance, the judgements that do not
depend on `now` (PCK chains, CRLs, signed collateral, by their bytes), so a
known platform costs little more than parsing the quote and its two ECDSA
verifications.
"""

from __future__ import annotations

import datetime
import functools
import hashlib
from dataclasses import dataclass
from importlib import resources
from typing import Final

from cryptography import x509

from .._internal.platform import GivenCollateral, EvidenceResult, Platform, Revocation, RevocationEvidence
from ..checks import Check
from ..errors import ErrorKind, VerificationError
from .checks import MUST_PASS, TdxChecker
from .collateral import TdxCollateral
from .collateral import TcbStatus
from .tcb import MatchedLevels
from .quote import HEADER_SIZE, TEE_TYPE_SGX, TEE_TYPE_TDX, Quote

MEMO_SIZE: Final = 256


@dataclass(frozen=True, slots=True)
class TdxClaims:
    """What TDX's evidence checks established, for a policy to appraise.

    `quote` is the parsed quote, every field typed; `tcb_status` the status
    converged from the platform's, the TDX module's and the QE's (None when no
    TCB level was found); `advisory_ids` Intel's advisories of those levels;
    `fmspc` the platform model of the PCK certificate, in hex;
    `tcb_evaluation_data_number` the older of Intel's TCB info's and QE identity's; `collateral` the
    collateral the checks used; `tcb_levels` the levels found for the platform, the TDX module and the QE,
    each with its status, TCB date and advisories. `judged_at` is the time the checks judged at;
    `collateral_issued` when the older of the TCB info and QE identity was issued; `out_of_date_since`, for an
    out-of-date TCB, when Intel published the first level newer than the one matched (None when not out of
    date, or not known). `signed_digest` is the SHA-256 of what the quote's signature covers
    (see `TdxVerification.signed_digest`). All of these come only from collateral whose signature and window held.
    """

    quote: Quote
    tcb_status: TcbStatus | None
    advisory_ids: tuple[str, ...]
    fmspc: str
    tcb_evaluation_data_number: int | None
    collateral: TdxCollateral | None = None  # Intel's collateral the checks used, as given or fetched
    judged_at: datetime.datetime | None = None
    collateral_issued: datetime.datetime | None = None
    out_of_date_since: datetime.datetime | None = None
    tcb_levels: MatchedLevels = MatchedLevels()
    # SHA-256 of the header and body, exactly what the quote's signature covers, in hex: what to deduplicate by.
    signed_digest: str = ""


@functools.cache  # a constant of the package: read once per process, not by each new Verifier
def bundled_root() -> x509.Certificate:
    """The Intel SGX Root CA bundled with the package (see tdx/data/SOURCES.md)."""
    pem = resources.files(__package__).joinpath("data", "intel-sgx-root-ca.pem").read_bytes()
    return x509.load_pem_x509_certificate(pem)


def looks_like_quote(evidence: object) -> bool:
    """Whether `evidence` starts like a quote of versions 3 to 5 (TDX, or SGX to be refused by name); never raises."""
    if isinstance(evidence, Quote):
        return True
    if not isinstance(evidence, bytes | bytearray | memoryview) or len(evidence) < HEADER_SIZE:
        return False
    head = bytes(evidence[:8])
    version, key_type, tee_type = int.from_bytes(head[:2], "little"), int.from_bytes(head[2:4], "little"), int.from_bytes(head[4:8], "little")
    return version in (3, 4, 5) and key_type in (2, 3) and tee_type in (TEE_TYPE_SGX, TEE_TYPE_TDX)


class Tdx:
    """TDX's evidence checks under the pinned `root`, with memos of `memo_size` entries."""

    platform = Platform.TDX

    def __init__(self, root: x509.Certificate | None = None, memo_size: int = MEMO_SIZE) -> None:
        self.root = root if root is not None else bundled_root()
        self.checker = TdxChecker(self.root, memo_size=memo_size)

    def recognises(self, evidence: object) -> bool:
        return looks_like_quote(evidence)

    def check(
        self, evidence: object, collateral: GivenCollateral, *, now: datetime.datetime, revocation: Revocation
    ) -> EvidenceResult[TdxClaims]:
        """The evidence checks of the quote `evidence` (bytes or a `Quote`) with Intel's collateral
        `collateral.tdx`, in order: quote, chain, validity, revocation, qe_report, attestation_key,
        signature, collateral, qe_identity, tdx_module, tcb."""
        for name in ("certificate", "certificate_table", "crl"):
            if getattr(collateral, name) is not None:
                raise VerificationError(
                    f"{name}: a TDX quote carries its PCK chain; give Intel's collateral (TCB info, QE identity, "
                    "CRLs) instead", ErrorKind.USAGE, argument=name,
                )  # fmt: skip
        if not isinstance(evidence, Quote):
            if not isinstance(evidence, bytes | bytearray | memoryview):
                raise VerificationError(f"expected a quote's bytes, got {type(evidence).__name__}", argument="report")
            evidence = bytes(evidence)
        found = self.checker.check(
            evidence, collateral.tdx, now, require_revocation=_required(revocation), grace_days=revocation.grace_days
        )
        claims = TdxClaims(
            found.quote, found.tcb_status, found.advisory_ids, found.fmspc, found.tcb_evaluation_data_number,
            collateral.tdx, judged_at=now, collateral_issued=found.collateral_issued,
            out_of_date_since=found.out_of_date_since, tcb_levels=found.tcb_levels,
            signed_digest=hashlib.sha256(found.quote.signed).hexdigest(),
        )

        def judge(settings: Revocation) -> Check:
            return found.revocation_under(_required(settings), settings.grace_days)

        return EvidenceResult(
            Platform.TDX, found.checks, MUST_PASS, claims, judged_at=now, revocation=RevocationEvidence(revocation, judge)
        )


def _required(settings: Revocation) -> bool:
    """Whether Intel's CRLs are required: unless the settings say they are not, as Intel's own library does."""
    return True if settings.required is None else settings.required
