#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/smcard_cli.h"
#include "app/cli/smformat_cli.h"
#include "tests/support/temp_dir.h"

namespace {

// One run of a tool, in process, with string streams and a virtual clock.
struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  std::uint64_t slept = 0;
};

using Main = int (*)(const std::vector<std::string>&, CliContext&);

ToolRun Invoke(Main main, const std::vector<std::string>& args, const std::string& input = "",
               std::function<void(std::atomic<int>&)> onSleep = {}) {
  std::ostringstream out, err;
  std::istringstream in(input);
  std::atomic<int> stopFlag{1};
  ToolRun run;
  CliContext context{out,
                     err,
                     in,
                     false,
                     [&](std::uint32_t ms) {
                       run.slept += ms;
                       if (onSleep) onSleep(stopFlag);
                     },
                     stopFlag};
  run.status = main(args, context);
  run.out = out.str();
  run.err = err.str();
  return run;
}

ToolRun Smcard(const std::vector<std::string>& args) { return Invoke(SmcardMain, args); }
ToolRun Smformat(const std::vector<std::string>& args, const std::string& input = "",
                 std::function<void(std::atomic<int>&)> onSleep = {}) {
  return Invoke(SmformatMain, args, input, std::move(onSleep));
}

std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct UsageCase {
  const char* name;
  bool smcard;
  std::vector<std::string> args;
  const char* complaint;
};

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, IsRefusedWithStatusTwo) {
  const UsageCase& c = GetParam();
  const ToolRun run = c.smcard ? Smcard(c.args) : Smformat(c.args);
  EXPECT_EQ(run.status, kExitUsage);
  EXPECT_TRUE(Contains(run.err, c.complaint)) << run.err;
  EXPECT_TRUE(Contains(run.err, "Usage:")) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, UsageTest,
    ::testing::Values(
        UsageCase{"FormatNothing", false, {}, "no card given"},
        UsageCase{"FormatUnknownOption", false, {"--simulate", "a.img", "--force"}, "unknown option --force"},
        UsageCase{"FormatMissingValue", false, {"--simulate"}, "--simulate needs a value"},
        UsageCase{"FormatStrayWord", false, {"--simulate", "a.img", "now"}, "unexpected argument 'now'"},
        UsageCase{"FormatBadGeometry", false, {"--simulate", "a.img", "--geometry", "1024x33"}, "geometry"},
        UsageCase{"CardNoCommand", true, {}, "no command given"},
        UsageCase{"CardUnknownCommand", true, {"erase", "a.img"}, "unknown command 'erase'"},
        UsageCase{"CardUnknownSize", true, {"create", "a.img", "--size", "48M"}, "unknown size '48M'"},
        UsageCase{"CardNoSize", true, {"create", "a.img"}, "exactly one of --size and --geometry"},
        UsageCase{"CardBothSizes", true, {"create", "a.img", "--size", "16M", "--geometry", "1024x32"}, "exactly one"},
        UsageCase{"CardBadBlockOffCard",
                  true,
                  {"create", "a.img", "--size", "1M", "--bad-blocks", "256"},
                  "is not on the card"},
        UsageCase{"CardBadBlockSyntax",
                  true,
                  {"create", "a.img", "--size", "1M", "--bad-blocks", "4,x"},
                  "'x' is not a block number"},
        UsageCase{"CardBadFill", true, {"create", "a.img", "--size", "1M", "--fill", "zeros"}, "--fill"},
        UsageCase{"CardOptionForOtherCommand", true, {"info", "a.img", "--size", "1M"}, "does not apply to info"},
        UsageCase{"CardExportWithoutOut", true, {"export", "a.img"}, "export takes IMAGE and OUT"},
        // A repeated option would silently take one of the two values.
        UsageCase{"FormatTwoImages", false, {"--simulate", "a.img", "--simulate=b.img"}, "--simulate given twice"},
        UsageCase{"FormatYesTwice", false, {"--simulate", "a.img", "--yes", "--yes"}, "--yes given twice"},
        UsageCase{"CardTwoSizes", true, {"create", "a.img", "--size", "1M", "--size", "2M"}, "--size given twice"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Help, EachToolExplainsItself) {
  const ToolRun format = Smformat({"--help"});
  EXPECT_EQ(format.status, kExitSuccess);
  EXPECT_TRUE(Contains(format.out, "--simulate IMAGE"));
  const ToolRun card = Smcard({"export", "--help"});
  EXPECT_EQ(card.status, kExitSuccess);
  EXPECT_TRUE(Contains(card.out, "smcard create IMAGE"));
}

class CardFiles : public ::testing::Test {
 protected:
  std::string Create(const std::vector<std::string>& extra, const std::string& name = "card.img") {
    const std::string image = dir.File(name);
    std::vector<std::string> args{"create", image};
    args.insert(args.end(), extra.begin(), extra.end());
    const ToolRun run = Smcard(args);
    EXPECT_EQ(run.status, kExitSuccess) << run.err;
    return image;
  }
  TempDir dir;
};

TEST_F(CardFiles, BadImagesAreRefusedWithTheReason) {
  const std::string full = Create({"--size", "1M"});
  const std::string truncated = dir.File("truncated.img");
  WriteFile(truncated, Slurp(full).substr(0, 1000));
  for (const std::string& image : {dir.File("missing.img"), truncated}) {
    const ToolRun format = Smformat({"--simulate", image, "--yes"});
    EXPECT_EQ(format.status, kExitFailure);
    EXPECT_TRUE(Contains(format.err, "smformat: ")) << format.err;
    const ToolRun info = Smcard({"info", image});
    EXPECT_EQ(info.status, kExitFailure);
    EXPECT_FALSE(info.err.empty());
  }
  EXPECT_EQ(Slurp(truncated).size(), 1000u);  // nothing written to a file that is not a card
}

TEST_F(CardFiles, CreateDoesNotReplaceAnImageUnlessForced) {
  const std::string image = Create({"--size", "1M", "--fill", "random"});
  const std::string before = Slurp(image);
  const ToolRun again = Smcard({"create", image, "--size", "2M"});
  EXPECT_EQ(again.status, kExitFailure);
  EXPECT_TRUE(Contains(again.err, "--force"));
  EXPECT_EQ(Slurp(image), before);
  EXPECT_EQ(Smcard({"create", image, "--size", "2M", "--force"}).status, kExitSuccess);
  EXPECT_EQ(Slurp(image).size(), 512u * 8 * 528);
}

TEST_F(CardFiles, InfoReportsGeometryBadBlocksCisAndFaults) {
  const std::string image = Create({"--size", "4M", "--bad-blocks", "0,3", "--write-protect"});
  const ToolRun info = Smcard({"info", image});
  ASSERT_EQ(info.status, kExitSuccess) << info.err;
  EXPECT_TRUE(Contains(info.out, "4M, 1 unit(s): 512 blocks x 16 pages")) << info.out;
  EXPECT_TRUE(Contains(info.out, "Bad blocks:     0:0, 0:3")) << info.out;
  EXPECT_TRUE(Contains(info.out, "CIS block:      1")) << info.out;
  EXPECT_TRUE(Contains(info.out, "500 (8000 sectors), 0 holding data")) << info.out;
  EXPECT_TRUE(Contains(info.out, "write-protect")) << info.out;
}

TEST_F(CardFiles, ImportAndExportRoundTripTheLogicalImage) {
  const std::string image = Create({"--size", "1M"});
  std::string logical(2000 * 512, '\0');
  for (std::size_t i = 0; i < logical.size(); ++i) logical[i] = static_cast<char>((i * 7 + i / 512) & 0xFF);
  WriteFile(dir.File("in.bin"), logical);
  ASSERT_EQ(Smcard({"import", image, dir.File("in.bin")}).status, kExitSuccess);
  ASSERT_EQ(Smcard({"export", image, dir.File("out.bin")}).status, kExitSuccess);
  EXPECT_TRUE(Slurp(dir.File("out.bin")) == logical);
  const ToolRun refused = Smcard({"export", image, dir.File("out.bin")});
  EXPECT_EQ(refused.status, kExitFailure);
  EXPECT_TRUE(Contains(refused.err, "--force"));
  WriteFile(dir.File("big.bin"), std::string(2001 * 512, 'x'));
  EXPECT_EQ(Smcard({"import", image, dir.File("big.bin")}).status, kExitFailure);
}

TEST_F(CardFiles, FormatCompletesAndSaysSo) {
  const std::string image = Create({"--size", "2M", "--fill", "random", "--bad-blocks", "9"});
  const ToolRun run = Smformat({"--simulate", image}, "y\n");
  EXPECT_EQ(run.status, kExitSuccess) << run.err;
  EXPECT_TRUE(Contains(run.err, "Warning: Format disk will erase all data on the device. Continue? [y/N]"));
  EXPECT_TRUE(Contains(run.err, "Formatting............\n"));
  EXPECT_TRUE(Contains(run.err, "Building file system.....\n"));
  EXPECT_TRUE(Contains(run.err, "100%\nInformation: Format Complete!\n")) << run.err;
  EXPECT_EQ(run.slept, 2000u);  // the two pauses after the format-end commands
  const ToolRun info = Smcard({"info", image});
  EXPECT_TRUE(Contains(info.out, "CIS block:      0")) << info.out;
  EXPECT_TRUE(Contains(info.out, "Bad blocks:     0:9")) << info.out;
}

// Answers and card states that leave the card exactly as it was.
struct UntouchedCase {
  const char* name;
  std::vector<std::string> create;
  std::vector<std::string> format;
  std::string input;
  const char* message;
};

class UntouchedTest : public CardFiles, public ::testing::WithParamInterface<UntouchedCase> {};

TEST_P(UntouchedTest, LeavesTheCardAlone) {
  const UntouchedCase& c = GetParam();
  const std::string image = Create(c.create);
  const std::string before = Slurp(image);
  std::vector<std::string> args{"--simulate", image};
  args.insert(args.end(), c.format.begin(), c.format.end());
  const ToolRun run = Smformat(args, c.input);
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
  EXPECT_TRUE(Slurp(image) == before);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, UntouchedTest,
    ::testing::Values(UntouchedCase{"WriteProtected",
                                    {"--size", "1M", "--fill", "random", "--write-protect"},
                                    {"--yes"},
                                    "",
                                    "Error: The disk cannot be formatted! The switched is in write protect mode."},
                      UntouchedCase{"AnsweredNo", {"--size", "1M", "--fill", "random"}, {}, "n\n", "Continue? [y/N]"},
                      UntouchedCase{"NoAnswer", {"--size", "1M", "--fill", "random"}, {}, "", "Continue? [y/N]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardFiles, ReaderThatIsNotSupportedIsNotFound) {
  const std::string image = Create({"--size", "1M"});
  WriteFile(image + ".faults", "inquiry-id Other   STORAGE DEVICE\n");
  const ToolRun run = Smformat({"--simulate", image, "--yes"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(Contains(run.err, "Information: Device not found")) << run.err;
}

TEST_F(CardFiles, CardPulledMidFormatFails) {
  const std::string image = Create({"--size", "1M"});
  WriteFile(image + ".faults", "remove-after 100\n");
  const ToolRun run = Smformat({"--simulate", image, "--yes"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(Contains(run.err, "Error: The card does not answer any more")) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
}

TEST_F(CardFiles, StopEndsTheJobWithoutCompletion) {
  const std::string image = Create({"--size", "1M"});
  // The operator's Ctrl-C arrives during the pause after the first format end.
  const ToolRun run = Smformat({"--simulate", image, "--yes"}, "", [](std::atomic<int>& stop) { stop.store(1); });
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(Contains(run.err, "smformat: stopped")) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
  EXPECT_EQ(run.slept, 1000u);
}

TEST_F(CardFiles, CheckTellsAFormattedCardFromAFreshOne) {
  const std::string image = Create({"--size", "1M", "--bad-blocks", "3"});
  const ToolRun fresh = Smcard({"check", image});
  EXPECT_EQ(fresh.status, kExitFailure);
  EXPECT_TRUE(Contains(fresh.out, "File system:     not the layout of capacity 2000")) << fresh.out;
  ASSERT_EQ(Smformat({"--simulate", image, "--yes"}).status, kExitSuccess);
  const ToolRun formatted = Smcard({"check", image});
  EXPECT_EQ(formatted.status, kExitSuccess) << formatted.out;
  EXPECT_TRUE(Contains(formatted.out, "CIS:             block 0")) << formatted.out;
  EXPECT_TRUE(Contains(formatted.out, "Result:          no fault found")) << formatted.out;
}

TEST_F(CardFiles, TwoUnitCardNeedsItsGeometry) {
  const std::string image = Create({"--geometry", "256x8+256x8"});
  const ToolRun withGeometry = Smformat({"--simulate", image, "--geometry", "256x8+256x8", "--yes"});
  EXPECT_EQ(withGeometry.status, kExitSuccess) << withGeometry.err;
  EXPECT_TRUE(Contains(withGeometry.err, "Format Complete!"));
}

}  // namespace
