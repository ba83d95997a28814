// The cached volume handle: reopened after a failure, reported when it cannot
// be; the volume lock; Close.
#include <atomic>
#include <cctype>
#include <functional>
#include <map>
#include <ostream>
#include <string>

#include "card/card_tools.h"
#include "engine/low_level_format.h"
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

// The reader presents its card anew (after the format-end command, a card
// put back) and answers the next command with UNIT ATTENTION, without running
// it: the command goes once more, at once, on the same handle.
TEST_P(CachedHandle, SendsACommandThatMetUnitAttentionOnceMore) {
  sim::Reader& reader = FindReaderOnE();
  const HANDLE held = device.volumeHandle;
  reader.InsertCard();
  EXPECT_EQ(GetParam().run(device), 1);
  const auto sent = volumes.PassThroughRequests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].scsiStatus, 2);
  EXPECT_EQ(sent[1].cdb, sent[0].cdb);
  EXPECT_EQ(device.volumeHandle, held);
  EXPECT_EQ(host.TotalSleep(), 0u);
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
  sim::Reader& reader = FindReaderOnE();
  ASSERT_EQ(card::ImportLogical(CardOf(0), simtest::Pattern(20 * kSectorSize, 7)), "");
  reader.InsertCard();  // the reader learns the new map
  std::vector<std::uint8_t> many(5 * kSectorSize);
  ASSERT_EQ(device.ReadLBA(10, 5, many.data()), 1);
  for (std::uint16_t i = 0; i < 5; ++i) {
    SectorBuffer one{};
    ASSERT_EQ(device.ReadLBA(static_cast<std::uint16_t>(10 + i), 1, one.data()), 1);
    EXPECT_TRUE(std::equal(one.begin(), one.end(), many.begin() + i * kSectorSize)) << "sector " << 10 + i;
  }
}

// The operator hears of a missing volume once per run of failing commands,
// and again in the next run: after the card came back and went again, in a
// later job, after a new search.
TEST_F(Commands, OpenFailureIsToldAgainAfterASecondPull) {
  FindReaderOnE();
  device.DropHandle();
  volumes.FailOpensFrom('E', 1);
  EXPECT_EQ(device.ReadPhySector(0, 8, page), 0);
  EXPECT_EQ(device.ErasePhyBlk(0, 1), 0);  // the same run: no second box
  volumes.AllowOpens('E');
  EXPECT_EQ(device.ErasePhyBlk(0, 1), 1);  // the card is back
  volumes.FailPassThroughAt(1);            // and goes again: the command fails, the handle is closed
  EXPECT_EQ(device.ErasePhyBlk(0, 2), 0);
  volumes.FailOpensFrom('E', volumes.OpenCount('E') + 1);
  EXPECT_EQ(device.ErasePhyBlk(0, 3), 0);
  EXPECT_EQ(host.Messages(), (std::vector<HostMessage>{BackendError("ReadPhySector: Open volume fail!"),
                                                       BackendError("ErasePhyBlk: Open volume fail!")}));
}

TEST_F(Commands, OpenFailureIsToldAgainInALaterJob) {
  FindReaderOnE();
  device.DropHandle();
  volumes.FailOpensFrom('E', 1);
  EXPECT_EQ(device.ErasePhyBlk(0, 1), 0);
  EXPECT_EQ(device.ReadPhySector(0, 16, page), 0);
  std::uint8_t state = 0xFF;
  EXPECT_EQ(device.GetDeviceState(state), 0);  // the next job's first command
  EXPECT_EQ(state, 0);
  EXPECT_EQ(host.Messages(), (std::vector<HostMessage>{BackendError("ErasePhyBlk: Open volume fail!"),
                                                       BackendError("GetDeviceState: Open volume fail!")}));
}

TEST_F(Commands, OpenFailureIsToldAgainAfterANewSearch) {
  FindReaderOnE();
  device.DropHandle();
  volumes.FailOpensFrom('E', 1);
  EXPECT_EQ(device.ErasePhyBlk(0, 1), 0);
  volumes.AllowOpens('E');
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  volumes.FailPassThroughAt(1);
  EXPECT_EQ(device.ErasePhyBlk(0, 1), 0);  // fails in the system: the handle is closed, no box
  volumes.FailOpensFrom('E', volumes.OpenCount('E') + 1);
  EXPECT_EQ(device.ErasePhyBlk(0, 1), 0);
  EXPECT_EQ(host.Messages(), (std::vector<HostMessage>{BackendError("ErasePhyBlk: Open volume fail!"),
                                                       BackendError("ErasePhyBlk: Open volume fail!")}));
}

