"""TDX quotes: the genuine cases, a refusal row per check and per policy rule, the TCB level and status tables, and hostile bytes."""

from __future__ import annotations

import base64
import contextlib
import dataclasses
import datetime
import hashlib
import json
import random
import textwrap
import threading
import tracemalloc
from collections.abc import Callable
from pathlib import Path

import pytest
from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding

import amd_test_pki
from intel_test_pki import NOW, ROOT, Bundle, as_td15, build, level, new_key
from quorvel_verify import Policy, VerificationError, Verifier, verify
from quorvel_verify._internal import limits
from quorvel_verify.azure.hcl import parse_hcl_report
from quorvel_verify.tdx import platform as tdx_platform
from quorvel_verify.tdx import tcb
from quorvel_verify.tdx.checks import check_quote
from quorvel_verify.tdx.collateral import TcbStatus, parse_tcb_info, signed_body
from quorvel_verify.tdx.collateral import TdxCollateral as Collateral
from quorvel_verify._internal.memo import Memo
from quorvel_verify.tdx.pck import PckIssuer, load_pck_chain
from quorvel_verify.tdx.quote import parse_quote

DATA = Path(__file__).parents[2] / "data" / "tdx"
INTEL_ROOT = x509.load_pem_x509_certificate(
    (Path(__file__).parents[3] / "src" / "quorvel_verify" / "tdx" / "data" / "intel-sgx-root-ca.pem").read_bytes()
)
ALL_PASS = frozenset()
VERIFIER = Verifier(tdx_root=ROOT)


def _at(text: str) -> datetime.datetime:
    return datetime.datetime.fromisoformat(text).replace(tzinfo=datetime.UTC)


def _pcs(tcb_info: str, qe_identity: str | None, chain: str, crls: tuple[str, str] | None = None) -> Collateral:
    """Collateral assembled from Intel PCS answers as they were served."""
    body, sig = signed_body((DATA / tcb_info).read_text(), "tcbInfo")
    fields = {"tcb_info": body, "tcb_info_signature": sig.hex(), "tcb_info_issuer_chain": (DATA / chain).read_text()}
    if qe_identity:
        body, sig = signed_body((DATA / qe_identity).read_text(), "enclaveIdentity")
        fields |= {"qe_identity": body, "qe_identity_signature": sig.hex(), "qe_identity_issuer_chain": (DATA / chain).read_text()}
    if crls:
        fields |= {"pck_crl": (DATA / crls[0]).read_bytes().hex(), "root_ca_crl": (DATA / crls[1]).read_bytes().hex()}
    return Collateral.from_json(fields)


def _bundle(name: str) -> Collateral:
    return Collateral.from_json((DATA / f"{name}.collateral.json").read_text())


GENUINE = {
    "v4-uptodate": lambda: _bundle("quote-v4-uptodate.dcapqvl"),
    "v5-td15": lambda: _bundle("quote-v5-td15-nolevel.dcapqvl"),
    "spr-e4-2023": lambda: _pcs("tcbinfo-2023-06.gotdx.json", "qeidentity-2023-06.gotdx.json", "tcbinfo-issuer-chain.gotdx.pem",
                                ("pck-crl-2023-06.gotdx.der", "root-crl-2023-04.gotdx.der")),
    "gcp-tcb-info-only": lambda: _pcs("tcbinfo-00806f050000-2025-09.teekit.json", None, "tcb-signing-chain-2025.pem"),
    "trustee-no-crl": lambda: _pcs("tcbinfo-2025-10.trustee.json", "qeidentity-2025-10.trustee.json", "tcb-signing-chain-2025.pem"),
}  # fmt: skip


@pytest.mark.parametrize(
    ("quote", "collateral", "now", "failed", "status"),
    [
        ("quote-v4-uptodate.dcapqvl.bin", "v4-uptodate", "2025-07-01", ALL_PASS, "UpToDate"),
        # Outside its window: Intel's TCB info and the PCK CRL are out of date, and no status is taken from it.
        ("quote-v4-uptodate.dcapqvl.bin", "v4-uptodate", "2025-08-01", {"revocation", "collateral"}, None),
        ("quote-v5-td15-nolevel.dcapqvl.bin", "v5-td15", "2026-03-01", {"tcb"}, None),
        # Another platform's collateral, current and signed: it judges no level of this one.
        ("quote-v4-uptodate.dcapqvl.bin", "v5-td15", "2026-03-01", {"collateral"}, None),
        ("quote-v4-spr-e4.gotdx.bin", "spr-e4-2023", "2023-06-25", {"tcb"}, None),
        # 8,000-byte buffer; without a QE identity the quote is not verified, whatever the platform's level.
        ("quote-v4-gcp-cos113.gotdx.bin", "gcp-tcb-info-only", "2025-10-10", {"revocation", "collateral", "qe_identity"},
         "UpToDate"),
        # Without Intel's CRLs: not verified, as Intel's library refuses it (a policy may say require_revocation = false).
        ("quote-c.trustee.bin", "trustee-no-crl", "2025-11-10", {"revocation"}, "OutOfDate"),
    ],
)
def test_genuine(quote: str, collateral: str, now: str, failed: set[str], status: str | None) -> None:
    evidence = check_quote((DATA / quote).read_bytes(), GENUINE[collateral](), _at(now), INTEL_ROOT)
    assert {check.name for check in evidence.checks if check.failed} == set(failed)
    assert evidence.verified == (not failed)
    assert evidence.tcb_status == status
    if quote.startswith("quote-v4-uptodate") and not failed:
        details = {check.name: check.detail for check in evidence.checks}
        assert "TDX_01 SVN 6: UpToDate" in details["tdx_module"] and "ISVSVN 6: UpToDate" in details["qe_identity"]


AZURE = DATA.parent / "azure"
HCL_TDX = AZURE / "hcl-tdx.trustee.bin"
TD_QUOTE = AZURE / "hcl-tdx.trustee.td-quote.bin"


