"""What a relying party accepts: the rules of a policy and the checks they make of a report.

A policy is secure by default: with no rule set, a guest whose policy allows
debugging fails `policy.allow_debug`, and nothing else is required. Every
other rule applies only when it is set, and then makes one check, named
`policy.<rule>`, in the order of the attributes below; `require_revocation`
and `crl_grace_period` make none of their own, they set how the `revocation`
check judges AMD's revocation list. Each check's detail
says what the rule expected and what the report holds.

A policy is validated whole when it is made, from a TOML file, a mapping or
the constructor: an unknown rule, a value of the wrong type, malformed hex or
an empty allow-list is refused with a `PolicyError` before any report is
looked at; from a file, with its name and line.
"""

from __future__ import annotations

import dataclasses
import difflib
import os
import re
import tomllib
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from types import MappingProxyType
from typing import Any, Final, NamedTuple

from .checks import Check
from .errors import VerificationError
from .sevsnp.report import Report, TcbVersion

# In the processor's order; fmc exists on Turin only.
TCB_COMPONENTS: Final = ("fmc", "bootloader", "tee", "snp", "microcode")
PRODUCTS: Final = ("Milan", "Genoa", "Turin")
KEY_KINDS: Final = ("VCEK", "VLEK")
MAX_VMPL: Final = 3
U8_MAX: Final = 0xFF
U32_MAX: Final = 0xFFFF_FFFF
# AMD's revocation lists are renewed yearly: a year's grace is the most that means anything.
MAX_CRL_GRACE_DAYS: Final = 366


class PolicyError(VerificationError):
    """A policy that cannot be used; from a file, the message starts with the file name and line."""

    def __init__(self, message: str, path: tuple[str | int, ...] = ()) -> None:
        super().__init__(message)
        self.path = path  # where in the policy, e.g. ("min_tcb", "snp") or ("measurements", 1)


class _Invalid(Exception):
    """A value that a rule cannot take; `path` leads from the rule's value to the culprit."""

    def __init__(self, message: str, *path: str | int) -> None:
        super().__init__(message)
        self.message = message
        self.path = path


class _Context(NamedTuple):
    report: Report
    product: str | None
    key_kind: str | None


# --- Values ------------------------------------------------------------------


def _describe(value: object) -> str:
    """A value as a TOML user knows it: its TOML type and, for a short scalar, the value."""
    if isinstance(value, bool):
        return f"the boolean {str(value).lower()}"
    if isinstance(value, int):
        return f"the integer {value}"
    if isinstance(value, float):
        return f"the float {value}"
    if isinstance(value, str):
        return f'the string "{value}"' if len(value) <= 20 else f"a string of {len(value)} characters"
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, Mapping):
        return "a table"
    return f"a {type(value).__name__}"


def _boolean(value: object) -> bool:
    if not isinstance(value, bool):
        raise _Invalid(f"expected true or false, got {_describe(value)}")
    return value


def _integer(low: int, high: int) -> Callable[[object], int]:
    def parse(value: object) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise _Invalid(f"expected an integer from {low} to {high}, got {_describe(value)}")
        return value

    return parse


def _hex(size: int) -> Callable[[object], bytes]:
    """`size` bytes, given as bytes or as hex digits (either case, nothing else)."""

    def parse(value: object) -> bytes:
        if isinstance(value, bytes) and len(value) == size:
            return value
        if not isinstance(value, str):
            raise _Invalid(f"expected {2 * size} hex digits, got {_describe(value)}")
        if not re.fullmatch(r"[0-9A-Fa-f]*", value):
            raise _Invalid(f"expected {2 * size} hex digits, got {_describe(value)}, which is not hex")
        if len(value) != 2 * size:
            raise _Invalid(f"expected {2 * size} hex digits ({size} bytes), got {len(value)}")
        return bytes.fromhex(value)

    return parse


def _choice(choices: Sequence[str]) -> Callable[[object], str]:
    def parse(value: object) -> str:
        if not isinstance(value, str) or value not in choices:
            raise _Invalid(f"expected one of {', '.join(choices)}, got {_describe(value)}")
        return value

    return parse


