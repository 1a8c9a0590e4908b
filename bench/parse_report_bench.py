"""Times quorvel.parse_report against its floor and against plain Python.

Contenders, timed in one process and interleaved:

- floor: quorvel_floor.build_result, a benchmark-only extension that builds
  the same result dictionary with the same interpreter calls from pieces known
  in advance; the object work under any implementation of parse_report.
- parse_report, by position and by keyword.
- pure Python: reference.parse_report, the tests' reference model of
  parse_report (tests/shared/reference.py), plain Python with slices.
- the failure path (a reserved byte set) of parse_report and of pure Python.
- the parts of a call: the call with its argument check alone
  (quorvel_floor.call_only) and the codec's decoding and encoding alone
  (quorvel_floor.codec_round_trip); their difference is the codec's share.

Each round times a batch of calls of every contender, in an order that
rotates from round to round; the figures are medians over the rounds, and
each ratio is the median of the ratios taken within one round, so that a
machine whose speed drifts still compares like with like. The garbage
collector is off while timing, as in timeit.

Before timing, the floor's and the pure-Python results are checked to equal
parse_report's (values, types and key order) on genuine and built reports,
and the pure-Python parser's outcome to match parse_report's on every common
failure and on some nine thousand altered reports; after timing, a million
calls of each path must leave the interpreter's allocated blocks and the
argument's reference count flat. Either failing exits with status 1. Timing
targets are reported, never enforced.

Run through bench/run, which builds quorvel and quorvel_floor and puts them
on PYTHONPATH; `--quick` takes a few seconds.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import sys
from itertools import repeat
from pathlib import Path
from time import perf_counter_ns

import quorvel
import quorvel_floor

# The tests' report builder and reference model, which the shared vectors are built with too.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "shared"))
import reference  # noqa: E402 - found through the path above
import report_builder as rb  # noqa: E402

REPORTS_DIR = rb.GENUINE_DIR
TIMED_REPORT = "genoa-v5-oak"

# Targets; reported, not enforced.
FLOOR_RATIO_TARGET = 1.10        # parse_report / floor, at most
PURE_SPEEDUP_TARGET = 2.5        # pure Python / parse_report, at least
KEYWORD_RATIO_TARGET = 1.05      # keyword / positional, at most
CODEC_SHARE_TARGET = 0.10        # codec decode+encode / parse_report, below
LEAK_BLOCKS_LIMIT = 1000         # allocated blocks gained over the memory check, at most
LEAK_RESIDENT_LIMIT = 4 << 20    # resident bytes gained over the memory check, at most


# -- Reports -------------------------------------------------------------------

def genuine_reports() -> dict[str, bytes]:
    reports = {path.stem: path.read_bytes() for path in sorted(REPORTS_DIR.glob("*.bin"))}
    if not reports:
        sys.exit(f"no genuine reports in {REPORTS_DIR}")
    return reports


def built_reports() -> dict[str, bytes]:
    return {f"built-v{v}-{g}": bytes(rb.build(v, g)) for v in (2, 3, 5) for g in ("milan", "genoa", "turin")}


def with_bytes(report: bytes, offset: int, data: bytes) -> bytes:
    return report[:offset] + data + report[offset + len(data):]


def failing_reports(base: bytes) -> dict[str, bytes]:
    """One input for each common failure, from a decodable version-3 report."""
    v2 = bytes(rb.build(2, "genoa"))
    return {
        "empty": b"",
        "1183 bytes": base[:-1],
        "1185 bytes": base + b"\0",
        "version 0": with_bytes(base, 0, bytes(4)),
        "version 1": with_bytes(base, 0, (1).to_bytes(4, "little")),
        "masked chip id": with_bytes(v2, 0x1A0, bytes(64)),
        "unknown generation": with_bytes(base, 0x188, b"\x17"),
        "unknown model": with_bytes(base, 0x189, b"\x20"),
        "reserved 0x04C": with_bytes(base, 0x04C, b"\x01"),
        "reserved cpuid area": with_bytes(base, 0x19F, b"\x01"),
        "reserved version-2 cpuid": with_bytes(v2, 0x188, b"\x19"),
        "reserved 0x1EB": with_bytes(base, 0x1EB, b"\x01"),
        "reserved 0x1EF": with_bytes(base, 0x1EF, b"\x01"),
        "reserved before signature": with_bytes(base, 0x29F, b"\x01"),
    }


def mutations(reports: dict[str, bytes]):
    """Inputs around every rule: each byte before the reserved tail flipped in
    every built report, every CPUID family and model, chip identifiers and
    versions of interest, set reserved TCB bytes and a set tail."""
    for name, report in reports.items():
        for offset in range(0x330):
            yield f"{name} byte {offset:#05x} flipped", with_bytes(report, offset, bytes([report[offset] ^ 0xFF]))
    v3 = reports["built-v3-milan"]
    for family in (0x00, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0xFF):
        for model in range(256):
            yield f"cpuid {family:#04x}/{model:#04x}", with_bytes(v3, 0x188, bytes([family, model]))
    v2 = reports["built-v2-genoa"]
    for index in (0, 7, 8, 63):
        chip_id = bytearray(64)
        chip_id[index] = 1
        yield f"version-2 chip id byte {index} only", with_bytes(v2, 0x1A0, bytes(chip_id))
    for version in (0, 1, 2, 3, 4, 5, 6, 7, 0xFFFFFFFF):
        yield f"version {version}", with_bytes(reports["built-v5-turin"], 0, version.to_bytes(4, "little"))
    for name in ("built-v3-genoa", "built-v2-turin", "built-v5-turin"):
        report = bytearray(reports[name])
        for field in rb.TCB_FIELDS:
            report[field + 2:field + 7] = b"\xAA\xBB\xCC\xDD\xEE"  # every reserved byte of both layouts
        yield f"{name} with TCB reserved bytes set", bytes(report)
        yield f"{name} with the tail set", with_bytes(reports[name], 0x330, b"\xFF" * 368)


# -- Checks --------------------------------------------------------------------

def ordered(value):
    """A value with its dictionaries' key order and every type made comparable."""
    if isinstance(value, dict):
        return [(key, ordered(item)) for key, item in value.items()]
    return (type(value), value)


