"""Intel's ECDSA signatures: P-256 with SHA-256, written raw as r || s (32 bytes each, big-endian)."""

from __future__ import annotations

from typing import Final

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

RAW_SIGNATURE_SIZE: Final = 64
_ECDSA_SHA256: Final = ec.ECDSA(hashes.SHA256())


def p256_verifies(key: object, signature: bytes, data: bytes) -> bool:
    """Whether `signature` (r || s) is the P-256 `key`'s over `data`; any other key never verifies."""
    if not isinstance(key, ec.EllipticCurvePublicKey) or key.curve.name != "secp256r1":
        return False
    if len(signature) != RAW_SIGNATURE_SIZE:
        return False
    der = encode_dss_signature(int.from_bytes(signature[:32], "big"), int.from_bytes(signature[32:], "big"))
    try:
        key.verify(der, data, _ECDSA_SHA256)
    except InvalidSignature:
        return False
    return True
