#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "card/card_tools.h"
#include "card/firmware.h"
#include "card/page_format.h"
#include "tests/sim/sim_bench.h"

namespace {

using simtest::Pattern;
using simtest::ScratchPath;
using simtest::Send;
using simtest::Standard;

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void WriteFile(const std::string& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> zeros(static_cast<std::size_t>(size), '\xFF');
  out.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
}

card::CardOpen Create(const std::string& path, const char* size, card::FaultPlan plan = {}, bool withCis = true,
                      card::Fill fill = card::Fill::Erased) {
  card::CreateOptions options;
  options.geometry = Standard(size);
  options.plan = std::move(plan);
  options.withCis = withCis;
  options.fill = fill;
  return card::CreateCardImage(path, options);
}

struct SizeCase {
  const char* name;
  std::int64_t size;  // -1: no file at all
};

class RefusedImage : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RefusedImage, IsRefusedWithTheReason) {
  const std::string path = ScratchPath("card.img");
  std::filesystem::remove(path);
  if (GetParam().size >= 0) WriteFile(path, static_cast<std::uint64_t>(GetParam().size));
  const card::CardOpen opened = card::OpenCardImage(path);
  EXPECT_FALSE(opened);
  EXPECT_NE(opened.error.find(path), std::string::npos) << opened.error;
}

constexpr std::int64_t k16M = 1024 * 32 * 528;

INSTANTIATE_TEST_SUITE_P(Files, RefusedImage,
                         ::testing::Values(SizeCase{"Missing", -1}, SizeCase{"Empty", 0},
                                           SizeCase{"TruncatedByAByte", k16M - 1},
                                           SizeCase{"TruncatedByAPage", k16M - 528},
                                           SizeCase{"OnePageTooMany", k16M + 528},
                                           SizeCase{"PlainSixteenMegabytes", 16 * 1024 * 1024}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CardImage, ExplicitGeometryMustMatchTheFileSize) {
  const std::string path = ScratchPath("two-units.img");
  const card::CardGeometry twoUnits{{{1024, 32}, {512, 16}}};
  WriteFile(path, static_cast<std::uint64_t>(k16M));
  const card::CardOpen refused = card::OpenCardImage(path, twoUnits);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.error.find("truncated"), std::string::npos) << refused.error;
  WriteFile(path, twoUnits.ImageBytes());
  EXPECT_TRUE(card::OpenCardImage(path, twoUnits));
  EXPECT_FALSE(card::OpenCardImage(path)) << "two units are not recognised by size";
}

TEST(CardImage, RecognisesEveryStandardSize) {
  for (const card::StandardCard& standard : card::kStandardCards) {
    if (std::string(standard.name) == "128M" || std::string(standard.name) == "64M") continue;  // kept quick
    const std::string path = ScratchPath(std::string(standard.name) + ".img");
    ASSERT_TRUE(Create(path, standard.name));
    const card::CardOpen opened = card::OpenCardImage(path);
    ASSERT_TRUE(opened) << opened.error;
    EXPECT_EQ(card::StandardName(opened.card->Geometry()), standard.name);
  }
}

TEST(CardImage, EveryCommandReachesTheFile) {
  const std::string path = ScratchPath("card.img");
  card::CardOpen opened = Create(path, "1M");
  ASSERT_TRUE(opened) << opened.error;
  sim::Reader reader(*opened.card);
  auto data = Pattern(512, 1);
  ASSERT_EQ(Send(reader, WriteLbaCommand(17, 1), data.data()), sim::kStatusGood);
  EXPECT_TRUE(FileBytes(path) == opened.card->Media().Bytes());
  ASSERT_EQ(Send(reader, ErasePhyBlkCommand(0, 200)), sim::kStatusGood);
  ASSERT_EQ(Send(reader, WritePhySectorCommand(0, 8 * 201), data.data()), sim::kStatusGood);
  EXPECT_TRUE(FileBytes(path) == opened.card->Media().Bytes());
}

TEST(CardImage, TheMapSurvivesReopening) {
  const std::string path = ScratchPath("card.img");
  const auto image = Pattern(4000 * 512, 8);
  std::optional<card::BlockRef> where;
  {
    card::CardOpen opened = Create(path, "2M");
    ASSERT_TRUE(opened);
    ASSERT_EQ(card::ImportLogical(*opened.card, image), "");
    sim::Reader reader(*opened.card);
    auto sector = Pattern(512, 9);
    ASSERT_EQ(Send(reader, WriteLbaCommand(1234, 1), sector.data()), sim::kStatusGood);
    where = reader.Logical().Locate(1234 / 8);
  }
  card::CardOpen reopened = card::OpenCardImage(path);
  ASSERT_TRUE(reopened) << reopened.error;
  sim::Reader reader(*reopened.card);
  EXPECT_EQ(reader.Logical().Locate(1234 / 8)->block, where->block);
  std::vector<std::uint8_t> sector(512);
  ASSERT_EQ(Send(reader, ReadLbaCommand(1234, 1), sector.data()), sim::kStatusGood);
  EXPECT_EQ(sector, Pattern(512, 9));
  ASSERT_EQ(Send(reader, ReadLbaCommand(3999, 1), sector.data()), sim::kStatusGood);
  EXPECT_TRUE(std::equal(sector.begin(), sector.end(), image.begin() + 3999 * 512));
}

