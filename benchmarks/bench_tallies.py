"""CounterAggregator against a pure-Python aggregator and runstats.Statistics; the floor of update
is the same loop calling operator.is_, the cheapest native callable of two arguments."""

from __future__ import annotations

import math
import operator

from harness import report, section

from klavrix.monitoring.tallies import CounterAggregator

try:
    from runstats import Statistics
except ImportError:  # the bench extra is not installed
    Statistics = None

OPS = 200_000
COUNTERS = 1000


class PyAggregator:
    """The same statistics in plain Python: one list of records per counter."""

    def __init__(self, num_counters: int = 1000) -> None:
        self.records = [[0, 0.0, 0.0, math.inf, -math.inf] for _ in range(num_counters)]

    def update(self, counter_id: int, value: float) -> None:
        if not 0 <= counter_id < len(self.records):
            raise IndexError(f"Counter ID {counter_id} out of range")
        record = self.records[counter_id]
        value = float(value)
        record[0] += 1
        record[1] += value
        record[2] += value * value
        if not value >= record[3]:
            record[3] = value
        if not value <= record[4]:
            record[4] = value

    def get_stats(self, counter_id: int) -> dict:
        count, total, squares, low, high = self.records[counter_id]
        if count == 0:
            return {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": low, "max": high}
        mean = total / count
        variance = max(squares / count - mean * mean, 0.0)
        return {"count": count, "mean": mean, "variance": variance, "std": variance**0.5, "min": low, "max": high}


def main() -> None:
    section("tallies: CounterAggregator")
    values = [float(i % 97) * 1.5 for i in range(OPS)]
    ids = [i % COUNTERS for i in range(OPS)]
    native, python = CounterAggregator(COUNTERS), PyAggregator(COUNTERS)

    def updates(update):
        def run():
            for counter_id, value in zip(ids, values):
                update(counter_id, value)
        return run

    cases = {"native": updates(native.update), "pure-Python aggregator": updates(python.update)}
    cases["floor: operator.is_"] = updates(operator.is_)
    if Statistics is not None:
        peers = [Statistics() for _ in range(COUNTERS)]
        cases["runstats.Statistics.push"] = updates(lambda counter_id, value: peers[counter_id].push(value))
    report("update(counter_id, value)", cases, OPS)

    reads = OPS // 10

    def stats(get_stats):
        def run():
            for counter_id in ids[:reads]:
                get_stats(counter_id)
        return run

    cases = {"native": stats(native.get_stats), "pure-Python aggregator": stats(python.get_stats)}
    if Statistics is not None:
        def peer_stats(counter_id):
            peer = peers[counter_id]
            return {"count": len(peer), "mean": peer.mean(), "variance": peer.variance(ddof=0),
                    "std": peer.stddev(ddof=0), "min": peer.minimum(), "max": peer.maximum()}
        cases["runstats.Statistics"] = stats(peer_stats)
    report("get_stats(counter_id)", cases, reads)
