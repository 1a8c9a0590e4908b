"""The policy-rules directive: the reference of every policy rule, from the rules themselves.

`quorvel_verify.policy.rule_reference()` describes each rule as the policy
knows it (its table, name, accepted TOML value, default and documentation), so
the reference cannot drift from the code: a rule added there appears here at
the next build, and a rule without documentation fails the build.
"""

from __future__ import annotations

import inspect
from collections.abc import Sequence
from typing import Protocol

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.typing import ExtensionMetadata

class Rule(Protocol):
    """What `rule_reference()` says of one rule; every text is reST."""

    table: str | None  # None for a rule at the top level of the file
    name: str
    value: str  # the TOML value it accepts
    default: str
    doc: str


# Headings of the groups of rules, by TOML table (None: the top level of the file).
TABLE_HEADINGS = {
    None: "AMD SEV-SNP: the top level of the file",
    "tdx": "Intel TDX: the table ``[tdx]``",
}


def _indented(text: str, indent: str) -> list[str]:
    return [f"{indent}{line}" if line.strip() else "" for line in inspect.cleandoc(text).splitlines()]


def rule_lines(rules: Sequence[Rule]) -> list[str]:
    """The reST of the rules, grouped by table in the order of their first rule."""
    lines: list[str] = []
    for table in dict.fromkeys(rule.table for rule in rules):
        group = [rule for rule in rules if rule.table == table]
        heading = TABLE_HEADINGS.get(table, f"The table ``[{table}]``")
        lines += [".. rubric:: " + heading, ""]
        for rule in group:
            for attribute in ("name", "value", "default", "doc"):
                if not str(getattr(rule, attribute, "") or "").strip():
                    raise ValueError(f"the rule {table + '.' if table else ''}{rule.name} has no {attribute}")
            key = f"{table}.{rule.name}" if table else rule.name
            lines += [
                f".. confval:: {key}",
                f"   :type: {rule.value}",
                f"   :default: {rule.default}",
                "",
                *_indented(rule.doc, "   "),
                "",
            ]
    return lines


class PolicyRules(SphinxDirective):
    """``.. policy-rules::`` writes every rule of `rule_reference()`, grouped by table."""

    def run(self) -> list[nodes.Node]:
        from quorvel_verify import policy

        try:
            rules = list(policy.rule_reference())
            if not rules:
                raise ValueError("rule_reference() lists no rule")
            lines = rule_lines(rules)
        except (AttributeError, ValueError) as error:
            raise self.error(f"policy-rules: {error}") from None
        self.env.note_dependency(policy.__file__)
        return self.parse_text_to_nodes("\n".join(lines))


def setup(app: Sphinx) -> ExtensionMetadata:
    app.add_directive("policy-rules", PolicyRules)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
