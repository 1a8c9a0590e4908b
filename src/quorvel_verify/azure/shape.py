"""Azure's shapes, as the intake asks them (`_internal.platform.SHAPES`): the HCL report around another
platform's evidence, and the THIM payload around the certificates."""

from __future__ import annotations

from typing import Final

from .._internal.json_documents import is_thim_payload
from .._internal.platform import Platform, platform_of
from ..intake import CertificateEvidence, Evidence
from .hcl import REPORT_TYPE_TDX, is_hcl_report, parse_hcl_report
from .thim import parse_thim_payload


class AzureShape:
    def binary(self, data: bytes) -> bool:
        """Whether `data` is an HCL report, by its header."""
        return is_hcl_report(data)

    def unwrap(self, data: bytes, source: str, encoding: str | None) -> Evidence | None:
        """The evidence inside the HCL report `data` (a TDX TDREPORT, or the report that a platform recognises),
        with the HCL report as its wrapper; None where `data` is no HCL report."""
        if not is_hcl_report(data):
            return None
        hcl = parse_hcl_report(data, source)
        platform = Platform.TDX if hcl.report_type == REPORT_TYPE_TDX else platform_of(hcl.hardware_report)
        return Evidence(platform, hcl.hardware_report, wrapper=hcl, encoding=encoding)

    def certificates(self, data: bytes, source: str) -> CertificateEvidence | None:
        """The certificates in the THIM payload `data`, and the payload; None where it is none."""
        if not is_thim_payload(data):
            return None
        thim = parse_thim_payload(data, source)
        return CertificateEvidence(thim.certificates_pem, thim)


SHAPE: Final = AzureShape()
