"""CounterAggregator: statistics against a straightforward model, edge values, overrides."""

import ctypes
import math
import pickle
import sys
import tracemalloc
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

from klavrix.monitoring import tallies
from klavrix.monitoring.tallies import CounterAggregator, create_aggregator

INF = float("inf")
EMPTY = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}


def exact_variance(values):
    """The population variance of the stored doubles, computed exactly, rounded once."""
    exact = [Fraction(v) for v in values]
    mean = sum(exact) / len(exact)
    return float(sum((v - mean) ** 2 for v in exact) / len(exact))


def model_stats(values):
    """What the aggregator must report for finite values: the plain sum divided by the count as
    the mean, and the population variance to within a few units in the last place."""
    if not values:
        return dict(EMPTY)
    total = 0.0
    low, high = INF, -INF
    for v in values:
        total += v
        if not v >= low:
            low = v
        if not v <= high:
            high = v
    variance = exact_variance(values)
    return {"count": len(values), "mean": total / len(values), "variance": variance, "std": variance**0.5,
            "min": low, "max": high}


# Squares below the smallest normal double keep fewer digits, whatever computes them.
TINY = {"variance": sys.float_info.min, "std": math.sqrt(sys.float_info.min)}


def same(a, b):
    """Dict equality that treats NaN as equal to NaN, keeps the key order and allows the variance
    and std a relative error of 1e-12 (where they are not tiny)."""
    assert list(a) == list(b)
    for key in a:
        x, y = a[key], b[key]
        assert type(x) is type(y), key
        if key in TINY and math.isfinite(y):
            assert x == pytest.approx(y, rel=1e-12, abs=TINY[key]), (key, x, y)
        else:
            assert x == y or (isinstance(x, float) and math.isnan(x) and math.isnan(y)), (key, x, y)


finite = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e150, max_value=1e150)


@given(st.lists(st.tuples(st.integers(0, 4), finite), max_size=60))
def test_statistics_match_the_model(updates):
    aggregator = CounterAggregator(5)
    seen = {i: [] for i in range(5)}
    for counter_id, value in updates:
        aggregator.update(counter_id, value)
        seen[counter_id].append(value)
    for counter_id, values in seen.items():
        same(aggregator.get_stats(counter_id), model_stats(values))
    expected = [(i, model_stats(v)) for i, v in seen.items() if v]
    actual = aggregator.get_all_stats()
    assert [i for i, _ in actual] == [i for i, _ in expected]
    for (_, a), (_, b) in zip(actual, expected):
        same(a, b)


def test_worked_values_and_empty_state():
    aggregator = CounterAggregator()
    same(aggregator.get_stats(0), EMPTY)
    aggregator.update(3, 2.0)
    aggregator.update(3, 4.0)
    stats = {"count": 2, "mean": 3.0, "variance": 1.0, "std": 1.0, "min": 2.0, "max": 4.0}
    same(aggregator.get_stats(3), stats)
    assert aggregator.get_all_stats() == [(3, stats)]
    aggregator.update(999, 1)  # ints convert like floats
    aggregator.reset(3)
    same(aggregator.get_stats(3), EMPTY)
    assert [i for i, _ in aggregator.get_all_stats()] == [999]
    aggregator.reset_all()
    assert aggregator.get_all_stats() == []


@pytest.mark.parametrize("value, count", [(1e10 + 0.1, 10), (123456.789, 3), (3.3, 100)])
def test_equal_values_have_no_variance(value, count):
    aggregator = CounterAggregator(1)
    for _ in range(count):
        aggregator.update(0, value)
    stats = aggregator.get_stats(0)
    assert stats["variance"] == 0.0 and stats["std"] == 0.0 and type(stats["std"]) is float


