// The SmartMedia error-correcting code: three bytes of Hamming parity over
// each 256-byte half of a page's data area, kept in the redundant area (bytes
// 13-15 for data bytes 0-255, bytes 8-10 for bytes 256-511). One function
// serves the format (the CIS page), the simulated reader's firmware (every
// page it writes) and the card check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kEccChunk = 256;  // data bytes one ECC covers
constexpr std::size_t kEccSize = 3;

using Ecc = std::array<std::uint8_t, kEccSize>;

namespace ecc_detail {

constexpr bool OddBitCount(unsigned value) {
  bool odd = false;
  for (; value != 0; value &= value - 1) odd = !odd;
  return odd;
}

constexpr std::array<bool, 256> MakeParityTable() {
  std::array<bool, 256> table{};
  for (unsigned value = 0; value < 256; ++value) table[value] = OddBitCount(value);
  return table;
}
inline constexpr std::array<bool, 256> kOddParity = MakeParityTable();

// Column parity k (k = 0..5) covers these bit positions of every byte.
inline constexpr std::array<std::uint8_t, 6> kColumnMasks = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};
constexpr std::uint8_t kEccUnusedBits = 0x03;  // bits 1-0 of the column-parity byte

}  // namespace ecc_detail

// The ECC of 256 bytes: 16 line-parity bits (byte 0: LP07..LP00, byte 1:
// LP15..LP08) and 6 column-parity bits (byte 2: CP5..CP0 in bits 7-2, bits
// 1-0 set), every parity bit inverted, so erased data gives FF FF FF.
constexpr Ecc SmartMediaEcc(const std::uint8_t* data) {
  using namespace ecc_detail;
  // Line parity 2k+1 covers the bytes whose index has bit k set, line parity
  // 2k those with bit k clear; only bytes of odd bit count change them. So
  // the odd line parities are the bits of the XOR of those bytes' indexes,
  // and each even one is the odd one flipped when the count of such bytes is
  // odd.
  const bool* oddParity = kOddParity.data();  // plain pointer: cheap in unoptimised builds too
  unsigned oddIndexes = 0;
  unsigned oddBytes = 0;
  unsigned columns = 0;  // XOR of every byte: feeds the column parities
  for (unsigned i = 0; i < kEccChunk; ++i) {
    columns ^= data[i];
    if (oddParity[data[i]]) {
      oddIndexes ^= i;
      oddBytes ^= 1;
    }
  }
  const unsigned evenIndexes = oddBytes ? (~oddIndexes & 0xFF) : oddIndexes;
  unsigned lineParity = 0;  // bit n = LPn
  for (unsigned k = 0; k < 8; ++k) {
    lineParity |= ((evenIndexes >> k) & 1u) << (2 * k);
    lineParity |= ((oddIndexes >> k) & 1u) << (2 * k + 1);
  }
  unsigned columnParity = 0;  // bit k = CPk
  for (unsigned k = 0; k < kColumnMasks.size(); ++k) {
    if (oddParity[columns & kColumnMasks[k]]) columnParity |= 1u << k;
  }
  return Ecc{static_cast<std::uint8_t>(~lineParity & 0xFF), static_cast<std::uint8_t>(~(lineParity >> 8) & 0xFF),
             static_cast<std::uint8_t>((~(columnParity << 2) & 0xFC) | kEccUnusedBits)};
}
