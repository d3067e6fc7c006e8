"""`klavrix plan`: how an array operation would be placed in GPU memory."""

from __future__ import annotations

import argparse
import json
import math
import sys

from klavrix.cli import COMMANDS, output, units

STRATEGY_NAMES = {0: "GPU_DIRECT", 1: "GPU_CHUNKED", 2: "CPU_FALLBACK"}
# Chunk lists longer than this are described by their sizes instead of being listed.
LISTED_CHUNKS = 6
# compute_chunk_shapes builds every chunk's tuple: beyond this many, the plan counts them instead.
BUILT_CHUNKS = 100_000
# The safe limit keeps at least 1% free: a larger headroom is applied as this.
MAX_HEADROOM = 0.99
# The operations the offload rules know, for --op's error message: array constructors, which
# can be built chunk by chunk, then operations that need the whole array.
OPERATIONS = ("zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
              "random.standard_normal", "random.uniform", "arange", "linspace", "matmul", "dot", "fft", "ifft",
              "fft2", "ifft2", "svd", "eig", "eigvals", "solve", "inv", "sort", "argsort")

DESCRIPTION = """\
Plan the placement of one array in GPU memory: the bytes it needs, the safe limit left after the
headroom, whether it fits at once (GPU_DIRECT), must be cut along its first axis into several
passes (GPU_CHUNKED) or stays on the CPU (CPU_FALLBACK), the chunk shapes, the memory pressure
with the headroom recommended for it, and a GPU suitability score.

Sizes take the suffixes B, kB/MB/GB/TB (powers of 1000), KiB/MiB/GiB/TiB and K/M/G/T (powers of
1024), e.g. 16GiB, 1.5GB, 512M.
"""


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "plan", help=COMMANDS["plan"], description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shape", type=units.shape, required=True, metavar="N,M,...",
                        help="the array's shape, e.g. 100000,1024")
    parser.add_argument("--dtype", type=units.dtype, default="float32",
                        help=f"element type (default: %(default)s): {', '.join(units.ELEMENT_SIZES)}")
    parser.add_argument("--available", type=units.size, metavar="SIZE",
                        help="GPU memory available, e.g. 16GiB (default: the detected GPU's memory; "
                             "required without a GPU)")
    parser.add_argument("--headroom", type=units.fraction_below_one, default=0.2, metavar="RATIO",
                        help="share of the available memory kept free (default: %(default)s; "
                             "0.99 at most is applied)")
    parser.add_argument("--op", metavar="NAME",
                        help="the operation: array constructors (zeros, ones, empty, full, arange, "
                             "linspace, random.rand, ...) can be built chunk by chunk, others such as "
                             "matmul, fft, svd or sort need the whole array; without --op the array is "
                             "taken as chunkable along its first axis; an operation the rules do not know "
                             "is refused")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    parser.set_defaults(run=run, parser=parser)


def detected_gpu_memory() -> int | None:
    """Bytes of the detected GPU's memory, or None without a GPU or when its size is unknown."""
    from klavrix.native import hostprobe

    gpu = hostprobe.detect_gpu_backends()
    if not gpu["has_gpu"] or gpu["gpu_memory_mb"] <= 0:
        return None
    return gpu["gpu_memory_mb"] * (1 << 20)


def known_operation(op: str, offload) -> bool:
    """Whether the offload rules know `op`: one of the operation sets the module holds."""
    return op in offload._CHUNKABLE_OPERATIONS or op in offload._NON_CHUNKABLE_OPERATIONS


def make_plan(shape: tuple[int, ...], dtype: str, available: int, headroom: float, op: str | None) -> dict:
    """The plan, with the rules' results made to agree with what the plan lists: the passes are
    the chunks, an array whose single row exceeds the safe limit stays on the CPU, and a size
    beyond 2^63 - 1 bytes, a clamped headroom and a clamped pressure say so."""
    from klavrix.gpu import offload

    element_size = units.ELEMENT_SIZES[dtype]
    needed = offload.estimate_allocation_bytes(shape, element_size)
    row_bytes = element_size * math.prod(shape[1:])
    safe = offload.calculate_safe_limit(available, headroom)
    chunkable = True if op is None else offload.is_chunkable_operation(op)
    strategy, chunk_bytes, passes, reason = offload.decide_allocation_strategy(needed, available, headroom, chunkable)
    chunks = None
    if strategy == offload.GPU_DIRECT:
        chunks = describe_chunks([shape])
    elif strategy == offload.GPU_CHUNKED:
        if row_bytes > chunk_bytes:  # chunks are cut between rows: not even one fits
            strategy, chunk_bytes, passes = offload.CPU_FALLBACK, 0, 1
            reason = (f"One row along the first axis ({row_bytes:,} bytes) does not fit in the safe limit "
                      f"({safe:,} bytes), falling back to CPU")
        else:
            chunks = chunk_summary(shape, element_size, chunk_bytes, offload)
            passes = chunks["count"]  # whole rows per pass: the rule's byte count can be fewer
            reason = f"Chunking into {passes} GPU passes"
    pressure = offload.calculate_memory_pressure(needed, available)
    return {
        "shape": list(shape),
        "dtype": dtype,
        "element_size": element_size,
        "operation": op,
        "chunkable": chunkable,
        "bytes_needed": needed,
        "bytes_needed_capped": math.prod(shape) * element_size > needed,  # the rules stop at 2^63 - 1
        "row_bytes": row_bytes,
        "available_bytes": available,
        "headroom": min(headroom, MAX_HEADROOM),
        "headroom_requested": headroom,
        "safe_limit_bytes": safe,
        "strategy": STRATEGY_NAMES.get(strategy, str(strategy)),
        "reason": reason,
        "chunk_bytes": chunk_bytes,
        "passes": passes,
        "chunks": chunks,
        "optimal_chunks": offload.calculate_optimal_chunks(needed, available, headroom)
        if strategy == offload.GPU_CHUNKED else None,
        "memory_pressure": pressure,
        "memory_ratio": needed / available if available else None,
        "recommended_headroom": offload.recommend_headroom(pressure, headroom),
        "gpu_suitability": offload.score_gpu_suitability(needed, op or "", available, headroom),
    }


