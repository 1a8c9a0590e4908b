#!/usr/bin/env python3
"""Writes the seed corpora of the verifier's fuzz targets (fuzz_verify.py) from the genuine data in tests/data.

usage: make_seeds.py DIR

DIR/TARGET/ gets, per target: `report` the genuine reports and each mistake
the reader names (base64, hex, the firmware's response, a report with its
certificate table, a certificate); `table` the genuine certificate tables;
`bundle` the genuine VCEKs in PEM and DER and AMD's pinned chains; `crl` the
genuine lists in DER and PEM; `answer` and `cache` a VCEK, a chain and a list
each behind the byte that picks its kind (0, 1, 2); `policy` the README's
policy, examples/policy.toml and a few short policies, two of them shaped as
the inputs that once made finding a key's line costly.
"""

from __future__ import annotations

import base64
import hashlib
import json
import struct
import sys
import warnings
from pathlib import Path
from urllib.parse import quote

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.utils import CryptographyDeprecationWarning

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "tests" / "data"
CHAINS = ROOT / "src" / "quorvel_verify" / "sevsnp" / "data" / "amd-chains"


def seeds() -> dict[str, list[bytes]]:
    warnings.simplefilter("ignore", CryptographyDeprecationWarning)  # AMD's serial number 0
    reports = sorted((DATA / "reports").glob("*.bin")) + sorted((DATA / "reports-more").glob("*.bin"))
    report = reports[0].read_bytes()
    pems = sorted((DATA / "reports").glob("*.vcek.pem")) + sorted(CHAINS.glob("*.pem"))
    ders = [x509.load_pem_x509_certificate(pem.read_bytes()).public_bytes(serialization.Encoding.DER)
            for pem in sorted((DATA / "reports").glob("*.vcek.pem"))]
    tables = sorted((DATA / "collateral").glob("certtable-*.bin"))
    tables = [path.read_bytes() for path in tables if not path.name.endswith(".report.bin")]
    crls = [path.read_bytes() for path in sorted((DATA / "collateral").glob("crl-*.der"))]
    crl_pem = x509.load_der_x509_crl(crls[0]).public_bytes(serialization.Encoding.PEM)
    chain = (CHAINS / "ask_ark_milan.pem").read_bytes()
    example = ROOT / "examples" / "policy.toml"
    policies = [example.read_bytes()] if example.exists() else []
    readme = (ROOT / "README.md").read_text()
    if "```toml\n" in readme:
        policies.append(readme.split("```toml\n", 1)[1].split("```", 1)[0].encode())
    kinds = [b"\x00" + ders[0], b"\x01" + chain, b"\x02" + crls[0]]
    return {
        "report": [path.read_bytes() for path in reports] + [
            base64.b64encode(report), report.hex().encode() + b"\n",
            struct.pack("<II", 0, len(report)) + bytes(24) + report + bytes(4000 - 32 - len(report)),
            report + tables[0], pems[0].read_bytes(),
        ],
        "table": tables,
        "bundle": [pem.read_bytes() for pem in pems] + ders,
        "crl": crls + [crl_pem],
        "answer": kinds,
        "cache": kinds,
        # And the shapes that make finding a key's line costly: a long line of blanks, a multi-line string.
        "policy": policies + [b'vmpl = [0]\nmin_tcb = { snp = 8 }\nmin_abi = "1.51"\n',
                              b"measurements = [\n" + b" " * 512 + b"\n]\nvmpls = 1\n",
                              b'report_data = """\nvmpl = 3\n"""\nvmpls = [9]\n'],
    }


def _with_chain(quote_bytes: bytes, blocks: list[bytes]) -> bytes:
    """The quote with its PCK chain made of `blocks` (PEM certificates), its three sizes written again."""
    start = quote_bytes.index(b"-----BEGIN")
    old_size = int.from_bytes(quote_bytes[start - 4 : start], "little")
    chain = b"".join(blocks) + b"\0"
    delta = len(chain) - old_size
    body_end = 48 + 584 if quote_bytes[0] == 4 else 48 + 6 + int.from_bytes(quote_bytes[50:54], "little")
    out = bytearray(quote_bytes[: start - 4] + len(chain).to_bytes(4, "little") + chain + quote_bytes[start + old_size :])
    for offset in (body_end, body_end + 4 + 128 + 2):  # the signature data's size, the certification data's
        out[offset : offset + 4] = (int.from_bytes(out[offset : offset + 4], "little") + delta).to_bytes(4, "little")
    return bytes(out)


