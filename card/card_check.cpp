#include "card/card_check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "card/firmware.h"
#include "card/logical_map.h"
#include "card/page_ecc.h"
#include "card/page_format.h"
#include "engine/byte_order.h"
#include "engine/cis.h"
#include "engine/ecc.h"
#include "engine/fat_layout.h"
#include "engine/verify.h"
#include "engine/zone_layout.h"

namespace card {

namespace {

std::string HalfName(std::size_t half) { return half == 0 ? "data bytes 0-255" : "data bytes 256-511"; }

bool Erased(const PageBuffer& page) { return ErasedPage(page.data()); }

// Counts the page reads of the check.
class CountedPages : public PageSource {
 public:
  explicit CountedPages(PageSource& inner) : inner(inner) {}
  const CardGeometry& Geometry() const override { return inner.Geometry(); }
  bool Read(std::uint8_t unit, std::uint32_t page, PageBuffer& out) override {
    ++reads;
    return inner.Read(unit, page, out);
  }
  std::optional<bool> WriteProtected() override { return inner.WriteProtected(); }
  ::CommandFault LastFault() const override { return inner.LastFault(); }
  std::uint64_t Reads() const { return reads; }

 private:
  PageSource& inner;
  std::uint64_t reads = 0;
};

// --- The check ------------------------------------------------------------------

// What the pass over the pages keeps of each block for the later steps.
struct BlockSummary {
  bool bad = false;
  std::optional<std::uint16_t> claimed;  // the logical block its first page names
  bool written = false;                  // a page read holds data
  bool writtenAfterFirst = false;        // a page after the first holds data
};

class Checker {
 public:
  Checker(PageSource& source, const CardCheckOptions& options, const PassWatch& watch)
      : pages(source),
        geometry(source.Geometry()),
        options(options),
        watch(watch),
        map(geometry),
        everyPage(options.everyPage || options.freshFormat) {}

  CardCheck Run();

 private:
  void TakeBlock(const BlockPages& block);
  bool TakeBadBlock(const BlockPages& block);
  void ReportCis();
  void CheckPage(std::uint8_t unit, std::uint32_t page, const PageBuffer* data);
  void CheckAddress(const BlockPages& block);
  void Summarise(const BlockPages& block);
  void AddDuplicates();
  void CheckLayout();
  enum class Likeness : std::uint8_t { Same, Differs, Unknown };
  Likeness LayoutSector(std::uint32_t sector);
  void CheckFreshFormat();
  void CountBlocksHoldingData();
  // The sector as a host reads it, single-bit errors corrected; an unmapped
  // one reads as 0xFF, one stored in a page that cannot be read not at all.
  // A quick check judges the page it comes from, once.
  std::optional<SectorBuffer> ReadLogical(std::uint64_t sector);
  void Add(CardFault fault) { result.faults.push_back(std::move(fault)); }