def _td15_quote_of_another_service_td() -> tuple[bytes, Collateral]:
    """A TD report 1.5 quote, validly signed, holding the HCL report's TDREPORT but another MRSERVICETD."""
    tdreport = parse_hcl_report(HCL_TDX.read_bytes()).hardware_report
    module_svn_2 = ({**Bundle().module_levels[0], "tcb": {"isvsvn": 2}},)  # the TDREPORT's module SVN
    quote, collateral = build(Bundle(module_levels=module_svn_2))
    body = tdreport[264:384] + tdreport[512:912] + tdreport[128:192] + tdreport[384:400] + b"\1" * 48
    return as_td15(quote, body), collateral


# Azure's HCL report around a TDREPORT, judged through a quote: its own (whose FMSPC has no QE identity in
# the test data, so not verified, failing closed on the collateral), or another TD's, validly signed.
@pytest.mark.parametrize(
    ("verifier", "evidence", "now", "failed", "tpm_quote"),
    [
        (Verifier(), lambda: (TD_QUOTE.read_bytes(), GENUINE["gcp-tcb-info-only"]()), _at("2025-10-10"),
         {"revocation", "collateral", "qe_identity"}, None),
        # A vTPM quote is checked against this HCL report's own attestation key: the genuine one is another vTPM's.
        (Verifier(), lambda: (TD_QUOTE.read_bytes(), GENUINE["gcp-tcb-info-only"]()), _at("2025-10-10"),
         {"revocation", "collateral", "qe_identity", "tpm_signature"}, AZURE / "tpm-quote-v1.trustee.json"),
        (VERIFIER, build, NOW, {"td_report"}, None),
        (VERIFIER, _td15_quote_of_another_service_td, NOW, {"td_report"}, None),
        # The quote as base64 text is the quote.
        (Verifier(), lambda: (base64.b64encode(TD_QUOTE.read_bytes()), GENUINE["gcp-tcb-info-only"]()),
         _at("2025-10-10"), {"revocation", "collateral", "qe_identity"}, None),
    ],
)
def test_hcl_tdreport_through_its_quote(
    verifier: Verifier, evidence: Callable[[], tuple[bytes, Collateral]], now: datetime.datetime, failed: set[str],
    tpm_quote: Path | None,
) -> None:
    quote, collateral = evidence()
    result = verifier.verify(HCL_TDX.read_bytes(), quote=quote, collateral=collateral, now=now, tpm_nonce="challenge",
                             tpm_quote=tpm_quote.read_bytes() if tpm_quote is not None else None)
    outcomes = {check.name: check.result for check in result.checks}
    assert ({name for name, outcome in outcomes.items() if outcome == "fail"}, outcomes["hcl"], outcomes["td_report"],
            result.verified) == (failed, "pass", "fail" if "td_report" in failed else "pass", False)


# One row per evidence check: each knob of the test PKI breaks exactly that check.
@pytest.mark.parametrize(
    ("changes", "failed", "detail"),
    [
        ({}, None, "UpToDate"),
        ({"qe_vendor_id": bytes(16)}, "quote", "found version 4"),
        ({"ca_root_key": new_key()}, "chain", "is not issued by"),
        ({"pck_is_ca": True}, "chain", "'Intel SGX PCK Certificate' is a CA certificate"),
        ({"pck_start": NOW + datetime.timedelta(days=1)}, "validity", "not at 2026-01-15"),
        ({"revoked_pcks": (3,)}, "revocation", "revokes the PCK certificate (serial 3)"),
        ({"revoked_by_root": (4,)}, "revocation", "revokes Intel's TCB Signing certificate of the tcb_info (serial 4)"),
        ({"qe_report_key": new_key()}, "qe_report", "does not verify"),
        ({"signed_auth_data": b"other"}, "attestation_key", "expected QE report data"),
        ({"quote_key": new_key(), "signed_auth_data": None}, None, "UpToDate"),  # another attestation key, attested: fine
        ({"pck_fmspc": bytes(6)}, "collateral", "found FMSPC 00906ed50000"),
        ({"tcb_info_key": new_key()}, "collateral", "signature does not verify"),
        ({"qe_mrsigner": bytes(32)}, "qe_identity", "MRSIGNER"),
        ({"qe_isvsvn": 3}, "qe_identity", "no TCB level of the QE identity"),
        ({"qe_attributes": bytes([0x13]) + bytes(15)}, "qe_identity", "ATTRIBUTES under their mask"),
        ({"qe_attributes": bytes([0x15]) + bytes(15)}, None, "UpToDate"),  # a bit outside Intel's mask: not compared
        ({"mr_signer_seam": b"\1" * 48}, "tdx_module", "MRSIGNERSEAM"),
        ({"tee_tcb_svn": bytes([3, 5, 3]) + bytes(13)}, "tdx_module", "no TDX module identity TDX_05"),
        ({"tee_tcb_svn": bytes([2, 1, 3]) + bytes(13)}, "tdx_module", "no TCB level of module TDX_01"),
        ({"pck_components": (1,) * 16}, "tcb", "TCB level not found"),
        ({"pck_components": (3,) * 15 + (4,)}, None, "OutOfDate of 2025-01-01T00:00:00Z, module UpToDate, QE UpToDate); advisories: "
         "INTEL-SA-00001; behind the newest level: SGX component 0 is 3, needs 4; SGX component 1 is 3, needs 4"),
        # Intel's rules to the letter: no module identity for a module of major version 1 is a mismatch; the SEAM
        # attributes all zero whatever the identity's mask; a TD-preserving update since launch advises a relaunch.
        ({"module_identities": False}, "tdx_module", "TDX module mismatch: the TCB info has no TDX module identity TDX_01"),
        ({"seam_attributes": b"\1" + bytes(7), "module_attributes_mask": "00" * 8}, "tdx_module", "SEAM attributes all zero"),
        ({"tee_tcb_svn": bytes([3, 1, 2]) + bytes(13), "tee_tcb_svn2": bytes([3, 1, 3]) + bytes(13)}, None,
         "TDRelaunchAdvised, launched OutOfDate"),
        # Chains found by role, and of Intel's shape only; the TCB Signing certificate as Intel issues it.
        ({"pck_chain": ("pck", "root", "ca"), "tcb_info_chain": ("root", "signer")}, None, "UpToDate"),
        ({"tcb_info_chain": ("signer",)}, "collateral", "holds 1 certificates (1 TCB Signing certificate, 0 root)"),
        ({"tcb_info_chain": ("signer", "root", "root")}, "collateral", "exactly the TCB Signing certificate and the root"),
        ({"tcb_info_chain": ("signer", "other_root")}, "collateral", "chain's root 'Test SGX Root CA' is not the pinned"),
        ({"pck_crl_chain": ("ca", "root", "signer")}, "revocation", "the PCK CRL: its issuer chain holds 3 certificates"),
        ({"signer_is_ca": True}, "collateral", "is a CA certificate (CA:TRUE)"),
        ({"signer_usage": None}, "collateral", "has no key usage"),
    ],
)
def test_test_pki_refusals(changes: dict[str, object], failed: str | None, detail: str) -> None:
    quote, collateral = build(Bundle().replace(**changes))
    evidence = check_quote(quote, collateral, NOW, ROOT)
    assert [check.name for check in evidence.checks if check.failed] == ([failed] if failed else [])
    assert detail in (evidence.check(failed).detail if failed else evidence.checks[-1].detail)


