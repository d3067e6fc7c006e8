"""Shared timing harness: candidates run interleaved in one process, median of several rounds.

A case is a set of candidates that do the same work; each candidate is a zero-argument callable
that performs `ops` operations. The report gives ns/op for each candidate and how many times
slower each one is than the first (the native implementation).
"""

from __future__ import annotations

import os
import statistics
import time
from typing import Callable, Mapping

# KLAVRIX_BENCH_ROUNDS=3 gives a quick report (`klavrix bench --quick`).
ROUNDS = int(os.environ.get("KLAVRIX_BENCH_ROUNDS", "7"))


def measure(candidates: Mapping[str, Callable[[], object]], ops: int, rounds: int = ROUNDS) -> dict[str, float]:
    """Median ns/op of each candidate, the candidates interleaved round by round."""
    samples: dict[str, list[float]] = {name: [] for name in candidates}
    for fn in candidates.values():  # warm-up
        fn()
    for _ in range(rounds):
        for name, fn in candidates.items():
            start = time.perf_counter_ns()
            fn()
            samples[name].append((time.perf_counter_ns() - start) / ops)
    return {name: statistics.median(values) for name, values in samples.items()}


def report(title: str, candidates: Mapping[str, Callable[[], object]], ops: int, rounds: int = ROUNDS) -> dict[str, float]:
    """Measures and prints one case; returns ns/op by candidate."""
    results = measure(candidates, ops, rounds)
    names = list(results)
    base = results[names[0]]
    print(f"{title}")
    for name in names:
        ratio = results[name] / base if base > 0 else float("nan")
        suffix = "" if name == names[0] else f"   {ratio:6.2f}x the time of {names[0]}"
        print(f"    {name:<28} {results[name]:10.1f} ns/op{suffix}")
    return results


def with_attribute(owner: object, name: str, value: object, run: Callable[[], object]) -> Callable[[], None]:
    """A candidate that runs run() with owner.<name> set to value, restored afterwards."""
    def wrapped() -> None:
        saved = getattr(owner, name)
        setattr(owner, name, value)
        try:
            run()
        finally:
            setattr(owner, name, saved)
    return wrapped


def section(name: str) -> None:
    print()
    print(f"== {name} ==")
