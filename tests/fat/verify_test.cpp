// The check of a written file system: the expected sectors agree with what
// the writers write, and every way a sector can fail to be there is caught.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine/verify.h"
#include "tests/fat/fat_run.h"

namespace {

// Every standard capacity and computed ones of each cluster size.
class ExpectedLayout : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ExpectedLayout, IsWhatTheWritersWriteSectorBySector) {
  const std::unique_ptr<FatRun> run = NewCard(GetParam());
  run->reader.unwrittenFill = 0xA5;  // a sector the layout leaves alone shows up
  run->Run();
  ASSERT_EQ(run->bootResult, 1);
  const auto layout = FileSystemLayout::For(GetParam(), GetParam() - 32);
  ASSERT_TRUE(layout);
  for (std::uint32_t s = 0; s < layout->SectorCount(); ++s) {
    ASSERT_EQ(run->reader.Sector(static_cast<std::uint16_t>(s)), layout->Expected(s)) << "sector " << s;
  }
  for (const auto& [sector, data] : run->reader.WrittenSectors()) {
    EXPECT_LT(sector, layout->SectorCount()) << "written beyond the layout";
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, ExpectedLayout,
                         ::testing::Values(2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000, 24000, 96000,
                                           300000));

TEST(ExpectedLayout, NamesTheStructureOfEachSector) {
  // K = 2000: boot sector 13, one sector per FAT, root directory 16-31.
  const auto layout = FileSystemLayout::For(2000, 1968);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->SectorCount(), 32u);
  const std::vector<std::pair<std::uint32_t, std::string>> regions = {{0, "MBR"},
                                                                      {1, "sectors before the boot sector"},
                                                                      {12, "sectors before the boot sector"},
                                                                      {13, "boot sector"},
                                                                      {14, "FAT1"},
                                                                      {15, "FAT2"},
                                                                      {16, "root directory"},
                                                                      {31, "root directory"}};
  for (const auto& [sector, name] : regions) EXPECT_EQ(layout->Region(sector), name) << sector;
  EXPECT_FALSE(FileSystemLayout::For(999, 967)) << "no file system fits";
}

struct VerifyCase {
  const char* name;
  std::uint32_t key;
  std::function<void(MemoryReader&)> duringLayout;  // faults while the layout is written
  std::function<void(MemoryReader&)> afterLayout;   // faults or changes before the check
  int result;
  std::string message;
};

void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class Verify : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(Verify, FailsWithOneMessageForTheFirstProblem) {
  const VerifyCase& c = GetParam();
  const std::unique_ptr<FatRun> run = NewCard(c.key);
  if (c.duringLayout) c.duringLayout(run->reader);
  run->Run();
  ASSERT_EQ(run->bootResult, 1) << "the layout writers report success";
  if (c.afterLayout) c.afterLayout(run->reader);
  run->host.Clear();

  EXPECT_EQ(VerifyFileSystem(run->reader, run->host), c.result);
  if (c.message.empty()) {
    EXPECT_TRUE(run->host.Messages().empty());
  } else {
    EXPECT_EQ(run->host.Messages(), std::vector<HostMessage>{ErrorBox(c.message)});
  }
}

const SectorBuffer kJunk = [] {
  SectorBuffer junk;
  junk.fill(0x5A);
  return junk;
}();

INSTANTIATE_TEST_SUITE_P(
    Cards, Verify,
    ::testing::Values(
        VerifyCase{"TableLayoutAsWritten", 2000, nullptr, nullptr, 1, ""},
        VerifyCase{"ComputedLayoutAsWritten", 24000, nullptr, nullptr, 1, ""},
        // The zero fills' results are ignored by the writers; a sector that
        // was not cleared reads back as zeros on this reader all the same.
        VerifyCase{"ZeroFillWriteFailed", 32000, [](MemoryReader& r) { r.FailWrite(60, 1); }, nullptr, 0,
                   "Write file system error: 1 sector could not be written."},
        VerifyCase{"TwoGapWritesFailed", 24000,
                   [](MemoryReader& r) {
                     r.FailWrite(1, 1);
                     r.FailWrite(31, 1);
                   },
                   nullptr, 0, "Write file system error: 2 sectors could not be written."},
        VerifyCase{"RootDirectoryUnreadable", 2000, nullptr, [](MemoryReader& r) { r.FailRead(31); }, 0,
                   "Verify file system error: sector 31 (root directory) cannot be read back."},
        VerifyCase{"SecondFatDiffersInOneByte", 2000, nullptr, [](MemoryReader& r) { r.CorruptRead(15, {3}); }, 0,
                   "Verify file system error: sector 15 (FAT2) reads back different from what was written."},
        // Old data in the gap before the boot sector, as a block that kept
        // its logical address after the format would show it.
        VerifyCase{"OldDataBeforeTheBootSector", 8000, nullptr, [](MemoryReader& r) { r.WriteLBA(5, 1, kJunk.data()); },
                   0,
                   "Verify file system error: sector 5 (sectors before the boot sector) reads back different from "
                   "what was written."},
        VerifyCase{"ComputedBootSectorDiffers", 96000, nullptr, [](MemoryReader& r) { r.CorruptRead(32, {62}); }, 0,
                   "Verify file system error: sector 32 (boot sector) reads back different from what was written."},
        // The first problem ends the check: the unreadable MBR is reported, not the FAT.
        VerifyCase{"StopsAtTheFirstProblem", 4000, nullptr,
                   [](MemoryReader& r) {
                     r.FailRead(0);
                     r.CorruptRead(12, {0});
                   },
                   0, "Verify file system error: sector 0 (MBR) cannot be read back."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Verify, CardWithoutALayoutIsRefused) {
  RecordingHost host;
  MemoryReader reader(host);
  reader.SetCapacityKey(24000);  // a computed layout, but no partition size was ever set
  EXPECT_EQ(VerifyFileSystem(reader, host), 0);
  EXPECT_EQ(host.Messages(), std::vector<HostMessage>{ErrorBox(
                                 "Verify file system error: the card's size gives no file system layout to compare "
                                 "with.")});
  EXPECT_TRUE(reader.Calls().empty());
}

}  // namespace
