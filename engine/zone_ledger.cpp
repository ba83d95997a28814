#include "engine/zone_ledger.h"

#include "engine/zone_layout.h"

namespace {

// What the operator reads for each kind of loss, counted.
constexpr const char* kLossTexts[] = {"marked bad before", "could not be erased", "could not be read"};

}  // namespace

ZoneLedger::ZoneLedger(const MediaGeometry& geometry) {
  for (std::uint8_t u = 0; u < geometry.unitCount && u < MediaGeometry::kUnitSlots; ++u) {
    const MediaUnit& unit = geometry.units[u];
    const std::uint32_t blocks = unit.sectorsPerBlock == 0 ? 0 : unit.totalSectors / unit.sectorsPerBlock;
    unitBlocks.push_back(blocks);
    zoneBlocks.push_back(zone_layout::ZoneBlocks(blocks));
    zones.emplace_back(zone_layout::ZoneCount(blocks), Counts{});
  }
}

void ZoneLedger::Add(PhysicalBlock block, Unusable why) { ++ZoneOf(block)[static_cast<std::size_t>(why)]; }

std::uint32_t ZoneLedger::Reserved(PhysicalBlock block) const {
  return block.unit == 0 && Zone(block) == 0 ? cisReserve : 0;
}

std::uint32_t ZoneLedger::Total(PhysicalBlock block) const {
  std::uint32_t total = Reserved(block);
  for (const std::uint32_t count : ZoneOf(block)) total += count;
  return total;
}

bool ZoneLedger::Full(PhysicalBlock block) const {
  return Total(block) > zone_layout::ZoneUnusableLimit(unitBlocks[block.unit]);
}

std::string ZoneLedger::Losses(PhysicalBlock block) const {
  std::string why;
  const auto add = [&why](std::uint32_t count, const std::string& what) {
    if (count == 0) return;
    why += (why.empty() ? "" : ", ") + std::to_string(count) + " " + what;
  };
  for (std::size_t kind = 0; kind < ZoneOf(block).size(); ++kind) add(ZoneOf(block)[kind], kLossTexts[kind]);
  add(Reserved(block), "for the card information structure and the blocks before it");
  return why;
}

std::string ZoneLedger::FullText(PhysicalBlock block) const {
  const std::uint32_t blocks = unitBlocks[block.unit];
  const std::string why = Losses(block);
  return "Zone " + std::to_string(Zone(block)) + " of unit " + std::to_string(block.unit) + " can no longer hold its " +
         std::to_string(zone_layout::ZoneLogicalBlocks(blocks)) + " logical blocks: " + std::to_string(Total(block)) +
         " of its " + std::to_string(zoneBlocks[block.unit]) + " blocks cannot be used (" + why +
         "), and it needs one more than its logical blocks, to rewrite data into. The card cannot be formatted.";
}
