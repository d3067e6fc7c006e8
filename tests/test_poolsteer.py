"""Poolsteer: change detectors over histories and the pool adaptation decisions."""

import math
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st
from reference import poolsteer_rules as rules

from klavrix.plugins.analyzer.poolsteer import (
    calculate_adaptation_urgency,
    calculate_performance_trend,
    detect_dominant_pattern,
    detect_fragmentation_threshold,
    detect_memory_pressure,
    detect_performance_degradation,
    detect_workload_characteristics_change,
    is_adaptation_beneficial,
    predict_resource_requirements,
    score_pool_recommendation,
    should_skip_adaptation,
)

NO_CHANGE = (False, 0.0, 0.0, 0.0)
NO_PREDICTION = (0, 0, 0.0)
INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)
KEYS = rules.KEYS


# The plain-Python rules, the models these tests compare with.
model_trend = rules.calculate_performance_trend
model_dominant = rules.detect_dominant_pattern
model_prediction = rules.predict_resource_requirements


def patterns_entry(parallel=0.0, cpu=0.0, memory=0.0):
    return dict(zip(KEYS, (parallel, cpu, memory)))


class Pair:
    """An entry that is neither tuple nor list: iterable (again and again) over its items."""

    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class FailingIterator:
    def __iter__(self):
        return self

    def __next__(self):
        raise RuntimeError("broken entry")


# Each history walker, called on a history of ten entries all in the window.
WALKERS = {
    "degradation": lambda history: detect_performance_degradation(history, 100.0, 0.2, 0.0),
    "trend": lambda history: calculate_performance_trend(history, 0.0),
    "prediction": lambda history: predict_resource_requirements(history, 9.0),
}


def ten_entries(shape, bad_index=None, bad_entry=None):
    history = [shape(float(i), 80.0 + i) for i in range(10)]
    if bad_index is not None:
        history[bad_index] = bad_entry
    return history


# ---------------------------------------------------------------------------------------------
# Module frame and arguments


def test_load_line_logger_and_shared_constants(python):
    out = python(
        """
        import logging
        records = []
        logging.basicConfig(level=logging.INFO)
        logging.getLogger().addHandler(type("H", (logging.Handler,), {"emit": lambda s, r: records.append(r)})())
        from klavrix.plugins.analyzer import poolsteer
        print([(r.name, r.levelname, r.getMessage()) for r in records])
        print(poolsteer.logger is logging.getLogger("klavrix.plugins.analyzer.poolsteer"), poolsteer.logging is logging)
        """
    )
    assert out.splitlines() == [
        "[('klavrix.plugins.analyzer.poolsteer', 'INFO', 'Klavrix Poolsteer Cython module loaded - IP protected')]",
        "True True",
    ]
    # The constant results are single tuples made at load.
    assert detect_workload_characteristics_change([]) is detect_workload_characteristics_change([{}] * 6)
    assert detect_workload_characteristics_change([]) == NO_CHANGE
    assert predict_resource_requirements([], 1.0) is predict_resource_requirements([(1.0, 5)] * 10, 1.0)
    assert predict_resource_requirements([], 1.0) == NO_PREDICTION


