// Failed writes, failed read-backs and read-backs that differ, with the
// results, messages and remaining writes that follow.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/fat/fat_run.h"

namespace {

constexpr const char* kMbrDiffers = "Mbr is different between write and read!";
constexpr const char* kMbrReadFails = "Read Mbr fail after write Mbr";
constexpr const char* kBootDiffers = "Boot sector is different between write and read";
constexpr const char* kBootReadFails = "Read boot sector fail after write";
constexpr const char* kFat1Differs = "FAT1 is different between write and read";
constexpr const char* kFat1ReadFails = "Read FAT1 fail after write";
constexpr const char* kFat2Differs = "FAT2 is different between write and read";
constexpr const char* kFat2ReadFails = "Read FAT2 fail after write";

// Many differing bytes still give one message for the sector.
const std::vector<std::size_t> kManyBytes{0, 1, 2, 3, 100, 446, 510, 511};

struct FailureCase {
  const char* name;
  std::uint32_t key;
  std::function<void(MemoryReader&)> inject;
  int mbrResult;
  int bootResult;  // FatRun::kNotCalled when WriteMbr failed
  std::vector<std::string> messages;
  std::string ops;
};

// K = 24000, computed: boot sector 32, FAT 1 at 33, FAT 2 at 80, zero fill 33-158.
const std::string kMbrOps = "W0 R0 W1-31";
const std::string kComputedOps = kMbrOps + " W32 R32 W33-158 W33 R33 W80 R80";
// K = 2000, table: boot sector 13, FAT 1 at 14, FAT 2 at 15, zero fill 14-31.
const std::string kTableOps = "W0-12 W13 W14-31 W14 W15";

const FailureCase kCases[] = {
    // Computed layout.
    {"MbrWriteFails", 24000, [](MemoryReader& r) { r.FailWrite(0); }, 0, FatRun::kNotCalled, {}, "W0"},
    {"MbrReadFails", 24000, [](MemoryReader& r) { r.FailRead(0); }, 0, FatRun::kNotCalled, {kMbrReadFails}, kMbrOps},
    {"MbrDiffers",
     24000,
     [](MemoryReader& r) { r.CorruptRead(0, kManyBytes); },
     0,
     FatRun::kNotCalled,
     {kMbrDiffers},
     kMbrOps},
    {"MbrDiffersInOneByte",
     24000,
     [](MemoryReader& r) { r.CorruptRead(0, {453}); },
     0,
     FatRun::kNotCalled,
     {kMbrDiffers},
     kMbrOps},
    {"ZeroFillWritesFail",
     24000,
     [](MemoryReader& r) {
       for (std::uint16_t s : {1, 31, 34, 79, 158}) r.FailWrite(s);
       r.FailWrite(33, 1);
       r.FailWrite(80, 1);
     },
     1,
     1,
     {},
     kComputedOps},
    {"BootWriteFails", 24000, [](MemoryReader& r) { r.FailWrite(32); }, 1, 0, {}, kMbrOps + " W32"},
    {"BootReadFails", 24000, [](MemoryReader& r) { r.FailRead(32); }, 1, 0, {kBootReadFails}, kComputedOps},
    {"BootDiffers", 24000, [](MemoryReader& r) { r.CorruptRead(32, kManyBytes); }, 1, 0, {kBootDiffers}, kComputedOps},
    {"Fat1WriteFails", 24000, [](MemoryReader& r) { r.FailWrite(33, 2); }, 1, 0, {}, kMbrOps + " W32 R32 W33-158 W33"},
    {"Fat1ReadFails", 24000, [](MemoryReader& r) { r.FailRead(33); }, 1, 0, {kFat1ReadFails}, kComputedOps},
    {"Fat1Differs", 24000, [](MemoryReader& r) { r.CorruptRead(33, kManyBytes); }, 1, 0, {kFat1Differs}, kComputedOps},
    {"Fat2WriteFails",
     24000,
     [](MemoryReader& r) { r.FailWrite(80, 2); },
     1,
     0,
     {},
     kMbrOps + " W32 R32 W33-158 W33 R33 W80"},
    {"Fat2ReadFails", 24000, [](MemoryReader& r) { r.FailRead(80); }, 1, 0, {kFat2ReadFails}, kComputedOps},
    {"Fat2Differs", 24000, [](MemoryReader& r) { r.CorruptRead(80, kManyBytes); }, 1, 0, {kFat2Differs}, kComputedOps},
    {"EveryBootReadBackWrong",
     24000,
     [](MemoryReader& r) {
       r.CorruptRead(32, kManyBytes);
       r.FailRead(33);
       r.CorruptRead(80, kManyBytes);
     },
     1,
     0,
     {kBootDiffers, kFat1ReadFails, kFat2Differs},
     kComputedOps},
    // Table layout: nothing is read back and no message is shown.
    {"TableMbrWriteFails", 2000, [](MemoryReader& r) { r.FailWrite(0); }, 0, FatRun::kNotCalled, {}, "W0"},
    {"TableZeroFillWritesFail",
     2000,
     [](MemoryReader& r) {
       for (std::uint16_t s : {1, 12, 16, 31}) r.FailWrite(s);
       r.FailWrite(14, 1);
       r.FailWrite(15, 1);
     },
     1,
     1,
     {},
     kTableOps},
    {"TableBootWriteFails", 2000, [](MemoryReader& r) { r.FailWrite(13); }, 1, 0, {}, "W0-12 W13"},
    {"TableFat1WriteFails", 2000, [](MemoryReader& r) { r.FailWrite(14, 2); }, 1, 0, {}, "W0-12 W13 W14-31 W14"},
    {"TableFat2WriteFails", 2000, [](MemoryReader& r) { r.FailWrite(15, 2); }, 1, 0, {}, kTableOps},
    {"TableReadsWouldFail",
     2000,
     [](MemoryReader& r) {
       for (std::uint16_t s = 0; s < 32; ++s) r.FailRead(s);
     },
     1,
     1,
     {},
     kTableOps},
};

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, ResultsMessagesAndRemainingWrites) {
  const FailureCase& c = GetParam();
  auto run = NewCard(c.key);
  c.inject(run->reader);
  run->Run();
  EXPECT_EQ(run->mbrResult, c.mbrResult);
  EXPECT_EQ(run->bootResult, c.bootResult);
  std::vector<HostMessage> expected;
  for (const std::string& text : c.messages) expected.push_back(PlainErrorBox(text));
  EXPECT_EQ(run->host.Messages(), expected);
  EXPECT_EQ(OpSummary(run->reader.Calls()), Ops(c.ops));
}

INSTANTIATE_TEST_SUITE_P(Faults, FailureTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// FAT 2 receives the sector as built, not what FAT 1 read back as.
TEST(FailureTest, Fat2GetsTheBuiltSectorAfterFat1ReadBackFails) {
  for (bool corrupt : {false, true}) {
    auto run = NewCard(24000);
    if (corrupt) {
      run->reader.CorruptRead(33, kManyBytes);
    } else {
      run->reader.FailRead(33);
    }
    run->Run();
    std::vector<std::uint8_t> expected(512, 0);
    expected[0] = 0xF8;
    expected[1] = expected[2] = expected[3] = 0xFF;
    EXPECT_EQ(WrittenData(run->reader, 80, 2), expected) << (corrupt ? "corrupt" : "read fails");
  }
}

}  // namespace
