#include "engine/low_level_format.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/fat_layout.h"
#include "engine/page_layout.h"
#include "engine/reader_device.h"
#include "engine/retirement_rule.h"
#include "engine/verify.h"
#include "engine/zone_layout.h"
#include "engine/zone_ledger.h"

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
constexpr const char* kMediaChangeFailed = "Issue media change fail!";
constexpr const char* kNothingMarked = " No block was marked bad.";
constexpr const char* kTryAnotherReader =
    " Clean the card's contacts or try another reader, then format the card again.";

std::string Counted(std::uint32_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string BlockCount(std::uint32_t blocks) { return Counted(blocks, "block", "blocks"); }

std::string Capitalized(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

// A block the format found at fault, and what became of it.
struct FailedBlock {
  PhysicalBlock where;
  BlockFailure how = BlockFailure::EraseFails;
};

// How writing the file system ended.
struct FileSystemResult {
  enum class Outcome : std::uint8_t { Passed, Stopped, Ended, Failed } outcome = Outcome::Passed;
  std::string problem;                  // Failed: for the operator
  std::optional<std::uint32_t> sector;  // Failed: the first sector at fault, when known
};

enum class Rewrite : std::uint8_t { Again, NoEvidence, Ended };

// One run of the procedure over one reader.
class FormatRun {
 public:
  FormatRun(CReaderDevice& reader, const std::atomic<int>& stopFlag, FormatHost& host)
      : reader(reader), stopFlag(stopFlag), host(host), rule(reader), ledger(reader.geometry) {}

  int Run();

 private:
  bool StopRequested() const { return stopFlag.load() != 0; }
  // Said when a run ends before it marked anything; once it has, the end
  // says what (see BlocksText).
  std::string NothingMarked() const { return retired.empty() ? kNothingMarked : ""; }
  void Fail(const std::string& text) const;
  void Tell(const std::string& text, const char* caption, MessageIcon icon) const;
  // Ends the run with the card-gone message when the last command failed
  // because the card or the reader is gone.
  bool EndedByGoneCard() const;
  // Ends the run over a verdict that blames no block: the card gone, or the
  // reader failing (the card answering or not).
  void EndBlamingNoBlock() const;
  int Steps();
  std::uint32_t CisWindow() const;

  bool ScanForCis();  // false when the run ends
  bool ScanEndsAt(std::uint32_t block, Verdict verdict, const PageBuffer& scanned);
  bool ScanEnded(std::uint32_t block);
  bool NoGoodBlockInWindow(bool nothingRead);
  bool EraseUnit(std::uint8_t unit);  // false when the run ends
  bool VisitBlock(PhysicalBlock block);
  bool EraseGood(PhysicalBlock block);
  bool RetryUntriedErases();
  void Erased(PhysicalBlock block);
  void Failed(PhysicalBlock block, BlockFailure how);
  bool ZoneStillHolds(PhysicalBlock block);
  std::string UntriedText() const;

  bool RetireFailedBlocks();  // false when the run ends
  bool MarkBad(PhysicalBlock block);
  bool JudgeUnmarked(const FailedBlock& failed);
  bool WriteCis();

  int BuildFileSystem();
  bool PresentAnew(bool dropHandle);
  FileSystemResult WriteFileSystem();
  Rewrite RetireBehind(std::uint32_t sector, const std::string& problem);
  Rewrite RetireHolder(PhysicalBlock holder, const std::string& problem);
  bool FindHolder(std::uint32_t sector, std::optional<PhysicalBlock>& holder);
  std::uint32_t CisBlockNow() const { return cisFound ? cisBlock : cisHome.value_or(0); }
  std::uint32_t UnitBlocks(std::uint8_t unit) const {
    return reader.GetUnitSectors(unit) / reader.GetSectorsPerBlock(unit);
  }
  // The card-wide number of logical block `lba` of the zone of `block`.
  std::uint64_t CardLogicalBlock(PhysicalBlock block, std::uint16_t lba) const;

  std::string BlocksText() const;
  void TellWhatWasMended() const;

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
  bool goodBlockSeen = false;  // by the scan
  std::uint32_t scanMarked = 0;
  std::uint32_t scanUnreadable = 0;
  // What the scan learnt of the blocks of the CIS window it could not use
  // (Marked, BlockFails), so that the erase pass need not judge them again.
  std::vector<std::optional<Verdict>> scanJudgments;
  RetirementRule rule;
  ZoneLedger ledger;
  std::vector<PhysicalBlock> untriedErases;  // failed before any erase had worked
  std::vector<FailedBlock> failed;           // to be marked bad once the pass is over
  std::vector<FailedBlock> retired;          // marked bad
  std::vector<FailedBlock> left;             // neither marked nor usable, holding nothing a host would use
  PageBuffer page{};
};

void FormatRun::Fail(const std::string& text) const {
  host.ShowMessage(text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::Dialog);
}

void FormatRun::Tell(const std::string& text, const char* caption, MessageIcon icon) const {
  host.ShowMessage(text, caption, MessageStyle{MessageButtons::Ok, icon}, MessageOwner::Dialog);
}

bool FormatRun::EndedByGoneCard() const {
  if (!reader.CardGone()) return false;
  Fail(CardGoneText(reader.LastCommandFault()));
  return true;
}

void FormatRun::EndBlamingNoBlock() const {
  if (EndedByGoneCard()) return;
  // Whether the card still answers tells a failing reader from a card taken
  // out on a backend that cannot say so.
  std::uint8_t state = 0;
  if (reader.GetDeviceState(state)) {
    Fail(Capitalized(rule.ReaderFailsText()) + ": the reader or the card's contacts fail, not the blocks." +
         NothingMarked() + kTryAnotherReader);
  } else if (!EndedByGoneCard()) {
    Fail("The card does not answer any more: " + rule.ReaderFailsText() +
         ", and the reader reports no state for it. It may have been taken out of the reader." + NothingMarked());
  }
}

std::uint32_t FormatRun::CisWindow() const { return zone_layout::CisWindowBlocks(UnitBlocks(0)); }

// --- The CIS scan ------------------------------------------------------------------

// Reads the first page of each block of the CIS window of unit 0 until it
// finds the CIS, or a good block without one (a CIS always sits in the first
// good block), passing over bad and unreadable blocks. A block whose read
// failed before any read had worked is judged once one has. A CIS page whose
// ECC does not match its data (as formats that wrote zeros there left it) is
// rejected by hosts that check the ECC: the card is then treated as having
// no CIS, so that its block is erased and the CIS written anew. A card
// without a good block in the window cannot be used: nothing is written.
bool FormatRun::ScanForCis() {
  const std::uint32_t window = CisWindow();
  scanJudgments.assign(window, std::nullopt);
  std::vector<std::uint32_t> untried;
  bool ends = false;
  std::uint32_t block = 0;
  for (; block < window && !ends; ++block) {
    if (StopRequested()) return false;
    const Verdict verdict = rule.ReadFirstPage({0, block}, page);
    if (verdict == Verdict::NoControl) {
      untried.push_back(block);
      continue;
    }
    if (BlamesNoBlock(verdict)) {
      EndBlamingNoBlock();
      return false;
    }
    // A read has worked: the blocks that failed before any had are judged first.
    for (const std::uint32_t earlier : std::exchange(untried, {})) {
      PageBuffer earlierPage{};
      const Verdict again = rule.ReadFirstPage({0, earlier}, earlierPage);
      if (BlamesNoBlock(again)) {
        EndBlamingNoBlock();
        return false;
      }
      if ((ends = ScanEndsAt(earlier, again, earlierPage))) {
        block = earlier;
        break;
      }
    }
    ends = ends || ScanEndsAt(block, verdict, page);
  }
  // Where the scan ended: the block after the one it ended at, or the window's end.
  sectorsDone = (ends ? block - 1 : block) * reader.GetSectorsPerBlock(0);
  if (ends) return ScanEnded(block - 1);
  if (!goodBlockSeen) return NoGoodBlockInWindow(!untried.empty());
  return true;
}

// The scan ends at `block`. The CIS block and those before it hold no data:
// the first zone must spare them.
bool FormatRun::ScanEnded(std::uint32_t block) {
  ZoneLedger withCis = ledger;
  withCis.SetCisReserve(block + 1);
  if (!withCis.Full({0, block})) return true;
  Fail(withCis.FullText({0, block}) + " Nothing was written to it.");
  return false;
}

// Takes the verdict on one block of the scan (Worked, Marked or
// BlockFails); true when the scan ends at it.
bool FormatRun::ScanEndsAt(std::uint32_t block, Verdict verdict, const PageBuffer& scanned) {
  if (verdict != Verdict::Worked) {
    scanJudgments[block] = verdict;
    ++(verdict == Verdict::Marked ? scanMarked : scanUnreadable);
    return false;
  }
  if (reader.IsCisPage(scanned)) {
    cisEccWrong = !page_layout::EccMatchesData(scanned);
    cisFound = !cisEccWrong;
    cisBlock = block;
    return true;
  }
  // A page whose data status alone is cleared is a good block too, but
  // no empty one: the scan goes on, and the block is erased for the CIS.
  const bool good = page_layout::IsGoodBlockPage(scanned);
  goodBlockSeen = goodBlockSeen || good;
  if (!good) ++scanMarked;
  return good && page_layout::Redundant(scanned, page_layout::kDataStatus) == page_layout::kGood;
}

bool FormatRun::NoGoodBlockInWindow(bool nothingRead) {
  std::string why = scanMarked > 0 ? Counted(scanMarked, "is", "are") + " marked bad" : "";
  if (scanUnreadable > 0) why += (why.empty() ? "" : ", ") + std::to_string(scanUnreadable) + " could not be read";
  why = "(" + why + ")";
  if (nothingRead) {
    // Not one page could be read: whether the card answers at all decides.
    std::uint8_t state = 0;
    if (!reader.GetDeviceState(state)) {
      if (!EndedByGoneCard()) {
        Fail("The card does not answer: no page of its first " + BlockCount(CisWindow()) +
             " could be read, and the reader reports no state for it. It may have been taken out of the reader." +
             kNothingMarked);
      }
      return false;
    }
    why = "(no page of them could be read; if the card works in another reader, this reader is at fault)";
  }
  Fail("The card cannot be used: none of its first " + BlockCount(CisWindow()) +
       ", where hosts look for the card information structure, is a good block " + why +
       ". Nothing was written to the card.");
  return false;
}

// --- The erase pass ------------------------------------------------------------------

// Erases every good block of the unit, sparing the CIS block and those before
// it on unit 0. A block is judged by the status byte of its first page, or,
// when that cannot be read, by its other pages.
bool FormatRun::EraseUnit(std::uint8_t unit) {
  const std::uint32_t perBlock = reader.GetSectorsPerBlock(unit);
  const std::uint32_t blocks = reader.GetUnitSectors(unit) / perBlock;
  const std::uint32_t first = (unit == 0 && cisFound) ? cisBlock + 1 : 0;
  for (std::uint32_t block = first; block < blocks; ++block) {
    if (StopRequested()) return false;
    if (!VisitBlock({unit, block}) || !ZoneStillHolds({unit, block})) return false;
    // 64-bit product: sectors done x 80 exceeds 32 bits on cards past 53 million pages.
    host.SetProgress(static_cast<int>(std::uint64_t{sectorsDone} * kErasePassShare / total));
    sectorsDone += perBlock;
  }
  return true;
}

bool FormatRun::VisitBlock(PhysicalBlock block) {
  const bool known = block.unit == 0 && block.block < scanJudgments.size() && scanJudgments[block.block];
  const Verdict verdict = known ? *scanJudgments[block.block] : rule.ReadFirstPage(block, page);
  switch (verdict) {
    case Verdict::Worked:
      if (page_layout::IsGoodBlockPage(page)) return EraseGood(block);
      [[fallthrough]];
    case Verdict::Marked:
      ledger.Add(block, Unusable::MarkedBefore);
      return true;
    case Verdict::BlockFails:
      Failed(block, BlockFailure::Unreadable);
      return true;
    default:
      EndBlamingNoBlock();
      return false;
  }
}

// A block that cannot be erased would keep its old data and its logical
// address, so that the firmware could map it again: it is marked bad once
// the pass is over, if the failure is its own.
bool FormatRun::EraseGood(PhysicalBlock block) {
  const Verdict verdict = rule.Erase(block);
  switch (verdict) {
    case Verdict::Worked:
      Erased(block);
      return RetryUntriedErases();
    case Verdict::NoControl:
      untriedErases.push_back(block);
      return true;
    case Verdict::BlockFails:
      Failed(block, BlockFailure::EraseFails);
      return true;
    default:
      EndBlamingNoBlock();
      return false;
  }
}

// An erase has worked: the blocks that failed before any had are judged now.
bool FormatRun::RetryUntriedErases() {
  for (const PhysicalBlock block : std::exchange(untriedErases, {})) {
    if (!EraseGood(block)) return false;
  }
  return true;
}

void FormatRun::Erased(PhysicalBlock block) {
  if (cisFound || block.unit != 0 || block.block >= CisWindow() || (cisHome && *cisHome < block.block)) return;
  cisHome = block.block;
  ledger.SetCisReserve(1);
}

void FormatRun::Failed(PhysicalBlock block, BlockFailure how) {
  failed.push_back(FailedBlock{block, how});
  ledger.Add(block, how == BlockFailure::EraseFails ? Unusable::EraseFails : Unusable::Unreadable);
}

// The CIS must find a home in the window, and every zone must keep enough
// usable blocks for its logical ones. Blocks that could not be erased
// before any erase had worked are no evidence yet, but they cannot wait for
// long: once more of them failed than a zone may lose, the run ends. False,
// and the run ends, when any of these does not hold.
bool FormatRun::ZoneStillHolds(PhysicalBlock block) {
  if (block.unit == 0 && !cisFound && !cisHome && untriedErases.empty() && block.block + 1 >= CisWindow()) {
    Fail("The card cannot be used: none of its first " + BlockCount(CisWindow()) +
         ", where hosts look for the card information structure, could take it (" + ledger.Losses(block) + ")." +
         kNothingMarked + " No block after them was erased.");
    return false;
  }
  if (ledger.Full(block)) {
    Fail(ledger.FullText(block) + NothingMarked());
    return false;
  }
  if (untriedErases.empty() ||
      untriedErases.size() <= zone_layout::ZoneUnusableLimit(UnitBlocks(untriedErases.front().unit))) {
    return true;
  }
  Fail(UntriedText());
  return false;
}

std::string FormatRun::UntriedText() const {
  const std::string tried =
      untriedErases.size() == 1
          ? Capitalized(BlockName(untriedErases.front())) + ", the first block the format tried to erase,"
          : "None of the first " + BlockCount(static_cast<std::uint32_t>(untriedErases.size())) +
                " the format tried to erase (from " + BlockName(untriedErases.front()) + " to " +
                BlockName(untriedErases.back()) + ")";
  return tried +
         " could be erased, so there was no block to compare with: whether the blocks or the reader fail cannot be "
         "told." +
         kNothingMarked + kTryAnotherReader;
}

// --- Marking the blocks at fault -------------------------------------------------------

// Marks the blocks the pass found at fault: the reader's firmware, hosts and
// later formats pass over them. A block that takes no mark is judged by what
// it holds.
bool FormatRun::RetireFailedBlocks() {
  for (const FailedBlock& block : failed) {
    if (MarkBad(block.where)) {
      retired.push_back(block);
      continue;
    }
    if (EndedByGoneCard() || !JudgeUnmarked(block)) return false;
  }
  return true;
}

// Clears the block-status byte of every page, so that whichever page a
// reader or a host looks at shows the mark; the first page, where they look
// first, is tried again after the others. The pages after the first are its
// control: a block none of them takes cannot be marked. True when a page
// took the mark.
bool FormatRun::MarkBad(PhysicalBlock block) {
  const std::uint32_t pages = reader.GetSectorsPerBlock(block.unit);
  const RedundantArea mark = page_layout::RetiredBlockMark();
  const auto take = [&](std::uint32_t page) {
    return reader.WriteRedundant(block.unit, block.block * pages + page, mark) == 1;
  };
  const bool firstTook = take(0);
  bool took = firstTook;
  for (std::uint32_t page = 1; page < pages && !reader.CardGone(); ++page) {
    if (!take(page)) break;
    took = true;
  }
  if (!firstTook && took && !reader.CardGone()) take(0);
  return took;
}

// A block that could not be marked. Before the CIS, hosts looking for it
// that can read the block would stop there: the card cannot be used. Else
// one that could not be read is erased if it can be, and then what a host
// would find in it decides (its first page, or a later one when that cannot
// be read, as the firmware writes the block address into every page):
// nothing it would map (no page to read, a blank one, no valid block
// address), and the format goes on; a logical block's address, which the
// firmware would map again, and the card cannot be formatted.
bool FormatRun::JudgeUnmarked(const FailedBlock& block) {
  const std::string stuck = Capitalized(BlockName(block.where)) + (block.how == BlockFailure::EraseFails
                                                                       ? " could be neither erased nor marked bad"
                                                                       : " could not be read, nor marked bad");
  if (block.where.unit == 0 && !cisFound && block.where.block < CisBlockNow()) {
    Fail(stuck +
         ", and it lies before the card information structure: hosts that read it would take it for the "
         "card's first good block and not look further. The card cannot be used.");
    return false;
  }
  if (block.how != BlockFailure::EraseFails) {
    const Verdict erased = rule.Erase(block.where);
    if (BlamesNoBlock(erased)) {
      EndBlamingNoBlock();
      return false;
    }
  }
  PageBuffer held{};
  const Verdict verdict = rule.ReadFirstPage(block.where, held);
  if (BlamesNoBlock(verdict)) {
    EndBlamingNoBlock();
    return false;
  }
  const std::optional<std::uint16_t> claimed =
      page_layout::IsGoodBlockPage(held) ? page_layout::ClaimedLogicalBlock(held) : std::nullopt;
  if (claimed) {
    Fail(stuck + ", and it still holds the old data of logical block " +
         std::to_string(CardLogicalBlock(block.where, *claimed)) +
         ", which the reader would map again. The card cannot be formatted.");
    return false;
  }
  left.push_back(block);
  return true;
}

std::uint64_t FormatRun::CardLogicalBlock(PhysicalBlock block, std::uint16_t lba) const {
  std::uint64_t before = 0;
  for (std::uint8_t unit = 0; unit < block.unit; ++unit) before += zone_layout::UnitLogicalSectors(UnitBlocks(unit), 1);
  const std::uint32_t blocks = UnitBlocks(block.unit);
  return before +
         std::uint64_t{block.block / zone_layout::ZoneBlocks(blocks)} * zone_layout::ZoneLogicalBlocks(blocks) + lba;
}

// The CIS goes into the first good block of the window, which the pass has
// just erased; the blocks before it are bad or now marked bad.
bool FormatRun::WriteCis() {
  if (cisFound) return true;
  if (reader.WriteCisBlock(*cisHome)) return true;
  if (!EndedByGoneCard()) Fail("Write low level header error!");
  return false;
}

// --- The file system ---------------------------------------------------------------

// The reader must present the card anew before its file system is written
// through it, and again once it is: a failed format-end command is sent
// once more. The read of sector 0 that follows lets the reader settle on the
// new medium (and takes the UNIT ATTENTION a reader answers once after it);
// its data is not used.
bool FormatRun::PresentAnew(bool dropHandle) {
  if (!reader.FormatEnd() && (reader.CardGone() || !reader.FormatEnd())) {
    if (!EndedByGoneCard()) Fail(kMediaChangeFailed);
    return false;
  }
  host.Sleep(kMediaChangePause);
  if (dropHandle) reader.DropHandle();
  SectorBuffer sector0{};
  reader.ReadLBA(0, 1, sector0.data());
  return !EndedByGoneCard();
}

// Writes the file system, presents the card anew and checks that the reader
// presents what was written. The check opens the access handle afresh; the
// format still ends without one, as the new medium is for the system to mount.
FileSystemResult FormatRun::WriteFileSystem() {
  using Outcome = FileSystemResult::Outcome;
  if (StopRequested()) return {Outcome::Stopped, {}, {}};
  if (!reader.WriteMbr()) return {Outcome::Failed, "Write MBR error!", reader.FirstLayoutFault()};
  if (StopRequested()) return {Outcome::Stopped, {}, {}};
  host.SetProgress(kAfterMbrPosition);
  if (!reader.WriteBootSector()) return {Outcome::Failed, "Write boot sector error!", reader.FirstLayoutFault()};
  if (StopRequested()) return {Outcome::Stopped, {}, {}};
  host.SetProgress(kAfterBootSectorPosition);
  if (!PresentAnew(true)) return {Outcome::Ended, {}, {}};
  const FileSystemCheck check = CheckFileSystem(reader);
  reader.DropHandle();
  if (!check.passed) return {Outcome::Failed, check.problem, check.sector};
  return {};
}

// A sector of the file system that cannot be written or read back is
// evidence about the block that holds it: when a page of that block cannot
// be read, the block is marked bad and the file system written again (the
// reader maps a fresh block), so that one bad page costs one block.
int FormatRun::BuildFileSystem() {
  host.SetProgress(kAfterCisPosition);
  host.SetStatus(kBuildingStatus);
  if (!PresentAnew(false)) return 0;
  for (;;) {
    const FileSystemResult result = WriteFileSystem();
    if (result.outcome == FileSystemResult::Outcome::Passed) break;
    if (result.outcome != FileSystemResult::Outcome::Failed || EndedByGoneCard()) return 0;
    const Rewrite rewrite = result.sector ? RetireBehind(*result.sector, result.problem) : Rewrite::NoEvidence;
    if (rewrite == Rewrite::Again) continue;
    if (rewrite == Rewrite::NoEvidence) Fail(result.problem);
    return 0;
  }
  host.SetProgress(kDonePosition);
  TellWhatWasMended();
  return 1;
}

Rewrite FormatRun::RetireBehind(std::uint32_t sector, const std::string& problem) {
  std::optional<PhysicalBlock> holder;
  if (!FindHolder(sector, holder)) return Rewrite::Ended;
  return holder ? RetireHolder(*holder, problem) : Rewrite::NoEvidence;
}

// Reads the pages of the block that holds a sector of the file system at
// fault, after the first, which the search has just read: one that cannot
// be read is the block's own fault.
Rewrite FormatRun::RetireHolder(PhysicalBlock holder, const std::string& problem) {
  const std::uint32_t pages = reader.GetSectorsPerBlock(holder.unit);
  PageBuffer read{};
  std::uint32_t unreadable = 1;
  for (; unreadable < pages; ++unreadable) {
    const Verdict verdict = rule.ReadPage(holder, unreadable, read);
    if (verdict == Verdict::BlockFails) break;
    if (verdict != Verdict::Worked) {
      EndBlamingNoBlock();
      return Rewrite::Ended;
    }
  }
  if (unreadable == pages) return Rewrite::NoEvidence;
  const std::string found = " Page " + std::to_string(unreadable) + " of " + BlockName(holder) + " cannot be read.";
  ledger.Add(holder, Unusable::Unreadable);
  if (ledger.Full(holder)) {
    Fail(problem + found + " " + ledger.FullText(holder) + NothingMarked());
    return Rewrite::Ended;
  }
  if (!MarkBad(holder)) {
    if (!EndedByGoneCard()) Fail(problem + found + " The block could not be marked bad.");
    return Rewrite::Ended;
  }
  retired.push_back(FailedBlock{holder, BlockFailure::ReadBack});
  return PresentAnew(false) ? Rewrite::Again : Rewrite::Ended;
}

// Where the reader keeps logical sector `sector` of the file system, which
// lies in unit 0: the block of its zone whose first page names its logical
// block. False when the run ends.
bool FormatRun::FindHolder(std::uint32_t sector, std::optional<PhysicalBlock>& holder) {
  const std::uint32_t logical = sector / reader.GetSectorsPerBlock(0);
  const std::uint32_t zoneLogical = zone_layout::ZoneLogicalBlocks(UnitBlocks(0));
  const std::uint32_t zoneBlocks = zone_layout::ZoneBlocks(UnitBlocks(0));
  const std::uint32_t first = logical / zoneLogical * zoneBlocks;
  for (std::uint32_t block = first; block < std::min(first + zoneBlocks, UnitBlocks(0)); ++block) {
    PageBuffer read{};
    const Verdict verdict = rule.ReadPage({0, block}, 0, read);
    if (BlamesNoBlock(verdict)) {
      EndBlamingNoBlock();
      return false;
    }
    if (verdict == Verdict::Worked && page_layout::IsGoodBlockPage(read) &&
        page_layout::ClaimedLogicalBlock(read) == logical % zoneLogical) {
      holder = PhysicalBlock{0, block};
      return true;
    }
  }
  return true;
}

// --- The end ----------------------------------------------------------------------

// What became of the blocks at fault, for the operator: a mark is for good,
// so every end but a stop says it.
std::string FormatRun::BlocksText() const {
  std::uint32_t counts[2][2] = {};  // [could not be erased, could not be read][marked, left]
  std::string text;
  for (const auto* list : {&retired, &left}) {
    for (const FailedBlock& block : *list) {
      if (block.how == BlockFailure::ReadBack) {
        text += Capitalized(BlockName(block.where)) +
                " held a page of the file system that could not be read back; it was marked bad and the file "
                "system written again. ";
        continue;
      }
      ++counts[block.how == BlockFailure::EraseFails ? 0 : 1][list == &left ? 1 : 0];
    }
  }
  const char* what[] = {"could not be erased", "could not be read"};
  for (int kind = 0; kind < 2; ++kind) {
    if (const std::uint32_t n = counts[kind][0]) {
      text += BlockCount(n) + " of the card " + what[kind] + " and " + (n == 1 ? "was" : "were") + " marked bad. ";
    }
    if (const std::uint32_t n = counts[kind][1]) {
      text += BlockCount(n) + " of the card " + what[kind] + ", nor marked bad; " +
              (n == 1 ? "it holds" : "they hold") + " nothing a host would use. ";
    }
  }
  if (!text.empty()) text.pop_back();
  return text;
}

void FormatRun::TellWhatWasMended() const {
  if (cisEccWrong) Tell(kCisRewrittenText, "Information", MessageIcon::Information);
  const std::string blocks = BlocksText();
  if (!blocks.empty()) Tell(blocks, "Warning", MessageIcon::Warning);
}

int FormatRun::Steps() {
  host.SetProgressRange(0, 100);
  host.SetProgress(0);
  host.SetStatus(kFormattingStatus);

  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  reader.SetPartitionSectors(key - kComputedPartitionStart);
  for (std::uint8_t u = 0; u < reader.GetUnitCount(); ++u) total += reader.GetUnitSectors(u);

  if (!ScanForCis()) return 0;
  if (StopRequested()) return 0;
  if (cisFound) ledger.SetCisReserve(cisBlock + 1);
  for (std::uint8_t unit = 0; unit < reader.GetUnitCount(); ++unit) {
    if (!EraseUnit(unit)) return 0;
  }
  if (!untriedErases.empty()) {
    Fail(UntriedText());
    return 0;
  }
  if (!RetireFailedBlocks() || !WriteCis()) return 0;
  return BuildFileSystem();
}

// The logical sectors a reader presents for a geometry: each zone's logical blocks.
std::uint64_t PresentedSectors(const MediaGeometry& geometry) {
  std::uint64_t sectors = 0;
  for (std::uint8_t u = 0; u < geometry.unitCount; ++u) {
    const MediaUnit& unit = geometry.units[u];
    sectors += zone_layout::UnitLogicalSectors(unit.totalSectors / unit.sectorsPerBlock, unit.sectorsPerBlock);
  }
  return sectors;
}

int FormatRun::Run() {
  std::string fault = CardGeometryFault(reader.geometry);
  if (fault.empty() && reader.presentedSectors != 0 && reader.presentedSectors != PresentedSectors(reader.geometry)) {
    fault = "The reader's media information describes a card of " + std::to_string(PresentedSectors(reader.geometry)) +
            " sectors, but the reader presents " + std::to_string(reader.presentedSectors) +
            ": it does not describe the card in its slot. The card cannot be formatted in this reader.";
  }
  if (!fault.empty()) {
    Fail(fault);
    return 0;
  }
  const int result = Steps();
  if (result == 0 && !StopRequested()) {
    const std::string blocks = BlocksText();
    if (!blocks.empty()) Tell(blocks, "Warning", MessageIcon::Warning);
  }
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
