// Every sector the writer sends for the eight standard capacities and for
// computed layouts, compared byte for byte with the golden files in
// tests/fat/golden, together with the order of writes and read-backs.
//
// A golden file lists, one per line, the results, any messages, each write
// ("write SECTOR IMAGE") and read ("read SECTOR") in order, and then every
// non-zero image as rows of 16 bytes ("OFFSET: hex...", decimal offsets,
// all-zero rows left out). An image is named after the first sector it was
// written to; "zero" is a sector of zeros.
//
// SMFORMAT_UPDATE_GOLDEN=1 rewrites the files from the code; check the key
// bytes by hand before committing a rewritten file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>

#include "tests/fat/fat_run.h"

namespace {

std::string GoldenPath(std::uint32_t key) {
  return std::string(SMFORMAT_FAT_GOLDEN_DIR) + "/key-" + std::to_string(key) + ".txt";
}

bool IsZero(const SectorBuffer& s) {
  for (std::uint8_t b : s) {
    if (b) return false;
  }
  return true;
}

void DumpImage(std::ostream& out, const std::string& name, const SectorBuffer& image) {
  out << "image " << name << "\n";
  for (std::size_t row = 0; row < image.size(); row += 16) {
    bool any = false;
    for (std::size_t i = 0; i < 16; ++i) any = any || image[row + i] != 0;
    if (!any) continue;
    out << std::setw(3) << std::setfill(' ') << std::dec << row << ":";
    for (std::size_t i = 0; i < 16; ++i) {
      out << ' ' << std::setw(2) << std::setfill('0') << std::hex << std::uppercase << int{image[row + i]};
    }
    out << std::dec << "\n";
  }
}

std::string Render(const FatRun& run, std::uint32_t key) {
  std::ostringstream out;
  out << "key " << key << "\n";
  out << "partition-sectors " << run.reader.geometry.partitionSectors << "\n";
  out << "WriteMbr " << run.mbrResult << "\n";
  out << "WriteBootSector " << (run.bootResult == FatRun::kNotCalled ? "not-called" : std::to_string(run.bootResult))
      << "\n";
  for (const HostMessage& m : run.host.Messages()) out << "message " << m.caption << ": " << m.text << "\n";

  std::map<SectorBuffer, std::string> names;
  std::vector<std::pair<std::string, SectorBuffer>> images;
  for (const LbaCall& call : run.reader.Calls()) {
    if (call.op == LbaCall::Op::Read) {
      out << "read " << call.sector << (call.count != 1 ? " count " + std::to_string(call.count) : "") << "\n";
      continue;
    }
    out << "write " << call.sector;
    for (std::size_t at = 0; at < call.data.size(); at += kSectorSize) {
      SectorBuffer image{};
      std::copy_n(call.data.begin() + static_cast<std::ptrdiff_t>(at), kSectorSize, image.begin());
      std::string name = "zero";
      if (!IsZero(image)) {
        auto it = names.find(image);
        if (it == names.end()) {
          it = names.emplace(image, "sector-" + std::to_string(call.sector + at / kSectorSize)).first;
          images.emplace_back(it->second, image);
        }
        name = it->second;
      }
      out << ' ' << name;
    }
    out << "\n";
  }
  for (const auto& [name, image] : images) DumpImage(out, name, image);
  return out.str();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class GoldenLayoutTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(GoldenLayoutTest, SectorsAndOrderMatchGolden) {
  const std::uint32_t key = GetParam();
  auto run = NewCard(key);
  run->Run();
  const std::string actual = Render(*run, key);
  const std::string path = GoldenPath(key);
  if (std::getenv("SMFORMAT_UPDATE_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << actual;
    GTEST_SKIP() << "rewrote " << path;
  }
  const std::string expected = ReadFile(path);
  ASSERT_FALSE(expected.empty()) << "missing golden file " << path;
  EXPECT_EQ(expected, actual);
}

// The eight standard capacities, three computed layouts, and a card whose
// partition is too large for FAT16 (its MBR is written, its boot sector is not).
INSTANTIATE_TEST_SUITE_P(Cards, GoldenLayoutTest,
                         ::testing::Values(2000u, 4000u, 8000u, 16000u, 32000u, 64000u, 128000u, 256000u, 24000u,
                                           96000u, 300000u, 4195000u),
                         [](const auto& info) { return "Key" + std::to_string(info.param); });

}  // namespace
