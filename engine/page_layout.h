// Byte positions inside one physical SmartMedia page: 512 data bytes
// followed by the 16-byte redundant area. Redundant offsets count from the
// start of the redundant area (page byte 512 + n).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/byte_order.h"
#include "engine/ecc.h"
#include "engine/media_geometry.h"

namespace page_layout {
constexpr std::size_t kRedundantStart = kSectorSize;  // first redundant byte in a page
constexpr std::size_t kDataStatus = 4;                // 0xFF: data valid
constexpr std::size_t kBlockStatus = 5;               // 0xFF: good block; anything else: bad, never touched
constexpr std::size_t kBlockAddress1 = 6;             // block address, first copy (2 bytes)
constexpr std::size_t kEccSecondHalf = 8;             // ECC of data bytes 256-511 (3 bytes)
constexpr std::size_t kBlockAddress2 = 11;            // block address, second copy (2 bytes)
constexpr std::size_t kEccFirstHalf = 13;             // ECC of data bytes 0-255 (3 bytes)
constexpr std::uint8_t kGood = 0xFF;
constexpr std::uint8_t kRetired = 0x00;  // block status of a block taken out of use

inline std::uint8_t Redundant(const PageBuffer& page, std::size_t offset) { return page[kRedundantStart + offset]; }
inline bool IsGoodBlockPage(const PageBuffer& page) { return Redundant(page, kBlockStatus) == kGood; }

// What WriteRedundant sends to take a block out of use: the block-status
// byte cleared, as SmartMedia marks a bad block, and every other byte 0xFF,
// which programming leaves as it is.
inline RedundantArea RetiredBlockMark() {
  RedundantArea mark;
  mark.fill(kGood);
  mark[kBlockStatus] = kRetired;
  return mark;
}

// A block address word names logical block `lba` of its zone as
// 0x1000 | (lba << 1) | parity, the parity making the word's bit count even.
constexpr std::uint16_t kAddressFixedMask = 0xF800;
constexpr std::uint16_t kAddressFixedBits = 0x1000;
constexpr std::uint16_t kAddressLbaMask = 0x3FF;

inline std::optional<std::uint16_t> DecodeAddressWord(std::uint16_t word) {
  if ((word & kAddressFixedMask) != kAddressFixedBits || ecc_detail::OddBitCount(word)) return std::nullopt;
  return static_cast<std::uint16_t>((word >> 1) & kAddressLbaMask);
}

// The logical block of its zone a block claims by this page: the first copy
// of the address, or the second when the first is no valid word. None on a
// blank page, or one whose address words are both invalid: the firmware
// maps no logical block there.
inline std::optional<std::uint16_t> ClaimedLogicalBlock(const PageBuffer& page) {
  const std::optional<std::uint16_t> first = DecodeAddressWord(LoadBe16(&page[kRedundantStart + kBlockAddress1]));
  return first ? first : DecodeAddressWord(LoadBe16(&page[kRedundantStart + kBlockAddress2]));
}

// The redundant field that holds the ECC of data half 0 (bytes 0-255) or 1.
constexpr std::size_t EccField(std::size_t half) { return half == 0 ? kEccFirstHalf : kEccSecondHalf; }

// Whether both ECC fields hold the ECC of the data halves they cover.
inline bool EccMatchesData(const PageBuffer& page) {
  for (std::size_t half = 0; half < kSectorSize / kEccChunk; ++half) {
    const Ecc ecc = SmartMediaEcc(page.data() + half * kEccChunk);
    if (!std::equal(ecc.begin(), ecc.end(), page.begin() + kRedundantStart + EccField(half))) return false;
  }
  return true;
}
}  // namespace page_layout
