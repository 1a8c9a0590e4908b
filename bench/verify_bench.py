"""Times quorvel_verify.verify against its floor: decoding the report and one ECDSA P-384 verification.

Contenders, timed in one process and interleaved:

- floor: `quorvel.parse_report(report)` and one ECDSA P-384 / SHA-384
  verification of the report's signature with `cryptography`, the key loaded
  and the signature encoded in advance. No verifier can do less.
- known certificate: `verify(report, certificate)` with a certificate that an
  earlier call has seen, as a service verifying many reports of few chips
  does: every check, the default policy, the result built.
- new certificate: the same with a `Verifier(cache_size=0)` made in advance
  (and the default policy), which keeps no certificate, so that the
  certificate is loaded, its extensions read and its chain verified again on
  every call (AMD's pinned chains stay loaded and the values decoded from
  reports and certificates stay cached, as they do in a running service).
- chain: what verifying the chain of a new certificate takes at least: loading
  it from PEM, comparing its issuer with the intermediate's subject and the
  one RSA-4096 RSASSA-PSS verification of its intermediate's signature over
  it, the intermediate's key loaded in advance (`signed_by`); `floor + chain`
  is what a new certificate may cost.

Each round times a batch of calls of every contender, in an order that
rotates from round to round; the figures are medians over the rounds, and
each ratio is the median of the ratios taken within one round, so that a
machine whose speed drifts still compares like with like. The garbage
collector is off while timing. Before timing, each verification must succeed.
Targets are reported, never enforced.

`--calls NAME N` makes the same set-up, then calls one contender N times
untimed and exits: under `valgrind --tool=callgrind`, the difference between
N calls and none is N times that contender's instructions.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
from collections.abc import Callable
from pathlib import Path
from time import perf_counter_ns

import quorvel
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from quorvel_verify import Policy, verify
from quorvel_verify.sevsnp.chains import bundled, signed_by
from quorvel_verify.sevsnp.evidence import amd_serial_numbers, load_certificates
from quorvel_verify.verifier import Verifier

REPORTS_DIR = Path(__file__).resolve().parent.parent / "tests" / "data" / "reports"
TIMED_REPORT = "genoa-v5-oak"

KNOWN_RATIO_TARGET = 1.15  # known certificate / floor, at most
NEW_RATIO_TARGET = 1.0  # new certificate / (floor + chain), at most


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--batch", type=int, default=20)
    parser.add_argument("--quick", action="store_true", help="30 rounds of 10 calls")
    parser.add_argument("--calls", nargs=2, metavar=("NAME", "N"), help="call one contender N times, untimed")
    arguments = parser.parse_args()
    rounds, batch = (30, 10) if arguments.quick else (arguments.rounds, arguments.batch)

    report = (REPORTS_DIR / f"{TIMED_REPORT}.bin").read_bytes()
    certificate = (REPORTS_DIR / f"{TIMED_REPORT}.vcek.pem").read_bytes()
    (leaf,) = load_certificates(certificate)
    key = leaf.public_key()
    assert isinstance(key, ec.EllipticCurvePublicKey)
    signature = encode_dss_signature(
        int.from_bytes(report[0x2A0:0x2E8], "little"), int.from_bytes(report[0x2E8:0x330], "little")
    )
    signed = report[:0x2A0]
    ecdsa = ec.ECDSA(hashes.SHA384())
    ask = next(chain.intermediate for chain in bundled().chains if signed_by(leaf, chain.intermediate))

    def floor() -> None:
        quorvel.parse_report(report)
        key.verify(signature, signed, ecdsa)

    def known() -> None:
        verify(report, certificate)

    policy, forgetful = Policy(), Verifier(cache_size=0)

    def new() -> None:
        policy.appraise(forgetful.verify(report, certificate))

    def chain() -> None:
        with amd_serial_numbers():
            loaded = x509.load_pem_x509_certificate(certificate)
        signed_by(loaded, ask)

    result = verify(report, certificate)
    if not result.verified:
        print(f"verify failed: {[check.detail for check in result.failed]}", file=sys.stderr)
        return 1

    contenders: dict[str, Callable[[], None]] = {"floor": floor, "known": known, "new": new, "chain": chain}
    if arguments.calls is not None:
        name, count = arguments.calls
        if name not in contenders or not count.isdigit():
            parser.error(f"--calls: expected a contender ({', '.join(contenders)}) and a count, not {name} {count}")
        for _ in range(int(count)):
            contenders[name]()
        return 0
    times: dict[str, list[float]] = {name: [] for name in contenders}
    known_ratios: list[float] = []
    new_ratios: list[float] = []
    names = list(contenders)
    gc.disable()
    try:
        for round_number in range(rounds):
            shift = round_number % len(names)
            per_call: dict[str, float] = {}
            for name in names[shift:] + names[:shift]:
                function = contenders[name]
                function()  # warm: a new certificate's cost is its own, not the previous contender's
                start = perf_counter_ns()
                for _ in range(batch):
                    function()
                per_call[name] = (perf_counter_ns() - start) / batch / 1000
                times[name].append(per_call[name])
            known_ratios.append(per_call["known"] / per_call["floor"])
            new_ratios.append(per_call["new"] / (per_call["floor"] + per_call["chain"]))
    finally:
        gc.enable()

    print(f"{TIMED_REPORT}, {rounds} rounds of {batch} calls, CPython {sys.version.split()[0]}")
    for name in names:
        print(f"  {name:<6} {statistics.median(times[name]):8.1f} us per call (median)")
    known_ratio, new_ratio = statistics.median(known_ratios), statistics.median(new_ratios)
    print(f"  known certificate / floor:         {known_ratio:.3f} (target at most {KNOWN_RATIO_TARGET})"
          f"{'' if known_ratio <= KNOWN_RATIO_TARGET else '  MISSED'}")
    print(f"  new certificate / (floor + chain): {new_ratio:.3f} (target at most {NEW_RATIO_TARGET})"
          f"{'' if new_ratio <= NEW_RATIO_TARGET else '  MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
