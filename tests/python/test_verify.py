"""quorvel_verify.verify and quorvel-verify: genuine evidence verifies; each fault fails the check it breaks."""

from __future__ import annotations

import base64
import dataclasses
import datetime
import json
import struct
import subprocess
import sys
import uuid
from collections.abc import Callable
from pathlib import Path
from urllib.parse import parse_qsl, urlsplit

import pytest
from cryptography import x509
from cryptography.hazmat.asn1 import decode_der
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

import amd_test_pki as pki
import report_builder as rb
from quorvel_verify import Policy, Report, Verification, VerificationError, verify
from quorvel_verify.cli import main
from quorvel_verify.evidence import load_certificates

DATA = Path(__file__).resolve().parents[1] / "data"
GENUINE = sorted((DATA / "reports").glob("*.bin")) + sorted((DATA / "reports-more").glob("*.bin"))
COLLATERAL = DATA / "collateral"
PINNED = Path(__file__).resolve().parents[2] / "src" / "quorvel_verify" / "data" / "amd-chains"

# Every genuine certificate is valid then but one VLEK, which expired on 2025-12-10.
NOW = datetime.datetime(2026, 6, 1, tzinfo=datetime.UTC)
EXPIRED = {"milan-v3-trustee-vlek": datetime.datetime(2025, 6, 1, tzinfo=datetime.UTC)}
# A genuine guest that allows debugging; the default policy refuses it.
DEBUG_ALLOWED = {"milan-v2-gosevguest"}

CORE = ("report", "chain", "validity", "key", "signature", "chip", "tcb", "product")

POLICY = 0x008
VMPL = 0x030
SIGNATURE_ALGO = 0x034
KEY_INFO = 0x048
RESERVED_TCB_BYTE = 0x182
DEBUG_BIT = 1 << 19


def certificate_of(report: Path) -> bytes:
    return report.with_name(report.stem + ".vcek.pem").read_bytes()


def outcomes(result: Verification) -> dict[str, str]:
    return {check.name: check.result for check in result.checks}


def kds_address_of(certificate: bytes, product: str) -> tuple[str, dict[str, str]]:
    """Where the KDS serves this VCEK, read from its own hwID and patch-level extensions."""
    (cert,) = load_certificates(certificate)

    def extension(oid: str) -> bytes:
        value = cert.extensions.get_extension_for_oid(x509.ObjectIdentifier(f"{pki.AMD_OID}.{oid}")).value
        return value.value  # type: ignore[attr-defined,no-any-return]

    names = {"fmcSPL": "3.9", "blSPL": "3.1", "teeSPL": "3.2", "snpSPL": "3.3", "ucodeSPL": "3.8"}
    query = {name: str(decode_der(int, extension(oid))) for name, oid in names.items()
             if name != "fmcSPL" or product == "Turin"}
    return f"https://kdsintf.amd.com/vcek/v1/{product}/{extension('4').hex()}", query


class TestGenuine:
    @pytest.mark.parametrize("path", GENUINE, ids=lambda path: path.stem)
    def test_verifies_with_its_certificate(self, path: Path) -> None:
        name, raw, certificate = path.stem, path.read_bytes(), certificate_of(path)
        policy = Policy(allow_debug=name in DEBUG_ALLOWED)
        result = verify(raw, certificate, policy=policy, now=NOW)
        product = name.split("-")[0].capitalize()
        vlek = "vlek" in name
        expected = dict.fromkeys(CORE, "pass") | {"revocation": "skip", "policy.allow_debug": "pass"}
        if vlek or raw[0x1A0:0x1E0] == bytes(64):
            expected["chip"] = "skip"
        if raw[0] == 2:
            expected["product"] = "skip"
        if name in EXPIRED:
            expected["validity"] = "fail"
        assert (outcomes(result), result.product, result.key_kind) == (
            expected, product, "VLEK" if vlek else "VCEK"
        )
        if vlek:
            assert result.kds_url is None
        else:
            # The address is built from the report; the certificate it serves says what it must be.
            url = urlsplit(result.kds_url)
            assert (url._replace(query="").geturl(), dict(parse_qsl(url.query))) == kds_address_of(certificate, product)
        if name in EXPIRED:
            assert verify(raw, certificate, now=EXPIRED[name]).verified

    @pytest.mark.parametrize("name", ["certtable-genoa-v3.veraison", "certtable-milan-v3.evcli"])
    def test_certificate_table(self, name: str) -> None:
        raw = (COLLATERAL / f"{name}.report.bin").read_bytes()
        table = (COLLATERAL / f"{name}.bin").read_bytes()
        result = verify(raw, certificate_table=table, now=NOW)
        assert result.verified, result.failed


