#include "sim/page_format.h"

#include <algorithm>

#include "engine/byte_order.h"

namespace sim {

namespace {

constexpr std::uint16_t kAddressFixedMask = 0xF800;  // the top five bits of a valid word
constexpr std::uint16_t kAddressFixedBits = 0x1000;
constexpr std::uint8_t kEccUnusedBits = 0x03;  // bits 1-0 of the column-parity byte

bool OddParity(unsigned value) {
  bool odd = false;
  for (; value != 0; value &= value - 1) odd = !odd;
  return odd;
}

constexpr std::array<bool, 256> MakeParityTable() {
  std::array<bool, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    bool odd = false;
    for (unsigned v = value; v != 0; v &= v - 1) odd = !odd;
    table[value] = odd;
  }
  return table;
}
constexpr std::array<bool, 256> kOddParity = MakeParityTable();

// Column parity k (k = 0..5) covers these bit positions of every byte.
constexpr std::array<std::uint8_t, 6> kColumnMasks = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};

}  // namespace

Ecc SmartMediaEcc(const std::uint8_t* data) {
  // Line parity 2k+1 covers the bytes whose index has bit k set, line parity
  // 2k those with bit k clear; only bytes of odd bit count change them. So
  // the odd line parities are the bits of the XOR of those bytes' indexes,
  // and each even one is the odd one flipped when the count of such bytes is
  // odd.
  unsigned oddIndexes = 0;
  unsigned oddBytes = 0;
  std::uint8_t columns = 0;  // XOR of every byte: feeds the column parities
  for (unsigned i = 0; i < kEccChunk; ++i) {
    columns ^= data[i];
    if (kOddParity[data[i]]) {
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
    if (kOddParity[columns & kColumnMasks[k]]) columnParity |= 1u << k;
  }
  return Ecc{static_cast<std::uint8_t>(~lineParity & 0xFF), static_cast<std::uint8_t>(~(lineParity >> 8) & 0xFF),
             static_cast<std::uint8_t>((~(columnParity << 2) & 0xFC) | kEccUnusedBits)};
}

std::uint16_t EncodeBlockAddress(std::uint16_t lba) {
  std::uint16_t word = static_cast<std::uint16_t>(kAddressFixedBits | ((lba & kMaxZoneLba) << 1));
  if (OddParity(word)) word |= 1;
  return word;
}

std::optional<std::uint16_t> DecodeBlockAddress(std::uint16_t word) {
  if ((word & kAddressFixedMask) != kAddressFixedBits || OddParity(word)) return std::nullopt;
  return static_cast<std::uint16_t>((word >> 1) & kMaxZoneLba);
}

RedundantArea LogicalRedundant(std::uint16_t lba, const std::uint8_t* data) {
  RedundantArea area;
  area.fill(kErased);
  const std::uint16_t word = EncodeBlockAddress(lba);
  StoreBe16(&area[redundant::kBlockAddress1], word);
  StoreBe16(&area[redundant::kBlockAddress2], word);
  const Ecc first = SmartMediaEcc(data);
  const Ecc second = SmartMediaEcc(data + kEccChunk);
  std::copy(first.begin(), first.end(), area.begin() + redundant::kEccFirstHalf);
  std::copy(second.begin(), second.end(), area.begin() + redundant::kEccSecondHalf);
  return area;
}

PageBuffer CisPage() {
  PageBuffer page{};
  for (std::size_t offset : kCisCopyOffsets) std::copy(CisImage.begin(), CisImage.end(), page.begin() + offset);
  std::fill_n(page.begin() + kRedundantStart, kCisRedundantFfBytes, kErased);
  return page;
}

bool IsCisPage(const std::uint8_t* page) {
  const std::uint8_t* area = page + kRedundantStart;
  if (area[redundant::kBlockStatus] != kErased || area[redundant::kDataStatus] != kErased) return false;
  for (std::size_t offset : {redundant::kBlockAddress1, redundant::kBlockAddress2}) {
    if (area[offset] != 0 || area[offset + 1] != 0) return false;
  }
  for (std::size_t offset : kCisCopyOffsets) {
    if (!std::equal(CisSignature.begin(), CisSignature.end(), page + offset)) return false;
  }
  return true;
}

}  // namespace sim
