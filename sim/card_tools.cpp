#include "sim/card_tools.h"

#include <cerrno>
#include <fstream>
#include <utility>

#include "sim/card_files.h"
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

CardAndPlan OpenCardAndPlan(const std::string& imagePath, const std::optional<CardGeometry>& geometry, Access access,
                            const StorageOpener& open) {
  CardOpen opened =
      geometry ? OpenCardImage(imagePath, *geometry, access, open) : OpenCardImage(imagePath, access, open);
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
      card.Flush();
      return "cannot write logical sectors from " + std::to_string(lba) + " (no usable free block left?)";
    }
  }
  return card.Flush();
}

namespace {

std::string ErrnoText() { return errno != 0 ? SystemText(errno) : "the system gave no reason"; }

std::string CheckOutput(const Card& card, const std::string& path) {
  if (card.HasFile()) {
    for (const auto& [own, what] :
         {std::pair<std::string, const char*>{card.Path(), "image"},
          std::pair<std::string, const char*>{FaultSidecarPath(card.Path()), "fault sidecar"}}) {
      if (SameFile(path, own)) return path + ": that is the card's own " + what + "; give another file";
    }
  }
  if (PathExists(path)) {
    const std::string problem = CheckRegularFile(path, "a file to replace");
    if (!problem.empty()) return problem;
  }
  return "";
}

std::string WriteLogical(Card& card, std::ofstream& out, const std::string& path) {
  Firmware firmware(card.Media());
  const std::uint32_t chunk = Chunk(card);
  std::vector<std::uint8_t> sectors(std::size_t{chunk} * kSectorSize);
  for (std::uint64_t lba = 0; lba < firmware.LogicalSectors(); lba += chunk) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, firmware.LogicalSectors() - lba));
    if (!firmware.ReadSectors(lba, count, sectors.data())) {
      if (!card.Media().HostError().empty()) return card.Media().HostError();
      return "cannot read logical sectors " + std::to_string(lba) + " to " + std::to_string(lba + count - 1) +
             " (an unreadable page)";
    }
    out.write(reinterpret_cast<const char*>(sectors.data()), static_cast<std::streamsize>(count * kSectorSize));
    if (!out) return path + ": cannot write the logical image: " + ErrnoText();
  }
  out.flush();
  if (!out) return path + ": cannot write the logical image: " + ErrnoText();
  return card.Media().HostError();
}

std::uint64_t LogicalSectorsOf(const Card& card) { return LogicalSectorCount(card.Geometry()); }

std::string CheckInput(const Card& card, const std::string& path, std::uint64_t& size) {
  std::string problem = CheckRegularFile(path, "a logical image");
  if (!problem.empty()) return problem;
  const std::string error = FileSize(path, size);
  if (!error.empty()) return path + ": cannot tell its size: " + error;
  if (size % kSectorSize != 0) return path + ": a logical image holds whole sectors of 512 bytes";
  if (size / kSectorSize > LogicalSectorsOf(card)) {
    return path + ": the logical image has " + std::to_string(size / kSectorSize) + " sectors; the card holds " +
           std::to_string(LogicalSectorsOf(card));
  }
  return "";
}

}  // namespace

std::string ExportLogicalFile(Card& card, const std::string& path, const FaultPlan& plan) {
  std::string problem = CheckOutput(card, path);
  if (!problem.empty()) return problem;
  const ChipFaults faults(card.Media(), plan);
  // Through a link to the file it leads to, which is then replaced.
  const std::string target = LinkTarget(path);
  const std::string temporary = TemporarySibling(target);
  {
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    problem = out ? WriteLogical(card, out, temporary) : temporary + ": cannot create the file: " + ErrnoText();
  }
  if (problem.empty()) problem = ReplaceFile(temporary, target);
  if (!problem.empty()) RemoveQuietly(temporary);
  return problem;
}

std::string ImportLogicalFile(Card& card, const std::string& path, const FaultPlan& plan) {
  std::uint64_t size = 0;
  std::string problem = CheckInput(card, path, size);
  if (!problem.empty()) return problem;
  if (plan.writeProtected) return "the card is write-protected (see its fault sidecar); nothing was written";
  const ChipFaults faults(card.Media(), plan);
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return path + ": cannot open the logical image: " + ErrnoText();
  Firmware firmware(card.Media());
  const std::uint32_t chunk = Chunk(card);
  std::vector<std::uint8_t> sectors(std::size_t{chunk} * kSectorSize);
  const std::uint64_t total = size / kSectorSize;
  for (std::uint64_t lba = 0; lba < total && problem.empty(); lba += chunk) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, total - lba));
    in.read(reinterpret_cast<char*>(sectors.data()), static_cast<std::streamsize>(count * kSectorSize));
    if (!in) {
      problem = path + ": cannot read the logical image: " + ErrnoText();
    } else if (!firmware.WriteSectors(lba, count, sectors.data())) {
      problem = card.Media().HostError().empty()
                    ? "cannot write logical sectors from " + std::to_string(lba) + " (no usable free block left?)"
                    : card.Media().HostError();
    }
  }
  const std::string commit = card.Flush();
  return problem.empty() ? commit : problem;
}

}  // namespace sim
