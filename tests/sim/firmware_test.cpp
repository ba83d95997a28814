#include <gtest/gtest.h>

#include <algorithm>

#include "card/card_tools.h"
#include "card/firmware.h"
#include "card/page_format.h"
#include "engine/byte_order.h"
#include "engine/low_level_format.h"
#include "engine/reader_device.h"
#include "sim/sim_reader_device.h"
#include "tests/sim/sim_bench.h"
#include "tests/support/recording_host.h"

namespace {

using simtest::MakeCard;
using simtest::Pattern;
using simtest::Send;
using simtest::Standard;

struct CapacityCase {
  const char* size;
  std::uint64_t sectors;
};

class PresentedCapacity : public ::testing::TestWithParam<CapacityCase> {};

// What the firmware presents equals the capacity key the engine computes
// from the media information the reader reports.
TEST_P(PresentedCapacity, EqualsTheEnginesCapacityKey) {
  auto card = MakeCard(Standard(GetParam().size));
  sim::Reader reader(*card);
  RecordingHost host;
  CSimReader device(host, reader);
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  std::uint32_t key = 0;
  device.GetCapacity(&key, nullptr);
  EXPECT_EQ(reader.Logical().LogicalSectors(), GetParam().sectors);
  EXPECT_EQ(key, GetParam().sectors);
}

INSTANTIATE_TEST_SUITE_P(StandardCards, PresentedCapacity,
                         ::testing::Values(CapacityCase{"1M", 2000}, CapacityCase{"2M", 4000}, CapacityCase{"4M", 8000},
                                           CapacityCase{"8M", 16000}, CapacityCase{"16M", 32000},
                                           CapacityCase{"32M", 64000}, CapacityCase{"64M", 128000},
                                           CapacityCase{"128M", 256000}),
                         [](const auto& info) { return std::string(info.param.size); });

std::vector<std::uint8_t> ReadSector(sim::Reader& reader, std::uint16_t sector) {
  std::vector<std::uint8_t> data(kSectorSize);
  EXPECT_EQ(Send(reader, ReadLbaCommand(sector, 1), data.data()), sim::kStatusGood);
  return data;
}

void WriteSector(sim::Reader& reader, std::uint16_t sector, std::vector<std::uint8_t> data) {
  ASSERT_EQ(Send(reader, WriteLbaCommand(sector, 1), data.data()), sim::kStatusGood);
}

TEST(Firmware, NeverWrittenSectorsReadAsErased) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  EXPECT_EQ(ReadSector(reader, 0), std::vector<std::uint8_t>(kSectorSize, 0xFF));
  EXPECT_EQ(ReadSector(reader, 1999), std::vector<std::uint8_t>(kSectorSize, 0xFF));
}

struct RoundTripCase {
  const char* name;
  card::CardGeometry geometry;
  std::vector<card::BlockRef> badBlocks;
};

class LogicalRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(LogicalRoundTrip, ImportedImageExportsUnchanged) {
  card::FaultPlan plan;
  plan.factoryBadBlocks = GetParam().badBlocks;
  auto card = MakeCard(GetParam().geometry, plan);
  const std::uint64_t sectors = card::LogicalSectorCount(GetParam().geometry);
  const auto image = Pattern(sectors * kSectorSize, 3);
  ASSERT_EQ(card::ImportLogical(*card, image), "");
  const card::LogicalImage exported = card::ExportLogical(*card);
  ASSERT_EQ(exported.error, "");
  EXPECT_TRUE(exported.bytes == image);
  const card::CardReport report = card::Inspect(*card);
  EXPECT_EQ(report.mappedBlocks, report.logicalBlocks);
  EXPECT_EQ(report.badBlocks, GetParam().badBlocks);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, LogicalRoundTrip,
    ::testing::Values(RoundTripCase{"OneMegabyte", Standard("1M"), {}},
                      RoundTripCase{"BadBlocksInTheZone", Standard("2M"), {{0, 3}, {0, 4}, {0, 200}, {0, 511}}},
                      RoundTripCase{"TwoZones", Standard("32M"), {{0, 1023}, {0, 1024}}},
                      RoundTripCase{"TwoUnits", card::CardGeometry{{{256, 8}, {512, 16}}}, {{1, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Firmware, RewritingASectorMovesItsBlockAndErasesTheOldOne) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  WriteSector(reader, 3, Pattern(kSectorSize, 1));
  const auto before = reader.Logical().Locate(0);
  ASSERT_TRUE(before);
  WriteSector(reader, 5, Pattern(kSectorSize, 2));
  const auto after = reader.Logical().Locate(0);
  ASSERT_TRUE(after);
  EXPECT_NE(after->block, before->block);
  EXPECT_TRUE(card->Media().IsErased(0, before->block));
  EXPECT_EQ(ReadSector(reader, 3), Pattern(kSectorSize, 1)) << "the other sectors are copied";
  EXPECT_EQ(ReadSector(reader, 5), Pattern(kSectorSize, 2));
  EXPECT_EQ(reader.Logical().MappedBlocks(), 1u);
}

// Every page of a written block carries the block address twice and the ECC
// of both halves of its data, the SmartMedia way.
TEST(Firmware, WrittenPagesCarryAddressAndEcc) {
  auto card = MakeCard(Standard("32M"));
  sim::Reader reader(*card);
  // Logical block 1000 is logical block 0 of the second zone.
  const std::uint16_t sector = 1000 * 32 + 7;
  const auto data = Pattern(kSectorSize, 9);
  WriteSector(reader, sector, data);
  const auto where = reader.Logical().Locate(1000);
  ASSERT_TRUE(where);
  EXPECT_GE(where->block, 1024u) << "stored in the second zone";
  for (std::uint32_t p = 0; p < 32; ++p) {
    const std::uint8_t* page = card->Media().Page(0, where->block * 32 + p);
    const std::uint8_t* area = page + card::kRedundantStart;
    const card::Ecc first = card::SmartMediaEcc(page);
    const card::Ecc second = card::SmartMediaEcc(page + 256);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(area[i], 0xFF) << "page " << p << " byte " << i;
    EXPECT_EQ(LoadBe16(area + 6), 0x1001) << "lba 0 of its zone, parity bit set";
    EXPECT_EQ(LoadBe16(area + 11), 0x1001);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), area + 8)) << "page " << p;
    EXPECT_TRUE(std::equal(first.begin(), first.end(), area + 13)) << "page " << p;
    if (p == 7) {
      EXPECT_TRUE(std::equal(data.begin(), data.end(), page));
    }
  }
}

TEST(Firmware, BadBlocksAndTheCisBlockAndThoseBeforeItAreNeverUsed) {
  card::FaultPlan plan;
  plan.factoryBadBlocks = {{0, 0}, {0, 1}, {0, 7}, {0, 100}};
  auto card = MakeCard(Standard("1M"), plan);
  const card::CardReport fresh = card::Inspect(*card);
  ASSERT_EQ(fresh.cisBlock, 2u);
  std::vector<std::uint8_t> untouched = card->Media().Bytes();
  untouched.resize(3 * 8 * kPageSize);
  // Fill the card twice over: every usable block gets used.
  ASSERT_EQ(card::ImportLogical(*card, Pattern(2000 * kSectorSize, 1)), "");
  ASSERT_EQ(card::ImportLogical(*card, Pattern(2000 * kSectorSize, 2)), "");
  const std::vector<std::uint8_t> after = card->Media().Bytes();
  EXPECT_TRUE(std::equal(untouched.begin(), untouched.end(), after.begin()))
      << "blocks 0 to 2 (bad, bad, CIS) are never written";
  for (std::uint32_t bad : {7u, 100u}) {
    for (std::uint32_t page = bad * 8; page < bad * 8 + 8; ++page) {
      const std::uint8_t* bytes = card->Media().Page(0, page);
      EXPECT_TRUE(std::all_of(bytes, bytes + 512, [](std::uint8_t b) { return b == 0xFF; })) << "bad block " << bad;
    }
  }
  const card::CardReport report = card::Inspect(*card);
  EXPECT_EQ(report.cisBlock, 2u);
  EXPECT_EQ(report.mappedBlocks, 250u);
}

