#include "sim/card_check.h"

#include <algorithm>
#include <array>
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

// What the pass over the pages keeps of each block for the later steps.
struct BlockSummary {
  bool bad = false;
  std::optional<std::uint16_t> claimed;  // the logical block its first page names
  bool written = false;                  // a page holds data
  bool writtenAfterFirst = false;        // a page after the first holds data
};

class Checker {
 public:
  Checker(PageSource& pages, const CardCheckOptions& options, const PassWatch& watch)
      : pages(pages), geometry(pages.Geometry()), options(options), watch(watch) {}

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

  void TakeBlock(const BlockPages& block);
  bool TakeBadBlock(const BlockPages& block);
  void FindCis(const BlockPages& block);
  void CheckEcc(const BlockPages& block);
  void CheckAddress(const BlockPages& block);
  void Summarise(const BlockPages& block);
  void MapZones();
  void CheckLayout();
  bool LayoutSectorMatches(std::uint32_t sector);
  void CheckFreshFormat();
  // Unit 0 up to the block meant for the CIS: no logical block lives there.
  bool Reserved(std::size_t unit, std::uint32_t block) const { return unit == 0 && cisHome && block <= *cisHome; }
  // The sector as a host reads it, single-bit errors corrected; an unmapped
  // one reads as 0xFF, one stored in a page that cannot be read not at all.
  std::optional<SectorBuffer> ReadLogical(std::uint64_t sector);
  void Add(CardFault fault) { result.faults.push_back(std::move(fault)); }

  PageSource& pages;
  const CardGeometry& geometry;
  CardCheckOptions options;
  const PassWatch& watch;
  CardCheck result;
  std::vector<std::vector<BlockSummary>> blocks;  // per unit
  std::vector<Zone> zones;
  std::optional<FileSystemLayout> layout;
  bool cisDecided = false;
  std::optional<std::uint32_t> cisHome;  // the first good block, when it holds a CIS or something like one
  std::map<std::uint64_t, std::optional<SectorBuffer>> sectors;  // logical sectors read so far
};

// A bad block is left alone, as hosts leave it: only which kind it is counts.
bool Checker::TakeBadBlock(const BlockPages& block) {
  bool bad = false;
  bool factory = true;
  for (std::size_t p = 0; p < block.pages.size(); ++p) {
    const bool marked = block.readable[p] && block.pages[p][kRedundantStart + redundant::kBlockStatus] != kErased;
    bad = bad || marked;
    if (!marked || !factory) {
      factory = false;
      continue;
    }
    PageBuffer page = block.pages[p];
    page[kRedundantStart + redundant::kBlockStatus] = kErased;
    factory = Erased(page.data());
  }
  if (!bad) return false;
  blocks[block.unit][block.block].bad = true;
  result.badBlocks.push_back({block.unit, block.block, factory});
  return true;
}

// Hosts look for the CIS only in the blocks before the first zone's data
// area, in the first good block whose first page they can read.
void Checker::FindCis(const BlockPages& block) {
  if (block.unit != 0 || cisDecided) return;
  const std::uint32_t window = zone_layout::CisWindowBlocks(geometry.units[0].blocks);
  if (block.block >= window) {
    Add({CardFaultKind::CisMissing, 0, block.block, 0, window, 0, "no good block"});
    cisDecided = true;
    return;
  }
  if (blocks[0][block.block].bad || !block.readable[0]) return;
  cisDecided = true;
  const std::uint8_t* page = block.pages[0].data();
  if (IsCisPage(page)) {
    result.cisBlock = block.block;
    cisHome = block.block;
  } else if (std::equal(CisSignature.begin(), CisSignature.end(), page)) {
    Add({CardFaultKind::CisMalformed, 0, block.block, 0, 0, 0, ""});
    cisHome = block.block;
  } else {
    Add({CardFaultKind::CisMissing, 0, block.block, 0, 0, 0, ""});
  }
}

