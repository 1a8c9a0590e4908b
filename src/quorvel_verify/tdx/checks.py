"""The evidence checks of a TDX quote, one function each, and `check_quote` that makes them all in order.

Each check judges one thing and says what it expected against what it found;
each runs even when an earlier one failed (on what the evidence claims), so a
result names every fault at once. The verdict is the must-pass rule: every
check but `revocation` must pass; `revocation` fails without Intel's CRLs
unless they are not required (`require_revocation = false`), and is then skipped.
"""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final

from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtensionOID

from ..checks import Check, Outcome
from .._internal.untrusted import describe, plainly
from ..errors import ErrorKind, VerificationError
from . import tcb as levels
from .collateral import (
    TdxCollateral,
    CollateralError,
    Level,
    PlatformLevel,
    QeIdentity,
    TcbInfo,
    TcbStatus,
    issuer_chain_problem,
    load_chain,
    parse_qe_identity,
    parse_tcb_info,
    signature_verifies,
    tcb_signer,
)
from .._internal.memo import Memo
from .._internal.certificates import common_name
from .pck import UNNAMED, PckChain, load_pck_chain
from .quote import ECDSA_P256_KEY_TYPE, INTEL_QE_VENDOR_ID, TEE_TYPE_TDX, Quote, parse_quote
from .signatures import p256_verifies

CHECK_NAMES: Final = (
    "quote", "chain", "validity", "revocation", "qe_report", "attestation_key", "signature",
    "collateral", "qe_identity", "tdx_module", "tcb",
)  # fmt: skip
MUST_PASS: Final = frozenset(CHECK_NAMES) - {"revocation"}
_EPOCH: Final = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
_ALWAYS: Final = (datetime.datetime.min.replace(tzinfo=datetime.UTC), datetime.datetime.max.replace(tzinfo=datetime.UTC))


def _check(name: str, passed: bool, detail: str) -> Check:
    return Check(name, Outcome.PASS if passed else Outcome.FAIL, detail)


Window = tuple[datetime.datetime, datetime.datetime]


def _intersection(windows: tuple[Window, ...]) -> Window:
    """The times inside every one of `windows` (empty when the start is after the end)."""
    return max(start for start, _ in windows), min(end for _, end in windows)


def _certificate_window(certificate: x509.Certificate) -> Window:
    return certificate.not_valid_before_utc, certificate.not_valid_after_utc


def _crl_window(judged: JudgedCrl | None, grace: datetime.timedelta) -> Window:
    if judged is None:
        return _ALWAYS
    if judged.next_update is None:
        return judged.last_update, _EPOCH
    return judged.last_update, _later(judged.next_update, grace)


def _later(when: datetime.datetime, grace: datetime.timedelta) -> datetime.datetime:
    """`when` + `grace`, saturating at the last representable instant."""
    try:
        return when + grace
    except OverflowError:
        return _ALWAYS[1]


def _body_windows(body: SignedBody) -> tuple[Window, ...]:
    if body.parsed is None:
        return (_ALWAYS,)
    return body.signer_window, (body.parsed.issue_date, body.parsed.next_update)


def _when(now: datetime.datetime) -> str:
    return f"{now:%Y-%m-%dT%H:%M:%SZ}"


# --- The quote and Intel's PCK chain ------------------------------------------


def quote_check(parsed: Quote) -> Check:
    header = parsed.header
    found = (header.attestation_key_type, header.tee_type, header.qe_vendor_id)
    expected = (ECDSA_P256_KEY_TYPE, TEE_TYPE_TDX, INTEL_QE_VENDOR_ID)
    detail = (
        f"version {header.version}, attestation key type {header.attestation_key_type}, TEE type "
        f"{header.tee_type:#x}, QE vendor {header.qe_vendor_id.hex()}"
    )
    if found == expected:
        return _check("quote", True, f"TDX quote {detail} (Intel's QE)")
    return _check(
        "quote", False,
        f"expected attestation key type {ECDSA_P256_KEY_TYPE} (ECDSA P-256), TEE type {TEE_TYPE_TDX:#x} and Intel's QE "
        f"vendor {INTEL_QE_VENDOR_ID.hex()}; found {detail}",
    )  # fmt: skip


def _p256_sha256(certificate: x509.Certificate) -> bool:
    key = certificate.public_key()
    return (
        isinstance(key, ec.EllipticCurvePublicKey)
        and key.curve.name == "secp256r1"
        and certificate.signature_algorithm_oid == x509.SignatureAlgorithmOID.ECDSA_WITH_SHA256
    )


_KNOWN_CRITICAL: Final = frozenset({ExtensionOID.BASIC_CONSTRAINTS, ExtensionOID.KEY_USAGE})


def _role_problem(certificate: x509.Certificate, ca: bool) -> str | None:
    """Why the certificate cannot hold its place in the chain: a CA that is not one, a leaf that is, an unknown critical extension."""
    try:
        is_ca = certificate.extensions.get_extension_for_class(x509.BasicConstraints).value.ca
    except x509.ExtensionNotFound:
        is_ca = False
    if is_ca != ca:
        return f"{common_name(certificate, UNNAMED)!r} {'is not' if ca else 'is'} a CA certificate; expected {'a CA' if ca else 'a leaf'}"
    unknown = [e.oid.dotted_string for e in certificate.extensions if e.critical and e.oid not in _KNOWN_CRITICAL]
    if unknown:
        return f"{common_name(certificate, UNNAMED)!r} has unknown critical extensions {', '.join(unknown)}"
    return None


