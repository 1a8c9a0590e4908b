"""Verifications per second with 1, 2 and 4 threads on one shared Verifier, and with 2 processes.

`cryptography` releases the GIL while it verifies a signature, so threads
that share one `Verifier` overlap their signature checks; the rest of a
verification (decoding, the checks, the result) holds the GIL. Each setting
verifies the same genuine evidence warm (the verifier has seen its chain and
collateral, as a service does): the SEV-SNP report with its VCEK, and the TDX
quote with its collateral, each followed by `Policy.appraise`. A setting's
figure is the best of `--repeats` runs of `--seconds` each (the machine is
shared: the best run is the one least disturbed). Processes each make their
own `Verifier` and run for the same time.
"""

from __future__ import annotations

import argparse
import datetime
import multiprocessing
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from time import perf_counter

from quorvel_verify import Policy, Verifier
from quorvel_verify.tdx.collateral import TdxCollateral

ROOT = Path(__file__).resolve().parent.parent
REPORT = ROOT / "tests" / "data" / "reports" / "genoa-v5-oak"
QUOTE = ROOT / "tests" / "data" / "tdx" / "quote-v4-uptodate.dcapqvl"
SNP_NOW = datetime.datetime(2025, 9, 1, tzinfo=datetime.UTC)
TDX_NOW = datetime.datetime(2025, 7, 1, tzinfo=datetime.UTC)


def verification(kind: str, verifier: Verifier) -> Callable[[], None]:
    """One warm verification of `kind` ("sev-snp" or "tdx") on `verifier`, checked once to pass."""
    policy = Policy()
    if kind == "sev-snp":
        report, vcek = Path(f"{REPORT}.bin").read_bytes(), Path(f"{REPORT}.vcek.pem").read_bytes()

        def call() -> None:
            policy.appraise(verifier.verify(report, vcek, now=SNP_NOW))
    else:
        quote = Path(f"{QUOTE}.bin").read_bytes()
        collateral = TdxCollateral.from_json(Path(f"{QUOTE}.collateral.json").read_text())

        def call() -> None:
            policy.appraise(verifier.verify(quote, now=TDX_NOW, collateral=collateral))

    call()
    return call


def _loop(call: Callable[[], None], seconds: float, counts: list[int], index: int, start: threading.Barrier) -> None:
    start.wait()
    done, end = 0, perf_counter() + seconds
    while perf_counter() < end:
        call()
        done += 1
    counts[index] = done


def threads_rate(kind: str, threads: int, seconds: float) -> float:
    call = verification(kind, Verifier())
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    workers = [threading.Thread(target=_loop, args=(call, seconds, counts, i, start)) for i in range(threads)]
    for worker in workers:
        worker.start()
    began = perf_counter()
    start.wait()
    for worker in workers:
        worker.join()
    return sum(counts) / (perf_counter() - began)


def _process(kind: str, seconds: float, start: multiprocessing.synchronize.Barrier, out: multiprocessing.Queue[int]) -> None:
    call = verification(kind, Verifier())
    start.wait()
    done, end = 0, perf_counter() + seconds
    while perf_counter() < end:
        call()
        done += 1
    out.put(done)


def processes_rate(kind: str, processes: int, seconds: float) -> float:
    context = multiprocessing.get_context("fork")
    start, out = context.Barrier(processes + 1), context.Queue()
    workers = [context.Process(target=_process, args=(kind, seconds, start, out)) for _ in range(processes)]
    for worker in workers:
        worker.start()
    start.wait()
    began = perf_counter()
    total = sum(out.get() for _ in workers)
    elapsed = perf_counter() - began
    for worker in workers:
        worker.join()
    return total / elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="one run of 0.3 s per setting")
    arguments = parser.parse_args()
    seconds, repeats = (0.3, 1) if arguments.quick else (arguments.seconds, arguments.repeats)
    settings: list[tuple[str, Callable[[str], float]]] = [
        ("1 thread", lambda kind: threads_rate(kind, 1, seconds)),
        ("2 threads", lambda kind: threads_rate(kind, 2, seconds)),
        ("4 threads", lambda kind: threads_rate(kind, 4, seconds)),
        ("2 processes", lambda kind: processes_rate(kind, 2, seconds)),
    ]
    print(f"verifications per second (best of {repeats} runs of {seconds:g} s), CPython {sys.version.split()[0]}, "
          f"{multiprocessing.cpu_count()} CPUs")
    for kind in ("sev-snp", "tdx"):
        rates = {name: max(rate(kind) for _ in range(repeats)) for name, rate in settings}
        one = rates["1 thread"]
        print(f"  {kind}: " + ", ".join(f"{name} {value:,.0f} ({value / one:.2f}x)" for name, value in rates.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
