"""The rules on identities, firmware, platform info, mitigation vectors and the VLEK's cloud, against genuine reports.

Each row names the report (or a copy with one field changed, where no genuine report tells two fields apart)
and what the rule's check says; malformed values are refused with the path to the culprit.
"""

from __future__ import annotations

import dataclasses
from pathlib import Path
from typing import Any

import pytest

from quorvel_verify import FirmwareVersion, KeyKind, Policy, PolicyError, Report, SevSnpClaims
from quorvel_verify.sevsnp.certificate import csp_id_of
from quorvel_verify.sevsnp.evidence import load_certificates

DATA = Path(__file__).parents[2] / "data"
VLEK = "reports-more/milan-v5-verdifax-vlek"
AWS = "CN=cc-us-east-2.amazonaws.com"


def _claims(name: str, **changes: Any) -> SevSnpClaims:
    """The claims of a genuine report, with the VLEK's CSP_ID read from its certificate."""
    report = dataclasses.replace(Report.from_bytes((DATA / f"{name}.bin").read_bytes()), **changes)
    (certificate,) = load_certificates((DATA / f"{name}.vcek.pem").read_bytes())
    key_kind = KeyKind(report.key_kind) if report.key_kind else None
    csp_id = csp_id_of(certificate) if key_kind == KeyKind.VLEK else None
    return SevSnpClaims(report, report.product, key_kind, None, "", csp_id)


CHECKS = [
    ("image_ids", ["02" + "00" * 15], "reports/milan-v3-azure", {}, True, "report has 0200"),
    ("family_ids", ["02" + "00" * 15], "reports/milan-v3-azure", {}, False, "report has 0221200"),
    ("report_ids", ["ff" * 32], "reports/genoa-v5-oak", {}, False, "report has e3439f6d"),
    ("report_id_mas", ["ff" * 32], "reports/genoa-v5-oak", {}, True, "report has ffff"),
    ("chip_ids", ["00" * 64], VLEK, {}, True, "masked by the host"),
    ("min_firmware", "1.55.43", "reports/genoa-v5-oak", {}, True, "current 1.55.43, committed 1.55.43"),
    ("min_firmware", "1.55.44", "reports/genoa-v5-oak", {}, False, "expected firmware 1.55.44 or later"),
    # The committed firmware is what a rollback returns to.
    ("min_firmware", "1.55.0", "reports/genoa-v5-oak", {"committed_firmware": FirmwareVersion(1, 54, 9)}, False,
     "committed 1.54.9"),
    ("platform_info", {"smt_enabled": True, "tsme_enabled": False}, "reports/genoa-v5-oak", {}, True,
     "0x25: smt_enabled set, tsme_enabled clear"),
    ("platform_info", {"alias_check_complete": False}, "reports/turin-v5-oak", {}, False, "alias_check_complete set"),
    ("min_launch_mitigation_vector", 0x3, "reports/genoa-v5-oak", {}, False, "report has 0x1, missing 0x2"),
    ("min_launch_mitigation_vector", 0x1, "reports/milan-v3-azure", {}, False, "version 3 has no mitigation vectors"),
    ("min_current_mitigation_vector", 0xB, "reports/genoa-v5-routex", {"launch_mit_vector": 0}, True, "has 0xb"),
    ("csp_ids", [AWS, "CN=other"], VLEK, {}, True, f'issued to "{AWS}"'),
    ("csp_ids", ["CN=other"], VLEK, {}, False, f'issued to "{AWS}"'),
    ("csp_ids", [AWS], "reports/genoa-v5-oak", {}, False, "signed by a VCEK, not a VLEK"),
]


@pytest.mark.parametrize(("rule", "value", "report", "changes", "passed", "detail"), CHECKS,
                         ids=[f"{row[0]}-{index}" for index, row in enumerate(CHECKS)])
def test_each_rule_judges_the_field_it_names(
    rule: str, value: object, report: str, changes: dict[str, Any], passed: bool, detail: str
) -> None:
    checks = Policy.from_mapping({rule: value}).checks_of(_claims(report, **changes))
    (check,) = (check for check in checks if check.name == f"policy.{rule}")
    assert (check.name, check.passed, detail in check.detail) == (f"policy.{rule}", passed, True), check.detail


MALFORMED = [
    ("image_ids", [], "an empty list allows nothing", ()),
    ("report_ids", ["00" * 32, "0x" + "00" * 31], "leave out the 0x", (1,)),
    ("chip_ids", ["00" * 8], "128 hex digits (64 bytes), got 16", (0,)),
    ("min_firmware", "1.55", '"major.minor.build"', ()),
    ("min_firmware", "1.256.0", "each 0 to 255", ()),
    ("min_firmware", "١.٥٥.٠", '"major.minor.build"', ()),  # Arabic-Indic digits are digits to \d
    ("platform_info", {"smt": True}, "unknown platform-info bit", ("smt",)),
    ("platform_info", {"ecc_enabled": 1}, "true (required) or false (forbidden)", ("ecc_enabled",)),
    ("min_current_mitigation_vector", 0, "a mask of the bits that must be set", ()),
    ("min_launch_mitigation_vector", True, "got the boolean true", ()),
    ("csp_ids", [AWS, "CN=a\nb"], "printable ASCII", (1,)),
]


@pytest.mark.parametrize(("rule", "value", "message", "path"), MALFORMED,
                         ids=[f"{row[0]}-{index}" for index, row in enumerate(MALFORMED)])
def test_a_malformed_value_is_refused_with_its_path(rule: str, value: object, message: str, path: tuple[object, ...]) -> None:
    with pytest.raises(PolicyError) as refused:
        Policy.from_mapping({rule: value})
    assert (message in refused.value.reason, refused.value.path) == (True, (rule, *path)), refused.value.reason