void Checker::CheckEcc(const BlockPages& block) {
  const std::uint32_t pagesPerBlock = geometry.units[block.unit].pagesPerBlock;
  for (std::uint32_t p = 0; p < pagesPerBlock; ++p) {
    const std::uint32_t pageNumber = block.block * pagesPerBlock + p;
    if (!block.readable[p]) {
      Add({CardFaultKind::PageUnreadable, block.unit, block.block, pageNumber, 0, 0, ""});
      continue;
    }
    const std::uint8_t* page = block.pages[p].data();
    if (Erased(page)) continue;
    ++result.pagesChecked;
    for (std::size_t half = 0; half < kHalves; ++half) {
      const EccResult ecc = CompareEcc(page + half * kEccChunk, EccField(page, half));
      if (ecc.verdict == EccVerdict::Match) continue;
      const CardFaultKind kind =
          ecc.verdict == EccVerdict::Uncorrectable ? CardFaultKind::EccUncorrectable : CardFaultKind::EccCorrectable;
      Add({kind, block.unit, block.block, pageNumber, 0, 0, HalfName(half)});
    }
  }
}

// The first written page of the block whose address words are wrong names
// the fault; the block is reported once.
void Checker::CheckAddress(const BlockPages& block) {
  const std::uint32_t zoneLogical = ZoneLogicalBlocks(geometry.units[block.unit]);
  for (std::uint32_t p = 0; p < block.pages.size(); ++p) {
    const std::uint8_t* page = block.pages[p].data();
    if (!block.readable[p] || Erased(page)) continue;
    const std::uint16_t first = LoadBe16(page + kRedundantStart + redundant::kBlockAddress1);
    const std::uint16_t second = LoadBe16(page + kRedundantStart + redundant::kBlockAddress2);
    if (first != second) {
      Add({CardFaultKind::AddressCopiesDiffer, block.unit, block.block, p, first, second, ""});
      return;
    }
    if (first == kErasedAddress) continue;
    const std::optional<std::uint16_t> lba = DecodeBlockAddress(first);
    if (!lba || *lba >= zoneLogical) {
      Add({CardFaultKind::AddressInvalid, block.unit, block.block, p, first, 0,
           lba ? "beyond its zone" : "bad parity"});
      return;
    }
  }
}

// The logical block a block claims by its first page: the first copy of the
// address, or the second when the first is not valid.
void Checker::Summarise(const BlockPages& block) {
  BlockSummary& summary = blocks[block.unit][block.block];
  if (block.readable[0]) {
    const std::uint8_t* area = block.pages[0].data() + kRedundantStart;
    summary.claimed = DecodeBlockAddress(LoadBe16(area + redundant::kBlockAddress1));
    if (!summary.claimed) summary.claimed = DecodeBlockAddress(LoadBe16(area + redundant::kBlockAddress2));
  }
  for (std::size_t p = 0; p < block.pages.size(); ++p) {
    const bool written = block.readable[p] && !Erased(block.pages[p].data());
    summary.written = summary.written || written;
    summary.writtenAfterFirst = summary.writtenAfterFirst || (p > 0 && written);
  }
}

void Checker::TakeBlock(const BlockPages& block) {
  const bool bad = TakeBadBlock(block);
  FindCis(block);
  if (bad) return;
  CheckEcc(block);
  if (!Reserved(block.unit, block.block)) CheckAddress(block);
  Summarise(block);
}

void Checker::MapZones() {
  std::uint64_t sector = 0;
  for (std::size_t u = 0; u < geometry.units.size(); ++u) {
    const UnitGeometry& unit = geometry.units[u];
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
        const BlockSummary& summary = blocks[u][block];
        if (summary.bad || Reserved(u, block) || !summary.claimed || *summary.claimed >= zone.logicalBlocks) continue;
        std::int32_t& owner = zone.map[*summary.claimed];
        if (owner == kUnclaimed) {
          owner = static_cast<std::int32_t>(index);
        } else {
          Add({CardFaultKind::DuplicateLogicalBlock, zone.unit, zone.firstBlock + static_cast<std::uint32_t>(owner),
               block, *summary.claimed, 0, ""});
        }
      }
      zones.push_back(std::move(zone));
    }
  }
}

