#include "engine/low_level_format.h"

#include <cstdint>

#include "engine/failure_run.h"
#include "engine/fat_layout.h"
#include "engine/page_layout.h"
#include "engine/reader_device.h"
#include "engine/verify.h"

namespace {

constexpr std::uint32_t kCisScanBlocks = 16;        // the CIS is looked for in the first 16 blocks
constexpr std::uint32_t kMaxBlocksPerUnit = 65536;  // block numbers travel as 16 bits
constexpr int kErasePassShare = 80;                 // the erase pass drives the bar from 0 to 80
constexpr int kAfterCisPosition = 85;
constexpr int kAfterMbrPosition = 90;
constexpr int kAfterBootSectorPosition = 98;
constexpr int kDonePosition = 100;
constexpr std::uint32_t kMediaChangePause = 1000;  // ms for the reader to present the card anew

constexpr const char* kFormattingStatus = "Formatting............";
constexpr const char* kBuildingStatus = "Building file system.....";
constexpr const char* kCisRewrittenText = "The low level header of the card had a wrong ECC and was written anew.";

std::string BlockCount(std::uint32_t blocks) { return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks"); }

// One run of the procedure over one reader.
class FormatRun {
 public:
  FormatRun(CReaderDevice& reader, const std::atomic<int>& stopFlag, FormatHost& host)
      : reader(reader), stopFlag(stopFlag), host(host) {}

  int Run();

 private:
  bool StopRequested() const { return stopFlag.load() != 0; }
  void Fail(const std::string& text) const;
  void Tell(const std::string& text, const char* caption, MessageIcon icon) const;
  bool ScanForCis();                  // false when stopped
  bool EraseUnit(std::uint8_t unit);  // false when stopped or the card stopped answering
  void EraseBlock(std::uint8_t unit, std::uint32_t block, std::uint32_t perBlock);
  bool RetireBlock(std::uint8_t unit, std::uint32_t firstSector);
  std::uint32_t TotalSectors() const;
  int BuildFileSystem();
  void TellWhatWasMended() const;

  CReaderDevice& reader;
  const std::atomic<int>& stopFlag;
  FormatHost& host;

  std::uint32_t total = 0;        // physical sectors of every unit
  std::uint32_t sectorsDone = 0;  // drives the progress bar
  bool cisFound = false;
  std::uint32_t cisBlock = 0;
  bool cisEccWrong = false;  // a CIS was found whose ECC does not match its data: it is written anew
  FailureRun failures;       // physical commands of the scan and the erase pass
  std::uint32_t retiredBlocks = 0;
  std::uint32_t stuckBlocks = 0;  // neither erased nor retired: they keep their old data
  PageBuffer page{};
};

void FormatRun::Fail(const std::string& text) const {
  host.ShowMessage(text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::Dialog);
}

void FormatRun::Tell(const std::string& text, const char* caption, MessageIcon icon) const {
  host.ShowMessage(text, caption, MessageStyle{MessageButtons::Ok, icon}, MessageOwner::Dialog);
}

std::uint32_t FormatRun::TotalSectors() const {
  std::uint32_t sum = 0;
  for (std::uint8_t u = 0; u < reader.GetUnitCount(); ++u) sum += reader.GetUnitSectors(u);
  return sum;
}

// Reads the first page of each of the first 16 blocks of unit 0 until it
// finds the CIS, or a good block without one (a CIS always sits in the first
// good block), passing over bad and unreadable blocks. A CIS page whose ECC
// does not match its data (as formats that wrote zeros there left it) is
// rejected by hosts that check the ECC: the card is then treated as having
// no CIS, so that its block is erased and the CIS written anew.
bool FormatRun::ScanForCis() {
  const std::uint32_t perBlock = reader.GetSectorsPerBlock(0);
  std::uint32_t sector = 0;
  for (; sector < kCisScanBlocks * perBlock; sector += perBlock) {
    if (StopRequested()) return false;
    if (!failures.Note(reader.ReadPhySector(0, sector, page))) continue;
    if (reader.IsCisPage(page)) {
      cisEccWrong = !page_layout::EccMatchesData(page);
      cisFound = !cisEccWrong;
      cisBlock = sector / perBlock;
      break;
    }
    if (page_layout::Redundant(page, page_layout::kDataStatus) == page_layout::kGood &&
        page_layout::IsGoodBlockPage(page)) {
      break;
    }
  }
  sectorsDone = sector;
  return true;
}

// Takes a block out of use by marking its first page: the reader's
// firmware, hosts and later formats pass over it.
bool FormatRun::RetireBlock(std::uint8_t unit, std::uint32_t firstSector) {
  return failures.Note(reader.WriteRedundant(unit, firstSector, page_layout::RetiredBlockMark())) == 1;
}

// A good block is erased. One whose erase fails would keep its old data and
// its logical address, so that the firmware could map it again: it is
// retired. So is one whose first page cannot be read, which cannot be judged
// and must not be mistaken later for the first good block or an empty one.
void FormatRun::EraseBlock(std::uint8_t unit, std::uint32_t block, std::uint32_t perBlock) {
  const std::uint32_t firstSector = block * perBlock;
  if (!failures.Note(reader.ReadPhySector(unit, firstSector, page))) {
    if (RetireBlock(unit, firstSector)) ++retiredBlocks;
  } else if (page_layout::IsGoodBlockPage(page) &&
             !failures.Note(reader.ErasePhyBlk(unit, static_cast<std::uint16_t>(block)))) {
    if (RetireBlock(unit, firstSector)) {
      ++retiredBlocks;
    } else {
      ++stuckBlocks;
    }
  }
}

// Erases every good block of the unit, sparing the CIS block and those before
// it on unit 0. A block is judged by the status byte of its first page.
bool FormatRun::EraseUnit(std::uint8_t unit) {
  const std::uint32_t perBlock = reader.GetSectorsPerBlock(unit);
  const std::uint32_t blocks = reader.GetUnitSectors(unit) / perBlock;
  const std::uint32_t first = (unit == 0 && cisFound) ? cisBlock + 1 : 0;
  for (std::uint32_t block = first; block < blocks; ++block) {
    if (StopRequested()) return false;
    EraseBlock(unit, block, perBlock);
    if (failures.CardGone()) {
      Fail("The card does not answer any more: " + std::to_string(failures.Length()) +
           " commands in a row failed. It may have been taken out of the reader.");
      return false;
    }
    // 64-bit product: sectors done x 80 exceeds 32 bits on cards past 53 million pages.
    host.SetProgress(static_cast<int>(std::uint64_t{sectorsDone} * kErasePassShare / total));
    sectorsDone += perBlock;
  }
  return true;
}

int FormatRun::BuildFileSystem() {
  host.SetProgress(kAfterCisPosition);
  host.SetStatus(kBuildingStatus);

  if (reader.FormatEnd()) {
    host.Sleep(kMediaChangePause);
  } else {
    Fail("Issue media change fail!");
  }
  SectorBuffer sector0{};
  reader.ReadLBA(0, 1, sector0.data());  // lets the reader settle on the new medium; the data is not used

  if (StopRequested()) return 0;
  if (!reader.WriteMbr()) {
    Fail("Write MBR error!");
    return 0;
  }
  if (StopRequested()) return 0;
  host.SetProgress(kAfterMbrPosition);
  if (!reader.WriteBootSector()) {
    Fail("Write boot sector error!");
    return 0;
  }
  if (StopRequested()) return 0;
  host.SetProgress(kAfterBootSectorPosition);

  reader.FormatEnd();
  host.Sleep(kMediaChangePause);
  reader.DropHandle();
  // What the reader presents after the format's end must be the file system
  // as written. The check opens the access handle afresh; the format still
  // ends without one, as the new medium is for the system to mount.
  const int verified = VerifyFileSystem(reader, host);
  reader.DropHandle();
  if (!verified) return 0;
  host.SetProgress(kDonePosition);
  TellWhatWasMended();
  return 1;
}

void FormatRun::TellWhatWasMended() const {
  if (cisEccWrong) Tell(kCisRewrittenText, "Information", MessageIcon::Information);
  if (retiredBlocks > 0) {
    Tell(BlockCount(retiredBlocks) + " of the card could not be read or erased and " +
             (retiredBlocks == 1 ? "was" : "were") + " marked bad.",
         "Warning", MessageIcon::Warning);
  }
}

int FormatRun::Run() {
  const std::string fault = CardGeometryFault(reader.geometry);
  if (!fault.empty()) {
    Fail(fault);
    return 0;
  }

  host.SetProgressRange(0, 100);
  host.SetProgress(0);
  host.SetStatus(kFormattingStatus);

  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  reader.SetPartitionSectors(key - kComputedPartitionStart);
  total = TotalSectors();

  if (!ScanForCis()) return 0;
  if (StopRequested()) return 0;
  for (std::uint8_t unit = 0; unit < reader.GetUnitCount(); ++unit) {
    if (!EraseUnit(unit)) return 0;
  }
  if (stuckBlocks > 0) {
    Fail(BlockCount(stuckBlocks) + " of the card could neither be erased nor marked bad; the old data stays on " +
         "the card.");
    return 0;
  }
  if (!cisFound && !reader.WriteCisBlock()) {
    Fail("Write low level header error!");
    return 0;
  }
  return BuildFileSystem();
}

}  // namespace

std::string CardGeometryFault(const MediaGeometry& geometry) {
  if (geometry.unitCount == 0 || geometry.unitCount > MediaGeometry::kMaxReportedUnits) {
    return "The card reports no usable memory unit. It cannot be formatted.";
  }
  std::uint64_t total = 0;
  std::uint64_t key = 0;
  for (int u = 0; u < geometry.unitCount; ++u) {
    const MediaUnit& unit = geometry.units[u];
    if (unit.sectorsPerBlock == 0 || unit.totalSectors == 0) {
      return "The card reports an invalid block size. It cannot be formatted.";
    }
    if (unit.totalSectors / unit.sectorsPerBlock > kMaxBlocksPerUnit) {
      return "The card has more blocks than the reader can address. It cannot be formatted.";
    }
    total += unit.totalSectors;
    key += std::uint64_t{unit.totalSectors >> 10} * 1000;
  }
  for (int u = geometry.unitCount; u < MediaGeometry::kUnitSlots; ++u) {
    // A present unit after an absent record: the units are not numbered from 0.
    if (geometry.units[u].tag != 0) return "The card reports its memory units out of order. It cannot be formatted.";
  }
  if (total > UINT32_MAX || key > UINT32_MAX) {
    return "The card reports a size too large to handle. It cannot be formatted.";
  }
  // Standard capacities take their layout from the table; any other must
  // give a valid computed FAT16 volume (a key below 1000 never does).
  const auto capacityKey = static_cast<std::uint32_t>(key);
  if (FindCapacityRow(capacityKey) == nullptr) {
    const std::uint32_t partition = capacityKey >= kComputedPartitionStart ? capacityKey - kComputedPartitionStart : 0;
    const LayoutFault fault = ComputedLayoutFault(capacityKey, partition);
    if (fault != LayoutFault::None) return LayoutFaultMessage(fault);
  }
  return {};
}

int LowLevelFormat(CReaderDevice& reader, const std::atomic<int>& stopFlag, FormatHost& host) {
  return FormatRun(reader, stopFlag, host).Run();
}