TEST(CardImage, CreationMarksFactoryBadBlocksAndPutsTheCisInTheFirstGoodBlock) {
  const std::string path = ScratchPath("card.img");
  card::FaultPlan plan;
  plan.factoryBadBlocks = {{0, 0}, {0, 9}};
  plan.writeProtected = true;
  card::CardOpen opened = Create(path, "16M", plan, true, card::Fill::Random);
  ASSERT_TRUE(opened) << opened.error;
  const card::Nand& nand = opened.card->Media();
  for (std::uint32_t p = 0; p < 32; ++p) {
    EXPECT_EQ(nand.Page(0, p)[512 + 5], 0x00);
    EXPECT_EQ(nand.Page(0, 9 * 32 + p)[512 + 5], 0x00);
  }
  const PageBuffer cis = card::CisPage();
  EXPECT_TRUE(std::equal(cis.begin(), cis.end(), nand.Page(0, 32)));
  const card::CardReport report = card::Inspect(*opened.card);
  EXPECT_EQ(report.cisBlock, 1u);
  EXPECT_EQ(report.badBlocks, (std::vector<card::BlockRef>{{0, 0}, {0, 9}}));
  EXPECT_EQ(report.mappedBlocks, 1000u) << "a randomly filled card has every logical block stored";
  EXPECT_EQ(report.logicalSectors, 32000u);
  EXPECT_TRUE(FileBytes(path) == nand.Bytes());
  const card::FaultPlanLoad sidecar = card::LoadFaultPlan(path);
  EXPECT_EQ(sidecar.error, "");
  EXPECT_TRUE(sidecar.plan.writeProtected);
  EXPECT_TRUE(sidecar.plan.factoryBadBlocks.empty()) << "they live in the image";
}

TEST(CardImage, OpensWithTheSidecarsPlan) {
  const std::string path = ScratchPath("card.img");
  card::FaultPlan plan;
  plan.writeProtected = true;
  ASSERT_TRUE(Create(path, "1M", plan));
  {
    card::CardAndPlan opened = card::OpenCardAndPlan(path);
    ASSERT_TRUE(opened) << opened.error;
    EXPECT_TRUE(opened.plan.writeProtected);
  }
  {
    std::ofstream sidecar(card::FaultSidecarPath(path), std::ios::trunc);
    sidecar << "write-protect\nerase-fails seven\n";
  }
  const card::CardAndPlan refused = card::OpenCardAndPlan(path);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.error.find("line 2"), std::string::npos) << refused.error;
}

// A sidecar that is there must be read: one that cannot be must refuse the
// card, or a write-protected card would be formatted.
struct SidecarCase {
  const char* name;
  std::function<void(const std::string& sidecar)> make;
  const char* reason;
};

class UnreadableSidecar : public ::testing::TestWithParam<SidecarCase> {};

TEST_P(UnreadableSidecar, RefusesTheCard) {
  const std::string path = ScratchPath("card.img");
  const std::string sidecar = card::FaultSidecarPath(path);
  std::filesystem::remove_all(sidecar);
  card::FaultPlan plan;
  plan.writeProtected = true;
  ASSERT_TRUE(Create(path, "1M", plan));
  std::filesystem::remove(sidecar);
  GetParam().make(sidecar);
  const card::CardAndPlan opened = card::OpenCardAndPlan(path);
  EXPECT_FALSE(opened);
  EXPECT_NE(opened.error.find(sidecar), std::string::npos) << opened.error;
  EXPECT_NE(opened.error.find(GetParam().reason), std::string::npos) << opened.error;
}

INSTANTIATE_TEST_SUITE_P(
    Sidecars, UnreadableSidecar,
    ::testing::Values(
        SidecarCase{"Directory", [](const std::string& p) { std::filesystem::create_directory(p); }, "directory"},
        SidecarCase{"TooLarge", [](const std::string& p) { std::ofstream(p) << std::string(70 * 1024, '#'); },
                    "larger than 64 KiB"}
#ifndef _WIN32
        ,
        SidecarCase{"EndlessDevice", [](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); },
                    "not a regular file"},
        SidecarCase{"Fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, "not a regular file"},
        SidecarCase{"LinkLoop", [](const std::string& p) { std::filesystem::create_symlink(p, p); },
                    "Too many levels of symbolic links"},
        SidecarCase{"DanglingLink", [](const std::string& p) { std::filesystem::create_symlink(p + ".gone", p); },
                    "No such file or directory"}
#endif
        ),
    [](const auto& info) { return std::string(info.param.name); });

