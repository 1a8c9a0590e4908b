#!/usr/bin/env python3
"""Coverage-guided fuzzing (atheris) of each parser of the verifier's outside input.

usage: fuzz_verify.py TARGET [libFuzzer options] [CORPUS_DIR...]

The targets take what an attacker controls: the report (with the reader's
detection of likely mistakes), certificate tables, PEM and DER bundles,
revocation lists (loaded and judged), the key service's answers, policy
files and the cache's entries; Intel TDX quotes, their collateral and the
answers of Intel's certification service; Azure's HCL reports, THIM
payloads and vTPM quotes; and the text and wrapper shapes any of these may come in. The property, for every input: it gives a
result or raises `VerificationError`, in time proportional to its size;
anything else (another exception, an input slower than its bound) is a
finding, which libFuzzer keeps. Memory is bounded by libFuzzer's
-rss_limit_mb, which `fuzz/verify/run` sets.
"""

from __future__ import annotations

import contextlib
import datetime
import sys
import tempfile
import time
import urllib.parse
from collections.abc import Callable
from pathlib import Path

import atheris

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"

with atheris.instrument_imports(include=["quorvel_verify"]):
    from quorvel_verify import Policy, Report, VerificationError, Verifier, verify
    from quorvel_verify._internal import http
    from quorvel_verify._internal.cache import Cache
    from quorvel_verify.sevsnp import kds, revocation, urls
    from quorvel_verify.sevsnp.evidence import load_certificates, read_report

# A genuine Milan report, its VCEK and its chain; a moment inside the genuine lists' validity.
REPORT = (DATA / "reports" / "milan-v3-oak.bin").read_bytes()
VCEK = (DATA / "reports" / "milan-v3-oak.vcek.pem").read_bytes()
NOW = datetime.datetime(2026, 7, 1, tzinfo=datetime.UTC)
CHAIN = load_certificates(
    (ROOT / "src" / "quorvel_verify" / "sevsnp" / "data" / "amd-chains" / "ask_ark_milan.pem").read_bytes()
)
_VERIFIER = Verifier()
MILAN_CHIP = bytes(64)
MILAN_TCB = {"blSPL": 4, "teeSPL": 0, "snpSPL": 24, "ucodeSPL": 219}

# The time an input may take: a fixed allowance (a verification costs some RSA and ECDSA operations, and
# the machine is shared) and a share per byte. Quadratic work on the largest inputs exceeds it by far.
FIXED_SECONDS = 1.0
SECONDS_PER_BYTE = 20e-6


class SlowInput(Exception):
    """An input that took longer than its bound."""


def report(data: bytes) -> None:
    read_report(data)


def table(data: bytes) -> None:
    verify(REPORT, certificate_table=data, now=NOW)


def bundle(data: bytes) -> None:
    verify(REPORT, data, now=NOW)


def crl(data: bytes) -> None:
    intermediate, root = CHAIN
    # The signature fails on almost every mutated list: the list's other judgements are made too.
    revocation.check_revocation(data, ark=root, intermediate=intermediate, leaf=None, now=NOW)
    loaded = revocation.load_crl(data)
    revocation._scope_failure(loaded)
    revocation._currency_failure(loaded, NOW, datetime.timedelta(days=366))
    verify(REPORT, VCEK, crl=data, now=NOW)


_KINDS: tuple[Callable[[kds.KdsClient], bytes], ...] = (
    lambda client: client.vcek("Milan", MILAN_CHIP, MILAN_TCB, now=NOW),
    lambda client: client.cert_chain("Milan", "VCEK", now=NOW),
    lambda client: client.crl("Milan", "VCEK", now=NOW),
)


class _Answering:
    """Stands in for the fetcher: every request answers `body`."""

    def __init__(self, body: bytes) -> None:
        self.body = body

    def get(self, url: str, limit: int, what: str = "answer") -> bytes:
        if len(self.body) > limit:
            raise kds.KdsError(f"{url}: the response is larger than any {what}")
        return self.body


def answer(data: bytes) -> None:
    """A key-service answer: the first byte picks what was asked for, the rest is the body; also the
    answer's Retry-After header."""
    if not data:
        return
    client = kds.KdsClient()
    client._fetcher = _Answering(data[1:])  # type: ignore[assignment]
    http._retry_after(data[1:].decode("latin-1"))
    _KINDS[data[0] % len(_KINDS)](client)


_CACHE = Path(tempfile.mkdtemp(prefix="quorvel-fuzz-cache-"))
_NAMES = ("vcek/Milan/{hw}/blSPL4_teeSPL0_snpSPL24_ucodeSPL219.der", "vcek/Milan/cert_chain.pem", "vcek/Milan/crl.der")


class _Unreachable:
    """Stands in for the fetcher of a key service that cannot be reached."""

    def get(self, url: str, limit: int, what: str = "answer") -> bytes:
        raise kds.KdsError(f"{url}: unreachable while fuzzing")


