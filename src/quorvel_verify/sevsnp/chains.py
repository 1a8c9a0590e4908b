"""AMD's certificate chains: the pinned intermediates and roots, and which of them signed a VCEK or VLEK.

Each product line (Milan, Genoa, Turin) has a root key, the ARK, which signs
itself and two intermediates: the ASK, which signs VCEKs, and the ASVK, which
signs VLEKs. AMD signs all of them with RSASSA-PSS, SHA-384, MGF1 with
SHA-384 and a 48-byte salt. The package ships these certificates
(data/amd-chains, with their sources); a caller may pin others instead.

AMD's bundled chains are loaded once per process, and each is checked when a
leaf first needs it; chains that a caller pins are loaded and checked by the
`Verifier` made with them.
"""

from __future__ import annotations

import datetime
import functools
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from importlib import resources

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric import rsa

from .._internal.certificates import common_name, der, how_many
from ..errors import ErrorKind, VerificationError, about
from .evidence import LEAF_NAMES, load_certificates, quiet_serial_warning
from .vocabulary import AMD_PSS, AMD_PSS_DECLARED, AMD_PSS_HASH, KeyKind, ProductLine

BUNDLED_FILES = (
    "ask_ark_milan.pem",
    "ask_ark_milan_vlek.pem",
    "ask_ark_genoa.pem",
    "ask_ark_genoa_vlek.pem",
    "ask_ark_turin_vcek.pem",
    "ask_ark_turin_vlek.pem",
)


def signed_by(child: x509.Certificate, parent: x509.Certificate) -> bool:
    """Whether `parent`'s key made `child`'s signature, the way AMD signs (RSASSA-PSS, SHA-384, salt 48)."""
    return child.issuer == parent.subject and _pss_signed(child, parent.public_key())


def _pss_signed(child: x509.Certificate, key: object) -> bool:
    if not isinstance(key, rsa.RSAPublicKey):
        return False
    try:
        key.verify(child.signature, child.tbs_certificate_bytes, AMD_PSS, AMD_PSS_HASH)
    except (InvalidSignature, ValueError):
        return False
    return True


def declared_algorithm(certificate: x509.Certificate) -> bytes:
    """The signature algorithm that the certificate declares (its outer signatureAlgorithm, in DER): the one part
    of a certificate that its signature does not cover."""
    data = der(certificate)
    header = 2 + (data[1] & 0x7F if data[1] & 0x80 else 0)
    start = header + len(certificate.tbs_certificate_bytes)
    length = data[start + 1]
    # AMD's are shorter than 128 bytes: a longer one (in the long form of DER lengths) is not AMD's anyway.
    return data[start:start + 2 + length] if length < 0x80 else data[start:start + 2]


def _algorithm_name(certificate: x509.Certificate) -> str:
    oid = certificate.signature_algorithm_oid
    name = oid._name if oid._name != "Unknown OID" else oid.dotted_string
    if oid == x509.SignatureAlgorithmOID.RSASSA_PSS:
        return f"{name} with other parameters"
    return name


@dataclass(frozen=True, eq=False)
class Chain:
    """One pinned chain: the intermediate that signs one key kind of a product line, and its root."""

    product: ProductLine
    key_kind: KeyKind  # a VCEK is signed by the ASK, a VLEK by the ASVK
    intermediate: x509.Certificate
    root: x509.Certificate

    @functools.cached_property
    def intermediate_name(self) -> str:
        """The intermediate's common name (SEV-Milan, SEV-VLEK-Milan, ...)."""
        return common_name(self.intermediate)

    @functools.cached_property
    def root_name(self) -> str:
        """The root's common name (ARK-Milan, ...)."""
        return common_name(self.root)

    @property
    def names(self) -> str:
        """"intermediate <- root", as details name the chain."""
        return f"{self.intermediate_name} <- {self.root_name}"

    @functools.cached_property
    def periods(self) -> tuple[tuple[str, datetime.datetime, datetime.datetime], ...]:
        """The intermediate's and the root's names and validity periods: read once, as the chain stays pinned."""
        return tuple(
            (name, c.not_valid_before_utc, c.not_valid_after_utc)
            for name, c in ((self.intermediate_name, self.intermediate), (self.root_name, self.root))
        )

    @functools.cached_property
    def ders(self) -> frozenset[bytes]:
        """The DER bytes of the intermediate and the root, which input certificates are compared with."""
        return frozenset((der(self.intermediate), der(self.root)))

    @functools.cached_property
    def subject(self) -> x509.Name:
        """The intermediate's subject, which a leaf's issuer must be."""
        return self.intermediate.subject

    @functools.cached_property
    def key(self) -> object:
        """The intermediate's public key, loaded once."""
        return self.intermediate.public_key()


