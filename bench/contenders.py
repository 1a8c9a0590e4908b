"""The harness the verifier's benchmarks share: their options, and contenders timed interleaved against a floor.

Each round times a batch of calls of every contender, in an order that
rotates from round to round; the figures are medians over the rounds, and
each ratio is the median of the ratios taken within one round, so that a
machine whose speed drifts still compares like with like. The garbage
collector is off while timing. Targets are reported, never enforced.

The contenders are named `floor` (what no verifier can do less than),
`known` (the verification of evidence whose chain and collateral it has
seen), `new` (the same, seen for the first time) and `chain` (what new
chains and collateral take at least): the ratios are known / floor and
new / (floor + chain).
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
from collections.abc import Callable
from dataclasses import dataclass
from time import perf_counter_ns

CONTENDERS = ("floor", "known", "new", "chain")


@dataclass(frozen=True)
class Options:
    rounds: int
    batch: int
    calls: tuple[str, int] | None  # one contender called N times, untimed (for callgrind), or None


def options(description: str, names: tuple[str, ...] = CONTENDERS) -> Options:
    """The command line every benchmark of the verifier takes."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--batch", type=int, default=20)
    parser.add_argument("--quick", action="store_true", help="30 rounds of 10 calls")
    parser.add_argument("--calls", nargs=2, metavar=("NAME", "N"), help="call one contender N times, untimed")
    arguments = parser.parse_args()
    calls = None
    if arguments.calls is not None:
        name, count = arguments.calls
        if name not in names or not count.isdigit():
            parser.error(f"--calls: expected a contender ({', '.join(names)}) and a count, not {name} {count}")
        calls = (name, int(count))
    rounds, batch = (30, 10) if arguments.quick else (arguments.rounds, arguments.batch)
    return Options(rounds, batch, calls)


def interleaved(contenders: dict[str, Callable[[], None]], chosen: Options) -> dict[str, list[float]]:
    """Each contender's time per call (us) in each round: a batch of calls of every contender per round, in an
    order that rotates from round to round, the garbage collector off."""
    names = list(contenders)
    times: dict[str, list[float]] = {name: [] for name in names}
    gc.disable()
    try:
        for round_number in range(chosen.rounds):
            shift = round_number % len(names)
            for name in names[shift:] + names[:shift]:
                function = contenders[name]
                function()  # warm: a new certificate's cost is its own, not the previous contender's
                start = perf_counter_ns()
                for _ in range(chosen.batch):
                    function()
                times[name].append((perf_counter_ns() - start) / chosen.batch / 1000)
    finally:
        gc.enable()
    return times


def median_ratio(times: dict[str, list[float]], over: str, under: tuple[str, ...]) -> float:
    """The median over the rounds of `over`'s time divided by the sum of the `under` contenders' in that round."""
    return statistics.median(
        times[over][i] / sum(times[name][i] for name in under) for i in range(len(times[over]))
    )


def target_line(label: str, ratio: float, target: float, width: int) -> str:
    return f"  {label:<{width}}{ratio:.3f} (target at most {target}){'' if ratio <= target else '  MISSED'}"


def run(
    title: str, what: str, contenders: dict[str, Callable[[], None]], chosen: Options,
    known_target: float, new_target: float,
) -> int:
    """Times `contenders` (one of each of `CONTENDERS`) and prints their medians and ratios, `what` naming
    the evidence in the ratios' lines ("certificate", "quote"); or, with `--calls`, only calls one."""
    assert set(contenders) == set(CONTENDERS)
    if chosen.calls is not None:
        name, count = chosen.calls
        for _ in range(count):
            contenders[name]()
        return 0
    names = list(contenders)
    times = interleaved(contenders, chosen)
    known_ratios = [known / floor for known, floor in zip(times["known"], times["floor"])]
    new_ratios = [new / (floor + chain) for new, floor, chain in zip(times["new"], times["floor"], times["chain"])]

    print(f"{title}, {chosen.rounds} rounds of {chosen.batch} calls, CPython {sys.version.split()[0]}")
    for name in names:
        print(f"  {name:<6} {statistics.median(times[name]):8.1f} us per call (median)")
    known_ratio, new_ratio = statistics.median(known_ratios), statistics.median(new_ratios)
    known_label, new_label = f"known {what} / floor:", f"new {what} / (floor + chain):"
    width = max(len(known_label), len(new_label)) + 1
    print(target_line(known_label, known_ratio, known_target, width))
    print(target_line(new_label, new_ratio, new_target, width))
    return 0