def chain_check(pck: PckChain, root: x509.Certificate) -> Check:
    """The PCK certificate, through its CA, to the pinned root; the root sent in the quote is only compared."""
    for certificate in (pck.pck, pck.ca, root):
        if not _p256_sha256(certificate):
            return _check("chain", False, f"{common_name(certificate, UNNAMED)!r} is not ECDSA P-256 with SHA-256")
    problem = _role_problem(pck.pck, False) or _role_problem(pck.ca, True)
    if problem:
        return _check("chain", False, problem)
    if pck.root != root:
        return _check("chain", False, f"the quote's root {common_name(pck.root, UNNAMED)!r} is not the pinned Intel SGX Root CA, byte for byte")
    for child, parent in ((pck.pck, pck.ca), (pck.ca, root)):
        try:
            child.verify_directly_issued_by(parent)
        except (ValueError, TypeError, InvalidSignature):
            return _check("chain", False, f"{common_name(child, UNNAMED)!r} is not issued by {common_name(parent, UNNAMED)!r} (pinned: the root)")
    return _check("chain", True, f"PCK certificate <- Intel SGX PCK {pck.issuer.title()} CA <- the pinned Intel SGX Root CA")


def validity_check(pck: PckChain, root: x509.Certificate, now: datetime.datetime) -> Check:
    for certificate, (start, end) in zip((pck.pck, pck.ca, root), pck.windows + (_certificate_window(root),), strict=True):
        if not start <= now <= end:
            return _check(
                "validity", False,
                f"{common_name(certificate, UNNAMED)!r} is valid {_when(start)} to {_when(end)}, not at {_when(now)}",
            )  # fmt: skip
    start, end = _intersection(pck.windows + (_certificate_window(root),))
    return _check("validity", True, f"PCK certificate, its CA and the root all valid from {_when(start)} to {_when(end)}")


@dataclass(frozen=True, slots=True)
class JudgedCrl:
    """A CRL as loaded and judged against its expected issuer; what depends on `now` is judged per call."""

    name: str
    last_update: datetime.datetime
    next_update: datetime.datetime | None
    problem: str | None  # not signed by the expected issuer, or revoking the certificate it was judged for


def judge_crl(der: bytes, name: str, issuer: x509.Certificate,
              subjects: tuple[tuple[x509.Certificate, str], ...]) -> JudgedCrl:  # fmt: skip
    """The CRL in `der`, signed by `issuer`, judged for each of `subjects` (a certificate `issuer` issued, and what it
    is); cryptography decodes lazily: every part used is read here, so a malformed one is bad input."""
    try:
        crl = x509.load_der_x509_crl(der)
        signed = crl.issuer == issuer.subject and crl.is_signature_valid(issuer.public_key())  # type: ignore[arg-type]
        revoked = [(subject, subject_name) for subject, subject_name in subjects
                   if crl.get_revoked_certificate_by_serial_number(subject.serial_number) is not None]  # fmt: skip
        last_update, next_update = crl.last_update_utc, crl.next_update_utc
    except (ValueError, TypeError, x509.InvalidVersion, UnsupportedAlgorithm) as error:
        raise CollateralError(f"collateral field {name} is not a DER CRL: {plainly(error)}", detail=describe(error)) from None
    problem = None
    if not signed:
        problem = f"{name} is not signed by {common_name(issuer, UNNAMED)!r}"
    elif revoked:
        subject, subject_name = revoked[0]
        problem = f"{name} revokes {subject_name} (serial {subject.serial_number:x})"
    return JudgedCrl(name, last_update, next_update, problem)


def _crl_problem(judged: JudgedCrl, now: datetime.datetime, grace: datetime.timedelta) -> str | None:
    if judged.problem:
        return judged.problem
    if judged.next_update is None or not judged.last_update <= now <= _later(judged.next_update, grace):
        until = _when(judged.next_update) if judged.next_update else "no next update"
        allowed = f" (with a grace period of {grace.days} days)" if grace else ""
        return f"{judged.name} is current {_when(judged.last_update)} to {until}, not at {_when(now)}{allowed}"
    return None


def revocation_check(pck: PckChain, pck_crl: JudgedCrl | None, root_crl: JudgedCrl | None, now: datetime.datetime,
               required: bool = False, grace: datetime.timedelta = datetime.timedelta(0)) -> Check:  # fmt: skip
    """Intel's PCK CRL of the CA that issued the PCK (judged against that CA), and the root CA's CRL, revoking none of
    the PCK, its CA and Intel's TCB Signing certificate that signed the collateral."""
    if pck_crl is None and root_crl is None:
        if required:
            return _check("revocation", False, (
                f"expected Intel's {pck.issuer} CA PCK CRL and the root CA CRL, which a TDX quote's verification "
                "requires unless the policy sets require_revocation = false; no CRL given"
            ))
        return Check("revocation", Outcome.SKIP, f"no CRL given (Intel's {pck.issuer} CA PCK CRL and the root CA CRL)")
    if pck_crl is None or root_crl is None:
        missing = "pck_crl" if pck_crl is None else "root_ca_crl"
        return _check("revocation", False, f"{missing} missing: both of Intel's CRLs are needed")
    problem = _crl_problem(pck_crl, now, grace) or _crl_problem(root_crl, now, grace)
    if problem:
        return _check("revocation", False, problem)
    start, end = _intersection((_crl_window(pck_crl, grace), _crl_window(root_crl, grace)))
    return _check("revocation", True, f"neither the PCK nor its {pck.issuer} CA revoked; both CRLs current {_when(start)} to {_when(end)}")


