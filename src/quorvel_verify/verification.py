"""The outcome of a verification: every check in order, the verdict, and what the evidence established.

`PlatformVerification` is the one result type, generic over the platform's claims: the verdict, every check,
the claims the evidence checks established, what the wrappers it came in unwrapped and when it was judged. Each
platform's result is its subclass in the platform's package, which names the claims' fields and writes the JSON
(SEV-SNP's `Verification`, TDX's `TdxVerification`); this module still answers for them by those names, through
the registry of platforms, and warns."""

from __future__ import annotations

import datetime
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, ClassVar

from . import __version__
from ._internal.platform import Platform, Wrapped, entry

from .checks import Check


@dataclass(frozen=True)
class PlatformVerification[C]:
    """The outcome of verifying a platform's evidence (of `verify`, or of `Policy.appraise`).

    `verified` holds when every evidence check that must pass passed and no
    check failed; `checks` are every check in order, the evidence's then the
    policy's; `claims` what the evidence checks established (the platform's
    claims type); `wrapped` what the wrappers the evidence came in unwrapped,
    under their JSON keys (`hcl`, `tpm_quote`); `verified_at` the time the
    evidence was judged at (UTC).
    """

    platform: ClassVar[Platform]

    verified: bool
    checks: tuple[Check, ...]
    claims: C
    wrapped: Mapping[str, Wrapped] = field(default_factory=dict, hash=False)
    verified_at: datetime.datetime | None = None

    def _record(self) -> dict[str, str]:
        """The keys every result's JSON holds about the verification itself: when it was judged, and by what."""
        at = self.verified_at
        when: dict[str, str] = {} if at is None else {
            "verified_at": at.astimezone(datetime.UTC).replace(tzinfo=None).isoformat(timespec="seconds") + "Z"}
        return when | {"quorvel_version": __version__}

    def _wrapped_json(self) -> dict[str, object]:
        """What the wrappers unwrapped, each under its key ("hcl", "tpm_quote")."""
        return {key: value.to_json() for key, value in self.wrapped.items()}

    @property
    def hcl(self) -> Any:
        """Azure's HCL report the evidence came in (an `azure.hcl.HclReport`; None: none), bound to it by the
        `hcl` check."""
        return self.wrapped.get("hcl")

    @property
    def tpm_quote(self) -> Any:
        """The vTPM quote given with the HCL report (an `azure.tpm_quote.TpmEvidence`; None: none given),
        verified by the `tpm_*` checks."""
        return self.wrapped.get("tpm_quote")

    @property
    def failed(self) -> tuple[Check, ...]:
        """The checks that failed, in order."""
        return tuple(check for check in self.checks if check.failed)

    def check(self, name: str) -> Check:
        """The check of this name; KeyError if it was not made."""
        for check in self.checks:
            if check.name == name:
                return check
        raise KeyError(name)


# The platforms' results by their old names here: each now lives in its platform's package.
_MOVED = {"Verification": Platform.SEV_SNP, "TdxVerification": Platform.TDX}


def __getattr__(name: str) -> type[PlatformVerification[Any]]:
    if name in _MOVED:
        found: type[PlatformVerification[Any]] = entry(_MOVED[name]).verification_type
        warnings.warn(f"quorvel_verify.verification.{name} is now {found.__module__}.{name} (or quorvel_verify.{name})",
                      DeprecationWarning, stacklevel=2)
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
