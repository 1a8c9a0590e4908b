"""Verifying a report: AMD's chain to the key that signed it, the signature, and what the report states."""

from __future__ import annotations

import datetime
from collections.abc import Sequence
from dataclasses import dataclass

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from .certificate import LeafFacts, leaf_facts
from .chains import Chain, TrustStore, der, trust_store
from .checks import Check
from .errors import VerificationError
from .evidence import LEAF_NAMES, certificates_from_table, common_name, find_leaf, load_certificates, read_report
from .policy import Policy
from .report import Report
from .revocation import check_revocation
from .urls import vcek_url

SIGNED_END = 0x2A0  # the signature covers bytes 0x000-0x29F
SIG_R = slice(0x2A0, 0x2E8)  # r and s: 72 bytes each, little-endian
SIG_S = slice(0x2E8, 0x330)
ECDSA_SHA384 = ec.ECDSA(hashes.SHA384())

SIGNATURE_ALGORITHMS = {1: "ECDSA P-384 with SHA-384"}
KEY_KINDS = {0: "VCEK", 1: "VLEK"}  # the signing-key field; 7 means none
TURIN_HW_ID_SIZE = 8


@dataclass(frozen=True)
class Verification:
    """The outcome of `verify`: every check in order, and the verdict."""

    verified: bool
    report: Report
    checks: tuple[Check, ...]
    product: str | None  # from the report's CPUID; for version 2, from the chain
    key_kind: str | None  # "VCEK" or "VLEK", as the report's signing-key field names it
    kds_url: str | None  # where AMD's KDS serves the report's VCEK, built from the report

    @property
    def failed(self) -> tuple[Check, ...]:
        return tuple(check for check in self.checks if check.failed)

    def check(self, name: str) -> Check:
        """The check of this name; KeyError if it was not made."""
        for check in self.checks:
            if check.name == name:
                return check
        raise KeyError(name)

    def to_json(self) -> dict[str, object]:
        return {
            "verified": self.verified,
            "checks": [check.to_json() for check in self.checks],
            "product": self.product,
            "key_kind": self.key_kind,
            "kds_url": self.kds_url,
            "report": self.report.to_json(),
        }


def verify(
    report: bytes | Report,
    certificate: bytes | x509.Certificate | None = None,
    *,
    certificate_table: bytes | None = None,
    chains: bytes | Sequence[bytes] | None = None,
    policy: Policy | None = None,
    now: datetime.datetime | None = None,
    crl: bytes | None = None,
) -> Verification:
    """Verifies `report` (its raw 1184 bytes) against the VCEK or VLEK that signed it.

    `certificate` is that VCEK or VLEK in PEM or DER, or a PEM bundle holding
    it (in any order with its intermediate and root); `certificate_table` a
    certificate table as the extended report returns it. Either may be given,
    or both. Intermediates and roots in them are checked against the pinned
    ones, never trusted: AMD's bundled chains, or `chains` (PEM, each an
    intermediate then its root). `policy` judges what the report states
    (default: `Policy()`, which refuses a guest that allows debugging); `now`
    (timezone-aware) is when the certificates must be valid, by default the
    current time. `crl` is AMD's revocation list (DER or PEM) of the chain's
    product line and key kind, which `revocation` checks against the pinned
    root; without it that check is skipped, unless the policy sets
    `require_revocation`.

    Raises `VerificationError` for input that cannot be verified at all.
    """
    decoded = read_report(report)
    policy = policy if policy is not None else Policy()
    now = _instant(now)
    store = trust_store(chains)
    key_kind = KEY_KINDS.get(decoded.signing_key)
    leaf, others = find_leaf(_certificates(certificate, certificate_table), key_kind)
    facts = leaf_facts(der(leaf))
    match = store.match(der(leaf), key_kind)
    chain = match.chain
    product = decoded.product or (chain.product if chain is not None else None)

    checks = [
        _report_check(decoded),
        _chain_check(match.detail, chain, others, store),
        _validity_check(facts, chain, now),
        _key_check(decoded, facts, key_kind, product),
        _signature_check(decoded, facts),
        _chip_check(decoded, facts, key_kind, product),
        _tcb_check(decoded, facts),
        _product_check(decoded, chain),
        _revocation_check(crl, chain, facts, policy, now),
        *policy.evaluate(decoded, product=product, key_kind=key_kind),
    ]
    return Verification(
        verified=not any(check.failed for check in checks),
        report=decoded,
        checks=tuple(checks),
        product=product,
        key_kind=key_kind,
        kds_url=_kds_url(decoded, product, key_kind),
    )