def outcome(function, report):
    try:
        return ("result", ordered(function(report)))
    except Exception as error:  # noqa: BLE001 - the type and message are what is compared
        return ("raised", type(error), str(error))


def check_results(reports: dict[str, bytes], failures: dict[str, bytes]) -> list[str]:
    """Differences between parse_report and the other two contenders."""
    problems = []
    for name, report in reports.items():
        expected = outcome(quorvel.parse_report, report)
        if expected[0] != "result":
            problems.append(f"{name}: parse_report raised {expected[1].__name__}: {expected[2]}")
            continue
        if outcome(reference.parse_report, report) != expected:
            problems.append(f"{name}: pure Python result differs from parse_report")
        quorvel_floor.load(reference.parse_report(report))
        if outcome(quorvel_floor.build_result, report) != expected:
            problems.append(f"{name}: floor result differs from parse_report")
    cases = list(failures.items()) + list(mutations(built_reports()))
    for name, report in cases:
        expected = outcome(quorvel.parse_report, report)
        actual = outcome(reference.parse_report, report)
        if actual != expected:
            problems.append(f"{name}: parse_report gives {summary(expected)}, pure Python {summary(actual)}")
    for name, report in failures.items():
        if outcome(quorvel.parse_report, report)[0] != "raised":
            problems.append(f"{name}: parse_report did not fail")
    print(f"checked {len(reports)} reports against the floor and pure Python, "
          f"{len(cases)} more inputs against pure Python: {len(problems)} differences")
    return problems


def summary(result) -> str:
    return "a result" if result[0] == "result" else f"{result[1].__name__}({result[2]!r})"


# -- Timing --------------------------------------------------------------------

def timer(function, argument, way: str = "positional"):
    """A batch of n calls of `function`, passing `argument` by position,
    by keyword or by position to a call that fails; returns the time taken.
    The way is chosen once per batch, so each loop holds nothing but calls."""
    def batch(n: int) -> int:
        start = perf_counter_ns()
        if way == "positional":
            for _ in repeat(None, n):
                function(argument)
        elif way == "keyword":
            for _ in repeat(None, n):
                function(report_bytes=argument)
        else:
            for _ in repeat(None, n):
                try:
                    function(argument)
                except ValueError:
                    pass
        return perf_counter_ns() - start
    return batch


def interleaved(contenders: dict, rounds: int, batch_size: int) -> dict[str, list[float]]:
    """ns per call of every contender in every round, the order rotating."""
    names = list(contenders)
    for name in names:  # warm-up
        contenders[name](batch_size)
    per_call = {name: [] for name in names}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            k = r % len(names)
            for name in names[k:] + names[:k]:
                per_call[name].append(contenders[name](batch_size) / batch_size)
    finally:
        if gc_was_enabled:
            gc.enable()
    return per_call


