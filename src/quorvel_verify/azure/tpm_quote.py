"""The vTPM's quote: what the TPM signed (`TPMS_ATTEST`), its signature, and the PCR values it vouches for.

An HCL report is made once, at boot; its runtime claims hold the vTPM's
attestation key (HCLAkPub). A relying party proves freshness and the boot
state with a quote that this key signs over its nonce (the quote's extra
data) and a digest of the PCRs it selects. The quote comes as three parts:

    message    TPMS_ATTEST, big-endian: magic 0xff544347, type 0x8018 (quote),
               qualified signer (TPM2B_NAME), extra data (TPM2B_DATA), clock
               info (clock, reset count, restart count, safe), firmware
               version, then the quote's PCR selection (TPML_PCR_SELECTION)
               and the digest of the selected PCRs (TPM2B_DIGEST)
    signature  TPMT_SIGNATURE (RSASSA or RSAPSS, over SHA-256), or the bare
               RSASSA-PKCS1-v1_5 signature, of the key's modulus size, as
               Azure's tools hand it out
    pcrs       the values of the selected PCRs, in the order of the selection

Everything here is parsed exactly: a structure with bytes left over, one cut
short, another attestation type or another hash is refused, saying which.
Nothing is trusted before `tpm_checks` verifies it against the HCL report's
attestation key.
"""

from __future__ import annotations

import hashlib
import re
import struct
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Final

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa

from .._internal import limits
from .._internal.json_object import load_object
from .._internal.untrusted import check_size
from ..checks import Check, Outcome
from ..errors import about, located

MAGIC: Final = 0xFF544347  # TPM_GENERATED_VALUE: the TPM made this structure itself
ATTEST_QUOTE: Final = 0x8018
# What else a TPMS_ATTEST can be, so that a refusal names it.
ATTEST_TYPES: Final = {
    0x8014: "NV", 0x8015: "command audit", 0x8016: "session audit", 0x8017: "certify", 0x8018: "quote",
    0x8019: "time", 0x801A: "creation", 0x801C: "NV digest",
}
ALG_SHA256: Final = 0x000B
HASH_ALGS: Final = {
    0x0004: "SHA-1", 0x000B: "SHA-256", 0x000C: "SHA-384", 0x000D: "SHA-512", 0x0012: "SM3-256",
    0x0027: "SHA3-256", 0x0028: "SHA3-384", 0x0029: "SHA3-512",
}
ALG_RSASSA: Final = 0x0014
ALG_RSAPSS: Final = 0x0016
SIGNATURE_ALGS: Final = {
    0x0005: "HMAC", 0x0010: "NULL", 0x0014: "RSASSA", 0x0016: "RSAPSS", 0x0018: "ECDSA", 0x001A: "ECDAA",
    0x001B: "SM2", 0x001C: "ECSCHNORR",
}
SHA256_SIZE: Final = 32

# The TPM's own bounds: a name or extra data holds at most a hash algorithm's id and a SHA-512 digest
# (sizeof(TPMT_HA)), a digest at most a SHA-512; a TPM has at most 16 PCR banks, and 24 PCRs (3 bytes of
# selection) in each on every vTPM, 32 leaving room.
MAX_NAME: Final = 2 + 64
MAX_DATA: Final = 2 + 64
MAX_DIGEST: Final = 64
MAX_BANKS: Final = 16
MAX_SELECT: Final = 4
# TPMS_ATTEST of a quote with every bound reached is under 500 bytes; the largest RSA signature (8192 bits)
# with its header is 1030.
MESSAGE_SIZE: Final = 1 * limits.KIB
SIGNATURE_SIZE: Final = 2 * limits.KIB
PCR_VALUES: Final = MAX_BANKS * 8 * MAX_SELECT
PCRS_SIZE: Final = PCR_VALUES * 2 * MAX_DIGEST + 4 * limits.KIB  # as hex lines, with room for spacing
QUOTE_FILE_SIZE: Final = 64 * limits.KIB  # the JSON form: message, signature and values as hex

