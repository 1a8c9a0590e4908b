"""SEV-SNP's rules on identities: the guest's image, family and report ids, the chip's id and the VLEK's cloud.

Declared as the other rules are (`sevsnp/rules.py`): each a `Rule` with its
parser, its check of `SevSnpClaims` and the text of the policy reference.
Each is an allow-list: the report's value must be one of those given.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Final

from .._internal.rules import Invalid, Rule, Verdict, describe, hex_bytes, list_of
from .platform import SevSnpClaims
from .vocabulary import KeyKind

MAX_CSP_ID_LENGTH: Final = 256


# --- Values ------------------------------------------------------------------


def _csp_id(value: object) -> str:
    if not isinstance(value, str) or not 0 < len(value) <= MAX_CSP_ID_LENGTH or not value.isascii() \
            or not value.isprintable():
        raise Invalid(f"expected a CSP_ID as the VLEK holds it (printable ASCII, such as "
                      f'"CN=cc-us-east-2.amazonaws.com"), got {describe(value)}')
    return value


parse_ids_16 = list_of(hex_bytes(16))
parse_ids_32 = list_of(hex_bytes(32))
parse_chip_ids = list_of(hex_bytes(64))
parse_csp_ids = list_of(_csp_id)


# --- The checks ----------------------------------------------------------------


def _choices(allowed: Sequence[object]) -> str:
    shown = [value.hex() if isinstance(value, bytes) else f'"{value}"' for value in allowed]
    return shown[0] if len(shown) == 1 else f"one of {len(shown)} allowed values"


def _id_check(field: str, what: str) -> Callable[[tuple[bytes, ...], SevSnpClaims], Verdict]:
    def check(allowed: tuple[bytes, ...], claims: SevSnpClaims) -> Verdict:
        value: bytes = getattr(claims.report, field)
        return value in allowed, f"expected {what} {_choices(allowed)}; report has {value.hex()}"

    return check


check_image_ids = _id_check("image_id", "image id")
check_family_ids = _id_check("family_id", "family id")
check_report_ids = _id_check("report_id", "report id")
check_report_id_mas = _id_check("report_id_ma", "migration agent's report id")


def check_chip_ids(allowed: tuple[bytes, ...], claims: SevSnpClaims) -> Verdict:
    passed, detail = _id_check("chip_id", "chip id")(allowed, claims)
    masked = ", masked by the host (MASK_CHIP_ID)" if claims.report.mask_chip_id else ""
    return passed, detail + masked


def check_csp_ids(allowed: tuple[str, ...], claims: SevSnpClaims) -> Verdict:
    """Which clouds' VLEKs may sign, by the CSP_ID of the VLEK that signed."""
    expected = f"expected a VLEK issued to {_choices(allowed)}"
    if claims.key_kind != KeyKind.VLEK:
        kind = claims.key_kind or "key of no known kind"
        return False, f"{expected}; report is signed by a {kind}, not a VLEK"
    if claims.csp_id is None:
        return False, f"{expected}; the VLEK has no CSP_ID extension that reads as an IA5String"
    return claims.csp_id in allowed, f'{expected}; the VLEK was issued to "{claims.csp_id}"'


# --- The rules, in the order of their checks ------------------------------------

_IDS = "an array of hex strings of {digits} digits ({size} bytes)"
_NOT_CHECKED = "not checked"

IMAGE_IDS: Final = Rule(parse_ids_16, check_image_ids, _IDS.format(digits=32, size=16), _NOT_CHECKED,
                        "The image ids a report may hold, as the guest's ID block set them.")
FAMILY_IDS: Final = Rule(parse_ids_16, check_family_ids, _IDS.format(digits=32, size=16), _NOT_CHECKED,
                         "The family ids a report may hold, as the guest's ID block set them.")
REPORT_IDS: Final = Rule(parse_ids_32, check_report_ids, _IDS.format(digits=64, size=32), _NOT_CHECKED,
                         "The report ids a report may hold: the guest's own, the same in all its reports.")
REPORT_ID_MAS: Final = Rule(parse_ids_32, check_report_id_mas, _IDS.format(digits=64, size=32), _NOT_CHECKED,
                            "The report ids of the migration agent a report may hold (all ff where there is none).")
CHIP_IDS: Final = Rule(parse_chip_ids, check_chip_ids, _IDS.format(digits=128, size=64), _NOT_CHECKED, (
    "The chip ids a report may hold (Turin's: its first 8 bytes, then zeros; all zeros where the host masks "
    "it)."))
CSP_IDS: Final = Rule(parse_csp_ids, check_csp_ids, "an array of strings of printable ASCII", _NOT_CHECKED, (
    'The cloud providers whose VLEK may sign, by the CSP_ID that AMD wrote into it (AWS\'s: '
    '"CN=cc-us-east-2.amazonaws.com"); a report signed by a VCEK fails it.'))
