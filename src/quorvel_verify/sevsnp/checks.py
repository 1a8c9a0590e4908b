"""SEV-SNP's evidence checks: AMD's chain to the key that signed the report, the signature, and the report's
agreement with the certificate.

Each check is a function of what it judges and nothing else, so that the
platform (`platform.py`) can keep the result of those that depend on the
certificate alone for the next report signed by the same key.
"""

from __future__ import annotations

import datetime
from collections.abc import Callable
from dataclasses import dataclass

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from .._internal.certificates import common_name, der
from .._internal.platform import Revocation
from ..checks import Check, Outcome
from .certificate import LeafFacts
from .chains import Chain, TrustStore
from .evidence import LEAF_NAMES
from .report import KEY_KINDS, SIGNATURE_ALGO_ECDSA_P384_SHA384, Cpuid, Report, TcbVersion
from .revocation import Judgement, check_revocation
from .vocabulary import TURIN_HW_ID_SIZE, KeyKind, ProductLine

PASS, FAIL, SKIP = Outcome.PASS, Outcome.FAIL, Outcome.SKIP
ECDSA_SHA384 = ec.ECDSA(hashes.SHA384())
SIGNATURE_ALGORITHMS = {SIGNATURE_ALGO_ECDSA_P384_SHA384: "ECDSA P-384 with SHA-384"}

# In the order they are made.
NAMES = ("report", "chain", "validity", "key", "signature", "chip", "tcb", "product", "revocation")
# Checks that must have passed, not merely not failed: a skip of any of them
# means the report was not verified, whatever the other checks say.
MUST_PASS = frozenset({"report", "chain", "validity", "key", "signature", "tcb"})
# Why the checks that need the pinned chain are not made: a pinned chain may sign the certificate and still not be
# the one the report calls for (a VCEK given for a VLEK-signed report), so this names the chain check's verdict.
NO_CHAIN = "no pinned chain of the report's kind of key verified the certificate (see chain)"


@dataclass(frozen=True, eq=False)
class GivenCertificates:
    """The VCEK or VLEK found in the caller's certificates, and the other certificates given.

    Made once per distinct input and compared by identity, like the facts it holds.
    """

    facts: LeafFacts
    others: tuple[x509.Certificate, ...]


def report_check(version: int, signature_algo: int, signing_key: int) -> Check:
    """`report`: the report names an algorithm and a key kind that the verifier knows."""
    problems = []
    if signature_algo not in SIGNATURE_ALGORITHMS:
        problems.append(f"signature algorithm {signature_algo} (expected 1, ECDSA P-384 with SHA-384)")
    key_kind = KEY_KINDS.get(signing_key)
    if key_kind is None:
        problems.append(f"signing key {signing_key} (expected 0, a VCEK, or 1, a VLEK)")
    if problems or key_kind is None:
        return Check("report", FAIL, "the report names " + " and ".join(problems))
    return Check("report", PASS, f"version {version}, signed by a {key_kind} "
                                 f"with {SIGNATURE_ALGORITHMS[signature_algo]}")


def chain_check(store: TrustStore, evidence: GivenCertificates, key_kind: KeyKind | None) -> tuple[Chain | None, Check]:
    """`chain`: a pinned intermediate signed the leaf, and every other certificate given is that chain's."""
    facts = evidence.facts
    match = store.match(facts.certificate, facts.common_name, key_kind)
    chain = match.chain
    if chain is None:
        return None, Check("chain", FAIL, match.detail)
    # The input's intermediates and roots are never trusted; any that differs
    # from the pinned ones of the chain found means the input is not what it claims.
    for certificate in evidence.others:
        if der(certificate) not in chain.ders:
            where = "is not pinned" if store.stranger(certificate) else "belongs to another pinned chain"
            return None, Check("chain", FAIL, (
                f"expected the given {common_name(certificate)} to be the pinned {chain.names} of the "
                f"{chain.product} {chain.key_kind} chain; it {where}"
            ))
    return chain, Check("chain", PASS, match.detail)


Periods = tuple[tuple[str, datetime.datetime, datetime.datetime], ...]


def validity_periods(facts: LeafFacts, chain: Chain | None) -> Periods:
    """Each certificate of the chain, leaf first: its name and the start and end of its validity."""
    leaf = facts.certificate
    periods = ((facts.common_name, leaf.not_valid_before_utc, leaf.not_valid_after_utc),)
    return periods + chain.periods if chain is not None else periods


def validity_failure(periods: Periods, now: datetime.datetime) -> Check | None:
    """`validity` failed: the first certificate not valid at `now`; None if each is."""
    for name, start, end in periods:
        if not start <= now <= end:
            return Check("validity", FAIL, (
                f"expected {name} to be valid at {second_of(now)}; it is valid from "
                f"{start.isoformat(timespec='seconds')} to {end.isoformat(timespec='seconds')}"
            ))
    return None


def validity_passed(periods: Periods, second: int) -> Check:
    """`validity` passed at the instant `second` (a POSIX timestamp)."""
    names = ", ".join(name for name, _, _ in periods)
    at = second_of(datetime.datetime.fromtimestamp(second, datetime.UTC))
    return Check("validity", PASS, f"{names} valid at {at}")


def second_of(now: datetime.datetime) -> str:
    """`now` in UTC, to the second, as details name instants."""
    return now.astimezone(datetime.UTC).isoformat(timespec="seconds")