_HEX: Final = re.compile(r"(?:[0-9A-Fa-f]{2})*")


@dataclass(frozen=True, slots=True)
class PcrSelection:
    """One bank of a quote's PCR selection: its hash algorithm and the PCRs selected, in ascending order."""

    hash_alg: int
    pcrs: tuple[int, ...]

    @property
    def hash_name(self) -> str:
        return HASH_ALGS.get(self.hash_alg, f"algorithm {self.hash_alg:#06x}")


@dataclass(frozen=True, slots=True)
class Attestation:
    """A `TPMS_ATTEST` of type quote, parsed; `raw` is exactly what was signed."""

    raw: bytes
    qualified_signer: bytes  # TPM2B_NAME: the signing key's name, as the TPM qualifies it
    extra_data: bytes  # the nonce the quote was asked for
    clock: int  # milliseconds the TPM has been powered, never going back
    reset_count: int
    restart_count: int
    safe: bool  # whether the clock was never reported ahead of what it later held
    firmware_version: int
    pcr_selection: tuple[PcrSelection, ...]
    pcr_digest: bytes

    @property
    def selected(self) -> tuple[tuple[int, int], ...]:
        """(hash algorithm, PCR index) of each PCR the quote covers, in the order its digest takes them."""
        return tuple((bank.hash_alg, pcr) for bank in self.pcr_selection for pcr in bank.pcrs)

    def to_json(self) -> dict[str, object]:
        return {
            "type": "quote",
            "qualified_signer": self.qualified_signer.hex(),
            "extra_data": self.extra_data.hex(),
            "clock": self.clock,
            "reset_count": self.reset_count,
            "restart_count": self.restart_count,
            "safe": self.safe,
            "firmware_version": f"{self.firmware_version:016x}",
            "pcr_selection": [{"hash": bank.hash_name, "pcrs": list(bank.pcrs)} for bank in self.pcr_selection],
            "pcr_digest": self.pcr_digest.hex(),
        }


@dataclass(frozen=True, slots=True)
class TpmSignature:
    """A quote's signature: the scheme (RSASSA or RSAPSS, always over SHA-256) and its bytes; `bare` when it
    came without the TPMT_SIGNATURE header, as a plain PKCS#1 v1.5 signature."""

    scheme: int
    signature: bytes
    bare: bool

    @property
    def scheme_name(self) -> str:
        return SIGNATURE_ALGS[self.scheme]

    def to_json(self) -> dict[str, object]:
        return {"scheme": self.scheme_name, "hash": "SHA-256", "form": "bare" if self.bare else "TPMT_SIGNATURE"}


