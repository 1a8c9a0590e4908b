"""Evidence as Azure and the firmware hand it out: HCL reports, THIM payloads, extended reports, report text.

Genuine samples verify after unwrapping; each edit breaks the one thing that binds it; malformed input is
refused as bad input, never with another exception.
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

from quorvel_verify import Report, VerificationError, verify
from quorvel_verify.azure.hcl import CLAIMS_OFFSET, hcl_check, parse_hcl_report
from quorvel_verify.azure.tdreport import differing_fields
from quorvel_verify.azure.thim import parse_thim_payload, tcbm_difference
from quorvel_verify.sevsnp.extended import split_extended_report
from quorvel_verify.shapes import unwrap_certificates, unwrap_report

DATA = Path(__file__).parents[2] / "data"
AZURE = DATA / "azure"
NOW = datetime.datetime(2026, 6, 1, tzinfo=datetime.UTC)
MILAN_V2 = (AZURE / "hcl-snp-milan-v2.trustee.bin").read_bytes()
TDX = (AZURE / "hcl-tdx.trustee.bin").read_bytes()
TD_QUOTE = (AZURE / "hcl-tdx.trustee.td-quote.bin").read_bytes()
THIM = (AZURE / "thim-milan.scitt.json").read_bytes()
THIM_REPORT = (AZURE / "thim-milan.scitt.report.bin").read_bytes()

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
def test_genuine_azure_evidence_verifies_once_unwrapped(evidence: str, collateral: str) -> None:
    given = unwrap_report((AZURE / evidence).read_bytes())
    vouching = unwrap_certificates((AZURE / collateral).read_bytes())
    if given.hcl is not None:
        assert hcl_check(given.hcl).passed, hcl_check(given.hcl).detail
        assert (given.hcl.attestation_key_jwk or {}).get("kid") == "HCLAkPub"
        assert given.hcl.endorsement_key is not None and given.hcl.endorsement_key.key_size == 2048
    if given.hcl is not None and given.hcl.platform == "TDX":
        assert differing_fields(given.report, vouching.certificates) == ()
        return
    if vouching.thim is not None:
        decoded = Report.from_bytes(given.report)
        assert tcbm_difference(vouching.thim.tcbm, decoded.reported_tcb, decoded.turin) is None
    result = verify(given.report, vouching.certificates, now=NOW)
    assert result.verified, [check for check in result.checks if not check.passed]


def test_the_claims_attestation_key_verifies_the_vtpm_quote() -> None:
    # The JWK's modulus read in any other byte order or alphabet gives a key that the genuine quote refutes.
    quote = json.loads((AZURE / "tpm-quote-v1.trustee.json").read_text())
    key = parse_hcl_report(MILAN_V2).attestation_key
    assert key is not None
    key.verify(bytes.fromhex(quote["signature"]), bytes.fromhex(quote["message"]), padding.PKCS1v15(), hashes.SHA256())


def _edit(data: bytes, offset: int, new: bytes) -> bytes:
    return data[:offset] + new + data[offset + len(new):]


def _claims_at(data: bytes, old: bytes, new: bytes) -> bytes:
    return _edit(data, data.index(old, CLAIMS_OFFSET), new)


# Each edit of a genuine HCL report, and what `hcl` then says.
HCL_EDITS: list[tuple[str, Callable[[bytes], bytes], str]] = [
    # The claims changed after signing: the hardware report, untouched, still verifies.
    ("claims edited", lambda data: _claims_at(data, b'"user-data":"0', b'"user-data":"1'), "SHA-256 of the runtime"),
    ("report data after the digest", lambda data: _edit(data, 0x20 + 0x50 + 32, b"\x01"), "then zeros"),
    ("total size", lambda data: _edit(data, 8, struct.pack("<I", 2600)), "a total size of 2346"),
    ("runtime data size", lambda data: _edit(data, 0x4C0, struct.pack("<I", 1131)), "a runtime data size of 1130"),
    ("header version", lambda data: _edit(data, 4, struct.pack("<I", 3)), "header version 1 or 2, not 3"),
]


@pytest.mark.parametrize(("edit", "expected"), [row[1:] for row in HCL_EDITS], ids=[row[0] for row in HCL_EDITS])
def test_an_edited_hcl_report_fails_hcl(edit: Callable[[bytes], bytes], expected: str) -> None:
    check = hcl_check(parse_hcl_report(edit(MILAN_V2)))
    assert (check.result, expected in check.detail) == ("fail", True), check.detail


def test_a_tdreport_is_bound_to_its_quote_field_by_field() -> None:
    rtmr = 48 + 328  # in the quote: header, then the body's RTMRs
    other = _edit(TD_QUOTE, rtmr, bytes([TD_QUOTE[rtmr] ^ 1]))
    assert differing_fields(parse_hcl_report(TDX).hardware_report, other) == ("rtmrs",)
    tdx = parse_hcl_report(_edit(TDX, 0x20, b"\x00"))  # report type 4 around what is not a TDREPORT
    assert ("TDX TDREPORT" in hcl_check(tdx).detail, hcl_check(tdx).result) == (True, "fail")


def test_a_thim_tcbm_other_than_the_reported_tcb_is_named_by_component() -> None:
    thim = parse_thim_payload(THIM.replace(b"DB18000000000004", b"DB19000000000004"))
    report = Report.from_bytes(THIM_REPORT)
    assert "they differ in snp 25 vs 24" in (tcbm_difference(thim.tcbm, report.reported_tcb, report.turin) or "")


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
    ("key not base64url", parse_hcl_report, _hcl_with_claims(_jwk(n="a+b/")), "not base64url"),
    ("key not RSA", parse_hcl_report, _hcl_with_claims(_jwk(kty="EC")), "expected an RSA key"),
    ("key unusable", parse_hcl_report, _hcl_with_claims(_jwk(n="AAAA")), "not a usable RSA public key"),
    ("huge", parse_hcl_report, MILAN_V2 + bytes(1 << 20), "more than the 65536"),
    ("no vcekCert", parse_thim_payload, THIM.replace(b'"vcekCert"', b'"vcek"'), "vcekCert: expected"),
    ("tcbm with 0x", parse_thim_payload, THIM.replace(b'"DB18000000000004"', b'"0xDB18000000000004"'), "tcbm"),
    ("THIM an array", parse_thim_payload, b"[" + THIM + b"]", "expected a JSON object"),
]


@pytest.mark.parametrize(("parse", "data", "message"), [row[1:] for row in MALFORMED], ids=[row[0] for row in MALFORMED])
def test_unreadable_azure_evidence_is_bad_input(parse: Callable[[bytes], object], data: bytes, message: str) -> None:
    with pytest.raises(VerificationError, match=message):
        parse(data)


# A report as the firmware and APIs hand it out, and how it reads: report text in each encoding, unpadded
# base64url among them (what `base64 -d` refuses), and hex, whose digits are base64 symbols too.
REPORT = THIM_REPORT
TEXTS = [
    ("hex", REPORT.hex().encode() + b"\n", "hex", REPORT),
    ("base64 of no report", base64.b64encode(REPORT[:-1]) + b"\n", None, None),  # left for the report's reader
    ("base64url unpadded", base64.urlsafe_b64encode(REPORT).rstrip(b"="), "base64url", REPORT),
    ("base64 wrapped", b"\n".join(base64.encodebytes(REPORT).splitlines()), "base64", REPORT),
    ("HCL report in base64url", base64.urlsafe_b64encode(TDX), "base64url", TDX[0x20:0x20 + 1024]),
]


@pytest.mark.parametrize(("text", "encoding", "report"), [row[1:] for row in TEXTS], ids=[row[0] for row in TEXTS])
def test_report_text_decodes_under_the_encoding_that_gives_a_report(
    text: bytes, encoding: str | None, report: bytes | None
) -> None:
    given = unwrap_report(text)
    assert (given.encoding, given.report) == (encoding, report or text)


def test_an_extended_report_splits_into_a_report_and_its_certificate_table() -> None:
    report = (DATA / "collateral" / "certtable-milan-v3.evcli.report.bin").read_bytes()
    table = (DATA / "collateral" / "certtable-milan-v3.evcli.bin").read_bytes()
    split = split_extended_report(report + table)
    assert verify(split[0], certificate_table=split[1], now=NOW).verified
    with pytest.raises(VerificationError, match="no entry of one starts at byte 1184"):
        split_extended_report(report + bytes(len(table)))

