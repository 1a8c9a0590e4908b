"""quorvel-verify: verify an attestation report from the command line.

Exit status: 0 verified, 1 not verified (a check failed), 2 bad input (an
unreadable file, a report or certificate that cannot be used, a malformed
policy, a wrong argument). `-` for a file reads standard input. With --json, stdout holds one JSON object in every
case: the verification, or `{"verified": false, "error": ..., "error_kind": ...}`
for bad input, where `error_kind` is one of `quorvel_verify.ErrorKind`.
"""

from __future__ import annotations

import argparse
import datetime
import json
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from ._internal.cache import Cache, default_cache_dir
from . import __version__
from .errors import ErrorKind, PolicyError, VerificationError
from .policy import Policy
from .shapes import unwrap_report
from .sevsnp.kds import KdsClient
from .sevsnp.report import Report
from .sevsnp.vocabulary import KeyKind
from .sevsnp.urls import KDS_BASE_URL
from .verification import Verification
from .verifier import Verifier, instant

VERIFIED, NOT_VERIFIED, BAD_INPUT = 0, 1, 2
STDIN = "-"

EPILOG = """\
exit status:
  0  verified: every check that must pass passed, and none failed
  1  not verified: a check failed (the output says which)
  2  bad input: a file that cannot be read or used, a malformed policy, a wrong argument

REPORT may be the raw report, Azure's HCL report, the report followed by its certificate
table, or any of these as hex, base64 or base64url text; CERT may be Azure's THIM payload.
Any one file may be - for standard input.
"""


class _BadInput(Exception):
    """Input that cannot be verified: its message goes to stderr."""

    def __init__(self, message: str, kind: ErrorKind = ErrorKind.USAGE) -> None:
        super().__init__(message)
        self.kind = kind


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        raise _BadInput(f"{self.prog}: {message}")