def test_signatures_defaults_and_keywords():
    import inspect

    assert str(inspect.signature(is_adaptation_beneficial)) == (
        "(current_pool: str, recommended_pool: str, recommendation_score: float, recommendation_confidence: float, "
        "current_performance_estimate: float, trigger_code: int, min_improvement_ratio: float = 1.1, "
        "min_confidence: float = 0.6) -> bool"
    )
    assert detect_dominant_pattern.__annotations__ == {"patterns": "list", "window_size": "int", "return": "str"}
    assert detect_workload_characteristics_change.__annotations__["return"] == "tuple"
    assert calculate_adaptation_urgency.__annotations__["workload_changed"] == "bool"
    assert predict_resource_requirements(prediction_horizon_seconds=9, allocation_history=[(i, 100) for i in range(10)]) == (10, 1000, 0.08)
    assert detect_memory_pressure(current_usage=0.5, peak_usage=1.0, pressure_threshold=0.4) is True
    with pytest.raises(TypeError, match=r"^should_skip_adaptation\(\) takes exactly 3 positional arguments \(2 given\)$"):
        should_skip_adaptation(1.0, 2.0)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'window'"):
        detect_dominant_pattern([], window=3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: detect_performance_degradation((), 1.0, 0.1, 0.0), "Argument 'performance_history' has incorrect type (expected list, got tuple)"),
        (lambda: calculate_performance_trend(iter([]), 0.0), "Argument 'performance_history' has incorrect type (expected list, got list_iterator)"),
        (lambda: detect_workload_characteristics_change({}), "Argument 'pattern_history' has incorrect type (expected list, got dict)"),
        (lambda: detect_dominant_pattern("abc"), "Argument 'patterns' has incorrect type (expected list, got str)"),
        (lambda: predict_resource_requirements((1, 2), 1.0), "Argument 'allocation_history' has incorrect type (expected list, got tuple)"),
        (lambda: is_adaptation_beneficial(1, "b", 1.0, 1.0, 1.0, 0), "Argument 'current_pool' has incorrect type (expected str, got int)"),
        (lambda: is_adaptation_beneficial("a", b"b", 1.0, 1.0, 1.0, 0), "Argument 'recommended_pool' has incorrect type (expected str, got bytes)"),
        (lambda: detect_workload_characteristics_change(None), "object of type 'NoneType' has no len()"),
        (lambda: detect_dominant_pattern(None), "object of type 'NoneType' has no len()"),
        (lambda: predict_resource_requirements(None, 1.0), "object of type 'NoneType' has no len()"),
        (lambda: detect_memory_pressure("1", 2.0), "must be real number, not str"),
        (lambda: is_adaptation_beneficial("a", "b", 1.0, 1.0, 1.0, "1"), "an integer is required"),
    ],
)
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


class ListSubclass(list):
    pass


def test_list_subclasses_are_refused_and_none_histories_are_empty():
    with pytest.raises(TypeError, match="expected list, got ListSubclass"):
        calculate_performance_trend(ListSubclass(), 0.0)
    assert detect_performance_degradation(None, 1.0, 0.1, 0.0) is False
    assert calculate_performance_trend(None, 0.0) == 0.0


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 10**30])
def test_32_bit_arguments_overflow(value):
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        detect_dominant_pattern(["a"], value)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        is_adaptation_beneficial("a", "b", 1.0, 1.0, 1.0, value)
    # the 32-bit ends themselves are accepted, and floats truncate by the integer rule
    assert detect_dominant_pattern(["a"], INT32_MAX) == "a"
    assert detect_dominant_pattern(["a"], INT32_MIN) == "mixed"
    assert detect_dominant_pattern(["a", "b"], 1.9) == "b"


# ---------------------------------------------------------------------------------------------
# History entries


@pytest.mark.parametrize("walker", WALKERS)
@pytest.mark.parametrize(
    "shape",
    [lambda t, v: (t, v), lambda t, v: [t, v], Pair, lambda t, v: (int(t), Fraction(v))],
    ids=["tuple", "list", "iterable", "int-and-fraction"],
)
def test_every_entry_shape_gives_the_same_answer(walker, shape):
    expected = WALKERS[walker](ten_entries(lambda t, v: (t, v)))
    assert WALKERS[walker](ten_entries(shape)) == expected


def test_one_shot_iterators_are_entries_for_single_walks():
    history = [iter((float(i), 10.0 + i)) for i in range(3)]
    assert calculate_performance_trend(history, 0.0) == model_trend([(i, 10.0 + i) for i in range(3)], 0.0)


@pytest.mark.parametrize("walker", WALKERS)
@pytest.mark.parametrize("bad_index", [0, 4, 9])
@pytest.mark.parametrize(
    "entry, error, message",
    [
        ((1.0, 2.0, 3.0), ValueError, "too many values to unpack (expected 2)"),
        ([1.0, 2.0, 3.0, 4.0], ValueError, "too many values to unpack (expected 2)"),
        (Pair(1.0, 2.0, 3.0), ValueError, "too many values to unpack (expected 2)"),
        ((1.0,), ValueError, "need more than 1 value to unpack"),
        ([], ValueError, "need more than 0 values to unpack"),
        (Pair(1.0), ValueError, "need more than 1 value to unpack"),
        (Pair(), ValueError, "need more than 0 values to unpack"),
        (5.0, TypeError, "'float' object is not iterable"),
        (None, TypeError, "'NoneType' object is not iterable"),
        ((1.0, "fast"), TypeError, "must be real number, not str"),
        (("now", 1.0), TypeError, "must be real number, not str"),
        ((1.0, None), TypeError, "must be real number, not NoneType"),
        (Pair(1.0, 1j), TypeError, "must be real number, not complex"),
        ((10**400, 1.0), OverflowError, "int too large to convert to float"),
        (FailingIterator(), RuntimeError, "broken entry"),
    ],
)
def test_a_malformed_entry_anywhere_raises(walker, bad_index, entry, error, message):
    history = ten_entries(lambda t, v: (t, v), bad_index, entry)
    with pytest.raises(error) as raised:
        WALKERS[walker](history)
    assert str(raised.value) == message


