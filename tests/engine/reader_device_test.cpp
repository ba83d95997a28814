#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/reader_device.h"
#include "tests/support/null_reader.h"
#include "tests/support/recording_host.h"

namespace {

std::vector<std::string> Slots(const CReaderDevice& reader) {
  std::vector<std::string> out;
  for (int i = 0; i < reader.deviceIdCount; ++i) out.emplace_back(reader.deviceIds[i]);
  return out;
}

struct IdListCase {
  const char* name;
  std::string text;
  std::vector<std::string> expected;
};

class DeviceIdListTest : public ::testing::TestWithParam<IdListCase> {};

TEST_P(DeviceIdListTest, ParsesIntoUpperCaseSlots) {
  RecordingHost host;
  host.deviceIdText = GetParam().text;
  NullReader reader(host);
  EXPECT_EQ(Slots(reader), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DeviceIdListTest,
    ::testing::Values(
        IdListCase{"Empty", "", {}}, IdListCase{"OnlySeparators", " ;,, ; ", {}},
        IdListCase{"LowerCaseIsUpperCased", "vid_1a2b&pid_00ff", {"VID_1A2B&PID_00FF"}},
        IdListCase{"MixedAndDoubledSeparators",
                   ";VID_0001&PID_0002,, VID_0003&PID_0004 ;;VID_0005&PID_0006 ",
                   {"VID_0001&PID_0002", "VID_0003&PID_0004", "VID_0005&PID_0006"}},
        IdListCase{"OverlongTokenIsSkippedNotCut", "VID_0001&PID_00023;VID_0003&PID_0004", {"VID_0003&PID_0004"}},
        IdListCase{"SeventeenCharactersFit", "ABCDEFGHIJKLMNOPQ", {"ABCDEFGHIJKLMNOPQ"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceIdList, KeepsAtMostFifty) {
  std::string text;
  for (int i = 0; i < 60; ++i) text += "VID_" + std::to_string(1000 + i) + "&PID_0001;";
  RecordingHost host;
  host.deviceIdText = text;
  NullReader reader(host);
  ASSERT_EQ(reader.deviceIdCount, 50);
  EXPECT_STREQ(reader.deviceIds[0], "VID_1000&PID_0001");
  EXPECT_STREQ(reader.deviceIds[49], "VID_1049&PID_0001");
}

TEST(DeviceIdList, ReadsOnlyTheFirst999Characters) {
  // 55 tokens of 18 characters (with separator) = 990; the 56th starts at 990
  // and is cut to 9 characters by the resource buffer.
  std::string text;
  for (int i = 0; i < 56; ++i) text += "VID_" + std::to_string(1000 + i) + "&PID_0001;";
  char ids[CReaderDevice::kMaxDeviceIds][CReaderDevice::kDeviceIdSlot] = {};
  EXPECT_EQ(ParseDeviceIdList(text, ids), 50);
}

// The resource buffer holds 999 characters: a token that ends at the 999th is
// whole, one that ends a character later loses its last character (a cut
// token of 16 characters still fits its slot), and one that starts after the
// cut is gone.
TEST(DeviceIdList, CutsTheTextAfter999Characters) {
  const std::string id = "VID_1234&PID_5678";
  const std::vector<std::pair<std::size_t, std::vector<std::string>>> cases = {
      {999 - id.size(), {"VID_1234&PID_5678"}}, {1000 - id.size(), {"VID_1234&PID_567"}}, {999, {}}};
  for (const auto& [blanks, expected] : cases) {
    char ids[CReaderDevice::kMaxDeviceIds][CReaderDevice::kDeviceIdSlot] = {};
    const int count = ParseDeviceIdList(std::string(blanks, ' ') + id, ids);
    std::vector<std::string> got(ids, ids + count);
    EXPECT_EQ(got, expected) << blanks << " blanks before the token";
  }
}

TEST(DeviceIdList, BuiltinListHasFiveWellFormedIds) {
  RecordingHost host;
  NullReader reader(host);
  ASSERT_EQ(reader.deviceIdCount, 5);
  for (const std::string& id : Slots(reader)) {
    ASSERT_EQ(id.size(), 17u) << id;
    EXPECT_EQ(id.substr(0, 4), "VID_") << id;
    EXPECT_EQ(id.substr(8, 5), "&PID_") << id;
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF", 4), 8u) << id;
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF", 13), std::string::npos) << id;
  }
}

struct CapacityCase {
  std::vector<std::pair<std::uint32_t, std::uint8_t>> units;  // totalSectors, sectorsPerBlock
  std::uint32_t key;
};

class CapacityKeyTest : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(CapacityKeyTest, SumsWholeThousandsPerUnit) {
  RecordingHost host;
  NullReader reader(host);
  for (const auto& [sectors, perBlock] : GetParam().units) {
    MediaUnit& unit = reader.geometry.units[reader.geometry.unitCount++];
    unit.tag = 1;
    unit.totalSectors = sectors;
    unit.sectorsPerBlock = perBlock;
  }
  std::uint32_t key = 7, size = 7;
  EXPECT_EQ(reader.GetCapacity(&key, &size), 1);
  EXPECT_EQ(key, GetParam().key);
  EXPECT_EQ(size, 512u);
  EXPECT_EQ(reader.GetCapacity(nullptr, nullptr), 1);
}

INSTANTIATE_TEST_SUITE_P(Keys, CapacityKeyTest,
                         ::testing::Values(CapacityCase{{{32768, 32}}, 32000}, CapacityCase{{{4096, 16}}, 4000},
                                           CapacityCase{{{8192, 16}}, 8000}, CapacityCase{{{2048, 8}}, 2000},
                                           CapacityCase{{{1000, 8}}, 0}, CapacityCase{{}, 0},
                                           CapacityCase{{{32768, 32}, {32768, 32}}, 64000},
                                           CapacityCase{{{262144, 32}}, 256000},
                                           CapacityCase{{{3072, 16}, {1023, 8}}, 3000}));

TEST(Geometry, PartitionSectorsIsTrustedOnlyOnceSet) {
  RecordingHost host;
  NullReader reader(host);
  EXPECT_FALSE(reader.PartitionSectorsSet());
  EXPECT_EQ(reader.SetPartitionSectors(31968), 1);
  EXPECT_TRUE(reader.PartitionSectorsSet());
  EXPECT_EQ(reader.geometry.partitionSectors, 31968u);
}

TEST(Geometry, BaseDefaultsSucceedWithoutTouchingTheCard) {
  RecordingHost host;
  NullReader reader(host);
  EXPECT_EQ(reader.UnlockVolume(), 1);
  EXPECT_EQ(reader.LockVolume(), 1);
  EXPECT_EQ(reader.Reserved(), 1);
  EXPECT_EQ(reader.openFlag, 0);
  EXPECT_EQ(reader.volumeHandle, nullptr);
}

}  // namespace
