"""One check of a verification: its name, its outcome and a line that says what was expected."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

Outcome = Literal["pass", "fail", "skip"]


@dataclass(frozen=True, slots=True)
class Check:
    name: str
    result: Outcome
    detail: str

    @property
    def passed(self) -> bool:
        return self.result == "pass"

    @property
    def failed(self) -> bool:
        return self.result == "fail"

    def to_json(self) -> dict[str, str]:
        return {"name": self.name, "result": self.result, "detail": self.detail}
