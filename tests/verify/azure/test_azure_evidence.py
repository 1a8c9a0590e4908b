"""Evidence as Azure hands it out: HCL reports and THIM payloads, given to verify() as they come.

Genuine samples verify; each edit breaks the one thing that binds it; malformed input is refused as bad
input, never with another exception.
"""

from __future__ import annotations

import base64
import datetime
import json
import struct
from collections.abc import Callable
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding

from cryptography.hazmat.primitives.asymmetric import rsa

from quorvel_verify import Policy, VerificationError, Verifier, verify
from quorvel_verify.azure.hcl import CLAIMS_OFFSET, hcl_check, parse_hcl_report
from quorvel_verify.azure.tpm_quote import TpmQuote, parse_attestation, parse_signature
from quorvel_verify.azure.tdreport import differing_fields
from quorvel_verify.azure.thim import parse_thim_payload

DATA = Path(__file__).parents[2] / "data"
AZURE = DATA / "azure"
NOW = datetime.datetime(2026, 6, 1, tzinfo=datetime.UTC)
MILAN_V2 = (AZURE / "hcl-snp-milan-v2.trustee.bin").read_bytes()
MILAN_V2_CHAIN = (AZURE / "hcl-snp-milan-v2.trustee.vcek-chain.pem").read_bytes()
TDX = (AZURE / "hcl-tdx.trustee.bin").read_bytes()
GENOA = (AZURE / "hcl-snp-genoa.trustee.bin").read_bytes()
TD_QUOTE = (AZURE / "hcl-tdx.trustee.td-quote.bin").read_bytes()
THIM = (AZURE / "thim-milan.scitt.json").read_bytes()
THIM_REPORT = (AZURE / "thim-milan.scitt.report.bin").read_bytes()
TPM_QUOTE = json.loads((AZURE / "tpm-quote-v1.trustee.json").read_text())
TPM_MESSAGE = bytes.fromhex(TPM_QUOTE["message"])
TPM_PCRS = [bytes.fromhex(value) for value in TPM_QUOTE["pcrs"]]
TPM_SELECTION = TPM_MESSAGE.index(bytes.fromhex("00000001000b03ffffff"))  # one SHA-256 bank, PCRs 0-23

# The evidence, then what vouches for it: the VCEK (or a THIM payload), or for TDX the quote.
GENUINE = [
    *((path.name, path.name.replace(".bin", ".vcek.pem")) for path in sorted(AZURE.glob("hcl-snp-v*.bin"))),
    ("hcl-snp-genoa.trustee.bin", "hcl-snp-genoa.trustee.vcek.pem"),
    ("hcl-snp-milan-v2.trustee.bin", "hcl-snp-milan-v2.trustee.vcek-chain.pem"),
    ("hcl-tdx.trustee.bin", "hcl-tdx.trustee.td-quote.bin"),
    ("thim-milan.scitt.report.bin", "thim-milan.scitt.json"),
    ("../collateral/azure-thim-milan.report-v2.bin", "../collateral/azure-thim-milan.uvm_host_amd_certificate.json"),
]


@pytest.mark.parametrize(("evidence", "collateral"), GENUINE, ids=[row[0] for row in GENUINE])
def test_genuine_azure_evidence_verifies(evidence: str, collateral: str) -> None:
    data, vouching = (AZURE / evidence).read_bytes(), (AZURE / collateral).read_bytes()
    hcl = parse_hcl_report(data) if data.startswith(b"HCLA") else None
    if hcl is not None and hcl.platform == "TDX":
        # Checked through its quote (tests/verify/tdx): refused without it, saying how to give it.
        assert differing_fields(hcl.hardware_report, vouching) == ()
        with pytest.raises(VerificationError, match=r"give that quote \(--td-quote, or quote=\)"):
            verify(data, now=NOW)
        return
    result = verify(data, vouching, now=NOW)
    assert result.verified, [check for check in result.checks if not check.passed]
    assert (result.hcl is not None, "hcl" in {check.name for check in result.checks}) == (hcl is not None,) * 2
    if result.hcl is not None:
        assert (result.hcl.attestation_key_jwk or {}).get("kid") == "HCLAkPub"
        assert result.hcl.endorsement_key is not None and result.hcl.endorsement_key.key_size == 2048


_TEST_KEY = rsa.generate_private_key(public_exponent=65537, key_size=2048)


def _with_test_key() -> bytes:
    """An HCL report whose claims hold the test key as HCLAkPub (its `hcl` check fails: the claims changed)."""
    numbers = _TEST_KEY.public_key().public_numbers()
    n = base64.urlsafe_b64encode(numbers.n.to_bytes(256, "big")).rstrip(b"=").decode()
    return _hcl_with_claims(_jwk(n=n))


