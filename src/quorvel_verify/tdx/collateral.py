"""Intel's collateral for a TDX quote: as users hold it, and its TCB info and QE identity typed.

The collateral is one JSON object with the fields of Intel's collateral
structure: CRLs as hex DER, issuer chains as PEM, the TCB info and QE
identity as the exact text Intel signed, their signatures as hex (r || s).
The signed texts are kept as given: re-serialising them would change the
bytes the signature covers. Every field is optional here; what is missing
makes the check that needs it fail, never a guess. The PCK CRL's issuer chain
is kept (a saved collateral holds what Intel served) but not needed: the CRL
is judged against the CA of the quote's own chain, itself judged against the
pinned root.

Everything here comes from outside, so every value is checked for its type
and range, and every refusal is a `VerificationError` that names the field.
"""

from __future__ import annotations

import datetime
import enum
import json
import re
import warnings
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Final

from cryptography import x509
from cryptography.exceptions import InvalidSignature

from .._internal import limits
from .._internal.json_object import SURROGATE, json_fault, lone_surrogate, unique_keys
from .._internal.untrusted import describe, plainly
from ..errors import ErrorKind, VerificationError
from .._internal.certificates import common_name
from .pck import UNNAMED
from .signatures import p256_verifies

MAX_COLLATERAL_SIZE: Final = limits.COLLATERAL_FILE_SIZE
TCB_SIGNING_NAME: Final = "Intel SGX TCB Signing"
TCB_INFO_ID: Final = "TDX"
TCB_INFO_VERSION: Final = 3
QE_IDENTITY_ID: Final = "TD_QE"
QE_IDENTITY_VERSION: Final = 2
COMPONENT_COUNT: Final = 16


class CollateralError(VerificationError):
    """Intel's collateral that cannot be read."""

    default_kind = ErrorKind.COLLATERAL


FIELDS: Final = (
    "pck_crl_issuer_chain",
    "root_ca_crl",
    "pck_crl",
    "tcb_info_issuer_chain",
    "tcb_info",
    "tcb_info_signature",
    "qe_identity_issuer_chain",
    "qe_identity",
    "qe_identity_signature",
)
_HEX: Final = re.compile(r"[0-9A-Fa-f]*")
# ASCII digits only: \d would take any script's digits.
_UTC_DATE: Final = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\.[0-9]+)?Z")
_HEX_FIELDS: Final = frozenset({"root_ca_crl", "pck_crl", "tcb_info_signature", "qe_identity_signature"})


class TcbStatus(enum.StrEnum):
    """Intel's TCB status names, for a platform, a TDX module or a quoting enclave."""

    UP_TO_DATE = "UpToDate"
    SW_HARDENING_NEEDED = "SWHardeningNeeded"
    CONFIGURATION_NEEDED = "ConfigurationNeeded"
    CONFIGURATION_AND_SW_HARDENING_NEEDED = "ConfigurationAndSWHardeningNeeded"
    OUT_OF_DATE = "OutOfDate"
    OUT_OF_DATE_CONFIGURATION_NEEDED = "OutOfDateConfigurationNeeded"
    REVOKED = "Revoked"
    # Intel's statuses of a TD after a TD-preserving update of its TDX module: current again once relaunched.
    # Never a level's status in a TCB info; only a verdict's.
    TD_RELAUNCH_ADVISED = "TDRelaunchAdvised"
    TD_RELAUNCH_ADVISED_CONFIGURATION_NEEDED = "TDRelaunchAdvisedConfigurationNeeded"


RELAUNCH_STATUSES: Final = frozenset({TcbStatus.TD_RELAUNCH_ADVISED, TcbStatus.TD_RELAUNCH_ADVISED_CONFIGURATION_NEEDED})


