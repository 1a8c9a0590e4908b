"""SEV-SNP's policy rules: the top-level keys of a policy file, each declared once with its check and its text.

Each rule makes one check, `policy.<rule>`, of the claims that SEV-SNP's
evidence checks established (`SevSnpClaims`): the report's fields, its
product line and its key kind. `require_revocation` and `crl_grace_period`
make none of their own: they set how the `revocation` check judges AMD's
list (see `Policy.revocation`).
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from types import MappingProxyType
from typing import Final

from .._internal.rules import (
    Invalid,
    Rule,
    Verdict,
    boolean,
    choice,
    describe,
    either,
    field,
    hex_bytes,
    hex_choices,
    integer,
    list_of,
)
from .._internal.ruleset import RuleSet
from . import rules_identity, rules_platform
from .platform import SevSnpClaims
from .report import FirmwareVersion, TcbVersion
from .vocabulary import KeyKind, ProductLine

# In the processor's order; fmc exists on Turin only.
TCB_COMPONENTS: Final = ("fmc", "bootloader", "tee", "snp", "microcode")
PRODUCT_LINES: Final = tuple(ProductLine)
KEY_KINDS: Final = tuple(KeyKind)
MAX_VMPL: Final = 3
U8_MAX: Final = 0xFF
U32_MAX: Final = 0xFFFF_FFFF
# AMD's revocation lists are renewed yearly: a year's grace is the most that means anything.
MAX_CRL_GRACE_DAYS: Final = 366


TcbMinimum = Mapping[str, int]


def _components_minimum(value: object) -> TcbMinimum:
    if not isinstance(value, Mapping):
        raise Invalid(f"expected a table of TCB components, got {describe(value)}")
    if not value:
        raise Invalid(f"expected at least one of {', '.join(TCB_COMPONENTS)}")
    minimum = {}
    for name, level in value.items():
        if name not in TCB_COMPONENTS:
            raise Invalid(
                f"unknown TCB component; expected {', '.join(TCB_COMPONENTS)}, or a table per product line", str(name)
            )
        try:
            minimum[name] = integer(0, U8_MAX)(level)
        except Invalid as error:
            raise Invalid(error.message, name) from None
    # In the processor's order, whatever the file's.
    return MappingProxyType({name: minimum[name] for name in TCB_COMPONENTS if name in minimum})


def _tcb_minimum(value: object) -> TcbMinimum | Mapping[str, TcbMinimum]:
    """One table of components for every product line, or a table per product line.

    Patch levels are numbered per product line (Milan's microcode is not
    Genoa's), so a policy for several lines names each one's minimum.
    """
    if not isinstance(value, Mapping) or not value or not all(key in PRODUCT_LINES for key in value):
        return _components_minimum(value)
    per_product = {}
    for product, minimum in value.items():
        try:
            per_product[product] = _components_minimum(minimum)
        except Invalid as error:
            raise Invalid(error.message, product, *error.path) from None
        # A line's own table names its own components: an fmc minimum for a line without an FMC could never
        # be judged, and would pass every report unseen.
        if product != ProductLine.TURIN and "fmc" in per_product[product]:
            raise Invalid(f"{product} has no FMC (Turin alone has one)", product, "fmc")
    return MappingProxyType({str(product): per_product[product] for product in PRODUCT_LINES if product in per_product})


def _abi(value: object) -> tuple[int, int]:
    """A firmware ABI version, "major.minor" (or a (major, minor) pair)."""
    if isinstance(value, tuple) and len(value) == 2:
        return integer(0, U8_MAX)(value[0]), integer(0, U8_MAX)(value[1])
    # ASCII digits only: \d would take "١.٥١" (Arabic-Indic digits) for 1.51.
    match = re.fullmatch(r"([0-9]{1,3})\.([0-9]{1,3})", value) if isinstance(value, str) else None
    if match is None or max(int(match[1]), int(match[2])) > U8_MAX:
        raise Invalid(f'expected "major.minor", each 0 to 255, got {describe(value)}')
    return int(match[1]), int(match[2])


# --- The checks ----------------------------------------------------------------


# --- The checks ----------------------------------------------------------------


def _allow_debug(allowed: bool, claims: SevSnpClaims) -> Verdict:
    policy = claims.report.guest_policy
    holds = f"report has guest policy {policy.raw:#x}, which {'allows' if policy.debug_allowed else 'forbids'} it"
    if allowed:
        return True, f"expected nothing of debugging (allowed); {holds}"
    return not policy.debug_allowed, f"expected a guest policy that forbids debugging; {holds}"


def _vmpl(allowed: tuple[int, ...], claims: SevSnpClaims) -> Verdict:
    vmpl = claims.report.vmpl
    return vmpl in allowed, f"expected VMPL {either(allowed)}; report has VMPL {vmpl}"


def _minimum_tcb(
    minimum: TcbMinimum | Mapping[str, TcbMinimum], tcbs: Mapping[str, TcbVersion], product: str | None
) -> Verdict:
    """Each of `tcbs` at least `minimum` (the product line's, where it names them) in every component it has
    (FMC only on Turin)."""
    which = f"the {either(list(tcbs), 'and')} TCB"
    one_for_all = all(isinstance(level, int) for level in minimum.values())
    levels: object = minimum if one_for_all else minimum.get(product or "")
    if not isinstance(levels, MappingProxyType | dict):
        holds = f"report is from {product}" if product else "the report's product line is unknown"
        return False, f"expected a product line with a minimum for {which}: {either(list(minimum))}; {holds}"
    if not one_for_all:
        which += f" of {product}"
    components = {name: tcb.components() for name, tcb in tcbs.items()}
    passed = all(
        held.get(name, level) >= level for held in components.values() for name, level in levels.items()
    )
    wanted = " ".join(f"{name}={level}" for name, level in levels.items())
    holds = ", ".join(
        f"{which_tcb} " + (" ".join(f"{name}={held[name]}" for name in levels if name in held) or "(none of them)")
        for which_tcb, held in components.items()
    )
    no_fmc = "fmc" in levels and next(iter(tcbs.values())).fmc is None
    behind = "; ".join(
        f"{which_tcb} {name} is {held[name]}, needs {level}"
        for which_tcb, held in components.items() for name, level in levels.items() if name in held and held[name] < level
    )  # fmt: skip
    return passed, (
        f"expected at least {wanted} in {which}; report has {holds}" + ("; its processor has no FMC" if no_fmc else "")
        + (f"; behind: {behind}" if behind else "")
    )


def _min_tcb(minimum: TcbMinimum | Mapping[str, TcbMinimum], claims: SevSnpClaims) -> Verdict:
    # The reported TCB names the key that signed; the host may report less than
    # it runs, and must not be able to commit less: all three must meet it.
    report = claims.report
    tcbs = {"current": report.current_tcb, "reported": report.reported_tcb, "committed": report.committed_tcb}
    return _minimum_tcb(minimum, tcbs, claims.product)


def _min_launch_tcb(minimum: TcbMinimum | Mapping[str, TcbMinimum], claims: SevSnpClaims) -> Verdict:
    return _minimum_tcb(minimum, {"launch": claims.report.launch_tcb}, claims.product)


def _allow_provisional_firmware(allowed: bool, claims: SevSnpClaims) -> Verdict:
    report = claims.report
    holds = (
        f"report has current TCB {report.current_tcb} firmware {report.current_firmware}, "
        f"committed TCB {report.committed_tcb} firmware {report.committed_firmware}"
    )
    if allowed:
        return True, f"expected nothing of the committed firmware (provisional allowed); {holds}"
    committed = (
        report.current_tcb.components() == report.committed_tcb.components()
        and report.current_firmware == report.committed_firmware
    )
    return committed, f"expected the committed TCB and firmware to be the current ones; {holds}"


def _allow_list(field: str, what: str) -> Callable[[tuple[bytes, ...], SevSnpClaims], Verdict]:
    def check(allowed: tuple[bytes, ...], claims: SevSnpClaims) -> Verdict:
        value: bytes = getattr(claims.report, field)
        return value in allowed, f"expected {what} {hex_choices(allowed)}; report has {value.hex()}"

    return check


def _report_data(expected: bytes, claims: SevSnpClaims) -> Verdict:
    value = claims.report.report_data
    return value == expected, f"expected report data {expected.hex()}; report has {value.hex()}"


def _author_key_digests(allowed: tuple[bytes, ...], claims: SevSnpClaims) -> Verdict:
    report = claims.report
    if not report.author_key_en:
        return False, f"expected author key digest {hex_choices(allowed)}; report has no author key"
    return _allow_list("author_key_digest", "author key digest")(allowed, claims)


def _min_guest_svn(minimum: int, claims: SevSnpClaims) -> Verdict:
    svn = claims.report.guest_svn
    return svn >= minimum, f"expected guest SVN at least {minimum}; report has {svn}"


def _min_abi(minimum: tuple[int, int], claims: SevSnpClaims) -> Verdict:
    policy = claims.report.guest_policy
    return policy.abi >= minimum, (
        f"expected a guest policy requiring ABI {minimum[0]}.{minimum[1]} or later; "
        f"report has ABI {policy.abi_major}.{policy.abi_minor}"
    )


def _products(allowed: tuple[str, ...], claims: SevSnpClaims) -> Verdict:
    holds = f"report is from {claims.product}" if claims.product else "the report's product line is unknown"
    return claims.product in allowed, f"expected product line {either(allowed)}; {holds}"


def _key_kinds(allowed: tuple[str, ...], claims: SevSnpClaims) -> Verdict:
    if claims.key_kind is None:
        holds = f"report's signing-key field holds {claims.report.signing_key}, neither VCEK nor VLEK"
    else:
        holds = f"report is signed by a {claims.key_kind}"
    return claims.key_kind in allowed, f"expected a report signed by a {either(allowed)}; {holds}"


def _guest_policy_bit(attribute: str, bit: str, *, allow: bool) -> Callable[[bool, SevSnpClaims], Verdict]:
    """A rule on one guest-policy bit: `allow_*` false forbids it, `require_*` true requires it."""

    def check(setting: bool, claims: SevSnpClaims) -> Verdict:
        policy = claims.report.guest_policy
        present: bool = getattr(policy, attribute)
        holds = f"report has guest policy {policy.raw:#x}, which {'sets' if present else 'clears'} it"
        if allow == setting:
            return True, f"expected nothing of {bit} ({'allowed' if allow else 'not required'}); {holds}"
        expected = "clear" if allow else "set"
        return present == (not allow), f"expected {bit} {expected} in the guest policy; {holds}"

    return check


# --- The policy ----------------------------------------------------------------



# --- The rules, in the order of their checks -------------------------------------

_HEX48 = "an array of hex strings of 96 digits (48 bytes)"
_TCB_VALUE = ("a table of TCB components (fmc, bootloader, tee, snp, microcode) with levels 0 to 255, "
              "or such a table per product line (Milan, Genoa, Turin)")


def _bit(attribute: str, bit: str, *, allow: bool, doc: str) -> Rule:
    verb = "false forbids" if allow else "true requires"
    return Rule(boolean, _guest_policy_bit(attribute, bit, allow=allow), "true or false", "not checked",
                f"{doc} The guest policy's {bit} bit: {verb} it.")


ALLOW_DEBUG: Final = Rule(boolean, _allow_debug, "true or false", "false", (
    "Whether the guest may allow the host to debug it (read and write its memory). Applies even when not set: "
    "by default a guest whose policy allows debugging is refused."))
VMPL: Final = Rule(list_of(integer(0, MAX_VMPL)), _vmpl, "an array of integers 0 to 3", "not checked",
                   "The VMPLs (privilege levels inside the guest) a report may come from.")
MIN_TCB: Final = Rule(_tcb_minimum, _min_tcb, _TCB_VALUE, "not checked", (
    "The least patch level of each component named, in the current, reported and committed TCB alike. Levels "
    "are numbered per product line, so a policy for several lines may give one table per line. fmc is Turin's "
    "alone: a table for Milan or Genoa may not name it, and a table for every line judges it on Turin only."))
MIN_LAUNCH_TCB: Final = Rule(_tcb_minimum, _min_launch_tcb, _TCB_VALUE, "not checked",
                             "The least patch level of each component named in the TCB the guest was launched with.")
ALLOW_PROVISIONAL_FIRMWARE: Final = Rule(boolean, _allow_provisional_firmware, "true or false", "not checked", (
    "When false, the committed TCB and firmware must be the current ones: the platform may not run firmware "
    "it could still roll back."))
MEASUREMENTS: Final = Rule(list_of(hex_bytes(48)), _allow_list("measurement", "measurement"), _HEX48,
                           "not checked", "The launch measurements a guest may have.")
HOST_DATA: Final = Rule(list_of(hex_bytes(32)), _allow_list("host_data", "host data"),
                        "an array of hex strings of 64 digits (32 bytes)", "not checked",
                        "The host data (set by the host at launch) a report may hold.")
REPORT_DATA: Final = Rule(hex_bytes(64), _report_data, "a hex string of 128 digits (64 bytes)", "not checked", (
    "The report data the guest must have put in the report, such as a nonce. A rule of both platforms: a TDX "
    "quote's report data must be it too (a [tdx] report_data, if set, must be the same)."))
ID_KEY_DIGESTS: Final = Rule(list_of(hex_bytes(48)), _allow_list("id_key_digest", "ID key digest"), _HEX48,
                             "not checked", "The digests of the ID keys that may have signed the guest's ID block.")
AUTHOR_KEY_DIGESTS: Final = Rule(list_of(hex_bytes(48)), _author_key_digests, _HEX48, "not checked", (
    "The digests of the author keys that may have signed the ID key; a report without an author key fails it."))
MIN_GUEST_SVN: Final = Rule(integer(0, U32_MAX), _min_guest_svn, "an integer 0 to 4294967295", "not checked",
                            "The least security version number of the guest.")
MIN_ABI: Final = Rule(_abi, _min_abi, 'a string "major.minor", each 0 to 255', "not checked",
                      "The least firmware ABI version that the guest policy requires of the firmware.")
PRODUCTS: Final = Rule(list_of(choice(PRODUCT_LINES)), _products, "an array of Milan, Genoa or Turin",
                       "not checked", "The product lines a report may come from.")
KEY_KINDS_RULE: Final = Rule(list_of(choice(KEY_KINDS)), _key_kinds, "an array of VCEK or VLEK", "not checked",
                             "The kinds of key that may have signed a report.")
ALLOW_SMT: Final = _bit("smt_allowed", "SMT", allow=True, doc="Whether the guest may run with SMT enabled.")
ALLOW_MIGRATION_AGENT: Final = _bit("migrate_ma_allowed", "MIGRATE_MA", allow=True,
                                    doc="Whether a migration agent may be associated with the guest.")
REQUIRE_SINGLE_SOCKET: Final = _bit("single_socket", "SINGLE_SOCKET", allow=False,
                                    doc="Whether the guest must be activated on one socket only.")
ALLOW_CXL: Final = _bit("cxl_allowed", "CXL_ALLOW", allow=True,
                        doc="Whether CXL memory may be populated with the guest's memory.")
REQUIRE_AES_256_XTS: Final = _bit("mem_aes_256_xts", "MEM_AES_256_XTS", allow=False,
                                  doc="Whether AES-256-XTS must encrypt the guest's memory.")
REQUIRE_RAPL_DISABLED: Final = _bit("rapl_disabled", "RAPL_DIS", allow=False,
                                    doc="Whether the running average power limit interfaces must be disabled.")
REQUIRE_CIPHERTEXT_HIDING: Final = _bit("ciphertext_hiding", "CIPHERTEXT_HIDING", allow=False,
                                        doc="Whether ciphertext hiding must be enabled.")
REQUIRE_PAGE_SWAP_DISABLED: Final = _bit("page_swap_disabled", "PAGE_SWAP_DISABLE", allow=False,
                                         doc="Whether the host must be unable to swap the guest's pages.")
REQUIRE_REVOCATION: Final = Rule(boolean, None, "true or false", "the platform's: TDX true, SEV-SNP false", (
    "For both platforms. When true, a verification without the revocation lists (AMD's list; Intel's PCK CRL and "
    "root CA CRL) fails the revocation check; when false, one without them skips it. Unset, the verifier's "
    "setting applies, by default the platform's. Makes no check of its own: it sets how the revocation check "
    "judges."))
CRL_GRACE_PERIOD: Final = Rule(integer(0, MAX_CRL_GRACE_DAYS), None, "an integer 0 to 366 (days)", "0", (
    "For both platforms. How many days past its next update a revocation list still counts as current. Makes no "
    "check of its own; it replaces the verifier's grace period."))


@dataclass(frozen=True)
class SevSnpRules(RuleSet):
    """The rules an SEV-SNP report must meet: the top-level keys of a policy file. None leaves a rule out;
    `allow_debug` always applies. `Policy`, the whole policy, is these with the other platforms' tables.

    Hex values (`measurements`, `host_data`, `report_data`, `id_key_digests`,
    `author_key_digests`) may be given as bytes or hex strings and are held as
    bytes; lists are held as tuples. What each rule requires is in
    `rule_reference()`.
    """

    allow_debug: bool = field(ALLOW_DEBUG, default=False)
    vmpl: Sequence[int] | None = field(VMPL)
    # Per component, the least level in the current, reported and committed TCB,
    # for every product line or per line ({"Milan": {"snp": 8}, ...}).
    # (TcbMinimum written out: `Policy`'s annotations, whose tables are imported lazily, are read as text.)
    min_tcb: Mapping[str, int] | Mapping[str, Mapping[str, int]] | None = field(MIN_TCB)
    min_launch_tcb: Mapping[str, int] | Mapping[str, Mapping[str, int]] | None = field(MIN_LAUNCH_TCB)
    allow_provisional_firmware: bool | None = field(ALLOW_PROVISIONAL_FIRMWARE)
    measurements: Sequence[bytes | str] | None = field(MEASUREMENTS)
    host_data: Sequence[bytes | str] | None = field(HOST_DATA)
    report_data: bytes | str | None = field(REPORT_DATA)
    id_key_digests: Sequence[bytes | str] | None = field(ID_KEY_DIGESTS)
    author_key_digests: Sequence[bytes | str] | None = field(AUTHOR_KEY_DIGESTS)
    min_guest_svn: int | None = field(MIN_GUEST_SVN)
    min_abi: tuple[int, int] | str | None = field(MIN_ABI)
    products: Sequence[str] | None = field(PRODUCTS)
    key_kinds: Sequence[str] | None = field(KEY_KINDS_RULE)
    allow_smt: bool | None = field(ALLOW_SMT)
    allow_migration_agent: bool | None = field(ALLOW_MIGRATION_AGENT)
    require_single_socket: bool | None = field(REQUIRE_SINGLE_SOCKET)
    allow_cxl: bool | None = field(ALLOW_CXL)
    require_aes_256_xts: bool | None = field(REQUIRE_AES_256_XTS)
    require_rapl_disabled: bool | None = field(REQUIRE_RAPL_DISABLED)
    require_ciphertext_hiding: bool | None = field(REQUIRE_CIPHERTEXT_HIDING)
    require_page_swap_disabled: bool | None = field(REQUIRE_PAGE_SWAP_DISABLED)
    image_ids: Sequence[bytes | str] | None = field(rules_identity.IMAGE_IDS)
    family_ids: Sequence[bytes | str] | None = field(rules_identity.FAMILY_IDS)
    report_ids: Sequence[bytes | str] | None = field(rules_identity.REPORT_IDS)
    report_id_mas: Sequence[bytes | str] | None = field(rules_identity.REPORT_ID_MAS)
    chip_ids: Sequence[bytes | str] | None = field(rules_identity.CHIP_IDS)
    # "major.minor.build", the least of the current and the committed firmware.
    min_firmware: FirmwareVersion | str | None = field(rules_platform.MIN_FIRMWARE)
    # Platform-info bits by name: true requires, false forbids.
    platform_info: Mapping[str, bool] | None = field(rules_platform.PLATFORM_INFO)
    min_launch_mitigation_vector: int | None = field(rules_platform.MIN_LAUNCH_MITIGATION_VECTOR)
    min_current_mitigation_vector: int | None = field(rules_platform.MIN_CURRENT_MITIGATION_VECTOR)
    csp_ids: Sequence[str] | None = field(rules_identity.CSP_IDS)
    require_revocation: bool | None = field(REQUIRE_REVOCATION)
    crl_grace_period: int | None = field(CRL_GRACE_PERIOD)
