"""The `revocation` check: AMD's revocation list for the chain, signed by the pinned root.

AMD publishes, per product line and key kind, a certificate revocation list
(CRL) that the line's root key (ARK) signs with RSASSA-PSS, SHA-384. The check
passes when that list is signed by the pinned ARK, is current, and lists
neither the chain's intermediate (ASK or ASVK) nor its leaf (VCEK or VLEK).
"""

from __future__ import annotations

import datetime
from collections.abc import Callable
from dataclasses import dataclass

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric import rsa

from .._internal import limits
from .._internal.certificates import common_name
from .._internal.untrusted import check_size, parsing
from ..checks import Check, Outcome
from .evidence import quiet_serial_warning
from .vocabulary import AMD_PSS, AMD_PSS_HASH

NAME = "revocation"

# A service sees one list per product line and key kind at a time, and few
# chips: what does not depend on `now` (the list's RSA-4096 signature, which
# costs more than verifying a report, and its entries) is judged once per
# list, root and certificates.
JUDGEMENT_CACHE_SIZE = 1024


def load_crl(data: bytes) -> x509.CertificateRevocationList:
    """A CRL from DER or PEM bytes of at most `limits.CRL_SIZE`; a `VerificationError` for anything else."""
    source = "revocation list"
    data = check_size(bytes(data), limits.CRL_SIZE, source, "revocation list")
    with parsing(source, "a CRL in DER or PEM"):
        if data.lstrip().startswith(b"-----BEGIN"):
            crl = x509.load_pem_x509_crl(data)
        else:
            crl = x509.load_der_x509_crl(data)
        # Parts are parsed when first read: a malformed one is refused here, as the input's fault, not in a check.
        crl.extensions, crl.issuer, crl.last_update_utc, crl.next_update_utc
        for entry in crl:
            entry.serial_number, entry.revocation_date_utc, entry.extensions
    return crl


def _when(moment: datetime.datetime) -> str:
    return moment.astimezone(datetime.UTC).strftime("%Y-%m-%d %H:%M:%S UTC")


def _label(certificate: x509.Certificate) -> tuple[str, int]:
    """How the check names a certificate, and its serial number (0 on AMD's VCEKs)."""
    quiet_serial_warning()
    serial = certificate.serial_number
    return f"{common_name(certificate)} (serial {serial:#x})", serial


def _number(crl: x509.CertificateRevocationList) -> str:
    try:
        return f" #{crl.extensions.get_extension_for_class(x509.CRLNumber).value.crl_number}"
    except x509.ExtensionNotFound:
        return ""


@dataclass(frozen=True)
class Judgement:
    """What a list says of a chain, whenever it is read."""

    crl: x509.CertificateRevocationList
    forged: str | None  # why the list is not the root's complete list: its signature, issuer or scope
    revoked: str | None  # which certificate the list revokes, and since when
    passed: str  # the detail when the list is current, genuine and revokes neither


def _judge(
    crl: x509.CertificateRevocationList,
    ark: x509.Certificate,
    intermediate: x509.Certificate,
    leaf: x509.Certificate | None,
) -> Judgement:
    root = common_name(ark)
    labels = [_label(c) for c in (intermediate, leaf) if c is not None]
    revoked = None
    for label, serial in labels:
        entry = crl.get_revoked_certificate_by_serial_number(serial)
        if entry is not None:
            since = _when(entry.revocation_date_utc)
            revoked = f"expected {label} not to be revoked; {root}'s list revokes it since {since}"
            break
    until = f", current until {_when(crl.next_update_utc)}" if crl.next_update_utc else ""
    passed = f"{root}'s list{_number(crl)}{until}, revokes neither " + " nor ".join(label for label, _ in labels)
    return Judgement(crl, _signature_failure(crl, ark) or _scope_failure(crl), revoked, passed)


def judged_lists(
    data: bytes, ark: x509.Certificate, intermediate: x509.Certificate, leaf: x509.Certificate | None
) -> Judgement:
    """What the list in `data` (DER or PEM) says of a chain (the verifier keeps it for the next report)."""
    return _judge(load_crl(data), ark, intermediate, leaf)


