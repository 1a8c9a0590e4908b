"""Every public name has a docstring and a place in the reference.

Autodoc leaves out, without a word, a member that has no docstring, and a
name of `__all__` that it cannot document. This fails the build instead (as
a warning, which docs/build makes an error): each name a package exports must
be in the reference, and it and each public method, property and nested class
of it must carry a docstring of its own.
"""

from __future__ import annotations

import enum
import importlib
import inspect
from collections.abc import Iterator
from typing import cast

from sphinx.application import Sphinx
from sphinx.domains.python import PythonDomain
from sphinx.environment import BuildEnvironment
from sphinx.util import logging
from sphinx.util.typing import ExtensionMetadata

logger = logging.getLogger(__name__)


def _own_docstring(obj: object) -> bool:
    doc = obj.__doc__ if not isinstance(obj, (classmethod, staticmethod)) else obj.__func__.__doc__
    if not doc or not doc.strip():
        return False
    # A dataclass without a docstring gets its signature as one.
    return not (inspect.isclass(obj) and doc.startswith(f"{obj.__name__}("))


def undocumented(package: str) -> Iterator[str]:
    """The exported names of `package`, and their public members, that have no docstring of their own."""
    module = importlib.import_module(package)
    for name in module.__all__:
        obj = getattr(module, name)
        if not (inspect.isclass(obj) or inspect.isroutine(obj)):
            continue  # a constant or an alias carries its documentation in the source, as a #: comment
        if not _own_docstring(obj):
            yield f"{package}.{name}"
        if not inspect.isclass(obj):
            continue
        for member, value in vars(obj).items():
            if member.startswith("_") or (isinstance(obj, enum.EnumType) and member in obj.__members__):
                continue
            if isinstance(value, (property, classmethod, staticmethod, type)) or inspect.isfunction(value):
                if not _own_docstring(value):
                    yield f"{package}.{name}.{member}"


def check(app: Sphinx, env: BuildEnvironment) -> None:
    documented = cast(PythonDomain, env.get_domain("py")).objects
    for package in app.config.public_packages:
        for name in importlib.import_module(package).__all__:
            if f"{package}.{name}" not in documented:
                logger.warning("%s.%s is exported but not in the reference", package, name, type="public-names")
        for name in undocumented(package):
            logger.warning("%s has no docstring", name, type="public-names")


def setup(app: Sphinx) -> ExtensionMetadata:
    app.add_config_value("public_packages", [], "env", types=[list])
    app.connect("env-check-consistency", check)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