@dataclass(frozen=True, slots=True)
class TpmQuote:
    """A vTPM quote as given, nothing parsed or trusted yet: the `message` (TPMS_ATTEST), its `signature`
    (TPMT_SIGNATURE, or bare PKCS#1) and the `pcrs` values, in the order of the quote's selection (empty:
    none given)."""

    message: bytes
    signature: bytes
    pcrs: tuple[bytes, ...] = ()

    def __post_init__(self) -> None:
        for name in ("message", "signature"):
            value = getattr(self, name)
            if not isinstance(value, bytes | bytearray | memoryview):
                raise about("tpm_quote", f"{name}: expected bytes, got {type(value).__name__}")
            object.__setattr__(self, name, bytes(value))
        pcrs = self.pcrs
        if isinstance(pcrs, bytes | str) or not isinstance(pcrs, Sequence) or not all(
            isinstance(value, bytes | bytearray) for value in pcrs
        ):
            raise about("tpm_quote", "pcrs: expected a sequence of PCR values, each bytes")
        object.__setattr__(self, "pcrs", tuple(bytes(value) for value in pcrs))
        check_size(self.message, MESSAGE_SIZE, "tpm_quote: message", "TPMS_ATTEST")
        check_size(self.signature, SIGNATURE_SIZE, "tpm_quote: signature", "TPM signature")
        if len(self.pcrs) > PCR_VALUES:
            raise about("tpm_quote", f"pcrs: {len(self.pcrs)} values, more than any quote selects ({PCR_VALUES})")

    @classmethod
    def from_json(cls, data: bytes | str | Mapping[str, object]) -> TpmQuote:
        """The quote in its JSON form: an object with `message`, `signature` and `pcrs` (an array), in hex."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        if isinstance(data, bytes | bytearray | memoryview):
            data = load_object(bytes(data), "tpm_quote", QUOTE_FILE_SIZE)
        if not isinstance(data, Mapping):
            raise about("tpm_quote", f"expected the quote's JSON object, got {type(data).__name__}")
        unknown = sorted(set(data) - {"message", "signature", "pcrs"})
        if unknown:
            raise located("tpm_quote", f"unknown member {unknown[0]!r}; expected message, signature and pcrs")
        pcrs = data.get("pcrs", [])
        if not isinstance(pcrs, list):
            raise located("tpm_quote", "pcrs: expected an array of hex strings")
        return cls(
            message=_hex(data.get("message"), "message"), signature=_hex(data.get("signature"), "signature"),
            pcrs=tuple(_hex(value, f"pcrs[{index}]") for index, value in enumerate(pcrs)),
        )


def _hex(value: object, name: str) -> bytes:
    if not isinstance(value, str) or not value:
        raise located("tpm_quote", f"{name}: expected a string of hex digits")
    if not _HEX.fullmatch(value):
        raise located("tpm_quote", f"{name}: not hex (an even number of digits 0-9 a-f, nothing else)")
    return bytes.fromhex(value)


def read_pcrs(data: bytes, source: str = "tpm_quote: pcrs") -> tuple[bytes, ...]:
    """PCR values as a file holds them: one value per line as hex (blank lines and spaces ignored), or
    binary, the SHA-256 values one after the other; either in the order of the quote's selection."""
    check_size(data, PCRS_SIZE, source, "file of PCR values")
    words = data.split()
    if words and all(_HEX.fullmatch(word.decode("latin-1")) for word in words):
        values = tuple(bytes.fromhex(word.decode("ascii")) for word in words)
    elif len(data) % SHA256_SIZE == 0:
        values = tuple(data[at:at + SHA256_SIZE] for at in range(0, len(data), SHA256_SIZE))
    else:
        raise located(source, f"neither hex lines nor SHA-256 values one after the other ({len(data)} bytes is no "
                              f"multiple of {SHA256_SIZE})")
    if len(values) > PCR_VALUES:
        raise located(source, f"{len(values)} values, more than any quote selects ({PCR_VALUES})")
    return values


class _Reader:
    """Reads a TPM structure front to back, big-endian, refusing any field that runs past the end."""

    def __init__(self, data: bytes, source: str) -> None:
        self.data, self.at, self.source = data, 0, source

    def take(self, size: int, field: str) -> bytes:
        if self.at + size > len(self.data):
            raise located(self.source, f"truncated: {len(self.data)} bytes end inside {field} (which needs "
                                       f"{size} bytes at offset {self.at})")
        part = self.data[self.at:self.at + size]
        self.at += size
        return part

    def number(self, size: int, field: str) -> int:
        return int.from_bytes(self.take(size, field), "big")

    def sized(self, limit: int, field: str) -> bytes:
        """A TPM2B: a 16-bit size, then that many bytes (at most `limit`, the structure's own bound)."""
        size = self.number(2, f"{field}'s size")
        if size > limit:
            raise located(self.source, f"{field} of {size} bytes, more than its {limit}")
        return self.take(size, field)

    def end(self) -> None:
        if self.at != len(self.data):
            left = len(self.data) - self.at
            raise located(self.source, f"{left} byte{'s' if left > 1 else ''} after its end at {self.at}: padded "
                                       "or another structure")