# Collateral that no reader may take two ways: refused as bad input, whatever its signature.
@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"tcb_info_extra": ', "fmspc": "000000000000"'}, "the tcb_info is not JSON: the key 'fmspc' is given twice"),
        ({"tcb_levels": (level(4, 3, "TDRelaunchAdvised"),)}, "not one of Intel's TCB statuses of a level"),
    ],
)
def test_collateral_refused(changes: dict[str, object], message: str) -> None:
    with pytest.raises(VerificationError, match=message):
        check_quote(*build(Bundle().replace(**changes)), NOW, ROOT)


def _high_s(quote: bytes) -> bytes:
    """The quote with its signature's s replaced by n - s: the same signature, as ECDSA verifies it."""
    at = 48 + 584 + 4 + 32
    s = int.from_bytes(quote[at:at + 32], "big")
    order = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
    return quote[:at] + (order - s).to_bytes(32, "big") + quote[at + 32:]


# What the quote's signature covers is its header and body: a changed TD report byte fails `signature` and
# nothing else; encodings of one signed quote (s or n-s, bytes appended) verify with one signed_digest.
@pytest.mark.parametrize(
    ("change", "failed", "same_digest"),
    [
        (lambda quote: quote[:48 + 200] + bytes([quote[48 + 200] ^ 1]) + quote[48 + 201:], ["signature"], False),
        (_high_s, [], True),
        (lambda quote: quote + bytes(100), [], True),
    ],
)
def test_signature_over_header_and_body(change: Callable[[bytes], bytes], failed: list[str], same_digest: bool) -> None:
    quote, collateral = build()
    genuine, changed = (Policy().appraise(VERIFIER.verify(q, now=NOW, collateral=collateral)) for q in (quote, change(quote)))
    assert [check.name for check in changed.failed] == failed and genuine.verified
    assert (changed.signed_digest == genuine.signed_digest, genuine.signed_digest) == (
        same_digest, hashlib.sha256(quote[:48 + 584]).hexdigest())


# One appraisal: the policy's revocation settings judge the `revocation` check alike in verify(policy=...) and in
# Policy.appraise(Verifier().verify(...)).
@pytest.mark.parametrize(
    ("quote", "collateral", "now", "policy", "result"),
    [
        # Two hours after the genuine PCK CRL's next update: current only within a day's grace.
        ("quote-v4-uptodate.dcapqvl.bin", "v4-uptodate", "2025-07-19T12:00:00", {}, "fail"),
        ("quote-v4-uptodate.dcapqvl.bin", "v4-uptodate", "2025-07-19T12:00:00", {"crl_grace_period": 1}, "pass"),
        # Without Intel's CRLs: refused, unless the policy says they are not required.
        ("quote-c.trustee.bin", "trustee-no-crl", "2025-11-10", {}, "fail"),
        ("quote-c.trustee.bin", "trustee-no-crl", "2025-11-10", {"require_revocation": False}, "skip"),
    ],
)
def test_revocation_under_the_policy(quote: str, collateral: str, now: str, policy: dict[str, object], result: str) -> None:
    evidence, given, moment = (DATA / quote).read_bytes(), GENUINE[collateral](), _at(now)
    one_call = verify(evidence, policy=policy, now=moment, collateral=given)
    two_step = Policy.from_mapping(policy).appraise(Verifier().verify(evidence, now=moment, collateral=given))
    assert (one_call.check("revocation").result, one_call) == (result, two_step)


def test_revocation_fails_without_crl_unless_not_required() -> None:
    quote, full = build()
    bare = Collateral.from_json({k: v for k, v in full.to_json().items() if k not in ("pck_crl", "root_ca_crl")})
    assert check_quote(quote, bare, NOW, ROOT).checks[3].result == "fail"
    assert check_quote(quote, bare, NOW, ROOT, require_revocation=False).checks[3].result == "skip"
    assert check_quote(quote, bare, NOW, ROOT, require_revocation=False).verified


# Intel's rules for the platform's level: SGX components and PCESVN from the
# PCK certificate, TDX components from the TEE TCB SVN (from byte 2 when the
# module's major version is set, byte 1).
@pytest.mark.parametrize(
    ("components", "pcesvn", "tee_tcb_svn", "expected"),
    [
        ((4,) * 16, 11, [3, 1, 3], "UpToDate"),
        ((4,) * 15 + (3,), 11, [3, 1, 3], "OutOfDate"),  # one SGX component below: the next level
        ((4,) * 16, 10, [3, 1, 3], "OutOfDate"),  # PCESVN below
        ((4,) * 16, 11, [3, 1, 2], "OutOfDate"),  # a TDX component below
        ((4,) * 16, 11, [0, 1, 3], "UpToDate"),  # bytes 0 and 1 are the module's when its major version is set
        ((4,) * 16, 11, [0, 0, 3], "OutOfDate"),  # ...and the platform's when it is not: byte 0 is below 2
        ((1,) * 16, 11, [9, 1, 9], None),
    ],
)
def test_platform_level(components: tuple[int, ...], pcesvn: int, tee_tcb_svn: list[int], expected: str | None) -> None:
    levels = [level(4, 3, "UpToDate"), level(2, 1, "OutOfDate", pcesvn=10)]
    levels[0]["tcb"]["tdxtcbcomponents"][0] = {"svn": 2}  # type: ignore[index]  # the module's SVN, when read as the platform's
    _, collateral = build(Bundle(tcb_levels=tuple(levels)))
    info = parse_tcb_info(collateral.tcb_info or "")
    found = tcb.platform_level(info, components, pcesvn, bytes(tee_tcb_svn) + bytes(13))
    assert (found.status if found else None) == expected


