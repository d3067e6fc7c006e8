"""`klavrix analyze`: the workload pattern of every function under the given paths."""

from __future__ import annotations

import argparse
import collections
import json
import sys
from typing import Iterable, Iterator

from klavrix.cli import analysis, output, source, units

# Fewer files than this are analysed in this process: starting workers would cost more.
PARALLEL_MINIMUM = 16
FILES_PER_TASK = 4

DESCRIPTION = """\
Find every .py file under the paths (hidden directories skipped, directory links not followed),
parse it and score each function and method by its source text: indicator counts, normalised
scores, framework scores, GPU suitability and speed-up, parallelization potential, and from all of
them one workload pattern. Prints a table per file and a summary of the patterns, or with --json
one document. Files that cannot be read or parsed are reported on stderr and skipped.

Exit status: 0 when every input was analysed, 1 when some path or file failed, 2 on a usage error.
"""

EPILOG = """\
The first rule that holds decides the pattern: scikit-learn score > its threshold:
SKLEARN_TRAINING; pandas: PANDAS_DATAFRAME; NumPy: NUMPY_VECTORIZED; with a GPU and GPU
suitability > its threshold: GPU_COMPUTE_INTENSIVE (GPU operation share > 0.7 and CPU > 0.6),
GPU_MEMORY_BOUND (memory > 0.5) or GPU_SUITABLE; an embarrassingly parallel indicator or
parallelization potential > 0.6: PARALLEL_FRIENDLY; CPU > its threshold: CPU_INTENSIVE; memory >
its threshold: MEMORY_INTENSIVE; three or more sequential indicators: SEQUENTIAL; else MIXED.
"""


def register(subparsers) -> None:
    parser = subparsers.add_parser(
        "analyze", help="classify the functions of Python source files", description=DESCRIPTION,
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="+", metavar="PATH", help="Python files or directories")
    parser.add_argument("--json", action="store_true", help="print one JSON document instead of tables")
    parser.add_argument("--summary", action="store_true", help="print only the summary, not the tables")
    parser.add_argument("--gpu", action=argparse.BooleanOptionalAction, default=None,
                        help="score as if a GPU were present (or absent); default: detect one")
    parser.add_argument("--compute-capability", type=units.compute_capability, metavar="X.Y",
                        help="the GPU's compute capability, e.g. 8.6, which weighs GPU suitability "
                             "(default: none, a neutral weight)")
    defaults = analysis.Thresholds()
    thresholds = parser.add_argument_group("thresholds", "a score must lie strictly above its threshold")
    for name, meaning in analysis.THRESHOLD_HELP.items():
        thresholds.add_argument(f"--{name}-threshold", type=units.score, default=getattr(defaults, name),
                                metavar="X", help=f"{meaning} (default: %(default)s)")
    parser.add_argument("-j", "--jobs", type=units.positive_int, metavar="N",
                        help="worker processes (default: the CPUs this process may use, "
                             "container CPU quota included)")
    parser.add_argument("--exclude", action="append", default=[], metavar="GLOB",
                        help="skip files and directories whose name matches, e.g. 'test_*' (repeatable)")
    parser.set_defaults(run=run, parser=parser)


def detect_gpu() -> bool:
    from klavrix.native import hostprobe

    return bool(hostprobe.detect_gpu_backends()["has_gpu"])


def default_jobs() -> int:
    from klavrix.cli import limits

    return limits.pool_size(limits.affinity_cpus(), limits.read_cgroup_limits())


# Worker processes get the settings once, when they start.
_worker_settings: analysis.Settings | None = None


def _start_worker(settings: analysis.Settings) -> None:
    import signal

    global _worker_settings
    _worker_settings = settings
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent handles Ctrl-C


def _analyze_in_worker(path: str) -> analysis.FileResult:
    return analysis.analyze_file(path, _worker_settings)


def analyze_files(files: list[str], settings: analysis.Settings, jobs: int) -> Iterator[analysis.FileResult]:
    """The results in the order of `files`, from `jobs` worker processes when that pays."""
    if jobs <= 1 or len(files) < PARALLEL_MINIMUM:
        for path in files:
            yield analysis.analyze_file(path, settings)
        return
    from concurrent.futures import ProcessPoolExecutor

    pool = ProcessPoolExecutor(max_workers=min(jobs, len(files)), initializer=_start_worker, initargs=(settings,))
    try:
        yield from pool.map(_analyze_in_worker, files, chunksize=FILES_PER_TASK)
    finally:
        pool.shutdown(cancel_futures=True)


