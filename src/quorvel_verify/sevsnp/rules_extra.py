"""SEV-SNP's rules on the report's identities, firmware, platform and mitigations, and on the VLEK's cloud.

Declared as the other rules are (`sevsnp/rules.py`): each a `Rule` with its
parser, its check of `SevSnpClaims` and the text of the policy reference.
A rule about a field that the report's version lacks (the mitigation
vectors before version 5) fails, saying so: a policy that asks about a
field is not met by a report that cannot answer.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Callable, Mapping, Sequence
from types import MappingProxyType
from typing import Final

from .._internal.rules import Invalid, Rule, Verdict, describe, hex_bytes, list_of
from .platform import SevSnpClaims
from .report import FIRST_VERSION_WITH_MIT_VECTORS, FirmwareVersion, PlatformInfo
from .vocabulary import KeyKind

U8_MAX: Final = 0xFF
U64_MAX: Final = 0xFFFF_FFFF_FFFF_FFFF
MAX_CSP_ID_LENGTH: Final = 256
PLATFORM_INFO_NAMES: Final = tuple(field.name for field in dataclasses.fields(PlatformInfo) if field.name != "raw")


# --- Values ------------------------------------------------------------------


def parse_firmware(value: object) -> FirmwareVersion:
    """A firmware version, "major.minor.build" in ASCII digits (or a FirmwareVersion)."""
    if isinstance(value, FirmwareVersion):
        return value
    match = re.fullmatch(r"([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})", value) if isinstance(value, str) else None
    if match is None or max(int(part) for part in match.groups()) > U8_MAX:
        raise Invalid(f'expected "major.minor.build", each 0 to 255, got {describe(value)}')
    return FirmwareVersion(*(int(part) for part in match.groups()))


def parse_platform_info(value: object) -> Mapping[str, bool]:
    """A table of platform-info bits by name: true requires the bit, false forbids it."""
    if not isinstance(value, Mapping) or not value:
        raise Invalid(f"expected a table of {', '.join(PLATFORM_INFO_NAMES)} (each true or false), "
                      f"got {'an empty table' if isinstance(value, Mapping) else describe(value)}")
    for name, wanted in value.items():
        if name not in PLATFORM_INFO_NAMES:
            raise Invalid(f"unknown platform-info bit; expected {', '.join(PLATFORM_INFO_NAMES)}", str(name))
        if not isinstance(wanted, bool):
            raise Invalid(f"expected true (required) or false (forbidden), got {describe(wanted)}", name)
    # In the field's order, whatever the file's.
    return MappingProxyType({name: value[name] for name in PLATFORM_INFO_NAMES if name in value})


def parse_mitigation_bits(value: object) -> int:
    """The bits that must be set, as an integer mask (TOML's 0x notation reads well here)."""
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= U64_MAX:
        raise Invalid(f"expected a mask of the bits that must be set, 1 to {U64_MAX:#x}, "
                      f"got {describe(value)}")
    return value


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


def check_min_firmware(minimum: FirmwareVersion, claims: SevSnpClaims) -> Verdict:
    # The committed firmware is what the platform rolls back to: it must meet the minimum too.
    def key(version: FirmwareVersion) -> tuple[int, int, int]:
        return version.major, version.minor, version.build

    current, committed = claims.report.current_firmware, claims.report.committed_firmware
    passed = key(current) >= key(minimum) and key(committed) >= key(minimum)
    return passed, (f"expected firmware {minimum} or later, current and committed; "
                    f"report has current {current}, committed {committed}")


def check_platform_info(wanted: Mapping[str, bool], claims: SevSnpClaims) -> Verdict:
    info = claims.report.platform_info
    passed = all(getattr(info, name) == required for name, required in wanted.items())
    expected = ", ".join(f"{name} {'set' if required else 'clear'}" for name, required in wanted.items())
    holds = ", ".join(f"{name} {'set' if getattr(info, name) else 'clear'}" for name in wanted)
    return passed, f"expected platform info with {expected}; report has {info.raw:#x}: {holds}"


def _mitigation_check(field: str, what: str) -> Callable[[int, SevSnpClaims], Verdict]:
    def check(required: int, claims: SevSnpClaims) -> Verdict:
        expected = f"expected bits {required:#x} set in the {what} mitigation vector"
        vector: int | None = getattr(claims.report, field)
        if vector is None:
            return False, (f"{expected}; report version {claims.report.version} has no mitigation vectors "
                           f"(from version {FIRST_VERSION_WITH_MIT_VECTORS})")
        missing = required & ~vector
        return not missing, f"{expected}; report has {vector:#x}" + (f", missing {missing:#x}" if missing else "")

    return check


check_min_launch_mitigation_vector = _mitigation_check("launch_mit_vector", "launch")
check_min_current_mitigation_vector = _mitigation_check("current_mit_vector", "current")


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
MIN_FIRMWARE: Final = Rule(parse_firmware, check_min_firmware, 'a string "major.minor.build", each 0 to 255',
                           _NOT_CHECKED, "The oldest SNP firmware that the current and the committed firmware may be.")
PLATFORM_INFO: Final = Rule(parse_platform_info, check_platform_info,
                            f"a table of {', '.join(PLATFORM_INFO_NAMES)}, each true or false", _NOT_CHECKED, (
    "Platform-info bits by name: true requires the bit, false forbids it. A firmware too old to know a bit "
    "reports it clear."))
MIN_LAUNCH_MITIGATION_VECTOR: Final = Rule(
    parse_mitigation_bits, check_min_launch_mitigation_vector, "an integer mask, 1 to 2^64-1 (0x... in TOML)",
    _NOT_CHECKED, "The bits that must be set in the launch mitigation vector; a report before version 5 fails it.")
MIN_CURRENT_MITIGATION_VECTOR: Final = Rule(
    parse_mitigation_bits, check_min_current_mitigation_vector, "an integer mask, 1 to 2^64-1 (0x... in TOML)",
    _NOT_CHECKED, "The bits that must be set in the current mitigation vector; a report before version 5 fails it.")
CSP_IDS: Final = Rule(parse_csp_ids, check_csp_ids, "an array of strings of printable ASCII", _NOT_CHECKED, (
    'The cloud providers whose VLEK may sign, by the CSP_ID that AMD wrote into it (AWS\'s: '
    '"CN=cc-us-east-2.amazonaws.com"); a report signed by a VCEK fails it.'))
