// Which blocks a format marks bad and when it ends, for patterns of failing
// commands: each row a card, its fault plan as the sidecar of an image
// would give it, and the verdict - the result, the blocks bad afterwards,
// what the operator is told - for the format and for a second one with
// the same faults.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "sim/card_tools.h"
#include "sim/fault_plan.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

// The cards of the rows.
enum class Card { k1M, k1MUsed, k1MUsedNoCis, k1MBad10To30, k16M, k16MUsed, k16MNoCis, kTwoUnits };

sim::CreateOptions OptionsFor(Card card) {
  const bool big = card == Card::k16M || card == Card::k16MUsed || card == Card::k16MNoCis;
  sim::CreateOptions options =
      CardOptions(card == Card::kTwoUnits ? sim::CardGeometry{{{256, 8}, {256, 8}}} : Standard(big ? "16M" : "1M"),
                  card != Card::k1MUsedNoCis && card != Card::k16MNoCis);
  if (card == Card::k1MBad10To30) options.plan.factoryBadBlocks = {{0, 10}, {0, 20}, {0, 30}};
  const bool used = card == Card::k1MUsed || card == Card::k1MUsedNoCis || card == Card::k16MUsed;
  options.fill = used ? sim::Fill::Random : sim::Fill::Erased;
  return options;
}

struct RuleCase {
  const char* name;
  Card card;
  std::string sidecar;
  int result;
  std::string bad;   // every bad block afterwards: "0:10 0:20"
  std::string says;  // the messages, one a line
  int again = -1;    // a second format's result, when it is checked
  std::string againSays = "";
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

// "0:5 0:6 0:7" for Blocks(5, 3).
std::string Blocks(std::uint32_t first, std::uint32_t count, int unit = 0) {
  std::string list;
  for (std::uint32_t b = first; b < first + count; ++b) {
    list += (list.empty() ? "" : " ") + std::to_string(unit) + ":" + std::to_string(b);
  }
  return list;
}

std::string BadBlocks(sim::Card& card) {
  std::string bad;
  for (const sim::BlockRef& b : sim::Inspect(card).badBlocks) {
    bad += (bad.empty() ? "" : " ") + std::to_string(b.unit) + ":" + std::to_string(b.block);
  }
  return bad;
}

std::string Said(const RecordingHost& host) {
  std::string said;
  for (const std::string& text : host.MessageTexts()) said += (said.empty() ? "" : "\n") + text;
  return said;
}

class Rule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(Rule, MarksOnlyTheBlocksAtFaultAndEndsAsItSays) {
  const RuleCase& c = GetParam();
  const sim::FaultPlanLoad load = sim::ParseFaultPlan(c.sidecar);
  ASSERT_TRUE(load.error.empty()) << load.error;
  Bench bench(OptionsFor(c.card), load.plan);

