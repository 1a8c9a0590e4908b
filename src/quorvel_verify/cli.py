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
for bad input, where `error_kind` is one of `quorvel_verify.ErrorKind` (and `detail`, where a library refused
the input, its own message). With --quiet, nothing is printed: the exit status alone answers.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import datetime
import io
import json
import os
import sys
import tomllib
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn, TextIO

from ._internal import limits
from ._internal.cache import Cache, default_cache_dir
from . import __version__
from ._internal.files import STDIN, read_input
from ._internal.platform import Platform, entry
from .checks import Outcome
from .errors import ErrorKind, PolicyError, VerificationError
from .policy import Policy
from .intake import Evidence, take_evidence
from .sevsnp.chains import trust_store
from .sevsnp.evidence import read_report
from .sevsnp.urls import KDS_BASE_URL
from .tdx.pcs_answers import PCS_BASE_URL, TCB_UPDATES
from .sevsnp.verification import Verification
from .verifier import Verifier, instant

if TYPE_CHECKING:
    # TDX's and Azure's code is imported when their evidence or options are given: an SEV-SNP check loads none.
    from .azure.tpm_quote import TpmQuote
    from .tdx.collateral import TdxCollateral
    from .tdx.rules import TdxRules
    from .tdx.verification import TdxVerification
    # The network clients are imported when --fetch or --offline makes one: an offline check loads none.
    from .sevsnp.kds import KdsClient
    from .tdx.pcs import PcsClient

VERIFIED, NOT_VERIFIED, BAD_INPUT = 0, 1, 2

