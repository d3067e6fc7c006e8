"""FastRedBlackTree: best-fit semantics, size rules, statistics, tree shape, threads, failures."""

from __future__ import annotations

import copy
import gc
import math
import pickle
import random
import subprocess
import sys
import threading
import weakref

import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from klavrix.memory import blockfit
from klavrix.memory.blockfit import FastRedBlackTree
from klavrix.memory.blockrec import Blockrec
from threads import call_in_thread

STATS_KEYS = ["total_blocks", "total_insertions", "total_deletions", "total_searches", "bucket_hits",
              "tree_hits", "operation_count"]
SNAPSHOT_KEYS = STATS_KEYS + ["node_count", "height", "sampled_operations", "is_valid"]


class Block:
    """A block that can carry weak references and a __del__ hook; equal by tag."""

    __hash__ = None

    def __init__(self, tag, on_del=None):
        self.tag, self.on_del = tag, on_del

    def __eq__(self, other):
        return isinstance(other, Block) and other.tag == self.tag

    def __del__(self):
        if self.on_del:
            self.on_del(self)


# --- the stateful test: the tree against a dict of size -> blocks in find_all_exact order

class TreeMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.tree = FastRedBlackTree(sample_rate=1)
        self.blocks: dict[int, list] = {}
        self.counts = dict.fromkeys(STATS_KEYS, 0)

    def _take(self, size, index):
        chain = self.blocks[size]
        block = chain.pop(index)
        if not chain:
            del self.blocks[size]
        self.counts["total_blocks"] -= 1
        self.counts["total_deletions"] += 1
        return block

    @rule(size=st.integers(0, 40), offset=st.integers(0, 3))
    def insert(self, size, offset):
        block = Blockrec(offset, size)
        assert self.tree.insert(size, block) is True
        if size in self.blocks:
            self.blocks[size].insert(1, block)
        else:
            self.blocks[size] = [block]
        for key in ("total_blocks", "total_insertions", "operation_count"):
            self.counts[key] += 1

    @rule(size=st.integers(0, 40), offset=st.integers(0, 3))
    def delete(self, size, offset):
        probe = Blockrec(offset, size)  # equal to stored blocks, never the same object
        chain = self.blocks.get(size, [])
        index = next((i for i, block in enumerate(chain) if block == probe), None)
        assert self.tree.delete(size, probe) is (index is not None)
        if index is not None:
            self._take(size, index)

    @rule(size=st.integers(0, 45))
    def remove_ge(self, size):
        fits = [key for key in self.blocks if key >= size]
        expected = (min(fits), self.blocks[min(fits)][0]) if fits else (None, None)
        got = self.tree.remove_ge(size)
        assert got == expected and got[1] is expected[1]
        if fits:
            self._take(min(fits), 0)

    @rule(size=st.integers(0, 45))
    def find(self, size):
        fits = [key for key in self.blocks if key >= size]
        assert self.tree.find_best_fit(size) is (self.blocks[min(fits)][0] if fits else None)
        exact = self.tree.find_all_exact(size)
        assert len(exact) == len(self.blocks.get(size, []))
        assert all(a is b for a, b in zip(exact, self.blocks.get(size, [])))
        self.counts["total_searches"] += 2

    @rule()
    def reset_circuit_breaker(self):
        assert self.tree.reset_circuit_breaker() is None
        self.counts["circuit_breaker_trips"] = 0  # a new key goes last; an existing one stays in place
        self.counts["operation_count"] = 0

    @rule()
    def clear(self):
        assert self.tree.clear() is None
        self.blocks.clear()
        self.counts = dict.fromkeys(STATS_KEYS, 0)

    @invariant()
    def matches_model(self):
        count = sum(map(len, self.blocks.values()))
        assert len(self.tree) == self.tree.size() == count and bool(self.tree) is (count > 0)
        assert self.tree.get_size_distribution() == {size: len(chain) for size, chain in self.blocks.items()}
        stats = self.tree.get_stats()
        assert stats.pop("height") <= len(self.blocks)
        # Every key, in order, with the counters the dict-based bookkeeping would hold.
        assert list(stats.items()) == [*self.counts.items(), ("node_count", count),
                                       ("sampled_operations", self.sampled()), ("is_valid", True)]

    def sampled(self):
        return self.counts["total_insertions"]  # sample_rate 1: every insert since the last clear


