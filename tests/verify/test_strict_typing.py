"""The verifier package passes mypy --strict, typed against the module's stubs as the examples are
(tests/module/test_typing.py)."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="the type tests need mypy (pip install mypy)")

PACKAGE = sorted((Path(__file__).resolve().parents[2] / "src" / "quorvel_verify").rglob("*.py"))


def test_package_passes_strict(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--strict-bytes", "--no-error-summary", *map(str, PACKAGE)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path, check=False)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