S = TcbStatus


@pytest.mark.parametrize(
    ("platform", "module", "qe", "expected"),
    [
        (S.UP_TO_DATE, S.UP_TO_DATE, S.UP_TO_DATE, S.UP_TO_DATE),
        (S.UP_TO_DATE, None, S.UP_TO_DATE, S.UP_TO_DATE),
        (S.SW_HARDENING_NEEDED, S.UP_TO_DATE, S.UP_TO_DATE, S.SW_HARDENING_NEEDED),
        (S.UP_TO_DATE, S.OUT_OF_DATE, S.UP_TO_DATE, S.OUT_OF_DATE),
        (S.SW_HARDENING_NEEDED, S.UP_TO_DATE, S.OUT_OF_DATE, S.OUT_OF_DATE),
        (S.CONFIGURATION_NEEDED, S.OUT_OF_DATE, S.UP_TO_DATE, S.OUT_OF_DATE_CONFIGURATION_NEEDED),
        (S.CONFIGURATION_AND_SW_HARDENING_NEEDED, S.UP_TO_DATE, S.OUT_OF_DATE, S.OUT_OF_DATE_CONFIGURATION_NEEDED),
        (S.OUT_OF_DATE_CONFIGURATION_NEEDED, S.OUT_OF_DATE, S.OUT_OF_DATE, S.OUT_OF_DATE_CONFIGURATION_NEEDED),
        (S.UP_TO_DATE, S.UP_TO_DATE, S.REVOKED, S.REVOKED),
        (S.CONFIGURATION_NEEDED, S.REVOKED, S.UP_TO_DATE, S.REVOKED),
    ],
)
def test_status_convergence(platform: S, module: S | None, qe: S, expected: S) -> None:
    assert tcb.converge(platform, module, qe) == expected


def test_advisories_merged_and_per_component_through_the_check() -> None:
    levels = (level(4, 3, "SWHardeningNeeded", ["INTEL-SA-00002", "INTEL-SA-00001"]),)
    qe = ({"tcb": {"isvsvn": 4}, "tcbDate": "2024-06-01T00:00:00Z", "tcbStatus": "OutOfDate", "advisoryIDs": ["INTEL-SA-00001", "INTEL-SA-00003"]},)
    quote, collateral = build(Bundle(tcb_levels=levels, qe_levels=qe))
    evidence = check_quote(quote, collateral, NOW, ROOT)
    assert (evidence.tcb_status, evidence.advisory_ids) == ("OutOfDate", ("INTEL-SA-00002", "INTEL-SA-00001", "INTEL-SA-00003"))
    result = Policy.from_mapping({"tdx": {"tcb_statuses": ["OutOfDate"]}}).appraise(VERIFIER.verify(quote, now=NOW, collateral=collateral))
    assert {key: result.to_json()[key] for key in ("tcb_date", "tcb_levels")} == {"tcb_date": "2024-06-01T00:00:00Z", "tcb_levels": {
        "platform": {"status": "SWHardeningNeeded", "tcb_date": "2025-01-01T00:00:00Z", "advisory_ids": ["INTEL-SA-00002", "INTEL-SA-00001"]},
        "tdx_module": {"status": "UpToDate", "tcb_date": "2025-01-01T00:00:00Z", "advisory_ids": []},
        "qe": {"status": "OutOfDate", "tcb_date": "2024-06-01T00:00:00Z", "advisory_ids": ["INTEL-SA-00001", "INTEL-SA-00003"]}}}


RECOVERED = (level(5, 4, "UpToDate", date="2026-01-10T00:00:00Z"), level(4, 3, "OutOfDate", date="2025-06-01T00:00:00Z"))
RECOVERED_QE = tuple({"tcb": {"isvsvn": svn}, "tcbDate": date, "tcbStatus": status} for svn, date, status in
                     ((5, "2026-01-10T00:00:00Z", "UpToDate"), (4, "2025-01-01T00:00:00Z", "OutOfDate")))


