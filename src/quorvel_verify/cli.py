"""quorvel-verify: verify an attestation report or quote from the command line.

The evidence is an AMD SEV-SNP report or an Intel TDX quote, told apart by
its content. A TDX quote carries its PCK chain and needs Intel's collateral
(`--collateral FILE`, the JSON form that `--save-collateral` writes, or
`--fetch` from Intel's PCS). Azure's HCL report around a TDX TDREPORT is
verified with the TDX quote made from it (`--td-quote FILE`) and its collateral.

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
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn, TextIO

from ._internal import limits
from ._internal.cache import Cache, default_cache_dir
from . import __version__
from ._internal.files import STDIN, read_input
from .checks import Outcome
from .errors import ErrorKind, PolicyError, VerificationError
from .policy import Policy
from .shapes import quote_from_text, unwrap_report
from .sevsnp.chains import trust_store
from .sevsnp.evidence import read_report
from .sevsnp.kds import KdsClient
from .sevsnp.report import Report
from .sevsnp.vocabulary import KeyKind
from .sevsnp.urls import KDS_BASE_URL
from .azure.hcl import REPORT_TYPE_TDX
from .tdx.collateral import Collateral as TdxCollateral
from .tdx.pcs import PCS_BASE_URL, PcsClient
from .tdx.platform import looks_like_quote
from .verification import TdxVerification, Verification
from .verifier import Verifier, instant

VERIFIED, NOT_VERIFIED, BAD_INPUT = 0, 1, 2

EPILOG = """\
exit status:
  0  verified: every check that must pass passed, and none failed
  1  not verified: a check failed (the output says which)
  2  bad input: a file that cannot be read or used, a malformed policy, a wrong argument

REPORT may be the raw report, Azure's HCL report, the report followed by its certificate
table, or any of these as hex, base64 or base64url text; so may a TDX quote. CERT may be
Azure's THIM payload.
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
        description="Verify an AMD SEV-SNP attestation report or an Intel TDX quote: the vendor's chain, the "
                    "signatures and what the evidence states.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument("report", metavar="EVIDENCE", help="the SEV-SNP report (1184 bytes, or as it is handed out, "
                                                           "below) or the TDX quote")
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
        help="fetch what is not given, through the cache: a VCEK and its revocation list from AMD's KDS, a TDX "
        "quote's collateral from Intel's PCS",
    )
    sources.add_argument(
        "--offline", action="store_true",
        help="take what is not given (VCEK, revocation list, TDX collateral) from the cache only, never the network",
    )
    parser.add_argument("--cache-dir", metavar="DIR", help=f"the cache (default: {default_cache_dir()})")
    parser.add_argument("--kds-url", metavar="URL", help=f"the KDS's address (default: {KDS_BASE_URL})")
    parser.add_argument(
        "--collateral", metavar="FILE", help="Intel's collateral for a TDX quote: one JSON object (TCB info, QE "
        "identity, CRLs and their issuer chains), as --save-collateral writes it",
    )
    parser.add_argument(
        "--save-collateral", metavar="FILE", help="write the TDX collateral used (given or fetched) to FILE, for "
        "--collateral later",
    )
    parser.add_argument(
        "--td-quote", metavar="FILE", help="the TDX quote made from the TDREPORT of an Azure HCL report given as "
        "EVIDENCE, verified with --collateral or --fetch",
    )
    parser.add_argument("--pcs-url", metavar="URL", help=f"Intel's PCS or a caching service (default: {PCS_BASE_URL})")
    return parser


def _read(path: str, what: str, limit: int) -> bytes:
    """The file's bytes: a regular file (or `-`, stdin) of at most `limit` bytes; a FIFO never waited on.

    An empty file is refused as such: it is what a command that failed leaves behind its redirection, and
    every reader would otherwise name a parser's complaint about zero bytes instead."""
    data = read_input(path, what, limit)
    if not data:
        raise _BadInput(f"{path}: empty (no {what} in it)", ErrorKind.INPUT)
    return data


def _one_stdin(arguments: argparse.Namespace) -> None:
    given = [arguments.report, arguments.cert, arguments.cert_table, arguments.crl, arguments.policy,
             arguments.td_quote, *(arguments.chains or [])]
    if given.count(STDIN) > 1:
        raise _BadInput(f"only one file may be {STDIN} (standard input); {given.count(STDIN)} are")


def _policy(path: str | None) -> Policy:
    if path is None:
        return Policy()
    if path == STDIN:  # empty, as from a file: no rule but the defaults
        return Policy.from_toml(read_input(STDIN, "policy", limits.POLICY_FILE_SIZE).decode("utf-8", errors="replace"),
                                "<stdin>")
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


