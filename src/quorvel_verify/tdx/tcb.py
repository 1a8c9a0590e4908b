"""Which of Intel's TCB levels a TDX platform, its TDX module and its quoting enclave are at, and the status they give together.

Intel's rules, as its Quote Verification Library applies them:
- the platform's level is the first of the TCB info (ordered newest first)
  whose 16 SGX components and PCESVN the PCK certificate meets, and whose 16
  TDX components the quote's TEE TCB SVN meets; when the TEE TCB SVN's byte 1
  (the TDX module's major version) is not zero, its first two bytes are the
  module's and are judged by the module's identity instead, so the comparison
  starts at byte 2;
- the module's identity is `TDX_<major version, two hex digits>` among
  `tdxModuleIdentities`, or the base `tdxModule` for major version 0 or when
  the TCB info has no identities (then the module has no status of its own);
  its level is the first whose ISVSVN the TEE TCB SVN's byte 0 meets;
- the QE's level is the first of the QE identity whose ISVSVN the QE report's meets;
- a module or QE that is OutOfDate turns UpToDate and SWHardeningNeeded into
  OutOfDate, and the two ConfigurationNeeded statuses into
  OutOfDateConfigurationNeeded; one that is Revoked makes the whole Revoked.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterable, Sequence
from typing import Final

from .collateral import Level, ModuleIdentity, PlatformLevel, TcbInfo, TcbStatus

_TO_OUT_OF_DATE: Final = {
    TcbStatus.UP_TO_DATE: TcbStatus.OUT_OF_DATE,
    TcbStatus.SW_HARDENING_NEEDED: TcbStatus.OUT_OF_DATE,
    TcbStatus.CONFIGURATION_NEEDED: TcbStatus.OUT_OF_DATE_CONFIGURATION_NEEDED,
    TcbStatus.CONFIGURATION_AND_SW_HARDENING_NEEDED: TcbStatus.OUT_OF_DATE_CONFIGURATION_NEEDED,
}


def _meets(have: Sequence[int], need: Sequence[int]) -> bool:
    return all(h >= n for h, n in zip(have, need, strict=True))


def platform_level(info: TcbInfo, sgx_components: Sequence[int], pcesvn: int, tee_tcb_svn: bytes) -> PlatformLevel | None:
    """The first level that the PCK certificate's SGX TCB and the quote's TEE TCB SVN both meet, or None."""
    start = 2 if tee_tcb_svn[1] else 0
    for level in info.levels:
        if (
            _meets(sgx_components, level.sgx_components)
            and pcesvn >= level.pcesvn
            and _meets(tee_tcb_svn[start:16], level.tdx_components[start:])
        ):
            return level
    return None


def module_identity_id(tee_tcb_svn: bytes) -> str:
    return f"TDX_{tee_tcb_svn[1]:02X}"


def module_identity(info: TcbInfo, tee_tcb_svn: bytes) -> ModuleIdentity | None:
    """The module identity the TEE TCB SVN selects, or None if the TCB info has none for it."""
    if tee_tcb_svn[1] == 0 or not info.module_identities:
        return info.tdx_module
    wanted = module_identity_id(tee_tcb_svn)
    return next((identity for identity in info.module_identities if identity.id.upper() == wanted), None)


def isvsvn_level(levels: Iterable[Level], isvsvn: int) -> Level | None:
    """The first level whose ISVSVN `isvsvn` meets (a module's or the QE's), or None."""
    return next((level for level in levels if isvsvn >= level.isvsvn), None)


def converge(platform: TcbStatus, *others: TcbStatus | None) -> TcbStatus:
    """The platform's status after the module's and the QE's (None: no status of its own)."""
    status = platform
    for other in others:
        if other == TcbStatus.REVOKED:
            return TcbStatus.REVOKED
        if other == TcbStatus.OUT_OF_DATE:
            status = _TO_OUT_OF_DATE.get(status, status)
    return status


def tcb_date(text: str) -> datetime.datetime | None:
    """A level's `tcbDate` as a UTC time, or None if it is not one (then nothing is judged from it)."""
    try:
        when = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    return when if when.tzinfo is not None else None


def newer_level_date(levels: Iterable[Level | PlatformLevel], matched: Level | PlatformLevel) -> datetime.datetime | None:
    """When Intel's first level newer than `matched` came: the earliest `tcbDate` after `matched`'s among
    `levels` (None if none is later, or the dates cannot be read). An OutOfDate level is out of date since then."""
    own = tcb_date(matched.tcb_date)
    if own is None:
        return None
    later = [when for level in levels if (when := tcb_date(level.tcb_date)) is not None and when > own]
    return min(later, default=None)


def merge_advisories(*lists: Iterable[str]) -> tuple[str, ...]:
    """Every advisory id once, in the order first named."""
    return tuple(dict.fromkeys(advisory for advisories in lists for advisory in advisories))
