// The edges of the procedure that a small change would move without another
// test noticing: where the CIS may go, what ends the CIS scan, and
// the partition size the format stores.
#include <gtest/gtest.h>

#include <ostream>

#include "card/card_check.h"
#include "engine/low_level_format.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

std::vector<std::uint32_t> PagesRead(const std::vector<Op>& log) {
  std::vector<std::uint32_t> pages;
  for (const Op& op : log) {
    if (op.kind == OpKind::ReadPage) pages.push_back(op.where);
  }
  return pages;
}

struct WindowCase {
  const char* name;
  card::CardGeometry geometry;
  std::uint32_t badBlocks;  // blocks 0 .. badBlocks-1 of unit 0 are bad
  int result;               // the CIS goes into block badBlocks, or the card is refused untouched
  const char* refusal;      // the start of the refusal
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

constexpr const char* kNoGoodBlock = "The card cannot be used: none of its first ";
constexpr const char* kZoneFull = "Zone 0 of unit 0 can no longer hold its ";

class CisWindow : public ::testing::TestWithParam<WindowCase> {};

// Hosts look for the CIS only in the blocks before the first zone's data
// area: 24 of a zone of 1024 blocks, 6 of a unit of 256. The CIS block and
// those before it hold no data, and the zone must keep one block more than
// its logical ones: a CIS in the window's last block leaves none.
TEST_P(CisWindow, TakesTheFirstGoodBlockOfTheWindowOrRefusesTheCard) {
  const WindowCase& c = GetParam();
  Bench bench(CardOptions(c.geometry, false, BlockRange(0, c.badBlocks)));
  EXPECT_EQ(bench.Format(), c.result);
  const std::uint32_t perBlock = c.geometry.units[0].pagesPerBlock;
  if (c.result == 1) {
    EXPECT_EQ(card::CheckCard(bench.card->Media(), {true}).cisBlock, c.badBlocks);
    return;
  }
  // The scan reads the bad blocks, and the good one after them when there is one in the window.
  std::vector<std::uint32_t> scanned;
  for (std::uint32_t b = 0; b < c.badBlocks + (c.refusal == kZoneFull); ++b) scanned.push_back(b * perBlock);
  EXPECT_EQ(PagesRead(bench.device->log), scanned);
  EXPECT_TRUE(bench.card->Media().Bytes() == bench.original) << "the card was changed";
  ASSERT_EQ(bench.host.MessageTexts().size(), 1u);
  EXPECT_EQ(bench.host.MessageTexts()[0].rfind(c.refusal, 0), 0u) << bench.host.MessageTexts()[0];
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CisWindow,
    ::testing::Values(WindowCase{"LastUsableBlockOfTheWindow", card::CardGeometry{{{2048, 8}}}, 22, 1, ""},
                      WindowCase{"LastBlockOfTheWindow", card::CardGeometry{{{2048, 8}}}, 23, 0, kZoneFull},
                      WindowCase{"NoGoodBlockInTheWindow", card::CardGeometry{{{2048, 8}}}, 24, 0, kNoGoodBlock},
                      WindowCase{"LastUsableBlockOfASmallUnitsWindow", card::CardGeometry{{{256, 8}}}, 4, 1, ""},
                      WindowCase{"LastBlockOfASmallUnitsWindow", card::CardGeometry{{{256, 8}}}, 5, 0, kZoneFull},
                      WindowCase{"NoGoodBlockInASmallUnitsWindow", card::CardGeometry{{{256, 8}}}, 6, 0, kNoGoodBlock}),
    [](const auto& info) { return std::string(info.param.name); });

// Only a page whose data status and block status are both 0xFF ends the
// scan as a good block without a CIS; a cleared data status alone does not.
TEST(CisScan, GoesOnPastAPageWhoseDataStatusAloneIsCleared) {
  constexpr std::size_t kDataStatus = kSectorSize + 4;
  Bench bench(CardOptions(Standard("1M"), false));
  std::vector<std::uint8_t> page(kPageSize, 0xFF);
  page[kDataStatus] = 0x00;
  ASSERT_TRUE(bench.card->Media().Program(0, 0, 0, page.data(), page.size()));
  ASSERT_EQ(bench.Format(), 1);
  const std::vector<std::uint32_t> reads = PagesRead(bench.device->log);
  ASSERT_GE(reads.size(), 3u);
  // Blocks 0 and 1 by the scan, then block 0 again by the erase pass.
  EXPECT_EQ(std::vector<std::uint32_t>(reads.begin(), reads.begin() + 3), (std::vector<std::uint32_t>{0, 8, 0}));
}

struct PartitionCase {
  const char* name;
  card::CardGeometry geometry;
  std::uint32_t partitionSectors;
};

void PrintTo(const PartitionCase& c, std::ostream* os) { *os << c.name; }

class StoredPartition : public ::testing::TestWithParam<PartitionCase> {};

// The capacity key less 32, stored before the physical pass, whether or not
// the layout then reads it.
TEST_P(StoredPartition, IsTheCapacityKeyLess32) {
  Bench bench(CardOptions(GetParam().geometry, true));
  ASSERT_EQ(bench.Format(), 1);
  EXPECT_TRUE(bench.device->PartitionSectorsSet());
  EXPECT_EQ(bench.device->geometry.partitionSectors, GetParam().partitionSectors);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, StoredPartition,
    ::testing::Values(PartitionCase{"Table1M", Standard("1M"), 1968}, PartitionCase{"Table16M", Standard("16M"), 31968},
                      PartitionCase{"Computed", card::CardGeometry{{{1024, 16}, {512, 16}}}, 23968}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
