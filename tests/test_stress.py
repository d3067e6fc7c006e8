"""Shared objects under several threads for about a second each, ending in exact final states.

Every worker counts what it did; the final state must be exactly what those counts imply.
The interpreter's switch interval is shortened so that the threads interleave finely.
"""

import importlib
import math
import random
import sys
import threading
import time
import types

import pytest

THREADS = 4
SECONDS = 1.0


def mod(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        pytest.skip(f"{name} is not built")


@pytest.fixture(autouse=True)
def fine_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_for(seconds, *workers):
    """Runs each worker(index, stop) in its own thread until `seconds` have passed; re-raises
    the first error and returns the workers' results in order."""
    stop, results, errors = threading.Event(), [None] * len(workers), []

    def target(index, worker):
        try:
            results[index] = worker(index, stop)
        except BaseException as error:  # handed to the test's thread
            errors.append(error)
            stop.set()

    threads = [threading.Thread(target=target, args=(i, w), daemon=True) for i, w in enumerate(workers)]
    for thread in threads:
        thread.start()
    time.sleep(seconds)
    stop.set()
    for thread in threads:
        thread.join(30)
        assert not thread.is_alive(), "a worker hangs"
    if errors:
        raise errors[0]
    return results


def wrap64(value):
    return (value + 2**63) % 2**64 - 2**63


def test_counters_wrap_and_add_up_exactly():
    m = mod("klavrix.memory.interlock")
    start = 2**63 - 5000  # the increments carry the counter across the signed 64-bit limit
    counter, wrapper, stats = m.AtomicCounter(start), m.AtomicCounterWrapper(0), m.LockFreeStatistics()

    def worker(index, stop):
        added = rounds = 0
        while not stop.is_set():
            added += 7
            counter.increment(7)
            counter.decrement(3)
            counter.fetch_and_add(-1)
            added -= 4
            while True:  # a compare-and-swap loop adds 2
                seen = counter.load()
                if counter.compare_and_swap(seen, wrap64(seen + 2)):
                    break
            added += 2
            wrapper.increment(index + 1)
            stats.record_allocation(64, index % 2 == 0, 8, 10)
            stats.record_deallocation(64, 5)
            rounds += 1
        return added, rounds

    results = run_for(SECONDS, *[worker] * THREADS)
    assert counter.load() == wrap64(start + sum(added for added, _ in results))
    assert counter.load() < 0  # it did wrap
    assert wrapper.load() == sum((i + 1) * rounds for i, (_, rounds) in enumerate(results))
    total = sum(rounds for _, rounds in results)
    snapshot = stats.get_snapshot()
    assert snapshot["total_allocations"] == snapshot["total_deallocations"] == total
    assert snapshot["bucketed_allocations"] == sum(r for i, (_, r) in enumerate(results) if i % 2 == 0)
    assert snapshot["fallback_allocations"] == total - snapshot["bucketed_allocations"]
    assert snapshot["alignment_padding_bytes"] == 8 * total
    assert snapshot["total_allocation_time_ns"] == 10 * total
    assert snapshot["current_allocations"] == 0 and snapshot["bytes_allocated"] == 0
    assert snapshot["bytes_reserved"] == 72 * total and snapshot["total_deallocation_time_ns"] == 5 * total


def test_aggregator_counts_every_update():
    m = mod("klavrix.monitoring.tallies")
    aggregator = m.CounterAggregator(8)

    def worker(index, stop):
        counts = [0] * 8
        while not stop.is_set():
            for counter_id in range(8):
                aggregator.update(counter_id, float(index + 1))  # small integers: exact sums
                counts[counter_id] += 1
            aggregator.get_all_stats()
        return counts

    results = run_for(SECONDS, *[worker] * THREADS)
    for counter_id in range(8):
        stats = aggregator.get_stats(counter_id)
        assert stats["count"] == sum(counts[counter_id] for counts in results)
        # The sum of small integers is exact, so the mean is that sum divided once.
        assert stats["mean"] == sum((i + 1) * c[counter_id] for i, c in enumerate(results)) / stats["count"]
        assert (stats["min"], stats["max"]) == (1.0, float(THREADS))


def test_tree_ends_with_exactly_the_blocks_each_writer_left():
    m = mod("klavrix.memory.blockfit")
    from klavrix.memory.blockrec import Blockrec

    tree = m.FastRedBlackTree(sample_rate=3)
    span = 1000  # writer i owns the sizes [i * span + 1, (i + 1) * span]; the last writer also takes out

    def writer(index, stop):
        rng, filed, counts = random.Random(index), {}, {"insert": 0, "delete": 0}
        low = index * span + 1
        serial = 0
        while not stop.is_set():
            size = rng.randrange(low, low + 40)
            action = rng.random()
            if action < 0.55:
                serial += 1
                block = Blockrec(serial, size)
                assert tree.insert(size, block)
                filed.setdefault(size, []).append(block)
                counts["insert"] += 1
            elif action < 0.85 and filed.get(size):
                block = filed[size].pop(rng.randrange(len(filed[size])))
                assert tree.delete(size, block)
                counts["delete"] += 1
            elif index == THREADS - 1:  # nothing is filed above this writer's sizes
                actual, block = tree.remove_ge(size)
                if block is not None:
                    assert actual >= size and block.size == actual
                    filed[actual].remove(block)
                    counts["delete"] += 1
            else:
                found = set(map(id, tree.find_all_exact(size)))
                assert found == set(map(id, filed.get(size, ())))  # no one else touches this size
        return filed, counts

    def reader(index, stop):
        searches = 0
        while not stop.is_set():
            size = random.randrange(1, THREADS * span + 100)
            block = tree.find_best_fit(size)
            assert block is None or block.size >= size
            searches += 1
        return None

    results = run_for(SECONDS, *[writer] * THREADS, reader)
    filed = {size: blocks for blocks_by_size, _ in results[:THREADS] for size, blocks in blocks_by_size.items()
             if blocks}
    distribution = tree.get_size_distribution()
    assert distribution == {size: len(blocks) for size, blocks in filed.items()}
    for size, blocks in filed.items():
        assert sorted(map(id, tree.find_all_exact(size))) == sorted(map(id, blocks))
    inserts = sum(counts["insert"] for _, counts in results[:THREADS])
    deletes = sum(counts["delete"] for _, counts in results[:THREADS])
    stats = tree.get_stats()
    assert (stats["total_insertions"], stats["total_deletions"]) == (inserts, deletes)
    assert stats["total_blocks"] == len(tree) == inserts - deletes
    assert stats["sampled_operations"] == inserts // 3


def test_bucket_allocator_hands_out_every_offset_exactly_once():
    m = mod("klavrix.memory.slabworks")
    allocator = m.FastBucketAllocator()

    def worker(index, stop):
        rng, added, taken, serial = random.Random(index), [], [], 0
        while not stop.is_set():
            size = 8 * rng.randrange(1, 65)
            if rng.random() < 0.6:
                offset = index * 10**8 + 64 * serial  # distinct and 64-aligned
                serial += 1
                assert allocator.add_to_bucket(offset, size)
                added.append(offset)
            elif rng.random() < 0.5:
                offset = allocator.remove_from_bucket(size)
                if offset is not None:
                    taken.append(offset)
            else:
                offset = allocator.find_best_fit_bucket(size, 8)
                if offset is not None:
                    taken.append(offset)
        return added, taken

    results = run_for(SECONDS, *[worker] * THREADS)
    rest = [offset for size in range(8, 513, 8)
            for offset in iter(lambda: allocator.remove_from_bucket(size), None)]
    added = sorted(offset for a, _ in results for offset in a)
    handed_out = sorted(rest + [offset for _, t in results for offset in t])
    assert handed_out == added


def test_stats_collector_totals_are_exact_while_being_read():
    m = mod("klavrix.memory.slabworks")
    stats = m.FastStatsCollector()

    def recorder(index, stop):
        bucketed = fallback = deallocations = 0
        while not stop.is_set():
            stats.py_record_allocation(64, index, True)
            stats.py_record_allocation(64, index, False)
            stats.py_record_deallocation()
            bucketed, fallback, deallocations = bucketed + 1, fallback + 1, deallocations + 1
        return bucketed, fallback, deallocations

    def reader(index, stop):
        while not stop.is_set():
            seen = stats.get_stats()  # taken under the lock: one consistent snapshot
            assert seen["total_allocations"] == seen["bucketed_allocations"] + seen["fallback_allocations"]
        return None

    results = run_for(SECONDS, *[recorder] * THREADS, reader)
    bucketed = sum(r[0] for r in results[:THREADS])
    final = stats.get_stats()
    assert final["bucketed_allocations"] == final["fallback_allocations"] == bucketed
    assert final["total_allocations"] == 2 * bucketed
    assert final["total_deallocations"] == bucketed
    assert final["alignment_padding_bytes"] == sum(2 * i * r[0] for i, r in enumerate(results[:THREADS]))
    assert final["bucketed_allocation_ratio"] == "50.0%"


def next_threshold(current, compile_count, avg_speedup, rate=0.1, target=2.0, low=10, high=10000):
    """The policy's update rule, for the expected values."""
    damping = min(0.1 * compile_count, 1.0)
    value = current + (rate - damping * rate) * (-current if avg_speedup / target > 1.0 else current)
    if value < low or math.isnan(value):
        return low
    return high if value > high else int(value)


def test_compilation_policy_keeps_every_thread_s_thresholds():
    m = mod("klavrix.jit.compilegate")
    gate = m.Compilegate(m.PolicyConfig(max_threshold=2**31 - 1))
    shared = types.SimpleNamespace(get_metrics=lambda f: m.FunctionMetrics(10**6, 1, 1.0))

    def worker(index, stop):
        func_id, expected, updates, shared_updates = f"f{index}", 100, 0, 0
        while not stop.is_set():
            compile_count, speedup = 1 + updates % 9, (3.0, 1.0, 2.0)[updates % 3]
            metrics = m.FunctionMetrics(10**6, compile_count, speedup)
            gate.update(func_id, types.SimpleNamespace(get_metrics=lambda f: metrics))
            expected = next_threshold(expected, compile_count, speedup, high=2**31 - 1)
            updates += 1
            assert gate.get_threshold(func_id) == expected  # only this thread writes it
            if updates % 50 == 0:
                gate.update("shared", shared)  # the same rule from every thread: order does not matter
                shared_updates += 1
            gate.should_compile("shared", shared)
            gate.get_statistics()
        return expected, shared_updates

    results = run_for(SECONDS, *[worker] * THREADS)
    shared_expected = 100
    for _ in range(sum(n for _, n in results)):
        shared_expected = next_threshold(shared_expected, 1, 1.0, high=2**31 - 1)
    thresholds = [expected for expected, _ in results] + [shared_expected]
    for index, (expected, _) in enumerate(results):
        assert gate.get_threshold(f"f{index}") == expected
    assert gate.get_threshold("shared") == shared_expected
    statistics = gate.get_statistics()
    assert statistics["tracked_functions"] == THREADS + 1
    assert (statistics["min_threshold"], statistics["max_threshold"]) == (min(thresholds), max(thresholds))
    assert statistics["avg_threshold"] == sum(thresholds) / len(thresholds)


def test_shared_policy_is_one_object_between_resets():
    m = mod("klavrix.jit.compilegate")
    m.reset_compilegate()

    def getter(index, stop):
        seen = set()
        while not stop.is_set():
            policy = m.get_compilegate()
            assert isinstance(policy, m.Compilegate)
            seen.add(id(policy))
        return None

    def resetter(index, stop):
        resets = 0
        while not stop.is_set():
            m.reset_compilegate()
            resets += 1
            time.sleep(0.001)
        return resets

    run_for(SECONDS / 2, *[getter] * (THREADS - 1), resetter)
    first = m.get_compilegate()
    assert all(m.get_compilegate() is first for _ in range(100))
    m.reset_compilegate()
