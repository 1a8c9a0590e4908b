"""Azure's HCL report: the hardware report of a confidential VM, with the runtime claims it vouches for.

Azure's paravisor (the HCL) asks the hardware for a report whose report data
holds the digest of a JSON document of runtime claims (among them the vTPM's
attestation and endorsement keys), and hands out both together:

    0x000  header: "HCLA", version, total size, request type, status, 12 reserved bytes
    0x020  the hardware report, 1184 bytes: an SEV-SNP report, or a TDX TDREPORT
           (1024 bytes, zero-padded) for report type 4
    0x4C0  runtime data header: data size (this 20-byte header and the claims),
           version (1), report type (2 SEV-SNP, 4 TDX), hash type
           (1 SHA-256, 2 SHA-384, 3 SHA-512), claims size
    0x4D4  the runtime claims, UTF-8 JSON, exactly as hashed

Only the hardware report is signed (or MACed); the claims are trusted
through their digest in its report data, and nothing else in the header is.
So parsing only locates the parts, and the `hcl` check says whether they
hold together.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import re
import struct
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Final

from cryptography.hazmat.primitives.asymmetric import rsa

from .._internal import limits
from .._internal.json_object import load_object
from .._internal.untrusted import describe, plainly
from ..checks import Check, Outcome
from ..errors import located

SIGNATURE: Final = b"HCLA"
HEADER: Final = struct.Struct("<4sIIII12x")
HEADER_VERSIONS: Final = frozenset({1, 2})
HARDWARE_REPORT_OFFSET: Final = 0x20
HARDWARE_REPORT_SIZE: Final = 1184
RUNTIME_HEADER: Final = struct.Struct("<5I")
RUNTIME_HEADER_OFFSET: Final = HARDWARE_REPORT_OFFSET + HARDWARE_REPORT_SIZE
CLAIMS_OFFSET: Final = RUNTIME_HEADER_OFFSET + RUNTIME_HEADER.size
RUNTIME_DATA_VERSION: Final = 1

MAX_SIZE: Final = limits.HCL_REPORT_SIZE

REPORT_TYPE_SEV_SNP: Final = 2
REPORT_TYPE_TDX: Final = 4
REPORT_TYPES: Final = {REPORT_TYPE_SEV_SNP: "SEV-SNP", REPORT_TYPE_TDX: "TDX"}
HASH_TYPES: Final = {1: "sha256", 2: "sha384", 3: "sha512"}  # by hashlib's names
HASH_NAMES: Final = {"sha256": "SHA-256", "sha384": "SHA-384", "sha512": "SHA-512"}

# Where each hardware report keeps its 64 bytes of report data.
SEV_SNP_REPORT_DATA: Final = slice(0x50, 0x90)
TDREPORT_SIZE: Final = 1024
TDREPORT_DATA: Final = slice(128, 192)
# A TDREPORT's REPORTMACSTRUCT starts with its type; 0x81 is TDX's.
TDREPORT_TYPE_TDX: Final = 0x81

ATTESTATION_KEY_ID: Final = "HCLAkPub"
ENDORSEMENT_KEY_ID: Final = "HCLEkPub"
# An RSA modulus beyond this is not a TPM's and costs time to load.
MAX_RSA_BITS: Final = 8192
_BASE64URL: Final = re.compile(r"[A-Za-z0-9_-]+")


def is_hcl_report(data: bytes) -> bool:
    """Whether `data` is meant as an HCL report: it starts with the header's signature."""
    return bytes(data[:len(SIGNATURE)]) == SIGNATURE


