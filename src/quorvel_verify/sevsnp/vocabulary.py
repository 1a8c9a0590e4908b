"""The words of AMD SEV-SNP, defined once: product lines, key kinds and how AMD signs."""

from __future__ import annotations

import enum
from typing import Final

from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding


class ProductLine(enum.StrEnum):
    """An AMD EPYC generation with SEV-SNP, as AMD's key service and certificates name it."""

    MILAN = "Milan"
    GENOA = "Genoa"
    TURIN = "Turin"


class KeyKind(enum.StrEnum):
    """The kind of key that signs a report: a chip's own VCEK, or a cloud provider's VLEK."""

    VCEK = "VCEK"  # versioned chip endorsement key: one chip at one TCB, signed by the ASK
    VLEK = "VLEK"  # versioned loaded endorsement key: one provider, signed by the ASVK


# How AMD's roots sign their intermediates and revocation lists, and the intermediates their leaves:
# RSASSA-PSS with SHA-384, MGF1 with SHA-384 and a salt as long as the hash.
AMD_PSS: Final = padding.PSS(mgf=padding.MGF1(hashes.SHA384()), salt_length=48)
AMD_PSS_HASH: Final = hashes.SHA384()
# The same as a certificate declares it (its signatureAlgorithm, in DER). AMD's certificates write PSS's
# default trailer field or leave it out: both encodings are AMD's, and no other.
AMD_PSS_DECLARED: Final = frozenset(bytes.fromhex(encoding) for encoding in (
    "304106092a864886f70d01010a3034a00f300d06096086480165030402020500a11c301a06092a864886f70d010108300d0609608648"
    "0165030402020500a203020130",
    "304606092a864886f70d01010a3039a00f300d06096086480165030402020500a11c301a06092a864886f70d010108300d0609608648"
    "0165030402020500a203020130a303020101",
))

# Turin's VCEKs name the chip by the first 8 bytes of its chip id (the rest of it is zero there).
TURIN_HW_ID_SIZE: Final = 8
