"""Verify an SEV-SNP attestation report end to end, from AMD's root key down to the report.

Usage: python examples/verify_report.py REPORT CERT

REPORT is a raw 1184-byte attestation report, CERT the VCEK or VLEK certificate
(PEM or DER) of the key that signed it. The report is decoded with quorvel and
its fields are printed; then these checks are made:

  chain      CERT is signed by the intermediate key of one of AMD's product
             lines (the ASK for a VCEK, the ASVK for a VLEK), that key by the
             line's root key (ARK), and the ARK by itself: RSASSA-PSS with
             SHA-384 and a 48-byte salt. The intermediate and root certificates
             of Milan, Genoa and Turin are bundled in amd-chains/ beside this
             script; the one that matched names the product line and key kind.
  signature  the report's ECDSA P-384 / SHA-384 signature (r and s stored
             little-endian) over signed_bytes verifies with CERT's key.
  chip       for a VCEK: its hwID is the report's chip_id. On Turin the hwID
             is 8 bytes, and the other 56 bytes of chip_id must be zero. A VLEK
             is not bound to a chip, so this check does not apply to it.
  tcb        the security patch levels in CERT equal the report's reported_tcb;
             on Turin the FMC patch level too, which parse_report does not
             return: it is the first byte of reported_tcb (offset 0x180).
  product    the product line of the chain agrees with the report's CPUID
             family and model (version 3 and later; a version-2 report carries
             no CPUID, so there the chain alone names the product line).

Finally it prints the address at AMD's Key Distribution Service (KDS) from
which the VCEK for this report and its TCB would be fetched. Nothing is fetched:
the script makes no network access.

Passed checks and the verdict go to stdout. Each failed check is one line on
stderr naming the check and what it expected; nothing else is written there,
except the message of bad input.

Exit status: 0 when every check passes, 1 when any fails, 2 on bad input
(unreadable file, a report that does not decode, a certificate that cannot be
loaded or whose key is not an ECDSA P-384 key).

What it leaves to the verifier: AMD's certificate revocation lists and the
validity periods of the certificates are not checked, and neither is what the
report states. Whether its guest policy, measurement, report_data, host_data
and TCB are acceptable is the verifier's own decision.
"""

from __future__ import annotations

import sys
import warnings
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

import quorvel

VALID, INVALID, BAD_INPUT = 0, 1, 2

USAGE = "usage: python examples/verify_report.py REPORT CERT"

SIGNED_SIZE = 0x2A0  # everything before the signature
UNSIGNED_TAIL = 0x330  # the bytes after signature S, up to the end of the report
REPORTED_TCB = 0x180  # offset of reported_tcb; on Turin its byte 0 is the FMC patch level

CHAINS_DIR = Path(__file__).resolve().parent / "amd-chains"
# Product line and key kind -> file holding the intermediate certificate, then the root (ARK).
CHAIN_FILES = {
    ("Milan", "VCEK"): "ask_ark_milan.pem",
    ("Milan", "VLEK"): "ask_ark_milan_vlek.pem",
    ("Genoa", "VCEK"): "ask_ark_genoa.pem",
    ("Genoa", "VLEK"): "ask_ark_genoa_vlek.pem",
    ("Turin", "VCEK"): "ask_ark_turin_vcek.pem",
    ("Turin", "VLEK"): "ask_ark_turin_vlek.pem",
}

# AMD's certificate extensions that bind a VCEK or VLEK to a chip and a TCB.
AMD_OID = "1.3.6.1.4.1.3704.1"
HW_ID = f"{AMD_OID}.4"
# Security patch levels (SPL), named as in KDS queries: fmcSPL (Turin only), then
# those of the bootloader, TEE, SNP firmware and microcode.
SPL_OIDS = {
    "fmcSPL": f"{AMD_OID}.3.9",
    "blSPL": f"{AMD_OID}.3.1",
    "teeSPL": f"{AMD_OID}.3.2",
    "snpSPL": f"{AMD_OID}.3.3",
    "ucodeSPL": f"{AMD_OID}.3.8",
}

KDS = "https://kdsintf.amd.com/vcek/v1"

# AMD signs its certificates with RSASSA-PSS, SHA-384, MGF1 with SHA-384 and a 48-byte salt.
AMD_PSS = padding.PSS(mgf=padding.MGF1(hashes.SHA384()), salt_length=48)


class BadInput(Exception):
    """The input cannot be verified at all."""


