"""`klavrix plan`: how an array operation would be placed in GPU memory."""

from __future__ import annotations

import argparse
import json
import sys

from klavrix.cli import output, units

STRATEGY_NAMES = {0: "GPU_DIRECT", 1: "GPU_CHUNKED", 2: "CPU_FALLBACK"}
# Chunk lists longer than this are described by their sizes instead of being listed.
LISTED_CHUNKS = 6
# compute_chunk_shapes builds every chunk's tuple: beyond this many, the plan counts them instead.
BUILT_CHUNKS = 100_000

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
        "plan", help="plan GPU memory for an array", description=DESCRIPTION,
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
                             "taken as chunkable along its first axis")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    parser.set_defaults(run=run, parser=parser)


def detected_gpu_memory() -> int | None:
    """Bytes of the detected GPU's memory, or None without a GPU or when its size is unknown."""
    from klavrix.native import hostprobe

    gpu = hostprobe.detect_gpu_backends()
    if not gpu["has_gpu"] or gpu["gpu_memory_mb"] <= 0:
        return None
    return gpu["gpu_memory_mb"] * (1 << 20)


def make_plan(shape: tuple[int, ...], dtype: str, available: int, headroom: float, op: str | None) -> dict:
    from klavrix.gpu import offload

    element_size = units.ELEMENT_SIZES[dtype]
    needed = offload.estimate_allocation_bytes(shape, element_size)
    safe = offload.calculate_safe_limit(available, headroom)
    chunkable = True if op is None else offload.is_chunkable_operation(op)
    strategy, chunk_bytes, passes, reason = offload.decide_allocation_strategy(needed, available, headroom, chunkable)
    pressure = offload.calculate_memory_pressure(needed, available)
    plan = {
        "shape": list(shape),
        "dtype": dtype,
        "element_size": element_size,
        "operation": op,
        "chunkable": chunkable,
        "bytes_needed": needed,
        "available_bytes": available,
        "headroom": headroom,
        "safe_limit_bytes": safe,
        "strategy": STRATEGY_NAMES.get(strategy, str(strategy)),
        "reason": reason,
        "chunk_bytes": chunk_bytes,
        "passes": passes,
        "chunks": None,
        "optimal_chunks": offload.calculate_optimal_chunks(needed, available, headroom),
        "memory_pressure": pressure,
        "recommended_headroom": offload.recommend_headroom(pressure, headroom),
        "gpu_suitability": offload.score_gpu_suitability(needed, op or "", available, headroom),
    }
    if strategy == offload.GPU_DIRECT:
        plan["chunks"] = describe_chunks([shape])
    elif strategy == offload.GPU_CHUNKED:
        plan["chunks"] = chunk_summary(shape, element_size, chunk_bytes, offload)
    return plan


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
    sys.stdout.write(f"Plan for a ({shape}) {plan['dtype']} array, operation {operation}\n")
    sys.stdout.write(output.key_values([
        ("bytes needed", output.bytes_with_count(plan["bytes_needed"])),
        ("available", output.bytes_with_count(plan["available_bytes"])),
        ("safe limit", f"{output.bytes_with_count(plan['safe_limit_bytes'])} at headroom {plan['headroom']:g}"),
        ("strategy", f"{plan['strategy']}: {plan['reason']}"),
        ("passes", plan["passes"]),
        ("chunk size", output.bytes_with_count(plan["chunk_bytes"]) if plan["chunk_bytes"] else "-"),
        ("chunks", chunks_text(plan["chunks"])),
        ("memory pressure", f"{plan['memory_pressure']:.2f} (bytes needed / available)"),
        ("recommended headroom", f"{plan['recommended_headroom']:.2f}"),
        ("GPU suitability", f"{plan['gpu_suitability']:.2f}"),
    ]))
    return 0
