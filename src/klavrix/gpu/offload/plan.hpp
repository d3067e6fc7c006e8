// GPU memory planning rules: the safe limit, allocation estimates, the placement decision,
// chunk sizes along the first axis, and the memory-based scores. Plain C++ over native values;
// the module converts the Python arguments and builds the results.
//
// Every floating-point result that becomes an integer goes through a saturating conversion, so
// extreme inputs (2^64 - 1 bytes, infinite or NaN ratios and factors) give the nearest
// representable count instead of undefined behaviour. A NaN count becomes 0.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "native_util/saturate.hpp"

namespace klavrix::offload {

using native_util::saturating_cast;
using native_util::saturating_ceil;

constexpr int64_t kMaxElementCount = std::numeric_limits<int64_t>::max();  // 2^63 - 1
constexpr uint64_t kMaxBytes = std::numeric_limits<uint64_t>::max();

// ---------------------------------------------------------------------------------------------
// Safe limit

// At least 1% of the memory always stays free. NaN passes through (and gives a limit of 0).
inline double clamp_headroom_ratio(double ratio) {
  if (ratio < 0.0) return 0.0;
  if (ratio > 0.99) return 0.99;
  return ratio;
}

// The bytes that may be used out of `available`: available - ratio * available with one
// rounding, truncated toward zero. Above 2^53 the double nearest `available` may lie above it;
// the limit never exceeds what is available. A NaN ratio leaves no usable memory.
inline uint64_t safe_limit(uint64_t available, double headroom_ratio) {
  const double ratio = clamp_headroom_ratio(headroom_ratio);
  const double amount = static_cast<double>(available);
  const uint64_t limit = saturating_cast<uint64_t>(std::fma(-ratio, amount, amount));
  return std::min(limit, available);
}

// ceil(a / b) for b > 0, divided in double precision as the planning rules are written, but
// never fewer than the exact quotient's ceiling: past 2^53 the rounded operands can make the
// double quotient fall short, and passes that do not cover the request would lose data.
inline uint64_t ceiling_quotient(uint64_t a, uint64_t b) {
  const uint64_t in_double = saturating_ceil<uint64_t>(static_cast<double>(a) / static_cast<double>(b));
  const uint64_t exact = a / b + (a % b != 0 ? 1 : 0);
  return std::max(in_double, exact);
}

// ---------------------------------------------------------------------------------------------
// Allocation estimate

// Multiplies the dimensions of a shape one at a time; stops as soon as the count is final.
class ElementCount {
 public:
  // False once the count is final: a dimension <= 0 makes it 0, a product past 2^63 - 1 makes
  // it 2^63 - 1. Later dimensions are not looked at.
  bool multiply(int32_t dimension) {
    if (dimension <= 0) {
      count_ = 0;
      return false;
    }
    if (count_ > kMaxElementCount / dimension) {
      count_ = kMaxElementCount;
      return false;
    }
    count_ *= dimension;
    return true;
  }
  int64_t count() const { return count_; }

