#include "engine/low_level_format.h"

#include <cstdint>
#include <optional>

#include "engine/failure_run.h"
#include "engine/fat_layout.h"
#include "engine/page_layout.h"
#include "engine/reader_device.h"
#include "engine/retirement_rule.h"
#include "engine/verify.h"
#include "engine/zone_layout.h"

namespace {

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
  // Sends a command, and once more when it fails, unless the failure came
  // with the card or the reader gone. True when it worked.
  template <typename Command>
  bool Try(Command command);
  // Ends the run with the card-gone message when the last command failed
  // because the card or the reader is gone.
  bool EndedByGoneCard() const;
  int Steps();
  bool ScanForCis();                  // false when the run ends
  bool EraseUnit(std::uint8_t unit);  // false when the run ends
  void EraseBlock(std::uint8_t unit, std::uint32_t block, std::uint32_t perBlock);
  bool RetireFailedBlocks();  // false when the run ends
  bool WriteCis();
  std::uint32_t TotalSectors() const;
  std::uint32_t CisWindow() const;
  std::string NoCisHomeText(std::uint32_t unreadable) const;
  int BuildFileSystem();
  void TellWhatWasMended() const;
  void TellRetiredBlocks() const;

  CReaderDevice& reader;
  const std::atomic<int>& stopFlag;
  FormatHost& host;

  std::uint32_t total = 0;        // physical sectors of every unit
  std::uint32_t sectorsDone = 0;  // drives the progress bar
  bool cisFound = false;
  std::uint32_t cisBlock = 0;
  bool cisEccWrong = false;  // a CIS was found whose ECC does not match its data: it is written anew
  // The first block of the CIS window the erase pass erased: where a new CIS goes.
  std::optional<std::uint32_t> cisHome;
  FailureRun failures;  // the commands of the CIS scan
  RetirementRule rule;
  std::uint32_t retiredBlocks = 0;
  std::uint32_t stuckBlocks = 0;  // neither usable nor retired: they keep their old data
  PageBuffer page{};
};

void FormatRun::Fail(const std::string& text) const {
  host.ShowMessage(text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::Dialog);
}

void FormatRun::Tell(const std::string& text, const char* caption, MessageIcon icon) const {
  host.ShowMessage(text, caption, MessageStyle{MessageButtons::Ok, icon}, MessageOwner::Dialog);
}

template <typename Command>
bool FormatRun::Try(Command command) {
  if (failures.Note(command())) return true;
  return !reader.CardGone() && failures.Note(command());
}

bool FormatRun::EndedByGoneCard() const {
  if (!reader.CardGone()) return false;
  Fail(CardGoneText(reader.LastCommandFault()));
  return true;
}

std::uint32_t FormatRun::TotalSectors() const {
  std::uint32_t sum = 0;
  for (std::uint8_t u = 0; u < reader.GetUnitCount(); ++u) sum += reader.GetUnitSectors(u);
  return sum;
}

std::uint32_t FormatRun::CisWindow() const {
  return zone_layout::CisWindowBlocks(reader.GetUnitSectors(0) / reader.GetSectorsPerBlock(0));
}

std::string FormatRun::NoCisHomeText(std::uint32_t unreadable) const {
  std::string text = "The card cannot be used: none of its first " + BlockCount(CisWindow()) +
                     ", where hosts look for the card information structure, is a good block";
  if (unreadable > 0) {
    text += " (" + BlockCount(unreadable) + " could not be read; if the card works in another reader, this " +
            "reader is at fault)";
  }
  return text + ". Nothing more was written to the card.";
}

// Reads the first page of each block of the CIS window of unit 0 until it
// finds the CIS, or a good block without one (a CIS always sits in the first
// good block), passing over bad and unreadable blocks. A CIS page whose ECC
// does not match its data (as formats that wrote zeros there left it) is
// rejected by hosts that check the ECC: the card is then treated as having
// no CIS, so that its block is erased and the CIS written anew. A card
// without a good block in the window cannot be used: nothing is written.
bool FormatRun::ScanForCis() {
  const std::uint32_t perBlock = reader.GetSectorsPerBlock(0);
  std::uint32_t unreadable = 0;
  bool goodBlockSeen = false;
  std::uint32_t block = 0;
  for (; block < CisWindow(); ++block) {
    if (StopRequested()) return false;
    if (!Try([&] { return reader.ReadPhySector(0, block * perBlock, page); })) {
      if (EndedByGoneCard()) return false;
      if (failures.CardGone()) {
        Fail("The card does not answer any more: " + std::to_string(failures.Length()) +
             " commands in a row failed. It may have been taken out of the reader. No block was marked bad.");
        return false;
      }
      ++unreadable;
      continue;
    }
    if (reader.IsCisPage(page)) {
      cisEccWrong = !page_layout::EccMatchesData(page);
      cisFound = !cisEccWrong;
      cisBlock = block;
      break;
    }
    // A page whose data status alone is cleared is a good block too, but
    // no empty one: the scan goes on, and the block is erased for the CIS.
    goodBlockSeen = goodBlockSeen || page_layout::IsGoodBlockPage(page);
    if (page_layout::Redundant(page, page_layout::kDataStatus) == page_layout::kGood &&
        page_layout::IsGoodBlockPage(page)) {
      break;
    }
  }
  if (block == CisWindow() && !goodBlockSeen) {
    Fail(NoCisHomeText(unreadable));
    return false;
  }
  sectorsDone = block * perBlock;
  return true;
}

