// Byte positions inside one physical SmartMedia page: 512 data bytes
// followed by the 16-byte redundant area. Redundant offsets count from the
// start of the redundant area (page byte 512 + n).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/media_geometry.h"

namespace page_layout {
constexpr std::size_t kRedundantStart = kSectorSize;  // first redundant byte in a page
constexpr std::size_t kDataStatus = 4;                // 0xFF: data valid
constexpr std::size_t kBlockStatus = 5;               // 0xFF: good block; anything else: bad, never touched
constexpr std::size_t kBlockAddress1 = 6;             // block address, first copy (2 bytes)
constexpr std::size_t kBlockAddress2 = 11;            // block address, second copy (2 bytes)
constexpr std::uint8_t kGood = 0xFF;

inline std::uint8_t Redundant(const PageBuffer& page, std::size_t offset) { return page[kRedundantStart + offset]; }
inline bool IsGoodBlockPage(const PageBuffer& page) { return Redundant(page, kBlockStatus) == kGood; }
}  // namespace page_layout
