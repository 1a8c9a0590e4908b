"""examples/verify_report.py, run as a user would: exit status and what it prints."""

from __future__ import annotations

import datetime
import re
import shutil
import subprocess
import sys
import warnings
from itertools import cycle
from pathlib import Path
from urllib.parse import parse_qsl, urlsplit

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.x509.oid import NameOID

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "verify_report.py"
AMD_OID = "1.3.6.1.4.1.3704.1"
REPORTS = sorted(path.stem for path in (Path(__file__).parents[1] / "data" / "reports").glob("*.bin"))

VALID, INVALID, BAD_INPUT = 0, 1, 2

# Bytes inside the signed region that the decoder keeps: guest_svn, policy,
# report_data, measurement, host_data, chip_id, current firmware build, launch_tcb's bootloader.
SIGNED_OFFSETS = [0x004, 0x008, 0x050, 0x090, 0x0C0, 0x1A0, 0x1E8, 0x1F0]


def label(value: object) -> str:
    return hex(value) if isinstance(value, int) else str(value)


def run(*args: Path | str, script: Path = SCRIPT) -> subprocess.CompletedProcess[str]:
    # -W error: the certificates' serial-number warning must be handled by the example itself.
    return subprocess.run(
        [sys.executable, "-W", "error", str(script), *map(str, args)],
        capture_output=True, text=True, timeout=60, check=False,
    )


def failed_checks(done: subprocess.CompletedProcess[str]) -> list[str]:
    """The checks named on stderr, which must hold nothing but one line per failed check."""
    lines = done.stderr.splitlines()
    assert all(re.fullmatch(r"\w+ check failed: expected \S.*", line) for line in lines), done.stderr
    return [line.split()[0] for line in lines]


def flipped(source: Path, offset: int, target: Path) -> Path:
    data = bytearray(source.read_bytes())
    data[offset] ^= 0x01
    target.write_bytes(bytes(data))
    return target


def self_signed(key, hash_algorithm) -> x509.Certificate:
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "not a VCEK")])
    now = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    return (
        x509.CertificateBuilder()
        .subject_name(name).issuer_name(name).public_key(key.public_key())
        .serial_number(1).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=1))
        .sign(key, hash_algorithm)
    )


def load_pem(pem: Path) -> x509.Certificate:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Parsed a serial number")
        return x509.load_pem_x509_certificate(pem.read_bytes())


def pem_to_der(pem: Path) -> bytes:
    return load_pem(pem).public_bytes(serialization.Encoding.DER)


def kds_address_of(certificate: x509.Certificate, product: str) -> tuple[str, dict[str, str]]:
    """Where the KDS serves this VCEK (address and query), from its own hwID and TCB extensions."""
    def extension(oid: str) -> bytes:
        return certificate.extensions.get_extension_for_oid(x509.ObjectIdentifier(f"{AMD_OID}.{oid}")).value.value

    spls = {"blSPL": "3.1", "teeSPL": "3.2", "snpSPL": "3.3", "ucodeSPL": "3.8"}
    if product == "Turin":
        spls["fmcSPL"] = "3.9"
    query = {name: str(int.from_bytes(extension(oid)[2:], "big")) for name, oid in spls.items()}
    return f"https://kdsintf.amd.com/vcek/v1/{product}/{extension('4').hex()}", query


def reissued(certificate: x509.Certificate, signer, subject: x509.Name | None = None, pss: bool = False,
             extension: x509.UnrecognizedExtension | None = None, key=None) -> x509.Certificate:
    """The certificate signed by signer; optionally with a new subject or key, or one extension replaced."""
    builder = (
        x509.CertificateBuilder()
        .subject_name(subject or certificate.subject).issuer_name(certificate.issuer)
        .public_key(key or certificate.public_key()).serial_number(1)
        .not_valid_before(certificate.not_valid_before_utc).not_valid_after(certificate.not_valid_after_utc)
    )
    for kept in certificate.extensions:
        replaced = extension is not None and kept.oid == extension.oid
        builder = builder.add_extension(extension if replaced else kept.value, kept.critical)
    pss_padding = padding.PSS(mgf=padding.MGF1(hashes.SHA384()), salt_length=48) if pss else None
    return builder.sign(signer, hashes.SHA384(), rsa_padding=pss_padding)


def report_and_cert(directory: Path, name: str) -> tuple[Path, Path]:
    return directory / f"{name}.bin", directory / f"{name}.vcek.pem"


