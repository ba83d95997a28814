#include "transport/reader_commands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// --- Command blocks -----------------------------------------------------------

struct BuilderCase {
  const char* name;
  ReaderCommand command;
  std::vector<std::uint8_t> cdb;  // the first cdbLength bytes; the rest of the block must be zero
  DataDirection direction;
  std::uint32_t dataLength;
};

class BuilderTest : public ::testing::TestWithParam<BuilderCase> {};

TEST_P(BuilderTest, BuildsTheBlockByteForByte) {
  const BuilderCase& c = GetParam();
  ASSERT_EQ(c.command.cdbLength, c.cdb.size());
  std::vector<std::uint8_t> whole(ReaderCommand::kMaxCdb, 0);
  std::copy(c.cdb.begin(), c.cdb.end(), whole.begin());
  EXPECT_EQ(std::vector<std::uint8_t>(c.command.cdb.begin(), c.command.cdb.end()), whole);
  EXPECT_EQ(c.command.direction, c.direction);
  EXPECT_EQ(c.command.dataLength, c.dataLength);
}

// A receiver that checks blocks against the command table accepts every block built here.
TEST_P(BuilderTest, AgreesWithTheCommandTable) {
  const ReaderCommand& command = GetParam().command;
  const CommandRow* row = FindCommandRow(command.cdb.data(), command.cdbLength);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->cdbLength, command.cdbLength);
  EXPECT_EQ(row->direction, command.direction);
  EXPECT_EQ(ExpectedDataLength(*row, command.cdb.data()), command.dataLength);
}

constexpr auto kNone = DataDirection::None;
constexpr auto kIn = DataDirection::In;
constexpr auto kOut = DataDirection::Out;

