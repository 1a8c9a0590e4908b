"""The PCS client and its cache, against Intel's certification service on loopback serving genuine collateral."""

from __future__ import annotations

import datetime
import io
import json
import sys
import time
import urllib.parse
from collections.abc import Callable
from pathlib import Path

import pytest
from intel_test_pki import Bundle, build
from kds_server import STALL_SECONDS, KdsServer, Route

from quorvel_verify._internal.cache import Cache
from quorvel_verify.sevsnp.kds import OfflineError
from quorvel_verify.tdx import pcs_answers
from quorvel_verify.tdx.pcs import JUDGED_BY, PcsClient, PcsError

DATA = Path(__file__).parents[2] / "data" / "tdx"
GENUINE = json.loads((DATA / "quote-v4-uptodate.dcapqvl.collateral.json").read_text())
FMSPC, CA = bytes.fromhex("B0C06F000000"), "platform"
# Inside the window where every part is current (2025-06-19T10:32Z to 2025-07-19T10:00Z), and after it, when
# all but the root CA's CRL have passed their next update.
NOW = datetime.datetime(2025, 7, 1, tzinfo=datetime.UTC)
LATE = datetime.datetime(2025, 8, 1, tzinfo=datetime.UTC)


def pcs_routes(collateral: dict[str, str]) -> dict[str, Route]:
    """The collateral split back into the PCS's answers, each at its path: the signed bodies around their exact
    text, the issuer chains URL-encoded in their headers, the root CA's CRL as hex, as caching services serve it."""

    def path(url: str) -> str:
        return url.removeprefix("http://pcs")

    def signed(key: str, prefix: str, header: str) -> Route:
        body = f'{{"{key}":{collateral[prefix]},"signature":"{collateral[prefix + "_signature"]}"}}'
        return body.encode(), {header: urllib.parse.quote(collateral[prefix + "_issuer_chain"], safe="")}

    return {
        path(pcs_answers.tcb_info_url(FMSPC, "http://pcs")): signed("tcbInfo", "tcb_info", "TCB-Info-Issuer-Chain"),
        path(pcs_answers.qe_identity_url("http://pcs")): signed(
            "enclaveIdentity", "qe_identity", "SGX-Enclave-Identity-Issuer-Chain"),
        # Intel's early set, here the same answers.
        path(pcs_answers.tcb_info_url(FMSPC, "http://pcs", "early")): signed(
            "tcbInfo", "tcb_info", "TCB-Info-Issuer-Chain"),
        path(pcs_answers.qe_identity_url("http://pcs", "early")): signed(
            "enclaveIdentity", "qe_identity", "SGX-Enclave-Identity-Issuer-Chain"),
        path(pcs_answers.pck_crl_url(CA, "http://pcs")): (
            bytes.fromhex(collateral["pck_crl"]),
            {"SGX-PCK-CRL-Issuer-Chain": urllib.parse.quote(collateral["pck_crl_issuer_chain"], safe="")}),
        path(pcs_answers.root_ca_crl_url("http://pcs")): collateral["root_ca_crl"].encode(),
    }  # fmt: skip


@pytest.fixture(scope="module")
def pcs():
    server = KdsServer(pcs_routes(GENUINE))
    yield server
    server.close()


@pytest.fixture
def server(pcs):
    pcs.script, pcs.requests, pcs.routes = [], [], pcs_routes(GENUINE)
    return pcs


def tamper(path: str, change: Callable[[Route], Route]) -> Callable[[dict[str, Route]], None]:
    """Serves at the path of the part named `path` (`tcb`, `qe`, `pck`) what `change` makes of its answer."""

    def apply(routes: dict[str, Route]) -> None:
        key = next(key for key in routes if URLS[path] in key)
        routes[key] = change(routes[key])

    return apply


def pccs(routes: dict[str, Route]) -> None:
    """Serves as a newer Intel PCCS does: its names of the issuer chain headers, and the root CA's CRL by its
    distribution point in DER (not at rootcacrl, in hex)."""
    for key, (body, headers) in [(key, route) for key, route in routes.items() if isinstance(route, tuple)]:
        renamed = {"TCB-Info-Issuer-Chain": "SGX-TCB-Info-Issuer-Chain",
                   "SGX-Enclave-Identity-Issuer-Chain": "Enclave-Identity-Issuer-Chain"}
        routes[key] = body, {renamed.get(name, name): value for name, value in headers.items()}
    routes[next(key for key in routes if URLS["root"] in key)] = None  # type: ignore[assignment]
    routes[pcs_answers.crl_by_uri_url("")] = ROOT_CRL


