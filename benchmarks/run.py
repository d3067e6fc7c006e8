"""Runs the benchmarks: `python benchmarks/run.py [name ...]` (names as in bench_<name>.py)."""

from __future__ import annotations

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
# The harness beside the benchmarks, and the plain-Python reference rules the tests also use
# (tests/reference).
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]


def main(argv: list[str]) -> int:
    available = sorted(path.stem[len("bench_"):] for path in HERE.glob("bench_*.py"))
    chosen = argv or available
    unknown = [name for name in chosen if name not in available]
    if unknown:
        print(f"unknown benchmark(s): {', '.join(unknown)}; available: {', '.join(available)}")
        return 2
    for name in chosen:
        importlib.import_module(f"bench_{name}").main()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
