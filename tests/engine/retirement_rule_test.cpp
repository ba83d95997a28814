// The rule's verdict on one failed block, against a reader whose page reads
// and erases answer from a script: every command the rule sends is counted.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "engine/page_layout.h"
#include "engine/retirement_rule.h"
#include "tests/support/null_reader.h"
#include "tests/support/recording_host.h"

namespace {

// Each page read or erase takes the next letter: S works, M works on a page
// that carries a bad-block mark, F fails, G fails with the card gone (and so
// does every command after it).
class ScriptedReader : public NullReader {
 public:
  ScriptedReader(FormatHost& host, std::string script) : NullReader(host), script(std::move(script)) {
    geometry.unitCount = 1;
    geometry.units[0] = MediaUnit{1, 256 * 8, 8};
  }
  int ReadPhySector(std::uint8_t, std::uint32_t, PageBuffer& page) override {
    page.fill(0xFF);
    if (sent < script.size() && script[sent] == 'M') page[page_layout::kRedundantStart + page_layout::kBlockStatus] = 0;
    return Next();
  }
  int ErasePhyBlk(std::uint8_t, std::uint16_t) override { return Next(); }
  std::size_t sent = 0;

 private:
  int Next() {
    const char answer = sent < script.size() && !CardGone() ? script[sent] : 'G';
    ++sent;
    NoteCommandFault(answer == 'G'   ? CommandFault::NoMedium
                     : answer == 'F' ? CommandFault::Failed
                                     : CommandFault::None);
    return answer == 'S' || answer == 'M';
  }
  std::string script;
};

struct RuleCase {
  const char* name;
  bool erase;
  std::string script;  // a leading S: a command of the kind worked before, the control
  Verdict verdict;
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class Judgment : public ::testing::TestWithParam<RuleCase> {};

TEST_P(Judgment, GivesTheVerdictAfterExactlyTheCommandsItNeeds) {
  const RuleCase& c = GetParam();
  RecordingHost host;
  ScriptedReader reader(host, c.script);
  RetirementRule rule(reader);
  PageBuffer page{};
  const auto judge = [&](std::uint32_t block) {
    return c.erase ? rule.Erase({0, block}) : rule.ReadFirstPage({0, block}, page);
  };
  if (c.script[0] == 'S') {
    ASSERT_EQ(judge(4), Verdict::Worked);
  }
  EXPECT_EQ(judge(5), c.verdict);
  EXPECT_EQ(reader.sent, c.script.size());
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, Judgment,
    ::testing::Values(
        // Reads: the block's first page, the control, the page again, then the second and the last page.
        RuleCase{"ReadGlitchPasses", false, "SFSS", Verdict::Worked},
        RuleCase{"FirstPageUnreadable", false, "SFSFS", Verdict::BlockFails},
        RuleCase{"LastPageTells", false, "SFSFFS", Verdict::BlockFails},
        RuleCase{"MarkedBefore", false, "SFSFM", Verdict::Marked},
        RuleCase{"NoPageReads", false, "SFSFFF", Verdict::BlockFails},
        RuleCase{"ReadGoneAtOnce", false, "SG", Verdict::CardGone},
        RuleCase{"ReadGoneOnTheRetry", false, "SFSG", Verdict::CardGone},
        RuleCase{"ReadGoneOnTheOtherPages", false, "SFSFG", Verdict::CardGone},
        // Erases: the block, the last block erased, the block again.
        RuleCase{"EraseFailsAgain", true, "SFSF", Verdict::BlockFails},
        RuleCase{"EraseGoneAtOnce", true, "SG", Verdict::CardGone},
        RuleCase{"EraseGoneWithTheControl", true, "SFG", Verdict::CardGone}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
