"""Policy rules on the report's identities, firmware, platform and mitigations, and on the VLEK's cloud.

Each rule is a value parser (a malformed value raises `RuleValueError`, with
the path from the rule's value to the culprit) and a check that takes the
parsed value and the report and returns (passed, detail), the detail saying
what was expected and what the report holds. `RULES` lists them in the
order their checks run, as the policy declares its own.

A rule about a field that the report's version lacks (the mitigation
vectors before version 5) fails, saying so: a policy that asks about a
field is not met by a report that cannot answer.
"""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Final

from cryptography import x509
from cryptography.hazmat.asn1 import IA5String, decode_der

from .report import FIRST_VERSION_WITH_MIT_VECTORS, FirmwareVersion, PlatformInfo, Report

U8_MAX: Final = 0xFF
U64_MAX: Final = 0xFFFF_FFFF_FFFF_FFFF
# The cloud service provider that AMD issued a VLEK to, as an IA5String
# ("CN=cc-us-east-2.amazonaws.com" in AWS's genuine VLEKs).
CSP_ID: Final = x509.ObjectIdentifier("1.3.6.1.4.1.3704.1.5")
MAX_CSP_ID_LENGTH: Final = 256
PLATFORM_INFO_NAMES: Final = tuple(field.name for field in dataclasses.fields(PlatformInfo) if field.name != "raw")

Verdict = tuple[bool, str]


class RuleValueError(Exception):
    """A value that a rule cannot take; `path` leads from the rule's value to the culprit."""

    def __init__(self, message: str, *path: str | int) -> None:
        super().__init__(message)
        self.message = message
        self.path = path


# --- Values ------------------------------------------------------------------


def _describe(value: object) -> str:
    """A value as a TOML user knows it."""
    if isinstance(value, bool):
        return f"the boolean {str(value).lower()}"
    if isinstance(value, int):
        return f"the integer {value}"
    if isinstance(value, str):
        return f'the string "{value}"' if len(value) <= 20 else f"a string of {len(value)} characters"
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, Mapping):
        return "a table"
    return f"a {type(value).__name__}"


def _allow_list[T](item: Callable[[object], T]) -> Callable[[object], tuple[T, ...]]:
    """A non-empty list: an empty allow-list would refuse every report, which no one means."""

    def parse(value: object) -> tuple[T, ...]:
        if not isinstance(value, (list, tuple)):
            raise RuleValueError(f"expected an array, got {_describe(value)}")
        if not value:
            raise RuleValueError("expected at least one value: an empty list allows nothing")
        parsed = []
        for index, element in enumerate(value):
            try:
                parsed.append(item(element))
            except RuleValueError as error:
                raise RuleValueError(error.message, index, *error.path) from None
        return tuple(parsed)

    return parse


def _hex(size: int) -> Callable[[object], bytes]:
    """`size` bytes, as bytes or as hex digits (either case, no prefix)."""

    def parse(value: object) -> bytes:
        if isinstance(value, bytes) and len(value) == size:
            return value
        if not isinstance(value, str) or not re.fullmatch(r"[0-9A-Fa-f]*", value):
            hint = ", without the 0x" if isinstance(value, str) and value[:2] in ("0x", "0X") else ""
            raise RuleValueError(f"expected {2 * size} hex digits{hint}, got {_describe(value)}")
        if len(value) != 2 * size:
            raise RuleValueError(f"expected {2 * size} hex digits ({size} bytes), got {len(value)}")
        return bytes.fromhex(value)

    return parse


def parse_firmware(value: object) -> FirmwareVersion:
    """A firmware version, "major.minor.build" in ASCII digits (or a FirmwareVersion)."""
    if isinstance(value, FirmwareVersion):
        return value
    match = re.fullmatch(r"([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,3})", value) if isinstance(value, str) else None
    if match is None or max(int(part) for part in match.groups()) > U8_MAX:
        raise RuleValueError(f'expected "major.minor.build", each 0 to 255, got {_describe(value)}')
    return FirmwareVersion(*(int(part) for part in match.groups()))