@dataclass(frozen=True)
class Chain:
    """One of AMD's trust chains: the intermediate key that signs VCEKs or VLEKs, and its root."""

    product: str  # "Milan", "Genoa" or "Turin"
    key_kind: str  # "VCEK" (signed by the ASK) or "VLEK" (signed by the ASVK)
    intermediate: x509.Certificate
    root: x509.Certificate

    def describe(self) -> str:
        return f"{self.product} {self.key_kind}"


class Verdict:
    """Collects the outcome of each check: passed ones on stdout, failed ones on stderr."""

    def __init__(self) -> None:
        self.failed_checks: list[str] = []

    def show(self, check: str, text: str) -> None:
        print(f"{check + ':':14}{text}")

    def fail(self, check: str, expected: str) -> None:
        self.failed_checks.append(check)
        print(f"{check} check failed: expected {expected}", file=sys.stderr)


# --- Loading -----------------------------------------------------------------


def load_certificates(path: Path) -> list[x509.Certificate]:
    try:
        data = path.read_bytes()
    except OSError as error:
        raise BadInput(f"{path}: {error.strerror or error}") from error
    # AMD issues its VCEK and VLEK certificates with serial number 0, which
    # cryptography loads but warns about; that is expected here.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Parsed a serial number which wasn't positive")
        try:
            if b"-----BEGIN" in data:
                return x509.load_pem_x509_certificates(data)
            return [x509.load_der_x509_certificate(data)]
        except ValueError as error:
            raise BadInput(f"{path}: not a certificate in PEM or DER ({error})") from error


def load_amd_chains() -> list[Chain]:
    chains = []
    for (product, key_kind), name in CHAIN_FILES.items():
        certificates = load_certificates(CHAINS_DIR / name)
        if len(certificates) != 2:
            raise BadInput(f"{CHAINS_DIR / name}: expected the intermediate and the root certificate")
        chains.append(Chain(product, key_kind, *certificates))
    return chains


def p384_key(certificate: x509.Certificate, path: Path) -> ec.EllipticCurvePublicKey:
    try:
        key = certificate.public_key()
    except (ValueError, UnsupportedAlgorithm) as error:  # a key type cryptography does not know
        raise BadInput(f"{path}: unusable public key ({error})") from error
    if not isinstance(key, ec.EllipticCurvePublicKey) or not isinstance(key.curve, ec.SECP384R1):
        kind = key.curve.name if isinstance(key, ec.EllipticCurvePublicKey) else type(key).__name__
        raise BadInput(f"{path}: expected an ECDSA P-384 key, got {kind}")
    return key


# --- Certificates --------------------------------------------------------------


def signed_by(child: x509.Certificate, parent: x509.Certificate) -> bool:
    """Whether parent's key made child's signature, the way AMD signs (RSASSA-PSS, SHA-384)."""
    key = parent.public_key()
    if child.issuer != parent.subject or not isinstance(key, rsa.RSAPublicKey):
        return False
    try:
        key.verify(child.signature, child.tbs_certificate_bytes, AMD_PSS, hashes.SHA384())
    except (InvalidSignature, ValueError):
        return False
    return True


def common_name(certificate: x509.Certificate) -> str:
    names = certificate.subject.get_attributes_for_oid(x509.NameOID.COMMON_NAME)
    return str(names[0].value) if names else certificate.subject.rfc4514_string()


def extension_value(certificate: x509.Certificate, oid: str) -> bytes | None:
    """The raw value of one of AMD's extensions, or None when the certificate lacks it."""
    try:
        extension = certificate.extensions.get_extension_for_oid(x509.ObjectIdentifier(oid))
    except (x509.ExtensionNotFound, ValueError):
        return None
    value = extension.value
    return value.value if isinstance(value, x509.UnrecognizedExtension) else None


def der_small_int(der: bytes | None) -> int | None:
    """A DER INTEGER of up to two content bytes (AMD's SPL values), or None."""
    if der is None or len(der) < 3 or der[0] != 0x02 or der[1] != len(der) - 2 or der[1] > 2:
        return None
    return int.from_bytes(der[2:], "big", signed=True)


# --- The report ----------------------------------------------------------------


def product_from_cpuid(cpuid: quorvel.Cpuid) -> str | None:
    """The product line named by the report's CPUID family and model; None for a version-2 report.

    parse_report has already refused family/model pairs outside these three lines.
    """
    family, model = cpuid["fam_id"], cpuid["mod_id"]
    if family is None or model is None:
        return None
    if family == 0x1A:
        return "Turin"
    return "Milan" if model < 0x10 else "Genoa"


