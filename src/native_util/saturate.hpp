// Integer arithmetic without undefined behaviour, for the plain-C++ cores of the modules (no
// Python here).
//
// Saturating conversions from double to integer types, for results computed in floating point
// that must land in an integer range. A plain cast is undefined outside the target's range and
// for NaN; these give the nearest end of the range instead, and 0 for NaN.
//
//   saturating_cast<uint64_t>(1e30)          -> 18446744073709551615
//   saturating_cast<int32_t>(-2.7)           -> -2      (truncation toward zero)
//   saturating_ceil<int32_t>(1e10)           -> 2147483647
//
// checked_multiply(a, b, &product) for unsigned integers: false when the product does not fit.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

namespace native_util {

namespace detail {
// 2^bits, exact in double for every integer width.
constexpr double power_of_two(int bits) {
  double value = 1.0;
  for (int i = 0; i < bits; ++i) value *= 2.0;
  return value;
}
}  // namespace detail

// `value` truncated toward zero; beyond the range, the range's nearest end; NaN gives 0.
template <class T>
constexpr T saturating_cast(double value) {
  static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
  using limits = std::numeric_limits<T>;
  // Every value strictly between `lower` and `upper` truncates to a representable one.
  constexpr double upper = detail::power_of_two(limits::digits);               // max() + 1
  constexpr double lower = limits::is_signed ? -upper : 0.0;                    // min()
  if (value != value) return 0;
  if (value >= upper) return limits::max();
  if (value <= lower) return limits::min();
  return static_cast<T>(value);
}

// The smallest integer not below `value`, saturating like saturating_cast.
template <class T>
T saturating_ceil(double value) {
  return saturating_cast<T>(std::ceil(value));
}

// *product = a * b when that fits in T (unsigned); false, with *product unchanged, when not.
template <class T>
constexpr bool checked_multiply(T a, T b, T* product) {
  static_assert(std::is_unsigned_v<T>);
  if (a != 0 && b > std::numeric_limits<T>::max() / a) return false;
  *product = a * b;
  return true;
}

}  // namespace native_util
