"""klavrix profile against cProfile and pyinstrument on real programs: the bodies of benchmarks
shipped in the pyperformance package (pyperformance_body.py), each run plainly, under
`klavrix profile`, under `python -m cProfile` and under `pyinstrument`, interleaved round by round
in fresh processes. Prints each one's wall time (process start to end, report included) as a
multiple of the plain run, and whether klavrix's top five functions by inclusive time are
cProfile's."""

from __future__ import annotations

import json
import os
import pathlib
import pstats
import statistics
import subprocess
import sys
import tempfile
import time

from harness import ROUNDS, section

HERE = pathlib.Path(__file__).resolve().parent
BODY = HERE / "pyperformance_body.py"
PROGRAMS = ("richards", "nbody", "raytrace", "float", "nqueens", "deltablue", "generators", "coroutines")
TOP = 5


def commands(name: str, scratch: pathlib.Path) -> dict[str, list[str]]:
    program = [str(BODY), name]
    return {
        "plain": [sys.executable, *program],
        "klavrix profile": [sys.executable, "-m", "klavrix", "profile", "--all", "--json", "-o",
                            str(scratch / f"{name}.json"), *program],
        "cProfile": [sys.executable, "-m", "cProfile", "-o", str(scratch / f"{name}.prof"), *program],
        "pyinstrument": [sys.executable, "-m", "pyinstrument", "-o", os.devnull, *program],
    }


def wall_time(command: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def top_functions_klavrix(path: pathlib.Path) -> list[tuple[str, int]]:
    functions = json.loads(path.read_text())["functions"]
    return [(os.path.realpath(f["file"]), f["line"]) for f in functions if f["origin"] != "klavrix"][:TOP]


def top_functions_cprofile(path: pathlib.Path) -> list[tuple[str, int]]:
    stats = pstats.Stats(str(path)).stats
    python = [(ct, (os.path.realpath(file), line)) for (file, line, _), (_, _, _, ct, _) in stats.items()
              if not file.startswith(("~", "<"))]  # built-ins, and cProfile's own <string>
    return [key for _, key in sorted(python, reverse=True)[:TOP]]


def main() -> None:
    section("profile: klavrix profile, cProfile and pyinstrument on pyperformance bodies")
    try:
        import pyinstrument  # noqa: F401
        import pyperformance  # noqa: F401
    except ImportError:
        print("    skipped: pyperformance and pyinstrument come with the bench extra")
        return
    rounds = max(3, ROUNDS // 2)
    with tempfile.TemporaryDirectory() as directory:
        scratch = pathlib.Path(directory)
        times: dict[str, dict[str, list[float]]] = {name: {} for name in PROGRAMS}
        for _ in range(rounds):
            for name in PROGRAMS:
                for variant, command in commands(name, scratch).items():
                    times[name].setdefault(variant, []).append(wall_time(command))
        variants = list(commands(PROGRAMS[0], scratch))
        print(f"    wall time as a multiple of the plain run (median of {rounds} rounds); top {TOP} = "
              f"klavrix's top {TOP} by inclusive time are cProfile's")
        print("    " + f"{'program':<12}{'plain':>9}" + "".join(f"{v:>17}" for v in variants[1:]) + f"{'top ' + str(TOP):>12}")
        for name in PROGRAMS:
            medians = {variant: statistics.median(times[name][variant]) for variant in variants}
            ours = top_functions_klavrix(scratch / f"{name}.json")
            theirs = top_functions_cprofile(scratch / f"{name}.prof")
            agree = "same" if ours == theirs else ("same set" if set(ours) == set(theirs) else "differs")
            print("    " + f"{name:<12}{medians['plain']:>8.2f}s" +
                  "".join(f"{medians[v] / medians['plain']:>16.2f}x" for v in variants[1:]) + f"{agree:>12}")


if __name__ == "__main__":
    main()