# One refusal row per rule of the [tdx] policy table (the test PKI's quote: UpToDate, no advisory), and
# the cross-platform rule: a policy for SEV-SNP only never lets a TDX quote through.
@pytest.mark.parametrize(
    ("policy", "bundle", "failed"),
    [
        ({}, {}, None),
        ({}, {"td_attributes": 1}, "allow_debug"),
        ({"tdx": {"allow_debug": True}}, {"td_attributes": 1}, None),
        ({}, {"qe_levels": ({"tcb": {"isvsvn": 4}, "tcbDate": "2025-01-01T00:00:00Z", "tcbStatus": "OutOfDate"},)}, "tcb_statuses"),
        ({"tdx": {"advisory_ids": ["INTEL-SA-00009"]}}, {"tcb_levels": (level(4, 3, "UpToDate", ["INTEL-SA-00001"]),)}, "advisory_ids"),
        *[({"tdx": {name: ["01" * 48]}}, {}, name) for name in
          ("mr_td", "rtmr0", "rtmr1", "rtmr2", "rtmr3", "mr_config_id", "mr_owner", "mr_owner_config", "mr_seam")],
        ({"tdx": {"mr_td": ["00" * 48]}}, {}, None),
        ({"tdx": {"fmspcs": ["000000000000"]}}, {}, "fmspcs"),
        ({"tdx": {"report_data": "01" * 64}}, {}, "report_data"),
        # The freshness pin of both platforms: a top-level report_data judges a TDX quote's report data too.
        ({"report_data": "01" * 64, "tdx": {}}, {}, "report_data"),
        ({"report_data": "01" * 64}, {}, "report_data"),
        ({"tdx": {"xfam": "0300000000000000"}}, {}, "xfam"),
        ({"tdx": {"require_sept_ve_disable": True}}, {"td_attributes": 0}, "require_sept_ve_disable"),
        ({"tdx": {"forbid_pks": True}}, {"td_attributes": 1 << 30}, "forbid_pks"),
        ({"tdx": {"forbid_perfmon": True}}, {"td_attributes": 1 << 63}, "forbid_perfmon"),
        ({"tdx": {"min_tee_tcb_svn": "030104" + "00" * 13}}, {}, "min_tee_tcb_svn"),
        # Intel's relaunch status is accepted only where the policy lists it.
        ({"tdx": {"tcb_statuses": ["TDRelaunchAdvised"]}},
         {"tee_tcb_svn": bytes([3, 1, 2]) + bytes(13), "tee_tcb_svn2": bytes([3, 1, 3]) + bytes(13)}, None),
        ({"tdx": {"min_tcb_evaluation_data_number": 18}}, {}, "min_tcb_evaluation_data_number"),
        # A current TCB info does not make a QE identity of an older evaluation recent.
        ({"tdx": {"min_tcb_evaluation_data_number": 17}}, {"qe_evaluation": 16}, "min_tcb_evaluation_data_number"),
        # Collateral issued 2026-01-01, judged 2026-01-15.
        ({"tdx": {"max_collateral_age": "13d"}}, {}, "max_collateral_age"),
        ({"tdx": {"max_collateral_age": 14}}, {}, None),
        # Out of date since Intel's newer level of 2026-01-10 (the platform's; the QE's), judged 2026-01-15.
        ({"tdx": {"tcb_statuses": ["UpToDate", "OutOfDate"], "out_of_date_grace": "4d"}}, {"tcb_levels": RECOVERED}, "out_of_date_grace"),
        ({"tdx": {"tcb_statuses": ["UpToDate", "OutOfDate"], "out_of_date_grace": "120h"}}, {"tcb_levels": RECOVERED}, None),
        ({"tdx": {"tcb_statuses": ["OutOfDate"], "out_of_date_grace": "4d"}}, {"qe_levels": RECOVERED_QE}, "out_of_date_grace"),
        ({"measurements": ["00" * 48]}, {}, "platform"),
        ({"measurements": ["00" * 48], "tdx": {}}, {}, None),
    ],
)
def test_policy_rules(policy: dict[str, object], bundle: dict[str, object], failed: str | None) -> None:
    quote, collateral = build(Bundle().replace(**bundle))
    result = VERIFIER.verify(quote, now=NOW, collateral=collateral)
    assert result.verified
    verification = Policy.from_mapping(policy).appraise(result)
    assert [check.name for check in verification.failed] == ([f"policy.{failed}"] if failed else [])
    assert verification.verified == (failed is None)
    # No policy looks stricter than it is: each top-level rule it sets is judged, or named as not judging a quote.
    said = " ".join(f"{check.name} {check.detail}" for check in verification.checks)
    assert [rule for rule in policy if rule != "tdx" and rule not in said] == []


# Intel's collateral as verify() takes it: typed, or the --collateral file's JSON as text, bytes or a mapping.
@pytest.mark.parametrize("form", [str, str.encode, json.loads, Collateral.from_json], ids=["text", "bytes", "mapping", "typed"])
def test_collateral_forms(form: Callable[[str], object]) -> None:
    text = (DATA / "quote-v4-uptodate.dcapqvl.collateral.json").read_text()
    result = verify((DATA / "quote-v4-uptodate.dcapqvl.bin").read_bytes(), collateral=form(text), now=_at("2025-07-01"))
    assert (result.verified, result.platform) == (True, "tdx")


@pytest.mark.parametrize(
    ("module", "old", "new", "now"),
    [
        ("quorvel_verify.tdx.collateral", "Collateral", "quorvel_verify.tdx.collateral", "TdxCollateral"),
        ("quorvel_verify", "Collateral", "quorvel_verify", "GivenCollateral"),
        ("quorvel_verify.tdx.memo", "Memo", "quorvel_verify._internal.memo", "Memo"),
        ("quorvel_verify.shapes", "unwrap_certificates", "quorvel_verify.intake", "unwrap_certificates"),
        ("quorvel_verify.cli", "describe_quote", "quorvel_verify.tdx.text", "describe_quote"),
        ("quorvel_verify.verification", "TdxVerification", "quorvel_verify.tdx.verification", "TdxVerification"),
        ("quorvel_verify.sevsnp.rules_extra", "CSP_IDS", "quorvel_verify.sevsnp.rules_identity", "CSP_IDS"),
        ("quorvel_verify.sevsnp.rules_extra", "MIN_FIRMWARE", "quorvel_verify.sevsnp.rules_platform", "MIN_FIRMWARE"),
        *(("quorvel_verify.tdx.checks", name, "quorvel_verify.tdx.checks", f"{name}_check")
          for name in ("quote", "tcb", "collateral", "signature")),
    ],
)
def test_renamed_names_still_load_and_warn(module: str, old: str, new: str, now: str) -> None:
    import importlib

    with pytest.warns(DeprecationWarning, match=now):
        assert getattr(importlib.import_module(module), old) is getattr(importlib.import_module(new), now)


@pytest.mark.parametrize(("policy", "failed"), [({"tdx": {}}, ["policy.platform"]), ({}, []), ({"tdx": {}, "vmpl": [0]}, [])])
def test_tdx_only_policy_refuses_a_report(policy: dict[str, object], failed: list[str]) -> None:
    """The other way round: a policy with a [tdx] table and no SEV-SNP rule judges no SEV-SNP report."""
    reports = DATA.parent / "reports"
    raw, certificate = (reports / "genoa-v3-azure.bin").read_bytes(), (reports / "genoa-v3-azure.vcek.pem").read_bytes()
    result = verify(raw, certificate, policy=Policy.from_mapping(policy), now=datetime.datetime(2026, 6, 1, tzinfo=datetime.UTC))
    assert [check.name for check in result.failed] == failed



# --- Hostile bytes ----------------------------------------------------------------

def _patched(quote: bytes, offset: int, value: bytes) -> bytes:
    return quote[:offset] + value + quote[offset + len(value):]


V4 = (DATA / "quote-v4-uptodate.dcapqvl.bin").read_bytes()
V5 = (DATA / "quote-v5-td15-nolevel.dcapqvl.bin").read_bytes()
SIG = 48 + 584 + 4  # the v4 signature data


