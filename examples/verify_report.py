"""Verify an attestation report with the library: AMD's chain, the signature, and a policy.

Usage: python examples/verify_report.py REPORT CERT

The command `quorvel-verify` does the same with more options; this shows the API.
"""

from __future__ import annotations

import sys
from pathlib import Path

from quorvel_verify import Policy, VerificationError, verify


def main(report_path: str, certificate_path: str) -> int:
    # What this relying party accepts, beyond AMD's signature: no debugging
    # (the default), VMPL 0 only, and a firmware no older than these levels.
    policy = Policy(vmpl=[0], min_tcb={"bootloader": 2, "snp": 5, "microcode": 60})
    try:
        result = verify(Path(report_path).read_bytes(), Path(certificate_path).read_bytes(), policy=policy)
    except (OSError, VerificationError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    for check in result.checks:
        print(f"{check.name}: {check.result} - {check.detail}")
    print(f"measurement: {result.report.measurement.hex()}")
    print(f"verified: {result.verified}")
    return 0 if result.verified else 1


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.splitlines()[2])
    sys.exit(main(sys.argv[1], sys.argv[2]))