def milan_vcek_ask() -> bytes:
    return (PINNED / "ask_ark_milan.pem").read_bytes().split(b"-----END CERTIFICATE-----")[0] + \
        b"-----END CERTIFICATE-----\n"


def setter(offset: int, value: bytes) -> Callable[[bytearray], None]:
    def change(report: bytearray) -> None:
        report[offset:offset + len(value)] = value
    return change


def flip(offset: int) -> Callable[[bytearray], None]:
    def change(report: bytearray) -> None:
        report[offset] ^= 0x55
    return change


def u32(value: int) -> bytes:
    return struct.pack("<I", value)


TEMPLATE = {"Milan": "milan-v3-oak", "Turin": "turin-v5-oak"}
P256 = ec.generate_private_key(ec.SECP256R1())
PAST = datetime.datetime(2020, 1, 1, tzinfo=datetime.UTC)
# The test chain is made valid from a day before the test runs.
TODAY = datetime.datetime.now(datetime.UTC).replace(microsecond=0)


# Each row: a genuine report (its product line), changed before signing, the
# test chain and leaf that sign it, changed after signing, the policy; then the
# checks that fail and the detail of the first of them.
REFUSALS = [
    pytest.param(
        "Milan", setter(SIGNATURE_ALGO, u32(2)), "VCEK", {}, None, None,
        ["report"], "the report names signature algorithm 2 (expected 1, ECDSA P-384 with SHA-384)",
        id="report-signature-algorithm",
    ),
    pytest.param(
        "Milan", setter(KEY_INFO, u32(7 << 2)), "VCEK", {}, None, None,
        ["report"], "the report names signing key 7 (expected 0, a VCEK, or 1, a VLEK)",
        id="report-signing-key",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"signer": pki.rsa_key("impostor")}, None, None,
        ["chain"], "expected the certificate to be signed by a pinned intermediate that signs VCEKs "
        "(SEV-Milan, SEV-Turin); its issuer is CN=SEV-Milan,O=Advanced Micro Devices,ST=CA,L=Santa Clara,C=US,"
        "OU=Engineering",
        id="chain-impostor-signer",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"bundle": milan_vcek_ask}, None, None,
        ["chain"], "expected the given SEV-Milan to be the pinned SEV-Milan <- ARK-Milan of the Milan VCEK chain; "
        "it is not pinned",
        id="chain-untrusted-intermediate-in-input",
    ),
    pytest.param(
        # A VLEK-signed report given a VCEK: the report's field decides, not the certificate.
        "Milan", setter(KEY_INFO, u32(1 << 2)), "VCEK", {}, None, None,
        ["chain", "key"], "expected a VLEK, as the report's signing-key field says; the certificate is signed by "
        "SEV-Milan, which signs VCEKs",
        id="chain-vlek-report-with-vcek",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"not_before": PAST, "not_after": PAST + datetime.timedelta(days=365)}, None, None,
        ["validity"], f"expected SEV-VCEK to be valid at {TODAY.isoformat()}; it is valid from "
        "2020-01-01T00:00:00+00:00 to 2020-12-31T00:00:00+00:00",
        id="validity-expired",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"common_name": "SEV-VLEK"}, None, None,
        ["key"], "expected subject SEV-VCEK, as the report's signing-key field says, not SEV-VLEK",
        id="key-subject",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"key": P256}, None, None,
        ["key"], "expected an ECDSA P-384 key, not an ECDSA secp256r1 key",
        id="key-p256",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"product_name": "Genoa"}, None, None,
        ["key"], "expected the product name of Milan, as the report says, not Genoa",
        id="key-product-name",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"omit": [pki.HW_ID]}, None, None,
        ["key"], "expected a hwID extension, as a VCEK has",
        id="key-vcek-without-hwid",
    ),
    pytest.param(
        "Milan", setter(KEY_INFO, u32(1 << 2)), "VLEK", {"hw_id": bytes(64)}, None, None,
        ["key"], "expected no hwID extension, as a VLEK has none",
        id="key-vlek-with-hwid",
    ),
    pytest.param(
        "Milan", None, "VCEK", {}, flip(0x050), None,
        ["signature"], "expected the signature at 0x2a0 to verify over bytes 0x000-0x29f as given, with the key of "
        "SEV-VCEK; it does not",
        id="signature-report-data-changed",
    ),
    pytest.param(
        # The decoder reads reserved TCB bytes as zero; the signature covers them as given.
        "Milan", None, "VCEK", {}, flip(RESERVED_TCB_BYTE), None,
        ["signature"], "expected the signature at 0x2a0 to verify over bytes 0x000-0x29f as given, with the key of "
        "SEV-VCEK; it does not",
        id="signature-reserved-tcb-byte-changed",
    ),
    pytest.param(
        "Milan", flip(RESERVED_TCB_BYTE), "VCEK", {}, None, None,
        [], None, id="signature-reserved-tcb-byte-signed",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"chip_id": bytes(range(64, 128))}, None, None,
        ["chip"], "expected the chip id to be the certificate's hwID " + bytes(range(64, 128)).hex(),
        id="chip-other-chip",
    ),
    pytest.param(
        "Turin", None, "VCEK", {"hw_id": bytes(range(2, 10))}, None, None,
        ["chip"], "expected the chip id to be the certificate's hwID 0203040506070809 followed by zeros",
        id="chip-turin",
    ),
    pytest.param(
        # A VCEK-signed report whose chip id the host masked (MASK_CHIP_ID).
        "Milan", lambda r: (setter(0x1A0, bytes(64))(r), setter(KEY_INFO, u32(0b10))(r)), "VCEK",
        {"chip_id": bytes(range(1, 65))}, None, None,
        [], None, id="chip-masked-vcek",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"spls": {"blSPL": 4, "teeSPL": 0, "snpSPL": 23, "ucodeSPL": 219}}, None, None,
        ["tcb"], "expected the certificate's patch levels to be the reported TCB blSPL=4 teeSPL=0 snpSPL=24 "
        "ucodeSPL=219; they are blSPL=4 teeSPL=0 snpSPL=23 ucodeSPL=219",
        id="tcb-snp",
    ),
    pytest.param(
        "Turin", None, "VCEK", {"spls": {"fmcSPL": 1, "blSPL": 1, "teeSPL": 0, "snpSPL": 2, "ucodeSPL": 71}},
        None, None,
        ["tcb"], "expected the certificate's patch levels to be the reported TCB fmcSPL=0 blSPL=1 teeSPL=0 snpSPL=2 "
        "ucodeSPL=71; they are fmcSPL=1 blSPL=1 teeSPL=0 snpSPL=2 ucodeSPL=71",
        id="tcb-turin-fmc",
    ),
    pytest.param(
        # A Milan report with a VCEK of the Turin chain that claims to be Milan's.
        "Milan", None, "Turin VCEK", {"product_name": "Milan-B0", "hw_id": pki.chip_id_of(rb.genuine("milan-v3-oak"))},
        None, None,
        ["product"], "expected the CPUID to name Turin, the chain's product line; family 0x19 model 0x01 is Milan",
        id="product",
    ),
    pytest.param(
        # The certificate of another product line: the KDS address still follows the report's CPUID.
        "Milan", None, "Turin VCEK", {}, None, None,
        ["key", "chip", "product"], "expected the product name of Milan, as the report says, not Turin",
        id="product-other-line-certificate",
    ),
    pytest.param(
        # The list that the test chain's root signs revokes its intermediate.
        "Milan", None, "VCEK", {"crl": [0x10001]}, None, None,
        ["revocation"], "expected SEV-Milan (serial 0x10001) not to be revoked; ARK-Milan's list revokes it since "
        f"{(TODAY - datetime.timedelta(days=1)).strftime('%Y-%m-%d %H:%M:%S')} UTC",
        id="revocation-intermediate-revoked",
    ),
    pytest.param(
        "Milan", None, "VCEK", {"crl": [7]}, None, Policy(require_revocation=True),
        [], None, id="revocation-required-and-given",
    ),
    pytest.param(
        "Milan", None, "VCEK", {}, None, Policy(require_revocation=True),
        ["revocation"], "expected a revocation list, which the policy requires; none was given",
        id="revocation-required",
    ),
    pytest.param(
        "Milan", setter(POLICY, u32(0x30000 | DEBUG_BIT)), "VCEK", {}, None, None,
        ["policy.allow_debug"], "expected a guest policy that forbids debugging; report has guest policy 0xb0000, "
        "which allows it",
        id="policy-debug-by-default",
    ),
    pytest.param(
        "Milan", setter(VMPL, u32(1)), "VCEK", {}, None, Policy(vmpl=[0]),
        ["policy.vmpl"], None, id="policy-vmpl",
    ),
    pytest.param(
        # A Report whose fields were changed by hand: the policy judges the signed bytes.
        "Milan", None, "VCEK", {}, lambda r: dataclasses.replace(Report.from_bytes(r), vmpl=1), Policy(vmpl=[1]),
        ["policy.vmpl"], "expected VMPL 1; report has VMPL 0", id="policy-judges-the-signed-bytes",
    ),
]


