"""A certificate chain shaped like AMD's, made in the test, and reports signed with it.

AMD's chains: a self-signed root (ARK) per product line, which signs the
intermediate that signs VCEKs (the ASK) and the one that signs VLEKs (the
ASVK); RSA-4096 keys, RSASSA-PSS with SHA-384, MGF1 SHA-384 and a 48-byte
salt. A VCEK or VLEK holds a P-384 key and AMD's extensions: the product name,
the security patch levels (SPLs) and, on a VCEK, the chip's hwID. The names,
extensions and signatures here are the same, the keys are the test's own, so a
report that a test changed at will (a debug policy, another VMPL, a signing-key
field no chip writes) can be signed and verified against `chain_pem`, passed to
the verifier as `chains`.

Each product line's root and intermediates are made once per process, on first
use; RSA-4096 key generation takes about a second each. The genuine reports,
their certificates and AMD's pinned chains are read here too (`genuine_pair`,
`pinned_pem`).
"""

from __future__ import annotations

import datetime
import functools
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import NameOID

from report_builder import CHIP_ID, CPUID, GENERATIONS, REPORTED_TCB, SIG_R, SIG_S

DATA = Path(__file__).parents[1] / "data"
# AMD's genuine chains, as the package pins them.
PINNED = Path(str(resources.files("quorvel_verify.sevsnp").joinpath("data", "amd-chains")))

SIG_COMPONENT_SIZE = 72
AMD_PSS = padding.PSS(mgf=padding.MGF1(hashes.SHA384()), salt_length=48)

AMD_OID = "1.3.6.1.4.1.3704.1"
STRUCT_VERSION = f"{AMD_OID}.1"
PRODUCT_NAME = f"{AMD_OID}.2"
HW_ID = f"{AMD_OID}.4"
CSP_ID = f"{AMD_OID}.5"
# The SPL extensions in the order AMD's certificates carry them, by KDS query name, and the report's TCB
# component each names.
SPL_COMPONENTS = {"fmcSPL": "fmc", "blSPL": "bootloader", "teeSPL": "tee", "snpSPL": "snp", "ucodeSPL": "microcode"}
SPL_OIDS = dict(zip(SPL_COMPONENTS, (f"{AMD_OID}.3.{n}" for n in (9, 1, 2, 3, 8)), strict=True))
# Reserved SPL slots that AMD's certificates carry as zero.
RESERVED_SPL_OIDS = tuple(f"{AMD_OID}.3.{n}" for n in (4, 5, 6, 7))

# What AMD's Milan certificates name their product; the others carry the bare line.
PRODUCT_NAMES = {"Milan": "Milan-B0", "Genoa": "Genoa", "Turin": "Turin"}
VLEK_CSP = "CN=test-csp.invalid"

LONG_AGO = datetime.timedelta(days=1)
ROOT_LIFETIME = datetime.timedelta(days=25 * 365)
LEAF_LIFETIME = datetime.timedelta(days=7 * 365)