 private:
  int64_t count_ = 1;  // an empty shape is a scalar
};

// Bytes for `elements` (from a complete product, 0 < elements <= 2^63 - 1) of `element_size`
// bytes each. A product past 2^63 - 1 bytes is reported as 2^63 - 1; only a factor above 1.0
// scales the estimate. A negative element size lies outside the contract: the product then
// wraps as unsigned arithmetic.
inline uint64_t allocation_bytes(int64_t elements, int32_t element_size, double overhead_factor) {
  if (element_size > 0 && elements > kMaxElementCount / element_size) {
    return static_cast<uint64_t>(kMaxElementCount);
  }
  const uint64_t bytes = static_cast<uint64_t>(elements) * static_cast<uint64_t>(static_cast<int64_t>(element_size));
  if (overhead_factor > 1.0) return saturating_cast<uint64_t>(overhead_factor * static_cast<double>(bytes));
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Placement decision

enum class Strategy { gpu_direct, gpu_chunked, cpu_fallback };
enum class Reason { no_memory, fits, chunked, not_chunkable };

struct Decision {
  Strategy strategy;
  uint64_t chunk_bytes;
  uint64_t passes;
  Reason reason;
};

inline Decision decide_allocation(uint64_t requested, uint64_t available, double headroom_ratio, bool chunkable) {
  const uint64_t safe = safe_limit(available, headroom_ratio);
  if (safe == 0) return {Strategy::cpu_fallback, 0, 1, Reason::no_memory};
  if (requested <= safe) return {Strategy::gpu_direct, 0, 1, Reason::fits};
  if (chunkable) return {Strategy::gpu_chunked, safe, ceiling_quotient(requested, safe), Reason::chunked};
  return {Strategy::cpu_fallback, 0, 1, Reason::not_chunkable};
}

// Number of chunks for `total` bytes under the safe limit, kept within [min_chunks, max_chunks]
// (min_chunks wins when the bounds cross).
inline int32_t optimal_chunks(uint64_t total, uint64_t available, double headroom_ratio, int32_t min_chunks,
                              int32_t max_chunks) {
  const uint64_t safe = safe_limit(available, headroom_ratio);
  if (safe == 0) return max_chunks;
  const uint64_t needed = ceiling_quotient(total, safe);
  const int32_t chunks = static_cast<int32_t>(std::min<uint64_t>(needed, std::numeric_limits<int32_t>::max()));
  if (chunks < min_chunks) return min_chunks;
  return std::min(chunks, max_chunks);
}

// ---------------------------------------------------------------------------------------------
// Chunk shapes

// Bytes of one row (element size times every dimension after the first), multiplied in one
// dimension at a time. A zero dimension makes the row empty whatever else it holds; a product
// past 64 bits is wider than any chunk limit.
class RowSize {
 public:
  explicit RowSize(uint64_t element_size) : bytes_(element_size), empty_(element_size == 0) {}
  void multiply(uint64_t dimension) {
    if (dimension == 0) empty_ = true;
    if (empty_ || overflowed_) return;
    overflowed_ = !native_util::checked_multiply(bytes_, dimension, &bytes_);
  }
  bool empty() const { return empty_; }
  bool exceeds(uint64_t limit) const { return !empty() && (overflowed_ || bytes_ > limit); }
  uint64_t bytes() const { return bytes_; }

 private:
  uint64_t bytes_;  // meaningful while neither empty nor overflowed
  bool empty_;
  bool overflowed_ = false;
};

// Rows per chunk: a row that does not fit still makes a chunk of one row; rows of no bytes
// never fill a chunk, so the whole first axis becomes one chunk.
inline uint64_t rows_per_chunk(const RowSize& row, uint64_t max_chunk_bytes) {
  if (row.empty()) return std::numeric_limits<uint64_t>::max();
  if (row.exceeds(max_chunk_bytes)) return 1;
  return max_chunk_bytes / row.bytes();
}

// How the first axis is cut: `full` chunks of `rows` rows, then one chunk of `tail` rows if
// tail > 0.
struct ChunkLayout {
  int32_t rows;
  int32_t full;
  int32_t tail;
  int32_t chunks() const { return full + (tail > 0 ? 1 : 0); }
};

inline ChunkLayout chunk_layout(int32_t first_dimension, uint64_t rows_per_chunk) {
  if (first_dimension <= 0) return {0, 0, 0};
  const auto rows = static_cast<int32_t>(std::min<uint64_t>(rows_per_chunk, static_cast<uint64_t>(first_dimension)));
  return {rows, first_dimension / rows, first_dimension % rows};
}

// ---------------------------------------------------------------------------------------------
// Scores

inline double memory_pressure(uint64_t used, uint64_t total) {
  if (total == 0) return 1.0;
  return std::min(static_cast<double>(used) / static_cast<double>(total), 1.0);
}

// How much of the data fits the safe limit: 1.0 from 80% of the limit upward, the fitting
// fraction above the limit.
inline double memory_score(uint64_t data_bytes, uint64_t safe) {
  if (safe == 0) return 0.0;
  const double data = static_cast<double>(data_bytes);
  if (data_bytes > safe) return static_cast<double>(safe) / data;
  return std::min(data / (static_cast<double>(safe) * 0.8), 1.0);
}

enum class OperationKind { chunkable, non_chunkable, other };

inline double operation_factor(OperationKind kind) {
  switch (kind) {
    case OperationKind::chunkable:
      return 0.9;
    case OperationKind::non_chunkable:
      return 0.7;
    case OperationKind::other:
      break;
  }
  return 0.5;
}

inline double gpu_suitability(uint64_t data_bytes, OperationKind kind, uint64_t available, double headroom_ratio) {
  return operation_factor(kind) * memory_score(data_bytes, safe_limit(available, headroom_ratio));
}

// The headroom to keep free grows with pressure; the result lies in [0.3, 0.8]. A NaN (from a
// NaN base) becomes 0.8, the most cautious headroom.
inline double recommend_headroom(double pressure, double base_headroom) {
  double headroom;
  if (pressure > 0.8) {
    headroom = 0.8;
  } else if (pressure > 0.6) {
    headroom = base_headroom + (pressure * 0.5 - 0.25);
  } else if (pressure > 0.3) {
    headroom = base_headroom;
  } else {
    headroom = std::max(base_headroom - 0.1, 0.3);  // a NaN base stays NaN, as with Python's max
  }
  if (!(headroom <= 0.8)) headroom = 0.8;
  if (!(headroom >= 0.3)) headroom = 0.3;
  return headroom;
}

}  // namespace klavrix::offload
