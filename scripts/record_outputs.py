"""Records quorvel-verify's text output, --json output and exit status over the test corpus into one JSON file.

Usage: .venv/bin/python scripts/record_outputs.py OUT.json [--compare BEFORE.json]

Every genuine report, quote and HCL report in tests/data is run with its certificates or collateral and a
--now inside its window, and so are the refusals (wrong, swapped, truncated and empty files, a TDX quote
without collateral, the TDX and vTPM options where they do not apply, the THIM payload, the pins). The
command runs in this process; the files it is given that the corpus lacks are written to one fixed
directory, so that two recordings name the same paths. The package's version is masked: a reshaping of the
code must leave everything else of the recording as it was, which --compare checks.
"""

from __future__ import annotations

import base64
import contextlib
import io
import json
import re
import shutil
import sys
from pathlib import Path

from quorvel_verify.cli import main

DATA = Path(__file__).resolve().parents[1] / "tests" / "data"
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
WORK = Path("/tmp/quorvel-record-outputs")
VERSION = re.compile(r'("quorvel_version": )"[^"]*"')
SNP_NOW = "2026-06-01"
NOW_OF = {"milan-v3-trustee-vlek": "2025-06-01"}
TDX = DATA / "tdx"
AZURE = DATA / "azure"


def _tdx_collateral(tcb_info: str, qe_identity: str | None, chain: str, crls: tuple[str, str] | None) -> Path:
    """Intel's collateral as --save-collateral writes it, assembled from PCS answers as they were served."""
    from quorvel_verify.tdx.collateral import signed_body

    body, signature = signed_body((TDX / tcb_info).read_text(), "tcbInfo")
    fields = {"tcb_info": body, "tcb_info_signature": signature.hex(),
              "tcb_info_issuer_chain": (TDX / chain).read_text()}
    if qe_identity:
        body, signature = signed_body((TDX / qe_identity).read_text(), "enclaveIdentity")
        fields |= {"qe_identity": body, "qe_identity_signature": signature.hex(),
                   "qe_identity_issuer_chain": (TDX / chain).read_text()}
    if crls:
        fields |= {"pck_crl": (TDX / crls[0]).read_bytes().hex(), "root_ca_crl": (TDX / crls[1]).read_bytes().hex()}
    path = WORK / f"{tcb_info}.collateral.json"
    path.write_text(json.dumps(fields))
    return path