def function_rows(result: analysis.FileResult, thresholds: analysis.Thresholds) -> list[tuple]:
    return [(function.qualname, function.line, function.pattern_name, analysis.decided_by(function, thresholds),
             f"{function.scores.gpu_speedup:.1f}x") for function in result.functions]


def summary_text(counts: collections.Counter, files: int, failed: int) -> str:
    functions = sum(counts.values())
    lines = [f"Summary: {functions:,} functions in {files:,} files"
             + (f" ({failed:,} failed)" if failed else "") + "\n"]
    if functions:
        rows = [(name, f"{count:,}", f"{100 * count / functions:.1f}%") for name, count in counts.most_common()]
        lines.append(output.table(("pattern", "functions", "share"), rows, right=(1, 2)))
    return "".join(lines)


def json_document(results: Iterable[analysis.FileResult], settings: analysis.Settings, problems: list[dict],
                  counts: collections.Counter, analysed: int) -> dict:
    thresholds = settings.thresholds
    files = []
    for result in results:
        functions = []
        for function in result.functions:
            functions.append({
                "name": function.qualname,
                "line": function.line,
                "pattern": function.pattern_name,
                "pattern_code": function.pattern,
                "decided_by": analysis.decided_by(function, thresholds),
                "gpu_speedup": function.scores.gpu_speedup,
                "scores": function.scores._asdict(),
            })
        files.append({"path": result.path, "functions": functions})
    return {
        "settings": {
            "gpu_available": settings.gpu_available,
            "compute_capability": settings.compute_capability,
            "thresholds": {name: getattr(thresholds, name) for name in analysis.THRESHOLD_HELP},
        },
        "files": files,
        "errors": problems,
        "summary": {
            "files": analysed,
            "functions": sum(counts.values()),
            "failed": len(problems),
            "patterns": {name: counts[name] for name in analysis.PATTERN_NAMES},
        },
    }


def run(args: argparse.Namespace) -> int:
    thresholds = analysis.Thresholds(**{name: getattr(args, f"{name}_threshold") for name in analysis.THRESHOLD_HELP})
    gpu = detect_gpu() if args.gpu is None else args.gpu
    settings = analysis.Settings(thresholds, gpu, args.compute_capability)
    files, path_problems, empty = source.find_python_files(args.paths, args.exclude)

    problems: list[dict] = []
    progress = output.Progress(len(files), "files")

    def complain(path: str, message: str) -> None:
        progress.clear()
        print(f"klavrix analyze: {path}: {message}", file=sys.stderr)
        problems.append({"path": path, "error": message})

    for problem in path_problems:
        complain(problem.path, problem.message)
    for path in empty:
        progress.clear()
        print(f"klavrix analyze: {path}: no .py files", file=sys.stderr)

    counts: collections.Counter = collections.Counter()
    analysed = 0
    kept: list[analysis.FileResult] = []  # for the JSON document
    tables = not args.json and not args.summary
    tables_written = 0
    try:
        for result in analyze_files(files, settings, args.jobs or default_jobs()):
            progress.advance()
            if result.error is not None:
                complain(result.path, result.error)
                continue
            analysed += 1
            if args.json:
                kept.append(result)
            counts.update(function.pattern_name for function in result.functions)
            if tables and result.functions:
                progress.clear()
                sys.stdout.write(f"\n{result.path}\n" if tables_written else f"{result.path}\n")
                tables_written += 1
                sys.stdout.write(output.table(("function", "line", "pattern", "decided by", "GPU speed-up"),
                                              function_rows(result, thresholds), right=(1, 4)))
    finally:
        progress.close()

    if args.json:
        sys.stdout.write(json.dumps(json_document(kept, settings, problems, counts, analysed)))
        sys.stdout.write("\n")
    else:
        if tables_written:
            sys.stdout.write("\n")
        sys.stdout.write(summary_text(counts, analysed, len(problems)))
    return 1 if problems else 0
