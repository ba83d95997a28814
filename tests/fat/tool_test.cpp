// The logical image the writer leaves on a card, checked by real tools:
// fsck.fat on the partition, mdir and an mcopy round trip on the image, and
// sfdisk's reading of the partition table. A missing tool is a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/fat/fat_run.h"
#include "tests/support/fat_tools.h"

namespace fs = std::filesystem;

namespace {

using fat_tools::ExpectCleanFsck;
using fat_tools::ExtractPartition;
using fat_tools::Quote;
using fat_tools::ReadAll;
using fat_tools::Result;
using fat_tools::RunTool;

struct Card {
  std::uint32_t key;
  std::uint32_t start, size;
  unsigned type;
  unsigned clusters;    // (size - 1 - 2 FAT sectors - root directory) / cluster size
  const char* labelId;  // the disk identifier as sfdisk shows it
};

// The partitions as each card's table row or the computed layout places them.
constexpr Card kCards[] = {
    {2000, 13, 1987, 0x01, 246, "0x00000000"},       {4000, 11, 3989, 0x01, 496, "0x00000000"},
    {8000, 27, 7973, 0x01, 497, "0x00000000"},       {16000, 25, 15975, 0x01, 997, "0x00000000"},
    {32000, 41, 31959, 0x01, 998, "0x00000000"},     {64000, 35, 63965, 0x01, 1998, "0x00000000"},
    {128000, 55, 127945, 0x01, 3997, "0x00000000"},  {256000, 47, 255953, 0x06, 7996, "0x00000000"},
    {24000, 32, 23968, 0x04, 11920, "0x7f8c16fc"},   {96000, 32, 95968, 0x06, 23936, "0x7f8c16fc"},
    {300000, 32, 299968, 0x06, 37455, "0x7f8c16fc"},
};

fs::path TempDir() {
  const char* base = std::getenv("SMFORMAT_TEST_TMP");
  fs::path dir = fs::path(base && *base ? base : "/tmp") / "fat-tools";
  fs::create_directories(dir);
  return dir;
}

// Sectors first..end-1 of the card as a sparse file, unwritten sectors zero.
void SaveSectors(const MemoryReader& reader, std::uint32_t first, std::uint32_t end, const fs::path& path) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& [sector, data] : reader.WrittenSectors()) {
      if (sector < first || sector >= end) continue;
      out.seekp(static_cast<std::streamoff>(sector - first) * 512);
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
  }
  fs::resize_file(path, static_cast<std::uintmax_t>(end - first) * 512);
}

class ToolTest : public ::testing::TestWithParam<Card> {};

TEST_P(ToolTest, ImageIsASoundFatVolume) {
  const Card& c = GetParam();
  auto run = NewCard(c.key);
  run->Run();
  ASSERT_EQ(run->mbrResult, 1);
  ASSERT_EQ(run->bootResult, 1);

  const fs::path dir = TempDir();
  const std::string stem = "key-" + std::to_string(c.key);
  const fs::path image = dir / (stem + ".img");
  const fs::path partition = dir / (stem + "-partition.img");
  SaveSectors(run->reader, 0, c.key, image);
  SaveSectors(run->reader, c.start, c.key, partition);

  // The partition table as sfdisk reads it.
  const Result dump = RunTool("sfdisk", "--dump " + Quote(image));
  EXPECT_EQ(dump.status, 0) << dump.output;
  EXPECT_NE(dump.output.find("label: dos"), std::string::npos) << dump.output;
  EXPECT_NE(dump.output.find(std::string("label-id: ") + c.labelId), std::string::npos) << dump.output;
  const std::regex entry(R"(: start=\s*(\d+), size=\s*(\d+), type=([0-9a-fA-F]+)(, bootable)?)");
  std::vector<std::smatch> entries;
  for (auto it = std::sregex_iterator(dump.output.begin(), dump.output.end(), entry); it != std::sregex_iterator();
       ++it) {
    entries.push_back(*it);
  }
  ASSERT_EQ(entries.size(), 1u) << dump.output;
  EXPECT_EQ(std::stoul(entries[0][1]), c.start);
  EXPECT_EQ(std::stoul(entries[0][2]), c.size);
  EXPECT_EQ(std::stoul(entries[0][3], nullptr, 16), c.type);
  EXPECT_TRUE(entries[0][4].matched) << "partition not marked active";

  const std::string clusters = std::to_string(c.clusters) + " clusters";
  ExpectCleanFsck(partition, {": 0 files, 0/" + clusters});

  const std::string volume = Quote(image.string() + "@@" + std::to_string(std::uint64_t{c.start} * 512));
  const Result listing = RunTool("mdir", "-i " + volume + " ::");
  EXPECT_EQ(listing.status, 0) << listing.output;
  EXPECT_NE(listing.output.find("No files"), std::string::npos) << listing.output;

  // A file of a few clusters and an odd length goes in and comes back unchanged.
  const fs::path original = dir / (stem + "-in.bin");
  const fs::path copy = dir / (stem + "-out.bin");
  {
    std::string data(40000 + c.key % 997, '\0');
    std::uint32_t x = c.key;
    for (char& ch : data) {
      x = x * 1103515245u + 12345u;
      ch = static_cast<char>(x >> 24);
    }
    std::ofstream(original, std::ios::binary) << data;
  }
  fs::remove(copy);
  const Result in = RunTool("mcopy", "-i " + volume + " " + Quote(original) + " ::/DATA.BIN");
  EXPECT_EQ(in.status, 0) << in.output;
  const Result out = RunTool("mcopy", "-i " + volume + " ::/DATA.BIN " + Quote(copy));
  EXPECT_EQ(out.status, 0) << out.output;
  EXPECT_EQ(ReadAll(copy), ReadAll(original));

  // The volume is still sound with the file in it.
  ExtractPartition(image, c.start, c.size, partition);
  ExpectCleanFsck(partition, {": 1 files, ", "/" + clusters});

  for (const fs::path& p : {image, partition, original, copy}) fs::remove(p);
}

INSTANTIATE_TEST_SUITE_P(Cards, ToolTest, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return "Key" + std::to_string(info.param.key); });

}  // namespace
