"""AtomicCounter semantics, its native entry points, and the module's lock-based helpers."""

import ctypes
import gc
import threading
import time
import weakref

import pytest
from hypothesis import given, strategies as st

from klavrix.memory.interlock import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)
from threads import run_threads

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
int64s = st.integers(INT64_MIN, INT64_MAX)


def wrap(value: int) -> int:
    return (value - INT64_MIN) % 2**64 + INT64_MIN


# ---------------------------------------------------------------------------------------------
# AtomicCounter


def test_operation_sequence():
    counter = AtomicCounter(5)
    assert counter.increment() == 6
    assert counter.decrement(3) == 3
    assert counter.fetch_and_add(10) == 3
    assert counter.load() == 13
    assert counter.compare_and_swap(13, 7) is True and counter.load() == 7
    assert counter.compare_and_swap(13, 9) is False and counter.load() == 7
    assert counter.increment(0) == 7
    assert counter.increment(-2) == 5
    assert counter.store(1) is None and counter.load() == 1
    assert AtomicCounter().load() == 0


@pytest.mark.parametrize(
    "start, operation, result, after",
    [
        (INT64_MAX, lambda c: c.increment(), INT64_MIN, INT64_MIN),
        (INT64_MIN, lambda c: c.decrement(), INT64_MAX, INT64_MAX),
        (INT64_MIN, lambda c: c.decrement(INT64_MIN), 0, 0),  # subtracting the smallest value
        (INT64_MAX, lambda c: c.fetch_and_add(INT64_MAX), INT64_MAX, -2),
        (-1, lambda c: c.increment(INT64_MIN), INT64_MAX, INT64_MAX),
    ],
)
def test_arithmetic_wraps_without_error(start, operation, result, after):
    counter = AtomicCounter(start)
    assert operation(counter) == result
    assert counter.load() == after


@given(st.lists(st.tuples(st.sampled_from(["inc", "dec", "faa", "store", "cas"]), int64s, int64s), max_size=40), int64s)
def test_counter_matches_a_wrapping_model(operations, start):
    counter, model = AtomicCounter(start), start
    for name, a, b in operations:
        if name == "inc":
            model = wrap(model + a)
            assert counter.increment(a) == model
        elif name == "dec":
            model = wrap(model - a)
            assert counter.decrement(a) == model
        elif name == "faa":
            assert counter.fetch_and_add(a) == model
            model = wrap(model + a)
        elif name == "store":
            counter.store(a)
            model = a
        else:
            expected = model if b % 2 else a  # hit and miss
            assert counter.compare_and_swap(expected, b) is (expected == model)
            model = b if expected == model else model
        assert counter.load() == model


def test_concurrent_increments_are_exact():
    counter, threads, per_thread = AtomicCounter(), 8, 20_000
    run_threads(threads, lambda _: [counter.increment() for _ in range(per_thread)])
    assert counter.load() == threads * per_thread


def test_concurrent_mixed_operations_end_at_the_known_value():
    counter = AtomicCounter(1000)
    claimed = [[] for _ in range(4)]

    def work(index):
        for step in range(5_000):
            counter.increment(3)
            counter.decrement(2)
            counter.fetch_and_add(-1)  # net zero per step
            claimed[index].append(counter.fetch_and_add(0))
            while True:  # a compare-and-swap loop adds 5
                seen = counter.load()
                if counter.compare_and_swap(seen, seen + 5):
                    break

    run_threads(4, work)
    assert counter.load() == 1000 + 4 * 5_000 * 5


def test_fetch_and_add_hands_out_each_value_once():
    counter, seen = AtomicCounter(), [[] for _ in range(4)]
    run_threads(4, lambda i: seen[i].extend(counter.fetch_and_add(1) for _ in range(10_000)))
    values = sorted(v for part in seen for v in part)
    assert values == list(range(40_000))