TestTreeAgainstModel = TreeMachine.TestCase
TestTreeAgainstModel.settings = settings(max_examples=150, stateful_step_count=60, deadline=None)


# --- behaviour

def test_empty_tree():
    tree = FastRedBlackTree()
    assert list(tree.get_stats()) == SNAPSHOT_KEYS
    assert tree.get_stats() == dict.fromkeys(SNAPSHOT_KEYS[:-1], 0) | {"is_valid": True}
    assert tree.find_best_fit(1) is None and tree.find_all_exact(1) == [] and tree.remove_ge(0) == (None, None)
    assert tree.delete(1, Blockrec(0, 1)) is False and len(tree) == 0 and not tree
    assert tree.get_size_distribution() == {} and tree.get_statistics() == {}
    assert repr(tree) == "FastRedBlackTree(blocks=0, native=True)"
    assert tree.get_stats()["total_searches"] == 2  # the validated finds, found or not


def test_best_fit_chain_order_and_removal_order():
    tree = FastRedBlackTree()
    small, mid, big = Blockrec(0, 16), Blockrec(16, 32), Blockrec(48, 64)
    for block in (small, mid, big):
        tree.insert(block.size, block)
    assert tree.find_best_fit(0) is small and tree.find_best_fit(17) is mid
    assert tree.find_best_fit(32) is mid and tree.find_best_fit(65) is None and len(tree) == 3
    b1, b2, b3 = Blockrec(100, 64), Blockrec(200, 64), Blockrec(300, 64)
    tree.remove_ge(64)
    for block in (b1, b2, b3):
        tree.insert(64, block)
    assert tree.find_all_exact(64) == [b1, b3, b2] and tree.get_size_distribution()[64] == 3
    assert [tree.remove_ge(33) for _ in range(4)] == [(64, b1), (64, b3), (64, b2), (None, None)]


def test_delete_by_equality():
    tree = FastRedBlackTree()
    first, second, third = Blockrec(1, 8), Blockrec(2, 8), Blockrec(3, 8)
    for block in (first, second, third):
        tree.insert(8, block)
    assert tree.delete(8, Blockrec(9, 8)) is False and len(tree) == 3
    assert tree.delete(8, Blockrec(1, 8)) is True  # equal, not the same object: the node's block
    assert tree.find_all_exact(8) == [third, second] and tree.find_all_exact(8)[0] is third
    assert tree.delete(8, Blockrec(2, 8)) is True and tree.find_all_exact(8) == [third]

    class NeverEqual:
        def __eq__(self, other):
            return False

    odd = NeverEqual()
    tree.insert(4, odd)
    assert tree.delete(4, odd) is False  # `==`, no identity shortcut


SIZE_CALLS = {
    "insert": lambda t, s: t.insert(s, None), "find_best_fit": lambda t, s: t.find_best_fit(s),
    "find_all_exact": lambda t, s: t.find_all_exact(s), "delete": lambda t, s: t.delete(s, None),
    "remove_ge": lambda t, s: t.remove_ge(s), "_sanitize_size": lambda t, s: t._sanitize_size(s)}


@pytest.mark.parametrize("name", SIZE_CALLS)
def test_size_argument_errors(name):
    tree, call = FastRedBlackTree(), SIZE_CALLS[name]
    with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected int, got str\)$"):
        call(tree, "8")
    if name != "_sanitize_size":  # it returns the int before any narrowing
        with pytest.raises(OverflowError):
            call(tree, 2**64)
    assert tree.get_stats()["total_insertions"] == 0


def test_size_values():
    tree = FastRedBlackTree()
    with pytest.raises(ValueError, match=r"^Invalid size: -1$"):
        tree.insert(-1, None)
    assert FastRedBlackTree._sanitize_size(7.9) == 7 and FastRedBlackTree._sanitize_size(True) == 1
    assert (tree.find_best_fit(-5), tree.find_all_exact(-5), tree.delete(-5, 1), tree.remove_ge(-5)) == \
        (None, [], False, (None, None))
    tree.insert(2**64 - 1, "top")
    tree.insert(5.9, "five")
    assert tree.find_best_fit(5) == "five" and tree.find_best_fit(6, alignment=64) == "top"
    assert tree.remove_ge(2**64 - 1) == (2**64 - 1, "top")
    with pytest.raises(TypeError, match="Argument 'alignment' has incorrect type"):
        tree.find_best_fit(5, "x")
    with pytest.raises(TypeError, match=r"^insert\(\) takes exactly 2 positional arguments \(1 given\)$"):
        tree.insert(1)
    with pytest.raises(OverflowError):
        FastRedBlackTree(2**32)
    with pytest.raises(OverflowError):
        FastRedBlackTree(sample_rate=-1)


