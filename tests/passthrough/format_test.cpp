// The whole format through the pass-through backend, against the same format
// through the simulated backend.
#include <atomic>
#include <optional>
#include <ostream>
#include <string>

#include "engine/byte_order.h"
#include "engine/fat_layout.h"
#include "engine/low_level_format.h"
#include "sim/card_tools.h"
#include "sim/sim_reader_device.h"
#include "tests/passthrough/passthrough_bench.h"

namespace {

using pttest::BackendError;

struct FormatCase {
  const char* name;
  sim::CardGeometry geometry;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

sim::FaultPlan FactoryBadBlocks() {
  sim::FaultPlan plan;
  plan.factoryBadBlocks = {{0, 0}, {0, 100}};
  return plan;
}

// A card that has seen use: written all over, no CIS, two factory bad blocks.
std::unique_ptr<sim::Card> UsedCard(const sim::CardGeometry& geometry) {
  return simtest::MakeCard(geometry, FactoryBadBlocks(), false, sim::Fill::Random);
}

// The logical image holds an MBR whose partition starts with a FAT boot
// sector of the partition's size.
void ExpectFatVolume(sim::Card& card) {
  const sim::LogicalImage image = sim::ExportLogical(card);
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
                      FormatCase{"TwoUnitsComputedLayout", sim::CardGeometry{{{1024, 32}, {512, 16}}}}),
    [](const auto& info) { return std::string(info.param.name); });

// The card or the reader goes during a format, with the volume unlocked or
// locked: a command fails from the n-th call of an opcode on, or the card is
// pulled after n commands; later opens fail with the given reason, if any.
// The first command that meets it ends the format with the card-gone
// message, after one failed command's pause (two when the locked handle went
// stale with the card: the volume is opened and locked again to find the
// slot empty). The backend's open-failure box comes once.
struct GoneCase {
  const char* name;
  bool locked;
  std::uint8_t failingOpcode;
  std::uint32_t failsFrom;
  std::optional<std::uint32_t> pulledAfter;
  DWORD openError;  // 0: opens work
  std::vector<HostMessage> messages;
  std::uint64_t slept;
};

void PrintTo(const GoneCase& c, std::ostream* os) { *os << c.name; }

const HostMessage kCardOut =
    ErrorBox("The card was taken out of the reader during the format. Put it back and format it again.");
const HostMessage kReaderOut =
    ErrorBox("The reader was unplugged during the format. Plug it in again and format the card again.");

class CardGone : public pttest::PassThroughBench, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(CardGone, EndsTheFormatAtTheFirstCommandThatMeetsIt) {
  sim::Reader& reader = FindReaderOnE();
  if (GetParam().locked) {
    ASSERT_EQ(device.LockVolume(), 1);
  }
  if (GetParam().failingOpcode != 0)
    reader.Plan().commandFaults = {{GetParam().failingOpcode, {}, GetParam().failsFrom, true}};
  reader.Plan().removeAfterCommands = GetParam().pulledAfter;
  if (GetParam().openError != 0) volumes.FailOpensFrom('E', 1, GetParam().openError);
  const std::atomic<int> stop{0};
  EXPECT_EQ(LowLevelFormat(device, stop, host), 0);
  EXPECT_EQ(host.Messages(), GetParam().messages);
  EXPECT_EQ(host.TotalSleep(), GetParam().slept);
}

INSTANTIATE_TEST_SUITE_P(Cases, CardGone,
                         ::testing::Values(GoneCase{"ReaderUnpluggedAfterTheErasePass",
                                                    false,
                                                    0x28,
                                                    1,
                                                    {},
                                                    ERROR_FILE_NOT_FOUND,
                                                    {BackendError("WriteLBA: Open volume fail!"), kReaderOut},
                                                    1000 + 1000},
                                           GoneCase{"SlotEmptyDuringTheErasePass",
                                                    false,
                                                    0xEA,
                                                    40,
                                                    {},
                                                    ERROR_NOT_READY,
                                                    {BackendError("ReadPhySector: Open volume fail!"), kCardOut},
                                                    1000},
                                           GoneCase{"CardPulledWhileLocked", true, 0, 0, 40, 0, {kCardOut}, 2000},
                                           GoneCase{"ReaderUnpluggedWhileLocked",
                                                    true,
                                                    0,
                                                    0,
                                                    40,
                                                    ERROR_FILE_NOT_FOUND,
                                                    {BackendError("ReadPhySector: Open volume fail!"), kReaderOut},
                                                    1000}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