# --- The quoting enclave and the quote's signature ----------------------------


def qe_report_check(parsed: Quote, pck: PckChain) -> Check:
    data = parsed.signature_data
    if p256_verifies(pck.pck.public_key(), data.qe_report_signature, data.qe_report.raw):
        return _check("qe_report", True, "the QE report is signed by the PCK key")
    return _check("qe_report", False, "expected the QE report signed by the PCK certificate's key; the signature does not verify")


def attestation_key_check(parsed: Quote) -> Check:
    data = parsed.signature_data
    expected = hashlib.sha256(data.attestation_key + data.qe_auth_data).digest() + bytes(32)
    found = data.qe_report.report_data
    if found == expected:
        return _check("attestation_key", True, "QE report data = SHA-256(attestation key || QE authentication data) || 32 zero bytes")
    return _check("attestation_key", False, f"expected QE report data {expected.hex()}, found {found.hex()}")


def signature_check(parsed: Quote) -> Check:
    raw_key = parsed.signature_data.attestation_key
    try:
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + raw_key)
    except ValueError:
        return _check("signature", False, f"the attestation key {raw_key.hex()} is not a point of P-256")
    if p256_verifies(key, parsed.signature_data.signature, parsed.signed):
        return _check("signature", True, f"header and body ({len(parsed.signed)} bytes) signed by the attestation key")
    return _check("signature", False, "expected the header and body signed by the attestation key; the signature does not verify")


# --- Intel's collateral -------------------------------------------------------


@dataclass(frozen=True, slots=True)
class SignedBody:
    """The TCB info or QE identity as given, its signature judged; what depends on `now` is judged per call."""

    name: str
    parsed: TcbInfo | QeIdentity | None
    problem: str | None  # missing, not signed by Intel's TCB Signing certificate under the pinned root
    signer_window: tuple[datetime.datetime, datetime.datetime] = (_EPOCH, _EPOCH)


@dataclass(frozen=True, slots=True)
class Signer:
    """The first certificate of an issuer chain of the collateral, judged as Intel's TCB Signing certificate."""

    certificate: x509.Certificate | None
    problem: str | None


def judge_signer(chain_pem: str, name: str, root: x509.Certificate) -> Signer:
    return Signer(*tcb_signer(load_chain(chain_pem, name), root))


def judge_body(name: str, text: str | None, signature_value: bytes | None, signer: Signer | None) -> SignedBody:
    """The signed body `name` ("tcb_info" or "qe_identity"), parsed and its signature checked."""
    if text is None or signature_value is None or signer is None:
        return SignedBody(name, None, f"no {name} given")
    parsed = parse_tcb_info(text) if name == "tcb_info" else parse_qe_identity(text)
    if signer.problem or signer.certificate is None:
        return SignedBody(name, parsed, f"the {name}: {signer.problem}")
    if not signature_verifies(signer.certificate, text, signature_value):
        return SignedBody(name, parsed, f"the {name}'s signature does not verify with Intel's TCB Signing certificate")
    return SignedBody(name, parsed, None, _certificate_window(signer.certificate))


def _body_problem(body: SignedBody, now: datetime.datetime) -> str | None:
    if body.problem or body.parsed is None:
        return body.problem
    start, end = body.signer_window
    if not start <= now <= end:
        return f"the {body.name}'s signing certificate is valid {_when(start)} to {_when(end)}, not at {_when(now)}"
    if not body.parsed.issue_date <= now <= body.parsed.next_update:
        return f"the {body.name} is current {_when(body.parsed.issue_date)} to {_when(body.parsed.next_update)}, not at {_when(now)}"
    return None


def collateral_check(tcb_info: SignedBody, qe_identity_body: SignedBody, pck: PckChain, now: datetime.datetime) -> Check:
    problem = _body_problem(tcb_info, now) or _body_problem(qe_identity_body, now)
    if problem:
        return _check("collateral", False, problem)
    info = tcb_info.parsed
    assert isinstance(info, TcbInfo)
    extension = pck.extension
    if (info.fmspc, info.pce_id) != (extension.fmspc, extension.pce_id):
        return _check(
            "collateral", False,
            f"expected the TCB info of FMSPC {extension.fmspc.hex()} PCE-ID {extension.pce_id.hex()} (the PCK "
            f"certificate's), found FMSPC {info.fmspc.hex()} PCE-ID {info.pce_id.hex()}",
        )  # fmt: skip
    start, end = _intersection(_body_windows(tcb_info) + _body_windows(qe_identity_body))
    return _check(
        "collateral", True,
        f"TCB info (FMSPC {info.fmspc.hex()}, evaluation {info.tcb_evaluation_data_number}) and QE identity signed by "
        f"Intel's TCB Signing key, current {_when(start)} to {_when(end)}",
    )  # fmt: skip


def _judged_at(check: Check, now: datetime.datetime) -> Check:
    """A check of a window (validity, revocation, collateral) whose detail names the time it judged at: a failure
    names it already ("not at ..."), a pass spans the window it was judged for once."""
    if not check.passed:
        return check
    return Check(check.name, check.result, f"{check.detail}; judged at {_when(now)}")


def _masked(value: bytes, mask: bytes) -> bytes:
    return bytes(v & m for v, m in zip(value, mask, strict=True))


