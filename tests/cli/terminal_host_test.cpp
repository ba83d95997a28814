#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/pass_meter.h"
#include "app/cli/real_readers.h"
#include "app/cli/terminal_host.h"

namespace {

struct Terminal {
  std::ostringstream err;
  std::istringstream in;
  std::vector<std::uint32_t> sleeps;
  TerminalHost Host(bool isTerminal, bool assumeYes, const std::string& input = "") {
    in.str(input);
    return TerminalHost(TerminalIo{err, in, isTerminal, [this](std::uint32_t ms) { sleeps.push_back(ms); }}, assumeYes);
  }
};

constexpr MessageStyle kYesNo{MessageButtons::YesNo, MessageIcon::Warning};
constexpr MessageStyle kOk{MessageButtons::Ok, MessageIcon::Error};

TEST(MessageLine, FoldsLineBreaksAndKeepsTheCaption) {
  EXPECT_EQ(MessageLine("Error", "The disk cannot be formatted!\nThe switched is in write protect mode.\n"),
            "Error: The disk cannot be formatted! The switched is in write protect mode.");
  EXPECT_EQ(MessageLine("Information", "Format Complete!"), "Information: Format Complete!");
}

struct AnswerCase {
  std::string input;
  bool assumeYes;
  MessageAnswer expected;
  std::string question = "Continue?";
};

class QuestionTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(QuestionTest, AnswersFromTheTerminal) {
  Terminal terminal;
  TerminalHost host = terminal.Host(false, GetParam().assumeYes, GetParam().input);
  EXPECT_EQ(host.ShowMessage(GetParam().question, "Warning", kYesNo, MessageOwner::Dialog), GetParam().expected);
  EXPECT_NE(terminal.err.str().find("Warning: " + GetParam().question + " [y/N]"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Answers, QuestionTest,
                         ::testing::Values(AnswerCase{"y\n", false, MessageAnswer::Yes},
                                           AnswerCase{" YES \n", false, MessageAnswer::Yes},
                                           AnswerCase{"n\n", false, MessageAnswer::No},
                                           AnswerCase{"\n", false, MessageAnswer::No},
                                           AnswerCase{"yep\n", false, MessageAnswer::No},
                                           AnswerCase{"", false, MessageAnswer::No},  // end of input
                                           AnswerCase{"", true, MessageAnswer::Yes, kConfirmText},
                                           // --yes answers only the confirmation
                                           AnswerCase{"y\n", true, MessageAnswer::No}));

TEST(TerminalHost, PlainLinesGiveEveryTenthAndTheMilestones) {
  Terminal terminal;
  {
    TerminalHost host = terminal.Host(false, true);
    host.ShowStatus(true);
    host.SetProgressRange(0, 100);
    for (int p : {0, 3, 9, 10, 11, 55, 79, 85, 90, 98, 100}) host.SetProgress(p);
    host.ShowStatus(false);
    host.SetProgress(0);  // the job's end steps: not shown once the status is hidden
  }
  EXPECT_EQ(terminal.err.str(), "0%\n10%\n55%\n79%\n85%\n90%\n100%\n");
}

TEST(TerminalHost, BarRedrawsOneLineAndEndsItBeforeAMessage) {
  Terminal terminal;
  TerminalHost host = terminal.Host(true, true);
  host.ShowStatus(true);
  host.SetProgressRange(0, 100);
  host.SetStatus("Formatting");
  host.SetProgress(50);
  host.ShowMessage("Write MBR error!", "Error", kOk, MessageOwner::Dialog);
  const std::string out = terminal.err.str();
  EXPECT_NE(out.find("\r[####################....................]  50%  Formatting"), std::string::npos) << out;
  EXPECT_NE(out.find("\nError: Write MBR error!\n"), std::string::npos) << out;
}

TEST(TerminalHost, SleepsThroughItsClock) {
  Terminal terminal;
  TerminalHost host = terminal.Host(false, true);
  host.Sleep(1000);
  host.Sleep(500);
  EXPECT_EQ(terminal.sleeps, (std::vector<std::uint32_t>{1000, 500}));
}

}  // namespace

// A pass from the start, and one that continues a dump stopped at half way:
// its rate and time left count from where it began.
TEST(PassMeter, PlainLinesTellTheRateAndTheTimeLeft) {
  struct Case {
    std::uint64_t already;
    const char* first;
    const char* last;
    int lines;
  };
  for (const Case& c : {Case{0, "Checking the card: 10% (26624 of 262144 pages, 26256 pages a second, 8 s left)",
                             "Checking the card: 100% (262144 of 262144 pages, 26256 pages a second)\n"
                             "Read 262144 pages in 9 s (26256 pages a second).\n",
                             11},
                        Case{131072, "Checking the card: 50% (133120 of 262144 pages, 26256 pages a second, 4 s left)",
                             "Read 131072 pages in 4 s (26256 pages a second).\n", 7}}) {
    std::ostringstream err;
    std::uint64_t now = 5000;
    {
      PassMeter meter(err, false, "Checking the card", "pages", [&now] { return now; });
      meter.StartFrom(c.already);
      for (std::uint64_t done = c.already + 2048; done <= 262144; done += 2048) {
        now += 78;  // 2048 pages in 78 ms: about 26000 pages a second
        meter.Update(done, 262144);
      }
      meter.Finish();
    }
    const std::string text = err.str();
    EXPECT_EQ(text.substr(0, text.find('\n')), c.first);
    EXPECT_NE(text.find(c.last), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.lines) << text;
  }
}