def read_as_turin(report: quorvel.ParsedReport) -> bool:
    """Whether parse_report read the report's TCB fields in Turin's layout.

    It goes by the CPUID family; a version-2 report has none, and there a chip
    id whose bytes 8 to 63 are zero marks Turin.
    """
    family = report["cpuid"]["fam_id"]
    return family == 0x1A if family is not None else not any(report["chip_id"][8:])


def reported_spls(report: quorvel.ParsedReport) -> dict[str, int]:
    """The report's reported_tcb under the names of the KDS query; on Turin with the FMC patch level."""
    tcb = report["reported_tcb"]
    spls = {}
    if read_as_turin(report):
        # parse_report leaves the FMC patch level out of reported_tcb; it is
        # byte 0 of the field in Turin's layout, inside the signed region.
        spls["fmcSPL"] = report["signed_bytes"][REPORTED_TCB]
    spls["blSPL"] = tcb["bootloader"]
    spls["teeSPL"] = tcb["tee"]
    spls["snpSPL"] = tcb["snp"]
    spls["ucodeSPL"] = tcb["microcode"]
    return spls


def describe(raw: bytes, report: quorvel.ParsedReport) -> None:
    tcb = report["reported_tcb"]
    fmc = f"fmc={report['signed_bytes'][REPORTED_TCB]} " if read_as_turin(report) else ""
    cpuid = report["cpuid"]
    print(f"chip_id:      {report['chip_id'].hex()}")
    print(f"report_data:  {report['report_data'].hex()}")
    print(f"reported_tcb: {fmc}bootloader={tcb['bootloader']} tee={tcb['tee']} snp={tcb['snp']} "
          f"microcode={tcb['microcode']}")
    if cpuid["fam_id"] is None:
        print("cpuid:        not carried by this report version")
    else:
        print(f"cpuid:        family={cpuid['fam_id']:#04x} model={cpuid['mod_id']:#04x} "
              f"stepping={cpuid['step']} ({product_from_cpuid(cpuid)})")
    changed = sum(a != b for a, b in zip(raw[:SIGNED_SIZE], report["signed_bytes"]))
    if changed:
        print(f"note: the signed region was rebuilt with {changed} reserved TCB byte(s) set to zero")
    if any(raw[UNSIGNED_TAIL:]):
        print(
            f"note: bytes {UNSIGNED_TAIL:#x}-{len(raw) - 1:#x} after the signature are not zero; "
            "they are not covered by the signature and were ignored"
        )


# --- The checks ----------------------------------------------------------------


def find_amd_chain(certificate: x509.Certificate, chains: list[Chain]) -> tuple[Chain | None, str]:
    """The chain from AMD's root key to the certificate, or None and what was expected instead."""
    for chain in chains:
        if not signed_by(certificate, chain.intermediate):
            continue
        intermediate, root = common_name(chain.intermediate), common_name(chain.root)
        if not signed_by(chain.intermediate, chain.root):
            return None, f"{intermediate} to be signed by {root}"
        if not signed_by(chain.root, chain.root):
            return None, f"{root} to be signed by itself"
        return chain, f"{common_name(certificate)} <- {intermediate} <- {root}: {chain.describe()}"
    issuer = certificate.issuer.rfc4514_string()
    return None, f"the certificate (issuer {issuer}) to be signed by the ASK or ASVK of AMD's Milan, Genoa or Turin"


def check_signature(verdict: Verdict, key: ec.EllipticCurvePublicKey, report: quorvel.ParsedReport) -> None:
    r = int.from_bytes(report["sig_r"], "little")
    s = int.from_bytes(report["sig_s"], "little")
    try:
        key.verify(encode_dss_signature(r, s), report["signed_bytes"], ec.ECDSA(hashes.SHA384()))
    except InvalidSignature:
        verdict.fail("signature", "the report's signature over signed_bytes to verify with the certificate's key")
        return
    verdict.show("signature", "valid")


def check_chip(
    verdict: Verdict,
    certificate: x509.Certificate,
    chain: Chain | None,
    report: quorvel.ParsedReport,
    product: str | None,
) -> None:
    if chain is not None and chain.key_kind == "VLEK":
        verdict.show("chip", "not checked: a VLEK is not bound to one chip")
        return
    hw_id = extension_value(certificate, HW_ID)
    if hw_id is None:
        verdict.fail("chip", "a hwID extension in the VCEK")
        return
    # Turin VCEKs carry the first 8 bytes of the chip id; the rest of it is zero there.
    expected_size = 8 if product == "Turin" else 64
    chip_id = report["chip_id"]
    if len(hw_id) != expected_size:
        verdict.fail("chip", f"a hwID of {expected_size} bytes, the certificate's has {len(hw_id)}")
    elif chip_id[:expected_size] != hw_id or any(chip_id[expected_size:]):
        zeros = " followed by zeros" if expected_size < len(chip_id) else ""
        verdict.fail("chip", f"chip_id to be the certificate's hwID {hw_id.hex()}{zeros}")
    else:
        verdict.show("chip", "hwID matches chip_id")


