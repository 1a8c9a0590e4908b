"""Times a first verification: a new Verifier for each SEV-SNP report and TDX quote, against their floors.

A relying party's first verification is often its only one (a command in a
CI job, a one-shot check at boot), so nothing of an earlier verification may
help it: each call makes a new `Verifier` and a new `Policy`. What stays
loaded is what the package holds as constants (AMD's bundled chains, checked
once per process, and Intel's bundled root). Contenders, timed in one process
and interleaved (contenders.py):

- tdx floor: what no verifier of a new quote and its collateral can do less
  than: `parse_quote`, the five certificates loaded (the quote's PCK chain of
  three, the TCB Signing certificate of each issuer chain) and the two CRLs,
  the seven ECDSA P-256 verifications (PCK by its CA, the CA by the root, TCB
  Signing by the root, the TCB info, the QE identity, the QE report, the
  quote), the two CRLs' signatures, `json.loads` of the TCB info and QE
  identity bodies and the SHA-256 that binds the attestation key.
- tdx cold: `Policy().appraise(Verifier().verify(quote, now=..., collateral=...))`,
  the collateral file read and decoded in advance.
- dcap-qvl: `dcap_qvl.verify` of the same quote and collateral at the same
  time, where the package is installed (`pip install dcap-qvl` into the
  benchmark's environment: a contender, never a dependency of quorvel).
- snp floor: `quorvel.parse_report`, the VCEK loaded from PEM, the two
  RSA-4096 RSASSA-PSS verifications of its chain (VCEK by the ASK, ASK by the
  ARK, their keys loaded in advance) and the ECDSA P-384 verification of the
  report with the VCEK's key.
- snp cold: `Policy().appraise(Verifier().verify(report, vcek_pem, now=...))`.
- verifier: `Verifier()` alone.
- snp warm: `verify(report, vcek_pem)` on a verifier that has seen the VCEK, which
  `Verifier()` should cost a small part of.

Targets (reported, never enforced): tdx cold at most 1.15 times its floor,
snp cold at most 1.15 times its floor, `Verifier()` at most a twentieth of a
warm verification. `--calls NAME N` calls one contender N times untimed
(for callgrind) and exits.
"""

from __future__ import annotations

import datetime
import hashlib
import json
import statistics
import sys
from collections.abc import Callable
from pathlib import Path

import quorvel
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from quorvel_verify import Policy, Verifier
from quorvel_verify.sevsnp.chains import bundled, signed_by
from quorvel_verify.sevsnp.evidence import amd_serial_numbers
from quorvel_verify.tdx.collateral import TdxCollateral, signature_verifies
from quorvel_verify.tdx.quote import parse_quote
from quorvel_verify.tdx.signatures import p256_verifies

from contenders import interleaved, median_ratio, options, target_line

ROOT = Path(__file__).resolve().parent.parent
TDX = ROOT / "tests" / "data" / "tdx"
REPORTS = ROOT / "tests" / "data" / "reports"
INTEL_ROOT = ROOT / "src" / "quorvel_verify" / "tdx" / "data" / "intel-sgx-root-ca.pem"
TIMED_QUOTE = "quote-v4-uptodate.dcapqvl"
TIMED_REPORT = "genoa-v5-oak"
TDX_NOW = datetime.datetime(2025, 7, 1, tzinfo=datetime.UTC)
SNP_NOW = datetime.datetime(2025, 9, 1, tzinfo=datetime.UTC)

TDX_COLD_TARGET = 1.15  # tdx cold / tdx floor, at most
SNP_COLD_TARGET = 1.15  # snp cold / snp floor, at most
VERIFIER_TARGET = 1 / 20  # Verifier() / snp warm, at most

NAMES = ("tdx floor", "tdx cold", "dcap-qvl", "snp floor", "snp cold", "verifier", "snp warm")