def _signed(message: bytes, scheme: int = 0x0014) -> TpmQuote:
    """`message` signed by the test key, as a TPMT_SIGNATURE of RSASSA (0x0014) or RSAPSS (0x0016) over SHA-256."""
    pad = padding.PKCS1v15() if scheme == 0x0014 else padding.PSS(padding.MGF1(hashes.SHA256()), 32)
    signature = _TEST_KEY.sign(message, pad, hashes.SHA256())
    return TpmQuote(message, struct.pack(">HHH", scheme, 0x000B, len(signature)) + signature, TPM_PCRS)


def _genuine(**changes: object) -> TpmQuote:
    given = {"message": TPM_MESSAGE, "signature": bytes.fromhex(TPM_QUOTE["signature"]), "pcrs": TPM_PCRS} | changes
    return TpmQuote(**given)  # type: ignore[arg-type]


# The HCL report, the vTPM quote given with it, the nonce expected, and the outcomes of the quote's checks.
TPM_QUOTES: list[tuple[str, Callable[[], bytes], Callable[[], object], str | None, tuple[str, str, str]]] = [
    ("genuine", lambda: MILAN_V2, lambda: TPM_QUOTE, "challenge", ("pass", "pass", "pass")),
    ("genuine as JSON", lambda: MILAN_V2, lambda: (AZURE / "tpm-quote-v1.trustee.json").read_bytes(),
     "hex:6368616c6c656e6765", ("pass", "pass", "pass")),
    ("another nonce", lambda: MILAN_V2, _genuine, "challenge2", ("pass", "pass", "fail")),
    ("no nonce expected", lambda: MILAN_V2, _genuine, None, ("pass", "pass", "skip")),
    ("one PCR changed", lambda: MILAN_V2, lambda: _genuine(pcrs=[*TPM_PCRS[:7], bytes(32), *TPM_PCRS[8:]]),
     "challenge", ("pass", "fail", "pass")),
    ("a value short of the selection", lambda: MILAN_V2, lambda: _genuine(pcrs=TPM_PCRS[:23]), "challenge",
     ("pass", "fail", "pass")),
    ("another HCL report's key", lambda: GENOA, _genuine, "challenge",
     ("fail", "pass", "pass")),
    ("the second genuine quote", lambda: MILAN_V2, lambda: TpmQuote(
        (AZURE / "tpm-quote.trustee.msg").read_bytes(), (AZURE / "tpm-quote.trustee.sig").read_bytes()), "challenge",
     ("fail", "skip", "pass")),
    ("signed by the test key", _with_test_key, lambda: _signed(TPM_MESSAGE), "challenge", ("pass", "pass", "pass")),
    ("RSAPSS", _with_test_key, lambda: _signed(TPM_MESSAGE, 0x0016), "challenge", ("pass", "pass", "pass")),
    # Signed as it is: only the selection's bank is another hash's.
    ("a SHA-1 bank", _with_test_key, lambda: _signed(_edit(TPM_MESSAGE, TPM_SELECTION + 4, b"\x00\x04")),
     "challenge", ("pass", "fail", "pass")),
]


@pytest.mark.parametrize(("hcl", "quote", "nonce", "outcomes"), [row[1:] for row in TPM_QUOTES],
                         ids=[row[0] for row in TPM_QUOTES])
def test_vtpm_quote(hcl: Callable[[], bytes], quote: Callable[[], object], nonce: str | None,
                    outcomes: tuple[str, str, str]) -> None:
    report = hcl()
    genoa = report == GENOA
    chain = (AZURE / "hcl-snp-genoa.trustee.vcek.pem").read_bytes() if genoa else MILAN_V2_CHAIN
    result = verify(report, chain, now=NOW, tpm_quote=quote(), tpm_nonce=nonce)
    found = tuple(result.check(name).result for name in ("tpm_signature", "tpm_pcrs", "tpm_nonce"))
    assert found == outcomes, [result.check(name).detail for name in ("tpm_signature", "tpm_pcrs", "tpm_nonce")]
    assert result.verified == (outcomes == ("pass",) * 3 and result.check("hcl").passed)
    if outcomes[1] == "pass":  # the values by index, as the quote selects them
        assert result.tpm_quote is not None and result.tpm_quote.pcrs[7] == TPM_PCRS[7]
    if nonce is not None:  # the nonce pinned by a policy appraising the verifier's result: the same verdict
        two_step = Policy.from_mapping({"azure": {"tpm_nonce": nonce}}).appraise(
            Verifier().verify(report, chain, now=NOW, tpm_quote=quote()))
        assert (two_step.verified, two_step.check("tpm_nonce")) == (result.verified, result.check("tpm_nonce"))


