// The edges of the procedure that a small change would move without another
// test noticing: how far the CIS writer searches, what ends the CIS scan, and
// the partition size the format stores.
#include <gtest/gtest.h>

#include <ostream>

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

struct SearchCase {
  const char* name;
  sim::CardGeometry geometry;
  std::uint32_t badBlocks;  // blocks 0 .. badBlocks-1 of unit 0 are bad
  int result;
  std::uint32_t reads;  // pages the search reads: one per block from block 0
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class CisSearch : public ::testing::TestWithParam<SearchCase> {};

// WriteCisBlock alone: it looks at the first page of each block, from block
// 0, up to the first good one, the unit's end or block 1024.
TEST_P(CisSearch, ReadsOneBlockAfterAnotherUpToItsLimit) {
  const SearchCase& c = GetParam();
  Bench bench(CardOptions(c.geometry, false, BlockRange(0, c.badBlocks)));
  ASSERT_EQ(bench.Open(), 1);
  EXPECT_EQ(bench.device->WriteCisBlock(), c.result);
  std::vector<std::uint32_t> expected;
  const std::uint32_t perBlock = c.geometry.units[0].pagesPerBlock;
  for (std::uint32_t b = 0; b < c.reads; ++b) expected.push_back(b * perBlock);
  if (c.result == 1) expected.push_back((c.reads - 1) * perBlock);  // the CIS page read back
  EXPECT_EQ(PagesRead(bench.device->log), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, CisSearch,
    ::testing::Values(SearchCase{"LastBlockOfTheSearchIsGood", sim::CardGeometry{{{2048, 8}}}, 1023, 1, 1024},
                      SearchCase{"GoodBlockJustBeyondTheSearch", sim::CardGeometry{{{2048, 8}}}, 1024, 0, 1024},
                      // A unit of fewer than 1024 blocks ends the search at its end.
                      SearchCase{"UnitSmallerThanTheSearch", sim::CardGeometry{{{256, 8}}}, 256, 0, 256}),
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
  sim::CardGeometry geometry;
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
                      PartitionCase{"Computed", sim::CardGeometry{{{1024, 16}, {512, 16}}}, 23968}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
