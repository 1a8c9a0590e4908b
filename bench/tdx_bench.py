"""Times the TDX quote checks against their floor: parsing the quote, two ECDSA P-256 verifications and one SHA-256.

Contenders, timed in one process and interleaved, on the genuine v4 quote
and its collateral (tests/data/tdx), inside the collateral's window:

- floor: `parse_quote(quote)`, the attestation key loaded from the quote,
  the quote's signature and the QE report's signature (the PCK key loaded in
  advance) verified with `cryptography`, and the SHA-256 that binds the
  attestation key to the QE report. No verifier of the quote can do less.
- known: `Verifier.verify(quote, collateral=...)` then `Policy().appraise`
  on a verifier that has seen this PCK chain and this collateral, as a
  service verifying many quotes of few platforms does: every check, the
  default policy, the result built.
- new: the same on a new verifier, so that the chain, the CRLs and the
  signed collateral are loaded and verified again (the pinned root stays
  loaded: it is given to the verifier, as a service pins it once).
- chain: what a new PCK chain and new collateral take at least: the PEM chain
  loaded, its two signatures, the TCB Signing certificate loaded and its
  signature, the TCB info's and QE identity's signatures, the two CRLs loaded
  and their signatures; `floor + chain` is what a new quote may cost.

The timing and the ratios are the shared harness's (contenders.py): medians
over interleaved rounds, targets reported, never enforced. `--calls NAME N`
calls one contender N times untimed and exits: under `valgrind
--tool=callgrind`, the difference between N calls and none is N times that
contender's instructions.
"""

from __future__ import annotations

import datetime
import hashlib
import sys
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives.asymmetric import ec

from quorvel_verify import Policy, Verifier
from quorvel_verify.tdx.collateral import TdxCollateral as Collateral, signature_verifies
from quorvel_verify.tdx.pck import load_pck_chain
from quorvel_verify.tdx.quote import parse_quote
from quorvel_verify.tdx.signatures import p256_verifies

from contenders import options, run

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "tdx"
PINNED = ROOT / "src" / "quorvel_verify" / "tdx" / "data" / "intel-sgx-root-ca.pem"
TIMED_QUOTE = "quote-v4-uptodate.dcapqvl"
NOW = datetime.datetime(2025, 7, 1, tzinfo=datetime.UTC)

KNOWN_RATIO_TARGET = 1.15  # known quote / floor, at most
NEW_RATIO_TARGET = 1.0  # new quote / (floor + chain), at most


def main() -> int:
    chosen = options(__doc__.splitlines()[0])

    quote = (DATA / f"{TIMED_QUOTE}.bin").read_bytes()
    collateral = Collateral.from_json((DATA / f"{TIMED_QUOTE}.collateral.json").read_text())
    root = x509.load_pem_x509_certificate(PINNED.read_bytes())
    pem = parse_quote(quote).signature_data.pck_chain_pem
    pck_key = load_pck_chain(pem).pck.public_key()
    known_verifier = Verifier(tdx_root=root)
    policy = Policy()

    def floor() -> None:
        parsed = parse_quote(quote)
        data = parsed.signature_data
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + data.attestation_key)
        p256_verifies(key, data.signature, parsed.signed)
        p256_verifies(pck_key, data.qe_report_signature, data.qe_report.raw)
        hashlib.sha256(data.attestation_key + data.qe_auth_data).digest()

    def known() -> None:
        policy.appraise(known_verifier.verify(quote, now=NOW, collateral=collateral))

    def new() -> None:
        policy.appraise(Verifier(tdx_root=root).verify(quote, now=NOW, collateral=collateral))

    def chain() -> None:
        pck, ca, _ = x509.load_pem_x509_certificates(pem.rstrip(b"\0"))
        pck.verify_directly_issued_by(ca)
        ca.verify_directly_issued_by(root)
        for text, signature, issuers in (
            (collateral.tcb_info, collateral.tcb_info_signature, collateral.tcb_info_issuer_chain),
            (collateral.qe_identity, collateral.qe_identity_signature, collateral.qe_identity_issuer_chain),
        ):
            signer = x509.load_pem_x509_certificates((issuers or "").encode())[0]
            signer.verify_directly_issued_by(root)
            signature_verifies(signer, text or "", signature or b"")
        for der, issuer in ((collateral.pck_crl, ca), (collateral.root_ca_crl, root)):
            x509.load_der_x509_crl(der or b"").is_signature_valid(issuer.public_key())  # type: ignore[arg-type]

    # Before timing, and so that `known` has seen the quote's chain and collateral.
    result = policy.appraise(known_verifier.verify(quote, now=NOW, collateral=collateral))
    if not result.verified:
        print(f"verify failed: {[check.detail for check in result.failed]}", file=sys.stderr)
        return 1

    return run(TIMED_QUOTE, "quote", {"floor": floor, "known": known, "new": new, "chain": chain}, chosen,
               KNOWN_RATIO_TARGET, NEW_RATIO_TARGET)


if __name__ == "__main__":
    sys.exit(main())