  CountedPages pages;
  const CardGeometry& geometry;
  CardCheckOptions options;
  const PassWatch& watch;
  LogicalMap map;
  bool everyPage;
  CardCheck result;
  std::vector<std::vector<BlockSummary>> blocks;  // per unit
  std::optional<FileSystemLayout> layout;
  bool cisReported = false;
  std::map<std::uint64_t, std::optional<SectorBuffer>> sectors;  // logical sectors read so far
  std::set<std::pair<std::uint8_t, std::uint32_t>> judged;       // pages a quick check judged beyond the pass
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
    factory = Erased(page);
  }
  if (!bad) return false;
  blocks[block.unit][block.block].bad = true;
  result.badBlocks.push_back({block.unit, block.block, factory});
  return true;
}

// What hosts find where they look for the CIS, once the map has decided.
void Checker::ReportCis() {
  if (cisReported || map.Cis() == LogicalMap::CisFinding::Undecided) return;
  cisReported = true;
  const std::uint32_t block = map.CisBlock();
  switch (map.Cis()) {
    case LogicalMap::CisFinding::Undecided:
      break;
    case LogicalMap::CisFinding::Cis:
      result.cisBlock = block;
      break;
    case LogicalMap::CisFinding::LikeCis:
      Add({CardFaultKind::CisMalformed, 0, block, 0, 0, 0, ""});
      break;
    case LogicalMap::CisFinding::NoCis:
      Add({CardFaultKind::CisMissing, 0, block, 0, 0, 0, ""});
      break;
    case LogicalMap::CisFinding::NoGoodBlock:
      Add({CardFaultKind::CisMissing, 0, block, 0, block, 0, "no good block"});
      break;
  }
}

// A page of a good block: whether it can be read, and its ECC when it holds data.
void Checker::CheckPage(std::uint8_t unit, std::uint32_t page, const PageBuffer* data) {
  const std::uint32_t block = page / geometry.units[unit].pagesPerBlock;
  if (data == nullptr) {
    Add({CardFaultKind::PageUnreadable, unit, block, page, 0, 0, ""});
    return;
  }
  if (Erased(*data)) return;
  ++result.pagesChecked;
  const std::array<EccResult, kEccHalves> ecc = JudgeEcc(data->data());
  for (std::size_t half = 0; half < kEccHalves; ++half) {
    if (ecc[half].verdict == EccVerdict::Match) continue;
    const CardFaultKind kind = Readable(ecc[half]) ? CardFaultKind::EccCorrectable : CardFaultKind::EccUncorrectable;
    Add({kind, unit, block, page, 0, 0, HalfName(half)});
  }
}

// The first written page of the block whose address words are wrong names
// the fault; the block is reported once.
void Checker::CheckAddress(const BlockPages& block) {
  const UnitGeometry& unit = geometry.units[block.unit];
  const std::uint32_t zoneLogical = ZoneLogicalBlocks(unit);
  for (std::uint32_t p = 0; p < block.pages.size(); ++p) {
    const std::uint8_t* page = block.pages[p].data();
    if (!block.readable[p] || ErasedPage(page)) continue;
    const std::uint32_t pageNumber = block.block * unit.pagesPerBlock + p;
    const std::uint16_t first = LoadBe16(page + kRedundantStart + redundant::kBlockAddress1);
    const std::uint16_t second = LoadBe16(page + kRedundantStart + redundant::kBlockAddress2);
    if (first != second) {
      Add({CardFaultKind::AddressCopiesDiffer, block.unit, block.block, pageNumber, first, second, ""});
      return;
    }
    if (first == kErasedAddress) continue;
    const std::optional<std::uint16_t> lba = DecodeBlockAddress(first);
    if (!lba || *lba >= zoneLogical) {
      Add({CardFaultKind::AddressInvalid, block.unit, block.block, pageNumber, first, 0,
           lba ? "beyond its zone" : "bad parity"});
      return;
    }
  }
}

void Checker::Summarise(const BlockPages& block) {
  BlockSummary& summary = blocks[block.unit][block.block];
  summary.claimed = ClaimOf(block);
  for (std::size_t p = 0; p < block.pages.size(); ++p) {
    const bool written = block.readable[p] && !Erased(block.pages[p]);
    summary.written = summary.written || written;
    summary.writtenAfterFirst = summary.writtenAfterFirst || (p > 0 && written);
  }
}

void Checker::TakeBlock(const BlockPages& block) {
  const bool bad = TakeBadBlock(block);
  map.Take(block, bad);
  ReportCis();
  if (bad) return;
  const std::uint32_t pagesPerBlock = geometry.units[block.unit].pagesPerBlock;
  for (std::uint32_t p = 0; p < block.pages.size(); ++p) {
    CheckPage(block.unit, block.block * pagesPerBlock + p, block.readable[p] ? &block.pages[p] : nullptr);
  }
  if (!map.Reserved(block.unit, block.block)) CheckAddress(block);
  Summarise(block);
}

void Checker::AddDuplicates() {
  for (const LogicalMap::Duplicate& d : map.Duplicates()) {
    Add({CardFaultKind::DuplicateLogicalBlock, d.unit, d.holder, d.block, d.logicalBlock, 0, ""});
  }
}

std::optional<SectorBuffer> Checker::ReadLogical(std::uint64_t sector) {
  const auto known = sectors.find(sector);
  if (known != sectors.end()) return known->second;
  std::optional<SectorBuffer>& out = sectors[sector];
  if (result.end != PassEnd::Complete) return out;
  const SectorRead read = ReadSector(pages, map, sector);
  if (read.state == SectorRead::State::Unreadable) result.end = PassEndOf(pages.LastFault());
  const std::uint32_t pagesPerBlock = read.page ? geometry.units[read.page->unit].pagesPerBlock : 1;
  // The pass judged every page it read: a quick one each block's first.
  if (read.page && !everyPage && read.page->page % pagesPerBlock != 0 &&
      judged.insert({read.page->unit, read.page->page}).second) {
    if (read.state == SectorRead::State::Unreadable) {
      CheckPage(read.page->unit, read.page->page, nullptr);
    } else if (read.written) {
      ++result.pagesChecked;
      blocks[read.page->unit][read.page->page / pagesPerBlock].written = true;
      for (std::size_t half = 0; half < kEccHalves; ++half) {
        if (read.ecc[half].verdict == EccVerdict::Match) continue;
        Add({Readable(read.ecc[half]) ? CardFaultKind::EccCorrectable : CardFaultKind::EccUncorrectable,
             read.page->unit, read.page->page / pagesPerBlock, read.page->page, 0, 0, HalfName(half)});
      }
    }
  }
  if (read.state == SectorRead::State::Data || read.state == SectorRead::State::Unmapped) out = read.data;
  return out;
}

// On a card in use, the FATs and the root directory hold what was stored.
// A sector that cannot be read is no difference: the page is a fault of its
// own, and only the layout cannot be told. A FAT's first sector that cannot
// be read is told by the other FAT's.
Checker::Likeness Checker::LayoutSector(std::uint32_t sector) {
  const bool structure = sector <= layout->PartitionStart();
  if (!options.freshFormat && !structure && !layout->IsFatStart(sector)) return Likeness::Same;
  const std::optional<SectorBuffer> read = ReadLogical(sector);
  if (!read) {
    if (!layout->IsFatStart(sector)) return Likeness::Unknown;
    for (std::uint32_t other = layout->PartitionStart() + 1; other < layout->SectorCount(); ++other) {
      if (other == sector || !layout->IsFatStart(other)) continue;
      const std::optional<SectorBuffer> copy = ReadLogical(other);
      if (!copy) return Likeness::Unknown;
      return (*copy)[0] == layout->Expected(sector)[0] ? Likeness::Same : Likeness::Differs;
    }
    return Likeness::Unknown;
  }
  const SectorBuffer& expected = layout->Expected(sector);
  const bool same = options.freshFormat || structure ? *read == expected : (*read)[0] == expected[0];
  return same ? Likeness::Same : Likeness::Differs;
}

void Checker::CheckLayout() {
  for (const UnitGeometry& unit : geometry.units) result.capacityKey += (unit.Pages() >> 10) * 1000;
  layout = FileSystemLayout::For(result.capacityKey, result.capacityKey - kComputedPartitionStart);
  if (!layout) {
    Add({CardFaultKind::NoLayout, 0, 0, 0, result.capacityKey, 0, ""});
    return;
  }
  // A quick check reads the whole of the file system's area, for its pages' sake.
  if (!everyPage) {
    for (std::uint32_t sector = 0; sector < layout->SectorCount(); ++sector) ReadLogical(sector);
    result.fileSystemSectors = layout->SectorCount();
  }
  // One fault for each structure that differs: its first differing sector and how many do.
  std::map<std::string, CardFault> differing;
  std::vector<std::string> order;
  for (std::uint32_t sector = 0; sector < layout->SectorCount(); ++sector) {
    const Likeness likeness = LayoutSector(sector);
    if (likeness == Likeness::Unknown && !result.layoutUnknownAt) result.layoutUnknownAt = sector;
    if (likeness != Likeness::Differs) continue;
    const std::string region = layout->Region(sector);
    auto [it, added] =
        differing.try_emplace(region, CardFault{CardFaultKind::LayoutDiffers, 0, 0, 0, sector, 0, region});
    if (added) order.push_back(region);
    ++it->second.count;
  }
  for (const std::string& region : order) Add(differing[region]);
  result.layoutPresent = order.empty() && !result.layoutUnknownAt;
}

void Checker::CheckFreshFormat() {
  const std::uint64_t fileSystemSectors = layout ? layout->SectorCount() : 0;
  for (const LogicalMap::Zone& zone : map.Zones()) {
    for (std::uint32_t index = 0; index < zone.blocks; ++index) {
      const std::uint32_t block = zone.firstBlock + index;
      const BlockSummary& summary = blocks[zone.unit][block];
      const bool cisBlock = map.Reserved(zone.unit, block) && block == *map.CisHome();
      if (summary.bad || (map.Reserved(zone.unit, block) && !cisBlock)) continue;
      // The CIS block holds its first page only.
      if (!(cisBlock ? summary.writtenAfterFirst : summary.written)) continue;
      if (!cisBlock && map.Use(zone.unit, block) == BlockUse::Holder &&
          zone.firstSector + std::uint64_t{*summary.claimed} * zone.pagesPerBlock < fileSystemSectors) {
        continue;
      }
      Add({CardFaultKind::DataOutsideFileSystem, zone.unit, block, 0, 0, 0, ""});
    }
  }
}

void Checker::CountBlocksHoldingData() {
  for (std::size_t u = 0; u < blocks.size(); ++u) {
    for (std::uint32_t b = 0; b < blocks[u].size(); ++b) {
      const BlockSummary& summary = blocks[u][b];
      if (summary.bad || map.Reserved(static_cast<std::uint8_t>(u), b)) continue;
      result.blocksHoldingData += summary.written ? 1 : 0;
    }
  }
}

CardCheck Checker::Run() {
  result.everyPage = everyPage;
  result.cardPages = geometry.TotalPages();
  if (geometry.units.empty()) return result;
  for (const UnitGeometry& unit : geometry.units) blocks.emplace_back(unit.blocks);
  result.writeProtected = pages.WriteProtected();
  PassPlan plan;
  plan.everyPage = everyPage;
  // A block marked bad in its first page is read whole, to tell a factory
  // mark; one whose first page cannot be read, up to a page that can.
  plan.morePages = [](const BlockPages& sofar) {
    const bool marked = sofar.readable[0] && sofar.pages[0][kRedundantStart + redundant::kBlockStatus] != kErased;
    return marked || ClaimUnread(sofar);
  };
  result.end = ReadPages(pages, watch, plan, [this](const BlockPages& block) { TakeBlock(block); });
  if (result.end == PassEnd::Complete) {
    AddDuplicates();
    CheckLayout();
    result.volume = SurveyVolume(
        [this](std::uint32_t sector, SectorBuffer& data) {
          const std::optional<SectorBuffer> read = ReadLogical(sector);
          if (read) data = *read;
          return read.has_value();
        },
        map.Sectors());
    if (options.freshFormat) CheckFreshFormat();
    CountBlocksHoldingData();
  }
  result.pagesRead = pages.Reads();
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

bool IsCardFault(const CardFault& f) {
  switch (f.kind) {
    case CardFaultKind::CisMissing:
      return !f.where.empty();  // no good block where hosts look for it: no format can mend that
    case CardFaultKind::LayoutDiffers:
    case CardFaultKind::DataOutsideFileSystem:
      return false;
    case CardFaultKind::EccCorrectable:
    case CardFaultKind::EccUncorrectable:
    case CardFaultKind::PageUnreadable:
    case CardFaultKind::AddressInvalid:
    case CardFaultKind::AddressCopiesDiffer:
    case CardFaultKind::DuplicateLogicalBlock:
    case CardFaultKind::CisMalformed:
    case CardFaultKind::NoLayout:
      break;
  }
  return true;
}

std::size_t CardCheck::Count(CardFaultKind kind) const {
  return static_cast<std::size_t>(
      std::count_if(faults.begin(), faults.end(), [kind](const CardFault& f) { return f.kind == kind; }));
}

std::size_t CardCheck::CardFaults() const {
  return static_cast<std::size_t>(std::count_if(faults.begin(), faults.end(), IsCardFault));
}

std::string CardCheck::Holds() const {
  if (layoutPresent) return "the SmartMedia layout";
  // Sector 0 reads erased on a card whose format stopped part-way too, but
  // only a card none of whose pages holds data is blank.
  if (volume.sectorZero == SectorZero::Blank && blocksHoldingData > 0) {
    return "no partition table and no file system, but " + std::to_string(blocksHoldingData) +
           (blocksHoldingData == 1 ? " block holds" : " blocks hold") +
           " data (as on a card whose format stopped part-way)";
  }
  return volume.Describe();
}

namespace {

constexpr std::size_t kBadBlocksListed = 10;  // of each kind, in the report
constexpr const char* kLabelGap = "  ";       // before each finding under its heading

// The names of the fault kinds in the JSON report, and which have a page.
struct KindName {
  CardFaultKind kind;
  const char* name;
  bool page;
};
constexpr std::array<KindName, 11> kKindNames{{
    {CardFaultKind::EccCorrectable, "ecc-correctable", true},
    {CardFaultKind::EccUncorrectable, "ecc-uncorrectable", true},
    {CardFaultKind::PageUnreadable, "page-unreadable", true},
    {CardFaultKind::AddressInvalid, "address-invalid", true},
    {CardFaultKind::AddressCopiesDiffer, "address-copies-differ", true},
    {CardFaultKind::DuplicateLogicalBlock, "duplicate-logical-block", false},
    {CardFaultKind::CisMissing, "cis-missing", false},
    {CardFaultKind::CisMalformed, "cis-malformed", false},
    {CardFaultKind::NoLayout, "no-layout", false},
    {CardFaultKind::LayoutDiffers, "layout-differs", false},
    {CardFaultKind::DataOutsideFileSystem, "data-outside-file-system", false},
}};

const KindName& NameOf(CardFaultKind kind) {
  return *std::find_if(kKindNames.begin(), kKindNames.end(), [kind](const KindName& k) { return k.kind == kind; });
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

std::string Counted(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
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

// One finding with the places it has: a page only where there is one.
std::string JsonFault(const CardFault& f) {
  std::ostringstream json;
  json << "{\"kind\": " << JsonText(NameOf(f.kind).name);
  switch (f.kind) {
    case CardFaultKind::DuplicateLogicalBlock:
      json << ", \"unit\": " << unsigned{f.unit} << ", \"block\": " << f.block << ", \"otherBlock\": " << f.page
           << ", \"logicalBlock\": " << f.value;
      break;
    case CardFaultKind::CisMissing:
      if (f.where.empty()) json << ", \"unit\": 0, \"block\": " << f.block;
      break;
    case CardFaultKind::NoLayout:
      json << ", \"capacity\": " << f.value;
      break;
    case CardFaultKind::LayoutDiffers:
      json << ", \"region\": " << JsonText(f.where) << ", \"sector\": " << f.value << ", \"sectors\": " << f.count;
      break;
    default:
      json << ", \"unit\": " << unsigned{f.unit} << ", \"block\": " << f.block;
      if (NameOf(f.kind).page) json << ", \"page\": " << f.page;
  }
  json << ", \"text\": " << JsonText(Describe(f)) << "}";
  return json.str();
}

}  // namespace

std::vector<std::string> CardCheck::Report(std::size_t perKind) const {
  std::vector<std::string> lines;
  lines.push_back("Read:            " +
                  (everyPage ? "every page, " + std::to_string(pagesRead) + " reads"
                             : "quick: the first page of each block and the file system's " +
                                   std::to_string(fileSystemSectors) + " sectors, " + std::to_string(pagesRead) +
                                   " of " + std::to_string(cardPages) + " pages (--full reads every page)"));
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
    const std::string capacity = " of capacity " + std::to_string(capacityKey);
    lines.push_back(
        "File system:     " +
        (layoutPresent ? "the SmartMedia layout" + capacity
         : LayoutDifferences() == 0 && layoutUnknownAt
             ? "whether it is the SmartMedia layout" + capacity + " cannot be told: sector " +
                   std::to_string(*layoutUnknownAt) + " cannot be read"
             : "not the SmartMedia layout" + capacity + " (cameras may reject the card); it holds " + Holds()));
    lines.push_back("Files:           " + volume.FilesText());
  }
  for (const bool card : {true, false}) {
    const std::size_t count = card ? CardFaults() : LayoutDifferences();
    if (count == 0) continue;
    lines.push_back(card ? "Faults of the card:" : "Differences from the SmartMedia layout (a format mends them):");
    std::map<CardFaultKind, std::size_t> shown;
    for (const CardFault& fault : faults) {
      if (IsCardFault(fault) == card && shown[fault.kind]++ < perKind) lines.push_back(kLabelGap + Describe(fault));
    }
    for (const auto& [kind, n] : shown) {
      if (n > perKind)
        lines.push_back(std::string(kLabelGap) + "... and " + std::to_string(n - perKind) + " more of this kind");
    }
  }
  if (end != PassEnd::Complete) {
    lines.push_back("Result:          incomplete: " + PassEndText(end, "check"));
  } else if (Passed()) {
    lines.push_back("Result:          no fault found");
  } else {
    const std::string differences =
        Counted(LayoutDifferences(), "difference", "differences") + " from the SmartMedia layout, which a format mends";
    lines.push_back("Result:          " + (CardSound() ? "no fault of the card; " + differences
                                                       : Counted(CardFaults(), "fault", "faults") + " of the card" +
                                                             (LayoutDifferences() == 0 ? "" : "; " + differences)));
  }
  return lines;
}

std::string CardCheck::Json(const std::string& source, const std::string& geometry) const {
  std::ostringstream json;
  json << "{\"source\": " << JsonText(source) << ", \"geometry\": " << JsonText(geometry)
       << ", \"read\": " << JsonText(everyPage ? "every page" : "quick") << ", \"pagesRead\": " << pagesRead
       << ", \"result\": "
       << JsonText(end != PassEnd::Complete ? "incomplete"
                   : Passed()               ? "sound"
                   : CardSound()            ? "layout-differs"
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
    json << ", \"holds\": " << JsonText(Holds()) << ", \"files\": {\"read\": " << JsonBool(volume.rootRead)
         << ", \"files\": " << volume.files << ", \"folders\": " << volume.folders
         << ", \"bytesInUse\": " << JsonOptional<std::uint64_t>(volume.bytesInUse, JsonNumber) << "}";
  }
  json << ", \"counts\": {";
  for (std::size_t i = 0; i < kKindNames.size(); ++i) {
    json << (i ? ", " : "") << JsonText(kKindNames[i].name) << ": " << Count(kKindNames[i].kind);
  }
  json << "}";
  for (const bool card : {true, false}) {
    json << (card ? ", \"faults\": [" : ", \"layoutDifferences\": [");
    bool first = true;
    for (const CardFault& f : faults) {
      if (IsCardFault(f) != card) continue;
      json << (first ? "" : ", ") << JsonFault(f);
      first = false;
    }
    json << "]";
  }
  json << "}";
  return json.str();
}

CardCheck CheckCard(const Nand& nand, const CardCheckOptions& options) {
  ImagePages pages(nand);
  return CheckCard(pages, options);
}

CardCheck CheckCard(PageSource& pages, const CardCheckOptions& options, const PassWatch& watch) {
  return Checker(pages, options, watch).Run();
}

}  // namespace card