def tdx_contenders() -> dict[str, Callable[[], None]]:
    quote = (TDX / f"{TIMED_QUOTE}.bin").read_bytes()
    text = (TDX / f"{TIMED_QUOTE}.collateral.json").read_text()
    collateral = TdxCollateral.from_json(text)
    root = x509.load_pem_x509_certificate(INTEL_ROOT.read_bytes())
    root_key = root.public_key()
    assert isinstance(root_key, ec.EllipticCurvePublicKey)

    def floor() -> None:
        parsed = parse_quote(quote)
        data = parsed.signature_data
        pck, ca, _ = x509.load_pem_x509_certificates(data.pck_chain_pem.rstrip(b"\0"))
        pck.verify_directly_issued_by(ca)
        ca.verify_directly_issued_by(root)
        tcb_signer = x509.load_pem_x509_certificate((collateral.tcb_info_issuer_chain or "").encode())
        qe_signer = x509.load_pem_x509_certificate((collateral.qe_identity_issuer_chain or "").encode())
        tcb_signer.verify_directly_issued_by(root)
        signature_verifies(tcb_signer, collateral.tcb_info or "", collateral.tcb_info_signature or b"")
        signature_verifies(qe_signer, collateral.qe_identity or "", collateral.qe_identity_signature or b"")
        json.loads(collateral.tcb_info or "")
        json.loads(collateral.qe_identity or "")
        x509.load_der_x509_crl(collateral.pck_crl or b"").is_signature_valid(ca.public_key())  # type: ignore[arg-type]
        x509.load_der_x509_crl(collateral.root_ca_crl or b"").is_signature_valid(root_key)
        p256_verifies(pck.public_key(), data.qe_report_signature, data.qe_report.raw)
        hashlib.sha256(data.attestation_key + data.qe_auth_data).digest()
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), b"\x04" + data.attestation_key)
        p256_verifies(key, data.signature, parsed.signed)

    def cold() -> None:
        Policy().appraise(Verifier().verify(quote, now=TDX_NOW, collateral=collateral))

    contenders = {"tdx floor": floor, "tdx cold": cold}
    result = Policy().appraise(Verifier().verify(quote, now=TDX_NOW, collateral=collateral))
    if not result.verified:
        raise SystemExit(f"the TDX quote failed: {[check.detail for check in result.failed]}")
    try:
        import dcap_qvl  # type: ignore[import-not-found]
    except ImportError:
        print("dcap-qvl: not installed (pip install dcap-qvl into this environment to time it)")
    else:
        theirs = dcap_qvl.QuoteCollateralV3.from_json(text)
        seconds = int(TDX_NOW.timestamp())
        if dcap_qvl.verify(quote, theirs, seconds).status != "UpToDate":
            raise SystemExit("dcap-qvl does not find the quote UpToDate")
        contenders["dcap-qvl"] = lambda: dcap_qvl.verify(quote, theirs, seconds)
    return contenders


def snp_contenders() -> dict[str, Callable[[], None]]:
    report = (REPORTS / f"{TIMED_REPORT}.bin").read_bytes()
    vcek = (REPORTS / f"{TIMED_REPORT}.vcek.pem").read_bytes()
    with amd_serial_numbers():
        leaf = x509.load_pem_x509_certificate(vcek)
    chain = next(chain for chain in bundled().chains if signed_by(leaf, chain.intermediate))
    signature = encode_dss_signature(
        int.from_bytes(report[0x2A0:0x2E8], "little"), int.from_bytes(report[0x2E8:0x330], "little")
    )
    ecdsa = ec.ECDSA(hashes.SHA384())

    def floor() -> None:
        quorvel.parse_report(report)
        with amd_serial_numbers():
            loaded = x509.load_pem_x509_certificate(vcek)
        signed_by(loaded, chain.intermediate)
        signed_by(chain.intermediate, chain.root)
        key = loaded.public_key()
        assert isinstance(key, ec.EllipticCurvePublicKey)
        key.verify(signature, report[:0x2A0], ecdsa)

    def cold() -> None:
        Policy().appraise(Verifier().verify(report, vcek, now=SNP_NOW))

    warm_verifier, policy = Verifier(), Policy()

    def warm() -> None:
        policy.appraise(warm_verifier.verify(report, vcek, now=SNP_NOW))

    result = Policy().appraise(Verifier().verify(report, vcek, now=SNP_NOW))
    if not result.verified:
        raise SystemExit(f"the SEV-SNP report failed: {[check.detail for check in result.failed]}")
    return {"snp floor": floor, "snp cold": cold, "verifier": Verifier, "snp warm": warm}


def main() -> int:
    chosen = options(__doc__.splitlines()[0], NAMES)
    contenders = tdx_contenders() | snp_contenders()
    if chosen.calls is not None:
        name, count = chosen.calls
        if name not in contenders:
            print(f"--calls: {name} is not timed here (not installed)", file=sys.stderr)
            return 2
        for _ in range(count):
            contenders[name]()
        return 0
    times = interleaved(contenders, chosen)
    print(f"first verification, {TIMED_QUOTE} and {TIMED_REPORT}, {chosen.rounds} rounds of {chosen.batch} calls, "
          f"CPython {sys.version.split()[0]}")
    for name in contenders:
        print(f"  {name:<10} {statistics.median(times[name]):8.1f} us per call (median)")
    lines = [
        ("tdx cold / tdx floor:", median_ratio(times, "tdx cold", ("tdx floor",)), TDX_COLD_TARGET),
        ("snp cold / snp floor:", median_ratio(times, "snp cold", ("snp floor",)), SNP_COLD_TARGET),
        ("Verifier() / snp warm:", median_ratio(times, "verifier", ("snp warm",)), VERIFIER_TARGET),
    ]
    width = max(len(label) for label, _, _ in lines) + 1
    for label, ratio, target in lines:
        print(target_line(label, ratio, round(target, 3), width))
    if "dcap-qvl" in times:
        print(f"  {'tdx cold / dcap-qvl:':<{width}}{median_ratio(times, 'tdx cold', ('dcap-qvl',)):.3f} (reported)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
