"""The KDS client and its cache, against a KDS on loopback that misbehaves on demand."""

from __future__ import annotations

import datetime
import os
import subprocess
import sys
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest
from amd_test_pki import DATA, authority, genuine_pair
from kds_server import KdsServer, genuine_report, genuine_routes, vcek_address

from quorvel_verify import Verifier
from quorvel_verify.sevsnp import urls
from quorvel_verify._internal.cache import Cache
from quorvel_verify.sevsnp.kds import KdsClient, KdsError, OfflineError

REPORTS = {"milan": "milan-v3-oak", "genoa": "genoa-v3-azure", "genoa-v2": "genoa-v2-oak"}
MILAN_CRL = "crl-milan-vcek-n9-2026-06-22.atakit.der"
# Inside the Milan CRL's validity (2026-06-22 to 2026-08-08), and after it.
NOW = datetime.datetime(2026, 7, 1, tzinfo=datetime.UTC)
LATE = datetime.datetime(2026, 9, 1, tzinfo=datetime.UTC)
TIMEOUT = 0.5


def step_of(step: str, base_url: str) -> tuple[str, Callable[[KdsClient], bytes]]:
    """Where the client fetches what `step` names, and how."""
    if step in REPORTS:
        return vcek_address(REPORTS[step], base_url), lambda c: c.vcek_for(genuine_report(REPORTS[step]), now=NOW)[1]
    if step == "chain":
        return urls.cert_chain_url("Milan", "VCEK", base_url), lambda c: c.cert_chain("Milan", "VCEK", now=NOW)
    when = LATE if step == "crl-late" else NOW
    return urls.crl_url("Milan", "VCEK", base_url), lambda c: c.crl("Milan", "VCEK", now=when)


@pytest.fixture(scope="module")
def kds():
    server = KdsServer(genuine_routes(list(REPORTS.values()), {"Milan": MILAN_CRL}))
    yield server
    server.close()


@pytest.fixture
def server(kds):
    kds.script, kds.requests = [], []
    return kds


OK = "ok"
NOT_CACHED = "offline: no VCEK in the cache {cache} for {url}"