def test_statistics_reset_and_clear():
    tree = FastRedBlackTree()
    for size in (64, 64, 64, 128):
        tree.insert(size, Blockrec(0, size))
    tree.find_best_fit(1)
    assert tree.get_size_distribution() == {64: 3, 128: 1}
    stats = tree.get_stats()
    assert (stats["node_count"], stats["height"], stats["total_searches"], stats["operation_count"]) == (4, 2, 1, 4)
    stats["total_blocks"] = 99  # a copy
    tree.reset_circuit_breaker()
    after = tree.get_stats()
    assert list(after)[6:8] == ["operation_count", "circuit_breaker_trips"]
    assert after["operation_count"] == after["circuit_breaker_trips"] == 0 and after["total_blocks"] == 4
    tree.clear()
    assert tree.get_stats() == dict.fromkeys(SNAPSHOT_KEYS[:-1], 0) | {"is_valid": True}
    assert len(tree) == 0 and tree.find_best_fit(0) is None


@pytest.mark.parametrize("rate, inserts, sampled", [(1, 7, 7), (3, 10, 3), (0, 10, 0)])
def test_sampling(rate, inserts, sampled):
    tree = FastRedBlackTree(sample_rate=rate)
    for size in range(inserts):
        tree.insert(size, None)
    assert tree.get_stats()["sampled_operations"] == sampled
    tree.clear()
    tree.insert(1, None)
    assert tree.get_stats()["sampled_operations"] == (1 if rate == 1 else 0)


def test_shape_after_removals_where_the_repair_is_skipped():
    tree = FastRedBlackTree()
    for size in (10, 20, 30, 40):
        tree.insert(size, size)
    tree.delete(10, 10)  # a black leaf: nothing takes its place, so no repair
    assert list(tree.get_size_distribution()) == [20, 30, 40] and tree.get_stats()["height"] == 3
    tree.remove_ge(25)  # 30 has one child, which takes its place and is repaired
    assert list(tree.get_size_distribution()) == [20, 40] and tree.get_stats()["height"] == 2


def test_shape_after_a_mixed_sequence():
    # 400 inserts and deletes that reach every case of both repairs; the pre-order and height
    # were checked against an independent model of the same algorithm.
    rng, tree, live = random.Random(12), FastRedBlackTree(), set()
    for _ in range(400):
        size = rng.randrange(80)
        tree.delete(size, size) if size in live else tree.insert(size, size)
        (live.discard if size in live else live.add)(size)
    assert list(tree.get_size_distribution()) == [
        52, 21, 17, 12, 9, 6, 2, 0, 13, 14, 18, 19, 40, 22, 30, 28, 27, 29, 33, 34, 35, 46, 41, 44, 48, 50, 51, 61,
        54, 53, 59, 58, 60, 76, 71, 65, 63, 64, 67, 73, 72, 75, 78, 79]
    assert tree.get_stats()["height"] == 8


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(0, 2**64 - 1), max_size=400))
def test_inserts_keep_the_tree_balanced(sizes):
    tree = FastRedBlackTree()
    for size in sizes:
        tree.insert(size, size)
    distinct = len(set(sizes))
    assert tree.get_stats()["height"] <= 2 * math.log2(distinct + 1)
    assert sorted(tree.get_size_distribution()) == sorted(set(sizes))


@pytest.mark.parametrize("order", [range(20000), range(20000, 0, -1)])
def test_sorted_inserts_stay_balanced(order):
    tree = FastRedBlackTree()
    for size in order:
        tree.insert(size, None)
    assert tree.get_stats()["height"] <= 2 * math.log2(len(order) + 1)


def test_degenerate_million_node_tree():
    # Each round leaves one node and removes two black leaves without repair: a path of nodes.
    tree, block, n = FastRedBlackTree(), object(), 1_000_000
    insert, delete = tree.insert, tree.delete
    for i in range(0, 3 * n, 3):
        insert(i, block), insert(i + 1, block), insert(i + 2, block)
        delete(i + 2, block), delete(i, block)
    assert tree.get_stats()["height"] == n
    distribution = tree.get_size_distribution()
    assert len(distribution) == n and next(iter(distribution)) == 3 * n - 2
    assert tree.find_best_fit(0) is block
    del tree  # freed on destruction, iteratively as well


