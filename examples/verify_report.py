"""Verify the signature of an SEV-SNP attestation report against its VCEK or VLEK certificate.

Usage: python examples/verify_report.py REPORT CERT

REPORT is a raw 1184-byte attestation report, CERT the certificate of the key
that signed it (PEM or DER). The report is decoded with quorvel, its fields are
printed, and the ECDSA P-384 / SHA-384 signature (r and s stored little-endian)
is checked over the signed region with the certificate's public key.

Exit status: 0 when the signature is valid, 1 when it is not, 2 on bad input
(unreadable file, a report that does not decode, a certificate that cannot be
loaded or whose key is not an ECDSA P-384 key).

This checks the signature only. A verifier must also check that the
certificate chains up to AMD's root key (ARK -> ASK or ASVK -> VCEK or VLEK),
and then judge the fields: measurement, policy, report_data, TCB.
"""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

import quorvel

VALID, INVALID, BAD_INPUT = 0, 1, 2

SIGNED_SIZE = 0x2A0  # everything before the signature
UNSIGNED_TAIL = 0x330  # the bytes after signature S, up to the end of the report

# AMD's certificate extensions that describe the chip and the TCB the key belongs to.
HW_ID = "1.3.6.1.4.1.3704.1.4"
# Security patch levels of the bootloader, TEE, SNP firmware and microcode.
TCB_SPL = ("1.3.6.1.4.1.3704.1.3.1", "1.3.6.1.4.1.3704.1.3.2", "1.3.6.1.4.1.3704.1.3.3", "1.3.6.1.4.1.3704.1.3.8")

USAGE = "usage: python examples/verify_report.py REPORT CERT"


class BadInput(Exception):
    """The input cannot be verified at all."""


def load_certificate(path: Path) -> x509.Certificate:
    try:
        data = path.read_bytes()
    except OSError as error:
        raise BadInput(f"{path}: {error.strerror or error}") from error
    # AMD issues its VCEK and VLEK certificates with serial number 0, which
    # cryptography loads but warns about; that is expected here.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Parsed a serial number which wasn't positive")
        try:
            if b"-----BEGIN" in data:
                return x509.load_pem_x509_certificate(data)
            return x509.load_der_x509_certificate(data)
        except ValueError as error:
            raise BadInput(f"{path}: not a certificate in PEM or DER ({error})") from error


def p384_key(certificate: x509.Certificate, path: Path) -> ec.EllipticCurvePublicKey:
    try:
        key = certificate.public_key()
    except (ValueError, UnsupportedAlgorithm) as error:  # a key type cryptography does not know
        raise BadInput(f"{path}: unusable public key ({error})") from error
    if not isinstance(key, ec.EllipticCurvePublicKey) or not isinstance(key.curve, ec.SECP384R1):
        kind = key.curve.name if isinstance(key, ec.EllipticCurvePublicKey) else type(key).__name__
        raise BadInput(f"{path}: expected an ECDSA P-384 key, got {kind}")
    return key


def extension_value(certificate: x509.Certificate, oid: str) -> bytes | None:
    """The raw value of one of AMD's extensions, or None when the certificate lacks it."""
    try:
        extension = certificate.extensions.get_extension_for_oid(x509.ObjectIdentifier(oid))
    except (x509.ExtensionNotFound, ValueError):
        return None
    value = extension.value
    return value.value if isinstance(value, x509.UnrecognizedExtension) else None


def der_small_int(der: bytes | None) -> int | None:
    """A DER INTEGER of up to two content bytes (AMD's SPL values), or None."""
    if der is None or len(der) < 3 or der[0] != 0x02 or der[1] != len(der) - 2 or der[1] > 2:
        return None
    return int.from_bytes(der[2:], "big", signed=True)


def signature_is_valid(key: ec.EllipticCurvePublicKey, report: quorvel.ParsedReport) -> bool:
    r = int.from_bytes(report["sig_r"], "little")
    s = int.from_bytes(report["sig_s"], "little")
    try:
        key.verify(encode_dss_signature(r, s), report["signed_bytes"], ec.ECDSA(hashes.SHA384()))
    except InvalidSignature:
        return False
    return True


def describe(raw: bytes, report: quorvel.ParsedReport) -> None:
    tcb = report["reported_tcb"]
    cpuid = report["cpuid"]
    print(f"chip_id:      {report['chip_id'].hex()}")
    print(f"report_data:  {report['report_data'].hex()}")
    print(f"reported_tcb: bootloader={tcb['bootloader']} tee={tcb['tee']} snp={tcb['snp']} microcode={tcb['microcode']}")
    if cpuid["fam_id"] is None:
        print("cpuid:        not carried by this report version")
    else:
        print(f"cpuid:        family={cpuid['fam_id']:#04x} model={cpuid['mod_id']:#04x} stepping={cpuid['step']}")
    print(f"sig_r:        {int.from_bytes(report['sig_r'], 'little'):#x}")
    print(f"sig_s:        {int.from_bytes(report['sig_s'], 'little'):#x}")
    changed = sum(a != b for a, b in zip(raw[:SIGNED_SIZE], report["signed_bytes"]))
    if changed:
        print(f"note: the signed region was rebuilt with {changed} reserved TCB byte(s) set to zero")
    if any(raw[UNSIGNED_TAIL:]):
        print(
            f"note: bytes {UNSIGNED_TAIL:#x}-{len(raw) - 1:#x} after the signature are not zero; "
            "they are not covered by the signature and were ignored"
        )


def compare_with_certificate(certificate: x509.Certificate, report: quorvel.ParsedReport) -> None:
    """Prints whether the certificate names the report's chip and TCB (VCEKs carry both)."""
    hw_id = extension_value(certificate, HW_ID)
    if hw_id is not None:
        same = hw_id == report["chip_id"][: len(hw_id)] and not any(report["chip_id"][len(hw_id):])
        print(f"certificate:  hwID {'matches' if same else 'differs from'} chip_id")
    spl = tuple(der_small_int(extension_value(certificate, oid)) for oid in TCB_SPL)
    if None not in spl:
        tcb = report["reported_tcb"]
        same = spl == (tcb["bootloader"], tcb["tee"], tcb["snp"], tcb["microcode"])
        print(f"certificate:  TCB {'matches' if same else 'differs from'} reported_tcb")


def verify(report_path: Path, certificate_path: Path) -> int:
    try:
        raw = report_path.read_bytes()
    except OSError as error:
        raise BadInput(f"{report_path}: {error.strerror or error}") from error
    try:
        report = quorvel.parse_report(raw)
    except ValueError as error:
        raise BadInput(f"{report_path}: {error}") from error
    certificate = load_certificate(certificate_path)
    key = p384_key(certificate, certificate_path)

    print(f"report:       {report_path}")
    describe(raw, report)
    compare_with_certificate(certificate, report)
    if signature_is_valid(key, report):
        print("signature:    valid")
        return VALID
    print("signature:    INVALID")
    return INVALID


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(USAGE, file=sys.stderr)
        return BAD_INPUT
    try:
        return verify(Path(argv[1]), Path(argv[2]))
    except BadInput as error:
        print(f"error: {error}", file=sys.stderr)
        return BAD_INPUT


if __name__ == "__main__":
    sys.exit(main(sys.argv))