EPILOG = """\
exit status:
  0  verified: every check that must pass passed, and none failed
  1  not verified: a check failed (the output says which)
  2  bad input: a file that cannot be read or used, a malformed policy, a wrong argument

EVIDENCE may be the raw report, Azure's HCL report, the report followed by its certificate
table, or any of these as hex, base64 or base64url text; so may a TDX quote. CERT may be
Azure's THIM payload.
Any one file may be - for standard input.

The pins (--report-data, --measurement, --mr-td, --vmpl, --min-tcb) set the policy's rule of
the same name for this run; with --policy, a pin that the file contradicts is refused.

examples:
  AMD SEV-SNP, with the VCEK beside it, or fetched from AMD's KDS:
    quorvel-verify report.bin vcek.pem
    quorvel-verify report.bin --fetch --report-data 00ff... --vmpl 0 --min-tcb 'snp = 22, microcode = 213'
  Intel TDX, with Intel's collateral from a file, or fetched from Intel's PCS:
    quorvel-verify quote.bin --collateral collateral.json --now 2025-07-01T00:00Z
    quorvel-verify quote.bin --fetch --mr-td 1a2b... --require-revocation
  Azure: an HCL report around an SEV-SNP report with its THIM payload; around a TDX TDREPORT
  with the TDX quote made from it:
    quorvel-verify hcl-report.bin thim.json
    quorvel-verify hcl-report.bin --td-quote td-quote.bin --fetch
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
        "--now", metavar="ISO-8601", help="the time the evidence, certificates, revocation lists and TDX collateral "
        "are judged at (default: now; UTC unless it says)",
    )
    output = parser.add_mutually_exclusive_group()
    output.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    output.add_argument("--quiet", action="store_true", help="print nothing, not even errors: the exit status alone "
                                                              "says verified (0), not verified (1) or bad input (2)")
    parser.add_argument("--require-revocation", action="store_true", help="fail the revocation check where no "
                        "revocation list could be had (the policy's require_revocation = true)")
    pins = parser.add_argument_group("pins", "the policy's rules of the same name, for this run")
    pins.add_argument("--report-data", metavar="HEX", help="the report data the evidence must hold (128 hex digits)")
    pins.add_argument("--measurement", metavar="HEX", help="the launch measurement an SEV-SNP guest must have "
                                                            "(96 hex digits)")
    pins.add_argument("--mr-td", metavar="HEX", help="the MRTD a TDX guest must have (96 hex digits)")
    pins.add_argument("--vmpl", metavar="N", type=int, help="the VMPL an SEV-SNP report must come from (0 to 3)")
    pins.add_argument("--min-tcb", metavar="TABLE", help="the least TCB of an SEV-SNP platform, as in the policy "
                      "file: 'snp = 22, microcode = 213', or one table per product line")
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
        "--collateral later; - writes it to standard output, and the result to standard error (not with --json)",
    )
    parser.add_argument(
        "--td-quote", metavar="FILE", help="the TDX quote made from the TDREPORT of an Azure HCL report given as "
        "EVIDENCE, verified with --collateral or --fetch",
    )
    parser.add_argument(
        "--tpm-quote", metavar="FILE", help="the vTPM quote that the attestation key of an Azure HCL report given as "
        "EVIDENCE signed: JSON, with message, signature and pcrs in hex",
    )
    parser.add_argument("--tpm-message", metavar="FILE", help="the vTPM quote's TPMS_ATTEST, binary (with --tpm-signature)")
    parser.add_argument(
        "--tpm-signature", metavar="FILE", help="the vTPM quote's signature, binary: TPMT_SIGNATURE or bare PKCS#1",
    )
    parser.add_argument(
        "--pcrs", metavar="FILE", help="the quoted PCR values, in the order of the quote's selection: one hex value a "
        "line, or the SHA-256 values one after the other (binary)",
    )
    parser.add_argument(
        "--tpm-nonce", metavar="NONCE", help='the nonce the vTPM quote was asked for: text, or "hex:" then hex digits '
        "(as the policy's [azure] tpm_nonce)",
    )
    parser.add_argument("--pcs-url", metavar="URL", help=f"Intel's PCS or a caching service such as Intel's PCCS "
                                                         f"(default: {PCS_BASE_URL})")
    parser.add_argument(
        "--tcb-update", choices=TCB_UPDATES, help="with --fetch or --offline, Intel's early or standard set of TCB "
        "info and QE identity (default: the service's, Intel's standard); the early set names a TCB recovery's "
        "levels first",
    )
    parser.add_argument(
        "--timeout", metavar="SECONDS", help=f"with --fetch, how long each request may take (default: "
        f"{limits.REQUEST_SECONDS:g} s); a request still unanswered after {limits.SLOW_SECONDS:g} s (or half the "
        "timeout) is said on stderr",
    )
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
    """`-` means standard input for a file read and standard output for one written, and never names a file."""
    given = [arguments.report, arguments.cert, arguments.cert_table, arguments.crl, arguments.policy,
             arguments.td_quote, arguments.tpm_quote, arguments.tpm_message, arguments.tpm_signature, arguments.pcrs,
             arguments.collateral, *(arguments.chains or [])]
    if given.count(STDIN) > 1:
        raise _BadInput(f"only one file may be {STDIN} (standard input); {given.count(STDIN)} are")
    if arguments.save_collateral == STDIN and arguments.json:
        raise _BadInput(f"--save-collateral {STDIN} writes to standard output, which --json holds for the result: "
                        "give a file")
    if arguments.cache_dir == STDIN:
        raise _BadInput(f"--cache-dir {STDIN}: standard input is no directory")


def _tpm_quote(arguments: argparse.Namespace) -> TpmQuote | bytes | None:
    """The vTPM quote given: its JSON file (--tpm-quote), or its raw parts (--tpm-message, --tpm-signature and
    --pcrs); None without one."""
    parts = {"--tpm-message": arguments.tpm_message, "--tpm-signature": arguments.tpm_signature,
             "--pcrs": arguments.pcrs}
    given = [option for option, value in parts.items() if value is not None]
    if arguments.tpm_quote is None and not given:
        return None
    from .azure.tpm_quote import MESSAGE_SIZE, PCRS_SIZE, QUOTE_FILE_SIZE, SIGNATURE_SIZE, TpmQuote, read_pcrs

    if arguments.tpm_quote is not None:
        if given:
            raise _BadInput(f"{given[0]} applies without --tpm-quote, whose JSON holds the quote's parts")
        return _read(arguments.tpm_quote, "TPM quote", QUOTE_FILE_SIZE)
    for option in ("--tpm-message", "--tpm-signature"):
        if parts[option] is None:
            raise _BadInput(f"{option} is missing: a TPM quote given as raw files is --tpm-message, --tpm-signature "
                            "and --pcrs")
    pcrs: tuple[bytes, ...] = ()
    if arguments.pcrs is not None:
        try:
            pcrs = read_pcrs(_read(arguments.pcrs, "PCR values", PCRS_SIZE), "PCR values")
        except VerificationError as error:
            raise _BadInput(f"{arguments.pcrs}: {error.reason}", ErrorKind.INPUT) from None
    return TpmQuote(_read(arguments.tpm_message, "TPM quote message", MESSAGE_SIZE),
                    _read(arguments.tpm_signature, "TPM quote signature", SIGNATURE_SIZE), pcrs)


def _policy_of(arguments: argparse.Namespace, tdx: bool) -> Policy:
    """The policy of --policy (or the default one) with the flags that set its rules laid over it."""
    policy = _pinned(_policy(arguments.policy), arguments, tdx)
    if arguments.require_revocation:
        policy = dataclasses.replace(policy, require_revocation=True)
    return policy


def _pinned(policy: Policy, arguments: argparse.Namespace, tdx: bool) -> Policy:
    """`policy` with the rules that the pins set; a pin that the policy file contradicts is refused, naming both."""
    flags = {"--report-data": arguments.report_data, "--measurement": arguments.measurement,
             "--mr-td": arguments.mr_td, "--vmpl": arguments.vmpl, "--min-tcb": arguments.min_tcb}
    pins = entry(Platform.TDX if tdx else Platform.SEV_SNP).pins  # each platform's, declared by its entry
    for flag, value in flags.items():
        if value is not None and flag not in {pin for pin, _, _ in pins}:
            other = "an SEV-SNP report" if tdx else "a TDX quote"
            raise _BadInput(f"{flag} applies to {other}; {arguments.report} is {'a TDX quote' if tdx else 'not one'}")
    given = {rule: [_pin_value(flag, flags[flag])] if listed else _pin_value(flag, flags[flag])
             for flag, rule, listed in pins if flags[flag] is not None}
    if not given:
        return policy
    from .tdx.rules import TdxRules  # a TDX quote's pins, or a TdxRules laid into the policy below

    rules_type: type[Policy] | type[TdxRules] = TdxRules if tdx else Policy
    try:
        pinned = rules_type.from_mapping(given)
    except PolicyError as error:
        flag = next(flag for flag, rule, _ in pins if rule == error.path[0])
        raise _BadInput(f"{flag} {flags[flag]}: {error.reason.partition(': ')[2] or error.reason}",
                        ErrorKind.POLICY) from None
    if tdx and policy.tdx is None and policy != Policy(require_revocation=policy.require_revocation,
                                                       crl_grace_period=policy.crl_grace_period):
        # A policy of SEV-SNP rules fails a TDX quote (policy.platform): a pin must not open it to one.
        raise _BadInput(f"{', '.join(flag for flag, rule, _ in pins if rule in given)}: {arguments.policy} sets "
                        f"SEV-SNP rules only and no [tdx] table; {arguments.report} is a TDX quote", ErrorKind.POLICY)
    current: Policy | TdxRules = (policy.tdx or TdxRules()) if tdx else policy
    for flag, rule, listed in pins:
        if rule not in given:
            continue
        held, wanted = getattr(current, rule), getattr(pinned, rule)
        if held is not None and held != wanted and not (listed and set(wanted) <= set(held)):
            raise _BadInput(f"{flag} {flags[flag]} contradicts {arguments.policy}, whose {rule} is {_shown(held)}",
                            ErrorKind.POLICY)
    laid = dataclasses.replace(current, **{rule: getattr(pinned, rule) for rule in given})
    return dataclasses.replace(policy, tdx=laid) if isinstance(laid, TdxRules) else laid


def _pin_value(flag: str, value: object) -> object:
    """A pin's value as the policy file writes it: --min-tcb's text is a TOML table, with or without its braces."""
    if flag != "--min-tcb":
        return value
    text = str(value).strip()
    try:
        return tomllib.loads(f"min_tcb = {text if text.startswith('{') else '{' + text + '}'}")["min_tcb"]
    except tomllib.TOMLDecodeError:
        raise _BadInput(f"--min-tcb {value}: expected a TOML table of TCB components, such as "
                        "'snp = 22, microcode = 213'", ErrorKind.POLICY) from None


def _shown(value: object) -> str:
    """A rule's value as the policy file writes it, for the message that compares it with a pin."""
    if isinstance(value, bytes):
        return f'"{value.hex()}"'
    if isinstance(value, tuple | list):
        return f"[{', '.join(_shown(item) for item in value)}]"
    if isinstance(value, Mapping):
        return "{" + ", ".join(f"{key} = {_shown(item)}" for key, item in value.items()) + "}"
    return str(value)


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


