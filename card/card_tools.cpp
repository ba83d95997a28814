#include "card/card_tools.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include "card/card_files.h"
#include "card/firmware.h"

namespace card {

namespace {

// Sectors moved per firmware call: whole blocks, so that an import costs one
// copy-on-write per logical block.
std::uint32_t Chunk(const Card& card) {
  std::uint32_t pages = kMaxPagesPerBlock;
  for (const UnitGeometry& unit : card.Geometry().units) pages = std::min(pages, unit.pagesPerBlock);
  return pages;
}

// A fault of the sidecar on a block or page the card does not have: it would
// never apply, and the run would prove nothing about it.
std::string FaultOffCard(const CardGeometry& geometry, const FaultPlan& plan) {
  const auto off = [&geometry](std::uint8_t unit, std::uint64_t at, bool page) {
    if (unit >= geometry.units.size()) return true;
    const UnitGeometry& u = geometry.units[unit];
    return at >= (page ? std::uint64_t{u.blocks} * u.pagesPerBlock : u.blocks);
  };
  const auto name = [](const char* kind, std::uint8_t unit, std::uint64_t at) {
    return std::string(kind) + " " + std::to_string(unit) + ":" + std::to_string(at) + " is not on the card";
  };
  for (const PageRef& ref : plan.unreadablePages) {
    if (off(ref.unit, ref.page, true)) return name("unreadable-page", ref.unit, ref.page);
  }
  for (const auto& [kind, blocks] :
       {std::pair{"erase-fails", &plan.failingErase}, {"program-fails", &plan.failingProgram}}) {
    for (const BlockRef& ref : *blocks) {
      if (off(ref.unit, ref.block, false)) return name(kind, ref.unit, ref.block);
    }
  }
  return "";
}

}  // namespace

CardAndPlan OpenCardAndPlan(const std::string& imagePath, const std::optional<CardGeometry>& geometry, Access access,
                            const StorageOpener& open) {
  CardOpen opened =
      geometry ? OpenCardImage(imagePath, *geometry, access, open) : OpenCardImage(imagePath, access, open);
  if (!opened) return CardAndPlan{nullptr, {}, opened.error};
  FaultPlanLoad sidecar = LoadFaultPlan(imagePath);
  if (!sidecar.error.empty()) return CardAndPlan{nullptr, {}, sidecar.error};
  const std::string offCard = FaultOffCard(opened.card->Geometry(), sidecar.plan);
  if (!offCard.empty()) return CardAndPlan{nullptr, {}, FaultSidecarPath(imagePath) + ": " + offCard};
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

// Writes every logical sector to `out`; a sector that cannot be read is
// written as zeros and added to `unreadable`.
std::string WriteLogical(Card& card, std::ofstream& out, const std::string& path, std::vector<FatRun>& unreadable) {
  Firmware firmware(card.Media());
  const std::uint32_t chunk = Chunk(card);
  std::vector<std::uint8_t> sectors(std::size_t{chunk} * kSectorSize);
  for (std::uint64_t lba = 0; lba < firmware.LogicalSectors(); lba += chunk) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk, firmware.LogicalSectors() - lba));
    if (!firmware.ReadSectors(lba, count, sectors.data())) {
      // A block that cannot be read whole is read a sector at a time.
      for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* sector = sectors.data() + std::size_t{i} * kSectorSize;
        if (card.Media().HostError().empty() && !firmware.ReadSectors(lba + i, 1, sector)) {
          std::fill(sector, sector + kSectorSize, std::uint8_t{0});
          AppendRun(unreadable, lba + i, 1);
        }
      }
      if (!card.Media().HostError().empty()) return card.Media().HostError();
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

std::string LogicalFileSectors::Open(const std::string& imagePath) {
  // The list is small text: a line per run of sectors.
  constexpr std::uint64_t kMostListBytes = 16u << 20;
  path = imagePath;
  std::string problem = CheckRegularFile(path, "a logical image");
  std::uint64_t size = 0;
  if (problem.empty() && !(problem = FileSize(path, size)).empty())
    problem = path + ": cannot tell its size: " + problem;
  if (!problem.empty()) return problem;
  sectors = size / kSectorSize;
  errno = 0;
  file.open(path, std::ios::binary);
  if (!file) return path + ": cannot open the logical image: " + ErrnoText();
  const std::string list = UnreadableListPath(path);
  if (!PathExists(list)) return "";
  std::uint64_t listSize = 0;
  problem = CheckRegularFile(list, "a list of unreadable sectors");
  if (problem.empty() && FileSize(list, listSize).empty() && listSize > kMostListBytes) problem = list + ": too large";
  if (!problem.empty()) return problem;
  std::ifstream in(list, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) return list + ": cannot read it: " + ErrnoText();
  unreadable = ParseUnreadableList(text, problem);
  std::sort(unreadable.begin(), unreadable.end(), [](const FatRun& a, const FatRun& b) { return a.first < b.first; });
  return problem.empty() ? "" : list + ": " + problem;
}

bool LogicalFileSectors::Read(std::uint32_t sector, SectorBuffer& data) {
  if (sector >= sectors) return false;
  const auto after = std::upper_bound(unreadable.begin(), unreadable.end(), sector,
                                      [](std::uint64_t s, const FatRun& run) { return s < run.first; });
  if (after != unreadable.begin() && sector - std::prev(after)->first < std::prev(after)->count) return false;
  file.clear();
  file.seekg(static_cast<std::streamoff>(std::uint64_t{sector} * kSectorSize));
  file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(kSectorSize));
  if (file) return true;
  if (hostError.empty()) hostError = path + ": cannot read sector " + std::to_string(sector) + ": " + ErrnoText();
  return false;
}

