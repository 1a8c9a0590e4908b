"""parse_report: the result dictionary, the signed region and every decoding failure."""

from __future__ import annotations

import sys

import pytest
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel import parse_report

import report_builder as rb

KEYS = ["chip_id", "report_data", "signed_bytes", "sig_r", "sig_s", "reported_tcb", "cpuid"]
TCB_KEYS = ["bootloader", "tee", "snp", "microcode"]
CPUID_KEYS = ["fam_id", "mod_id", "step"]

PREFIX = "AttestationReport::from_bytes failed: "
UNSUPPORTED = PREFIX + "Kind(Unsupported)"
MASKED = PREFIX + "Custom { kind: Other, error: MaskedChipId }"
GENERATION = PREFIX + 'Custom { kind: InvalidData, error: "processor is not of know SEV-SNP generation." }'
MODEL = PREFIX + 'Custom { kind: InvalidData, error: "processor is not of know SEV-SNP model." }'
ZEROED = PREFIX + 'Custom { kind: InvalidData, error: "Skipped bytes were expected to be zeroed." }'


def length_error(got: int) -> str:
    return PREFIX + f'Custom {{ kind: InvalidData, error: "expected 1184 bytes, got {got}" }}'


def decode_error(data) -> ValueError:
    with pytest.raises(ValueError) as info:
        parse_report(bytes(data))
    assert type(info.value) is ValueError
    return info.value


def with_byte(buf: bytearray, offset: int, value: int = 0x5A) -> bytearray:
    buf[offset] = value
    return buf


def with_version(buf: bytearray, version: int) -> bytearray:
    return rb.put_u32(buf, rb.VERSION, version)


BUILT = [(v, g) for v in (2, 3, 4, 5, 9) for g in rb.CPUID_OF if v > 2 or g in ("genoa", "turin")]


class TestResultShape:
    def test_keys_types_and_sizes(self):
        result = parse_report(bytes(rb.build(5, "genoa")))
        assert type(result) is dict
        assert list(result) == KEYS
        assert all(type(key) is str for key in result)
        sizes = {key: len(value) for key, value in result.items() if type(value) is bytes}
        assert sizes == {"chip_id": 64, "report_data": 64, "signed_bytes": 672, "sig_r": 72, "sig_s": 72}
        assert list(result["reported_tcb"]) == TCB_KEYS
        assert list(result["cpuid"]) == CPUID_KEYS
        assert all(type(v) is int for v in [*result["reported_tcb"].values(), *result["cpuid"].values()])

    def test_minimal_version_3_report(self):
        data = bytes(rb.minimal(3))
        assert parse_report(data) == {
            "chip_id": bytes(64), "report_data": bytes(64), "signed_bytes": data[:672],
            "sig_r": bytes(72), "sig_s": bytes(72), "reported_tcb": dict.fromkeys(TCB_KEYS, 0),
            "cpuid": {"fam_id": 25, "mod_id": 1, "step": 0},
        }

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
        # Counted before asserting: assertion rewriting holds references of its own.
        counts = [sys.getrefcount(result)] + [sys.getrefcount(result[key]) for key in KEYS]
        assert counts == [2] * 8
        assert sys.exc_info() == (None, None, None)


