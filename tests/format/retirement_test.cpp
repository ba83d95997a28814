// Which blocks a format marks bad and when it ends: each row a card, its
// faults as an image's sidecar gives them, and the verdict.
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>

#include "card/card_check.h"
#include "card/fault_plan.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

// A card: "1M", "16M" or "2x256" (two units of 256 blocks of 8 pages), then
// "used" (every logical sector written), "no-cis", "bad=B,B,..." (factory
// bad blocks of unit 0).
card::CreateOptions CardFor(const std::string& description) {
  std::istringstream words(description);
  std::string size;
  words >> size;
  card::CreateOptions options =
      CardOptions(size == "2x256" ? card::CardGeometry{{{256, 8}, {256, 8}}} : Standard(size.c_str()), true);
  for (std::string word; words >> word;) {
    if (word == "used") options.fill = card::Fill::Random;
    if (word == "no-cis") options.withCis = false;
    std::istringstream bad(word.rfind("bad=", 0) == 0 ? word.substr(4) : "");
    for (std::uint32_t block; bad >> block; bad.ignore()) options.plan.factoryBadBlocks.push_back({0, block});
  }
  return options;
}

struct RuleCase {
  const char* name;
  const char* card;
  std::string sidecar;
  int result;
  std::string bad;   // the blocks whose first page carries a bad-block mark afterwards: "0:10 0:20"
  std::string says;  // the messages, one a line
  int again = -1;    // a second format's result, when it is checked
  std::string againSays = "";
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

// One sidecar line for each of `count` blocks, pages or calls from `first`, `step` apart; a
// unit below 0 names none.
std::string Each(const std::string& fault, std::uint32_t first, std::uint32_t count, std::uint32_t step = 1,
                 int unit = 0) {
  std::string lines;
  for (std::uint32_t i = 0; i < count; ++i) {
    lines += fault + " " + (unit < 0 ? "" : std::to_string(unit) + ":") + std::to_string(first + i * step) + "\n";
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

std::string BadBlocks(const card::Card& card) {
  std::string bad;
  const card::CardGeometry& geometry = card.Geometry();
  for (std::uint8_t u = 0; u < geometry.units.size(); ++u) {
    for (std::uint32_t b = 0; b < geometry.units[u].blocks; ++b) {
      if (PageBytes(card, u, b * geometry.units[u].pagesPerBlock)[kSectorSize + 5] == 0xFF) continue;
      bad += (bad.empty() ? "" : " ") + std::to_string(u) + ":" + std::to_string(b);
    }
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
  const card::FaultPlanLoad load = card::ParseFaultPlan(c.sidecar);
  ASSERT_TRUE(load.error.empty()) << load.error;
  Bench bench(CardFor(c.card), load.plan);

  EXPECT_EQ(bench.Format(), c.result);
  EXPECT_EQ(BadBlocks(*bench.card), c.bad);
  EXPECT_EQ(Said(bench.host), c.says);
  // Success only over a card that hosts read as sound, the faults gone.
  bench.Reinsert();
  EXPECT_TRUE(c.result != 1 || card::CheckCard(bench.card->Media(), {true}).Passed());
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

// The end when the control fails too: "Block 50 ..." could not be erased, and "block 49 ...", erased just before...
std::string ReaderFails(const std::string& failed, const std::string& control, const std::string& done) {
  return failed + " of unit 0 could not be " + done + ", and " + control + " of unit 0, " + done +
         " just before, could not be " + done +
         " again either: the reader or the card's contacts fail, not the blocks. No block was marked bad. Clean the "
         "card's contacts or try another reader, then format the card again.";
}

const std::string kZone0Of1M =
    "Zone 0 of unit 0 can no longer hold its 250 logical blocks: 6 of its 256 blocks cannot be used (";
const std::string kNoFreeBlock =
    "), and it needs one more than its logical blocks, to rewrite data into. The card cannot be formatted. No block "
    "was marked bad.";
const std::string kForCis = "1 for the card information structure and the blocks before it";
const std::string kWindow =
    "The card cannot be used: none of its first 6 blocks, where hosts look for the card "
    "information structure, ";
const std::string kNothingErased = "). No block was marked bad. No block after them was erased.";
const std::string kStuckBlank =
    "1 block of the card could not be erased, nor marked bad; it holds nothing a host would use.";

INSTANTIATE_TEST_SUITE_P(
    Patterns, Rule,
    ::testing::Values(
        // --- Failures of the blocks themselves: each judged on its own; worn
        // NAND fails in neighbouring blocks too.
        RuleCase{"Pair", "1M used", Each("erase-fails", 100, 2), 1, Blocks(100, 2), Marked(2, "erased")},
        RuleCase{"RunOf8", "16M used", Each("erase-fails", 500, 8), 1, Blocks(500, 8), Marked(8, "erased")},
        RuleCase{"MixedKinds", "1M used", "erase-fails 0:100\nunreadable-page 0:808\n", 1, Blocks(100, 2),
                 Marked(1, "erased") + " " + Marked(1, "read")},
        // Zones and runs never cross units.
        RuleCase{"AcrossUnits", "2x256", Each("erase-fails", 252, 4) + Each("erase-fails", 0, 5, 1, 1), 1,
                 Blocks(252, 4) + " " + Blocks(0, 5, 1), Marked(9, "erased")},
        // A zone that keeps no block beyond its logical ones, counting the
        // factory marks and the CIS block: the card cannot hold its capacity.
        RuleCase{"ZoneFull", "1M bad=10,20,30", Each("erase-fails", 100, 3), 0, "0:10 0:20 0:30",
                 kZone0Of1M + "3 marked bad before, 2 could not be erased, " + kForCis + kNoFreeBlock},
        RuleCase{"WholeZoneFromBlock100", "1M used", Each("erase-fails", 100, 156), 0, "",
                 kZone0Of1M + "5 could not be erased, " + kForCis + kNoFreeBlock},
        // No erase has worked to compare with.
        RuleCase{"WindowCannotBeErased", "1M used no-cis", Each("erase-fails", 0, 6), 0, "",
                 "None of the first 6 blocks the format tried to erase (from block 0 of unit 0 to block 5 of unit 0) "
                 "could be erased, so there was no block to compare with: whether the blocks or the reader fail "
                 "cannot be told. No block was marked bad. Clean the card's contacts or try another reader, then "
                 "format the card again."},
        // --- Failures of the reader: the control fails too.
        RuleCase{"EraseFailsFromCall50", "1M used", "fail-command E8 at 50 and-later\n", 0, "",
                 ReaderFails("Block 50", "block 49", "erased")},
        RuleCase{"ReadFailsFromCall60", "1M used", "fail-command EA at 60 and-later\n", 0, "",
                 ReaderFails("Page 472", "page 464", "read")},
        // --- A passing glitch of two commands costs nothing.
        RuleCase{"GlitchOfTwoErases", "1M used", "fail-command E8 at 50\nfail-command E8 at 51\n", 1, "", ""},
        RuleCase{"GlitchOfTwoReads", "1M used", "fail-command EA at 60\nfail-command EA at 61\n", 1, "", ""},
        // --- A block whose first page cannot be read is marked once; its other
        // pages then carry the mark, and the next format passes over it.
        RuleCase{"FirstPageUnreadableFormatsAgain", "1M", "unreadable-page 0:24\n", 1, "0:3", Marked(1, "read"), 1},
        // A blank block that can be neither erased nor marked holds nothing a host would map.
        RuleCase{"StuckBlankBlock", "16M", "erase-fails 0:300\nprogram-fails 0:300\n", 1, "", kStuckBlank, 1,
                 kStuckBlank},
        // The card answers: the CIS goes to the first good block of the window.
        RuleCase{"UnreadableWindowStart", "16M no-cis", Each("unreadable-page", 0, 16, 32), 1, Blocks(0, 16),
                 Marked(16, "read")},
        // A page of the file system that cannot be read costs its block.
        RuleCase{"ReadBackFails", "16M", "unreadable-page 0:2000\n", 1, "0:62",
                 "Block 62 of unit 0 held a page of the file system that could not be read back; it was marked bad and "
                 "the file system written again."},
        RuleCase{"NoHomeInTheWindow", "1M used no-cis", "erase-fails 0:0\n" + Each("unreadable-page", 8, 5, 8), 0, "",
                 kWindow + "could take it (1 could not be erased, 5 could not be read" + kNothingErased},
        RuleCase{"StuckBlockBeforeTheCis", "1M used no-cis", "program-fails 0:0\nunreadable-page 0:0\n", 0, "",
                 "Block 0 of unit 0 could not be read, nor marked bad, and it lies before the card information "
                 "structure: hosts that read it would take it for the card's first good block and not look further. "
                 "The card cannot be used."},
        // --- Before any command of a kind has worked.
        RuleCase{"FirstErasesFailOnce", "1M used no-cis", "fail-command E8 at 1\nfail-command E8 at 2\n", 1, "", ""},
        RuleCase{"FirstReadsFailOnce", "1M", Each("fail-command EA at", 1, 5, 1, -1), 1, "", ""},
        RuleCase{"ReaderFailsOnAnEarlierRead", "1M", "fail-command EA at 1\nfail-command EA at 3 and-later\n", 0, "",
                 ReaderFails("Page 0", "page 8", "read")},
        RuleCase{"ReaderFailsOnAnEarlierErase", "1M used no-cis",
                 "fail-command E8 at 1\nfail-command E8 at 3 and-later\n", 0, "",
                 ReaderFails("Block 0", "block 1", "erased")},
        RuleCase{"EveryReadFails", "1M used", "fail-command EA at 1 and-later\n", 0, "",
                 kWindow + "is a good block (no page of them could be read; if the card works in another reader, this "
                           "reader is at "
                           "fault). Nothing was written to the card."},
        RuleCase{"NoStateEither", "1M used", "fail-command EA at 1 and-later\nfail-command E7/1 at 1 and-later\n", 0,
                 "",
                 "The card does not answer: no page of its first 6 blocks could be read, and the reader reports no "
                 "state for it. It may have been taken out of the reader. No block was marked bad."},
        RuleCase{
            "NoGoodBlockInTheWindow", "1M no-cis bad=0,1,3,4,5",
            "unreadable-page 0:0\nunreadable-page 0:8\n" + Each("unreadable-page", 16, 2) + "unreadable-page 0:23\n", 0,
            "0:0 0:1 0:3 0:4 0:5",
            kWindow + "is a good block (5 are marked bad, 1 could not be read). Nothing was written to the card."},
        RuleCase{"ZoneFullWithoutCis", "1M used no-cis", Each("erase-fails", 100, 5), 0, "",
                 kZone0Of1M + "5 could not be erased, " + kForCis + kNoFreeBlock},
        RuleCase{"WindowLostInThePass", "1M no-cis bad=1,2,3,4,5", "fail-command EA at 2\nfail-command EA at 4\n", 0,
                 Blocks(1, 5), kWindow + "could take it (5 marked bad before, 1 could not be read" + kNothingErased},
        RuleCase{"MarkGlitch", "1M used", "erase-fails 0:100\nfail-command E9 at 1\n", 1, "0:100", Marked(1, "erased")},
        RuleCase{"StuckBlockInUnit1", "2x256 used", "erase-fails 1:100\nprogram-fails 1:100\n", 0, "",
                 "Block 100 of unit 1 could be neither erased nor marked bad, and it still holds the old data of "
                 "logical block 350, which the reader would map again. The card cannot be formatted."},
        // Its first page unreadable: the block address is in every page.
        RuleCase{"StuckBlockUnreadableFirstPage", "1M used",
                 "unreadable-page 0:800\nerase-fails 0:100\nprogram-fails 0:100\n", 0, "",
                 "Block 100 of unit 0 could not be read, nor marked bad, and it still holds the old data of logical "
                 "block 99, which the reader would map again. The card cannot be formatted."},
        RuleCase{"ReaderFailsOnAStuckBlock", "1M used",
                 "unreadable-page 0:800\nprogram-fails 0:100\nfail-command E8 at 255 and-later\n", 0, "",
                 ReaderFails("Block 100", "block 255", "erased")},
        RuleCase{"ReaderFailsReadingAStuckBlock", "1M used",
                 "unreadable-page 0:800\nprogram-fails 0:100\nfail-command EA at 261 and-later\n", 0, "",
                 ReaderFails("Page 800", "page 2040", "read")},
        RuleCase{"OneMarkedFiveUnreadable", "1M no-cis bad=0", Each("unreadable-page", 8, 5, 8), 0, "0:0",
                 kWindow + "is a good block (1 is marked bad, 5 could not be read). Nothing was written to the card."},
        // A page of the file system that cannot be read, and then the reader
        // fails, or the block cannot be marked, or its zone cannot spare it.
        RuleCase{"ReaderFailsFindingTheHolder", "16M", "unreadable-page 0:2000\nfail-command EA at 1030 and-later\n", 0,
                 "", ReaderFails("Page 160", "page 128", "read")},
        RuleCase{"ReaderFailsJudgingTheHolder", "16M", "unreadable-page 0:2000\nfail-command EA at 1088 and-later\n", 0,
                 "", ReaderFails("Page 1985", "page 1984", "read")},
        RuleCase{"HolderCannotBeMarked", "16M", "unreadable-page 0:2000\nfail-command E9 at 1\nfail-command E9 at 2\n",
                 0, "",
                 "Write boot sector error! Page 16 of block 62 of unit 0 cannot be read. The block could not be marked "
                 "bad."},
        RuleCase{
            "HolderFillsTheZone", "1M bad=10,20,30,40", "unreadable-page 0:43\n", 0, "0:10 0:20 0:30 0:40",
            "Write file system error: 3 sectors could not be written. Page 3 of block 5 of unit 0 cannot be read. " +
                kZone0Of1M + "4 marked bad before, 1 could not be read, " + kForCis + kNoFreeBlock},
        RuleCase{"MediaInfoDisagrees", "16M",
                 "media-info 01 00 00 00 09 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                 "00 00 00 00 00 00\n",
                 0, "",
                 "The reader's media information describes a card of 16000 sectors, but the reader presents 32000: it "
                 "does not describe the card in its slot. The card cannot be formatted in this reader."},
        RuleCase{"MarkedThenTheCisFails", "1M no-cis", "erase-fails 0:100\nprogram-fails 0:0\n", 0, "0:100",
                 "Write low level header error\nWrite low level header error!\n" + Marked(1, "erased")},
        // The first command after each format end meets UNIT ATTENTION, on a
        // backend that does not send it again: the settling read takes it.
        RuleCase{"UnitAttentionAfterEachFormatEnd", "1M", "unit-attention\n", 1, "", ""},
        // Twice: the system was not shown the new medium.
        RuleCase{"SecondFormatEndFailsTwice", "1M", "fail-command E6/5 at 2\nfail-command E6/5 at 3\n", 0, "",
                 "Issue media change fail!"}),

    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
