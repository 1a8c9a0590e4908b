"""Enums in the reference with their members and without a call signature.

The closed sets (product line, key kind, platform, outcome, error kind) are
`StrEnum`s whose members have no docstrings, so autodoc would leave out the
values a reader needs, and show `(*values)`, the signature of `Enum`'s own
constructor, as if one made a product line by calling the class.
"""

from __future__ import annotations

import enum
from typing import Any

from sphinx.application import Sphinx
from sphinx.util.typing import ExtensionMetadata


def keep_members(app: Sphinx, what: str, name: str, obj: object, skip: bool, options: Any) -> bool | None:
    return False if isinstance(obj, enum.Enum) else None


def no_signature(
    app: Sphinx, what: str, name: str, obj: object, options: Any, signature: str | None, annotation: str | None
) -> tuple[str, str | None] | None:
    return ("", annotation) if what == "class" and isinstance(obj, enum.EnumType) else None


def setup(app: Sphinx) -> ExtensionMetadata:
    app.connect("autodoc-skip-member", keep_members)
    app.connect("autodoc-process-signature", no_signature)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