def parse_attestation(data: bytes, source: str = "tpm_quote: message") -> Attestation:
    """The TPMS_ATTEST of a quote, exactly (no byte before or after it); VerificationError naming what else
    it is."""
    data = check_size(bytes(data), MESSAGE_SIZE, source, "TPMS_ATTEST")
    reader = _Reader(data, source)
    magic = reader.number(4, "the magic")
    if magic != MAGIC:
        raise located(source, f"magic {magic:#010x}; a TPMS_ATTEST that the TPM made starts with {MAGIC:#010x}")
    kind = reader.number(2, "the type")
    if kind != ATTEST_QUOTE:
        named = f"a {ATTEST_TYPES[kind]} attestation" if kind in ATTEST_TYPES else "no attestation type"
        raise located(source, f"type {kind:#06x}, {named}; expected a quote ({ATTEST_QUOTE:#06x})")
    signer = reader.sized(MAX_NAME, "the qualified signer")
    extra = reader.sized(MAX_DATA, "the extra data")
    clock, resets, restarts, safe = struct.unpack(">QIIB", reader.take(17, "the clock info"))
    if safe > 1:
        raise located(source, f"clock info: safe is {safe}; a TPM writes 0 or 1")
    firmware = reader.number(8, "the firmware version")
    count = reader.number(4, "the PCR selection's count")
    if count > MAX_BANKS:
        raise located(source, f"a PCR selection of {count} banks, more than a TPM has ({MAX_BANKS})")
    banks = []
    for index in range(count):
        hash_alg = reader.number(2, f"PCR selection {index}'s hash")
        size = reader.number(1, f"PCR selection {index}'s size")
        if size > MAX_SELECT:
            raise located(source, f"PCR selection {index} of {size} bytes, more than the {MAX_SELECT} that "
                                  f"select {8 * MAX_SELECT} PCRs")
        bitmap = reader.take(size, f"PCR selection {index}")
        banks.append(PcrSelection(hash_alg, tuple(
            8 * at + bit for at, byte in enumerate(bitmap) for bit in range(8) if byte >> bit & 1
        )))
    digest = reader.sized(MAX_DIGEST, "the PCR digest")
    reader.end()
    return Attestation(
        raw=data, qualified_signer=signer, extra_data=extra, clock=clock, reset_count=resets,
        restart_count=restarts, safe=bool(safe), firmware_version=firmware, pcr_selection=tuple(banks),
        pcr_digest=digest,
    )


def parse_signature(data: bytes, modulus_size: int, source: str = "tpm_quote: signature") -> TpmSignature:
    """The quote's signature: bare PKCS#1 v1.5 when it is exactly `modulus_size` bytes (the attestation key's
    modulus), else a TPMT_SIGNATURE of RSASSA or RSAPSS over SHA-256, exactly; VerificationError naming
    what else it is."""
    data = check_size(bytes(data), SIGNATURE_SIZE, source, "TPM signature")
    if len(data) == modulus_size:
        return TpmSignature(ALG_RSASSA, data, bare=True)
    reader = _Reader(data, source)
    scheme = reader.number(2, "the signature algorithm")
    if scheme not in (ALG_RSASSA, ALG_RSAPSS):
        named = f"{SIGNATURE_ALGS[scheme]} " if scheme in SIGNATURE_ALGS else ""
        raise located(source, f"signature algorithm {named}({scheme:#06x})"
                      f"; expected RSASSA ({ALG_RSASSA:#06x}) or RSAPSS ({ALG_RSAPSS:#06x}), or the bare "
                      f"{modulus_size}-byte signature of the attestation key")
    hash_alg = reader.number(2, "the signature's hash")
    if hash_alg != ALG_SHA256:
        raise located(source, f"a signature over {HASH_ALGS.get(hash_alg, f'hash {hash_alg:#06x}')}; expected "
                              f"SHA-256 ({ALG_SHA256:#06x})")
    signature = reader.sized(SIGNATURE_SIZE, "the signature")
    reader.end()
    return TpmSignature(scheme, signature, bare=False)


