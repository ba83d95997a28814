// The cached volume handle: reopened after a failure, reported when it cannot
// be; the volume lock; Close.
#include <functional>
#include <ostream>
#include <string>

#include "sim/card_tools.h"
#include "tests/passthrough/passthrough_bench.h"

namespace {

using pttest::BackendError;

struct CachedCase {
  const char* name;
  std::function<int(CPassThroughReader&)> run;
};

void PrintTo(const CachedCase& c, std::ostream* os) { *os << c.name; }

PageBuffer page{};
SectorBuffer sector{};
RedundantArea redundant{};

const auto kCachedOperations = ::testing::Values(
    CachedCase{"ReadLBA", [](auto& d) { return d.ReadLBA(0, 1, sector.data()); }},
    CachedCase{"WriteLBA", [](auto& d) { return d.WriteLBA(0, 1, sector.data()); }},
    CachedCase{"ErasePhyBlk", [](auto& d) { return d.ErasePhyBlk(0, 3); }},
    CachedCase{"ReadPhySector", [](auto& d) { return d.ReadPhySector(0, 8, page); }},
    CachedCase{"WriteRedundant", [](auto& d) { return d.WriteRedundant(0, 8, redundant); }},
    CachedCase{"WritePhySector", [](auto& d) { return d.WritePhySector(0, 8, sector); }},
    CachedCase{"UnLock", [](auto& d) { return d.UnLock(); }}, CachedCase{"Lock", [](auto& d) { return d.Lock(); }},
    CachedCase{"FormatEnd", [](auto& d) { return d.FormatEnd(); }},
    CachedCase{"SetLbaOffset", [](auto& d) { return d.SetLbaOffset(1); }},
    CachedCase{"GetDeviceState", [](auto& d) {
                 std::uint8_t state = 0xFF;
                 const int result = d.GetDeviceState(state);
                 return result == 0 && state != 0 ? -1 : result;  // a failure must leave the state 0
               }});

class CachedHandle : public pttest::PassThroughBench, public ::testing::WithParamInterface<CachedCase> {};

// The card was pulled: the reopen fails, once, with the operation's own text.
TEST_P(CachedHandle, ReportsAVolumeThatCannotBeReopened) {
  FindReaderOnE();
  device.DropHandle();
  volumes.FailOpensFrom('E', 2);
  EXPECT_EQ(GetParam().run(device), 0);
  EXPECT_EQ(host.Messages(),
            std::vector<HostMessage>{BackendError(std::string(GetParam().name) + ": Open volume fail!")});
  EXPECT_EQ(host.TotalSleep(), 0u);
  EXPECT_EQ(device.volumeHandle, nullptr);
  ASSERT_EQ(volumes.Opens().size(), 1u);
  EXPECT_EQ(volumes.Opens()[0].path, VolumePath('E'));
  EXPECT_TRUE(volumes.Requests().empty());
}

// One attempt; after a failure the handle is closed and 1000 ms pass, with
// no message; the next command opens E: afresh.
TEST_P(CachedHandle, DropsTheHandleAfterAFailureAndReopensForTheNext) {
  sim::Reader& reader = FindReaderOnE();
  const HANDLE first = device.volumeHandle;
  volumes.FailPassThroughAt(1);
  EXPECT_EQ(GetParam().run(device), 0);
  EXPECT_EQ(device.volumeHandle, nullptr);
  EXPECT_FALSE(volumes.IsOpenHandle(first));
  EXPECT_TRUE(host.Messages().empty());
  EXPECT_EQ(host.TotalSleep(), 1000u);

  const std::uint32_t before = reader.CommandCount();
  EXPECT_EQ(device.ErasePhyBlk(0, 5), 1);
  EXPECT_EQ(reader.CommandCount(), before + 1);
  ASSERT_EQ(volumes.Opens().size(), 1u);
  EXPECT_EQ(volumes.Opens()[0].path, VolumePath('E'));
  EXPECT_NE(device.volumeHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Operations, CachedHandle, kCachedOperations,
                         [](const auto& info) { return std::string(info.param.name); });

using Commands = pttest::PassThroughBench;

// Good transport, bad status: the reader's CHECK CONDITION is a failure too.
TEST_F(Commands, CheckConditionIsAFailure) {
  sim::Reader& reader = FindReaderOnE();
  reader.Plan().commandFaults = {{0xEA, std::nullopt, 1, false}};
  EXPECT_EQ(device.ReadPhySector(0, 8, page), 0);
  EXPECT_EQ(volumes.PassThroughRequests().back().scsiStatus, 2);
  EXPECT_EQ(device.volumeHandle, nullptr);
  EXPECT_EQ(host.TotalSleep(), 1000u);
  EXPECT_EQ(device.ReadPhySector(0, 8, page), 1);
}

TEST_F(Commands, MultiSectorReadReturnsWhatSingleReadsDo) {
  FindReaderOnE();
  ASSERT_EQ(sim::ImportLogical(CardOf(0), simtest::Pattern(20 * kSectorSize, 7)), "");
  std::vector<std::uint8_t> many(5 * kSectorSize);
  ASSERT_EQ(device.ReadLBA(10, 5, many.data()), 1);
  for (std::uint16_t i = 0; i < 5; ++i) {
    SectorBuffer one{};
    ASSERT_EQ(device.ReadLBA(static_cast<std::uint16_t>(10 + i), 1, one.data()), 1);
    EXPECT_TRUE(std::equal(one.begin(), one.end(), many.begin() + i * kSectorSize)) << "sector " << 10 + i;
  }
}

TEST_F(Commands, CloseTwiceClosesOnce) {
  FindReaderOnE();
  const int closes = volumes.CloseCalls();
  device.Close();
  device.Close();
  EXPECT_EQ(volumes.CloseCalls(), closes + 1);
  EXPECT_EQ(device.volumeHandle, nullptr);
}

TEST_F(Commands, VolumeLockUsesTheHeldHandleOnly) {
  FindReaderOnE();
  EXPECT_EQ(device.LockVolume(), 1);
  EXPECT_EQ(device.UnlockVolume(), 1);
  ASSERT_EQ(volumes.Requests().size(), 2u);
  EXPECT_EQ(volumes.Requests()[0].controlCode, static_cast<DWORD>(FSCTL_LOCK_VOLUME));
  EXPECT_EQ(volumes.Requests()[1].controlCode, static_cast<DWORD>(FSCTL_UNLOCK_VOLUME));
  EXPECT_EQ(volumes.Requests()[0].inputLength + volumes.Requests()[0].outputLength, 0u);
  device.DropHandle();
  EXPECT_EQ(device.LockVolume(), 0);
  EXPECT_EQ(device.UnlockVolume(), 0);
  EXPECT_TRUE(volumes.Opens().empty()) << "no reopen";
  EXPECT_EQ(volumes.Requests().size(), 2u);
}

TEST_F(Commands, WaitReadyWaitsOneSecond) {
  EXPECT_EQ(device.WaitReady(), 1);
  EXPECT_EQ(host.TotalSleep(), 1000u);
}

struct FlushCase {
  const char* name;
  int lockFailures;
  int result;
  std::uint64_t slept;
  std::size_t lockTries;
};

void PrintTo(const FlushCase& c, std::ostream* os) { *os << c.name; }

class FlushDisk : public pttest::PassThroughBench, public ::testing::WithParamInterface<FlushCase> {};

// The lock is taken on a handle of its own, which only works once the cached
// handle is closed (the volume refuses a lock while another handle is open).
TEST_P(FlushDisk, LocksOnAHandleOfItsOwn) {
  FindReaderOnE();
  volumes.FailLocks('E', GetParam().lockFailures);
  EXPECT_EQ(device.FlushDisk(), GetParam().result);
  EXPECT_EQ(host.TotalSleep(), GetParam().slept);
  EXPECT_EQ(volumes.Requests().size(), GetParam().lockTries);
  for (const auto& request : volumes.Requests()) {
    EXPECT_EQ(request.controlCode, static_cast<DWORD>(FSCTL_LOCK_VOLUME));
  }
  EXPECT_EQ(device.volumeHandle, nullptr);
  EXPECT_EQ(volumes.OpenHandles(), 0);
  EXPECT_TRUE(host.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Locks, FlushDisk,
                         ::testing::Values(FlushCase{"FirstTry", 0, 1, 0, 1}, FlushCase{"FifthTry", 4, 1, 400, 5},
                                           FlushCase{"NeverLocked", 5, 0, 500, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Commands, FlushDiskOnAVolumeThatCannotBeOpened) {
  FindReaderOnE();
  volumes.FailOpensFrom('E', 2);
  EXPECT_EQ(device.FlushDisk(), 0);
  EXPECT_TRUE(host.Events().empty());
  EXPECT_EQ(device.volumeHandle, nullptr);
}

}  // namespace
