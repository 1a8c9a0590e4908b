"""SEV-SNP's shapes, as the intake asks them (`_internal.platform.SHAPES`): a report followed by its certificate
table in one file (the extended report), and the bare report's size."""

from __future__ import annotations

from typing import Final

from .._internal.platform import platform_of
from ..intake import CertificateEvidence, Evidence
from .extended import is_extended_report, split_extended_report
from .report import REPORT_SIZE


class SevSnpShape:
    def binary(self, data: bytes) -> bool:
        """Whether `data` is a report's size or a report followed by its table: binary, never text to decode."""
        return is_extended_report(data) or len(data) == REPORT_SIZE

    def unwrap(self, data: bytes, source: str, encoding: str | None) -> Evidence | None:
        """The report at the start of `data` with the certificate table after it; None where `data` is no
        extended report."""
        if not is_extended_report(data):
            return None
        report, table = split_extended_report(data, source)
        return Evidence(platform_of(report), report, certificate_table=table, encoding=encoding)

    def certificates(self, data: bytes, source: str) -> CertificateEvidence | None:
        return None


SHAPE: Final = SevSnpShape()
