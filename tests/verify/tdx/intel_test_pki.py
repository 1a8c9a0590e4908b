"""An Intel-shaped test PKI that signs its own TDX quotes and collateral, so each check can be reached alone.

A test root (pinned in the tests), a PCK Platform CA with its CRL and the
root's CRL, a PCK certificate with the SGX extension (encoded with
cryptography's DER encoder), a TCB Signing certificate; a quote whose QE
report and signatures are made here, and a TCB info and QE identity signed
here. `Bundle` holds every knob a refusal row turns; `build` makes the quote
bytes and the collateral from it.
"""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import json
import struct
from dataclasses import dataclass, field

from cryptography import x509
from cryptography.hazmat import asn1
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import NameOID

from quorvel_verify.tdx.collateral import TdxCollateral as Collateral

NOW = datetime.datetime(2026, 1, 15, tzinfo=datetime.UTC)
_START, _END = NOW - datetime.timedelta(days=365), NOW + datetime.timedelta(days=365)
SGX = "1.2.840.113741.1.13.1"
FMSPC = bytes.fromhex("00906ed50000")
QE_MRSIGNER = bytes(range(32))
MODULE_MRSIGNER = bytes(48)


def new_key() -> ec.EllipticCurvePrivateKey:
    return ec.generate_private_key(ec.SECP256R1())


def _name(common: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common), x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Test")])