def _requests(arguments: argparse.Namespace) -> tuple[float, float]:
    """The deadline of each request (--timeout), and when one is said to be slow."""
    if arguments.timeout is not None and not arguments.fetch:
        raise _BadInput("--timeout applies to --fetch only")
    # Each set has its own cache entries: --offline reads those of the set it names.
    if arguments.tcb_update is not None and not (arguments.fetch or arguments.offline):
        raise _BadInput("--tcb-update applies to --fetch and --offline only")
    if arguments.timeout is None:
        seconds = limits.REQUEST_SECONDS
    else:
        try:
            seconds = float(arguments.timeout)
        except ValueError:
            seconds = float("nan")
        if not 0 < seconds <= limits.RUN_SECONDS:  # NaN too
            raise _BadInput(f"--timeout: expected a number of seconds above 0 and at most {limits.RUN_SECONDS:g}, "
                            f"got {arguments.timeout!r}")
    return seconds, min(limits.SLOW_SECONDS, seconds / 2)


def _say(line: str) -> None:
    """A line of progress (a wait, a slow request), on stderr: stdout holds the result alone."""
    print(line, file=sys.stderr, flush=True)


def _pcs_client(arguments: argparse.Namespace) -> PcsClient | None:
    """The PCS client that --fetch or --offline asks for, with the cache; None without either."""
    timeout, slow_after = _requests(arguments)
    if not (arguments.fetch or arguments.offline):
        for option, value in (("--cache-dir", arguments.cache_dir), ("--pcs-url", arguments.pcs_url)):
            if value is not None:
                raise _BadInput(f"{option} applies to --fetch and --offline only")
        return None
    from .tdx.pcs import PcsClient

    # The run's deadline, as AMD's key service has it: a service that answers each request just under the
    # request's timeout must not hold the command for four of them.
    return PcsClient(
        arguments.pcs_url or PCS_BASE_URL, cache=_cache(arguments.cache_dir), offline=arguments.offline,
        tcb_update=arguments.tcb_update, progress=_say, timeout=timeout, slow_after=slow_after,
        run_seconds=limits.RUN_SECONDS,
    )


