// Operations on a 64-bit object bitmap (bit i set: object i is free). An index outside 0..63,
// negative ones included, names no bit: it tests false and setting or clearing it changes
// nothing, so no shift ever reaches 64.
#pragma once

#include <bit>
#include <cstdint>

namespace klavrix::slabworks {

inline constexpr int kBitmapBits = 64;

// The mask of bit `index`, or 0 when the index names no bit.
constexpr uint64_t bit_mask(int32_t index) {
  return index >= 0 && index < kBitmapBits ? uint64_t{1} << index : 0;
}

constexpr bool bit_is_set(uint64_t bitmap, int32_t index) { return (bitmap & bit_mask(index)) != 0; }
constexpr uint64_t with_bit_set(uint64_t bitmap, int32_t index) { return bitmap | bit_mask(index); }
constexpr uint64_t with_bit_cleared(uint64_t bitmap, int32_t index) { return bitmap & ~bit_mask(index); }

// Index of the lowest set bit; -1 when no bit is set.
constexpr int32_t lowest_set_bit(uint64_t bitmap) { return bitmap == 0 ? -1 : std::countr_zero(bitmap); }

// The low `count` bits set: every object of a slab of `count` objects free. All 64 bits from 64
// on, none for a count of 0 or less.
constexpr uint64_t low_bits(int32_t count) {
  if (count <= 0) return 0;
  if (count >= kBitmapBits) return ~uint64_t{0};
  return (uint64_t{1} << count) - 1;
}

}  // namespace klavrix::slabworks