# The certified univariate datasets NumAcc1, NumAcc3 and NumAcc4 of the NIST Statistical Reference
# Datasets, and nanosecond-sized latencies: a spread tiny beside the magnitude, where the textbook
# formula loses every digit.
NUMACC3 = [1000000.2] + [1000000.1, 1000000.3] * 500
NUMACC4 = [10000000.2] + [10000000.1, 10000000.3] * 500
SPREAD_DATASETS = {
    "NumAcc1": ([10000001.0, 10000003.0, 10000002.0], 0.816496580927726),
    "NumAcc3": (NUMACC3, 0.0999500374687773),
    "NumAcc4": (NUMACC4, 0.0999500374687773),
    "nanoseconds": ([1e9 + (i % 7) for i in range(100_000)], 1.99999),
}


@pytest.mark.parametrize("name", SPREAD_DATASETS)
def test_spread_tiny_beside_magnitude(name):
    values, population_std = SPREAD_DATASETS[name]
    aggregator = CounterAggregator(1)
    for value in values:
        aggregator.update(0, value)
    stats = aggregator.get_stats(0)
    assert stats["variance"] == pytest.approx(exact_variance(values), rel=1e-12, abs=0.0)
    # The certified values describe the decimal data, not the doubles that store it.
    assert stats["std"] == pytest.approx(population_std, rel=1e-5)


def test_nan_and_infinity():
    aggregator = CounterAggregator(2)
    aggregator.update(0, 1.0)
    aggregator.update(0, float("nan"))
    stats = aggregator.get_stats(0)
    assert all(math.isnan(stats[key]) for key in ("mean", "variance", "std", "min", "max"))
    aggregator.update(0, 5.0)  # the next value replaces a stored NaN in both bounds
    stats = aggregator.get_stats(0)
    assert (stats["min"], stats["max"]) == (5.0, 5.0)

    aggregator.update(1, INF)
    aggregator.update(1, -INF)
    stats = aggregator.get_stats(1)
    assert (stats["min"], stats["max"]) == (-INF, INF) and math.isnan(stats["mean"])
    aggregator.update(1, 1e200)  # squares overflow to infinity instead of raising
    assert aggregator.get_stats(1)["count"] == 3


@pytest.mark.parametrize("method", ["update", "get_stats", "reset"])
@pytest.mark.parametrize("counter_id", [-1, 3, 2**31 - 1])
def test_counter_ids_out_of_range(method, counter_id):
    aggregator = CounterAggregator(3)
    aggregator.update(0, 1.0)
    args = (counter_id, 1.0) if method == "update" else (counter_id,)
    with pytest.raises(IndexError) as info:
        getattr(aggregator, method)(*args)
    assert str(info.value) == f"Counter ID {counter_id} out of range"
    assert aggregator.get_stats(0)["count"] == 1


def test_argument_conversions():
    aggregator = CounterAggregator(3)
    aggregator.update(2.9, 1.0)  # ids truncate through __int__
    assert aggregator.get_stats(2)["count"] == 1
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        aggregator.update(2**31, 1.0)
    with pytest.raises(TypeError, match="an integer is required"):
        aggregator.get_stats("0")
    with pytest.raises(TypeError):
        aggregator.update(-1, "1.0")  # the value converts before the id is range-checked
    with pytest.raises(TypeError, match=r"update\(\) takes exactly 2 positional arguments \(1 given\)"):
        aggregator.update(0)


