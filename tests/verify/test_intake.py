"""The one intake: each piece of evidence the command is given is recognised and parsed once per verification."""

from __future__ import annotations

import base64
import collections
import contextlib
import io
import sys
from pathlib import Path

import pytest

from quorvel_verify import intake
from quorvel_verify._internal import evidence_text
from quorvel_verify.azure import hcl, thim
from quorvel_verify.cli import main
from quorvel_verify.sevsnp import extended
from quorvel_verify.sevsnp.report import Report
from quorvel_verify.tdx import quote

DATA = Path(__file__).parents[1] / "data"
# What takes evidence apart: the intake, each wrapper's parser, the text decoder and each platform's parser.
DECODERS = {function.__code__: function.__qualname__ for function in (
    intake.take_evidence, hcl.parse_hcl_report, extended.split_extended_report, evidence_text.decode_text,
    thim.parse_thim_payload, Report.from_bytes, quote.parse_quote)}
SNP = [str(DATA / "reports" / "milan-v3-oak.bin"), str(DATA / "reports" / "milan-v3-oak.vcek.pem"), "--now", "2026-06-01"]
V4 = [str(DATA / "tdx" / "quote-v4-uptodate.dcapqvl.bin"), "--collateral",
      str(DATA / "tdx" / "quote-v4-uptodate.dcapqvl.collateral.json"), "--now", "2025-07-01"]
TABLE = DATA / "collateral" / "certtable-milan-v3.evcli"


@pytest.mark.parametrize(
    ("argv", "status", "parsed"),
    [
        (SNP, 0, {"Report.from_bytes"}),
        (V4, 0, {"parse_quote"}),
        (["{hex:" + V4[0] + "}", *V4[1:]], 0, {"decode_text", "parse_quote"}),
        (["{base64:" + SNP[0] + "}", *SNP[1:]], 0, {"decode_text", "Report.from_bytes"}),
        ([str(DATA / "azure" / "hcl-snp-v0.trustee.bin"), str(DATA / "azure" / "hcl-snp-v0.trustee.vcek.pem"),
          "--now", "2026-06-01"], 0, {"parse_hcl_report", "Report.from_bytes"}),
        ([str(DATA / "azure" / "hcl-tdx.trustee.bin"), "--td-quote", str(DATA / "azure" / "hcl-tdx.trustee.td-quote.bin"),
          "--now", "2025-10-10"], 1, {"parse_hcl_report", "parse_quote"}),
        ([str(DATA / "azure" / "thim-milan.scitt.report.bin"), str(DATA / "azure" / "thim-milan.scitt.json"),
          "--now", "2026-06-01"], 0, {"parse_thim_payload", "Report.from_bytes"}),
        (["{extended}", "--now", "2026-06-01"], 0, {"split_extended_report", "Report.from_bytes"}),
    ],
)
def test_each_piece_of_evidence_is_recognised_and_parsed_once(tmp_path, argv, status, parsed) -> None:
    def written(argument: str) -> str:
        if argument == "{extended}":
            path = tmp_path / "extended.bin"
            path.write_bytes(Path(f"{TABLE}.report.bin").read_bytes() + Path(f"{TABLE}.bin").read_bytes())
            return str(path)
        if argument.startswith("{"):
            form, _, source = argument[1:-1].partition(":")
            raw = Path(source).read_bytes()
            path = tmp_path / f"evidence.{form}"
            path.write_bytes(raw.hex().encode() if form == "hex" else base64.b64encode(raw))
            return str(path)
        return argument

    argv = [written(argument) for argument in argv]
    calls: collections.Counter[str] = collections.Counter()

    def count(frame, event, _arg):  # noqa: ANN001, ANN202
        if event == "call" and frame.f_code in DECODERS:
            calls[DECODERS[frame.f_code]] += 1

    sys.setprofile(count)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            done = main(argv)
    finally:
        sys.setprofile(None)
    assert done == status
    assert calls == collections.Counter({"take_evidence": 1} | dict.fromkeys(parsed, 1))
