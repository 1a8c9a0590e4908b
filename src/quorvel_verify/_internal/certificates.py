"""Helpers for certificates on every platform: their identity, their name, and how messages count them."""

from __future__ import annotations

from cryptography import x509
from cryptography.hazmat.primitives import serialization


def der(certificate: x509.Certificate) -> bytes:
    """The certificate's DER bytes: what pinning compares, since equal certificates have equal DER."""
    return certificate.public_bytes(serialization.Encoding.DER)


def common_name(certificate: x509.Certificate, unnamed: str | None = None) -> str:
    """The subject's common name: how checks name a certificate. Where it has none, `unnamed`, or by default
    the whole subject. Where `unnamed` is given, a subject that cannot be decoded is unnamed too (cryptography
    decodes names when first read; an attribute of a type its OID never has is a TypeError); else that raises."""
    try:
        names = certificate.subject.get_attributes_for_oid(x509.NameOID.COMMON_NAME)
    except (ValueError, TypeError):
        if unnamed is None:
            raise
        return unnamed
    if names:
        return str(names[0].value)
    return certificate.subject.rfc4514_string() if unnamed is None else unnamed


def how_many(count: int) -> str:
    """`count` certificates, as a message says it: "1 certificate", "3 certificates"."""
    return f"{count} certificate{'' if count == 1 else 's'}"
