"""Azure's THIM payload: the VCEK of a host and AMD's chain above it, as Azure's instance metadata serves them.

    {"vcekCert": "<PEM>", "tcbm": "<16 hex digits>", "certificateChain": "<PEM: ASK, ARK>",
     "cacheControl": "<seconds>"}

`tcbm` is the TCB the VCEK was issued for, as the 64-bit value of the
report's TCB field written in hex (SEV-SNP's `tcb` check compares it with the reported TCB). The certificates are checked as any
others: the chain against the pinned one, never trusted for being here.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final

from .._internal import limits
from .._internal.json_documents import is_thim_payload
from .._internal.json_object import load_object
from ..errors import located

MAX_SIZE: Final = limits.THIM_PAYLOAD_SIZE
PEM_BEGIN: Final = "-----BEGIN CERTIFICATE-----"
TCBM_DIGITS: Final = 16


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


__all__ = ["MAX_SIZE", "ThimPayload", "is_thim_payload", "parse_thim_payload"]
