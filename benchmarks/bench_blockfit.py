"""FastRedBlackTree against a bisect-based pure-Python index and a sortedcontainers.SortedDict index.

Every index files blocks by size and answers best fit (smallest size at least the request) the
same way; each keeps a list of blocks per size. Memory per block is what tracemalloc sees while
an index is filled with blocks created beforehand.
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

SIZES = (1_000, 100_000)
ROUNDS = 5


class BisectIndex:
    """The pure-Python equivalent: a sorted list of sizes beside a dict of size -> blocks."""

    def __init__(self) -> None:
        self.sizes: list[int] = []
        self.blocks: dict[int, list] = {}

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

    def __init__(self) -> None:
        self.blocks = SortedDict()
        self.keys = self.blocks.keys()

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
    sizes = rng.sample(range(1, 1 << 40), count)
    pairs = [(size, Blockrec(offset, size)) for offset, size in enumerate(sizes)]
    queries = [rng.randrange(1, 1 << 40) for _ in range(count)]
    made = factories()
    results = {}

    def inserting(factory):
        return lambda: filled(factory, pairs)

    results["insert"] = report(f"insert, {count:,} distinct sizes", {n: inserting(f) for n, f in made.items()},
                               count, ROUNDS)

    def finding(index):
        find = index.find_best_fit
        return lambda: [find(q) for q in queries]

    built = {name: filled(factory, pairs) for name, factory in made.items()}
    results["find_best_fit"] = report(f"find_best_fit, {count:,} distinct sizes",
                                      {n: finding(i) for n, i in built.items()}, count, ROUNDS)
    del built

    # Each run takes out best fits from an index filled beforehand (warm-up plus rounds).
    def removing(factory):
        ready = [filled(factory, pairs) for _ in range(ROUNDS + 1)]

        def run():
            remove = ready.pop().remove_ge
            for q in queries:
                remove(q)
        return run

    results["remove_ge"] = report(f"remove_ge, {count:,} distinct sizes", {n: removing(f) for n, f in made.items()},
                                  count, ROUNDS)

    print(f"memory per stored block, {count:,} distinct sizes (tracemalloc)")
    memory = {name: bytes_per_block(factory, pairs) for name, factory in made.items()}
    for name, used in memory.items():
        print(f"    {name:<28} {used:10.1f} bytes/block")
    results["memory"] = memory
    return results


def summary(count: int, results: dict[str, dict[str, float]]) -> None:
    peer = "sortedcontainers.SortedDict"
    if peer not in results["insert"]:
        return
    speedups = ", ".join(f"{op} {results[op][peer] / results[op]['native']:.2f}x"
                         for op in ("insert", "find_best_fit", "remove_ge"))
    memory = results["memory"]
    print(f"native vs {peer} at {count:,} sizes: faster by {speedups}; "
          f"memory {memory['native']:.0f} vs {memory[peer]:.0f} bytes/block")


def main() -> None:
    section("blockfit: FastRedBlackTree")
    rng = random.Random(20240601)
    for count in SIZES:
        summary(count, cases(count, rng))
