"""The analyzer chain over one unit's code, and over whole files (in worker processes or not).

For each unit (a function, or a file's module-level code): indicator counts -> normalised scores ->
framework scores -> GPU suitability and speed-up -> parallelization potential -> workload
pattern, all computed by the jobscore module, from the unit's code without prose (prose.py) or,
with raw_source, from its source exactly as written. The evidence of a result is the keyword
matches behind the scores that decided its pattern, as jobscore itself finds them.
"""

from __future__ import annotations

import argparse
import gc
from dataclasses import dataclass
from typing import BinaryIO, Callable, NamedTuple

from klavrix.cli import source

# The analyzer's workload pattern names, by code.
PATTERN_NAMES = (
    "MIXED", "CPU_INTENSIVE", "MEMORY_INTENSIVE", "PARALLEL_FRIENDLY", "SEQUENTIAL", "GPU_SUITABLE",
    "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND", "NUMPY_VECTORIZED", "NUMPY_LINALG", "PANDAS_DATAFRAME",
    "PANDAS_GROUPBY", "SKLEARN_TRAINING", "SKLEARN_INFERENCE",
)


def pattern_name(text: str) -> str:
    """A workload pattern named on the command line or in settings, in any case."""
    name = text.upper()
    if name not in PATTERN_NAMES:
        raise argparse.ArgumentTypeError(f"unknown pattern {text!r}: choose from {', '.join(PATTERN_NAMES)}")
    return name

# Fixed cut-offs of the decision table (not thresholds the caller chooses).
GPU_COMPUTE_OPERATIONS = 0.7
GPU_COMPUTE_CPU = 0.6
GPU_MEMORY_BOUND = 0.5
PARALLEL_POTENTIAL = 0.6
SEQUENTIAL_COUNT = 3


@dataclass(frozen=True, slots=True)
class Thresholds:
    """The thresholds of the pattern decision; a score must lie strictly above its threshold.

    Each default sits between two values that a count of table entries can give, so that it reads
    as "at least n entries of the table": CPU 3 of 15, memory 3 of 10, NumPy 3 of 25, pandas 2 of
    18, scikit-learn 2 of 18. Functions are short and find few entries: over the standard library
    these defaults leave 95% of the functions MIXED and classify under 1% as NumPy or pandas code,
    while code written for a framework passes its threshold. GPU suitability is mostly 0.6 times
    the share of the 36 GPU operations found plus up to 0.3 for CPU intensity, so 0.2 takes for
    instance a function with a fifth of the operations and a CPU intensity of 0.3.
    """

    cpu: float = 0.15
    memory: float = 0.25
    gpu: float = 0.2
    numpy: float = 0.1
    pandas: float = 0.1
    sklearn: float = 0.1


THRESHOLD_HELP = {
    "cpu": "CPU intensity (share of the 15 CPU indicators found)",
    "memory": "memory intensity (share of the 10 memory indicators)",
    "gpu": "GPU suitability (with a GPU only)",
    "numpy": "NumPy score (share of the 25 NumPy keywords)",
    "pandas": "pandas score (share of the 18 pandas keywords)",
    "sklearn": "scikit-learn score (share of the 18 scikit-learn keywords)",
}


@dataclass(frozen=True, slots=True)
class Settings:
    thresholds: Thresholds
    gpu_available: bool
    compute_capability: str | None = None


class Scores(NamedTuple):
    """Everything the chain computed for one unit."""

    cpu_intensity: float
    memory_intensity: float
    parallel_score: float
    gpu_operation_score: float
    gpu_data_size_score: float
    numpy_score: float
    pandas_score: float
    sklearn_score: float
    gpu_suitability: float
    gpu_speedup: float
    loop_chunking_potential: float
    parallelization_potential: float
    sequential_count: int
    embarrassing_count: int


class Evidence(NamedTuple):
    """One keyword that a deciding score counted: the table it belongs to, and the identifier (or
    other word of code) it was found in, or the unit's name when only the name holds it."""

    table: str  # cpu, memory, parallel, gpu_operation, large_data, embarrassing, sequential, numpy, pandas, sklearn
    keyword: str
    found_in: str  # the word around the first occurrence ("semaphore" for map); the keyword alone when it is one
    in_name: bool = False

    def text(self) -> str:
        if self.in_name:
            return f"{self.keyword} (in the name {self.found_in})"
        return self.keyword if self.found_in == self.keyword else f"{self.keyword} (in {self.found_in})"


# Results are named tuples: they cross from worker processes in bulk, and tuples pickle cheaply.
class FunctionResult(NamedTuple):
    """The classification of one unit; `line` is within the cell when `cell` is set (notebooks)."""

    qualname: str
    line: int
    pattern: int
    scores: Scores
    evidence: tuple[Evidence, ...] = ()
    cell: int | None = None

    @property
    def pattern_name(self) -> str:
        return PATTERN_NAMES[self.pattern]


