// The whole format through the Linux backend, against the same format
// through the simulated backend.
#include <atomic>
#include <ostream>
#include <string>

#include "card/card_tools.h"
#include "engine/low_level_format.h"
#include "sim/sim_reader_device.h"
#include "tests/sgio/sgio_bench.h"

namespace {

using sgtest::BackendError;

struct FormatCase {
  const char* name;
  card::CardGeometry geometry;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

// A card that has seen use: written all over, no CIS, two factory bad blocks.
std::unique_ptr<card::Card> UsedCard(const card::CardGeometry& geometry) {
  card::FaultPlan plan;
  plan.factoryBadBlocks = {{0, 0}, {0, 100}};
  return simtest::MakeCard(geometry, plan, false, card::Fill::Random);
}

class FullFormat : public sgtest::SgBench, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FullFormat, WritesTheSameCardAsTheSimulatedBackend) {
  const std::atomic<int> stop{0};
  auto expectedCard = UsedCard(GetParam().geometry);
  sim::Reader simReader(*expectedCard);
  RecordingHost simHost;
  CSimReader simDevice(simHost, simReader);
  char found = 0;
  ASSERT_EQ(simDevice.FindDevice(found), 1);
  ASSERT_EQ(LowLevelFormat(simDevice, stop, simHost), 1) << ::testing::PrintToString(simHost.MessageTexts());

  system.AddSystemDisk("sda", 1 << 20);
  AddReader("sdb", UsedCard(GetParam().geometry));
  Attach("sdb");
  ASSERT_EQ(device.FindDevice(found), 1);
  EXPECT_EQ(LowLevelFormat(device, stop, host), 1) << ::testing::PrintToString(host.MessageTexts());

  EXPECT_TRUE(CardOf(0).Media().Bytes() == expectedCard->Media().Bytes()) << "raw card images differ";
  EXPECT_EQ(host.MessageTexts(), simHost.MessageTexts());
  EXPECT_EQ(host.ProgressPositions(), simHost.ProgressPositions());
  EXPECT_EQ(host.TotalSleep(), simHost.TotalSleep());
  EXPECT_TRUE(system.SgCallsTo("sda").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cards, FullFormat,
    ::testing::Values(FormatCase{"1MB", simtest::Standard("1M")}, FormatCase{"16MB", simtest::Standard("16M")},
                      FormatCase{"TwoUnitsComputedLayout", card::CardGeometry{{{1024, 32}, {512, 16}}}}),
    [](const auto& info) { return std::string(info.param.name); });

using Format = sgtest::SgBench;

// The card is pulled as the reader presents it anew after the erase pass:
// from then on every command meets NOT READY; the operator hears of the
// missing card once, and the format fails.
TEST_F(Format, CardPulledMidFormat) {
  sim::Reader& reader = ReaderOnSdb();
  reader.Plan().removeAfterCommands = reader.CommandCount() + 256 + 2;  // page reads and erases of a 1 MB card
  const std::atomic<int> stop{0};
  EXPECT_EQ(LowLevelFormat(device, stop, host), 0);
  const auto messages = host.Messages();
  ASSERT_FALSE(messages.empty());
  // 258 commands end half-way through the erase pass, which ends at the
  // first command that meets the empty slot.
  EXPECT_EQ(messages.back(), ErrorBox(CardGoneText(CommandFault::NoMedium)));
  EXPECT_EQ(std::count(messages.begin(), messages.end(), BackendError("ErasePhyBlk: No card in the reader!")) +
                std::count(messages.begin(), messages.end(), BackendError("ReadPhySector: No card in the reader!")) +
                std::count(messages.begin(), messages.end(), BackendError("WriteRedundant: No card in the reader!")) +
                std::count(messages.begin(), messages.end(), BackendError("FormatEnd: No card in the reader!")),
            1);
  EXPECT_TRUE(device.Met(sgio::Fault::NoMedium));
}

}  // namespace
