"""parse_report: what the result dictionary is made of, fresh failures, and
signatures that verify over the signed region.

The decoded values and every decoding failure are checked against the
reference model: by the shared vectors (test_vectors.py) and over generated
reports (test_properties.py).
"""

from __future__ import annotations

import sys

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from quorvel import parse_report
from quorvel_verify.sevsnp.evidence import load_certificates

import reference as ref
import report_builder as rb


class TestResultObjects:
    def test_each_call_returns_a_new_dictionary(self):
        data = bytes(rb.build(3, "milan"))
        first, second = parse_report(data), parse_report(data)
        assert first == second
        assert first is not second
        assert first["reported_tcb"] is not second["reported_tcb"]
        assert first["cpuid"] is not second["cpuid"]
        first["cpuid"]["step"] = 99
        assert second["cpuid"]["step"] == rb.CPUID_STEP

    def test_module_keeps_no_reference_to_the_result(self):
        result = parse_report(bytes(rb.build(5, "turin")))
        # What a local variable alone counts: 2 before CPython 3.14, which
        # passes it to getrefcount without a reference of its own.
        alone = {}
        # Counted before asserting: assertion rewriting holds references of its own.
        counts = [sys.getrefcount(alone), sys.getrefcount(result)] + [sys.getrefcount(result[key]) for key in list(result)]
        assert counts[1:] == [counts[0]] + [2] * 7
        assert sys.exc_info() == (None, None, None)

    def test_each_failure_is_new_and_leaves_nothing_behind(self):
        with pytest.raises(ValueError) as first:
            parse_report(b"")
        with pytest.raises(ValueError) as second:
            parse_report(b"")
        assert first.value is not second.value and first.value.args == second.value.args
        assert sys.exc_info() == (None, None, None)
        assert parse_report(bytes(rb.minimal(3)))["cpuid"]["fam_id"] == 0x19


def verify(certificate: bytes, signed: bytes, r: bytes, s: bytes) -> None:
    """Raises InvalidSignature unless (r, s), little-endian, signs `signed` with the certificate's key."""
    # The verifier's loader keeps cryptography's warning about AMD's serial number 0 to itself.
    (vcek,) = load_certificates(certificate)
    key = vcek.public_key()
    signature = encode_dss_signature(int.from_bytes(r, "little"), int.from_bytes(s, "little"))
    key.verify(signature, signed, ec.ECDSA(hashes.SHA384()))


GENUINE = sorted(path.stem for path in rb.GENUINE_DIR.glob("*.bin"))


class TestGenuineSignatures:
    @pytest.mark.parametrize("name", GENUINE)
    def test_signature_verifies(self, reports_dir, name):
        result = parse_report(rb.genuine(name))
        certificate = (reports_dir / f"{name}.vcek.pem").read_bytes()
        verify(certificate, result["signed_bytes"], result["sig_r"], result["sig_s"])
        tampered = bytearray(result["signed_bytes"])
        tampered[rb.REPORT_DATA] ^= 1
        with pytest.raises(InvalidSignature):
            verify(certificate, bytes(tampered), result["sig_r"], result["sig_s"])

    @pytest.mark.parametrize("name", GENUINE)
    def test_reserved_tcb_bytes_do_not_reach_the_signed_region(self, reports_dir, name):
        """Set reserved TCB bytes come out as zero: the report still verifies."""
        data = bytearray(rb.genuine(name))
        result = parse_report(bytes(data))
        for offset in rb.tcb_reserved_offsets(ref.generation(bytes(data), data[0]).lower()):
            data[offset] ^= 0xFF
        dirty = parse_report(bytes(data))
        assert dirty == result
        certificate = (reports_dir / f"{name}.vcek.pem").read_bytes()
        verify(certificate, dirty["signed_bytes"], dirty["sig_r"], dirty["sig_s"])