@dataclass(frozen=True, slots=True)
class TdxCollateral:
    """Intel's collateral for one quote, in the form of the `--collateral` file: `verify(collateral=...)` takes it,
    or that file's JSON as text, bytes or a mapping (`from_json`)."""

    pck_crl_issuer_chain: str | None = None
    root_ca_crl: bytes | None = None
    pck_crl: bytes | None = None
    tcb_info_issuer_chain: str | None = None
    tcb_info: str | None = None
    tcb_info_signature: bytes | None = None
    qe_identity_issuer_chain: str | None = None
    qe_identity: str | None = None
    qe_identity_signature: bytes | None = None

    @classmethod
    def from_json(cls, value: str | bytes | Mapping[str, object]) -> TdxCollateral:
        """From the JSON text of a collateral file, or the object it holds."""
        if isinstance(value, (str, bytes)):
            if len(value) > MAX_COLLATERAL_SIZE:
                raise CollateralError(f"collateral of {len(value)} bytes is over the {MAX_COLLATERAL_SIZE} read")
            try:
                value = json.loads(value)
            except (ValueError, RecursionError) as error:
                raise CollateralError(f"collateral is not JSON: {json_fault(error)}", detail=str(error)) from None
        if not isinstance(value, Mapping):
            raise CollateralError("collateral is a JSON object of Intel's collateral fields")
        if any(lone_surrogate(str(key)) for key in value):
            raise CollateralError(f"collateral names a field that is not valid text: {SURROGATE}")
        unknown = sorted(set(map(str, value)) - set(FIELDS))
        if unknown:
            raise CollateralError(f"collateral has unknown fields: {', '.join(unknown)}")
        fields: dict[str, Any] = {}
        for name in FIELDS:
            item = value.get(name)
            if item is None:
                continue
            if not isinstance(item, str):
                raise CollateralError(f"collateral field {name} is not a string")
            if lone_surrogate(item):
                raise CollateralError(f"collateral field {name} is not valid text: {SURROGATE}")
            fields[name] = _hex(item, name) if name in _HEX_FIELDS else item
        for body in ("tcb_info", "qe_identity"):
            if (body in fields) != (f"{body}_signature" in fields) or (body in fields) != (f"{body}_issuer_chain" in fields):
                raise CollateralError(f"collateral field {body} comes with its signature and issuer chain, or not at all")
        return cls(**fields)

    def to_json(self) -> dict[str, str]:
        """The collateral as the JSON object of the --collateral file (bytes in hex)."""
        out: dict[str, str] = {}
        for name in FIELDS:
            item = getattr(self, name)
            if item is not None:
                out[name] = item.hex() if isinstance(item, bytes) else item
        return out


def _hex(text: str, name: str) -> bytes:
    if len(text) % 2 or not _HEX.fullmatch(text):
        raise CollateralError(f"collateral field {name} is not hex")
    return bytes.fromhex(text)


def signed_body(response: str, key: str) -> tuple[str, bytes]:
    """From a PCS answer `{"<key>": {...}, "signature": "<hex>"}`, the exact text of the body and its signature."""
    prefix = f'{{"{key}":'
    if not response.startswith(prefix):
        raise CollateralError(f"not Intel's {key} answer: it does not start with {prefix}")
    try:
        _, end = json.JSONDecoder().raw_decode(response, len(prefix))
        whole = json.loads(response)
    except (ValueError, RecursionError) as error:
        raise CollateralError(f"Intel's {key} answer is not JSON: {json_fault(error)}", detail=str(error)) from None
    if not isinstance(whole, dict) or set(whole) != {key, "signature"} or not isinstance(whole["signature"], str):
        raise CollateralError(f"Intel's {key} answer holds {key} and its signature, and nothing else")
    return response[len(prefix) : end], _hex(whole["signature"], "signature")


# --- The signed bodies, typed --------------------------------------------------


@dataclass(frozen=True, slots=True)
class Level:
    """A TCB level of a TDX module identity or of the QE identity: one ISVSVN and its status."""

    isvsvn: int
    tcb_date: str
    status: TcbStatus
    advisory_ids: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class PlatformLevel:
    """A TCB level of the platform: the 16 SGX components and PCESVN the PCK certificate must meet, the 16 TDX
    components the TEE TCB SVN must meet, and its status."""

    sgx_components: tuple[int, ...]
    pcesvn: int
    tdx_components: tuple[int, ...]
    tcb_date: str
    status: TcbStatus
    advisory_ids: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class ModuleIdentity:
    """A TDX module's signer and SEAM attributes under a mask; the base entry has no levels."""

    id: str
    mrsigner: bytes
    attributes: bytes
    attributes_mask: bytes
    levels: tuple[Level, ...] = ()


