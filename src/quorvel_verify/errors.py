"""The one exception class that the verifier raises for input it cannot verify at all."""

from __future__ import annotations


class VerificationError(ValueError):
    """Input that cannot be verified at all: not a report, not a certificate, a malformed policy.

    A report that decodes but fails a check is not an error: `verify` returns a
    result whose `verified` is False and whose checks say which one failed.
    """