def test_malformed_entries_outside_the_window_still_raise():
    history = [("old", 1.0)] + [(float(i), 80.0) for i in range(1, 10)]
    with pytest.raises(TypeError):
        detect_performance_degradation(history, 100.0, 0.1, 5.0)
    with pytest.raises(ValueError):
        calculate_performance_trend([(0.0, 1.0, 2.0)] + [(5.0, 1.0)] * 3, 5.0)


def test_short_histories_return_before_looking_at_entries():
    garbage = [object()] * 4
    assert detect_performance_degradation(garbage, 100.0, 0.1, 0.0) is False
    assert detect_performance_degradation([object()] * 10, 0.0, 0.1, 0.0) is False  # no baseline
    assert detect_performance_degradation([object()] * 10, -1.0, 0.1, 0.0) is False
    assert calculate_performance_trend(garbage[:2], 0.0) == 0.0
    assert predict_resource_requirements([object()] * 9, 5.0) == NO_PREDICTION


class Clearing:
    """A number whose float conversion empties the history that holds it."""

    def __init__(self, history):
        self.history = history

    def __float__(self):
        self.history.clear()
        return 1.0


@pytest.mark.parametrize("walker", WALKERS)
def test_history_emptied_during_the_walk(walker):
    history = ten_entries(lambda t, v: (t, v))
    history[2] = (2.0, Clearing(history))
    history[0] = [0.0, Clearing(history)] if walker != "prediction" else history[0]
    WALKERS[walker](history)  # whatever the answer, no crash and no stale entry
    assert history == []


# ---------------------------------------------------------------------------------------------
# Performance degradation and trend


def test_degradation_worked_values():
    recent = [(float(t), 80.0) for t in range(10, 15)]
    assert detect_performance_degradation(recent, 100.0, 0.2, 10.0) is False  # exactly 0.2
    assert detect_performance_degradation(recent, 100.0, 0.19, 10.0) is True
    # ten entries of which four are in the window
    history = [(float(t), 1.0) for t in range(10)]
    assert detect_performance_degradation(history, 100.0, 0.1, 6.0) is False
    assert detect_performance_degradation(history, 100.0, 0.1, 5.0) is True
    # only the window counts: fast old entries do not hide a slow recent stretch
    assert detect_performance_degradation([(0.0, 1e9)] * 5 + recent, 100.0, 0.19, 10.0) is True
    assert detect_performance_degradation(recent[:4], 100.0, 0.0, 0.0) is False


def test_trend_worked_values():
    assert calculate_performance_trend([(0, 10), (1, 11), (2, 12)], 0) == 1 / 11
    assert calculate_performance_trend([(0, 12), (1, 11), (2, 10)], 0) == -1 / 11
    assert calculate_performance_trend([(5, 10), (5, 20), (5, 30)], 0) == 0.0  # equal timestamps
    assert calculate_performance_trend([(0, 0), (1, 0), (2, 0)], 0) == 0.0  # zero mean
    assert calculate_performance_trend([(0, 1), (1, 2), (2, 3), (3, 100)], 1) == model_trend([(1, 2), (2, 3), (3, 100)], 1)
    assert calculate_performance_trend([(0, 10), (1, 11), (2, 12)], 1) == 0.0  # two in the window
    assert calculate_performance_trend([(0, 1), (1, 1000), (2, 10**6)], 0) == 1.0  # clamped
    assert calculate_performance_trend([(0, 10**6), (1, 1000), (2, 1)], 0) == -1.0
    assert calculate_performance_trend([(0, -12), (1, -11), (2, -10)], 0) == -1 / 11  # relative to a negative mean


finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
history_strategy = st.lists(st.tuples(finite, finite), max_size=25)


@given(history_strategy, finite)
def test_trend_matches_the_least_squares_rule(history, window_start):
    trend = calculate_performance_trend(history, window_start)
    assert trend == model_trend(history, window_start)
    assert -1.0 <= trend <= 1.0


@given(st.floats(100, 1000), st.floats(1e-3, 5), st.sampled_from([-1.0, 1.0]), st.floats(-1e3, 1e3),
       st.floats(0.01, 2), st.integers(3, 30))
def test_trend_sign_follows_a_noiseless_line(mean, steepness, sign, start, step, count):
    times = [start + i * step for i in range(count)]
    slope = sign * steepness / step  # values stay positive: |slope x span| <= 5 x 29 < 100
    history = [(t, mean + slope * (t - times[0])) for t in times]
    trend = calculate_performance_trend(history, -math.inf)
    assert math.copysign(1.0, trend) == sign and trend != 0.0
    assert calculate_performance_trend([(t, mean) for t in times], -math.inf) == pytest.approx(0.0, abs=1e-12)


# ---------------------------------------------------------------------------------------------
# Workload characteristics change


def test_workload_change_worked_values():
    history = [patterns_entry(cpu=c) for c in (0.1, 0.1, 0.1, 0.9, 0.9, 0.9)]
    changed, parallel, cpu, memory = detect_workload_characteristics_change(history)
    assert (changed, parallel, memory) == (True, 0.0, 0.0)
    assert cpu == pytest.approx(0.8)
    assert cpu == abs(((0.0 + 0.9 + 0.9 + 0.9) - (0.0 + 0.1 + 0.1 + 0.1)) * 0.3333333333333333)
    assert detect_workload_characteristics_change(history, change_threshold=0.8)[0] is False
    assert detect_workload_characteristics_change(history[:5]) is detect_workload_characteristics_change([])
    # ints and floats mix; a drop counts as much as a rise
    falling = [patterns_entry(parallel=3, memory=1.0)] * 3 + [patterns_entry(parallel=0, memory=1)] * 3
    assert detect_workload_characteristics_change(falling) == (True, 3.0, 0.0, 0.0)


def test_workload_change_looks_at_the_last_six_entries_only():
    tail = [patterns_entry()] * 6
    assert detect_workload_characteristics_change(["junk", None, {}] + tail) == (False, 0.0, 0.0, 0.0)
    assert detect_workload_characteristics_change(["junk", None, {}] + tail) is not detect_workload_characteristics_change([])


@pytest.mark.parametrize("position", range(6))
def test_workload_change_without_a_metric_is_no_change(position):
    history = [patterns_entry(cpu=float(i)) for i in range(6)]
    for key in KEYS:
        incomplete = [dict(entry) for entry in history]
        del incomplete[position][key]
        assert detect_workload_characteristics_change(incomplete) is detect_workload_characteristics_change([])


def test_workload_change_entry_type_errors_in_order():
    good = patterns_entry()
    for bad, message in [(None, "'NoneType' object is not iterable"), (7, "Expected dict, got int"),
                         ([("cpu_intensity", 1)], "Expected dict, got list")]:
        with pytest.raises(TypeError) as error:
            detect_workload_characteristics_change([good] * 5 + [bad])
        assert str(error.value) == message
    from collections import OrderedDict

    with pytest.raises(TypeError, match="^Expected dict, got OrderedDict$"):
        detect_workload_characteristics_change([OrderedDict(good)] + [good] * 5)
    # entries are examined oldest first: a missing metric before a bad entry ends the examination
    assert detect_workload_characteristics_change([good, {}, 7, good, good, good]) == NO_CHANGE
    with pytest.raises(TypeError):
        detect_workload_characteristics_change([good, 7, {}, good, good, good])


class Meters:
    """A stored value that adds onto a float through __radd__."""

    calls = 0

    def __radd__(self, other):
        Meters.calls += 1
        return other + 2.0