def _pck_patched(quote: bytes, index: int, old: bytes, new: bytes) -> bytes:
    """The quote with bytes of a certificate of its PCK chain replaced by as many others, the PEM written again."""
    der = x509.load_pem_x509_certificates(parse_quote(quote).signature_data.pck_chain_pem)[index].public_bytes(Encoding.DER)
    pem = lambda der: "\n".join(textwrap.wrap(base64.b64encode(der).decode(), 64)).encode()  # noqa: E731
    return quote.replace(pem(der), pem(der.replace(old, new)))


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (V4[:47], "shorter than its 48-byte header"),
        (_patched(V4, 4, bytes(4)), "an SGX enclave quote"),
        (_patched(V4, 0, b"\3\0"), "an SGX quote (version 3), which this verifier does not take"),
        (_patched(V5, 48, b"\1\0"), "an SGX enclave quote (version 5, body type 1)"),
        (_patched(V5, 50, b"\x48\2\0\0"), "body type 3 is 648 bytes, the quote says 584"),
        (_patched(V5, 48, b"\4\0"), "body type 4, a TD report 1.5 of a TD partitioning guest: not supported"),
        # Intel's PCK chain is exactly the PCK certificate, its CA and the root.
        (build(Bundle(pck_chain=("pck", "ca")))[0], "chain lacks the root CA certificate"),
        (build(Bundle(pck_chain=("pck", "ca", "root", "root")))[0], "holds 2 certificates as the root CA certificate"),
        (build(Bundle(pck_chain=("pck", "ca", "ca", "root")))[0], "holds 2 certificates as the PCK Platform or Processor CA"),
        (build(Bundle(pck_chain=("pck", "ca", "signer", "root")))[0], "holds 2 certificates as the PCK certificate"),
        (_patched(V4, SIG + 128, b"\5\0"), "certification data type 5 (PCK certificate chain) is not supported"),
        (_patched(V4, SIG + 134 + 384 + 64 + 2 + 32, b"\4\0"), "certification data type 4 (PCK certificate alone)"),
        (_patched(V4, 48 + 584, b"\xff\xff\xff\xff"), "truncated quote: the signature data declares 4294967295 bytes at offset 636"),
        (_patched(V4, SIG + 130, (4166 + 1).to_bytes(4, "little")), "truncated quote: the certification data declares 4167"),
        (_patched(V4, SIG + 130, (4166 - 1).to_bytes(4, "little")), "1 bytes at offset 4935 after the certification data"),
        (V4[: SIG + 1000], "truncated quote"),
        (V4 + bytes(64 * 1024), "longer than the 65536"),
        # The subject key identifier's OID made the key usage's: not a ValueError in cryptography.
        (_pck_patched(V4, 0, bytes.fromhex("0603551d0e"), bytes.fromhex("0603551d0f")), "malformed: an extension appears twice"),
        # The CA's country as a BIT STRING, a type only a unique identifier has: cryptography raises TypeError.
        (_pck_patched(V4, 1, bytes.fromhex("0603550406130255"), bytes.fromhex("0603550406030255")),
         "a certificate of the quote's PCK chain is malformed"),
    ],
)
def test_quote_refused(data: bytes, message: str) -> None:
    with pytest.raises(VerificationError, match=message.replace("(", r"\(").replace(")", r"\)")):
        load_pck_chain(parse_quote(data).signature_data.pck_chain_pem)


def test_trailing_bytes_accepted_and_counted() -> None:
    assert parse_quote((DATA / "quote-v4-gcp-cos113.gotdx.bin").read_bytes()).trailing_size == 8000 - 4935


def test_hostile_bytes_fail_closed() -> None:
    """Every prefix of a quote, and random byte changes in it or in its CRLs, chains and signed bodies, give a
    result or VerificationError, nothing else (cryptography's lazily decoded parts included)."""
    quote, collateral = build()
    for size in range(0, len(quote), 7):
        with pytest.raises(VerificationError):
            parse_quote(quote[:size])
    chance = random.Random(24)
    for _ in range(600):
        name = chance.choice(["quote", "pck_crl", "root_ca_crl", "tcb_info", "tcb_info_issuer_chain"])
        original = quote if name == "quote" else getattr(collateral, name)
        mutated = bytearray(original.encode() if isinstance(original, str) else original)
        for _ in range(chance.randint(1, 4)):
            mutated[chance.randrange(len(mutated))] = chance.randrange(256) if isinstance(original, bytes) else chance.choice(b'0123456789{}[]",:-')
        changed = mutated.decode("latin-1") if isinstance(original, str) else bytes(mutated)
        try:
            if name == "quote":
                evidence = check_quote(changed, collateral, NOW, ROOT)  # type: ignore[arg-type]
            else:
                evidence = check_quote(quote, dataclasses.replace(collateral, **{name: changed}), NOW, ROOT)
        except VerificationError:
            continue
        if evidence.verified and name == "quote":  # only bytes outside what was signed may change (the PEM's padding, say)
            assert bytes(mutated[: 48 + 584]) == quote[: 48 + 584]


V4_QUOTE = str(DATA / "quote-v4-uptodate.dcapqvl.bin")
V4_QUOTE_BYTES = Path(V4_QUOTE).read_bytes()
V4_COLLATERAL = str(DATA / "quote-v4-uptodate.dcapqvl.collateral.json")


