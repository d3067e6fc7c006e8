// The scoring rules of the workload analyzer, free of any Python object.
//
// Text scores: the caller lower-cases the text (or hands over an all-ASCII text as it stands,
// see matcher.hpp) and lets find_indicators / find_framework_keywords mark the entries that
// occur; the count and score functions turn those marks into results.
//
// Numeric rules: every factor is a multiplication by the double written beside it (never a
// division), and every clamp is "at most the upper bound, then at least the lower bound" with
// the comparisons that Python's min() and max() make, so a NaN passes through unchanged.
#pragma once

#include <array>
#include <cstddef>

#include "klavrix/plugins/analyzer/jobscore/matcher.hpp"
#include "klavrix/plugins/analyzer/jobscore/tables.hpp"

namespace klavrix::jobscore {

// ---------------------------------------------------------------------------------------------
// Clamps

// min(value, bound) and max(value, bound) as Python computes them for floats.
constexpr double at_most(double value, double bound) { return bound < value ? bound : value; }
constexpr double at_least(double value, double bound) { return bound > value ? bound : value; }
constexpr double clamp_unit(double value) { return at_least(at_most(value, 1.0), 0.0); }

// ---------------------------------------------------------------------------------------------
// Tables as sets of found entries

// The tables of a joined list, each as the set of its indexes into the list.
template <class Set, std::size_t N>
constexpr std::array<Set, N> table_sets(const std::array<TableRange, N>& ranges) {
  std::array<Set, N> tables{};
  for (std::size_t t = 0; t < N; ++t) tables[t] = Set::range(ranges[t].begin, ranges[t].end);
  return tables;
}

// ---------------------------------------------------------------------------------------------
// Indicator counts

inline constexpr auto kIndicatorMatcher = make_substring_matcher<kIndicatorEntries>();
using IndicatorSet = decltype(kIndicatorMatcher)::Found;
inline constexpr auto kIndicatorTables = table_sets<IndicatorSet>(kIndicatorRanges);

// The tables whose entries are also looked for in the function's name.
inline constexpr IndicatorSet kSearchedInName = kIndicatorTables[kGpuOperation] | kIndicatorTables[kEmbarrassing];

template <class Char>
void find_indicators(const Char* lowered, std::size_t length, IndicatorSet& found) {
  kIndicatorMatcher.scan(lowered, length, found);
}

// Entries of each table found in the source, or (for the tables searched there) in the name.
inline std::array<int, kIndicatorRanges.size()> count_indicators(const IndicatorSet& in_source,
                                                                  const IndicatorSet& in_name) {
  const IndicatorSet found = in_source | (in_name & kSearchedInName);
  std::array<int, kIndicatorRanges.size()> counts{};
  for (std::size_t t = 0; t < kIndicatorRanges.size(); ++t) {
    counts[t] = (found & kIndicatorTables[t]).count();
  }
  return counts;
}

// The reciprocals of the table sizes, by which normalize_scores multiplies.
inline constexpr double kCpuFactor = 0.06666666666666667;         // 1/15
inline constexpr double kMemoryFactor = 0.1;                      // 1/10
inline constexpr double kParallelFactor = 0.09090909090909091;    // 1/11
inline constexpr double kGpuOperationFactor = 0.027777777777777776;  // 1/36
inline constexpr double kLargeDataFactor = 0.07692307692307693;   // 1/13

constexpr double normalize(int count, double factor) { return clamp_unit(count * factor); }

// ---------------------------------------------------------------------------------------------
// Framework scores

inline constexpr auto kFrameworkMatcher = make_substring_matcher<kFrameworkEntries>();
using FrameworkSet = decltype(kFrameworkMatcher)::Found;

template <class Char>
void find_framework_keywords(const Char* lowered, std::size_t length, FrameworkSet& found) {
  kFrameworkMatcher.scan(lowered, length, found);
}

inline constexpr auto kFrameworkTables = table_sets<FrameworkSet>(kFrameworkRanges);

inline constexpr std::array<double, 3> kFrameworkFactors = {0.04, 0.05555555555555555, 0.05555555555555555};

// (numpy_score, pandas_score, sklearn_score)
inline std::array<double, 3> framework_scores(const FrameworkSet& found) {
  std::array<double, 3> scores{};
  for (std::size_t f = 0; f < kFrameworkRanges.size(); ++f) {
    scores[f] = clamp_unit((found & kFrameworkTables[f]).count() * kFrameworkFactors[f]);
  }
  return scores;
}

// quick_framework_score from the number of pattern matches.
constexpr double quick_score(std::size_t matches) { return at_most(static_cast<double>(matches) * 0.1, 1.0); }

// ---------------------------------------------------------------------------------------------
// Workload decision

struct WorkloadInputs {
  double cpu_intensity;
  double memory_intensity;
  double parallelization_potential;
  double gpu_suitability;
  double gpu_operation_score;
  double numpy_score;
  double pandas_score;
  double sklearn_score;
  int sequential_count;
  int embarrassing_count;
  double cpu_threshold;
  double memory_threshold;
  double gpu_threshold;
  double numpy_threshold;
  double pandas_threshold;
  double sklearn_threshold;
  bool gpu_available;
};

// The first rule that holds decides; a score equal to its threshold does not qualify.
constexpr WorkloadPattern workload_pattern(const WorkloadInputs& in) {
  if (in.sklearn_score > in.sklearn_threshold) return WorkloadPattern::sklearn_training;
  if (in.pandas_score > in.pandas_threshold) return WorkloadPattern::pandas_dataframe;
  if (in.numpy_score > in.numpy_threshold) return WorkloadPattern::numpy_vectorized;
  if (in.gpu_available && in.gpu_suitability > in.gpu_threshold) {
    if (in.gpu_operation_score > 0.7 && in.cpu_intensity > 0.6) return WorkloadPattern::gpu_compute_intensive;
    if (in.memory_intensity > 0.5) return WorkloadPattern::gpu_memory_bound;
    return WorkloadPattern::gpu_suitable;
  }
  if (in.embarrassing_count > 0 || in.parallelization_potential > 0.6) return WorkloadPattern::parallel_friendly;
  if (in.cpu_intensity > in.cpu_threshold) return WorkloadPattern::cpu_intensive;
  if (in.memory_intensity > in.memory_threshold) return WorkloadPattern::memory_intensive;
  if (in.sequential_count >= 3) return WorkloadPattern::sequential;
  return WorkloadPattern::mixed;
}

// ---------------------------------------------------------------------------------------------
// GPU suitability and speed-up

// By the device's major compute capability version.
constexpr double capability_multiplier(int major) {
  if (major >= 8) return 1.2;
  if (major == 7) return 1.1;
  if (major == 6) return 1.0;
  return 0.8;
}

constexpr double gpu_suitability(double gpu_operation_score, double gpu_data_size_score, double cpu_intensity,
                                 double multiplier) {
  const double base = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4;
  const double cpu_term = at_least(at_most(cpu_intensity * 0.3, 0.3), 0.0);
  return clamp_unit(multiplier * (base + cpu_term));
}

constexpr double gpu_speedup(double gpu_operation_score, double gpu_data_size_score, bool gpu_available) {
  if (!gpu_available || gpu_operation_score == 0.0) return 1.0;
  double base = 2.0;
  if (gpu_operation_score > 0.8) {
    base = 15.0;
  } else if (gpu_operation_score > 0.6) {
    base = 8.0;
  } else if (gpu_operation_score > 0.3) {
    base = 4.0;
  }
  return base + base * (gpu_data_size_score * 0.5);
}

// ---------------------------------------------------------------------------------------------
// Parallelization potential and the adaptive threshold

constexpr double parallelization_potential(double base_parallel_score, double embarrassing_bonus,
                                           double sequential_penalty, double loop_chunking_potential) {
  const double bonus = at_least(at_most(embarrassing_bonus * 0.3, 0.7), 0.0);
  const double penalty = at_least(at_most(sequential_penalty * 0.2, 0.5), 0.0);
  const double score = (bonus + base_parallel_score) - penalty + loop_chunking_potential * 0.4;
  return clamp_unit(score);
}

// The lower bound is tested first, against the unclamped value.
constexpr double adaptive_threshold(double current_threshold, double success_rate, double learning_rate,
                                    double min_threshold, double max_threshold) {
  double value = current_threshold;
  if (success_rate > 0.8) {
    value = current_threshold + learning_rate;
  } else if (success_rate < 0.4) {
    value = current_threshold - learning_rate;
  }
  if (value < min_threshold) return min_threshold;
  return at_most(value, max_threshold);
}

}  // namespace klavrix::jobscore
