"""Verifying a report: AMD's chain to the key that signed it, the signature, and what the report states."""

from __future__ import annotations

import datetime
import functools
from collections.abc import Sequence
from dataclasses import dataclass

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from .sevsnp.certificate import LeafFacts, leaf_facts
from .sevsnp.chains import Chain, TrustStore, der, forget_pinned, trust_store
from .checks import Check
from .errors import VerificationError
from .sevsnp.evidence import (
    LEAF_NAMES,
    certificates_from_table,
    common_name,
    find_leaf,
    load_certificates,
    parse_certificates,
    read_report,
)
from .policy import Policy
from .sevsnp.report import Cpuid, Report, TcbVersion
from .sevsnp.revocation import check_revocation, judged_lists
from .sevsnp.urls import vcek_url

SIGNED_END = 0x2A0  # the signature covers bytes 0x000-0x29F
SIG_R = slice(0x2A0, 0x2E8)  # r and s: 72 bytes each, little-endian
SIG_S = slice(0x2E8, 0x330)
ECDSA_SHA384 = ec.ECDSA(hashes.SHA384())

SIGNATURE_ALGORITHMS = {1: "ECDSA P-384 with SHA-384"}
KEY_KINDS = {0: "VCEK", 1: "VLEK"}  # the signing-key field; 7 means none
TURIN_HW_ID_SIZE = 8
# Checks that must have passed, not merely not failed: a skip of any of them
# means the report was not verified, whatever the other checks say.
MUST_PASS = frozenset({"report", "chain", "validity", "key", "signature", "tcb"})

# Verified evidence is kept by its exact bytes; the bound keeps memory flat
# when every report comes with another certificate.
EVIDENCE_CACHE_SIZE = 1024


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

    `certificate` is that VCEK or VLEK in PEM or DER (or loaded, an
    `x509.Certificate`), or a PEM bundle holding it (in any order with its
    intermediate and root); `certificate_table` a
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
    policy = policy if policy is not None else _default_policy()
    now = _instant(now)
    store = trust_store(chains)
    key_kind = KEY_KINDS.get(decoded.signing_key)
    evidence = _evidence(_der_or_bytes(certificate), _bytes_or_none(certificate_table), key_kind)
    chain, chain_check = _chain_check(store, evidence, key_kind)
    facts = evidence.facts
    product = decoded.product or (chain.product if chain is not None else None)

    checks = [
        _report_check(decoded.version, decoded.signature_algo, decoded.signing_key),
        chain_check,
        _validity_check(facts, chain, now),
        _key_check(facts, key_kind, product),
        _signature_check(decoded, facts),
        _chip_check(decoded.chip_id, decoded.mask_chip_id, facts, key_kind, product),
        _tcb_check(facts, decoded.reported_tcb),
        _product_check(decoded.product, decoded.cpuid, chain),
        _revocation_check(crl, chain, facts, policy, now),
        *policy.evaluate(decoded, product=product, key_kind=key_kind),
    ]
    return Verification(
        verified=all(check.passed if check.name in MUST_PASS else not check.failed for check in checks),
        report=decoded,
        checks=tuple(checks),
        product=product,
        key_kind=key_kind,
        kds_url=_kds_url(decoded.chip_id, decoded.reported_tcb, product, key_kind),
    )


@functools.cache
def _default_policy() -> Policy:
    """`Policy()`, made once: policies are immutable."""
    return Policy()


def clear_caches() -> None:
    """Forgets every certificate loaded and every chain verified so far (AMD's pinned chains stay loaded)."""
    for cache in (_evidence, _chain_check, _validity_periods, _valid, _key_check, _chip_check, _tcb_check,
                  _product_check, _report_check, _kds_url, parse_certificates, judged_lists):
        cache.cache_clear()
    forget_pinned()


def _instant(now: datetime.datetime | None) -> datetime.datetime:
    if now is None:
        return datetime.datetime.now(datetime.UTC)
    if not isinstance(now, datetime.datetime) or now.tzinfo is None or now.utcoffset() is None:
        raise VerificationError("now: expected a timezone-aware datetime, such as one with tzinfo=datetime.UTC")
    # In UTC, so that every check compares and names the same instant.
    try:
        return now.astimezone(datetime.UTC)
    except OverflowError:
        raise VerificationError(f"now: {now.isoformat()} lies outside the years 1 to 9999 in UTC") from None


def _der_or_bytes(certificate: bytes | x509.Certificate | None) -> bytes | None:
    if isinstance(certificate, x509.Certificate):
        return der(certificate)
    return _bytes_or_none(certificate)


def _bytes_or_none(data: bytes | None) -> bytes | None:
    if data is None or isinstance(data, bytes):
        return data
    if isinstance(data, bytearray | memoryview):
        return bytes(data)
    raise VerificationError(f"expected certificates as bytes, got {type(data).__name__}")


@dataclass(frozen=True, eq=False)
class _Evidence:
    """The VCEK or VLEK found in the caller's certificates, and the other certificates given.

    Made once per distinct input and compared by identity, like the facts it holds.
    """

    facts: LeafFacts
    others: tuple[x509.Certificate, ...]


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _evidence(certificate: bytes | None, certificate_table: bytes | None, key_kind: str | None) -> _Evidence:
    if certificate is None and certificate_table is None:
        raise VerificationError("no certificate: give the VCEK or VLEK, or the certificate table that holds it")
    found: list[x509.Certificate] = []
    if certificate is not None:
        found += load_certificates(certificate)
    if certificate_table is not None:
        found += certificates_from_table(certificate_table)
    leaf, name, others = find_leaf(found, key_kind)
    return _Evidence(leaf_facts(leaf, name), others)


