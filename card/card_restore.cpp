#include "card/card_restore.h"

#include <algorithm>

#include "card/card_check.h"
#include "card/page_format.h"
#include "engine/fat_reader.h"
#include "engine/reader_device.h"

namespace card {

namespace {

constexpr std::size_t kDirEntry = 32;
constexpr std::uint8_t kDeletedEntry = 0xE5;
constexpr std::size_t kSectorsListed = 10;
constexpr int kHomesTried = 3;                        // free blocks a logical block may try before the restore gives up
constexpr std::uint32_t kFormatEndPause = 1000;       // ms, as after the format's own format-end command
constexpr std::uint64_t kLastLogicalSector = 0xFFFF;  // logical reads carry 16-bit sector numbers

std::string SectorCount(std::size_t count) { return std::to_string(count) + (count == 1 ? " sector" : " sectors"); }

std::string SectorList(const std::vector<std::uint64_t>& sectors) {
  std::string text;
  for (std::size_t i = 0; i < sectors.size() && i < kSectorsListed; ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(sectors[i]);
  }
  return text + (sectors.size() > kSectorsListed ? ", ..." : "");
}

}  // namespace

RestorePlan::RestorePlan(PageSource& dump_, std::uint32_t capacityKey, const std::string& dumpName)
    : dump(dump_), map(MapCard(dump_).map) {
  CardCheckOptions quick;
  quick.everyPage = false;
  const CardCheck check = CheckCard(dump, quick);
  survey = check.volume;
  if (check.end != PassEnd::Complete) {
    refusal = dumpName + " cannot be read to its end";
  } else if (check.capacityKey != capacityKey) {
    refusal = dumpName + " is the dump of a card of capacity " + std::to_string(check.capacityKey) +
              ", not of this card's " + std::to_string(capacityKey);
  } else if (!check.layoutPresent || !survey.volume || survey.volume->fatBits == 32) {
    refusal = dumpName + " does not hold the SmartMedia file system of capacity " + std::to_string(capacityKey) +
              " (it holds " + check.Holds() + ")";
  }
  if (refusal.empty()) FindSectorsInUse();
  if (!refusal.empty()) {
    refusal +=
        ", so its sectors would not fall where the format puts the file system; nothing was written. "
        "Take its files with 'smcard extract " +
        dumpName + " DIR' and copy them onto the formatted card";
  }
}

// The FAT reader's sectors in use: from the volume's boot sector through its
// root directory, then every cluster the FAT gives out (a cluster whose
// entry neither FAT can give counts as given out).
void RestorePlan::FindSectorsInUse() {
  FatReader fat(
      [this](std::uint32_t sector, SectorBuffer& data) {
        const SectorRead read = Read(sector);
        if (read.Usable()) data = read.data;
        return read.Usable();
      },
      map.Sectors());
  if (const std::string problem = fat.Open(); !problem.empty()) {
    refusal = problem;
    return;
  }
  for (const FatRun& run : fat.SectorsInUse()) runs.push_back({run.first, run.count});
  const FatVolume& volume = *survey.volume;
  const std::uint64_t rootEnd = std::uint64_t{volume.RootStart()} + volume.RootSectors();
  for (const SectorRun& run : runs) {
    for (std::uint64_t sector = run.first; sector < run.first + run.count; ++sector) {
      if (Read(sector).Usable()) continue;
      const std::optional<std::uint64_t> other = OtherFat(sector);
      if (other && Read(*other).Usable()) {
        fromOtherFat.push_back(sector);
      } else if (sector >= volume.RootStart() && sector < rootEnd) {
        lostInRoot.push_back(sector);
      } else {
        lost.push_back(sector);
      }
    }
  }
}

std::optional<std::uint64_t> RestorePlan::OtherFat(std::uint64_t sector) const {
  const FatVolume& volume = *survey.volume;
  if (volume.fatCount != 2) return std::nullopt;
  const std::uint64_t first = std::uint64_t{volume.firstSector} + volume.reservedSectors;
  if (sector >= first && sector < first + volume.fatSectors) return sector + volume.fatSectors;
  if (sector >= first + volume.fatSectors && sector < first + 2 * std::uint64_t{volume.fatSectors}) {
    return sector - volume.fatSectors;
  }
  return std::nullopt;
}

std::uint64_t RestorePlan::Sectors() const {
  std::uint64_t total = 0;
  for (const SectorRun& run : runs) total += run.count;
  return total;
}

std::optional<SectorBuffer> RestorePlan::Content(std::uint64_t sector) const {
  const SectorRead read = Read(sector);
  if (read.Usable()) return read.data;
  if (const std::optional<std::uint64_t> other = OtherFat(sector)) {
    const SectorRead copy = Read(*other);
    if (copy.Usable()) return copy.data;
  }
  const FatVolume& volume = *survey.volume;
  if (sector >= volume.RootStart() && sector < std::uint64_t{volume.RootStart()} + volume.RootSectors()) {
    SectorBuffer deleted{};
    for (std::size_t at = 0; at < kSectorSize; at += kDirEntry) deleted[at] = kDeletedEntry;
    return deleted;
  }
  return std::nullopt;
}

std::vector<std::string> RestorePlan::Describe() const {
  std::vector<std::string> lines;
  lines.push_back("the dump holds " + survey.FilesText() + "; " + SectorCount(Sectors()) + " in use");
  if (!fromOtherFat.empty()) {
    lines.push_back(SectorCount(fromOtherFat.size()) +
                    " of the FATs the dump could read in one FAT only: taken from the other (sectors " +
                    SectorList(fromOtherFat) + ")");
  }
  if (!lostInRoot.empty()) {
    lines.push_back(SectorCount(lostInRoot.size()) + " of the root directory could not be read from the " +
                    "dump (sectors " + SectorList(lostInRoot) +
                    "): they go back as deleted entries, so that the entries after them still show; the files " +
                    "they listed are lost");
  }
  if (!lost.empty()) {
    lines.push_back(SectorCount(lost.size()) + " could not be read from the dump (sectors " + SectorList(lost) +
                    "): they are not written as data and keep what the format left there (zeros in the FATs, FF "
                    "bytes in a file); 'smcard extract' of the dump names the files they belong to");
  }
  return lines;
}

// --- Writing the plan onto the card ---------------------------------------------------------

namespace {

class Restorer {
 public:
  Restorer(CReaderDevice& reader, const RestorePlan& plan, FormatHost& host, const PassWatch& watch)
      : reader(reader), plan(plan), host(host), watch(watch) {}