// A read that fails leaves the caller's buffer as it was, whichever way the
// data would have come: through the request's data area or straight.
struct FailedReadCase {
  const char* name;
  card::FaultPlan plan;
  std::function<int(CPassThroughReader&, std::uint8_t*)> read;
};

void PrintTo(const FailedReadCase& c, std::ostream* os) { *os << c.name; }

class FailedRead : public pttest::PassThroughBench, public ::testing::WithParamInterface<FailedReadCase> {};

TEST_P(FailedRead, LeavesTheBufferAsItWas) {
  sim::Reader& reader = FindReaderOnE();
  ASSERT_EQ(card::ImportLogical(CardOf(0), simtest::Pattern(40 * kSectorSize, 3)), "");
  reader.InsertCard();  // the reader learns the new map
  reader.Plan() = GetParam().plan;
  std::vector<std::uint8_t> buffer = simtest::Pattern(4 * kPageSize, 9);
  const std::vector<std::uint8_t> before = buffer;
  EXPECT_EQ(GetParam().read(device, buffer.data()), 0);
  EXPECT_TRUE(buffer == before);
}

card::FaultPlan Unreadable(std::uint32_t page) {
  card::FaultPlan plan;
  plan.unreadablePages = {{0, page}};
  return plan;
}

card::FaultPlan Failing(std::uint8_t opcode) {
  card::FaultPlan plan;
  plan.commandFaults = {{opcode, std::nullopt, 1, false}};
  return plan;
}