def _kds_client(arguments: argparse.Namespace) -> KdsClient | None:
    """The KDS client that --fetch or --offline asks for, with the cache; None without either."""
    timeout, slow_after = _requests(arguments)
    if not (arguments.fetch or arguments.offline):
        for option, value in (("--cache-dir", arguments.cache_dir), ("--kds-url", arguments.kds_url)):
            if value is not None:
                raise _BadInput(f"{option} applies to --fetch and --offline only")
        return None
    from .sevsnp.kds import KdsClient

    return KdsClient(
        arguments.kds_url or KDS_BASE_URL, cache=_cache(arguments.cache_dir), offline=arguments.offline,
        run_seconds=limits.RUN_SECONDS, progress=_say, timeout=timeout, slow_after=slow_after,
    )


def _run(arguments: argparse.Namespace) -> Verification | TdxVerification:
    _one_stdin(arguments)
    _requests(arguments)  # refused before any file is read, whichever client would take it
    # The evidence first, its size before a byte of it is read: the input a mistake most often makes large.
    raw = _read(arguments.report, "report", limits.REPORT_FILE_SIZE)
    try:
        taken: Evidence | None = take_evidence(raw)
    except VerificationError:  # the verification names what is wrong with it, after the arguments are judged
        taken = None
    # The verifier takes what the intake found; evidence that it refused, as read, to be refused in its turn.
    evidence: Evidence | bytes = taken if taken is not None else raw
    if taken is not None and taken.bare_quote:
        if arguments.td_quote is not None:
            raise _BadInput(f"--td-quote applies to an HCL report around a TDX TDREPORT; {arguments.report} is "
                            "itself a TDX quote (give the HCL report as EVIDENCE and its quote with --td-quote)")
        return _run_tdx(arguments, taken)
    if taken is not None and taken.hcl is not None:
        from .azure.hcl import REPORT_TYPE_TDX  # loaded already: the intake unwrapped an HCL report

        if taken.hcl.report_type == REPORT_TYPE_TDX:
            # The verifier refuses one without its quote, naming --td-quote.
            td_quote = (_read(arguments.td_quote, "TDX quote", limits.QUOTE_SIZE)
                        if arguments.td_quote is not None else None)
            return _run_tdx(arguments, taken, td_quote)
    if arguments.td_quote is not None:
        raise _BadInput(f"--td-quote applies to an HCL report around a TDX TDREPORT; {arguments.report} is not one")
    for option, value in (("--collateral", arguments.collateral), ("--save-collateral", arguments.save_collateral),
                          ("--pcs-url", arguments.pcs_url), ("--tcb-update", arguments.tcb_update)):
        if value is not None:
            raise _BadInput(f"{option} applies to a TDX quote; {arguments.report} is not one")
    client = _kds_client(arguments)
    policy = _policy_of(arguments, tdx=False)
    tpm_quote = _tpm_quote(arguments)
    if arguments.cert is None and arguments.cert_table is None and client is None and (
            taken is None or taken.certificate_table is None):
        # Evidence that is no report (the certificate, given alone) is that mistake, not a missing certificate.
        hardware = (taken if taken is not None else take_evidence(raw)).hardware
        assert isinstance(hardware, bytes)  # taken from the bytes of a file
        read_report(hardware)
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
    result = verifier.verify(
        evidence, certificate, certificate_table=table, crl=crl, now=now, tpm_quote=tpm_quote,
        tpm_nonce=policy.expected_nonce(arguments.tpm_nonce),
    )
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


