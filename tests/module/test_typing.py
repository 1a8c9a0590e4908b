"""The type stubs (package quorvel-stubs): installed, true to the module, and usable with mypy --strict (the
verifier package is held to the same standard in tests/verify/test_strict_typing.py)."""

from __future__ import annotations

import ast
import importlib.metadata
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import quorvel

pytest.importorskip("mypy", reason="the type tests need mypy (pip install mypy)")

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def installed_stub() -> Path:
    files = importlib.metadata.files("quorvel") or []
    stubs = [f for f in files if str(f) == "quorvel-stubs/__init__.pyi"]
    assert stubs, "quorvel-stubs/__init__.pyi is not part of the installed distribution"
    return Path(str(stubs[0].locate()))


def mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--strict-bytes", "--no-error-summary", "--cache-dir", str(cwd / ".mypy_cache"), *args],
        capture_output=True, text=True, timeout=300, cwd=cwd, check=False,
    )


def typed_dicts(stub: Path) -> dict[str, dict[str, str]]:
    """The TypedDicts of the stub: class name -> {key: annotation}, in order."""
    found = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.ClassDef) and any(ast.unparse(b) == "TypedDict" for b in node.bases):
            found[node.name] = {
                item.target.id: ast.unparse(item.annotation)
                for item in node.body
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
            }
    return found


RUNTIME_TYPES = {"bytes": (bytes,), "int": (int,), "int | None": (int, type(None))}


class TestStubs:
    def test_stubtest_agrees_with_the_module(self, tmp_path):
        done = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", "quorvel"],
            capture_output=True, text=True, timeout=300, cwd=tmp_path, check=False,
        )
        assert done.returncode == 0, done.stdout + done.stderr

    @pytest.mark.parametrize("report", ["genoa-v2-oak", "turin-v5-oak"])
    def test_typed_dicts_describe_the_result(self, reports_dir, report):
        shapes = typed_dicts(installed_stub())
        result = quorvel.parse_report((reports_dir / f"{report}.bin").read_bytes())
        nested = {"reported_tcb": "ReportedTcb", "cpuid": "Cpuid"}

        def check(value: dict, shape: str) -> None:
            assert list(value) == list(shapes[shape]), shape
            for key, annotation in shapes[shape].items():
                if annotation in shapes:
                    assert nested[key] == annotation
                    check(value[key], annotation)
                else:
                    assert type(value[key]) in RUNTIME_TYPES[annotation], f"{shape}.{key}"

        check(result, "ParsedReport")


# Each line of the snippet that mypy must reject ends with "# error: <code>".
USAGE = textwrap.dedent(
    """\
    from typing import TYPE_CHECKING

    import quorvel

    if TYPE_CHECKING:
        from quorvel import Cpuid, ParsedReport, ReportedTcb

    report: ParsedReport = quorvel.parse_report(b"")
    cpuid: Cpuid = report["cpuid"]
    tcb: ReportedTcb = report["reported_tcb"]
    signed: bytes = report["signed_bytes"] + report["sig_r"] + report["sig_s"]
    snp: int = tcb["snp"]
    family: int | None = cpuid["fam_id"]
    step: int = cpuid["step"]  # error: assignment
    fmc = tcb["fmc"]  # error: typeddict-item
    quorvel.parse_report(bytearray())  # error: arg-type
    quorvel.parse_report(report_bytes=b"")
    quorvel.parse_report(data=b"")  # error: call-arg
    quorvel.unknown  # error: attr-defined


    # get_report and get_tdx_quote never return: each call ends what mypy checks
    # of its function, so every call gets a function of its own.
    def gather() -> bytes:
        quorvel.get_report(b"", _msg_ver=1, _vmpl=None)


    def quote() -> bytes:
        quorvel.get_tdx_quote(bytes(64))


    def gather_str_version() -> None:
        quorvel.get_report(b"", "1")  # error: arg-type


    def gather_too_many() -> None:
        quorvel.get_report(b"", 1, 2, 3)  # error: call-arg


    def quote_text() -> None:
        quorvel.get_tdx_quote("text")  # error: arg-type
    """
)


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory) -> dict[str, dict[int, list[str]]]:
    """One strict mypy run over the examples and the usage snippet: file name -> line -> error codes."""
    directory = tmp_path_factory.mktemp("usage")
    (directory / "usage.py").write_text(USAGE, encoding="utf-8")
    done = mypy("usage.py", *map(str, EXAMPLES), cwd=directory)
    assert done.returncode in (0, 1), done.stderr
    errors: dict[str, dict[int, list[str]]] = {}
    for line in done.stdout.splitlines():
        if ": note: " in line:
            continue
        match = re.match(r"(.+?):(\d+): error: .*\[([a-z-]+)\]$", line)
        assert match, f"unexpected mypy output: {line}"
        errors.setdefault(Path(match[1]).name, {}).setdefault(int(match[2]), []).append(match[3])
    return errors


EXPECTED = {
    number: [line.rsplit("# error: ", 1)[1]]
    for number, line in enumerate(USAGE.splitlines(), start=1)
    if "# error: " in line
}


class TestMypy:
    @pytest.mark.parametrize("example", [p.name for p in EXAMPLES])
    def test_examples_pass_strict(self, mypy_errors, example):
        assert mypy_errors.get(example, {}) == {}

    def test_usage_errors_are_exactly_the_marked_lines(self, mypy_errors):
        # gather() and quote() need no return statement: the calls never return.
        assert mypy_errors.get("usage.py") == EXPECTED