@dataclass(frozen=True, slots=True)
class TcbInfo:
    issue_date: datetime.datetime
    next_update: datetime.datetime
    fmspc: bytes
    pce_id: bytes
    tcb_evaluation_data_number: int
    tdx_module: ModuleIdentity | None
    module_identities: tuple[ModuleIdentity, ...]
    levels: tuple[PlatformLevel, ...]


@dataclass(frozen=True, slots=True)
class QeIdentity:
    issue_date: datetime.datetime
    next_update: datetime.datetime
    tcb_evaluation_data_number: int
    miscselect: bytes
    miscselect_mask: bytes
    attributes: bytes
    attributes_mask: bytes
    mrsigner: bytes
    isvprodid: int
    levels: tuple[Level, ...]


class _Reader:
    """Typed access to a decoded JSON object; every refusal names the path of the culprit."""

    def __init__(self, value: object, path: str) -> None:
        if not isinstance(value, dict):
            raise CollateralError(f"{path} is not a JSON object")
        self.value = value
        self.path = path

    def get(self, key: str) -> object:
        if key not in self.value:
            raise CollateralError(f"{self.path} lacks {key}")
        return self.value[key]

    def integer(self, key: str, high: int = 0xFFFF_FFFF) -> int:
        item = self.get(key)
        if isinstance(item, bool) or not isinstance(item, int) or not 0 <= item <= high:
            raise CollateralError(f"{self.path}.{key} is not an integer from 0 to {high}")
        return item

    def text(self, key: str) -> str:
        item = self.get(key)
        if not isinstance(item, str):
            raise CollateralError(f"{self.path}.{key} is not a string")
        return item

    def hex(self, key: str, size: int) -> bytes:
        item = self.text(key)
        if len(item) != 2 * size or not _HEX.fullmatch(item):
            raise CollateralError(f"{self.path}.{key} is not {size} bytes in hex")
        return bytes.fromhex(item)

    def date(self, key: str) -> datetime.datetime:
        item = self.text(key)
        if not _UTC_DATE.fullmatch(item):
            raise CollateralError(f"{self.path}.{key} is not a UTC date and time: {item[:40]!r}")
        try:
            return datetime.datetime.fromisoformat(item)
        except ValueError:
            raise CollateralError(f"{self.path}.{key} is not a date: {item!r}") from None

    def status(self, key: str) -> TcbStatus:
        item = self.text(key)
        try:
            status = TcbStatus(item)
        except ValueError:
            status = None
        if status is None or status in RELAUNCH_STATUSES:
            raise CollateralError(f"{self.path}.{key} is {item[:40]!r}, not one of Intel's TCB statuses of a level")
        return status

    def strings(self, key: str) -> tuple[str, ...]:
        items = self.value.get(key, [])
        if not isinstance(items, list) or not all(isinstance(item, str) for item in items):
            raise CollateralError(f"{self.path}.{key} is not a list of strings")
        return tuple(items)

    def objects(self, key: str, optional: bool = False) -> list[_Reader]:
        items = self.value.get(key, []) if optional else self.get(key)
        if not isinstance(items, list):
            raise CollateralError(f"{self.path}.{key} is not a list")
        return [_Reader(item, f"{self.path}.{key}[{index}]") for index, item in enumerate(items)]

    def child(self, key: str) -> _Reader:
        return _Reader(self.get(key), f"{self.path}.{key}")


def _decode(text: str, name: str) -> _Reader:
    try:
        value = json.loads(text, object_pairs_hook=unique_keys)
    except (ValueError, RecursionError) as error:
        raise CollateralError(f"the {name} is not JSON: {json_fault(error)}", detail=str(error)) from None
    # Only a \u escape or a character of the text itself can be a surrogate: ASCII text without one (Intel's)
    # is not encoded again to look for it.
    if ("\\u" in text or not text.isascii()) and lone_surrogate(value):
        raise CollateralError(f"the {name} is not valid JSON text: {SURROGATE}")
    return _Reader(value, name)


def _identify(body: _Reader, expected_id: str, expected_version: int) -> None:
    found_id, found_version = body.get("id"), body.get("version")
    if found_id != expected_id or found_version != expected_version:
        raise CollateralError(
            f"{body.path} is id {found_id!r} version {found_version!r}; "
            f"expected id {expected_id!r} version {expected_version} (Intel's TDX collateral)"
        )


