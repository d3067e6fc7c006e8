from logging import Logger

logger: Logger

def quick_framework_score(code: str | None, framework: str | None) -> float: ...

# (cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score,
#  embarrassing_score, sequential_score)
def score_indicators(code: str | None, function_name: str | None) -> tuple[int, int, int, int, int, int, int]: ...
def normalize_scores(
    cpu_score: int, memory_score: int, parallel_score: int, gpu_op_score: int, large_data_score: int
) -> tuple[float, float, float, float, float]: ...

# (numpy_score, pandas_score, sklearn_score)
def score_framework_patterns(code: str | None) -> tuple[float, float, float]: ...

# Returns a workload pattern code: 0 MIXED, 1 CPU_INTENSIVE, 2 MEMORY_INTENSIVE, 3 PARALLEL_FRIENDLY,
# 4 SEQUENTIAL, 5 GPU_SUITABLE, 6 GPU_COMPUTE_INTENSIVE, 7 GPU_MEMORY_BOUND, 8 NUMPY_VECTORIZED,
# 10 PANDAS_DATAFRAME, 12 SKLEARN_TRAINING.
def determine_workload_pattern(
    cpu_intensity: float,
    memory_intensity: float,
    parallelization_potential: float,
    gpu_suitability: float,
    gpu_operation_score: float,
    numpy_score: float,
    pandas_score: float,
    sklearn_score: float,
    sequential_count: int,
    embarrassing_count: int,
    cpu_threshold: float,
    memory_threshold: float,
    gpu_threshold: float,
    numpy_threshold: float,
    pandas_threshold: float,
    sklearn_threshold: float,
    gpu_available: bool,
) -> int: ...
def calculate_gpu_suitability(
    gpu_operation_score: float,
    gpu_data_size_score: float,
    cpu_intensity: float,
    gpu_available: bool,
    compute_capability: str | None,
) -> float: ...
def estimate_gpu_speedup(gpu_operation_score: float, gpu_data_size_score: float, gpu_available: bool) -> float: ...
def calculate_parallelization_potential(
    base_parallel_score: float, embarrassing_bonus: float, sequential_penalty: float, loop_chunking_potential: float
) -> float: ...
def update_adaptive_threshold(
    current_threshold: float, success_rate: float, learning_rate: float, min_threshold: float, max_threshold: float
) -> float: ...

# Private, for the klavrix command's explanations: {table: [(keyword, offset in code.lower(), or -1
# when it counts through the function name only), ...]} for the entries the two text scores count.
def _keyword_matches(code: str | None, function_name: str | None) -> dict[str, list[tuple[str, int]]]: ...