def key_check(facts: LeafFacts, key_kind: KeyKind | None, product: ProductLine | None) -> Check:
    """`key`: the leaf is the kind of certificate the report names, of its product line."""
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
    if kind == KeyKind.VCEK and facts.hw_id is None:
        problems.append("a hwID extension, as a VCEK has")
    elif kind == KeyKind.VLEK and facts.hw_id is not None:
        problems.append("no hwID extension, as a VLEK has none")
    if facts.authority:
        problems.append(f"a leaf that signs no certificates, not one with {' and '.join(facts.authority)}")
    if facts.unknown_critical:
        problems.append(f"no critical extension unknown to the verifier, not {', '.join(facts.unknown_critical)}")
    if problems:
        return Check("key", FAIL, "expected " + "; ".join(problems))
    return Check("key", PASS, f"{facts.common_name}, version 3, ECDSA P-384, product {facts.product_name}")


def signature_check(report: Report, facts: LeafFacts) -> Check:
    """`signature`: the leaf's key signed bytes 0x000-0x29F of the report as given."""
    if facts.key is None:
        return Check("signature", SKIP, f"the certificate holds {facts.key_description}, not an ECDSA P-384 key")
    r = int.from_bytes(report.signature_r, "little")
    s = int.from_bytes(report.signature_s, "little")
    try:
        facts.key.verify(encode_dss_signature(r, s), report.signed_bytes, ECDSA_SHA384)
    except InvalidSignature:
        return Check("signature", FAIL, (
            "expected the signature at 0x2a0 to verify over bytes 0x000-0x29f as given, "
            f"with the key of {facts.common_name}; it does not"
        ))
    return Check("signature", PASS, f"ECDSA P-384 with SHA-384 over bytes 0x000-0x29f, by {facts.common_name}")


def chip_check(
    chip_id: bytes, masked: bool, facts: LeafFacts, key_kind: KeyKind | None, product: ProductLine | None
) -> Check:
    """`chip`: a VCEK's hwID is the report's chip id."""
    if key_kind == KeyKind.VLEK:
        return Check("chip", SKIP, "a VLEK is not bound to one chip")
    if masked:
        return Check("chip", SKIP, "the host masked the chip id (MASK_CHIP_ID): the report names no chip")
    hw_id = facts.hw_id
    if hw_id is None:  # the key check fails for it
        return Check("chip", SKIP, "the certificate has no hwID to compare with the chip id")
    size = TURIN_HW_ID_SIZE if product == ProductLine.TURIN else len(chip_id)
    zeros = " followed by zeros" if size < len(chip_id) else ""
    if len(hw_id) != size or chip_id[:size] != hw_id or any(chip_id[size:]):
        return Check("chip", FAIL, f"expected the chip id to be the certificate's hwID {hw_id.hex()}{zeros}")
    return Check("chip", PASS, f"the chip id is the certificate's hwID {hw_id.hex()}{zeros}")


def tcb_check(facts: LeafFacts, tcb: TcbVersion) -> Check:
    """`tcb`: the leaf certifies the patch levels of the reported TCB."""
    reported = tcb.spls()
    certified = {name: facts.spls.get(name) for name in reported}
    as_text = " ".join(f"{name}={value}" for name, value in reported.items())
    if certified != reported:
        found = " ".join(f"{name}={'absent' if value is None else value}" for name, value in certified.items())
        # Each component on its own, so that a reader sees which one differs without comparing the lists.
        differing = "; ".join(
            f"{name} is {'absent' if certified[name] is None else certified[name]}, needs {value}"
            for name, value in reported.items() if certified[name] != value
        )  # fmt: skip
        return Check("tcb", FAIL, f"expected the certificate's patch levels to be the reported TCB {as_text}; "
                                  f"they are {found} (in the certificate: {differing})")
    return Check("tcb", PASS, f"the certificate's patch levels are the reported TCB {as_text}")


def product_check(product: ProductLine | None, cpuid: Cpuid | None, chain: Chain | None) -> Check:
    """`product`: the report's CPUID names the product line of the chain."""
    if product is None or cpuid is None:
        return Check("product", SKIP, "a version-2 report carries no CPUID; the chain alone names the product line")
    if chain is None:
        return Check("product", SKIP, NO_CHAIN)
    said = f"family {cpuid.family:#04x} model {cpuid.model:#04x}"
    if chain.product != product:
        return Check("product", FAIL, (
            f"expected the CPUID to name {chain.product}, the chain's product line; {said} is {product}"
        ))
    return Check("product", PASS, f"{product}: the CPUID ({said}) and the chain agree")


def revocation_check(
    crl: bytes | None, chain: Chain | None, facts: LeafFacts, revocation: Revocation, now: datetime.datetime,
    judge: Callable[[bytes, x509.Certificate, x509.Certificate, x509.Certificate | None], Judgement],
    unavailable: str | None = None,
) -> Check:
    """`revocation`: the chain's revocation list, signed by its pinned root, revokes neither the intermediate
    nor the leaf; `judge` reads a list and what it says of a chain (the platform's cache of them).
    `unavailable` says why no list came where one was sought: the check then skips naming it, as it does
    without a list, or fails where one is required (by default, SEV-SNP requires none)."""
    required = bool(revocation.required)
    if chain is None:
        # Without a pinned root there is nothing to check a list's signature against.
        return Check("revocation", FAIL if required else SKIP, NO_CHAIN)
    if crl is None and unavailable is not None:
        if required:
            return Check("revocation", FAIL, f"expected a revocation list, which the policy requires; none could "
                                             f"be had: {unavailable}")
        return Check("revocation", SKIP, f"no revocation list could be had: {unavailable}")
    return check_revocation(
        crl, ark=chain.root, intermediate=chain.intermediate, leaf=facts.certificate, now=now,
        grace=datetime.timedelta(days=revocation.grace_days), required=required,
        judge=judge,
    )