def _levels(body: _Reader, key: str = "tcbLevels") -> tuple[Level, ...]:
    return tuple(
        Level(level.child("tcb").integer("isvsvn", 0xFFFF), level.text("tcbDate"), level.status("tcbStatus"),
              level.strings("advisoryIDs"))  # fmt: skip
        for level in body.objects(key)
    )


def _module(entry: _Reader, with_levels: bool) -> ModuleIdentity:
    return ModuleIdentity(
        entry.text("id") if with_levels else "base",
        entry.hex("mrsigner", 48),
        entry.hex("attributes", 8),
        entry.hex("attributesMask", 8),
        _levels(entry) if with_levels else (),
    )


def _components(tcb: _Reader, key: str) -> tuple[int, ...]:
    # The bulk of a TCB info: read in one pass, without a reader per entry.
    entries = tcb.get(key)
    if not isinstance(entries, list) or len(entries) != COMPONENT_COUNT:
        raise CollateralError(f"{tcb.path}.{key} is not a list of {COMPONENT_COUNT} components")
    svns = tuple(entry.get("svn") if isinstance(entry, dict) else None for entry in entries)
    for index, svn in enumerate(svns):
        if type(svn) is not int or not 0 <= svn <= 0xFF:
            raise CollateralError(f"{tcb.path}.{key}[{index}].svn is not an integer from 0 to 255")
    return svns  # type: ignore[return-value]


def parse_tcb_info(text: str) -> TcbInfo:
    """Intel's TDX TCB info (id TDX, version 3), from the exact text that was signed."""
    body = _decode(text, "tcb_info")
    _identify(body, TCB_INFO_ID, TCB_INFO_VERSION)
    levels = []
    for level in body.objects("tcbLevels"):
        tcb = level.child("tcb")
        levels.append(PlatformLevel(
            _components(tcb, "sgxtcbcomponents"), tcb.integer("pcesvn", 0xFFFF), _components(tcb, "tdxtcbcomponents"),
            level.text("tcbDate"), level.status("tcbStatus"), level.strings("advisoryIDs"),
        ))  # fmt: skip
    return TcbInfo(
        body.date("issueDate"),
        body.date("nextUpdate"),
        body.hex("fmspc", 6),
        body.hex("pceId", 2),
        body.integer("tcbEvaluationDataNumber"),
        _module(body.child("tdxModule"), False) if "tdxModule" in body.value else None,
        tuple(_module(entry, True) for entry in body.objects("tdxModuleIdentities", optional=True)),
        tuple(levels),
    )


def parse_qe_identity(text: str) -> QeIdentity:
    """Intel's identity of the TD quoting enclave (id TD_QE, version 2), from the exact text that was signed."""
    body = _decode(text, "qe_identity")
    _identify(body, QE_IDENTITY_ID, QE_IDENTITY_VERSION)
    return QeIdentity(
        body.date("issueDate"),
        body.date("nextUpdate"),
        body.integer("tcbEvaluationDataNumber"),
        body.hex("miscselect", 4),
        body.hex("miscselectMask", 4),
        body.hex("attributes", 16),
        body.hex("attributesMask", 16),
        body.hex("mrsigner", 32),
        body.integer("isvprodid", 0xFFFF),
        _levels(body),
    )


# --- Signatures ----------------------------------------------------------------


def load_chain(pem: str, name: str) -> list[x509.Certificate]:
    try:
        certificates = x509.load_pem_x509_certificates(pem.encode("ascii"))
    except (ValueError, UnicodeError, x509.InvalidVersion) as error:
        raise CollateralError(
            f"collateral field {name} is not PEM certificates: {plainly(error)}", detail=describe(error)
        ) from None
    if len(certificates) > 4:
        raise CollateralError(f"collateral field {name} holds {len(certificates)} certificates, more than Intel's chains")
    return certificates


def _self_issued(certificate: x509.Certificate) -> bool:
    try:
        return certificate.subject == certificate.issuer
    except (ValueError, TypeError):
        return False