def _parser() -> argparse.ArgumentParser:
    # No abbreviations: `--cert FILE` would be taken for --cert-table, and `--js`
    # for --json without the JSON object that bad input owes it.
    parser = _Parser(
        prog="quorvel-verify", allow_abbrev=False, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Verify an AMD SEV-SNP attestation report: AMD's chain, the signature and what it states.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("report", metavar="REPORT", help="the report: 1184 bytes, or as it is handed out (below)")
    parser.add_argument("cert", metavar="CERT", nargs="?", help="the VCEK or VLEK (PEM or DER), or a PEM bundle")
    parser.add_argument("--cert-table", metavar="FILE", help="a certificate table, as the extended report returns it")
    parser.add_argument("--policy", metavar="FILE.toml", help="the policy that the report must meet")
    # One file per flag: a list would swallow the positional arguments after it.
    parser.add_argument(
        "--chains", metavar="FILE", action="append",
        help="pinned chains instead of AMD's bundled ones: PEM, an intermediate then its root (repeatable)",
    )
    parser.add_argument(
        "--now", metavar="ISO-8601", help="when the certificates must be valid (default: now; UTC unless it says)"
    )
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    parser.add_argument("--crl", metavar="FILE", help="AMD's revocation list (DER or PEM) of the chain's product line")
    sources = parser.add_mutually_exclusive_group()
    sources.add_argument(
        "--fetch", action="store_true",
        help="fetch the VCEK and the revocation list that are not given from AMD's KDS, through the cache",
    )
    sources.add_argument(
        "--offline", action="store_true",
        help="take the VCEK and the revocation list that are not given from the cache only, never the network",
    )
    parser.add_argument("--cache-dir", metavar="DIR", help=f"the cache (default: {default_cache_dir()})")
    parser.add_argument("--kds-url", metavar="URL", help=f"the KDS's address (default: {KDS_BASE_URL})")
    return parser


def _read(path: str) -> bytes:
    if path == STDIN:
        return sys.stdin.buffer.read()
    try:
        return Path(path).read_bytes()
    except OSError as error:
        raise _BadInput(f"{path}: {error.strerror or error}", ErrorKind.INPUT) from error


def _one_stdin(arguments: argparse.Namespace) -> None:
    given = [arguments.report, arguments.cert, arguments.cert_table, arguments.crl, arguments.policy,
             *(arguments.chains or [])]
    if given.count(STDIN) > 1:
        raise _BadInput(f"only one file may be {STDIN} (standard input); {given.count(STDIN)} are")


def _policy(path: str | None) -> Policy:
    if path is None:
        return Policy()
    if path == STDIN:
        return Policy.from_toml(_read(STDIN).decode("utf-8", errors="replace"), "<stdin>")
    return Policy.load(path)


def _now(text: str | None) -> datetime.datetime | None:
    if text is None:
        return None
    try:
        given = datetime.datetime.fromisoformat(text)
    except ValueError as error:
        raise _BadInput(f"--now: not an ISO-8601 date or time: {text!r}") from error
    if given.tzinfo is None:
        return given.replace(tzinfo=datetime.UTC)
    try:
        return instant(given)
    except VerificationError:
        raise _BadInput(f"--now: {text!r} lies outside the years 1 to 9999 in UTC") from None


def _kds_client(arguments: argparse.Namespace) -> KdsClient | None:
    """The KDS client that --fetch or --offline asks for, with the cache; None without either."""
    if not (arguments.fetch or arguments.offline):
        for option, value in (("--cache-dir", arguments.cache_dir), ("--kds-url", arguments.kds_url)):
            if value is not None:
                raise _BadInput(f"{option} applies to --fetch and --offline only")
        return None
    return KdsClient(
        arguments.kds_url or KDS_BASE_URL, cache=Cache(arguments.cache_dir), offline=arguments.offline,
        progress=lambda line: print(line, file=sys.stderr, flush=True),
    )


def _run(arguments: argparse.Namespace) -> Verification:
    _one_stdin(arguments)
    client = _kds_client(arguments)
    policy = _policy(arguments.policy)
    report = _read(arguments.report)
    if arguments.cert is None and arguments.cert_table is None and client is None and not _carries_table(report):
        raise _BadInput("no certificate: give CERT, the VCEK or VLEK, or --cert-table, or --fetch it")
    now = _now(arguments.now)
    certificate = _read(arguments.cert) if arguments.cert is not None else None
    table = _read(arguments.cert_table) if arguments.cert_table is not None else None
    crl = _read(arguments.crl) if arguments.crl is not None else None
    chains = [_read(path) for path in arguments.chains] if arguments.chains else None
    verifier = Verifier(chains=chains, kds=client)
    result = verifier.verify(
        report, certificate, certificate_table=table, crl=crl, now=now,
        revocation=policy.revocation(verifier.revocation),
    )
    return policy.appraise(result)


def _carries_table(report: bytes) -> bool:
    """Whether the report argument is an extended report, whose own certificate table holds the VCEK or VLEK."""
    try:
        return unwrap_report(report).certificate_table is not None
    except VerificationError:  # the verification names what is wrong with it
        return False


def _message(error: VerificationError, arguments: argparse.Namespace | None) -> str:
    """The error as the command shows it: an error about an argument that names a file names the file."""
    if isinstance(error, PolicyError):
        location = ":".join(str(part) for part in (error.file, error.line) if part is not None)
        return f"{location}: {error.reason}" if location else error.reason
    if arguments is None:
        return str(error)
    files = {"report": arguments.report, "certificate": arguments.cert, "certificate_table": arguments.cert_table,
             "crl": arguments.crl}
    path = files.get(error.argument or "")
    return f"{path}: {error.reason}" if path is not None else str(error)


def _tcbs(report: Report) -> list[tuple[str, str]]:
    names = ("reported", "current", "committed", "launch")
    return [(f"{name}_tcb", str(getattr(report, f"{name}_tcb"))) for name in names]


def describe(report: Report) -> list[tuple[str, str]]:
    """The report's fields that a reader looks at first, as (label, text) pairs."""
    policy = report.guest_policy
    cpuid = report.cpuid
    processor = (
        "not carried by a version-2 report" if cpuid is None
        else f"family {cpuid.family:#04x} model {cpuid.model:#04x} stepping {cpuid.stepping} ({report.product})"
    )
    flags = [name for name, on in (("SMT", policy.smt_allowed), ("MIGRATE_MA", policy.migrate_ma_allowed),
                                   ("DEBUG", policy.debug_allowed), ("SINGLE_SOCKET", policy.single_socket)) if on]
    return [
        ("version", str(report.version)),
        ("cpuid", processor),
        ("signing key", report.key_kind or f"unknown ({report.signing_key})"),
        ("vmpl", str(report.vmpl)),
        ("guest policy",
         f"{policy.raw:#x} (ABI {policy.abi_major}.{policy.abi_minor}; {', '.join(flags) or 'no flags'})"),
        ("guest_svn", str(report.guest_svn)),
        ("chip_id", report.chip_id.hex()),
        ("measurement", report.measurement.hex()),
        ("host_data", report.host_data.hex()),
        ("report_data", report.report_data.hex()),
        *_tcbs(report),
        ("firmware", f"current {report.current_firmware}, committed {report.committed_firmware}"),
    ]


def _printable(text: str) -> str:
    """`text` with its control characters escaped: details and errors quote names from the input, which must
    not add a line ("result: verified ...") or a terminal escape to what the user reads."""
    return text if text.isprintable() else "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _human(path: str, result: Verification) -> str:
    width = max(15, *(len(check.name) + 2 for check in result.checks))
    lines = [f"{'report:':{width}}{path}"]
    lines += [f"{label + ':':{width}}{text}" for label, text in describe(result.report)]
    lines.append("")
    lines += [f"{check.name + ':':{width}}{check.result:5} {_printable(check.detail)}" for check in result.checks]
    lines.append(f"{'kds:':{width}}{result.kds_url or 'none: ' + _no_kds_reason(result)}")
    if result.verified:
        verdict = f"verified with AMD's {result.product} {result.key_kind} chain"
    else:
        verdict = f"NOT verified: failed {', '.join(check.name for check in result.failed)}"
    lines.append(f"{'result:':{width}}{verdict}")
    return "\n".join(lines)


def _no_kds_reason(result: Verification) -> str:
    if result.key_kind != KeyKind.VCEK:
        return "the report is not signed by a VCEK, which the KDS serves per chip"
    if not any(result.report.chip_id):
        return "the chip id is masked"
    return "the report names no product line and no pinned chain signs the certificate"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns the exit status."""
    as_json = "--json" in (sys.argv[1:] if argv is None else argv)
    arguments: argparse.Namespace | None = None
    try:
        try:
            arguments = _parser().parse_args(argv)
        except SystemExit as done:  # --help and --version: printed, nothing to verify
            return done.code if isinstance(done.code, int) else VERIFIED
        result = _run(arguments)
    except (_BadInput, VerificationError) as error:
        message = _message(error, arguments) if isinstance(error, VerificationError) else str(error)
        print(f"error: {_printable(message)}", file=sys.stderr)
        if as_json:
            print(json.dumps({"verified": False, "error": message, "error_kind": str(error.kind)}))
        return BAD_INPUT
    if arguments.json:
        print(json.dumps(result.to_json(), indent=2))
    else:
        print(_human(arguments.report, result))
    return VERIFIED if result.verified else NOT_VERIFIED


if __name__ == "__main__":
    sys.exit(main())