URLS = {"tcb": "/tcb?", "qe": "/qe/identity", "pck": "/pckcrl?", "root": "/rootcacrl"}
OK = "ok"
ALL_MISSING = "offline: in the cache {cache}: no TCB info for {tcb}; no QE identity for {qe}; no PCK CRL for {pck}; " \
    "no root CA CRL for {root}"
ROOT_CRL = bytes.fromhex(GENUINE["root_ca_crl"])
CHAIN_HEADER = "SGX-Enclave-Identity-Issuer-Chain"


# Steps: each asks a new client (over the same cache, as a new process would) for the whole collateral, online
# ("fetch") or "offline", at NOW or "late"; what passed is kept, unless the step says which parts "failed" the
# checks that judge them (all, or one part: "failed:tcb_info"). "cut" cuts every cache entry to half its size.
@pytest.mark.parametrize(
    ("script", "change", "steps", "outcomes", "requests", "waits"),
    [
        pytest.param([], None, ["fetch", "fetch", "offline"], [OK] * 3, 4, [],
                     id="a fetch fills the cache, a second makes no request"),
        pytest.param([], None, ["offline"], [ALL_MISSING], 0, [], id="offline, nothing cached: every part named"),
        pytest.param([], pccs, ["fetch", "offline"], [OK, OK], 5, [], id="Intel's PCCS: its header names, crl?uri="),
        # Intel's early set is asked for by name, and cached apart from the standard one.
        pytest.param([], None, ["fetch early", "offline early", "offline"],
                     [OK, OK, "offline: in the cache {cache}: no TCB info for {tcb}; no QE identity for {qe}"], 4, [],
                     id="early set"),
        pytest.param([], None, ["fetch failed", "offline", "fetch", "fetch failed", "offline"],
                     [OK, ALL_MISSING, OK, OK, ALL_MISSING], 8, [],
                     id="nothing cached before its checks passed; what failed them dropped"),
        pytest.param([], None, ["fetch failed:tcb_info", "offline"],
                     [OK, "offline: no TCB info in the cache {cache} for {tcb}"], 4, [],
                     id="settled part by part"),
        pytest.param([], None, ["fetch", "fetch late", "offline late"], [OK] * 3, 7, [],
                     id="parts past their next update fetched again online, used offline"),
        pytest.param([], None, ["fetch", "cut", "offline", "fetch"], [OK, ALL_MISSING, OK], 8, [],
                     id="cut-short cache entries dropped, fetched again"),
        pytest.param(["429:3"], None, ["fetch", "offline"], [OK, OK], 5, [(3, 429)], id="429 with Retry-After"),
        pytest.param(["500"], None, ["fetch", "fetch"], ["{tcb}: HTTP 500 Internal Server Error", OK], 5, [],
                     id="500"),
        pytest.param(["serve", "garbage"], None, ["fetch", "offline"],
                     ["{qe}: the response is not the QE identity asked for (not a JSON object)", ALL_MISSING], 2, [],
                     id="not JSON, nothing cached"),
        pytest.param([], tamper("tcb", lambda r: (r[0].replace(b"B0C06F000000", b"00806F050000"), r[1])), ["fetch"],
                     ["{tcb}: the response is not the TCB info asked for (the TCB info of FMSPC '00806F050000', not "
                      "B0C06F000000)"], 1, [], id="TCB info of another FMSPC"),
        pytest.param([], tamper("pck", lambda r: (ROOT_CRL, r[1])), ["fetch"],
                     ["{pck}: the response is not the PCK CRL asked for (a CRL issued by 'Intel SGX Root CA', not "
                      "'Intel SGX PCK Platform CA')"], 3, [], id="CRL of another CA"),
        pytest.param([], tamper("qe", lambda r: (r[0], {})), ["fetch"],
                     [f"{{qe}}: the response is not the QE identity asked for (no {CHAIN_HEADER} header)"], 2, [],
                     id="no issuer chain"),
        pytest.param([], tamper("qe", lambda r: (r[0][:-1] + b',"signature":"00"}', r[1])), ["fetch"],
                     ["{qe}: the response is not the QE identity asked for ('signature' twice)"], 2, [],
                     id="a member twice: which one is signed is the reader's guess"),
    ],
)
def test_fetch(server, tmp_path, script, change, steps, outcomes, requests, waits):
    server.script = list(script)
    if change is not None:
        change(server.routes)
    cache = Cache(tmp_path / "cache")
    clock, slept, progress = [0.0], [], []

    def sleep(seconds: float) -> None:
        slept.append(seconds)
        clock[0] += seconds

    fill = {"cache": cache.directory} | {
        name: next(server.url + key for key in server.routes if where in key) for name, where in URLS.items()
    }
    expectations = iter(outcomes)
    for step in steps:
        if step == "cut":
            for entry in [p for p in cache.directory.rglob("*") if p.is_file()]:
                entry.write_bytes(entry.read_bytes()[: entry.stat().st_size // 2])
            continue
        words = step.split()
        client = PcsClient(
            server.url, cache=cache, offline="offline" in words, timeout=5, max_wait=10, progress=progress.append,
            sleep=sleep, clock=lambda: clock[0], tcb_update="early" if "early" in words else None,
        )
        expected = next(expectations)
        try:
            got = client.collateral(FMSPC, CA, now=LATE if "late" in words else NOW)
        except (PcsError, OfflineError) as error:
            assert (type(error), str(error)) == (OfflineError if "offline" in words else PcsError,
                                                 expected.format(**fill))
            continue
        assert (expected, got) == (OK, GENUINE)
        failed = next((word.partition(":")[2] or "all" for word in words if word.startswith("failed")), None)
        client.settle(got, failed is None or {name: name != failed and failed != "all" for name in JUDGED_BY})
    assert next(expectations, None) is None
    assert len(server.requests) == requests
    assert progress == [f"waiting {s} s to retry {fill['tcb']} (HTTP {status}, attempt {n})"
                        for n, (s, status) in enumerate(waits, 1)]
    assert slept == [seconds for seconds, _ in waits]


def test_command_fetches_then_runs_offline(server, tmp_path: Path, command: Callable[..., None], capsys,
                                          monkeypatch) -> None:
    """--fetch fills the cache from the PCS on loopback and --save-collateral writes what was used; a second run
    asks nothing, a forged quote (a PKI of its own under Intel's names, this platform's FMSPC) neither drops
    what the cache holds nor asks again, --offline reads the cache alone, and the saved file verifies alike."""
    quote, saved, cache = str(DATA / "quote-v4-uptodate.dcapqvl.bin"), tmp_path / "saved.json", tmp_path / "cache"
    common = [quote, "--now", "2025-07-01", "--json"]
    expected = ({"verified": True, "tcb_status": "UpToDate"}, "")
    fetch = ["--fetch", "--pcs-url", server.url, "--cache-dir", str(cache)]
    command([*common, *fetch, "--save-collateral", str(saved)], 0, expected)
    assert len(server.requests) == 4
    command([*common, *fetch], 0, expected)
    forged = tmp_path / "forged.bin"
    forged.write_bytes(build(Bundle(pck_fmspc=FMSPC))[0])
    command([str(forged), *common[1:], *fetch], 1, ({"chain": "fail", "revocation": "fail"}, ""))
    assert len(server.requests) == 4
    command([*common, "--offline", "--cache-dir", str(cache)], 0, expected)
    command([*common, "--collateral", str(saved)], 0, expected)
    assert json.loads(saved.read_text()) == GENUINE
    # Intel's early set: asked for by name, not found in the standard set's entries.
    command([*common, *fetch, "--tcb-update", "early"], 0, expected)
    assert server.requests[4:] == [pcs_answers.tcb_info_url(FMSPC, "", "early"), pcs_answers.qe_identity_url("", "early")]
    command([*common, "--offline", "--cache-dir", str(cache), "--tcb-update", "early"], 0, expected)
    # - is standard input for --collateral, standard output for --save-collateral (the result then on stderr).
    from quorvel_verify.cli import main

    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(saved.read_bytes())))
    monkeypatch.chdir(tmp_path)
    assert main([quote, "--now", "2025-07-01", "--collateral", "-", "--save-collateral", "-"]) == 0
    out, err = capsys.readouterr()
    assert (json.loads(out), err.splitlines()[-1], (tmp_path / "-").exists()) == (
        GENUINE, "result:              verified with Intel's PCK chain, TCB UpToDate", False)


def test_command_keeps_the_runs_deadline(server, tmp_path: Path, command: Callable[..., None], monkeypatch) -> None:
    """A service that answers each request just under the request's timeout holds a --fetch run no longer than
    the run's deadline (here made short), as AMD's key service does: the last request is cut at it."""
    from quorvel_verify._internal import limits

    monkeypatch.setattr(limits, "RUN_SECONDS", 1.0)
    server.script = ["stall"] * 4  # each answered after STALL_SECONDS, well within the request's timeout
    quote = str(DATA / "quote-v4-uptodate.dcapqvl.bin")
    tcb = server.url + next(key for key in server.routes if URLS["tcb"] in key)
    start = time.monotonic()
    command([quote, "--now", "2025-07-01", "--fetch", "--pcs-url", server.url, "--cache-dir", str(tmp_path)], 2,
            f"{tcb}: no response before the run's 1 s for fetching were spent")
    assert time.monotonic() - start < STALL_SECONDS