def _run_tdx(arguments: argparse.Namespace, evidence: Evidence, td_quote: bytes | None = None,
             ) -> Verification | TdxVerification:
    for option, value in (("CERT", arguments.cert), ("--cert-table", arguments.cert_table), ("--crl", arguments.crl),
                          ("--chains", arguments.chains), ("--kds-url", arguments.kds_url)):
        if value is not None:
            shape = "a TDX quote" if evidence.bare_quote else "an HCL report around a TDX TDREPORT, whose quote"
            raise _BadInput(f"{option} applies to an SEV-SNP report; {arguments.report} is {shape}, which carries "
                            "its PCK chain (give Intel's collateral with --collateral or --fetch)")
    policy = _policy_of(arguments, tdx=True)
    tpm_quote = _tpm_quote(arguments)
    now = _now(arguments.now)
    if arguments.save_collateral not in (None, STDIN):
        _writable(arguments.save_collateral, "--save-collateral")
    collateral = _collateral(arguments.collateral) if arguments.collateral is not None else None
    # The verifier fetches what is not given, and caches it only once the checks that judge it have passed.
    verifier = Verifier(pcs=_pcs_client(arguments) if collateral is None else None)
    result = verifier.verify(evidence, now=now, collateral=collateral, quote=td_quote, tpm_quote=tpm_quote,
                             tpm_nonce=policy.expected_nonce(arguments.tpm_nonce))
    if arguments.save_collateral is not None:
        used = result.claims.collateral
        if used is None:
            raise _BadInput("--save-collateral: no collateral was given or fetched")
        saved = json.dumps(used.to_json(), indent=2) + "\n"
        if arguments.save_collateral == STDIN:
            # The collateral alone on standard output, for a pipe or a redirection; the result goes to stderr.
            _show(saved.rstrip("\n").splitlines(), sys.stdout)
        else:
            _write(arguments.save_collateral, saved)
    return policy.appraise(result)