PCR7 = TPM_QUOTE["pcrs"][7]


@pytest.mark.parametrize(("rules", "quote", "outcome", "detail"), [
    ({"pcrs": {"7": [PCR7]}}, True, "pass", "PCR 7, each among its allowed values"),
    ({"pcrs": {7: ["00" * 32, PCR7.upper()]}}, True, "pass", "PCR 7, each among its allowed values"),
    ({"pcrs": {"7": ["00" * 32]}}, True, "fail", f"expected PCR 7 {'00' * 32}; found {PCR7}"),
    ({"pcrs": {"24": [PCR7]}}, True, "fail", "PCR 24 " + PCR7 + ", which the quote does not select"),
    ({"pcrs": {"7": [PCR7]}}, False, "fail", "no quote was given"),
    ({"require_tpm_quote": True}, False, "fail", "without one, the HCL report, made at boot, proves neither"),
], ids=["allowed", "one of the allowed", "another value", "not selected", "no quote", "quote required"])
def test_azure_policy_judges_the_quoted_pcrs(rules: dict[str, object], quote: bool, outcome: str, detail: str) -> None:
    result = verify(MILAN_V2, MILAN_V2_CHAIN, now=NOW, tpm_quote=TPM_QUOTE if quote else None,
                    policy={"azure": {"tpm_nonce": "challenge", **rules}})
    check = result.check(f"policy.azure.{next(iter(rules))}")
    assert (check.result, detail in check.detail, result.verified) == (outcome, True, outcome == "pass"), check.detail


def _edit(data: bytes, offset: int, new: bytes) -> bytes:
    return data[:offset] + new + data[offset + len(new):]


def _claims_at(data: bytes, old: bytes, new: bytes) -> bytes:
    return _edit(data, data.index(old, CLAIMS_OFFSET), new)


# Each edit of a genuine HCL report, the checks it fails and what `hcl` then says.
HCL_EDITS: list[tuple[str, Callable[[bytes], bytes], list[str], str]] = [
    # The claims changed after signing: the hardware report, untouched, still verifies.
    ("claims edited", lambda data: _claims_at(data, b'"user-data":"0', b'"user-data":"1'), ["hcl"],
     "SHA-256 of the runtime"),
    # The report data is signed: changing it fails the signature too.
    ("report data after the digest", lambda data: _edit(data, 0x20 + 0x50 + 32, b"\x01"), ["signature", "hcl"],
     "then zeros"),
    ("total size", lambda data: _edit(data, 8, struct.pack("<I", 2600)), ["hcl"], "a total size of 2346"),
    ("runtime data size", lambda data: _edit(data, 0x4C0, struct.pack("<I", 1131)), ["hcl"],
     "a runtime data size of 1130"),
    ("header version", lambda data: _edit(data, 4, struct.pack("<I", 3)), ["hcl"], "header version 1 or 2, not 3"),
]


@pytest.mark.parametrize(("edit", "failed", "expected"), [row[1:] for row in HCL_EDITS],
                         ids=[row[0] for row in HCL_EDITS])
def test_an_edited_hcl_report_fails_hcl(edit: Callable[[bytes], bytes], failed: list[str], expected: str) -> None:
    result = verify(edit(MILAN_V2), MILAN_V2_CHAIN, now=NOW)
    detail = result.check("hcl").detail
    assert ([check.name for check in result.failed], expected in detail) == (failed, True), detail


def test_a_tdreport_is_bound_to_its_quote_field_by_field() -> None:
    rtmr = 48 + 328  # in the quote: header, then the body's RTMRs
    other = _edit(TD_QUOTE, rtmr, bytes([TD_QUOTE[rtmr] ^ 1]))
    assert differing_fields(parse_hcl_report(TDX).hardware_report, other) == ("rtmrs",)
    tdx = parse_hcl_report(_edit(TDX, 0x20, b"\x00"))  # report type 4 around what is not a TDREPORT
    assert ("TDX TDREPORT" in hcl_check(tdx).detail, hcl_check(tdx).result) == (True, "fail")


def test_a_thim_tcbm_other_than_the_reported_tcb_fails_tcb() -> None:
    result = verify(THIM_REPORT, THIM.replace(b"DB18000000000004", b"DB19000000000004"), now=NOW)
    assert ([check.name for check in result.failed], "they differ in snp 25 vs 24" in result.check("tcb").detail) == (
        ["tcb"], True)


def _hcl_with_claims(claims: bytes) -> bytes:
    """A well-formed HCL report around the genuine hardware report, holding `claims`."""
    runtime = struct.pack("<5I", 20 + len(claims), 1, 2, 1, len(claims))
    return MILAN_V2[:0x4C0] + runtime + claims