@pytest.mark.parametrize(
    "argument, error, message",
    [
        (-1, MemoryError, "Failed to allocate counter storage"),
        (-(2**31), MemoryError, "Failed to allocate counter storage"),
        (2**31, OverflowError, "value too large to convert to int"),
        ("10", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ],
)
def test_construction_errors(argument, error, message):
    with pytest.raises(error) as info:
        CounterAggregator(argument)
    assert str(info.value) == message
    with pytest.raises(error):
        create_aggregator(argument)


def test_zero_counters_and_factory():
    empty = CounterAggregator(0)
    assert empty.get_all_stats() == []
    with pytest.raises(IndexError, match="Counter ID 0 out of range"):
        empty.update(0, 1.0)
    made = create_aggregator()
    assert type(made) is CounterAggregator
    made.update(999, 1.0)
    with pytest.raises(IndexError):
        made.update(1000, 1.0)
    assert create_aggregator.__doc__ == "Create a new CounterAggregator instance."
    assert CounterAggregator(num_counters=2).get_stats(1)["count"] == 0


def test_subclass_overrides_reach_get_all_stats():
    calls = []

    class Labelled(CounterAggregator):
        def get_stats(self, counter_id):
            calls.append(counter_id)
            stats = super().get_stats(counter_id)
            stats["label"] = f"c{counter_id}"
            return stats

    aggregator = Labelled(4)
    aggregator.update(1, 2.0)
    aggregator.update(3, 6.0)
    result = aggregator.get_all_stats()
    assert calls == [1, 3]
    assert [(i, s["label"], s["mean"]) for i, s in result] == [(1, "c1", 2.0), (3, "c3", 6.0)]


def test_override_results_are_type_checked():
    class NoneStats(CounterAggregator):
        def get_stats(self, counter_id):
            return None

    class BadStats(CounterAggregator):
        def get_stats(self, counter_id):
            return [counter_id]

    class DictSubclassStats(CounterAggregator):
        def get_stats(self, counter_id):
            return type("D", (dict,), {})()

    none_stats = NoneStats(2)
    none_stats.update(0, 1.0)
    assert none_stats.get_all_stats() == [(0, None)]
    for cls, given in ((BadStats, "list"), (DictSubclassStats, "D")):
        aggregator = cls(2)
        aggregator.update(0, 1.0)
        with pytest.raises(TypeError) as info:
            aggregator.get_all_stats()
        assert str(info.value) == f"Expected dict, got {given}"


class NativeApi(ctypes.Structure):
    _fields_ = [
        ("update", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int, ctypes.c_double)),
        ("get_stats", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int)),
        ("reset", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int)),
        ("reset_all", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)),
        ("get_all_stats", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)),
    ]


def native_api():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    name = b"klavrix.monitoring.tallies.CounterAggregator.__native_api__"
    return NativeApi.from_address(get_pointer(CounterAggregator.__native_api__, name))


def test_native_entry_points_dispatch_to_overrides():
    api = native_api()
    plain = CounterAggregator(2)
    assert api.update(plain, 1, 3.0) == 0
    assert api.get_stats(plain, 1)["mean"] == 3.0
    assert api.get_all_stats(plain) == [(1, plain.get_stats(1))]
    assert api.reset(plain, 1) == 0 and plain.get_stats(1)["count"] == 0
    with pytest.raises(IndexError):
        api.update(plain, 2, 1.0)

    class Counting(CounterAggregator):
        updates = 0

        def update(self, counter_id, value):
            Counting.updates += 1
            super().update(counter_id, value * 2)

        def get_all_stats(self):
            return "not a list"

    counting = Counting(2)
    assert api.update(counting, 0, 2.5) == 0
    assert Counting.updates == 1 and counting.get_stats(0)["mean"] == 5.0
    assert api.reset_all(counting) == 0 and counting.get_stats(0)["count"] == 0
    with pytest.raises(TypeError, match="Expected list, got str"):
        api.get_all_stats(counting)


def test_update_allocates_nothing():
    aggregator = CounterAggregator(10)
    values = [float(i) for i in range(100)]
    aggregator.update(0, 1.0)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            for value in values:
                aggregator.update(7, value)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 1024


def test_module_surface(python):
    assert [n for n in vars(tallies) if not n.startswith("__")] == ["CounterAggregator", "create_aggregator"]
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(CounterAggregator(1))
    out = python(
        """
        import logging
        records = []
        logging.getLogger().addHandler(type("H", (logging.Handler,), {"emit": lambda s, r: records.append(r)})())
        logging.getLogger().setLevel(logging.DEBUG)
        import klavrix.monitoring.tallies
        print(len(records))
        """
    )
    assert out.strip() == "0"
