// The keyword tables of the workload analyzer, as stored, and the workload pattern codes.
//
// Each table is a list of lower-case substrings. The indicator tables are joined into one list
// (kIndicatorEntries) and the framework tables into another (kFrameworkEntries), so that one
// automaton finds the entries of all tables of a list in one pass; a table is a range of
// indexes into its list (entries repeated across tables keep one index per table).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace klavrix::jobscore {

// ---------------------------------------------------------------------------------------------
// Indicator tables, in the order of score_indicators' result

inline constexpr std::array<std::string_view, 15> kCpuIndicators = {
    "for", "while", "range", "numpy", "scipy", "math", "calculation", "compute",
    "algorithm", "sum", "prod", "dot", "matmul", "fft", "linalg"};
inline constexpr std::array<std::string_view, 10> kMemoryIndicators = {
    "array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend"};
inline constexpr std::array<std::string_view, 11> kParallelIndicators = {
    "multiprocessing", "threading", "concurrent", "async", "parallel", "pool",
    "worker", "chunk", "batch", "processpoolexecutor", "threadpoolexecutor"};
inline constexpr std::array<std::string_view, 36> kGpuOperationIndicators = {
    "matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate",
    "sum", "mean", "std", "var", "sin", "cos", "exp", "log", "sqrt",
    "power", "**", "add", "subtract", "multiply", "divide", "/", "*", "+",
    "-", "linalg", "linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full"};
inline constexpr std::array<std::string_view, 13> kLargeDataIndicators = {
    "reshape", "resize", "huge", "large", "gigabyte", "gb", "million",
    "billion", "1e6", "1e9", "1024", "megabyte", "mb"};
inline constexpr std::array<std::string_view, 8> kEmbarrassinglyParallelIndicators = {
    "workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast"};
inline constexpr std::array<std::string_view, 8> kSequentialIndicators = {
    "global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies"};

// ---------------------------------------------------------------------------------------------
// Framework keyword tables

inline constexpr std::array<std::string_view, 25> kNumpyKeywords = {
    "numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot",
    "matmul", "linalg", "fft", "sum", "mean", "std", "var", "min", "max",
    "argmax", "argmin", "reshape", "transpose", "concatenate", "stack", "split"};
inline constexpr std::array<std::string_view, 18> kPandasKeywords = {
    "pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge",
    "join", "concat", "pivot", "melt", "query", "eval", "rolling", "resample", "sort_values"};
inline constexpr std::array<std::string_view, 18> kSklearnKeywords = {
    "sklearn", "fit", "predict", "transform", "score", "cross_val",
    "gridsearchcv", "randomizedsearchcv", "pipeline", "featureunion", "train_test_split", "classification",
    "regression", "clustering", "preprocessing", "model_selection", "metrics", "ensemble"};

// The precompiled patterns of quick_framework_score (compiled case-insensitive), by framework.
struct FrameworkPattern {
  const char* framework;
  const char* pattern;
};
inline constexpr std::array<FrameworkPattern, 3> kFrameworkPatterns = {{
    {"numpy", R"(\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b)"},
    {"pandas", R"(\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b)"},
    {"sklearn", R"(\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b)"},
}};

// ---------------------------------------------------------------------------------------------
// Joined lists

// Indexes [begin, end) of one table in its joined list.
struct TableRange {
  std::size_t begin;
  std::size_t end;
  constexpr std::size_t size() const { return end - begin; }
};

template <std::size_t... Sizes>
constexpr auto join(const std::array<std::string_view, Sizes>&... tables) {
  std::array<std::string_view, (Sizes + ...)> joined{};
  auto out = joined.begin();
  ((out = std::copy(tables.begin(), tables.end(), out)), ...);
  return joined;
}

template <std::size_t... Sizes>
constexpr auto ranges_of(const std::array<std::string_view, Sizes>&...) {
  std::array<TableRange, sizeof...(Sizes)> ranges{};
  std::size_t begin = 0;
  std::size_t i = 0;
  ((ranges[i++] = TableRange{begin, begin + Sizes}, begin += Sizes), ...);
  return ranges;
}

#define KLAVRIX_INDICATOR_TABLES                                                                 \
  kCpuIndicators, kMemoryIndicators, kParallelIndicators, kGpuOperationIndicators,               \
      kLargeDataIndicators, kEmbarrassinglyParallelIndicators, kSequentialIndicators
inline constexpr auto kIndicatorEntries = join(KLAVRIX_INDICATOR_TABLES);
inline constexpr auto kIndicatorRanges = ranges_of(KLAVRIX_INDICATOR_TABLES);
#undef KLAVRIX_INDICATOR_TABLES

inline constexpr auto kFrameworkEntries = join(kNumpyKeywords, kPandasKeywords, kSklearnKeywords);
inline constexpr auto kFrameworkRanges = ranges_of(kNumpyKeywords, kPandasKeywords, kSklearnKeywords);

// Positions in kIndicatorRanges, in the order of score_indicators' result.
enum Indicator : std::size_t { kCpu, kMemory, kParallel, kGpuOperation, kLargeData, kEmbarrassing, kSequential };
// Positions in kFrameworkRanges.
enum Framework : std::size_t { kNumpy, kPandas, kSklearn };

// ---------------------------------------------------------------------------------------------
// Workload pattern codes (the analyzer's full table; the decision table yields some of them)

enum class WorkloadPattern : int {
  mixed = 0,
  cpu_intensive = 1,
  memory_intensive = 2,
  parallel_friendly = 3,
  sequential = 4,
  gpu_suitable = 5,
  gpu_compute_intensive = 6,
  gpu_memory_bound = 7,
  numpy_vectorized = 8,
  numpy_linalg = 9,
  pandas_dataframe = 10,
  pandas_groupby = 11,
  sklearn_training = 12,
  sklearn_inference = 13,
};

}  // namespace klavrix::jobscore