def _jwk(**members: str) -> bytes:
    return json.dumps({"keys": [{"kid": "HCLAkPub", "kty": "RSA", "e": "AQAB", "n": "AQAB"} | members]}).encode()


# Input that is meant as an HCL report or a THIM payload but cannot be read: each a VerificationError.
MALFORMED: list[tuple[str, Callable[[bytes], object], bytes, str]] = [
    ("truncated", parse_hcl_report, MILAN_V2[:1000], "too short"),
    ("claims past the end", parse_hcl_report, _edit(MILAN_V2, 0x4D0, struct.pack("<I", 2000)), "run past"),
    ("hash type", parse_hcl_report, _edit(MILAN_V2, 0x4CC, struct.pack("<I", 9)), "hash type 9"),
    ("report type", parse_hcl_report, _edit(MILAN_V2, 0x4C8, struct.pack("<I", 3)), "report type 3"),
    ("claims a key twice", parse_hcl_report, _hcl_with_claims(b'{"keys":[],"keys":[]}'), "given twice"),
    ("claims nested deep", parse_hcl_report, _hcl_with_claims(b"[" * 10_000), "nested more than"),
    ("claims not JSON", parse_hcl_report, _hcl_with_claims(b"\xff{}"), "not UTF-8"),
    # Python reads them, but our --json output would then hold what no JSON parser reads.
    ("claims NaN", parse_hcl_report, _hcl_with_claims(b'{"a":NaN}'), "NaN is not a JSON value"),
    ("claims infinite", parse_hcl_report, _hcl_with_claims(b'{"a":1e999}'), "too large"),
    ("key not base64url", parse_hcl_report, _hcl_with_claims(_jwk(n="a+b/")), "not base64url"),
    ("key not RSA", parse_hcl_report, _hcl_with_claims(_jwk(kty="EC")), "expected an RSA key"),
    ("key unusable", parse_hcl_report, _hcl_with_claims(_jwk(n="AAAA")), "not a usable RSA public key"),
    ("huge", parse_hcl_report, MILAN_V2 + bytes(1 << 20), "more than the 65536"),
    ("no vcekCert", parse_thim_payload, THIM.replace(b'"vcekCert"', b'"vcek"'), "vcekCert: expected"),
    ("tcbm with 0x", parse_thim_payload, THIM.replace(b'"DB18000000000004"', b'"0xDB18000000000004"'), "tcbm"),
    ("THIM an array", parse_thim_payload, b"[" + THIM + b"]", "expected a JSON object"),
    ("TPMS_ATTEST truncated", parse_attestation, TPM_MESSAGE[:-1], "truncated: 121 bytes end inside the PCR digest"),
    ("TPMS_ATTEST padded", parse_attestation, TPM_MESSAGE + b"\0", "1 byte after its end at 122: padded"),
    ("TPMS_ATTEST of another type", parse_attestation, _edit(TPM_MESSAGE, 4, b"\x80\x17"),
     "type 0x8017, a certify attestation; expected a quote"),
    ("TPMS_ATTEST not the TPM's", parse_attestation, _edit(TPM_MESSAGE, 0, b"\x00"), "magic 0x00544347"),
    ("TPM signature over SHA-1", lambda data: parse_signature(data, 256),
     struct.pack(">HHH", 0x0014, 0x0004, 256) + bytes(256), "a signature over SHA-1; expected SHA-256"),
    ("TPM signature ECDSA", lambda data: parse_signature(data, 256), struct.pack(">HH", 0x0018, 0x000B) + bytes(70),
     r"signature algorithm ECDSA \(0x0018\); expected RSASSA"),
    ("TPM signature truncated", lambda data: parse_signature(data, 256),
     struct.pack(">HHH", 0x0014, 0x000B, 256) + bytes(255), "truncated"),
    ("TPM quote JSON not hex", TpmQuote.from_json, b'{"message": "ff5", "signature": "00"}', "message: not hex"),
    # No character, so no UTF-8 text holds it: the certificate read from it, our output, a file written.
    ("THIM a lone surrogate", parse_thim_payload, THIM.replace(b"-----BEGIN", b"-----BEGIN\\ud800", 1),
     "lone surrogate"),
]


@pytest.mark.parametrize(("parse", "data", "message"), [row[1:] for row in MALFORMED], ids=[row[0] for row in MALFORMED])
def test_unreadable_azure_evidence_is_bad_input(parse: Callable[[bytes], object], data: bytes, message: str) -> None:
    with pytest.raises(VerificationError, match=message):
        parse(data)