def _list_of[T](item: Callable[[object], T]) -> Callable[[object], tuple[T, ...]]:
    """A non-empty allow-list: an empty one would refuse every report, which no one means."""

    def parse(value: object) -> tuple[T, ...]:
        if not isinstance(value, (list, tuple)):
            raise _Invalid(f"expected an array, got {_describe(value)}")
        if not value:
            raise _Invalid("expected at least one value: an empty list allows nothing")
        parsed = []
        for index, element in enumerate(value):
            try:
                parsed.append(item(element))
            except _Invalid as error:
                raise _Invalid(error.message, index, *error.path) from None
        return tuple(parsed)

    return parse


TcbMinimum = Mapping[str, int]


def _components_minimum(value: object) -> TcbMinimum:
    if not isinstance(value, Mapping):
        raise _Invalid(f"expected a table of TCB components, got {_describe(value)}")
    if not value:
        raise _Invalid(f"expected at least one of {', '.join(TCB_COMPONENTS)}")
    minimum = {}
    for name, level in value.items():
        if name not in TCB_COMPONENTS:
            raise _Invalid(
                f"unknown TCB component; expected {', '.join(TCB_COMPONENTS)}, or a table per product line", str(name)
            )
        try:
            minimum[name] = _integer(0, U8_MAX)(level)
        except _Invalid as error:
            raise _Invalid(error.message, name) from None
    # In the processor's order, whatever the file's.
    return MappingProxyType({name: minimum[name] for name in TCB_COMPONENTS if name in minimum})


def _tcb_minimum(value: object) -> TcbMinimum | Mapping[str, TcbMinimum]:
    """One table of components for every product line, or a table per product line.

    Patch levels are numbered per product line (Milan's microcode is not
    Genoa's), so a policy for several lines names each one's minimum.
    """
    if not isinstance(value, Mapping) or not value or not all(key in PRODUCTS for key in value):
        return _components_minimum(value)
    per_product = {}
    for product, minimum in value.items():
        try:
            per_product[product] = _components_minimum(minimum)
        except _Invalid as error:
            raise _Invalid(error.message, product, *error.path) from None
    return MappingProxyType({product: per_product[product] for product in PRODUCTS if product in per_product})


def _abi(value: object) -> tuple[int, int]:
    """A firmware ABI version, "major.minor" (or a (major, minor) pair)."""
    if isinstance(value, tuple) and len(value) == 2:
        return _integer(0, U8_MAX)(value[0]), _integer(0, U8_MAX)(value[1])
    match = re.fullmatch(r"(\d{1,3})\.(\d{1,3})", value) if isinstance(value, str) else None
    if match is None or max(int(match[1]), int(match[2])) > U8_MAX:
        raise _Invalid(f'expected "major.minor", each 0 to 255, got {_describe(value)}')
    return int(match[1]), int(match[2])


# --- The checks ----------------------------------------------------------------

Verdict = tuple[bool, str]


def _hex_choices(allowed: Sequence[bytes]) -> str:
    return allowed[0].hex() if len(allowed) == 1 else f"one of {len(allowed)} allowed values"


def _either(words: Sequence[object], conjunction: str = "or") -> str:
    texts = [str(word) for word in words]
    return texts[0] if len(texts) == 1 else f"{', '.join(texts[:-1])} {conjunction} {texts[-1]}"


def _allow_debug(allowed: bool, context: _Context) -> Verdict:
    policy = context.report.guest_policy
    holds = f"report has guest policy {policy.raw:#x}, which {'allows' if policy.debug_allowed else 'forbids'} it"
    if allowed:
        return True, f"expected nothing of debugging (allowed); {holds}"
    return not policy.debug_allowed, f"expected a guest policy that forbids debugging; {holds}"


def _vmpl(allowed: tuple[int, ...], context: _Context) -> Verdict:
    vmpl = context.report.vmpl
    return vmpl in allowed, f"expected VMPL {_either(allowed)}; report has VMPL {vmpl}"


def _minimum_tcb(
    minimum: TcbMinimum | Mapping[str, TcbMinimum], tcbs: Mapping[str, TcbVersion], product: str | None
) -> Verdict:
    """Each of `tcbs` at least `minimum` (the product line's, where it names them) in every component it has
    (FMC only on Turin)."""
    which = f"the {_either(list(tcbs), 'and')} TCB"
    one_for_all = all(isinstance(level, int) for level in minimum.values())
    levels: object = minimum if one_for_all else minimum.get(product or "")
    if not isinstance(levels, MappingProxyType | dict):
        holds = f"report is from {product}" if product else "the report's product line is unknown"
        return False, f"expected a product line with a minimum for {which}: {_either(list(minimum))}; {holds}"
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
    return passed, (
        f"expected at least {wanted} in {which}; report has {holds}" + ("; its processor has no FMC" if no_fmc else "")
    )