@functools.lru_cache(maxsize=64)  # bounded: the fields hold whatever the input holds
def _report_check(version: int, signature_algo: int, signing_key: int) -> Check:
    problems = []
    if signature_algo not in SIGNATURE_ALGORITHMS:
        problems.append(f"signature algorithm {signature_algo} (expected 1, ECDSA P-384 with SHA-384)")
    if signing_key not in KEY_KINDS:
        problems.append(f"signing key {signing_key} (expected 0, a VCEK, or 1, a VLEK)")
    if problems:
        return Check("report", "fail", "the report names " + " and ".join(problems))
    return Check("report", "pass", f"version {version}, signed by a {KEY_KINDS[signing_key]} "
                                   f"with {SIGNATURE_ALGORITHMS[signature_algo]}")


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _chain_check(store: TrustStore, evidence: _Evidence, key_kind: str | None) -> tuple[Chain | None, Check]:
    facts = evidence.facts
    match = store.match(facts.certificate, facts.common_name, key_kind)
    chain = match.chain
    if chain is None:
        return None, Check("chain", "fail", match.detail)
    # The input's intermediates and roots are never trusted; any that differs
    # from the pinned ones of the chain found means the input is not what it claims.
    for certificate in evidence.others:
        if der(certificate) not in chain.ders:
            where = "is not pinned" if store.stranger(certificate) else "belongs to another pinned chain"
            return None, Check("chain", "fail", (
                f"expected the given {common_name(certificate)} to be the pinned {chain.names} of the "
                f"{chain.product} {chain.key_kind} chain; it {where}"
            ))
    return chain, Check("chain", "pass", match.detail)


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _validity_periods(
    facts: LeafFacts, chain: Chain | None
) -> tuple[tuple[str, datetime.datetime, datetime.datetime], ...]:
    """Each certificate of the chain, leaf first: its name and the start and end of its validity."""
    leaf = facts.certificate
    periods = ((facts.common_name, leaf.not_valid_before_utc, leaf.not_valid_after_utc),)
    return periods + chain.periods if chain is not None else periods


def _validity_check(facts: LeafFacts, chain: Chain | None, now: datetime.datetime) -> Check:
    periods = _validity_periods(facts, chain)
    for name, start, end in periods:
        if not start <= now <= end:
            return Check("validity", "fail", (
                f"expected {name} to be valid at {_second(now)}; it is valid from "
                f"{start.isoformat(timespec='seconds')} to {end.isoformat(timespec='seconds')}"
            ))
    return _valid(facts, chain, int(now.timestamp()))


@functools.lru_cache(maxsize=16)  # the detail changes once a second
def _valid(facts: LeafFacts, chain: Chain | None, second: int) -> Check:
    names = ", ".join(name for name, _, _ in _validity_periods(facts, chain))
    at = _second(datetime.datetime.fromtimestamp(second, datetime.UTC))
    return Check("validity", "pass", f"{names} valid at {at}")


def _second(now: datetime.datetime) -> str:
    return now.astimezone(datetime.UTC).isoformat(timespec="seconds")


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _key_check(facts: LeafFacts, key_kind: str | None, product: str | None) -> Check:
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


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _chip_check(
    chip_id: bytes, masked: bool, facts: LeafFacts, key_kind: str | None, product: str | None
) -> Check:
    if key_kind == "VLEK":
        return Check("chip", "skip", "a VLEK is not bound to one chip")
    if masked:
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


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _tcb_check(facts: LeafFacts, tcb: TcbVersion) -> Check:
    reported = tcb.spls()
    certified = {name: facts.spls.get(name) for name in reported}
    as_text = " ".join(f"{name}={value}" for name, value in reported.items())
    if certified != reported:
        found = " ".join(f"{name}={'absent' if value is None else value}" for name, value in certified.items())
        return Check("tcb", "fail", f"expected the certificate's patch levels to be the reported TCB {as_text}; "
                                    f"they are {found}")
    return Check("tcb", "pass", f"the certificate's patch levels are the reported TCB {as_text}")


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _product_check(product: str | None, cpuid: Cpuid | None, chain: Chain | None) -> Check:
    if product is None or cpuid is None:
        return Check("product", "skip", "a version-2 report carries no CPUID; the chain alone names the product line")
    if chain is None:
        return Check("product", "skip", "no pinned chain signs the certificate")
    said = f"family {cpuid.family:#04x} model {cpuid.model:#04x}"
    if chain.product != product:
        return Check("product", "fail", (
            f"expected the CPUID to name {chain.product}, the chain's product line; {said} is {product}"
        ))
    return Check("product", "pass", f"{product}: the CPUID ({said}) and the chain agree")


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


@functools.lru_cache(maxsize=EVIDENCE_CACHE_SIZE)
def _kds_url(chip_id: bytes, tcb: TcbVersion, product: str | None, key_kind: str | None) -> str | None:
    """Where AMD's KDS serves the VCEK of the report's chip at its reported TCB.

    Built from the report alone; None for a VLEK (not served per chip), a
    masked chip id, or a version-2 report whose chain is unknown.
    """
    if key_kind != "VCEK" or product is None or not any(chip_id):
        return None
    return vcek_url(product, chip_id, tcb.spls())
