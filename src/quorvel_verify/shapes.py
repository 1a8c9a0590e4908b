"""Formerly evidence unwrapped from its shapes: now the one intake, `quorvel_verify.intake`. The old names still
work, and warn."""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

from . import intake


@dataclass(frozen=True)
class ReportEvidence:
    """What a report argument held (now `intake.Evidence`)."""

    report: bytes
    hcl: Any  # an `azure.hcl.HclReport`, or None
    certificate_table: bytes | None
    encoding: str | None


def _warn(name: str, now: str) -> None:
    warnings.warn(f"quorvel_verify.shapes.{name} is now quorvel_verify.intake.{now}", DeprecationWarning, stacklevel=3)


def unwrap_report(data: bytes, source: str = "report") -> ReportEvidence:
    _warn("unwrap_report", "take_evidence")
    taken = intake.take_evidence(bytes(data), source)
    hardware = taken.hardware if isinstance(taken.hardware, bytes) else bytes(data)
    return ReportEvidence(hardware, taken.hcl, taken.certificate_table, taken.encoding)


def quote_from_text(data: object) -> bytes | None:
    _warn("quote_from_text", "take_evidence")
    if not isinstance(data, bytes | bytearray | memoryview):
        return None
    taken = intake.take_evidence(bytes(data))
    return taken.hardware if taken.bare_quote and taken.encoding is not None and isinstance(taken.hardware, bytes) \
        else None


def __getattr__(name: str) -> object:
    if name in ("unwrap_certificates", "CertificateEvidence"):
        _warn(name, name)
        return getattr(intake, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