def _min_tcb(minimum: TcbMinimum | Mapping[str, TcbMinimum], context: _Context) -> Verdict:
    # The reported TCB names the key that signed; the host may report less than
    # it runs, and must not be able to commit less: all three must meet it.
    report = context.report
    tcbs = {"current": report.current_tcb, "reported": report.reported_tcb, "committed": report.committed_tcb}
    return _minimum_tcb(minimum, tcbs, context.product)


def _min_launch_tcb(minimum: TcbMinimum | Mapping[str, TcbMinimum], context: _Context) -> Verdict:
    return _minimum_tcb(minimum, {"launch": context.report.launch_tcb}, context.product)


def _allow_provisional_firmware(allowed: bool, context: _Context) -> Verdict:
    report = context.report
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


def _allow_list(field: str, what: str) -> Callable[[tuple[bytes, ...], _Context], Verdict]:
    def check(allowed: tuple[bytes, ...], context: _Context) -> Verdict:
        value: bytes = getattr(context.report, field)
        return value in allowed, f"expected {what} {_hex_choices(allowed)}; report has {value.hex()}"

    return check


def _report_data(expected: bytes, context: _Context) -> Verdict:
    value = context.report.report_data
    return value == expected, f"expected report data {expected.hex()}; report has {value.hex()}"


def _author_key_digests(allowed: tuple[bytes, ...], context: _Context) -> Verdict:
    report = context.report
    if not report.author_key_en:
        return False, f"expected author key digest {_hex_choices(allowed)}; report has no author key"
    return _allow_list("author_key_digest", "author key digest")(allowed, context)


def _min_guest_svn(minimum: int, context: _Context) -> Verdict:
    svn = context.report.guest_svn
    return svn >= minimum, f"expected guest SVN at least {minimum}; report has {svn}"


def _min_abi(minimum: tuple[int, int], context: _Context) -> Verdict:
    policy = context.report.guest_policy
    return policy.abi >= minimum, (
        f"expected a guest policy requiring ABI {minimum[0]}.{minimum[1]} or later; "
        f"report has ABI {policy.abi_major}.{policy.abi_minor}"
    )


def _products(allowed: tuple[str, ...], context: _Context) -> Verdict:
    holds = f"report is from {context.product}" if context.product else "the report's product line is unknown"
    return context.product in allowed, f"expected product line {_either(allowed)}; {holds}"


def _key_kinds(allowed: tuple[str, ...], context: _Context) -> Verdict:
    if context.key_kind is None:
        holds = f"report's signing-key field holds {context.report.signing_key}, neither VCEK nor VLEK"
    else:
        holds = f"report is signed by a {context.key_kind}"
    return context.key_kind in allowed, f"expected a report signed by a {_either(allowed)}; {holds}"


def _guest_policy_bit(attribute: str, bit: str, *, allow: bool) -> Callable[[bool, _Context], Verdict]:
    """A rule on one guest-policy bit: `allow_*` false forbids it, `require_*` true requires it."""

    def check(setting: bool, context: _Context) -> Verdict:
        policy = context.report.guest_policy
        present: bool = getattr(policy, attribute)
        holds = f"report has guest policy {policy.raw:#x}, which {'sets' if present else 'clears'} it"
        if allow == setting:
            return True, f"expected nothing of {bit} ({'allowed' if allow else 'not required'}); {holds}"
        expected = "clear" if allow else "set"
        return present == (not allow), f"expected {bit} {expected} in the guest policy; {holds}"

    return check


# --- The policy ----------------------------------------------------------------


def _rule(parse: Callable[[Any], Any], check: Callable[[Any, _Context], Verdict] | None, default: Any = None) -> Any:
    return dataclasses.field(default=default, metadata={"parse": parse, "check": check})