def chunk_summary(shape: tuple[int, ...], element_size: int, chunk_bytes: int, offload) -> dict:
    """The chunks of `shape` that hold at most `chunk_bytes` each (one row at least)."""
    row_bytes = element_size
    for dimension in shape[1:]:
        row_bytes *= dimension
    rows = max(1, chunk_bytes // row_bytes)
    count = -(-shape[0] // rows)
    if count <= BUILT_CHUNKS and row_bytes <= units.U64_MAX:  # the module counts row bytes in 64 bits
        return describe_chunks(offload.compute_chunk_shapes(shape, element_size, chunk_bytes))
    # Too many to build: every chunk but the last has `rows` rows.
    rest = tuple(shape[1:])
    last = shape[0] - (count - 1) * rows
    return {"count": count, "first": [rows, *rest], "last": [last, *rest], "listed": None}


def describe_chunks(chunks: list[tuple[int, ...]]) -> dict:
    return {"count": len(chunks), "first": list(chunks[0]), "last": list(chunks[-1]),
            "listed": [list(chunk) for chunk in chunks] if len(chunks) <= LISTED_CHUNKS else None}


def chunks_text(chunks: dict | None) -> str:
    if chunks is None:
        return "none (the operation runs on the CPU)"

    def shape_text(dimensions: list[int]) -> str:
        return "(" + ", ".join(map(str, dimensions)) + ("," if len(dimensions) == 1 else "") + ")"

    if chunks["listed"] is not None:
        return ", ".join(shape_text(chunk) for chunk in chunks["listed"])
    count, first, last = chunks["count"], chunks["first"], chunks["last"]
    if first == last:
        return f"{count:,} chunks of {shape_text(first)}"
    return f"{count:,} chunks: {count - 1:,} of {shape_text(first)}, the last {shape_text(last)}"


def run(args: argparse.Namespace) -> int:
    from klavrix.gpu import offload

    if args.op is not None and not known_operation(args.op, offload):
        args.parser.error(f"unknown operation {args.op!r} for --op: choose from {', '.join(OPERATIONS)}")
    available = args.available
    if available is None:
        available = detected_gpu_memory()
        if available is None:
            args.parser.error("--available is required: no GPU with a known memory size was detected")
    plan = make_plan(args.shape, args.dtype, available, args.headroom, args.op)
    if args.json:
        sys.stdout.write(json.dumps(plan))
        sys.stdout.write("\n")
        return 0
    shape = ", ".join(map(str, plan["shape"])) + ("," if len(plan["shape"]) == 1 else "")
    operation = plan["operation"] or "(none given)"
    needed = output.bytes_with_count(plan["bytes_needed"])
    if plan["bytes_needed_capped"]:
        needed = f"more than {needed}: the count stops at 2^63 - 1"
    headroom = f"{plan['headroom']:g}"
    if plan["headroom"] != plan["headroom_requested"]:
        headroom += f" ({plan['headroom_requested']:g} given; at most {MAX_HEADROOM:g} is applied)"
    ratio = plan["memory_ratio"]
    if ratio is None:
        pressure = f"{plan['memory_pressure']:.2f} (no memory available)"
    elif ratio > plan["memory_pressure"]:
        pressure = f"{plan['memory_pressure']:.2f} (bytes needed / available = {ratio:,.2f}, counted as at most 1)"
    else:
        pressure = f"{plan['memory_pressure']:.2f} (bytes needed / available)"
    sys.stdout.write(f"Plan for a ({shape}) {plan['dtype']} array, operation {operation}\n")
    sys.stdout.write(output.key_values([
        ("bytes needed", needed),
        ("available", output.bytes_with_count(plan["available_bytes"])),
        ("safe limit", f"{output.bytes_with_count(plan['safe_limit_bytes'])} at headroom {headroom}"),
        ("strategy", f"{plan['strategy']}: {plan['reason']}"),
        ("passes", plan["passes"]),
        ("chunk size", output.bytes_with_count(plan["chunk_bytes"]) if plan["chunk_bytes"] else "-"),
        ("chunks", chunks_text(plan["chunks"])),
        ("memory pressure", pressure),
        ("recommended headroom", f"{plan['recommended_headroom']:.2f}"),
        ("GPU suitability", f"{plan['gpu_suitability']:.2f}"),
    ]))
    return 0
