#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "card/card_tools.h"
#include "card/page_format.h"
#include "tests/sim/sim_bench.h"

namespace {

using simtest::MakeCard;
using simtest::Pattern;
using simtest::Send;
using simtest::Standard;

constexpr std::uint8_t kGood = sim::kStatusGood;
constexpr std::uint8_t kCheck = sim::kStatusCheckCondition;

// A command block as a transport hands it over, with room for the data phase.
struct Block {
  ReaderCommand command;
  std::vector<std::uint8_t> data;

  explicit Block(ReaderCommand c) : command(c), data(std::max<std::uint32_t>(c.dataLength, 1), 0x00) {}
  Block& Byte(std::size_t index, std::uint8_t value) {
    command.cdb[index] = value;
    return *this;
  }
  Block& Length(std::uint8_t cdbLength) {
    command.cdbLength = cdbLength;
    return *this;
  }
  Block& Direction(DataDirection direction) {
    command.direction = direction;
    return *this;
  }
  Block& DataLength(std::uint32_t length) {
    command.dataLength = length;
    data.resize(std::max<std::uint32_t>(length, 1));
    return *this;
  }
  std::uint8_t SendTo(sim::Reader& reader) {
    return reader.Execute(command.cdb.data(), command.cdbLength, command.direction, data.data(), command.dataLength);
  }
};

struct BadBlockCase {
  const char* name;
  std::function<Block()> make;
};

class RefusedCommandBlock : public ::testing::TestWithParam<BadBlockCase> {};

// A 1 MB card (one unit, 256 blocks of 8 pages, 2000 logical sectors) that
// holds data: a refused block must leave every byte of it as it was.
TEST_P(RefusedCommandBlock, GetsCheckConditionAndChangesNothing) {
  auto card = MakeCard(Standard("1M"), {}, true, card::Fill::Random);
  sim::Reader reader(*card);
  const std::vector<std::uint8_t> before = card->Media().Bytes();
  Block block = GetParam().make();
  EXPECT_EQ(block.SendTo(reader), kCheck);
  EXPECT_TRUE(card->Media().Bytes() == before);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, RefusedCommandBlock,
    ::testing::Values(
        BadBlockCase{
            "TestUnitReady",
            [] { return Block(GetCardTypeCommand()).Byte(0, 0x00).DataLength(0).Direction(DataDirection::None); }},
        BadBlockCase{"OpcodeE5", [] { return Block(FormatEndCommand()).Byte(0, 0xE5).Byte(1, 0); }},
        BadBlockCase{"OpcodeEE", [] { return Block(GetCardTypeCommand()).Byte(0, 0xEE); }},
        BadBlockCase{"ControlSubFunction0", [] { return Block(FormatEndCommand()).Byte(1, 0); }},
        BadBlockCase{"ControlSubFunction1", [] { return Block(FormatEndCommand()).Byte(1, 1); }},
        BadBlockCase{"QuerySubFunction2", [] { return Block(GetDeviceStateCommand()).Byte(1, 2); }},
        BadBlockCase{"EraseUnitBeyondTheCard", [] { return Block(ErasePhyBlkCommand(1, 5)); }},
        BadBlockCase{"EraseUnitInUpperBits", [] { return Block(ErasePhyBlkCommand(0, 5)).Byte(1, 0x20); }},
        BadBlockCase{"EraseBlockBeyondTheUnit", [] { return Block(ErasePhyBlkCommand(0, 256)); }},
        BadBlockCase{"EraseWithStrayByte", [] { return Block(ErasePhyBlkCommand(0, 5)).Byte(5, 1); }},
        BadBlockCase{"ProgramPageBeyondTheUnit", [] { return Block(WritePhySectorCommand(0, 2048)); }},
        BadBlockCase{"ProgramHugePage", [] { return Block(WritePhySectorCommand(0, 0x80000010)); }},
        BadBlockCase{"RedundantUnitBeyondTheCard", [] { return Block(WriteRedundantCommand(3, 8)); }},
        BadBlockCase{"ReadPageBeyondTheUnit", [] { return Block(ReadPhySectorCommand(0, 2048)); }},
        BadBlockCase{"ReadPageWith512Bytes", [] { return Block(ReadPhySectorCommand(0, 8)).DataLength(512); }},
        BadBlockCase{"ProgramWith528Bytes", [] { return Block(WritePhySectorCommand(0, 8)).DataLength(528); }},
        BadBlockCase{"ProgramAsDataIn", [] { return Block(WritePhySectorCommand(0, 8)).Direction(DataDirection::In); }},
        BadBlockCase{"EraseWithDataOut",
                     [] { return Block(ErasePhyBlkCommand(0, 5)).Direction(DataDirection::Out).DataLength(512); }},
        BadBlockCase{"WriteLbaAsDataIn", [] { return Block(WriteLbaCommand(0, 1)).Direction(DataDirection::In); }},
        BadBlockCase{"WriteLbaCountMismatch", [] { return Block(WriteLbaCommand(0, 2)).DataLength(512); }},
        BadBlockCase{"WriteLbaBeyondTheCard", [] { return Block(WriteLbaCommand(2000, 1)); }},
        BadBlockCase{"WriteLbaAcrossTheEnd", [] { return Block(WriteLbaCommand(1999, 2)); }},
        BadBlockCase{"WriteLbaHighSectorBytes", [] { return Block(WriteLbaCommand(0, 1)).Byte(2, 1); }},
        BadBlockCase{"WriteLbaDeclaredAsTen", [] { return Block(WriteLbaCommand(0, 1)).Length(10); }},
        BadBlockCase{"EraseDeclaredAsTwelve", [] { return Block(ErasePhyBlkCommand(0, 5)).Length(12); }},
        BadBlockCase{"FormatEndWithStrayByte", [] { return Block(FormatEndCommand()).Byte(3, 1); }},
        BadBlockCase{"MediaInfoAllocation35", [] { return Block(ReadMediaInfoCommand()).Byte(4, 35); }},
        BadBlockCase{"EmptyBlock", [] { return Block(FormatEndCommand()).Length(0); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Reader, RefusesAMissingDataBuffer) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  const ReaderCommand command = ReadPhySectorCommand(0, 0);
  EXPECT_EQ(reader.Execute(command.cdb.data(), command.cdbLength, command.direction, nullptr, command.dataLength),
            kCheck);
  EXPECT_EQ(reader.Execute(nullptr, 6, DataDirection::None, nullptr, 0), kCheck);
}

TEST(Reader, InquiryNamesASupportedReader) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  std::array<std::uint8_t, 36> reply{};
  ASSERT_EQ(Send(reader, InquiryCommand(), reply.data()), kGood);
  EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 30), "Generic STORAGE DEVICE");
  EXPECT_TRUE(IsSupportedInquiry(reply.data(), reply.size()));
  EXPECT_EQ(reply[0] & 0x1F, 0x00) << "direct-access device";
  EXPECT_EQ(reply[4], 31) << "additional length of a 36-byte reply";
}