def signing_chains() -> list[bytes]:
    return [pki.authority(product, kind).chain_pem for product, kind in (("Milan", "VCEK"), ("Milan", "VLEK"),
                                                                          ("Turin", "VCEK"))]


@pytest.mark.parametrize("product, before, signer, issue, after, policy, failed, detail", REFUSALS)
def test_refusal(product, before, signer, issue, after, policy, failed, detail) -> None:
    report = bytearray(rb.genuine(TEMPLATE[product]))
    if before is not None:
        before(report)
    chain_product, _, key_kind = signer.rpartition(" ")
    authority = pki.authority(chain_product or product, key_kind)
    issue = dict(issue)
    bundle = issue.pop("bundle", None)
    revoked = issue.pop("crl", None)
    leaf = authority.issue_for(report, **issue)
    signed = bytearray(leaf.sign(report))
    changed = after(signed) if after is not None else None  # the report to verify, or None: `signed`
    certificate = leaf.pem + (bundle() if bundle else b"")
    crl = authority.crl(revoked, now=TODAY) if revoked is not None else None
    result = verify(changed or bytes(signed), certificate, chains=signing_chains(), policy=policy, now=TODAY, crl=crl)
    assert [check.name for check in result.failed] == failed
    assert result.verified is not failed
    if detail is not None:
        assert result.failed[0].detail == detail
    if result.kds_url is not None:
        assert f"/vcek/v1/{product}/" in result.kds_url