@pytest.mark.parametrize(
    ("argv", "status", "shown"),
    [
        ([V4_QUOTE, "--collateral", V4_COLLATERAL, "--now", "2025-07-01", "--json"], 0,
         ({"verified": True, "platform": "tdx", "tcb_status": "UpToDate", "fmspc": "b0c06f000000", "failed": []}, "")),
        # Written as hex text, the quote is verified as it is bare.
        (["{quote_hex}", "--collateral", V4_COLLATERAL, "--now", "2025-07-01", "--json"], 0,
         ({"verified": True, "platform": "tdx", "tcb_status": "UpToDate"}, "")),
        # Collateral out of its window: no TCB status is taken from it, so the policy's statuses fail too.
        ([V4_QUOTE, "--collateral", V4_COLLATERAL, "--now", "2025-08-01", "--json"], 1,
         ({"verified": False, "tcb_status": None, "failed": ["revocation", "collateral", "policy.tcb_statuses"]}, "")),
        # A quote of version 3 is an SGX quote, named as one (not as another platform's report).
        (["{v3}", "--json"], 2, ({"verified": False, "error_kind": "report"},
         "error: an SGX quote (version 3), which this verifier does not take: it verifies TDX quotes, versions 4 and 5")),
        # Every window's detail names the time judged at (a pass too: it is judged once per window), and a
        # failure for the time hints at --now.
        ([V4_QUOTE, "--collateral", V4_COLLATERAL, "--now", "2025-07-01T12:00Z"], 0, [
            "validity:            pass  PCK certificate, its CA and the root all valid from 2025-02-06T23:25:51Z to "
            "2032-02-06T23:25:51Z; judged at 2025-07-01T12:00:00Z",
            "collateral:          pass  TCB info (FMSPC b0c06f000000, evaluation 17) and QE identity signed by Intel's "
            "TCB Signing key, current 2025-06-19T10:32:27Z to 2025-07-19T10:16:03Z; judged at 2025-07-01T12:00:00Z",
            "result:              verified with Intel's PCK chain, TCB UpToDate"]),
        ([V4_QUOTE, "--collateral", V4_COLLATERAL, "--now", "2025-08-01"], 1, [
            "hint:                judged at 2025-08-01T00:00:00Z; --now ISO-8601 judges at another time (such as when "
            "the evidence was made)",
            "result:              NOT verified: failed revocation, collateral, policy.tcb_statuses"]),
        # The TDX pins; SEV-SNP's refused.
        ([V4_QUOTE, "--collateral", V4_COLLATERAL, "--now", "2025-07-01", "--mr-td", "00" * 48, "--json"], 1,
         ({"verified": False, "failed": ["policy.mr_td"]}, "")),
        ([V4_QUOTE, "--collateral", V4_COLLATERAL, "--vmpl", "0"], 2,
         "--vmpl applies to an SEV-SNP report; {quote} is a TDX quote"),
        # Not a known TDX quote's certificate options, nor Intel's collateral for a report: bad input.
        ([V4_QUOTE, V4_COLLATERAL, "--json"], 2, ({"verified": False, "error_kind": "usage"},
         "error: CERT applies to an SEV-SNP report; {quote} is a TDX quote, which carries its PCK chain (give Intel's "
         "collateral with --collateral or --fetch)")),
        ([V4_COLLATERAL, V4_QUOTE], 2, f"{V4_COLLATERAL}: this is Intel's collateral for a TDX quote, not the "
         "evidence: were the quote and its collateral given in swapped order?"),
        # In plain words; the parser's own message only as the JSON's detail.
        ([V4_QUOTE, "--collateral", V4_QUOTE, "--json"], 2, ({"verified": False, "error_kind": "collateral",
                                                             "detail": "Expecting value: line 1 column 1 (char 0)"},
         "error: {quote}: collateral is not JSON: it breaks off or goes wrong at line 1, column 1")),
        # A lone surrogate (the escape \ud800) is no character: no UTF-8 text holds it, to verify or to write.
        ([V4_QUOTE, "--collateral", "{surrogate}", "--json"], 2, ({"verified": False, "error_kind": "collateral"},
         "error: {surrogate}: collateral field tcb_info is not valid text: a string holds a lone surrogate escape "
         "(such as \\ud800), which stands for no character")),
        # Azure's HCL report around a TDREPORT: through its quote (no collateral given), and without it.
        ([str(HCL_TDX), "--td-quote", str(TD_QUOTE), "--now", "2025-10-10", "--json"], 1,
         ({"verified": False, "platform": "tdx", "hcl": "pass", "td_report": "pass",
           "failed": ["revocation", "collateral", "qe_identity", "tdx_module", "tcb", "policy.tcb_statuses"]}, "")),
        # In text, the quote's fields are named as the quote's, from the file that holds it.
        ([str(HCL_TDX), "--td-quote", str(TD_QUOTE), "--now", "2025-10-10"], 1, [
            f"quote:               {TD_QUOTE}", "hcl report:          {hcl}",
            "result:              NOT verified: failed revocation, collateral, qe_identity, tdx_module, tcb, "
            "policy.tcb_statuses"]),
        ([str(HCL_TDX), "--json"], 2, ({"verified": False, "error_kind": "report"},
         "error: {hcl}: an HCL report around a TDX TDREPORT, which is verified through the TDX quote made from it: "
         "give that quote (--td-quote, or quote=), with Intel's collateral")),
        # Where the collateral could not be saved, before a verdict is reached that would be lost.
        ([V4_QUOTE, "--collateral", V4_COLLATERAL, "--save-collateral", "{tmp}"], 2,
         "--save-collateral {tmp}: a directory, not a file"),
        # The two given in swapped order: what goes where.
        ([V4_QUOTE, "--td-quote", str(HCL_TDX)], 2,
         "--td-quote applies to an HCL report around a TDX TDREPORT; {quote} is itself a TDX quote (give the HCL "
         "report as EVIDENCE and its quote with --td-quote)"),
        # The test PKI pinned (below): Intel's CRLs left out fail revocation, unless the policy says they are not
        # required, and then the verdict says that revocation was not checked.
        (["{pki}", "--collateral", "{no-crl}", "--now", "2026-01-15"], 1, "result:              NOT verified: failed revocation"),
        (["{pki}", "--collateral", "{no-crl}", "--policy", "{unrequired}", "--now", "2026-01-15"], 0,
         "result:              verified with Intel's PCK chain, TCB UpToDate; revocation not checked"),
        # Strings from the input (advisory ids of the TCB info, the file's name) clear, colour and reorder nothing,
        # and add no line of their own: every line shown escapes them.
        (["{pki-escapes}", "--collateral", "{escapes}", "--now", "2026-01-15"], 0, [
            "quote:               {tmp}/\\x9b2J\\u202eetouq.bin",
            "tcb_status:          UpToDate; advisories: INTEL-SA-\\x1b[2J\\x1b[32m\\nresult: verified",
            "result:              verified with Intel's PCK chain, TCB UpToDate"]),
    ],
)
def test_command(command: Callable[..., None], argv: list[str], status: int, shown: object, tmp_path: Path,
                 monkeypatch: pytest.MonkeyPatch) -> None:
    quote_hex = tmp_path / "quote.hex"
    quote_hex.write_text(Path(V4_QUOTE).read_bytes().hex() + "\n")
    surrogate, genuine = tmp_path / "surrogate.json", json.loads(Path(V4_COLLATERAL).read_text())
    surrogate.write_text(json.dumps(genuine | {"tcb_info": genuine["tcb_info"][:-1] + ',"note":"\ud800"}'}))
    v3 = tmp_path / "quote-v3.bin"
    v3.write_bytes(b"\3\0\2\0" + bytes(4) + V4[8:])  # version 3, ECDSA P-256, the reserved bytes where v4 has a TEE type
    pki, collateral = build()
    escaping, escapes = build(Bundle(tcb_levels=(level(4, 3, "UpToDate", ["INTEL-SA-\x1b[2J\x1b[32m\nresult: verified"]),)))
    bare = {k: v for k, v in collateral.to_json().items() if k not in ("pck_crl", "root_ca_crl")}
    files = {"pki": "pki.bin", "pki-escapes": "\x9b2J\u202eetouq.bin", "no-crl": "no-crl.json", "escapes": "escapes.json",
             "unrequired": "unrequired.toml"}
    paths = {name: tmp_path / file for name, file in files.items()}
    paths["pki"].write_bytes(pki)
    paths["pki-escapes"].write_bytes(escaping)
    paths["no-crl"].write_text(json.dumps(bare))
    paths["escapes"].write_text(json.dumps(escapes.to_json()))
    paths["unrequired"].write_text("require_revocation = false\n")
    if any(arg.startswith("{pki") for arg in argv):
        monkeypatch.setattr("quorvel_verify.cli.Verifier", lambda **given: Verifier(tdx_root=ROOT, **given))
    command([arg.replace(V4_QUOTE, "{quote}") for arg in argv], status, shown, quote=V4_QUOTE, hcl=str(HCL_TDX),
            quote_hex=str(quote_hex), tmp=str(tmp_path), surrogate=str(surrogate), v3=str(v3), **{name: str(path) for name, path in paths.items()})