@dataclass(frozen=True)
class Policy:
    """The rules a report must meet. None leaves a rule out; `allow_debug` always applies.

    Hex values (`measurements`, `host_data`, `report_data`, `id_key_digests`,
    `author_key_digests`) may be given as bytes or hex strings and are held as
    bytes; lists are held as tuples.
    """

    allow_debug: bool = _rule(_boolean, _allow_debug, default=False)
    vmpl: Sequence[int] | None = _rule(_list_of(_integer(0, MAX_VMPL)), _vmpl)
    # Per component, the least level in the current, reported and committed TCB,
    # for every product line or per line ({"Milan": {"snp": 8}, ...}).
    min_tcb: TcbMinimum | Mapping[str, TcbMinimum] | None = _rule(_tcb_minimum, _min_tcb)
    min_launch_tcb: TcbMinimum | Mapping[str, TcbMinimum] | None = _rule(_tcb_minimum, _min_launch_tcb)
    # When false, the committed TCB and firmware must be the current ones.
    allow_provisional_firmware: bool | None = _rule(_boolean, _allow_provisional_firmware)
    measurements: Sequence[bytes | str] | None = _rule(_list_of(_hex(48)), _allow_list("measurement", "measurement"))
    host_data: Sequence[bytes | str] | None = _rule(_list_of(_hex(32)), _allow_list("host_data", "host data"))
    report_data: bytes | str | None = _rule(_hex(64), _report_data)
    id_key_digests: Sequence[bytes | str] | None = _rule(
        _list_of(_hex(48)), _allow_list("id_key_digest", "ID key digest")
    )
    author_key_digests: Sequence[bytes | str] | None = _rule(_list_of(_hex(48)), _author_key_digests)
    min_guest_svn: int | None = _rule(_integer(0, U32_MAX), _min_guest_svn)
    # The least ABI version that the guest policy requires of the firmware, "major.minor".
    min_abi: tuple[int, int] | str | None = _rule(_abi, _min_abi)
    products: Sequence[str] | None = _rule(_list_of(_choice(PRODUCTS)), _products)
    key_kinds: Sequence[str] | None = _rule(_list_of(_choice(KEY_KINDS)), _key_kinds)
    # Guest policy bits: an allow_* rule set to false forbids the bit, a
    # require_* rule set to true requires it.
    allow_smt: bool | None = _rule(_boolean, _guest_policy_bit("smt_allowed", "SMT", allow=True))
    allow_migration_agent: bool | None = _rule(
        _boolean, _guest_policy_bit("migrate_ma_allowed", "MIGRATE_MA", allow=True)
    )
    require_single_socket: bool | None = _rule(
        _boolean, _guest_policy_bit("single_socket", "SINGLE_SOCKET", allow=False)
    )
    allow_cxl: bool | None = _rule(_boolean, _guest_policy_bit("cxl_allowed", "CXL_ALLOW", allow=True))
    require_aes_256_xts: bool | None = _rule(
        _boolean, _guest_policy_bit("mem_aes_256_xts", "MEM_AES_256_XTS", allow=False)
    )
    require_rapl_disabled: bool | None = _rule(
        _boolean, _guest_policy_bit("rapl_disabled", "RAPL_DIS", allow=False)
    )
    require_ciphertext_hiding: bool | None = _rule(
        _boolean, _guest_policy_bit("ciphertext_hiding", "CIPHERTEXT_HIDING", allow=False)
    )
    require_page_swap_disabled: bool | None = _rule(
        _boolean, _guest_policy_bit("page_swap_disabled", "PAGE_SWAP_DISABLE", allow=False)
    )
    # Read by the `revocation` check, not checks of their own: with
    # require_revocation, a verification without AMD's revocation list fails;
    # crl_grace_period is how many days past its next update a list still counts as current.
    require_revocation: bool | None = _rule(_boolean, None)
    crl_grace_period: int | None = _rule(_integer(0, MAX_CRL_GRACE_DAYS), None)

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if value is None and field.default is None:
                continue
            try:
                object.__setattr__(self, field.name, field.metadata["parse"](value))
            except _Invalid as error:
                path = (field.name, *error.path)
                raise PolicyError(f"{_dotted(path)}: {error.message}", path) from None

    @classmethod
    def rules(cls) -> tuple[str, ...]:
        """The rule keys, in the order of their checks."""
        return tuple(field.name for field in dataclasses.fields(cls))

    @classmethod
    def from_mapping(cls, data: Mapping[str, object]) -> Policy:
        """A policy from a mapping shaped like the TOML file (hex as strings, "major.minor" as a string)."""
        for key in data:
            if key not in cls.rules():
                close = difflib.get_close_matches(str(key), cls.rules(), n=1)
                hint = f" (did you mean {close[0]}?)" if close else ""
                raise PolicyError(f"{key}: unknown rule{hint}", (str(key),))
        return cls(**data)  # type: ignore[arg-type]

    @classmethod
    def from_toml(cls, text: str, source: str = "<policy>") -> Policy:
        """A policy from the text of a TOML file; errors start with `source` and the line."""
        try:
            data = tomllib.loads(text)
        except tomllib.TOMLDecodeError as error:
            message = str(error)
            where = re.search(r" \(at (?:line (\d+), column \d+|end of document)\)$", message)
            if where is None:
                raise PolicyError(f"{source}: not valid TOML: {message}") from None
            line = where[1] or len(text.splitlines())
            raise PolicyError(f"{source}:{line}: not valid TOML: {message[:where.start()]}") from None
        try:
            return cls.from_mapping(data)
        except PolicyError as error:
            line = _line_of(text, error.path, data)
            location = f"{source}:{line}" if line is not None else source
            raise PolicyError(f"{location}: {error}", error.path) from None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Policy:
        """A policy from a TOML file."""
        try:
            text = Path(path).read_bytes().decode("utf-8")
        except OSError as error:
            raise PolicyError(f"{os.fspath(path)}: {error.strerror or error}") from error
        except UnicodeDecodeError as error:
            raise PolicyError(f"{os.fspath(path)}: not UTF-8 text, as TOML must be ({error.reason})") from error
        return cls.from_toml(text, os.fspath(path))

    def evaluate(self, report: Report, *, product: str | None, key_kind: str | None) -> list[Check]:
        """One check per rule that applies, in the order of `rules()`.

        `product` and `key_kind` are what the verification established: the
        product line and "VCEK" or "VLEK" (None when unknown).
        """
        context = _Context(report, product, key_kind)
        checks = []
        for rule, name, check in _CHECKS:
            value = getattr(self, rule)
            if value is not None:
                passed, detail = check(value, context)
                checks.append(Check(name, "pass" if passed else "fail", detail))
        return checks


