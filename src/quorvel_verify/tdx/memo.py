"""Formerly TDX's bounded memo: the one every platform uses is `quorvel_verify._internal.memo.Memo`."""

from __future__ import annotations

import warnings

from .._internal import memo


def __getattr__(name: str) -> object:
    if name in ("Memo", "input_bytes"):
        warnings.warn(f"quorvel_verify.tdx.memo.{name} is now quorvel_verify._internal.memo.{name}",
                      DeprecationWarning, stacklevel=2)
        return getattr(memo, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