def check_tcb(
    verdict: Verdict, certificate: x509.Certificate, report: quorvel.ParsedReport, product: str | None
) -> None:
    in_report = reported_spls(report)
    parameters = [name for name in SPL_OIDS if name != "fmcSPL" or product == "Turin"]
    in_certificate = {name: der_small_int(extension_value(certificate, SPL_OIDS[name])) for name in parameters}
    if all(in_report.get(name) == value for name, value in in_certificate.items()):
        verdict.show("tcb", "the certificate's patch levels match reported_tcb")
        return
    expected = ", ".join(f"{name}={value}" for name, value in in_certificate.items())
    verdict.fail("tcb", f"reported_tcb to be the certificate's {expected}")


def check_product(verdict: Verdict, chain: Chain | None, report: quorvel.ParsedReport) -> None:
    from_cpuid = product_from_cpuid(report["cpuid"])
    if from_cpuid is None:
        verdict.show("product", "not checked: a version-2 report carries no CPUID")
    elif chain is None:
        verdict.show("product", "not checked: no AMD chain matched the certificate")
    elif chain.product != from_cpuid:
        cpuid = report["cpuid"]
        verdict.fail("product", f"the report's CPUID to name {chain.product}, the chain's product line; "
                                f"family {cpuid['fam_id']:#04x} model {cpuid['mod_id']:#04x} is {from_cpuid}")
    else:
        verdict.show("product", f"{from_cpuid}, as the report's CPUID says")


def kds_address(report: quorvel.ParsedReport, product: str | None) -> str:
    """Where AMD's KDS serves the VCEK for this report's chip and TCB, or why there is none."""
    if product is None:
        return "unknown: the report names no product line and no AMD chain matched the certificate"
    chip_id = report["chip_id"]
    if not any(chip_id):
        return "none: the chip id is masked, so only a VLEK can have signed this report"
    hw_id = chip_id[:8] if product == "Turin" else chip_id
    query = "&".join(f"{name}={value}" for name, value in reported_spls(report).items())
    return f"{KDS}/{product}/{hw_id.hex()}?{query}"


# --- Putting it together ---------------------------------------------------------


def verify(report_path: Path, certificate_path: Path) -> int:
    try:
        raw = report_path.read_bytes()
    except OSError as error:
        raise BadInput(f"{report_path}: {error.strerror or error}") from error
    try:
        report = quorvel.parse_report(raw)
    except ValueError as error:
        raise BadInput(f"{report_path}: {error}") from error
    # A PEM file may hold the whole chain; the first certificate is the one that signed the report.
    certificate = load_certificates(certificate_path)[0]
    key = p384_key(certificate, certificate_path)
    chain, chain_text = find_amd_chain(certificate, load_amd_chains())
    # The product line: AMD's chain names it; without one, the report itself
    # (its CPUID, or for version 2 a Turin-style chip id). Milan and Genoa
    # write version-2 reports alike, so there only the chain can tell them apart.
    product = chain.product if chain is not None else product_from_cpuid(report["cpuid"])
    if product is None and read_as_turin(report):
        product = "Turin"

    print(f"report:       {report_path}")
    describe(raw, report)

    verdict = Verdict()
    if chain is None:
        verdict.fail("chain", chain_text)
    else:
        verdict.show("chain", chain_text)
    check_signature(verdict, key, report)
    check_chip(verdict, certificate, chain, report, product)
    check_tcb(verdict, certificate, report, product)
    check_product(verdict, chain, report)
    verdict.show("kds", kds_address(report, product))

    if verdict.failed_checks:
        verdict.show("result", f"NOT verified: failed {', '.join(verdict.failed_checks)}")
        return INVALID
    assert chain is not None
    verdict.show("result", f"verified with AMD's {chain.describe()} chain")
    return VALID


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(USAGE, file=sys.stderr)
        return BAD_INPUT
    try:
        return verify(Path(argv[1]), Path(argv[2]))
    except BadInput as error:
        print(f"error: {error}", file=sys.stderr)
        return BAD_INPUT


if __name__ == "__main__":
    sys.exit(main(sys.argv))