@dataclass(frozen=True, slots=True)
class TpmEvidence:
    """A quote as the checks read it: the attestation and signature parsed, and the PCR values by index
    (those given, taken in the order of the selection; empty when they do not match it)."""

    attestation: Attestation
    signature: TpmSignature | None  # None where there is no attestation key to read it against
    given: TpmQuote

    @property
    def pcrs(self) -> dict[int, bytes]:
        """The given PCR values by index, when they are one per PCR of a selection of one SHA-256 bank."""
        selected = self.attestation.selected
        if len(selected) != len(self.given.pcrs) or any(alg != ALG_SHA256 for alg, _ in selected):
            return {}
        return {index: value for (_, index), value in zip(selected, self.given.pcrs, strict=True)}

    def to_json(self) -> dict[str, object]:
        return self.attestation.to_json() | {
            "signature": self.signature.to_json() if self.signature is not None else None,
            "pcrs": {str(index): value.hex() for index, value in self.pcrs.items()},
        }


def read_quote(given: TpmQuote, key: rsa.RSAPublicKey | None) -> TpmEvidence:
    """`given` parsed: the attestation, and the signature against the attestation key's modulus size."""
    attestation = parse_attestation(given.message)
    signature = parse_signature(given.signature, (key.key_size + 7) // 8) if key else None
    return TpmEvidence(attestation, signature, given)


def tpm_checks(quote: TpmEvidence, key: rsa.RSAPublicKey | None, nonce: bytes | None) -> tuple[Check, ...]:
    """`tpm_signature`, `tpm_pcrs` and `tpm_nonce` of a quote, against the HCL report's attestation key and
    the nonce the relying party expected (None: none)."""
    return _signature(quote, key), _pcrs(quote), _nonce(quote.attestation, nonce)


def _signature(quote: TpmEvidence, key: rsa.RSAPublicKey | None) -> Check:
    """`tpm_signature`: the quote verifies with HCLAkPub, the key the HCL report binds, and no other."""
    signature = quote.signature
    if key is None or signature is None:
        return Check("tpm_signature", Outcome.FAIL, "expected the HCL report's runtime claims to hold the "
                     "attestation key HCLAkPub, which signs the quote; they hold none")
    scheme: padding.AsymmetricPadding = (
        padding.PKCS1v15() if signature.scheme == ALG_RSASSA
        else padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=padding.PSS.AUTO)
    )
    form = "a bare PKCS#1 v1.5" if signature.bare else f"a TPMT_SIGNATURE {signature.scheme_name}"
    try:
        key.verify(signature.signature, quote.attestation.raw, scheme, hashes.SHA256())
    except InvalidSignature:
        return Check("tpm_signature", Outcome.FAIL, f"expected the quote signed by the HCL report's HCLAkPub "
                     f"({key.key_size}-bit RSA); {form} SHA-256 signature that does not verify with it")
    return Check("tpm_signature", Outcome.PASS, f"the quote verifies with the HCL report's HCLAkPub "
                 f"({key.key_size}-bit RSA): {form} SHA-256 signature")


def _pcrs(quote: TpmEvidence) -> Check:
    """`tpm_pcrs`: the given values are one per selected PCR, and their SHA-256 is the quote's PCR digest."""
    attestation, values = quote.attestation, quote.given.pcrs
    selected = attestation.selected
    names = ", ".join(f"{bank.hash_name} PCRs {pcr_ranges(bank.pcrs)}" for bank in attestation.pcr_selection)
    others = sorted({bank.hash_name for bank in attestation.pcr_selection if bank.hash_alg != ALG_SHA256})
    if others:
        return Check("tpm_pcrs", Outcome.FAIL, f"expected a selection of SHA-256 PCRs, whose values are given; the "
                     f"quote selects {names}")
    if not values:
        return Check("tpm_pcrs", Outcome.SKIP, f"no PCR values given; the quote selects {names or 'no PCR'}")
    if len(values) != len(selected) or any(len(value) != SHA256_SIZE for value in values):
        sizes = sorted({len(value) for value in values})
        return Check("tpm_pcrs", Outcome.FAIL, f"expected {len(selected)} SHA-256 values, one per PCR the quote "
                     f"selects ({names or 'none'}); {len(values)} given, of {'/'.join(map(str, sizes))} bytes")
    digest = hashlib.sha256(b"".join(values)).digest()
    if digest != attestation.pcr_digest:
        return Check("tpm_pcrs", Outcome.FAIL, f"expected the SHA-256 of the PCR values given to be the quote's PCR "
                     f"digest {attestation.pcr_digest.hex()}; it is {digest.hex()}")
    return Check("tpm_pcrs", Outcome.PASS, f"the {len(values)} values given ({names}) hash to the quote's PCR "
                 f"digest {digest.hex()}")