  RestoreResult Run();

 private:
  // A logical block to write: its zone and number there, the content of each page (none: left unwritten).
  struct Work {
    const LogicalMap::Zone* zone = nullptr;
    std::uint16_t logicalBlock = 0;
    std::vector<std::optional<SectorBuffer>> pages;
    std::uint32_t fromDump = 0;  // pages that hold the dump's sectors
  };

  std::vector<Work> Blocks(const LogicalMap& card) const;
  bool InPlan(std::uint64_t sector) const;
  bool Compose(Work& work);
  bool WriteBlock(const Work& work, std::vector<std::uint32_t>& free);
  bool Program(const Work& work, std::uint32_t block);
  bool ReadsBack(const Work& work, std::uint32_t block);
  bool Fail(std::string text);
  void ReadBackThroughReader();
  std::string BlockName(const Work& work, std::uint32_t block) const {
    return std::to_string(work.zone->unit) + ":" + std::to_string(block);
  }

  CReaderDevice& reader;
  const RestorePlan& plan;
  FormatHost& host;
  const PassWatch& watch;
  RestoreResult result;
};

bool Restorer::Fail(std::string text) {
  const PassEnd gone = PassEndOf(reader.LastCommandFault());
  result.error = gone != PassEnd::Complete ? PassEndText(gone, "restore") : std::move(text);
  return false;
}

bool Restorer::InPlan(std::uint64_t sector) const {
  const std::vector<SectorRun>& runs = plan.Runs();
  const auto next = std::upper_bound(runs.begin(), runs.end(), sector,
                                     [](std::uint64_t s, const SectorRun& run) { return s < run.first; });
  return next != runs.begin() && sector < (next - 1)->first + (next - 1)->count;
}

std::vector<Restorer::Work> Restorer::Blocks(const LogicalMap& card) const {
  std::vector<Work> work;
  for (const SectorRun& run : plan.Runs()) {
    for (std::uint64_t sector = run.first; sector < run.first + run.count; ++sector) {
      const LogicalMap::Zone* zone = card.ZoneOf(sector);
      if (zone == nullptr) continue;
      const auto block = static_cast<std::uint16_t>((sector - zone->firstSector) / zone->pagesPerBlock);
      if (!work.empty() && work.back().zone == zone && work.back().logicalBlock == block) continue;
      work.push_back({zone, block, {}, 0});
    }
  }
  return work;
}

// The dump's sectors of the plan; the rest of the block as the card holds it now.
bool Restorer::Compose(Work& work) {
  const LogicalMap::Zone& zone = *work.zone;
  const std::int32_t holder = zone.holders[work.logicalBlock];
  work.pages.assign(zone.pagesPerBlock, std::nullopt);
  for (std::uint32_t p = 0; p < zone.pagesPerBlock; ++p) {
    const std::uint64_t sector = zone.firstSector + std::uint64_t{work.logicalBlock} * zone.pagesPerBlock + p;
    if (InPlan(sector)) work.pages[p] = plan.Content(sector);
    if (work.pages[p]) ++work.fromDump;
    if (work.pages[p] || holder < 0) continue;
    const std::uint32_t block = zone.firstBlock + static_cast<std::uint32_t>(holder);
    PageBuffer page{};
    if (!reader.ReadPhySector(zone.unit, block * zone.pagesPerBlock + p, page)) {
      return Fail("page " + std::to_string(p) + " of block " + BlockName(work, block) + " of the card cannot be read");
    }
    if (ErasedPage(page.data())) continue;
    work.pages[p].emplace();
    std::copy_n(page.begin(), kSectorSize, work.pages[p]->begin());
  }
  return true;
}

// Every page gets the block address (and the ECC of what it holds), as the
// reader's firmware writes a block; a page without data keeps FF bytes.
bool Restorer::Program(const Work& work, std::uint32_t block) {
  const LogicalMap::Zone& zone = *work.zone;
  for (std::uint32_t p = 0; p < zone.pagesPerBlock; ++p) {
    SectorBuffer data;
    data.fill(kErased);
    if (work.pages[p]) data = *work.pages[p];
    const std::uint32_t page = block * zone.pagesPerBlock + p;
    if (!reader.WriteRedundant(zone.unit, page, LogicalRedundant(work.logicalBlock, data.data()))) return false;
    if (work.pages[p] && !reader.WritePhySector(zone.unit, page, data)) return false;
  }
  return true;
}

bool Restorer::ReadsBack(const Work& work, std::uint32_t block) {
  const LogicalMap::Zone& zone = *work.zone;
  for (std::uint32_t p = 0; p < zone.pagesPerBlock; ++p) {
    PageBuffer expected;
    expected.fill(kErased);
    if (work.pages[p]) std::copy(work.pages[p]->begin(), work.pages[p]->end(), expected.begin());
    const RedundantArea area = LogicalRedundant(work.logicalBlock, expected.data());
    std::copy(area.begin(), area.end(), expected.begin() + kRedundantStart);
    PageBuffer read{};
    if (!reader.ReadPhySector(zone.unit, block * zone.pagesPerBlock + p, read) || read != expected) return false;
  }
  return true;
}

// Into a free block of the zone, read back; the old holder is erased once
// the copy reads back right. A block that takes the pages wrong is erased
// again and the next free block tried.
bool Restorer::WriteBlock(const Work& work, std::vector<std::uint32_t>& free) {
  const LogicalMap::Zone& zone = *work.zone;
  std::string last;
  for (int attempt = 0; attempt < kHomesTried; ++attempt) {
    if (free.empty()) break;
    const std::uint32_t block = free.back();
    free.pop_back();
    if (Program(work, block) && ReadsBack(work, block)) {
      const std::int32_t holder = zone.holders[work.logicalBlock];
      const auto old = static_cast<std::uint16_t>(zone.firstBlock + static_cast<std::uint32_t>(holder));
      if (holder >= 0 && !reader.ErasePhyBlk(zone.unit, old)) {
        return Fail("block " + BlockName(work, old) + ", which held logical block " +
                    std::to_string(work.logicalBlock) + " before, cannot be erased");
      }
      ++result.blocksWritten;
      return true;
    }
    if (reader.CardGone()) return Fail("");
    last = "block " + BlockName(work, block);
    reader.ErasePhyBlk(zone.unit, static_cast<std::uint16_t>(block));
  }
  return Fail(last.empty() ? "no free block is left in the zone of logical block " + std::to_string(work.logicalBlock)
                           : "logical block " + std::to_string(work.logicalBlock) + " of unit " +
                                 std::to_string(zone.unit) + " did not read back as written (last in " + last + ")");
}

void Restorer::ReadBackThroughReader() {
  SectorBuffer read{};
  for (const SectorRun& run : plan.Runs()) {
    for (std::uint64_t sector = run.first; sector < run.first + run.count && sector <= kLastLogicalSector; ++sector) {
      const std::optional<SectorBuffer> expected = plan.Content(sector);
      if (!expected) continue;
      if (!reader.ReadLBA(static_cast<std::uint16_t>(sector), 1, read.data())) {
        Fail("logical sector " + std::to_string(sector) + " cannot be read back through the reader");
        return;
      }
      if (read != *expected) {
        Fail("logical sector " + std::to_string(sector) + " reads back through the reader different from the dump");
        return;
      }
      ++result.readBackThroughReader;
    }
  }
}

RestoreResult Restorer::Run() {
  std::string problem;
  const CardGeometry geometry = ReaderGeometry(reader.geometry, problem);
  if (!problem.empty()) {
    result.error = problem;
    return result;
  }
  ReaderPages pages(reader, geometry);
  const MappedCard card = MapCard(pages, PassWatch{{}, watch.stop});
  if (card.end != PassEnd::Complete) {
    result.stopped = card.end == PassEnd::Stopped;
    result.error = PassEndText(card.end, "restore");
    return result;
  }
  // The free blocks of each zone, the first ones taken first.
  std::vector<std::vector<std::uint32_t>> free(card.map.Zones().size());
  for (std::size_t z = 0; z < free.size(); ++z) {
    const LogicalMap::Zone& zone = card.map.Zones()[z];
    for (std::uint32_t b = zone.firstBlock + zone.blocks; b-- > zone.firstBlock;) {
      if (card.map.Use(zone.unit, b) == BlockUse::Free) free[z].push_back(b);
    }
  }
  std::vector<Work> work = Blocks(card.map);
  for (std::size_t i = 0; i < work.size(); ++i) {
    if (watch.stop != nullptr && watch.stop->load() != 0) {
      result.stopped = true;
      result.error = PassEndText(PassEnd::Stopped, "restore");
      return result;
    }
    const std::size_t z = static_cast<std::size_t>(work[i].zone - card.map.Zones().data());
    if (!Compose(work[i]) || !WriteBlock(work[i], free[z])) return result;
    result.sectorsWritten += work[i].fromDump;
    work[i].pages.clear();
    if (watch.progress) watch.progress(i + 1, work.size());
  }
  // The reader builds its map anew, as after the format.
  if (!reader.FormatEnd() && !reader.FormatEnd()) {
    Fail("the reader did not take the restored blocks (its format-end command failed)");
    return result;
  }
  host.Sleep(kFormatEndPause);
  ReadBackThroughReader();
  return result;
}

}  // namespace

RestoreResult RestoreCard(CReaderDevice& reader, const RestorePlan& plan, FormatHost& host, const PassWatch& watch) {
  return Restorer(reader, plan, host, watch).Run();
}

}  // namespace card
