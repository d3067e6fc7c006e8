"""Runs the body of one benchmark shipped in the pyperformance package, without its runner:
`python pyperformance_body.py NAME`. The benchmarks are real programs that no one here wrote;
bench_profile.py runs them plainly and under each profiler."""

from __future__ import annotations

import importlib.util
import os
import sys

import pyperformance

# Each body, sized to run for about half a second on a quiet machine.
BODIES = {
    "richards": lambda bm: bm.Richards().run(10),
    "nbody": lambda bm: bm.bench_nbody(1, bm.DEFAULT_REFERENCE, 120_000),
    "raytrace": lambda bm: bm.bench_raytrace(1, 100, 100, None),
    "float": lambda bm: [bm.benchmark(bm.POINTS) for _ in range(6)],
    "nqueens": lambda bm: [bm.bench_n_queens(8) for _ in range(3)],
    "deltablue": lambda bm: bm.delta_blue(10_000),
    "generators": lambda bm: bm.bench_generators(8),
    "coroutines": lambda bm: bm.bench_coroutines(15),
}


def load(name: str):
    path = os.path.join(os.path.dirname(pyperformance.__file__), "data-files", "benchmarks", f"bm_{name}",
                        "run_benchmark.py")
    spec = importlib.util.spec_from_file_location(f"bm_{name}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(name: str) -> None:
    BODIES[name](load(name))


if __name__ == "__main__":
    main(sys.argv[1])
