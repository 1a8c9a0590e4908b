"""A bounded memo of judgements, keyed by the exact bytes judged (shared by the platforms: `_internal.memo`)."""

from __future__ import annotations

from .._internal.memo import Memo, input_bytes

__all__ = ["Memo", "input_bytes"]