# The rules that make a check, with the check's name and function, in order.
_CHECKS: Final[tuple[tuple[str, str, Callable[[Any, _Context], Verdict]], ...]] = tuple(
    (field.name, f"policy.{field.name}", field.metadata["check"])
    for field in dataclasses.fields(Policy)
    if field.metadata["check"] is not None
)


# --- Where in the file ------------------------------------------------------------

_TABLE_HEADER = re.compile(r"\s*\[\s*([^\[\]]+?)\s*\]\s*(#.*)?$")
_ASSIGNMENT = re.compile(r"""\s*([A-Za-z0-9_\-."' ]+?)\s*=""")


def _dotted(path: Sequence[str | int]) -> str:
    text = ""
    for part in path:
        text += f"[{part}]" if isinstance(part, int) else f".{part}" if text else part
    return text


def _split_key(key: str) -> tuple[str, ...]:
    return tuple(part.strip().strip("\"'") for part in key.split("."))


def _line_of(text: str, path: Sequence[str | int], data: Mapping[str, Any]) -> int | None:
    """The line (from 1) that sets what `path` leads to: the line of its key, or of the nearest enclosing
    one, and for an element of an array the first line at or after the key's that holds it."""
    lines = text.splitlines()
    table: tuple[str, ...] = ()
    first: dict[tuple[str, ...], int] = {}
    for number, line in enumerate(lines, start=1):
        header = _TABLE_HEADER.match(line)
        if header:
            table = _split_key(header[1])
            first.setdefault(table, number)
        elif assignment := _ASSIGNMENT.match(line):
            first.setdefault(table + _split_key(assignment[1]), number)
    keys = tuple(part for part in path if isinstance(part, str))
    found = next((first[keys[:n]] for n in range(len(keys), 0, -1) if keys[:n] in first), None)
    if found is None or len(path) < 2 or not isinstance(path[1], int):
        return found
    elements = data.get(str(path[0]))
    element = elements[path[1]] if isinstance(elements, list) and path[1] < len(elements) else None
    if isinstance(element, str):
        for number in range(found, len(lines) + 1):
            if f'"{element}"' in lines[number - 1] or f"'{element}'" in lines[number - 1]:
                return number
    return found