def parse_chains(pem: bytes, source: str) -> list[Chain]:
    """Chains from PEM: each an intermediate, then its root, as AMD's KDS serves them.

    The names say the product line and the key kind (ASK `SEV-Milan`, ASVK
    `SEV-VLEK-Milan`, root `ARK-Milan`); each root must sign itself and its
    intermediate.
    """
    certificates = load_certificates(pem, source)
    if not certificates or len(certificates) % 2:
        raise VerificationError(
            f"{source}: expected pairs of an intermediate then its root, found {how_many(len(certificates))}",
            ErrorKind.CHAINS,
        )
    return [_chain(*certificates[i:i + 2], source=source) for i in range(0, len(certificates), 2)]


def _chain(intermediate: x509.Certificate, root: x509.Certificate, *, source: str) -> Chain:
    root_name, name = common_name(root), common_name(intermediate)
    product = root_name.removeprefix("ARK-")
    kinds = {f"SEV-{product}": KeyKind.VCEK, f"SEV-VLEK-{product}": KeyKind.VLEK}
    if product not in tuple(ProductLine) or name not in kinds:
        raise VerificationError(
            f"{source}: expected an ASK (SEV-<product>) or ASVK (SEV-VLEK-<product>) then its ARK "
            f"(ARK-<product>) of Milan, Genoa or Turin, found {name} then {root_name}", ErrorKind.CHAINS
        )
    if not signed_by(root, root):
        raise VerificationError(
            f"{source}: {root_name} is not signed by itself (RSASSA-PSS, SHA-384, salt 48)", ErrorKind.CHAINS
        )
    if not signed_by(intermediate, root):
        raise VerificationError(
            f"{source}: {name} is not signed by {root_name} (RSASSA-PSS, SHA-384, salt 48)", ErrorKind.CHAINS
        )
    return Chain(ProductLine(product), kinds[name], intermediate, root)


@dataclass(frozen=True)
class ChainMatch:
    """The outcome of looking for the chain of a VCEK or VLEK: the chain, or None and what was expected."""

    chain: Chain | None
    detail: str