def test_a_quote_changed_by_hand_is_judged_by_its_bytes() -> None:
    """A parsed Quote whose TD report was replaced keeps the genuine signature: the policy must see the signed MRTD."""
    quote, collateral = build()
    genuine = parse_quote(quote)
    forged = dataclasses.replace(genuine, td_report=dataclasses.replace(genuine.td_report, mr_td=b"\1" * 48))
    result = VERIFIER.verify(forged, now=NOW, collateral=collateral)
    assert result.verified and result.claims.quote.td_report.mr_td == bytes(48)


def test_a_memo_shared_by_threads_evicts_each_entry_once() -> None:
    """A verifier serves several threads: two that find the same oldest entry of a full memo (held together
    while it is hashed to be evicted) must not both evict it, the second with a KeyError escaping the verifier."""
    together, armed = threading.Barrier(2, timeout=0.3), threading.Event()

    class Oldest:
        def __hash__(self) -> int:
            if armed.is_set():
                with contextlib.suppress(threading.BrokenBarrierError):  # only one thread may get there: fine
                    together.wait()
            return 0

    memo: Memo[object, int] = Memo(1)
    memo.get(Oldest(), lambda: 0)
    armed.set()
    errors: list[BaseException] = []

    def add(key: int) -> None:
        try:
            memo.get(key, lambda: key)
        except Exception as error:  # noqa: BLE001
            errors.append(error)

    threads = [threading.Thread(target=add, args=(key,)) for key in (1, 2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


@pytest.mark.parametrize("key", [memoryview(b"x" * 11), (1, memoryview(b"x" * 11))], ids=["view", "view in a tuple"])
def test_a_memo_keeps_no_key_holding_more_than_its_bytes(key: object) -> None:
    """A key's bytes count toward the memo's bound in whatever buffer they come, a memory view's too."""
    memo: Memo[object, int] = Memo(4, max_bytes=10)
    memo.put(key, 0)
    assert (len(memo), memo.held) == (0, 0)


SNP_NOW = datetime.datetime(2026, 7, 1, tzinfo=datetime.UTC)


@pytest.mark.parametrize("platform", ["tdx", "sev-snp"])
def test_unsigned_input_of_the_largest_size_is_not_kept(platform: str) -> None:
    """Input that anyone can vary (collateral or a certificate whose signature fails) at the largest size its
    file may have: a verifier that judged many such keeps no more than it kept after a genuine one."""
    if platform == "tdx":
        verifier, (quote, collateral) = Verifier(tdx_root=ROOT), build()
        largest = limits.COLLATERAL_FILE_SIZE
        room = largest - len(json.dumps(collateral.to_json()))
        assert verifier.verify(quote, now=NOW, collateral=collateral).verified

        def unsigned(n: int) -> bool:
            padded = dataclasses.replace(collateral, tcb_info=collateral.tcb_info[:-1] + " " * (room - n) + "}")
            return verifier.verify(quote, now=NOW, collateral=padded).verified
    else:
        verifier, (report, vcek) = Verifier(), amd_test_pki.genuine_pair()
        made, largest = amd_test_pki.authority("Milan").issue_for(report).pem, limits.CERTIFICATE_FILE_SIZE
        assert verifier.verify(report, vcek, now=SNP_NOW).verified

        def unsigned(n: int) -> bool:
            return verifier.verify(report, made + b"\n" * (largest - len(made) - n), now=SNP_NOW).verified
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        assert not any(unsigned(n) for n in range(16))
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < largest


def test_a_verifier_loads_intels_root_when_the_first_quote_arrives(monkeypatch) -> None:
    """A service that verifies SEV-SNP reports only never loads Intel's root; one that verifies quotes loads it once."""
    loaded: list[x509.Certificate] = []
    bundled = tdx_platform.bundled_root
    monkeypatch.setattr(tdx_platform, "bundled_root", lambda: loaded.append(bundled()) or loaded[-1])
    verifier, (report, vcek) = Verifier(), amd_test_pki.genuine_pair()
    assert verifier.verify(report, vcek, now=SNP_NOW).verified
    assert loaded == []
    for _ in range(2):
        assert verifier.verify(V4_QUOTE_BYTES, collateral=GENUINE["v4-uptodate"](), now=_at("2025-07-01")).verified
    assert len(loaded) == 1
