// The arithmetic of the pool-steering rules, free of Python objects: the performance trend, the
// urgency and pool scores, and the resource prediction. Every constant is the nearest double to
// the decimal written here, and every expression rounds in the order written (the build turns
// off contraction into fused multiply-adds); only the pool score's sum is compensated (see
// compensated_sum).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "native_util/saturate.hpp"

namespace klavrix::poolsteer {

// Least-squares slope of value over time, divided by the mean value: the change per unit of time
// as a fraction of the mean. Points are added in history order; times count from the first one.
class TrendAccumulator {
 public:
  void add(double timestamp, double value) {
    if (count_ == 0) origin_ = timestamp;
    const double x = timestamp - origin_;
    sum_x_ += x;
    sum_y_ += value;
    sum_xy_ += x * value;
    sum_xx_ += x * x;
    ++count_;
  }

  std::size_t count() const { return count_; }

  // Needs at least one point. 0.0 when all times are equal or the mean value is zero; clamped to
  // [-1, 1] (a NaN among the points stays NaN).
  double trend() const {
    const double n = static_cast<double>(count_);
    const double mean_x = sum_x_ / n;
    const double mean_y = sum_y_ / n;
    const double denominator = sum_xx_ - n * mean_x * mean_x;
    const double numerator = sum_xy_ - n * mean_x * mean_y;
    if (std::fabs(denominator) < 1e-10 || std::fabs(mean_y) < 1e-10) return 0.0;
    double trend = numerator / (mean_y * denominator);
    if (trend > 1.0) trend = 1.0;
    if (trend < -1.0) trend = -1.0;
    return trend;
  }

 private:
  std::size_t count_ = 0;
  double origin_ = 0.0;
  double sum_x_ = 0.0;
  double sum_y_ = 0.0;
  double sum_xy_ = 0.0;
  double sum_xx_ = 0.0;
};

// At most 1.0, then at least 0.0.
inline double clamp_unit(double value) {
  if (value > 1.0) value = 1.0;
  if (value < 0.0) value = 0.0;
  return value;
}

// `weight` times `value` capped at 1.0, counted only when `value` is positive (NaN counts nothing).
inline double weighted_share(double value, double weight) { return value > 0.0 ? std::min(value, 1.0) * weight : 0.0; }

inline double adaptation_urgency(double degradation, double memory_pressure, double fragmentation, bool workload_changed) {
  double urgency = 0.0;
  urgency += weighted_share(degradation, 0.4);
  urgency += weighted_share(memory_pressure, 0.3);
  urgency += weighted_share(fragmentation, 0.15);
  if (workload_changed) urgency += 0.15;
  return clamp_unit(urgency);
}

// A sum of a few terms with Neumaier's compensation, so that it rounds as if once. The pool
// weights add up to 1.0 as decimals, but as doubles added left to right they give
// 0.9999999999999999, and four perfect fits must score exactly 1.0.
template <std::size_t N>
double compensated_sum(const double (&terms)[N]) {
  double sum = 0.0;
  double compensation = 0.0;
  for (const double term : terms) {
    const double next = sum + term;
    compensation += std::fabs(sum) >= std::fabs(term) ? (sum - next) + term : (term - next) + sum;
    sum = next;
  }
  return sum + compensation;
}

inline double pool_score(double workload_fit, double memory_fit, double thread_count_fit, double success_rate) {
  const double shares[] = {weighted_share(workload_fit, 0.35), weighted_share(memory_fit, 0.3),
                           weighted_share(thread_count_fit, 0.2), weighted_share(success_rate, 0.15)};
  return clamp_unit(compensated_sum(shares));
}

struct Prediction {
  int32_t allocations;
  int32_t bytes;
  double confidence;
};

// `entries` allocations of `total_bytes` observed over `span` (> 0) seconds, extrapolated to
// `horizon` seconds; confidence grows with the history up to 0.8 at 100 entries. The counts
// truncate toward zero and saturate at the ends of int32_t; an undefined extrapolation (NaN,
// e.g. an infinite horizon over an infinite span, or a NaN size) predicts 0.
inline Prediction predict_requirements(double horizon, std::size_t entries, double span, double total_bytes) {
  const double n = static_cast<double>(entries);
  const int32_t allocations = native_util::saturating_cast<int32_t>(horizon * n / span);
  const int32_t bytes = native_util::saturating_cast<int32_t>(total_bytes * allocations / n);
  const double confidence = n * 0.01 < 1.0 ? n * 0.008 : 0.8;
  return {allocations, bytes, confidence};
}

}  // namespace klavrix::poolsteer
