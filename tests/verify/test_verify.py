"""quorvel_verify.verify and quorvel-verify: genuine evidence verifies; each fault fails the check it breaks.

The `revocation` check is judged with lists made for the test chain (refusals) and with AMD's genuine lists.
"""

from __future__ import annotations

import base64
import dataclasses
import datetime
import functools
import hashlib
import itertools
import io
import json
import os
import struct
import subprocess
import sys
import threading
import uuid
import warnings
from collections.abc import Callable
from pathlib import Path
from urllib.parse import parse_qsl, urlsplit

import pytest
from cryptography import x509
from cryptography.hazmat.asn1 import decode_der
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding
from cryptography.utils import CryptographyDeprecationWarning

import amd_test_pki as pki
import report_builder as rb
from quorvel_verify import Check, Policy, Report, VerificationError, Verifier, verify
from quorvel_verify.sevsnp.evidence import load_certificates
from quorvel_verify.sevsnp.revocation import check_revocation

REPORT, VCEK = pki.genuine_pair()
ASK, ARK = (pki.to_pem(certificate) for certificate in load_certificates(pki.pinned_pem("Milan")))
GENUINE = sorted((pki.DATA / "reports").glob("*.bin")) + sorted((pki.DATA / "reports-more").glob("*.bin"))

# Every genuine certificate is valid then but one VLEK, which expired on 2025-12-10.
NOW = datetime.datetime(2026, 6, 1, tzinfo=datetime.UTC)
EXPIRED = {"milan-v3-trustee-vlek"}
# A genuine guest that allows debugging; the default policy refuses it.
DEBUG_ALLOWED = {"milan-v2-gosevguest"}

CORE = ("report", "chain", "validity", "key", "signature", "chip", "tcb", "product")

SIGNATURE_ALGO = 0x034
KEY_INFO = 0x048
RESERVED_TCB_BYTE = 0x182
DEBUG_BIT = 1 << 19


def kds_address_of(certificate: bytes, product: str) -> tuple[str, dict[str, str]]:
    """Where the KDS serves this VCEK, read from its own hwID and patch-level extensions."""
    (cert,) = load_certificates(certificate)

    def extension(oid: str) -> bytes:
        value = cert.extensions.get_extension_for_oid(x509.ObjectIdentifier(oid)).value
        return value.value  # type: ignore[attr-defined,no-any-return]

    query = {name: str(decode_der(int, extension(oid))) for name, oid in pki.SPL_OIDS.items()
             if name != "fmcSPL" or product == "Turin"}
    return f"https://kdsintf.amd.com/vcek/v1/{product}/{extension(pki.HW_ID).hex()}", query


@pytest.mark.parametrize("path", GENUINE, ids=lambda path: path.stem)
def test_genuine_report_verifies_with_its_certificate(path: Path) -> None:
    name, raw, certificate = path.stem, path.read_bytes(), path.with_suffix(".vcek.pem").read_bytes()
    result = verify(raw, certificate, policy=Policy(allow_debug=name in DEBUG_ALLOWED), now=NOW)
    product = name.split("-")[0].capitalize()
    with warnings.catch_warnings():
        # Warnings as errors, set after the package's loads began (python -W error, a strict test runner): AMD's
        # serial number 0 still loads.
        warnings.simplefilter("error")
        assert len(load_certificates(certificate)) == 1
    vlek = "vlek" in name
    masked = raw[rb.CHIP_ID:rb.CHIP_ID + 64] == bytes(64)
    expected = dict.fromkeys(CORE, "pass") | {"revocation": "skip", "policy.allow_debug": "pass"} | {
        check: outcome for check, outcome, holds in (("chip", "skip", vlek or masked), ("product", "skip", raw[0] == 2),
                                                    ("validity", "fail", name in EXPIRED))
        if holds}
    outcomes = {check.name: check.result for check in result.checks}
    assert (outcomes, result.product, result.key_kind, result.signed_digest) == (
        expected, product, "VLEK" if vlek else "VCEK", hashlib.sha384(raw[:0x2A0]).hexdigest())
    # The address is built from the report; the certificate it serves says what it must be.
    url = urlsplit(result.kds_url or "")  # none for a VLEK
    assert (url._replace(query="").geturl(), dict(parse_qsl(url.query))) == (
        ("", {}) if vlek else kds_address_of(certificate, product))


def test_bundled_chain_is_checked_when_first_needed(monkeypatch: pytest.MonkeyPatch) -> None:
    """AMD's six bundled chains are checked one by one as leaves need them: a Genoa VCEK checks the Genoa VCEK
    chain alone (two RSA verifications, not twelve), and a bundled chain that fails its check is still refused."""
    from quorvel_verify.sevsnp import chains

    checked: list[str] = []
    parse_chains = chains.parse_chains
    monkeypatch.setattr(chains, "parse_chains", lambda pem, source: checked.append(source) or parse_chains(pem, source))
    monkeypatch.setattr(chains, "bundled", functools.cache(chains.bundled.__wrapped__))
    path = pki.DATA / "reports" / "genoa-v5-oak.bin"
    raw, certificate = path.read_bytes(), path.with_suffix(".vcek.pem").read_bytes()
    assert Policy().appraise(Verifier().verify(raw, certificate, now=NOW)).verified
    Verifier().verify(raw, certificate, now=NOW)
    assert checked == ["ask_ark_genoa.pem"]
    monkeypatch.setattr(chains, "bundled", functools.cache(chains.bundled.__wrapped__))
    monkeypatch.setattr(chains, "signed_by", lambda child, parent: False)
    with pytest.raises(VerificationError, match=r"^ask_ark_genoa\.pem: ARK-Genoa is not signed by itself "):
        Verifier().verify(raw, certificate, now=NOW)


def setter(offset: int, value: int) -> Callable[[bytearray], object]:
    """Sets the 32-bit field at `offset`."""
    return lambda report: rb.put_u32(report, offset, value)


def flip(offset: int) -> Callable[[bytearray], None]:
    def change(report: bytearray) -> None:
        report[offset] ^= 0x55
    return change


TEMPLATE = {"Milan": "milan-v3-oak", "Turin": "turin-v5-oak"}
P256 = ec.generate_private_key(ec.SECP256R1())
PAST = datetime.datetime(2020, 1, 1, tzinfo=datetime.UTC)
# The test chain is made valid from a day before the test runs.
TODAY = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
REVOKED_SINCE = (TODAY - datetime.timedelta(days=1)).strftime("%Y-%m-%d %H:%M:%S UTC")
NOT_SIGNED = "expected the signature at 0x2a0 to verify over bytes 0x000-0x29f as given, with the key of SEV-VCEK; " \
    "it does not"
NOT_SIGNED_BY_PINNED = "expected the certificate to be signed by a pinned intermediate that signs VCEKs (SEV-Milan, " \
    "SEV-Turin); its issuer is CN=SEV-Milan,O=Advanced Micro Devices,ST=CA,L=Santa Clara,C=US,OU=Engineering"