def _cache(directory: str | None) -> Cache:
    """The cache in `directory` (made when first written), which must not be something else: the cache reads
    nothing from a file and writes nothing to it, so --offline would blame an empty cache for the mistake."""
    if directory is not None and os.path.exists(directory) and not os.path.isdir(directory):
        raise _BadInput(f"--cache-dir {directory}: not a directory", ErrorKind.INPUT)
    return Cache(directory)


def _pcs_client(arguments: argparse.Namespace) -> PcsClient | None:
    """The PCS client that --fetch or --offline asks for, with the cache; None without either."""
    if not (arguments.fetch or arguments.offline):
        for option, value in (("--cache-dir", arguments.cache_dir), ("--pcs-url", arguments.pcs_url)):
            if value is not None:
                raise _BadInput(f"{option} applies to --fetch and --offline only")
        return None
    return PcsClient(
        arguments.pcs_url or PCS_BASE_URL, cache=_cache(arguments.cache_dir), offline=arguments.offline,
        progress=lambda line: _show([line], sys.stderr),
    )


def _kds_client(arguments: argparse.Namespace) -> KdsClient | None:
    """The KDS client that --fetch or --offline asks for, with the cache; None without either."""
    if not (arguments.fetch or arguments.offline):
        for option, value in (("--cache-dir", arguments.cache_dir), ("--kds-url", arguments.kds_url)):
            if value is not None:
                raise _BadInput(f"{option} applies to --fetch and --offline only")
        return None
    return KdsClient(
        arguments.kds_url or KDS_BASE_URL, cache=_cache(arguments.cache_dir), offline=arguments.offline,
        run_seconds=limits.RUN_SECONDS, progress=lambda line: _show([line], sys.stderr),
    )


def _run(arguments: argparse.Namespace) -> Verification | TdxVerification:
    _one_stdin(arguments)
    # The evidence first, its size before a byte of it is read: the input a mistake most often makes large.
    evidence = _read(arguments.report, "report", limits.REPORT_FILE_SIZE)
    evidence = quote_from_text(evidence) or evidence
    if looks_like_quote(evidence):
        if arguments.td_quote is not None:
            raise _BadInput(f"--td-quote applies to an HCL report around a TDX TDREPORT; {arguments.report} is "
                            "itself a TDX quote (give the HCL report as EVIDENCE and its quote with --td-quote)")
        return _run_tdx(arguments, evidence)
    if _wraps_tdreport(evidence):
        # The verifier refuses one without its quote, naming --td-quote.
        td_quote = (_read(arguments.td_quote, "TDX quote", limits.QUOTE_SIZE)
                    if arguments.td_quote is not None else None)
        return _run_tdx(arguments, evidence, td_quote)
    if arguments.td_quote is not None:
        raise _BadInput(f"--td-quote applies to an HCL report around a TDX TDREPORT; {arguments.report} is not one")
    for option, value in (("--collateral", arguments.collateral), ("--save-collateral", arguments.save_collateral),
                          ("--pcs-url", arguments.pcs_url)):
        if value is not None:
            raise _BadInput(f"{option} applies to a TDX quote; {arguments.report} is not one")
    client = _kds_client(arguments)
    policy = _policy(arguments.policy)
    report = evidence
    if arguments.cert is None and arguments.cert_table is None and client is None and not _carries_table(report):
        # Evidence that is no report (the certificate, given alone) is that mistake, not a missing certificate.
        read_report(unwrap_report(report).report)
        raise _BadInput("no certificate: give CERT, the VCEK or VLEK, or --cert-table, or --fetch it")
    now = _now(arguments.now)
    certificate = (_read(arguments.cert, "certificate bundle", limits.CERTIFICATE_FILE_SIZE)
                   if arguments.cert is not None else None)
    table = (_read(arguments.cert_table, "certificate table", limits.CERTIFICATE_TABLE_SIZE)
             if arguments.cert_table is not None else None)
    crl = _read(arguments.crl, "revocation list", limits.CRL_SIZE) if arguments.crl is not None else None
    chains = ([_read(path, "certificate bundle", limits.CERTIFICATE_FILE_SIZE) for path in arguments.chains]
              if arguments.chains else None)
    verifier = _verifier(arguments.chains, chains, client)
    result = verifier.verify(report, certificate, certificate_table=table, crl=crl, now=now)
    return policy.appraise(result)


