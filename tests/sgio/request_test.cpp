// The SG_IO request of each reader operation, exactly as the kernel gets it,
// the pause after a failed command, and the messages of the faults a user
// meets.
#include <functional>
#include <ostream>
#include <string>

#include "tests/sgio/sgio_bench.h"
#include "transport/sgio/sg_request.h"

namespace {

using sgtest::BackendError;
using sgtest::Hex;

PageBuffer page{};
SectorBuffer sector{};
RedundantArea redundant{};
MediaGeometry scratch;

struct RequestCase {
  const char* name;
  std::function<int(CSgReader&)> run;
  const char* cdb;
  int direction;
  std::uint32_t length;
  std::uint32_t timeoutMs;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class Requests : public sgtest::SgBench, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(Requests, CarryTheCommandBlockExactly) {
  ReaderOnSdb(simtest::Standard("16M"));
  const RequestCase& c = GetParam();
  EXPECT_EQ(c.run(device), 1);
  ASSERT_EQ(system.SgCalls().size(), 1u);
  const FakeSgSystem::SgCall& call = system.SgCalls()[0];
  const sg_io_hdr& h = call.header;
  EXPECT_EQ(call.cdb, Hex(c.cdb));
  EXPECT_EQ(h.cmd_len, Hex(c.cdb).size());
  EXPECT_EQ(h.interface_id, 'S');
  EXPECT_EQ(h.dxfer_direction, c.direction);
  EXPECT_EQ(h.dxfer_len, c.length);
  EXPECT_EQ(h.dxferp == nullptr, c.length == 0);
  EXPECT_EQ(h.timeout, c.timeoutMs);
  EXPECT_EQ(h.mx_sb_len, 32);
  EXPECT_NE(h.sbp, nullptr);
  EXPECT_EQ(h.iovec_count, 0);
  EXPECT_EQ(h.flags, 0u);
  EXPECT_TRUE(call.reachedDevice);
  EXPECT_EQ(host.TotalSleep(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, Requests,
    ::testing::Values(
        RequestCase{"ReadLBA", [](auto& d) { return d.ReadLBA(0x1234, 1, sector.data()); },
                    "28 00 00 00 12 34 00 00 01 00 00 00", SG_DXFER_FROM_DEV, 512, 5000},
        RequestCase{"WriteLBA", [](auto& d) { return d.WriteLBA(41, 1, sector.data()); },
                    "2A 00 00 00 00 29 00 00 01 00 00 00", SG_DXFER_TO_DEV, 512, 8000},
        RequestCase{"ReadTwoSectors",
                    [](auto& d) {
                      std::uint8_t two[1024];
                      return d.ReadLBA(7, 2, two);
                    },
                    "28 00 00 00 00 07 00 00 02 00 00 00", SG_DXFER_FROM_DEV, 1024, 5000},
        RequestCase{"ErasePhyBlk", [](auto& d) { return d.ErasePhyBlk(0, 300); }, "E8 00 01 2C 00 00", SG_DXFER_NONE, 0,
                    3000},
        RequestCase{"ReadPhySector", [](auto& d) { return d.ReadPhySector(0, 33, page); }, "EA 00 00 00 00 21",
                    SG_DXFER_FROM_DEV, 528, 3000},
        RequestCase{"WriteRedundant", [](auto& d) { return d.WriteRedundant(0, 32, redundant); }, "E9 00 00 00 00 20",
                    SG_DXFER_TO_DEV, 16, 3000},
        RequestCase{"WritePhySector", [](auto& d) { return d.WritePhySector(0, 64, sector); }, "EB 00 00 00 00 40",
                    SG_DXFER_TO_DEV, 512, 3000},
        RequestCase{"GetDeviceState",
                    [](auto& d) {
                      std::uint8_t state = 0xFF;
                      return d.GetDeviceState(state) == 1 && state == 0 ? 1 : 0;
                    },
                    "E7 01 00 00 24 00", SG_DXFER_FROM_DEV, 1, 3000},
        RequestCase{"ReadMediaInfo", [](auto& d) { return d.ReadMediaInfo(nullptr, 0, 0, scratch); },
                    "E7 00 00 00 24 00", SG_DXFER_FROM_DEV, 36, 3000},
        RequestCase{"FormatEnd", [](auto& d) { return d.FormatEnd(); }, "E6 05 00 00 00 00", SG_DXFER_NONE, 0, 5000},
        RequestCase{"Lock", [](auto& d) { return d.Lock(); }, "E6 03 00 00 00 00", SG_DXFER_NONE, 0, 5000},
        RequestCase{"UnLock", [](auto& d) { return d.UnLock(); }, "E6 02 00 00 00 00", SG_DXFER_NONE, 0, 5000},
        RequestCase{"SetLbaOffset", [](auto& d) { return d.SetLbaOffset(1u << 24); }, "E6 04 01 00 00 00",
                    SG_DXFER_NONE, 0, 5000},
        RequestCase{"Inquiry",
                    [](auto& d) {
                      std::uint8_t reply[48] = {};
                      return d.Inquiry(reply, 36);
                    },
                    "12 00 00 00 24 00 00 00 00 00 00 00", SG_DXFER_FROM_DEV, 36, 3000},
        RequestCase{"GetCardType",
                    [](auto& d) {
                      std::uint8_t type = 0;
                      return d.GetCardType(type) == 1 && type == 2 ? 1 : 0;
                    },
                    "ED 00 00 00 00 00", SG_DXFER_FROM_DEV, 1, 3000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Requests, DataTravelsBothWays) {
  sim::Reader& reader = ReaderOnSdb();
  SectorBuffer written{};
  for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<std::uint8_t>(i * 3);
  ASSERT_EQ(device.WriteLBA(5, 1, written.data()), 1);
  SectorBuffer back{};
  ASSERT_EQ(device.ReadLBA(5, 1, back.data()), 1);
  EXPECT_EQ(back, written);
  SectorBuffer direct{};
  ASSERT_TRUE(reader.Logical().ReadSectors(5, 1, direct.data()));
  EXPECT_EQ(direct, written);
}

// One attempt; a failed command pauses 1000 ms on the host's clock and keeps
// the caller's buffer; the probes fail at once.
TEST_F(Requests, FailedCommandPausesOnceProbesDoNot) {
  sim::Reader& reader = ReaderOnSdb();
  reader.Plan().commandFaults = {{0xEA, std::nullopt, 1, false}, {0xED, std::nullopt, 2, false}};
  page.fill(0x5A);
  EXPECT_EQ(device.ReadPhySector(0, 8, page), 0);
  EXPECT_EQ(page[0], 0x5A);
  EXPECT_EQ(system.SgCalls().size(), 1u);
  EXPECT_EQ(host.TotalSleep(), 1000u);
  EXPECT_TRUE(host.Messages().empty()) << "a medium error has no message of its own";
  EXPECT_EQ(device.LastFault(), sgio::Fault::Other);
  std::uint8_t type = 0xFF;
  EXPECT_EQ(device.GetCardType(type), 0);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(host.TotalSleep(), 1000u);
}

// After the format-end command the reader presents the card anew: it answers
// the next command with UNIT ATTENTION without running it, and the command
// goes once more, with no pause and no message.
TEST_F(Requests, UnitAttentionAfterFormatEndIsAnsweredByOneResend) {
  ReaderOnSdb();
  ASSERT_EQ(device.FormatEnd(), 1);
  SectorBuffer mbr{};
  EXPECT_EQ(device.ReadLBA(0, 1, mbr.data()), 1);
  ASSERT_EQ(system.SgCalls().size(), 3u);
  const FakeSgSystem::SgCall& attention = system.SgCalls()[1];
  EXPECT_EQ(attention.header.status, 2);
  EXPECT_EQ(attention.header.sb_len_wr, 18);
  EXPECT_EQ(system.SgCalls()[2].cdb, system.SgCalls()[1].cdb);
  EXPECT_EQ(system.SgCalls()[2].header.status, 0);
  EXPECT_EQ(host.TotalSleep(), 0u);
  EXPECT_TRUE(host.Messages().empty());
  EXPECT_EQ(device.LastFault(), sgio::Fault::None);
}

TEST_F(Requests, ReadFailureLeavesTheCallersSectorAsItWas) {
  sim::Reader& reader = ReaderOnSdb();
  reader.Plan().commandFaults = {{0x28, std::nullopt, 1, false}};
  sector.fill(0xA5);
  EXPECT_EQ(device.ReadLBA(0, 1, sector.data()), 0);
  EXPECT_EQ(sector[0], 0xA5);
  EXPECT_EQ(sector[511], 0xA5);
}

// Faults a user meets: each is told apart by its sense data (or the
// system's error), says so once until a command succeeds again, and costs
// each failed command its pause, except an empty slot or a reader that is
// gone: the next command cannot work either.
struct FaultCase {
  const char* name;
  std::function<void(sgtest::SgBench&, sim::Reader&)> cause;
  std::function<int(CSgReader&)> run;
  sgio::Fault fault;
  const char* message;    // empty: none
  std::uint32_t pauseMs;  // of each failed command
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class Faults : public sgtest::SgBench, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, AreToldApartAndReportedOnce) {
  sim::Reader& reader = ReaderOnSdb();
  const FaultCase& c = GetParam();
  c.cause(*this, reader);
  EXPECT_EQ(c.run(device), 0);
  EXPECT_EQ(c.run(device), 0);
  EXPECT_EQ(device.LastFault(), c.fault);
  EXPECT_TRUE(device.Met(c.fault));
  std::vector<HostMessage> expected;
  if (*c.message) expected.push_back(BackendError(c.message));
  EXPECT_EQ(host.Messages(), expected);
  EXPECT_EQ(host.TotalSleep(), 2 * c.pauseMs);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Faults,
    ::testing::Values(
        FaultCase{"CardPulled", [](auto&, auto& r) { r.RemoveCard(); }, [](auto& d) { return d.ErasePhyBlk(0, 3); },
                  sgio::Fault::NoMedium, "ErasePhyBlk: No card in the reader!", 0},
        FaultCase{"WriteProtected", [](auto&, auto& r) { r.Plan().writeProtected = true; },
                  [](auto& d) { return d.WriteLBA(0, 1, sector.data()); }, sgio::Fault::WriteProtected,
                  "WriteLBA: The card is write-protected!", 1000},
        FaultCase{"ReaderUnplugged", [](auto& b, auto&) { b.system.UnplugAfter("sdb", 0); },
                  [](auto& d) { return d.ReadPhySector(0, 0, page); }, sgio::Fault::DeviceGone,
                  "ReadPhySector: The reader is gone!", 0},
        FaultCase{"NoRawIo", [](auto& b, auto&) { b.system.SetRawIo(false); }, [](auto& d) { return d.FormatEnd(); },
                  sgio::Fault::NotPermitted,
                  "FormatEnd: The system refused the command (it needs root, or the CAP_SYS_RAWIO capability)!", 1000},
        FaultCase{"PageBeyondTheCard", [](auto&, auto&) {}, [](auto& d) { return d.ReadPhySector(0, 1u << 20, page); },
                  sgio::Fault::Other, "", 1000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Faults, MessageComesBackAfterTheCardReturnsAndGoesAgain) {
  sim::Reader& reader = ReaderOnSdb();
  reader.RemoveCard();
  EXPECT_EQ(device.ErasePhyBlk(0, 3), 0);
  reader.InsertCard();
  EXPECT_EQ(device.ErasePhyBlk(0, 3), 1);
  reader.RemoveCard();
  EXPECT_EQ(device.ReadPhySector(0, 0, page), 0);
  EXPECT_EQ(host.MessageTexts(),
            (std::vector<std::string>{"ErasePhyBlk: No card in the reader!", "ReadPhySector: No card in the reader!"}));
}

// Without CAP_SYS_RAWIO the kernel lets INQUIRY through and refuses the
// vendor commands: the probe tells the caller so, and sends nothing more.
TEST_F(Faults, ProbeWithoutRawIoStopsAtTheCardType) {
  system.SetRawIo(false);
  AddReader("sdb");
  Attach("sdb");
  const ProbeResult probe = device.Probe(true);
  EXPECT_EQ(probe.verdict, ProbeVerdict::NotPermitted);
  EXPECT_EQ(probe.inquiryText, "Generic STORAGE DEVICE");
  ASSERT_EQ(system.SgCalls().size(), 2u);
  EXPECT_EQ(system.SgCalls()[1].result, -EPERM);
  EXPECT_FALSE(system.SgCalls()[1].reachedDevice);
  EXPECT_EQ(device.IsOpen(), 0);
  EXPECT_TRUE(host.Messages().empty());
}

}  // namespace
