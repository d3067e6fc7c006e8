"""`klavrix analyze`: the workload pattern of every function, method and module-level code under
the given paths."""

from __future__ import annotations

import argparse
import sys
from typing import Iterator

from klavrix.cli import (COMMANDS, EXIT_FAIL_ON, EXIT_INPUT_FAILED, EXIT_OK, analysis, config, discover, output, report, source,
                         units)

# Fewer files than this are analysed in this process: starting workers would cost more.
PARALLEL_MINIMUM = 16
FILES_PER_TASK = 4
DEFAULT_MAX_FILE_SIZE = 5_000_000

DESCRIPTION = """\
Find every .py file and notebook (.ipynb) under the paths, parse it and score each unit by its
code: every function and method, and the module-level code of a file (its statements outside
functions and classes, other than imports and the module docstring) as one unit named <module>.
The scores are indicator counts, normalised scores, framework scores, GPU suitability and
speed-up, parallelization potential, and from all of them one workload pattern.

Code decides, prose never does: the text scored is the unit's code with its docstring, comments
and the contents of its string literals removed (the expressions of f-strings are kept), so that
no comment or docstring can move a score. --raw-source scores the exact source text instead, as
the runtime does with inspect.getsource, for comparison. --explain shows, for the scores that
decided each pattern, the keywords that matched and the word of code each was found in, such as
"map (in semaphore)".

Notebooks: code cells in order, IPython magics, shell lines and help requests left out; units
are placed by cell number. "-" reads one Python file from standard input.

Files: a path you name is always analysed. Below a named directory, virtual environments (a
directory with pyvenv.cfg), site-packages, __pycache__, build, dist, node_modules, .tox, .nox and
hidden directories are skipped (--no-default-excludes keeps them), .gitignore files are honoured
inside a git work tree, and --exclude takes gitignore-style patterns relative to the named
directory (test/, '*_test.py', docs/**/conf.py). A rule that ignores a directory you named, or
one of its parents, does not apply below it. Files larger than --max-file-size are skipped.

Settings can live in [tool.klavrix] of the nearest pyproject.toml at or above the first path
(format, fail-on, select, exclude, max-file-size, explain, raw-source, default-excludes, and a
thresholds table); options on the command line override them.

Exit status: 2 on a usage error (or an unusable [tool.klavrix]); else 1 when some path or file
could not be analysed, or the output could not be written; else 3 when --fail-on matched a unit;
else 0. Skipped files do not change it. A reader that goes away (| head) ends the command
quietly, with status 141.
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
        "analyze", help=COMMANDS["analyze"], description=DESCRIPTION,
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="+", metavar="PATH", help="Python files, notebooks or directories; - for stdin")
    shown = parser.add_argument_group("output")
    shown.add_argument("--format", choices=config.FORMATS,
                       help="table (default), json, csv, sarif (SARIF 2.1.0, one result per unit that is not "
                            "MIXED) or github (workflow annotations)")
    shown.add_argument("--json", dest="format", action="store_const", const="json", help="the same as --format json")
    shown.add_argument("--summary", action="store_true", help="tables: print only the summary")
    shown.add_argument("--explain", action="store_true", default=None,
                       help="show the keywords behind each pattern and the word of code each was found in")
    shown.add_argument("--select", action="append", type=analysis.pattern_name, metavar="PATTERN",
                       help="show only units of this pattern (repeatable)")
    shown.add_argument("--sort", choices=report.SORT_KEYS, default="file",
                       help="order of the units: file (source order, the default), name, pattern, or by a "
                            "score, highest first: speedup, cpu, memory, parallel, gpu, numpy, pandas, sklearn")
    shown.add_argument("--top", type=units.positive_int, metavar="N", help="show only the first N units in --sort order")
    shown.add_argument("--warnings", action="store_true",
                       help="show the parser's warnings (invalid escape sequences and the like), file by file")
    shown.add_argument("--fail-on", action="append", type=analysis.pattern_name, metavar="PATTERN",
                       help="exit with status 3 when any unit gets this pattern (repeatable)")
    scoring = parser.add_argument_group("scoring")
    scoring.add_argument("--raw-source", action="store_true", default=None,
                         help="score the exact source text, docstrings, comments and strings included")
    scoring.add_argument("--gpu", action=argparse.BooleanOptionalAction, default=None,
                         help="score as if a GPU were present (or absent); default: detect one")
    scoring.add_argument("--compute-capability", type=units.compute_capability, metavar="X.Y",
                         help="the GPU's compute capability, e.g. 8.6, which weighs GPU suitability "
                              "(default: none, a neutral weight)")
    defaults = analysis.Thresholds()
    thresholds = parser.add_argument_group("thresholds", "a score must lie strictly above its threshold")
    for name, meaning in analysis.THRESHOLD_HELP.items():
        thresholds.add_argument(f"--{name}-threshold", type=units.score, metavar="X",
                                help=f"{meaning} (default: {getattr(defaults, name)})")
    files = parser.add_argument_group("files")
    files.add_argument("--exclude", action="append", metavar="PATTERN",
                       help="skip what this gitignore-style pattern matches below the named directories, "
                            "e.g. test/ or '*_test.py' (repeatable)")
    files.add_argument("--no-default-excludes", dest="default_excludes", action="store_false", default=None,
                       help="also analyse virtual environments, site-packages, __pycache__, build, dist, "
                            "node_modules, .tox, .nox and hidden directories")
    files.add_argument("--max-file-size", type=units.size, metavar="SIZE",
                       help=f"skip larger files (default: {DEFAULT_MAX_FILE_SIZE // 1_000_000}MB; 0: no limit)")
    parser.add_argument("-j", "--jobs", type=units.positive_int, metavar="N",
                        help="worker processes (default: the CPUs this process may use, "
                             "container CPU quota included)")
    parser.set_defaults(run=run, parser=parser)


def detect_gpu() -> bool:
    from klavrix.native import hostprobe

    return bool(hostprobe.detect_gpu_backends()["has_gpu"])


def default_jobs() -> int:
    from klavrix.cli import limits

    return limits.pool_size(limits.affinity_cpus(), limits.read_cgroup_limits())


# Worker processes get the settings once, when they start.
_worker_settings: tuple[analysis.Settings, analysis.Options] | None = None


def _start_worker(settings: analysis.Settings, options: analysis.Options) -> None:
    import signal

    global _worker_settings
    _worker_settings = settings, options
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the parent handles Ctrl-C


def _analyze_in_worker(path: str) -> analysis.FileResult:
    return analysis.analyze_file(path, *_worker_settings)


def analyze_files(files: list[str], settings: analysis.Settings, options: analysis.Options,
                  jobs: int) -> Iterator[analysis.FileResult]:
    """The results in the order of `files`, from `jobs` worker processes when that pays."""
    if jobs <= 1 or len(files) < PARALLEL_MINIMUM:
        for path in files:
            yield analysis.analyze_file(path, settings, options)
        return
    from concurrent.futures import ProcessPoolExecutor

    pool = ProcessPoolExecutor(max_workers=min(jobs, len(files)), initializer=_start_worker,
                               initargs=(settings, options))
    try:
        yield from pool.map(_analyze_in_worker, files, chunksize=FILES_PER_TASK)
    finally:
        pool.shutdown(cancel_futures=True)


def _setting(args: argparse.Namespace, settings: config.Config, name: str, default):
    """A command-line option, else the pyproject.toml's value, else the default."""
    value = getattr(args, name)
    if value is not None:
        return value
    return settings.values.get(name, default)


