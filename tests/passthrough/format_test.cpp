// The whole format through the pass-through backend, against the same format
// through the simulated backend.
#include <atomic>
#include <ostream>
#include <string>

#include "card/card_tools.h"
#include "engine/byte_order.h"
#include "engine/fat_layout.h"
#include "engine/low_level_format.h"
#include "sim/sim_reader_device.h"
#include "tests/passthrough/passthrough_bench.h"

namespace {

using pttest::BackendError;

struct FormatCase {
  const char* name;
  card::CardGeometry geometry;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

card::FaultPlan FactoryBadBlocks() {
  card::FaultPlan plan;
  plan.factoryBadBlocks = {{0, 0}, {0, 100}};
  return plan;
}

// A card that has seen use: written all over, no CIS, two factory bad blocks.
std::unique_ptr<card::Card> UsedCard(const card::CardGeometry& geometry) {
  return simtest::MakeCard(geometry, FactoryBadBlocks(), false, card::Fill::Random);
}

// The logical image holds an MBR whose partition starts with a FAT boot
// sector of the partition's size.
void ExpectFatVolume(card::Card& card) {
  const card::LogicalImage image = card::ExportLogical(card);
  ASSERT_EQ(image.error, "");
  const std::uint8_t* mbr = image.bytes.data();
  EXPECT_EQ(LoadLe16(mbr + MbrOffset::kSignature), 0xAA55);
  const std::uint8_t* entry = mbr + MbrOffset::kPartitionEntry;
  EXPECT_NE(entry[PartitionEntryOffset::kType], 0);
  const std::uint32_t start = LoadLe32(entry + PartitionEntryOffset::kFirstSector);
  const std::uint32_t sectors = LoadLe32(entry + PartitionEntryOffset::kSectorCount);
  ASSERT_LT(std::uint64_t{start} * kSectorSize, image.bytes.size());
  const std::uint8_t* boot = mbr + std::size_t{start} * kSectorSize;
  EXPECT_EQ(boot[BootSectorOffset::kJump], 0xEB);
  EXPECT_EQ(LoadLe16(boot + BootSectorOffset::kSignature), 0xAA55);
  EXPECT_EQ(LoadLe16(boot + BootSectorOffset::kBytesPerSector), kSectorSize);
  EXPECT_EQ(LoadLe32(boot + BootSectorOffset::kHiddenSectors), start);
  const std::uint16_t small = LoadLe16(boot + BootSectorOffset::kTotalSectors16);
  EXPECT_EQ(small != 0 ? small : LoadLe32(boot + BootSectorOffset::kTotalSectors32), sectors);
}

class FullFormat : public pttest::PassThroughBench, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FullFormat, WritesTheSameCardAsTheSimulatedBackend) {
  const std::atomic<int> stop{0};

  auto expectedCard = UsedCard(GetParam().geometry);
  sim::Reader simReader(*expectedCard);
  RecordingHost simHost;
  CSimReader simDevice(simHost, simReader);
  char found = 0;
  ASSERT_EQ(simDevice.FindDevice(found), 1);
  ASSERT_EQ(LowLevelFormat(simDevice, stop, simHost), 1) << ::testing::PrintToString(simHost.MessageTexts());

  volumes.AddSystemDisk('C');
  AddReader('E', UsedCard(GetParam().geometry));
  ASSERT_EQ(device.FindDevice(found), 1);
  EXPECT_EQ(LowLevelFormat(device, stop, host), 1) << ::testing::PrintToString(host.MessageTexts());

  EXPECT_TRUE(CardOf(0).Media().Bytes() == expectedCard->Media().Bytes()) << "raw card images differ";
  EXPECT_EQ(host.MessageTexts(), simHost.MessageTexts());
  EXPECT_EQ(host.ProgressPositions(), simHost.ProgressPositions());
  EXPECT_EQ(host.TotalSleep(), simHost.TotalSleep());
  EXPECT_EQ(device.volumeHandle, nullptr) << "the format ends by dropping the handle";
  ExpectFatVolume(CardOf(0));
}

INSTANTIATE_TEST_SUITE_P(
    Cards, FullFormat,
    ::testing::Values(FormatCase{"1MB", simtest::Standard("1M")}, FormatCase{"16MB", simtest::Standard("16M")},
                      FormatCase{"TwoUnitsComputedLayout", card::CardGeometry{{{1024, 32}, {512, 16}}}}),
    [](const auto& info) { return std::string(info.param.name); });

using Format = pttest::PassThroughBench;

const HostMessage kCardOut =
    ErrorBox("The card was taken out of the reader during the format. Put it back and format it again.");

// The card is pulled as the reader presents it anew after the erase pass: the
// read of sector 0 fails, and from then on the volume is gone. The next
// command reports that it cannot reopen the volume, once, and the format
// ends with the card gone.
TEST_F(Format, CardPulledMidFormat) {
  volumes.AddSystemDisk('C');
  sim::Reader& reader = AddReader('E');
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  reader.Plan().commandFaults = {{0x28, std::nullopt, 1, true}};
  volumes.FailOpensFrom('E', 2, ERROR_NOT_READY);
  const std::atomic<int> stop{0};
  EXPECT_EQ(LowLevelFormat(device, stop, host), 0);
  EXPECT_EQ(host.Messages(), (std::vector<HostMessage>{BackendError("WriteLBA: Open volume fail!"), kCardOut}));
  EXPECT_EQ(device.volumeHandle, nullptr);
}

// Pulled during the erase pass: the second try of the failed read, the first
// command after it, cannot reopen the volume, whose reader then says that
// its slot is empty; the format ends there, after the one failed command's
// pause.
TEST_F(Format, CardPulledDuringTheErasePassIsReportedOnce) {
  sim::Reader& reader = AddReader('E');
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  reader.Plan().commandFaults = {{0xEA, std::nullopt, 40, true}};  // the 40th page read fails ...
  volumes.FailOpensFrom('E', 2, ERROR_NOT_READY);                  // ... and the slot is empty
  const std::atomic<int> stop{0};
  EXPECT_EQ(LowLevelFormat(device, stop, host), 0);
  EXPECT_EQ(host.Messages(), (std::vector<HostMessage>{BackendError("ReadPhySector: Open volume fail!"), kCardOut}));
  EXPECT_EQ(host.TotalSleep(), 1000u);
}

}  // namespace