def _verifier(paths: list[str] | None, chains: list[bytes] | None, client: KdsClient | None) -> Verifier:
    """The verifier with the pinned chains of the files `paths`; an error about one of them names its file."""
    try:
        return Verifier(chains=chains, kds=client)
    except VerificationError as error:
        if not paths or not chains or error.kind != ErrorKind.CHAINS:
            raise
        # The verifier numbers the chains it was given; the user gave files. Loaded alone, the refused one is
        # found, and its error is the same but for the number.
        for path, pem in zip(paths, chains, strict=True):
            try:
                trust_store([pem])
            except VerificationError as alone:
                raise _BadInput(f"{path}: {str(alone).removeprefix('chains[0]: ')}", alone.kind) from None
        raise


def _run_tdx(arguments: argparse.Namespace, evidence: bytes, td_quote: bytes | None = None,
             ) -> Verification | TdxVerification:
    for option, value in (("CERT", arguments.cert), ("--cert-table", arguments.cert_table), ("--crl", arguments.crl),
                          ("--chains", arguments.chains), ("--kds-url", arguments.kds_url)):
        if value is not None:
            shape = "a TDX quote" if looks_like_quote(evidence) else "an HCL report around a TDX TDREPORT, whose quote"
            raise _BadInput(f"{option} applies to an SEV-SNP report; {arguments.report} is {shape}, which carries "
                            "its PCK chain (give Intel's collateral with --collateral or --fetch)")
    policy = _policy(arguments.policy)
    now = _now(arguments.now)
    if arguments.save_collateral is not None:
        _writable(arguments.save_collateral, "--save-collateral")
    collateral = _collateral(arguments.collateral) if arguments.collateral is not None else None
    # The verifier fetches what is not given, and caches it only once the checks that judge it have passed.
    verifier = Verifier(pcs=_pcs_client(arguments) if collateral is None else None)
    result = verifier.verify(evidence, now=now, collateral=collateral, quote=td_quote)
    if arguments.save_collateral is not None:
        used = result.claims.collateral
        if used is None:
            raise _BadInput("--save-collateral: no collateral was given or fetched")
        _write(arguments.save_collateral, json.dumps(used.to_json(), indent=2) + "\n")
    return policy.appraise(result)


def _collateral(path: str) -> TdxCollateral:
    try:
        return TdxCollateral.from_json(_read(path, "collateral", limits.COLLATERAL_FILE_SIZE).decode("utf-8", "replace"))
    except VerificationError as error:
        raise VerificationError(
            f"collateral: {error}", error.kind, argument="collateral", reason=str(error)
        ) from None


def _writable(path: str, option: str) -> None:
    """Refuses, before any verification, a file that could not be written after it: a verdict would be lost."""
    target = Path(path)
    if target.is_dir():
        raise _BadInput(f"{option} {path}: a directory, not a file", ErrorKind.INPUT)
    parent = target.parent
    if not parent.is_dir():
        raise _BadInput(f"{option} {path}: no directory {parent}", ErrorKind.INPUT)
    if not os.access(parent if not target.exists() else target, os.W_OK):
        raise _BadInput(f"{option} {path}: not writable", ErrorKind.INPUT)


def _write(path: str, text: str) -> None:
    try:
        Path(path).write_text(text, encoding="utf-8")
    except OSError as error:
        raise _BadInput(f"{path}: {error.strerror or error}", ErrorKind.INPUT) from error


def _wraps_tdreport(report: bytes) -> bool:
    """Whether the report argument is an Azure HCL report around a TDX TDREPORT, verified through a TDX quote."""
    try:
        hcl = unwrap_report(report).hcl
    except VerificationError:  # the verification names what is wrong with it
        return False
    return hcl is not None and hcl.report_type == REPORT_TYPE_TDX


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
             "crl": arguments.crl, "collateral": arguments.collateral, "quote": arguments.td_quote}
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
    """`text` with every character that is not printable escaped visibly (control characters, ESC, C1
    controls, bidi overrides and other format characters, shown as \\x1b, \\x9b, \\u202e): lines quote names, advisory
    ids, claims and file contents from the input, which must not add a line ("result: verified ..."), clear
    or recolour the screen, or reorder what the user reads. `_show` applies it to every line printed."""
    return text if text.isprintable() else "".join(c if c.isprintable() else _escaped(c) for c in text)


def _escaped(character: str) -> str:
    # A byte of a file name that is not UTF-8 reaches Python as a lone surrogate (U+DC80-U+DCFF): shown as the byte.
    if "\udc80" <= character <= "\udcff":
        return f"\\x{ord(character) - 0xDC00:02x}"
    return repr(character)[1:-1]


