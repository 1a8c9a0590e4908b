"""How the command shows an SEV-SNP verification as text: the report's fields, the key service, the verdict."""

from __future__ import annotations

from typing import TYPE_CHECKING, Final

from .report import Report
from .vocabulary import KeyKind

if TYPE_CHECKING:
    from .verification import Verification


def _tcbs(report: Report) -> list[tuple[str, str]]:
    names = ("reported", "current", "committed", "launch")
    return [(f"{name}_tcb", str(getattr(report, f"{name}_tcb"))) for name in names]


def describe(report: Report) -> list[tuple[str, str]]:
    """The report's fields that a reader looks at first, as (label, text) pairs."""
    policy = report.guest_policy
    cpuid = report.cpuid
    processor = (
        "not carried by a version-2 report" if cpuid is None
        else f"family {cpuid.family:#04x} model {cpuid.model:#04x} stepping {cpuid.stepping} ({report.product})"
    )
    flags = [name for name, on in (("SMT", policy.smt_allowed), ("MIGRATE_MA", policy.migrate_ma_allowed),
                                   ("DEBUG", policy.debug_allowed), ("SINGLE_SOCKET", policy.single_socket)) if on]
    return [
        ("version", str(report.version)),
        ("cpuid", processor),
        ("signing key", report.key_kind or f"unknown ({report.signing_key})"),
        ("vmpl", str(report.vmpl)),
        ("guest policy",
         f"{policy.raw:#x} (ABI {policy.abi_major}.{policy.abi_minor}; {', '.join(flags) or 'no flags'})"),
        ("guest_svn", str(report.guest_svn)),
        ("chip_id", report.chip_id.hex()),
        ("measurement", report.measurement.hex()),
        ("host_data", report.host_data.hex()),
        ("report_data", report.report_data.hex()),
        *_tcbs(report),
        ("firmware", f"current {report.current_firmware}, committed {report.committed_firmware}"),
    ]


def _no_kds_reason(result: Verification) -> str:
    if result.key_kind != KeyKind.VCEK:
        return "the report is not signed by a VCEK, which the KDS serves per chip"
    if not any(result.report.chip_id):
        return "the chip id is masked"
    return "the report names no product line and no pinned chain signs the certificate"


class SevSnpText:
    evidence = "report"

    def fields(self, result: Verification) -> list[tuple[str, str]]:
        return describe(result.report)

    def notes(self, result: Verification) -> list[tuple[str, str]]:
        """After the checks: where AMD's KDS serves the VCEK, or why it does not."""
        return [("kds", result.kds_url or "none: " + _no_kds_reason(result))]

    def verified_with(self, result: Verification) -> str:
        return f"verified with AMD's {result.product} {result.key_kind} chain"


TEXT: Final = SevSnpText()