class TestFetching:
    # Steps: a fetch ("milan"/"genoa": that report's VCEK, "chain", "crl", "crl-late": the CRL after its next
    # update), kept once fetched as the verifier keeps what passed its checks; "offline:" before a fetch for one
    # that must not touch the network, "failed:" for one whose checks failed (forgotten), "brief:" for one in a
    # run of 5 s, "slow:" for one said to be slow after 0.1 s (that line of progress is a string among the
    # waits); "cut": every cache file cut to half its size; "fifo": each replaced by a FIFO; "link": each
    # directory under the cache moved out of it and linked in its place. Each fetch makes a new client over the
    # same cache, as a new process would.
    @pytest.mark.parametrize(
        ("script", "steps", "outcomes", "requests", "waits"),
        [
            pytest.param([], ["milan", "milan", "offline:milan", "genoa", "offline:genoa"], [OK] * 5, 2, [],
                         id="one request per chip and TCB"),
            pytest.param([], ["chain", "chain", "crl", "crl"], [OK] * 4, 2, [], id="chain and CRL cached"),
            pytest.param([], ["genoa-v2", "offline:genoa-v2"], [OK] * 2, 2, [],
                         id="version 2 without CPUID: Milan asked first (404), then Genoa"),
            pytest.param([], ["crl", "crl-late", "offline:crl-late"], [OK] * 3, 2, [],
                         id="CRL past its next update fetched again online, used offline"),
            pytest.param([], ["milan", "cut", "offline:milan", "milan"], [OK, NOT_CACHED, OK], 2, [],
                         id="cut-short cache entry dropped, fetched again"),
            pytest.param([], ["failed:milan", "offline:milan", "milan", "failed:milan", "offline:milan", "milan"],
                         [OK, NOT_CACHED, OK, OK, NOT_CACHED, OK], 3, [],
                         id="nothing cached before its checks passed; an entry that failed them dropped"),
            pytest.param([], ["milan", "fifo", "offline:milan", "milan", "offline:milan"], [OK, NOT_CACHED, OK, OK],
                         2, [], id="FIFO in the cache: read as no entry, never waited on, replaced"),
            pytest.param([], ["milan", "link", "offline:milan", "milan", "offline:milan"], [OK, NOT_CACHED, OK, OK],
                         2, [], id="linked directory in the cache: not followed, replaced"),
            pytest.param([], ["offline:milan", "offline:crl"],
                         [NOT_CACHED, "offline: no revocation list in the cache {cache} for {url}"], 0, [],
                         id="offline never touches the network"),
            pytest.param(["429:3"], ["milan", "milan"], [OK, OK], 2, [(3, 429)], id="429 with Retry-After"),
            pytest.param(["503", "503"], ["crl"], [OK], 3, [(1, 503), (2, 503)], id="503 backs off exponentially"),
            pytest.param(["429:0"] * 3, ["milan"], [OK], 4, [(1, 429), (2, 429), (4, 429)],
                         id="Retry-After 0 backs off, never retries at once"),
            pytest.param(["429:1\u00b2"], ["milan"], [OK], 2, [(1, 429)],
                         id="Retry-After not in ASCII digits backs off"),
            pytest.param(["429"] * 4, ["milan", "milan"], [
                "{url}: HTTP 429 Too Many Requests, still after 4 attempts (retrying in 8 s would exceed 10 s)", OK],
                5, [(1, 429), (2, 429), (4, 429)], id="429 without end gives up within the bounded time"),
            pytest.param(["429:3", "429:3"], ["brief:milan"], [
                "{url}: HTTP 429 Too Many Requests; retrying in 3 s would exceed the run's 5 s"], 2, [(3, 429)],
                id="the run's deadline bounds its waits"),
            pytest.param(["429:60"], ["milan", "milan"], [
                "{url}: HTTP 429 Too Many Requests, still after 1 attempts (retrying in 60 s would exceed 10 s)", OK],
                2, [], id="Retry-After beyond the bounded time"),
            pytest.param(["302:self"], ["milan", "offline:milan"], [OK, OK], 2, [], id="redirect followed"),
            pytest.param(["307:http://kds.example/vcek"], ["milan"], [
                "{url}: HTTP 307 redirects to http://kds.example/vcek, which is not https://"], 1, [],
                id="redirect to plain http refused"),
            pytest.param(["500"], ["milan", "milan"], ["{url}: HTTP 500 Internal Server Error", OK], 2, [], id="500"),
            pytest.param(["truncate"], ["milan", "milan"],
                         ["{url}: the response ended after {half} of its {size} bytes", OK], 2, [],
                         id="truncated body"),
            pytest.param(["garbage"], ["milan", "offline:milan", "milan"],
                         ["{url}: the response is not a VCEK (17 bytes: b'<html>busy</'...)", NOT_CACHED, OK], 2, [],
                         id="not a certificate, not cached"),
            pytest.param(["stall"], ["milan", "milan"], [f"{{url}}: no response within {TIMEOUT:g} s", OK], 2, [],
                         id="stall past the timeout"),
            pytest.param(["drip"], ["milan", "milan"], [f"{{url}}: no response within {TIMEOUT:g} s", OK], 2, [],
                         id="a byte at a time: cut off at the request's deadline"),
            pytest.param(["stall"], ["slow:milan"], [f"{{url}}: no response within {TIMEOUT:g} s"], 1,
                         [f"still waiting for {{url}} after 0.1 s (giving up after {TIMEOUT:g} s)"],
                         id="a slow request said before its deadline"),
        ],
    )
    def test_fetch(self, server, tmp_path, script, steps, outcomes, requests, waits):
        server.script = list(script)
        cache = Cache(tmp_path / "cache")
        clock, slept, progress = [0.0], [], []

        def sleep(seconds: float) -> None:
            slept.append(seconds)
            clock[0] += seconds

        assert len([step for step in steps if step not in PLANTS]) == len(outcomes)
        expectations = iter(outcomes)
        for step in steps:
            if step in PLANTS:
                plant(step, cache.directory, tmp_path / "elsewhere")
                continue
            mode, _, target = step.rpartition(":")
            offline = mode == "offline"
            client = KdsClient(
                server.url, cache=cache, offline=offline, timeout=TIMEOUT, max_wait=10,
                run_seconds=5 if mode == "brief" else None, **({"slow_after": 0.1} if mode == "slow" else {}),
                progress=progress.append, sleep=sleep, clock=lambda: clock[0],
            )
            (url, fetch), expected = step_of(target, server.url), next(expectations)
            body = server.routes[url.removeprefix(server.url)]
            try:
                got = fetch(client)
            except (KdsError, OfflineError) as error:
                fill = {"url": url, "cache": cache.directory, "half": len(body) // 2, "size": len(body)}
                assert (type(error), str(error)) == (OfflineError if offline else KdsError, expected.format(**fill))
            else:
                assert (expected, got) == (OK, body)
                client.forget(got) if mode == "failed" else client.keep(got)
        assert len(server.requests) == requests
        first = step_of(steps[0].rpartition(":")[2], server.url)[0]
        assert progress == [
            wait.format(url=first) if isinstance(wait, str) else f"waiting {wait[0]} s to retry {first} (HTTP "
            f"{wait[1]}, attempt {n})" for n, wait in enumerate(waits, 1)
        ]
        assert slept == [wait[0] for wait in waits if not isinstance(wait, str)]


PLANTS = ("cut", "fifo", "link")


def plant(how: str, cache: Path, elsewhere: Path) -> None:
    """What a cache may hold beside its entries: entries cut short, FIFOs, or directories that are links."""
    for entry in [p for p in cache.rglob("*") if p.is_file()]:
        if how == "cut":
            entry.write_bytes(entry.read_bytes()[: entry.stat().st_size // 2])
        elif how == "fifo":
            entry.unlink()
            os.mkfifo(entry)
    if how == "link":
        for directory in [p for p in cache.iterdir() if p.is_dir()]:
            elsewhere.mkdir(exist_ok=True)
            directory.rename(elsewhere / directory.name)
            directory.symlink_to(elsewhere / directory.name)


def test_two_processes_filling_one_cache(tmp_path):
    # Each process writes its own whole entry, over and over, and reads the entry back between writes:
    # whatever it reads must be one writer's entry in full, never a mix or a prefix.
    child = textwrap.dedent(
        """
        import sys
        from quorvel_verify._internal.cache import Cache
        cache, fill = Cache(sys.argv[1]), int(sys.argv[2])
        for _ in range(150):
            cache.write("vcek/Milan/entry.der", bytes([fill]) * 65536)
            data = cache.read("vcek/Milan/entry.der")
            assert data is not None and len(data) == 65536 and len(set(data)) == 1, data and len(data)
        """
    )
    processes = [
        subprocess.Popen([sys.executable, "-c", child, str(tmp_path), str(fill)], stderr=subprocess.PIPE, text=True)
        for fill in (1, 2)
    ]
    errors = [process.communicate(timeout=120)[1] for process in processes]
    assert [process.returncode for process in processes] == [0, 0], errors
    assert sorted(p.name for p in (tmp_path / "vcek" / "Milan").iterdir()) == ["entry.der"]


# quorvel-verify --fetch / --offline against the KDS on loopback, as cli.main: what a run shows that verified with
# the CRL it fetched or read from the cache.
FETCHED = [
    "revocation:         pass  at 2026-07-01 00:00:00 UTC, ARK-Milan's list #9, current until 2026-08-08 00:00:00 UTC, revokes neither "
    "SEV-Milan (serial 0x10001) nor SEV-VCEK (serial 0x0)",
    "result:             verified with AMD's Milan VCEK chain",
]


OTHER_CHIP = "result:             NOT verified: failed key, signature, chip, tcb, product, revocation"
FORGED = "result:             NOT verified: failed chain, validity, signature"
USERINFO = "KDS address 'http://***@127.0.0.1:9/': a user name or password in the address is not supported"


# Each run: the arguments after the report, the exit status, and what it shows (conftest's `command`).
@pytest.mark.parametrize(
    ("script", "runs", "requests"),
    [
        pytest.param([], [(["--fetch"], 0, FETCHED), (["--fetch"], 0, FETCHED), (["--offline"], 0, FETCHED)], 2,
                     id="fetched once: the second run and offline make no request"),
        pytest.param(["429:0"], [(["--fetch", "--json"], 0, ({"verified": True, "revocation": "pass"},
                                                             "waiting 1 s to retry {vcek} (HTTP 429, attempt 1)"))],
                     3, id="json on stdout, waiting on stderr"),
        pytest.param([], [(["{cert}", "--fetch"], 0, FETCHED)], 1, id="certificate given"),
        # Nothing enters the cache before it holds by itself (another chip's VCEK does not; the genuine list,
        # fetched in the same run, does); a cached entry that does not is dropped and fetched once more.
        pytest.param(["other"], [(["--fetch"], 1, OTHER_CHIP), (["--offline"], 2, "offline: no VCEK in the cache "
                                 "{cache} for {vcek}"), (["--fetch"], 0, FETCHED)], 3,
                     id="another chip's VCEK served: not cached"),
        pytest.param([], [(["--fetch"], 0, FETCHED), "swap", (["--fetch"], 0, FETCHED), (["--offline"], 0, FETCHED)],
                     3, id="another chip's VCEK in the cache: dropped, fetched once more"),
        # A cached entry is judged by itself, never by other evidence: a self-made "VCEK" fails the chain, and
        # with it revocation, yet the list in the cache holds and stays, and the run asks for nothing.
        pytest.param([], [(["--fetch"], 0, FETCHED), (["{forged}", "--fetch"], 1, FORGED), (["--offline"], 0, FETCHED)],
                     2, id="a self-made VCEK neither drops the cached list nor asks again"),
        pytest.param([], [(["--offline"], 2, "offline: no VCEK in the cache {cache} for {vcek}")], 0,
                     id="offline, nothing cached"),
        pytest.param([], [(["--fetch", "--kds-url", "http://kds.example"], 2, "KDS address must be https:// (or "
                           "http:// to a loopback host), not 'http://kds.example'")], 0,
                     id="plain http to another host"),
        # A revocation list that cannot be had: the verification goes on without it, unless a list is required.
        *(pytest.param(script, [([*arguments, *policy], status, [f"revocation:         {outcome}{why}", verdict])],
                       requests, id=f"{name}{', required' if policy else ''}")
          for name, script, arguments, requests, why in [
              ("CRL status 500", ["serve", "500"], ["--fetch"], 2, "{crl}: HTTP 500 Internal Server Error"),
              ("key service unreachable", [], ["{cert}", "--fetch", "--kds-url", "http://127.0.0.1:1"], 0,
               "http://127.0.0.1:1/vcek/v1/Milan/crl: the connection was refused"),
              ("offline, no CRL cached", [], ["{cert}", "--offline"], 0,
               "offline: no revocation list in the cache {cache} for {crl}"),
          ]
          for policy, status, outcome, verdict in [
              ([], 0, "skip  no revocation list could be had: ", "result:             verified with AMD's Milan VCEK chain; "
               "revocation not checked"),
              (["--policy", "{required}"], 1, "fail  expected a revocation list, which the policy requires; none "
               "could be had: ", "result:             NOT verified: failed revocation"),
          ]),
        pytest.param([], [(["--fetch", "--kds-url", "https://[::1"], 2,
                           "KDS address 'https://[::1': not a URL (its host or port cannot be read)")], 0,
                     id="address unparsable"),
        # The password is in no message, on stderr or in the JSON.
        pytest.param([], [(["--fetch", "--json", "--kds-url", "http://user:pw@127.0.0.1:9/"], 2, (
            {"verified": False, "error": USERINFO}, f"error: {USERINFO}"))], 0, id="address with a password"),
        pytest.param([], [(["--fetch", "--kds-url", "https://kds.example/?x=1"], 2, "KDS address "
                           "'https://kds.example/?x=1': a base address takes no query or fragment")], 0,
                     id="address with a query"),
        # Slow, then cut off at --timeout: said on stderr; stdout holds the JSON object alone.
        pytest.param(["stall"], [(["--fetch", "--json", "--timeout", "0.4"], 2, (
            {"verified": False, "error": "{vcek}: no response within 0.4 s"},
            "error: {vcek}: no response within 0.4 s"))], 1, id="--timeout"),
        pytest.param([], [(["--offline", "--timeout", "5"], 2, "--timeout applies to --fetch only")], 0,
                     id="--timeout without --fetch"),
    ],
)
def test_command(server, tmp_path, command, script, runs, requests):
    server.script = list(script)
    report, certificate = (str(DATA / "reports" / f"{REPORTS['milan']}.{end}") for end in ("bin", "vcek.pem"))
    fill = {"cert": certificate, "cache": str(tmp_path / "cache"), "vcek": step_of("milan", server.url)[0],
            "crl": step_of("crl", server.url)[0], "required": str(tmp_path / "required.toml")}
    (tmp_path / "required.toml").write_text("require_revocation = true\n")
    fill["forged"] = str(tmp_path / "forged.pem")
    Path(fill["forged"]).write_bytes(authority("Milan").issue_for(Path(report).read_bytes()).pem)
    for run in runs:
        if run == "swap":  # every cached VCEK replaced by another chip's
            other = server.routes[vcek_address(REPORTS["genoa"], "")]
            for entry in (tmp_path / "cache" / "vcek").glob("*/*/*.der"):
                entry.write_bytes(other)
            continue
        arguments, status, shown = run
        argv = [report, *arguments, "--now", NOW.isoformat()]
        if "--kds-url" not in argv:
            argv += ["--kds-url", server.url, "--cache-dir", "{cache}"]
        command(argv, status, shown, **fill)
    assert len(server.requests) == requests


# A current list of the pinned root, cached, that revokes the VCEK: it holds by itself, so it stays, and what it
# says stands, whether or not the key service could answer; never "no revocation list could be had".
@pytest.mark.parametrize("script, base_url", [pytest.param(["500"], None, id="CRL status 500"),
                                              pytest.param([], "http://127.0.0.1:1", id="key service unreachable")])
def test_a_cached_list_that_revokes_stands_when_none_replaces_it(server, tmp_path, script, base_url):
    test_chain, report = authority("Milan"), genuine_pair()[0]
    leaf = test_chain.issue_for(report)
    cache = Cache(tmp_path / "cache")
    cache.write("vcek/Milan/crl.der", test_chain.crl([leaf.certificate.serial_number]))
    server.script = list(script)
    kds = KdsClient(base_url or server.url, cache=cache, timeout=TIMEOUT)
    result = Verifier(chains=test_chain.chain_pem, kds=kds).verify(leaf.sign(report), leaf.pem)
    (check,) = (check for check in result.checks if check.name == "revocation")
    assert (result.verified, check.result, "revokes it since" in check.detail) == (False, "fail", True), check