def qe_identity_check(parsed: Quote, identity: QeIdentity | None) -> tuple[Check, Level | None]:
    if identity is None:
        return _check("qe_identity", False, "no QE identity given"), None
    report = parsed.signature_data.qe_report
    misc = report.misc_select.to_bytes(4, "big")
    mismatches = [
        f"{what}: expected {want.hex() if isinstance(want, bytes) else want}, found {got.hex() if isinstance(got, bytes) else got}"
        for what, want, got in (
            ("MRSIGNER", identity.mrsigner, report.mr_signer),
            ("ISVPRODID", identity.isvprodid, report.isv_prod_id),
            # As Intel's library compares them: the report's value under the mask
            # against the identity's as written (bits outside the mask there never match).
            ("MISCSELECT under its mask", identity.miscselect, _masked(misc, identity.miscselect_mask)),
            ("ATTRIBUTES under their mask", identity.attributes, _masked(report.attributes, identity.attributes_mask)),
        )
        if want != got
    ]  # fmt: skip
    if mismatches:
        return _check("qe_identity", False, "the QE report is not Intel's TD QE: " + "; ".join(mismatches)), None
    level = levels.isvsvn_level(identity.levels, report.isv_svn)
    if level is None:
        return _check("qe_identity", False, f"no TCB level of the QE identity for the QE's ISVSVN {report.isv_svn}"), None
    return _check("qe_identity", True, f"Intel's TD QE, ISVSVN {report.isv_svn}: {level.status}"), level


def tdx_module_check(parsed: Quote, info: TcbInfo | None) -> tuple[Check, Level | None]:
    if info is None:
        return _check("tdx_module", False, "no TCB info given"), None
    report = parsed.td_report
    identity = levels.module_identity(info, report.tee_tcb_svn)
    if identity is None:
        wanted = levels.module_identity_id(report.tee_tcb_svn) if report.module_major_version else "tdxModule"
        return _check(
            "tdx_module", False,
            f"TDX module mismatch: the TCB info has no TDX module identity {wanted} for TEE TCB SVN "
            f"{report.tee_tcb_svn.hex()} (module major version {report.module_major_version}, SVN {report.module_svn})",
        ), None  # fmt: skip
    # As Intel's library judges them: the SEAM attributes all zero, the identity's mask not applied.
    if report.mr_signer_seam != identity.mrsigner or any(report.seam_attributes):
        return _check(
            "tdx_module", False,
            f"expected module {identity.id} MRSIGNERSEAM {identity.mrsigner.hex()} and SEAM attributes all zero; "
            f"found {report.mr_signer_seam.hex()} and {report.seam_attributes.hex()}",
        ), None  # fmt: skip
    if not identity.levels:
        return _check("tdx_module", True, f"TDX module of major version {report.module_major_version}: the TCB info's base tdxModule signer and attributes"), None
    level = levels.isvsvn_level(identity.levels, report.module_svn)
    if level is None:
        return _check("tdx_module", False, f"no TCB level of module {identity.id} for its SVN {report.module_svn}"), None
    return _check("tdx_module", True, f"TDX module {identity.id} SVN {report.module_svn}: {level.status}"), level


@dataclass(frozen=True, slots=True)
class TcbVerdict:
    status: TcbStatus | None
    advisory_ids: tuple[str, ...]
    # For an out-of-date TCB, when Intel's first newer level came (see `_out_of_date_since`).
    out_of_date_since: datetime.datetime | None = None
    matched: levels.MatchedLevels = levels.MatchedLevels()


def _module_level(info: TcbInfo, tee_tcb_svn: bytes) -> Level | None:
    identity = levels.module_identity(info, tee_tcb_svn)
    return None if identity is None else levels.isvsvn_level(identity.levels, tee_tcb_svn[0])


def _current(parsed: Quote, pck: PckChain, info: TcbInfo, qe_level: Level | None) -> TcbStatus | None:
    """The status the TD would have at its TEE TCB SVN after a TD-preserving update (TD report 1.5), or None."""
    current = parsed.td_report.tee_tcb_svn2
    if current is None or not any(current) or current == parsed.td_report.tee_tcb_svn:
        return None
    level = levels.platform_level(info, pck.extension.tcb_components, pck.extension.pcesvn, current)
    if level is None:
        return None
    module = _module_level(info, current) if current[1] else None
    if current[1] and module is None:
        return None
    return levels.converge(level.status, module.status if module else None, qe_level.status if qe_level else None)


