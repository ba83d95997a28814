#include "card/logical_map.h"

#include <algorithm>
#include <cstring>

#include "card/firmware.h"
#include "card/page_format.h"
#include "engine/byte_order.h"
#include "engine/zone_layout.h"

namespace card {

namespace {

constexpr std::int32_t kNoHolder = -1;

}  // namespace

std::optional<std::uint16_t> ClaimOf(const std::uint8_t* page) {
  const std::uint8_t* area = page + kRedundantStart;
  std::optional<std::uint16_t> claim = DecodeBlockAddress(LoadBe16(area + redundant::kBlockAddress1));
  if (!claim) claim = DecodeBlockAddress(LoadBe16(area + redundant::kBlockAddress2));
  return claim;
}

std::optional<std::uint16_t> ClaimOf(const BlockPages& block) {
  for (std::size_t p = 0; p < block.pages.size(); ++p) {
    if (!block.readable[p]) continue;
    const std::optional<std::uint16_t> claim = ClaimOf(block.pages[p].data());
    if (claim || p == 0) return claim;
  }
  return std::nullopt;
}

bool ClaimUnread(const BlockPages& sofar) {
  return std::none_of(sofar.readable.begin(), sofar.readable.end(), [](bool read) { return read; });
}

LogicalMap::LogicalMap(const CardGeometry& geometry_) : geometry(geometry_) {
  for (std::size_t u = 0; u < geometry.units.size(); ++u) {
    const UnitGeometry& unit = geometry.units[u];
    uses.emplace_back(unit.blocks, BlockUse::Unseen);
    for (std::uint32_t z = 0; z < ZoneCount(unit); ++z) {
      Zone zone;
      zone.unit = static_cast<std::uint8_t>(u);
      zone.blocks = ZonePhysicalBlocks(unit);
      zone.firstBlock = z * zone.blocks;
      zone.logicalBlocks = ZoneLogicalBlocks(unit);
      zone.pagesPerBlock = unit.pagesPerBlock;
      zone.firstSector = sectors;
      zone.holders.assign(zone.logicalBlocks, kNoHolder);
      sectors += std::uint64_t{zone.logicalBlocks} * zone.pagesPerBlock;
      zones.push_back(std::move(zone));
    }
  }
}

LogicalMap::Zone& LogicalMap::ZoneOfBlock(std::uint8_t unit, std::uint32_t block) {
  const auto it = std::find_if(zones.begin(), zones.end(), [unit, block](const Zone& z) {
    return z.unit == unit && block >= z.firstBlock && block < z.firstBlock + z.blocks;
  });
  return *it;
}

// Hosts look for the CIS only in the blocks before the first zone's data
// area, in the first good block whose first page they can read.
void LogicalMap::Take(const BlockPages& pages, bool bad) {
  const std::uint8_t unit = pages.unit;
  const std::uint32_t block = pages.block;
  const std::uint8_t* firstPage = pages.readable[0] ? pages.pages[0].data() : nullptr;
  const std::optional<std::uint16_t> claim = ClaimOf(pages);
  BlockUse& use = uses[unit][block];
  if (unit == 0 && cis == CisFinding::Undecided) {
    const std::uint32_t window = zone_layout::CisWindowBlocks(geometry.units[0].blocks);
    if (block >= window) {
      cis = CisFinding::NoGoodBlock;
      cisBlock = window;
    } else if (!bad && firstPage != nullptr) {
      cisBlock = block;
      cis = IsCisPage(firstPage)                                              ? CisFinding::Cis
            : std::equal(CisSignature.begin(), CisSignature.end(), firstPage) ? CisFinding::LikeCis
                                                                              : CisFinding::NoCis;
      if (cis != CisFinding::NoCis) cisHome = block;
    }
  }
  if (bad) {
    use = BlockUse::Bad;
  } else if (firstPage == nullptr && !claim) {
    use = BlockUse::Unreadable;
  } else if (Reserved(unit, block)) {
    use = BlockUse::Reserved;
  } else if (firstPage != nullptr && ErasedPage(firstPage)) {
    use = BlockUse::Free;
  } else {
    use = BlockUse::Stale;
    Zone& zone = ZoneOfBlock(unit, block);
    if (!claim || *claim >= zone.logicalBlocks) return;
    std::int32_t& holder = zone.holders[*claim];
    if (holder == kNoHolder) {
      holder = static_cast<std::int32_t>(block - zone.firstBlock);
      use = BlockUse::Holder;
    } else {
      duplicates.push_back({unit, block, zone.firstBlock + static_cast<std::uint32_t>(holder), *claim});
    }
  }
}

const LogicalMap::Zone* LogicalMap::ZoneOf(std::uint64_t sector) const {
  if (sector >= sectors) return nullptr;
  const auto next = std::upper_bound(zones.begin(), zones.end(), sector,
                                     [](std::uint64_t s, const Zone& zone) { return s < zone.firstSector; });
  return &*(next - 1);
}

std::optional<PageRef> LogicalMap::Locate(std::uint64_t sector) const {
  const Zone* zone = ZoneOf(sector);
  if (zone == nullptr) return std::nullopt;
  const std::uint64_t offset = sector - zone->firstSector;
  const std::int32_t index = zone->holders[offset / zone->pagesPerBlock];
  if (index == kNoHolder) return std::nullopt;
  const std::uint32_t block = zone->firstBlock + static_cast<std::uint32_t>(index);
  return PageRef{zone->unit, block * zone->pagesPerBlock + static_cast<std::uint32_t>(offset % zone->pagesPerBlock)};
}

SectorRead ReadSector(PageSource& pages, const LogicalMap& map, std::uint64_t sector) {
  SectorRead out;
  out.data.fill(kErased);
  out.page = map.Locate(sector);
  if (!out.page) return out;
  PageBuffer page{};
  if (!pages.Read(out.page->unit, out.page->page, page)) {
    out.state = SectorRead::State::Unreadable;
    return out;
  }
  std::copy(page.begin(), page.begin() + kSectorSize, out.data.begin());
  if (ErasedPage(page.data())) {
    out.state = SectorRead::State::Data;
    return out;
  }
  out.written = true;
  out.ecc = JudgeEcc(page.data());
  const bool mendable = std::all_of(out.ecc.begin(), out.ecc.end(), [](const EccResult& r) { return Readable(r); });
  out.state = mendable ? SectorRead::State::Data : SectorRead::State::Uncorrectable;
  MendData(out.data.data(), out.ecc);
  return out;
}

MappedCard MapCard(PageSource& pages, const PassWatch& watch) {
  MappedCard mapped{LogicalMap(pages.Geometry())};
  PassPlan plan;
  plan.everyPage = false;
  plan.morePages = ClaimUnread;
  mapped.end = ReadPages(pages, watch, plan, [&mapped](const BlockPages& block) {
    const bool bad = block.readable[0] && block.pages[0][kRedundantStart + redundant::kBlockStatus] != kErased;
    mapped.map.Take(block, bad);
  });
  return mapped;
}

}  // namespace card
