"""Evidence in the shapes it is handed out in, unwrapped to the report and certificates that the checks read.

A report may come bare, inside Azure's HCL report, followed by its
certificate table, or written as hex, base64 or base64url text of any of
these; so may a TDX quote, bare or as text; certificates may come in PEM or DER, or in Azure's THIM payload. Each
shape is recognised by its content, never by a file name, and unwrapping
only locates: what it finds is verified exactly as if given bare, and the
wrapper's own binding (the `hcl` check, the THIM `tcbm`) is judged beside it.
"""

from __future__ import annotations

from dataclasses import dataclass

from ._internal import limits
from ._internal.evidence_text import decode_text
from ._internal.untrusted import check_size
from .azure.hcl import HclReport, is_hcl_report, parse_hcl_report
from .azure.thim import ThimPayload, is_thim_payload, parse_thim_payload
from .sevsnp.report import REPORT_SIZE
from .sevsnp.extended import is_extended_report, split_extended_report
from .tdx.platform import looks_like_quote


@dataclass(frozen=True)
class ReportEvidence:
    """What a report argument held."""

    report: bytes  # the hardware report: for an HCL report of TDX, its TDREPORT
    hcl: HclReport | None
    certificate_table: bytes | None  # from an extended report
    encoding: str | None  # "hex", "base64" or "base64url" where it was text


def _binary_evidence(data: bytes) -> bool:
    return is_hcl_report(data) or is_extended_report(data) or len(data) == REPORT_SIZE


def unwrap_report(data: bytes, source: str = "report") -> ReportEvidence:
    """The report in `data`, whatever its shape; bare bytes that match no other shape are taken as the report,
    for the report's own reader to judge (and, where it is something else, to name the mistake)."""
    # Before any decoding: text is scanned and decoded whole, which for megabytes takes seconds.
    data = check_size(bytes(data), limits.REPORT_FILE_SIZE, source, "report (with its certificate table)")
    encoding = None
    if not _binary_evidence(data):
        decoded = decode_text(data, _binary_evidence)
        if decoded is not None:
            data, encoding = decoded.data, decoded.encoding
    if is_hcl_report(data):
        hcl = parse_hcl_report(data, source)
        return ReportEvidence(hcl.hardware_report, hcl, None, encoding)
    if is_extended_report(data):
        report, table = split_extended_report(data, source)
        return ReportEvidence(report, None, table, encoding)
    return ReportEvidence(data, None, None, encoding)


# The bytes that hex, base64 or base64url text (whitespace around it allowed) may start with.
_TEXT_STARTS = frozenset(
    bytes([byte]) for byte in b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/-_ \t\r\n\v\f"
)


def quote_from_text(data: object) -> bytes | None:
    """The TDX quote that `data` holds as hex, base64 or base64url text; None where it holds none (a bare
    quote, anything else, or text larger than any evidence, which the report's reader refuses by its size)."""
    # A bare report or quote starts with a byte (its version) that no such text starts with: told apart at once.
    if not isinstance(data, bytes | bytearray | memoryview) or bytes(data[:1]) not in _TEXT_STARTS:
        return None
    if len(data) > limits.REPORT_FILE_SIZE:
        return None
    data = bytes(data)
    if looks_like_quote(data) or _binary_evidence(data):  # an HCL report starts with ASCII
        return None
    decoded = decode_text(data, looks_like_quote)
    return decoded.data if decoded is not None else None


@dataclass(frozen=True)
class CertificateEvidence:
    """What a certificate argument held: certificates in PEM or DER, and the THIM payload they came in."""

    certificates: bytes
    thim: ThimPayload | None


def unwrap_certificates(data: bytes, source: str = "certificate") -> CertificateEvidence:
    data = bytes(data)
    if is_thim_payload(data):
        thim = parse_thim_payload(data, source)
        return CertificateEvidence(thim.certificates_pem, thim)
    return CertificateEvidence(data, None)