struct MediaCase {
  const char* name;
  card::CardGeometry geometry;
};

class MediaInformation : public ::testing::TestWithParam<MediaCase> {};

TEST_P(MediaInformation, DecodesToTheCardsGeometry) {
  auto card = MakeCard(GetParam().geometry);
  sim::Reader reader(*card);
  std::array<std::uint8_t, 36> reply{};
  ASSERT_EQ(Send(reader, ReadMediaInfoCommand(), reply.data()), kGood);
  MediaGeometry geometry;
  DecodeMediaInfo(reply, geometry);
  ASSERT_EQ(geometry.unitCount, GetParam().geometry.units.size());
  for (std::size_t u = 0; u < geometry.unitCount; ++u) {
    EXPECT_NE(geometry.units[u].tag, 0);
    EXPECT_EQ(geometry.units[u].sectorsPerBlock, GetParam().geometry.units[u].pagesPerBlock);
    EXPECT_EQ(geometry.units[u].totalSectors, GetParam().geometry.units[u].Pages());
  }
}

INSTANTIATE_TEST_SUITE_P(Cards, MediaInformation,
                         ::testing::Values(MediaCase{"OneMegabyte", Standard("1M")},
                                           MediaCase{"SixteenMegabytes", Standard("16M")},
                                           MediaCase{"TwoUnits", card::CardGeometry{{{1024, 32}, {1024, 32}}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Reader, ReportsOneLogicalUnitAndASmartMediaCard) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  std::uint8_t lunMap = 0, cardType = 0, state = 0xFF;
  ASSERT_EQ(Send(reader, GetLunMapCommand(), &lunMap), kGood);
  ASSERT_EQ(Send(reader, GetCardTypeCommand(), &cardType), kGood);
  ASSERT_EQ(Send(reader, GetDeviceStateCommand(), &state), kGood);
  EXPECT_EQ(CountLogicalUnits(lunMap), 1);
  EXPECT_EQ(cardType, 2);
  EXPECT_FALSE(IsWriteProtected(state));
}

TEST(Reader, PhysicalPagesFollowTheNandRules) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  SectorBuffer first{};
  first.fill(0xF0);
  SectorBuffer second{};
  second.fill(0x3C);
  ASSERT_EQ(Send(reader, WritePhySectorCommand(0, 16), first.data()), kGood);
  ASSERT_EQ(Send(reader, WritePhySectorCommand(0, 16), second.data()), kGood);
  PageBuffer page{};
  ASSERT_EQ(Send(reader, ReadPhySectorCommand(0, 16), page.data()), kGood);
  EXPECT_EQ(page[0], 0x30) << "programming only clears bits";
  EXPECT_EQ(page[512], 0xFF);
  ASSERT_EQ(Send(reader, ErasePhyBlkCommand(0, 2)), kGood);
  ASSERT_EQ(Send(reader, ReadPhySectorCommand(0, 16), page.data()), kGood);
  EXPECT_TRUE(std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0xFF; }));
  RedundantArea bad{};
  bad.fill(0xFF);
  bad[5] = 0x00;
  ASSERT_EQ(Send(reader, WriteRedundantCommand(0, 17), bad.data()), kGood);
  EXPECT_EQ(Send(reader, ErasePhyBlkCommand(0, 2)), kCheck) << "a bad block stays bad";
  // A page that carries the mark is never programmed again; the block's
  // other pages still take the mark.
  EXPECT_EQ(Send(reader, WritePhySectorCommand(0, 17), first.data()), kCheck);
  EXPECT_EQ(Send(reader, WriteRedundantCommand(0, 18), bad.data()), kGood);
  EXPECT_TRUE(card->Media().IsBad(0, 2));
}