class TestBuiltReports:
    @pytest.mark.parametrize("version, generation", BUILT)
    def test_fields(self, version, generation):
        data = bytes(rb.build(version, generation))
        result = parse_report(data)
        assert result == {
            "chip_id": data[rb.CHIP_ID:rb.CHIP_ID + 64],
            "report_data": data[rb.REPORT_DATA:rb.REPORT_DATA + 64],
            "signed_bytes": data[:672],  # firmware versions, mitigation vectors and all
            "sig_r": data[rb.SIG_R:rb.SIG_S],
            "sig_s": data[rb.SIG_S:rb.TAIL],
            "reported_tcb": rb.BUILT_REPORTED_TCB,
            "cpuid": rb.cpuid(version, generation),
        }

    @pytest.mark.parametrize(
        "family, model, turin",
        [(0x19, 0x00, False), (0x19, 0x0F, False), (0x19, 0x10, False), (0x19, 0x1F, False),
         (0x19, 0xA0, False), (0x19, 0xAF, False), (0x1A, 0x00, True), (0x1A, 0x11, True)],
    )
    def test_generation_boundaries_pick_the_tcb_layout(self, family, model, turin):
        data = rb.put(rb.minimal(3, family, model), rb.REPORTED_TCB, bytes([5, 1, 2, 3, 0xAA, 0xBB, 0xCC, 4]))
        expected = (1, 2, 3, 4) if turin else (5, 1, 0xCC, 4)
        assert parse_report(bytes(data))["reported_tcb"] == dict(zip(TCB_KEYS, expected))

    @pytest.mark.parametrize(
        "chip_id, turin",
        [(b"\x01" + bytes(63), True), (bytes(7) + b"\x01" + bytes(56), True), (b"\xff" * 8 + bytes(56), True),
         (bytes(8) + b"\x01" + bytes(55), False), (bytes(63) + b"\x01", False), (b"\xff" * 64, False)],
    )
    def test_version_2_chip_id_picks_the_tcb_layout(self, chip_id, turin):
        data = rb.put(rb.v2_chip(chip_id), rb.REPORTED_TCB, bytes([5, 1, 2, 3, 0, 0, 6, 4]))
        expected = (1, 2, 3, 4) if turin else (5, 1, 6, 4)
        assert parse_report(bytes(data))["reported_tcb"] == dict(zip(TCB_KEYS, expected))

    @pytest.mark.parametrize("version", [6, 7, 0x7FFFFFFF, 0xFFFFFFFF])
    def test_later_versions_decode_as_version_5(self, version):
        data = bytes(rb.build(version, "genoa", mitigation=(2**64 - 1, 0x0102030405060708)))
        result = parse_report(data)
        assert result["signed_bytes"] == data[:672]
        assert result["signed_bytes"][:4] == version.to_bytes(4, "little")

    def test_cpuid_stepping_and_zero_chip_id_accepted_from_version_3(self):
        data = rb.put(with_byte(rb.build(3, "milan"), 0x18A, 0xFF), rb.CHIP_ID, bytes(64))
        result = parse_report(bytes(data))
        assert result["cpuid"] == {"fam_id": 0x19, "mod_id": 0x01, "step": 0xFF}
        assert result["chip_id"] == bytes(64)


class TestSignedRegion:
    @pytest.mark.parametrize(
        "version, generation", [(2, "genoa"), (2, "turin"), (3, "milan"), (4, "genoa-a0"), (5, "turin")]
    )
    def test_tcb_reserved_bytes_are_written_as_zero(self, version, generation):
        clean = rb.build(version, generation)
        dirty = bytearray(clean)
        offsets = rb.tcb_reserved_offsets(generation == "turin")
        for n, offset in enumerate(offsets):
            dirty[offset] = 0xA0 + n
        result = parse_report(bytes(dirty))
        assert result == parse_report(bytes(clean))
        assert [i for i in range(672) if result["signed_bytes"][i] != dirty[i]] == offsets

    def test_single_dirty_tcb_field(self):
        data = rb.put(rb.build(3, "milan"), rb.CURRENT_TCB, bytes([1, 2, 0xAA, 0xBB, 0xCC, 0xDD, 3, 4]))
        signed = parse_report(bytes(data))["signed_bytes"]
        assert signed[0x38:0x40] == bytes([1, 2, 0, 0, 0, 0, 3, 4])
        assert [i for i in range(672) if signed[i] != data[i]] == [0x3A, 0x3B, 0x3C, 0x3D]

    def test_bytes_after_the_signature_are_ignored(self):
        clean = rb.build(5, "genoa")
        dirty = rb.put(bytearray(clean), rb.TAIL, bytes(range(1, 256)) + b"\xff" * 113)
        assert parse_report(bytes(dirty)) == parse_report(bytes(clean))


