#include <gtest/gtest.h>

#include <functional>

#include "sim/sim_reader_device.h"
#include "tests/sim/sim_bench.h"
#include "tests/support/recording_host.h"

namespace {

using simtest::MakeCard;
using simtest::Standard;

TEST(SimReaderDevice, FindsTheReaderAndReadsTheGeometry) {
  auto card = MakeCard(card::CardGeometry{{{1024, 32}, {512, 16}}});
  sim::Reader reader(*card);
  RecordingHost host;
  CSimReader device(host, reader);
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  EXPECT_EQ(device.IsOpen(), 1);
  EXPECT_EQ(device.GetDriveLetter(), 'S');
  EXPECT_EQ(found, 'S');
  ASSERT_EQ(device.GetUnitCount(), 2);
  EXPECT_EQ(device.GetUnitSectors(0), 32768u);
  EXPECT_EQ(device.GetSectorsPerBlock(1), 16);
  EXPECT_TRUE(host.Events().empty()) << "no message, no pause";
}

struct NotFoundCase {
  const char* name;
  std::function<void(card::FaultPlan&)> plan;
  std::vector<HostMessage> messages;
  std::uint64_t slept;
};

class SimReaderNotFound : public ::testing::TestWithParam<NotFoundCase> {};

TEST_P(SimReaderNotFound, ReturnsZero) {
  auto card = MakeCard(Standard("1M"));
  card::FaultPlan plan;
  GetParam().plan(plan);
  sim::Reader reader(*card, plan);
  RecordingHost host;
  CSimReader device(host, reader, 'T');
  char found = 'x';
  EXPECT_EQ(device.FindDevice(found), 0);
  EXPECT_EQ(device.IsOpen(), 0);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(host.Messages(), GetParam().messages);
  EXPECT_EQ(host.TotalSleep(), GetParam().slept);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, SimReaderNotFound,
    ::testing::Values(
        NotFoundCase{"OtherInquiry", [](card::FaultPlan& p) { p.inquiryId = "Generic STORAGE DEVICF"; }, {}, 0},
        NotFoundCase{"InquiryFails",
                     [](card::FaultPlan& p) {
                       p.commandFaults = {{0x12, std::nullopt, 1, false}};
                     },
                     {},
                     0},
        NotFoundCase{"NotSmartMedia", [](card::FaultPlan& p) { p.cardType = 1; }, {}, 0},
        NotFoundCase{"CardGone", [](card::FaultPlan& p) { p.removeAfterCommands = 1; }, {}, 0},
        NotFoundCase{"MediaInformationFails",
                     [](card::FaultPlan& p) {
                       p.commandFaults = {{0xE7, std::uint8_t{0}, 1, false}};
                     },
                     {ErrorBox("Read media information fail!", MessageOwner::None)},
                     1000}),
    [](const auto& info) { return std::string(info.param.name); });

struct OperationCase {
  const char* name;
  std::function<int(CSimReader&)> run;
};

class SimReaderFailure : public ::testing::TestWithParam<OperationCase> {};

// One attempt, then 1000 ms on the host's clock, then 0.
TEST_P(SimReaderFailure, PausesOnceAndReturnsZero) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  RecordingHost host;
  CSimReader device(host, reader);
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  reader.RemoveCard();
  const std::uint32_t before = reader.CommandCount();
  EXPECT_EQ(GetParam().run(device), 0);
  EXPECT_EQ(reader.CommandCount(), before + 1);
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].kind, HostEvent::Kind::Sleep);
  EXPECT_EQ(host.Events()[0].a, 1000);
}

TEST_P(SimReaderFailure, SucceedsWithoutPauseWithTheCardIn) {
  auto card = MakeCard(Standard("1M"));
  sim::Reader reader(*card);
  RecordingHost host;
  CSimReader device(host, reader);
  EXPECT_EQ(GetParam().run(device), 1);
  EXPECT_EQ(host.TotalSleep(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, SimReaderFailure,
    ::testing::Values(OperationCase{"FormatEnd", [](CSimReader& d) { return d.FormatEnd(); }},
                      OperationCase{"Lock", [](CSimReader& d) { return d.Lock(); }},
                      OperationCase{"UnLock", [](CSimReader& d) { return d.UnLock(); }},
                      OperationCase{"SetLbaOffset", [](CSimReader& d) { return d.SetLbaOffset(1); }},
                      OperationCase{"ErasePhyBlk", [](CSimReader& d) { return d.ErasePhyBlk(0, 3); }},
                      OperationCase{"ReadPhySector",
                                    [](CSimReader& d) {
                                      PageBuffer page{};
                                      return d.ReadPhySector(0, 8, page);
                                    }},
                      OperationCase{"WritePhySector",
                                    [](CSimReader& d) {
                                      SectorBuffer data{};
                                      return d.WritePhySector(0, 8, data);
                                    }},
                      OperationCase{"WriteRedundant",
                                    [](CSimReader& d) {
                                      RedundantArea area{};
                                      area.fill(0xFF);
                                      return d.WriteRedundant(0, 8, area);
                                    }},
                      OperationCase{"ReadLBA",
                                    [](CSimReader& d) {
                                      SectorBuffer data{};
                                      return d.ReadLBA(0, 1, data.data());
                                    }},
                      OperationCase{"WriteLBA",
                                    [](CSimReader& d) {
                                      SectorBuffer data{};
                                      return d.WriteLBA(0, 1, data.data());
                                    }},
                      OperationCase{"ReadMediaInfo",
                                    [](CSimReader& d) {
                                      MediaGeometry geometry;
                                      return d.ReadMediaInfo(nullptr, 0, 0, geometry);
                                    }},
                      OperationCase{"GetDeviceState",
                                    [](CSimReader& d) {
                                      std::uint8_t state = 0xFF;
                                      const int result = d.GetDeviceState(state);
                                      return result == 0 && state != 0 ? -1 : result;
                                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimReaderDevice, FailedMediaInformationLeavesTheGeometryAlone) {
  auto card = MakeCard(Standard("16M"));
  card::FaultPlan plan;
  plan.commandFaults = {{0xE7, std::uint8_t{0}, 2, false}};
  sim::Reader reader(*card, plan);
  RecordingHost host;
  CSimReader device(host, reader);
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  MediaGeometry copy = device.geometry;
  copy.units[0].totalSectors = 77;
  EXPECT_EQ(device.ReadMediaInfo(nullptr, 0, 0, copy), 0);
  EXPECT_EQ(copy.units[0].totalSectors, 77u);
}

TEST(SimReaderDevice, ReportsWriteProtection) {
  auto card = MakeCard(Standard("1M"));
  card::FaultPlan plan;
  plan.writeProtected = true;
  sim::Reader reader(*card, plan);
  RecordingHost host;
  CSimReader device(host, reader);
  std::uint8_t state = 0;
  ASSERT_EQ(device.GetDeviceState(state), 1);
  EXPECT_EQ(state & 1, 1);
  EXPECT_EQ(device.WaitReady(), 1);
  EXPECT_EQ(host.TotalSleep(), 1000u);
}

}  // namespace
