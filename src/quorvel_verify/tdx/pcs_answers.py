"""Where Intel's Provisioning Certification Service (API v4) serves TDX collateral, and how its answers are read.

The PCS serves the TCB info of a platform model (by FMSPC), the TD quoting
enclave's identity and the CRL of each PCK CA, each with the issuer chain of
its signer in a response header (URL-encoded PEM). The root CA's CRL is not a
PCS path: Intel publishes it on its certificate host, and a caching service
or mirror serves it under its own address (`root_ca_crl_url`).

Intel's caching service (PCCS) answers the same paths, with differences that
are read alike: some issuer chain headers carry other names (the older
`SGX-TCB-Info-Issuer-Chain`, `Enclave-Identity-Issuer-Chain`), its root CA
CRL path answers in hex where Intel's host answers in DER, and newer ones
serve that CRL by its distribution point, `crl?uri=...`, in DER, which is
asked for where `rootcacrl` is not served. Both sets of TCB info and QE
identity that Intel keeps can be asked for (`update=early` or `standard`):
the early one names a TCB recovery's levels before the standard one does.

Each answer is read into its fields of the collateral form (`FIELDS`): the
TCB info and QE identity as the exact text of the object that was signed,
taken out of the answer as it stands (parsing and writing it again would
change the bytes the signature covers), CRLs as hex DER, chains as PEM,
signatures as hex. Nothing is judged here: an answer is only checked to be
what it claims to be (the TCB info of the FMSPC asked for, the QE identity,
a CRL of the CA asked for, a chain of certificates), so that a wrong answer
is refused where it arrives. Its signatures, chains and dates are judged by
the verifier's checks against the pinned root.
"""

from __future__ import annotations

import datetime
import json
import re
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Final

from cryptography import x509
from cryptography.x509.oid import NameOID

from .._internal import limits

PCS_BASE_URL: Final = "https://api.trustedservices.intel.com"
# The root certificate's CRL distribution point.
INTEL_ROOT_CA_CRL_URL: Final = "https://certificates.trustedservices.intel.com/IntelSGXRootCA.der"

TCB_INFO_CHAIN_HEADER: Final = "TCB-Info-Issuer-Chain"
QE_IDENTITY_CHAIN_HEADER: Final = "SGX-Enclave-Identity-Issuer-Chain"
PCK_CRL_CHAIN_HEADER: Final = "SGX-PCK-CRL-Issuer-Chain"
# The names that Intel's caching service (PCCS) gives the same headers, by its version.
PCCS_TCB_INFO_CHAIN_HEADER: Final = "SGX-TCB-Info-Issuer-Chain"
PCCS_QE_IDENTITY_CHAIN_HEADER: Final = "Enclave-Identity-Issuer-Chain"

# The two sets of TCB info and QE identity that Intel keeps, by the `update` parameter that asks for them.
TCB_UPDATES: Final = ("early", "standard")

# The PCK CAs by the name the PCS's `ca` parameter gives them, and the issuer of each one's CRL.
PCK_CA_NAMES: Final = {"platform": "Intel SGX PCK Platform CA", "processor": "Intel SGX PCK Processor CA"}
ROOT_CA_NAME: Final = "Intel SGX Root CA"

# Intel's collateral form, in its order.
FIELDS: Final = (
    "pck_crl_issuer_chain", "root_ca_crl", "pck_crl", "tcb_info_issuer_chain", "tcb_info", "tcb_info_signature",
    "qe_identity_issuer_chain", "qe_identity", "qe_identity_signature",
)

FMSPC_SIZE: Final = 6
# ECDSA P-256: r || s.
SIGNATURE_SIZE: Final = 64
# ASCII digits only: a pattern's \d would take any script's digits.
_UTC_DATE: Final = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?Z")
_HEX: Final = re.compile(rb"[0-9A-Fa-f]+")
_BLANK: Final = " \t\r\n"


