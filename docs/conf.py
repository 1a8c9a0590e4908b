"""Sphinx configuration: the reference of quorvel and quorvel_verify, built by docs/build."""

from __future__ import annotations

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
# The verifier is documented from the source tree, not from whatever an
# environment has installed; the extension module it imports comes from the
# environment (docs/build installs the package).
sys.path[:0] = [str(ROOT / "src"), str(DOCS / "_ext")]

project = "quorvel"
author = "The quorvel developers"
copyright = "The quorvel developers, Apache-2.0"
release = "0.1.0"

extensions = [
    "sphinx.ext.autodoc",
    "stub_reference",
    "policy_reference",
    "schema_reference",
    "reexported_names",
    "public_names",
    "enum_members",
]
# Packages whose every exported name must be in the reference, with docstrings.
public_packages = ["quorvel_verify"]

exclude_patterns = ["_build", "README.md"]
# `name` in a docstring is code, as it reads in an editor.
default_role = "literal"
nitpicky = True
# Without network access at build time there is no inventory of the standard
# library or of cryptography to link to: references into them are left as
# text, and every reference into this project must resolve.
nitpick_ignore_regex = [
    (r"py:.*", r"(builtins|collections\.abc|datetime|enum|os|pathlib|typing|types|x509|cryptography)(\..*)?"),
    (r"py:.*", r"(bool|bytes|bytearray|dict|float|int|list|memoryview|object|str|tuple|type|None|NoReturn"
               r"|Any|Callable|Final|Iterable|Iterator|Literal|Mapping|Sequence|Self|TypedDict|ValueError"
               r"|Exception|BaseException)"),
    # A class's type parameters (class EvidenceResult[C]) name nothing to link to.
    (r"py:class", r"[A-Z]"),
    # Intel's collateral as signatures name it, unqualified; the class is documented as quorvel_verify.TdxCollateral.
    (r"py:class", r"TdxCollateral"),
    # The private base that gives each platform's verification `failed` and `check`, documented on each.
    (r"py:class", r"quorvel_verify\.verification\._Checked"),
    # The private base that gives each collateral client its set-up and the keep-after-checks bookkeeping.
    (r"py:class", r"quorvel_verify\._internal\.client\.CollateralClient"),
]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}

html_theme = "alabaster"
html_title = "quorvel"
html_theme_options = {"description": "AMD SEV-SNP attestation reports: decode, verify, appraise"}