def test_workload_change_adds_stored_values_as_python_does():
    values = [True, Fraction(1, 2), 3, 0.25, Meters(), 1]
    history = [patterns_entry(cpu=v) for v in values]
    Meters.calls = 0
    expected_recent = 0.0 + 0.25 + 2.0 + 1
    expected_older = 0.0 + True + Fraction(1, 2) + 3
    changed, _, cpu, _ = detect_workload_characteristics_change(history)
    assert Meters.calls == 1
    assert cpu == abs((expected_recent - expected_older) * 0.3333333333333333)
    for bad, error in [("0.5", TypeError), (None, TypeError), (1j, TypeError), (10**400, OverflowError)]:
        with pytest.raises(error):
            detect_workload_characteristics_change([patterns_entry()] * 5 + [patterns_entry(memory=bad)])


def test_workload_change_survives_a_value_that_empties_its_dict():
    class Emptying:
        def __radd__(self, other):
            for entry in history:
                entry.clear()
            return other

    history = [patterns_entry() for _ in range(6)]
    history[3]["parallelization_potential"] = Emptying()
    with pytest.raises(KeyError, match="cpu_intensity"):
        detect_workload_characteristics_change(history)


# ---------------------------------------------------------------------------------------------
# Dominant pattern


def test_dominant_pattern_worked_values():
    assert detect_dominant_pattern(["a", "b", "b", "a"], 5) == "a"  # two-two tie, a first
    assert detect_dominant_pattern(["a", "b", "b", "a"], 2) == "b"  # the window holds b, a
    assert detect_dominant_pattern([]) == "mixed"
    assert detect_dominant_pattern(["x"] * 3, 0) == "mixed"
    assert detect_dominant_pattern(["x"] * 3, -4) == "mixed"
    assert detect_dominant_pattern(["cpu", "io", "io", "cpu", "cpu", "io"]) == "io"  # default window of 5
    assert detect_dominant_pattern([None, None, "a"]) is None
    assert detect_dominant_pattern(["mixed", "other"]) == "mixed"


def test_dominant_pattern_matches_equal_strings_not_identities():
    first = "".join(["gp", "u"])
    second = "".join(["g", "pu"])
    assert first is not second
    assert detect_dominant_pattern(["cpu", first, "cpu", second, second]) is first


names = st.sampled_from(["cpu", "io", "gpu", "mixed", None, "é"])


@given(st.lists(names, max_size=120), st.integers(-3, 130))
def test_dominant_pattern_matches_counting_in_a_dict(patterns, window_size):
    assert detect_dominant_pattern(patterns, window_size) == model_dominant(patterns, window_size)


def test_dominant_pattern_in_a_large_window_of_distinct_names():
    patterns = [f"p{i}" for i in range(5000)] + ["p4999"]
    assert detect_dominant_pattern(patterns, 10**6) == "p4999"
    assert detect_dominant_pattern(patterns[:-1], 10**6) == "p0"


class StrSubclass(str):
    pass


@pytest.mark.parametrize("size", [5, 100])
def test_dominant_pattern_entry_types(size):
    patterns = ["a"] * size
    for bad, name in [(1, "int"), (b"a", "bytes"), (StrSubclass("a"), "StrSubclass")]:
        with pytest.raises(TypeError) as error:
            detect_dominant_pattern(patterns + [bad], size + 1)
        assert str(error.value) == f"Expected str, got {name}"
        assert detect_dominant_pattern([bad] + patterns, size) == "a"  # outside the window


# ---------------------------------------------------------------------------------------------
# Decisions


def test_adaptation_benefit_worked_values():
    assert is_adaptation_beneficial("thread", "thread", 10.0, 1.0, 0.0, 1) is False
    assert is_adaptation_beneficial("".join(["thr", "ead"]), "thread", 10.0, 1.0, 0.0, 0) is False
    assert is_adaptation_beneficial(None, None, 10.0, 1.0, 0.0, 0) is False
    assert is_adaptation_beneficial(None, "process", 0.51, 0.6, 0.0, 0) is True  # confidence at the minimum
    assert is_adaptation_beneficial("thread", None, 0.51, 0.59, 0.0, 0) is False
    assert is_adaptation_beneficial("thread", "process", 0.5, 1.0, 100.0, 0) is False  # 0.5 without a trigger
    assert is_adaptation_beneficial("thread", "process", 0.56, 1.0, 0.5, 1) is True  # 1.1 x 0.5
    assert is_adaptation_beneficial("thread", "process", 0.55, 1.0, 0.5, 1) is False
    assert is_adaptation_beneficial("thread", "process", 0.6, 1.0, 0.0, -3) is False  # 0.6 without an estimate
    assert is_adaptation_beneficial("thread", "process", 0.61, 1.0, -2.0, 7) is True
    assert is_adaptation_beneficial("thread", "process", 2.1, 0.3, 1.0, 2, 2.0, 0.2) is True
    assert is_adaptation_beneficial("thread", "process", 2.0, 0.3, 1.0, 2, min_improvement_ratio=2.0, min_confidence=0.2) is False