def nonce_judged(checks: tuple[Check, ...], tpm: TpmEvidence, nonce: bytes) -> tuple[Check, ...]:
    """`checks` with `tpm_nonce` judged against `nonce` as well (a policy's pinned nonce): a nonce the verifier
    was given already failed stays failed, since the quote must answer both."""
    judged = _nonce(tpm.attestation, nonce)
    return tuple(judged if check.name == "tpm_nonce" and not check.failed else check for check in checks)


def _nonce(attestation: Attestation, nonce: bytes | None) -> Check:
    """`tpm_nonce`: the quote's extra data is the nonce the relying party asked it for."""
    found = describe_nonce(attestation.extra_data)
    if nonce is None:
        return Check("tpm_nonce", Outcome.SKIP, f"no nonce expected, so the quote proves no freshness: its extra "
                     f"data is {found}; set the nonce the quote was asked for ([azure] tpm_nonce, --tpm-nonce)")
    if attestation.extra_data != nonce:
        return Check("tpm_nonce", Outcome.FAIL, f"expected extra data {describe_nonce(nonce)}, the nonce expected; "
                     f"the quote has {found}")
    return Check("tpm_nonce", Outcome.PASS, f"the quote's extra data is the nonce expected, {found}")


def describe_nonce(nonce: bytes) -> str:
    """A nonce as a detail names it: its hex, and the text where it is printable ASCII."""
    text = nonce.decode("ascii", errors="replace")
    readable = f' ("{text}")' if nonce and text.isascii() and text.isprintable() else ""
    return f"{nonce.hex() or 'empty'}{readable}"


def pcr_ranges(pcrs: Sequence[int]) -> str:
    """0-23, 0-7, 14: the PCRs as runs."""
    runs: list[list[int]] = []
    for pcr in pcrs:
        if runs and pcr == runs[-1][-1] + 1:
            runs[-1].append(pcr)
        else:
            runs.append([pcr])
    return ", ".join(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]) for run in runs) or "none"


def nonce_value(value: object, argument: str = "tpm_nonce") -> bytes:
    """A nonce as it is given: bytes as they are; text as its UTF-8 bytes, or after "hex:" as hex digits."""
    if isinstance(value, bytes | bytearray | memoryview):
        nonce = bytes(value)
    elif isinstance(value, str):
        if value.startswith("hex:"):
            if not _HEX.fullmatch(value[4:]):
                raise about(argument, "after hex:, expected an even number of hex digits")
            nonce = bytes.fromhex(value[4:])
        else:
            nonce = value.encode("utf-8")
    else:
        raise about(argument, f"expected the nonce as text or bytes, got {type(value).__name__}")
    if len(nonce) > MAX_DATA:
        raise about(argument, f"{len(nonce)} bytes, more than a quote's extra data holds ({MAX_DATA})")
    return nonce


def quote_argument(value: object) -> TpmQuote:
    """What `tpm_quote=` takes: a `TpmQuote`, or its JSON form (bytes, text or a mapping)."""
    if isinstance(value, TpmQuote):
        return value
    if isinstance(value, bytes | bytearray | memoryview | str | Mapping):
        return TpmQuote.from_json(value if not isinstance(value, bytearray | memoryview) else bytes(value))
    raise about("tpm_quote", f"expected a TpmQuote or its JSON form, got {type(value).__name__}")


__all__ = [
    "Attestation", "PcrSelection", "TpmEvidence", "TpmQuote", "TpmSignature", "parse_attestation",
    "parse_signature", "read_pcrs", "read_quote", "tpm_checks",
]