#ifndef _WIN32
TEST(UnreadableSidecarTest, WithoutPermissionRefusesTheCard) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  const std::string path = ScratchPath("card.img");
  ASSERT_TRUE(Create(path, "1M"));
  std::ofstream(card::FaultSidecarPath(path)) << "write-protect\n";
  std::filesystem::permissions(card::FaultSidecarPath(path), std::filesystem::perms::none);
  const card::CardAndPlan opened = card::OpenCardAndPlan(path);
  EXPECT_FALSE(opened);
  EXPECT_NE(opened.error.find("Permission denied"), std::string::npos) << opened.error;
}
#endif

TEST(CardImage, CreationRefusesASidecarThatIsNoFileBeforeWritingAnything) {
  const std::string path = ScratchPath("card.img");
  std::filesystem::remove_all(card::FaultSidecarPath(path));
  ASSERT_TRUE(Create(path, "1M", {}, true, card::Fill::Random));
  const std::vector<std::uint8_t> before = FileBytes(path);
  std::filesystem::create_directory(card::FaultSidecarPath(path));
  card::FaultPlan plan;
  plan.writeProtected = true;
  const card::CardOpen refused = Create(path, "1M", plan);
  EXPECT_FALSE(refused);
  EXPECT_NE(refused.error.find("a directory"), std::string::npos) << refused.error;
  EXPECT_TRUE(FileBytes(path) == before);
  std::filesystem::remove(card::FaultSidecarPath(path));
}

TEST(CardImage, ADirectoryIsNoImage) {
  const std::string path = ScratchPath("card.img");
  std::filesystem::remove_all(path);
  std::filesystem::create_directory(path);
  const card::CardOpen opened = card::OpenCardImage(path);
  EXPECT_FALSE(opened);
  EXPECT_NE(opened.error.find("a directory"), std::string::npos) << opened.error;
}

TEST(CardImage, CreationWithoutCisLeavesEveryBlockErased) {
  const std::string path = ScratchPath("card.img");
  card::CardOpen opened = Create(path, "1M", {}, false);
  ASSERT_TRUE(opened);
  const card::CardReport report = card::Inspect(*opened.card);
  EXPECT_FALSE(report.cisBlock);
  EXPECT_EQ(report.mappedBlocks, 0u);
  EXPECT_FALSE(std::filesystem::exists(card::FaultSidecarPath(path)));
}

TEST(CardImage, RefusesBadBlocksOffTheCard) {
  card::CreateOptions options;
  options.geometry = Standard("1M");
  options.plan.factoryBadBlocks = {{0, 256}};
  EXPECT_FALSE(card::CreateCard(options));
  options.plan.factoryBadBlocks = {{1, 0}};
  EXPECT_FALSE(card::CreateCard(options));
}

TEST(FaultPlanText, RoundTrips) {
  card::FaultPlan plan;
  plan.writeProtected = true;
  plan.removeAfterCommands = 120;
  plan.unreadablePages = {{0, 64}, {1, 3}};
  plan.failingErase = {{0, 7}};
  plan.failingProgram = {{0, 9}};
  plan.commandFaults = {{0xE6, std::uint8_t{5}, 1, false}, {0xE8, std::nullopt, 3, true}};
  plan.inquiryId = "Generic STORAGE device";
  plan.mediaInfoReply = std::array<std::uint8_t, 36>{1, 0, 0, 0, 10, 8};
  plan.cardType = 0;
  plan.lunMap = 0x18;
  const card::FaultPlanLoad parsed = card::ParseFaultPlan(card::FormatFaultPlan(plan));
  ASSERT_EQ(parsed.error, "");
  EXPECT_EQ(card::FormatFaultPlan(parsed.plan), card::FormatFaultPlan(plan));
  EXPECT_EQ(parsed.plan.commandFaults[1].failAtCall, 3u);
  EXPECT_TRUE(parsed.plan.commandFaults[1].andLater);
  EXPECT_EQ(parsed.plan.inquiryId, "Generic STORAGE device");
}

TEST(FaultPlanText, RefusesWhatItDoesNotKnow) {
  for (const char* text : {"write-protect yes", "erase-fails 7", "fail-command E8 at 0", "fail-command XY at 1",
                           "media-info 01 02", "remove-after -1", "lun-map 100", "format-the-moon"}) {
    const card::FaultPlanLoad parsed = card::ParseFaultPlan(std::string("# comment\n\n") + text + "\n");
    EXPECT_NE(parsed.error.find("line 3"), std::string::npos) << text << ": " << parsed.error;
  }
}

}  // namespace
