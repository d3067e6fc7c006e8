// Size arithmetic of the slab allocator on signed 32-bit values. Sums wrap in two's complement
// (computed on unsigned values, so they never overflow a signed type); truncating division and
// the final multiplication cannot overflow once the sum is in range.
#pragma once

#include <cstdint>

namespace klavrix::slabworks {

constexpr int32_t wrapping_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

constexpr bool is_power_of_two(int32_t value) { return value > 0 && (value & (value - 1)) == 0; }

// (value + alignment - 1) AND NOT (alignment - 1); any alignment, powers of two are the useful ones.
constexpr int32_t align_up(int32_t value, int32_t alignment) {
  const uint32_t mask = static_cast<uint32_t>(alignment) - 1u;
  return static_cast<int32_t>((static_cast<uint32_t>(value) + mask) & ~mask);
}

// ((size + step - 1) / step) * step with truncating division; `step` must be positive.
constexpr int32_t round_up_to_step(int32_t size, int32_t step) {
  return wrapping_add(size, step - 1) / step * step;
}

// Whether `size` bytes at the next `alignment` boundary after `offset` end within the block of
// `block_size` bytes at `offset` (ending exactly at its end counts).
constexpr bool fits_aligned(int32_t offset, int32_t block_size, int32_t size, int32_t alignment) {
  return wrapping_add(align_up(offset, alignment), size) <= wrapping_add(offset, block_size);
}

// Far above any practical configuration (the defaults make 512), low enough that a mistaken one
// fails at once instead of filling the machine with empty lists.
inline constexpr int64_t kMaxBuckets = int64_t{1} << 20;

// The bucket sizes of an allocator: multiples of `step` from `step` up to `small_max`, then
// `small_max` + k * `step` (k >= 1) up to `medium_max`; ascending.
struct BucketLayout {
  int32_t step;  // positive
  int32_t small_max;
  int32_t medium_max;

  // The size that `size` rounds up to (both ranges use the same step); -1 above both maxima.
  int32_t bucket_for(int32_t size) const {
    return size <= small_max || size <= medium_max ? round_up_to_step(size, step) : -1;
  }

  int64_t small_count() const { return small_max >= step ? small_max / step : 0; }
  int64_t medium_count() const { return medium_max > small_max ? (int64_t{medium_max} - small_max) / step : 0; }
  int64_t count() const { return small_count() + medium_count(); }

  // The position of bucket size `size` in ascending order, or -1 when no bucket has that size.
  int64_t index_of(int32_t size) const {
    if (size > 0 && size % step == 0 && size / step <= small_count()) return size / step - 1;
    const int64_t above_small = int64_t{size} - small_max;
    if (above_small > 0 && above_small % step == 0 && above_small / step <= medium_count()) {
      return small_count() + above_small / step - 1;
    }
    return -1;
  }

  // Calls visit(size) for each bucket size in ascending order.
  template <class Visit>
  void for_each(Visit visit) const {
    for (int64_t size = step; size <= small_max; size += step) visit(static_cast<int32_t>(size));
    for (int64_t size = int64_t{small_max} + step; size <= medium_max; size += step) visit(static_cast<int32_t>(size));
  }
};

}  // namespace klavrix::slabworks