def _update(update: str | None, first: bool) -> str:
    """The `update` parameter of a request (None: not sent, and the service answers its default set)."""
    if update is None:
        return ""
    if update not in TCB_UPDATES:
        raise ValueError(f"a TCB update is one of {', '.join(TCB_UPDATES)}, not {update!r}")
    return f"{'?' if first else '&'}update={update}"


def tcb_info_url(fmspc: bytes, base_url: str = PCS_BASE_URL, update: str | None = None) -> str:
    return f"{base_url.rstrip('/')}/tdx/certification/v4/tcb?fmspc={fmspc.hex().upper()}{_update(update, False)}"


def qe_identity_url(base_url: str = PCS_BASE_URL, update: str | None = None) -> str:
    return f"{base_url.rstrip('/')}/tdx/certification/v4/qe/identity{_update(update, True)}"


def pck_crl_url(ca: str, base_url: str = PCS_BASE_URL) -> str:
    return f"{base_url.rstrip('/')}/sgx/certification/v4/pckcrl?ca={ca}&encoding=der"


def root_ca_crl_url(base_url: str = PCS_BASE_URL) -> str:
    """Intel's certificate host for Intel's own service; a caching service or mirror serves the root CA's CRL
    beside the rest, at `<base>/sgx/certification/v4/rootcacrl` (as hex or DER)."""
    if base_url.rstrip("/") == PCS_BASE_URL:
        return INTEL_ROOT_CA_CRL_URL
    return f"{base_url.rstrip('/')}/sgx/certification/v4/rootcacrl"


def crl_by_uri_url(base_url: str, uri: str = INTEL_ROOT_CA_CRL_URL) -> str:
    """Where a newer caching service serves the CRL of the distribution point `uri` (in DER)."""
    return f"{base_url.rstrip('/')}/sgx/certification/v4/crl?uri={urllib.parse.quote(uri, safe='')}"


@dataclass(frozen=True)
class Part:
    """One answer of the PCS: what it is called, the collateral fields it fills, how an answer (its body and
    issuer chain header) is read into them, and how they are checked to be what was asked for (`expected`:
    the FMSPC of a TCB info, the CA of a PCK CRL), which gives the time after which they are no longer current
    (a cached part is then asked for anew)."""

    name: str
    what: str
    fields: tuple[str, ...]
    # The response header that carries the issuer chain, if the answer has one; `read` receives its value.
    header: str | None
    read: Callable[[bytes, str | None], dict[str, str]]
    check: Callable[[Mapping[str, str], str], datetime.datetime]
    # Other names of `header`, as caching services send it; the first one present is read.
    other_headers: tuple[str, ...] = ()


def signed_body(body: bytes, key: str) -> tuple[str, str]:
    """From an answer `{"<key>": {...}, "signature": "<hex>"}`, the exact text of the object under `key` and the
    signature (in lower-case hex).

    Exactly those two members, once each: with a member twice, which one a
    reader takes (the signed one, or another) would depend on the reader.
    """
    text = body.decode("utf-8")
    decoder = json.JSONDecoder()
    spans: dict[str, tuple[int, int]] = {}
    at = _skip(text, 0)
    if text[at : at + 1] != "{":
        raise ValueError("not a JSON object")
    at = _skip(text, at + 1)
    while text[at : at + 1] != "}":
        name, at = decoder.raw_decode(text, at)
        if not isinstance(name, str):
            raise ValueError(f"a member name before {at} is not a string")
        at = _skip(text, at)
        if text[at : at + 1] != ":":
            raise ValueError(f"no ':' after {name!r}")
        start = _skip(text, at + 1)
        _, at = decoder.raw_decode(text, start)
        if name in spans:
            raise ValueError(f"{name!r} twice")
        spans[name] = (start, at)
        at = _skip(text, at)
        if text[at : at + 1] == ",":
            at = _skip(text, at + 1)
            if text[at : at + 1] == "}":
                raise ValueError("a ',' before '}'")
        elif text[at : at + 1] != "}":
            raise ValueError(f"no ',' or '}}' after {name!r}")
    if _skip(text, at + 1) != len(text):
        raise ValueError("text after the JSON object")
    if set(spans) != {key, "signature"}:
        raise ValueError(f"members {sorted(spans)}, not {key!r} and 'signature'")
    signed = text[slice(*spans[key])]
    if not signed.startswith("{"):
        raise ValueError(f"{key!r} is not an object")
    signature = json.loads(text[slice(*spans["signature"])])
    if not isinstance(signature, str):
        raise ValueError("the signature is not a string")
    return signed, signature_hex(signature)


