"""Formerly SEV-SNP's rules on identities and the host platform, now split by concern: `rules_identity.py`
(the guest's, the chip's and the VLEK cloud's identities) and `rules_platform.py` (firmware, platform info,
mitigation vectors)."""

from __future__ import annotations

import warnings

from . import rules_identity, rules_platform


def __getattr__(name: str) -> object:
    for module in (rules_identity, rules_platform):
        if hasattr(module, name):
            warnings.warn(f"quorvel_verify.sevsnp.rules_extra.{name} is now {module.__name__}.{name}",
                          DeprecationWarning, stacklevel=2)
            return getattr(module, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
