"""What a TDX TDREPORT shares with the TDX quote made from it, and whether the two agree byte for byte.

A TDREPORT is MACed with a key of the CPU and can be checked only by the CPU
that made it; what a remote verifier checks is the quote that the quoting
enclave signs over the TDREPORT's measurements. An HCL report that wraps a
TDREPORT is therefore judged through its quote: every field the quote's TD
report body carries must be the TDREPORT's own.
"""

from __future__ import annotations

import struct
from typing import Final

from ..checks import Check, Outcome
from ..errors import VerificationError

# The quote's header: version (16 bits), attestation key type (16), TEE type (32), ...
QUOTE_HEADER: Final = struct.Struct("<HHI")
QUOTE_HEADER_SIZE: Final = 48
TEE_TYPE_TDX: Final = 0x81
# Version 5 puts a body descriptor (type, 16 bits; size, 32 bits) between the header and the body.
QUOTE_V5_DESCRIPTOR_SIZE: Final = 6
QUOTE_BODY_SIZE: Final = 584  # the TD report body of version 4, and the start of version 5's
# Version 5's body type 3 is a TD report 1.5: 64 more bytes, which a TDREPORT holds too.
QUOTE_BODY_TYPE_15: Final = 3
QUOTE_BODY_15_SIZE: Final = 648

# (name, offset in the TDREPORT, offset in the quote's body, size): the
# TEE_TCB_INFO's SVN, SEAM measurements and attributes, then the TDINFO from
# its attributes through the RTMRs, then the report data.
SHARED_FIELDS: Final = (
    ("tee_tcb_svn", 264, 0, 16),
    ("mr_seam", 280, 16, 48),
    ("mr_signer_seam", 328, 64, 48),
    ("seam_attributes", 376, 112, 8),
    ("td_attributes", 512, 120, 8),
    ("xfam", 520, 128, 8),
    ("mr_td", 528, 136, 48),
    ("mr_config_id", 576, 184, 48),
    ("mr_owner", 624, 232, 48),
    ("mr_owner_config", 672, 280, 48),
    ("rtmrs", 720, 328, 192),
    ("report_data", 128, 520, 64),
)
# A TD report 1.5 adds the TEE_TCB_INFO's second SVN and the TDINFO's service TD hash.
SHARED_FIELDS_15: Final = (
    ("tee_tcb_svn2", 384, 584, 16),
    ("mr_servicetd", 912, 600, 48),
)


def quote_body(quote: bytes) -> bytes:
    """A TDX quote's TD report body: 584 bytes, or 648 for version 5's TD report 1.5."""
    quote = bytes(quote)
    if len(quote) < QUOTE_HEADER_SIZE:
        raise VerificationError(f"TDX quote: {len(quote)} bytes, too short for a quote's header")
    version, _, tee_type = QUOTE_HEADER.unpack_from(quote)
    if tee_type != TEE_TYPE_TDX or version not in (4, 5):
        raise VerificationError(
            f"TDX quote: version {version}, TEE type {tee_type:#x}; expected version 4 or 5 of a TDX quote (0x81)"
        )
    start = QUOTE_HEADER_SIZE + (QUOTE_V5_DESCRIPTOR_SIZE if version == 5 else 0)
    body_type = int.from_bytes(quote[QUOTE_HEADER_SIZE:QUOTE_HEADER_SIZE + 2], "little") if version == 5 else None
    size = QUOTE_BODY_15_SIZE if body_type == QUOTE_BODY_TYPE_15 else QUOTE_BODY_SIZE
    if len(quote) < start + size:
        raise VerificationError(f"TDX quote: {len(quote)} bytes, too short for its TD report body")
    return quote[start:start + size]


def _shared(body: bytes) -> tuple[tuple[str, int, int, int], ...]:
    """The fields that a quote's TD report `body` shares with a TDREPORT: the 1.5 ones too when it has them."""
    return SHARED_FIELDS + (SHARED_FIELDS_15 if len(body) == QUOTE_BODY_15_SIZE else ())


def differing_fields(tdreport: bytes, quote: bytes) -> tuple[str, ...]:
    """The fields in which the quote's TD report body is not the TDREPORT's; empty when they agree."""
    body = quote_body(quote)
    return tuple(
        name for name, in_report, in_body, size in _shared(body)
        if tdreport[in_report:in_report + size] != body[in_body:in_body + size]
    )


def td_report_check(tdreport: bytes, quote: bytes) -> Check:
    """`td_report`: the quote's TD report is the TDREPORT's in every field they share."""
    differing = differing_fields(tdreport, quote)
    if differing:
        return Check("td_report", Outcome.FAIL, "the TDX quote's TD report is another TD's: it differs from the "
                     f"HCL report's TDREPORT in {', '.join(differing)}")
    return Check("td_report", Outcome.PASS, "the TDX quote's TD report is the HCL report's TDREPORT in every "
                 f"field they share ({', '.join(name for name, *_ in _shared(quote_body(quote)))})")