class TrustStore:
    """A set of pinned chains."""

    def __init__(self, chains: Sequence[Chain], unchecked: Mapping[Chain, tuple[bytes, str]] | None = None) -> None:
        self.chains = tuple(chains)
        # Chains loaded but not yet checked, with their PEM and its source: AMD's bundled ones, each checked
        # (two RSA verifications) when a leaf first needs it rather than all six on every start.
        self._unchecked = dict(unchecked or {})
        self._pinned = {der(c) for chain in self.chains for c in (chain.intermediate, chain.root)}
        self._by_subject: dict[x509.Name, list[Chain]] = {}
        for chain in self.chains:
            self._by_subject.setdefault(chain.subject, []).append(chain)

    def match(self, leaf: x509.Certificate, leaf_name: str, key_kind: str | None) -> ChainMatch:
        """The chain of the leaf (whose common name is `leaf_name`) for the key kind the report names."""
        kind = key_kind or LEAF_NAMES.get(leaf_name)
        # The signature is verified the way AMD signs, whatever the certificate says; but a certificate that
        # says otherwise is not AMD's, only a second encoding of one.
        if declared_algorithm(leaf) not in AMD_PSS_DECLARED:
            return ChainMatch(None, (
                "expected the certificate to declare AMD's signature algorithm (RSASSA-PSS, SHA-384, MGF1 with "
                f"SHA-384, salt 48); it declares {_algorithm_name(leaf)}"
            ))
        for chain in self._by_subject.get(leaf.issuer, []):
            if _pss_signed(leaf, self.checked(chain).key):
                if kind is not None and chain.key_kind != kind:
                    return ChainMatch(None, (
                        f"expected a {kind}, as the report's signing-key field says; the certificate is "
                        f"signed by {chain.intermediate_name}, which signs {chain.key_kind}s"
                    ))
                return ChainMatch(chain, f"{leaf_name} <- {chain.names}: AMD's {chain.product} {chain.key_kind} chain")
        wanted = f"{kind}s" if kind else "VCEKs or VLEKs"
        issuers = ", ".join(c.intermediate_name for c in self.chains if kind in (None, c.key_kind))
        return ChainMatch(None, (
            f"expected the certificate to be signed by a pinned intermediate that signs {wanted} ({issuers}); "
            f"its issuer is {leaf.issuer.rfc4514_string()}"
        ))

    def checked(self, chain: Chain) -> Chain:
        """`chain`, once its root signs itself and its intermediate; raises as loading it with `parse_chains` does."""
        pending = self._unchecked.get(chain)
        if pending is not None:
            made = parse_chains(*pending)
            if [(c.product, c.key_kind, der(c.intermediate), der(c.root)) for c in made] != [
                    (chain.product, chain.key_kind, der(chain.intermediate), der(chain.root))]:
                raise VerificationError(f"{pending[1]}: not the {chain.product} {chain.key_kind} chain", ErrorKind.CHAINS)
            self._unchecked.pop(chain, None)
        return chain

    def stranger(self, certificate: x509.Certificate) -> bool:
        """Whether an intermediate or root from the caller's input is not one of the pinned certificates."""
        return der(certificate) not in self._pinned


@functools.cache  # loaded once per process: an immutable constant, which judges nothing by itself
def bundled() -> TrustStore:
    """AMD's chains of Milan, Genoa and Turin as shipped with the package."""
    directory = resources.files(__package__).joinpath("data", "amd-chains")
    # Loaded now, checked when first needed (`TrustStore.checked`): a run judges one product line's chain, and
    # checking all six would be twelve RSA-4096 verifications on every start. The file names say the product
    # line and the key kind; the check confirms them from the certificates' names.
    quiet_serial_warning()
    unchecked: dict[Chain, tuple[bytes, str]] = {}
    for name in BUNDLED_FILES:
        pem = directory.joinpath(name).read_bytes()
        intermediate, root = x509.load_pem_x509_certificates(pem)
        product = ProductLine(name.split("_")[2].removesuffix(".pem").capitalize())
        unchecked[Chain(product, KeyKind.VLEK if "vlek" in name else KeyKind.VCEK, intermediate, root)] = pem, name
    return TrustStore(list(unchecked), unchecked)


def trust_store(chains: bytes | Sequence[bytes] | None) -> TrustStore:
    """The bundled chains, or those that the caller pins instead: PEM, each an intermediate then its root
    (one or more such pairs per item), loaded and checked now."""
    if chains is None:
        return bundled()
    if isinstance(chains, bytes | bytearray | memoryview):
        chains = [bytes(chains)]
    elif isinstance(chains, str) or not isinstance(chains, Sequence):
        raise about("chains", f"expected PEM bytes or a sequence of them, got {type(chains).__name__}")
    if not chains:
        raise about("chains", "no chain given; pass None for AMD's bundled chains")
    pems: list[bytes] = []
    for index, pem in enumerate(chains):
        if not isinstance(pem, bytes | bytearray | memoryview):
            raise VerificationError(
                f"chains[{index}]: expected PEM bytes, got {type(pem).__name__}", argument="chains",
                reason=f"item {index}: expected PEM bytes, got {type(pem).__name__}",
            )
        pems.append(bytes(pem))
    return TrustStore([chain for index, pem in enumerate(pems) for chain in parse_chains(pem, f"chains[{index}]")])