def describe_quote(result: TdxVerification) -> list[tuple[str, str]]:
    """The quote's fields that a reader looks at first, as (label, text) pairs."""
    quote = result.quote
    td = quote.td_report
    attributes = [name for name, on in td.td_attributes.to_json().items() if on is True]
    return [
        ("version", f"{quote.header.version} (TD report {'1.5' if quote.body_type == 3 else '1.0'})"),
        ("fmspc", result.fmspc),
        ("td_attributes", f"{td.td_attributes.raw:#018x} ({', '.join(attributes) or 'no flags'})"),
        ("tee_tcb_svn", td.tee_tcb_svn.hex()),
        ("mr_td", td.mr_td.hex()),
        ("mr_seam", td.mr_seam.hex()),
        *((f"rtmr{n}", getattr(td, f"rtmr{n}").hex()) for n in range(4)),
        ("report_data", td.report_data.hex()),
        ("tcb_status", f"{result.tcb_status or 'none'}; advisories: {', '.join(result.advisory_ids) or 'none'}"),
    ]


def _human_tdx(path: str, result: TdxVerification, td_quote: str | None = None) -> list[str]:
    width = max(15, *(len(check.name) + 2 for check in result.checks))
    # With an HCL report, the fields below are those of the quote given with --td-quote.
    lines = [f"{'quote:':{width}}{td_quote or path}"]
    if td_quote is not None:
        lines.append(f"{'hcl report:':{width}}{path}")
    lines += [f"{label + ':':{width}}{text}" for label, text in describe_quote(result)]
    lines.append("")
    lines += [f"{check.name + ':':{width}}{check.result:5} {check.detail}" for check in result.checks]
    if result.verified:
        verdict = f"verified with Intel's PCK chain, TCB {result.tcb_status}{_unrevoked(result)}"
    else:
        verdict = f"NOT verified: failed {', '.join(check.name for check in result.failed)}"
    lines.append(f"{'result:':{width}}{verdict}")
    return lines


def _human(path: str, result: Verification) -> list[str]:
    width = max(15, *(len(check.name) + 2 for check in result.checks))
    lines = [f"{'report:':{width}}{path}"]
    lines += [f"{label + ':':{width}}{text}" for label, text in describe(result.report)]
    lines.append("")
    lines += [f"{check.name + ':':{width}}{check.result:5} {check.detail}" for check in result.checks]
    lines.append(f"{'kds:':{width}}{result.kds_url or 'none: ' + _no_kds_reason(result)}")
    if result.verified:
        verdict = f"verified with AMD's {result.product} {result.key_kind} chain{_unrevoked(result)}"
    else:
        verdict = f"NOT verified: failed {', '.join(check.name for check in result.failed)}"
    lines.append(f"{'result:':{width}}{verdict}")
    return lines


def _unrevoked(result: Verification | TdxVerification) -> str:
    """What the verdict line adds when no revocation list was checked: "verified" says nothing of revocation."""
    skipped = any(check.name == "revocation" and check.result == Outcome.SKIP for check in result.checks)
    return "; revocation not checked" if skipped else ""


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
        try:
            arguments = _parser().parse_args(argv)
        except SystemExit as done:  # --help and --version: printed, nothing to verify
            return done.code if isinstance(done.code, int) else VERIFIED
        result = _run(arguments)
    except (_BadInput, VerificationError) as error:
        message = _message(error, arguments) if isinstance(error, VerificationError) else str(error)
        _show([f"error: {message}"], sys.stderr)
        if as_json:
            _show([json.dumps({"verified": False, "error": message, "error_kind": str(error.kind)})], sys.stdout)
        return BAD_INPUT
    if arguments.json:
        # ASCII, every control character escaped by JSON itself: each line is printable as it is.
        lines = json.dumps(result.to_json(), indent=2).splitlines()
    elif isinstance(result, TdxVerification):
        lines = _human_tdx(arguments.report, result, arguments.td_quote)
    else:
        lines = _human(arguments.report, result)
    _show(lines, sys.stdout)
    return VERIFIED if result.verified else NOT_VERIFIED


def _show(lines: Sequence[str], stream: TextIO) -> None:
    """Prints `lines`, each escaped by `_printable`: every line the command prints goes through here, so none
    can carry a terminal escape or a line of its own from the input. A reader that stopped reading
    (`| head -1`) changes nothing of the exit status."""
    text = "\n".join(_printable(line) for line in lines)
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
