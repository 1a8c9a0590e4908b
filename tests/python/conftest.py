"""Shared fixtures for the tests of the installed quorvel extension module."""

from __future__ import annotations

import sys
from pathlib import Path

import hypothesis
import pytest

# No example database: the suite runs from any directory and leaves nothing behind.
hypothesis.settings.register_profile("quorvel", database=None, deadline=None)
hypothesis.settings.load_profile("quorvel")

# The reference model of the three functions (reference.py), which the
# suites and the shared vectors take their expectations from.
sys.path.insert(0, str(Path(__file__).parent.parent / "vectors"))

REPORTS_DIR = Path(__file__).parent.parent / "data" / "reports"


@pytest.fixture(scope="session")
def reports_dir() -> Path:
    assert len(list(REPORTS_DIR.glob("*.vcek.pem"))) == 8, f"genuine reports missing from {REPORTS_DIR}"
    return REPORTS_DIR
