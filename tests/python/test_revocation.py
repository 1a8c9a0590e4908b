"""The `revocation` check: AMD's genuine CRLs, and CRLs signed for the tests' own chain."""

from __future__ import annotations

import datetime
from pathlib import Path

import pytest
from amd_test_pki import amd_name, authority
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding

from quorvel_verify.checks import Check
from quorvel_verify.errors import VerificationError
from quorvel_verify.revocation import check_revocation

COLLATERAL = Path(__file__).parents[1] / "data" / "collateral"
CHAINS = Path(__file__).parents[2] / "src" / "quorvel_verify" / "data" / "amd-chains"
CRLS = sorted(path.name for path in COLLATERAL.glob("crl-*.der"))
PRODUCTS = {"Milan": "milan", "Genoa": "genoa", "Turin": "turin_vcek"}
DAY = datetime.timedelta(days=1)


def genuine_chain(product: str) -> list[x509.Certificate]:
    """AMD's intermediate (ASK) and root (ARK) of a product line's VCEK chain."""
    return x509.load_pem_x509_certificates((CHAINS / f"ask_ark_{PRODUCTS[product]}.pem").read_bytes())


def holding_serial(serial: int, common_name: str) -> x509.Certificate:
    """A certificate of no authority that carries `serial`: what a CRL looks up is the serial alone."""
    key = ec.generate_private_key(ec.SECP384R1())
    start = datetime.datetime(2020, 1, 1, tzinfo=datetime.UTC)
    return (
        x509.CertificateBuilder()
        .subject_name(amd_name(common_name)).issuer_name(amd_name(common_name)).public_key(key.public_key())
        .serial_number(serial).not_valid_before(start).not_valid_after(start + 10000 * DAY)
        .sign(key, hashes.SHA384())
    )


def when(crl_file: str, moment: str) -> datetime.datetime:
    crl = x509.load_der_x509_crl((COLLATERAL / crl_file).read_bytes())
    return {"inside": crl.last_update_utc + DAY, "before": crl.last_update_utc - datetime.timedelta(seconds=1),
            "after": crl.next_update_utc + datetime.timedelta(seconds=1)}[moment]


def genuine_rows():
    for crl in CRLS:
        issuer = crl.split("-")[1].capitalize()
        for product in PRODUCTS:
            expected = None if product == issuer else (
                f"expected a list signed by ARK-{product} (RSASSA-PSS, SHA-384); its signature does not verify"
            )
            yield pytest.param(crl, product, None, "inside", 0, expected, id=f"{crl} against ARK-{product}")
    milan, genoa_2, genoa_4 = (
        "crl-milan-vcek-n9-2026-06-22.atakit.der", "crl-genoa-vcek-n2-2022-10-31.steward.der",
        "crl-genoa-vcek-n4-2024-10-23.openpcc.der",
    )
    yield pytest.param(
        milan, "Milan", None, "after", 0,
        "expected a list current at 2026-08-08 00:00:01 UTC; this one's next update was 2026-08-08 00:00:00 UTC",
        id="after nextUpdate",
    )
    yield pytest.param(milan, "Milan", None, "after", 1, None, id="after nextUpdate, within a day's grace")
    yield pytest.param(
        milan, "Milan", None, "before", 0,
        "expected a list issued by 2026-06-22 05:53:51 UTC; this one is from 2026-06-22 05:53:52 UTC",
        id="before thisUpdate",
    )
    for crl, revoked_at in ((genoa_2, "13:34:46"), (genoa_4, "12:00:00")):
        yield pytest.param(
            crl, "Genoa", 0x020001, "inside", 0,
            f"expected SEV-Genoa (serial 0x20001) not to be revoked; ARK-Genoa's list revokes it"
            f" since 2022-10-31 {revoked_at} UTC",
            id=f"{crl} revokes serial 0x020001",
        )