# --- threads

def test_two_writers_two_readers():
    tree, rounds = FastRedBlackTree(), 3000
    low = [Blockrec(i, i) for i in range(rounds)]
    high = [Blockrec(i, 10**6 + i) for i in range(rounds)]
    inserted = {id(block) for block in low + high}
    stop, bad = threading.Event(), []

    def low_writer():  # sizes below 10**6: inserts, and deletes every third block
        for i, block in enumerate(low):
            tree.insert(block.size, block)
            if i % 3 == 0 and not tree.delete(block.size, Blockrec(i, i)):
                bad.append(("not deleted", i))

    def high_writer():  # sizes from 10**6: inserts, and takes the smallest out after each odd one
        for i, block in enumerate(high):
            tree.insert(block.size, block)
            if i % 2 and tree.remove_ge(10**6)[1] is not high[i // 2]:
                bad.append(("not removed", i))

    def reader():
        rng = random.Random()
        while not stop.is_set():
            size = rng.choice((rng.randrange(rounds), 10**6 + rng.randrange(rounds)))
            found = tree.find_best_fit(size)
            if found is not None and (id(found) not in inserted or found.size < size):
                bad.append(found)
            bad.extend(b for b in tree.find_all_exact(size) if id(b) not in inserted or b.size != size)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        readers = [threading.Thread(target=reader) for _ in range(2)]
        writers = [threading.Thread(target=low_writer), threading.Thread(target=high_writer)]
        for worker in readers + writers:
            worker.start()
        for worker in writers:
            worker.join()
        stop.set()
        for worker in readers:
            worker.join()
    finally:
        sys.setswitchinterval(old_interval)

    assert bad == []
    expected = {b.size for i, b in enumerate(low) if i % 3} | {b.size for b in high[rounds // 2:]}
    assert len(tree) == len(expected) and set(tree.get_size_distribution()) == expected
    stats = tree.get_stats()
    assert (stats["total_insertions"], stats["total_deletions"]) == (2 * rounds, 2 * rounds - len(expected))


# --- failures inside critical sections, re-entrancy, memory

def test_clear_racing_counter_calls():
    # insert() and get_stats() call the sampling counters' methods, which let the interpreter
    # lock go; clear() replaces those counters meanwhile.
    tree, stop, errors = FastRedBlackTree(sample_rate=1), threading.Event(), []

    def hammer(operation):
        try:
            while not stop.is_set():
                operation()
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    workers = [
        threading.Thread(target=hammer, args=(lambda: tree.insert(1, Blockrec(0, 1)),)),
        threading.Thread(target=hammer, args=(tree.get_stats,)),
        threading.Thread(target=hammer, args=(tree.clear,)),
    ]
    for worker in workers:
        worker.start()
    threading.Event().wait(0.5)
    stop.set()
    for worker in workers:
        worker.join()
    assert errors == []
    tree.clear()
    assert tree.get_stats()["sampled_operations"] == 0 and len(tree) == 0


def test_trees_nested_as_blocks_are_released_without_exhausting_the_stack():
    outer = None
    for _ in range(300_000):
        tree = FastRedBlackTree()
        if outer is not None:
            tree.insert(1, outer)
        outer = tree
    del outer, tree


def test_exception_in_eq_leaves_the_tree_usable():
    class Exploding:
        def __eq__(self, other):
            raise RuntimeError("boom")

    tree, kept = FastRedBlackTree(), Blockrec(0, 64)
    tree.insert(64, kept)
    with pytest.raises(RuntimeError, match="boom"):
        tree.delete(64, Exploding())
    assert tree.find_best_fit(64) is kept  # sequence even again: found at once
    assert call_in_thread(lambda: tree.insert(64, Blockrec(1, 64)))  # lock released
    assert len(tree) == 2 and tree.get_stats()["total_deletions"] == 0


def test_reentrant_write_from_eq_raises_instead_of_deadlocking():
    tree = FastRedBlackTree()

    class Meddler:
        def __eq__(self, other):
            assert tree.find_best_fit(1) is None  # a write is in progress: the reader gives up
            tree.insert(1, "inner")

    tree.insert(64, "stored")
    with pytest.raises(RuntimeError, match="re-entrant"):
        call_in_thread(lambda: tree.delete(64, Meddler()))
    assert tree.find_all_exact(64) == ["stored"] and len(tree) == 1


def test_released_blocks_may_call_back_into_the_tree():
    tree = FastRedBlackTree()
    refile = lambda block: tree.insert(1000 + block.tag, "refiled")
    for tag in range(3):
        tree.insert(tag, Block(tag, refile))
    assert call_in_thread(lambda: tree.delete(0, Block(0)))  # the filed block's last reference
    assert tree.find_all_exact(1000) == ["refiled"]
    call_in_thread(tree.clear)
    assert sorted(tree.get_size_distribution()) == [1001, 1002]


def test_destruction_releases_every_block():
    tree, errors = FastRedBlackTree(), []

    def fail(block):
        raise ValueError("from __del__")

    blocks = [Block(i, fail if i == 5 else None) for i in range(10)]
    for i, block in enumerate(blocks):
        tree.insert(i % 4, block)
    refs = [weakref.ref(block) for block in blocks]
    del blocks, block
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda report: errors.append(type(report.exc_value))  # keeps no frame alive
    try:
        del tree
    finally:
        sys.unraisablehook = old_hook
    assert all(ref() is None for ref in refs)
    assert errors == [ValueError]


def test_allocation_failure_changes_nothing():
    _testcapi = pytest.importorskip("_testcapi")
    tree = FastRedBlackTree(sample_rate=0)
    for size in (8, 16, 24):
        tree.insert(size, Blockrec(0, size))
    before = (tree.get_size_distribution(), tree.get_stats())
    messages = set()
    for start in range(50):
        block = Blockrec(1, 16 if start % 2 else 20)
        _testcapi.set_nomemory(start, start + 1)
        try:
            tree.insert(block.size, block)
        except MemoryError as error:
            messages.add(str(error))
        else:
            break
        finally:
            _testcapi.remove_mem_hooks()
        assert (tree.get_size_distribution(), tree.get_stats()) == before
        assert tree.find_best_fit(16) is not None  # sequence even, lock free
        before = (tree.get_size_distribution(), tree.get_stats())
    assert "Failed to allocate RB node" in messages
    assert len(tree) == 4


def test_counters_take_part_in_garbage_collection(monkeypatch):
    made = []

    class PythonCounter:  # stands in for AtomicCounter, and can close a cycle
        def __init__(self, value):
            self.value, self.owner = value, None
            made.append(self)

        def increment(self):
            self.value += 1
            return self.value

        def load(self):
            return self.value

    monkeypatch.setattr(blockfit, "AtomicCounter", PythonCounter)
    tree, block = FastRedBlackTree(sample_rate=1), Block("cycle")
    tree.insert(1, block)
    assert tree.get_stats()["sampled_operations"] == 1
    made[0].owner = tree
    watch = weakref.ref(block)
    del tree, block, made[:]
    gc.collect()
    assert watch() is None


def test_pickling_and_copying_refused():
    tree = FastRedBlackTree()
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            attempt(tree)


# --- native bookkeeping, and the Python objects that replace it

def test_a_rebound_atomic_counter_is_still_called(monkeypatch):
    from klavrix.memory.interlock import AtomicCounter
    calls = []

    class CountingCounter(AtomicCounter):  # a subclass may change what the native class does
        def increment(self, delta=1):
            calls.append("increment")
            return super().increment(delta)

        def load(self):
            calls.append("load")
            return super().load() + 1000

    monkeypatch.setattr(blockfit, "AtomicCounter", CountingCounter)
    tree = FastRedBlackTree(sample_rate=2)
    for size in range(5):
        tree.insert(size, None)
    assert calls == ["increment"] * 7  # five counted inserts, two of them sampled
    assert tree.get_stats()["sampled_operations"] == 1002 and calls[-1] == "load"
    monkeypatch.undo()
    calls.clear()
    tree.clear()  # new counters of the class bound now: the native one
    for size in range(4):
        tree.insert(size, None)
    assert calls == [] and tree.get_stats()["sampled_operations"] == 2


def test_a_counter_that_returns_no_int_fails_the_insert_before_the_tree_changes(monkeypatch):
    class Odd:
        def __init__(self, value):
            pass

        def increment(self):
            return "many"

        def load(self):
            return 0

    monkeypatch.setattr(blockfit, "AtomicCounter", Odd)
    tree = FastRedBlackTree()
    with pytest.raises(TypeError):
        tree.insert(1, None)
    assert len(tree) == 0 and tree.get_stats()["total_insertions"] == 0


def test_a_rebound_perf_counter_ns_is_still_called(monkeypatch):
    import time
    import types

    tree, ticks = FastRedBlackTree(), []
    tree.insert(1, "first")  # time.perf_counter_ns is the builtin: read natively

    def clock():
        ticks.append("tick")
        return 5

    monkeypatch.setattr(time, "perf_counter_ns", clock)
    tree.insert(2, "a")
    tree.insert(2, "b")
    assert ticks == ["tick", "tick"]
    failing = [(time, "perf_counter_ns", lambda: -1, OverflowError),
               (blockfit, "time", types.SimpleNamespace(perf_counter_ns=lambda: "late"), TypeError),
               (blockfit, "time", types.SimpleNamespace(), AttributeError)]
    for owner, name, value, error in failing:
        monkeypatch.setattr(owner, name, value)
        with pytest.raises(error):
            tree.insert(3, "never")
    monkeypatch.delattr(blockfit, "time")
    with pytest.raises(NameError):
        tree.insert(3, "never")
    monkeypatch.undo()
    assert tree.get_size_distribution() == {1: 1, 2: 2} and tree.get_stats()["total_insertions"] == 3
    assert tree.find_best_fit(2) == "a" and call_in_thread(lambda: tree.insert(3, "last"))  # lock released
    assert ticks == ["tick", "tick"]  # the builtin again


def test_writers_wait_for_one_blocked_in_a_blocks_eq():
    tree = FastRedBlackTree(sample_rate=1)
    inside, release, failures = threading.Event(), threading.Event(), []

    class Slow:
        def __eq__(self, other):  # reflected from the stored str's ==
            inside.set()
            release.wait(10)  # holds the tree's lock, with the interpreter lock let go
            return other == "victim"

    def filer(base):  # files 300 blocks of its own sizes, withdraws every third
        for i in range(300):
            tree.insert(base + i, Blockrec(i, base + i))
            if i % 3 == 0 and not tree.delete(base + i, Blockrec(i, base + i)):
                failures.append((base, i))

    def taker():  # files and at once takes out sizes above everyone else's
        for i in range(200):
            tree.insert(10**9 + i, i)
            if tree.remove_ge(10**9) != (10**9 + i, i):
                failures.append(("taker", i))

    tree.insert(64, "victim")
    deleter = threading.Thread(target=lambda: failures.extend([] if tree.delete(64, Slow()) else ["delete"]))
    deleter.start()
    assert inside.wait(10)
    writers = [threading.Thread(target=filer, args=(base,)) for base in (1000, 2000, 3000)]
    writers.append(threading.Thread(target=taker))
    for writer in writers:
        writer.start()
    for writer in writers:
        writer.join(0.05)
    assert all(writer.is_alive() for writer in writers)  # waiting on the lock, not on this thread
    assert len(tree) == 1 and tree.find_best_fit(0) is None  # a write in progress: the reader gives up
    release.set()
    for worker in [deleter, *writers]:
        worker.join(30)
    assert not any(worker.is_alive() for worker in [deleter, *writers]) and failures == []
    expected = {base + i: 1 for base in (1000, 2000, 3000) for i in range(300) if i % 3}
    assert tree.get_size_distribution() == expected
    stats = tree.get_stats()
    inserted, removed = 1 + 900 + 200, 1 + 300 + 200
    assert (stats["total_insertions"], stats["total_deletions"], stats["total_blocks"]) == (
        inserted, removed, inserted - removed)
    assert stats["operation_count"] == stats["sampled_operations"] == inserted


def test_statistics_reentered_from_a_counter_raise_instead_of_deadlocking(monkeypatch):
    class Meddling:
        def __init__(self, value):
            self.value = value

        def increment(self):
            self.value += 1
            return self.value

        def load(self):
            tree.reset_circuit_breaker()

    monkeypatch.setattr(blockfit, "AtomicCounter", Meddling)
    tree = FastRedBlackTree()
    with pytest.raises(RuntimeError, match=r"^FastRedBlackTree statistics are in use by this thread already"):
        call_in_thread(tree.get_stats)
    assert call_in_thread(tree.reset_circuit_breaker) is None  # the lock was released


def test_locks_made_by_a_replaced_threading_lock_are_used(monkeypatch):
    import types

    made = []

    def factory():
        made.append(threading.RLock())  # re-entrant: the tree still refuses re-entry
        return made[-1]

    monkeypatch.setattr(blockfit, "threading", types.SimpleNamespace(Lock=factory))
    tree = FastRedBlackTree()
    tree_lock, stats_lock = made
    seen = []

    class Probe:
        def __eq__(self, other):
            seen.append((tree_lock._is_owned(), stats_lock._is_owned()))
            tree.insert(2, "inner")

    tree.insert(1, "stored")
    with pytest.raises(RuntimeError, match="re-entrant"):
        tree.delete(1, Probe())
    assert seen == [(True, False)] and not tree_lock._is_owned()
    assert tree.find_all_exact(1) == ["stored"] and len(tree) == 1
    assert gc.get_referents(tree).count(tree_lock) == 1  # the collector sees the lock objects


# --- import-time bindings

def test_module_bindings():
    from klavrix.memory.interlock import AtomicCounter
    assert blockfit.ATOMIC_AVAILABLE is True and blockfit.AtomicCounter is AtomicCounter
    assert blockfit.Blockrec is Blockrec and blockfit.time is __import__("time")
    assert type(FastRedBlackTree.__native_api__).__name__ == "PyCapsule"


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("interlock", ["None", "__import__('types').ModuleType('klavrix.memory.interlock')"])
def test_without_atomic_counter(interlock):
    result = run_python(
        f"import sys; sys.modules['klavrix.memory.interlock'] = {interlock}\n"
        "from klavrix.memory import blockfit\n"
        "tree = blockfit.FastRedBlackTree(sample_rate=1)\n"
        "for size in range(5): tree.insert(size, None)\n"
        "tree.clear(); tree.insert(1, None)\n"
        "print(blockfit.ATOMIC_AVAILABLE, blockfit.AtomicCounter, tree.get_stats()['sampled_operations'], len(tree))")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "None", "0", "1"]


def test_import_fails_without_blockrec():
    result = run_python("import sys; sys.modules['klavrix.memory.blockrec'] = None\n"
                        "import klavrix.memory.blockfit")
    assert result.returncode != 0 and "import of klavrix.memory.blockrec halted" in result.stderr


# --- the tree's shape against the reference model (tests/reference/rbmodel.py)

def assert_same_shape(tree, model):
    assert list(tree.get_size_distribution().items()) == model.preorder()
    assert tree.get_stats()["height"] == model.height()


def test_the_golden_sequence_matches_the_model():
    from reference.rbmodel import RBModel

    rng, tree, model, live = random.Random(12), FastRedBlackTree(), RBModel(), set()
    for _ in range(400):
        size = rng.randrange(80)
        if size in live:
            tree.delete(size, size), model.remove_one(size), live.discard(size)
        else:
            tree.insert(size, size), model.insert(size), live.add(size)
    assert_same_shape(tree, model)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["insert", "delete", "remove_ge"]), st.integers(0, 63)), max_size=300))
def test_shape_matches_the_model(operations):
    from reference.rbmodel import RBModel

    tree, model = FastRedBlackTree(), RBModel()
    for operation, size in operations:
        if operation == "insert":
            tree.insert(size, size)
            model.insert(size)
        elif operation == "delete":
            found = model.find(size) is not None
            assert tree.delete(size, size) is found
            if found:
                model.remove_one(size)
        else:
            fit = model.best_fit(size)
            assert tree.remove_ge(size) == ((fit, fit) if fit is not None else (None, None))
            if fit is not None:
                model.remove_one(fit)
        assert_same_shape(tree, model)


def test_blocks_that_refer_to_their_tree_are_collected():
    tree, first, chained = FastRedBlackTree(), Block("first"), Block("chained")
    tree.insert(8, first)
    tree.insert(8, chained)
    referents = gc.get_referents(tree)
    assert any(r is first for r in referents) and any(r is chained for r in referents)
    first.tree = chained.tree = tree  # tree -> block -> tree, through the node and its chain
    watches = [weakref.ref(first), weakref.ref(chained)]
    del tree, first, chained, referents
    gc.collect()
    assert [watch() for watch in watches] == [None, None]
