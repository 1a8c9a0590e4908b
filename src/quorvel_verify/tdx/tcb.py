"""Which of Intel's TCB levels a TDX platform, its TDX module and its quoting enclave are at, and the status they give together.

Intel's rules, as its Quote Verification Library applies them:
- the platform's level is the first of the TCB info (ordered newest first)
  whose 16 SGX components and PCESVN the PCK certificate meets, and whose 16
  TDX components the quote's TEE TCB SVN meets; when the TEE TCB SVN's byte 1
  (the TDX module's major version) is not zero, its first two bytes are the
  module's and are judged by the module's identity instead, so the comparison
  starts at byte 2;
- the module's identity is `TDX_<major version, two hex digits>` among
  `tdxModuleIdentities`; a TCB info without that identity (or without any)
  cannot judge the module, a mismatch; for major version 0 the identities do
  not apply, the base `tdxModule` names the signer and the module has no
  status of its own; its level is the first whose ISVSVN the TEE TCB SVN's
  byte 0 meets;
- the QE's level is the first of the QE identity whose ISVSVN the QE report's meets;
- a module or QE that is OutOfDate turns UpToDate and SWHardeningNeeded into
  OutOfDate, and the two ConfigurationNeeded statuses into
  OutOfDateConfigurationNeeded; one that is Revoked makes the whole Revoked;
- a TD report 1.5 names two TEE TCB SVNs: the one the TD was launched with
  (`tee_tcb_svn`) and the current one after a TD-preserving update of the
  module (`tee_tcb_svn2`). The status is the launch one's; where that is
  OutOfDate and the current one would be UpToDate or SWHardeningNeeded, it is
  TDRelaunchAdvised (a ConfigurationNeeded one: TDRelaunchAdvisedConfigurationNeeded).
"""

from __future__ import annotations

import datetime
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Final

from .collateral import COMPONENT_COUNT, Level, ModuleIdentity, PlatformLevel, TcbInfo, TcbStatus

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
    if tee_tcb_svn[1] == 0:
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


_RELAUNCH: Final = {
    TcbStatus.UP_TO_DATE: TcbStatus.TD_RELAUNCH_ADVISED,
    TcbStatus.SW_HARDENING_NEEDED: TcbStatus.TD_RELAUNCH_ADVISED,
    TcbStatus.CONFIGURATION_NEEDED: TcbStatus.TD_RELAUNCH_ADVISED_CONFIGURATION_NEEDED,
    TcbStatus.CONFIGURATION_AND_SW_HARDENING_NEEDED: TcbStatus.TD_RELAUNCH_ADVISED_CONFIGURATION_NEEDED,
}


def relaunch(launch: TcbStatus, current: TcbStatus | None) -> TcbStatus:
    """The status of a TD launched at `launch` whose module was since updated in place to `current` (None: no level)."""
    if launch not in (TcbStatus.OUT_OF_DATE, TcbStatus.OUT_OF_DATE_CONFIGURATION_NEEDED) or current is None:
        return launch
    return _RELAUNCH.get(current, launch)


def behind(level: PlatformLevel, sgx_components: Sequence[int], pcesvn: int, tee_tcb_svn: bytes) -> list[str]:
    """Each component below what `level` needs, as "<component> is <have>, needs <need>"."""
    start = 2 if tee_tcb_svn[1] else 0
    found = [f"SGX component {index} is {have}, needs {need}"
             for index, (have, need) in enumerate(zip(sgx_components, level.sgx_components, strict=True)) if have < need]
    if pcesvn < level.pcesvn:
        found.append(f"PCESVN is {pcesvn}, needs {level.pcesvn}")
    found += [f"TDX component {index} is {tee_tcb_svn[index]}, needs {level.tdx_components[index]}"
              for index in range(start, COMPONENT_COUNT) if tee_tcb_svn[index] < level.tdx_components[index]]
    return found  # fmt: skip


def merge_advisories(*lists: Iterable[str]) -> tuple[str, ...]:
    """Every advisory id once, in the order first named."""
    return tuple(dict.fromkeys(advisory for advisories in lists for advisory in advisories))


@dataclass(frozen=True, slots=True)
class MatchedLevels:
    """The levels found for the platform, the TDX module and the QE; None where none was found, or where the
    component has no level of its own (a module of major version 0)."""

    platform: PlatformLevel | None = None
    tdx_module: Level | None = None
    qe: Level | None = None

    @property
    def tcb_date(self) -> str | None:
        """The earliest TCB date of the levels found: how old the TCB that the verdict vouches for is."""
        dates = [level.tcb_date for level in (self.platform, self.tdx_module, self.qe) if level is not None]
        return min(dates) if dates else None

    def to_json(self) -> dict[str, object]:
        return {
            name: None if level is None else
            {"status": level.status.value, "tcb_date": level.tcb_date, "advisory_ids": list(level.advisory_ids)}
            for name, level in (("platform", self.platform), ("tdx_module", self.tdx_module), ("qe", self.qe))
        }  # fmt: skip
