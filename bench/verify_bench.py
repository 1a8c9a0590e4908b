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

The timing and the ratios are the shared harness's (contenders.py): medians
over interleaved rounds, targets reported, never enforced. `--calls NAME N`
calls one contender N times untimed and exits: under `valgrind
--tool=callgrind`, the difference between N calls and none is N times that
contender's instructions.
"""

from __future__ import annotations

import sys
from pathlib import Path

import quorvel
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from quorvel_verify import Policy, verify
from quorvel_verify.sevsnp.chains import bundled, signed_by
from quorvel_verify.sevsnp.evidence import amd_serial_numbers, load_certificates
from quorvel_verify.verifier import Verifier

from contenders import options, run

REPORTS_DIR = Path(__file__).resolve().parent.parent / "tests" / "data" / "reports"
TIMED_REPORT = "genoa-v5-oak"

KNOWN_RATIO_TARGET = 1.15  # known certificate / floor, at most
NEW_RATIO_TARGET = 1.0  # new certificate / (floor + chain), at most


def main() -> int:
    chosen = options(__doc__.splitlines()[0])

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

    return run(TIMED_REPORT, "certificate", {"floor": floor, "known": known, "new": new, "chain": chain}, chosen,
               KNOWN_RATIO_TARGET, NEW_RATIO_TARGET)


if __name__ == "__main__":
    sys.exit(main())