  EXPECT_EQ(bench.Format(), c.result);
  EXPECT_EQ(BadBlocks(*bench.card), c.bad);
  EXPECT_EQ(Said(bench.host), c.says);
  if (c.again < 0) return;
  bench.host.Clear();
  bench.Reinsert(load.plan);
  EXPECT_EQ(bench.Format(), c.again);
  EXPECT_EQ(BadBlocks(*bench.card), c.bad) << "the second format";
  EXPECT_EQ(Said(bench.host), c.againSays) << "the second format";
}

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
const std::string kForCis = "1 for the card information structure and the blocks before it";
const std::string kNothingToCompare =
    "None of the first 6 blocks the format tried to erase (from block 0 of unit 0 to block 5 of unit 0) could be "
    "erased, so there was no block to compare with: whether the blocks or the reader fail cannot be told. No block "
    "was marked bad. Clean the card's contacts or try another reader, then format the card again.";
const std::string kErase50Fails =
    "Block 50 of unit 0 could not be erased, and block 49 of unit 0, erased just before, could not be erased again "
    "either";
const std::string kStuckBlank =
    "1 block of the card could not be erased, nor marked bad; it holds nothing a host would use.";

INSTANTIATE_TEST_SUITE_P(
    Patterns, Rule,
    ::testing::Values(
        // --- Failures of the blocks themselves: each judged on its own; worn
        // NAND fails in neighbouring blocks too.
        RuleCase{"Pair", Card::k1MUsed, Each("erase-fails", 100, 2), 1, Blocks(100, 2), Marked(2, "erased")},
        RuleCase{"RunOf8", Card::k16MUsed, Each("erase-fails", 500, 8), 1, Blocks(500, 8), Marked(8, "erased")},
        RuleCase{"RunOf12Unreadable", Card::k16M, Each("unreadable-page", 32 * 600, 12, 32), 1, Blocks(600, 12),
                 Marked(12, "read")},
        RuleCase{"MixedKinds", Card::k1MUsed, "erase-fails 0:100\nunreadable-page 0:808\n", 1, Blocks(100, 2),
                 Marked(1, "erased") + " " + Marked(1, "read")},
        // Zones and runs never cross units.
        RuleCase{"AcrossUnits", Card::kTwoUnits, Each("erase-fails", 252, 4) + Each("erase-fails", 0, 4, 1, 1), 1,
                 Blocks(252, 4) + " " + Blocks(0, 4, 1), Marked(8, "erased")},
        // A zone that keeps no block beyond its logical ones, counting the
        // factory marks and the CIS block: the card cannot hold its capacity.
        RuleCase{"ZoneFull", Card::k1MBad10To30, Each("erase-fails", 100, 3), 0, "0:10 0:20 0:30",
                 kZone0Of1M + "3 marked bad before, 2 could not be erased, " + kForCis + kNoFreeBlock},
        RuleCase{"WholeZoneFromBlock100", Card::k1MUsed, Each("erase-fails", 100, 156), 0, "",
                 kZone0Of1M + "5 could not be erased, " + kForCis + kNoFreeBlock},
        // No erase has worked to compare with.
        RuleCase{"WholeZoneFromTheStart", Card::k1MUsedNoCis, Each("erase-fails", 0, 256), 0, "", kNothingToCompare},
        RuleCase{"WindowCannotBeErased", Card::k1MUsedNoCis, Each("erase-fails", 0, 6), 0, "", kNothingToCompare},
        // --- Failures of the reader: the control fails too.
        RuleCase{"EraseFailsFromCall50", Card::k1MUsed, "fail-command E8 at 50 and-later\n", 0, "",
                 kErase50Fails + kReaderFails},
        RuleCase{"GlitchOfThreeErases", Card::k1MUsed,
                 "fail-command E8 at 50\nfail-command E8 at 51\nfail-command E8 at 52\n", 0, "",
                 kErase50Fails + kReaderFails},
        RuleCase{"ReadFailsFromCall60", Card::k1MUsed, "fail-command EA at 60 and-later\n", 0, "",
                 "Page 472 of unit 0 could not be read, and page 464 of unit 0, read just before, could not be read "
                 "again either" +
                     kReaderFails},
        // --- A passing glitch of two commands costs nothing.
        RuleCase{"GlitchOfTwoErases", Card::k1MUsed, "fail-command E8 at 50\nfail-command E8 at 51\n", 1, "", ""},
        RuleCase{"GlitchOfTwoReads", Card::k1MUsed, "fail-command EA at 60\nfail-command EA at 61\n", 1, "", ""},
        // --- A block whose first page cannot be read is marked once; its other
        // pages then carry the mark, and the next format passes over it.
        RuleCase{"FirstPageUnreadableFormatsAgain", Card::k1M, "unreadable-page 0:24\n", 1, "0:3", Marked(1, "read"),
                 1},
        // A blank block that can be neither erased nor marked holds nothing a host would map.
        RuleCase{"StuckBlankBlock", Card::k16M, "erase-fails 0:300\nprogram-fails 0:300\n", 1, "", kStuckBlank, 1,
                 kStuckBlank},
        // The card answers: the CIS goes to the first good block of the window.
        RuleCase{"UnreadableWindowStart", Card::k16MNoCis, Each("unreadable-page", 0, 16, 32), 1, Blocks(0, 16),
                 Marked(16, "read")},
        // A page of the file system that cannot be read costs its block.
        RuleCase{"ReadBackFails", Card::k16M, "unreadable-page 0:2000\n", 1, "0:62",
                 "Block 62 of unit 0 held a page of the file system that could not be read back; it was marked bad and "
                 "the file system written again."},
        RuleCase{"NoHomeInTheWindow", Card::k1MUsedNoCis, "erase-fails 0:0\n" + Each("unreadable-page", 8, 5, 8), 0, "",
                 "The card cannot be used: none of its first 6 blocks, where hosts look for the card information "
                 "structure, could take it (1 could not be erased, 5 could not be read). No block was marked bad. No "
                 "block after them was erased."},
        RuleCase{"StuckBlockBeforeTheCis", Card::k1MUsedNoCis, "program-fails 0:0\nunreadable-page 0:0\n", 0, "",
                 "Block 0 of unit 0 could not be read, nor marked bad, and it lies before the card information "
                 "structure: hosts that read it would take it for the card's first good block and not look further. "
                 "The card cannot be used."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