def _skip(text: str, at: int) -> int:
    while at < len(text) and text[at] in _BLANK:
        at += 1
    return at


def signature_hex(text: str) -> str:
    """An ECDSA P-256 signature (r || s) given as hex, in lower-case hex."""
    if not _HEX.fullmatch(text.encode("ascii", "replace")) or len(text) != 2 * SIGNATURE_SIZE:
        raise ValueError(f"the signature is not {SIGNATURE_SIZE} bytes in hex")
    return text.lower()


def issuer_chain(found: str | None, name: str) -> str:
    """The PEM issuer chain that the header `name` carried URL-encoded, as it was sent: the chain is checked
    to hold certificates, not rewritten."""
    if found is None:
        raise ValueError(f"no {name} header")
    # Not unquote_plus: base64 has '+', which a server may leave as it is.
    chain = urllib.parse.unquote(found, errors="strict")
    check_chain(chain)
    return chain


def check_chain(chain: str) -> None:
    """`chain` is PEM certificates, as many as a bundle may hold, each parsed in full."""
    if not chain.isascii():
        raise ValueError("the issuer chain is not ASCII")
    if (count := chain.count("-----BEGIN")) > limits.CERTIFICATES_PER_BUNDLE:
        raise ValueError(f"{count} PEM blocks in the issuer chain")
    certificates = x509.load_pem_x509_certificates(chain.encode("ascii"))
    for certificate in certificates:
        # Extensions are parsed when first read: a malformed one is refused here, as the answer's fault.
        certificate.extensions  # noqa: B018


def crl_der(body: bytes) -> bytes:
    """A CRL's DER, from DER or from the hex text that caching services answer with."""
    stripped = body.strip()
    if _HEX.fullmatch(stripped) and len(stripped) % 2 == 0:
        return bytes.fromhex(stripped.decode("ascii"))
    return body


def check_crl(der: bytes, issuer: str) -> datetime.datetime:
    """`der` is a CRL that `issuer` issued; its next update (the earliest time for a CRL without one, which
    the verifier never takes as current)."""
    crl = x509.load_der_x509_crl(der)
    # Parts are parsed when first read: a malformed one is refused here, as the answer's fault, not in a check.
    crl.extensions, crl.last_update_utc  # noqa: B018
    for entry in crl:
        entry.serial_number, entry.revocation_date_utc, entry.extensions  # noqa: B018
    names = crl.issuer.get_attributes_for_oid(NameOID.COMMON_NAME)
    found = str(names[0].value) if names else crl.issuer.rfc4514_string()
    if found != issuer:
        raise ValueError(f"a CRL issued by {found!r}, not {issuer!r}")
    return crl.next_update_utc or datetime.datetime.min.replace(tzinfo=datetime.UTC)


def _signed_fields(key: str, prefix: str, header: str) -> Callable[[bytes, str | None], dict[str, str]]:
    def read(body: bytes, chain: str | None) -> dict[str, str]:
        text, signature = signed_body(body, key)
        return {f"{prefix}_issuer_chain": issuer_chain(chain, header), prefix: text, f"{prefix}_signature": signature}

    return read


