"""Parse an SEV-SNP attestation report and print what a verifier gets from it.

Usage: python examples/parse_report.py [REPORT]

Without an argument it parses a genuine report from a Genoa machine that
ships with the test data.
"""

import sys
from pathlib import Path

import quorvel

DEFAULT_REPORT = Path(__file__).resolve().parent.parent / "tests" / "data" / "reports" / "genoa-v5-oak.bin"


# As quorvel-verify: 2 for a wrong command line or input that cannot be used.
BAD_INPUT = 2


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print(__doc__.splitlines()[2], file=sys.stderr)
        return BAD_INPUT
    path = Path(argv[1]) if len(argv) > 1 else DEFAULT_REPORT
    try:
        report = quorvel.parse_report(path.read_bytes())
    except (OSError, ValueError) as error:
        print(f"{path}: {error}", file=sys.stderr)
        return BAD_INPUT

    tcb = report["reported_tcb"]
    cpuid = report["cpuid"]
    print(f"report:        {path.name}")
    print(f"chip_id:       {report['chip_id'].hex()}")
    print(f"report_data:   {report['report_data'].hex()}")
    print(f"signed_bytes:  {len(report['signed_bytes'])} bytes, first 16: {report['signed_bytes'][:16].hex()}")
    print(f"sig_r:         {int.from_bytes(report['sig_r'], 'little'):#x}")
    print(f"sig_s:         {int.from_bytes(report['sig_s'], 'little'):#x}")
    print(
        "reported_tcb:  "
        f"bootloader={tcb['bootloader']} tee={tcb['tee']} snp={tcb['snp']} microcode={tcb['microcode']:#x}"
    )
    if cpuid["fam_id"] is None:
        print("cpuid:         not carried by this report version")
    else:
        print(f"cpuid:         family={cpuid['fam_id']:#04x} model={cpuid['mod_id']:#04x} stepping={cpuid['step']}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