// --- Fault plans ----------------------------------------------------------

struct FaultCase {
  const char* name;
  std::function<void(card::FaultPlan&)> plan;
  std::function<void(sim::Reader&, card::Card&)> check;
};

class FaultPlanBehaviour : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultPlanBehaviour, Shows) {
  auto card = MakeCard(Standard("1M"));
  card::FaultPlan plan;
  GetParam().plan(plan);
  sim::Reader reader(*card, plan);
  GetParam().check(reader, *card);
}

std::uint8_t EraseBlock(sim::Reader& reader, std::uint16_t block) { return Send(reader, ErasePhyBlkCommand(0, block)); }

INSTANTIATE_TEST_SUITE_P(
    Plans, FaultPlanBehaviour,
    ::testing::Values(FaultCase{"WriteProtection", [](card::FaultPlan& p) { p.writeProtected = true; },
                                [](sim::Reader& reader, card::Card& card) {
                                  std::uint8_t state = 0;
                                  ASSERT_EQ(Send(reader, GetDeviceStateCommand(), &state), kGood);
                                  EXPECT_TRUE(IsWriteProtected(state));
                                  const std::vector<std::uint8_t> before = card.Media().Bytes();
                                  SectorBuffer sector{};
                                  RedundantArea area{};
                                  EXPECT_EQ(EraseBlock(reader, 5), kCheck);
                                  EXPECT_EQ(Send(reader, WritePhySectorCommand(0, 40), sector.data()), kCheck);
                                  EXPECT_EQ(Send(reader, WriteRedundantCommand(0, 40), area.data()), kCheck);
                                  EXPECT_EQ(Send(reader, WriteLbaCommand(0, 1), sector.data()), kCheck);
                                  EXPECT_EQ(Send(reader, ReadLbaCommand(0, 1), sector.data()), kGood);
                                  EXPECT_TRUE(card.Media().Bytes() == before);
                                }},
                      FaultCase{"UnreadablePage",
                                [](card::FaultPlan& p) {
                                  p.unreadablePages = {{0, 9}};
                                },
                                [](sim::Reader& reader, card::Card&) {
                                  PageBuffer page{};
                                  EXPECT_EQ(Send(reader, ReadPhySectorCommand(0, 9), page.data()), kCheck);
                                  EXPECT_EQ(Send(reader, ReadPhySectorCommand(0, 10), page.data()), kGood);
                                }},
                      FaultCase{"UnreadablePageUnderALogicalSector", [](card::FaultPlan&) {},
                                [](sim::Reader& reader, card::Card&) {
                                  SectorBuffer sector{};
                                  ASSERT_EQ(Send(reader, WriteLbaCommand(2, 1), sector.data()), kGood);
                                  const auto where = reader.Logical().Locate(0);
                                  reader.Plan().unreadablePages = {{0, where->block * 8 + 2}};
                                  EXPECT_EQ(Send(reader, ReadLbaCommand(2, 1), sector.data()), kCheck);
                                  EXPECT_EQ(Send(reader, ReadLbaCommand(3, 1), sector.data()), kGood);
                                }},
                      FaultCase{"FailingErase",
                                [](card::FaultPlan& p) {
                                  p.failingErase = {{0, 7}};
                                },
                                [](sim::Reader& reader, card::Card& card) {
                                  SectorBuffer sector{};
                                  ASSERT_EQ(Send(reader, WritePhySectorCommand(0, 56), sector.data()), kGood);
                                  EXPECT_EQ(EraseBlock(reader, 7), kCheck);
                                  EXPECT_FALSE(card.Media().IsErased(0, 7));
                                  EXPECT_EQ(EraseBlock(reader, 8), kGood);
                                }},
                      FaultCase{"FailingProgramIsAvoidedByTheFirmware",
                                [](card::FaultPlan& p) {
                                  p.failingProgram = {{0, 1}};
                                },
                                [](sim::Reader& reader, card::Card& card) {
                                  SectorBuffer sector{};
                                  EXPECT_EQ(Send(reader, WritePhySectorCommand(0, 8), sector.data()), kCheck);
                                  EXPECT_TRUE(card.Media().IsErased(0, 1));
                                  // The firmware would pick block 1 first (block 0 holds the CIS):
                                  // it retires it and stores the sector in the next block.
                                  auto data = Pattern(512, 1);
                                  ASSERT_EQ(Send(reader, WriteLbaCommand(0, 1), data.data()), kGood);
                                  EXPECT_EQ(reader.Logical().Locate(0)->block, 2u);
                                  EXPECT_TRUE(card.Media().IsBad(0, 1));
                                  std::vector<std::uint8_t> back(512);
                                  ASSERT_EQ(Send(reader, ReadLbaCommand(0, 1), back.data()), kGood);
                                  EXPECT_EQ(back, data);
                                }},
                      FaultCase{"CommandFailsAtItsThirdCallOnly",
                                [](card::FaultPlan& p) {
                                  p.commandFaults = {{0xE8, std::nullopt, 3, false}};
                                },
                                [](sim::Reader& reader, card::Card&) {
                                  std::vector<std::uint8_t> statuses;
                                  for (std::uint16_t b = 1; b <= 5; ++b) statuses.push_back(EraseBlock(reader, b));
                                  EXPECT_EQ(statuses, (std::vector<std::uint8_t>{kGood, kGood, kCheck, kGood, kGood}));
                                }},
                      FaultCase{"CommandFailsFromItsSecondCallOn",
                                [](card::FaultPlan& p) {
                                  p.commandFaults = {{0xE8, std::nullopt, 2, true}};
                                },
                                [](sim::Reader& reader, card::Card&) {
                                  std::vector<std::uint8_t> statuses;
                                  for (std::uint16_t b = 1; b <= 4; ++b) statuses.push_back(EraseBlock(reader, b));
                                  EXPECT_EQ(statuses, (std::vector<std::uint8_t>{kGood, kCheck, kCheck, kCheck}));
                                }},
                      FaultCase{"SubFunctionFaultCountsOnlyItsSubFunction",
                                [](card::FaultPlan& p) {
                                  p.commandFaults = {{0xE6, std::uint8_t{5}, 2, false}};
                                },
                                [](sim::Reader& reader, card::Card&) {
                                  EXPECT_EQ(Send(reader, FormatEndCommand()), kGood);
                                  EXPECT_EQ(Send(reader, LockCommand()), kGood);
                                  EXPECT_EQ(Send(reader, UnLockCommand()), kGood);
                                  EXPECT_EQ(Send(reader, FormatEndCommand()), kCheck);
                                  EXPECT_EQ(reader.MediaChanges(), 1u);
                                }},
                      FaultCase{"CardRemovedAfterTheSecondCommand",
                                [](card::FaultPlan& p) { p.removeAfterCommands = 2; },
                                [](sim::Reader& reader, card::Card&) {
                                  PageBuffer page{};
                                  EXPECT_EQ(Send(reader, ReadPhySectorCommand(0, 0), page.data()), kGood);
                                  EXPECT_EQ(EraseBlock(reader, 3), kGood);
                                  EXPECT_EQ(EraseBlock(reader, 4), kCheck);
                                  EXPECT_EQ(Send(reader, ReadPhySectorCommand(0, 0), page.data()), kCheck);
                                  std::uint8_t state = 0;
                                  EXPECT_EQ(Send(reader, GetDeviceStateCommand(), &state), kCheck);
                                  std::uint8_t type = 0xFF;
                                  EXPECT_EQ(Send(reader, GetCardTypeCommand(), &type), kGood);
                                  EXPECT_EQ(type, 0) << "the slot is empty";
                                  std::array<std::uint8_t, 36> inquiry{};
                                  EXPECT_EQ(Send(reader, InquiryCommand(), inquiry.data()), kGood)
                                      << "the reader is still there";
                                  EXPECT_FALSE(reader.CardPresent());
                                }},
                      FaultCase{"WrongInquiryText", [](card::FaultPlan& p) { p.inquiryId = "Generic STORAGE device"; },
                                [](sim::Reader& reader, card::Card&) {
                                  std::array<std::uint8_t, 36> reply{};
                                  ASSERT_EQ(Send(reader, InquiryCommand(), reply.data()), kGood);
                                  EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 30),
                                            "Generic STORAGE device");
                                  EXPECT_FALSE(IsSupportedInquiry(reply.data(), reply.size()));
                                }},
                      FaultCase{"MalformedMediaReply",
                                [](card::FaultPlan& p) {
                                  p.mediaInfoReply = std::array<std::uint8_t, 36>{};
                                  (*p.mediaInfoReply)[0] = 1;
                                  (*p.mediaInfoReply)[4] = 10;
                                  (*p.mediaInfoReply)[5] = 8;
                                },
                                [](sim::Reader& reader, card::Card&) {
                                  std::array<std::uint8_t, 36> reply{};
                                  ASSERT_EQ(Send(reader, ReadMediaInfoCommand(), reply.data()), kGood);
                                  EXPECT_EQ(reply[5], 8);
                                  EXPECT_EQ(reply[4], 10);
                                }},
                      FaultCase{"AnotherCardTypeAndLunMap",
                                [](card::FaultPlan& p) {
                                  p.cardType = 1;
                                  p.lunMap = 0x18;
                                },
                                [](sim::Reader& reader, card::Card&) {
                                  std::uint8_t type = 0, map = 0;
                                  ASSERT_EQ(Send(reader, GetCardTypeCommand(), &type), kGood);
                                  ASSERT_EQ(Send(reader, GetLunMapCommand(), &map), kGood);
                                  EXPECT_EQ(type, 1);
                                  EXPECT_EQ(CountLogicalUnits(map), 2);
                                }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