def test_scalar_decision_worked_values():
    assert should_skip_adaptation(100.0, 130.0, 30.0) is False
    assert should_skip_adaptation(100.0, 129.9, 30.0) is True
    assert detect_memory_pressure(80, 100) is False
    assert detect_memory_pressure(81, 100) is True
    assert detect_memory_pressure(5, 0) is False
    assert detect_memory_pressure(-1, 100, -5.0) is False
    assert detect_fragmentation_threshold(0.3) is False
    assert detect_fragmentation_threshold(0.31) is True
    assert detect_fragmentation_threshold(-0.5, -1.0) is False
    assert calculate_adaptation_urgency(1.0, 1.0, 1.0, True) == 1.0
    assert calculate_adaptation_urgency(2.0, 0.0, 0.0, False) == 0.4
    assert calculate_adaptation_urgency(0.0, 0.0, 0.0, True) == 0.15
    assert calculate_adaptation_urgency(-1.0, -5.0, -0.1, []) == 0.0
    assert calculate_adaptation_urgency(0.5, 0.5, 0.5, "yes") == 0.5 * 0.4 + 0.5 * 0.3 + 0.5 * 0.15 + 0.15
    assert score_pool_recommendation(1.0, 1.0, 1.0, 1.0) == 1.0
    assert score_pool_recommendation(5.0, 2.0, 9.0, math.inf) == 1.0
    assert score_pool_recommendation(1.0, 0.0, 0.0, 0.0) == 0.35
    assert score_pool_recommendation(-1.0, 2.0, 0.0, 0.0) == 0.3


any_float = st.floats(allow_nan=True, allow_infinity=True)


@given(any_float, any_float, any_float, st.booleans())
def test_urgency_is_a_unit_score(degradation, memory, fragmentation, changed):
    urgency = calculate_adaptation_urgency(degradation, memory, fragmentation, changed)
    assert 0.0 <= urgency <= 1.0
    shares = [min(x, 1.0) * w for x, w in ((degradation, 0.4), (memory, 0.3), (fragmentation, 0.15)) if x > 0]
    assert urgency == pytest.approx(min(math.fsum(shares) + 0.15 * changed, 1.0), abs=1e-15)


@given(any_float, any_float, any_float, any_float)
def test_pool_score_is_the_rounded_weighted_sum(workload, memory, threads, history):
    score = score_pool_recommendation(workload, memory, threads, history)
    assert 0.0 <= score <= 1.0
    shares = [min(x, 1.0) * w for x, w in ((workload, 0.35), (memory, 0.3), (threads, 0.2), (history, 0.15)) if x > 0]
    expected = min(math.fsum(shares), 1.0)
    assert abs(score - expected) <= math.ulp(expected)


# ---------------------------------------------------------------------------------------------
# Resource prediction


def test_prediction_worked_values():
    history = [(float(t), 100) for t in range(10)]
    assert predict_resource_requirements(history, 9) == (10, 1000, 0.08)
    assert predict_resource_requirements(history[:9], 9) is predict_resource_requirements([], 9)
    assert predict_resource_requirements([(5.0, 100)] * 10, 9) == NO_PREDICTION  # no time span
    assert predict_resource_requirements(history[::-1], 9) == NO_PREDICTION  # time running backwards
    # truncation toward zero, in both directions
    assert predict_resource_requirements(history, 1.0) == (1, 100, 0.08)  # 10/9 allocations
    assert predict_resource_requirements(history, -1.0) == (-1, -100, 0.08)
    many = [(float(t), 3) for t in range(250)]
    assert predict_resource_requirements(many, 249.0)[2] == 0.8
    assert predict_resource_requirements(many[:99], 1.0)[2] == 99 * 0.008