def tcb_check(parsed: Quote, pck: PckChain, info: TcbInfo | None, module_level: Level | None,
        qe_level: Level | None) -> tuple[Check, TcbVerdict]:  # fmt: skip
    """The platform's level, converged with the module's and the QE's statuses where those were found.

    Where `tdx_module` or `qe_identity` found no status they fail on their own,
    and the quote is not verified; this check still says what the platform's
    level is, so a result names every fault at once. Whatever is behind the
    newest level is named, component by component, with what it needs.
    """
    none = TcbVerdict(None, ())
    if info is None:
        return _check("tcb", False, "no TCB info given"), none
    extension, tee = pck.extension, parsed.td_report.tee_tcb_svn
    level = levels.platform_level(info, extension.tcb_components, extension.pcesvn, tee)
    if level is None:
        lowest = levels.behind(info.levels[-1], extension.tcb_components, extension.pcesvn, tee) if info.levels else []
        return _check(
            "tcb", False,
            f"TCB level not found (platform not supported): no level of the TCB info is met by the PCK's SGX "
            f"components {list(extension.tcb_components)}, PCESVN {extension.pcesvn} and TEE TCB SVN {tee.hex()}"
            + (f"; below the lowest level: {'; '.join(lowest)}" if lowest else ""),
        ), none  # fmt: skip
    launch = levels.converge(level.status, module_level.status if module_level else None, qe_level.status if qe_level else None)
    status = levels.relaunch(launch, _current(parsed, pck, info, qe_level))
    advisories = levels.merge_advisories(
        level.advisory_ids, module_level.advisory_ids if module_level else (), qe_level.advisory_ids if qe_level else ()
    )
    newest = levels.behind(info.levels[0], extension.tcb_components, extension.pcesvn, tee)
    relaunched = f", launched {launch}" if status != launch else ""
    detail = (
        f"{status}{relaunched} (platform {level.status} of {level.tcb_date}, module "
        f"{module_level.status if module_level else 'no status'}, QE {qe_level.status if qe_level else 'no status'}); "
        f"advisories: {', '.join(advisories) or 'none'}"
        + (f"; behind the newest level: {'; '.join(newest)}" if newest else "")
    )
    return _check("tcb", True, detail), TcbVerdict(status, advisories, matched=levels.MatchedLevels(level, module_level, qe_level))


# --- All of them --------------------------------------------------------------


@dataclass(frozen=True)
class TdxEvidence:
    """The evidence checks in order and what they established; `verified` is the must-pass rule."""

    checks: tuple[Check, ...]
    quote: Quote
    tcb_status: TcbStatus | None
    advisory_ids: tuple[str, ...]
    fmspc: str
    tcb_evaluation_data_number: int | None
    # The `revocation` check made again under other settings (required or not, days of grace), at the same instant.
    revocation_under: Callable[[bool, int], Check]
    collateral_issued: datetime.datetime | None = None  # the older of the TCB info's and QE identity's issue dates
    out_of_date_since: datetime.datetime | None = None  # for an out-of-date TCB, when Intel's first newer level came
    tcb_levels: levels.MatchedLevels = levels.MatchedLevels()

    def check(self, name: str) -> Check:
        """The check of this name; KeyError if it was not made."""
        for check in self.checks:
            if check.name == name:
                return check
        raise KeyError(name)

    @property
    def verified(self) -> bool:
        return all(check.passed or (check.name not in MUST_PASS and not check.failed) for check in self.checks)


