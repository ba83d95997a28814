// Where a host finds the logical sectors of a card. Each unit is split into
// zones (1024 physical blocks presenting 1000 logical ones, or one zone of
// 125/128 of a smaller unit); in each zone the block whose first page names
// a logical block holds it. The map is built from the first page of every
// block, in physical order, as hosts and the reader's firmware build it when
// a card is inserted: the blocks of unit 0 up to the first good block, when
// that holds a CIS (or starts like one), hold no logical block, and of two
// blocks that claim the same logical block the first holds it. It shares
// nothing with the simulated reader's firmware, so that it can judge it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "card/card_geometry.h"
#include "card/fault_plan.h"
#include "card/page_ecc.h"
#include "card/page_source.h"

namespace card {

// What a block is to the map, from its first page.
enum class BlockUse : std::uint8_t {
  Unseen,      // not handed over (yet)
  Reserved,    // unit 0 up to the CIS: no logical block lives there
  Bad,         // marked bad
  Unreadable,  // its first page could not be read, nor a later one that names its logical block
  Free,        // its first page was never programmed: a home for a logical block
  Holder,      // it holds the logical block its first page names
  Stale,       // it holds data but no logical block: no valid address, or one another block holds
};

// The logical block a page names: the first copy of its block address, or
// the second when the first is not valid.
std::optional<std::uint16_t> ClaimOf(const std::uint8_t* page);
// The block's claim: its first page's, or, when that cannot be read, that of
// the first later page read that names one (the firmware writes the address
// into every page of a block); none when no page read names one.
std::optional<std::uint16_t> ClaimOf(const BlockPages& block);
// Whether a pass should read another page of the block to find its claim:
// none of the pages read so far could be read.
bool ClaimUnread(const BlockPages& sofar);

class LogicalMap {
 public:
  struct Zone {
    std::uint8_t unit = 0;
    std::uint32_t firstBlock = 0;  // in its unit
    std::uint32_t blocks = 0;
    std::uint32_t logicalBlocks = 0;
    std::uint32_t pagesPerBlock = 0;
    std::uint64_t firstSector = 0;      // the logical sector of its logical block 0
    std::vector<std::int32_t> holders;  // logical block -> block index within the zone, or -1
  };
  // A block that claims a logical block which an earlier block of its zone holds.
  struct Duplicate {
    std::uint8_t unit = 0;
    std::uint32_t block = 0;
    std::uint32_t holder = 0;
    std::uint16_t logicalBlock = 0;
  };

  explicit LogicalMap(const CardGeometry& geometry);

  // Each block in physical order, unit after unit: the pages a pass read of
  // it (its first, and later ones when the first could not be read), and
  // whether the block is marked bad.
  void Take(const BlockPages& block, bool bad);

  // What hosts find where they look for the CIS: the first good block of
  // unit 0 whose first page they can read, among the blocks before the
  // first zone's data area. Decided once that block (or the end of those
  // blocks) was handed over.
  enum class CisFinding : std::uint8_t { Undecided, Cis, LikeCis, NoCis, NoGoodBlock };
  CisFinding Cis() const { return cis; }
  // The block it looked at; for NoGoodBlock, the number of blocks it looked at.
  std::uint32_t CisBlock() const { return cisBlock; }
  // The first good block of unit 0 when it holds a CIS or starts like one.
  std::optional<std::uint32_t> CisHome() const { return cisHome; }
  bool Reserved(std::uint8_t unit, std::uint32_t block) const { return unit == 0 && cisHome && block <= *cisHome; }
  BlockUse Use(std::uint8_t unit, std::uint32_t block) const { return uses[unit][block]; }

  const std::vector<Zone>& Zones() const { return zones; }
  const std::vector<Duplicate>& Duplicates() const { return duplicates; }
  std::uint64_t Sectors() const { return sectors; }
  // The zone of a logical sector; null beyond the card.
  const Zone* ZoneOf(std::uint64_t sector) const;
  // The page that holds a logical sector; none when no block holds its
  // logical block (it reads as FF bytes) or it lies beyond the card.
  std::optional<PageRef> Locate(std::uint64_t sector) const;

 private:
  Zone& ZoneOfBlock(std::uint8_t unit, std::uint32_t block);

  CardGeometry geometry;
  std::vector<Zone> zones;
  std::vector<std::vector<BlockUse>> uses;  // per unit, per block
  std::vector<Duplicate> duplicates;
  std::uint64_t sectors = 0;
  CisFinding cis = CisFinding::Undecided;
  std::uint32_t cisBlock = 0;
  std::optional<std::uint32_t> cisHome;
};

// A logical sector as a host reads it.
struct SectorRead {
  enum class State : std::uint8_t {
    Unmapped,       // no block holds it: FF bytes
    Data,           // read, single flipped bits mended
    Unreadable,     // its page could not be read
    Uncorrectable,  // its page's ECC does not match and cannot mend it
  };
  State state = State::Unmapped;
  SectorBuffer data{};
  std::optional<PageRef> page;                 // where it is stored
  bool written = false;                        // its page was read and holds data
  std::array<EccResult, kEccHalves> ecc = {};  // the verdict on the page read

  bool Usable() const { return state == State::Unmapped || state == State::Data; }
};

SectorRead ReadSector(PageSource& pages, const LogicalMap& map, std::uint64_t sector);

// Reads the first page of every block (and later pages of a block whose
// first cannot be read) and builds the card's map.
struct MappedCard {
  LogicalMap map;
  PassEnd end = PassEnd::Complete;
};
MappedCard MapCard(PageSource& pages, const PassWatch& watch = {});

}  // namespace card