def issuer_chain_problem(chain: list[x509.Certificate], root: x509.Certificate, signer_role: str,
                         is_signer: Callable[[x509.Certificate], bool]) -> tuple[x509.Certificate | None, str | None]:  # fmt: skip
    """Intel's shape of a collateral issuer chain: exactly the signing certificate (`is_signer`) and the root,
    in either order, the root byte for byte the pinned one. The signer found, and why the chain is refused or None."""
    # A copy of the pinned root is self-issued if the root is, which the pinned object has decoded once: its
    # names are not decoded again for each chain.
    root_self_issued = _self_issued(root)
    self_issued = [(c == root and root_self_issued) or _self_issued(c) for c in chain]
    signers = [c for c, issued in zip(chain, self_issued, strict=True) if not issued and is_signer(c)]
    roots = [c for c, issued in zip(chain, self_issued, strict=True) if issued]
    if len(chain) != 2 or len(signers) != 1 or len(roots) != 1:
        return (signers[0] if len(signers) == 1 else None), (
            f"its issuer chain holds {len(chain)} certificates ({len(signers)} {signer_role}, {len(roots)} root): "
            f"Intel's is exactly the {signer_role} and the root"
        )
    if roots[0] != root:
        return signers[0], f"its issuer chain's root {common_name(roots[0], UNNAMED)!r} is not the pinned Intel SGX Root CA, byte for byte"
    return signers[0], None


# How Intel issues its TCB Signing certificate: a leaf whose key signs data, never certificates or CRLs.
_SIGNING_KEY_USAGE: Final = ("digital_signature", "content_commitment")


def _key_usage_problem(signer: x509.Certificate) -> str | None:
    extensions = signer.extensions
    try:
        is_ca = extensions.get_extension_for_class(x509.BasicConstraints).value.ca
    except x509.ExtensionNotFound:
        is_ca = False
    if is_ca:
        return "its signing certificate is a CA certificate (CA:TRUE); Intel's TCB Signing certificate is not"
    try:
        usage = extensions.get_extension_for_class(x509.KeyUsage).value
    except x509.ExtensionNotFound:
        return "its signing certificate has no key usage; Intel's TCB Signing certificate has digital_signature and content_commitment"
    names = ("digital_signature", "content_commitment", "key_encipherment", "data_encipherment", "key_agreement",
             "key_cert_sign", "crl_sign")  # fmt: skip
    found = tuple(name for name in names if getattr(usage, name))
    if found != _SIGNING_KEY_USAGE:
        return (f"its signing certificate's key usage is {', '.join(found) or 'empty'}; Intel's TCB Signing certificate "
                "has digital_signature and content_commitment (non-repudiation), nothing else")  # fmt: skip
    return None


def tcb_signer(chain: list[x509.Certificate], root: x509.Certificate) -> tuple[x509.Certificate | None, str | None]:
    """Intel's TCB Signing certificate in `chain` (found by its role), and why `chain` is not that certificate and
    the pinned `root`, or None.

    The root sent must be the pinned one; only the pinned one is trusted. The
    signing certificate is not pinned (Intel renewed it in 2025 with the same
    key); its validity at a given time is the caller's to judge.
    """
    if not chain:
        return None, "its issuer chain is empty"
    signer, problem = issuer_chain_problem(chain, root, "TCB Signing certificate", lambda c: common_name(c, UNNAMED) == TCB_SIGNING_NAME)
    if signer is None and len(chain) == 2:
        names = [common_name(c, UNNAMED) for c in chain if not _self_issued(c)]
        return None, f"it is signed by {names[0] if names else ''!r}, not {TCB_SIGNING_NAME!r}"
    if signer is None or problem:
        return signer, problem
    try:
        signer.verify_directly_issued_by(root)
    except (ValueError, TypeError, InvalidSignature):
        return signer, f"its signing certificate (serial {signer.serial_number:x}) is not issued by the pinned Intel SGX Root CA"
    return signer, _key_usage_problem(signer)


def signature_verifies(certificate: x509.Certificate, text: str, signature: bytes) -> bool:
    """Whether `signature` (r || s) is the certificate's ECDSA P-256 SHA-256 signature of `text` as given."""
    return p256_verifies(certificate.public_key(), signature, text.encode("utf-8"))


def __getattr__(name: str) -> object:
    # The name the class had when the shared collateral (now `GivenCollateral`) had it too.
    if name == "Collateral":
        warnings.warn("quorvel_verify.tdx.collateral.Collateral is now TdxCollateral (also quorvel_verify.TdxCollateral)",
                      DeprecationWarning, stacklevel=2)
        return TdxCollateral
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

