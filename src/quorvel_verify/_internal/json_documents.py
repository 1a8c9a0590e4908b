"""JSON documents that come beside the evidence, told apart by the keys they name.

The intake and every reader that names a likely mistake ("this is Azure's
THIM payload, not a report") ask these, so that no platform asks another
platform what a file is.
"""

from __future__ import annotations


def is_thim_payload(data: bytes) -> bool:
    """Whether `data` is meant as Azure's THIM payload: a JSON object that names a `vcekCert`."""
    text = bytes(data).lstrip()
    return text[:1] == b"{" and b'"vcekCert"' in text


def is_tdx_collateral(data: bytes) -> bool:
    """Whether `data` is meant as Intel's collateral for a TDX quote, as --save-collateral writes it."""
    text = bytes(data).strip()
    return text[:1] == b"{" and b'"tcb_info"' in text and b'"qe_identity"' in text
