"""The exceptions that the verifier raises for input it cannot verify at all, and what kind of input each concerns."""

from __future__ import annotations

import enum
from collections.abc import Sequence


class ErrorKind(enum.StrEnum):
    """What a `VerificationError` concerns; the command prints it as `error_kind` with `--json`.

    - `report`: the evidence itself (not a report, a report of the wrong size, ...).
    - `certificate`: a certificate, bundle or certificate table given or fetched.
    - `revocation`: a revocation list given or fetched.
    - `chains`: the chains given to pin instead of AMD's.
    - `policy`: a policy file, mapping or argument that cannot be used.
    - `collateral`: collateral that the cache lacks offline, or that the key service cannot name.
    - `network`: a request to the key service that failed.
    - `usage`: an argument of the wrong type or value, or a command line that cannot be run.
    - `input`: a file that cannot be read.
    """

    REPORT = "report"
    CERTIFICATE = "certificate"
    REVOCATION = "revocation"
    CHAINS = "chains"
    POLICY = "policy"
    COLLATERAL = "collateral"
    NETWORK = "network"
    USAGE = "usage"
    INPUT = "input"


class VerificationError(ValueError):
    """Input that cannot be verified at all: not a report, not a certificate, a malformed policy.

    A report that decodes but fails a check is not an error: `verify` returns a
    result whose `verified` is False and whose checks say which one failed.
    `kind` says what the error concerns; `argument` names the argument of
    `verify` (or `Verifier.verify`) whose value it concerns, where there is
    one ("report", "certificate", "certificate_table", "crl", "chains",
    "policy", "now"), so that a caller such as the command can name its file.
    `reason` is the message without the argument's name in front of it.
    `detail`, where there is one, is what the library that refused the input
    said (the module's or `cryptography`'s message, as it gave it): the
    message says the same in this package's words, and the command shows the
    detail only with `--json`.
    A subclass sets `default_kind` for the errors that do not name one.
    """

    default_kind = ErrorKind.USAGE

    def __init__(
        self, message: str, kind: ErrorKind | None = None, *, argument: str | None = None,
        reason: str | None = None, detail: str | None = None,
    ) -> None:
        super().__init__(message)
        self.kind = kind if kind is not None else self.default_kind
        self.argument = argument
        self.reason = reason if reason is not None else message
        self.detail = detail


class PolicyError(VerificationError):
    """A policy that cannot be used.

    `file` and `line` say where in a policy file (None for a policy made in
    code, or where the line is not known), `path` where in the policy, e.g.
    ("min_tcb", "snp") or ("measurements", 1); `reason` is what is wrong,
    without the location. The message is "file:line: path: reason".
    """

    def __init__(
        self, reason: str, path: Sequence[str | int] = (), *, file: str | None = None, line: int | None = None,
        message: str | None = None,
    ) -> None:
        location = f"{file}:{line}" if file is not None and line is not None else file
        text = message if message is not None else f"{location}: {reason}" if location is not None else reason
        super().__init__(text, ErrorKind.POLICY, argument="policy", reason=reason)
        self.path = tuple(path)
        self.file = file
        self.line = line


# The labels that loaders put before their messages ("report: ..."), by the argument of `verify` each
# names and the kind of error it is.
_SOURCES = {
    "report": ("report", ErrorKind.REPORT),
    "certificate": ("certificate", ErrorKind.CERTIFICATE),
    "certificate table": ("certificate_table", ErrorKind.CERTIFICATE),
    "revocation list": ("crl", ErrorKind.REVOCATION),
    "tpm_quote": ("tpm_quote", ErrorKind.REPORT),
}


class OfflineError(VerificationError):
    """Offline, and what a verification needs is neither given nor in the cache. The message names it.

    Every platform's collateral client raises it (AMD's KDS, Intel's PCS): it is shared, as the cache is."""

    default_kind = ErrorKind.COLLATERAL


def about(argument: str, reason: str, kind: ErrorKind = ErrorKind.USAGE) -> VerificationError:
    """The error "`argument`: `reason`" about the value of one argument of `verify` or `Verifier`."""
    return VerificationError(f"{argument}: {reason}", kind, argument=argument, reason=reason)


def located(source: str, reason: str, detail: str | None = None) -> VerificationError:
    """The error "`source`: `reason`", where `source` is a loader's label such as "report",
    "certificate table: VCEK entry" or "chains[1]": its first part names the argument and the kind.
    `detail` is the refusing library's own message, if any."""
    label, _, rest = source.partition(": ")
    argument, kind = _SOURCES.get(label, (None, ErrorKind.CHAINS if label.startswith("chains") else ErrorKind.USAGE))
    return VerificationError(
        f"{source}: {reason}", kind, argument=argument, reason=f"{rest}: {reason}" if rest else reason, detail=detail
    )