class FileResult(NamedTuple):
    path: str
    functions: list[FunctionResult]
    error: str | None = None  # why the file could not be analysed
    warnings: tuple[str, ...] = ()  # the parser's warnings, "line 3: SyntaxWarning: ..."
    skipped: str | None = None  # why the file was left out on purpose


@dataclass(frozen=True, slots=True)
class Options:
    """How files are read and what each result carries."""

    raw_source: bool = False  # score the source as written, prose included
    explain: bool = False  # fill in the evidence
    max_bytes: int | None = None  # larger files are skipped


def loop_chunking_potential(for_loops: int, while_loops: int) -> float:
    """Share of the loops that iterate over a collection and so can be cut into chunks; a while
    loop's trip count is known only as it runs."""
    loops = for_loops + while_loops
    return for_loops / loops if loops else 0.0


def score_unit(unit: source.UnitSource, settings: Settings, jobscore, options: Options = Options()) -> FunctionResult:
    code = unit.source if options.raw_source else unit.code
    name = unit.name
    cpu, memory, parallel, gpu_ops, large_data, embarrassing, sequential = jobscore.score_indicators(code, name)
    cpu_i, memory_i, parallel_s, gpu_ops_s, large_data_s = jobscore.normalize_scores(
        cpu, memory, parallel, gpu_ops, large_data)
    numpy_s, pandas_s, sklearn_s = jobscore.score_framework_patterns(code)
    gpu = settings.gpu_available
    suitability = jobscore.calculate_gpu_suitability(gpu_ops_s, large_data_s, cpu_i, gpu,
                                                     settings.compute_capability)
    speedup = jobscore.estimate_gpu_speedup(gpu_ops_s, large_data_s, gpu)
    chunking = loop_chunking_potential(unit.for_loops, unit.while_loops)
    potential = jobscore.calculate_parallelization_potential(parallel_s, embarrassing, sequential, chunking)
    t = settings.thresholds
    pattern = jobscore.determine_workload_pattern(
        cpu_i, memory_i, potential, suitability, gpu_ops_s, numpy_s, pandas_s, sklearn_s, sequential,
        embarrassing, t.cpu, t.memory, t.gpu, t.numpy, t.pandas, t.sklearn, gpu)
    scores = Scores(cpu_i, memory_i, parallel_s, gpu_ops_s, large_data_s, numpy_s, pandas_s, sklearn_s,
                    suitability, speedup, chunking, potential, sequential, embarrassing)
    evidence = ()
    if options.explain:
        evidence = explain(code, name, deciding_tables(PATTERN_NAMES[pattern], scores), jobscore)
    return FunctionResult(unit.qualname, unit.line, pattern, scores, evidence, unit.cell)


def classify_source(source_text: str, name: str, settings: Settings, *, raw_source: bool = False) -> FunctionResult:
    """The classification of one unit given as text, with its evidence: the chain that
    `klavrix analyze` runs for each function, for callers that hold a single function's source
    (as `inspect.getsource` gives it, indented or not).

    `name` is the unit's qualified name (Class.method); its last part is the name the scores look
    at. The text is scored without its comments, docstrings and string contents unless
    `raw_source` is true; source.fragment_unit says how a text that does not parse is taken.
    The result's line is the first line of the text, 1."""
    from klavrix.plugins.analyzer import jobscore

    unit = source.fragment_unit(source_text, name)
    return score_unit(unit, settings, jobscore, Options(raw_source=raw_source, explain=True))


def analyze_file(path: str, settings: Settings, options: Options = Options()) -> FileResult:
    return _file_result(path, lambda: source.read_units(path, options.max_bytes), settings, options)


def analyze_stream(label: str, stream: BinaryIO, settings: Settings, options: Options = Options()) -> FileResult:
    """A file's result for Python source read from a stream (standard input)."""
    def read() -> source.Parsed:
        return source.python_units(source.decode_source(source.read_stream(stream, options.max_bytes)))

    return _file_result(label, read, settings, options)


def _file_result(label: str, read: Callable[[], source.Parsed], settings: Settings, options: Options) -> FileResult:
    from klavrix.plugins.analyzer import jobscore

    # A syntax tree holds no reference cycles, so collecting garbage while its hundreds of
    # thousands of nodes are made only costs time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        parsed = read()
    except source.SourceSkipped as skipped:
        return FileResult(label, [], skipped=str(skipped))
    except source.SourceError as error:
        return FileResult(label, [], str(error))
    finally:
        if collecting:
            gc.enable()
    return FileResult(label, [score_unit(unit, settings, jobscore, options) for unit in parsed.units],
                      warnings=tuple(parsed.warnings))