class NativeApi(ctypes.Structure):
    _fields_ = [
        ("load", ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.py_object)),
        ("store", ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.c_int64)),
        ("increment", ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.py_object, ctypes.POINTER(ctypes.c_int64))),
        ("decrement", ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.py_object, ctypes.POINTER(ctypes.c_int64))),
        ("compare_and_swap", ctypes.CFUNCTYPE(ctypes.c_bool, ctypes.py_object, ctypes.c_int64, ctypes.c_int64)),
        ("fetch_and_add", ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.py_object, ctypes.c_int64)),
    ]


def test_native_entry_points_run_without_the_interpreter_lock():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(AtomicCounter.__native_api__, b"klavrix.memory.interlock.AtomicCounter.__native_api__")
    api = NativeApi.from_address(address)
    counter = AtomicCounter(10)
    # CFUNCTYPE functions are called with the interpreter lock released.
    assert api.increment(counter, None) == 11
    assert api.increment(counter, ctypes.byref(ctypes.c_int64(4))) == 15
    assert api.decrement(counter, None) == 14
    assert api.fetch_and_add(counter, 6) == 14
    assert api.compare_and_swap(counter, 20, 1) is True
    assert api.compare_and_swap(counter, 20, 2) is False
    api.store(counter, INT64_MAX)
    assert api.increment(counter, None) == INT64_MIN
    assert api.load(counter) == counter.load() == INT64_MIN


def test_wrapper_looks_its_counter_up_at_each_call():
    wrapper = AtomicCounterWrapper(3)
    assert type(AtomicCounterWrapper) is type and "_counter" in wrapper.__dict__
    assert wrapper.increment() == 4
    wrapper._counter = AtomicCounter(100)
    assert wrapper.decrement(delta=10) == 90
    assert wrapper.fetch_and_add(5) == 90
    assert wrapper.compare_and_swap(95, 1) is True
    wrapper.store(8)
    assert wrapper.load() == 8


# ---------------------------------------------------------------------------------------------
# AtomicPointer


def test_pointer_store_compare_and_swap_and_version():
    first, second = object(), object()
    pointer = AtomicPointer()
    assert pointer.load() is None and pointer.get_version() == 0
    pointer.store(first)
    assert pointer.load() is first and pointer.get_version() == 1
    assert pointer.compare_and_swap(second, None) is False and pointer.get_version() == 1
    assert pointer.compare_and_swap(first, second) is True
    assert pointer.load() is second and pointer.get_version() == 2
    assert pointer.compare_and_swap(None, first) is False
    pointer.store(None)
    assert pointer.compare_and_swap(None, first) is True and pointer.load() is first
    assert AtomicPointer(initial_value=second).load() is second


def test_pointer_releases_replaced_values_and_takes_part_in_gc():
    class Payload:
        pass

    value = Payload()
    dead = weakref.ref(value)
    pointer = AtomicPointer(value)
    del value
    pointer.store(None)
    assert dead() is None

    holder = Payload()
    holder.pointer = AtomicPointer(holder)  # a cycle through the native object
    dead = weakref.ref(holder)
    del holder
    gc.collect()
    assert dead() is None


# ---------------------------------------------------------------------------------------------
# LockFreeStack


def test_stack_is_last_in_first_out():
    stack = LockFreeStack()
    assert stack.is_empty() and stack.pop() is None and stack.size() == 0
    for item in ("a", "b", "c"):
        stack.push(item)
    assert stack.size() == 3 and not stack.is_empty()
    assert [stack.pop(), stack.pop(), stack.pop(), stack.pop()] == ["c", "b", "a", None]
    assert stack.is_empty()


def test_stack_under_threads_loses_nothing():
    stack, popped = LockFreeStack(), [[] for _ in range(4)]

    def work(index):
        for n in range(5_000):
            stack.push((index, n))
            popped[index].append(stack.pop())

    run_threads(4, work)
    items = [item for part in popped for item in part]
    assert None not in items and len(set(items)) == 20_000 and stack.is_empty()


def test_stack_cycles_are_collected():
    class Node:
        pass

    node = Node()
    node.stack = LockFreeStack()
    node.stack.push(node)
    dead = weakref.ref(node)
    del node
    gc.collect()
    assert dead() is None


# ---------------------------------------------------------------------------------------------
# LockFreeStatistics


