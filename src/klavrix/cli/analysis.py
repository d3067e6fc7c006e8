"""The analyzer chain over one function's source, and over whole files (in worker processes or not).

For each function: indicator counts -> normalised scores -> framework scores -> GPU suitability and
speed-up -> parallelization potential -> workload pattern, all computed by the jobscore module.
"""

from __future__ import annotations

import gc
from dataclasses import dataclass
from typing import NamedTuple

from klavrix.cli import source

# The analyzer's workload pattern names, by code.
PATTERN_NAMES = (
    "MIXED", "CPU_INTENSIVE", "MEMORY_INTENSIVE", "PARALLEL_FRIENDLY", "SEQUENTIAL", "GPU_SUITABLE",
    "GPU_COMPUTE_INTENSIVE", "GPU_MEMORY_BOUND", "NUMPY_VECTORIZED", "NUMPY_LINALG", "PANDAS_DATAFRAME",
    "PANDAS_GROUPBY", "SKLEARN_TRAINING", "SKLEARN_INFERENCE",
)

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
    """Everything the chain computed for one function."""

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


# Results are named tuples: they cross from worker processes in bulk, and tuples pickle cheaply.
class FunctionResult(NamedTuple):
    qualname: str
    line: int
    pattern: int
    scores: Scores

    @property
    def pattern_name(self) -> str:
        return PATTERN_NAMES[self.pattern]


class FileResult(NamedTuple):
    path: str
    functions: list[FunctionResult]
    error: str | None = None  # why the file was skipped


def loop_chunking_potential(for_loops: int, while_loops: int) -> float:
    """Share of the loops that iterate over a collection and so can be cut into chunks; a while
    loop's trip count is known only as it runs."""
    loops = for_loops + while_loops
    return for_loops / loops if loops else 0.0


def score_function(function: source.FunctionSource, settings: Settings, jobscore) -> FunctionResult:
    code, name = function.source, function.name
    cpu, memory, parallel, gpu_ops, large_data, embarrassing, sequential = jobscore.score_indicators(code, name)
    cpu_i, memory_i, parallel_s, gpu_ops_s, large_data_s = jobscore.normalize_scores(
        cpu, memory, parallel, gpu_ops, large_data)
    numpy_s, pandas_s, sklearn_s = jobscore.score_framework_patterns(code)
    gpu = settings.gpu_available
    suitability = jobscore.calculate_gpu_suitability(gpu_ops_s, large_data_s, cpu_i, gpu,
                                                     settings.compute_capability)
    speedup = jobscore.estimate_gpu_speedup(gpu_ops_s, large_data_s, gpu)
    chunking = loop_chunking_potential(function.for_loops, function.while_loops)
    potential = jobscore.calculate_parallelization_potential(parallel_s, embarrassing, sequential, chunking)
    t = settings.thresholds
    pattern = jobscore.determine_workload_pattern(
        cpu_i, memory_i, potential, suitability, gpu_ops_s, numpy_s, pandas_s, sklearn_s, sequential,
        embarrassing, t.cpu, t.memory, t.gpu, t.numpy, t.pandas, t.sklearn, gpu)
    scores = Scores(cpu_i, memory_i, parallel_s, gpu_ops_s, large_data_s, numpy_s, pandas_s, sklearn_s,
                    suitability, speedup, chunking, potential, sequential, embarrassing)
    return FunctionResult(function.qualname, function.line, pattern, scores)


def analyze_file(path: str, settings: Settings) -> FileResult:
    from klavrix.plugins.analyzer import jobscore

    # A syntax tree holds no reference cycles, so collecting garbage while its hundreds of
    # thousands of nodes are made only costs time.
    collecting = gc.isenabled()
    gc.disable()
    try:
        text = source.read_source(path)
        found = source.functions(text, source.parse(text))
    except source.SourceError as error:
        return FileResult(path, [], str(error))
    finally:
        if collecting:
            gc.enable()
    return FileResult(path, [score_function(function, settings, jobscore) for function in found])


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