@dataclass(frozen=True)
class HclReport:
    """An HCL report, its parts located; nothing in it is trusted until the `hcl` check passes and the
    hardware report verifies."""

    raw: bytes
    version: int  # of the header: 1 or 2
    total_size: int  # as the header states it: header, hardware report and runtime data
    request_type: int
    status: int
    report_type: int  # 2 SEV-SNP, 4 TDX
    hardware_report: bytes  # the 1184 bytes of an SEV-SNP report, or the 1024 of a TDREPORT
    hardware_padding: bytes  # what follows a TDREPORT in its 1184-byte slot (empty for SEV-SNP)
    runtime_data_size: int
    runtime_data_version: int
    hash_type: int
    claims_bytes: bytes  # exactly as stored and hashed
    claims: Mapping[str, object]
    attestation_key: rsa.RSAPublicKey | None  # the vTPM's attestation key, HCLAkPub
    attestation_key_jwk: Mapping[str, object] | None
    endorsement_key: rsa.RSAPublicKey | None  # the vTPM's endorsement key, HCLEkPub
    endorsement_key_jwk: Mapping[str, object] | None

    @property
    def platform(self) -> str:
        """"SEV-SNP" or "TDX"."""
        return REPORT_TYPES[self.report_type]

    @property
    def hash_name(self) -> str:
        return HASH_TYPES[self.hash_type]

    @property
    def report_data(self) -> bytes:
        """The hardware report's 64 bytes of report data."""
        where = SEV_SNP_REPORT_DATA if self.report_type == REPORT_TYPE_SEV_SNP else TDREPORT_DATA
        return self.hardware_report[where]

    def to_json(self) -> dict[str, object]:
        """The parts a service reads: the claims as parsed, and what the header states."""
        return {
            "version": self.version,
            "report_type": self.platform,
            "hash_type": self.hash_name,
            "claims": dict(self.claims),
        }


def parse_hcl_report(data: bytes, source: str = "report") -> HclReport:
    """The parts of an HCL report; VerificationError naming `source` if they cannot be located or read."""
    data = bytes(data)
    if not is_hcl_report(data):
        raise located(source, f"not an HCL report: it does not start with {SIGNATURE.decode()}")
    source = f"{source}: HCL report"
    if len(data) > MAX_SIZE:
        raise located(source, f"{len(data)} bytes, more than the {MAX_SIZE} an HCL report can take")
    if len(data) < CLAIMS_OFFSET:
        raise located(
            source, f"{len(data)} bytes, too short for the header, the hardware report and the runtime data "
            f"header ({CLAIMS_OFFSET} bytes)"
        )
    _, version, total_size, request_type, status = HEADER.unpack_from(data)
    data_size, data_version, report_type, hash_type, claims_size = RUNTIME_HEADER.unpack_from(
        data, RUNTIME_HEADER_OFFSET
    )
    if report_type not in REPORT_TYPES:
        raise located(
            source, f"report type {report_type}; expected {REPORT_TYPE_SEV_SNP} (SEV-SNP) or {REPORT_TYPE_TDX} (TDX)"
        )
    if hash_type not in HASH_TYPES:
        raise located(source, f"hash type {hash_type}; expected 1 (SHA-256), 2 (SHA-384) or 3 (SHA-512)")
    if claims_size > len(data) - CLAIMS_OFFSET:
        raise located(
            source, f"the runtime claims ({claims_size} bytes at {CLAIMS_OFFSET:#x}) run past its {len(data)} bytes"
        )
    slot = data[HARDWARE_REPORT_OFFSET:RUNTIME_HEADER_OFFSET]
    hardware_size = TDREPORT_SIZE if report_type == REPORT_TYPE_TDX else HARDWARE_REPORT_SIZE
    claims_bytes = data[CLAIMS_OFFSET:CLAIMS_OFFSET + claims_size]
    claims = load_object(claims_bytes, f"{source}: runtime claims", MAX_SIZE)
    attestation_jwk, attestation_key = _vtpm_key(claims, ATTESTATION_KEY_ID, f"{source}: runtime claims")
    endorsement_jwk, endorsement_key = _vtpm_key(claims, ENDORSEMENT_KEY_ID, f"{source}: runtime claims")
    return HclReport(
        raw=data,
        version=version,
        total_size=total_size,
        request_type=request_type,
        status=status,
        report_type=report_type,
        hardware_report=slot[:hardware_size],
        hardware_padding=slot[hardware_size:],
        runtime_data_size=data_size,
        runtime_data_version=data_version,
        hash_type=hash_type,
        claims_bytes=claims_bytes,
        claims=claims,
        attestation_key=attestation_key,
        attestation_key_jwk=attestation_jwk,
        endorsement_key=endorsement_key,
        endorsement_key_jwk=endorsement_jwk,
    )


