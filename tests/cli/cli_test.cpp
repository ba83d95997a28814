#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/format_forecast.h"
#include "app/cli/smcard_cli.h"
#include "app/cli/smformat_cli.h"
#include "card/card.h"
#include "card/card_files.h"
#include "card/card_storage.h"
#include "tests/cli/planted_card.h"
#include "tests/sim/sim_bench.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#endif

namespace {

// One run of a tool, in process, with string streams and a virtual clock.
struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  std::uint64_t slept = 0;   // on the real clock
  std::uint64_t paused = 0;  // on a simulated card's virtual clock
};

using Main = int (*)(const std::vector<std::string>&, CliContext&);

ToolRun Invoke(Main main, const std::vector<std::string>& args, const std::string& input = "",
               std::function<void(std::atomic<int>&)> onSleep = {}, card::StorageOpener openImage = {}) {
  std::ostringstream out, err;
  std::istringstream in(input);
  std::atomic<int> stopFlag{1};
  ToolRun run;
  CliContext context{out,
                     err,
                     in,
                     false,
                     [&](std::uint32_t ms) { run.slept += ms; },
                     stopFlag,
                     [&](std::uint32_t ms) {
                       run.paused += ms;
                       if (onSleep) onSleep(stopFlag);
                     }};
  if (openImage) context.openImage = std::move(openImage);
  run.status = main(args, context);
  run.out = out.str();
  run.err = err.str();
  return run;
}

ToolRun Smcard(const std::vector<std::string>& args, card::StorageOpener openImage = {}) {
  return Invoke(SmcardMain, args, "", {}, std::move(openImage));
}
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
        UsageCase{"FormatYesWithoutDevice", false, {"--yes"}, "--yes needs an explicit DEVICE"},
        UsageCase{"FormatUnknownOption", false, {"--simulate", "a.img", "--quick"}, "unknown option --quick"},
        UsageCase{"CheckAndDump", false, {"--check", "--dump", "o.img", "--simulate", "a.img"}, "one of --check and"},
        UsageCase{"CheckWithoutDevice", false, {"--check"}, "--check and --dump need a DEVICE"},
        UsageCase{"CheckOfTheList", false, {"--check", "--list"}, "not --list or --logical"},
        UsageCase{"CheckAsksNothing", false, {"--check", "--yes", "--simulate", "a.img"}, "they ask nothing"},
        UsageCase{
            "JsonWithoutCheck", false, {"--json", "--simulate", "a.img"}, "--json applies to --check and --list only"},
        UsageCase{
            "ForceWithoutDump", false, {"--check", "--force", "--simulate", "a.img"}, "--force applies to --dump"},
        UsageCase{"FullWithoutCheck", false, {"--full", "--simulate", "a.img"}, "--full applies to --check only"},
        UsageCase{"DryRunOfACheck", false, {"--check", "--dry-run", "--simulate", "a.img"}, "go with a format"},
        UsageCase{"RestoreIntoADump", false, {"--dump", "o.img", "--restore", "d.img", "/dev/sdb"}, "go with a format"},
        UsageCase{"DryRunAsksNothing", false, {"--dry-run", "--yes", "--simulate", "a.img"}, "it asks nothing"},
        UsageCase{"DryRunOfNoCard", false, {"--dry-run"}, "--dry-run needs a DEVICE"},
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
  // The two pauses after the format-end commands, spent on the virtual clock.
  EXPECT_EQ(run.paused, 2000u);
  EXPECT_EQ(run.slept, 0u);
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
  int status = kExitDeclined;
  const char* end = "] Nothing was done.\n";
};

class UntouchedTest : public CardFiles, public ::testing::WithParamInterface<UntouchedCase> {};

