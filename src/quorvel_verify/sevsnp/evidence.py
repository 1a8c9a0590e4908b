"""Evidence as users hold it: the report, certificates in PEM or DER, bundles and certificate tables.

Every loader raises `VerificationError` for input it cannot use, naming the
likely mistake where the input looks like something else: report text in
base64 or hex, a firmware response with its header, a report with its
certificate table appended, or a certificate where the report belongs.
"""

from __future__ import annotations

import base64
import binascii
import re
import struct
import uuid
import warnings
from collections.abc import Iterable, Iterator
from contextlib import contextmanager

import cryptography
from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.utils import CryptographyDeprecationWarning

from .._internal import limits
from .._internal.certificates import common_name
from .._internal.json_documents import is_tdx_collateral, is_thim_payload
from .._internal.untrusted import check_size, describe, parsing
from ..errors import VerificationError, located
from .report import REPORT_SIZE, Report
from .vocabulary import KeyKind

# The firmware's MSG_REPORT_RSP: a 32-byte header (status, then the report's
# size, both 32-bit little-endian) before the report. Linux returns it in a
# buffer of 4000 bytes.
RESPONSE_HEADER_SIZE = 0x20

# A certificate table: 24-byte entries (GUID, offset and length of the
# certificate from the table's start, both 32-bit little-endian), ended by an
# all-zero entry.
TABLE_ENTRY = struct.Struct("<16sII")

# The entries' GUIDs, as the GHCB guest request and the extended report name them.
TABLE_GUIDS = {
    uuid.UUID("c0b406a4-a803-4952-9743-3fb6014cd0ae"): "ARK",
    uuid.UUID("4ab7b379-bbac-4fe4-a02f-05aef327c782"): "ASK",
    uuid.UUID("63da758d-e664-4564-adc5-f4b93be8accd"): "VCEK",
    uuid.UUID("a8074bc2-a25a-483e-aae6-39c045a0b8a1"): "VLEK",
}

# The subject common names of the keys that sign reports, and the key kind each is.
LEAF_NAMES = {f"SEV-{kind}": kind for kind in KeyKind}

SERIAL_WARNING = "Parsed a serial number which wasn't positive"


# AMD issues VCEKs with serial number 0, which RFC 5280 forbids and which
# cryptography loads (and reads the serial of) with a deprecation warning,
# saying it will one day refuse them. This package expects it, so the warning
# stays out of its caller's output; but only for this package's own loads,
# so a caller's own certificates still warn. The filter is installed once and
# never removed: filters swapped in and out around each load (catch_warnings)
# race between threads, leaving the process with the wrong filters.
_SERIAL_MODULES = r"quorvel_verify(\..*)?"
_installed: list[object] = []  # the filter as `warnings.filters` holds it, once installed


def quiet_serial_warning() -> None:
    """Installs the filter for the serial-number warning of this package's loads, unless it is installed.

    Called before each load rather than at import: a caller's (or a test
    runner's) `catch_warnings` puts back the filters it found, without ours.
    It must come first: a filter added after it (`simplefilter("error")`, as
    `python -W error` or a test runner's strict mode sets) would otherwise turn
    the warning into an exception that refuses every genuine VCEK. Ours
    matches only this warning of this package's loads, so moving it ahead
    changes nothing for the caller's own.
    """
    if _installed and warnings.filters and warnings.filters[0] is _installed[0]:
        return
    warnings.filterwarnings(
        "ignore", message=SERIAL_WARNING, category=CryptographyDeprecationWarning, module=_SERIAL_MODULES
    )
    _installed[:] = [warnings.filters[0]]