def _runs() -> dict[str, list[str]]:
    """Each run's name and its arguments (without --json, which every run is recorded with and without)."""
    runs: dict[str, list[str]] = {}
    reports = sorted((DATA / "reports").glob("*.bin")) + sorted((DATA / "reports-more").glob("*.bin"))
    for report in reports:
        name = report.stem
        cert = report.with_suffix(".vcek.pem")
        runs[f"snp/{name}"] = [str(report), str(cert), "--now", NOW_OF.get(name, SNP_NOW)]
    milan, milan_cert = DATA / "reports" / "milan-v3-oak.bin", DATA / "reports" / "milan-v3-oak.vcek.pem"
    genoa, genoa_cert = DATA / "reports" / "genoa-v3-azure.bin", DATA / "reports" / "genoa-v3-azure.vcek.pem"
    for crl in sorted((DATA / "collateral").glob("crl-*.der")):
        report, cert = (milan, milan_cert) if "milan" in crl.name else (genoa, genoa_cert)
        runs[f"crl/{crl.stem}"] = [str(report), str(cert), "--crl", str(crl), "--now", SNP_NOW]
    collateral = DATA / "collateral"
    for name in ("certtable-genoa-v3.veraison", "certtable-milan-v3.evcli"):
        report, table = collateral / f"{name}.report.bin", collateral / f"{name}.bin"
        runs[f"table/{name}"] = [str(report), "--cert-table", str(table), "--now", SNP_NOW]
        extended = WORK / f"{name}.extended.bin"
        extended.write_bytes(report.read_bytes() + table.read_bytes())
        runs[f"extended/{name}"] = [str(extended), "--now", SNP_NOW]
        runs[f"table-as-cert/{name}"] = [str(report), str(table), "--now", SNP_NOW]
    runs["thim/azure-thim-milan"] = [str(collateral / "azure-thim-milan.report-v2.bin"),
                                     str(collateral / "azure-thim-milan.uvm_host_amd_certificate.json"),
                                     "--now", SNP_NOW]
    runs["thim/scitt"] = [str(AZURE / "thim-milan.scitt.report.bin"), str(AZURE / "thim-milan.scitt.json"),
                          "--now", SNP_NOW]
    runs["thim/wrong-report"] = [str(milan), str(AZURE / "thim-milan.scitt.json"), "--now", SNP_NOW]
    for hcl in sorted(AZURE.glob("hcl-snp-*.bin")):
        cert = next(AZURE.glob(f"{hcl.stem}.vcek*.pem"))
        runs[f"hcl/{hcl.stem}"] = [str(hcl), str(cert), "--now", SNP_NOW]
    hcl, chain = AZURE / "hcl-snp-milan-v2.trustee.bin", AZURE / "hcl-snp-milan-v2.trustee.vcek-chain.pem"
    nonce_policy = WORK / "nonce.toml"
    nonce_policy.write_text('[azure]\ntpm_nonce = "challenge"\nrequire_tpm_quote = true\n')
    quote_json = AZURE / "tpm-quote-v1.trustee.json"
    quote = json.loads(quote_json.read_text())
    (WORK / "quote.msg").write_bytes(bytes.fromhex(quote["message"]))
    (WORK / "quote.sig").write_bytes(bytes.fromhex(quote["signature"]))
    (WORK / "pcrs.txt").write_text("\n".join(quote["pcrs"]) + "\n")
    runs["vtpm/json-policy"] = [str(hcl), str(chain), "--tpm-quote", str(quote_json), "--policy", str(nonce_policy),
                                "--now", SNP_NOW]
    runs["vtpm/json-nonce"] = [str(hcl), str(chain), "--tpm-quote", str(quote_json), "--tpm-nonce", "challenge",
                               "--now", SNP_NOW]
    runs["vtpm/json-wrong-nonce"] = [str(hcl), str(chain), "--tpm-quote", str(quote_json), "--tpm-nonce", "hex:00",
                                     "--now", SNP_NOW]
    runs["vtpm/raw"] = [str(hcl), str(chain), "--tpm-message", str(WORK / "quote.msg"), "--tpm-signature",
                        str(WORK / "quote.sig"), "--pcrs", str(WORK / "pcrs.txt"), "--tpm-nonce", "challenge",
                        "--now", SNP_NOW]
    runs["vtpm/other-key"] = [str(hcl), str(chain), "--tpm-message", str(AZURE / "tpm-quote.trustee.msg"),
                              "--tpm-signature", str(AZURE / "tpm-quote.trustee.sig"), "--now", SNP_NOW]
    runs["vtpm/swapped-parts"] = [str(hcl), str(chain), "--tpm-message", str(WORK / "quote.sig"), "--tpm-signature",
                                  str(WORK / "quote.msg"), "--now", SNP_NOW]
    runs["vtpm/on-snp-report"] = [str(milan), str(milan_cert), "--tpm-quote", str(quote_json), "--now", SNP_NOW]
    runs["vtpm/no-quote-required"] = [str(AZURE / "hcl-snp-v0.trustee.bin"), str(AZURE / "hcl-snp-v0.trustee.vcek.pem"),
                                      "--policy", str(nonce_policy), "--now", SNP_NOW]
    runs["vtpm/on-tdx-quote"] = [str(TDX / "quote-v4-uptodate.dcapqvl.bin"), "--collateral",
                                 str(TDX / "quote-v4-uptodate.dcapqvl.collateral.json"), "--tpm-quote",
                                 str(quote_json), "--now", "2025-07-01"]

    # TDX quotes, each with its collateral.
    v4, v4_collateral = TDX / "quote-v4-uptodate.dcapqvl.bin", TDX / "quote-v4-uptodate.dcapqvl.collateral.json"
    v5, v5_collateral = TDX / "quote-v5-td15-nolevel.dcapqvl.bin", TDX / "quote-v5-td15-nolevel.dcapqvl.collateral.json"
    runs["tdx/v4-uptodate"] = [str(v4), "--collateral", str(v4_collateral), "--now", "2025-07-01"]
    runs["tdx/v4-uptodate-late"] = [str(v4), "--collateral", str(v4_collateral), "--now", "2025-08-01"]
    runs["tdx/v5-td15"] = [str(v5), "--collateral", str(v5_collateral), "--now", "2026-03-01"]
    runs["tdx/v4-other-collateral"] = [str(v4), "--collateral", str(v5_collateral), "--now", "2026-03-01"]
    spr = _tdx_collateral("tcbinfo-2023-06.gotdx.json", "qeidentity-2023-06.gotdx.json",
                          "tcbinfo-issuer-chain.gotdx.pem", ("pck-crl-2023-06.gotdx.der", "root-crl-2023-04.gotdx.der"))
    runs["tdx/spr-e4"] = [str(TDX / "quote-v4-spr-e4.gotdx.bin"), "--collateral", str(spr), "--now", "2023-06-25"]
    gcp = _tdx_collateral("tcbinfo-00806f050000-2025-09.teekit.json", None, "tcb-signing-chain-2025.pem", None)
    runs["tdx/gcp-cos113"] = [str(TDX / "quote-v4-gcp-cos113.gotdx.bin"), "--collateral", str(gcp),
                              "--now", "2025-10-10"]
    trustee = _tdx_collateral("tcbinfo-2025-10.trustee.json", "qeidentity-2025-10.trustee.json",
                              "tcb-signing-chain-2025.pem", None)
    runs["tdx/trustee-no-crl"] = [str(TDX / "quote-c.trustee.bin"), "--collateral", str(trustee),
                                  "--now", "2025-11-10"]
    unrequired = WORK / "unrequired.toml"
    unrequired.write_text("require_revocation = false\n")
    runs["tdx/trustee-unrequired"] = [str(TDX / "quote-c.trustee.bin"), "--collateral", str(trustee), "--policy",
                                      str(unrequired), "--now", "2025-11-10"]
    runs["tdx/pin-mr-td"] = [str(v4), "--collateral", str(v4_collateral), "--mr-td", "00" * 48, "--now", "2025-07-01"]
    runs["tdx/pin-report-data"] = [str(v4), "--collateral", str(v4_collateral), "--report-data", "00" * 64,
                                   "--now", "2025-07-01"]
    runs["tdx/save-collateral-stdout"] = [str(v4), "--collateral", str(v4_collateral), "--save-collateral", "-",
                                          "--now", "2025-07-01"]
    hcl_tdx, td_quote = AZURE / "hcl-tdx.trustee.bin", AZURE / "hcl-tdx.trustee.td-quote.bin"
    runs["hcl-tdx/td-quote"] = [str(hcl_tdx), "--td-quote", str(td_quote), "--now", "2025-10-10"]
    runs["hcl-tdx/td-quote-gcp-collateral"] = [str(hcl_tdx), "--td-quote", str(td_quote), "--collateral", str(gcp),
                                              "--now", "2025-10-10"]
    runs["hcl-tdx/td-quote-offline"] = [str(hcl_tdx), "--td-quote", str(td_quote), "--offline", "--cache-dir",
                                        str(WORK / "empty-cache"), "--now", "2025-10-10"]
    runs["hcl-tdx/no-td-quote"] = [str(hcl_tdx), "--now", "2025-10-10"]
    runs["hcl-tdx/wrong-td-quote"] = [str(hcl_tdx), "--td-quote", str(v4), "--collateral", str(v4_collateral),
                                      "--now", "2025-07-01"]

    # The evidence as text.
    for form, encode in (("hex", bytes.hex), ("base64", lambda raw: base64.b64encode(raw).decode()),
                         ("base64url", lambda raw: base64.urlsafe_b64encode(raw).decode().rstrip("="))):
        for what, raw in (("report", milan.read_bytes()), ("quote", v4.read_bytes()),
                          ("hcl", (AZURE / "hcl-snp-v0.trustee.bin").read_bytes())):
            path = WORK / f"{what}.{form}"
            path.write_text(encode(raw) + "\n")
            runs[f"text/{what}-{form}"] = {
                "report": [str(path), str(milan_cert), "--now", SNP_NOW],
                "quote": [str(path), "--collateral", str(v4_collateral), "--now", "2025-07-01"],
                "hcl": [str(path), str(AZURE / "hcl-snp-v0.trustee.vcek.pem"), "--now", SNP_NOW],
            }[what]
    pem = WORK / "report.pem"
    pem.write_text("-----BEGIN SEV-SNP REPORT-----\n" + base64.encodebytes(milan.read_bytes()).decode()
                   + "-----END SEV-SNP REPORT-----\n")
    runs["text/report-pem"] = [str(pem), str(milan_cert), "--now", SNP_NOW]
    quote_pem = WORK / "quote.pem"
    quote_pem.write_text("-----BEGIN TDX QUOTE-----\n" + base64.encodebytes(v4.read_bytes()).decode()
                         + "-----END TDX QUOTE-----\n")
    runs["text/quote-pem"] = [str(quote_pem), "--collateral", str(v4_collateral), "--now", "2025-07-01"]

    # The pins and policies.
    runs["pin/report-data"] = [str(milan), str(milan_cert), "--report-data", "00" * 64, "--now", SNP_NOW]
    runs["pin/measurement"] = [str(milan), str(milan_cert), "--measurement", "00" * 48, "--now", SNP_NOW]
    runs["pin/vmpl"] = [str(milan), str(milan_cert), "--vmpl", "0", "--now", SNP_NOW]
    runs["pin/min-tcb"] = [str(milan), str(milan_cert), "--min-tcb", "snp = 22, microcode = 213", "--now", SNP_NOW]
    runs["pin/mr-td-on-snp"] = [str(milan), str(milan_cert), "--mr-td", "00" * 48, "--now", SNP_NOW]
    runs["pin/vmpl-on-tdx"] = [str(v4), "--collateral", str(v4_collateral), "--vmpl", "0", "--now", "2025-07-01"]
    runs["pin/require-revocation"] = [str(milan), str(milan_cert), "--require-revocation", "--now", SNP_NOW]
    example = EXAMPLES / "policy-three-lines.toml"
    if example.exists():
        runs["policy/three-lines"] = [str(milan), str(milan_cert), "--policy", str(example), "--now", SNP_NOW]
        runs["policy/three-lines-tdx"] = [str(v4), "--collateral", str(v4_collateral), "--policy", str(example),
                                          "--mr-td", "00" * 48, "--now", "2025-07-01"]

    # Refusals: wrong, swapped, truncated and empty files; options where they do not apply.
    empty = WORK / "empty"
    empty.write_bytes(b"")
    truncated_report, truncated_quote, truncated_hcl = WORK / "report.cut", WORK / "quote.cut", WORK / "hcl.cut"
    truncated_report.write_bytes(milan.read_bytes()[:1000])
    truncated_quote.write_bytes(v4.read_bytes()[:2000])
    truncated_hcl.write_bytes((AZURE / "hcl-snp-v0.trustee.bin").read_bytes()[:1500])
    runs["refuse/swapped"] = [str(milan_cert), str(milan), "--now", SNP_NOW]
    runs["refuse/cert-alone"] = [str(milan_cert)]
    runs["refuse/report-alone"] = [str(milan)]
    runs["refuse/wrong-cert"] = [str(milan), str(genoa_cert), "--now", SNP_NOW]
    runs["refuse/empty"] = [str(empty), str(milan_cert)]
    runs["refuse/truncated-report"] = [str(truncated_report), str(milan_cert), "--now", SNP_NOW]
    runs["refuse/truncated-quote"] = [str(truncated_quote), "--collateral", str(v4_collateral), "--now", "2025-07-01"]
    runs["refuse/truncated-hcl"] = [str(truncated_hcl), str(AZURE / "hcl-snp-v0.trustee.vcek.pem"), "--now", SNP_NOW]
    runs["refuse/collateral-as-evidence"] = [str(v4_collateral), str(v4)]
    runs["refuse/quote-with-cert"] = [str(v4), str(v4_collateral)]
    runs["refuse/quote-as-collateral"] = [str(v4), "--collateral", str(v4), "--now", "2025-07-01"]
    runs["refuse/tdx-no-collateral"] = [str(v4), "--now", "2025-07-01"]
    runs["refuse/tdx-offline-empty-cache"] = [str(v4), "--offline", "--cache-dir", str(WORK / "empty-cache"),
                                              "--now", "2025-07-01"]
    runs["refuse/snp-offline-empty-cache"] = [str(milan), "--offline", "--cache-dir", str(WORK / "empty-cache"),
                                              "--now", SNP_NOW]
    runs["refuse/td-quote-on-quote"] = [str(v4), "--td-quote", str(hcl_tdx)]
    runs["refuse/td-quote-on-report"] = [str(milan), str(milan_cert), "--td-quote", str(td_quote)]
    runs["refuse/td-quote-on-snp-hcl"] = [str(hcl), str(chain), "--td-quote", str(td_quote)]
    runs["refuse/collateral-on-report"] = [str(milan), str(milan_cert), "--collateral", str(v4_collateral)]
    runs["refuse/cert-table-on-quote"] = [str(v4), "--cert-table", str(collateral / "certtable-milan-v3.evcli.bin")]
    runs["refuse/crl-on-quote"] = [str(v4), "--collateral", str(v4_collateral), "--crl",
                                   str(collateral / "crl-milan-vcek-n9-2026-06-22.atakit.der")]
    runs["refuse/thim-as-evidence"] = [str(AZURE / "thim-milan.scitt.json"), str(milan_cert)]
    runs["refuse/vtpm-quote-as-evidence"] = [str(quote_json), str(milan_cert)]
    runs["refuse/vtpm-message-as-evidence"] = [str(AZURE / "tpm-quote.trustee.msg"), str(milan_cert)]
    runs["refuse/table-as-evidence"] = [str(collateral / "certtable-milan-v3.evcli.bin"), str(milan_cert)]
    runs["refuse/crl-as-cert"] = [str(milan), str(collateral / "crl-milan-vcek-n9-2026-06-22.atakit.der")]
    runs["refuse/bad-now"] = [str(milan), str(milan_cert), "--now", "yesterday"]
    runs["refuse/two-stdin"] = ["-", "-"]
    return runs


