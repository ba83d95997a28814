#include "card/firmware.h"

#include <algorithm>

#include "card/page_format.h"
#include "engine/byte_order.h"
#include "engine/zone_layout.h"

namespace card {

std::uint32_t ZonePhysicalBlocks(const UnitGeometry& unit) { return zone_layout::ZoneBlocks(unit.blocks); }

std::uint32_t ZoneLogicalBlocks(const UnitGeometry& unit) { return zone_layout::ZoneLogicalBlocks(unit.blocks); }

std::uint32_t ZoneCount(const UnitGeometry& unit) { return unit.blocks / ZonePhysicalBlocks(unit); }

std::uint64_t LogicalSectorCount(const CardGeometry& geometry) {
  std::uint64_t total = 0;
  for (const UnitGeometry& unit : geometry.units) {
    total += std::uint64_t{ZoneCount(unit)} * ZoneLogicalBlocks(unit) * unit.pagesPerBlock;
  }
  return total;
}

std::optional<std::uint32_t> FindCisBlock(const Nand& nand) {
  if (nand.UnitCount() == 0) return std::nullopt;
  const UnitGeometry& unit = nand.Unit(0);
  const std::uint32_t limit = std::min(unit.blocks, kCisSearchBlocks);
  for (std::uint32_t block = 0; block < limit; ++block) {
    // A block whose first page cannot be read is passed over, as the
    // format's own scan passes over it.
    if (nand.IsBad(0, block) || !nand.PageReadable(0, block * unit.pagesPerBlock)) continue;
    if (IsCisPage(nand.Page(0, block * unit.pagesPerBlock))) return block;
    return std::nullopt;
  }
  return std::nullopt;
}

Firmware::Firmware(Nand& nand_) : nand(nand_) {
  std::uint64_t sector = 0;
  std::uint32_t logicalBlock = 0;
  for (std::size_t u = 0; u < nand.UnitCount(); ++u) {
    const UnitGeometry& unit = nand.Unit(u);
    for (std::uint32_t z = 0; z < ZoneCount(unit); ++z) {
      Zone zone;
      zone.unit = static_cast<std::uint8_t>(u);
      zone.physicalBlocks = ZonePhysicalBlocks(unit);
      zone.firstBlock = z * zone.physicalBlocks;
      zone.logicalBlocks = ZoneLogicalBlocks(unit);
      zone.pagesPerBlock = unit.pagesPerBlock;
      zone.firstSector = sector;
      zone.firstLogicalBlock = logicalBlock;
      sector += std::uint64_t{zone.logicalBlocks} * zone.pagesPerBlock;
      logicalBlock += zone.logicalBlocks;
      zones.push_back(std::move(zone));
    }
  }
  logicalSectors = sector;
  Rescan();
}

std::uint32_t Firmware::LogicalBlocks() const {
  return zones.empty() ? 0 : zones.back().firstLogicalBlock + zones.back().logicalBlocks;
}

void Firmware::Rescan() {
  cisBlock = FindCisBlock(nand);
  for (Zone& zone : zones) ScanZone(zone);
  stale = false;
}

void Firmware::Refresh() {
  if (stale) Rescan();
}

void Firmware::ScanZone(Zone& zone) {
  zone.map.assign(zone.logicalBlocks, kUnmapped);
  zone.states.assign(zone.physicalBlocks, BlockState::Free);
  zone.cursor = 0;
  for (std::uint32_t index = 0; index < zone.physicalBlocks; ++index) {
    const std::uint32_t block = UnitBlock(zone, index);
    BlockState& state = zone.states[index];
    if (zone.unit == 0 && cisBlock && block <= *cisBlock) {
      state = BlockState::Reserved;
      continue;
    }
    if (nand.IsBad(zone.unit, block)) {
      state = BlockState::Bad;
      continue;
    }
    const std::uint8_t* area = nand.Page(zone.unit, block * zone.pagesPerBlock) + kRedundantStart;
    const std::uint16_t first = LoadBe16(area + redundant::kBlockAddress1);
    const std::uint16_t second = LoadBe16(area + redundant::kBlockAddress2);
    std::optional<std::uint16_t> lba = DecodeBlockAddress(first);
    if (!lba) lba = DecodeBlockAddress(second);
    if (lba && *lba < zone.logicalBlocks && zone.map[*lba] == kUnmapped) {
      zone.map[*lba] = static_cast<std::int32_t>(index);
      state = BlockState::Mapped;
    } else if (first == kErasedAddress && second == kErasedAddress) {
      state = BlockState::Free;
    } else {
      // A duplicate or an address the zone cannot hold: erased before reuse.
      state = BlockState::Stale;
    }
  }
}

Firmware::Zone& Firmware::ZoneOfSector(std::uint64_t lba) {
  auto next = std::upper_bound(zones.begin(), zones.end(), lba,
                               [](std::uint64_t sector, const Zone& zone) { return sector < zone.firstSector; });
  return *(next - 1);
}

bool Firmware::ReadSectors(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
  if (lba > logicalSectors || count > logicalSectors - lba) return false;
  Refresh();
  for (std::uint32_t i = 0; i < count; ++i, out += kSectorSize) {
    Zone& zone = ZoneOfSector(lba + i);
    const std::uint64_t offset = lba + i - zone.firstSector;
    const std::int32_t index = zone.map[offset / zone.pagesPerBlock];
    if (index == kUnmapped) {
      std::fill_n(out, kSectorSize, kErased);
      continue;
    }
    const std::uint32_t page =
        UnitBlock(zone, static_cast<std::uint32_t>(index)) * zone.pagesPerBlock + offset % zone.pagesPerBlock;
    if (!nand.PageReadable(zone.unit, page)) return false;
    const std::uint8_t* source = nand.Page(zone.unit, page);
    std::copy(source, source + kSectorSize, out);
  }
  return true;
}

bool Firmware::WriteSectors(std::uint64_t lba, std::uint32_t count, const std::uint8_t* data) {
  if (lba > logicalSectors || count > logicalSectors - lba) return false;
  Refresh();
  std::uint32_t done = 0;
  while (done < count) {
    Zone& zone = ZoneOfSector(lba + done);
    const std::uint64_t offset = lba + done - zone.firstSector;
    const auto block = static_cast<std::uint32_t>(offset / zone.pagesPerBlock);
    const auto firstPage = static_cast<std::uint32_t>(offset % zone.pagesPerBlock);
    const std::uint32_t pages = std::min(zone.pagesPerBlock - firstPage, count - done);
    if (!CopyOnWrite(zone, block, firstPage, pages, data + std::size_t{done} * kSectorSize)) return false;
    done += pages;
  }
  return true;
}

bool Firmware::CopyOnWrite(Zone& zone, std::uint32_t lba, std::uint32_t firstPage, std::uint32_t pages,
                           const std::uint8_t* data) {
  const std::int32_t old = zone.map[lba];
  std::vector<std::uint8_t> content(std::size_t{zone.pagesPerBlock} * kSectorSize, kErased);
  for (std::uint32_t p = 0; p < zone.pagesPerBlock; ++p) {
    std::uint8_t* target = content.data() + std::size_t{p} * kSectorSize;
    if (p >= firstPage && p < firstPage + pages) {
      std::copy_n(data + std::size_t{p - firstPage} * kSectorSize, kSectorSize, target);
    } else if (old != kUnmapped) {
      const std::uint32_t page = UnitBlock(zone, static_cast<std::uint32_t>(old)) * zone.pagesPerBlock + p;
      if (!nand.PageReadable(zone.unit, page)) return false;
      std::copy_n(nand.Page(zone.unit, page), kSectorSize, target);
    }
  }
  std::optional<std::uint32_t> fresh;
  while ((fresh = AllocateBlock(zone, old))) {
    if (ProgramBlock(zone, *fresh, lba, content)) break;
    Retire(zone, *fresh);
  }
  if (!fresh) return false;
  zone.map[lba] = static_cast<std::int32_t>(*fresh);
  zone.states[*fresh] = BlockState::Mapped;
  if (old != kUnmapped) {
    const auto oldIndex = static_cast<std::uint32_t>(old);
    if (nand.Erase(zone.unit, UnitBlock(zone, oldIndex))) {
      zone.states[oldIndex] = BlockState::Free;
    } else {
      // It still names the logical block: retire it so that no later scan maps the old copy.
      Retire(zone, oldIndex);
    }
  }
  return true;
}

bool Firmware::ProgramBlock(Zone& zone, std::uint32_t index, std::uint32_t lba, const std::vector<std::uint8_t>& data) {
  const std::uint32_t base = UnitBlock(zone, index) * zone.pagesPerBlock;
  for (std::uint32_t p = 0; p < zone.pagesPerBlock; ++p) {
    const std::uint8_t* sector = data.data() + std::size_t{p} * kSectorSize;
    const RedundantArea area = LogicalRedundant(static_cast<std::uint16_t>(lba), sector);
    if (!nand.Program(zone.unit, base + p, 0, sector, kSectorSize) ||
        !nand.Program(zone.unit, base + p, kRedundantStart, area.data(), area.size())) {
      return false;
    }
  }
  return true;
}

std::optional<std::uint32_t> Firmware::AllocateBlock(Zone& zone, std::int32_t keep) {
  for (std::uint32_t step = 0; step < zone.physicalBlocks; ++step) {
    const std::uint32_t index = (zone.cursor + step) % zone.physicalBlocks;
    const BlockState state = zone.states[index];
    if (static_cast<std::int32_t>(index) == keep || (state != BlockState::Free && state != BlockState::Stale)) {
      continue;
    }
    const std::uint32_t block = UnitBlock(zone, index);
    if (!nand.IsErased(zone.unit, block) && !nand.Erase(zone.unit, block)) {
      Retire(zone, index);
      continue;
    }
    zone.states[index] = BlockState::Free;
    zone.cursor = (index + 1) % zone.physicalBlocks;
    return index;
  }
  return std::nullopt;
}

void Firmware::Retire(Zone& zone, std::uint32_t index) {
  nand.MarkBad(zone.unit, UnitBlock(zone, index));
  zone.states[index] = BlockState::Bad;
}

std::optional<std::uint32_t> Firmware::CisBlock() {
  Refresh();
  return cisBlock;
}

std::uint32_t Firmware::MappedBlocks() {
  Refresh();
  std::uint32_t mapped = 0;
  for (const Zone& zone : zones) {
    mapped += static_cast<std::uint32_t>(
        std::count_if(zone.map.begin(), zone.map.end(), [](std::int32_t index) { return index != kUnmapped; }));
  }
  return mapped;
}

std::optional<BlockRef> Firmware::Locate(std::uint32_t logicalBlock) {
  if (logicalBlock >= LogicalBlocks()) return std::nullopt;
  Refresh();
  auto next = std::upper_bound(zones.begin(), zones.end(), logicalBlock,
                               [](std::uint32_t block, const Zone& zone) { return block < zone.firstLogicalBlock; });
  const Zone& zone = *(next - 1);
  const std::int32_t index = zone.map[logicalBlock - zone.firstLogicalBlock];
  if (index == kUnmapped) return std::nullopt;
  return BlockRef{zone.unit, UnitBlock(zone, static_cast<std::uint32_t>(index))};
}

}  // namespace card