INSTANTIATE_TEST_SUITE_P(
    Commands, BuilderTest,
    ::testing::Values(
        BuilderCase{"Inquiry", InquiryCommand(), {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0}, kIn, 36},
        BuilderCase{"InquiryLonger", InquiryCommand(48), {0x12, 0, 0, 0, 48, 0, 0, 0, 0, 0, 0, 0}, kIn, 48},
        BuilderCase{"ReadLba", ReadLbaCommand(0x1234, 1), {0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 1, 0, 0, 0}, kIn, 512},
        BuilderCase{"ReadLbaLargest",
                    ReadLbaCommand(0xFFFF, 0xFFFF),
                    {0x28, 0, 0, 0, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0, 0, 0},
                    kIn,
                    0xFFFFu * 512},
        BuilderCase{
            "WriteLba", WriteLbaCommand(0x0102, 0x0304), {0x2A, 0, 0, 0, 1, 2, 0, 3, 4, 0, 0, 0}, kOut, 0x0304u * 512},
        BuilderCase{"UnLock", UnLockCommand(), {0xE6, 2, 0, 0, 0, 0}, kNone, 0},
        BuilderCase{"Lock", LockCommand(), {0xE6, 3, 0, 0, 0, 0}, kNone, 0},
        BuilderCase{"SetLbaOffsetOne", SetLbaOffsetCommand(1), {0xE6, 4, 0, 0, 0, 1}, kNone, 0},
        BuilderCase{"SetLbaOffsetTwoPow24", SetLbaOffsetCommand(1u << 24), {0xE6, 4, 1, 0, 0, 0}, kNone, 0},
        BuilderCase{
            "SetLbaOffsetAllBytes", SetLbaOffsetCommand(0xA1B2C3D4), {0xE6, 4, 0xA1, 0xB2, 0xC3, 0xD4}, kNone, 0},
        BuilderCase{"FormatEnd", FormatEndCommand(), {0xE6, 5, 0, 0, 0, 0}, kNone, 0},
        BuilderCase{"ReadMediaInfo", ReadMediaInfoCommand(), {0xE7, 0, 0, 0, 36, 0}, kIn, 36},
        BuilderCase{"GetDeviceState", GetDeviceStateCommand(), {0xE7, 1, 0, 0, 36, 0}, kIn, 1},
        BuilderCase{"ErasePhyBlk", ErasePhyBlkCommand(0, 300), {0xE8, 0, 0x01, 0x2C, 0, 0}, kNone, 0},
        BuilderCase{"ErasePhyBlkUnitMasked", ErasePhyBlkCommand(0xE3, 0xFFFF), {0xE8, 3, 0xFF, 0xFF, 0, 0}, kNone, 0},
        BuilderCase{"WriteRedundant", WriteRedundantCommand(2, 0x01020304), {0xE9, 2, 1, 2, 3, 4}, kOut, 16},
        BuilderCase{"ReadPhySector", ReadPhySectorCommand(1, 33), {0xEA, 1, 0, 0, 0, 0x21}, kIn, 528},
        BuilderCase{"ReadPhySectorUnit32Masked",
                    ReadPhySectorCommand(32, 0xFFFFFFFF),
                    {0xEA, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                    kIn,
                    528},
        BuilderCase{
            "WritePhySector", WritePhySectorCommand(31, 0x00ABCDEF), {0xEB, 31, 0, 0xAB, 0xCD, 0xEF}, kOut, 512},
        BuilderCase{"GetLunMap", GetLunMapCommand(), {0xEC, 0, 0, 0, 0, 0}, kIn, 1},
        BuilderCase{"GetCardType", GetCardTypeCommand(), {0xED, 0, 0, 0, 0, 0}, kIn, 1}),
    [](const ::testing::TestParamInfo<BuilderCase>& info) { return std::string(info.param.name); });

struct UnknownBlockCase {
  const char* name;
  std::uint8_t opcode;
  std::uint8_t byteOne;
};

class UnknownBlockTest : public ::testing::TestWithParam<UnknownBlockCase> {};

TEST_P(UnknownBlockTest, HasNoCommandRow) {
  const std::uint8_t block[6] = {GetParam().opcode, GetParam().byteOne, 0, 0, 0, 0};
  EXPECT_EQ(FindCommandRow(block, sizeof block), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, UnknownBlockTest,
    ::testing::Values(UnknownBlockCase{"ControlSubFunction0", 0xE6, 0},
                      UnknownBlockCase{"ControlSubFunction1", 0xE6, 1},
                      UnknownBlockCase{"ControlSubFunction6", 0xE6, 6}, UnknownBlockCase{"QuerySubFunction2", 0xE7, 2},
                      UnknownBlockCase{"UnitUpperBitsSet", 0xEA, 0x21},
                      UnknownBlockCase{"InquiryNonZeroByteOne", 0x12, 1},
                      UnknownBlockCase{"OpcodeBelowVendorRange", 0xE5, 0},
                      UnknownBlockCase{"OpcodeAboveVendorRange", 0xEE, 0}, UnknownBlockCase{"TestUnitReady", 0x00, 0}),
    [](const ::testing::TestParamInfo<UnknownBlockCase>& info) { return std::string(info.param.name); });

TEST(CommandTable, RefusesBlocksTooShortToName) {
  const std::uint8_t block[1] = {0xE6};
  EXPECT_EQ(FindCommandRow(block, 1), nullptr);
  EXPECT_EQ(FindCommandRow(nullptr, 6), nullptr);
}

// --- Media information reply ------------------------------------------------------

struct Record {
  std::size_t index;
  std::uint8_t tag;
  std::uint8_t blocksLog2;
  std::uint8_t pagesLog2;
};

struct ExpectedUnit {
  std::size_t index;
  std::uint8_t tag;
  std::uint32_t totalSectors;
  std::uint8_t sectorsPerBlock;
};

struct MediaInfoCase {
  const char* name;
  std::vector<Record> records;
  std::uint8_t unitCount;
  std::vector<ExpectedUnit> filled;  // every other entry keeps its earlier value
};

const MediaUnit kUntouched{0xAA, 0xDEADBEEF, 0x77};

class MediaInfoTest : public ::testing::TestWithParam<MediaInfoCase> {};

TEST_P(MediaInfoTest, Decodes) {
  std::array<std::uint8_t, kMediaInfoReplySize> reply{};
  for (const Record& r : GetParam().records) {
    std::uint8_t* record = &reply[r.index * kMediaInfoRecordSize];
    record[0] = r.tag;
    record[1] = record[2] = record[3] = 0x5A;  // never examined
    record[4] = r.blocksLog2;
    record[5] = r.pagesLog2;
  }
  MediaGeometry geometry;
  geometry.unitCount = 9;
  geometry.units.fill(kUntouched);
  geometry.partitionSectors = 1234;

  DecodeMediaInfo(reply, geometry);

  EXPECT_EQ(geometry.unitCount, GetParam().unitCount);
  EXPECT_EQ(geometry.partitionSectors, 1234u);
  std::array<MediaUnit, MediaGeometry::kUnitSlots> expected;
  expected.fill(kUntouched);
  for (const ExpectedUnit& u : GetParam().filled)
    expected[u.index] = MediaUnit{u.tag, u.totalSectors, u.sectorsPerBlock};
  for (std::size_t k = 0; k < expected.size(); ++k) {
    SCOPED_TRACE("unit " + std::to_string(k));
    EXPECT_EQ(geometry.units[k].tag, expected[k].tag);
    EXPECT_EQ(geometry.units[k].totalSectors, expected[k].totalSectors);
    EXPECT_EQ(geometry.units[k].sectorsPerBlock, expected[k].sectorsPerBlock);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, MediaInfoTest,
    ::testing::Values(
        MediaInfoCase{"AllEmpty", {}, 0, {}},
        MediaInfoCase{"TwoPresent", {{0, 1, 10, 5}, {1, 2, 10, 5}}, 2, {{0, 1, 32768, 32}, {1, 2, 32768, 32}}},
        MediaInfoCase{"NonContiguous", {{0, 1, 10, 5}, {2, 3, 9, 4}}, 2, {{0, 1, 32768, 32}, {2, 3, 8192, 16}}},
        MediaInfoCase{"LastRecordOnly", {{5, 0xFF, 8, 3}}, 1, {{5, 0xFF, 2048, 8}}},
        MediaInfoCase{"AllSix",
                      {{0, 1, 0, 0}, {1, 1, 1, 1}, {2, 1, 2, 2}, {3, 1, 3, 3}, {4, 1, 4, 4}, {5, 1, 5, 5}},
                      6,
                      {{0, 1, 1, 1}, {1, 1, 4, 2}, {2, 1, 16, 4}, {3, 1, 64, 8}, {4, 1, 256, 16}, {5, 1, 1024, 32}}},
        MediaInfoCase{"PagesLog2Seven", {{0, 1, 10, 7}}, 1, {{0, 1, 131072, 128}}},
        MediaInfoCase{"PagesLog2EightGivesZero", {{0, 1, 10, 8}}, 1, {{0, 1, 0, 0}}},
        MediaInfoCase{"PagesLog2HugeGivesZero", {{0, 1, 10, 255}}, 1, {{0, 1, 0, 0}}},
        MediaInfoCase{"BlocksLog2ThirtyOne", {{0, 1, 31, 0}}, 1, {{0, 1, 0x80000000u, 1}}},
        MediaInfoCase{"BlocksLog2ThirtyTwoGivesZero", {{0, 1, 32, 0}}, 1, {{0, 1, 0, 1}}},
        MediaInfoCase{"BlocksLog2HugeGivesZero", {{0, 1, 255, 5}}, 1, {{0, 1, 0, 32}}},
        MediaInfoCase{"LargestThatFits", {{0, 1, 24, 7}}, 1, {{0, 1, 0x80000000u, 128}}},
        MediaInfoCase{"PagesBeyond32BitsGiveZero", {{0, 1, 25, 7}}, 1, {{0, 1, 0, 128}}}),
    [](const ::testing::TestParamInfo<MediaInfoCase>& info) { return std::string(info.param.name); });

// --- Single-byte replies ------------------------------------------------------------

TEST(DeviceState, BitZeroAloneMeansWriteProtected) {
  EXPECT_TRUE(IsWriteProtected(0x01));
  EXPECT_TRUE(IsWriteProtected(0xFF));
  EXPECT_FALSE(IsWriteProtected(0xFE));
  EXPECT_FALSE(IsWriteProtected(0x00));
}

TEST(CardType, OnlyTwoIsSmartMedia) {
  EXPECT_TRUE(IsSmartMediaCard(2));
  for (int type : {0, 1, 3, 0x82, 0xFF}) EXPECT_FALSE(IsSmartMediaCard(static_cast<std::uint8_t>(type))) << type;
}

TEST(LunMap, CountsBitsThreeToSeven) {
  const std::pair<std::uint8_t, int> cases[] = {{0x18, 2}, {0x07, 0}, {0x00, 0}, {0x08, 1},
                                                {0x80, 1}, {0xF8, 5}, {0xFF, 5}, {0x0F, 1}};
  for (const auto& c : cases) EXPECT_EQ(CountLogicalUnits(c.first), c.second) << int{c.first};
}

// --- INQUIRY --------------------------------------------------------------------------

std::array<std::uint8_t, kInquiryReplySize> SupportedInquiry(std::uint8_t tailFill) {
  std::array<std::uint8_t, kInquiryReplySize> reply{};
  reply.fill(tailFill);
  reply[0] = 0x00;
  std::memcpy(&reply[kInquiryIdOffset], "Generic STORAGE DEVICE", kInquiryIdLength);
  return reply;
}

TEST(Inquiry, AcceptsTheIdWhateverTheBytesAfterIt) {
  for (int fill : {0x00, 0x20, 0x41, 0xFF}) {
    const auto reply = SupportedInquiry(static_cast<std::uint8_t>(fill));
    EXPECT_TRUE(IsSupportedInquiry(reply.data(), reply.size())) << fill;
  }
  auto reply = SupportedInquiry(0);
  std::memcpy(&reply[30], "9.99XY", 6);
  EXPECT_TRUE(IsSupportedInquiry(reply.data(), reply.size()));
  EXPECT_TRUE(IsSupportedInquiry(reply.data(), 30));
}

TEST(Inquiry, RefusesAnyOneIdByteInAnotherCase) {
  for (std::size_t i = 0; i < kInquiryIdLength; ++i) {
    auto reply = SupportedInquiry(0);
    reply[kInquiryIdOffset + i] ^= 0x20;  // letters change case; the blank becomes NUL
    EXPECT_FALSE(IsSupportedInquiry(reply.data(), reply.size())) << "byte " << kInquiryIdOffset + i;
  }
}

TEST(Inquiry, RefusesShortOrMissingReplies) {
  const auto reply = SupportedInquiry(0);
  EXPECT_FALSE(IsSupportedInquiry(reply.data(), 29));
  EXPECT_FALSE(IsSupportedInquiry(reply.data(), 0));
  EXPECT_FALSE(IsSupportedInquiry(nullptr, 36));
}

}  // namespace