class TdxChecker:
    """Makes the evidence checks of TDX quotes under one pinned root, remembering what does not depend on `now`.

    A service sees many quotes from few platforms: a PCK chain, a CRL or a
    signed TCB info seen before (the same bytes) is not loaded and verified
    again. What is remembered is the judgement itself, pass or fail, keyed by
    the exact bytes judged; the checks that depend on `now` are made on every
    call. Each memo is bounded, and belongs to this instance.
    """

    def __init__(self, root: x509.Certificate, *, memo_size: int = 256) -> None:
        self.root = root
        # Each keeps only judgements of what passed its signature under the pinned root (see `Memo`).
        self._chains: Memo[bytes, tuple[PckChain, Check]] = Memo(memo_size, keep=lambda judged: judged[1].passed)
        self._crls: Memo[tuple[bytes | str | None, ...], JudgedCrl] = Memo(memo_size, keep=_signed_crl)
        self._signers: Memo[str, Signer] = Memo(memo_size, keep=lambda signer: signer.problem is None)
        self._bodies: Memo[tuple[str, str | None, bytes | None, str | None], SignedBody] = Memo(
            memo_size, keep=lambda body: body.problem is None)
        self._judged: Memo[tuple[object, ...], _Judgement] = Memo(memo_size, keep=_signed_judgement)

    def check(self, data: bytes | Quote, given: TdxCollateral | None, now: datetime.datetime, *,
              require_revocation: bool = True, grace_days: int = 0) -> TdxEvidence:  # fmt: skip
        """Every evidence check of the quote, in order, with Intel's `given` collateral at `now`; without Intel's
        CRLs, `revocation` fails unless `require_revocation` is false."""
        if not isinstance(now, datetime.datetime) or now.tzinfo is None:
            raise VerificationError("now must be a timezone-aware datetime")
        try:
            return self._check(data, given or TdxCollateral(), now, require_revocation, datetime.timedelta(days=grace_days))
        except VerificationError:
            raise
        except (ValueError, x509.InvalidVersion, UnsupportedAlgorithm) as error:
            # cryptography decodes certificates and CRLs lazily, so a malformed
            # part may surface only when a check reads it: still bad input.
            raise VerificationError(
                f"malformed certificate or CRL in the quote or its collateral: {plainly(error)}", ErrorKind.COLLATERAL,
                detail=describe(error),
            ) from error

    def entries(self, given: TdxCollateral, now: datetime.datetime, grace_days: int = 0) -> dict[str, bool]:
        """Whether each part of `given` holds by itself at `now`, by the names of `pcs.JUDGED_BY`: the TCB info
        and QE identity signed by Intel's TCB Signing certificate under the pinned root and current; the PCK
        CRL signed by a CA of its own issuer chain that the pinned root issued, the root CA CRL by the root, both
        current (within `grace_days`). What a cache keeps or drops is judged so, never by the quote's checks:
        a forged quote (its own PKI, another platform's FMSPC) fails those with genuine collateral."""
        grace = datetime.timedelta(days=grace_days)

        def body(name: str, text: str | None, signature_value: bytes | None, chain_pem: str | None) -> bool:
            judged = self._body(name, text, signature_value, chain_pem)
            return judged.parsed is not None and _body_problem(judged, now) is None

        def crl(der: bytes | None, name: str, issuers: Callable[[], list[x509.Certificate]]) -> bool:
            if der is None:
                return False
            for issuer in issuers():
                judged = self._crls.get((name, der, issuer.fingerprint(hashes.SHA256())),
                                        lambda: judge_crl(der, name, issuer, ()))  # fmt: skip
                if _crl_problem(judged, now, grace) is None:
                    return True
            return False

        def pck_crl_issuers() -> list[x509.Certificate]:
            chain_pem = given.pck_crl_issuer_chain
            return [] if chain_pem is None else [
                certificate for certificate in load_chain(chain_pem, "pck_crl_issuer_chain")
                if _issued_by(certificate, self.root)
            ]

        try:
            return {
                "tcb_info": body("tcb_info", given.tcb_info, given.tcb_info_signature, given.tcb_info_issuer_chain),
                "qe_identity": body("qe_identity", given.qe_identity, given.qe_identity_signature,
                                    given.qe_identity_issuer_chain),
                "pck_crl": crl(given.pck_crl, "the PCK CRL", pck_crl_issuers),
                "root_ca_crl": crl(given.root_ca_crl, "the root CA CRL", lambda: [self.root]),
            }
        except (VerificationError, ValueError, x509.InvalidVersion, UnsupportedAlgorithm):
            # Malformed input holds nothing (the quote's checks name the fault).
            return dict.fromkeys(("tcb_info", "qe_identity", "pck_crl", "root_ca_crl"), False)

    def _pck(self, pem: bytes) -> tuple[PckChain, Check]:
        def make() -> tuple[PckChain, Check]:
            pck = load_pck_chain(pem, self.root)
            return pck, chain_check(pck, self.root)

        return self._chains.get(pem, make)

    def _crls_of(self, given: TdxCollateral, pck: PckChain, pem: bytes) -> tuple[JudgedCrl | None, JudgedCrl | None]:
        """The PCK CRL judged against the PCK chain (the memo knows that chain by its bytes); the root CA CRL for its CA
        and for the TCB Signing certificates that the root issued and that signed the collateral (a key Intel revoked
        must not vouch for a TCB info)."""
        pck_der, root_der = given.pck_crl, given.root_ca_crl
        pck_name = f"the PCK CRL (expected the {pck.issuer} CA's)"
        chains = {"tcb_info": given.tcb_info_issuer_chain, "qe_identity": given.qe_identity_issuer_chain}

        def root_subjects() -> tuple[tuple[x509.Certificate, str], ...]:
            subjects = [(pck.ca, "the PCK CA")]
            for name, chain_pem in chains.items():
                signer = None if chain_pem is None else self._signer(name, chain_pem)
                if signer is not None and signer.certificate is not None and signer.problem is None:
                    subjects.append((signer.certificate, f"Intel's TCB Signing certificate of the {name}"))
            return tuple(subjects)

        def pck_crl() -> JudgedCrl:
            judged = judge_crl(pck_der or b"", pck_name, pck.ca, ((pck.pck, "the PCK certificate"),))
            # Its issuer chain, where given, is of Intel's shape too: the PCK CA and the pinned root.
            chain_pem = given.pck_crl_issuer_chain
            if judged.problem is None and chain_pem is not None:
                # The copy of the PCK CA that the quote's chain holds is read through the object already decoded.
                chain = [pck.ca if c == pck.ca else c for c in load_chain(chain_pem, "pck_crl_issuer_chain")]
                _, problem = issuer_chain_problem(chain, self.root, "PCK CA", lambda c: c.subject == pck.ca.subject)
                if problem:
                    return dataclasses.replace(judged, problem=f"the PCK CRL: {problem}")
            return judged

        return (
            None if pck_der is None else self._crls.get((pck_der, pem, given.pck_crl_issuer_chain), pck_crl),
            None if root_der is None else self._crls.get(
                (root_der, pem, *chains.values()), lambda: judge_crl(root_der, "the root CA CRL", self.root, root_subjects())),
        )  # fmt: skip

    def _signer(self, name: str, chain_pem: str) -> Signer:
        return self._signers.get(chain_pem, lambda: judge_signer(chain_pem, f"{name}_issuer_chain", self.root))

    def _body(self, name: str, text: str | None, signature_value: bytes | None, chain_pem: str | None) -> SignedBody:
        key = (name, text, signature_value, chain_pem)
        return self._bodies.get(
            key, lambda: judge_body(name, text, signature_value, None if chain_pem is None else self._signer(name, chain_pem))
        )

    def _check(self, data: bytes | Quote, given: TdxCollateral, now: datetime.datetime, require_revocation: bool,
               grace: datetime.timedelta) -> TdxEvidence:  # fmt: skip
        # What is judged must be what was signed: a Quote made or changed by hand (dataclasses.replace)
        # could pair other fields with genuine signed bytes, so it is read again from its bytes.
        parsed = parse_quote(data.raw if isinstance(data, Quote) else data)
        td, signature_data = parsed.td_report, parsed.signature_data
        info_body = self._body("tcb_info", given.tcb_info, given.tcb_info_signature, given.tcb_info_issuer_chain)
        qe_body = self._body("qe_identity", given.qe_identity, given.qe_identity_signature, given.qe_identity_issuer_chain)
        trusted = (_trusted(info_body, now) is not None, _trusted(qe_body, now) is not None)
        # Everything the judgement reads besides the quote's signatures: the
        # same bytes give the same judgement, whichever quote they came in.
        key = (signature_data.pck_chain_pem, given, td.tee_tcb_svn, td.tee_tcb_svn2, td.mr_signer_seam, td.seam_attributes,
               signature_data.qe_report.raw, require_revocation, grace, trusted)  # fmt: skip
        judged = self._judged.get(
            key, lambda: self._judge(parsed, given, require_revocation, grace, info_body, qe_body, now)
        )
        start, end = judged.window
        if start <= now <= end:
            # Judged once for the whole window: each verification names its own time.
            timed = tuple(_judged_at(check, now) for check in judged.timed)
        else:
            timed = tuple(_judged_at(check, now) for check in judged.timed_at(now, self.root))
        checks = (
            quote_check(parsed),
            judged.chain,
            *timed[:2],
            qe_report_check(parsed, judged.pck),
            attestation_key_check(parsed),
            signature_check(parsed),
            timed[2],
            *judged.collateral_checks,
        )
        verdict = judged.verdict

        def revocation_under(required: bool, grace_days: int) -> Check:
            return revocation_check(judged.pck, judged.pck_crl, judged.root_crl, now, required,
                              datetime.timedelta(days=grace_days))

        return TdxEvidence(checks, parsed, verdict.status, verdict.advisory_ids, judged.fmspc, judged.evaluation,
                           revocation_under,
                           collateral_issued=judged.issued, out_of_date_since=verdict.out_of_date_since,
                           tcb_levels=verdict.matched)

    def _judge(self, parsed: Quote, given: TdxCollateral, require_revocation: bool, grace: datetime.timedelta,
               info_body: SignedBody, qe_body: SignedBody, now: datetime.datetime) -> _Judgement:  # fmt: skip
        pck, chain_found = self._pck(parsed.signature_data.pck_chain_pem)
        info = _trusted(info_body, now)
        identity = _trusted(qe_body, now)
        assert info is None or isinstance(info, TcbInfo)
        assert identity is None or isinstance(identity, QeIdentity)
        if identity is None and qe_body.parsed is not None:
            qe_check, qe_level = _untrusted("qe_identity", "QE identity"), None
        else:
            qe_check, qe_level = qe_identity_check(parsed, identity)
        foreign = _foreign(info, pck)
        if info is None and info_body.parsed is not None:
            module_check, module_level = _untrusted("tdx_module", "TCB info"), None
            tcb_found, verdict = _untrusted("tcb", "TCB info"), TcbVerdict(None, ())
        elif foreign is not None:
            # Another platform's levels say nothing of this one: no module or TCB status to report from them
            # (skipped, so not verified; `collateral` fails naming the mismatch).
            module_check, module_level = Check("tdx_module", Outcome.SKIP, foreign), None
            tcb_found, verdict = Check("tcb", Outcome.SKIP, foreign), TcbVerdict(None, ())
        else:
            module_check, module_level = tdx_module_check(parsed, info)
            tcb_found, verdict = tcb_check(parsed, pck, info, module_level, qe_level)
            since = None if info is None else _out_of_date_since(parsed, pck, info, identity, module_level, qe_level)
            verdict = dataclasses.replace(verdict, out_of_date_since=since)
        pck_crl, root_crl = self._crls_of(given, pck, parsed.signature_data.pck_chain_pem)
        judgement = _Judgement(
            pck, chain_found, (qe_check, module_check, tcb_found), verdict, pck.extension.fmspc.hex(),
            _evaluation(info, identity), info_body, qe_body, pck_crl, root_crl,
            require_revocation, grace, issued=_issued(info, identity),
        )  # fmt: skip
        return judgement.with_window(self.root)