def _run(argv: list[str]) -> dict[str, object]:
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status: object = main(argv)
        except BaseException as error:  # a traceback is recorded as such, to compare too
            status = f"raised {type(error).__name__}: {error}"
    return {"status": status, "stdout": VERSION.sub(r'\1"*"', out.getvalue()), "stderr": err.getvalue()}


def record() -> dict[str, object]:
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    recorded: dict[str, object] = {}
    for name, argv in _runs().items():
        recorded[name] = {"argv": argv, "text": _run(argv), "json": _run([*argv, "--json"])}
    return recorded


def compare(before: dict[str, object], after: dict[str, object]) -> list[str]:
    differences = [f"{name}: only before" for name in before if name not in after]
    differences += [f"{name}: only after" for name in after if name not in before]
    differences += [f"{name}: differs" for name in before if name in after and before[name] != after[name]]
    return differences


if __name__ == "__main__":
    if len(sys.argv) not in (2, 4) or (len(sys.argv) == 4 and sys.argv[2] != "--compare"):
        sys.exit(__doc__)
    # The checkout's own path is named "<repo>", so that recordings made in two clones compare.
    root = json.dumps(str(DATA.parents[1]))[1:-1]
    outputs = json.loads(json.dumps(record()).replace(root, "<repo>"))
    Path(sys.argv[1]).write_text(json.dumps(outputs, indent=1, sort_keys=True) + "\n")
    print(f"{len(outputs)} argument lists, {2 * len(outputs)} runs recorded into {sys.argv[1]}")
    if len(sys.argv) == 4:
        found = compare(json.loads(Path(sys.argv[3]).read_text()), outputs)
        print("\n".join(found) or "identical")
        sys.exit(1 if found else 0)
