// The header of one slab: its size class, flags, a modification count, the last written CRC and
// the 64-bit free-object bitmap, with the 16-byte little-endian binary form
//
//   offset 0  size_class_index  1 byte
//          1  flags             1 byte   0x10 objects handed out, 0x80 corruption seen
//          2  modification_count 4 bytes
//          6  checksum          2 bytes  CRC-16/MODBUS of bytes 0-5
//          8  bitmap            8 bytes  (not covered by the CRC)
//
// Plain data: no allocation, no locking, usable without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klavrix/memory/slabworks/bitmap.hpp"
#include "klavrix/memory/slabworks/crc16.hpp"

namespace klavrix::slabworks {

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kChecksummedBytes = 6;
inline constexpr uint8_t kFlagInUse = 0x10;
inline constexpr uint8_t kFlagCorrupt = 0x80;

struct SlabHeader {
  uint8_t size_class_index = 0;
  uint8_t flags = 0;
  uint32_t modification_count = 0;  // wraps
  uint16_t checksum = 0;
  uint64_t bitmap = 0;
  int32_t objects_per_slab = 0;

  static SlabHeader fresh(int32_t size_class_index, int32_t objects_per_slab) {
    SlabHeader header;
    header.size_class_index = static_cast<uint8_t>(size_class_index);  // the low 8 bits
    header.objects_per_slab = objects_per_slab;
    header.bitmap = low_bits(objects_per_slab);
    return header;
  }

  bool is_object_free(int32_t index) const { return bit_is_set(bitmap, index); }

  // No check that the object was free.
  void allocate_object(int32_t index) {
    bitmap = with_bit_cleared(bitmap, index);
    flags |= kFlagInUse;
    ++modification_count;
  }

  // No check that the object was in use.
  void deallocate_object(int32_t index) {
    bitmap = with_bit_set(bitmap, index);
    ++modification_count;
    if (bitmap == low_bits(objects_per_slab)) flags &= static_cast<uint8_t>(~kFlagInUse);
  }

  int32_t find_free_object() const { return lowest_set_bit(bitmap); }

  uint16_t compute_checksum(const Crc16Table& table) const {
    uint8_t bytes[kHeaderSize];
    encode(bytes);
    return table.compute(bytes, kChecksummedBytes);
  }

  // The binary form, with the `checksum` field as it stands.
  void encode(uint8_t out[kHeaderSize]) const {
    out[0] = size_class_index;
    out[1] = flags;
    store_le(out + 2, modification_count, 4);
    store_le(out + 6, checksum, 2);
    store_le(out + 8, bitmap, 8);
  }

  // Loads the fields of a binary header except the checksum (left as it is); returns the CRC
  // stored in the data.
  uint16_t decode(const uint8_t in[kHeaderSize]) {
    size_class_index = in[0];
    flags = in[1];
    modification_count = static_cast<uint32_t>(load_le(in + 2, 4));
    bitmap = load_le(in + 8, 8);
    return static_cast<uint16_t>(load_le(in + 6, 2));
  }

 private:
  static void store_le(uint8_t* out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  static uint64_t load_le(const uint8_t* in, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= uint64_t{in[i]} << (8 * i);
    return value;
  }
};

}  // namespace klavrix::slabworks
