// How a reader's firmware divides a unit of a SmartMedia card into zones:
// 1024 physical blocks presenting 1000 logical ones, or, on a unit of fewer
// blocks, one zone presenting 125/128 of them (256 -> 250, 512 -> 500). The
// blocks a zone holds beyond its logical ones are its spares: a zone can
// lose that many blocks and still present all of its logical blocks. Hosts
// look for the CIS only in the first zone's spare blocks, the blocks before
// its data area: the first 24 blocks of unit 0, 6 on a unit of 256 blocks.
#pragma once

#include <algorithm>
#include <cstdint>

namespace zone_layout {

constexpr std::uint32_t kMaxZoneBlocks = 1024;
// 1000 logical of every 1024 physical blocks.
constexpr std::uint32_t kLogicalShareNumerator = 125;
constexpr std::uint32_t kLogicalShareDenominator = 128;

// Physical blocks of each zone of a unit of `unitBlocks` blocks.
constexpr std::uint32_t ZoneBlocks(std::uint32_t unitBlocks) { return std::min(unitBlocks, kMaxZoneBlocks); }
// The logical blocks each of those zones presents.
constexpr std::uint32_t ZoneLogicalBlocks(std::uint32_t unitBlocks) {
  return ZoneBlocks(unitBlocks) * kLogicalShareNumerator / kLogicalShareDenominator;
}
// The blocks a zone may hold unusable.
constexpr std::uint32_t ZoneSpareBlocks(std::uint32_t unitBlocks) {
  return ZoneBlocks(unitBlocks) - ZoneLogicalBlocks(unitBlocks);
}
// The most blocks a zone may lose: it must keep one block more than its
// logical ones, the free block every rewrite of a logical block is copied into.
constexpr std::uint32_t ZoneUnusableLimit(std::uint32_t unitBlocks) {
  return ZoneSpareBlocks(unitBlocks) > 0 ? ZoneSpareBlocks(unitBlocks) - 1 : 0;
}
constexpr std::uint32_t ZoneCount(std::uint32_t unitBlocks) {
  return ZoneBlocks(unitBlocks) == 0 ? 0 : unitBlocks / ZoneBlocks(unitBlocks);
}
// The logical sectors a unit presents: its zones' logical blocks of `pagesPerBlock` sectors each.
constexpr std::uint64_t UnitLogicalSectors(std::uint32_t unitBlocks, std::uint32_t pagesPerBlock) {
  return std::uint64_t{ZoneCount(unitBlocks)} * ZoneLogicalBlocks(unitBlocks) * pagesPerBlock;
}
// The blocks of unit 0 in which hosts look for the CIS.
constexpr std::uint32_t CisWindowBlocks(std::uint32_t unit0Blocks) { return ZoneSpareBlocks(unit0Blocks); }

static_assert(CisWindowBlocks(1024) == 24 && CisWindowBlocks(8192) == 24, "1024 - 1000 blocks");
static_assert(ZoneUnusableLimit(1024) == 23 && ZoneUnusableLimit(256) == 5, "a free block beyond the logical ones");
static_assert(CisWindowBlocks(256) == 6 && CisWindowBlocks(512) == 12, "256 - 250 and 512 - 500 blocks");

}  // namespace zone_layout