std::optional<SectorBuffer> Checker::ReadLogical(std::uint64_t sector) {
  const auto known = sectors.find(sector);
  if (known != sectors.end()) return known->second;
  std::optional<SectorBuffer>& out = sectors[sector];
  out.emplace();
  out->fill(kErased);
  auto next = std::upper_bound(zones.begin(), zones.end(), sector,
                               [](std::uint64_t s, const Zone& zone) { return s < zone.firstSector; });
  if (next == zones.begin()) return out;
  const Zone& zone = *(next - 1);
  const std::uint64_t offset = sector - zone.firstSector;
  if (offset / zone.pagesPerBlock >= zone.logicalBlocks) return out;
  const std::int32_t index = zone.map[offset / zone.pagesPerBlock];
  if (index == kUnclaimed) return out;
  const std::uint32_t block = zone.firstBlock + static_cast<std::uint32_t>(index);
  PageBuffer page{};
  const bool gone = result.end != PassEnd::Complete;
  if (gone || !pages.Read(zone.unit,
                          block * zone.pagesPerBlock + static_cast<std::uint32_t>(offset % zone.pagesPerBlock), page)) {
    if (!gone) result.end = PassEndOf(pages.LastFault());
    out.reset();
    return out;
  }
  std::copy(page.begin(), page.begin() + kSectorSize, out->begin());
  for (std::size_t half = 0; half < kHalves; ++half) {
    const EccResult ecc = CompareEcc(page.data() + half * kEccChunk, EccField(page.data(), half));
    if (ecc.verdict == EccVerdict::CorrectableData)
      (*out)[half * kEccChunk + ecc.byte] ^= static_cast<std::uint8_t>(1u << ecc.bit);
  }
  return out;
}

// On a card in use, the FATs and the root directory hold what was stored.
bool Checker::LayoutSectorMatches(std::uint32_t sector) {
  const bool structure = sector <= layout->PartitionStart();
  if (!options.freshFormat && !structure && !layout->IsFatStart(sector)) return true;
  const std::optional<SectorBuffer> read = ReadLogical(sector);
  if (!read) return false;
  const SectorBuffer& expected = layout->Expected(sector);
  return options.freshFormat || structure ? *read == expected : (*read)[0] == expected[0];
}

void Checker::CheckLayout() {
  for (const UnitGeometry& unit : geometry.units) result.capacityKey += (unit.Pages() >> 10) * 1000;
  layout = FileSystemLayout::For(result.capacityKey, result.capacityKey - kComputedPartitionStart);
  if (!layout) {
    Add({CardFaultKind::NoLayout, 0, 0, 0, result.capacityKey, 0, ""});
    return;
  }
  // One fault for each structure that differs: its first differing sector and how many do.
  std::map<std::string, CardFault> differing;
  std::vector<std::string> order;
  for (std::uint32_t sector = 0; sector < layout->SectorCount(); ++sector) {
    if (LayoutSectorMatches(sector)) continue;
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
      const BlockSummary& summary = blocks[zone.unit][block];
      if (summary.bad || (Reserved(zone.unit, block) && block != *cisHome)) continue;
      // The CIS block holds its first page only.
      const bool cisBlock = Reserved(zone.unit, block);
      if (!(cisBlock ? summary.writtenAfterFirst : summary.written)) continue;
      if (!cisBlock) {
        const bool owner = summary.claimed && *summary.claimed < zone.logicalBlocks &&
                           zone.map[*summary.claimed] == static_cast<std::int32_t>(index);
        if (owner && zone.firstSector + std::uint64_t{*summary.claimed} * zone.pagesPerBlock < fileSystemSectors)
          continue;
      }
      Add({CardFaultKind::DataOutsideFileSystem, zone.unit, block, 0, 0, 0, ""});
    }
  }
}

