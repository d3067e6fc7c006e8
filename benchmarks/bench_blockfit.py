"""FastRedBlackTree against a bisect-based pure-Python index and a sortedcontainers.SortedDict index.

Every index files blocks by size and answers best fit (smallest size at least the request) the
same way; each keeps a list of blocks per size. Each case runs its operations on an index that
holds N distinct sizes (1,000 to 1,000,000): insert files new sizes into it, find_best_fit and
remove_ge ask for random sizes. The growth lines give how the time per operation changes from
one N to the next. Memory per block is what tracemalloc sees while an index is filled with
blocks created beforehand.
"""

from __future__ import annotations

import bisect
import random
import tracemalloc

from harness import report, section

from klavrix.memory.blockfit import FastRedBlackTree
from klavrix.memory.blockrec import Blockrec

try:
    from sortedcontainers import SortedDict
except ImportError:  # the bench extra is not installed
    SortedDict = None

SIZES = (1_000, 10_000, 100_000, 1_000_000)
ROUNDS = 5
# Memory is measured by filling an index one insert at a time, which for the sorted list costs
# time quadratic in the count: up to this many sizes.
MEMORY_UP_TO = 100_000


class BisectIndex:
    """The pure-Python equivalent: a sorted list of sizes beside a dict of size -> blocks."""

    def __init__(self) -> None:
        self.sizes: list[int] = []
        self.blocks: dict[int, list] = {}

    @classmethod
    def from_pairs(cls, pairs):
        """The index of `pairs` (distinct sizes), built in one sort."""
        index = cls()
        index.blocks = {size: [block] for size, block in pairs}
        index.sizes = sorted(index.blocks)
        return index

    def insert(self, size: int, block) -> bool:
        chain = self.blocks.get(size)
        if chain is None:
            bisect.insort(self.sizes, size)
            self.blocks[size] = [block]
        else:
            chain.append(block)
        return True

    def find_best_fit(self, size: int):
        i = bisect.bisect_left(self.sizes, size)
        return self.blocks[self.sizes[i]][0] if i < len(self.sizes) else None

    def remove_ge(self, size: int):
        i = bisect.bisect_left(self.sizes, size)
        if i == len(self.sizes):
            return None, None
        actual = self.sizes[i]
        chain = self.blocks[actual]
        block = chain.pop(0)
        if not chain:
            del self.blocks[actual], self.sizes[i]
        return actual, block


class SortedDictIndex:
    """The peer: a SortedDict of size -> blocks, best fit by bisect_left on its keys."""

    def __init__(self, blocks=None) -> None:
        self.blocks = SortedDict() if blocks is None else blocks
        self.keys = self.blocks.keys()

    @classmethod
    def from_pairs(cls, pairs):
        """The index of `pairs` (distinct sizes), built in one sort."""
        return cls(SortedDict((size, [block]) for size, block in pairs))

    def insert(self, size: int, block) -> bool:
        chain = self.blocks.get(size)
        if chain is None:
            self.blocks[size] = [block]
        else:
            chain.append(block)
        return True

    def find_best_fit(self, size: int):
        i = self.blocks.bisect_left(size)
        return self.blocks[self.keys[i]][0] if i < len(self.keys) else None

    def remove_ge(self, size: int):
        i = self.blocks.bisect_left(size)
        if i == len(self.keys):
            return None, None
        actual = self.keys[i]
        chain = self.blocks[actual]
        block = chain.pop(0)
        if not chain:
            del self.blocks[actual]
        return actual, block


def factories():
    made = {"native": FastRedBlackTree, "pure Python (bisect + dict)": BisectIndex}
    if SortedDict is not None:
        made["sortedcontainers.SortedDict"] = SortedDictIndex
    return made


def filled(factory, pairs):
    index = factory()
    insert = index.insert
    for size, block in pairs:
        insert(size, block)
    return index


