#include "sim/card_tools.h"

#include <fstream>
#include <iterator>
#include <utility>

#include "sim/firmware.h"

namespace sim {

namespace {

// Sectors moved per firmware call: whole blocks, so that an import costs one
// copy-on-write per logical block.
std::uint32_t Chunk(const Card& card) {
  std::uint32_t pages = kMaxPagesPerBlock;
  for (const UnitGeometry& unit : card.Geometry().units) pages = std::min(pages, unit.pagesPerBlock);
  return pages;
}

}  // namespace

CardAndPlan OpenCardAndPlan(const std::string& imagePath, const std::optional<CardGeometry>& geometry) {
  CardOpen opened = geometry ? OpenCardImage(imagePath, *geometry) : OpenCardImage(imagePath);
  if (!opened) return CardAndPlan{nullptr, {}, opened.error};
  FaultPlanLoad sidecar = LoadFaultPlan(imagePath);
  if (!sidecar.error.empty()) return CardAndPlan{nullptr, {}, sidecar.error};
  return CardAndPlan{std::move(opened.card), std::move(sidecar.plan), ""};
}

CardReport Inspect(Card& card) {
  CardReport report;
  report.geometry = card.Geometry();
  report.standardName = StandardName(report.geometry);
  const Nand& nand = card.Media();
  for (std::size_t u = 0; u < nand.UnitCount(); ++u) {
    for (std::uint32_t b = 0; b < nand.Unit(u).blocks; ++b) {
      if (nand.IsBad(u, b)) report.badBlocks.push_back({static_cast<std::uint8_t>(u), b});
    }
  }
  Firmware firmware(card.Media());
  report.cisBlock = firmware.CisBlock();
  report.logicalBlocks = firmware.LogicalBlocks();
  report.mappedBlocks = firmware.MappedBlocks();
  report.logicalSectors = firmware.LogicalSectors();
  return report;
}

LogicalImage ExportLogical(Card& card) {
  Firmware firmware(card.Media());
  LogicalImage image;
  image.bytes.resize(firmware.LogicalSectors() * kSectorSize);
  const std::uint32_t chunk = Chunk(card);
  for (std::uint64_t lba = 0; lba < firmware.LogicalSectors(); lba += chunk) {
    if (!firmware.ReadSectors(lba, chunk, image.bytes.data() + lba * kSectorSize)) {
      image.bytes.clear();
      image.error = "cannot read logical sectors from " + std::to_string(lba);
      return image;
    }
  }
  return image;
}

std::string ImportLogical(Card& card, const std::vector<std::uint8_t>& bytes) {
  Firmware firmware(card.Media());
  if (bytes.size() % kSectorSize != 0) return "a logical image holds whole sectors of 512 bytes";
  const std::uint64_t sectors = bytes.size() / kSectorSize;
  if (sectors > firmware.LogicalSectors()) {
    return "the logical image has " + std::to_string(sectors) + " sectors; the card holds " +
           std::to_string(firmware.LogicalSectors());
  }
  const std::uint32_t chunk = Chunk(card);
  for (std::uint64_t lba = 0; lba < sectors; lba += chunk) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, sectors - lba));
    if (!firmware.WriteSectors(lba, count, bytes.data() + lba * kSectorSize)) {
      card.Commit();
      return "cannot write logical sectors from " + std::to_string(lba) + " (no usable free block left?)";
    }
  }
  return card.Commit();
}

std::string ExportLogicalFile(Card& card, const std::string& path) {
  const LogicalImage image = ExportLogical(card);
  if (!image.error.empty()) return image.error;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.bytes.data()), static_cast<std::streamsize>(image.bytes.size()));
  out.flush();
  if (!out) return path + ": cannot write the logical image";
  return "";
}

std::string ImportLogicalFile(Card& card, const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return path + ": cannot open the logical image";
  const std::streamoff size = in.tellg();
  if (size < 0) return path + ": cannot read the logical image";
  // Read in one go: a 128 MB card's logical image is a quarter of a million sectors.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), size);
  if (!in) return path + ": cannot read the logical image";
  const std::string problem = ImportLogical(card, bytes);
  return problem.empty() ? "" : path + ": " + problem;
}

}  // namespace sim
