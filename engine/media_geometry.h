// What the reader reports about the card in its slot.
#pragma once

#include <array>
#include <cstdint>

// A separately numbered physical area of the card. Every physical command
// names a unit and a page or block inside it.
struct MediaUnit {
  std::uint8_t tag = 0;              // non-zero identification byte reported by the reader
  std::uint32_t totalSectors = 0;    // physical pages of the unit: blocks x sectorsPerBlock
  std::uint8_t sectorsPerBlock = 0;  // physical pages per erase block, a power of two
};

struct MediaGeometry {
  static constexpr int kUnitSlots = 8;         // room in the record
  static constexpr int kMaxReportedUnits = 6;  // records in the reader's media reply

  std::uint8_t unitCount = 0;  // present units; they occupy units[0 .. unitCount-1]
  std::array<MediaUnit, kUnitSlots> units{};
  std::uint32_t partitionSectors = 0;  // FAT partition size: capacity key - 32, set when a format starts
};

// Sizes of the data the reader moves.
constexpr std::size_t kSectorSize = 512;                         // logical sector, and the data area of a page
constexpr std::size_t kRedundantSize = 16;                       // redundant (spare) area of a page
constexpr std::size_t kPageSize = kSectorSize + kRedundantSize;  // one physical page: 528 bytes

using SectorBuffer = std::array<std::uint8_t, kSectorSize>;
using RedundantArea = std::array<std::uint8_t, kRedundantSize>;
using PageBuffer = std::array<std::uint8_t, kPageSize>;