def _report_vcek_name() -> str:
    """The cache entry of the genuine report's VCEK, as the client names it."""
    decoded = Report.from_bytes(REPORT)
    spls = decoded.reported_tcb.spls()
    hw_id = urllib.parse.urlsplit(urls.vcek_url("Milan", decoded.chip_id, spls)).path.rsplit("/", 1)[1]
    return f"vcek/Milan/{hw_id}/{'_'.join(f'{name}{value}' for name, value in spls.items())}.der"


def cache_entry(data: bytes) -> None:
    """A cache entry, read offline: the first byte picks which entry, the rest is its content. Then a VCEK or
    a revocation list as a verification settles it: judged by itself, kept, or dropped and asked for again of
    a key service that cannot answer."""
    if not data:
        return
    kind = data[0] % len(_KINDS)
    name = _NAMES[kind].format(hw=MILAN_CHIP.hex())
    path = _CACHE / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data[1:])
    try:
        _KINDS[kind](kds.KdsClient(cache=Cache(_CACHE), offline=True))
    except kds.OfflineError:
        pass
    if kind == 1:  # a chain: the verifier pins its own
        return
    if kind == 0:
        path = _CACHE / _report_vcek_name()
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data[1:])
    client = kds.KdsClient(cache=Cache(_CACHE))
    client._fetcher = _Unreachable()  # type: ignore[assignment]
    Verifier(kds=client).verify(REPORT, VCEK if kind == 2 else None, now=NOW)


def policy(data: bytes) -> None:
    """A policy file, then applied to the genuine report both ways: the one-call form and the two-step form
    (`Policy.appraise` of the verifier's result) must give one result, revocation settings included."""
    loaded = Policy.from_toml(data.decode("utf-8", errors="replace"))
    one_call = verify(REPORT, VCEK, policy=loaded, now=NOW)
    if loaded.appraise(_VERIFIER.verify(REPORT, VCEK, now=NOW)) != one_call:
        raise AssertionError("verify(policy=...) and Policy.appraise(Verifier().verify(...)) differ")


TARGETS: dict[str, Callable[[bytes], None]] = {
    "report": report, "table": table, "bundle": bundle, "crl": crl, "answer": answer, "cache": cache_entry,
    "policy": policy,
}

# --- Intel TDX quotes and collateral, Intel PCS answers, Azure's wrappers ---------------

with atheris.instrument_imports(include=["quorvel_verify"]):
    from quorvel_verify.azure.hcl import hcl_check, is_hcl_report, parse_hcl_report
    from quorvel_verify.azure.thim import parse_thim_payload
    from quorvel_verify.intake import take_evidence, take_quote, unwrap_certificates
    from quorvel_verify.tdx.checks import TdxChecker
    from quorvel_verify.tdx.collateral import TdxCollateral as Collateral, parse_qe_identity, parse_tcb_info
    from quorvel_verify.tdx.pck import load_pck_chain
    from quorvel_verify.tdx.pcs import PcsClient, PcsError
    from quorvel_verify.tdx.pcs_answers import PARTS
    from quorvel_verify.tdx.platform import bundled_root
    from quorvel_verify.tdx.quote import parse_quote
    from quorvel_verify.azure.tpm_quote import (
        TpmQuote, parse_attestation, parse_signature, read_pcrs, read_quote, tpm_checks,
    )

# A genuine v4 quote and a moment inside its collateral's window.
TDX_QUOTE = (DATA / "tdx" / "quote-v4-uptodate.dcapqvl.bin").read_bytes()
TDX_NOW = datetime.datetime(2025, 7, 1, tzinfo=datetime.UTC)
TDX_CHECKER = TdxChecker(bundled_root())


TDX_COLLATERAL = Collateral.from_json((DATA / "tdx" / "quote-v4-uptodate.dcapqvl.collateral.json").read_bytes())


def quote(data: bytes) -> None:
    """A quote: read, its PCK chain found by role, then judged whole with genuine collateral (so that the
    module, TCB level and relaunch rules run on what the quote says, whatever its signature)."""
    load_pck_chain(parse_quote(data).signature_data.pck_chain_pem)
    verify(data, collateral=TDX_COLLATERAL, now=TDX_NOW)


def collateral(data: bytes) -> None:
    """A collateral file: its TCB info and QE identity read, then judged whole with the genuine quote."""
    loaded = Collateral.from_json(data)
    if loaded.tcb_info is not None:
        parse_tcb_info(loaded.tcb_info)
    if loaded.qe_identity is not None:
        parse_qe_identity(loaded.qe_identity)
    one_call = verify(TDX_QUOTE, collateral=loaded, now=TDX_NOW, policy=_TDX_POLICY)
    if _TDX_POLICY.appraise(_VERIFIER.verify(TDX_QUOTE, collateral=loaded, now=TDX_NOW)) != one_call:
        raise AssertionError("verify(policy=...) and Policy.appraise(Verifier().verify(...)) differ")
    # Each part as a cache settles it: judged by itself, whatever the quote's checks found.
    TDX_CHECKER.entries(loaded, TDX_NOW)


