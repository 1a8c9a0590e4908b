"""Resolve references to where a name is defined to where the package exports it.

Autodoc writes a type hint as the class's home, e.g.
`quorvel_verify.sevsnp.report.Report`, while the reference documents the
class under the name users import, `quorvel_verify.Report`. A reference that
finds no target under its full name is tried under the package's name for the
same object; nitpicky mode still reports every reference that finds neither.
"""

from __future__ import annotations

import importlib

from docutils import nodes
from sphinx.addnodes import pending_xref
from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.util.typing import ExtensionMetadata

PACKAGES = ("quorvel_verify",)


def _exported_as(target: str) -> str | None:
    """`package.Name` when `target` is `package.some.module.Name` and the package exports that same object."""
    for package in PACKAGES:
        if not target.startswith(f"{package}.") or target.count(".") < 2:
            continue
        module_name, _, name = target.rpartition(".")
        try:
            defined = getattr(importlib.import_module(module_name), name)
            exported = getattr(importlib.import_module(package), name)
        except (ImportError, AttributeError):
            return None
        if defined is exported and name in getattr(importlib.import_module(package), "__all__", ()):
            return f"{package}.{name}"
    return None


def resolve(app: Sphinx, env: BuildEnvironment, node: pending_xref, contnode: nodes.TextElement) -> nodes.Node | None:
    if node.get("refdomain") != "py":
        return None
    target = _exported_as(node["reftarget"])
    if target is None:
        return None
    domain = env.get_domain("py")
    return domain.resolve_xref(env, node["refdoc"], app.builder, node["reftype"], target, node, contnode)


def setup(app: Sphinx) -> ExtensionMetadata:
    app.connect("missing-reference", resolve)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