DECODE_ERRORS = [
    # Length first: nothing else is looked at.
    ("empty", lambda: b"", length_error(0)),
    ("one byte", lambda: b"\x03", length_error(1)),
    ("100 bytes", lambda: bytes(100), length_error(100)),
    ("1183 bytes", lambda: rb.build(5, "genoa")[:1183], length_error(1183)),
    ("1185 bytes", lambda: rb.build(5, "genoa") + b"\0", length_error(1185)),
    ("two reports", lambda: rb.build(3) * 2, length_error(2368)),
    ("1183 of version 0", lambda: bytes(1183), length_error(1183)),
    # Then the version.
    ("all zero", lambda: bytes(1184), UNSUPPORTED),
    ("version 0", lambda: with_version(rb.build(3), 0), UNSUPPORTED),
    ("version 1", lambda: with_version(rb.build(3), 1), UNSUPPORTED),
    ("version 1, chip id zero", lambda: with_version(rb.v2_masked(), 1), UNSUPPORTED),
    # Then the processor generation.
    ("masked chip id", rb.v2_masked, MASKED),
    ("masked minimal", lambda: rb.minimal(2), MASKED),
    ("masked, dirty 0x04C", lambda: with_byte(rb.v2_masked(), 0x04C), MASKED),
    ("masked, dirty cpuid", lambda: with_byte(rb.v2_masked(), 0x188), MASKED),
    *[(f"family {f:#x}", lambda f=f: rb.minimal(3, f, 0x01), GENERATION) for f in (0x00, 0x17, 0x18, 0x1B, 0xFF)],
    ("family 0x17 version 5", lambda: rb.minimal(5, 0x17, 0x11), GENERATION),
    ("family 0x17, dirty 0x04C", lambda: with_byte(rb.minimal(3, 0x17, 0x01), 0x04C), GENERATION),
    *[(f"0x19 model {m:#x}", lambda m=m: rb.minimal(3, 0x19, m), MODEL) for m in (0x20, 0x9F, 0xB0, 0xFF)],
    *[(f"0x1A model {m:#x}", lambda m=m: rb.minimal(4, 0x1A, m), MODEL) for m in (0x12, 0x20, 0xA0, 0xFF)],
    ("bad model, dirty 0x1EB", lambda: with_byte(rb.minimal(3, 0x19, 0x20), 0x1EB), MODEL),
    # Then the reserved runs.
    *[(f"v3 byte {o:#x}", lambda o=o: with_byte(rb.build(3, "genoa"), o), ZEROED) for o in range(0x04C, 0x050)],
    *[(f"v2 byte {o:#x}", lambda o=o: with_byte(rb.build(2, "genoa"), o), ZEROED) for o in (0x188, 0x189, 0x18A, 0x19F)],
    *[(f"v2 turin byte {o:#x}", lambda o=o: with_byte(rb.build(2, "turin"), o), ZEROED) for o in (0x18A, 0x1EB)],
    *[(f"v3 byte {o:#x}", lambda o=o: with_byte(rb.build(3, "milan"), o), ZEROED) for o in (0x18B, 0x19F, 0x1EB, 0x1EF)],
    *[(f"v4 byte {o:#x}", lambda o=o: with_byte(rb.build(4, "turin"), o), ZEROED) for o in (0x1F8, 0x207, 0x208, 0x29F)],
    *[(f"v5 byte {o:#x}", lambda o=o: with_byte(rb.build(5, "genoa"), o), ZEROED) for o in (0x208, 0x29F)],
    ("v9 byte 0x208", lambda: with_byte(rb.build(9, "turin"), 0x208), ZEROED),
    ("reserved 0xFF", lambda: with_byte(rb.minimal(3), 0x1EF, 0xFF), ZEROED),
]


class TestDecodeErrors:
    @pytest.mark.parametrize("make, message", [case[1:] for case in DECODE_ERRORS], ids=[c[0] for c in DECODE_ERRORS])
    def test_message(self, make, message):
        assert decode_error(make()).args == (message,)

    def test_masked_genuine_report(self, reports_dir):
        data = bytearray((reports_dir / "milan-v2-gosevguest.bin").read_bytes())
        assert decode_error(rb.put(data, rb.CHIP_ID, bytes(64))).args == (MASKED,)

    def test_each_failure_is_new_and_leaves_nothing_behind(self):
        first, second = decode_error(b""), decode_error(b"")
        assert first is not second and first.args == second.args
        assert sys.exc_info() == (None, None, None)
        assert parse_report(bytes(rb.minimal(3)))["cpuid"]["fam_id"] == 0x19


GENUINE = {
    # name: (cpuid, (bootloader, tee, snp, microcode))
    "genoa-v2-oak": (None, (7, 0, 15, 0x3E)),
    "genoa-v3-azure": ((0x19, 0x11, 0x01), (10, 0, 0x17, 0x54)),
    "genoa-v5-oak": ((0x19, 0x11, 0x01), (10, 0, 0x19, 0x54)),
    "genoa-v5-routex": ((0x19, 0x11, 0x01), (10, 0, 0x1B, 0x58)),
    "milan-v2-gosevguest": (None, (2, 0, 5, 0x44)),
    "milan-v3-azure": ((0x19, 0x01, 0x01), (4, 0, 0x18, 0xDB)),
    "milan-v3-oak": ((0x19, 0x01, 0x01), (4, 0, 0x18, 0xDB)),
    "turin-v5-oak": ((0x1A, 0x02, 0x01), (1, 0, 2, 0x47)),
}