@pytest.mark.parametrize(
    "horizon, size, expected",
    [
        (1e12, 100, (INT32_MAX, INT32_MAX)),
        (-1e12, 100, (INT32_MIN, INT32_MIN)),
        (1e12, -100, (INT32_MAX, INT32_MIN)),
        (math.inf, 100, (INT32_MAX, INT32_MAX)),
        (-math.inf, 100, (INT32_MIN, INT32_MIN)),
        (math.nan, 100, (0, 0)),  # an undefined prediction predicts nothing
        (9.0, math.inf, (10, INT32_MAX)),
        (9.0, math.nan, (10, 0)),
        (0.5, math.inf, (0, 0)),  # no allocations of infinite size: 0 x inf is undefined
        (9.0, 1e300, (10, INT32_MAX)),
    ],
)
def test_prediction_saturates_at_the_32_bit_ends(horizon, size, expected):
    history = [(float(t), size) for t in range(10)]
    assert predict_resource_requirements(history, horizon) == expected + (0.08,)


def test_prediction_reads_the_timestamps_of_the_first_and_last_entries():
    history = [(float(t), 1) for t in range(10)]
    history[0] = Pair(0.0, 1)
    history[-1] = Pair(9.0, 1)
    assert predict_resource_requirements(history, 9.0) == (10, 10, 0.08)
    history[-1] = ("late", 1)
    with pytest.raises(TypeError, match="must be real number, not str"):
        predict_resource_requirements(history, 9.0)
    # the entries are walked (sizes converted, two items each) only when there is a span to
    # extrapolate over; before that only the first item of entries 0 and n - 1 is read
    assert predict_resource_requirements([(1.0, "x")] * 10, 9.0) == NO_PREDICTION
    assert predict_resource_requirements([(1.0, 2, 3)] * 10, 9.0) == NO_PREDICTION
    assert predict_resource_requirements([Pair(1.0)] + [(1.0, 2)] * 8 + [[1.0, 2, 3, 4]], 9.0) == NO_PREDICTION
    spanned = [(float(t), 2, 3) for t in range(10)]
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        predict_resource_requirements(spanned, 9.0)
    for empty in ((), [], Pair()):
        with pytest.raises(ValueError, match="^need more than 0 values to unpack$"):
            predict_resource_requirements([empty] + [(1.0, 2)] * 9, 9.0)
    with pytest.raises(TypeError, match="'float' object is not iterable"):
        predict_resource_requirements([(0.0, 1)] * 9 + [9.0], 9.0)


@given(st.lists(st.tuples(st.floats(-1e12, 1e12), st.floats(-1e12, 1e12)), min_size=10, max_size=150),
       st.floats(allow_nan=True, allow_infinity=True))
def test_prediction_never_overflows(history, horizon):
    result = predict_resource_requirements(history, horizon)
    span = history[-1][0] - history[0][0]
    if not span > 0:
        assert result == NO_PREDICTION
        return
    allocations, size, confidence = result
    assert INT32_MIN <= allocations <= INT32_MAX and INT32_MIN <= size <= INT32_MAX
    assert confidence == pytest.approx(0.8 * min(len(history) / 100, 1))
    assert result == model_prediction(history, horizon)


# ---------------------------------------------------------------------------------------------
# Threads


def test_threads_get_single_thread_answers():
    history = [(float(t), 50.0 + (t * 7919) % 13) for t in range(300)]
    patterns = [["cpu", "io", "gpu"][(i * 31) % 3] for i in range(40)]
    dicts = [patterns_entry(i % 3, i % 5, 0.5) for i in range(12)]
    calls = [
        lambda: calculate_performance_trend(history, 100.0),
        lambda: detect_performance_degradation(history, 60.0, 0.05, 100.0),
        lambda: predict_resource_requirements(history, 30.0),
        lambda: detect_dominant_pattern(patterns, 40),
        lambda: detect_workload_characteristics_change(dicts, 0.1),
        lambda: score_pool_recommendation(0.7, 0.2, 0.9, 0.4),
    ]
    expected = [call() for call in calls]
    barrier = threading.Barrier(4)
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        def worker(_):
            barrier.wait()
            return [[call() for call in calls] for _ in range(200)]

        with ThreadPoolExecutor(4) as pool:
            for rounds in pool.map(worker, range(4)):
                assert all(answers == expected for answers in rounds)
    finally:
        sys.setswitchinterval(previous)