def _signed_crl(judged: JudgedCrl) -> bool:
    return judged.problem is None


def _signed_judgement(judged: _Judgement) -> bool:
    """Whether every part of a quote's judgement was signed under the pinned root: its PCK chain, its signed
    collateral and any CRL given."""
    return judged.chain.passed and judged.info_body.problem is None and judged.qe_body.problem is None and all(
        crl is None or crl.problem is None for crl in (judged.pck_crl, judged.root_crl))


def _issued_by(certificate: x509.Certificate, issuer: x509.Certificate) -> bool:
    try:
        certificate.verify_directly_issued_by(issuer)
    except (ValueError, TypeError, InvalidSignature):
        return False
    return True
def _trusted(body: SignedBody, now: datetime.datetime) -> TcbInfo | QeIdentity | None:
    """The one door through which Intel's signed collateral becomes input to a claim: its parsed body, only when
    its signature, its signer and the windows of both hold at `now`; None otherwise. What a TCB info or QE
    identity that failed says (its statuses, advisories, dates) is never reported."""
    return body.parsed if _body_problem(body, now) is None else None


def _untrusted(name: str, what: str) -> Check:
    return Check(name, Outcome.SKIP, f"not judged: the {what} did not pass its checks (see collateral), so nothing is taken from it")


def _foreign(info: TcbInfo | None, pck: PckChain) -> str | None:
    """Why the TCB info cannot judge this quote's platform: it is another FMSPC's or PCE-ID's; None if it can."""
    extension = pck.extension
    if info is None or (info.fmspc, info.pce_id) == (extension.fmspc, extension.pce_id):
        return None
    return (f"the TCB info is for FMSPC {info.fmspc.hex()} PCE-ID {info.pce_id.hex()}, not the PCK certificate's "
            f"FMSPC {extension.fmspc.hex()} PCE-ID {extension.pce_id.hex()}: it holds no level of this platform")