def _instant(now: datetime.datetime | None) -> datetime.datetime:
    if now is None:
        return datetime.datetime.now(datetime.UTC)
    if now.tzinfo is None or now.utcoffset() is None:
        raise VerificationError("now: expected a timezone-aware datetime, such as one with tzinfo=datetime.UTC")
    return now


def _certificates(
    certificate: bytes | x509.Certificate | None, certificate_table: bytes | None
) -> list[x509.Certificate]:
    if certificate is None and certificate_table is None:
        raise VerificationError("no certificate: give the VCEK or VLEK, or the certificate table that holds it")
    found: list[x509.Certificate] = []
    if isinstance(certificate, x509.Certificate):
        found.append(certificate)
    elif certificate is not None:
        found += load_certificates(certificate)
    if certificate_table is not None:
        found += certificates_from_table(certificate_table)
    return found


def _report_check(report: Report) -> Check:
    problems = []
    if report.signature_algo not in SIGNATURE_ALGORITHMS:
        problems.append(f"signature algorithm {report.signature_algo} (expected 1, ECDSA P-384 with SHA-384)")
    if report.signing_key not in KEY_KINDS:
        problems.append(f"signing key {report.signing_key} (expected 0, a VCEK, or 1, a VLEK)")
    if problems:
        return Check("report", "fail", "the report names " + " and ".join(problems))
    return Check("report", "pass", f"version {report.version}, signed by a {KEY_KINDS[report.signing_key]} "
                                   f"with {SIGNATURE_ALGORITHMS[report.signature_algo]}")


def _chain_check(detail: str, chain: Chain | None, others: Sequence[x509.Certificate], store: TrustStore) -> Check:
    if chain is None:
        return Check("chain", "fail", detail)
    # The input's intermediates and roots are never trusted; any that differs
    # from the pinned ones of the chain found means the input is not what it claims.
    pinned = {der(chain.intermediate), der(chain.root)}
    for certificate in others:
        if der(certificate) not in pinned:
            where = "is not pinned" if store.stranger(certificate) else "belongs to another pinned chain"
            return Check("chain", "fail", (
                f"expected the given {common_name(certificate)} to be the pinned {chain.names} of the "
                f"{chain.product} {chain.key_kind} chain; it {where}"
            ))
    return Check("chain", "pass", detail)


def _validity_check(facts: LeafFacts, chain: Chain | None, now: datetime.datetime) -> Check:
    certificates = [facts.certificate] + ([chain.intermediate, chain.root] if chain is not None else [])
    at = now.astimezone(datetime.UTC).isoformat(timespec="seconds")
    for certificate in certificates:
        start, end = certificate.not_valid_before_utc, certificate.not_valid_after_utc
        if not start <= now <= end:
            return Check("validity", "fail", (
                f"expected {common_name(certificate)} to be valid at {at}; it is valid from "
                f"{start.isoformat(timespec='seconds')} to {end.isoformat(timespec='seconds')}"
            ))
    names = ", ".join(common_name(c) for c in certificates)
    return Check("validity", "pass", f"{names} valid at {at}")


def _key_check(report: Report, facts: LeafFacts, key_kind: str | None, product: str | None) -> Check:
    problems = []
    if facts.version != x509.Version.v3:
        problems.append(f"version 3, not {facts.version.name}")
    # Where the report names no valid key kind, the report check fails; the
    # certificate is then held to the kind its own name gives.
    expected_name = f"SEV-{key_kind}" if key_kind else None
    if expected_name is not None and facts.common_name != expected_name:
        problems.append(f"subject {expected_name}, as the report's signing-key field says, not {facts.common_name}")
    elif expected_name is None and facts.common_name not in LEAF_NAMES:
        problems.append(f"subject SEV-VCEK or SEV-VLEK, not {facts.common_name}")
    if facts.key is None:
        problems.append(f"an ECDSA P-384 key, not {facts.key_description}")
    if facts.product_name is None:
        problems.append("a product-name extension")
    elif product is not None and facts.product != product:
        problems.append(f"the product name of {product}, as the report says, not {facts.product_name}")
    kind = key_kind or LEAF_NAMES.get(facts.common_name)
    if kind == "VCEK" and facts.hw_id is None:
        problems.append("a hwID extension, as a VCEK has")
    elif kind == "VLEK" and facts.hw_id is not None:
        problems.append("no hwID extension, as a VLEK has none")
    if problems:
        return Check("key", "fail", "expected " + "; ".join(problems))
    return Check("key", "pass", f"{facts.common_name}, version 3, ECDSA P-384, product {facts.product_name}")