def check_revocation(
    crl: bytes | x509.CertificateRevocationList | None,
    *,
    ark: x509.Certificate,
    intermediate: x509.Certificate,
    leaf: x509.Certificate | None,
    now: datetime.datetime,
    grace: datetime.timedelta = datetime.timedelta(0),
    required: bool = False,
    judge: Callable[[bytes, x509.Certificate, x509.Certificate, x509.Certificate | None], Judgement] = judged_lists,
) -> Check:
    """The `revocation` check of a chain `leaf` <- `intermediate` <- `ark` at `now`.

    `ark` is the pinned root of the chain's product line. A list past its
    next update still passes within `grace` after it. Without a list the check
    is skipped, or fails when `required`. `judge` reads a list's bytes and judges it (cached by the caller).
    """
    if crl is None:
        if required:
            return Check(NAME, Outcome.FAIL, "expected a revocation list, which the policy requires; none was given")
        return Check(NAME, Outcome.SKIP, "no revocation list given (--crl FILE or --fetch)")
    if isinstance(crl, x509.CertificateRevocationList):
        judged = _judge(crl, ark, intermediate, leaf)
    else:
        judged = judge(bytes(crl), ark, intermediate, leaf)
    if now.tzinfo is None:
        now = now.replace(tzinfo=datetime.UTC)
    failure = judged.forged or _currency_failure(judged.crl, now, grace) or judged.revoked
    return Check(NAME, Outcome.FAIL, failure) if failure else Check(NAME, Outcome.PASS, f"at {_when(now)}, {judged.passed}")


def list_problem(
    crl: x509.CertificateRevocationList, ark: x509.Certificate, now: datetime.datetime,
    grace: datetime.timedelta = datetime.timedelta(0),
) -> str | None:
    """Why the list fails by itself at `now`, whatever chain it is read for: its signature by `ark`, its scope,
    its dates; None if it holds. Revoking a chain is what a genuine list is for, and no fault of the list."""
    return _signature_failure(crl, ark) or _scope_failure(crl) or _currency_failure(crl, now, grace)


_ROOT_PREFIX = "ARK-"


def _issuer_name(crl: x509.CertificateRevocationList) -> str:
    names = crl.issuer.get_attributes_for_oid(x509.NameOID.COMMON_NAME)
    return str(names[0].value) if names else crl.issuer.rfc4514_string()


def _signature_failure(crl: x509.CertificateRevocationList, ark: x509.Certificate) -> str | None:
    root = common_name(ark)
    key = ark.public_key()
    if not isinstance(key, rsa.RSAPublicKey):
        return f"expected {root} to hold an RSA key"
    # The algorithm is fixed here, not taken from the list: a list that names
    # another one is not AMD's.
    try:
        key.verify(crl.signature, crl.tbs_certlist_bytes, AMD_PSS, AMD_PSS_HASH)
    except InvalidSignature:
        issuer = _issuer_name(crl)
        if crl.issuer != ark.subject and issuer.startswith(_ROOT_PREFIX):
            # Named, not verified: the list fails either way, and the user learns which list to fetch instead.
            return (f"expected {root}'s list; this one is issued by {issuer}, the root of another product line "
                    f"({issuer.removeprefix(_ROOT_PREFIX)})")
        return f"expected a list signed by {root} (RSASSA-PSS, SHA-384); its signature does not verify"
    if crl.issuer != ark.subject:
        return f"expected a list issued by {root}; this one is issued by {crl.issuer.rfc4514_string()}"
    return None


def _scope_failure(crl: x509.CertificateRevocationList) -> str | None:
    """Why the list may not be read as every revocation of its root, or None.

    A delta list names only the changes since a base list, a list with an
    issuing distribution point that narrows it covers only some certificates
    or reasons, and a critical extension that is not understood may change
    what the list means: absence from any of them proves nothing (RFC 5280).
    """
    for extension in crl.extensions:
        value = extension.value
        if isinstance(value, x509.DeltaCRLIndicator):
            return f"expected a complete list; this one is a delta list on list #{value.crl_number}"
        if isinstance(value, x509.IssuingDistributionPoint) and (
            value.only_contains_user_certs or value.only_contains_ca_certs or value.only_contains_attribute_certs
            or value.only_some_reasons is not None or value.indirect_crl
        ):
            return "expected a list of every certificate its root revokes; its issuing distribution point narrows it"
        if extension.critical and not isinstance(
            value, x509.CRLNumber | x509.AuthorityKeyIdentifier | x509.IssuingDistributionPoint
        ):
            return f"expected a list without unknown critical extensions; this one has {extension.oid.dotted_string}"
    return None


def _currency_failure(
    crl: x509.CertificateRevocationList, now: datetime.datetime, grace: datetime.timedelta
) -> str | None:
    this_update, next_update = crl.last_update_utc, crl.next_update_utc
    if next_update is None:
        return "expected a list with a next update; this one names none, so it is never current"
    if now < this_update:
        return f"expected a list issued by {_when(now)}; this one is from {_when(this_update)}"
    if now > _later(next_update, grace):
        allowed = f" (with a grace period of {grace.days} days)" if grace else ""
        return f"expected a list current at {_when(now)}{allowed}; this one's next update was {_when(next_update)}"
    return None


def _later(moment: datetime.datetime, delay: datetime.timedelta) -> datetime.datetime:
    """`moment` + `delay`, or the last representable instant where that lies past the year 9999."""
    try:
        return moment + delay
    except OverflowError:
        return datetime.datetime.max.replace(tzinfo=datetime.UTC)
