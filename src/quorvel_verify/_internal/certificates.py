"""Helpers for certificates on every platform: their identity, their name, and how messages count them."""

from __future__ import annotations

from cryptography import x509
from cryptography.hazmat.primitives import serialization


def der(certificate: x509.Certificate) -> bytes:
    """The certificate's DER bytes: what pinning compares, since equal certificates have equal DER."""
    return certificate.public_bytes(serialization.Encoding.DER)


def common_name(certificate: x509.Certificate) -> str:
    """The subject's common name, or the whole subject where it has none: how checks name a certificate."""
    names = certificate.subject.get_attributes_for_oid(x509.NameOID.COMMON_NAME)
    return str(names[0].value) if names else certificate.subject.rfc4514_string()


def how_many(count: int) -> str:
    """`count` certificates, as a message says it: "1 certificate", "3 certificates"."""
    return f"{count} certificate{'' if count == 1 else 's'}"