class TestGenuineReports:
    @pytest.mark.parametrize("name", REPORTS)
    def test_valid_with_its_certificate(self, reports_dir, name):
        report, cert = report_and_cert(reports_dir, name)
        done = run(report, cert)
        assert (done.returncode, done.stderr) == (VALID, "")
        data = report.read_bytes()
        product = name.split("-")[0].capitalize()
        assert f"chip_id:      {data[0x1A0:0x1E0].hex()}" in done.stdout
        assert f"report_data:  {data[0x50:0x90].hex()}" in done.stdout
        assert f"chain:        SEV-VCEK <- SEV-{product} <- ARK-{product}: {product} VCEK\n" in done.stdout
        assert "signature:    valid\n" in done.stdout
        assert "hwID matches chip_id" in done.stdout
        assert "patch levels match reported_tcb" in done.stdout
        # The address is built from the report; the certificate it serves says what it must be.
        url = urlsplit(re.search(r"^kds:\s+(\S+)$", done.stdout, re.MULTILINE)[1])
        assert (url._replace(query="").geturl(), dict(parse_qsl(url.query))) == kds_address_of(load_pem(cert), product)
        assert done.stdout.rstrip().endswith(f"result:       verified with AMD's {product} VCEK chain")
        assert "note:" not in done.stdout

    @pytest.mark.parametrize("name", REPORTS[::3])
    def test_der_certificate(self, reports_dir, name, tmp_path):
        report, pem = report_and_cert(reports_dir, name)
        der = tmp_path / "vcek.der"
        der.write_bytes(pem_to_der(pem))
        done = run(report, der)
        assert (done.returncode, done.stderr) == (VALID, "")


class TestTampering:
    @pytest.mark.parametrize("name, offset", list(zip(REPORTS, cycle(SIGNED_OFFSETS))), ids=label)
    def test_signed_byte_flipped_is_invalid(self, reports_dir, name, offset, tmp_path):
        report, cert = report_and_cert(reports_dir, name)
        done = run(flipped(report, offset, tmp_path / "r.bin"), cert)
        failed = ["signature", "chip"] if offset == 0x1A0 else ["signature"]
        assert (done.returncode, failed_checks(done)) == (INVALID, failed)
        assert done.stdout.rstrip().endswith(f"result:       NOT verified: failed {', '.join(failed)}")

    @pytest.mark.parametrize("name, offset", [(REPORTS[0], 0x2A0), (REPORTS[-1], 0x32F)], ids=["sig_r", "sig_s"])
    def test_signature_byte_flipped_is_invalid(self, reports_dir, name, offset, tmp_path):
        report, cert = report_and_cert(reports_dir, name)
        assert run(flipped(report, offset, tmp_path / "r.bin"), cert).returncode == INVALID

    @pytest.mark.parametrize("name, offset", list(zip(REPORTS[::2], cycle([0x330, 0x49F, 0x400]))), ids=label)
    def test_byte_after_the_signature_is_not_covered(self, reports_dir, name, offset, tmp_path):
        report, cert = report_and_cert(reports_dir, name)
        done = run(flipped(report, offset, tmp_path / "r.bin"), cert)
        assert (done.returncode, done.stderr) == (VALID, "")
        assert "bytes 0x330-0x49f after the signature are not zero; they are not covered by the signature" in done.stdout

    def test_reserved_tcb_byte_is_rebuilt_as_zero(self, reports_dir, tmp_path):
        # Reserved bytes inside a TCB field are not checked: the signed region is
        # rebuilt with zeros there, so the original signature still holds.
        report, cert = report_and_cert(reports_dir, "milan-v3-oak")
        done = run(flipped(report, 0x183, tmp_path / "r.bin"), cert)
        assert (done.returncode, done.stderr) == (VALID, "")
        assert "rebuilt with 1 reserved TCB byte(s) set to zero" in done.stdout

    @pytest.mark.parametrize(
        "name, other, forged, failed, shown",
        [
            # Another product line's certificate, another chip's, the same chip's at another TCB.
            ("genoa-v5-oak", "milan-v3-azure", None, ["signature", "chip", "tcb", "product"], "CPUID to name Milan"),
            ("turin-v5-oak", "genoa-v3-azure", None, ["signature", "chip", "tcb", "product"], "CPUID to name Genoa"),
            ("milan-v2-gosevguest", "turin-v5-oak", None, ["signature", "chip", "tcb"], "hwID 3b42092f69c656d3 followed by zeros"),
            ("milan-v3-oak", "milan-v3-azure", None, ["signature", "chip"], "hwID 66a5a7b4"),
            ("genoa-v2-oak", "genoa-v5-oak", None, ["signature", "tcb"], "blSPL=10, teeSPL=0, snpSPL=25, ucodeSPL=84"),
            ("turin-v5-oak", "turin-v5-oak", "fmc", ["chain", "tcb"], "fmcSPL=1, blSPL=1"),
            # Its own key, but not vouched for by AMD: a changed subject, or an impostor of AMD's root.
            ("genoa-v5-routex", "genoa-v5-routex", "subject", ["chain"], "be signed by the ASK or ASVK of AMD's"),
            ("genoa-v3-azure", "genoa-v3-azure", "root", ["chain"], "SEV-Genoa to be signed by ARK-Genoa"),
        ],
        ids=["milan-cert", "genoa-cert", "turin-cert", "other-chip", "other-tcb", "fmc", "subject", "root"],
    )
    def test_refused_certificate(self, reports_dir, name, other, forged, failed, shown, tmp_path):
        report, cert = reports_dir / f"{name}.bin", reports_dir / f"{other}.vcek.pem"
        script = SCRIPT
        # A forged certificate keeps its key, so the report's signature still verifies with it.
        fresh_key = ec.generate_private_key(ec.SECP384R1())
        if forged == "subject":
            subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "SEV-VCEK, really")])
            forgery = reissued(load_pem(cert), fresh_key, subject)
            cert = write(tmp_path / "forged.pem", forgery.public_bytes(serialization.Encoding.PEM))
        elif forged == "fmc":
            fmc_spl_1 = x509.UnrecognizedExtension(x509.ObjectIdentifier(f"{AMD_OID}.3.9"), bytes([2, 1, 1]))
            forgery = reissued(load_pem(cert), fresh_key, extension=fmc_spl_1)
            cert = write(tmp_path / "forged.pem", forgery.public_bytes(serialization.Encoding.PEM))
        elif forged == "root":
            # A copy of the example whose bundled Genoa root has AMD's name and another key.
            script = tmp_path / SCRIPT.name
            shutil.copy(SCRIPT, script)
            chains = shutil.copytree(SCRIPT.parent / "amd-chains", tmp_path / "amd-chains")
            ask, ark = x509.load_pem_x509_certificates((chains / "ask_ark_genoa.pem").read_bytes())
            impostor_key = rsa.generate_private_key(65537, 2048)
            impostor = reissued(ark, impostor_key, pss=True, key=impostor_key.public_key())
            (chains / "ask_ark_genoa.pem").write_bytes(b"".join(c.public_bytes(serialization.Encoding.PEM) for c in (ask, impostor)))
        done = run(report, cert, script=script)
        assert (done.returncode, failed_checks(done)) == (INVALID, failed)
        assert shown in done.stderr
        assert done.stdout.rstrip().endswith(f"result:       NOT verified: failed {', '.join(failed)}")


