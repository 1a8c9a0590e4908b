"""An extended report in one file: the 1184-byte report, then its certificate table, as the firmware returns them.

The table is recognised by its first entry, whose GUID must be one of the
certificates the table can name (in either byte order that tables are found
in); the report and the table are then each read as they are when given
apart, so splitting adds no way for either to be accepted that the other
reader would refuse.
"""

from __future__ import annotations

import uuid
from typing import Final

from .._internal import limits
from ..errors import located
from .evidence import TABLE_GUIDS
from .report import REPORT_SIZE

GUID_SIZE: Final = 16
MAX_TABLE_SIZE: Final = limits.CERTIFICATE_TABLE_SIZE


def _names_a_certificate(guid: bytes) -> bool:
    return len(guid) == GUID_SIZE and (uuid.UUID(bytes=guid) in TABLE_GUIDS or uuid.UUID(bytes_le=guid) in TABLE_GUIDS)


def is_extended_report(data: bytes) -> bool:
    """Whether `data` is a report followed by a certificate table: after 1184 bytes, a table entry's GUID."""
    return len(data) > REPORT_SIZE and _names_a_certificate(bytes(data[REPORT_SIZE:REPORT_SIZE + GUID_SIZE]))


def split_extended_report(data: bytes, source: str = "report") -> tuple[bytes, bytes]:
    """The report's 1184 bytes and the certificate table after them."""
    data = bytes(data)
    if not is_extended_report(data):
        raise located(
            source, f"not a report followed by a certificate table: no entry of one starts at byte {REPORT_SIZE}"
        )
    if len(data) - REPORT_SIZE > MAX_TABLE_SIZE:
        raise located(
            source, f"a certificate table of {len(data) - REPORT_SIZE} bytes, more than the {MAX_TABLE_SIZE} "
            "one can take"
        )
    return data[:REPORT_SIZE], data[REPORT_SIZE:]