def amd_name(common_name: str) -> x509.Name:
    """A subject or issuer as AMD writes them, in AMD's attribute order."""
    return x509.Name([
        x509.NameAttribute(NameOID.ORGANIZATIONAL_UNIT_NAME, "Engineering"),
        x509.NameAttribute(NameOID.COUNTRY_NAME, "US"),
        x509.NameAttribute(NameOID.LOCALITY_NAME, "Santa Clara"),
        x509.NameAttribute(NameOID.STATE_OR_PROVINCE_NAME, "CA"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Advanced Micro Devices"),
        x509.NameAttribute(NameOID.COMMON_NAME, common_name),
    ])


def der_integer(value: int) -> bytes:
    """A small non-negative DER INTEGER, as AMD encodes SPLs (0xDB is 02 02 00 DB)."""
    body = value.to_bytes(value.bit_length() // 8 + 1, "big")
    return bytes([0x02, len(body)]) + body


def der_ia5(text: str) -> bytes:
    body = text.encode("ascii")
    return bytes([0x16, len(body)]) + body


def amd_extension(oid: str, value: bytes) -> x509.UnrecognizedExtension:
    return x509.UnrecognizedExtension(x509.ObjectIdentifier(oid), value)


def to_pem(*certificates: x509.Certificate) -> bytes:
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def pss_signed(
    builder: x509.CertificateBuilder, key: rsa.RSAPrivateKey, rsa_padding: padding.PSS | padding.PKCS1v15 = AMD_PSS
) -> x509.Certificate:
    return builder.sign(key, hashes.SHA384(), rsa_padding=rsa_padding)


def _der_sequence(body: bytes) -> bytes:
    size = len(body).to_bytes((len(body).bit_length() + 7) // 8 or 1, "big")
    return b"\x30" + (size if len(body) < 0x80 else bytes([0x80 | len(size)]) + size) + body


def _outer(certificate: x509.Certificate) -> tuple[bytes, bytes, bytes]:
    """The certificate's signed part, its declared signature algorithm and its signature (the BIT STRING), in DER."""
    tbs = certificate.tbs_certificate_bytes
    data = certificate.public_bytes(serialization.Encoding.DER)
    rest = data[data.index(tbs) + len(tbs):]
    return tbs, rest[:2 + rest[1]], rest[2 + rest[1]:]


def declared_algorithm(certificate: x509.Certificate) -> bytes:
    return _outer(certificate)[1]


def redeclared(certificate: x509.Certificate, algorithm: bytes) -> x509.Certificate:
    """The certificate with the signature algorithm it declares replaced by `algorithm` (DER)."""
    tbs, _, signature = _outer(certificate)
    return x509.load_der_x509_certificate(_der_sequence(tbs + algorithm + signature))


def _now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)


@dataclass(frozen=True)
class Leaf:
    """A VCEK or VLEK and its private key."""

    certificate: x509.Certificate
    key: ec.EllipticCurvePrivateKey

    @property
    def pem(self) -> bytes:
        return to_pem(self.certificate)

    def sign(self, report: bytes | bytearray) -> bytes:
        """`report` with its signature replaced: ECDSA P-384 / SHA-384 over bytes 0x000-0x29F,
        r at 0x2A0 and s at 0x2E8, each 72 bytes little-endian."""
        signed = bytearray(report)
        r, s = decode_dss_signature(self.key.sign(bytes(signed[:SIG_R]), ec.ECDSA(hashes.SHA384())))
        signed[SIG_R:SIG_R + SIG_COMPONENT_SIZE] = r.to_bytes(SIG_COMPONENT_SIZE, "little")
        signed[SIG_S:SIG_S + SIG_COMPONENT_SIZE] = s.to_bytes(SIG_COMPONENT_SIZE, "little")
        return bytes(signed)


@dataclass(frozen=True)
class Authority:
    """One product line's root and the intermediate that signs one key kind."""

    product: str  # "Milan", "Genoa" or "Turin"
    key_kind: str  # "VCEK" (signed by the ASK) or "VLEK" (signed by the ASVK)
    root: x509.Certificate
    root_key: rsa.RSAPrivateKey
    intermediate: x509.Certificate
    intermediate_key: rsa.RSAPrivateKey

    @property
    def chain_pem(self) -> bytes:
        """The intermediate then the root, like AMD's cert_chain files."""
        return to_pem(self.intermediate, self.root)

    def crl(
        self,
        revoked: Sequence[int] = (),
        *,
        signer: rsa.RSAPrivateKey | None = None,
        rsa_padding: padding.PSS | padding.PKCS1v15 = AMD_PSS,
        encoding: serialization.Encoding = serialization.Encoding.DER,
        now: datetime.datetime | None = None,
        until: datetime.datetime | None = None,
        extensions: Sequence[x509.ExtensionType] = (),
    ) -> bytes:
        """A revocation list of the root, shaped like AMD's, listing the serial numbers `revoked`.

        Current from a day before `now` (default: the current time) to a day
        after (or `until`), each serial revoked a day before `now`; signed by the root's key
        with AMD's padding unless `signer` or `rsa_padding` say otherwise;
        `extensions` are added as critical.
        """
        now = now or _now()
        builder = (
            x509.CertificateRevocationListBuilder()
            .issuer_name(self.root.subject).last_update(now - LONG_AGO).next_update(until or now + LONG_AGO)
            .add_extension(x509.CRLNumber(1), critical=False)
        )
        for extension in extensions:
            builder = builder.add_extension(extension, critical=True)
        for serial in revoked:
            builder = builder.add_revoked_certificate(
                x509.RevokedCertificateBuilder().serial_number(serial).revocation_date(now - LONG_AGO).build()
            )
        return builder.sign(signer or self.root_key, hashes.SHA384(), rsa_padding=rsa_padding).public_bytes(encoding)

    def issue(
        self,
        *,
        spls: Mapping[str, int] | None = None,
        chip_id: bytes | None = None,
        hw_id: bytes | None = None,
        product_name: str | None = None,
        common_name: str | None = None,
        key: ec.EllipticCurvePrivateKey | None = None,
        not_before: datetime.datetime | None = None,
        not_after: datetime.datetime | None = None,
        omit: Sequence[str] = (),
        extra: Sequence[x509.ExtensionType] = (),
        critical: Sequence[x509.ExtensionType] = (),
        signer: rsa.RSAPrivateKey | None = None,
        rsa_padding: padding.PSS | padding.PKCS1v15 = AMD_PSS,
        declared: bytes | None = None,
    ) -> Leaf:
        """A VCEK or VLEK signed by this intermediate, shaped like AMD's.

        `spls` maps KDS query names to patch levels (`fmcSPL` is written on
        Turin only; missing ones are 0). A VCEK's hwID is `hw_id`, else the
        chip id in the product's form (the first 8 bytes on Turin); a VLEK
        carries none unless `hw_id` is given. `omit` drops extensions by OID,
        `extra` adds some (`critical` as critical), `signer` signs with another
        key than the intermediate's, `rsa_padding` with other parameters than
        AMD's, `declared` (DER) replaces the signature algorithm that the
        certificate declares, which its signature does not cover; `key` may be
        any elliptic-curve key.
        """
        key = key or ec.generate_private_key(ec.SECP384R1())
        not_before = not_before or _now() - LONG_AGO
        spls = dict(spls or {})
        extensions = [
            amd_extension(STRUCT_VERSION, der_integer(1 if self.product == "Turin" else 0)),
            amd_extension(PRODUCT_NAME, der_ia5(product_name or PRODUCT_NAMES[self.product])),
        ]
        for name, oid in SPL_OIDS.items():
            if name != "fmcSPL" or self.product == "Turin":
                extensions.append(amd_extension(oid, der_integer(spls.get(name, 0))))
        extensions += [amd_extension(oid, der_integer(0)) for oid in RESERVED_SPL_OIDS]
        if hw_id is None and self.key_kind == "VCEK":
            chip_id = chip_id if chip_id is not None else bytes(range(1, 65))
            hw_id = chip_id[:8] if self.product == "Turin" else chip_id
        if hw_id is not None:
            extensions.append(amd_extension(HW_ID, hw_id))
        if self.key_kind == "VLEK":
            extensions.append(amd_extension(CSP_ID, der_ia5(VLEK_CSP)))
        builder = (
            x509.CertificateBuilder()
            .subject_name(amd_name(common_name or f"SEV-{self.key_kind}"))
            .issuer_name(self.intermediate.subject)
            .public_key(key.public_key())
            # AMD writes serial number 0, which cryptography refuses to write.
            .serial_number(1)
            .not_valid_before(not_before)
            .not_valid_after(not_after or not_before + LEAF_LIFETIME)
        )
        for extension in [*extensions, *extra]:
            if extension.oid.dotted_string not in omit:
                builder = builder.add_extension(extension, critical=False)
        for extension in critical:
            builder = builder.add_extension(extension, critical=True)
        certificate = pss_signed(builder, signer or self.intermediate_key, rsa_padding)
        return Leaf(redeclared(certificate, declared) if declared is not None else certificate, key)

    def issue_for(self, report: bytes | bytearray, **overrides: object) -> Leaf:
        """A leaf that matches `report`: its reported TCB as SPLs and its chip id as hwID."""
        arguments: dict[str, object] = {"spls": spls_of(report), "chip_id": chip_id_of(report)}
        arguments.update(overrides)
        return self.issue(**arguments)  # type: ignore[arg-type]


@functools.cache
def rsa_key(purpose: str) -> rsa.RSAPrivateKey:
    """An RSA-4096 key per purpose ("ARK-Milan", "SEV-VLEK-Genoa", ...), made once."""
    del purpose  # the cache key only
    return rsa.generate_private_key(public_exponent=65537, key_size=4096)


@functools.cache
def root(product: str) -> x509.Certificate:
    """The product line's self-signed ARK."""
    name = amd_name(f"ARK-{product}")
    key = rsa_key(f"ARK-{product}")
    not_before = _now() - LONG_AGO
    builder = (
        x509.CertificateBuilder()
        .subject_name(name).issuer_name(name).public_key(key.public_key())
        .serial_number(0x10000).not_valid_before(not_before).not_valid_after(not_before + ROOT_LIFETIME)
        .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
    )
    return pss_signed(builder, key)


@functools.cache
def authority(product: str = "Milan", key_kind: str = "VCEK") -> Authority:
    """The test's ASK (for VCEKs) or ASVK (for VLEKs) of a product line, with its ARK."""
    ark = root(product)
    ark_key = rsa_key(f"ARK-{product}")
    name = f"SEV-{product}" if key_kind == "VCEK" else f"SEV-VLEK-{product}"
    key = rsa_key(name)
    builder = (
        x509.CertificateBuilder()
        .subject_name(amd_name(name)).issuer_name(ark.subject).public_key(key.public_key())
        .serial_number(0x10001).not_valid_before(ark.not_valid_before_utc).not_valid_after(ark.not_valid_after_utc)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ark_key.public_key()), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(x509.KeyUsage(False, False, False, False, False, True, False, False, False), critical=True)
    )
    return Authority(product, key_kind, ark, ark_key, pss_signed(builder, ark_key), key)


def spls_of(report: bytes | bytearray) -> dict[str, int]:
    """The report's reported TCB under the KDS query names, `fmcSPL` first on Turin (by its CPUID family)."""
    layout = GENERATIONS["turin" if report[CPUID] == GENERATIONS["turin"].family else "milan"].tcb
    field = report[REPORTED_TCB:REPORTED_TCB + 8]
    return {name: field[layout[component]] for name, component in SPL_COMPONENTS.items() if component in layout}


def chip_id_of(report: bytes | bytearray) -> bytes:
    return bytes(report[CHIP_ID:CHIP_ID + 64])


def genuine_pair(name: str = "reports/milan-v3-oak") -> tuple[bytes, bytes]:
    """A genuine report of tests/data and its VCEK or VLEK (PEM)."""
    return (DATA / f"{name}.bin").read_bytes(), (DATA / f"{name}.vcek.pem").read_bytes()


def pinned_pem(product: str) -> bytes:
    """AMD's VCEK chain of a product line as the package pins it: the ASK then the ARK."""
    return (PINNED / f"ask_ark_{product.lower()}{'_vcek' if product == 'Turin' else ''}.pem").read_bytes()