# ---------------------------------------------------------------------------------------------
# Why a pattern

def decided_by(result: FunctionResult, thresholds: Thresholds) -> str:
    """The scores of the rule that chose the pattern, as "score value > threshold" terms."""
    s, t = result.scores, thresholds

    def above(label: str, value: float, limit: float) -> str:
        return f"{label} {value:.2f} > {limit:.2f}"

    match result.pattern_name:
        case "SKLEARN_TRAINING":
            return above("sklearn", s.sklearn_score, t.sklearn)
        case "PANDAS_DATAFRAME":
            return above("pandas", s.pandas_score, t.pandas)
        case "NUMPY_VECTORIZED":
            return above("numpy", s.numpy_score, t.numpy)
        case "GPU_COMPUTE_INTENSIVE":
            return ", ".join((above("gpu", s.gpu_suitability, t.gpu),
                              above("gpu ops", s.gpu_operation_score, GPU_COMPUTE_OPERATIONS),
                              above("cpu", s.cpu_intensity, GPU_COMPUTE_CPU)))
        case "GPU_MEMORY_BOUND":
            return ", ".join((above("gpu", s.gpu_suitability, t.gpu),
                              above("memory", s.memory_intensity, GPU_MEMORY_BOUND)))
        case "GPU_SUITABLE":
            return above("gpu", s.gpu_suitability, t.gpu)
        case "PARALLEL_FRIENDLY":
            if s.embarrassing_count > 0:
                return _indicators(s.embarrassing_count, "embarrassingly parallel")
            return above("parallel", s.parallelization_potential, PARALLEL_POTENTIAL)
        case "CPU_INTENSIVE":
            return above("cpu", s.cpu_intensity, t.cpu)
        case "MEMORY_INTENSIVE":
            return above("memory", s.memory_intensity, t.memory)
        case "SEQUENTIAL":
            return f"{_indicators(s.sequential_count, 'sequential')} (>= {SEQUENTIAL_COUNT})"
    return "no score above its threshold"


def _indicators(count: int, kind: str) -> str:
    return f"{count} {kind} indicator{'' if count == 1 else 's'}"


# The keyword tables behind the scores that decide each pattern (MIXED: none). GPU suitability
# counts GPU operations, large-data words and CPU intensity; parallelization potential counts
# parallel indicators against sequential ones, unless an embarrassingly parallel word decided.
_DECIDING_TABLES = {
    "SKLEARN_TRAINING": ("sklearn",), "PANDAS_DATAFRAME": ("pandas",), "NUMPY_VECTORIZED": ("numpy",),
    "GPU_COMPUTE_INTENSIVE": ("gpu_operation", "large_data", "cpu"), "GPU_SUITABLE": ("gpu_operation", "large_data", "cpu"),
    "GPU_MEMORY_BOUND": ("gpu_operation", "large_data", "cpu", "memory"), "PARALLEL_FRIENDLY": ("parallel", "sequential"),
    "CPU_INTENSIVE": ("cpu",), "MEMORY_INTENSIVE": ("memory",), "SEQUENTIAL": ("sequential",),
}


def deciding_tables(pattern_name: str, scores: Scores) -> tuple[str, ...]:
    if pattern_name == "PARALLEL_FRIENDLY" and scores.embarrassing_count > 0:
        return ("embarrassing",)
    return _DECIDING_TABLES.get(pattern_name, ())


def _is_word(character: str) -> bool:
    return character.isalnum() or character == "_"


def explain(code: str, name: str, tables: tuple[str, ...], jobscore) -> tuple[Evidence, ...]:
    """The keywords of `tables` that the scores counted in `code` (and `name`), each with the word
    of code around its first occurrence."""
    if not tables:
        return ()
    matches = jobscore._keyword_matches(code, name)
    lowered = code.lower()
    text = code if len(lowered) == len(code) else lowered  # the offsets are into code.lower()
    evidence = []
    for table in tables:
        for keyword, offset in matches[table]:
            if offset < 0:
                evidence.append(Evidence(table, keyword, name, in_name=True))
                continue
            start, end = offset, offset + len(keyword)
            if _is_word(keyword[0]):  # operators such as "+" stand alone
                while start > 0 and _is_word(text[start - 1]):
                    start -= 1
                while end < len(text) and _is_word(text[end]):
                    end += 1
            word = text[start:end]
            evidence.append(Evidence(table, keyword, keyword if word.lower() == keyword else word))
    return tuple(evidence)


def evidence_text(evidence: tuple[Evidence, ...]) -> str:
    """"numpy: np. (in np.linalg), sum; cpu: for", grouped by table in order."""
    groups: dict[str, list[str]] = {}
    for item in evidence:
        groups.setdefault(item.table, []).append(item.text())
    return "; ".join(f"{table}: {', '.join(words)}" for table, words in groups.items())