def _signature_check(report: Report, facts: LeafFacts) -> Check:
    if facts.key is None:
        return Check("signature", "skip", f"the certificate holds {facts.key_description}, not an ECDSA P-384 key")
    raw = report.raw
    r = int.from_bytes(raw[SIG_R], "little")
    s = int.from_bytes(raw[SIG_S], "little")
    try:
        facts.key.verify(encode_dss_signature(r, s), raw[:SIGNED_END], ECDSA_SHA384)
    except InvalidSignature:
        return Check("signature", "fail", (
            "expected the signature at 0x2a0 to verify over bytes 0x000-0x29f as given, "
            f"with the key of {facts.common_name}; it does not"
        ))
    return Check("signature", "pass", f"ECDSA P-384 with SHA-384 over bytes 0x000-0x29f, by {facts.common_name}")


def _chip_check(report: Report, facts: LeafFacts, key_kind: str | None, product: str | None) -> Check:
    chip_id = report.chip_id
    if key_kind == "VLEK":
        return Check("chip", "skip", "a VLEK is not bound to one chip")
    if report.mask_chip_id:
        return Check("chip", "skip", "the host masked the chip id (MASK_CHIP_ID): the report names no chip")
    hw_id = facts.hw_id
    if hw_id is None:  # the key check fails for it
        return Check("chip", "skip", "the VCEK has no hwID to compare with the chip id")
    # Turin VCEKs carry the first 8 bytes of the chip id; the rest of it is zero there.
    size = TURIN_HW_ID_SIZE if product == "Turin" else len(chip_id)
    zeros = " followed by zeros" if size < len(chip_id) else ""
    if len(hw_id) != size or chip_id[:size] != hw_id or any(chip_id[size:]):
        return Check("chip", "fail", f"expected the chip id to be the certificate's hwID {hw_id.hex()}{zeros}")
    return Check("chip", "pass", f"the chip id is the certificate's hwID {hw_id.hex()}{zeros}")


def _tcb_check(report: Report, facts: LeafFacts) -> Check:
    reported = report.reported_tcb.spls()
    certified = {name: facts.spls.get(name) for name in reported}
    as_text = " ".join(f"{name}={value}" for name, value in reported.items())
    if certified != reported:
        found = " ".join(f"{name}={'absent' if value is None else value}" for name, value in certified.items())
        return Check("tcb", "fail", f"expected the certificate's patch levels to be the reported TCB {as_text}; "
                                    f"they are {found}")
    return Check("tcb", "pass", f"the certificate's patch levels are the reported TCB {as_text}")


def _product_check(report: Report, chain: Chain | None) -> Check:
    if report.product is None:
        return Check("product", "skip", "a version-2 report carries no CPUID; the chain alone names the product line")
    if chain is None:
        return Check("product", "skip", "no pinned chain signs the certificate")
    cpuid = report.cpuid
    assert cpuid is not None  # a report with a product has a CPUID
    said = f"family {cpuid.family:#04x} model {cpuid.model:#04x}"
    if chain.product != report.product:
        return Check("product", "fail", (
            f"expected the CPUID to name {chain.product}, the chain's product line; {said} is {report.product}"
        ))
    return Check("product", "pass", f"{report.product}: the CPUID ({said}) and the chain agree")


def _revocation_check(
    crl: bytes | None, chain: Chain | None, facts: LeafFacts, policy: Policy, now: datetime.datetime
) -> Check:
    required = bool(policy.require_revocation)
    if chain is None:
        # Without a pinned root there is nothing to check a list's signature against.
        return Check("revocation", "fail" if required else "skip", "no pinned chain signs the certificate")
    return check_revocation(
        crl, ark=chain.root, intermediate=chain.intermediate, leaf=facts.certificate, now=now,
        grace=datetime.timedelta(days=policy.crl_grace_period or 0), required=required,
    )


def _kds_url(report: Report, product: str | None, key_kind: str | None) -> str | None:
    """Where AMD's KDS serves the VCEK of the report's chip at its reported TCB.

    Built from the report alone; None for a VLEK (not served per chip), a
    masked chip id, or a version-2 report whose chain is unknown.
    """
    if key_kind != "VCEK" or product is None or not any(report.chip_id):
        return None
    return vcek_url(product, report.chip_id, report.reported_tcb.spls())
