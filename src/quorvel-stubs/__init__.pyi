"""Type information for the quorvel extension module."""

from typing import NoReturn, TypedDict, type_check_only

__all__ = ["get_report", "parse_report", "get_tdx_quote"]

@type_check_only
class ReportedTcb(TypedDict):
    """The reported TCB version; the Turin-only ``fmc`` component is not shown."""

    bootloader: int
    tee: int
    snp: int
    microcode: int

@type_check_only
class Cpuid(TypedDict):
    """CPUID family, model and stepping: ints from report version 3 on, all None in version 2."""

    fam_id: int | None
    mod_id: int | None
    step: int | None

@type_check_only
class ParsedReport(TypedDict):
    """What ``parse_report`` returns: a new dict with exactly these keys, in this order."""

    chip_id: bytes
    report_data: bytes
    signed_bytes: bytes
    sig_r: bytes
    sig_s: bytes
    reported_tcb: ReportedTcb
    cpuid: Cpuid

def get_report(_challenge: bytes, _msg_ver: int | None = None, _vmpl: int | None = None) -> NoReturn:
    """Not available in this build: checks its arguments, then raises NotImplementedError."""

def parse_report(report_bytes: bytes) -> ParsedReport:
    """Decodes and validates a 1184-byte SEV-SNP attestation report; raises ValueError if it does not decode."""

def get_tdx_quote(_report_data: bytes) -> NoReturn:
    """Not available in this build: checks its argument, then raises ValueError."""