// A good block is erased. A block that cannot be erased would keep its old
// data and its logical address, so that the firmware could map it again;
// one whose first page cannot be read cannot be judged and must not be
// mistaken later for the first good block or an empty one. Both are
// retired once the pass is over, if the rule finds that the failures are
// the blocks' own.
void FormatRun::EraseBlock(std::uint8_t unit, std::uint32_t block, std::uint32_t perBlock) {
  const std::uint32_t firstSector = block * perBlock;
  if (!Try([&] { return reader.ReadPhySector(unit, firstSector, page); })) {
    if (!reader.CardGone()) rule.Failed(block, BlockFailure::Unreadable);
    return;
  }
  if (!page_layout::IsGoodBlockPage(page)) {
    rule.Worked();
    return;
  }
  if (!Try([&] { return reader.ErasePhyBlk(unit, static_cast<std::uint16_t>(block)); })) {
    if (!reader.CardGone()) rule.Failed(block, BlockFailure::EraseFails);
    return;
  }
  rule.Worked();
  if (unit == 0 && block < CisWindow() && !cisHome) cisHome = block;
}

// Erases every good block of the unit, sparing the CIS block and those before
// it on unit 0. A block is judged by the status byte of its first page.
bool FormatRun::EraseUnit(std::uint8_t unit) {
  const std::uint32_t perBlock = reader.GetSectorsPerBlock(unit);
  const std::uint32_t blocks = reader.GetUnitSectors(unit) / perBlock;
  const std::uint32_t first = (unit == 0 && cisFound) ? cisBlock + 1 : 0;
  rule.StartUnit(unit, blocks);
  for (std::uint32_t block = first; block < blocks; ++block) {
    if (StopRequested()) return false;
    EraseBlock(unit, block, perBlock);
    if (EndedByGoneCard()) return false;
    if (rule.Repeating()) {
      Fail(rule.Reason());
      return false;
    }
    // 64-bit product: sectors done x 80 exceeds 32 bits on cards past 53 million pages.
    host.SetProgress(static_cast<int>(std::uint64_t{sectorsDone} * kErasePassShare / total));
    sectorsDone += perBlock;
  }
  return true;
}

// Marks the blocks the pass could not use, by clearing the block-status byte
// of their first page: the reader's firmware, hosts and later formats pass
// over them.
bool FormatRun::RetireFailedBlocks() {
  for (const FailedBlock& failed : rule.Blocks()) {
    const std::uint32_t firstSector = failed.block * reader.GetSectorsPerBlock(failed.unit);
    if (Try([&] { return reader.WriteRedundant(failed.unit, firstSector, page_layout::RetiredBlockMark()); })) {
      ++retiredBlocks;
    } else if (EndedByGoneCard()) {
      return false;
    } else {
      ++stuckBlocks;
    }
  }
  if (stuckBlocks > 0) {
    Fail(BlockCount(stuckBlocks) + " of the card could not be read or erased, nor marked bad; the old data stays " +
         "on the card.");
    return false;
  }
  return true;
}

// The CIS goes into the first good block of the window, which the pass has
// just erased; the blocks before it are bad or now marked bad.
bool FormatRun::WriteCis() {
  if (cisFound) return true;
  if (reader.WriteCisBlock(*cisHome)) return true;
  if (!EndedByGoneCard()) Fail("Write low level header error!");
  return false;
}

int FormatRun::BuildFileSystem() {
  host.SetProgress(kAfterCisPosition);
  host.SetStatus(kBuildingStatus);

  // The reader must present the card anew before its file system is
  // written through it; a failure is tried once more.
  if (Try([&] { return reader.FormatEnd(); })) {
    host.Sleep(kMediaChangePause);
  } else {
    if (!EndedByGoneCard()) Fail("Issue media change fail!");
    return 0;
  }
  SectorBuffer sector0{};
  reader.ReadLBA(0, 1, sector0.data());  // lets the reader settle on the new medium; the data is not used
  if (EndedByGoneCard()) return 0;

  if (StopRequested()) return 0;
  if (!reader.WriteMbr()) {
    if (!EndedByGoneCard()) Fail("Write MBR error!");
    return 0;
  }
  if (StopRequested()) return 0;
  host.SetProgress(kAfterMbrPosition);
  if (!reader.WriteBootSector()) {
    if (!EndedByGoneCard()) Fail("Write boot sector error!");
    return 0;
  }
  if (StopRequested()) return 0;
  host.SetProgress(kAfterBootSectorPosition);

  if (!Try([&] { return reader.FormatEnd(); }) && EndedByGoneCard()) return 0;
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

void FormatRun::TellRetiredBlocks() const {
  Tell(BlockCount(retiredBlocks) + " of the card could not be read or erased and " +
           (retiredBlocks == 1 ? "was" : "were") + " marked bad.",
       "Warning", MessageIcon::Warning);
}

void FormatRun::TellWhatWasMended() const {
  if (cisEccWrong) Tell(kCisRewrittenText, "Information", MessageIcon::Information);
  if (retiredBlocks > 0) TellRetiredBlocks();
}

int FormatRun::Steps() {
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
  // Every good block of the window failed in the pass: marking them would
  // change nothing for the card, which has no place for its CIS.
  if (!cisFound && !cisHome) {
    Fail(NoCisHomeText(0));
    return 0;
  }
  if (!RetireFailedBlocks() || !WriteCis()) return 0;
  return BuildFileSystem();
}

// Every end but a stop says how many blocks were marked bad: a mark is for
// good, so the operator must hear of it also when the format failed.
int FormatRun::Run() {
  const std::string fault = CardGeometryFault(reader.geometry);
  if (!fault.empty()) {
    Fail(fault);
    return 0;
  }
  const int result = Steps();
  if (result == 0 && retiredBlocks > 0 && !StopRequested()) TellRetiredBlocks();
  return result;
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
