// The logical image the writer leaves on a card, checked by real tools:
// fsck.fat on the partition, mdir and an mcopy round trip on the image, and
// sfdisk's reading of the partition table. A missing tool is a failure.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fat/fat_run.h"

namespace fs = std::filesystem;

namespace {

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

// The tool's full path, looked up in PATH and the system directories
// (fsck.fat and sfdisk live in sbin); empty when it is not installed.
std::string FindTool(const std::string& name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::istringstream in(dirs);
  std::string dir;
  while (std::getline(in, dir, ':')) {
    const std::string path = dir + "/" + name;
    if (!dir.empty() && access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

struct Result {
  int status = -1;
  std::string output;
};

Result RunTool(const std::string& name, const std::string& arguments) {
  const std::string tool = FindTool(name);
  if (tool.empty()) {
    ADD_FAILURE() << name << " is not installed; the FAT image checks need it";
    return {};
  }
  const std::string command = "MTOOLS_SKIP_CHECK=1 " + tool + " " + arguments + " 2>&1";
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return result;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

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

// Copies the partition out of a whole-card image file, keeping it sparse.
void ExtractPartition(const fs::path& image, std::uint32_t start, std::uint32_t size, const fs::path& path) {
  std::ifstream in(image, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(start) * 512);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(64 * 1024);
    for (std::uintmax_t done = 0, total = std::uintmax_t{size} * 512; done < total;) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uintmax_t>(chunk.size(), total - done));
      in.read(chunk.data(), static_cast<std::streamsize>(want));
      bool zero = true;
      for (std::size_t i = 0; i < want && zero; ++i) zero = chunk[i] == 0;
      if (!zero) {
        out.seekp(static_cast<std::streamoff>(done));
        out.write(chunk.data(), static_cast<std::streamsize>(want));
      }
      done += want;
    }
  }
  fs::resize_file(path, std::uintmax_t{size} * 512);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The boot sector's volume label is eleven zero bytes (no label), which
// fsck.fat reports as an invalid label and offers to blank; that notice, and
// only that one, is not a fault of the volume.
bool IsLabelNotice(const std::string& line) {
  return line == "Label '' stored in boot sector is not valid." || line == "  Auto-removing label from boot sector." ||
         line.empty() || line == "Leaving filesystem unchanged.";
}

// fsck.fat -n prints its version line and a one-line summary, and nothing
// else, on a sound volume.
// `summary` lists fragments the summary line must hold.
void ExpectCleanFsck(const fs::path& partition, const std::vector<std::string>& summary) {
  const Result fsck = RunTool("fsck.fat", "-n " + Quote(partition));
  std::vector<std::string> lines;
  bool labelNotice = false;
  std::istringstream in(fsck.output);
  for (std::string line; std::getline(in, line);) {
    if (IsLabelNotice(line)) {
      labelNotice = labelNotice || !line.empty();
    } else {
      lines.push_back(line);
    }
  }
  EXPECT_TRUE(fsck.status == 0 || (fsck.status == 1 && labelNotice)) << fsck.output;
  ASSERT_EQ(lines.size(), 2u) << fsck.output;
  for (const std::string& part : summary) EXPECT_NE(lines[1].find(part), std::string::npos) << fsck.output;
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
