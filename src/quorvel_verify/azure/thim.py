"""Azure's THIM payload: the VCEK of a host and AMD's chain above it, as Azure's instance metadata serves them.

    {"vcekCert": "<PEM>", "tcbm": "<16 hex digits>", "certificateChain": "<PEM: ASK, ARK>",
     "cacheControl": "<seconds>"}

`tcbm` is the TCB the VCEK was issued for, as the 64-bit value of the
report's TCB field written in hex. The certificates are checked as any
others: the chain against the pinned one, never trusted for being here.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final

from .._internal import limits
from .._internal.json_object import load_object
from ..errors import located
from ..sevsnp.report import TcbVersion

MAX_SIZE: Final = limits.THIM_PAYLOAD_SIZE
PEM_BEGIN: Final = "-----BEGIN CERTIFICATE-----"
TCBM_DIGITS: Final = 16


def is_thim_payload(data: bytes) -> bool:
    """Whether `data` is meant as a THIM payload: a JSON object that names a `vcekCert`."""
    text = bytes(data).lstrip()
    return text[:1] == b"{" and b'"vcekCert"' in text


@dataclass(frozen=True)
class ThimPayload:
    vcek_pem: bytes
    chain_pem: bytes  # the ASK, then the ARK
    tcbm: int  # the TCB the VCEK was issued for, as the report's TCB field read as a 64-bit value
    cache_control: str | None

    @property
    def certificates_pem(self) -> bytes:
        """The VCEK and the chain in one PEM bundle, as a certificate argument takes them."""
        return self.vcek_pem.rstrip(b"\n") + b"\n" + self.chain_pem


def parse_thim_payload(data: bytes, source: str = "certificate") -> ThimPayload:
    """The certificates and tcbm of a THIM payload; VerificationError naming `source` if it cannot be read."""
    source = f"{source}: THIM payload"
    payload = load_object(bytes(data), source, MAX_SIZE)
    pems = {}
    for key in ("vcekCert", "certificateChain"):
        value = payload.get(key)
        if not isinstance(value, str) or not value.lstrip().startswith(PEM_BEGIN):
            raise located(source, f"{key}: expected certificates in PEM, got {_describe(value)}")
        pems[key] = value.encode("utf-8")
    tcbm = payload.get("tcbm")
    if not isinstance(tcbm, str) or len(tcbm) != TCBM_DIGITS or not all(c in "0123456789abcdefABCDEF" for c in tcbm):
        raise located(source, f"tcbm: expected {TCBM_DIGITS} hex digits, got {_describe(tcbm)}")
    cache_control = payload.get("cacheControl")
    return ThimPayload(
        vcek_pem=pems["vcekCert"],
        chain_pem=pems["certificateChain"],
        tcbm=int(tcbm, 16),
        cache_control=cache_control if isinstance(cache_control, str) else None,
    )


def _describe(value: object) -> str:
    if value is None:
        return "nothing"
    if isinstance(value, str):
        return f"the string {value[:20]!r}" + ("..." if len(value) > 20 else "")
    return f"a JSON {type(value).__name__}"


def tcbm_difference(tcbm: int, reported: TcbVersion, turin: bool) -> str | None:
    """None when the payload's `tcbm` is the report's reported TCB; else a detail saying where they differ."""
    if tcbm == reported.raw:
        return None
    issued = TcbVersion.from_field(tcbm.to_bytes(8, "little"), turin)
    differing = [
        f"{name} {issued_level} vs {reported_level}"
        for (name, issued_level), reported_level in zip(
            issued.components().items(), reported.components().values(), strict=True
        )
        if issued_level != reported_level
    ] or ["reserved bytes"]
    return (
        f"expected the THIM payload's tcbm {tcbm:016X} ({issued}) to be the reported TCB {reported.raw:016X} "
        f"({reported}); they differ in {', '.join(differing)}"
    )
