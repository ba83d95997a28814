// Where the format looks for the CIS, which blocks it erases and where it
// puts a new CIS, on simulated cards of different shapes.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>

#include "card/card_tools.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

constexpr std::size_t kDataStatusByte = kSectorSize + 4;
constexpr std::size_t kBlockAddressByte = kSectorSize + 6;

// Programs a page resembling a CIS page into page 0 of an erased card.
std::function<void(card::Nand&)> Page0(std::function<void(std::vector<std::uint8_t>&)> change) {
  return [change](card::Nand& nand) {
    std::vector<std::uint8_t> page = ExpectedCisPage();
    change(page);
    ASSERT_TRUE(nand.Program(0, 0, 0, page.data(), page.size()));
  };
}

struct ScanCase {
  const char* name;
  card::CardGeometry geometry;
  bool withCis;  // the card is made with a CIS in its first good block
  std::vector<card::BlockRef> bad;
  std::uint32_t scanReadFaults;             // blocks after the bad ones whose first page cannot be read
  std::function<void(card::Nand&)> before;  // a page written on the card before the run
  std::optional<std::uint32_t> cisFound;    // the CIS block the scan finds; no CIS is written
  std::uint32_t firstErased;                // the first block of unit 0 the erase pass visits
  std::optional<std::uint32_t> cisWritten;  // the block that gets a new CIS
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class ScanAndErase : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanAndErase, ErasesEveryGoodBlockAfterTheCisAndPlacesTheCis) {
  const ScanCase& c = GetParam();
  const std::uint32_t pagesPerBlock0 = c.geometry.units[0].pagesPerBlock;
  Bench bench(CardOptions(c.geometry, c.withCis, c.bad),
              UnreadableFirstPages(c.geometry, static_cast<std::uint32_t>(c.bad.size()), c.scanReadFaults));
  if (c.before) {
    c.before(bench.card->Media());
    bench.original = bench.card->Media().Bytes();
  }

  ASSERT_EQ(bench.Format(), 1) << ::testing::PrintToString(bench.host.MessageTexts());
  EXPECT_EQ(bench.host.MessageTexts(), UnreadableWarning(c.scanReadFaults));
  const card::Nand& nand = bench.card->Media();
  const std::vector<Op>& log = bench.device->log;

  // The blocks before the first erased one are left exactly as they were.
  for (std::uint32_t b = 0; b < c.firstErased; ++b) {
    EXPECT_EQ(BlockBytes(nand.Bytes(), c.geometry, 0, b), BlockBytes(bench.original, c.geometry, 0, b))
        << "block " << b << " was changed";
  }

  // Every good, readable block from there on is erased once, in order; bad
  // blocks never are.
  for (std::uint8_t u = 0; u < c.geometry.units.size(); ++u) {
    const card::UnitGeometry& unit = c.geometry.units[u];
    std::vector<std::uint32_t> expected;
    for (std::uint32_t b = u == 0 ? c.firstErased : 0; b < unit.blocks; ++b) {
      if (!nand.IsBad(u, b) && nand.PageReadable(u, b * unit.pagesPerBlock)) expected.push_back(b);
    }
    EXPECT_EQ(ErasedBlocks(log, u), expected) << "unit " << int{u};
  }

  // The CIS: written into the first page of the chosen block when none was
  // found, redundant area first.
  if (c.cisWritten) {
    EXPECT_EQ(CisWrites(log), (std::vector<OpKind>{OpKind::WriteRedundant, OpKind::WritePage}));
    for (const Op& op : log) {
      if ((op.kind == OpKind::WriteRedundant && !op.mark) || op.kind == OpKind::WritePage) {
        EXPECT_EQ(op.unit, 0);
        EXPECT_EQ(op.where, *c.cisWritten * pagesPerBlock0);
      }
    }
  } else {
    EXPECT_TRUE(CisWrites(log).empty()) << "a CIS was written although one was found";
  }
  const std::uint32_t cisBlock = c.cisFound ? *c.cisFound : *c.cisWritten;
  EXPECT_EQ(PageBytes(*bench.card, 0, cisBlock * pagesPerBlock0), ExpectedCisPage());
  for (std::uint32_t p = 1; p < pagesPerBlock0; ++p) {
    EXPECT_TRUE(AllErased(PageBytes(*bench.card, 0, cisBlock * pagesPerBlock0 + p))) << "CIS block page " << p;
  }
  EXPECT_EQ(card::Inspect(*bench.card).cisBlock, std::optional<std::uint32_t>(cisBlock));
}

