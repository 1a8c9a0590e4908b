"""The machinery of a policy's rule sets, which no platform owns: a set of rules declared as dataclass fields,
validated when made, loaded from a mapping, and the checks it makes of a platform's claims.

Each platform declares its own `RuleSet` beside its rules (`sevsnp/rules.py`, `tdx/rules.py`,
`azure/rules.py`); `quorvel_verify.policy.Policy` holds them, a later platform's under its table.
"""

from __future__ import annotations

import dataclasses
import difflib
import importlib
from collections.abc import Callable, Mapping, Sequence
from typing import Any, ClassVar, Final, Self

from ..checks import Check, Outcome
from ..errors import PolicyError
from .rules import Invalid, Rule, Verdict, describe


class RuleSet:
    """The machinery of a set of rules declared as dataclass fields (see `Rule`): validation when made,
    loading from a mapping, and the checks of a platform's claims.

    `Policy` is one (SEV-SNP's rules at the top level); a later platform's
    rules are another, held by `Policy` under the platform's table name.
    """

    # The table that holds these rules in a policy file: None for the top level.
    table: ClassVar[str | None] = None
    # What the names of the checks start with: "policy." then, for a table, "<table>.", unless the table's
    # checks keep the plain names (each verification checks one platform's rules, so they cannot clash).
    check_prefix: ClassVar[str | None] = None
    _made_checks: ClassVar[tuple[tuple[str, str, Callable[[Any, Any], Verdict]], ...]]

    def __post_init__(self) -> None:
        for item in dataclasses.fields(self):  # type: ignore[arg-type]
            value = getattr(self, item.name)
            if value is None and item.default is None:
                continue
            rule: Rule = item.metadata["rule"]
            try:
                object.__setattr__(self, item.name, rule.parse(value))
            except Invalid as error:
                path = (item.name, *error.path)
                raise PolicyError(f"{_dotted(path)}: {error.message}", path) from None

    @classmethod
    def rules(cls) -> tuple[str, ...]:
        """The rule keys, in the order of their checks."""
        return tuple(item.name for item in dataclasses.fields(cls))  # type: ignore[arg-type]

    @classmethod
    def from_mapping(cls, data: Mapping[str, object]) -> Self:
        """Rules from a mapping shaped like the TOML file (hex as strings, "major.minor" as a string)."""
        for key in data:
            if key not in cls.rules():
                close = difflib.get_close_matches(str(key), cls.rules(), n=1)
                hint = cls._placed_elsewhere(str(key)) or (f" (did you mean {close[0]}?)" if close else "")
                raise PolicyError(f"{key}: unknown rule{hint}", (str(key),))
        return cls(**data)

    @classmethod
    def _placed_elsewhere(cls, key: str) -> str | None:
        """Where `key` belongs when it is another table's rule (the hint for a rule written in the wrong place)."""
        return None

    @classmethod
    def as_table(cls) -> Any:
        """The field of `Policy` that holds these rules under the table `cls.table` of a policy file: it takes
        an instance or a mapping, and its errors' paths and lines lead into the table."""
        return _table(str(cls.table), lambda: cls, cls)

    @classmethod
    def _checks(cls) -> tuple[tuple[str, str, Callable[[Any, Any], Verdict]], ...]:
        """The rules that make a check: key, check name and check, in order; read from the fields once per
        class (a constant of the class, like its fields)."""
        made = cls.__dict__.get("_made_checks")
        if made is None:
            prefix = cls.check_prefix or ("policy." if cls.table is None else f"policy.{cls.table}.")
            made = tuple(
                (item.name, prefix + item.name, item.metadata["rule"].check)
                for item in dataclasses.fields(cls)  # type: ignore[arg-type]
                if item.metadata["rule"].check is not None
            )
            cls._made_checks = made
        return made

    def checks_of(self, claims: object) -> list[Check]:
        """One check per rule that is set and makes a check, in the order of `rules()`."""
        checks = []
        for key, name, check in self._checks():
            value = getattr(self, key)
            if value is not None:
                passed, detail = check(value, claims)
                checks.append(Check(name, Outcome.PASS if passed else Outcome.FAIL, detail))
        return checks


def _dotted(path: Sequence[str | int]) -> str:
    text = ""
    for part in path:
        text += f"[{part}]" if isinstance(part, int) else f".{part}" if text else part
    return text


# --- The tables of a policy file ----------------------------------------------------

# Each table's rule set, by the module that declares it (module:class): imported when a policy has the table or
# its rules are listed, never by the shared parts at import. A platform with a table of its own adds a line here.
TABLES: Final = {
    "tdx": "quorvel_verify.tdx.rules:TdxRules",
    "azure": "quorvel_verify.azure.rules:AzureRules",
}


def table_rules(table: str) -> type[RuleSet]:
    """The rule set of the table `table` (a key of `TABLES`), its module imported now."""
    module, _, name = TABLES[table].partition(":")
    found: type[RuleSet] = getattr(importlib.import_module(module), name)
    return found


def table_field(table: str) -> Any:
    """The field of `Policy` that holds the table `table` (see `RuleSet.as_table`), its rule set looked up in
    `TABLES` only when a value is given."""
    return _table(table, lambda: table_rules(table), table)


def _table(table: str, rules: Callable[[], type[RuleSet]], held: type[RuleSet] | str) -> Any:
    def parse(value: object) -> RuleSet:
        cls = rules()
        if isinstance(value, cls):
            return value
        if not isinstance(value, Mapping):
            raise Invalid(f"expected a table of rules, got {describe(value)}")
        try:
            return cls.from_mapping(value)
        except PolicyError as error:
            raise Invalid(error.reason.removeprefix(f"{_dotted(error.path)}: "), *error.path) from None

    rule = Rule(parse, None, f"a table of {table} rules", "no rules", f"The rules of {table}.")
    return dataclasses.field(default=None, metadata={"rule": rule, "table": held})
