"""Offload planning rules against pure-Python versions of the same rules."""

from __future__ import annotations

import math

from harness import report, section

from klavrix.gpu import offload

GPU_DIRECT, GPU_CHUNKED, CPU_FALLBACK = 0, 1, 2
U64 = 2**64 - 1


def py_safe_limit(available: int, ratio: float) -> int:
    ratio = 0.0 if ratio < 0.0 else 0.99 if ratio > 0.99 else ratio
    amount = float(available)
    return min(int(amount - ratio * amount), available)


def py_decide_allocation_strategy(requested: int, available: int, ratio: float, chunkable: bool) -> tuple:
    if requested < 0 or available < 0:
        raise OverflowError("can't convert negative value to uint64_t")
    safe = py_safe_limit(available, ratio)
    if safe == 0:
        return (CPU_FALLBACK, 0, 1, "No GPU memory available")
    if requested <= safe:
        return (GPU_DIRECT, 0, 1, "Allocation fits in GPU memory")
    if chunkable:
        passes = max(math.ceil(float(requested) / float(safe)), -(-requested // safe))
        return (GPU_CHUNKED, safe, passes, f"Chunking into {passes} GPU passes")
    return (CPU_FALLBACK, 0, 1, "Operation not chunkable, falling back to CPU")


def py_compute_chunk_shapes(shape: tuple, element_size: int, max_chunk_bytes: int) -> list:
    if element_size <= 0:
        raise ValueError("element_size must be positive")
    if max_chunk_bytes == 0:
        raise ValueError("max_chunk_bytes must be positive")
    if not shape:
        return [shape]
    rest = shape[1:]
    row = element_size
    for dimension in rest:
        row *= dimension
    if row == 0:
        rows = shape[0]
    elif row > max_chunk_bytes:
        rows = 1
    else:
        rows = max_chunk_bytes // row
    chunks = []
    remaining = shape[0]
    while remaining > 0:
        n = min(remaining, rows)
        chunks.append((n, *rest))
        remaining -= n
    return chunks


def main() -> None:
    section("offload: planning rules")
    cases = [(900, 1000, 0.1, True), (2000, 1000, 0.1, True), (2000, 1000, 0.1, False), (100, 0, 0.1, True),
             (3 * 2**30, 8 * 2**30, 0.2, True), (40 * 2**30, 8 * 2**30, 0.2, True)]
    ops = 50_000
    calls = [cases[i % len(cases)] for i in range(ops)]

    def decide(fn):
        def run():
            for requested, available, ratio, chunkable in calls:
                fn(requested, available, ratio, chunkable)
        return run

    assert all(offload.decide_allocation_strategy(*c) == py_decide_allocation_strategy(*c) for c in cases)
    report("decide_allocation_strategy", {"native": decide(offload.decide_allocation_strategy),
                                          "pure Python": decide(py_decide_allocation_strategy)}, ops)

    shape, element_size, limit = (100_000, 256), 4, 4 * 2**20
    assert offload.compute_chunk_shapes(shape, element_size, limit) == py_compute_chunk_shapes(shape, element_size, limit)
    repeats = 5_000

    def chunk(fn):
        def run():
            for _ in range(repeats):
                fn(shape, element_size, limit)
        return run

    report("compute_chunk_shapes((100000, 256), 4, 4 MiB)", {"native": chunk(offload.compute_chunk_shapes),
                                                             "pure Python": chunk(py_compute_chunk_shapes)}, repeats)