# Revocation settings that differ from the verifier's: the two forms must still agree.
_TDX_POLICY = Policy(require_revocation=False, crl_grace_period=2)


_PCS_ASKS: tuple[Callable[[PcsClient], object], ...] = (
    lambda client: client.tcb_info(bytes.fromhex("b0c06f000000"), now=TDX_NOW),
    lambda client: client.qe_identity(now=TDX_NOW),
    lambda client: client.pck_crl("platform", now=TDX_NOW),
    lambda client: client.root_ca_crl(now=TDX_NOW),
)
PCS_SEPARATOR = b"\r\n\r\n"


class _Serving(_Answering):
    """Stands in for the fetcher of Intel's service: every request answers `body`, with `chain` in every header."""

    def __init__(self, body: bytes, chain: str) -> None:
        super().__init__(body)
        self.chain = chain

    def get_with_headers(self, url: str, limit: int, what: str = "answer") -> tuple[bytes, dict[str, str]]:
        if len(self.body) > limit:
            raise PcsError(f"{url}: the response is larger than any {what}")
        return self.body, {part.header: self.chain for part in PARTS if part.header}


def pcs_answer(data: bytes) -> None:
    """An Intel PCS answer: the first byte picks what was asked for; then the issuer chain header (as sent,
    URL-encoded), a blank line and the body."""
    if not data:
        return
    chain, _, body = data[1:].partition(PCS_SEPARATOR)
    client = PcsClient()
    client._fetcher = _Serving(body, chain.decode("latin-1"))  # type: ignore[assignment]
    _PCS_ASKS[data[0] % len(_PCS_ASKS)](client)


def hcl(data: bytes) -> None:
    """An Azure HCL report (with the binding its check judges) or a THIM payload, by the bytes it starts with."""
    if is_hcl_report(data):
        hcl_check(parse_hcl_report(data))
    else:
        parse_thim_payload(data)


def shapes(data: bytes) -> None:
    """Any bytes as the certificates, as the quote beside an HCL report, and as the evidence."""
    with contextlib.suppress(VerificationError):
        unwrap_certificates(data)
    with contextlib.suppress(VerificationError):
        parse_quote(take_quote(data))
    taken = take_evidence(data)
    if taken.bare_quote:
        parse_quote(taken.hardware)


# The genuine HCL report whose attestation key signed the genuine vTPM quote, and that quote's parts.
MILAN_HCL = parse_hcl_report((DATA / "azure" / "hcl-snp-milan-v2.trustee.bin").read_bytes())
TPM_GENUINE = TpmQuote.from_json((DATA / "azure" / "tpm-quote-v1.trustee.json").read_bytes())


def tpm(data: bytes) -> None:
    """A vTPM quote: its JSON form where the input starts with "{"; else the input as each part in turn (the
    TPMS_ATTEST, the signature, a file of PCR values) beside the genuine other parts; each read and checked
    against the genuine HCL report's attestation key."""
    key = MILAN_HCL.attestation_key
    if data[:1] == b"{":
        quotes = [lambda: TpmQuote.from_json(data)]
    else:
        with contextlib.suppress(VerificationError):
            parse_attestation(data)
        with contextlib.suppress(VerificationError):
            parse_signature(data, 256)
        quotes = [lambda: TpmQuote(data, TPM_GENUINE.signature, TPM_GENUINE.pcrs),
                  lambda: TpmQuote(TPM_GENUINE.message, data, TPM_GENUINE.pcrs),
                  lambda: TpmQuote(TPM_GENUINE.message, TPM_GENUINE.signature, read_pcrs(data))]
    for given in quotes:
        with contextlib.suppress(VerificationError):
            tpm_checks(read_quote(given(), key), key, b"challenge")


TARGETS |= {"quote": quote, "collateral": collateral, "pcs": pcs_answer, "hcl": hcl, "shapes": shapes, "tpm": tpm}


def checked(target: Callable[[bytes], None]) -> Callable[[bytes], None]:
    def one_input(data: bytes) -> None:
        start = time.perf_counter()
        try:
            target(data)
        except VerificationError:
            pass
        elapsed = time.perf_counter() - start
        bound = FIXED_SECONDS + SECONDS_PER_BYTE * len(data)
        if elapsed > bound:
            raise SlowInput(f"{len(data)} bytes took {elapsed:.2f} s, more than their bound of {bound:.2f} s")

    return one_input


def main() -> None:
    if len(sys.argv) < 2 or sys.argv[1] not in TARGETS:
        sys.exit(f"usage: fuzz_verify.py {{{','.join(TARGETS)}}} [libFuzzer options] [CORPUS_DIR...]")
    name = sys.argv.pop(1)
    target = TARGETS[name]
    # Once before fuzzing: loading the pinned chains and warming the caches is not the input's time.
    for seed in (REPORT, VCEK):
        try:
            target(seed)
        except VerificationError:
            pass
    atheris.Setup(sys.argv, checked(target))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
