"""Where Intel's Provisioning Certification Service (API v4) serves TDX collateral, and how its answers are read.

The PCS serves the TCB info of a platform model (by FMSPC), the TD quoting
enclave's identity and the PCK CRL of each PCK CA, each with its issuer chain
in a response header (URL-encoded PEM); the root CA's CRL is published on
Intel's certificate host. A caching service or mirror (Intel's PCCS, say)
serves the same paths, the root CA CRL included, under its own address.

Nothing read here is trusted for being read: an answer is only decoded into
the `Collateral` form, whose signatures and chains the checks then judge
against the pinned root, whether it came from the network or from a cache.
"""

from __future__ import annotations

import datetime
import json
import re
import urllib.parse
from collections.abc import Callable, Mapping
from typing import Any, Final

from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding

from ..errors import VerificationError
from ..sevsnp.kds import KdsClient, OfflineError
from .collateral import Collateral, CollateralError, parse_qe_identity, parse_tcb_info, signed_body
from .pck import PckIssuer, load_pck_chain
from .quote import Quote, parse_quote

PCS_BASE_URL: Final = "https://api.trustedservices.intel.com"
# Where Intel publishes the root CA's CRL (the root certificate's CRL distribution point).
INTEL_ROOT_CA_CRL_URL: Final = "https://certificates.trustedservices.intel.com/IntelSGXRootCA.der"

TCB_INFO_CHAIN_HEADER: Final = "TCB-Info-Issuer-Chain"
QE_IDENTITY_CHAIN_HEADER: Final = "SGX-Enclave-Identity-Issuer-Chain"
PCK_CRL_CHAIN_HEADER: Final = "SGX-PCK-CRL-Issuer-Chain"
_HEX_TEXT: Final = re.compile(rb"\s*([0-9A-Fa-f]{2})+\s*")


def tcb_info_url(fmspc: bytes, base_url: str = PCS_BASE_URL) -> str:
    return f"{base_url.rstrip('/')}/tdx/certification/v4/tcb?fmspc={fmspc.hex().upper()}"


def qe_identity_url(base_url: str = PCS_BASE_URL) -> str:
    return f"{base_url.rstrip('/')}/tdx/certification/v4/qe/identity"


def pck_crl_url(issuer: PckIssuer, base_url: str = PCS_BASE_URL) -> str:
    return f"{base_url.rstrip('/')}/sgx/certification/v4/pckcrl?ca={issuer.value}&encoding=der"


def root_ca_crl_url(base_url: str = PCS_BASE_URL) -> str:
    """Intel's certificate host for Intel's own service; a mirror serves it beside the rest."""
    if base_url.rstrip("/") == PCS_BASE_URL:
        return INTEL_ROOT_CA_CRL_URL
    return f"{base_url.rstrip('/')}/sgx/certification/v4/rootcacrl"


def issuer_chain(headers: Mapping[str, str], name: str, url: str) -> str:
    """The PEM issuer chain that the header `name` carries URL-encoded."""
    found = next((value for key, value in headers.items() if key.lower() == name.lower()), None)
    if found is None:
        raise CollateralError(f"{url}: the answer has no {name} header")
    chain = urllib.parse.unquote(found)
    if "-----BEGIN CERTIFICATE-----" not in chain:
        raise CollateralError(f"{url}: the {name} header is not a PEM chain")
    return chain


def crl_der(body: bytes, url: str) -> bytes:
    """A CRL as DER, from DER, PEM, or the hex text some caching services answer with."""
    if _HEX_TEXT.fullmatch(body):
        body = bytes.fromhex(body.decode("ascii"))
    try:
        if body.lstrip().startswith(b"-----BEGIN"):
            return x509.load_pem_x509_crl(body).public_bytes(Encoding.DER)
        x509.load_der_x509_crl(body)
    except (ValueError, x509.InvalidVersion) as error:
        raise CollateralError(f"{url}: the answer is not a CRL: {error}") from None
    return body


def collateral_from_answers(
    tcb_info: tuple[bytes, Mapping[str, str], str],
    qe_identity: tuple[bytes, Mapping[str, str], str],
    pck_crl: tuple[bytes, Mapping[str, str], str],
    root_ca_crl: tuple[bytes, str],
) -> Collateral:
    """The collateral from the PCS's answers, each (body, headers, url); the root CA CRL is (body, url)."""
    tcb_body, tcb_headers, tcb_url = tcb_info
    qe_body, qe_headers, qe_url = qe_identity
    crl_body, crl_headers, crl_url = pck_crl
    tcb_text, tcb_signature = signed_body(_text(tcb_body, tcb_url), "tcbInfo")
    qe_text, qe_signature = signed_body(_text(qe_body, qe_url), "enclaveIdentity")
    return Collateral(
        pck_crl_issuer_chain=issuer_chain(crl_headers, PCK_CRL_CHAIN_HEADER, crl_url),
        root_ca_crl=crl_der(*root_ca_crl),
        pck_crl=crl_der(crl_body, crl_url),
        tcb_info_issuer_chain=issuer_chain(tcb_headers, TCB_INFO_CHAIN_HEADER, tcb_url),
        tcb_info=tcb_text,
        tcb_info_signature=tcb_signature,
        qe_identity_issuer_chain=issuer_chain(qe_headers, QE_IDENTITY_CHAIN_HEADER, qe_url),
        qe_identity=qe_text,
        qe_identity_signature=qe_signature,
    )