def certificate(subject: str, key: ec.EllipticCurvePrivateKey, issuer: str, issuer_key: ec.EllipticCurvePrivateKey,
                *, ca: bool, serial: int, start: datetime.datetime = _START,
                extension: bytes | None = None, key_usage: x509.KeyUsage | None = None) -> x509.Certificate:  # fmt: skip
    builder = (
        x509.CertificateBuilder().subject_name(_name(subject)).issuer_name(_name(issuer)).public_key(key.public_key())
        .serial_number(serial).not_valid_before(start).not_valid_after(_END)
        .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
    )  # fmt: skip
    if key_usage is not None:
        builder = builder.add_extension(key_usage, critical=True)
    if extension is not None:
        builder = builder.add_extension(x509.UnrecognizedExtension(x509.ObjectIdentifier(SGX), extension), critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


@asn1.sequence
class _Entry:
    oid: x509.ObjectIdentifier
    value: asn1.TLV


@asn1.sequence
class _Entries:
    items: list[_Entry]


def _tlv(der: bytes) -> asn1.TLV:
    return asn1.decode_der(asn1.TLV, der)


def _sequence_of(entries: list[tuple[str, bytes]]) -> bytes:
    """SEQUENCE OF (OID, value) as DER: the encoder writes the list inside a wrapper sequence, which is dropped."""
    items = [_Entry(oid=x509.ObjectIdentifier(oid), value=_tlv(value)) for oid, value in entries]
    return bytes(_tlv(asn1.encode_der(_Entries(items=items))).data)


def sgx_extension(components: tuple[int, ...], pcesvn: int, fmspc: bytes) -> bytes:
    tcb = [(f"{SGX}.2.{n + 1}", asn1.encode_der(svn)) for n, svn in enumerate(components)]
    tcb += [(f"{SGX}.2.17", asn1.encode_der(pcesvn)), (f"{SGX}.2.18", asn1.encode_der(bytes(16)))]
    return _sequence_of([
        (f"{SGX}.1", asn1.encode_der(bytes(16))),
        (f"{SGX}.2", _sequence_of(tcb)),
        (f"{SGX}.3", asn1.encode_der(b"\0\0")),
        (f"{SGX}.4", asn1.encode_der(fmspc)),
        (f"{SGX}.5", b"\x0a\x01\x00"),
    ])  # fmt: skip


def raw_signature(key: ec.EllipticCurvePrivateKey, data: bytes) -> bytes:
    r, s = decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def crl(issuer: str, key: ec.EllipticCurvePrivateKey, revoked: tuple[int, ...] = ()) -> bytes:
    builder = x509.CertificateRevocationListBuilder().issuer_name(_name(issuer))
    builder = builder.last_update(NOW - datetime.timedelta(days=1)).next_update(NOW + datetime.timedelta(days=29))
    for serial in revoked:
        builder = builder.add_revoked_certificate(
            x509.RevokedCertificateBuilder().serial_number(serial).revocation_date(_START).build()
        )
    return builder.sign(key, hashes.SHA256()).public_bytes(serialization.Encoding.DER)


ROOT_KEY, CA_KEY, PCK_KEY, SIGNING_KEY, ATTESTATION_KEY = (new_key() for _ in range(5))
ROOT_NAME, CA_NAME = "Test SGX Root CA", "Intel SGX PCK Platform CA"
ROOT = certificate(ROOT_NAME, ROOT_KEY, ROOT_NAME, ROOT_KEY, ca=True, serial=1)
# As Intel issues its TCB Signing certificate: digital signature and non-repudiation, nothing else.
SIGNING_USAGE = x509.KeyUsage(digital_signature=True, content_commitment=True, key_encipherment=False, data_encipherment=False,
                              key_agreement=False, key_cert_sign=False, crl_sign=False, encipher_only=False, decipher_only=False)  # fmt: skip


@dataclass(frozen=True)
class Bundle:
    """Every knob of a test quote and its collateral; the defaults verify, UpToDate throughout."""

    qe_vendor_id: bytes = bytes.fromhex("939a7233f79c4ca9940a0db3957f0607")
    td_attributes: int = 1 << 28
    tee_tcb_svn: bytes = bytes([3, 1, 3]) + bytes(13)
    mr_signer_seam: bytes = MODULE_MRSIGNER
    ca_root_key: ec.EllipticCurvePrivateKey = ROOT_KEY
    pck_start: datetime.datetime = _START
    pck_is_ca: bool = False
    pck_components: tuple[int, ...] = (4,) * 16
    pck_fmspc: bytes = FMSPC
    revoked_pcks: tuple[int, ...] = ()
    revoked_by_root: tuple[int, ...] = ()  # serials on the root CA CRL: the CA is 2, the TCB Signing certificate 4
    qe_report_key: ec.EllipticCurvePrivateKey = PCK_KEY
    qe_auth_data: bytes = b"\x11" * 32
    signed_auth_data: bytes | None = None  # what the QE report data hashes, when not the auth data sent
    quote_key: ec.EllipticCurvePrivateKey = ATTESTATION_KEY
    qe_mrsigner: bytes = QE_MRSIGNER
    qe_isvsvn: int = 4
    qe_attributes: bytes = bytes([0x11]) + bytes(15)
    tcb_info_key: ec.EllipticCurvePrivateKey = SIGNING_KEY
    tcb_levels: tuple[dict[str, object], ...] = field(default_factory=lambda: (level(4, 3, "UpToDate"), level(2, 1, "OutOfDate", ["INTEL-SA-00001"])))
    module_levels: tuple[dict[str, object], ...] = field(default_factory=lambda: ({"tcb": {"isvsvn": 3}, "tcbDate": "2025-01-01T00:00:00Z", "tcbStatus": "UpToDate"},))
    qe_levels: tuple[dict[str, object], ...] = field(default_factory=lambda: ({"tcb": {"isvsvn": 4}, "tcbDate": "2025-01-01T00:00:00Z", "tcbStatus": "UpToDate"},))
    qe_evaluation: int = 17  # the QE identity's TCB evaluation data number (the TCB info's is 17)
    signer_is_ca: bool = False
    signer_usage: x509.KeyUsage | None = SIGNING_USAGE
    module_identities: bool = True  # whether the TCB info has tdxModuleIdentities
    seam_attributes: bytes = bytes(8)
    pck_chain: tuple[str, ...] = ("pck", "ca", "root")  # the quote's PCK chain, by role and in order
    tcb_info_chain: tuple[str, ...] = ("signer", "root")
    pck_crl_chain: tuple[str, ...] = ("ca", "root")
    module_attributes_mask: str = "FFFFFFFFFFFFFFFF"
    tcb_info_extra: str = ""  # text added at the end of the TCB info's object, before it is signed
    tee_tcb_svn2: bytes | None = None  # when set, a version 5 quote around a TD report 1.5 with this current TEE TCB SVN

    def replace(self, **changes: object) -> Bundle:
        return dataclasses.replace(self, **changes)  # type: ignore[arg-type]


def level(sgx: int, tdx: int, status: str, advisories: list[str] | None = None, pcesvn: int = 11,
          date: str = "2025-01-01T00:00:00Z") -> dict[str, object]:
    tcb = {
        "sgxtcbcomponents": [{"svn": sgx} for _ in range(16)],
        "pcesvn": pcesvn,
        "tdxtcbcomponents": [{"svn": tdx if i == 2 else 0} for i in range(16)],
    }
    return {"tcb": tcb, "tcbDate": date, "tcbStatus": status, "advisoryIDs": advisories or []}


def _pem(*certificates: x509.Certificate) -> str:
    return "".join(c.public_bytes(serialization.Encoding.PEM).decode() for c in certificates)


def _qe_report(b: Bundle, attestation: bytes) -> bytes:
    data = hashlib.sha256(attestation + (b.signed_auth_data if b.signed_auth_data is not None else b.qe_auth_data)).digest()
    # cpusvn, miscselect, reserved, isvextprodid, attributes, mrenclave, reserved, mrsigner, reserved, configid,
    # isvprodid 2, isvsvn, configsvn, reserved, isvfamilyid, report data
    return struct.pack(
        "<16sI12x16s16s32s32x32s32x64sHHH42x16s64s",
        bytes(16), 0, bytes(16), b.qe_attributes, bytes(32), b.qe_mrsigner, bytes(64), 2, b.qe_isvsvn, 0,
        bytes(16), data + bytes(32),
    )  # fmt: skip


def build(b: Bundle = Bundle()) -> tuple[bytes, Collateral]:
    """The quote's bytes (version 4) and its collateral, as `b` says."""
    ca = certificate(CA_NAME, CA_KEY, ROOT_NAME, b.ca_root_key, ca=True, serial=2)
    pck = certificate("Intel SGX PCK Certificate", PCK_KEY, CA_NAME, CA_KEY, ca=b.pck_is_ca, serial=3, start=b.pck_start,
                      extension=sgx_extension(b.pck_components, 11, b.pck_fmspc))  # fmt: skip
    signer = certificate("Intel SGX TCB Signing", SIGNING_KEY, ROOT_NAME, ROOT_KEY, ca=b.signer_is_ca, serial=4, key_usage=b.signer_usage)
    other_root = certificate(ROOT_NAME, CA_KEY, ROOT_NAME, CA_KEY, ca=True, serial=1)
    roles = {"pck": pck, "ca": ca, "root": ROOT, "signer": signer, "other_root": other_root}
    header = struct.pack("<HHIHH", 4, 2, 0x81, 0, 0) + b.qe_vendor_id + bytes(20)
    body = struct.pack(
        "<16s48s48s8sQQ48s48s48s48s48s48s48s48s64s",
        b.tee_tcb_svn, bytes(48), b.mr_signer_seam, b.seam_attributes, b.td_attributes, 0xE7, *(bytes(48),) * 8, bytes(64),
    )  # fmt: skip
    attestation = b.quote_key.public_key().public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)[1:]
    report = _qe_report(b, attestation)
    chain = _pem(*(roles[role] for role in b.pck_chain)).encode() + b"\0"
    inner = report + raw_signature(b.qe_report_key, report) + struct.pack("<H", len(b.qe_auth_data)) + b.qe_auth_data
    inner += struct.pack("<HI", 5, len(chain)) + chain
    signature_data = raw_signature(b.quote_key, header + body) + attestation + struct.pack("<HI", 6, len(inner)) + inner
    quote = header + body + struct.pack("<I", len(signature_data)) + signature_data

    dates = {"issueDate": "2026-01-01T00:00:00Z", "nextUpdate": "2026-02-01T00:00:00Z", "tcbEvaluationDataNumber": 17}
    module = {"mrsigner": MODULE_MRSIGNER.hex(), "attributes": "0000000000000000", "attributesMask": b.module_attributes_mask}
    tcb_info = json.dumps({
        "id": "TDX", "version": 3, **dates, "fmspc": FMSPC.hex(), "pceId": "0000", "tcbType": 0, "tdxModule": module,
        **({"tdxModuleIdentities": [{"id": "TDX_01", **module, "tcbLevels": list(b.module_levels)}]} if b.module_identities else {}),
        "tcbLevels": list(b.tcb_levels),
    })[:-1] + b.tcb_info_extra + "}"  # fmt: skip
    qe_identity = json.dumps({
        "id": "TD_QE", "version": 2, **dates, "tcbEvaluationDataNumber": b.qe_evaluation, "miscselect": "00000000", "miscselectMask": "FFFFFFFF",
        "attributes": "11" + "00" * 15, "attributesMask": "FBFFFFFFFFFFFFFF" + "00" * 8, "mrsigner": QE_MRSIGNER.hex(),
        "isvprodid": 2, "tcbLevels": list(b.qe_levels),
    })  # fmt: skip
    collateral = Collateral(
        pck_crl_issuer_chain=_pem(*(roles[role] for role in b.pck_crl_chain)), root_ca_crl=crl(ROOT_NAME, ROOT_KEY, b.revoked_by_root), pck_crl=crl(CA_NAME, CA_KEY, b.revoked_pcks),
        tcb_info_issuer_chain=_pem(*(roles[role] for role in b.tcb_info_chain)), tcb_info=tcb_info, tcb_info_signature=raw_signature(b.tcb_info_key, tcb_info.encode()),
        qe_identity_issuer_chain=_pem(signer, ROOT), qe_identity=qe_identity, qe_identity_signature=raw_signature(SIGNING_KEY, qe_identity.encode()),
    )  # fmt: skip
    if b.tee_tcb_svn2 is not None:
        quote = as_td15(quote, quote[48 : 48 + 584] + b.tee_tcb_svn2 + bytes(48))
    return quote, collateral


def as_td15(quote: bytes, body: bytes) -> bytes:
    """A quote as `build` makes it, made version 5 around the TD report 1.5 `body` (648 bytes) and signed again."""
    signed = struct.pack("<H", 5) + quote[2:48] + struct.pack("<HI", 3, len(body)) + body
    rest = quote[48 + 584 :]  # the signature data's size, the quote signature, the rest of the signature data
    return signed + rest[:4] + raw_signature(ATTESTATION_KEY, signed) + rest[4 + 64 :]