def run(args: argparse.Namespace) -> int:
    try:
        project = config.load(args.paths[0])
    except config.ConfigError as error:
        args.parser.error(str(error))
    if args.paths.count("-") > 1:
        args.parser.error("- (standard input) can be given once")
    defaults = analysis.Thresholds()
    thresholds = analysis.Thresholds(**{
        name: _setting(args, project, f"{name}_threshold", project.thresholds.get(name, getattr(defaults, name)))
        for name in analysis.THRESHOLD_HELP})
    gpu = detect_gpu() if args.gpu is None else args.gpu
    settings = analysis.Settings(thresholds, gpu, args.compute_capability)
    max_bytes = _setting(args, project, "max_file_size", DEFAULT_MAX_FILE_SIZE) or None
    options = analysis.Options(raw_source=_setting(args, project, "raw_source", False),
                               explain=_setting(args, project, "explain", False), max_bytes=max_bytes)
    form = _setting(args, project, "format", "table")
    fail_on = set(_setting(args, project, "fail_on", []))
    view = report.View(settings, explain=options.explain, select=frozenset(_setting(args, project, "select", [])),
                       sort=args.sort, top=args.top, summary_only=args.summary)

    # Command-line patterns are relative to the named directories; the project's to its file.
    found = discover.find_source_files(
        [path for path in args.paths if path != "-"], args.exclude or (),
        default_excludes=_setting(args, project, "default_excludes", True),
        config_exclude=() if args.exclude else project.values.get("exclude", ()),
        config_directory=project.directory)

    totals = report.Totals()
    progress = output.Progress(len(found.files), "files")
    sink = report.make_report(form, view, progress)

    def note(path: str, message: str) -> None:
        progress.clear()
        print(f"klavrix analyze: {output.display_path(path)}: {message}", file=sys.stderr)

    for problem in found.problems:
        note(problem.path, problem.message)
        totals.failed.append({"path": problem.path, "error": problem.message})
    for path in found.empty:
        note(path, "no .py or .ipynb files")
    for pattern in found.unmatched_excludes:
        progress.clear()
        print(f"klavrix analyze: warning: --exclude {pattern!r} matched nothing (patterns are gitignore-style, "
              "relative to the named directory: test/ matches every directory named test)", file=sys.stderr)

    failed_on = False

    def take(result: analysis.FileResult) -> None:
        nonlocal failed_on
        if result.skipped is not None:
            note(result.path, result.skipped)
            totals.skipped.append({"path": result.path, "reason": result.skipped})
            return
        if result.error is not None:
            note(result.path, result.error)
            totals.failed.append({"path": result.path, "error": result.error})
            return
        if args.warnings:
            for warning in result.warnings:
                note(result.path, warning)
        totals.count(result)
        failed_on = failed_on or any(unit.pattern_name in fail_on for unit in result.functions)
        sink.add(result)

    try:
        if "-" in args.paths:
            take(analysis.analyze_stream("-", sys.stdin.buffer, settings, options))
        for result in analyze_files(found.files, settings, options, args.jobs or default_jobs()):
            progress.advance()
            take(result)
    finally:
        progress.close()
    sink.finish(totals)
    if totals.failed:
        return EXIT_INPUT_FAILED
    return EXIT_FAIL_ON if failed_on else EXIT_OK