const card::CardGeometry k1M = Standard("1M");
const card::CardGeometry k8M = Standard("8M");
const card::CardGeometry kTwoUnits{{{256, 8}, {512, 16}}};

// Pages that look like a CIS page but are not one.
const auto kSignatureOnlyAtOffset0 = Page0([](std::vector<std::uint8_t>& p) { p[256] = 0x00; });
const auto kBlockAddressNotZero = Page0([](std::vector<std::uint8_t>& p) { p[kBlockAddressByte] = 0x10; });
const auto kDataStatusCleared = Page0([](std::vector<std::uint8_t>& p) { p[kDataStatusByte] = 0x00; });
const auto kFirstTwoInUse = [](card::Nand& nand) {
  for (std::uint32_t p : {0u, 8u})
    ASSERT_TRUE(nand.Program(0, p, kDataStatusByte, std::vector<std::uint8_t>{0}.data(), 1));
};

INSTANTIATE_TEST_SUITE_P(
    Cards, ScanAndErase,
    ::testing::Values(
        ScanCase{"CisInBlock0", k1M, true, {}, 0, nullptr, 0, 1, std::nullopt},
        ScanCase{"CisAfterTwoBadBlocks", k1M, true, BlockRange(0, 2), 0, nullptr, 2, 3, std::nullopt},
        ScanCase{"NoCisGoodBlock0", k1M, false, {}, 0, nullptr, std::nullopt, 0, 0},
        // A block whose first page cannot be read does not end the scan; the
        // erase pass starts at block 0, and the CIS goes into the first good
        // block after them.
        ScanCase{"UnreadableBlocksDoNotEndTheScan", k8M, false, BlockRange(0, 10), 6, nullptr, std::nullopt, 0, 16},
        ScanCase{"First20Bad", k8M, false, BlockRange(0, 20), 0, nullptr, std::nullopt, 0, 20},
        // Hosts look for the CIS in the first 24 blocks of a zone of 1024.
        ScanCase{"CisBehind16BadBlocks", k8M, true, BlockRange(0, 16), 0, nullptr, 16, 17, std::nullopt},
        // Not CIS pages, but a good block: the scan ends there and block 0 is
        // erased before the CIS is written over it.
        ScanCase{"SignatureOnlyAtOffset0", k1M, false, {}, 0, kSignatureOnlyAtOffset0, std::nullopt, 0, 0},
        ScanCase{"BlockAddressNotZero", k1M, false, {}, 0, kBlockAddressNotZero, std::nullopt, 0, 0},
        // Neither a CIS nor a good empty block, so the scan goes on to block 1;
        // block 0 is still erased and takes the CIS.
        ScanCase{"DataStatusCleared", k1M, false, {}, 0, kDataStatusCleared, std::nullopt, 0, 0},
        // Blocks 0 and 1 in use, 2 to 5 bad: no empty block in the window; the first good one takes the CIS.
        ScanCase{"NoEmptyBlockInTheWindow", k1M, false, BlockRange(2, 6), 0, kFirstTwoInUse, std::nullopt, 0, 0},
        // Unit 1 is erased from its block 0, bad block excepted.
        ScanCase{"TwoUnits", kTwoUnits, true, {{1, 7}}, 0, nullptr, 0, 1, std::nullopt},
        ScanCase{"TwoUnitsNoCis", kTwoUnits, false, {{0, 0}, {1, 0}}, 0, nullptr, std::nullopt, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
