// Which blocks a format marks bad and when it ends, for patterns of failing
// commands: each row a card, its fault plan as the sidecar of an image
// would give it, and the verdict - the result, the blocks bad afterwards,
// what the operator is told - for the format and for a second one with
// the same faults.
#include <gtest/gtest.h>

#include <ostream>

#include "sim/card_tools.h"
#include "sim/fault_plan.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

struct RuleCase {
  const char* name;
  sim::CardGeometry geometry;
  bool withCis;
  sim::Fill fill;
  std::vector<sim::BlockRef> factoryBad;
  std::string sidecar;
  int result;
  std::vector<std::string> bad;  // "unit:block", every bad block afterwards
  std::vector<std::string> texts;
  int again = -1;  // a second format's result, when it is checked
  std::vector<std::string> againTexts = {};
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

// One sidecar line for each of `count` units (blocks or pages) from `first`, `step` apart.
std::string Each(const std::string& fault, std::uint32_t first, std::uint32_t count, std::uint32_t step = 1,
                 int unit = 0) {
  std::string lines;
  for (std::uint32_t i = 0; i < count; ++i) {
    lines += fault + " " + std::to_string(unit) + ":" + std::to_string(first + i * step) + "\n";
  }
  return lines;
}

std::vector<std::string> BadBlocks(sim::Card& card) {
  std::vector<std::string> bad;
  for (const sim::BlockRef& b : sim::Inspect(card).badBlocks) {
    bad.push_back(std::to_string(b.unit) + ":" + std::to_string(b.block));
  }
  return bad;
}

class Rule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(Rule, MarksOnlyTheBlocksAtFaultAndEndsAsItSays) {
  const RuleCase& c = GetParam();
  const sim::FaultPlanLoad load = sim::ParseFaultPlan(c.sidecar);
  ASSERT_TRUE(load.error.empty()) << load.error;
  sim::CreateOptions options = CardOptions(c.geometry, c.withCis, c.factoryBad);
  options.fill = c.fill;
  Bench bench(options, load.plan);

