"""The stub-module directive: a module's reference read from its type stubs.

The extension module `quorvel` carries no docstrings (its contract fixes them
empty); its reference lives in `src/quorvel-stubs/__init__.pyi`, which editors
show. This reads that file's syntax tree, without importing anything, and
writes the module, its functions and its TypedDicts with their docstrings.
"""

from __future__ import annotations

import ast
import inspect
from pathlib import Path

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.typing import ExtensionMetadata

STUBS = Path(__file__).resolve().parents[2] / "src"


def _docstring(node: ast.AST, indent: str) -> list[str]:
    text = ast.get_docstring(node)  # type: ignore[arg-type]
    if not text:
        raise ValueError(f"{getattr(node, 'name', 'the module')} has no docstring in the stub")
    return [f"{indent}{line}" if line else "" for line in inspect.cleandoc(text).splitlines()]


def _attribute_docstrings(body: list[ast.stmt]) -> dict[str, str]:
    """The docstring that follows each annotated attribute of a class body."""
    found = {}
    for statement, following in zip(body, body[1:]):
        if (
            isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name)
            and isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
            and isinstance(following.value.value, str)
        ):
            found[statement.target.id] = inspect.cleandoc(following.value.value)
    return found


def _signature(function: ast.FunctionDef) -> str:
    returns = f" -> {ast.unparse(function.returns)}" if function.returns else ""
    return f"{function.name}({ast.unparse(function.args)}){returns}"


def stub_lines(module: str, tree: ast.Module) -> list[str]:
    """The reST of a stub: the module's docstring, then its functions in `__all__`'s order, then its classes."""
    lines = [f".. py:module:: {module}", "", *_docstring(tree, ""), ""]
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    exported = next(
        (ast.literal_eval(node.value) for node in tree.body if isinstance(node, ast.Assign)
         and any(isinstance(target, ast.Name) and target.id == "__all__" for target in node.targets)),
        list(functions),
    )
    for name in exported:
        lines += [f".. py:function:: {_signature(functions[name])}", "", *_docstring(functions[name], "   "), ""]
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        bases = ", ".join(ast.unparse(base) for base in node.bases)
        lines += [f".. py:class:: {node.name}({bases})", "", *_docstring(node, "   "), ""]
        documented = _attribute_docstrings(node.body)
        for statement in node.body:
            if isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name):
                name = statement.target.id
                if name not in documented:
                    raise ValueError(f"{node.name}.{name} has no docstring in the stub")
                lines += [f"   .. py:attribute:: {name}", f"      :type: {ast.unparse(statement.annotation)}", ""]
                lines += [f"      {line}" if line else "" for line in documented[name].splitlines()] + [""]
    return lines


class StubModule(SphinxDirective):
    """``.. stub-module:: NAME`` documents NAME from ``src/NAME-stubs/__init__.pyi``."""

    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        module = self.arguments[0]
        path = STUBS / f"{module}-stubs" / "__init__.pyi"
        self.env.note_dependency(str(path))
        try:
            lines = stub_lines(module, ast.parse(path.read_text(encoding="utf-8"), filename=str(path)))
        except (OSError, SyntaxError, ValueError) as error:
            raise self.error(f"stub-module {module}: {error}") from None
        return self.parse_text_to_nodes("\n".join(lines))


def setup(app: Sphinx) -> ExtensionMetadata:
    app.add_directive("stub-module", StubModule)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
