"""Verify an attestation report with the library: AMD's chain, the signature, and a policy.

Usage: python examples/verify_report.py REPORT CERT

The command `quorvel-verify` does the same with more options; this shows the API.
"""

from __future__ import annotations

import sys
from pathlib import Path

from quorvel_verify import Policy, VerificationError, verify


# As quorvel-verify: 0 verified, 1 not verified, 2 a wrong command line or input that cannot be used.
VERIFIED, NOT_VERIFIED, BAD_INPUT = 0, 1, 2


def main(report_path: str, certificate_path: str) -> int:
    # What this relying party accepts, beyond AMD's signature: no debugging
    # (the default), VMPL 0 only, and a firmware no older than these levels,
    # which are numbered per product line.
    policy = Policy(vmpl=[0], min_tcb={
        "Milan": {"bootloader": 2, "snp": 5, "microcode": 60},
        "Genoa": {"bootloader": 7, "snp": 15, "microcode": 62},
        "Turin": {"fmc": 0, "bootloader": 1, "snp": 2, "microcode": 71},
    })
    try:
        result = verify(Path(report_path).read_bytes(), Path(certificate_path).read_bytes(), policy=policy)
    except (OSError, VerificationError) as error:
        print(f"error: {error}", file=sys.stderr)
        return BAD_INPUT
    for check in result.checks:
        print(f"{check.name}: {check.result} - {check.detail}")
    print(f"measurement: {result.report.measurement.hex()}")
    print(f"verified: {result.verified}")
    return VERIFIED if result.verified else NOT_VERIFIED


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__.splitlines()[2], file=sys.stderr)
        sys.exit(BAD_INPUT)
    sys.exit(main(sys.argv[1], sys.argv[2]))