CardCheck Checker::Run() {
  if (geometry.units.empty()) return result;
  for (const UnitGeometry& unit : geometry.units) blocks.emplace_back(unit.blocks);
  result.writeProtected = pages.WriteProtected();
  result.end = ReadEveryPage(pages, watch, [this](const BlockPages& block) { TakeBlock(block); });
  if (result.end != PassEnd::Complete) return result;
  MapZones();
  CheckLayout();
  result.volume = SurveyVolume(
      [this](std::uint32_t sector, SectorBuffer& data) {
        const std::optional<SectorBuffer> read = ReadLogical(sector);
        if (read) data = *read;
        return read.has_value();
      },
      LogicalSectorCount(geometry));
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
    case CardFaultKind::PageUnreadable:
      return "unit " + std::to_string(f.unit) + " page " + std::to_string(f.page) + " (block " +
             std::to_string(f.block) + ") cannot be read";
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

namespace {

constexpr std::size_t kBadBlocksListed = 10;  // of each kind, in the report

// The names of the fault kinds in the JSON report.
constexpr std::array<std::pair<CardFaultKind, const char*>, 11> kKindNames{{
    {CardFaultKind::EccCorrectable, "ecc-correctable"},
    {CardFaultKind::EccUncorrectable, "ecc-uncorrectable"},
    {CardFaultKind::PageUnreadable, "page-unreadable"},
    {CardFaultKind::AddressInvalid, "address-invalid"},
    {CardFaultKind::AddressCopiesDiffer, "address-copies-differ"},
    {CardFaultKind::DuplicateLogicalBlock, "duplicate-logical-block"},
    {CardFaultKind::CisMissing, "cis-missing"},
    {CardFaultKind::CisMalformed, "cis-malformed"},
    {CardFaultKind::NoLayout, "no-layout"},
    {CardFaultKind::LayoutDiffers, "layout-differs"},
    {CardFaultKind::DataOutsideFileSystem, "data-outside-file-system"},
}};

const char* KindName(CardFaultKind kind) {
  for (const auto& [k, name] : kKindNames) {
    if (k == kind) return name;
  }
  return "";
}

std::string BadBlockText(const std::vector<BadBlock>& bad, bool factory) {
  std::string list;
  std::size_t count = 0;
  for (const BadBlock& b : bad) {
    if (b.factory != factory) continue;
    if (count++ < kBadBlocksListed) {
      list += (list.empty() ? "" : ", ") + std::to_string(b.unit) + ":" + std::to_string(b.block);
    }
  }
  if (count > kBadBlocksListed) list += ", ...";
  return std::to_string(count) + (factory ? " factory" : " retired") + (count == 0 ? "" : " (" + list + ")");
}

std::string YesNoUnknown(const std::optional<bool>& value, const char* yes, const char* no) {
  return value ? (*value ? yes : no) : "unknown";
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

template <typename T>
std::string JsonOptional(const std::optional<T>& value, std::string (*text)(T)) {
  return value ? text(*value) : "null";
}

std::string JsonNumber(std::uint64_t value) { return std::to_string(value); }

}  // namespace

std::vector<std::string> CardCheck::Report(std::size_t perKind) const {
  std::vector<std::string> lines;
  std::string cis = "none";
  const auto malformed = std::find_if(faults.begin(), faults.end(),
                                      [](const CardFault& f) { return f.kind == CardFaultKind::CisMalformed; });
  if (malformed != faults.end()) cis = "block " + std::to_string(malformed->block) + ", not a valid CIS page";
  if (cisBlock) {
    const bool eccSound = std::none_of(faults.begin(), faults.end(), [this](const CardFault& f) {
      return (f.kind == CardFaultKind::EccCorrectable || f.kind == CardFaultKind::EccUncorrectable) && f.unit == 0 &&
             f.block == *cisBlock;
    });
    cis = "block " + std::to_string(*cisBlock) +
          (eccSound ? ", its page and ECC sound" : ", but the ECC of its page does not match its data");
  }
  lines.push_back("CIS:             " + cis);
  lines.push_back("Write-protect:   " + YesNoUnknown(writeProtected, "on", "off"));
  lines.push_back("Bad blocks:      " + BadBlockText(badBlocks, true) + ", " + BadBlockText(badBlocks, false));
  lines.push_back("ECC:             " + std::to_string(pagesChecked) + " written pages, " +
                  std::to_string(Count(CardFaultKind::EccCorrectable)) + " correctable and " +
                  std::to_string(Count(CardFaultKind::EccUncorrectable)) + " uncorrectable errors, " +
                  std::to_string(Count(CardFaultKind::PageUnreadable)) + " pages unreadable");
  lines.push_back("Block addresses: " + std::to_string(Count(CardFaultKind::AddressInvalid)) + " invalid, " +
                  std::to_string(Count(CardFaultKind::AddressCopiesDiffer)) + " with differing copies, " +
                  std::to_string(Count(CardFaultKind::DuplicateLogicalBlock)) + " logical blocks claimed twice");
  if (end == PassEnd::Complete) {
    lines.push_back("File system:     " +
                    (layoutPresent ? "the SmartMedia layout of capacity " + std::to_string(capacityKey)
                                   : "not the SmartMedia layout of capacity " + std::to_string(capacityKey) +
                                         " (cameras may reject the card); it holds " + volume.Describe()));
    lines.push_back("Files:           " + volume.FilesText());
  }
  std::map<CardFaultKind, std::size_t> shown;
  for (const CardFault& fault : faults) {
    if (shown[fault.kind]++ < perKind) lines.push_back("Fault:           " + Describe(fault));
  }
  for (const auto& [kind, count] : shown) {
    if (count > perKind)
      lines.push_back("                 ... and " + std::to_string(count - perKind) + " more of this kind");
  }
  if (end != PassEnd::Complete) {
    lines.push_back("Result:          incomplete: " + PassEndText(end, "check"));
  } else {
    lines.push_back(Passed() ? "Result:          no fault found"
                             : "Result:          " + std::to_string(faults.size()) +
                                   (faults.size() == 1 ? " fault" : " faults"));
  }
  return lines;
}

std::string CardCheck::Json(const std::string& source, const std::string& geometry) const {
  std::ostringstream json;
  json << "{\"source\": " << JsonText(source) << ", \"geometry\": " << JsonText(geometry) << ", \"result\": "
       << JsonText(end != PassEnd::Complete ? "incomplete"
                   : Passed()               ? "sound"
                                            : "faults");
  if (end != PassEnd::Complete) json << ", \"ended\": " << JsonText(PassEndText(end, "check"));
  json << ", \"cisBlock\": " << JsonOptional<std::uint64_t>(cisBlock, JsonNumber)
       << ", \"writeProtected\": " << JsonOptional<bool>(writeProtected, JsonBool) << ", \"badBlocks\": [";
  for (std::size_t i = 0; i < badBlocks.size(); ++i) {
    json << (i ? ", " : "") << "{\"unit\": " << unsigned{badBlocks[i].unit} << ", \"block\": " << badBlocks[i].block
         << ", \"kind\": " << JsonText(badBlocks[i].factory ? "factory" : "retired") << "}";
  }
  json << "], \"pagesChecked\": " << pagesChecked << ", \"capacity\": " << capacityKey
       << ", \"layoutPresent\": " << JsonBool(layoutPresent);
  if (end == PassEnd::Complete) {
    json << ", \"holds\": " << JsonText(layoutPresent ? "the SmartMedia layout" : volume.Describe())
         << ", \"files\": {\"read\": " << JsonBool(volume.rootRead) << ", \"files\": " << volume.files
         << ", \"folders\": " << volume.folders
         << ", \"bytesInUse\": " << JsonOptional<std::uint64_t>(volume.bytesInUse, JsonNumber) << "}";
  }
  json << ", \"counts\": {";
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    json << (i ? ", " : "") << JsonText(kKindNames[i].second) << ": " << Count(kKindNames[i].first);
  }
  json << "}, \"faults\": [";
  for (std::size_t i = 0; i < faults.size(); ++i) {
    const CardFault& f = faults[i];
    json << (i ? ", " : "") << "{\"kind\": " << JsonText(KindName(f.kind)) << ", \"unit\": " << unsigned{f.unit}
         << ", \"block\": " << f.block << ", \"page\": " << f.page << ", \"text\": " << JsonText(Describe(f)) << "}";
  }
  json << "]}";
  return json.str();
}

CardCheck CheckCard(const Nand& nand, const CardCheckOptions& options) {
  ImagePages pages(nand);
  return CheckCard(pages, options);
}

CardCheck CheckCard(PageSource& pages, const CardCheckOptions& options, const PassWatch& watch) {
  return Checker(pages, options, watch).Run();
}

}  // namespace sim