// Logical sectors 0-7 lie in the first mapped block, which follows the CIS block 0.
INSTANTIATE_TEST_SUITE_P(Reads, FailedRead,
                         ::testing::Values(FailedReadCase{"Page", Failing(0xEA),
                                                          [](auto& d, std::uint8_t* b) {
                                                            PageBuffer p{};
                                                            std::copy(b, b + kPageSize, p.begin());
                                                            const int result = d.ReadPhySector(0, 8, p);
                                                            std::copy(p.begin(), p.end(), b);
                                                            return result;
                                                          }},
                                           FailedReadCase{"OneSector", Failing(0x28),
                                                          [](auto& d, std::uint8_t* b) { return d.ReadLBA(2, 1, b); }},
                                           FailedReadCase{"TwoSectorsSecondUnreadable", Unreadable(8 + 3),
                                                          [](auto& d, std::uint8_t* b) { return d.ReadLBA(2, 2, b); }},
                                           FailedReadCase{"FourSectorsLastUnreadable", Unreadable(8 + 5),
                                                          [](auto& d, std::uint8_t* b) { return d.ReadLBA(2, 4, b); }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Commands, TwoSectorReadReturnsBothSectors) {
  sim::Reader& reader = FindReaderOnE();
  const std::vector<std::uint8_t> image = simtest::Pattern(20 * kSectorSize, 5);
  ASSERT_EQ(card::ImportLogical(CardOf(0), image), "");
  reader.InsertCard();
  std::vector<std::uint8_t> two(2 * kSectorSize, 0);
  ASSERT_EQ(device.ReadLBA(6, 2, two.data()), 1);
  EXPECT_TRUE(std::equal(two.begin(), two.end(), image.begin() + 6 * kSectorSize));
  const auto sent = volumes.PassThroughRequests();
  ASSERT_EQ(sent.size(), 2u) << "the first meets the card presented anew";
  EXPECT_EQ(sent[1].controlCode, passthrough::kScsiPassThroughDirect) << "two sectors overrun the data area";
  EXPECT_EQ(sent[1].dataTransferLength, 2 * kSectorSize);
}

TEST_F(Commands, CloseTwiceClosesOnce) {
  FindReaderOnE();
  const int closes = volumes.CloseCalls();
  device.Close();
  device.Close();
  EXPECT_EQ(volumes.CloseCalls(), closes + 1);
  EXPECT_EQ(device.volumeHandle, nullptr);
}

// The volume lock, taken with a dismount, kept through a failed command
// while the card answers, given up by the unlock, by Close and with a handle
// gone stale with a pulled card. A case is a script (the digits the steps
// return are kept): L LockVolume, U UnlockVolume, C Close, D DropHandle, E
// ErasePhyBlk, S GetDeviceState, X a whole format; o the next opens fail (the
// reader is gone), a they work again, l the next lock and m the next dismount
// are refused, p the next request fails in the system, r the card is pulled,
// i put back. The controls: L lock, D dismount, U unlock, P and T a buffered
// and a direct request; lower case when they failed.
struct LockCase {
  const char* name;
  const char* script;
  const char* results;
  const char* controls;
  CommandFault fault;
  bool held;  // a handle is held afterwards
  std::size_t boxes;
  std::uint64_t slept;
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class VolumeLock : public pttest::PassThroughBench, public ::testing::WithParamInterface<LockCase> {};

TEST_P(VolumeLock, FollowsTheCard) {
  sim::Reader& reader = FindReaderOnE();
  std::uint8_t state = 0;
  const std::atomic<int> stop{0};
  const std::map<char, std::function<int()>> steps = {{'L', [&] { return device.LockVolume(); }},
                                                      {'U', [&] { return device.UnlockVolume(); }},
                                                      {'E', [&] { return device.ErasePhyBlk(0, 3); }},
                                                      {'S', [&] { return device.GetDeviceState(state); }},
                                                      {'X', [&] { return LowLevelFormat(device, stop, host); }},
                                                      {'C', [&] { return device.Close(), -1; }},
                                                      {'D', [&] { return device.DropHandle(), -1; }},
                                                      {'o', [&] { return volumes.FailOpensFrom('E', 1), -1; }},
                                                      {'a', [&] { return volumes.AllowOpens('E'), -1; }},
                                                      {'l', [&] { return volumes.FailLocks('E', 1), -1; }},
                                                      {'m', [&] { return volumes.FailDismounts('E', 1), -1; }},
                                                      {'p', [&] { return volumes.FailPassThroughAt(1), -1; }},
                                                      {'r', [&] { return reader.RemoveCard(), -1; }},
                                                      {'i', [&] { return reader.InsertCard(), -1; }}};
  std::string results;
  for (const char* step = GetParam().script; *step != 0; ++step) {
    const int result = steps.at(*step)();
    if (result >= 0) results += static_cast<char>('0' + result);
  }
  const std::map<DWORD, char> codes = {{0x90018, 'L'}, {0x90020, 'D'}, {0x9001C, 'U'}, {0x4D004, 'P'}, {0x4D014, 'T'}};
  std::string controls;
  for (const auto& r : volumes.Requests()) {
    controls += r.result ? codes.at(r.controlCode) : std::tolower(codes.at(r.controlCode));
    EXPECT_TRUE(r.controlCode >> 16 != FILE_DEVICE_FILE_SYSTEM || r.inputLength + r.outputLength == 0) << "no buffers";
  }
  EXPECT_EQ(results, GetParam().results);
  EXPECT_EQ(controls, GetParam().controls);
  EXPECT_EQ(device.LastCommandFault(), GetParam().fault);
  EXPECT_EQ(device.volumeHandle != nullptr, GetParam().held);
  EXPECT_EQ(host.Messages().size(), GetParam().boxes);
  EXPECT_EQ(host.TotalSleep(), GetParam().slept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VolumeLock,
    ::testing::Values(
        LockCase{"KeptThroughAFailedCommand", "LpEDUU", "1010", "LDpPU", CommandFault::Failed, false, 0, 1000},
        LockCase{"DismountRefused", "mLU", "00", "LdU", CommandFault::None, true, 0, 0},
        LockCase{"AfterTheHandleWasDropped", "DL", "1", "LD", CommandFault::None, true, 0, 0},
        LockCase{"CloseUnlocks", "LLC", "11", "LDU", CommandFault::None, false, 0, 0},
        LockCase{"VolumeGoneIsNotInUse", "DoL", "0", "", CommandFault::DeviceGone, false, 0, 0},
        LockCase{"InUseOnceTheReaderIsBack", "DoSalL", "00", "l", CommandFault::None, true, 1, 0},
        LockCase{"CardPulledAndPutBack", "LrEiEU", "1011", "LDppLDPPPU", CommandFault::None, false, 0, 1000},
        LockCase{"NextJobStartsUnlocked", "LrEUiS", "1011", "LDppLDPUPP", CommandFault::None, true, 0, 1000},
        LockCase{"SlotEmptyAtTheLock", "rLE", "10", "LDPP", CommandFault::NoMedium, true, 0, 1000},
        LockCase{"CardPulledWhileLockedEndsTheFormat", "LrX", "10", "LDppLDP", CommandFault::NoMedium, true, 1, 1000},
        LockCase{"ReaderUnpluggedWhileLockedEndsTheFormat", "LroX", "10", "LDpp", CommandFault::DeviceGone, false, 2,
                 1000}),
    [](const auto& info) { return std::string(info.param.name); });

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
