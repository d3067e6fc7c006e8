"""The workload analyzer's scoring rules in plain Python: the reference that the native module is
checked against (tests) and timed against (benchmarks). Written for obviousness, not speed."""

from __future__ import annotations

import re

CPU_INDICATORS = ("for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm",
                  "sum", "prod", "dot", "matmul", "fft", "linalg")
MEMORY_INDICATORS = ("array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append",
                     "extend")
PARALLEL_INDICATORS = ("multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker",
                       "chunk", "batch", "processpoolexecutor", "threadpoolexecutor")
GPU_OPERATION_INDICATORS = ("matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate",
                            "sum", "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt", "power", "**",
                            "add", "subtract", "multiply", "divide", "/", "*", "+", "-", "linalg",
                            "linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full")
LARGE_DATA_INDICATORS = ("reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6",
                         "1e9", "1024", "megabyte", "mb")
EMBARRASSING_INDICATORS = ("workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize",
                           "broadcast")
SEQUENTIAL_INDICATORS = ("global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered",
                         "dependencies")

NUMPY_KEYWORDS = ("numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot",
                  "matmul", "linalg", "fft", "sum", "mean", "std", "var", "min", "max", "argmax", "argmin",
                  "reshape", "transpose", "concatenate", "stack", "split")
PANDAS_KEYWORDS = ("pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge",
                   "join", "concat", "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values")
SKLEARN_KEYWORDS = ("sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv",
                    "randomizedsearchcv", "pipeline", "featureunion", "train_test_split", "classification",
                    "regression", "clustering", "preprocessing", "model_selection", "metrics", "ensemble")

FRAMEWORK_PATTERNS = {
    "numpy": re.compile(r"\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b", re.IGNORECASE),
    "pandas": re.compile(r"\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b", re.IGNORECASE),
    "sklearn": re.compile(r"\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b", re.IGNORECASE),
}

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def clamp(value: float, low: float = 0.0, high: float = 1.0) -> float:
    return max(min(value, high), low)


def quick_framework_score(code, framework):
    if framework not in FRAMEWORK_PATTERNS:
        return 0.0
    return min(len(FRAMEWORK_PATTERNS[framework].findall(code)) * 0.1, 1.0)


def count_present(table, text):
    return sum(1 for entry in table if entry in text)


def score_indicators(code, function_name):
    source = code.lower()
    name = function_name.lower() if function_name else ""
    return (
        count_present(CPU_INDICATORS, source),
        count_present(MEMORY_INDICATORS, source),
        count_present(PARALLEL_INDICATORS, source),
        sum(1 for entry in GPU_OPERATION_INDICATORS if entry in source or entry in name),
        count_present(LARGE_DATA_INDICATORS, source),
        sum(1 for entry in EMBARRASSING_INDICATORS if entry in source or entry in name),
        count_present(SEQUENTIAL_INDICATORS, source),
    )


def normalize_scores(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score):
    return (
        clamp(cpu_score * 0.06666666666666667),
        clamp(memory_score * 0.1),
        clamp(parallel_score * 0.09090909090909091),
        clamp(gpu_op_score * 0.027777777777777776),
        clamp(large_data_score * 0.07692307692307693),
    )


def score_framework_patterns(code):
    source = code.lower()
    return (
        clamp(count_present(NUMPY_KEYWORDS, source) * 0.04),
        clamp(count_present(PANDAS_KEYWORDS, source) * 0.05555555555555555),
        clamp(count_present(SKLEARN_KEYWORDS, source) * 0.05555555555555555),
    )


def determine_workload_pattern(cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability,
                               gpu_operation_score, numpy_score, pandas_score, sklearn_score, sequential_count,
                               embarrassing_count, cpu_threshold, memory_threshold, gpu_threshold,
                               numpy_threshold, pandas_threshold, sklearn_threshold, gpu_available):
    if sklearn_score > sklearn_threshold:
        return 12
    if pandas_score > pandas_threshold:
        return 10
    if numpy_score > numpy_threshold:
        return 8
    if gpu_available and gpu_suitability > gpu_threshold:
        if gpu_operation_score > 0.7 and cpu_intensity > 0.6:
            return 6
        if memory_intensity > 0.5:
            return 7
        return 5
    if embarrassing_count > 0 or parallelization_potential > 0.6:
        return 3
    if cpu_intensity > cpu_threshold:
        return 1
    if memory_intensity > memory_threshold:
        return 2
    if sequential_count >= 3:
        return 4
    return 0


def calculate_gpu_suitability(gpu_operation_score, gpu_data_size_score, cpu_intensity, gpu_available,
                              compute_capability):
    if not gpu_available:
        return 0.0
    multiplier = 1.0
    if compute_capability:
        try:
            major = int(compute_capability.split(".")[0])
            if not INT32_MIN <= major <= INT32_MAX:
                raise OverflowError("value too large to convert to int")
            multiplier = 1.2 if major >= 8 else 1.1 if major == 7 else 1.0 if major == 6 else 0.8
        except (ValueError, IndexError):
            multiplier = 1.0
    base = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4
    cpu_term = clamp(cpu_intensity * 0.3, 0.0, 0.3)
    return clamp(multiplier * (base + cpu_term))


def estimate_gpu_speedup(gpu_operation_score, gpu_data_size_score, gpu_available):
    if not gpu_available or gpu_operation_score == 0.0:
        return 1.0
    if gpu_operation_score > 0.8:
        base = 15.0
    elif gpu_operation_score > 0.6:
        base = 8.0
    elif gpu_operation_score > 0.3:
        base = 4.0
    else:
        base = 2.0
    return base + base * (gpu_data_size_score * 0.5)


def calculate_parallelization_potential(base_parallel_score, embarrassing_bonus, sequential_penalty,
                                        loop_chunking_potential):
    bonus = clamp(embarrassing_bonus * 0.3, 0.0, 0.7)
    penalty = clamp(sequential_penalty * 0.2, 0.0, 0.5)
    return clamp((bonus + base_parallel_score) - penalty + loop_chunking_potential * 0.4)


def update_adaptive_threshold(current_threshold, success_rate, learning_rate, min_threshold, max_threshold):
    if success_rate > 0.8:
        value = current_threshold + learning_rate
    elif success_rate < 0.4:
        value = current_threshold - learning_rate
    else:
        value = current_threshold
    if value < min_threshold:
        return min_threshold
    return min(value, max_threshold)