# The signature algorithm that AMD's VCEKs declare: RSASSA-PSS, SHA-384, MGF1 with SHA-384, salt 48.
AMD_DECLARED = pki.declared_algorithm(load_certificates(VCEK)[0])
CRL_NOT_SIGNED = "expected a list signed by ARK-Milan (RSASSA-PSS, SHA-384); its signature does not verify"


def refusal(
    name: str, failed: list[str], detail: str | None = None, *, product: str = "Milan", signer: str = "VCEK",
    before: Callable[[bytearray], object] | None = None, after: Callable[[bytearray], object] | None = None,
    policy: Policy | None = None, crl: dict[str, object] | None = None, **issue: object,
) -> object:
    """A row: a genuine report of `product`, changed `before` signing; the test chain (`signer`: "VCEK",
    "VLEK" or "Turin VCEK") and a leaf issued with `issue` sign it (`signer_key`: the key that signs the
    leaf; `bundle`: AMD's pinned ASK given with the leaf); changed `after` (returning the report to
    verify, or None); verified with `policy` and a list of the test chain's root made with `crl`. Then
    the checks that fail and the detail of the first of them."""
    return pytest.param(product, before, signer, issue, after, policy, crl, failed, detail, id=name)


REFUSALS = [
    refusal("report-signature-algorithm", ["report"], "the report names signature algorithm 2 (expected 1, "
            "ECDSA P-384 with SHA-384)", before=setter(SIGNATURE_ALGO, 2)),
    refusal("report-signing-key", ["report"], "the report names signing key 7 (expected 0, a VCEK, or 1, a VLEK)",
            before=setter(KEY_INFO, 7 << 2)),
    refusal("chain-impostor-signer", ["chain"], NOT_SIGNED_BY_PINNED, signer_key=pki.rsa_key("impostor")),
    # The pinned intermediate's own key, with a salt of 32 bytes rather than AMD's 48, declaring AMD's.
    refusal("chain-salt-32", ["chain"], NOT_SIGNED_BY_PINNED,
            rsa_padding=padding.PSS(padding.MGF1(hashes.SHA384()), 32), declared=AMD_DECLARED),
    # Signed as AMD signs; declaring another algorithm, which the signature does not cover: a second encoding.
    *(refusal(f"chain-declares-{name}", ["chain"], "expected the certificate to declare AMD's signature algorithm "
              f"(RSASSA-PSS, SHA-384, MGF1 with SHA-384, salt 48); it declares {shown}", declared=declared)
      for name, declared, shown in (
          ("salt-32", AMD_DECLARED[:-1] + b"\x20", "rsassaPss with other parameters"),
          ("pkcs1", bytes.fromhex("300d06092a864886f70d01010c0500"), "sha384WithRSAEncryption"))),
    refusal("chain-untrusted-intermediate-in-input", ["chain"], "expected the given SEV-Milan to be the pinned "
            "SEV-Milan <- ARK-Milan of the Milan VCEK chain; it is not pinned", bundle=True),
    # A VLEK-signed report given a VCEK: the report's field decides, not the certificate.
    refusal("chain-vlek-report-with-vcek", ["chain", "key"], "expected a VLEK, as the report's signing-key field "
            "says; the certificate is signed by SEV-Milan, which signs VCEKs", before=setter(KEY_INFO, 1 << 2)),
    refusal("validity-expired", ["validity"], f"expected SEV-VCEK to be valid at {TODAY.isoformat()}; it is valid "
            "from 2020-01-01T00:00:00+00:00 to 2020-12-31T00:00:00+00:00",
            not_before=PAST, not_after=PAST + datetime.timedelta(days=365)),
    refusal("key-subject", ["key"], "expected subject SEV-VCEK, as the report's signing-key field says, not SEV-VLEK",
            common_name="SEV-VLEK"),
    refusal("key-p256", ["key"], "expected an ECDSA P-384 key, not an ECDSA secp256r1 key", key=P256),
    refusal("key-product-name", ["key"], "expected the product name of Milan, as the report says, not Genoa",
            product_name="Genoa"),
    refusal("key-vcek-without-hwid", ["key"], "expected a hwID extension, as a VCEK has", omit=[pki.HW_ID]),
    refusal("key-vlek-with-hwid", ["key"], "expected no hwID extension, as a VLEK has none",
            before=setter(KEY_INFO, 1 << 2), signer="VLEK", hw_id=bytes(64)),
    refusal("key-certificate-authority", ["key"], "expected a leaf that signs no certificates, not one with CA=true "
            "and keyCertSign", extra=[x509.BasicConstraints(ca=True, path_length=None), x509.KeyUsage(
                True, False, False, False, False, key_cert_sign=True, crl_sign=False, encipher_only=False,
                decipher_only=False)]),
    refusal("key-unknown-critical-extension", ["key"], "expected no critical extension unknown to the verifier, not "
            "1.2.3.4", critical=[x509.UnrecognizedExtension(x509.ObjectIdentifier("1.2.3.4"), b"")]),
    refusal("signature-report-data-changed", ["signature"], NOT_SIGNED, after=flip(rb.REPORT_DATA)),
    # The decoder reads reserved TCB bytes as zero; the signature covers them as given.
    refusal("signature-reserved-tcb-byte-changed", ["signature"], NOT_SIGNED, after=flip(RESERVED_TCB_BYTE)),
    refusal("signature-reserved-tcb-byte-signed", [], before=flip(RESERVED_TCB_BYTE)),
    refusal("chip-other-chip", ["chip"], "expected the chip id to be the certificate's hwID "
            + bytes(range(64, 128)).hex(), chip_id=bytes(range(64, 128))),
    refusal("chip-turin", ["chip"], "expected the chip id to be the certificate's hwID 0203040506070809 followed by "
            "zeros", product="Turin", hw_id=bytes(range(2, 10))),
    # A VCEK-signed report whose chip id the host masked (MASK_CHIP_ID).
    refusal("chip-masked-vcek", [], before=lambda r: (rb.put(r, rb.CHIP_ID, bytes(64)), setter(KEY_INFO, 0b10)(r)),
            chip_id=bytes(range(1, 65))),
    refusal("tcb-snp", ["tcb"], "expected the certificate's patch levels to be the reported TCB blSPL=4 teeSPL=0 "
            "snpSPL=24 ucodeSPL=219; they are blSPL=4 teeSPL=0 snpSPL=23 ucodeSPL=219 (in the certificate: snpSPL is 23, "
            "needs 24)",
            spls={"blSPL": 4, "teeSPL": 0, "snpSPL": 23, "ucodeSPL": 219}),
    refusal("tcb-turin-fmc", ["tcb"], "expected the certificate's patch levels to be the reported TCB fmcSPL=0 "
            "blSPL=1 teeSPL=0 snpSPL=2 ucodeSPL=71; they are fmcSPL=1 blSPL=1 teeSPL=0 snpSPL=2 ucodeSPL=71 (in the "
            "certificate: fmcSPL is 1, needs 0)",
            product="Turin", spls={"fmcSPL": 1, "blSPL": 1, "teeSPL": 0, "snpSPL": 2, "ucodeSPL": 71}),
    # A Milan report with a VCEK of the Turin chain that claims to be Milan's.
    refusal("product", ["product"], "expected the CPUID to name Turin, the chain's product line; family 0x19 model "
            "0x01 is Milan", signer="Turin VCEK", product_name="Milan-B0",
            hw_id=pki.chip_id_of(rb.genuine("milan-v3-oak"))),
    # The certificate of another product line: the KDS address still follows the report's CPUID.
    refusal("product-other-line-certificate", ["key", "chip", "product"], "expected the product name of Milan, as "
            "the report says, not Turin", signer="Turin VCEK"),
    # Lists that the test chain's root signs, or seems to.
    refusal("revocation-intermediate-revoked", ["revocation"], "expected SEV-Milan (serial 0x10001) not to be "
            f"revoked; ARK-Milan's list revokes it since {REVOKED_SINCE}", crl={"revoked": [0x10001]}),
    refusal("revocation-leaf-revoked", ["revocation"], "expected SEV-VCEK (serial 0x1) not to be revoked; "
            f"ARK-Milan's list revokes it since {REVOKED_SINCE}", crl={"revoked": [1]}),
    refusal("revocation-required-and-given-in-pem", [], policy=Policy(require_revocation=True),
            crl={"revoked": [7], "encoding": serialization.Encoding.PEM}),
    # Past its next update two days ago: current within the policy's grace of three days.
    refusal("revocation-late-list-within-grace", [], policy=Policy(crl_grace_period=3),
            crl={"now": TODAY - datetime.timedelta(days=3)}),
    # Its next update plus the grace lies past the last representable instant.
    refusal("revocation-next-update-9999-with-grace", [], policy=Policy(crl_grace_period=1),
            crl={"until": datetime.datetime(9999, 12, 31, tzinfo=datetime.UTC)}),
    refusal("revocation-required", ["revocation"], "expected a revocation list, which the policy requires; none was "
            "given", policy=Policy(require_revocation=True)),
    refusal("revocation-list-of-another-key", ["revocation"], CRL_NOT_SIGNED,
            crl={"signer": pki.rsa_key("impostor")}),
    refusal("revocation-root-key-pkcs1", ["revocation"], CRL_NOT_SIGNED, crl={"rsa_padding": padding.PKCS1v15()}),
    # Absence from these lists proves nothing: each must fail, though its root signed it.
    refusal("revocation-delta-list", ["revocation"], "expected a complete list; this one is a delta list on list #1",
            crl={"extensions": [x509.DeltaCRLIndicator(1)]}),
    refusal("revocation-end-entity-list", ["revocation"], "expected a list of every certificate its root revokes; its "
            "issuing distribution point narrows it",
            crl={"extensions": [x509.IssuingDistributionPoint(None, None, True, False, None, False, False)]}),
    refusal("revocation-unknown-critical-extension", ["revocation"], "expected a list without unknown critical "
            "extensions; this one has 1.3.6.1.4.1.3704.99",
            crl={"extensions": [x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.3704.99"), b"")]}),
    refusal("policy-debug-by-default", ["policy.allow_debug"], "expected a guest policy that forbids debugging; "
            "report has guest policy 0xb0000, which allows it", before=setter(rb.POLICY, 0x30000 | DEBUG_BIT)),
    # A Report whose fields were changed by hand: the policy judges the signed bytes.
    refusal("policy-judges-the-signed-bytes", ["policy.vmpl"], "expected VMPL 1; report has VMPL 0",
            after=lambda r: dataclasses.replace(Report.from_bytes(r), vmpl=1), policy=Policy(vmpl=[1])),
]


@pytest.mark.parametrize("product, before, signer, issue, after, policy, crl, failed, detail", REFUSALS)
def test_refusal(product, before, signer, issue, after, policy, crl, failed, detail) -> None:
    report = bytearray(rb.genuine(TEMPLATE[product]))
    if before is not None:
        before(report)
    chain_product, _, key_kind = signer.rpartition(" ")
    authority = pki.authority(chain_product or product, key_kind)
    issue = dict(issue)
    bundle = ASK if issue.pop("bundle", False) else b""  # AMD's pinned ASK, which signs no leaf of the test chain
    leaf = authority.issue_for(report, signer=issue.pop("signer_key", None), **issue)
    signed = bytearray(leaf.sign(report))
    changed = after(signed) if after is not None else None  # the report to verify, or None: `signed`
    chains = [pki.authority(*chain).chain_pem for chain in (("Milan", "VCEK"), ("Milan", "VLEK"), ("Turin", "VCEK"))]
    given = authority.crl(**{"now": TODAY} | crl) if crl is not None else None
    result = verify(changed or bytes(signed), leaf.pem + bundle, chains=chains, policy=policy, now=TODAY, crl=given)
    # One appraisal: the two-step form gives the same result, the policy's revocation settings included.
    evidence = Verifier(chains=chains).verify(changed or bytes(signed), leaf.pem + bundle, now=TODAY, crl=given)
    assert (policy or Policy()).appraise(evidence) == result
    assert ([check.name for check in result.failed], result.verified) == (failed, not failed)
    assert detail is None or result.failed[0].detail == detail
    assert result.kds_url is None or f"/vcek/v1/{product}/" in result.kds_url


def collateral(name: str) -> bytes:
    return (pki.DATA / "collateral" / name).read_bytes()


DAY = datetime.timedelta(days=1)


def holding_serial(serial: int, common_name: str) -> x509.Certificate:
    """A certificate of no authority that carries `serial`: what a CRL looks up is the serial alone."""
    key = ec.generate_private_key(ec.SECP384R1())
    start = datetime.datetime(2020, 1, 1, tzinfo=datetime.UTC)
    return (
        x509.CertificateBuilder()
        .subject_name(pki.amd_name(common_name)).issuer_name(pki.amd_name(common_name)).public_key(key.public_key())
        .serial_number(serial).not_valid_before(start).not_valid_after(start + 10000 * DAY)
        .sign(key, hashes.SHA384())
    )


def when(crl_file: str, moment: str) -> datetime.datetime:
    crl = x509.load_der_x509_crl(collateral(crl_file))
    return {"inside": crl.last_update_utc + DAY, "before": crl.last_update_utc - datetime.timedelta(seconds=1),
            "after": crl.next_update_utc + datetime.timedelta(seconds=1)}[moment]


def genuine_crl_rows():
    """AMD's genuine lists checked against AMD's chains: (list, product line, serial of a stand-in intermediate,
    moment, grace in days, failure)."""
    for crl in sorted(path.name for path in (pki.DATA / "collateral").glob("crl-*.der")):
        issuer = crl.split("-")[1].capitalize()
        for product in ("Milan", "Genoa", "Turin"):
            expected = None if product == issuer else (
                f"expected ARK-{product}'s list; this one is issued by ARK-{issuer}, the root of another product line "
                f"({issuer})"
            )
            yield pytest.param(crl, product, None, "inside", 0, expected, id=f"{crl} against ARK-{product}")
    milan = "crl-milan-vcek-n9-2026-06-22.atakit.der"
    yield pytest.param(milan, "Milan", None, "after", 0, "expected a list current at 2026-08-08 00:00:01 UTC; this "
                       "one's next update was 2026-08-08 00:00:00 UTC", id="after nextUpdate")
    yield pytest.param(milan, "Milan", None, "after", 1, None, id="after nextUpdate, within a day's grace")
    yield pytest.param(milan, "Milan", None, "before", 0, "expected a list issued by 2026-06-22 05:53:51 UTC; this "
                       "one is from 2026-06-22 05:53:52 UTC", id="before thisUpdate")
    for crl, revoked_at in (("crl-genoa-vcek-n2-2022-10-31.steward.der", "13:34:46"),
                            ("crl-genoa-vcek-n4-2024-10-23.openpcc.der", "12:00:00")):
        yield pytest.param(crl, "Genoa", 0x020001, "inside", 0, "expected SEV-Genoa (serial 0x20001) not to be "
                           f"revoked; ARK-Genoa's list revokes it since 2022-10-31 {revoked_at} UTC",
                           id=f"{crl} revokes serial 0x020001")


@pytest.mark.parametrize("crl, product, intermediate_serial, moment, grace_days, failure", list(genuine_crl_rows()))
def test_genuine_crl(crl, product, intermediate_serial, moment, grace_days, failure):
    ask, ark = x509.load_pem_x509_certificates(pki.pinned_pem(product))
    if intermediate_serial is not None:
        ask = holding_serial(intermediate_serial, f"SEV-{product}")
    check = check_revocation(collateral(crl), ark=ark, intermediate=ask, leaf=None, now=when(crl, moment),
                             grace=grace_days * DAY)
    if failure is None:
        assert check.result == "pass", check.detail
        assert check.detail.endswith(f"revokes neither SEV-{product} (serial {ask.serial_number:#x})")
    else:
        assert check == Check("revocation", "fail", failure)


def table(entries: list[tuple[str, bytes]], guid_order: str = "bytes") -> bytes:
    """A certificate table of these (GUID, certificate) entries, ended by an all-zero entry."""
    offset = 24 * (len(entries) + 1)
    head, body = b"", b""
    for guid, certificate in entries:
        head += getattr(uuid.UUID(guid), guid_order) + struct.pack("<II", offset + len(body), len(certificate))
        body += certificate
    return head + bytes(24) + body


def der_of(pem: bytes) -> bytes:
    return b"".join(c.public_bytes(serialization.Encoding.DER) for c in load_certificates(pem))


def vcek_changed(old: str, new: str) -> bytes:
    """The genuine VCEK in DER with its first bytes `old` (hex) made `new`; no signature is checked on loading."""
    der = der_of(VCEK)
    assert bytes.fromhex(old) in der
    return der.replace(bytes.fromhex(old), bytes.fromhex(new), 1)


def table_of_one(entries: int) -> bytes:
    """A certificate table whose `entries` VCEK entries all point at one PEM."""
    offset = 24 * (entries + 1)
    return (uuid.UUID(VCEK_GUID).bytes + struct.pack("<II", offset, len(VCEK))) * entries + bytes(24) + VCEK


VCEK_GUID = "63da758d-e664-4564-adc5-f4b93be8accd"
ASK_GUID = "4ab7b379-bbac-4fe4-a02f-05aef327c782"
MALFORMED = [x509.UnrecognizedExtension(x509.oid.ExtensionOID.KEY_USAGE, b"\x04\x00")]
DUPLICATE = "an extension appears twice"
NOT_DER = "not a certificate in PEM or DER: its DER encoding (or that of one of its parts, such as an extension) is " \
    "malformed"


# Each row: what replaces the genuine Milan report and its VCEK (PEM) as verify's arguments; then None
# where it verifies, else the VerificationError's message.
@pytest.mark.parametrize(
    "arguments, refused",
    [
        pytest.param(lambda: {"certificate": der_of(VCEK)}, None, id="der"),
        pytest.param(lambda: {"certificate": ARK + VCEK + ASK}, None, id="bundle-in-any-order"),
        # DER entries, GUIDs in EFI's mixed-endian order.
        pytest.param(lambda: {"certificate": None, "certificate_table": table(
            [(ASK_GUID, der_of(ASK)), (VCEK_GUID, der_of(VCEK))], "bytes_le")}, None, id="table-of-der-with-efi-guids"),
        *(pytest.param(lambda name=name: {"report": collateral(f"{name}.report.bin"), "certificate": None,
                                          "certificate_table": collateral(f"{name}.bin")}, None, id=f"table-{name}")
          for name in ("certtable-genoa-v3.veraison", "certtable-milan-v3.evcli")),
        # Report text is decoded, under the encoding whose bytes are a report.
        pytest.param(lambda: {"report": base64.urlsafe_b64encode(REPORT).rstrip(b"=")}, None, id="base64url"),
        pytest.param(lambda: {"report": REPORT.hex().encode() + b"\n"}, None, id="hex"),
        pytest.param(lambda: {"certificate": VCEK.decode()}, None, id="pem-str"),
        pytest.param(lambda: {"report": base64.urlsafe_b64encode((pki.DATA / "azure" / "hcl-snp-genoa.trustee.bin")
                                                                 .read_bytes()),
                              "certificate": (pki.DATA / "azure" / "hcl-snp-genoa.trustee.vcek.pem").read_bytes()},
                     None, id="hcl-report-in-base64url"),
        pytest.param(lambda: {"quote": (pki.DATA / "azure" / "hcl-tdx.trustee.td-quote.bin").read_bytes()},
                     "quote: a TDX quote is for an HCL report around a TDX TDREPORT; the evidence is an SEV-SNP report",
                     id="td-quote-for-a-report"),
        pytest.param(lambda: {"report": b"0x" + REPORT.hex().encode()}, "report: this is a report written as hex "
                     "text after a 0x prefix: leave out the 0x", id="hex-after-0x"),
        pytest.param(lambda: {"report": struct.pack("<II", 0, 1184) + bytes(24) + REPORT + bytes(4000 - 1216)},
                     "report: this is a firmware response (status 0) with its 32-byte header before the report: the "
                     "report is bytes 0x20-0x4bf", id="firmware-response"),
        pytest.param(lambda: {"report": REPORT + table([(VCEK_GUID, VCEK)]), "certificate": None}, None,
                     id="report-and-table"),
        pytest.param(lambda: {"report": REPORT + table([(VCEK_GUID, VCEK)]), "certificate_table": table(
            [(VCEK_GUID, VCEK)])}, "certificate_table: the report is followed by its own certificate table: give one "
            "or the other", id="two-tables"),
        pytest.param(lambda: {"report": VCEK, "certificate": REPORT}, "report: this is a certificate, not a report: "
                     "were the report and the certificate given in swapped order?", id="swapped"),
        pytest.param(lambda: {"certificate": REPORT}, "certificate: this is a report, not a certificate: were the "
                     "report and the certificate given in swapped order?", id="report-as-certificate"),
        pytest.param(lambda: {"report": table([(VCEK_GUID, VCEK)]), "certificate": REPORT}, "report: this is a "
                     "certificate table, not a report: were the report and the certificate table given in swapped "
                     "order?", id="table-as-report"),
        pytest.param(lambda: {"report": (pki.DATA / "azure" / "thim-milan.scitt.json").read_bytes()}, "report: this is "
                     "Azure's THIM payload, the certificates, not a report: were the report and the certificate given "
                     "in swapped order?", id="thim-as-report"),
        pytest.param(lambda: {"certificate": None}, "no certificate: give the VCEK or VLEK, or the certificate table "
                     "that holds it", id="no-certificate"),
        pytest.param(lambda: {"certificate": ASK + ARK}, "certificate: no VCEK or VLEK among the certificates given "
                     "(SEV-Milan, ARK-Milan)", id="chain-without-leaf"),
        # Arguments of the wrong type are refused naming the argument, never judged as something else.
        pytest.param(lambda: {"chains": "x"}, "chains: expected PEM bytes or a sequence of them, got str", id="chains-str"),
        pytest.param(lambda: {"chains": [None]}, "chains[0]: expected PEM bytes, got NoneType", id="chains-none"),
        pytest.param(lambda: {"crl": 10**6}, "crl: expected the revocation list's bytes (DER or PEM), got int", id="crl-int"),
        pytest.param(lambda: {"policy": {"vmpl": [0]}}, None, id="policy-mapping"),
        pytest.param(lambda: {"policy": {"vmpl": [4]}}, "vmpl[0]: expected an integer from 0 to 3, got the "
                     "integer 4", id="policy-mapping-malformed"),
        pytest.param(lambda: {"certificate": None, "certificate_table": uuid.UUID(VCEK_GUID).bytes + struct.pack(
            "<II", 24, len(VCEK)) + VCEK}, "certificate table: not a certificate table: no all-zero entry ends its "
            "entries", id="table-without-its-end"),
        # In this package's words: the module's text is the error's detail.
        pytest.param(lambda: {"report": REPORT[:-1]}, "report: not an attestation report: 1183 bytes, where a report "
                     "is 1184", id="short"),
        pytest.param(lambda: {"report": bytes(rb.v2_masked())}, "report: not an attestation report: a version-2 "
                     "report whose chip id is masked, so its processor generation cannot be told (versions 3 and "
                     "later carry the CPUID)", id="version-2-masked-chip-id"),
        # A malformed extension is read only when asked for: refused on loading, not in a check.
        pytest.param(lambda: {"certificate": pki.authority().issue(extra=MALFORMED).pem}, f"certificate: {NOT_DER}",
                     id="malformed-certificate-extension"),
        pytest.param(lambda: {"crl": pki.authority().crl(extensions=[x509.UnrecognizedExtension(
            x509.oid.ExtensionOID.DELTA_CRL_INDICATOR, b"\x04\x00")])},
            f"revocation list: {NOT_DER.replace('a certificate', 'a CRL').replace('PEM or DER', 'DER or PEM')}",
            id="malformed-crl-extension"),
        # What cryptography refuses with exceptions of its own, not ValueError, refused alike.
        pytest.param(lambda: {"certificate": vcek_changed("2b060104019c78010302", "2b060104019c78010301")},
                     f"certificate: not a certificate in PEM or DER: {DUPLICATE}", id="duplicated-extension"),
        pytest.param(lambda: {"certificate": vcek_changed("a003020102", "a003020101")}, "certificate: not a "
                     "certificate in PEM or DER: a version that is not valid for it", id="version-2"),
        pytest.param(lambda: {"certificate": vcek_changed("2a8648ce3d0201", "2a8648ce3d0209")}, "certificate: not a "
                     "certificate in PEM or DER: a key or signature algorithm that cannot be used",
                     id="unknown-key-algorithm"),
        pytest.param(lambda: {"crl": pki.authority().crl().replace(b"\x02\x01\x01", b"\x02\x01\x05", 1)},
                     "revocation list: not a CRL in DER or PEM: a version that is not valid for it",
                     id="crl-unknown-version"),
        pytest.param(lambda: {"certificate": b"the VCEK is in vcek.pem\n"}, "certificate: not a certificate in PEM "
                     "or DER: text without a PEM block (-----BEGIN CERTIFICATE-----)", id="text-as-certificate"),
        # Bounded before any certificate is loaded.
        pytest.param(lambda: {"certificate": None, "certificate_table": table_of_one(65)}, "certificate table: more "
                     "than 64 certificate entries, more than any certificate table holds", id="table-65-entries"),
        pytest.param(lambda: {"certificate": None, "certificate_table": table_of_one(41587)}, "certificate table: "
                     f"{len(table_of_one(41587))} bytes, more than any certificate table (at most 262144 bytes)",
                     id="table-of-a-megabyte"),
        pytest.param(lambda: {"report": (REPORT + uuid.UUID(VCEK_GUID).bytes + bytes(200 * 1024)).hex().encode()},
                     "report: 412000 bytes, more than any report (with its certificate table) (at most 263328 bytes)",
                     id="report-text-bounded-before-decoding"),
        pytest.param(lambda: {"certificate": VCEK * 65}, "certificate: 65 PEM blocks, more than any bundle of AMD's "
                     "certificates (at most 64)", id="bundle-of-65"),
    ],
)
def test_evidence(arguments, refused) -> None:
    given = {"report": REPORT, "certificate": VCEK} | arguments()
    if refused is None:
        assert verify(**given, now=NOW).verified
    else:
        with pytest.raises(VerificationError) as error:
            verify(**given, now=NOW)
        assert str(error.value) == refused


def test_serial_warning_filter_under_threads() -> None:
    # Eight threads load new certificates with AMD's serial number 0, switching every microsecond: none of
    # them sees the warning, the process's filters end as they were but for one that matches only this
    # package's loads, and the caller's own load of such a certificate still warns.
    before, switch = list(warnings.filters), sys.getswitchinterval()
    der = der_of(VCEK)
    loaded: list[int] = []

    def load(thread: int) -> None:
        for number in range(600):  # a changed signature: new bytes, loaded anew
            loaded.append(len(load_certificates(der[:-3] + number.to_bytes(2) + bytes([thread]))))

    threads = [threading.Thread(target=load, args=(thread,)) for thread in range(8)]
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(switch)
    added = [entry for entry in warnings.filters if entry not in before]
    assert (len(loaded), [entry[3].pattern for entry in added]) in ((4800, []), (4800, ["quorvel_verify(\\..*)?"]))
    assert all(entry in warnings.filters for entry in before)
    with pytest.warns(CryptographyDeprecationWarning, match="serial number"):
        x509.load_der_x509_certificate(der)


DEVICE = "/dev/zero: a character device, not a regular file (or `-` for stdin)"
SAVE_TO_STDOUT = "--save-collateral - writes to standard output, which --json holds for the result: give a file"
JSON_1 = "quorvel-verify: argument --json: ignored explicit argument '1'"


# quorvel-verify, as cli.main: stdout, stderr and exit status (0 verified, 1 not, 2 bad input).
ONE_CERTIFICATE = "expected pairs of an intermediate then its root, found 1 certificate"
MILAN_MEASUREMENT = ("195b01b74976a1faba13bd85eaf787958f0a46e6dddd45c5bdbf8673522777842b8057ae5d866b75416efb62012"
                     "deaa3")  # the Milan report's, one of the example policy's three
SWAPPED_ERROR = "{cert}: this is a certificate, not a report: were the report and the certificate given in swapped order?"


@pytest.fixture
def files(tmp_path: Path) -> dict[str, str]:
    """The files that the command's arguments name as "{name}"."""
    paths = {
        "report": pki.DATA / "reports" / "milan-v3-oak.bin", "cert": pki.DATA / "reports" / "milan-v3-oak.vcek.pem",
        "vlek": pki.DATA / "reports-more" / "milan-v3-trustee-vlek.bin",
        "vlek-cert": pki.DATA / "reports-more" / "milan-v3-trustee-vlek.vcek.pem",
        "table-report": pki.DATA / "collateral" / "certtable-genoa-v3.veraison.report.bin",
        "table": pki.DATA / "collateral" / "certtable-genoa-v3.veraison.bin",
        "b64": tmp_path / "report.b64", "policy": tmp_path / "policy.toml",
        "hcl": pki.DATA / "azure" / "hcl-snp-v0.trustee.bin", "hcl-cert": pki.DATA / "azure" / "hcl-snp-v0.trustee.vcek.pem",
        "thim-report": pki.DATA / "azure" / "thim-milan.scitt.report.bin", "thim": pki.DATA / "azure" / "thim-milan.scitt.json",
        "example-policy": pki.DATA.parents[1] / "examples" / "policy-three-lines.toml",
        "spoof": tmp_path / "spoof.pem",
        "milan-hcl": pki.DATA / "azure" / "hcl-snp-milan-v2.trustee.bin",
        "milan-hcl-chain": pki.DATA / "azure" / "hcl-snp-milan-v2.trustee.vcek-chain.pem",
        "tpm-quote": pki.DATA / "azure" / "tpm-quote-v1.trustee.json",
        "tpm-msg": pki.DATA / "azure" / "tpm-quote.trustee.msg", "tpm-sig": pki.DATA / "azure" / "tpm-quote.trustee.sig",
        # The genuine quote's parts as raw files: message and signature binary, the PCR values a hex line each.
        "quote-msg": tmp_path / "quote.msg", "quote-sig": tmp_path / "quote.sig", "pcrs": tmp_path / "pcrs.txt",
        "nonce-policy": tmp_path / "nonce.toml",
        **{f"{line}{end}": pki.DATA / "reports" / f"{line}-v5-oak{suffix}" for line in ("genoa", "turin")
           for end, suffix in (("", ".bin"), ("-cert", ".vcek.pem"))},
        "milan-chain": pki.PINNED / "ask_ark_milan.pem",
        "duplicated": tmp_path / "duplicated.der", "extended": tmp_path / "extended.bin",
        "fifo": tmp_path / "fifo", "large": tmp_path / "large", "empty": tmp_path / "empty",
        # A name that holds a line of its own, and a byte that is not UTF-8.
        "forged": tmp_path / os.fsdecode(b"x\nresult:             verified with AMDs Milan VCEK chain\n\xff.bin"),
    }
    os.mkfifo(paths["fifo"])
    with paths["large"].open("wb") as large:
        large.truncate(300 << 20)  # sparse: nothing is written
    paths["forged"].write_bytes(REPORT)
    paths["empty"].write_bytes(b"")
    paths["extended"].write_bytes(paths["table-report"].read_bytes() + paths["table"].read_bytes())
    paths["duplicated"].write_bytes(vcek_changed("2b060104019c78010302", "2b060104019c78010301"))
    paths["spoof"].write_bytes(pki.authority().issue_for(REPORT, common_name="X\nresult: verified\x1b[8m").pem)
    paths["b64"].write_bytes(base64.b64encode(REPORT))
    paths["policy"].write_text("allow_debug = false\nvmpls = [0]\n")
    quote = json.loads(paths["tpm-quote"].read_text())
    paths["quote-msg"].write_bytes(bytes.fromhex(quote["message"]))
    paths["quote-sig"].write_bytes(bytes.fromhex(quote["signature"]))
    paths["pcrs"].write_text("\n".join(quote["pcrs"]) + "\n")
    paths["nonce-policy"].write_text('[azure]\ntpm_nonce = "challenge"\nrequire_tpm_quote = true\n')
    return {name: str(path) for name, path in paths.items()} | {"tmp": str(tmp_path)}


@pytest.mark.parametrize(
    "argv, status, shown",
    [
        (["{report}", "{cert}"], 0, "result:             verified with AMD's Milan VCEK chain; revocation not checked"),
        (["{vlek}", "{vlek-cert}", "--now", "2025-06-01"], 0,
         "result:             verified with AMD's Milan VLEK chain; revocation not checked"),
        (["{vlek}", "{vlek-cert}", "--json"], 1, ({"verified": False, "failed": ["validity"], "key_kind": "VLEK"}, "")),
        (["{table-report}", "--cert-table", "{table}", "--json"], 0,
         ({"verified": True, "failed": [], "key_kind": "VCEK"}, "")),
        (["{b64}", "{cert}"], 0, "result:             verified with AMD's Milan VCEK chain; revocation not checked"),
        # The report followed by its certificate table, in one file: the table is the certificate.
        (["{extended}", "--json"], 0, ({"verified": True, "failed": [], "key_kind": "VCEK"}, "")),
        # Azure's evidence as it comes: the claims' attestation key in the output, the THIM payload as certificate.
        (["{hcl}", "{hcl-cert}", "--json", "--now", "2026-06-01"], 0, (
            {"verified": True, "hcl": "pass", "tpm_quote": "skip", "failed": []}, "")),
        # With its vTPM quote, under a policy pinning the nonce: fresh; as raw files too, the nonce given.
        (["{milan-hcl}", "{milan-hcl-chain}", "--tpm-quote", "{tpm-quote}", "--now", "2026-06-01", "--policy",
          "{nonce-policy}", "--json"], 0, ({"verified": True, "tpm_signature": "pass", "tpm_pcrs": "pass",
                                            "tpm_nonce": "pass", "policy.azure.require_tpm_quote": "pass"}, "")),
        (["{milan-hcl}", "{milan-hcl-chain}", "--tpm-message", "{quote-msg}", "--tpm-signature", "{quote-sig}",
          "--pcrs", "{pcrs}", "--tpm-nonce", "challenge", "--now", "2026-06-01"], 0, [
            "pcr7:               32fe42b385b47cb22c906b8a7e4f134e9f2270818f90e94072d1101ef72f1c00",
            "result:             verified with AMD's Milan VCEK chain; revocation not checked"]),
        # The second genuine quote is another vTPM's; a quote without an HCL report has no key to verify it.
        (["{milan-hcl}", "{milan-hcl-chain}", "--tpm-message", "{tpm-msg}", "--tpm-signature", "{tpm-sig}",
          "--now", "2026-06-01", "--json"], 1, ({"verified": False, "failed": ["tpm_signature"], "tpm_pcrs": "skip"}, "")),
        (["{report}", "{cert}", "--tpm-quote", "{tpm-quote}"], 2, "{tpm-quote}: a TPM quote is for an Azure HCL report, "
         "whose attestation key signs it; the evidence is an SEV-SNP report"),
        (["{milan-hcl}", "{milan-hcl-chain}", "--tpm-message", "{quote-sig}", "--tpm-signature", "{quote-msg}"], 2,
         "{quote-sig}: magic 0x2afd1c1f; a TPMS_ATTEST that the TPM made starts with 0xff544347"),
        (["{hcl}", "{hcl-cert}", "--policy", "{nonce-policy}", "--now", "2026-06-01"], 1,
         "result:                         NOT verified: failed policy.azure.require_tpm_quote"),
        (["{thim-report}", "{thim}", "--now", "2026-06-01"], 0, "result:             verified with AMD's Milan VCEK chain; revocation not checked"),
        (["{cert}", "{report}", "--json"], 2, ({"verified": False, "error": SWAPPED_ERROR, "error_kind": "report"},
                                               f"error: {SWAPPED_ERROR}")),
        # A VLEK given for a VCEK-signed report: the checks it leaves undone say why, not that no pinned chain signs it.
        (["{report}", "{vlek-cert}"], 1, [
            "chip:               skip  the certificate has no hwID to compare with the chip id",
            "product:            skip  no pinned chain of the report's kind of key verified the certificate (see chain)",
            "result:             NOT verified: failed chain, validity, key, signature, tcb"]),
        # The certificate alone, or nothing: the mistake in the evidence, not a missing certificate.
        (["{cert}"], 2, SWAPPED_ERROR),
        (["{empty}", "{cert}", "--json"], 2, ({"verified": False, "error": "{empty}: empty (no report in it)",
                                               "error_kind": "input"}, "error: {empty}: empty (no report in it)")),
        # The example policy accepts its report of each product line.
        *((["{%s}" % report, "{%s}" % cert, "--policy", "{example-policy}"], 0,
           f"result:                            verified with AMD's {line} VCEK chain; revocation not checked")
          for report, cert, line in (("report", "cert", "Milan"), ("genoa", "genoa-cert", "Genoa"),
                                     ("turin", "turin-cert", "Turin"))),
        (["{report}", "{cert}", "--policy", "{policy}"], 2, "{policy}:2: vmpls: unknown rule (did you mean vmpl?)"),
        (["{report}", "{cert}", "--now", "yesterday"], 2, "--now: not an ISO-8601 date or time: 'yesterday'"),
        (["{report}", "{cert}", "--now", "0001-01-01T00:00+14:00", "--json"], 2, (
            {"verified": False, "error": "--now: '0001-01-01T00:00+14:00' lies outside the years 1 to 9999 in UTC"},
            "error: --now: '0001-01-01T00:00+14:00' lies outside the years 1 to 9999 in UTC")),
        # Both positionals given first: every CPython leaves "--cert FILE" over alike.
        (["{report}", "{cert}", "--cert", "{cert}", "--json"], 2, (
            {"verified": False, "error": "quorvel-verify: unrecognized arguments: --cert {cert}"},
            "error: quorvel-verify: unrecognized arguments: --cert {cert}")),
        # One file per --chains: the positional arguments after it stay positional.
        (["--chains", "{milan-chain}", "{report}", "{cert}"], 0, "result:             verified with AMD's Milan VCEK chain; revocation not checked"),
        # A refused --chains file is named by its path, not by its place among them.
        (["{report}", "{cert}", "--chains", "{milan-chain}", "--chains", "{cert}", "--json"], 2, (
            {"verified": False, "error": f"{{cert}}: {ONE_CERTIFICATE}", "error_kind": "chains"},
            f"error: {{cert}}: {ONE_CERTIFICATE}")),
        (["-", "{cert}", "--crl", "-"], 2, "only one file may be - (standard input); 2 are"),
        (["-", "--collateral", "-"], 2, "only one file may be - (standard input); 2 are"),
        (["{report}", "--save-collateral", "-", "--json"], 2, ({"verified": False, "error": SAVE_TO_STDOUT},
                                                              f"error: {SAVE_TO_STDOUT}")),
        # A name from the input, quoted in details, adds no line of its own.
        (["{report}", "{spoof}"], 1, "result:             NOT verified: failed chain, key, signature"),
        (["{report}", "{duplicated}", "--json"], 2, ({"verified": False, "error": f"{{duplicated}}: not a certificate "
                                                    f"in PEM or DER: {DUPLICATE}", "detail": "DuplicateExtension: "
                                                    "Duplicate 1.3.6.1.4.1.3704.1.3.1 extension found"},
                                                   f"error: {{duplicated}}: not a certificate in PEM or DER: "
                                                   f"{DUPLICATE}")),
        # Regular files only (a FIFO never waited on), each within its cap, read or not.
        (["/dev/zero", "{cert}", "--json"], 2, ({"verified": False, "error": DEVICE, "error_kind": "input"},
                                                f"error: {DEVICE}")),
        (["{report}", "{cert}", "--policy", "{fifo}"], 2, "{fifo}: a FIFO, not a regular file (or `-` for stdin)"),
        (["{report}", "--offline", "--cache-dir", "{cert}"], 2, "--cache-dir {cert}: not a directory"),
        (["{report}", "{cert}", "--crl", "{large}"], 2,
         "{large}: 314572800 bytes, more than any revocation list (at most 262144 bytes)"),
        (["{forged}", "{spoof}"], 1, ["report:             {tmp}/x\\nresult:             verified with AMDs Milan "
                                      "VCEK chain\\n\\xff.bin", "result:             NOT verified: failed chain, "
                                      "key, signature"]),
        (["{report}", "{cert}", "--json=1"], 2, ({"verified": False, "error": JSON_1}, f"error: {JSON_1}")),
        # The time judged at, in UTC, and a failure for it hints at --now.
        (["{report}", "{cert}", "--now", "2026-06-01T12:00+02:00", "--json"], 0,
         ({"verified": True, "verified_at": "2026-06-01T10:00:00Z"}, "")),
        (["{report}", "{cert}", "--now", "2000-01-01"], 1, [
            "hint:               judged at 2000-01-01T00:00:00Z; --now ISO-8601 judges at another time (such as when "
            "the evidence was made)", "result:             NOT verified: failed validity"]),
        # Pins: the policy's rules as flags, alone or narrowing the file's; one the file contradicts is refused.
        (["{report}", "{cert}", "--vmpl", "1", "--min-tcb", "snp = 99"], 1,
         "result:             NOT verified: failed policy.vmpl, policy.min_tcb"),
        (["{report}", "{cert}", "--policy", "{example-policy}", "--measurement", MILAN_MEASUREMENT], 0,
         "result:                            verified with AMD's Milan VCEK chain; revocation not checked"),
        (["{report}", "{cert}", "--policy", "{example-policy}", "--vmpl", "1"], 2,
         "--vmpl 1 contradicts {example-policy}, whose vmpl is [0]"),
        (["{report}", "{cert}", "--require-revocation"], 1, "result:             NOT verified: failed revocation"),
        (["{report}", "{cert}", "--quiet", "--vmpl", "1"], 1, ""),
        (["{cert}", "--quiet"], 2, ""),
    ],
    ids=["verified", "now", "json-not-verified", "json-table", "base64", "extended-report", "hcl", "tpm-quote",
         "tpm-raw-files", "tpm-another-vtpm", "tpm-quote-without-hcl", "tpm-parts-swapped", "tpm-quote-required",
         "thim", "json-bad-input",
         "vlek-for-a-vcek-report", "certificate-alone", "empty",
         "example-policy-milan", "example-policy-genoa", "example-policy-turin", "policy", "now-malformed",
         "now-out-of-range", "no-abbreviations", "chains-then-positionals", "chains-file-named", "stdin-twice",
         "stdin-twice-collateral", "collateral-to-stdout-with-json", "names-escaped",
         "json-unparsable-certificate", "device", "fifo", "cache-dir-a-file", "large", "file-name-escaped", "json-usage-error",
         "verified-at", "window-hints-now", "pins", "pin-narrowing-policy", "pin-contradicting-policy",
         "require-revocation", "quiet", "quiet-bad-input"],
)
def test_command(files, command, argv, status, shown) -> None:
    command(argv, status, shown, **files)


@pytest.mark.parametrize("argv, stdin, status, shown", [
    (["-", "{cert}"], "report", 0, "result:             verified with AMD's Milan VCEK chain; revocation not checked"),
    (["{report}", "{cert}", "--policy", "-"], b"vmpl = [1]\n", 1, "result:             NOT verified: failed policy.vmpl"),
], ids=["report", "policy"])
def test_command_reads_stdin(files, command, monkeypatch, argv, stdin, status, shown) -> None:
    data = Path(files[stdin]).read_bytes() if isinstance(stdin, str) else stdin
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    command(argv, status, shown, **files)


def test_command_help_and_version(capsys) -> None:
    import importlib.metadata

    from quorvel_verify import __version__
    from quorvel_verify.cli import main

    # The version the build wrote into the package is the installed distribution's.
    assert __version__ == importlib.metadata.version("quorvel")
    assert (main(["--version"]), capsys.readouterr().out) == (0, f"quorvel-verify {__version__}\n")
    assert main(["--help"]) == 0
    shown = capsys.readouterr().out
    assert "exit status:\n  0  verified" in shown
    # It ends with an example of each kind of evidence.
    assert [line.split()[1] for line in shown.splitlines() if line.startswith("    quorvel-verify ")] == [
        "report.bin", "report.bin", "quote.bin", "quote.bin", "hcl-report.bin", "hcl-report.bin"]


def test_command_without_cryptography_says_what_to_install() -> None:
    # cryptography made unimportable, as an install without the verify extra leaves it.
    run = "import sys; sys.modules['cryptography'] = None; from quorvel_verify._command import main; sys.exit(main())"
    done = subprocess.run([sys.executable, "-c", run, "r", "c"], capture_output=True, text=True, check=False)
    assert (done.returncode, done.stdout, done.stderr.count("\n"), "quorvel[verify]" in done.stderr) == (2, "", 1, True)


# What an offline check must not load: the network clients, and the distribution metadata that the version
# once came from (a tenth of the command's start-up).
NETWORK_MODULES = ["quorvel_verify._internal.http", "quorvel_verify._internal.client", "quorvel_verify.sevsnp.kds",
                   "quorvel_verify.tdx.pcs", "http.client", "urllib.request", "ssl", "importlib.metadata"]


# Nor, for a bare SEV-SNP report, TDX's code (its policy table, quote, collateral and checks) or Azure's vTPM
# quote and wrapper: of TDX's modules only the PCS defaults that --help names, of Azure's what recognises its
# shapes.
@pytest.mark.parametrize("arguments, other_platform, loaded", [
    (["reports/genoa-v5-oak.bin", "reports/genoa-v5-oak.vcek.pem", "--now", "2025-09-01T00:00:00Z"],
     ("quorvel_verify.tdx.", "quorvel_verify.azure."),
     ["quorvel_verify.azure.hcl", "quorvel_verify.azure.shape", "quorvel_verify.azure.thim",
      "quorvel_verify.tdx.pcs_answers"]),
    (["tdx/quote-v4-uptodate.dcapqvl.bin", "--collateral", "tdx/quote-v4-uptodate.dcapqvl.collateral.json",
      "--now", "2025-07-01T00:00:00Z"], "quorvel_verify.sevsnp.kds", []),
], ids=["sev-snp", "tdx"])
def test_offline_command_loads_no_network_code(arguments, other_platform, loaded) -> None:
    run = ("import sys; from quorvel_verify.cli import main; status = main(sys.argv[1:] + ['--quiet']); "
           f"print(status, sorted(set({NETWORK_MODULES!r}) & set(sys.modules)), "
           f"sorted(name for name in sys.modules if name.startswith({other_platform!r})))")
    done = subprocess.run([sys.executable, "-c", run, *arguments], capture_output=True, text=True, check=False,
                          cwd=pki.DATA)
    assert (done.stdout, done.stderr) == (f"0 [] {loaded}\n", "")


def test_documented_sample_output_is_the_commands(capsys, monkeypatch) -> None:
    from quorvel_verify.cli import main

    guide = (pki.DATA.parents[1] / "docs" / "verifying.rst").read_text()
    line = next(line for line in guide.splitlines() if line.startswith("   quorvel-verify tests/data/reports/"))
    block = guide.split(line + "\n\n.. code-block:: console\n\n", 1)[1].splitlines()
    shown = itertools.takewhile(lambda text: text.startswith("   ") or not text, block)
    monkeypatch.chdir(pki.DATA.parents[1])
    assert (main(line.split()[1:]), capsys.readouterr().out) == (0, "".join(f"{text[3:]}\n" for text in shown).rstrip() + "\n")


@pytest.mark.parametrize("example, arguments", [
    ("verify_report.py", []),
    ("verify_report.py", ["report.bin"]),
    ("parse_report.py", ["a.bin", "b.bin"]),
    ("parse_report.py", ["missing.bin"]),
])
def test_examples_exit_2_on_bad_usage(tmp_path, example, arguments) -> None:
    script = pki.DATA.parents[1] / "examples" / example
    done = subprocess.run([sys.executable, script, *arguments], capture_output=True, text=True, check=False,
                          cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")


def test_installed_command() -> None:
    command = Path(sys.executable).parent / "quorvel-verify"
    report, certificate = pki.DATA / "reports" / "turin-v5-oak.bin", pki.DATA / "reports" / "turin-v5-oak.vcek.pem"
    done = subprocess.run([command, report, certificate, "--json"], capture_output=True, text=True, check=False)
    assert (done.returncode, json.loads(done.stdout)["verified"], done.stderr) == (0, True, "")
    # A reader that stops reading (`| head -1`) before the command writes: the verdict's status, no traceback.
    with subprocess.Popen([command, report, certificate], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.stdout is not None and process.stderr is not None
        process.stdout.close()
        stderr = process.stderr.read()
    assert (process.returncode, stderr) == (0, b"")