def snapshot_after(*steps):
    stats = LockFreeStatistics()
    for step in steps:
        step(stats)
    return stats.get_snapshot()


def test_statistics_record_and_snapshot():
    snapshot = snapshot_after(
        lambda s: s.record_allocation(100, padding=12, time_ns=7),
        lambda s: s.record_allocation(50, is_bucketed=False, time_ns=3),
        lambda s: s.record_deallocation(100, time_ns=2),
        lambda s: s.record_allocation(10),
    )
    assert snapshot == {
        "total_allocations": 3,
        "total_deallocations": 1,
        "current_allocations": 2,
        "bytes_allocated": 60,
        "bytes_reserved": 172,
        "peak_allocations": 2,
        "peak_bytes_allocated": 150,
        "bucketed_allocations": 2,
        "fallback_allocations": 1,
        "alignment_padding_bytes": 12,
        "total_allocation_time_ns": 10,
        "total_deallocation_time_ns": 2,
    }
    assert list(snapshot) == list(LockFreeStatistics().get_snapshot())


def test_statistics_earlier_record_forms_and_peaks():
    stats = LockFreeStatistics()
    assert LockFreeStatistics.py_record_allocation is not LockFreeStatistics.record_allocation
    assert LockFreeStatistics.py_record_allocation.__name__ == "record_allocation"
    stats.py_record_allocation(64, 0)  # is_bucketed is required and taken by truth value
    stats.py_record_deallocation(64)
    stats._update_peaks(10, 5)
    stats._update_peaks(3, 1_000)  # peaks only rise
    snapshot = stats.get_snapshot()
    assert snapshot["fallback_allocations"] == 1 and snapshot["current_allocations"] == 0
    assert (snapshot["peak_allocations"], snapshot["peak_bytes_allocated"]) == (10, 1_000)
    stats.reset()
    assert set(stats.get_snapshot().values()) == {0}
    with pytest.raises(TypeError, match=r"Argument 'size' has incorrect type \(expected int, got str\)"):
        stats.record_allocation("64")
    assert set(stats.get_snapshot().values()) == {0}


def test_statistics_expose_their_counters():
    stats = LockFreeStatistics()
    counter = stats.total_allocations
    assert isinstance(counter, AtomicCounter)
    stats.record_allocation(1)
    assert counter.load() == 1
    replacement = AtomicCounter(40)
    stats.total_allocations = replacement
    stats.record_allocation(1)
    assert replacement.load() == 41
    with pytest.raises(TypeError, match="expected AtomicCounter, got int"):
        stats.total_allocations = 5
    with pytest.raises(NotImplementedError, match="__del__"):
        del stats.bytes_allocated


def test_statistics_under_threads_are_exact():
    stats = LockFreeStatistics()

    def work(_):
        for _ in range(5_000):
            stats.record_allocation(8, padding=1)
            stats.record_deallocation(8)

    run_threads(4, work)
    snapshot = stats.get_snapshot()
    assert snapshot["total_allocations"] == snapshot["total_deallocations"] == 20_000
    assert snapshot["current_allocations"] == snapshot["bytes_allocated"] == 0
    assert snapshot["bytes_reserved"] == 20_000 * 9
    assert 1 <= snapshot["peak_allocations"] <= 4


# ---------------------------------------------------------------------------------------------
# PerformanceTimer


def test_timer_measures_monotonic_elapsed_time():
    timer = PerformanceTimer()
    time.sleep(0.002)
    first = timer.elapsed_ns()
    assert first >= 2_000_000
    assert timer.elapsed_us() >= first / 1e3
    assert timer.elapsed_ms() >= first / 1e6
    timer.start()
    assert timer.elapsed_ns() < first


@pytest.mark.parametrize("depth", [10**6])
def test_deeply_nested_objects_are_released_without_exhausting_the_stack(depth):
    pointer = None
    for _ in range(depth):
        pointer = AtomicPointer(pointer)
    del pointer
    stack = None
    for _ in range(depth // 2):
        outer = LockFreeStack()
        outer.push(stack)
        stack = outer
    del stack, outer
