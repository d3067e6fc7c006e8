"""100,000 calls of each hot entry point, half of them raising, leak neither memory nor references.

Each case names a call that succeeds and one that raises; the loop alternates them. After a
warm-up, the memory that tracemalloc traces and the reference counts of every argument (and of
objects the call hands back) must not grow beyond a small constant.
"""

import gc
import importlib
import logging
import sys
import tracemalloc
import types

import pytest

CALLS = 100_000
MEMORY_SLACK = 64 * 1024  # bytes; one leaked object per call would be over 1.5 MB
REFCOUNT_SLACK = 2


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class FloatRaises:
    def __float__(self):
        raise ArithmeticError("hostile")


def mod(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        pytest.skip(f"{name} is not built")


def quiet(module):
    """The module's logger keeps its level but sends its records nowhere."""
    logger = logging.getLogger(module.__name__)
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    return logger


# Each case: () -> (callable, good args, bad args, extra objects whose refcounts must hold).
def interlock_cases():
    m = mod("klavrix.memory.interlock")
    counter, wrapper, pointer = m.AtomicCounter(3), m.AtomicCounterWrapper(3), m.AtomicPointer()
    stack, stats, kept = m.LockFreeStack(), m.LockFreeStatistics(), ["kept"]
    delta = IntLike(1)
    return {
        "AtomicCounter.increment": (counter.increment, (delta,), ("x",), ()),
        "AtomicCounter.compare_and_swap": (counter.compare_and_swap, (delta, delta), (2**64, 1), ()),
        "AtomicCounter.fetch_and_add": (counter.fetch_and_add, (delta,), (), ()),
        "AtomicCounter.store/load": (lambda v: counter.store(v) or counter.load(), (delta,), (1.5j,), ()),
        "AtomicCounter()": (m.AtomicCounter, (delta,), (delta, delta), ()),
        "AtomicCounterWrapper.increment": (wrapper.increment, (delta,), ("3",), ()),
        "AtomicPointer.store/compare_and_swap": (
            lambda v: pointer.store(v) or pointer.compare_and_swap(v, v), (kept,), (), (kept,)),
        "LockFreeStack.push/pop": (lambda v: stack.push(v) or stack.pop(), (kept,), (), (kept,)),
        "LockFreeStatistics.record_allocation": (stats.record_allocation, (delta, True, delta, delta),
                                                 ("x",), ()),
        "LockFreeStatistics.get_snapshot": (stats.get_snapshot, (), (1,), ()),
    }


def blockfit_cases():
    m = mod("klavrix.memory.blockfit")
    from klavrix.memory.blockrec import Blockrec

    tree, block, size = m.FastRedBlackTree(sample_rate=7), Blockrec(0, 160), IntLike(160)
    for n in range(1, 40):
        tree.insert(n * 8, Blockrec(n, n * 8))
    stranger, beyond = Blockrec(1, 1), IntLike(10**6)  # no block is filed at or above `beyond`
    return {
        "insert/remove_ge": (lambda s, b: tree.insert(s, b) and tree.remove_ge(s), (beyond, block),
                             (-1, block), (block,)),
        "find_best_fit": (tree.find_best_fit, (size,), ("x",), ()),
        "find_all_exact": (tree.find_all_exact, (size,), (2**64,), ()),
        "delete (no match)": (tree.delete, (size, stranger), (None, stranger), (stranger,)),
        "insert/delete": (lambda s, b: tree.insert(s, b) and tree.delete(s, b), (size, block),
                          (size,), (block,)),
        "get_stats": (tree.get_stats, (), (1,), ()),
        "get_size_distribution": (tree.get_size_distribution, (), (1,), ()),
    }


def slabworks_cases():
    m = mod("klavrix.memory.slabworks")
    quiet(m)
    header, allocator, stats = m.FastSlabHeaderOps(3, 40), m.FastBucketAllocator(), m.FastStatsCollector()
    data = header.pack_header()
    corrupted = bytes([data[0] ^ 1]) + data[1:]
    index, offset, size = IntLike(5), IntLike(4096), IntLike(24)
    operation = "".join(["is_", "set"])
    return {
        "header bitmap methods": (
            lambda i: (header.py_allocate_object_at(i), header.py_is_object_free(i),
                       header.py_deallocate_object_at(i), header.py_find_free_object()), (index,), ("x",), ()),
        "pack/unpack_header": (lambda d: header.unpack_header(d) or header.pack_header(), (data,),
                               (data[:5],), ()),
        "unpack_header (corrupted, logs)": (header.unpack_header, (corrupted,), (bytearray(16),), ()),
        "bucket add/remove": (lambda o, s: allocator.add_to_bucket(o, s) and allocator.remove_from_bucket(s),
                              (offset, size), (offset, 2**31), ()),
        "find_best_fit_bucket": (lambda o, s: allocator.add_to_bucket(o, s) and
                                 allocator.find_best_fit_bucket(s, 8), (offset, size), (offset, "x"), ()),
        "stats record/get": (lambda s, p, b: stats.py_record_allocation(s, p, b) or stats.get_stats(),
                             (size, index, operation), (size, None, True), ()),
        "fast_align_size": (m.fast_align_size, (size, IntLike(8)), (size, IntLike(6)), ()),
        "fast_get_bucket_size": (m.fast_get_bucket_size, (size, IntLike(8)), (size, 1.5j), ()),
        "fast_bitmap_operations": (m.fast_bitmap_operations, (offset, index, operation),
                                   (offset, index, "flip"), ()),
        "fast_can_fit_aligned": (m.fast_can_fit_aligned, (offset, offset, size, IntLike(8)),
                                 (offset, offset, size, None), ()),
    }


def compilegate_cases():
    m = mod("klavrix.jit.compilegate")
    quiet(m)
    gate = m.Compilegate()
    metrics = m.FunctionMetrics(500, 1, 3.0)
    store = types.SimpleNamespace(get_metrics=lambda func_id: metrics)
    broken = types.SimpleNamespace(get_metrics=lambda func_id: types.SimpleNamespace(call_count=-1))
    func_id = "".join(["comp", "ute"])
    return {
        "get_threshold": (gate.get_threshold, (func_id,), (42,), ()),
        "should_compile": (gate.should_compile, (func_id, store), (func_id, broken), (store, metrics)),
        "update": (gate.update, (func_id, store), (func_id, broken), (store, metrics)),
        "get_statistics": (gate.get_statistics, (), (1,), ()),
        "PolicyConfig()": (m.PolicyConfig, (IntLike(50),), (IntLike(5),), ()),
        "FunctionMetrics()": (m.FunctionMetrics, (IntLike(5), IntLike(1), 2.5), (IntLike(-1),), ()),
        "create_function_metrics": (m.create_function_metrics, (2.5,), ("3",), ()),
        "property set/get": (lambda v: setattr(metrics, "compile_count", v) or metrics.compile_count,
                             (IntLike(1),), (IntLike(-1),), ()),
        "get_compilegate": (m.get_compilegate, (), (1,), ()),
    }


def jobscore_cases():
    m = mod("klavrix.plugins.analyzer.jobscore")
    quiet(m)
    code = "import numpy as np\nfor i in range(10):\n    np.dot(a, b).sum()\n"
    half, bad = 0.5 + 0.0, FloatRaises()
    pattern_args = (half,) * 8 + (IntLike(1), IntLike(1)) + (half,) * 6 + (True,)
    return {
        "score_indicators": (m.score_indicators, (code, "compute"), (code, 5), ()),
        "normalize_scores": (m.normalize_scores, (IntLike(3),) * 5, ("x",) * 5, ()),
        "score_framework_patterns": (m.score_framework_patterns, (code,), (b"code",), ()),
        "quick_framework_score": (m.quick_framework_score, (code, "numpy"), (code, 1), ()),
        "determine_workload_pattern": (m.determine_workload_pattern, pattern_args,
                                       (bad,) + pattern_args[1:], ()),
        "calculate_gpu_suitability": (m.calculate_gpu_suitability, (half, half, half, True, "8.0"),
                                      (half, half, half, True, 8.0), ()),
        "estimate_gpu_speedup": (m.estimate_gpu_speedup, (half, half, True), (bad, half, True), ()),
        "calculate_parallelization_potential": (m.calculate_parallelization_potential, (half,) * 4,
                                                (half, half, half, bad), ()),
        "update_adaptive_threshold": (m.update_adaptive_threshold, (half, 0.9, 0.05, 0.1, 0.9),
                                      (half, bad, 0.05, 0.1, 0.9), ()),
    }


def poolsteer_cases():
    m = mod("klavrix.plugins.analyzer.poolsteer")
    history = [(float(t), 1.0 - t / 20) for t in range(10)]
    broken_history = [(0.0, 1.0), (1.0, FloatRaises())]
    patterns = [{"parallelization_potential": p / 10, "cpu_intensity": 0.5, "memory_intensity": 0.2}
                for p in range(6)]
    names = ["cpu", "io", "cpu", None, "cpu"]
    allocations = [(float(t), 64.0 * t) for t in range(10)]
    half, bad = 0.5 + 0.0, FloatRaises()
    return {
        "detect_performance_degradation": (m.detect_performance_degradation, (history, 1.0, 0.1, 0.0),
                                           (broken_history, 1.0, 0.1, 0.0), ()),
        "calculate_performance_trend": (m.calculate_performance_trend, (history, 0.0), (history, bad), ()),
        "detect_workload_characteristics_change": (m.detect_workload_characteristics_change, (patterns,),
                                                   ((1, 2),), ()),
        "detect_dominant_pattern": (m.detect_dominant_pattern, (names,), (names, "5"), ()),
        "is_adaptation_beneficial": (m.is_adaptation_beneficial, ("thread", "process", 0.9, 0.9, half, 1),
                                     ("thread", "process", bad, 0.9, half, 1), ()),
        "detect_memory_pressure": (m.detect_memory_pressure, (90.0, 100.0), (bad, 100.0), ()),
        "calculate_adaptation_urgency": (m.calculate_adaptation_urgency, (half, half, half, True),
                                         (half, half, bad, True), ()),
        "score_pool_recommendation": (m.score_pool_recommendation, (half,) * 4, (bad,) * 4, ()),
        "predict_resource_requirements": (m.predict_resource_requirements, (allocations, 10.0),
                                          (allocations, bad), ()),
    }


def offload_cases():
    m = mod("klavrix.gpu.offload")
    shape, size = (IntLike(10), 4), IntLike(8)
    return {
        "estimate_allocation_bytes": (m.estimate_allocation_bytes, (shape, size), ([10, 4], size), ()),
        "calculate_safe_limit": (m.calculate_safe_limit, (IntLike(1000), 0.1), (IntLike(1000), "x"), ()),
        "decide_allocation_strategy": (m.decide_allocation_strategy, (IntLike(2000), IntLike(1000), 0.1, True),
                                       (IntLike(2000), None, 0.1, True), ()),
        "compute_chunk_shapes": (m.compute_chunk_shapes, ((10, 4), size, IntLike(64)), ((10, 4), 0, 64), ()),
        "calculate_optimal_chunks": (m.calculate_optimal_chunks, (IntLike(5000), IntLike(1000), 0.1),
                                     (IntLike(5000), IntLike(1000), FloatRaises()), ()),
        "is_oom_error": (m.is_oom_error, ("CUDA out of memory", "RuntimeError"), (None, 5), ()),
        "is_chunkable_operation": (m.is_chunkable_operation, ("zeros",), (5,), ()),
        "score_gpu_suitability": (m.score_gpu_suitability, (IntLike(1000), "matmul", IntLike(10_000), 0.1),
                                  (IntLike(1000), "matmul", -1, 0.1), ()),
        "calculate_memory_pressure": (m.calculate_memory_pressure, (IntLike(50), IntLike(100)), ("x", 1), ()),
        "recommend_headroom": (m.recommend_headroom, (0.9,), (FloatRaises(),), ()),
    }


def tallies_cases():
    m = mod("klavrix.monitoring.tallies")
    aggregator, counter_id, value = m.CounterAggregator(16), IntLike(3), 2.5 + 0.0
    return {
        "update": (aggregator.update, (counter_id, value), (IntLike(16), value), ()),
        "update (bad value)": (aggregator.update, (counter_id, value), (counter_id, FloatRaises()), ()),
        "get_stats": (aggregator.get_stats, (counter_id,), (IntLike(-1),), ()),
        "get_all_stats": (aggregator.get_all_stats, (), (1,), ()),
        "reset": (aggregator.reset, (counter_id,), (IntLike(99),), ()),
        "CounterAggregator()": (m.CounterAggregator, (IntLike(4),), (IntLike(-1),), ()),
    }


CASES = {
    "interlock": interlock_cases, "blockfit": blockfit_cases, "slabworks": slabworks_cases,
    "compilegate": compilegate_cases, "jobscore": jobscore_cases, "poolsteer": poolsteer_cases,
    "offload": offload_cases, "tallies": tallies_cases,
}


def hammer(function, good, bad, rounds):
    for _ in range(rounds):
        function(*good)
        try:
            function(*bad)
        except Exception:  # noqa: BLE001 - every exception the bad call may raise is fine
            pass


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("module", CASES)
def test_hot_entry_points_do_not_leak(module):
    grown = {}
    for label, (function, good, bad, extra) in CASES[module]().items():
        watched = [o for o in (*good, *bad, *extra) if sys.getrefcount(o) < 2**30]  # not immortal
        hammer(function, good, bad, 1000)  # caches, free lists, interned names settle
        gc.collect()
        before = refcounts(watched)
        tracemalloc.start()
        try:
            start = tracemalloc.get_traced_memory()[0]
            hammer(function, good, bad, CALLS // 2)
            gc.collect()
            memory = tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()
        references = [after - was for was, after in zip(before, refcounts(watched))]
        if memory > MEMORY_SLACK or any(abs(r) > REFCOUNT_SLACK for r in references):
            grown[label] = {"bytes": memory, "references": references}
    assert grown == {}