def built(factory, pairs):
    """An index of `pairs`: the native tree by its inserts, the Python ones in one sort."""
    from_pairs = getattr(factory, "from_pairs", None)
    return from_pairs(pairs) if from_pairs is not None else filled(factory, pairs)


def bytes_per_block(factory, pairs) -> float:
    tracemalloc.start()
    try:
        index = filled(factory, pairs)
        used, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del index
    return used / len(pairs)


def cases(count: int, rng: random.Random) -> dict[str, dict[str, float]]:
    ops = max(1_000, count // 100)  # operations per timed run of insert and remove_ge
    sizes = rng.sample(range(1, 1 << 40), count + ops)
    pairs = [(size, Blockrec(offset, size)) for offset, size in enumerate(sizes)]
    pairs, new_pairs = pairs[:count], pairs[count:]
    queries = [rng.randrange(1, 1 << 40) for _ in range(min(count, 100_000))]
    made = factories()
    results = {}

    # Insert and remove_ge change their index: each run takes one filled beforehand (warm-up
    # plus rounds), so that every run starts from N sizes, and keeps it, so that freeing it is
    # not timed.
    def prepared(factory, operation):
        ready = [built(factory, pairs) for _ in range(ROUNDS + 1)]
        used = []

        def run():
            index = ready.pop()
            operation(index)
            used.append(index)
        return run

    def inserting(index):
        insert = index.insert
        for size, block in new_pairs:
            insert(size, block)

    results["insert"] = report(f"insert, {count:,} distinct sizes",
                               {n: prepared(f, inserting) for n, f in made.items()}, ops, ROUNDS)

    def finding(index):
        find = index.find_best_fit
        return lambda: [find(q) for q in queries]

    indexes = {name: built(factory, pairs) for name, factory in made.items()}
    results["find_best_fit"] = report(f"find_best_fit, {count:,} distinct sizes",
                                      {n: finding(i) for n, i in indexes.items()}, len(queries), ROUNDS)
    del indexes

    removal_queries = queries[:ops]

    def removing(index):
        remove = index.remove_ge
        for q in removal_queries:
            remove(q)

    results["remove_ge"] = report(f"remove_ge, {count:,} distinct sizes",
                                  {n: prepared(f, removing) for n, f in made.items()}, len(removal_queries), ROUNDS)

    if count <= MEMORY_UP_TO:
        print(f"memory per stored block, {count:,} distinct sizes (tracemalloc)")
        memory = {name: bytes_per_block(factory, pairs) for name, factory in made.items()}
        for name, used in memory.items():
            print(f"    {name:<28} {used:10.1f} bytes/block")
        results["memory"] = memory
    return results


OPERATIONS = ("insert", "find_best_fit", "remove_ge")


def summary(count: int, results: dict[str, dict[str, float]]) -> None:
    peer = "sortedcontainers.SortedDict"
    if peer not in results["insert"]:
        return
    speedups = ", ".join(f"{op} {results[op][peer] / results[op]['native']:.2f}x" for op in OPERATIONS)
    line = f"native vs {peer} at {count:,} sizes: faster by {speedups}"
    if "memory" in results:
        memory = results["memory"]
        line += f"; memory {memory['native']:.0f} vs {memory[peer]:.0f} bytes/block"
    print(line)


def growth(by_count: dict[int, dict[str, dict[str, float]]]) -> None:
    """Time per operation at each N over the time at the N before, per index."""
    counts = list(by_count)
    print()
    print("growth of the time per operation from one size to the next")
    for op in OPERATIONS:
        for name in by_count[counts[0]][op]:
            steps = "  ".join(f"{previous:,}->{count:,} {by_count[count][op][name] / by_count[previous][op][name]:5.2f}x"
                              for previous, count in zip(counts, counts[1:]))
            print(f"    {op:<14} {name:<28} {steps}")


def main() -> None:
    section("blockfit: FastRedBlackTree")
    rng = random.Random(20240601)
    by_count = {}
    for count in SIZES:
        by_count[count] = cases(count, rng)
        summary(count, by_count[count])
    growth(by_count)