def _check_signed(prefix: str, identity: str, fmspc: bool) -> Callable[[Mapping[str, str], str], datetime.datetime]:
    def check(fields: Mapping[str, str], expected: str) -> datetime.datetime:
        body = json.loads(fields[prefix])
        if not isinstance(body, dict):
            raise ValueError("not a JSON object")
        if body.get("id") != identity:
            raise ValueError(f"id {str(body.get('id'))[:40]!r}, not {identity!r}")
        if fmspc and str(body.get("fmspc")).upper() != expected:
            raise ValueError(f"the TCB info of FMSPC {str(body.get('fmspc'))[:40]!r}, not {expected}")
        signature_hex(fields[f"{prefix}_signature"])
        check_chain(fields[f"{prefix}_issuer_chain"])
        return _date(body.get("nextUpdate"))

    return check


def _date(value: object) -> datetime.datetime:
    if not isinstance(value, str) or not _UTC_DATE.fullmatch(value):
        raise ValueError(f"nextUpdate {str(value)[:40]!r} is not a UTC date and time")
    return datetime.datetime.fromisoformat(value)


def _read_pck_crl(body: bytes, chain: str | None) -> dict[str, str]:
    return {"pck_crl_issuer_chain": issuer_chain(chain, PCK_CRL_CHAIN_HEADER), "pck_crl": crl_der(body).hex()}


def _check_pck_crl(fields: Mapping[str, str], ca: str) -> datetime.datetime:
    check_chain(fields["pck_crl_issuer_chain"])
    return check_crl(bytes.fromhex(fields["pck_crl"]), PCK_CA_NAMES[ca])


def _read_root_ca_crl(body: bytes, chain: str | None) -> dict[str, str]:
    return {"root_ca_crl": crl_der(body).hex()}


def _check_root_ca_crl(fields: Mapping[str, str], expected: str) -> datetime.datetime:
    return check_crl(bytes.fromhex(fields["root_ca_crl"]), ROOT_CA_NAME)


TCB_INFO: Final = Part(
    "tcb_info", "TCB info", ("tcb_info_issuer_chain", "tcb_info", "tcb_info_signature"), TCB_INFO_CHAIN_HEADER,
    _signed_fields("tcbInfo", "tcb_info", TCB_INFO_CHAIN_HEADER), _check_signed("tcb_info", "TDX", fmspc=True),
    (PCCS_TCB_INFO_CHAIN_HEADER,),
)
QE_IDENTITY: Final = Part(
    "qe_identity", "QE identity", ("qe_identity_issuer_chain", "qe_identity", "qe_identity_signature"),
    QE_IDENTITY_CHAIN_HEADER,
    _signed_fields("enclaveIdentity", "qe_identity", QE_IDENTITY_CHAIN_HEADER),
    _check_signed("qe_identity", "TD_QE", fmspc=False), (PCCS_QE_IDENTITY_CHAIN_HEADER,),
)
PCK_CRL: Final = Part(
    "pck_crl", "PCK CRL", ("pck_crl_issuer_chain", "pck_crl"), PCK_CRL_CHAIN_HEADER, _read_pck_crl, _check_pck_crl
)
ROOT_CA_CRL: Final = Part("root_ca_crl", "root CA CRL", ("root_ca_crl",), None, _read_root_ca_crl, _check_root_ca_crl)
PARTS: Final = (TCB_INFO, QE_IDENTITY, PCK_CRL, ROOT_CA_CRL)

__all__ = [
    "FIELDS", "FMSPC_SIZE", "INTEL_ROOT_CA_CRL_URL", "PARTS", "PCK_CA_NAMES", "PCK_CRL", "PCK_CRL_CHAIN_HEADER",
    "PCCS_QE_IDENTITY_CHAIN_HEADER", "PCCS_TCB_INFO_CHAIN_HEADER", "PCS_BASE_URL", "QE_IDENTITY",
    "QE_IDENTITY_CHAIN_HEADER", "ROOT_CA_CRL", "ROOT_CA_NAME", "TCB_INFO", "TCB_INFO_CHAIN_HEADER", "TCB_UPDATES",
    "Part", "crl_by_uri_url", "pck_crl_url", "qe_identity_url", "root_ca_crl_url", "signed_body", "tcb_info_url",
]
