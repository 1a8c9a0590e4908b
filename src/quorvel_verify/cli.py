"""quorvel-verify: verify an attestation report from the command line.

Exit status: 0 verified, 1 not verified (a check failed), 2 bad input (an
unreadable file, a report or certificate that cannot be used, a malformed
policy, a wrong argument). With --json, stdout holds one JSON object in every
case: the verification, or `{"verified": false, "error": ..., "error_kind": ...}`
for bad input, where `error_kind` is one of `quorvel_verify.ErrorKind`.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
from collections.abc import Sequence
from typing import NoReturn, TextIO

from ._internal import limits
from ._internal.cache import Cache, default_cache_dir
from ._internal.files import STDIN, read_input
from .errors import ErrorKind, PolicyError, VerificationError
from .policy import Policy
from .sevsnp.kds import KdsClient
from .sevsnp.report import Report
from .sevsnp.vocabulary import KeyKind
from .sevsnp.urls import KDS_BASE_URL
from .verification import Verification
from .verifier import Verifier, instant

VERIFIED, NOT_VERIFIED, BAD_INPUT = 0, 1, 2


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
        prog="quorvel-verify", allow_abbrev=False,
        description="Verify an AMD SEV-SNP attestation report: AMD's chain, the signature and what it states.",
    )
    parser.add_argument("report", metavar="REPORT", help="the raw 1184-byte report")
    parser.add_argument("cert", metavar="CERT", nargs="?", help="the VCEK or VLEK (PEM or DER), or a PEM bundle")
    parser.add_argument("--cert-table", metavar="FILE", help="a certificate table, as the extended report returns it")
    parser.add_argument("--policy", metavar="FILE.toml", help="the policy that the report must meet")
    parser.add_argument(
        "--chains", metavar="FILE", nargs="+", action="extend",
        help="pinned chains instead of AMD's bundled ones: PEM, an intermediate then its root",
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


def _read(path: str, what: str, limit: int) -> bytes:
    """The file's bytes: a regular file (or `-`, stdin) of at most `limit` bytes; a FIFO never waited on."""
    return read_input(path, what, limit)


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
        run_seconds=limits.RUN_SECONDS, progress=lambda line: print(line, file=sys.stderr, flush=True),
    )


def _run(arguments: argparse.Namespace) -> Verification:
    client = _kds_client(arguments)
    if arguments.cert is None and arguments.cert_table is None and client is None:
        raise _BadInput("no certificate: give CERT, the VCEK or VLEK, or --cert-table, or --fetch it")
    files = [arguments.report, arguments.cert, arguments.cert_table, arguments.crl, arguments.policy,
             *(arguments.chains or [])]
    if files.count(STDIN) > 1:
        raise _BadInput("only one of the files can be `-`, standard input")
    # The report first, its size before a byte of it is read: the input a mistake most often makes large.
    report = _read(arguments.report, "report", limits.REPORT_FILE_SIZE)
    policy = Policy.load(arguments.policy) if arguments.policy is not None else Policy()
    now = _now(arguments.now)
    certificate = (_read(arguments.cert, "certificate bundle", limits.CERTIFICATE_FILE_SIZE)
                   if arguments.cert is not None else None)
    table = (_read(arguments.cert_table, "certificate table", limits.CERTIFICATE_TABLE_SIZE)
             if arguments.cert_table is not None else None)
    crl = _read(arguments.crl, "revocation list", limits.CRL_SIZE) if arguments.crl is not None else None
    chains = ([_read(path, "certificate bundle", limits.CERTIFICATE_FILE_SIZE) for path in arguments.chains]
              if arguments.chains else None)
    verifier = Verifier(chains=chains, kds=client)
    result = verifier.verify(
        report, certificate, certificate_table=table, crl=crl, now=now,
        revocation=policy.revocation(verifier.revocation),
    )
    return policy.appraise(result)


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
    return text if text.isprintable() else "".join(c if c.isprintable() else _escaped(c) for c in text)


def _escaped(character: str) -> str:
    # A byte of a file name that is not UTF-8 reaches Python as a lone surrogate (U+DC80-U+DCFF): shown as the byte.
    if "\udc80" <= character <= "\udcff":
        return f"\\x{ord(character) - 0xDC00:02x}"
    return repr(character)[1:-1]


def _human(path: str, result: Verification) -> str:
    width = max(15, *(len(check.name) + 2 for check in result.checks))
    lines = [f"{'report:':{width}}{_printable(path)}"]
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
    # Read before parsing, so that a usage error (even `--json=1`) still owes the JSON object.
    as_json = any(argument == "--json" or argument.startswith("--json=")
                  for argument in (sys.argv[1:] if argv is None else argv))
    arguments: argparse.Namespace | None = None
    try:
        arguments = _parser().parse_args(argv)
        result = _run(arguments)
    except (_BadInput, VerificationError) as error:
        message = _message(error, arguments) if isinstance(error, VerificationError) else str(error)
        _show(f"error: {_printable(message)}", sys.stderr)
        if as_json:
            _show(json.dumps({"verified": False, "error": message, "error_kind": str(error.kind)}), sys.stdout)
        return BAD_INPUT
    _show(json.dumps(result.to_json(), indent=2) if arguments.json else _human(arguments.report, result), sys.stdout)
    return VERIFIED if result.verified else NOT_VERIFIED


def _show(text: str, stream: TextIO) -> None:
    """Prints `text`; a reader that stopped reading (`| head -1`) changes nothing of the exit status."""
    try:
        print(text, file=stream, flush=True)
    except BrokenPipeError:
        # Whatever else is written to the stream goes nowhere, the interpreter's last flush included.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):  # a stream without a descriptor (captured by a caller)
            pass


if __name__ == "__main__":
    sys.exit(main())
