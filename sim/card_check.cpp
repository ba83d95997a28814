#include "sim/card_check.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>

#include "engine/byte_order.h"
#include "engine/cis.h"
#include "engine/ecc.h"
#include "engine/fat_layout.h"
#include "engine/verify.h"
#include "engine/zone_layout.h"
#include "sim/firmware.h"
#include "sim/page_format.h"

namespace sim {

namespace {

constexpr std::int32_t kUnclaimed = -1;
constexpr std::size_t kHalves = kSectorSize / kEccChunk;

// --- ECC ---------------------------------------------------------------------

enum class EccVerdict : std::uint8_t { Match, CorrectableData, CorrectableEcc, Uncorrectable };

struct EccResult {
  EccVerdict verdict = EccVerdict::Match;
  std::uint32_t byte = 0;  // CorrectableData: the flipped bit
  std::uint8_t bit = 0;
};

// The difference between the stored and the computed ECC names a single
// flipped data bit when each of its 11 parity pairs (8 line pairs LP2k/LP2k+1,
// 3 column pairs CP2j/CP2j+1) differs in exactly one bit; the odd member of
// each pair then gives one bit of the byte index or of the bit number. A
// single differing bit is an error in the ECC itself; anything else cannot
// be mended.
EccResult CompareEcc(const std::uint8_t* data, const std::uint8_t* stored) {
  constexpr std::uint32_t kColumnByteMask = 0xFC;   // bits 1-0 of the column byte carry nothing
  constexpr std::uint32_t kPairLowBits = 0x545555;  // LP0 LP2 .. LP14 and CP0 CP2 CP4 (bits 18, 20, 22)
  constexpr unsigned kColumnShift = 18;             // CP0's bit in the difference
  const Ecc computed = SmartMediaEcc(data);
  const std::uint32_t diff = (stored[0] ^ computed[0]) | ((stored[1] ^ computed[1]) << 8) |
                             (((stored[2] ^ computed[2]) & kColumnByteMask) << 16);
  if (diff == 0) return {};
  if (((diff ^ (diff >> 1)) & kPairLowBits) == kPairLowBits) {
    EccResult result{EccVerdict::CorrectableData};
    for (unsigned k = 0; k < 8; ++k) result.byte |= ((diff >> (2 * k + 1)) & 1u) << k;
    for (unsigned j = 0; j < 3; ++j) {
      result.bit = static_cast<std::uint8_t>(result.bit | (((diff >> (kColumnShift + 2 * j + 1)) & 1u) << j));
    }
    return result;
  }
  if ((diff & (diff - 1)) == 0) return {EccVerdict::CorrectableEcc};
  return {EccVerdict::Uncorrectable};
}

const std::uint8_t* EccField(const std::uint8_t* page, std::size_t half) {
  return page + kRedundantStart + (half == 0 ? redundant::kEccFirstHalf : redundant::kEccSecondHalf);
}

bool Erased(const std::uint8_t* page) {
  static const PageBuffer kErasedPage = [] {
    PageBuffer erased;
    erased.fill(kErased);
    return erased;
  }();
  return std::memcmp(page, kErasedPage.data(), kPageSize) == 0;
}

std::string HalfName(std::size_t half) { return half == 0 ? "data bytes 0-255" : "data bytes 256-511"; }

// --- The check ------------------------------------------------------------------

class Checker {
 public:
  Checker(const Nand& nand, const CardCheckOptions& options) : nand(nand), options(options) {}

  CardCheck Run();

 private:
  struct Zone {
    std::uint8_t unit = 0;
    std::uint32_t firstBlock = 0;
    std::uint32_t blocks = 0;
    std::uint32_t logicalBlocks = 0;
    std::uint32_t pagesPerBlock = 0;
    std::uint64_t firstSector = 0;
    std::vector<std::int32_t> map;  // logical block -> block index in the zone
  };

  void FindCis();
  void CheckPages();
  void CheckAddress(std::uint8_t unit, std::uint32_t block);
  void MapZones();
  void CheckLayout();
  void CheckFreshFormat();
  // Unit 0 up to the block meant for the CIS: no logical block lives there.
  bool Reserved(std::size_t unit, std::uint32_t block) const { return unit == 0 && cisHome && block <= *cisHome; }
  std::optional<std::uint16_t> ClaimedBlock(std::size_t unit, std::uint32_t block, std::uint32_t limit) const;
  // The sector as a host reads it, single-bit errors corrected; an unmapped one reads as 0xFF.
  SectorBuffer ReadLogical(std::uint64_t sector) const;
  void Add(CardFault fault) { result.faults.push_back(std::move(fault)); }

