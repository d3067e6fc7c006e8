"""The orchestrator's pool-switching rules in plain Python, as it would write them without the native
module: the reference the tests check poolsteer against and the benchmark times it against."""

from __future__ import annotations

import math

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
KEYS = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def detect_performance_degradation(performance_history, baseline_performance, threshold, window_start_time):
    if not performance_history or baseline_performance <= 0 or len(performance_history) < 5:
        return False
    total = 0.0
    count = 0
    for timestamp, value in performance_history:
        if float(timestamp) >= window_start_time:
            total += float(value)
            count += 1
    if count < 5:
        return False
    return (baseline_performance - total / count) / baseline_performance > threshold


def calculate_performance_trend(performance_history, window_start_time):
    if performance_history is None or len(performance_history) < 3:
        return 0.0
    kept = [(float(t), float(v)) for t, v in performance_history if float(t) >= window_start_time]
    if len(kept) < 3:
        return 0.0
    n = len(kept)
    t0 = kept[0][0]
    sum_x = sum_y = sum_xy = sum_xx = 0.0
    for t, y in kept:
        x = t - t0
        sum_x += x
        sum_y += y
        sum_xy += x * y
        sum_xx += x * x
    mean_x, mean_y = sum_x / n, sum_y / n
    denominator = sum_xx - n * mean_x * mean_x
    numerator = sum_xy - n * mean_x * mean_y
    if abs(denominator) < 1e-10 or abs(mean_y) < 1e-10:
        return 0.0
    return max(min(numerator / (mean_y * denominator), 1.0), -1.0)


def saturate(value):
    """value truncated toward zero into the signed 32-bit range; NaN gives 0."""
    if math.isnan(value):
        return 0
    if math.isinf(value):
        return INT32_MAX if value > 0 else INT32_MIN
    return max(INT32_MIN, min(INT32_MAX, int(value)))


def predict_resource_requirements(allocation_history, prediction_horizon_seconds):
    n = len(allocation_history)
    if n < 10:
        return (0, 0, 0.0)
    span = float(allocation_history[-1][0]) - float(allocation_history[0][0])
    if not span > 0:
        return (0, 0, 0.0)
    total = 0.0
    for timestamp, size in allocation_history:
        float(timestamp)
        total += float(size)
    allocations = saturate(prediction_horizon_seconds * n / span)
    return allocations, saturate(total * allocations / n), n * 0.008 if n * 0.01 < 1.0 else 0.8


def detect_dominant_pattern(patterns, window_size=5):
    counts = {}
    for name in patterns[max(0, len(patterns) - window_size):]:
        counts[name] = counts.get(name, 0) + 1
    best, best_count = "mixed", 0
    for name, count in counts.items():
        if count > best_count:
            best, best_count = name, count
    return best



def detect_workload_characteristics_change(pattern_history, change_threshold=0.3):
    n = len(pattern_history)
    if n < 6:
        return (False, 0.0, 0.0, 0.0)
    window = pattern_history[n - 6:]
    if any(key not in entry for entry in window for key in KEYS):
        return (False, 0.0, 0.0, 0.0)
    changes = []
    for key in KEYS:
        recent = 0.0
        older = 0.0
        for entry in window[3:]:
            recent += entry[key]
        for entry in window[:3]:
            older += entry[key]
        changes.append(abs((recent - older) * 0.3333333333333333))
    return (any(change > change_threshold for change in changes), *changes)


def is_adaptation_beneficial(current_pool, recommended_pool, recommendation_score, recommendation_confidence,
                                current_performance_estimate, trigger_code, min_improvement_ratio=1.1,
                                min_confidence=0.6):
    if current_pool == recommended_pool or recommendation_confidence < min_confidence:
        return False
    if trigger_code == 0:
        required = 0.5
    elif current_performance_estimate > 0:
        required = min_improvement_ratio * current_performance_estimate
    else:
        required = 0.6
    return recommendation_score > required


def calculate_adaptation_urgency(performance_degradation, memory_pressure, fragmentation_ratio, workload_changed):
    urgency = 0.0
    if performance_degradation > 0:
        urgency += min(performance_degradation, 1.0) * 0.4
    if memory_pressure > 0:
        urgency += min(memory_pressure, 1.0) * 0.3
    if fragmentation_ratio > 0:
        urgency += min(fragmentation_ratio, 1.0) * 0.15
    if workload_changed:
        urgency += 0.15
    return max(min(urgency, 1.0), 0.0)


def score_pool_recommendation(workload_fit, memory_fit, thread_count_fit, historical_success_rate):
    def clamp(value):
        return min(value, 1.0) if value > 0 else 0.0

    score = (0.35 * clamp(workload_fit) + 0.3 * clamp(memory_fit) + 0.2 * clamp(thread_count_fit)
             + 0.15 * clamp(historical_success_rate))
    return max(min(score, 1.0), 0.0)


def detect_memory_pressure(current_usage, peak_usage, pressure_threshold=0.8):
    if peak_usage <= 0 or current_usage < 0:
        return False
    return current_usage / peak_usage > pressure_threshold