def genuine_pair(name: str = "milan-v3-oak") -> tuple[bytes, bytes]:
    path = DATA / "reports" / f"{name}.bin"
    return path.read_bytes(), certificate_of(path)


def table(entries: list[tuple[str, bytes]], guid_order: str = "bytes") -> bytes:
    """A certificate table of these (GUID, certificate) entries, ended by an all-zero entry."""
    offset = 24 * (len(entries) + 1)
    head, body = b"", b""
    for guid, certificate in entries:
        head += getattr(uuid.UUID(guid), guid_order) + struct.pack("<II", offset + len(body), len(certificate))
        body += certificate
    return head + bytes(24) + body


VCEK_GUID = "63da758d-e664-4564-adc5-f4b93be8accd"
ASK_GUID = "4ab7b379-bbac-4fe4-a02f-05aef327c782"


def der_of(pem: bytes) -> bytes:
    return b"".join(c.public_bytes(serialization.Encoding.DER) for c in load_certificates(pem))


class TestEvidence:
    @pytest.mark.parametrize(
        "evidence",
        [
            lambda report, vcek, chain: {"certificate": der_of(vcek)},
            lambda report, vcek, chain: {"certificate": chain[1] + vcek + chain[0]},  # ARK, VCEK, ASK
            # DER entries, GUIDs in EFI's mixed-endian order.
            lambda report, vcek, chain: {"certificate_table": table(
                [(ASK_GUID, der_of(chain[0])), (VCEK_GUID, der_of(vcek))], "bytes_le")},
        ],
        ids=["der", "bundle-in-any-order", "table-of-der-with-efi-guids"],
    )
    def test_accepted_forms(self, evidence) -> None:
        report, vcek = genuine_pair()
        ask, ark = (PINNED / "ask_ark_milan.pem").read_bytes().split(b"-----END CERTIFICATE-----\n")[:2]
        chain = (ask + b"-----END CERTIFICATE-----\n", ark + b"-----END CERTIFICATE-----\n")
        assert verify(report, **evidence(report, vcek, chain), now=NOW).verified

    @pytest.mark.parametrize(
        "arguments, message",
        [
            (lambda r, c: (base64.b64encode(r), c), "report: this is a report written as base64 text: decode it first "
             "(for instance with `base64 -d`)"),
            (lambda r, c: (r.hex().encode() + b"\n", c), "report: this is a report written as hex text: decode it "
             "first (for instance with `xxd -r -p`)"),
            (lambda r, c: (struct.pack("<II", 0, 1184) + bytes(24) + r + bytes(4000 - 1216), c),
             "report: this is a firmware response (status 0) with its 32-byte header before the report: the report "
             "is bytes 0x20-0x4bf"),
            (lambda r, c: (r + table([(VCEK_GUID, c)]), c), "report: this is a report followed by 1935 more bytes, "
             "such as a certificate table: give bytes 0-1183 as the report and the rest as the certificate table"),
            (lambda r, c: (c, r), "report: this is a certificate, not a report: were the report and the certificate "
             "given in swapped order?"),
            (lambda r, c: (r, r), "certificate: this is a report, not a certificate: were the report and the "
             "certificate given in swapped order?"),
            (lambda r, c: (r, None), "no certificate: give the VCEK or VLEK, or the certificate table that holds it"),
            (lambda r, c: (r, (PINNED / "ask_ark_milan.pem").read_bytes()),
             "certificate: no VCEK or VLEK among the certificates given (SEV-Milan, ARK-Milan)"),
            (lambda r, c: (r[:-1], c), "report: not an attestation report: AttestationReport::from_bytes failed: "
             "Custom { kind: InvalidData, error: \"expected 1184 bytes, got 1183\" }"),
            # A malformed extension is read only when asked for: refused on loading, not in a check.
            (lambda r, c: (r, pki.authority().issue(extra=[x509.UnrecognizedExtension(
                x509.oid.ExtensionOID.KEY_USAGE, b"\x04\x00")]).pem),
             "certificate: not a certificate in PEM or DER (error parsing asn1 value: ParseError { kind: UnexpectedTag "
             "{ actual: Tag { value: 4, constructed: false, class: Universal } } })"),
        ],
        ids=["base64", "hex", "firmware-response", "report-and-table", "swapped", "report-as-certificate",
             "no-certificate", "chain-without-leaf", "short", "malformed-extension"],
    )
    def test_refused_input_names_the_mistake(self, arguments, message) -> None:
        report, certificate = arguments(*genuine_pair())
        with pytest.raises(VerificationError) as error:
            verify(report, certificate, now=NOW)
        assert str(error.value) == message

    def test_table_without_its_end(self) -> None:
        report, certificate = genuine_pair()
        with pytest.raises(VerificationError) as error:
            entry = uuid.UUID(VCEK_GUID).bytes + struct.pack("<II", 24, len(certificate))
            verify(report, certificate_table=entry + certificate)
        assert str(error.value) == "certificate table: not a certificate table: no all-zero entry ends its entries"


