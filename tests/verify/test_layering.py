"""The package's layers, read from its imports: a platform (sevsnp/, tdx/, azure/) imports no other platform, and
the shared parts import no platform; only the public names (__init__.py) and the registry of platforms name them."""

from __future__ import annotations

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[2] / "src" / "quorvel_verify"
PLATFORMS = {"sevsnp", "tdx", "azure"}
# The modules that name the platforms: the public names, loaded lazily from each platform's module.
NAMING_PLATFORMS = {"__init__"}
# The shared modules that still name the platforms, until they dispatch through the registry alone:
# - cli: each platform's flags and files (--collateral, --td-quote, the vTPM quote's), its key service's client
#   (KdsClient, PcsClient) and its rules' table for the pins;
# - policy: SEV-SNP's rules are Policy's own top-level fields (its constructor's keywords), typed with SEV-SNP's
#   values; the [tdx] and [azure] tables' rule sets are found through `_internal.ruleset.TABLES` and named here
#   for typing only;
# - verifier: the public signatures of Verifier.verify and verify() are typed with each platform's evidence,
#   collateral and result, and the key services' fetch-and-settle loops (AMD's KDS, Intel's PCS) live there.
DISPATCHING_BY_NAME = {"cli", "policy", "verifier"}


def _imported(path: Path) -> set[tuple[str, ...]]:
    """The package's modules that the module at `path` imports, each as its path inside the package."""
    own = path.relative_to(PACKAGE).with_suffix("").parts
    found = set()
    for node in ast.walk(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            found |= {tuple(alias.name.split(".")[1:]) for alias in node.names if alias.name.startswith("quorvel_verify.")}
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0:
                if not (node.module or "").startswith("quorvel_verify"):
                    continue
                base: tuple[str, ...] = tuple((node.module or "").split(".")[1:])
            else:
                base = own[: len(own) - node.level] + tuple((node.module or "").split(".") if node.module else ())
            # `from . import rules` imports a module; `from .rules import Rule` a name of one.
            found |= {(*base, alias.name) for alias in node.names} if node.module is None else {base}
    return found


def _layer(parts: tuple[str, ...]) -> str:
    return parts[0] if parts and parts[0] in PLATFORMS else "shared"


def test_no_shared_part_or_other_platform_is_imported_by_a_platform_or_shared_part():
    crossing: dict[str, set[str]] = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        own = path.relative_to(PACKAGE).with_suffix("").parts
        name = ".".join(own)
        for target in _imported(path):
            if _layer(target) in ("shared", _layer(own)):
                continue
            crossing.setdefault(name, set()).add(".".join(target))
    platform_to_platform = {name: targets for name, targets in crossing.items() if _layer(tuple(name.split("."))) != "shared"}
    assert platform_to_platform == {}
    shared_to_platform = {name for name in crossing if _layer(tuple(name.split("."))) == "shared"} - NAMING_PLATFORMS
    # Equal, not a subset: a module that stops naming the platforms leaves this list too.
    assert shared_to_platform == DISPATCHING_BY_NAME
