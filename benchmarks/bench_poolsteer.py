"""Poolsteer's detectors and decisions against the same rules written in plain Python (tests/reference)."""

from __future__ import annotations

import math

from harness import report, section
from reference import poolsteer_rules as rules

from klavrix.plugins.analyzer import poolsteer

HISTORY_LENGTH = 1000
SCANS = 300
DECISIONS = 100_000


# ---------------------------------------------------------------------------------------------


def repeat(function, args, times):
    def run():
        for _ in range(times):
            function(*args)
    return run


def agree(a, b):
    """Equal answers; floats may differ in the last place (the native pool score rounds its sum once)."""
    if isinstance(a, tuple):
        return len(a) == len(b) and all(agree(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return math.isclose(a, b, rel_tol=1e-15, abs_tol=1e-300)
    return a == b


def compare(title, native, python, args, times):
    assert agree(native(*args), python(*args)), title
    report(title, {"native": repeat(native, args, times), "pure-Python rules": repeat(python, args, times)}, times)


def main() -> None:
    section(f"poolsteer: history scans over {HISTORY_LENGTH} entries")
    history = [(1000.0 + i * 0.5, 100.0 + (i * 37) % 11 - 0.02 * i) for i in range(HISTORY_LENGTH)]
    window_start = history[HISTORY_LENGTH // 4][0]
    compare("calculate_performance_trend", poolsteer.calculate_performance_trend, rules.calculate_performance_trend,
            (history, window_start), SCANS)
    compare("detect_performance_degradation", poolsteer.detect_performance_degradation,
            rules.detect_performance_degradation, (history, 110.0, 0.05, window_start), SCANS)
    allocations = [(t, 64 + (i * 13) % 4096) for i, (t, _) in enumerate(history)]
    compare("predict_resource_requirements", poolsteer.predict_resource_requirements,
            rules.predict_resource_requirements, (allocations, 30.0), SCANS)

    section("poolsteer: short windows and scalar decisions")
    patterns = ["cpu_bound", "io_bound", "cpu_bound", "mixed", "io_bound", "cpu_bound", "gpu"] * 3
    compare("detect_dominant_pattern (window 5)", poolsteer.detect_dominant_pattern, rules.detect_dominant_pattern,
            (patterns, 5), DECISIONS)
    pattern_history = [dict(zip(rules.KEYS, (0.1 * (i % 4), 0.2 * (i % 3), 0.5))) for i in range(10)]
    compare("detect_workload_characteristics_change", poolsteer.detect_workload_characteristics_change,
            rules.detect_workload_characteristics_change, (pattern_history, 0.1), DECISIONS)
    compare("is_adaptation_beneficial", poolsteer.is_adaptation_beneficial, rules.is_adaptation_beneficial,
            ("thread_pool", "process_pool", 0.9, 0.8, 0.7, 2), DECISIONS)
    compare("calculate_adaptation_urgency", poolsteer.calculate_adaptation_urgency, rules.calculate_adaptation_urgency,
            (0.3, 0.85, 0.2, True), DECISIONS)
    compare("score_pool_recommendation", poolsteer.score_pool_recommendation, rules.score_pool_recommendation,
            (0.8, 0.6, 1.2, 0.4), DECISIONS)
    compare("detect_memory_pressure", poolsteer.detect_memory_pressure, rules.detect_memory_pressure,
            (850.0, 1000.0), DECISIONS)
