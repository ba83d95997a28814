// Every standard card, used and holding files, formatted through the
// simulated reader; the result is checked on the raw card and, through the
// logical image the reader presents, with the real FAT tools. A second
// format of the same card must find the CIS the first one left.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "card/card_check.h"
#include "card/card_tools.h"
#include "card/firmware.h"
#include "tests/format/format_bench.h"
#include "tests/support/fat_tools.h"

namespace fs = std::filesystem;

namespace {

using namespace formattest;
using fat_tools::ExpectCleanFsck;
using fat_tools::ExtractPartition;
using fat_tools::Quote;
using fat_tools::ReadAll;
using fat_tools::Result;
using fat_tools::RunTool;

struct CardCase {
  const char* size;
  bool withCis;            // whether the used card already carries its CIS (in block 0)
  std::uint32_t badBlock;  // a factory bad block of unit 0, past the CIS
};

void PrintTo(const CardCase& c, std::ostream* os) { *os << c.size; }

constexpr CardCase kCards[] = {
    {"1M", false, 5},   {"2M", true, 300},   {"4M", false, 1},     {"8M", true, 1023},
    {"16M", false, 17}, {"32M", true, 1500}, {"64M", false, 2049}, {"128M", true, 7000},
};

constexpr std::uint32_t kCisBlock = 0;  // the bad block lies past it
constexpr std::size_t kPartitionEntry = 446;
constexpr std::size_t kEntryFirstSector = 8;
constexpr std::size_t kEntrySectorCount = 12;

fs::path WorkDir(const std::string& name) {
  const char* base = std::getenv("SMFORMAT_TEST_TMP");
  fs::path dir = fs::path(base && *base ? base : "/tmp") / "format-e2e" / name;
  fs::create_directories(dir);
  return dir;
}

std::string Pattern(std::size_t bytes, std::uint32_t seed) {
  std::string data(bytes, '\0');
  std::uint32_t x = seed * 2654435761u + 7;
  for (char& ch : data) {
    x = x * 1103515245u + 12345u;
    ch = static_cast<char>(x >> 24);
  }
  return data;
}

void WriteFile(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::uint32_t Le32(const std::string& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
  return value;
}

// Writes a logical image file onto the card through the reader's firmware.
std::string Import(card::Card& card, const fs::path& path) {
  const std::string text = ReadAll(path);
  return card::ImportLogical(card, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void ExpectTool(const std::string& name, const std::string& arguments) {
  const Result r = RunTool(name, arguments);
  EXPECT_EQ(r.status, 0) << name << " " << arguments << "\n" << r.output;
}

// The whole 512-byte pieces of some files, to look for on the raw card.
class FileTraces {
 public:
  void Add(const std::string& data) {
    for (std::size_t at = 0; at + kSectorSize <= data.size(); at += kSectorSize) {
      pieces.insert(data.substr(at, kSectorSize));
    }
  }
  // Pages outside bad blocks whose data area holds one of the pieces.
  std::size_t PagesHolding(const card::Nand& nand) const {
    std::size_t found = 0;
    for (std::uint8_t u = 0; u < nand.UnitCount(); ++u) {
      for (std::uint32_t page = 0; page < nand.Unit(u).Pages(); ++page) {
        if (nand.IsBad(u, page / nand.Unit(u).pagesPerBlock)) continue;
        const char* data = reinterpret_cast<const char*>(nand.Page(u, page));
        found += pieces.count(std::string(data, kSectorSize));
      }
    }
    return found;
  }

 private:
  std::unordered_set<std::string> pieces;
};

// Blocks of unit 0, other than bad ones and those in `except`, that are not erased.
std::vector<std::uint32_t> UnerasedBlocks(const card::Nand& nand, const std::set<std::uint32_t>& except) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t b = 0; b < nand.Unit(0).blocks; ++b) {
    if (!nand.IsBad(0, b) && except.count(b) == 0 && !nand.IsErased(0, b)) out.push_back(b);
  }
  return out;
}

// The physical blocks that hold logical blocks.
std::set<std::uint32_t> MappedBlocks(card::Card& card) {
  card::Firmware firmware(card.Media());
  std::set<std::uint32_t> mapped;
  for (std::uint32_t lb = 0; lb < firmware.LogicalBlocks(); ++lb) {
    if (const auto where = firmware.Locate(lb)) mapped.insert(where->block);
  }
  return mapped;
}

// The exported logical image holds an empty, sound volume in the partition
// its MBR names, which ends at the card's last sector.
void ExpectEmptyVolume(card::Card& card, const fs::path& image, const fs::path& partition, std::string& volume) {
  ASSERT_EQ(card::ExportLogicalFile(card, image.string()).error, "");
  const std::string bytes = ReadAll(image);
  const std::uint32_t start = Le32(bytes, kPartitionEntry + kEntryFirstSector);
  const std::uint32_t size = Le32(bytes, kPartitionEntry + kEntrySectorCount);
  ASSERT_GT(start, 0u);
  EXPECT_EQ((std::uint64_t{start} + size) * kSectorSize, bytes.size()) << "the partition does not reach the end";
  ExtractPartition(image, start, size, partition);
  ExpectCleanFsck(partition, {": 0 files, 0/"});
  volume = Quote(image.string() + "@@" + std::to_string(std::uint64_t{start} * kSectorSize));
  const Result listing = RunTool("mdir", "-i " + volume + " ::");
  EXPECT_EQ(listing.status, 0) << listing.output;
  EXPECT_NE(listing.output.find("No files"), std::string::npos) << listing.output;
}

// The independent check of the raw card: ECC, block addresses, CIS, the
// file system's bytes, and nothing else left on the card.
void ExpectCheckPasses(const card::Nand& nand) {
  const card::CardCheck check = card::CheckCard(nand, {true});
  EXPECT_TRUE(check.Passed()) << ::testing::PrintToString(check.Report());
}

class EndToEnd : public ::testing::TestWithParam<CardCase> {};

TEST_P(EndToEnd, UsedCardBecomesAnEmptySoundVolumeAndKeepsItsCis) {
  const CardCase& c = GetParam();
  const card::CardGeometry geometry = Standard(c.size);
  const card::UnitGeometry& unit = geometry.units[0];
  const fs::path dir = WorkDir(c.size);
  const fs::path used = dir / "used.img", card = dir / "card.img", partition = dir / "partition.img";
  const fs::path fileIn = dir / "in.bin", fileOut = dir / "out.bin";

  // A used card: a FAT volume with two files, written through the firmware.
  const std::uint64_t logicalSectors = card::LogicalSectorCount(geometry);
  fs::remove(used);
  ExpectTool("mkfs.fat", "-C " + Quote(used) + " " + std::to_string(logicalSectors * kSectorSize / 1024));
  FileTraces oldFiles;
  for (const auto& [name, bytes] : {std::pair<const char*, std::size_t>{"OLD1.BIN", 5000}, {"OLD2.BIN", 42000}}) {
    const std::string data = Pattern(bytes, static_cast<std::uint32_t>(bytes + unit.blocks));
    oldFiles.Add(data);
    WriteFile(fileIn, data);
    ExpectTool("mcopy", "-i " + Quote(used) + " " + Quote(fileIn) + " ::/" + name);
  }
  card::CreateOptions options = CardOptions(geometry, c.withCis, {{0, c.badBlock}});
  card::CardOpen made = card::CreateCard(options);
  ASSERT_TRUE(made) << made.error;
  ASSERT_EQ(Import(*made.card, used), "");
  ASSERT_GT(oldFiles.PagesHolding(made.card->Media()), 0u) << "the files did not reach the card";

  Bench bench(std::move(made.card));
  card::Nand& nand = bench.card->Media();

  // When the reader is told that the format is over, before any file system
  // is written: the CIS page, and every other good block erased.
  bool checkedAtFormatEnd = false;
  bench.device->afterOp = [&](const Op& op) {
    if (op.kind != OpKind::FormatEnd || checkedAtFormatEnd) return;
    checkedAtFormatEnd = true;
    EXPECT_EQ(PageBytes(*bench.card, 0, kCisBlock * unit.pagesPerBlock), ExpectedCisPage());
    for (std::uint32_t p = 1; p < unit.pagesPerBlock; ++p) {
      EXPECT_TRUE(AllErased(PageBytes(*bench.card, 0, kCisBlock * unit.pagesPerBlock + p)));
    }
    EXPECT_EQ(UnerasedBlocks(nand, {kCisBlock}), std::vector<std::uint32_t>{});
  };
  ASSERT_EQ(bench.Format(), 1);
  EXPECT_TRUE(checkedAtFormatEnd);
  EXPECT_TRUE(bench.host.Messages().empty());
  ExpectCheckPasses(nand);
  EXPECT_EQ(CisWrites(bench.device->log).size(), c.withCis ? 0u : 2u);

  // Afterwards only the file system's blocks hold anything, and nothing of the old files survives.
  std::set<std::uint32_t> inUse = MappedBlocks(*bench.card);
  inUse.insert(kCisBlock);
  EXPECT_EQ(UnerasedBlocks(nand, inUse), std::vector<std::uint32_t>{});
  EXPECT_EQ(oldFiles.PagesHolding(nand), 0u);
  EXPECT_TRUE(nand.IsBad(0, c.badBlock));

  // What the reader presents is an empty FAT volume that takes a file and gives it back.
  std::string volume;
  ExpectEmptyVolume(*bench.card, card, partition, volume);
  const std::string newData = Pattern(40000 + unit.blocks % 997, unit.blocks);
  FileTraces newFile;
  newFile.Add(newData);
  WriteFile(fileIn, newData);
  fs::remove(fileOut);
  ExpectTool("mcopy", "-i " + volume + " " + Quote(fileIn) + " ::/DATA.BIN");
  ExpectTool("mcopy", "-i " + volume + " ::/DATA.BIN " + Quote(fileOut));
  EXPECT_EQ(ReadAll(fileOut), newData);
  const std::string withFile = ReadAll(card);
  const std::uint32_t start = Le32(withFile, kPartitionEntry + kEntryFirstSector);
  ExtractPartition(card, start, Le32(withFile, kPartitionEntry + kEntrySectorCount), partition);
  ExpectCleanFsck(partition, {": 1 files, "});

  // The volume with its file goes back onto the card, and the card is formatted again.
  ASSERT_EQ(Import(*bench.card, card), "");
  ASSERT_GT(newFile.PagesHolding(nand), 0u);
  const std::vector<std::uint8_t> cisBefore = BlockBytes(nand.Bytes(), geometry, 0, kCisBlock);
  bench.Reinsert();
  ASSERT_EQ(bench.Format(), 1);
  EXPECT_TRUE(bench.host.Messages().empty());
  const std::vector<Op>& log = bench.device->log;
  EXPECT_TRUE(CisWrites(log).empty()) << "the CIS was written again";
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].kind, OpKind::ReadPage);
  EXPECT_EQ(log[0].where, kCisBlock * unit.pagesPerBlock);
  const std::vector<std::uint32_t> erased = ErasedBlocks(log, 0);
  ASSERT_FALSE(erased.empty());
  EXPECT_EQ(erased.front(), c.badBlock == kCisBlock + 1 ? kCisBlock + 2 : kCisBlock + 1);
  EXPECT_EQ(BlockBytes(nand.Bytes(), geometry, 0, kCisBlock), cisBefore) << "the CIS block changed";
  EXPECT_EQ(newFile.PagesHolding(nand) + oldFiles.PagesHolding(nand), 0u);
  ExpectCheckPasses(nand);
  ExpectEmptyVolume(*bench.card, card, partition, volume);

  if (!HasFailure()) fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(StandardCards, EndToEnd, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return std::string(info.param.size); });

// Fresh cards without a bad block, with and without a CIS, pass the check too.
class CheckedFormat : public ::testing::TestWithParam<CardCase> {};

TEST_P(CheckedFormat, OfACardWithoutBadBlocksPassesTheCheck) {
  Bench bench(CardOptions(Standard(GetParam().size), !GetParam().withCis));
  ASSERT_EQ(bench.Format(), 1);
  ExpectCheckPasses(bench.card->Media());
}

INSTANTIATE_TEST_SUITE_P(StandardCards, CheckedFormat, ::testing::ValuesIn(kCards),
                         [](const auto& info) { return std::string(info.param.size); });

}  // namespace