def median_ratio(per_call: dict[str, list[float]], numerator: str, denominator: str) -> float:
    return statistics.median(a / b for a, b in zip(per_call[numerator], per_call[denominator]))


def time_contenders(report: bytes, failure: bytes, rounds: int, batch_size: int) -> dict[str, list[float]]:
    quorvel_floor.load(reference.parse_report(report))
    contenders = {
        "floor": timer(quorvel_floor.build_result, report),
        "floor, keyword": timer(quorvel_floor.build_result, report, "keyword"),
        "parse_report": timer(quorvel.parse_report, report),
        "parse_report, keyword": timer(quorvel.parse_report, report, "keyword"),
        "pure Python": timer(reference.parse_report, report),
        "parse_report, failing": timer(quorvel.parse_report, failure, "failing"),
        "pure Python, failing": timer(reference.parse_report, failure, "failing"),
        "call only": timer(quorvel_floor.call_only, report),
        "codec only": timer(quorvel_floor.codec_round_trip, report),
    }
    return interleaved(contenders, rounds, batch_size)


def time_contenders_pair(report: bytes, rounds: int, batch_size: int) -> dict[str, list[float]]:
    quorvel_floor.load(reference.parse_report(report))
    return interleaved({"floor": timer(quorvel_floor.build_result, report),
                        "parse_report": timer(quorvel.parse_report, report)}, rounds, batch_size)


def print_table(per_call: dict[str, list[float]]) -> None:
    print(f"{'contender':<24}{'ns/call':>10}{'min':>10}{'max':>10}{'/ floor':>10}{'/ parse_report':>16}")
    for name, times in per_call.items():
        vs_floor = median_ratio(per_call, name, "floor")
        vs_parse = median_ratio(per_call, name, "parse_report")
        print(f"{name:<24}{statistics.median(times):>10.0f}{min(times):>10.0f}{max(times):>10.0f}"
              f"{vs_floor:>10.2f}{vs_parse:>16.2f}")


# -- Memory --------------------------------------------------------------------

