"""One check of a verification: its name, its outcome and a line that says what was expected."""

from __future__ import annotations

import enum
from dataclasses import dataclass


class Outcome(enum.StrEnum):
    """What a check concluded; equal to, and serialised as, the strings "pass", "fail" and "skip"."""

    PASS = "pass"
    FAIL = "fail"
    SKIP = "skip"  # the check could not be made, or does not apply


@dataclass(frozen=True, slots=True)
class Check:
    """One check: `name` (such as "signature" or "policy.vmpl"), its `result` and a `detail` that says what was
    expected and what the evidence holds."""

    name: str
    result: Outcome
    detail: str

    @property
    def passed(self) -> bool:
        """Whether the check passed."""
        return self.result == Outcome.PASS

    @property
    def failed(self) -> bool:
        """Whether the check failed (a skip is neither passed nor failed)."""
        return self.result == Outcome.FAIL

    def to_json(self) -> dict[str, str]:
        """The check as the command's `--json` output holds it."""
        return {"name": self.name, "result": str(self.result), "detail": self.detail}
