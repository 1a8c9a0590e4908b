"""What both suites share: the helpers of tests/shared on the import path, hypothesis's settings and the genuine
reports."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import hypothesis
import pytest

# No example database: the suite runs from any directory and leaves nothing behind.
hypothesis.settings.register_profile("quorvel", database=None, deadline=None)
hypothesis.settings.load_profile("quorvel")

# The report builder and the reference model (tests/shared), for the suites and for the child processes they
# start (fault_harness.py, shutdown_child.py); after any path already set, which names the module under test.
SHARED = str(Path(__file__).parent / "shared")
sys.path.insert(0, SHARED)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), SHARED]))

REPORTS_DIR = Path(__file__).parent / "data" / "reports"


@pytest.fixture(scope="session")
def reports_dir() -> Path:
    assert len(list(REPORTS_DIR.glob("*.vcek.pem"))) == 8, f"genuine reports missing from {REPORTS_DIR}"
    return REPORTS_DIR