def _collateral(path: str) -> TdxCollateral:
    from .tdx.collateral import TdxCollateral

    try:
        return TdxCollateral.from_json(_read(path, "collateral", limits.COLLATERAL_FILE_SIZE).decode("utf-8", "replace"))
    except VerificationError as error:
        raise VerificationError(
            f"collateral: {error}", error.kind, argument="collateral", reason=str(error), detail=error.detail
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


def _message(error: VerificationError, arguments: argparse.Namespace | None) -> str:
    """The error as the command shows it: an error about an argument that names a file names the file."""
    if isinstance(error, PolicyError):
        location = ":".join(str(part) for part in (error.file, error.line) if part is not None)
        return f"{location}: {error.reason}" if location else error.reason
    if arguments is None:
        return str(error)
    files = {"report": arguments.report, "certificate": arguments.cert, "certificate_table": arguments.cert_table,
             "crl": arguments.crl, "collateral": arguments.collateral, "quote": arguments.td_quote,
             "tpm_quote": arguments.tpm_quote, "tpm_nonce": "--tpm-nonce"}
    reason = error.reason
    if error.argument == "tpm_quote" and arguments.tpm_quote is None:
        # Given as raw files: the part the error is about names its file.
        part, _, rest = reason.partition(": ")
        path = {"message": arguments.tpm_message, "signature": arguments.tpm_signature}.get(part)
        reason = rest if path is not None else reason
    else:
        path = files.get(error.argument or "")
    return f"{path}: {reason}" if path is not None else str(error)


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


def describe_tpm_quote(result: Verification | TdxVerification) -> list[tuple[str, str]]:
    """The vTPM quote's fields, where one was given: what it selects, its nonce, its clock; its PCR values."""
    tpm = result.tpm_quote
    if tpm is None:
        return []
    from .azure.tpm_quote import describe_nonce, pcr_ranges

    quote = tpm.attestation
    selection = "; ".join(f"{bank.hash_name} {pcr_ranges(bank.pcrs)}" for bank in quote.pcr_selection)
    return [
        ("tpm quote", f"PCRs {selection or 'none'}; clock {quote.clock}, resets {quote.reset_count}, restarts "
                      f"{quote.restart_count}, firmware {quote.firmware_version:016x}"),
        ("tpm extra data", describe_nonce(quote.extra_data)),
        *((f"pcr{index}", value.hex()) for index, value in tpm.pcrs.items()),
    ]


def _human(evidence: list[tuple[str, str]], result: Verification | TdxVerification) -> list[str]:
    """The result as text: the files of the evidence (label, path), then what the platform's text shows of it."""
    text = entry(result.platform).text
    width = max(15, *(len(check.name) + 2 for check in result.checks))
    lines = [f"{label + ':':{width}}{path}" for label, path in evidence]
    lines += [f"{label + ':':{width}}{shown}" for label, shown in text.fields(result)]
    lines += [f"{label + ':':{width}}{shown}" for label, shown in describe_tpm_quote(result)]
    lines.append("")
    lines += [f"{check.name + ':':{width}}{check.result:5} {check.detail}" for check in result.checks]
    lines += [f"{label + ':':{width}}{shown}" for label, shown in text.notes(result)]
    if result.verified:
        verdict = f"{text.verified_with(result)}{_unrevoked(result)}"
    else:
        verdict = f"NOT verified: failed {', '.join(check.name for check in result.failed)}"
    lines += [f"{'hint:':{width}}{hint}" for hint in _window_hint(result)]
    lines.append(f"{'result:':{width}}{verdict}")
    return lines


def _unrevoked(result: Verification | TdxVerification) -> str:
    """What the verdict line adds when no revocation list was checked: "verified" says nothing of revocation."""
    skipped = any(check.name == "revocation" and check.result == Outcome.SKIP for check in result.checks)
    return "; revocation not checked" if skipped else ""


def _window_hint(result: Verification | TdxVerification) -> list[str]:
    """The hint at --now where a check failed for the time it judged at (outside a certificate's validity, a
    revocation list's or the collateral's currency): the evidence may be older than its collateral."""
    at = result.verified_at
    if at is None:
        return []
    # The forms in which the checks' details name an instant.
    forms = (f"{at:%Y-%m-%dT%H:%M:%S}Z", f"{at:%Y-%m-%dT%H:%M:%S}+00:00", f"{at:%Y-%m-%d %H:%M:%S} UTC")
    if not any(check.failed and any(form in check.detail for form in forms) for check in result.checks):
        return []
    return [f"judged at {forms[0]}; --now ISO-8601 judges at another time (such as when the evidence was made)"]


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns the exit status."""
    # Read before parsing, so that a usage error (even `--json=1`) still owes the JSON object, and --quiet
    # silences it.
    given = sys.argv[1:] if argv is None else argv
    as_json = any(argument == "--json" or argument.startswith("--json=") for argument in given)
    if "--quiet" in given:
        with _silenced():
            return _main(argv, as_json)
    return _main(argv, as_json)


@contextlib.contextmanager
def _silenced() -> Iterator[None]:
    """Nothing reaches stdout or stderr (the result, errors, the key services' waits): --quiet's exit status alone."""
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        yield


def _main(argv: Sequence[str] | None, as_json: bool) -> int:
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
            # What the refusing library said, in its words, for whoever reports a fault in it.
            detail = getattr(error, "detail", None)
            _show([json.dumps({"verified": False, "error": message, "error_kind": str(error.kind)}
                             | ({"detail": detail} if detail else {}))], sys.stdout)
        return BAD_INPUT
    if arguments.json:
        # ASCII, every control character escaped by JSON itself: each line is printable as it is.
        lines = json.dumps(result.to_json(), indent=2).splitlines()
    elif arguments.td_quote is not None:
        # With an HCL report, the fields shown are those of the quote given with --td-quote.
        lines = _human([("quote", arguments.td_quote), ("hcl report", arguments.report)], result)
    else:
        lines = _human([(entry(result.platform).text.evidence, arguments.report)], result)
    # --save-collateral - holds standard output for the collateral.
    _show(lines, sys.stderr if arguments.save_collateral == STDIN else sys.stdout)
    return VERIFIED if result.verified else NOT_VERIFIED


def _show(lines: list[str], stream: TextIO) -> None:
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


# Where the command's descriptions of each platform's evidence moved: they still work, and warn.
_MOVED = {"describe": "quorvel_verify.sevsnp.text", "describe_quote": "quorvel_verify.tdx.text"}


def __getattr__(name: str) -> object:
    if name in _MOVED:
        import importlib
        import warnings

        warnings.warn(f"quorvel_verify.cli.{name} is now {_MOVED[name]}.{name}", DeprecationWarning, stacklevel=2)
        return getattr(importlib.import_module(_MOVED[name]), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


if __name__ == "__main__":
    sys.exit(main())
