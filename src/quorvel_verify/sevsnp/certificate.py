"""What a VCEK or VLEK certificate says: its key and AMD's extensions, read once per certificate.

AMD's extensions live under 1.3.6.1.4.1.3704.1: `.2` the product name (an
IA5String such as "Milan-B0", "Genoa", "Turin"), `.4` the hwID (the chip id,
as raw bytes: 64 on Milan and Genoa, the first 8 on Turin; VCEKs only), and
the security patch levels (SPLs), each a DER INTEGER: `.3.1` bootloader,
`.3.2` TEE, `.3.3` SNP firmware, `.3.8` microcode and, on Turin, `.3.9` FMC.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import cast

from cryptography import x509
from cryptography.hazmat.asn1 import IA5String, decode_der
from cryptography.hazmat.primitives.asymmetric import ec

from .._internal.certificates import common_name

AMD_OID = "1.3.6.1.4.1.3704.1"
PRODUCT_NAME = x509.ObjectIdentifier(f"{AMD_OID}.2")
HW_ID = x509.ObjectIdentifier(f"{AMD_OID}.4")
# In a VLEK: the cloud provider AMD issued it to, an IA5String ("CN=cc-us-east-2.amazonaws.com" in AWS's).
CSP_ID = x509.ObjectIdentifier(f"{AMD_OID}.5")
# By the names of the KDS query, in its order.
SPL_OIDS = {
    "fmcSPL": x509.ObjectIdentifier(f"{AMD_OID}.3.9"),
    "blSPL": x509.ObjectIdentifier(f"{AMD_OID}.3.1"),
    "teeSPL": x509.ObjectIdentifier(f"{AMD_OID}.3.2"),
    "snpSPL": x509.ObjectIdentifier(f"{AMD_OID}.3.3"),
    "ucodeSPL": x509.ObjectIdentifier(f"{AMD_OID}.3.8"),
}


@dataclass(frozen=True, eq=False)
class LeafFacts:
    """A VCEK's or VLEK's facts that the checks compare with the report.

    Compared by identity: the verifier reads them once per certificate and
    keys what it derives from them on the object.
    """

    certificate: x509.Certificate
    common_name: str
    version: x509.Version
    key: ec.EllipticCurvePublicKey | None  # None unless an ECDSA P-384 key
    key_description: str
    product_name: str | None  # None when absent or not an IA5String
    hw_id: bytes | None
    spls: dict[str, int | None]  # None where the extension is absent or not a DER INTEGER
    # What marks it as a certificate authority ("CA=true", "keyCertSign"): a key that signs reports signs no
    # certificates, and AMD's leaves carry neither.
    authority: tuple[str, ...] = ()
    # The OIDs of its critical extensions that the verifier does not know: RFC 5280 has a certificate with one
    # refused, since the extension may restrict what the certificate means.
    unknown_critical: tuple[str, ...] = ()

    @property
    def product(self) -> str | None:
        """The product line of the product name ("Milan-B0" is Milan), as text: it may name no known line."""
        return self.product_name.split("-")[0] if self.product_name is not None else None


def _authority(certificate: x509.Certificate) -> tuple[str, ...]:
    marks = []
    for extension in certificate.extensions:
        if isinstance(extension.value, x509.BasicConstraints) and extension.value.ca:
            marks.append("CA=true")
        if isinstance(extension.value, x509.KeyUsage) and extension.value.key_cert_sign:
            marks.append("keyCertSign")
    return tuple(marks)


def _unknown_critical(certificate: x509.Certificate) -> tuple[str, ...]:
    return tuple(
        extension.oid.dotted_string
        for extension in certificate.extensions
        if extension.critical and isinstance(extension.value, x509.UnrecognizedExtension)
        and not extension.oid.dotted_string.startswith(f"{AMD_OID}.")
    )


def _amd_extensions(certificate: x509.Certificate) -> dict[x509.ObjectIdentifier, bytes]:
    """The values of the certificate's extensions that cryptography does not know, such as AMD's, by OID."""
    return {
        extension.oid: extension.value.value
        for extension in certificate.extensions
        if isinstance(extension.value, x509.UnrecognizedExtension)
    }


# cryptography's DER decoder resolves the Python type on every call, which
# costs more than the decoding; the values themselves are few (patch levels,
# product names), so a verifier passes its own cache of them as `decode`.
def decoded[T](kind: type[T], value: bytes | None) -> T | None:
    """`value`, a DER encoding of `kind`, decoded; None if it is absent or not that."""
    if value is None:
        return None
    if kind is int and 2 < len(value) <= 10 and value[0] == 0x02 and value[1] == len(value) - 2 and (
            len(value) == 3 or (value[2], value[3] >> 7) not in ((0x00, 0), (0xFF, 1))):
        # A short, minimally encoded DER INTEGER, as every patch level is: its value, as the decoder would give
        # it; anything else (long, padded, another tag) goes to the decoder, whose first call resolves the type.
        return cast(T, int.from_bytes(value[2:], "big", signed=True))
    try:
        return decode_der(kind, value)
    except ValueError:
        return None


def _spl(value: object) -> int | None:
    return value if isinstance(value, int) else None


def _key(certificate: x509.Certificate) -> tuple[ec.EllipticCurvePublicKey | None, str]:
    try:
        key = certificate.public_key()
    except ValueError:  # a key that cryptography cannot load (its loader refuses it on reading, before any check)
        return None, "a key that cannot be loaded"
    if isinstance(key, ec.EllipticCurvePublicKey):
        if isinstance(key.curve, ec.SECP384R1):
            return key, "ECDSA P-384"
        return None, f"an ECDSA {key.curve.name} key"
    return None, f"a {type(key).__name__.removeprefix('_')} key"


def leaf_facts(
    certificate: x509.Certificate, name: str | None = None, decode: Callable[[type, bytes | None], object] = decoded
) -> LeafFacts:
    """What the certificate says; `name` is its common name where the caller has read it already; `decode`
    decodes AMD's DER values (`decoded`, or a cache of it)."""
    key, key_description = _key(certificate)
    extensions = _amd_extensions(certificate)
    product_name = decode(IA5String, extensions.get(PRODUCT_NAME))
    return LeafFacts(
        certificate=certificate,
        common_name=name if name is not None else common_name(certificate),
        version=certificate.version,
        key=key,
        key_description=key_description,
        product_name=product_name.as_str() if isinstance(product_name, IA5String) else None,
        hw_id=extensions.get(HW_ID),
        spls={spl: _spl(decode(int, extensions.get(oid))) for spl, oid in SPL_OIDS.items()},
        authority=_authority(certificate),
        unknown_critical=_unknown_critical(certificate),
    )


def csp_id_of(certificate: x509.Certificate) -> str | None:
    """The CSP_ID extension of a VLEK, decoded; None where it is absent or not an IA5String."""
    for extension in certificate.extensions:
        if extension.oid == CSP_ID and isinstance(extension.value, x509.UnrecognizedExtension):
            try:
                return decode_der(IA5String, extension.value.value).as_str()
            except ValueError:
                return None
    return None
