#include "app/cli/format_forecast.h"

#include <algorithm>

#include "card/firmware.h"
#include "engine/fat_layout.h"
#include "engine/verify.h"
#include "engine/zone_layout.h"

namespace {

constexpr std::size_t kBlocksListed = 10;

std::string BlockList(const std::vector<card::BadBlock>& blocks) {
  std::string text;
  for (std::size_t i = 0; i < blocks.size() && i < kBlocksListed; ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(blocks[i].unit) + ":" + std::to_string(blocks[i].block);
  }
  return text + (blocks.size() > kBlocksListed ? ", ..." : "");
}

std::string Blocks(std::size_t count) { return std::to_string(count) + (count == 1 ? " block" : " blocks"); }

// The CIS the format keeps, writes anew, or cannot place; the blocks it keeps for it.
std::uint32_t ForecastCis(const card::CardCheck& check, FormatForecast& forecast) {
  const auto found = std::find_if(check.faults.begin(), check.faults.end(), [](const card::CardFault& f) {
    return f.kind == card::CardFaultKind::CisMissing || f.kind == card::CardFaultKind::CisMalformed;
  });
  if (check.cisBlock) {
    const bool eccSound = std::none_of(check.faults.begin(), check.faults.end(), [&check](const card::CardFault& f) {
      return (f.kind == card::CardFaultKind::EccCorrectable || f.kind == card::CardFaultKind::EccUncorrectable) &&
             f.unit == 0 && f.block == *check.cisBlock;
    });
    if (eccSound) {
      forecast.lines.push_back("keep the CIS in block " + std::to_string(*check.cisBlock) + " as it is");
      return *check.cisBlock + 1;
    }
    forecast.lines.push_back("erase the CIS in block " + std::to_string(*check.cisBlock) +
                             " and write it anew: the ECC of its page does not match its data");
    return *check.cisBlock;
  }
  if (found != check.faults.end() && !found->where.empty()) {
    forecast.refused = true;
    forecast.lines.push_back("refuse the card: " + card::Describe(*found) + ", so no host could use it");
    return 0;
  }
  forecast.lines.push_back(
      "write a new CIS into the first good block (unit 0 block " +
      std::to_string(found != check.faults.end() ? found->block : 0) + ", which holds " +
      (found != check.faults.end() && found->kind == card::CardFaultKind::CisMalformed ? "a damaged CIS" : "no CIS") +
      " now)");
  return 0;
}

}  // namespace

FormatForecast ForecastFormat(const card::CardCheck& check, const card::CardGeometry& geometry) {
  FormatForecast forecast;
  if (check.writeProtected.value_or(false)) {
    forecast.refused = true;
    forecast.lines.push_back("refuse the card: it is write-protected");
    return forecast;
  }
  const std::uint32_t kept = ForecastCis(check, forecast);
  std::uint64_t blocks = 0;
  for (const card::UnitGeometry& unit : geometry.units) blocks += unit.blocks;
  const std::uint64_t toErase = blocks - kept - check.badBlocks.size();
  forecast.lines.push_back("erase " + Blocks(toErase) + ", " + std::to_string(check.blocksHoldingData) +
                           " of which hold data now (a block that fails to erase shows only in the format itself)");
  if (!check.badBlocks.empty()) {
    forecast.lines.push_back("leave the " + Blocks(check.badBlocks.size()) + " marked bad as they are (" +
                             BlockList(check.badBlocks) + ")");
  }
  std::vector<card::BadBlock> unreadable;
  for (const card::CardFault& f : check.faults) {
    const std::uint32_t pagesPerBlock = geometry.units[f.unit].pagesPerBlock;
    if (f.kind == card::CardFaultKind::PageUnreadable && f.page % pagesPerBlock == 0) {
      unreadable.push_back({f.unit, f.block, false});
    }
  }
  if (!unreadable.empty()) {
    forecast.lines.push_back("read again the " + Blocks(unreadable.size()) + " whose first page cannot be read now (" +
                             BlockList(unreadable) +
                             ") and mark each bad that still cannot be read, unless so many fail that the reader or "
                             "the card's contacts are at fault (then it marks none and ends)");
  }
  const std::optional<FileSystemLayout> layout =
      FileSystemLayout::For(check.capacityKey, check.capacityKey - kComputedPartitionStart);
  if (!layout) {
    forecast.refused = true;
    forecast.lines.push_back("refuse the card: capacity " + std::to_string(check.capacityKey) +
                             " gives no file system layout");
    return forecast;
  }
  forecast.lines.push_back("write the SmartMedia file system of capacity " + std::to_string(check.capacityKey) +
                           " (the MBR, the boot sector, both FATs and the root directory: sectors 0 to " +
                           std::to_string(layout->SectorCount() - 1) + ") and read it back");
  forecast.lines.push_back("and so erase what the card holds: " +
                           (check.volume.volume ? check.volume.FilesText() : check.Holds()));
  return forecast;
}