  EXPECT_EQ(bench.Format(), c.result);
  EXPECT_EQ(BadBlocks(*bench.card), c.bad);
  EXPECT_EQ(bench.host.MessageTexts(), c.texts);
  if (c.again < 0) return;
  bench.host.Clear();
  bench.Reinsert(load.plan);
  EXPECT_EQ(bench.Format(), c.again);
  EXPECT_EQ(BadBlocks(*bench.card), c.bad) << "the second format";
  EXPECT_EQ(bench.host.MessageTexts(), c.againTexts) << "the second format";
}

const sim::CardGeometry k1M = Standard("1M");
const sim::CardGeometry k16M = Standard("16M");
constexpr sim::Fill kErased = sim::Fill::Erased, kUsed = sim::Fill::Random;

std::string Marked(std::uint32_t blocks, const char* how) {
  return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks") + " of the card could not be " + how +
         (blocks == 1 ? " and was" : " and were") + " marked bad.";
}

const std::string kReaderFails =
    ": the reader or the card's contacts fail, not the blocks. No block was marked bad. Clean the card's contacts "
    "or try another reader, then format the card again.";
const std::string kZone0Of1M =
    "Zone 0 of unit 0 can no longer hold its 250 logical blocks: 6 of its 256 blocks cannot be used (";
const std::string kNoFreeBlock =
    "), and it needs one more than its logical blocks, to rewrite data into. The card cannot be formatted; no block "
    "was marked bad.";

INSTANTIATE_TEST_SUITE_P(
    Patterns, Rule,
    ::testing::Values(
        // --- Failures of the blocks themselves: each judged on its own.
        RuleCase{
            "Pair", k1M, true, kUsed, {}, Each("erase-fails", 100, 2), 1, {"0:100", "0:101"}, {Marked(2, "erased")}},
        RuleCase{"RunOf4",
                 k1M,
                 true,
                 kUsed,
                 {},
                 Each("erase-fails", 100, 4),
                 1,
                 {"0:100", "0:101", "0:102", "0:103"},
                 {Marked(4, "erased")}},
        // Eight in a row: worn NAND fails in neighbouring blocks too.
        RuleCase{"RunOf8",
                 k16M,
                 true,
                 kUsed,
                 {},
                 Each("erase-fails", 500, 8),
                 1,
                 {"0:500", "0:501", "0:502", "0:503", "0:504", "0:505", "0:506", "0:507"},
                 {Marked(8, "erased")}},
        RuleCase{"RunOf12Unreadable",
                 k16M,
                 true,
                 kErased,
                 {},
                 Each("unreadable-page", 32 * 600, 12, 32),
                 1,
                 {"0:600", "0:601", "0:602", "0:603", "0:604", "0:605", "0:606", "0:607", "0:608", "0:609", "0:610",
                  "0:611"},
                 {Marked(12, "read")}},
        RuleCase{"MixedKinds",
                 k1M,
                 true,
                 kUsed,
                 {},
                 "erase-fails 0:100\nunreadable-page 0:808\n",
                 1,
                 {"0:100", "0:101"},
                 {Marked(1, "erased") + " " + Marked(1, "read")}},
        // Zones and runs never cross units.
        RuleCase{"AcrossUnits",
                 sim::CardGeometry{{{256, 8}, {256, 8}}},
                 true,
                 kErased,
                 {},
                 Each("erase-fails", 252, 4) + Each("erase-fails", 0, 4, 1, 1),
                 1,
                 {"0:252", "0:253", "0:254", "0:255", "1:0", "1:1", "1:2", "1:3"},
                 {Marked(8, "erased")}},
        // A zone that keeps no free block beyond its logical ones, counting the
        // factory marks and the CIS block: the card cannot hold its capacity.
        RuleCase{"ZoneFull",
                 k1M,
                 true,
                 kErased,
                 {{0, 10}, {0, 20}, {0, 30}},
                 Each("erase-fails", 100, 3),
                 0,
                 {"0:10", "0:20", "0:30"},
                 {kZone0Of1M +
                  "3 marked bad before, 2 could not be erased, 1 for the card information structure and "
                  "the blocks before it" +
                  kNoFreeBlock}},
        RuleCase{"WholeZoneFromBlock100",
                 k1M,
                 true,
                 kUsed,
                 {},
                 Each("erase-fails", 100, 156),
                 0,
                 {},
                 {kZone0Of1M + "5 could not be erased, 1 for the card information structure and the blocks before it" +
                  kNoFreeBlock}},
        // No erase has worked to compare with.
        RuleCase{"WholeZoneFromTheStart",
                 k1M,
                 false,
                 kUsed,
                 {},
                 Each("erase-fails", 0, 256),
                 0,
                 {},
                 {"None of the first 6 blocks the format tried to erase (from block 0 of unit 0 to block 5 of unit 0) "
                  "could be erased, so there was no block to compare with: whether the blocks or the reader "
                  "fail cannot be told. No block was marked bad. Clean the card's contacts or try another reader, "
                  "then format the card again."}},
        // --- Failures of the reader: the control fails too.
        RuleCase{"EraseFailsFromCall50",
                 k1M,
                 true,
                 kUsed,
                 {},
                 "fail-command E8 at 50 and-later\n",
                 0,
                 {},
                 {"Block 50 of unit 0 could not be erased, and block 49 of unit 0, erased just before, could not be "
                  "erased again either" +
                  kReaderFails}},
        RuleCase{"ReadFailsFromCall60",
                 k1M,
                 true,
                 kUsed,
                 {},
                 "fail-command EA at 60 and-later\n",
                 0,
                 {},
                 {"Page 472 of unit 0 could not be read, and page 464 of unit 0, read just before, could not be read "
                  "again either" +
                  kReaderFails}},
        RuleCase{"GlitchOfThreeErases",
                 k1M,
                 true,
                 kUsed,
                 {},
                 "fail-command E8 at 50\nfail-command E8 at 51\nfail-command E8 at 52\n",
                 0,
                 {},
                 {"Block 50 of unit 0 could not be erased, and block 49 of unit 0, erased just before, could not be "
                  "erased again either" +
                  kReaderFails}},
        // --- A passing glitch of two commands costs nothing.
        RuleCase{
            "GlitchOfTwoErases", k1M, true, kUsed, {}, "fail-command E8 at 50\nfail-command E8 at 51\n", 1, {}, {}},
        RuleCase{"GlitchOfTwoReads", k1M, true, kUsed, {}, "fail-command EA at 60\nfail-command EA at 61\n", 1, {}, {}},
        // --- Reproductions.
        // A block whose first page cannot be read is marked once; its other
        // pages then carry the mark, and the next format passes over it.
        RuleCase{"FirstPageUnreadableFormatsAgain",
                 k1M,
                 true,
                 kErased,
                 {},
                 "unreadable-page 0:24\n",
                 1,
                 {"0:3"},
                 {Marked(1, "read")},
                 1},
        // A blank block that can be neither erased nor marked holds nothing a host would map.
        RuleCase{"StuckBlankBlock",
                 k16M,
                 true,
                 kErased,
                 {},
                 "erase-fails 0:300\nprogram-fails 0:300\n",
                 1,
                 {},
                 {"1 block of the card could not be erased, nor marked bad; it holds nothing a host would use."},
                 1,
                 {"1 block of the card could not be erased, nor marked bad; it holds nothing a host would use."}},
        // The card answers: the CIS goes to the first good block of the window.
        RuleCase{"UnreadableWindowStart",
                 k16M,
                 false,
                 kErased,
                 {},
                 Each("unreadable-page", 0, 16, 32),
                 1,
                 {"0:0", "0:1", "0:2", "0:3", "0:4", "0:5", "0:6", "0:7", "0:8", "0:9", "0:10", "0:11", "0:12", "0:13",
                  "0:14", "0:15"},
                 {Marked(16, "read")}},
        // A page of the file system that cannot be read costs its block.
        RuleCase{"ReadBackFails",
                 k16M,
                 true,
                 kErased,
                 {},
                 "unreadable-page 0:2000\n",
                 1,
                 {"0:62"},
                 {"Block 62 of unit 0 held a page of the file system that could not be read back; it was marked bad "
                  "and the file system written again."}},
        RuleCase{"WindowCannotBeErased",
                 k1M,
                 false,
                 kUsed,
                 {},
                 Each("erase-fails", 0, 6),
                 0,
                 {},
                 {"None of the first 6 blocks the format tried to erase (from block 0 of unit 0 to block 5 of unit 0) "
                  "could be erased, so there was no block to compare with: whether the blocks or the reader "
                  "fail cannot be told. No block was marked bad. Clean the card's contacts or try another reader, "
                  "then format the card again."}},
        RuleCase{"NoHomeInTheWindow",
                 k1M,
                 false,
                 kUsed,
                 {},
                 "erase-fails 0:0\n" + Each("unreadable-page", 8, 5, 8),
                 0,
                 {},
                 {"The card cannot be used: none of its first 6 blocks, where hosts look for the card information "
                  "structure, could take it (1 could not be erased, 5 could not be read). No block was marked bad. No "
                  "block after them was erased."}},
        RuleCase{"StuckBlockBeforeTheCis",
                 k1M,
                 false,
                 kUsed,
                 {},
                 "program-fails 0:0\nunreadable-page 0:0\n",
                 0,
                 {},
                 {"Block 0 of unit 0 could not be read, nor marked bad, and it lies before the card information "
                  "structure: hosts that read it would take it for the card's first good block and not look further. "
                  "The card cannot be used."}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
