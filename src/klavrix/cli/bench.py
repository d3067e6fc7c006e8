"""`klavrix bench`: the benchmark report of a source checkout.

The benchmarks live in the source tree (benchmarks/, beside tests/ whose reference rules some of
them time), not in the installed package, so the command looks for a checkout: --source, else the
current directory and its parents, else the tree this package was imported from. It runs the
runner in a child interpreter (the same one), which keeps the benchmarks' imports out of this
process and lets their output stream as they go.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys

from klavrix.cli import COMMANDS

QUICK_ROUNDS = 3

DESCRIPTION = """\
Run the benchmark report: for each operation the native call, the pure-Python equivalent and the
peer library, interleaved in one process, as ns/op and ratios. The benchmarks belong to the
source checkout, not to the installed package: run the command inside a checkout or name one
with --source. Peer libraries come with the package's `bench` extra.
"""


def register(subparsers) -> None:
    parser = subparsers.add_parser("bench", help=COMMANDS["bench"],
                                   description=DESCRIPTION,
                                   formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("modules", nargs="*", metavar="MODULE",
                        help="benchmarks to run, e.g. offload jobscore (default: all)")
    parser.add_argument("--quick", action="store_true",
                        help=f"{QUICK_ROUNDS} timing rounds per case instead of the harness's default")
    parser.add_argument("--source", metavar="DIR", help="the klavrix source checkout to take the benchmarks from")
    parser.set_defaults(run=run, parser=parser)


def is_checkout(directory: pathlib.Path) -> bool:
    benchmarks = directory / "benchmarks"
    return (benchmarks / "run.py").is_file() and (benchmarks / "harness.py").is_file()


def find_benchmarks(source: str | None) -> pathlib.Path | None:
    if source is not None:
        directory = pathlib.Path(source)
        return directory / "benchmarks" if is_checkout(directory) else None
    here = pathlib.Path.cwd()
    package_tree = pathlib.Path(__file__).resolve().parents[3]  # <checkout>/src/klavrix/cli/bench.py
    for directory in (here, *here.parents, package_tree):
        if is_checkout(directory):
            return directory / "benchmarks"
    return None


def run(args: argparse.Namespace) -> int:
    benchmarks = find_benchmarks(args.source)
    if benchmarks is None:
        where = f"in {args.source}" if args.source else "in this directory, its parents or beside the package"
        print(f"klavrix bench: no benchmarks found {where}: they come with the klavrix source checkout, "
              "not with the installed package; run the command inside a checkout or give --source DIR",
              file=sys.stderr)
        return 1
    env = {**os.environ, "PYTHONUNBUFFERED": "1"}
    if args.quick:
        env["KLAVRIX_BENCH_ROUNDS"] = str(QUICK_ROUNDS)  # read by benchmarks/harness.py
    sys.stdout.flush()
    return subprocess.run([sys.executable, str(benchmarks / "run.py"), *args.modules], env=env).returncode
