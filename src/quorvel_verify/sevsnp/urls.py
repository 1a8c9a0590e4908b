"""Addresses at AMD's Key Distribution Service (KDS).

The KDS serves, per product line ("Milan", "Genoa", "Turin"), the VCEK of a
chip at a TCB, the intermediate and root certificates of the VCEK and VLEK
chains, and the revocation list that the root signs for each chain.
"""

from __future__ import annotations

from collections.abc import Mapping

from .vocabulary import TURIN_HW_ID_SIZE, KeyKind, ProductLine

KDS_BASE_URL = "https://kdsintf.amd.com"

KEY_KINDS = tuple(KeyKind)


def _root(product: str, key_kind: str, base_url: str) -> str:
    if key_kind not in KEY_KINDS:
        raise ValueError(f"key kind must be VCEK or VLEK, not {key_kind!r}")
    return f"{base_url.rstrip('/')}/{key_kind.lower()}/v1/{product}"


def vcek_url(
    product: str,
    chip_id: bytes,
    spls: Mapping[str, int],
    base_url: str = KDS_BASE_URL,
) -> str:
    """The VCEK of `chip_id` at the TCB given by `spls`.

    `spls` maps the KDS query names (`fmcSPL` on Turin, then `blSPL`,
    `teeSPL`, `snpSPL`, `ucodeSPL`) to the report's reported TCB, in that
    order. A Turin chip is named by the first 8 bytes of its chip id, every
    other chip by all 64.
    """
    hw_id = chip_id[:TURIN_HW_ID_SIZE] if product == ProductLine.TURIN else chip_id
    query = "&".join(f"{name}={value}" for name, value in spls.items())
    return f"{_root(product, KeyKind.VCEK, base_url)}/{hw_id.hex()}?{query}"


def cert_chain_url(product: str, key_kind: str, base_url: str = KDS_BASE_URL) -> str:
    """The PEM bundle of the intermediate (ASK or ASVK) then the root (ARK) of a chain."""
    return f"{_root(product, key_kind, base_url)}/cert_chain"


def crl_url(product: str, key_kind: str, base_url: str = KDS_BASE_URL) -> str:
    """The DER revocation list that the product line's ARK signs for a chain."""
    return f"{_root(product, key_kind, base_url)}/crl"