def _vtpm_key(
    claims: Mapping[str, object], kid: str, source: str
) -> tuple[Mapping[str, object] | None, rsa.RSAPublicKey | None]:
    """The JWK of `kid` among the claims' `keys`, and its RSA key; (None, None) where it is not there."""
    keys = claims.get("keys")
    if keys is None:
        return None, None
    if not isinstance(keys, list) or not all(isinstance(key, dict) for key in keys):
        raise located(source, "keys: expected an array of JSON Web Keys")
    found = [key for key in keys if key.get("kid") == kid]
    if not found:
        return None, None
    if len(found) > 1:
        raise located(source, f"keys: {kid} is given {len(found)} times")
    jwk = found[0]
    if jwk.get("kty") != "RSA":
        raise located(source, f"{kid}: expected an RSA key (kty RSA), got kty {jwk.get('kty')!r}")
    n, e = (_jwk_integer(jwk, name, f"{source}: {kid}") for name in ("n", "e"))
    if n.bit_length() > MAX_RSA_BITS:
        raise located(source, f"{kid}: a modulus of {n.bit_length()} bits, more than {MAX_RSA_BITS}")
    try:
        key = rsa.RSAPublicNumbers(e, n).public_key()
    except ValueError as error:
        raise located(source, f"{kid}: not a usable RSA public key ({plainly(error)})", describe(error)) from None
    return jwk, key


def _jwk_integer(jwk: Mapping[str, object], name: str, source: str) -> int:
    """A JWK's base64url-encoded, unpadded, big-endian integer member."""
    text = jwk.get(name)
    if not isinstance(text, str) or not text or len(text) > MAX_RSA_BITS:
        raise located(source, f"{name}: expected a non-empty base64url string")
    # b64decode maps the URL-safe symbols onto + and /, and would then take + and / as well.
    if not _BASE64URL.fullmatch(text):
        raise located(source, f"{name}: not base64url (unpadded, A-Z a-z 0-9 - _)")
    try:
        value = base64.b64decode(text + "=" * (-len(text) % 4), altchars=b"-_", validate=True)
    except binascii.Error:
        raise located(source, f"{name}: not base64url (a length that no encoding gives)") from None
    return int.from_bytes(value, "big")


def hcl_check(hcl: HclReport) -> Check:
    """`hcl`: the header and runtime data hold together, and the hardware report's data binds the claims.

    The claims' digest (of the hash type stated) must fill the start of the
    report data and zeros the rest: a SHA-256 leaves 32 bytes, which every
    genuine report holds as zeros; anything else there would be signed data
    that the claims do not account for.
    """
    problems = []
    if hcl.version not in HEADER_VERSIONS:
        problems.append(f"header version 1 or 2, not {hcl.version}")
    expected_total = RUNTIME_HEADER_OFFSET + hcl.runtime_data_size
    if hcl.total_size != expected_total:
        problems.append(f"a total size of {expected_total} (the runtime data's end), as the header states; "
                        f"it states {hcl.total_size}")
    if hcl.runtime_data_size != RUNTIME_HEADER.size + len(hcl.claims_bytes):
        problems.append(f"a runtime data size of {RUNTIME_HEADER.size + len(hcl.claims_bytes)} (its header and "
                        f"the claims); it states {hcl.runtime_data_size}")
    if hcl.runtime_data_version != RUNTIME_DATA_VERSION:
        problems.append(f"runtime data version {RUNTIME_DATA_VERSION}, not {hcl.runtime_data_version}")
    if hcl.report_type == REPORT_TYPE_TDX and (hcl.hardware_report[0] != TDREPORT_TYPE_TDX or any(hcl.hardware_padding)):
        problems.append(f"a TDX TDREPORT (type {TDREPORT_TYPE_TDX:#x}, then zeros to {HARDWARE_REPORT_SIZE} bytes), "
                        f"as report type {REPORT_TYPE_TDX} says")
    digest = hashlib.new(hcl.hash_name, hcl.claims_bytes).digest()
    expected = digest + bytes(len(hcl.report_data) - len(digest))
    if hcl.report_data != expected:
        problems.append(f"report data {expected.hex()} (the {HASH_NAMES[hcl.hash_name]} of the runtime claims as "
                        f"stored, then zeros); the {hcl.platform} report has {hcl.report_data.hex()}")
    if problems:
        return Check("hcl", Outcome.FAIL, "expected " + "; ".join(problems))
    return Check("hcl", Outcome.PASS, (
        f"HCL report version {hcl.version}, report type {hcl.platform}; its report data is the "
        f"{HASH_NAMES[hcl.hash_name]} of the {len(hcl.claims_bytes)} bytes of runtime claims"
        + (", then zeros" if len(digest) < len(hcl.report_data) else "")
    ))