TEST_P(UntouchedTest, LeavesTheCardAlone) {
  const UntouchedCase& c = GetParam();
  const std::string image = Create(c.create);
  const std::string before = Slurp(image);
  std::vector<std::string> args{"--simulate", image};
  args.insert(args.end(), c.format.begin(), c.format.end());
  const ToolRun run = Smformat(args, c.input);
  EXPECT_EQ(run.status, c.status);
  EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
  EXPECT_TRUE(Contains(run.err, c.end)) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
  EXPECT_TRUE(Slurp(image) == before);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, UntouchedTest,
    ::testing::Values(UntouchedCase{"WriteProtected",
                                    {"--size", "1M", "--fill", "random", "--write-protect"},
                                    {"--yes"},
                                    "",
                                    "Error: The disk cannot be formatted! The switched is in write protect mode.",
                                    kExitFailure,
                                    "mode.\n"},
                      UntouchedCase{"AnsweredNo", {"--size", "1M", "--fill", "random"}, {}, "n\n", "Continue? [y/N]"},
                      // Standard input that is no terminal and gives no answer.
                      UntouchedCase{"NoAnswer",
                                    {"--size", "1M", "--fill", "random"},
                                    {"-q"},
                                    "",
                                    "Continue? [y/N] \n",
                                    kExitDeclined,
                                    "\nNo answer: standard input ended before one came (it is not a terminal?). To "
                                    "answer Yes without a terminal, give --yes.\nNothing was done.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The near misses and the short options: each says what is wrong, or what
// it did, in one line; IMAGE stands for the file the row makes.
struct MannersCase {
  const char* name;
  std::vector<std::string> create;  // smcard create; empty: a logical image of 2000 sectors
  const char* faults;               // the card's sidecar
  std::vector<std::string> args;
  int status;
  const char* says;
  const char* never;
};

class MannersTest : public CardFiles, public ::testing::WithParamInterface<MannersCase> {};

TEST_P(MannersTest, SaysWhatHappened) {
  const MannersCase& c = GetParam();
  std::string image = dir.File("logical.img");
  if (c.create.empty()) {
    WriteFile(image, std::string(2000 * 512, '\0'));
  } else {
    image = Create(c.create);
    WriteFile(image + ".faults", c.faults);
  }
  std::vector<std::string> args = c.args;
  std::replace(args.begin(), args.end(), std::string("IMAGE"), image);
  const ToolRun run = Smformat(args);
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
  EXPECT_FALSE(Contains(run.err, c.never)) << run.err;
}

const std::vector<std::string> kCard1M = {"--size", "1M"};

INSTANTIATE_TEST_SUITE_P(
    CommandLines, MannersTest,
    ::testing::Values(
        MannersCase{"OptionTakenForAValue",
                    kCard1M,
                    "",
                    {"--simulate", "--yes", "IMAGE"},
                    kExitUsage,
                    "smformat: option --simulate needs a value before --yes (a value that begins with '-': "
                    "--simulate=VALUE)",
                    "unexpected argument"},
        MannersCase{"CardImageAsDevice",
                    kCard1M,
                    "",
                    {"--check", "IMAGE"},
                    kExitUsage,
                    "is a file, not a card reader: to format the card image it holds, give --simulate ",
                    "block"},
        MannersCase{"LogicalImageAsDevice",
                    {},
                    "",
                    {"-y", "IMAGE"},
                    kExitUsage,
                    "a logical image takes the SmartMedia file system with --logical ",
                    "block"},
        MannersCase{"LogicalImageSimulated",
                    {},
                    "",
                    {"--simulate", "IMAGE", "-y"},
                    kExitFailure,
                    "has the size of a logical image (2000 sectors of 512 bytes, no redundant areas): format it with "
                    "--logical ",
                    "Format Complete!"},
        MannersCase{"UnknownLetter", kCard1M, "", {"--simulate", "IMAGE", "-x"}, kExitUsage, "unknown option -x", "%"},
        MannersCase{"LetterAndItsWord",
                    kCard1M,
                    "",
                    {"--simulate", "IMAGE", "--yes", "-y"},
                    kExitUsage,
                    "option --yes given twice",
                    "%"},
        MannersCase{"Summary",
                    kCard1M,
                    "erase-fails 0:9\n",
                    {"--simulate", "IMAGE", "-y"},
                    kExitSuccess,
                    "Information: Format Complete!\nFormatted a 1 MB card in 0 s; 1 block retired.\n",
                    "\n0 s"},
        MannersCase{"QuietKeepsTheMessages",
                    kCard1M,
                    "",
                    {"--simulate", "IMAGE", "-yq"},
                    kExitSuccess,
                    "Warning: Format disk will erase all data on the device. Continue? [y/N] yes (--yes)\n"
                    "Information: Format Complete!\n",
                    "%"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardFiles, ReaderThatIsNotSupportedIsNotFound) {
  const std::string image = Create({"--size", "1M"});
  WriteFile(image + ".faults", "inquiry-id Other   STORAGE DEVICE\n");
  const ToolRun run = Smformat({"--simulate", image, "--yes"});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(Contains(run.err, "Information: Device not found")) << run.err;
}

// Faults of the reader and the card, from the image's sidecar: the format
// says what happened, retires no block for failures that are not the
// blocks' own, and a second format without the faults gives a sound card.
struct FaultCase {
  const char* name;
  std::vector<std::string> create;
  const char* sidecar;
  int status;
  const char* says;
  const char* never;  // a line that must not appear
};

class FaultTest : public CardFiles, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, EndsAsTheOperatorExpectsAndTheNextFormatMendsTheCard) {
  const FaultCase& c = GetParam();
  const std::string image = Create(c.create);
  WriteFile(image + ".faults", c.sidecar);
  const ToolRun run = Smformat({"--simulate", image, "--yes"});
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
  EXPECT_FALSE(Contains(run.err, c.never)) << run.err;
  EXPECT_TRUE(Contains(Smcard({"info", image}).out, "Bad blocks:     none\n")) << "blocks were marked bad";
  std::filesystem::remove(image + ".faults");
  EXPECT_EQ(Smformat({"--simulate", image, "--yes"}).status, kExitSuccess);
  EXPECT_EQ(Smcard({"check", image}).status, kExitSuccess);
}

const std::vector<std::string> kUsedSeed1 = {"--size", "1M", "--fill", "random", "--seed", "1"};

INSTANTIATE_TEST_SUITE_P(
    Sidecars, FaultTest,
    ::testing::Values(
        FaultCase{"EveryPageReadFails", kUsedSeed1, "fail-command EA at 1 and-later\n", kExitFailure,
                  "Error: The card cannot be used: none of its first 6 blocks", "marked bad."},
        FaultCase{"EveryEraseFails", kUsedSeed1, "fail-command E8 at 1 and-later\n", kExitFailure,
                  "so there was no block to compare with", "were marked bad"},
        FaultCase{"FirstBlockNeitherReadableNorProgrammable",
                  {"--size", "1M", "--fill", "random", "--seed", "150528426", "--no-cis"},
                  "program-fails 0:0\nunreadable-page 0:0\n",
                  kExitFailure,
                  "Error: Block 0 of unit 0 could not be read, nor marked bad, and it lies before the card "
                  "information structure",
                  "Format Complete!"},
        FaultCase{"FormatEndFailsOnce", kUsedSeed1, "fail-command E6/5 at 1\n", kExitSuccess,
                  "Information: Format Complete!", "Issue media change fail!"},
        FaultCase{"CisWriteFails",
                  {"--size", "1M", "--no-cis"},
                  "program-fails 0:0\n",
                  kExitFailure,
                  "Error: Write low level header error\nError: Write low level header error!\n",
                  "Format Complete!"},
        FaultCase{"CardPulledDuringTheErasePass", kUsedSeed1, "remove-after 100\n", kExitFailure,
                  "Error: The card was taken out of the reader during the format. Put it back and format it again.",
                  "marked bad"},
        FaultCase{"CardPulledDuringTheFileSystem", kUsedSeed1, "remove-after 520\n", kExitFailure,
                  "Error: The card was taken out of the reader during the format.", "Write boot sector error!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CardFiles, StopEndsTheJobWithoutCompletion) {
  const std::string image = Create({"--size", "1M"});
  // The operator's Ctrl-C arrives during the pause after the first format end.
  const ToolRun run = Smformat({"--simulate", image, "--yes"}, "", [](std::atomic<int>& stop) { stop.store(1); });
  EXPECT_EQ(run.status, kExitDeclined);
  EXPECT_TRUE(Contains(run.err, "\nStopped. The card is partly erased: format it again.\n")) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
  EXPECT_FALSE(Contains(run.err, "100%")) << run.err;
  EXPECT_EQ(run.paused, 1000u);
}

TEST_F(CardFiles, CheckTellsAFormattedCardFromAFreshOne) {
  const std::string image = Create({"--size", "1M", "--bad-blocks", "3"});
  const ToolRun fresh = Smcard({"check", image});
  EXPECT_EQ(fresh.status, kExitLayoutDiffers);
  EXPECT_TRUE(
      Contains(fresh.out,
               "File system:     not the SmartMedia layout of capacity 2000 (cameras may reject the card); it holds "
               "no partition table and no file system: the card is blank"))
      << fresh.out;
  ASSERT_EQ(Smformat({"--simulate", image, "--yes"}).status, kExitSuccess);
  const ToolRun formatted = Smcard({"check", image});
  EXPECT_EQ(formatted.status, kExitSuccess) << formatted.out;
  EXPECT_TRUE(Contains(formatted.out, "CIS:             block 0")) << formatted.out;
  EXPECT_TRUE(Contains(formatted.out, "Result:          no fault found")) << formatted.out;
}

std::string AfterFirstLine(const std::string& text) { return text.substr(text.find('\n') + 1); }

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// --check and --dump of a simulated card, through the simulated reader: the
// check says what smcard check says of the image, the dump is the image with
// its unreadable pages listed, and the image stays as it was.
class PlantedImage : public CardFiles, public ::testing::WithParamInterface<planted::PlantedCard (*)()> {};

TEST_P(PlantedImage, IsCheckedAndDumpedAsSmcardSeesIt) {
  planted::PlantedCard card = GetParam()();
  const std::string image = dir.File("card.img"), copy = dir.File("copy.img");
  const std::vector<std::uint8_t> bytes = card.card->Media().Bytes();
  WriteFile(image, std::string(bytes.begin(), bytes.end()));
  ASSERT_EQ(card::SaveFaultPlan(image, card.plan), "");
  const ToolRun check = Smformat(With({"--check", "--full", "--simulate", image}, card.geometry));
  const ToolRun reference = Smcard(With({"check", image}, card.geometry));
  EXPECT_EQ(check.status, kExitFailure);
  EXPECT_EQ(AfterFirstLine(check.out), AfterFirstLine(reference.out)) << check.err;
  EXPECT_EQ(AfterFirstLine(reference.out), planted::CheckReport(card));
  for (const char* part : card.says) EXPECT_TRUE(Contains(reference.out, part)) << reference.out;
  const ToolRun dump = Smformat(With({"--dump", copy, "--simulate", image}, card.geometry));
  EXPECT_EQ(dump.status,
            planted::DumpSidecarOf(card).find("unreadable") == std::string::npos ? kExitSuccess : kExitIncomplete)
      << dump.err;
  const std::vector<std::uint8_t> expected = planted::DumpOf(card);
  EXPECT_TRUE(Slurp(copy) == std::string(expected.begin(), expected.end()));
  EXPECT_EQ(Slurp(copy + ".faults"), planted::DumpSidecarOf(card));
  EXPECT_EQ(Contains(dump.out, "give --geometry 128x8 to smcard"), !card.geometry.empty()) << dump.out;
  EXPECT_TRUE(Slurp(image) == std::string(bytes.begin(), bytes.end()));
}

INSTANTIATE_TEST_SUITE_P(Cards, PlantedImage, ::testing::Values(&planted::EveryFault, &planted::NoCisNoLayout));

// A dump never replaces a file without --force, never goes over the card's
// own files, and leaves nothing under OUT when it does not end: what it read
// waits under OUT.part, with its map, for the next dump of the same card.
struct DumpCase {
  const char* name;
  const char* out;       // in the test's folder
  const char* existing;  // a file there beforehand
  std::vector<std::string> extra;
  int status;
  const char* says;
  std::vector<std::string> leaves;  // beside card.img and card.img.faults
  bool ctrlC = false;               // at the pause after the unreadable page
};

void PrintTo(const DumpCase& c, std::ostream* os) { *os << c.name; }

class DumpTo : public CardFiles, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(DumpTo, ReplacesOnlyWhatItMay) {
  const DumpCase& c = GetParam();
  const std::string image = Create({"--size", "1M", "--fill", "random"});
  WriteFile(image + ".faults", "unreadable-page 0:100\n");
  if (*c.existing) WriteFile(dir.File(c.existing), "old");
  const std::string before = Slurp(image);
  const ToolRun run = Invoke(SmformatMain, With({"--dump", dir.File(c.out), "--simulate", image}, c.extra), "",
                             [&c](std::atomic<int>& stop) { stop.store(c.ctrlC ? 1 : 0); });
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
  EXPECT_EQ(Slurp(image), before);
  if (*c.existing && c.status != kExitIncomplete) {
    EXPECT_EQ(Slurp(dir.File(c.existing)), "old");
  }
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    left.push_back(entry.path().filename().string());
  std::vector<std::string> expected = With({"card.img", "card.img.faults"}, c.leaves);
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DumpTo,
    ::testing::Values(
        DumpCase{"Stopped",
                 "copy.img",
                 "",
                 {},
                 kExitDeclined,
                 "stopped before the dump was complete; nothing was written to",
                 {"copy.img.part", "copy.img.part.map"},
                 true},
        DumpCase{"OutExists", "copy.img", "copy.img", {}, kExitFailure, "copy.img exists; give --force", {"copy.img"}},
        DumpCase{"SidecarExists",
                 "copy.img",
                 "copy.img.faults",
                 {},
                 kExitFailure,
                 "copy.img.faults exists; give --force",
                 {"copy.img.faults"}},
        DumpCase{"PartialWithoutItsMap",
                 "copy.img",
                 "copy.img.part",
                 {},
                 kExitFailure,
                 "copy.img.part exists, but is no partial dump",
                 {"copy.img.part"}},
        DumpCase{"OntoTheImage", "card.img", "", {"--force"}, kExitFailure, "the card's own image", {}},
        DumpCase{"OntoTheSidecar",
                 "card.img.faults",
                 "",
                 {"--force"},
                 kExitFailure,
                 "the card's own image or its sidecar",
                 {}},
        DumpCase{"Forced",
                 "copy.img",
                 "copy.img",
                 {"--force"},
                 kExitIncomplete,
                 "1 page could not be read",
                 {"copy.img", "copy.img.faults"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A partial dump is continued only with the card it was read from: another
// card's (of the same size, or of another) is kept, and replaced only with --force.
TEST_F(CardFiles, APartialDumpOfAnotherCardIsKeptUnlessForced) {
  const std::string first = Create({"--size", "1M", "--fill", "random", "--seed", "1"}, "first.img");
  WriteFile(first + ".faults", "remove-after 1000\n");
  for (const auto& [size, says] : {std::pair<const char*, const char*>{"1M", "(page 0:"}, {"2M", "of 256x8"}}) {
    const std::string copy = dir.File(std::string("copy") + size + ".img");
    const std::string second = Create({"--size", size, "--fill", "random", "--seed", "2"}, "second.img");
    ASSERT_EQ(Smformat({"--dump", copy, "--simulate", first}).status, kExitFailure);
    const std::string partial = Slurp(copy + ".part");
    const ToolRun refused = Smformat({"--dump", copy, "--simulate", second});
    EXPECT_EQ(refused.status, kExitFailure);
    EXPECT_TRUE(Contains(refused.err, ".img.part holds part of a dump of another card")) << refused.err;
    EXPECT_TRUE(Contains(refused.err, says)) << refused.err;
    EXPECT_TRUE(Slurp(copy + ".part") == partial);
    EXPECT_FALSE(std::filesystem::exists(copy));
    const ToolRun forced = Smformat({"--dump", copy, "--simulate", second, "--force"});
    EXPECT_EQ(forced.status, kExitSuccess) << forced.err;
    EXPECT_FALSE(Contains(forced.err, "going on with the dump")) << forced.err;
    EXPECT_TRUE(Slurp(copy) == Slurp(second));
    EXPECT_FALSE(std::filesystem::exists(copy + ".part.map"));
    std::filesystem::remove(second);
  }
}

// What --dry-run on a reader tells of a card, from the quick check's reads.
struct ForecastCase {
  const char* name;
  std::function<void(card::Card&, card::FaultPlan&)> make;  // from an erased 1 MB card with its CIS
  bool refused;
  const char* says;
};

void PrintTo(const ForecastCase& c, std::ostream* os) { *os << c.name; }

class Forecast : public ::testing::TestWithParam<ForecastCase> {};

TEST_P(Forecast, TellsWhatTheFormatWouldDo) {
  std::unique_ptr<card::Card> card = simtest::MakeCard(simtest::Standard("1M"));
  card::FaultPlan plan;
  GetParam().make(*card, plan);
  card::ImagePages pages(card->Media(), &plan);
  card::CardCheckOptions quick;
  quick.everyPage = false;
  const FormatForecast forecast = ForecastFormat(card::CheckCard(pages, quick), card->Geometry());
  std::string text;
  for (const std::string& line : forecast.lines) text += line + "\n";
  EXPECT_EQ(forecast.refused, GetParam().refused) << text;
  EXPECT_TRUE(Contains(text, GetParam().says)) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Forecast,
    ::testing::Values(
        ForecastCase{"Erased", [](card::Card&, card::FaultPlan&) {}, false,
                     "keep the CIS in block 0 as it is\nerase 255 blocks, 0 of which hold data now"},
        ForecastCase{"WriteProtected", [](card::Card&, card::FaultPlan& p) { p.writeProtected = true; }, true,
                     "refuse the card: it is write-protected"},
        ForecastCase{"CisWithZeroEcc",
                     [](card::Card& c, card::FaultPlan&) {
                       const PageBuffer old = card::ZeroEccCisPage();
                       c.Media().Program(0, 0, 0, old.data(), old.size());
                     },
                     false, "erase the CIS in block 0 and write it anew: the ECC of its page does not match"},
        ForecastCase{"NoCis", [](card::Card& c, card::FaultPlan&) { c.Media().Erase(0, 0); }, false,
                     "write a new CIS into the first good block (unit 0 block 0, which holds no CIS now)\n"
                     "erase 256 blocks"},
        ForecastCase{"FactoryBadBlock", [](card::Card& c, card::FaultPlan&) { c.Media().MarkBad(0, 9); }, false,
                     "erase 254 blocks, 0 of which hold data now (a block that fails to erase shows only in the "
                     "format itself)\nleave the 1 block marked bad as they are (0:9)"},
        ForecastCase{"NoGoodBlockForTheCis",
                     [](card::Card& c, card::FaultPlan&) {
                       for (std::uint32_t b = 0; b < 6; ++b) c.Media().MarkBad(0, b);
                     },
                     true, "refuse the card: no CIS: no good block among the first 6 blocks of unit 0"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every read of four blocks in a row fails: the card no longer answers,
// and the check ends there, after 32 of the reader's pauses.
TEST_F(CardFiles, ACardThatStopsAnsweringEndsTheCheck) {
  const std::string image = Create({"--size", "1M", "--fill", "random"});
  std::string faults;
  for (int page = 800; page < 840; ++page) faults += "unreadable-page 0:" + std::to_string(page) + "\n";
  WriteFile(image + ".faults", faults);
  const ToolRun run = Smformat({"--check", "--full", "--simulate", image});
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(Contains(run.out, "Result:          incomplete: the card does not answer any more")) << run.out;
  EXPECT_TRUE(Contains(run.err, "smformat: the card does not answer any more")) << run.err;
  EXPECT_EQ(run.paused, 32000u);
}

TEST_F(CardFiles, FormatSaysFirstWhenTheCardHoldsFiles) {
  const std::string image = Create({"--size", "1M"});
  ASSERT_EQ(Smformat({"--simulate", image, "--yes"}).status, kExitSuccess);
  ASSERT_EQ(Smcard({"export", image, dir.File("logical.img")}).status, kExitSuccess);
  // One file of 5000 bytes in the root directory (sector 16) and its two clusters in the FAT (sector 14).
  std::string logical = Slurp(dir.File("logical.img"));
  logical.replace(16 * 512, 32,
                  std::string("PHOTO   JPG\x20", 12) + std::string(14, '\0') + std::string("\x02\0\x88\x13\0\0", 6));
  logical.replace(14 * 512 + 3, 3, "\x03\xF0\xFF");
  WriteFile(dir.File("logical.img"), logical);
  ASSERT_EQ(Smcard({"import", image, dir.File("logical.img")}).status, kExitSuccess);
  const ToolRun run = Smformat({"--simulate", image}, "n\n");
  EXPECT_TRUE(Contains(run.err,
                       "The card holds files: 1 file and 0 folders in the root directory, 8 KB in use. The format "
                       "erases them; smformat --dump saves the whole card first.\nWarning: Format disk will erase"))
      << run.err;
}

TEST_F(CardFiles, TwoUnitCardNeedsItsGeometry) {
  const std::string image = Create({"--geometry", "256x8+256x8"});
  const ToolRun withGeometry = Smformat({"--simulate", image, "--geometry", "256x8+256x8", "--yes"});
  EXPECT_EQ(withGeometry.status, kExitSuccess) << withGeometry.err;
  EXPECT_TRUE(Contains(withGeometry.err, "Format Complete!"));
}

// --- Refusals that leave every file as it was ------------------------------------

struct RefusalCase {
  const char* name;
  std::vector<std::string> create;  // the card
  const char* sidecar;              // written to IMAGE.faults unless null
  // The command, with IMAGE, FAULTS and DIR standing for the card's paths.
  std::vector<std::string> command;
  const char* complaint;
  // Prepares the test's directory (links, folders) before the command.
  std::function<void(const TempDir&)> prepare = {};
  bool heldByAnotherTool = false;    // another tool has the card open for writing meanwhile
  std::string leavesNothingAt = "";  // a file the command must not leave in the directory
};

class RefusalTest : public CardFiles, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, SaysWhyAndChangesNothing) {
  const RefusalCase& c = GetParam();
  const std::string image = Create(c.create);
  const std::string faults = image + ".faults";
  if (c.sidecar) WriteFile(faults, c.sidecar);
  if (c.prepare) c.prepare(dir);
  // A sidecar that is no regular file is not read here either.
  const auto sidecarText = [&faults] { return std::filesystem::is_regular_file(faults) ? Slurp(faults) : ""; };
  const std::string imageBefore = Slurp(image);
  const std::string faultsBefore = sidecarText();
  std::vector<std::string> args;
  for (const std::string& word : c.command) {
    if (word == "IMAGE")
      args.push_back(image);
    else if (word == "FAULTS")
      args.push_back(faults);
    else if (word.rfind("DIR/", 0) == 0)
      args.push_back(dir.File(word.substr(4)));
    else
      args.push_back(word);
  }
  const card::CardOpen other = c.heldByAnotherTool ? card::OpenCardImage(image) : card::CardOpen{};
  const ToolRun run =
      args[0] == "smformat" ? Smformat({args.begin() + 1, args.end()}) : Smcard({args.begin() + 1, args.end()});
  EXPECT_EQ(run.status, kExitFailure) << run.err;
  EXPECT_TRUE(Contains(run.err, c.complaint)) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
  EXPECT_TRUE(Slurp(image) == imageBefore) << "the image changed";
  EXPECT_TRUE(sidecarText() == faultsBefore) << "the sidecar changed";
  EXPECT_FALSE(std::filesystem::exists(dir.File("out.img"))) << "an output was left";
  if (!c.leavesNothingAt.empty()) {
    EXPECT_FALSE(card::PathExists(dir.File(c.leavesNothingAt))) << "a new card was left";
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    EXPECT_EQ(entry.path().string().find(".new"), std::string::npos) << "temporary file left: " << entry.path();
  }
}

const std::vector<std::string> kUsed1M = {"--size", "1M", "--fill", "random"};

INSTANTIATE_TEST_SUITE_P(
    Tools, RefusalTest,
    ::testing::Values(RefusalCase{"ImportADirectory",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "import", "IMAGE", "DIR/folder"},
                                  "a directory",
                                  [](const TempDir& d) { std::filesystem::create_directory(d.File("folder")); }},
                      RefusalCase{"ImportIntoAWriteProtectedCard",
                                  {"--size", "1M", "--fill", "random", "--write-protect"},
                                  nullptr,
                                  {"smcard", "import", "IMAGE", "DIR/in.bin"},
                                  "write-protected",
                                  [](const TempDir& d) { WriteFile(d.File("in.bin"), std::string(4096, 'x')); }},
                      RefusalCase{"ExportOntoTheImage",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "export", "IMAGE", "IMAGE", "--force"},
                                  "the card's own image"},
                      RefusalCase{"ExportOntoTheSidecar",
                                  kUsed1M,
                                  "write-protect\n",
                                  {"smcard", "export", "IMAGE", "FAULTS", "--force"},
                                  "the card's own fault sidecar"},
                      RefusalCase{"ExportOntoTheSidecarNotYetThere",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "export", "IMAGE", "FAULTS"},
                                  "the card's own fault sidecar"},
                      RefusalCase{"ExportOverTheListOfAnEarlierOne",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "export", "IMAGE", "DIR/out.img"},
                                  "out.img.unreadable.txt exists; give --force to replace it",
                                  [](const TempDir& d) { WriteFile(d.File("out.img.unreadable.txt"), "8\n"); }},
                      // No page of four blocks in a row of the dump can be read: it is not read to its end.
                      RefusalCase{"RestoreFromADumpThatCannotBeRead",
                                  kUsed1M,
                                  nullptr,
                                  {"smformat", "--simulate", "IMAGE", "--yes", "--restore", "DIR/dump.img"},
                                  "dump.img cannot be read to its end",
                                  [](const TempDir& d) {
                                    ASSERT_EQ(Smcard({"create", d.File("dump.img"), "--size", "1M"}).status, 0);
                                    std::string faults;
                                    for (int page = 800; page < 832; ++page) {
                                      faults += "unreadable-page 0:" + std::to_string(page) + "\n";
                                    }
                                    WriteFile(d.File("dump.img.faults"), faults);
                                  }},
                      RefusalCase{"FaultPastTheLastPage",
                                  kUsed1M,
                                  "unreadable-page 0:2048\n",
                                  {"smformat", "--simulate", "IMAGE", "--yes"},
                                  "0:2048 is not on the card"},
                      RefusalCase{"FaultOnAUnitTheCardLacks",
                                  kUsed1M,
                                  "erase-fails 1:0\n",
                                  {"smformat", "--simulate", "IMAGE", "--yes"},
                                  "erase-fails 1:0 is not on the card"},
                      RefusalCase{"FormatWithAFolderForSidecar",
                                  {"--size", "1M", "--fill", "random", "--write-protect"},
                                  nullptr,
                                  {"smformat", "--simulate", "IMAGE", "--yes"},
                                  "a directory, not a fault plan",
                                  [](const TempDir& d) {
                                    std::filesystem::remove(d.File("card.img.faults"));
                                    std::filesystem::create_directory(d.File("card.img.faults"));
                                  }},
                      RefusalCase{"FormatACardAnotherToolHolds",
                                  kUsed1M,
                                  nullptr,
                                  {"smformat", "--simulate", "IMAGE", "--yes"},
                                  "is in use: another smformat or smcard is working on the card",
                                  nullptr,
                                  true},
                      RefusalCase{"CheckACardAnotherToolWrites",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "check", "IMAGE"},
                                  "is in use: another smformat or smcard is working on the card",
                                  nullptr,
                                  true},
                      RefusalCase{"ReplaceACardAnotherToolHolds",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "create", "IMAGE", "--size", "2M", "--force"},
                                  "is in use",
                                  nullptr,
                                  true}
#ifndef _WIN32
                      ,
                      RefusalCase{"ExportOntoALinkToTheImage",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "export", "IMAGE", "DIR/link", "--force"},
                                  "the card's own image",
                                  [](const TempDir& d) {
                                    std::filesystem::create_symlink(d.File("card.img"), d.File("link"));
                                  }},
                      RefusalCase{"FormatWithAnEndlessSidecar",
                                  {"--size", "1M", "--fill", "random", "--write-protect"},
                                  nullptr,
                                  {"smformat", "--simulate", "IMAGE", "--yes"},
                                  "not a regular file",
                                  [](const TempDir& d) {
                                    std::filesystem::remove(d.File("card.img.faults"));
                                    std::filesystem::create_symlink("/dev/zero", d.File("card.img.faults"));
                                  }},
                      // The name takes the image but not its sidecar's ".faults".
                      RefusalCase{"CreateWithANameTooLongForTheSidecar",
                                  kUsed1M,
                                  nullptr,
                                  {"smcard", "create", "DIR/" + std::string(250, 'n'), "--size", "1M"},
                                  "File name too long; give the card a shorter name",
                                  {},
                                  false,
                                  std::string(250, 'n')}
#endif
                      ),
    [](const auto& info) { return std::string(info.param.name); });

// An unreadable page costs its sector, not the export: zeros in its place,
// the sector listed beside the export, and a whole export removes the list.
TEST_F(CardFiles, ExportGoesPastAnUnreadablePageAndListsIt) {
  const std::string image = Create(kUsed1M);
  const std::string out = dir.File("out.img");
  WriteFile(out, "old");
  WriteFile(image + ".faults", "unreadable-page 0:8\n");
  const ToolRun damaged = Smcard({"export", image, out, "--force"});
  EXPECT_EQ(damaged.status, kExitIncomplete);
  EXPECT_TRUE(Contains(damaged.err, "smcard: logical sector 0 cannot be read (an unreadable page)\n")) << damaged.err;
  EXPECT_TRUE(Contains(damaged.err, "1 of its 2000 sectors could not be read and hold zeros")) << damaged.err;
  EXPECT_EQ(Slurp(out).substr(0, 512), std::string(512, '\0'));
  EXPECT_EQ(Slurp(out + ".unreadable.txt").substr(Slurp(out + ".unreadable.txt").rfind("zeros in their place.\n")),
            "zeros in their place.\n0\n");
  std::filesystem::remove(image + ".faults");
  EXPECT_EQ(Smcard({"export", image, out, "--force"}).status, kExitSuccess);
  EXPECT_EQ(Slurp(out).size(), 2000u * 512);
  EXPECT_FALSE(std::filesystem::exists(out + ".unreadable.txt"));
}

// Records how images are opened, and can stand in for a host whose disk
// fills up: changes fail from the n-th on.
struct HostStandIn {
  std::vector<card::Access> opened;
  int changesBeforeFull = -1;  // never full

  class Storage : public card::CardStorage {
   public:
    Storage(std::unique_ptr<card::CardStorage> inner_, int left_) : inner(std::move(inner_)), left(left_) {}
    std::uint64_t Size() const override { return inner->Size(); }
    bool Writable() const override { return inner->Writable(); }
    const std::uint8_t* Read(std::uint64_t offset, std::size_t length) override { return inner->Read(offset, length); }
    std::uint8_t* Change(std::uint64_t offset, std::size_t length) override {
      return Full() ? nullptr : inner->Change(offset, length);
    }
    bool Fill(std::uint64_t offset, std::size_t length, std::uint8_t value) override {
      return !Full() && inner->Fill(offset, length, value);
    }
    bool Commit() override { return inner->Commit() && Error().empty(); }
    bool Flush() override { return inner->Flush() && Error().empty(); }

   private:
    bool Full() {
      if (left < 0 || left-- > 0) return false;
      Fail("card.img: cannot write the image: No space left on device");
      return true;
    }
    std::unique_ptr<card::CardStorage> inner;
    int left;
  };

  card::StorageOpener Opener() {
    return [this](const std::string& path, card::Access access) {
      opened.push_back(access);
      card::StorageOpen real = card::OpenFileStorage(path, access);
      if (real) real.storage = std::make_unique<Storage>(std::move(real.storage), changesBeforeFull);
      return real;
    };
  }
};

TEST_F(CardFiles, InfoExportAndCheckOnlyRead) {
  const std::string image = Create(kUsed1M);
  ASSERT_EQ(Smformat({"--simulate", image, "--yes"}).status, kExitSuccess);  // so that check finds nothing
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info", image}, std::vector<std::string>{"export", image, dir.File("out.img")},
        std::vector<std::string>{"check", image}}) {
    HostStandIn host;
    EXPECT_EQ(Smcard(args, host.Opener()).status, kExitSuccess) << args[0];
    EXPECT_EQ(host.opened, std::vector<card::Access>{card::Access::ReadOnly}) << args[0];
  }
#ifndef _WIN32
  if (geteuid() == 0) return;  // root may write any file
  std::filesystem::permissions(image, std::filesystem::perms::owner_read);
  EXPECT_EQ(Smcard({"info", image}).status, kExitSuccess);
  EXPECT_EQ(Smcard({"export", image, dir.File("out2.img")}).status, kExitSuccess);
#endif
}

// The disk under the image fills up at the n-th change: in the erase pass,
// in the file-system writes.
class HostFullTest : public CardFiles, public ::testing::WithParamInterface<int> {};

TEST_P(HostFullTest, IsReportedAsTheHostsFailureNotTheCards) {
  const std::string image = Create(kUsed1M);
  HostStandIn host;
  host.changesBeforeFull = GetParam();
  const ToolRun run = Invoke(SmformatMain, {"--simulate", image, "--yes"}, "", {}, host.Opener());
  EXPECT_EQ(run.status, kExitFailure);
  EXPECT_TRUE(Contains(run.err,
                       "smformat: the host failed, not the card: "
                       "card.img: cannot write the image: No space left on device"))
      << run.err;
  EXPECT_FALSE(Contains(run.err, "Write MBR error!")) << run.err;
  EXPECT_FALSE(Contains(run.err, "Write boot sector error!")) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!")) << run.err;
}

INSTANTIATE_TEST_SUITE_P(AtChange, HostFullTest, ::testing::Values(100, 300, 400));

#ifndef _WIN32
TEST_F(CardFiles, CreateThatFailsHalfWayLeavesTheOldImage) {
  const std::string image = Create(kUsed1M);
  const std::string before = Slurp(image);
  // In a child process whose files may not grow beyond 512 KiB.
  const auto createUnderLimit = [&image] {
    const rlimit fileSize{512 * 1024, 512 * 1024};
    setrlimit(RLIMIT_FSIZE, &fileSize);
    std::signal(SIGXFSZ, SIG_IGN);
    const ToolRun run = Smcard({"create", image, "--size", "2M", "--force"});
    std::cerr << run.err;
    std::_Exit(run.status);
  };
  EXPECT_EXIT(createUnderLimit(), ::testing::ExitedWithCode(kExitFailure), "File too large");
  EXPECT_TRUE(Slurp(image) == before);
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    EXPECT_EQ(entry.path().filename(), "card.img");
  }
}
#endif

}  // namespace
