"""SEV-SNP's rules on the host platform's state: its firmware, its platform info and its mitigation vectors.

Declared as the other rules are (`sevsnp/rules.py`): each a `Rule` with its
parser, its check of `SevSnpClaims` and the text of the policy reference.
A rule about a field that the report's version lacks (the mitigation
vectors before version 5) fails, saying so: a policy that asks about a
field is not met by a report that cannot answer.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Callable, Mapping
from types import MappingProxyType
from typing import Final

from .._internal.rules import Invalid, Rule, Verdict, describe
from .platform import SevSnpClaims
from .report import FIRST_VERSION_WITH_MIT_VECTORS, FirmwareVersion, PlatformInfo

U8_MAX: Final = 0xFF
U64_MAX: Final = 0xFFFF_FFFF_FFFF_FFFF
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


# --- The checks ----------------------------------------------------------------


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


# --- The rules, in the order of their checks ------------------------------------

_NOT_CHECKED = "not checked"

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