def write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


def masked_chip_id(report: Path) -> bytes:
    data = report.read_bytes()
    return data[:0x1A0] + bytes(64) + data[0x1E0:]


class TestBadInput:
    @pytest.fixture
    def files(self, reports_dir, tmp_path):
        report, cert = report_and_cert(reports_dir, "genoa-v5-routex")
        ed_key = ed25519.Ed25519PrivateKey.generate()
        p256_key = ec.generate_private_key(ec.SECP256R1())
        return {
            "report": report,
            "cert": cert,
            "missing": tmp_path / "missing",
            "directory": tmp_path,
            "garbage": write(tmp_path / "garbage", b"garbage\n" * 200),
            "empty": write(tmp_path / "empty", b""),
            "short report": write(tmp_path / "short", report.read_bytes()[:-1]),
            "zero report": write(tmp_path / "zero", bytes(1184)),
            "masked v2 report": write(tmp_path / "masked", masked_chip_id(reports_dir / "milan-v2-gosevguest.bin")),
            "bad pem": write(tmp_path / "bad.pem", b"-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"),
            "ed25519 cert": write(tmp_path / "ed.pem", self_signed(ed_key, None).public_bytes(serialization.Encoding.PEM)),
            "p256 cert": write(tmp_path / "p256.der", self_signed(p256_key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)),
        }

    @pytest.mark.parametrize(
        "report, cert, shown",
        [
            ("missing", "cert", "No such file or directory"),
            ("directory", "cert", "Is a directory"),
            ("garbage", "cert", "expected 1184 bytes, got 1600"),
            ("short report", "cert", "expected 1184 bytes, got 1183"),
            ("zero report", "cert", "Kind(Unsupported)"),
            ("masked v2 report", "cert", "MaskedChipId"),
            ("report", "missing", "No such file or directory"),
            ("report", "garbage", "not a certificate in PEM or DER"),
            ("report", "empty", "not a certificate in PEM or DER"),
            ("report", "bad pem", "not a certificate in PEM or DER"),
            ("report", "report", "not a certificate in PEM or DER"),
            ("report", "ed25519 cert", "expected an ECDSA P-384 key, got "),
            ("report", "p256 cert", "expected an ECDSA P-384 key, got secp256r1"),
        ],
    )
    def test_exit_status_2(self, files, report, cert, shown):
        done = run(files[report], files[cert])
        assert done.returncode == BAD_INPUT
        assert done.stdout == ""
        assert done.stderr.startswith("error: ") and shown in done.stderr
        assert "Traceback" not in done.stderr

    @pytest.mark.parametrize("args", [(), ("only-one",), ("a", "b", "c")], ids=len)
    def test_wrong_argument_count(self, args):
        done = run(*args)
        assert done.returncode == BAD_INPUT
        assert done.stderr.startswith("usage: ")