@contextmanager
def amd_serial_numbers() -> Iterator[None]:
    """Keeps the serial-number warning out of the output of loads outside this package, for a single thread
    (the benchmark's): unlike `quiet_serial_warning`, it swaps the process's filters while it lasts."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=SERIAL_WARNING, category=CryptographyDeprecationWarning)
        yield


def parse_certificates(data: bytes) -> tuple[x509.Certificate, ...]:
    """The certificates in `data`.

    Raises whatever cryptography raises for bytes it cannot read; `load_certificates` is the loader for input.
    """
    quiet_serial_warning()
    if b"-----BEGIN" in data:
        certificates = tuple(x509.load_pem_x509_certificates(data))
    else:
        certificates = (x509.load_der_x509_certificate(data),)
    for certificate in certificates:
        # Some parts are parsed when first read: a malformed one is refused here, as the input's fault,
        # not later in a check. An unknown key algorithm too: no check could judge the key.
        certificate.extensions, certificate.subject, certificate.issuer, certificate.public_key()
        certificate.serial_number, certificate.not_valid_before_utc, certificate.not_valid_after_utc
    return certificates


def load_certificates(data: bytes, source: str = "certificate") -> tuple[x509.Certificate, ...]:
    """Every certificate in `data`: one in DER, or one or more in PEM, in any order.

    At most `limits.CERTIFICATE_FILE_SIZE` bytes and `limits.CERTIFICATES_PER_BUNDLE` certificates.
    """
    data = check_size(bytes(data), limits.CERTIFICATE_FILE_SIZE, source, "certificate bundle")
    # Counted before parsing: loading a certificate costs more than finding where it begins.
    if (count := data.count(b"-----BEGIN")) > limits.CERTIFICATES_PER_BUNDLE:
        raise located(
            source, f"{count} PEM blocks, more than any bundle of AMD's certificates "
            f"(at most {limits.CERTIFICATES_PER_BUNDLE})"
        )
    with parsing(source, "a certificate in PEM or DER", lambda error: _not_a_certificate(data, error)):
        return parse_certificates(data)


def _not_a_certificate(data: bytes, error: Exception) -> str | None:
    if len(data) == REPORT_SIZE:
        return "this is a report, not a certificate: were the report and the certificate given in swapped order?"
    if isinstance(error, CryptographyDeprecationWarning) and "serial" in str(error).lower():
        # Raised as an error by a filter placed ahead of ours between our check and the load (another thread's).
        return (
            "the certificate's serial number is not positive, as in AMD's VCEKs (serial number 0), and this "
            "process's warning filters turn cryptography's warning about it into an error: try again, or let "
            "CryptographyDeprecationWarning warn"
        )
    if b"-----BEGIN" not in data and _text(data):
        return "not a certificate in PEM or DER: text without a PEM block (-----BEGIN CERTIFICATE-----)"
    if isinstance(error, ValueError) and "serial" in str(error).lower():
        return (
            f"cryptography {cryptography.__version__} refuses the certificate's serial number ({describe(error)}); "
            "AMD issues VCEKs with serial number 0: install the last cryptography release that loads them"
        )
    return None


def _text(data: bytes) -> bool:
    """Whether `data` reads as text (UTF-8 without control characters but line ends and tabs)."""
    try:
        return data.decode("utf-8").replace("\n", "").replace("\r", "").replace("\t", "").isprintable()
    except UnicodeDecodeError:
        return False


def certificates_from_table(table: bytes, source: str = "certificate table") -> tuple[x509.Certificate, ...]:
    """The certificates of a certificate table, as the extended report, the GHCB guest request and
    configfs-tsm's `auxblob` return it.

    Entries are identified by GUID, stored in RFC 4122 byte order as genuine
    tables hold them (the mixed-endian order of EFI is accepted too); entries
    with other GUIDs are skipped. A certificate may be DER or PEM. At most
    `limits.CERTIFICATE_TABLE_SIZE` bytes and `limits.CERTIFICATE_TABLE_ENTRIES`
    entries of the GUIDs above; entries that point at the same bytes are loaded once.
    """
    table = check_size(bytes(table), limits.CERTIFICATE_TABLE_SIZE, source, "certificate table")
    certificates: list[x509.Certificate] = []
    seen: set[tuple[int, int]] = set()
    entries = 0
    for position in range(0, len(table), TABLE_ENTRY.size):
        entry = table[position:position + TABLE_ENTRY.size]
        if len(entry) < TABLE_ENTRY.size:
            break
        guid, offset, length = TABLE_ENTRY.unpack(entry)
        if not any(entry):
            return tuple(certificates)
        kind = TABLE_GUIDS.get(uuid.UUID(bytes=guid)) or TABLE_GUIDS.get(uuid.UUID(bytes_le=guid))
        if kind is None:
            continue  # skipped at the cost of reading 24 bytes: bounded by the table's size
        entries += 1
        if entries > limits.CERTIFICATE_TABLE_ENTRIES:
            raise located(
                source, f"more than {limits.CERTIFICATE_TABLE_ENTRIES} certificate entries, more than any "
                "certificate table holds"
            )
        if offset > len(table) or length > len(table) - offset or length == 0:
            raise located(
                source, f"the {kind} entry's certificate (offset {offset}, length {length}) "
                f"lies outside the table's {len(table)} bytes"
            )
        if (offset, length) not in seen:
            seen.add((offset, length))
            certificates += load_certificates(table[offset:offset + length], f"{source}: {kind} entry")
    raise located(source, "not a certificate table: no all-zero entry ends its entries")


def find_leaf(
    certificates: Iterable[x509.Certificate], key_kind: str | None, source: str = "certificate"
) -> tuple[x509.Certificate, str, tuple[x509.Certificate, ...]]:
    """The VCEK or VLEK among `certificates`, its common name, and the others (intermediates and roots).

    The leaf is found by its key (ECDSA; AMD's intermediates and roots hold
    RSA keys) or by its subject; where both a VCEK and a VLEK are given, by
    the kind that the report names. A lone certificate is taken as the leaf
    whatever it is, so that the checks can say what is wrong with it.
    """
    # Equal certificates have the same DER bytes, and hash alike: one pass, however many are given.
    unique = list(dict.fromkeys(certificates))
    names = {id(c): common_name(c) for c in unique}
    candidates = [
        c for c in unique if names[id(c)] in LEAF_NAMES or isinstance(c.public_key(), ec.EllipticCurvePublicKey)
    ]
    if len(candidates) > 1 and key_kind is not None:
        candidates = [c for c in candidates if LEAF_NAMES.get(names[id(c)]) == key_kind] or candidates
    if not candidates and len(unique) == 1:
        candidates = unique
    if len(candidates) != 1:
        listed = ", ".join(names[id(c)] for c in (candidates or unique)) or "none"
        found = "no VCEK or VLEK" if not candidates else f"{len(candidates)} candidates for the VCEK or VLEK"
        raise located(source, f"{found} among the certificates given ({listed})")
    leaf = candidates[0]
    return leaf, names[id(leaf)], tuple(c for c in unique if c is not leaf)


def read_report(data: bytes | Report, source: str = "report") -> Report:
    """The report, decoded; input that is not a raw 1184-byte report gets the likely mistake named."""
    if isinstance(data, Report):
        # What is judged must be what the chip signed: a Report made or changed
        # by hand (dataclasses.replace) could pair other fields with genuine bytes.
        data = data.raw
    if not isinstance(data, bytes | bytearray | memoryview):
        raise located(source, f"expected the report's bytes, got {type(data).__name__}")
    # Before anything else looks at it: the mistakes named below are all far smaller.
    data = check_size(bytes(data), limits.REPORT_FILE_SIZE, source, "report (with its certificate table)")
    if len(data) != REPORT_SIZE:
        mistake = _report_mistake(data)
        if mistake is not None:
            raise located(source, mistake)
    try:
        return Report.from_bytes(data)
    except VerificationError as error:
        raise located(source, str(error), error.detail) from error


def _decodes(data: bytes) -> bool:
    try:
        Report.from_bytes(data)
    except VerificationError:
        return False
    return True


def _report_mistake(data: bytes) -> str | None:
    """What input of the wrong size probably is, or None."""
    text = data.strip()
    if text.startswith(b"-----BEGIN") or (data[:1] == b"\x30" and _is_certificate(data)):
        return "this is a certificate, not a report: were the report and the certificate given in swapped order?"
    if is_thim_payload(text):
        return ("this is Azure's THIM payload, the certificates, not a report: were the report and the certificate "
                "given in swapped order?")
    if is_tdx_collateral(text):
        return ("this is Intel's collateral for a TDX quote, not the evidence: were the quote and its collateral "
                "given in swapped order?")
    if _is_table(data):
        return ("this is a certificate table, not a report: were the report and the certificate table given in "
                "swapped order?")
    compact = re.sub(rb"\s+", b"", text)
    if compact and re.fullmatch(rb"[0-9A-Fa-f]+", compact) and len(compact) == 2 * REPORT_SIZE:
        return "this is a report written as hex text: decode it first (for instance with `xxd -r -p`)"
    if compact[:2] in (b"0x", b"0X") and re.fullmatch(rb"[0-9A-Fa-f]+", compact[2:]) \
            and len(compact) - 2 == 2 * REPORT_SIZE:
        return "this is a report written as hex text after a 0x prefix: leave out the 0x"
    decoded = _base64(compact)
    if decoded is not None and len(decoded) == REPORT_SIZE:
        return "this is a report written as base64 text: decode it first (for instance with `base64 -d`)"
    if len(data) >= RESPONSE_HEADER_SIZE + REPORT_SIZE:
        status, size = struct.unpack_from("<II", data)
        body = data[RESPONSE_HEADER_SIZE:RESPONSE_HEADER_SIZE + REPORT_SIZE]
        if size == REPORT_SIZE and _decodes(body):
            return (
                f"this is a firmware response (status {status}) with its {RESPONSE_HEADER_SIZE}-byte header "
                f"before the report: the report is bytes {RESPONSE_HEADER_SIZE:#x}-"
                f"{RESPONSE_HEADER_SIZE + REPORT_SIZE - 1:#x}"
            )
    if len(data) > REPORT_SIZE and _decodes(data[:REPORT_SIZE]):
        return (
            f"this is a report followed by {len(data) - REPORT_SIZE} more bytes, such as a certificate table: "
            f"give bytes 0-{REPORT_SIZE - 1} as the report and the rest as the certificate table"
        )
    return None


def _is_certificate(data: bytes) -> bool:
    try:
        load_certificates(data)
    except VerificationError:
        return False
    return True


def _is_table(data: bytes) -> bool:
    try:
        return bool(certificates_from_table(data))
    except VerificationError:
        return False


def _base64(text: bytes) -> bytes | None:
    """`text` decoded as base64, standard or URL-safe, padded or not; None if it is not."""
    standard = text.translate(bytes.maketrans(b"-_", b"+/")).rstrip(b"=")
    try:
        return base64.b64decode(standard + b"=" * (-len(standard) % 4), validate=True)
    except binascii.Error:
        return None