def _pem_blocks(text: bytes) -> list[bytes]:
    end = b"-----END CERTIFICATE-----\n"
    return [block + end for block in text.split(end) if b"-----BEGIN" in block]


def _quote_shapes(quote_bytes: bytes) -> list[bytes]:
    """The shapes Intel's rules judge: the chain in Intel's other order, without its root, with its CA twice;
    a version 5 quote's body type made 4 (TD partitioning); the version made 3 (an SGX quote)."""
    start = quote_bytes.index(b"-----BEGIN")
    pck, ca, root = _pem_blocks(quote_bytes[start : start + int.from_bytes(quote_bytes[start - 4 : start], "little")])
    shapes = [_with_chain(quote_bytes, [pck, root, ca]), _with_chain(quote_bytes, [pck, ca]),
              _with_chain(quote_bytes, [pck, ca, ca, root]), b"\3\0" + quote_bytes[2:4] + bytes(4) + quote_bytes[8:]]
    if quote_bytes[0] == 5:
        shapes.append(quote_bytes[:48] + b"\4\0" + quote_bytes[50:])
    return shapes  # fmt: skip


def tdx_and_azure_seeds() -> dict[str, list[bytes]]:
    """`quote` the genuine TDX quotes; `collateral` the genuine collateral files; `pcs` Intel's answers behind the
    byte that picks what was asked for (0 TCB info, 1 QE identity, 2 PCK CRL, 3 root CA CRL) and their issuer chain
    header; `hcl` the genuine HCL reports and THIM payload; `shapes` those and a quote, also as base64 and hex;
    `tpm` the genuine vTPM quotes, as JSON and as their parts (message, signature, PCR values as hex lines)."""
    tdx, azure = DATA / "tdx", DATA / "azure"
    quotes = [path.read_bytes() for path in sorted(tdx.glob("quote-*.bin"))] + [(azure / "hcl-tdx.trustee.td-quote.bin").read_bytes()]
    files = [path.read_bytes() for path in sorted(tdx.glob("*.collateral.json"))]
    quotes += [shape for path in ("quote-v4-uptodate.dcapqvl.bin", "quote-v5-td15-nolevel.dcapqvl.bin")
               for shape in _quote_shapes((tdx / path).read_bytes())]  # fmt: skip
    # The TCB info's issuer chain in the other order, and with its root left out.
    genuine = json.loads(files[0])
    signer, root = _pem_blocks(genuine["tcb_info_issuer_chain"].encode())
    for chain in ((root, signer), (signer,)):
        files.append(json.dumps(genuine | {"tcb_info_issuer_chain": b"".join(chain).decode()}).encode())
    answers = []
    for text in files:
        fields = json.loads(text)
        for kind, key, prefix in ((0, "tcbInfo", "tcb_info"), (1, "enclaveIdentity", "qe_identity")):
            body = f'{{"{key}":{fields[prefix]},"signature":"{fields[prefix + "_signature"]}"}}'
            answers.append(bytes([kind]) + quote(fields[prefix + "_issuer_chain"]).encode() + b"\r\n\r\n" + body.encode())
        answers.append(b"\x02" + quote(fields["pck_crl_issuer_chain"]).encode() + b"\r\n\r\n" + bytes.fromhex(fields["pck_crl"]))
        answers.append(b"\x03\r\n\r\n" + fields["root_ca_crl"].encode())
    hcls = [path.read_bytes() for path in sorted(azure.glob("hcl-*.bin")) if "td-quote" not in path.name]
    thim = (azure / "thim-milan.scitt.json").read_bytes()
    tpm_json = json.loads((azure / "tpm-quote-v1.trustee.json").read_text())
    tpm = [(azure / "tpm-quote-v1.trustee.json").read_bytes(), (azure / "tpm-quote.trustee.msg").read_bytes(),
           (azure / "tpm-quote.trustee.sig").read_bytes(), bytes.fromhex(tpm_json["message"]),
           bytes.fromhex(tpm_json["signature"]), "\n".join(tpm_json["pcrs"]).encode()]
    return {
        "quote": quotes,
        "collateral": files,
        "pcs": answers,
        "hcl": hcls + [thim],
        "shapes": hcls + [thim, quotes[0], base64.b64encode(hcls[0]), hcls[-1].hex().encode()],
        "tpm": tpm,
    }


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py DIR")
    out = Path(sys.argv[1])
    for target, inputs in (seeds() | tdx_and_azure_seeds()).items():
        directory = out / target
        directory.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (directory / f"seed-{hashlib.sha256(data).hexdigest()[:16]}").write_bytes(data)


if __name__ == "__main__":
    main()
