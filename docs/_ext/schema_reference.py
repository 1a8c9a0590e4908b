"""The json-schema directive: the keys of the --json output, read from the JSON Schema the package ships.

The schema is what the tests hold the command's real output to, so a table
made from it says what the command prints: every key, its type and what it
means.
"""

from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.typing import ExtensionMetadata

SCHEMA = Path(__file__).resolve().parents[2] / "src" / "quorvel_verify" / "schema" / "verification.json"


def _type(schema: dict[str, Any]) -> str:
    """A property's type as a reader says it."""
    if "$ref" in schema:
        return f"object (:ref:`{schema['$ref'].rsplit('/', 1)[1]} <schema-{schema['$ref'].rsplit('/', 1)[1]}>`)"
    if "const" in schema:
        return f"``{json.dumps(schema['const'])}``"
    if "enum" in schema:
        return "one of " + ", ".join(f"``{json.dumps(value)}``" for value in schema["enum"])
    if "oneOf" in schema:
        return " or ".join(_type(choice) for choice in schema["oneOf"])
    kinds = schema.get("type", "any")
    text = " or ".join(kinds) if isinstance(kinds, list) else kinds
    if hex_digits := re.fullmatch(r"\^\[0-9a-f\]\{(\d+)\}\$", schema.get("pattern", "")):
        text = f"{hex_digits[1]} hex digits"
    elif "pattern" in schema:
        text += f" (``{schema['pattern']}``)"
    elif "maximum" in schema:
        text += f" ({schema.get('minimum', 0)} to {schema['maximum']})"
    if "items" in schema:
        text += f" of {_type(schema['items'])}"
    if "properties" in schema:
        text = "object: " + ", ".join(f"``{key}``" for key in schema["properties"])
    return text


def object_lines(definitions: dict[str, Any], names: list[str]) -> list[str]:
    """A table of the properties of the named definitions, in order, with their type and description; a key
    that several of them describe is one row, described by the first that says what it means."""
    rows: dict[str, dict[str, Any]] = {}
    for name in names:
        if name not in definitions:
            raise ValueError(f"the schema defines no {name}")
        definition = definitions[name]
        for key, schema in definition.get("properties", {}).items():
            row = rows.setdefault(key, {"type": _type(schema), "description": "", "required": False})
            if "$ref" in schema:
                schema = {**definitions[schema["$ref"].rsplit("/", 1)[1]], **schema}
            row["description"] = row["description"] or schema.get("description", "")
            row["required"] |= key in definition.get("required", ())
    lines = [".. list-table::", "   :header-rows: 1", "   :widths: 20 30 50", "",
             "   * - key", "     - value", "     - meaning"]
    for key, row in rows.items():
        if not row["description"]:
            raise ValueError(f"{key} has no description in the schema")
        lines += [
            f"   * - ``{key}``" + ("" if row["required"] else " (optional)"),
            f"     - {row['type']}",
            f"     - {row['description']}",
        ]
    return lines


class JsonSchema(SphinxDirective):
    """``.. json-schema:: NAME [NAME ...]`` writes the properties of the schema's definitions NAME, with an
    anchor ``schema-NAME`` for each."""

    required_arguments = 1
    optional_arguments = 8

    def run(self) -> list[nodes.Node]:
        self.env.note_dependency(str(SCHEMA))
        try:
            schema = json.loads(SCHEMA.read_text(encoding="utf-8"))
            lines = [f".. _schema-{name}:" for name in self.arguments] + [""]
            lines += object_lines(schema["$defs"], self.arguments)
        except (OSError, KeyError, ValueError) as error:
            raise self.error(f"json-schema: {error}") from None
        return self.parse_text_to_nodes("\n".join(lines))


def setup(app: Sphinx) -> ExtensionMetadata:
    app.add_directive("json-schema", JsonSchema)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