def resident_bytes() -> int | None:
    """The process's resident memory, where /proc tells it."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None


def memory_check(report: bytes, failure: bytes, calls: dict[str, int]) -> list[str]:
    """Allocated blocks (the interpreter's objects), resident memory (the
    module's own heap too) and the arguments' reference counts before and
    after many calls of each path, each result dropped at once."""
    paths = {
        "positional": timer(quorvel.parse_report, report),
        "keyword": timer(quorvel.parse_report, report, "keyword"),
        "failing": timer(quorvel.parse_report, failure, "failing"),
    }
    problems = []
    for name, batch in paths.items():
        batch(10_000)  # warm-up: lazily made objects, free lists, the C++ heap
        gc.collect()
        refs = (sys.getrefcount(report), sys.getrefcount(failure))
        blocks = sys.getallocatedblocks()
        resident = resident_bytes()
        batch(calls[name])
        gc.collect()
        gained = sys.getallocatedblocks() - blocks
        grown = None if resident is None else resident_bytes() - resident
        ref_change = (sys.getrefcount(report) - refs[0], sys.getrefcount(failure) - refs[1])
        flat = (gained <= LEAK_BLOCKS_LIMIT and (grown is None or grown <= LEAK_RESIDENT_LIMIT)
                and ref_change == (0, 0))
        shown_growth = "unknown" if grown is None else f"{grown / 1024:+.0f} KiB"
        print(f"memory, {calls[name]:,} {name} calls: {gained:+d} allocated blocks, resident {shown_growth}, "
              f"argument references {ref_change[0]:+d}/{ref_change[1]:+d}: {'flat' if flat else 'GROWING'}")
        if not flat:
            problems.append(f"memory grows over {calls[name]:,} {name} calls: {gained:+d} blocks, "
                            f"resident {shown_growth}, references {ref_change}")
    return problems


# -- Codec figures from codec_bench ---------------------------------------------

def codec_figures(path: Path | None) -> dict[str, dict]:
    """The codec_bench results (JSON output) by benchmark name, if given."""
    if path is None or not path.exists():
        return {}
    results = json.loads(path.read_text())["benchmarks"]
    return {b["name"]: b for b in results if b.get("run_type", "iteration") == "iteration"}


def to_ns(benchmark: dict) -> float:
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[benchmark.get("time_unit", "ns")]
    return benchmark["cpu_time"] * scale


# -- Main ----------------------------------------------------------------------

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few rounds and calls, for CI (a few seconds)")
    parser.add_argument("--rounds", type=int, help="interleaved rounds (default 300, quick 40)")
    parser.add_argument("--batch", type=int, help="calls per contender per round (default 1000, quick 300)")
    parser.add_argument("--memory-calls", type=int, default=1_000_000,
                        help="positional calls in the memory check (default 1000000); the keyword and failing "
                             "paths get as many, a tenth with --quick")
    parser.add_argument("--codec-json", type=Path, help="codec_bench --benchmark_out file, for the codec's share")
    args = parser.parse_args()
    rounds = args.rounds or (40 if args.quick else 300)
    batch_size = args.batch or (300 if args.quick else 1000)
    other_calls = args.memory_calls // 10 if args.quick else args.memory_calls
    memory_calls = {"positional": args.memory_calls, "keyword": other_calls, "failing": other_calls}

    reports = genuine_reports()
    problems = check_results({**reports, **built_reports()}, failing_reports(bytes(rb.build(3, "milan"))))

    report = reports[TIMED_REPORT]
    failure = with_bytes(report, 0x29F, b"\x01")  # the last reserved run: decoded in full before failing
    print(f"\ntiming {TIMED_REPORT} ({rounds} rounds of {batch_size} calls each, interleaved; failing: a reserved "
          "byte set before the signature)")
    per_call = time_contenders(report, failure, rounds, batch_size)
    print_table(per_call)

    if not args.quick:
        print("\nparse_report / floor by report (positional):")
        for name, other in reports.items():
            times = time_contenders_pair(other, max(rounds // 5, 20), batch_size)
            print(f"  {name:<22}{statistics.median(times['parse_report']):>8.0f} ns  "
                  f"{median_ratio(times, 'parse_report', 'floor'):.2f}x floor")

    print()
    problems += memory_check(report, failure, memory_calls)

    floor_ratio = median_ratio(per_call, "parse_report", "floor")
    speedup = median_ratio(per_call, "pure Python", "parse_report")
    keyword_ratio = median_ratio(per_call, "parse_report, keyword", "parse_report")
    codec_share = statistics.median((codec - call) / parse for codec, call, parse in zip(
        per_call["codec only"], per_call["call only"], per_call["parse_report"]))
    print("\ntargets (reported, not enforced):")
    target("parse_report / floor", floor_ratio, f"<= {FLOOR_RATIO_TARGET}", floor_ratio <= FLOOR_RATIO_TARGET)
    target("pure Python / parse_report", speedup, f">= {PURE_SPEEDUP_TARGET}", speedup >= PURE_SPEEDUP_TARGET)
    target("keyword / positional", keyword_ratio, f"<= {KEYWORD_RATIO_TARGET}", keyword_ratio <= KEYWORD_RATIO_TARGET)
    target("(codec only - call only) / parse_report", codec_share, f"< {CODEC_SHARE_TARGET}",
           codec_share < CODEC_SHARE_TARGET)
    codec = codec_figures(args.codec_json)
    if codec:
        decode_allocs = int(max(b.get("allocs", 0) for n, b in codec.items() if n.startswith("decode/")))
        encode_allocs = int(max(b.get("allocs", 0) for n, b in codec.items() if n.startswith("encode/")))
        target("heap allocations per decode (codec_bench)", decode_allocs, "0", decode_allocs == 0)
        target("heap allocations per encode (codec_bench)", encode_allocs, "<= 1", encode_allocs <= 1)
        name = "decode_encode/v5/genoa"
        if name in codec:
            print(f"  codec_bench {name}: {to_ns(codec[name]):.0f} ns of CPU time per report")

    if problems:
        print(f"\n{len(problems)} problem(s):", file=sys.stderr)
        for problem in problems:
            print(f"  {problem}", file=sys.stderr)
        return 1
    return 0


def target(name: str, value: float, goal: str, met: bool) -> None:
    shown = f"{value:.3f}" if isinstance(value, float) else f"{value}"
    print(f"  {name:<40}{shown:>8}  (target {goal}): {'met' if met else 'MISSED'}")


if __name__ == "__main__":
    sys.exit(main())
