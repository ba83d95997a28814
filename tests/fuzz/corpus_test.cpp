// The committed corpus of every fuzz target, replayed in every native build;
// each layout the writers accept is also checked with fsck.fat.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_targets.h"
#include "tests/support/fat_tools.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::vector<std::uint8_t>> Corpus(const std::string& target) {
  std::vector<std::vector<std::uint8_t>> inputs;
  for (const auto& entry : fs::directory_iterator(fs::path(SMFORMAT_FUZZ_CORPUS) / target)) {
    std::ifstream in(entry.path(), std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return inputs;
}

struct Target {
  const char* name;
  void (*run)(const std::uint8_t*, std::size_t);
};

class CorpusReplay : public ::testing::TestWithParam<Target> {};

TEST_P(CorpusReplay, EveryInputKeepsTheInvariants) {
  const auto inputs = Corpus(GetParam().name);
  ASSERT_FALSE(inputs.empty());
  for (const auto& input : inputs) GetParam().run(input.data(), input.size());
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay,
                         ::testing::Values(Target{"fault_plan", fuzz::FaultPlan}, Target{"reader", fuzz::Reader},
                                           Target{"image", fuzz::ImageOpener}, Target{"layout", fuzz::LayoutTarget},
                                           Target{"fat", fuzz::FatVolumeTarget}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LayoutCorpus, EveryWrittenLayoutIsCleanForFsck) {
  TempDir dir;
  int written = 0;
  for (const auto& input : Corpus("layout")) {
    const fuzz::LayoutRun run = fuzz::Layout(input.data(), input.size());
    if (!run.written) continue;
    ++written;
    const fs::path partition = dir.Path() / ("partition-" + std::to_string(written) + ".img");
    {
      std::ofstream out(partition, std::ios::binary);
      out.write(reinterpret_cast<const char*>(run.partition.data()),
                static_cast<std::streamsize>(run.partition.size()));
    }
    fs::resize_file(partition, std::uint64_t{run.partitionSectors} * 512);  // the data area, unwritten
    SCOPED_TRACE("card of " + std::to_string(run.cardSectors) + " sectors");
    fat_tools::ExpectCleanFsck(partition, {});
    fs::remove(partition);
  }
  EXPECT_GT(written, 5) << "the corpus holds layouts that are written";
  std::cout << written << " layouts written\n";
}

}  // namespace
