"""quorvel-verify --json, run on genuine evidence, against the JSON Schema that the package ships."""

from __future__ import annotations

import json
from collections.abc import Callable
from importlib import resources
from pathlib import Path
from typing import Any

import jsonschema
import pytest

from quorvel_verify import ErrorKind, cli

REPORTS = Path(__file__).resolve().parents[1] / "data" / "reports"
GENUINE = sorted(REPORTS.glob("*.bin"))


@pytest.fixture(scope="module")
def schema() -> dict[str, Any]:
    text = (resources.files("quorvel_verify") / "schema" / "verification.json").read_text("utf-8")
    loaded: dict[str, Any] = json.loads(text)
    jsonschema.Draft202012Validator.check_schema(loaded)
    return loaded


@pytest.fixture(scope="module")
def validator(schema: dict[str, Any]) -> jsonschema.Draft202012Validator:
    return jsonschema.Draft202012Validator(schema)


def _output(capsys: pytest.CaptureFixture[str], *argv: Path | str) -> tuple[int, Any]:
    status = cli.main([*map(str, argv), "--json"])
    return status, json.loads(capsys.readouterr().out)


@pytest.mark.parametrize(
    "argv, status",
    [
        *[pytest.param((report, report.with_suffix(".vcek.pem")), None, id=report.stem) for report in GENUINE],
        # Azure's HCL report around one: the claims it carries.
        pytest.param((REPORTS.parent / "azure" / "hcl-snp-v0.trustee.bin",
                      REPORTS.parent / "azure" / "hcl-snp-v0.trustee.vcek.pem"), None, id="hcl"),
        # With its vTPM quote: the quote's fields and its PCR values by index.
        pytest.param((REPORTS.parent / "azure" / "hcl-snp-milan-v2.trustee.bin",
                      REPORTS.parent / "azure" / "hcl-snp-milan-v2.trustee.vcek-chain.pem", "--tpm-quote",
                      REPORTS.parent / "azure" / "tpm-quote-v1.trustee.json", "--tpm-nonce", "challenge",
                      "--now", "2026-06-01"), 0, id="hcl-tpm-quote"),
        # An Intel TDX quote with Intel's collateral, inside the collateral's window.
        pytest.param((REPORTS.parent / "tdx" / "quote-v4-uptodate.dcapqvl.bin", "--collateral",
                      REPORTS.parent / "tdx" / "quote-v4-uptodate.dcapqvl.collateral.json", "--now", "2025-07-01"),
                     0, id="tdx"),
        # Azure's HCL report around a TDREPORT, through its TDX quote: the claims beside the quote's checks.
        pytest.param((REPORTS.parent / "azure" / "hcl-tdx.trustee.bin", "--td-quote",
                      REPORTS.parent / "azure" / "hcl-tdx.trustee.td-quote.bin"), 1, id="hcl-tdx"),
        # Another chip's VCEK: a verification that fails its checks.
        pytest.param((GENUINE[0], GENUINE[-1].with_suffix(".vcek.pem")), 1, id="not-verified"),
        # The certificate given for the report.
        pytest.param((GENUINE[0].with_suffix(".vcek.pem"), GENUINE[0]), 2, id="bad-input"),
    ],
)
def test_output_follows_the_schema(
    validator: jsonschema.Draft202012Validator, capsys: pytest.CaptureFixture[str],
    argv: tuple[Path | str, ...], status: int | None,
) -> None:
    got, output = _output(capsys, *argv)
    validator.validate(output)
    # A genuine report verifies unless a check says why not (one guest allows debugging).
    assert got == (status if status is not None else 0 if output["verified"] else 1)
    assert ("error" in output) == (got == 2)


def _drop(key: str) -> Callable[[dict[str, Any]], None]:
    return lambda output: output["report"].pop(key)


# Each row: a change to a genuine verification's output, and whether the schema still takes it. A key that a
# later version adds is taken (a consumer that validates must not break); a key renamed or removed is not.
@pytest.mark.parametrize(
    "damage, valid",
    [
        pytest.param(_drop("chip_id"), False, id="a report field missing"),
        pytest.param(lambda output: output["report"].update(unknown=1), True, id="a report field added later"),
        pytest.param(lambda output: output["checks"][0].update(since="x"), True, id="a check key added later"),
        pytest.param(lambda output: output.pop("verified_at"), False, id="no time judged at"),
        pytest.param(lambda output: output.update(error="x"), False, id="a verification with an error"),
        pytest.param(lambda output: output["checks"][0].update(result="passed"), False, id="an outcome not in the set"),
    ],
)
def test_the_schema_refuses_what_the_command_never_prints(
    validator: jsonschema.Draft202012Validator, capsys: pytest.CaptureFixture[str],
    damage: Callable[[dict[str, Any]], None], valid: bool,
) -> None:
    _, output = _output(capsys, GENUINE[0], GENUINE[0].with_suffix(".vcek.pem"))
    damage(output)
    assert validator.is_valid(output) == valid


def test_every_error_kind_is_in_the_schema(schema: dict[str, Any]) -> None:
    # The command's output above shows one kind; a kind added later must not be one the schema refuses.
    assert set(schema["$defs"]["bad_input"]["properties"]["error_kind"]["enum"]) == set(ErrorKind)