_OUT_OF_DATE: Final = frozenset({TcbStatus.OUT_OF_DATE, TcbStatus.OUT_OF_DATE_CONFIGURATION_NEEDED})


def _out_of_date_since(parsed: Quote, pck: PckChain, info: TcbInfo, identity: QeIdentity | None,
                       module_level: Level | None, qe_level: Level | None) -> datetime.datetime | None:  # fmt: skip
    """Since when the TCB is out of date: of the parts whose own level is OutOfDate (the platform's, the
    module's, the QE's), the earliest date at which Intel published a level newer than theirs. None when no
    part is out of date, or when one is and no newer level's date can be read (nothing to count a grace from)."""
    extension, tee = pck.extension, parsed.td_report.tee_tcb_svn
    module = levels.module_identity(info, tee)
    platform = levels.platform_level(info, extension.tcb_components, extension.pcesvn, tee)
    behind: list[tuple[tuple[Level, ...] | tuple[PlatformLevel, ...], Level | PlatformLevel]] = []
    if platform is not None and platform.status in _OUT_OF_DATE:
        behind.append((info.levels, platform))
    if module is not None and module_level is not None and module_level.status in _OUT_OF_DATE:
        behind.append((module.levels, module_level))
    if identity is not None and qe_level is not None and qe_level.status in _OUT_OF_DATE:
        behind.append((identity.levels, qe_level))
    dates = [levels.newer_level_date(all_levels, matched) for all_levels, matched in behind]
    known = [date for date in dates if date is not None]
    return min(known) if known and len(known) == len(dates) else None


def _issued(info: TcbInfo | None, identity: QeIdentity | None) -> datetime.datetime | None:
    """When the older of the TCB info and the QE identity was issued (of the one given, if only one is)."""
    dates = [body.issue_date for body in (info, identity) if body is not None]
    return min(dates, default=None)


def _evaluation(info: TcbInfo | None, identity: QeIdentity | None) -> int | None:
    """How recent Intel's judgement is: the older of the TCB info's and the QE identity's evaluation numbers,
    since both are current at once for a while and a fresh TCB info must not vouch for an older QE identity."""
    if info is None or identity is None:
        return info.tcb_evaluation_data_number if info else None
    return min(info.tcb_evaluation_data_number, identity.tcb_evaluation_data_number)


@dataclass(frozen=True)
class _Judgement:
    """What the checks of one quote's PCK chain and collateral found, `now` aside.

    `window` is the span of time in which the checks that depend on `now`
    (validity, revocation, collateral) all pass, with `timed` their results
    there; outside it (or when it is empty) they are made again at `now`.
    """

    pck: PckChain
    chain: Check
    collateral_checks: tuple[Check, Check, Check]  # qe_identity, tdx_module, tcb
    verdict: TcbVerdict
    fmspc: str
    evaluation: int | None
    info_body: SignedBody
    qe_body: SignedBody
    pck_crl: JudgedCrl | None
    root_crl: JudgedCrl | None
    require_revocation: bool
    grace: datetime.timedelta
    window: Window = (_EPOCH, datetime.datetime.min.replace(tzinfo=datetime.UTC))
    timed: tuple[Check, ...] = ()
    issued: datetime.datetime | None = None  # the older of the TCB info's and QE identity's issue dates

    def timed_at(self, now: datetime.datetime, root: x509.Certificate) -> tuple[Check, Check, Check]:
        return (
            validity_check(self.pck, root, now),
            revocation_check(self.pck, self.pck_crl, self.root_crl, now, self.require_revocation, self.grace),
            collateral_check(self.info_body, self.qe_body, self.pck, now),
        )

    def with_window(self, root: x509.Certificate) -> _Judgement:
        windows = self.pck.windows + (
            _certificate_window(root), _crl_window(self.pck_crl, self.grace), _crl_window(self.root_crl, self.grace)
        )
        start, end = _intersection(windows + _body_windows(self.info_body) + _body_windows(self.qe_body))
        if start > end:
            return self
        timed = self.timed_at(start, root)
        if any(check.failed for check in timed):
            return self
        return dataclasses.replace(self, window=(start, end), timed=timed)


def check_quote(data: bytes | Quote, given: TdxCollateral | None, now: datetime.datetime, root: x509.Certificate,
                *, require_revocation: bool = True, grace_days: int = 0) -> TdxEvidence:  # fmt: skip
    """Every evidence check of the quote, in order, with Intel's `given` collateral at `now` under the pinned `root`.

    The one-call form: nothing is remembered between calls (see `TdxChecker`).
    """
    return TdxChecker(root, memo_size=0).check(
        data, given, now, require_revocation=require_revocation, grace_days=grace_days
    )


# The checks' former names, which read as the modules that import them (`quote`, `tcb`, `collateral`): they
# still work, and warn.
_RENAMED: Final = {name: f"{name}_check" for name in (
    "quote", "chain", "validity", "revocation", "qe_report", "attestation_key", "signature", "collateral",
    "qe_identity", "tdx_module", "tcb")}


def __getattr__(name: str) -> object:
    if name in _RENAMED:
        warnings.warn(f"quorvel_verify.tdx.checks.{name} is now {_RENAMED[name]}", DeprecationWarning, stacklevel=2)
        return globals()[_RENAMED[name]]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
