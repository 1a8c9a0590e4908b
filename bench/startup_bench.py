"""Times `quorvel-verify REPORT VCEK --now ...` as a process against the imports it cannot do without.

A command run once (in a CI job, at boot) pays for its start-up every time:
the interpreter, `cryptography`'s x509 and the module are its floor. Each
round starts, in an order that rotates from round to round, one process of:

- python: `python -c pass`, the interpreter alone;
- floor: `python -c "from cryptography import x509; import quorvel"`;
- import: `python -c "import quorvel_verify.cli"`, the command's code loaded;
- command: the command itself (`quorvel_verify._command.main`, what the
  installed `quorvel-verify` script calls), verifying a genuine SEV-SNP report
  with its VCEK, offline, with `--quiet`.

A figure is the median wall-clock time of a process over the rounds; the
ratio is the median of command / floor within each round. The target (at most
1.6) is reported, never enforced.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
from pathlib import Path
from time import perf_counter_ns

REPORTS = Path(__file__).resolve().parent.parent / "tests" / "data" / "reports"
TIMED_REPORT = "genoa-v5-oak"
NOW = "2025-09-01T00:00:00Z"
COMMAND_TARGET = 1.6  # command / floor, at most

COMMAND = "import sys; from quorvel_verify._command import main; sys.exit(main())"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--quick", action="store_true", help="8 rounds")
    arguments = parser.parse_args()
    rounds = 8 if arguments.quick else arguments.rounds

    report, vcek = REPORTS / f"{TIMED_REPORT}.bin", REPORTS / f"{TIMED_REPORT}.vcek.pem"
    python = sys.executable
    processes = {
        "python": [python, "-c", "pass"],
        "floor": [python, "-c", "from cryptography import x509; import quorvel"],
        "import": [python, "-c", "import quorvel_verify.cli"],
        "command": [python, "-c", COMMAND, str(report), str(vcek), "--now", NOW, "--quiet"],
    }
    # The installed package, as a user runs the command: its bytecode compiled at install, not the source tree.
    environment = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    found = subprocess.run([python, "-c", "import quorvel_verify, quorvel"], capture_output=True, env=environment,
                           check=False)
    if found.returncode != 0:
        print(f"skipped: quorvel is not installed for {python} (bash scripts/run installs it into .venv)")
        return 0
    for name, argv in processes.items():  # each must work, and the files are in the page cache after
        done = subprocess.run(argv, capture_output=True, env=environment, check=False)
        if done.returncode != 0 or done.stderr:
            print(f"{name}: exit status {done.returncode}: {done.stderr.decode(errors='replace')}", file=sys.stderr)
            return 1

    names = list(processes)
    times: dict[str, list[float]] = {name: [] for name in names}
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            start = perf_counter_ns()
            subprocess.run(processes[name], capture_output=True, env=environment, check=False)
            times[name].append((perf_counter_ns() - start) / 1e6)

    print(f"start-up of the command, {TIMED_REPORT}, {rounds} rounds, CPython {sys.version.split()[0]}")
    for name in names:
        print(f"  {name:<8} {statistics.median(times[name]):7.1f} ms per process (median)")
    ratio = statistics.median(c / f for c, f in zip(times["command"], times["floor"], strict=True))
    print(f"  command / floor: {ratio:.3f} (target at most {COMMAND_TARGET}){'' if ratio <= COMMAND_TARGET else '  MISSED'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
