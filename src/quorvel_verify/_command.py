"""The `quorvel-verify` entry point: the command, or one line saying what to install when `cryptography` is missing.

The package installs without its `verify` extra, and then lacks the
`cryptography` that the command needs; a traceback and exit status 1 would
read as "not verified", so the command says what to install and exits 2
(bad input), as for any input it cannot use.
"""

from __future__ import annotations

import json
import sys

MISSING = "quorvel-verify needs the cryptography package: install quorvel[verify] (pip install 'quorvel[verify]')"
BAD_INPUT = 2


def main() -> int:
    try:
        from .cli import main as command
    except ModuleNotFoundError as error:
        if (error.name or "").partition(".")[0] != "cryptography":
            raise
        if "--quiet" in sys.argv[1:]:  # the exit status alone
            return BAD_INPUT
        print(f"error: {MISSING}", file=sys.stderr)
        if "--json" in sys.argv[1:]:
            print(json.dumps({"verified": False, "error": MISSING, "error_kind": "usage"}))
        return BAD_INPUT
    return command()
