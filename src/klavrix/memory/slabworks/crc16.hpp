// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final XOR, one table
// lookup per byte. Check value: 0x4B37 for the nine ASCII bytes "123456789".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace klavrix::slabworks {

class Crc16Table {
 public:
  static constexpr uint16_t kPolynomial = 0xA001;
  static constexpr uint16_t kInitial = 0xFFFF;

  // Entry i: i shifted right eight times, each shift followed by an XOR with the polynomial
  // when the bit shifted out was 1.
  void fill() {
    for (unsigned i = 0; i < entries_.size(); ++i) {
      unsigned crc = i;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) != 0 ? (crc >> 1) ^ kPolynomial : crc >> 1;
      entries_[i] = static_cast<uint16_t>(crc);
    }
  }

  uint16_t compute(const uint8_t* data, std::size_t length) const {
    unsigned crc = kInitial;
    for (std::size_t i = 0; i < length; ++i) crc = (crc >> 8) ^ entries_[(crc ^ data[i]) & 0xFFu];
    return static_cast<uint16_t>(crc);
  }

 private:
  std::array<uint16_t, 256> entries_{};
};

}  // namespace klavrix::slabworks