class TestGenuineCrls:
    @pytest.mark.parametrize(("crl", "product", "intermediate_serial", "moment", "grace_days", "failure"),
                             list(genuine_rows()))
    def test_revocation(self, crl, product, intermediate_serial, moment, grace_days, failure):
        ask, ark = genuine_chain(product)
        if intermediate_serial is not None:
            ask = holding_serial(intermediate_serial, f"SEV-{product}")
        check = check_revocation(
            (COLLATERAL / crl).read_bytes(), ark=ark, intermediate=ask, leaf=None,
            now=when(crl, moment), grace=grace_days * DAY,
        )
        if failure is None:
            assert check.result == "pass", check.detail
            assert check.detail.endswith(f"revokes neither SEV-{product} (serial {ask.serial_number:#x})")
        else:
            assert check == Check("revocation", "fail", failure)


class TestTestChain:
    """Revoked chain certificates and forged lists: the tests' own chain and lists made for it.

    A revoked intermediate, and a policy that requires a list, are rows of the verifier's refusal table.
    """

    NOW = datetime.datetime.now(datetime.UTC).replace(microsecond=0)

    @pytest.mark.parametrize(
        ("crl", "expected"),
        [
            pytest.param({"revoked": [7], "encoding": serialization.Encoding.PEM}, None, id="other serial, PEM"),
            pytest.param(
                {"revoked": [1]},
                "expected SEV-VCEK (serial 0x1) not to be revoked; ARK-Milan's list revokes it since {}",
                id="leaf revoked",
            ),
            pytest.param(
                {"signer": "intermediate"},
                "expected a list signed by ARK-Milan (RSASSA-PSS, SHA-384); its signature does not verify",
                id="signed by the intermediate",
            ),
            pytest.param(
                {"rsa_padding": padding.PKCS1v15()},
                "expected a list signed by ARK-Milan (RSASSA-PSS, SHA-384); its signature does not verify",
                id="root's key, PKCS#1 v1.5",
            ),
            # Absence from these lists proves nothing: each must fail, though its root signed it.
            pytest.param(
                {"extensions": [x509.DeltaCRLIndicator(1)]},
                "expected a complete list; this one is a delta list on list #1",
                id="delta list",
            ),
            pytest.param(
                {"extensions": [x509.IssuingDistributionPoint(None, None, True, False, None, False, False)]},
                "expected a list of every certificate its root revokes; its issuing distribution point narrows it",
                id="list of end-entity certificates only",
            ),
            pytest.param(
                {"extensions": [x509.UnrecognizedExtension(x509.ObjectIdentifier("1.3.6.1.4.1.3704.99"), b"")]},
                "expected a list without unknown critical extensions; this one has 1.3.6.1.4.1.3704.99",
                id="unknown critical extension",
            ),
            pytest.param(
                {"extensions": [x509.UnrecognizedExtension(x509.oid.ExtensionOID.DELTA_CRL_INDICATOR, b"\x04\x00")]},
                "revocation list: not a CRL in DER or PEM (error parsing asn1 value: ParseError { kind: UnexpectedTag "
                "{ actual: Tag { value: 4, constructed: false, class: Universal } } })",
                id="malformed extension",
            ),
        ],
    )
    def test_revocation(self, crl, expected):
        issuer = authority("Milan", "VCEK")
        if crl.get("signer") == "intermediate":
            crl = crl | {"signer": issuer.intermediate_key}
        data = issuer.crl(now=self.NOW, **crl)
        if expected is not None and expected.startswith("revocation list: "):
            with pytest.raises(VerificationError) as error:
                check_revocation(data, ark=issuer.root, intermediate=issuer.intermediate, leaf=None, now=self.NOW)
            assert str(error.value) == expected
            return
        check = check_revocation(
            data, ark=issuer.root, intermediate=issuer.intermediate, leaf=issuer.issue().certificate, now=self.NOW,
        )
        if expected is None:
            assert check.result == "pass", check.detail
        else:
            revoked_at = (self.NOW - DAY).strftime("%Y-%m-%d %H:%M:%S UTC")
            assert check == Check("revocation", "fail", expected.format(revoked_at))
