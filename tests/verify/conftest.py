"""The verifier's command, run in process."""

from __future__ import annotations

import json
import time
from collections.abc import Callable

import pytest


# Generous: the suite also runs under a debug build of CPython on a shared machine; a hang is minutes.
RUN_BOUND = 30


@pytest.fixture
def command(capsys: pytest.CaptureFixture[str]) -> Callable[..., None]:
    """Runs quorvel-verify as cli.main and compares its exit status and what it shows: the lines of its text
    (the last one last), its error (status 2), or with --json (a dict, then the last line of stderr) some keys
    of the object, where "failed" names the failed checks and a check's name gives its result; "" for nothing
    shown at all (--quiet). `fill` names
    the texts that the arguments hold as "{name}" and that stand so in what is shown. Every run answers within
    RUN_BOUND seconds, whatever its input (the key service's waits are a second or two in these tests)."""
    from quorvel_verify.cli import main

    def run(argv: list[str], status: int, shown: str | list[str] | tuple[dict[str, object], str], **fill: str) -> None:
        start = time.monotonic()
        assert main([argument.format(**fill) for argument in argv]) == status
        assert time.monotonic() - start < RUN_BOUND
        out, err = capsys.readouterr()
        for name, text in sorted(fill.items(), key=lambda item: -len(item[1])):
            out, err = out.replace(text, f"{{{name}}}"), err.replace(text, f"{{{name}}}")
        if shown == "":  # --quiet: the exit status alone
            assert (out, err) == ("", "")
        elif isinstance(shown, tuple):
            produced = json.loads(out)
            if "checks" in produced:
                # "hcl" only for evidence that came in an Azure HCL report, "tpm_quote" only with a vTPM quote.
                keys = {"tdx": {"tcb_status", "advisory_ids", "tcb_date", "tcb_levels", "fmspc", "signed_digest", "quote"},
                        "sev-snp": {"product", "key_kind", "kds_url", "signed_digest", "report"}}[produced["platform"]]
                assert set(produced) - {"hcl", "tpm_quote"} == {"verified", "platform", "checks", "verified_at", "quorvel_version", *keys}
                produced["failed"] = [check["name"] for check in produced["checks"] if check["result"] == "fail"]
                produced |= {check["name"]: check["result"] for check in produced["checks"]}
            assert ({key: produced[key] for key in shown[0]}, (err.splitlines() or [""])[-1]) == shown
        elif status == 2:
            assert (out, err) == ("", f"error: {shown}\n")
        else:
            lines, expected = out.splitlines(), [shown] if isinstance(shown, str) else shown
            assert (lines[-1], err, [line for line in expected if line not in lines]) == (expected[-1], "", [])
            # A name from the input, quoted in details, adds no line of its own.
            assert sum(line.startswith("result:") for line in lines) == 1

    return run