  const Nand& nand;
  CardCheckOptions options;
  CardCheck result;
  std::vector<Zone> zones;
  std::optional<FileSystemLayout> layout;
  std::optional<std::uint32_t> cisHome;  // the first good block, when it holds a CIS or something like one
};

void Checker::FindCis() {
  // Hosts look only in the blocks before the first zone's data area.
  const UnitGeometry& unit = nand.Unit(0);
  const std::uint32_t window = zone_layout::CisWindowBlocks(unit.blocks);
  std::uint32_t block = 0;
  while (block < window && nand.IsBad(0, block)) ++block;
  if (block == window) {
    Add({CardFaultKind::CisMissing, 0, block, 0, window, 0, "no good block"});
    return;
  }
  const std::uint8_t* page = nand.Page(0, block * unit.pagesPerBlock);
  if (IsCisPage(page)) {
    result.cisBlock = block;
    cisHome = block;
  } else if (std::equal(CisSignature.begin(), CisSignature.end(), page)) {
    Add({CardFaultKind::CisMalformed, 0, block, 0, 0, 0, ""});
    cisHome = block;
  } else {
    Add({CardFaultKind::CisMissing, 0, block, 0, 0, 0, ""});
  }
}

void Checker::CheckPages() {
  for (std::size_t u = 0; u < nand.UnitCount(); ++u) {
    const UnitGeometry& unit = nand.Unit(u);
    for (std::uint32_t block = 0; block < unit.blocks; ++block) {
      if (nand.IsBad(u, block)) continue;
      for (std::uint32_t p = 0; p < unit.pagesPerBlock; ++p) {
        const std::uint32_t pageNumber = block * unit.pagesPerBlock + p;
        const std::uint8_t* page = nand.Page(u, pageNumber);
        if (Erased(page)) continue;
        ++result.pagesChecked;
        for (std::size_t half = 0; half < kHalves; ++half) {
          const EccResult ecc = CompareEcc(page + half * kEccChunk, EccField(page, half));
          if (ecc.verdict == EccVerdict::Match) continue;
          const CardFaultKind kind = ecc.verdict == EccVerdict::Uncorrectable ? CardFaultKind::EccUncorrectable
                                                                              : CardFaultKind::EccCorrectable;
          Add({kind, static_cast<std::uint8_t>(u), block, pageNumber, 0, 0, HalfName(half)});
        }
      }
      if (!Reserved(u, block)) CheckAddress(static_cast<std::uint8_t>(u), block);
    }
  }
}

// The first written page of the block whose address words are wrong names
// the fault; the block is reported once.
void Checker::CheckAddress(std::uint8_t unit, std::uint32_t block) {
  const std::uint32_t pages = nand.Unit(unit).pagesPerBlock;
  const std::uint32_t zoneLogical = ZoneLogicalBlocks(nand.Unit(unit));
  for (std::uint32_t p = 0; p < pages; ++p) {
    const std::uint8_t* page = nand.Page(unit, block * pages + p);
    if (Erased(page)) continue;
    const std::uint16_t first = LoadBe16(page + kRedundantStart + redundant::kBlockAddress1);
    const std::uint16_t second = LoadBe16(page + kRedundantStart + redundant::kBlockAddress2);
    if (first != second) {
      Add({CardFaultKind::AddressCopiesDiffer, unit, block, p, first, second, ""});
      return;
    }
    if (first == kErasedAddress) continue;
    const std::optional<std::uint16_t> lba = DecodeBlockAddress(first);
    if (!lba || *lba >= zoneLogical) {
      Add({CardFaultKind::AddressInvalid, unit, block, p, first, 0, lba ? "beyond its zone" : "bad parity"});
      return;
    }
  }
}

// The logical block a block claims by its first page: the first copy of the
// address, or the second when the first is not valid.
std::optional<std::uint16_t> Checker::ClaimedBlock(std::size_t unit, std::uint32_t block, std::uint32_t limit) const {
  const std::uint8_t* area = nand.Page(unit, block * nand.Unit(unit).pagesPerBlock) + kRedundantStart;
  std::optional<std::uint16_t> lba = DecodeBlockAddress(LoadBe16(area + redundant::kBlockAddress1));
  if (!lba) lba = DecodeBlockAddress(LoadBe16(area + redundant::kBlockAddress2));
  if (lba && *lba >= limit) return std::nullopt;
  return lba;
}

void Checker::MapZones() {
  std::uint64_t sector = 0;
  for (std::size_t u = 0; u < nand.UnitCount(); ++u) {
    const UnitGeometry& unit = nand.Unit(u);
    for (std::uint32_t z = 0; z < ZoneCount(unit); ++z) {
      Zone zone;
      zone.unit = static_cast<std::uint8_t>(u);
      zone.blocks = ZonePhysicalBlocks(unit);
      zone.firstBlock = z * zone.blocks;
      zone.logicalBlocks = ZoneLogicalBlocks(unit);
      zone.pagesPerBlock = unit.pagesPerBlock;
      zone.firstSector = sector;
      zone.map.assign(zone.logicalBlocks, kUnclaimed);
      sector += std::uint64_t{zone.logicalBlocks} * zone.pagesPerBlock;
      for (std::uint32_t index = 0; index < zone.blocks; ++index) {
        const std::uint32_t block = zone.firstBlock + index;
        if (nand.IsBad(u, block) || Reserved(u, block)) continue;
        const std::optional<std::uint16_t> lba = ClaimedBlock(u, block, zone.logicalBlocks);
        if (!lba) continue;
        std::int32_t& owner = zone.map[*lba];
        if (owner == kUnclaimed) {
          owner = static_cast<std::int32_t>(index);
        } else {
          Add({CardFaultKind::DuplicateLogicalBlock, zone.unit, zone.firstBlock + static_cast<std::uint32_t>(owner),
               block, *lba, 0, ""});
        }
      }
      zones.push_back(std::move(zone));
    }
  }
}

SectorBuffer Checker::ReadLogical(std::uint64_t sector) const {
  SectorBuffer out;
  out.fill(kErased);
  auto next = std::upper_bound(zones.begin(), zones.end(), sector,
                               [](std::uint64_t s, const Zone& zone) { return s < zone.firstSector; });
  if (next == zones.begin()) return out;
  const Zone& zone = *(next - 1);
  const std::uint64_t offset = sector - zone.firstSector;
  if (offset / zone.pagesPerBlock >= zone.logicalBlocks) return out;
  const std::int32_t index = zone.map[offset / zone.pagesPerBlock];
  if (index == kUnclaimed) return out;
  const std::uint32_t block = zone.firstBlock + static_cast<std::uint32_t>(index);
  const std::uint8_t* page =
      nand.Page(zone.unit, block * zone.pagesPerBlock + static_cast<std::uint32_t>(offset % zone.pagesPerBlock));
  std::copy(page, page + kSectorSize, out.begin());
  for (std::size_t half = 0; half < kHalves; ++half) {
    const EccResult ecc = CompareEcc(page + half * kEccChunk, EccField(page, half));
    if (ecc.verdict == EccVerdict::CorrectableData)
      out[half * kEccChunk + ecc.byte] ^= static_cast<std::uint8_t>(1u << ecc.bit);
  }
  return out;
}

void Checker::CheckLayout() {
  for (const UnitGeometry& unit : nand.Geometry().units) result.capacityKey += (unit.Pages() >> 10) * 1000;
  layout = FileSystemLayout::For(result.capacityKey, result.capacityKey - kComputedPartitionStart);
  if (!layout) {
    Add({CardFaultKind::NoLayout, 0, 0, 0, result.capacityKey, 0, ""});
    return;
  }
  // One fault for each structure that differs: its first differing sector and how many do.
  std::map<std::string, CardFault> differing;
  std::vector<std::string> order;
  for (std::uint32_t sector = 0; sector < layout->SectorCount(); ++sector) {
    if (ReadLogical(sector) == layout->Expected(sector)) continue;
    const std::string region = layout->Region(sector);
    auto [it, added] =
        differing.try_emplace(region, CardFault{CardFaultKind::LayoutDiffers, 0, 0, 0, sector, 0, region});
    if (added) order.push_back(region);
    ++it->second.count;
  }
  for (const std::string& region : order) Add(differing[region]);
  result.layoutPresent = order.empty();
}

void Checker::CheckFreshFormat() {
  const std::uint64_t fileSystemSectors = layout ? layout->SectorCount() : 0;
  for (const Zone& zone : zones) {
    for (std::uint32_t index = 0; index < zone.blocks; ++index) {
      const std::uint32_t block = zone.firstBlock + index;
      if (nand.IsBad(zone.unit, block) || (Reserved(zone.unit, block) && block != *cisHome)) continue;
      // The CIS block holds its first page only.
      const std::uint32_t firstPage = Reserved(zone.unit, block) ? 1 : 0;
      bool written = false;
      for (std::uint32_t p = firstPage; p < zone.pagesPerBlock && !written; ++p) {
        written = !Erased(nand.Page(zone.unit, block * zone.pagesPerBlock + p));
      }
      if (!written) continue;
      if (firstPage == 0) {
        const std::optional<std::uint16_t> lba = ClaimedBlock(zone.unit, block, zone.logicalBlocks);
        const bool owner = lba && zone.map[*lba] == static_cast<std::int32_t>(index);
        if (owner && zone.firstSector + std::uint64_t{*lba} * zone.pagesPerBlock < fileSystemSectors) continue;
      }
      Add({CardFaultKind::DataOutsideFileSystem, zone.unit, block, 0, 0, 0, ""});
    }
  }
}

CardCheck Checker::Run() {
  if (nand.UnitCount() == 0) return result;
  FindCis();
  CheckPages();
  MapZones();
  CheckLayout();
  if (options.freshFormat) CheckFreshFormat();
  return result;
}

std::string Location(const CardFault& f) {
  return "unit " + std::to_string(f.unit) + " block " + std::to_string(f.block);
}

std::string Hex16(std::uint32_t word) {
  std::ostringstream text;
  text << std::hex << std::uppercase;
  text.width(4);
  text.fill('0');
  text << word;
  return text.str();
}

}  // namespace

std::string Describe(const CardFault& f) {
  switch (f.kind) {
    case CardFaultKind::EccCorrectable:
    case CardFaultKind::EccUncorrectable:
      return "unit " + std::to_string(f.unit) + " page " + std::to_string(f.page) + ": the ECC of " + f.where +
             " does not match the data (" +
             (f.kind == CardFaultKind::EccCorrectable ? "one bit, correctable" : "uncorrectable") + ")";
    case CardFaultKind::AddressInvalid:
      return Location(f) + ": block address " + Hex16(f.value) + " is not valid (" + f.where + ")";
    case CardFaultKind::AddressCopiesDiffer:
      return Location(f) + ": the two copies of the block address differ (" + Hex16(f.value) + ", " + Hex16(f.count) +
             ")";
    case CardFaultKind::DuplicateLogicalBlock:
      return Location(f) + " and block " + std::to_string(f.page) + " both claim logical block " +
             std::to_string(f.value) + " of their zone";
    case CardFaultKind::CisMissing:
      return f.where.empty() ? "no CIS in the first good block (unit 0 block " + std::to_string(f.block) + ")"
                             : "no CIS: no good block among the first " + std::to_string(f.value) +
                                   " blocks of unit 0, where hosts look for it";
    case CardFaultKind::CisMalformed:
      return "the first good block (unit 0 block " + std::to_string(f.block) +
             ") starts like a CIS but is not a valid CIS page";
    case CardFaultKind::NoLayout:
      return "capacity " + std::to_string(f.value) + " gives no file system layout";
    case CardFaultKind::LayoutDiffers:
      return "the file system differs from its layout: " + f.where + ", " +
             (f.count == 1 ? "sector " : std::to_string(f.count) + " sectors from sector ") + std::to_string(f.value);
    case CardFaultKind::DataOutsideFileSystem:
      return Location(f) + " holds data outside the file system";
  }
  return "";
}

std::size_t CardCheck::Count(CardFaultKind kind) const {
  return static_cast<std::size_t>(
      std::count_if(faults.begin(), faults.end(), [kind](const CardFault& f) { return f.kind == kind; }));
}

std::vector<std::string> CardCheck::Report(std::size_t perKind) const {
  std::vector<std::string> lines;
  lines.push_back("CIS:             " + (cisBlock ? "block " + std::to_string(*cisBlock) : std::string("none")));
  lines.push_back("ECC:             " + std::to_string(pagesChecked) + " written pages, " +
                  std::to_string(Count(CardFaultKind::EccCorrectable)) + " correctable and " +
                  std::to_string(Count(CardFaultKind::EccUncorrectable)) + " uncorrectable errors");
  lines.push_back("Block addresses: " + std::to_string(Count(CardFaultKind::AddressInvalid)) + " invalid, " +
                  std::to_string(Count(CardFaultKind::AddressCopiesDiffer)) + " with differing copies, " +
                  std::to_string(Count(CardFaultKind::DuplicateLogicalBlock)) + " logical blocks claimed twice");
  lines.push_back(
      "File system:     " + std::string(layoutPresent ? "the layout of capacity " : "not the layout of capacity ") +
      std::to_string(capacityKey));
  std::map<CardFaultKind, std::size_t> shown;
  for (const CardFault& fault : faults) {
    if (shown[fault.kind]++ < perKind) lines.push_back("Fault:           " + Describe(fault));
  }
  for (const auto& [kind, count] : shown) {
    if (count > perKind)
      lines.push_back("                 ... and " + std::to_string(count - perKind) + " more of this kind");
  }
  lines.push_back(Passed() ? "Result:          no fault found"
                           : "Result:          " + std::to_string(faults.size()) +
                                 (faults.size() == 1 ? " fault" : " faults"));
  return lines;
}

CardCheck CheckCard(const Nand& nand, const CardCheckOptions& options) { return Checker(nand, options).Run(); }

}  // namespace sim