class TestCommand:
    """quorvel-verify, as cli.main: stdout, stderr and exit status (0 verified, 1 not, 2 bad input)."""

    VLEK = str(DATA / "reports-more" / "milan-v3-trustee-vlek.bin")
    VLEK_CERT = str(DATA / "reports-more" / "milan-v3-trustee-vlek.vcek.pem")

    @pytest.fixture
    def files(self, tmp_path: Path) -> dict[str, str]:
        report, certificate = genuine_pair()
        paths = {
            "report": DATA / "reports" / "milan-v3-oak.bin",
            "cert": DATA / "reports" / "milan-v3-oak.vcek.pem",
            "b64": tmp_path / "report.b64",
            "policy": tmp_path / "policy.toml",
            "readme-policy": tmp_path / "readme.toml",
            "spoof": tmp_path / "spoof.pem",
        }
        paths["spoof"].write_bytes(pki.authority().issue_for(report, common_name="X\nresult: verified\x1b[8m").pem)
        paths["b64"].write_bytes(base64.b64encode(report))
        paths["policy"].write_text("allow_debug = false\nvmpls = [0]\n")
        readme = (DATA.parents[1] / "README.md").read_text()
        paths["readme-policy"].write_text(readme.split("```toml\n", 1)[1].split("```", 1)[0])
        return {name: str(path) for name, path in paths.items()}

    @pytest.mark.parametrize(
        "argv, status, shown",
        [
            (["report", "cert"], 0, "result:             verified with AMD's Milan VCEK chain"),
            ([VLEK, VLEK_CERT], 1, "result:             NOT verified: failed validity"),
            ([VLEK, VLEK_CERT, "--now", "2025-06-01"], 0, "result:             verified with AMD's Milan VLEK chain"),
            ([VLEK, VLEK_CERT, "--json"], 1, {"verified": False, "failed": ["validity"], "key_kind": "VLEK"}),
            ([str(COLLATERAL / "certtable-genoa-v3.veraison.report.bin"), "--cert-table",
              str(COLLATERAL / "certtable-genoa-v3.veraison.bin"), "--json"], 0,
             {"verified": True, "failed": [], "key_kind": "VCEK"}),
            (["b64", "cert"], 2, "error: {b64}: this is a report written as base64 text: decode it first "
             "(for instance with `base64 -d`)"),
            (["b64", "cert", "--json"], 2, {"verified": False, "error": "{b64}: this is a report written as base64 "
                                            "text: decode it first (for instance with `base64 -d`)"}),
            (["report", "cert", "--policy", "readme-policy"], 0,
             "result:                            verified with AMD's Milan VCEK chain"),
            (["report", "cert", "--policy", "policy"], 2,
             "error: {policy}:2: vmpls: unknown rule (did you mean vmpl?)"),
            (["report", "cert", "--now", "yesterday"], 2, "error: --now: not an ISO-8601 date or time: 'yesterday'"),
            (["report", "cert", "--now", "0001-01-01T00:00+14:00", "--json"], 2,
             {"verified": False, "error": "--now: '0001-01-01T00:00+14:00' lies outside the years 1 to 9999 in UTC"}),
            # Both positionals given first: every CPython leaves "--cert FILE" over alike.
            (["report", "cert", "--cert", "cert", "--json"], 2,
             {"verified": False, "error": "quorvel-verify: unrecognized arguments: --cert {cert}"}),
            # A name from the input, quoted in details, adds no line of its own.
            (["report", "spoof"], 1, "result:             NOT verified: failed chain, key, signature"),
        ],
        ids=["verified", "expired", "now", "json-not-verified", "json-table", "base64", "json-bad-input",
             "readme-policy", "policy",
             "now-malformed", "now-out-of-range", "no-abbreviations", "names-escaped"],
    )
    def test_output_and_status(self, files, capsys, argv, status, shown) -> None:
        assert main([files.get(argument, argument) for argument in argv]) == status
        out, err = capsys.readouterr()
        if isinstance(shown, dict):
            produced = json.loads(out)
            if "checks" in produced:
                assert set(produced) == {"verified", "checks", "product", "key_kind", "kds_url", "report"}
                produced["failed"] = [check["name"] for check in produced["checks"] if check["result"] == "fail"]
            assert {key: produced[key] for key in shown} == {key: value.format(**files) if isinstance(value, str)
                                                              else value for key, value in shown.items()}
        elif status == 2:
            assert (out, err) == ("", shown.format(**files) + "\n")
        else:
            assert (out.splitlines()[-1], err) == (shown, "")
            assert sum(line.startswith("result:") for line in out.splitlines()) == 1

    def test_installed_command(self) -> None:
        command = Path(sys.executable).parent / "quorvel-verify"
        report, certificate = DATA / "reports" / "turin-v5-oak.bin", DATA / "reports" / "turin-v5-oak.vcek.pem"
        done = subprocess.run([command, report, certificate, "--json"], capture_output=True, text=True, check=False)
        assert (done.returncode, json.loads(done.stdout)["verified"], done.stderr) == (0, True, "")
