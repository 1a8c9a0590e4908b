"""Every genuine report the project ships (the 1184-byte files under
tests/data), parsed by the module that is imported and compared with the
pure-Python reference of tests/shared: the check for interpreters where the
whole suite is too slow, as under emulation. Exits non-zero on a difference."""

from __future__ import annotations

import sys
from pathlib import Path

DATA = Path(__file__).resolve().parents[2] / "tests" / "data"
sys.path.insert(0, str(DATA.parent / "shared"))
import reference as ref  # noqa: E402 - found through the path above

import quorvel  # noqa: E402

paths = sorted(p for p in DATA.glob("*/*.bin") if p.stat().st_size == ref.REPORT_SIZE)
if len(paths) < 20:
    sys.exit(f"genuine_reports: found only {len(paths)} reports under {DATA}")
print(f"quorvel: {quorvel.__file__} on {sys.implementation.cache_tag} {sys.platform} {sys.version.split()[0]}")
differ = []
decoded = 0
for path in paths:
    data = path.read_bytes()
    expected = ref.call("parse_report", [data], [])
    try:
        actual: ref.Result | ref.Raised = ref.Result(quorvel.parse_report(data))
    except ValueError as error:
        actual = ref.Raised("ValueError", error.args[0])
    # The dictionaries' key order counts too.
    same = actual == expected and (
        not isinstance(actual, ref.Result) or list(actual.value) == list(expected.value))
    decoded += isinstance(actual, ref.Result)
    outcome = "decoded" if isinstance(actual, ref.Result) else f"ValueError ({actual.message})"
    print(f"{'ok' if same else 'DIFFERS'}  {path.relative_to(DATA)}: {outcome}")
    if not same:
        if isinstance(actual, ref.Result) and isinstance(expected, ref.Result):
            keys = [k for k in expected.value if actual.value.get(k) != expected.value[k]] or "the key order"
            differ.append(f"{path.relative_to(DATA)}: {keys} differ")
        else:
            differ.append(f"{path.relative_to(DATA)}: got {actual}, expected {expected}")
print(f"{len(paths)} genuine reports, {decoded} decoded, {len(paths) - len(differ)} as the reference has them")
if differ:
    sys.exit("genuine_reports: differs from the reference:\n" + "\n".join(differ))
