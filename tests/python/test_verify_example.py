"""examples/verify_report.py, run as a user would: exit status and what it prints."""

from __future__ import annotations

import datetime
import subprocess
import sys
import warnings
from itertools import cycle
from pathlib import Path

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519
from cryptography.x509.oid import NameOID

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "verify_report.py"
REPORTS = sorted(path.stem for path in (Path(__file__).parents[1] / "data" / "reports").glob("*.bin"))

VALID, INVALID, BAD_INPUT = 0, 1, 2

# Bytes inside the signed region that the decoder keeps: guest_svn, policy,
# report_data, measurement, host_data, chip_id, current firmware build, launch_tcb's bootloader.
SIGNED_OFFSETS = [0x004, 0x008, 0x050, 0x090, 0x0C0, 0x1A0, 0x1E8, 0x1F0]


def label(value: object) -> str:
    return hex(value) if isinstance(value, int) else str(value)


def run(*args: Path | str) -> subprocess.CompletedProcess[str]:
    # -W error: the certificates' serial-number warning must be handled by the example itself.
    return subprocess.run(
        [sys.executable, "-W", "error", str(SCRIPT), *map(str, args)],
        capture_output=True, text=True, timeout=60, check=False,
    )


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


def pem_to_der(pem: Path) -> bytes:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Parsed a serial number")
        return x509.load_pem_x509_certificate(pem.read_bytes()).public_bytes(serialization.Encoding.DER)


def report_and_cert(directory: Path, name: str) -> tuple[Path, Path]:
    return directory / f"{name}.bin", directory / f"{name}.vcek.pem"


class TestGenuineReports:
    @pytest.mark.parametrize("name", REPORTS)
    def test_valid_with_its_certificate(self, reports_dir, name):
        done = run(*report_and_cert(reports_dir, name))
        assert (done.returncode, done.stderr) == (VALID, "")
        data = (reports_dir / f"{name}.bin").read_bytes()
        assert f"chip_id:      {data[0x1A0:0x1E0].hex()}" in done.stdout
        assert f"report_data:  {data[0x50:0x90].hex()}" in done.stdout
        assert "hwID matches chip_id" in done.stdout
        assert "TCB matches reported_tcb" in done.stdout
        assert done.stdout.rstrip().endswith("signature:    valid")
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
        assert (done.returncode, done.stderr) == (INVALID, "")
        assert done.stdout.rstrip().endswith("signature:    INVALID")

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

    @pytest.mark.parametrize("name, other", [("genoa-v5-oak", "milan-v3-azure"), ("milan-v2-gosevguest", "turin-v5-oak"),
                                             ("turin-v5-oak", "genoa-v3-azure"), ("genoa-v2-oak", "genoa-v5-oak")])
    def test_certificate_of_another_report(self, reports_dir, name, other):
        done = run(reports_dir / f"{name}.bin", reports_dir / f"{other}.vcek.pem")
        assert (done.returncode, done.stderr) == (INVALID, "")
        assert "TCB differs from reported_tcb" in done.stdout
        assert done.stdout.rstrip().endswith("signature:    INVALID")


def write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


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