TEST(Firmware, AZoneWithoutASpareBlockRefusesTheRewriteAndKeepsTheData) {
  // 256 blocks: the CIS block and five bad ones leave exactly the 250 the zone presents.
  card::FaultPlan plan;
  plan.factoryBadBlocks = {{0, 10}, {0, 20}, {0, 30}, {0, 40}, {0, 50}};
  auto card = MakeCard(Standard("1M"), plan);
  const auto image = Pattern(2000 * kSectorSize, 4);
  ASSERT_EQ(card::ImportLogical(*card, image), "");
  sim::Reader reader(*card);
  const std::vector<std::uint8_t> before = card->Media().Bytes();
  auto data = Pattern(kSectorSize, 5);
  EXPECT_EQ(Send(reader, WriteLbaCommand(12, 1), data.data()), sim::kStatusCheckCondition);
  EXPECT_TRUE(card->Media().Bytes() == before);
  EXPECT_TRUE(std::equal(image.begin() + 12 * 512, image.begin() + 13 * 512, ReadSector(reader, 12).begin()));
}

TEST(Firmware, MapIsRebuiltAfterPhysicalChangesBelowIt) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  WriteSector(reader, 0, Pattern(kSectorSize, 1));
  const auto where = reader.Logical().Locate(0);
  ASSERT_TRUE(where);
  ASSERT_EQ(Send(reader, ErasePhyBlkCommand(0, static_cast<std::uint16_t>(where->block))), sim::kStatusGood);
  EXPECT_EQ(ReadSector(reader, 0), std::vector<std::uint8_t>(kSectorSize, 0xFF));
  EXPECT_EQ(reader.Logical().MappedBlocks(), 0u);
}

// The format retires a block it cannot erase by clearing the status byte of
// its first page with WriteRedundant; the block keeps its data and address,
// but the firmware must pass over it, on the next scan and at once.
TEST(Firmware, PassesOverABlockRetiredThroughItsFirstPage) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  WriteSector(reader, 0, Pattern(kSectorSize, 1));
  const auto where = reader.Logical().Locate(0);
  ASSERT_TRUE(where);
  RedundantArea mark;
  mark.fill(0xFF);
  mark[5] = 0x00;
  ASSERT_EQ(Send(reader, WriteRedundantCommand(0, where->block * 8), mark.data()), sim::kStatusGood);
  EXPECT_EQ(ReadSector(reader, 0), std::vector<std::uint8_t>(kSectorSize, 0xFF)) << "the old data is gone";
  EXPECT_EQ(reader.Logical().MappedBlocks(), 0u);
  EXPECT_EQ(card::Firmware(card->Media()).MappedBlocks(), 0u) << "a fresh scan passes over it too";
  WriteSector(reader, 0, Pattern(kSectorSize, 2));
  EXPECT_NE(reader.Logical().Locate(0)->block, where->block) << "never used again";
}

TEST(Firmware, DuplicateAddressesMapTheFirstBlockOnly) {
  auto card = MakeCard(Standard("1M"));
  {
    sim::Reader reader(*card);
    WriteSector(reader, 0, Pattern(kSectorSize, 1));
  }
  // Copy the mapped block's first page, address and all, into block 200.
  const auto where = card::Firmware(card->Media()).Locate(0);
  ASSERT_TRUE(where);
  std::vector<std::uint8_t> page(528);
  ASSERT_TRUE(card->Media().ReadPage(0, where->block * 8, page.data()));
  page[0] ^= 0xFF;
  ASSERT_TRUE(card->Media().Program(0, 200 * 8, 0, page.data(), page.size()));
  card::Firmware firmware(card->Media());
  EXPECT_EQ(firmware.Locate(0)->block, std::min<std::uint32_t>(where->block, 200));
  EXPECT_EQ(firmware.MappedBlocks(), 1u);
}

}  // namespace

namespace {

// A good block whose first page cannot be read holds no CIS for the format
// (its scan and CIS writer pass over it, and it is marked bad), so the
// firmware passes over it too and never maps the CIS the format then writes
// into the next block.
TEST(Firmware, PassesOverAnUnreadableBlockWhenLookingForTheCis) {
  auto card = MakeCard(Standard("1M"), {}, /*withCis=*/false);
  card::FaultPlan plan;
  plan.unreadablePages = {{0, 0}};
  sim::Reader reader(*card, plan);
  RecordingHost host;
  CSimReader device(host, reader);
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  const std::atomic<int> stop{0};
  EXPECT_EQ(LowLevelFormat(device, stop, host), 1) << ::testing::PrintToString(host.MessageTexts());
  EXPECT_EQ(reader.Logical().CisBlock(), 1u);
  EXPECT_EQ(host.MessageTexts(), std::vector<std::string>{"1 block of the card could not be read and was marked bad."});
}

}  // namespace
