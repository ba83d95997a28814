// The whole format through the ASPI backend and the test layer, against the
// same format through the simulated backend: both cards end byte for byte
// the same.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>

#include "engine/low_level_format.h"
#include "sim/sim_reader_device.h"
#include "tests/aspi/aspi_bench.h"
#include "tests/sim/sim_bench.h"

namespace {

using aspitest::kReaderId;

std::vector<char> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A card that has seen use: written all over, no CIS, two factory bad blocks.
std::string UsedCardImage(const std::string& path, const char* size) {
  card::CreateOptions options;
  options.geometry = simtest::Standard(size);
  options.plan.factoryBadBlocks = {{0, 0}, {0, 100}};
  options.withCis = false;
  options.fill = card::Fill::Random;
  const card::CardOpen made = card::CreateCardImage(path, options);
  EXPECT_TRUE(made) << made.error;
  return path;
}

class FullFormat : public aspitest::AspiBench, public ::testing::WithParamInterface<const char*> {};

TEST_P(FullFormat, WritesTheSameCardAsTheSimulatedBackend) {
  const std::atomic<int> stop{0};
  const std::string expectedPath = UsedCardImage(simtest::ScratchPath("expected.img"), GetParam());
  const std::string cardPath = UsedCardImage(simtest::ScratchPath("card.img"), GetParam());

  RecordingHost simHost;
  {
    card::CardOpen expected = card::OpenCardImage(expectedPath);
    ASSERT_TRUE(expected) << expected.error;
    sim::Reader simReader(*expected.card);
    CSimReader simDevice(simHost, simReader);
    char found = 0;
    ASSERT_EQ(simDevice.FindDevice(found), 1);
    ASSERT_EQ(LowLevelFormat(simDevice, stop, simHost), 1) << ::testing::PrintToString(simHost.MessageTexts());
  }

  ASSERT_TRUE(layer.AttachReader(0, 2, 0, cardPath.c_str()));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E'});
  char letter = 0;
  ASSERT_EQ(device.FindDevice(letter), 1);
  Forget();
  EXPECT_EQ(LowLevelFormat(device, stop, host), 1) << ::testing::PrintToString(host.MessageTexts());
  layer.WaitIdle();
  layer.Reset(1);  // the layer lets go of the card's image file

  EXPECT_TRUE(FileBytes(cardPath) == FileBytes(expectedPath)) << "raw card images differ";
  EXPECT_EQ(host.MessageTexts(), simHost.MessageTexts());
  EXPECT_EQ(host.ProgressPositions(), simHost.ProgressPositions());
  EXPECT_EQ(host.TotalSleep(), simHost.TotalSleep());
  EXPECT_EQ(device.GetDriveLetter(), 'E');
}

INSTANTIATE_TEST_SUITE_P(Cards, FullFormat, ::testing::Values("1M", "16M"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