def verify(certificate: bytes, signed: bytes, r: bytes, s: bytes) -> None:
    """Raises InvalidSignature unless (r, s), little-endian, signs `signed` with the certificate's key."""
    key = x509.load_pem_x509_certificate(certificate).public_key()
    signature = encode_dss_signature(int.from_bytes(r, "little"), int.from_bytes(s, "little"))
    key.verify(signature, signed, ec.ECDSA(hashes.SHA384()))


class TestGenuineReports:
    def test_all_present(self, reports_dir):
        assert sorted(path.stem for path in reports_dir.glob("*.bin")) == sorted(GENUINE)

    @pytest.mark.parametrize("name", sorted(GENUINE))
    def test_fields(self, reports_dir, name):
        data = (reports_dir / f"{name}.bin").read_bytes()
        cpuid, tcb = GENUINE[name]
        result = parse_report(data)
        assert result["cpuid"] == dict(zip(CPUID_KEYS, cpuid or (None, None, None)))
        assert result["reported_tcb"] == dict(zip(TCB_KEYS, tcb))
        assert result["signed_bytes"] == data[:672]
        assert (result["chip_id"], result["report_data"]) == (data[0x1A0:0x1E0], data[0x50:0x90])
        assert (result["sig_r"], result["sig_s"]) == (data[0x2A0:0x2E8], data[0x2E8:0x330])

    @pytest.mark.parametrize("name", sorted(GENUINE))
    def test_signature_verifies(self, reports_dir, name):
        result = parse_report((reports_dir / f"{name}.bin").read_bytes())
        certificate = (reports_dir / f"{name}.vcek.pem").read_bytes()
        verify(certificate, result["signed_bytes"], result["sig_r"], result["sig_s"])
        tampered = bytearray(result["signed_bytes"])
        tampered[rb.REPORT_DATA] ^= 1
        with pytest.raises(InvalidSignature):
            verify(certificate, bytes(tampered), result["sig_r"], result["sig_s"])


KNOWN_ERRORS = {UNSUPPORTED, MASKED, GENERATION, MODEL, ZEROED}


class TestProperties:
    @settings(max_examples=300)
    @given(case=st.sampled_from(BUILT), noise=st.binary(min_size=1184, max_size=1184))
    def test_opaque_content_is_carried_unchanged(self, case, noise):
        version, generation = case
        data = rb.build(version, generation)
        opaque = [*rb.OPAQUE_FIELDS, *((o, 8) for o in rb.TCB_FIELDS), (rb.TAIL, 368)]
        if version >= 3:
            opaque += [(rb.CHIP_ID, 64), (0x18A, 1)]
        if version >= 5:
            opaque.append((rb.MITIGATION, 16))
        for offset, size in opaque:
            data[offset:offset + size] = noise[offset:offset + size]
        result = parse_report(bytes(data))
        expected = bytearray(data[:672])
        for offset in rb.tcb_reserved_offsets(generation == "turin"):
            expected[offset] = 0
        assert result["signed_bytes"] == expected
        assert result["chip_id"] == data[rb.CHIP_ID:rb.CHIP_ID + 64]
        assert result["report_data"] == data[rb.REPORT_DATA:rb.REPORT_DATA + 64]
        assert result["sig_r"] + result["sig_s"] == data[rb.SIG_R:rb.TAIL]

    @settings(max_examples=500)
    @given(case=st.sampled_from(BUILT), changes=st.lists(st.tuples(st.integers(0, 1183), st.integers(0, 255)), max_size=4))
    def test_damaged_reports_decode_or_fail_cleanly(self, case, changes):
        data = rb.build(*case)
        for offset, value in changes:
            data[offset] = value
        try:
            result = parse_report(bytes(data))
        except ValueError as e:
            assert str(e) in KNOWN_ERRORS
            return
        # The signed region is a fixed point: decoding it again reproduces it.
        again = parse_report(result["signed_bytes"] + bytes(data[672:]))
        assert again == result