def parse_platform_info(value: object) -> Mapping[str, bool]:
    """A table of platform-info bits by name: true requires the bit, false forbids it."""
    if not isinstance(value, Mapping) or not value:
        raise RuleValueError(f"expected a table of {', '.join(PLATFORM_INFO_NAMES)} (each true or false), "
                             f"got {'an empty table' if isinstance(value, Mapping) else _describe(value)}")
    for name, wanted in value.items():
        if name not in PLATFORM_INFO_NAMES:
            raise RuleValueError(f"unknown platform-info bit; expected {', '.join(PLATFORM_INFO_NAMES)}", str(name))
        if not isinstance(wanted, bool):
            raise RuleValueError(f"expected true (required) or false (forbidden), got {_describe(wanted)}", name)
    # In the field's order, whatever the file's.
    return MappingProxyType({name: value[name] for name in PLATFORM_INFO_NAMES if name in value})


def parse_mitigation_bits(value: object) -> int:
    """The bits that must be set, as an integer mask (TOML's 0x notation reads well here)."""
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= U64_MAX:
        raise RuleValueError(f"expected a mask of the bits that must be set, 1 to {U64_MAX:#x}, "
                             f"got {_describe(value)}")
    return value


def _csp_id(value: object) -> str:
    if not isinstance(value, str) or not 0 < len(value) <= MAX_CSP_ID_LENGTH or not value.isascii() \
            or not value.isprintable():
        raise RuleValueError(f"expected a CSP_ID as the VLEK holds it (printable ASCII, such as "
                             f'"CN=cc-us-east-2.amazonaws.com"), got {_describe(value)}')
    return value


parse_image_ids = parse_family_ids = _allow_list(_hex(16))
parse_report_ids = parse_report_id_mas = _allow_list(_hex(32))
parse_chip_ids = _allow_list(_hex(64))
parse_csp_ids = _allow_list(_csp_id)


# --- The checks ----------------------------------------------------------------


def _choices(allowed: Sequence[object]) -> str:
    shown = [value.hex() if isinstance(value, bytes) else f'"{value}"' for value in allowed]
    return shown[0] if len(shown) == 1 else f"one of {len(shown)} allowed values"


def _id_check(field: str, what: str) -> Callable[[tuple[bytes, ...], Report], Verdict]:
    def check(allowed: tuple[bytes, ...], report: Report) -> Verdict:
        value: bytes = getattr(report, field)
        return value in allowed, f"expected {what} {_choices(allowed)}; report has {value.hex()}"

    return check


check_image_ids = _id_check("image_id", "image id")
check_family_ids = _id_check("family_id", "family id")
check_report_ids = _id_check("report_id", "report id")
check_report_id_mas = _id_check("report_id_ma", "migration agent's report id")


def check_chip_ids(allowed: tuple[bytes, ...], report: Report) -> Verdict:
    passed, detail = _id_check("chip_id", "chip id")(allowed, report)
    masked = ", masked by the host (MASK_CHIP_ID)" if report.mask_chip_id else ""
    return passed, detail + masked


def check_min_firmware(minimum: FirmwareVersion, report: Report) -> Verdict:
    # The committed firmware is what the platform rolls back to: it must meet the minimum too.
    def key(version: FirmwareVersion) -> tuple[int, int, int]:
        return version.major, version.minor, version.build

    current, committed = report.current_firmware, report.committed_firmware
    passed = key(current) >= key(minimum) and key(committed) >= key(minimum)
    return passed, (f"expected firmware {minimum} or later, current and committed; "
                    f"report has current {current}, committed {committed}")


def check_platform_info(wanted: Mapping[str, bool], report: Report) -> Verdict:
    info = report.platform_info
    passed = all(getattr(info, name) == required for name, required in wanted.items())
    expected = ", ".join(f"{name} {'set' if required else 'clear'}" for name, required in wanted.items())
    holds = ", ".join(f"{name} {'set' if getattr(info, name) else 'clear'}" for name in wanted)
    return passed, f"expected platform info with {expected}; report has {info.raw:#x}: {holds}"