def _text(body: bytes, url: str) -> str:
    try:
        return body.decode("utf-8")
    except UnicodeDecodeError:
        raise CollateralError(f"{url}: the answer is not UTF-8 text") from None


Answer = tuple[bytes, Mapping[str, str]]


def fetch_collateral(get: Callable[[str], Answer], fmspc: bytes, issuer: PckIssuer, base_url: str = PCS_BASE_URL) -> Collateral:
    """The collateral of a platform model (`fmspc`) whose PCK `issuer` CA issued its PCK, asked of the PCS at `base_url`.

    `get` fetches one address and returns the body and headers of a successful
    answer (the shared fetcher, with its cache, retries and offline mode).
    """
    urls = (tcb_info_url(fmspc, base_url), qe_identity_url(base_url), pck_crl_url(issuer, base_url), root_ca_crl_url(base_url))
    (tcb_body, tcb_headers), (qe_body, qe_headers), (crl_body, crl_headers), (root_body, _) = (get(url) for url in urls)
    return collateral_from_answers(
        (tcb_body, tcb_headers, urls[0]), (qe_body, qe_headers, urls[1]), (crl_body, crl_headers, urls[2]), (root_body, urls[3])
    )


class PcsClient(KdsClient):
    """Fetches Intel's collateral for TDX quotes from the PCS at `base_url` (or a caching service), through the
    same fetcher, cache, offline mode, timeouts and 429/503 handling as AMD's key service.

    What a platform model's collateral is (TCB info, QE identity, PCK CRL of its
    CA, root CA CRL) is kept in the cache as one entry in the `--collateral`
    form, until the earliest next update of its parts; it is only decoded
    here, and the checks judge it, from the network or from the cache.
    """

    def __init__(self, base_url: str = PCS_BASE_URL, **settings: Any) -> None:
        super().__init__(base_url, **settings)

    def collateral_for(self, quote: object, *, now: datetime.datetime) -> Collateral:
        """The collateral of the platform model of `quote` (bytes or a `Quote`) whose PCK's CA is named in it."""
        parsed = quote if isinstance(quote, Quote) else parse_quote(quote)  # type: ignore[arg-type]
        chain = load_pck_chain(parsed.signature_data.pck_chain_pem)
        fmspc, issuer = chain.extension.fmspc, chain.issuer
        name = f"tdx/{fmspc.hex()}-{issuer.value}.json"
        cached = self._cached_collateral(name, now)
        if cached is not None:
            return cached
        if self.offline:
            where = f" in the cache {self.cache.directory}" if self.cache else " (no cache)"
            raise OfflineError(f"offline: no TDX collateral for FMSPC {fmspc.hex()}{where}")
        collateral = fetch_collateral(self._exchange, fmspc, issuer, self.base_url)
        _decode_collateral(json.dumps(collateral.to_json()).encode())  # what is cached must read back
        if self.cache is not None:
            try:
                self.cache.write(name, json.dumps(collateral.to_json()).encode())
            except OSError as error:
                if self.progress is not None:
                    self.progress(f"not cached: {self.cache.path(name)}: {error.strerror or error}")
        return collateral

    def _cached_collateral(self, name: str, now: datetime.datetime) -> Collateral | None:
        if self.cache is None:
            return None
        data = self.cache.read(name)
        if data is None:
            return None
        try:
            collateral, expires = _decode_collateral(data)
        except VerificationError:
            self.cache.drop(name)  # torn or overwritten: never trusted, fetched again
            return None
        # Offline, a stale entry is still what there is; the checks judge it.
        if expires < now and not self.offline:
            return None
        return collateral


def _decode_collateral(data: bytes) -> tuple[Collateral, datetime.datetime]:
    """A cached collateral and the earliest next update of its parts."""
    collateral = Collateral.from_json(data)
    if collateral.tcb_info is None or collateral.qe_identity is None:
        raise CollateralError("a cached TDX collateral lacks its TCB info or QE identity")
    updates = [parse_tcb_info(collateral.tcb_info).next_update, parse_qe_identity(collateral.qe_identity).next_update]
    for der in (collateral.pck_crl, collateral.root_ca_crl):
        try:
            next_update = x509.load_der_x509_crl(der or b"").next_update_utc
        except (ValueError, x509.InvalidVersion):
            raise CollateralError("a cached TDX collateral holds a CRL that cannot be read") from None
        if next_update is not None:
            updates.append(next_update)
    return collateral, min(updates)