ExportResult ExportLogicalFile(Card& card, const std::string& path, const FaultPlan& plan) {
  ExportResult result;
  const std::string list = UnreadableListPath(path);
  result.error = CheckOutput(card, path);
  if (result.error.empty()) result.error = CheckOutput(card, list);
  if (!result.error.empty()) return result;
  const ChipFaults faults(card.Media(), plan);
  // Through a link to the file it leads to, which is then replaced.
  const std::string target = LinkTarget(path);
  const std::string temporary = TemporarySibling(target);
  {
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    result.error = out ? WriteLogical(card, out, temporary, result.unreadable)
                       : temporary + ": cannot create the file: " + ErrnoText();
  }
  if (result.error.empty()) result.error = ReplaceFile(temporary, target);
  if (!result.error.empty()) {
    RemoveQuietly(temporary);
    return result;
  }
  // The list goes with the export in place, and no list with a whole one.
  if (result.unreadable.empty()) {
    result.error = RemoveFile(list);
  } else {
    const std::string listTarget = LinkTarget(list);
    const std::string listTemporary = TemporarySibling(listTarget);
    result.error = WriteTextFile(listTemporary, FormatUnreadableList(result.unreadable, card.Path(), path));
    if (result.error.empty()) result.error = ReplaceFile(listTemporary, listTarget);
    if (!result.error.empty()) RemoveQuietly(listTemporary);
  }
  if (!result.error.empty()) result.error = path + " is in place, but " + result.error;
  return result;
}

std::string UnreadableListPath(const std::string& exportPath) { return exportPath + ".unreadable.txt"; }

std::string FormatUnreadableList(const std::vector<FatRun>& runs, const std::string& source,
                                 const std::string& exportPath) {
  std::string text = "# Logical sectors" + (source.empty() ? "" : " of " + source) +
                     " that could not be read (unreadable pages):\n# " + exportPath + " holds zeros in their place.\n";
  for (const FatRun& run : runs) {
    text += std::to_string(run.first);
    if (run.count > 1) text += "-" + std::to_string(run.first + run.count - 1);
    text += "\n";
  }
  return text;
}

std::vector<FatRun> ParseUnreadableList(const std::string& text, std::string& error) {
  std::vector<FatRun> runs;
  std::istringstream lines(text);
  std::size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t dash = line.find('-');
    const std::string first = line.substr(0, dash);
    const std::string last = dash == std::string::npos ? first : line.substr(dash + 1);
    auto digits = [](const std::string& word) {
      return !word.empty() && word.size() <= 10 && word.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(first) || !digits(last) || std::stoull(last) < std::stoull(first)) {
      error = "line " + std::to_string(number) + " is not a sector or a run of sectors (\"1920-1951\"): " + line;
      return {};
    }
    AppendRun(runs, std::stoull(first), std::stoull(last) - std::stoull(first) + 1);
  }
  return runs;
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

}  // namespace card