def _mitigation_check(field: str, what: str) -> Callable[[int, Report], Verdict]:
    def check(required: int, report: Report) -> Verdict:
        expected = f"expected bits {required:#x} set in the {what} mitigation vector"
        vector: int | None = getattr(report, field)
        if vector is None:
            return False, (f"{expected}; report version {report.version} has no mitigation vectors "
                           f"(from version {FIRST_VERSION_WITH_MIT_VECTORS})")
        missing = required & ~vector
        return not missing, f"{expected}; report has {vector:#x}" + (f", missing {missing:#x}" if missing else "")

    return check


check_min_launch_mitigation_vector = _mitigation_check("launch_mit_vector", "launch")
check_min_current_mitigation_vector = _mitigation_check("current_mit_vector", "current")


def csp_id_of(certificate: x509.Certificate) -> str | None:
    """The CSP_ID extension of a VLEK, decoded; None where it is absent or not an IA5String."""
    for extension in certificate.extensions:
        if extension.oid == CSP_ID and isinstance(extension.value, x509.UnrecognizedExtension):
            try:
                return decode_der(IA5String, extension.value.value).as_str()
            except ValueError:
                return None
    return None


def check_csp_ids(allowed: tuple[str, ...], report: Report, csp_id: str | None) -> Verdict:
    """Which clouds' VLEKs may sign: `csp_id` is the signing VLEK's, from `csp_id_of`."""
    expected = f"expected a VLEK issued to {_choices(allowed)}"
    if report.key_kind != "VLEK":
        return False, f"{expected}; report is signed by a {report.key_kind or 'key of no known kind'}, not a VLEK"
    if csp_id is None:
        return False, f"{expected}; the VLEK has no CSP_ID extension that reads as an IA5String"
    return csp_id in allowed, f'{expected}; the VLEK was issued to "{csp_id}"'


# --- The rules, in the order of their checks ------------------------------------


@dataclass(frozen=True)
class Rule:
    name: str
    parse: Callable[[object], Any]
    check: Callable[..., Verdict]  # (value, report), and for csp_ids the VLEK's CSP_ID too
    doc: str  # for the policy reference: what the rule takes and what it requires


RULES: Final = (
    Rule("image_ids", parse_image_ids, check_image_ids,
         "Allowed image ids (16 bytes in hex each), as the guest's ID block set them."),
    Rule("family_ids", parse_family_ids, check_family_ids,
         "Allowed family ids (16 bytes in hex each), as the guest's ID block set them."),
    Rule("report_ids", parse_report_ids, check_report_ids,
         "Allowed report ids (32 bytes in hex each): the guest's own, which stays the same across its reports."),
    Rule("report_id_mas", parse_report_id_mas, check_report_id_mas,
         "Allowed report ids of the migration agent (32 bytes in hex each; all ff when the guest has none)."),
    Rule("chip_ids", parse_chip_ids, check_chip_ids,
         "Allowed chip ids (64 bytes in hex each; Turin's first 8 bytes followed by zeros; all zeros where the host "
         "masks it)."),
    Rule("min_firmware", parse_firmware, check_min_firmware,
         'The oldest SNP firmware, "major.minor.build", that the current and the committed firmware may be.'),
    Rule("platform_info", parse_platform_info, check_platform_info,
         f"Platform-info bits by name ({', '.join(PLATFORM_INFO_NAMES)}): true requires the bit, false forbids "
         "it; a firmware too old to know a bit reports it clear."),
    Rule("min_launch_mitigation_vector", parse_mitigation_bits, check_min_launch_mitigation_vector,
         "A mask of the bits that must be set in the launch mitigation vector (reports of version 5 and later)."),
    Rule("min_current_mitigation_vector", parse_mitigation_bits, check_min_current_mitigation_vector,
         "A mask of the bits that must be set in the current mitigation vector (reports of version 5 and later)."),
    Rule("csp_ids", parse_csp_ids, check_csp_ids,
         'The cloud providers whose VLEK may sign, by the CSP_ID that AMD wrote into it (such as '
         '"CN=cc-us-east-2.amazonaws.com"); a report signed by a VCEK fails it.'),
)
