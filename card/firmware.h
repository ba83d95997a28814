// The reader firmware's logical view of the card: 512-byte logical sectors
// mapped onto physical pages through zones of blocks.
//
// Each unit is split into zones of 1024 physical blocks presenting 1000
// logical ones; a unit of fewer blocks is one zone presenting 125/128 of them
// (256 -> 250, 512 -> 500). The logical space is unit 0's zones, then unit
// 1's, and so on. Which physical block holds a logical block is read from the
// block address written in its pages; the map is built by scanning every
// block at insertion and after the format-end command, and again before the
// next logical access whenever the card was changed below the map by
// physical erase or program commands. Blocks up to and including the CIS
// block of unit 0 are never mapped. A logical write goes copy-on-write to a
// free block of the zone, which gets the ECC and the block address in every
// page; the old block is then erased. A sector never written reads as 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "card/fault_plan.h"
#include "card/nand.h"

namespace card {

// The CIS is looked for in the first good block among the first 1024 blocks of unit 0.
constexpr std::uint32_t kCisSearchBlocks = 1024;

// Physical blocks of each zone of a unit, and the logical blocks it presents.
std::uint32_t ZonePhysicalBlocks(const UnitGeometry& unit);
std::uint32_t ZoneLogicalBlocks(const UnitGeometry& unit);
std::uint32_t ZoneCount(const UnitGeometry& unit);
// Logical sectors the card presents: zones x logical blocks x pages per block, summed over the units.
std::uint64_t LogicalSectorCount(const CardGeometry& geometry);
// The CIS block of unit 0: the first good block, when its first page is a CIS page.
std::optional<std::uint32_t> FindCisBlock(const Nand& nand);

class Firmware {
 public:
  // Scans the card as the reader does when a card is inserted.
  explicit Firmware(Nand& nand);

  std::uint64_t LogicalSectors() const { return logicalSectors; }
  std::uint32_t LogicalBlocks() const;

  // Builds the map afresh from the block addresses on the card.
  void Rescan();
  // The card was changed below the map: scan again before the next logical access.
  void Invalidate() { stale = true; }

  // Sectors [lba, lba + count). A read fails when a sector lies beyond the
  // card or is stored in an unreadable page; a write fails when a sector
  // lies beyond the card or its zone has no usable free block left.
  bool ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out);
  bool WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* data);

  std::optional<std::uint32_t> CisBlock();
  std::uint32_t MappedBlocks();
  // The physical block holding logical block `logicalBlock`, if it is mapped.
  std::optional<BlockRef> Locate(std::uint32_t logicalBlock);

 private:
  enum class BlockState : std::uint8_t { Reserved, Bad, Free, Stale, Mapped };
  static constexpr std::int32_t kUnmapped = -1;

  struct Zone {
    std::uint8_t unit = 0;
    std::uint32_t firstBlock = 0;  // physical block number of the zone's first block in its unit
    std::uint32_t physicalBlocks = 0;
    std::uint32_t logicalBlocks = 0;
    std::uint32_t pagesPerBlock = 0;
    std::uint64_t firstSector = 0;        // logical sector of the zone's logical block 0
    std::uint32_t firstLogicalBlock = 0;  // card-wide logical block number of the same
    std::vector<std::int32_t> map;        // logical block -> physical block within the zone
    std::vector<BlockState> states;
    std::uint32_t cursor = 0;  // where the search for a free block resumes
  };

  void Refresh();
  void ScanZone(Zone& zone);
  Zone& ZoneOfSector(std::uint64_t lba);
  std::uint32_t UnitBlock(const Zone& zone, std::uint32_t index) const { return zone.firstBlock + index; }
  bool CopyOnWrite(Zone& zone, std::uint32_t lba, std::uint32_t firstPage, std::uint32_t pages,
                   const std::uint8_t* data);
  bool ProgramBlock(Zone& zone, std::uint32_t index, std::uint32_t lba, const std::vector<std::uint8_t>& data);
  std::optional<std::uint32_t> AllocateBlock(Zone& zone, std::int32_t keep);
  void Retire(Zone& zone, std::uint32_t index);

  Nand& nand;
  std::vector<Zone> zones;
  std::uint64_t logicalSectors = 0;
  std::optional<std::uint32_t> cisBlock;
  bool stale = true;
};

}  // namespace card
