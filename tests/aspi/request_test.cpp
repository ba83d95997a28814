// One request: the block each operation hands the layer, the wait and the
// pause, failures, and requests the layer does not give back in time.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>

#include "tests/aspi/aspi_bench.h"

namespace {

using aspitest::AspiBench;
using aspitest::CdbOf;
using aspitest::Hex;

// The variant of the layer this copy of the program sits beside.
bool OldLayer() {
  const char* text = std::getenv("SMFORMAT_ASPI_LAYER_VERSION");
  return text != nullptr && std::string(text) != "4.0";
}

struct RequestCase {
  const char* name;
  std::function<int(CAspiReader&)> operation;
  const char* cdb;
  std::uint8_t direction;  // SRB_DIR_IN, SRB_DIR_OUT or 0
  std::uint32_t bufferLength;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

SectorBuffer Sector(std::uint8_t seed) {
  SectorBuffer data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(seed + i);
  return data;
}

class ExactRequest : public AspiBench, public ::testing::WithParamInterface<RequestCase> {};

// Each operation sends one request to the reader at (0, 1, LUN 0), filled in
// a block that was scribbled over before: what the layer sees is exactly the
// named fields, everything else zero.
TEST_P(ExactRequest, CarriesTheCommandBlockInAZeroedRequest) {
  OpenReader(1);
  std::memset(device.requestBlock, 0xCC, aspi::kRequestBlockSize);
  EXPECT_EQ(GetParam().operation(device), 1);
  layer.WaitIdle();
  const auto sent = layer.ExecuteRecords();
  ASSERT_EQ(sent.size(), 1u);
  const SimAspiRecord& r = sent[0];
  EXPECT_EQ(CdbOf(r), Hex(GetParam().cdb));
  EXPECT_EQ(r.hostAdapter, 0);
  EXPECT_EQ(r.target, 1);
  EXPECT_EQ(r.lun, 0);
  EXPECT_EQ(r.flags, 0x40 | GetParam().direction | (OldLayer() ? 0x01 : 0));
  EXPECT_EQ(r.senseLength, OldLayer() ? 14 : 24);
  EXPECT_EQ(r.bufferLength, GetParam().bufferLength);
  EXPECT_EQ(r.buffer != 0, GetParam().bufferLength != 0);
  EXPECT_EQ(r.postProc, reinterpret_cast<std::uintptr_t>(device.requestEvent));
  EXPECT_EQ(r.block, reinterpret_cast<std::uintptr_t>(device.requestBlock));
  EXPECT_EQ(r.statusOnEntry, 0);
  EXPECT_EQ(r.dirtyBytes, 0u);
  EXPECT_EQ(host.TotalSleep(), 0u);
}

// After the format-end command the reader presents its card anew and answers
// the next command but an INQUIRY with UNIT ATTENTION, without running it:
// the request goes once more, at once.
TEST_P(ExactRequest, SendsARequestThatMetUnitAttentionOnceMore) {
  OpenReader(1);
  ASSERT_EQ(device.FormatEnd(), 1);
  Forget();
  EXPECT_EQ(GetParam().operation(device), 1);
  layer.WaitIdle();
  const auto sent = layer.ExecuteRecords();
  ASSERT_EQ(sent.size(), Hex(GetParam().cdb)[0] == 0x12 ? 1u : 2u);
  for (const SimAspiRecord& r : sent) EXPECT_EQ(CdbOf(r), Hex(GetParam().cdb));
  EXPECT_EQ(host.TotalSleep(), 0u);
}

const SectorBuffer kSector = Sector(7);
const RedundantArea kRedundant = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0x02};

INSTANTIATE_TEST_SUITE_P(
    Operations, ExactRequest,
    ::testing::Values(
        RequestCase{"ReadLBA",
                    [](CAspiReader& d) {
                      SectorBuffer data{};
                      return d.ReadLBA(0x0123, 1, data.data());
                    },
                    "28 00 00 00 01 23 00 00 01 00 00 00", 0x08, 512},
        RequestCase{"WriteLBA", [](CAspiReader& d) { return d.WriteLBA(7, 1, kSector.data()); },
                    "2A 00 00 00 00 07 00 00 01 00 00 00", 0x10, 512},
        RequestCase{"ErasePhyBlk", [](CAspiReader& d) { return d.ErasePhyBlk(0, 200); }, "E8 00 00 C8 00 00", 0, 0},
        RequestCase{"ReadPhySector",
                    [](CAspiReader& d) {
                      PageBuffer page{};
                      return d.ReadPhySector(0, 33, page);
                    },
                    "EA 00 00 00 00 21", 0x08, 528},
        RequestCase{"WriteRedundant", [](CAspiReader& d) { return d.WriteRedundant(0, 1600, kRedundant); },
                    "E9 00 00 00 06 40", 0x10, 16},
        RequestCase{"WritePhySector", [](CAspiReader& d) { return d.WritePhySector(0, 1600, kSector); },
                    "EB 00 00 00 06 40", 0x10, 512},
        RequestCase{"GetDeviceState",
                    [](CAspiReader& d) {
                      std::uint8_t state = 0;
                      return d.GetDeviceState(state);
                    },
                    "E7 01 00 00 24 00", 0x08, 1},
        RequestCase{"ReadMediaInfo",
                    [](CAspiReader& d) {
                      MediaGeometry geometry;
                      return d.ReadMediaInfo(nullptr, 0, 1, geometry);
                    },
                    "E7 00 00 00 24 00", 0x08, 36},
        RequestCase{"FormatEnd", [](CAspiReader& d) { return d.FormatEnd(); }, "E6 05 00 00 00 00", 0, 0},
        RequestCase{"Lock", [](CAspiReader& d) { return d.Lock(); }, "E6 03 00 00 00 00", 0, 0},
        RequestCase{"UnLock", [](CAspiReader& d) { return d.UnLock(); }, "E6 02 00 00 00 00", 0, 0},
        RequestCase{"SetLbaOffset", [](CAspiReader& d) { return d.SetLbaOffset(1u << 24); }, "E6 04 01 00 00 00", 0, 0},
        RequestCase{"Inquiry",
                    [](CAspiReader& d) {
                      std::uint8_t reply[48] = {};
                      return d.Inquiry(0, 1, reply, 36);
                    },
                    "12 00 00 00 24 00 00 00 00 00 00 00", 0x08, 36},
        RequestCase{"GetLunMap",
                    [](CAspiReader& d) {
                      std::uint16_t map = 0;
                      return d.GetLunMap(0, 1, map);
                    },
                    "EC 00 00 00 00 00", 0x08, 1},
        RequestCase{"GetCardType",
                    [](CAspiReader& d) {
                      std::uint8_t type = 0;
                      return d.GetCardType(0, 1, 0, type);
                    },
                    "ED 00 00 00 00 00", 0x08, 1}),
    [](const auto& info) { return std::string(info.param.name); });

using Request = AspiBench;

// The data travel through the request's own area: the layer sees the bytes
// to write, and the caller gets the bytes read, whether the layer completed
// the request at once or later on its thread.
TEST_F(Request, DataReachTheCardAndComeBackBothWaysOfCompletion) {
  OpenReader(1);
  for (std::uint16_t sector = 0; sector < 4; ++sector) {
    const SectorBuffer written = Sector(static_cast<std::uint8_t>(sector * 31));
    ASSERT_EQ(device.WriteLBA(sector, 1, written.data()), 1);
    SectorBuffer read{};
    ASSERT_EQ(device.ReadLBA(sector, 1, read.data()), 1);
    EXPECT_EQ(read, written);
  }
  bool atOnce = false;
  bool later = false;
  for (const SimAspiRecord& r : layer.ExecuteRecords()) {
    atOnce |= r.completion == kSimAspiAtOnce;
    later |= r.completion == kSimAspiLater;
    if (r.cdb[0] == 0x2A) {
      const SectorBuffer written = Sector(static_cast<std::uint8_t>(r.cdb[5] * 31));
      EXPECT_EQ(0, std::memcmp(r.dataOut, written.data(), sizeof r.dataOut)) << "the layer sees the bytes to write";
    }
  }
  EXPECT_TRUE(atOnce && later);
  for (const auto& wait : requests.waits) {
    EXPECT_EQ(wait.milliseconds, 3000u);
    EXPECT_EQ(wait.result, static_cast<DWORD>(WAIT_OBJECT_0));
  }
  EXPECT_EQ(host.TotalSleep(), 0u);
}

TEST_F(Request, AFailedDeviceStateReadsWritableAfterOnePause) {
  OpenReader(1, "1M", "fail-command E7/1 at 1");
  std::uint8_t state = 0xFF;
  EXPECT_EQ(device.GetDeviceState(state), 0);
  EXPECT_EQ(state, 0);
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].kind, HostEvent::Kind::Sleep);
  EXPECT_EQ(host.Events()[0].a, 1000);
}

TEST_F(Request, AFailedQueryLeavesTheCallersValues) {
  OpenReader(1);
  std::uint8_t type = 0x77;
  EXPECT_EQ(device.GetCardType(0, 6, 0, type), 0);  // nothing at target 6
  EXPECT_EQ(type, 0x77);
  MediaGeometry geometry = device.geometry;
  EXPECT_EQ(device.ReadMediaInfo(nullptr, 0, 6, geometry), 0);
  EXPECT_EQ(geometry.unitCount, 1) << "nothing is decoded from a failed request";
  EXPECT_EQ(host.TotalSleep(), 2000u);
}

TEST_F(Request, AFailedInquiryCostsNoPause) {
  OpenReader(1);
  std::uint8_t reply[48];
  std::memset(reply, 0x55, sizeof reply);
  EXPECT_EQ(device.Inquiry(0, 6, reply, 36), 0);
  EXPECT_EQ(reply[0], 0);
  EXPECT_EQ(reply[35], 0);
  EXPECT_EQ(reply[36], 0x55) << "only the asked length is cleared";
  EXPECT_EQ(host.TotalSleep(), 0u);
}

TEST_F(Request, AFailedReadLeavesZeros) {
  OpenReader(1, "1M", "fail-command 28 at 1");
  SectorBuffer data;
  data.fill(0x55);
  EXPECT_EQ(device.ReadLBA(3, 1, data.data()), 0);
  EXPECT_EQ(data, SectorBuffer{});
  EXPECT_EQ(host.TotalSleep(), 1000u);
}

TEST_F(Request, MoreThanOneSectorAtATime) {
  OpenReader(1);
  std::vector<std::uint8_t> written(4 * kSectorSize);
  for (std::size_t i = 0; i < written.size(); ++i) written[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(device.WriteLBA(10, 4, written.data()), 1);
  std::vector<std::uint8_t> read(written.size());
  ASSERT_EQ(device.ReadLBA(10, 4, read.data()), 1);
  EXPECT_EQ(read, written);
}

TEST_F(Request, WaitReadyPausesOnTheHostsClock) {
  OpenReader(1);
  EXPECT_EQ(device.WaitReady(), 1);
  EXPECT_EQ(host.TotalSleep(), 1000u);
  EXPECT_TRUE(layer.ExecuteRecords().empty());
}

TEST_F(Request, AfterCloseNothingReachesTheLayer) {
  OpenReader(1);
  device.Close();
  SectorBuffer data{};
  EXPECT_EQ(device.ReadLBA(0, 1, data.data()), 0);
  EXPECT_EQ(device.IsOpen(), 0);
  EXPECT_TRUE(layer.Records().empty());
}

// --- Requests the layer keeps ---------------------------------------------------------------

// The layer keeps the request past its 3000 ms wait but gives it up when
// asked: the block is aborted, the request fails after its pause, and the
// same block serves the next request.
TEST_F(Request, StillPendingAfterItsWaitIsAborted) {
  OpenReader(1);
  void* const block = device.requestBlock;
  layer.Hold(1, false);
  PageBuffer page;
  page.fill(0x55);
  EXPECT_EQ(device.ReadPhySector(0, 8, page), 0);
  EXPECT_EQ(page, PageBuffer{});
  ASSERT_EQ(requests.waits.size(), 2u);
  EXPECT_EQ(requests.waits[0].milliseconds, 3000u);
  EXPECT_EQ(requests.waits[0].result, static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(requests.waits[1].result, static_cast<DWORD>(WAIT_OBJECT_0)) << "the abort's completion is signalled";
  EXPECT_EQ(requests.VirtualTime(), 3000u);
  EXPECT_EQ(host.TotalSleep(), 1000u);
  const auto records = layer.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].completion, kSimAspiHeld);
  EXPECT_EQ(records[1].command, aspi::kAbortSrb);
  EXPECT_EQ(records[1].abortTarget, reinterpret_cast<std::uintptr_t>(block));
  EXPECT_EQ(device.ParkedRequests(), 0u);
  EXPECT_EQ(layer.HeldCount(), 0);
  EXPECT_EQ(device.ReadPhySector(0, 8, page), 1);
  EXPECT_EQ(device.requestBlock, block);
}

// The layer will not give the request up: its block, data area and event
// stay with it, the next requests get fresh ones, and when the layer at last
// completes it, it writes into memory that is still the backend's, not into
// the caller's buffer. It writes the status first and signals the event it
// reads from the block later: until then the block and event stay. The layer
// checks that the block it held was left alone and its event still open.
TEST_F(Request, ALayerThatKeepsTheRequestGetsItsMemoryForGood) {
  OpenReader(1);
  void* const block = device.requestBlock;
  void* const event = device.requestEvent;
  layer.Hold(1, true);
  SectorBuffer data;
  data.fill(0x55);
  EXPECT_EQ(device.ReadLBA(0, 1, data.data()), 0);
  ASSERT_EQ(requests.waits.size(), 2u);
  EXPECT_EQ(requests.waits[0].milliseconds, 3000u);
  EXPECT_EQ(requests.waits[1].milliseconds, 1000u);
  EXPECT_EQ(host.TotalSleep(), 1000u);
  EXPECT_EQ(device.ParkedRequests(), 1u);
  EXPECT_NE(device.requestBlock, block);
  EXPECT_NE(device.requestEvent, event);
  EXPECT_TRUE(requests.IsLive(block));

  for (int i = 0; i < 3; ++i) {
    const SectorBuffer written = Sector(static_cast<std::uint8_t>(i));
    EXPECT_EQ(device.WriteLBA(static_cast<std::uint16_t>(i), 1, written.data()), 1);
  }
  EXPECT_TRUE(requests.IsLive(block)) << "set-aside memory is kept while the layer holds it";
  data.fill(0x5A);
  EXPECT_EQ(layer.WriteHeldStatus(), 1);
  SectorBuffer read{};
  EXPECT_EQ(device.ReadLBA(2, 1, read.data()), 1);
  EXPECT_EQ(read, Sector(2));
  EXPECT_TRUE(requests.IsLive(block)) << "released between the layer's status and its signal";
  EXPECT_EQ(layer.ReleaseHeld(), 1);
  for (std::uint8_t b : data) ASSERT_EQ(b, 0x5A) << "the late completion wrote into the caller's buffer";
  EXPECT_TRUE(layer.Misuse().empty());

  EXPECT_EQ(device.ReadLBA(2, 1, read.data()), 1);
  EXPECT_EQ(device.ParkedRequests(), 0u) << "released once the layer let go of it";
  EXPECT_FALSE(requests.IsLive(block));
}

// Close with a request the layer still keeps: the library goes, but the
// kept request's memory and event stay until the layer has let go of them.
TEST_F(Request, CloseKeepsWhatTheLayerStillHolds) {
  OpenReader(1);
  void* const block = device.requestBlock;
  layer.Hold(1, true);
  EXPECT_EQ(device.FormatEnd(), 0);
  device.Close();
  EXPECT_EQ(library.Loads(), library.Unloads());
  EXPECT_EQ(device.ParkedRequests(), 1u);
  EXPECT_TRUE(requests.IsLive(block));
  EXPECT_EQ(requests.OpenEvents(), 1);
  EXPECT_EQ(layer.ReleaseHeld(), 1);
  EXPECT_TRUE(layer.Misuse().empty());
  device.Close();
  EXPECT_EQ(device.ParkedRequests(), 0u);
}

// Once the layer has left the process, nothing can complete what it kept:
// Close releases it.
TEST_F(Request, CloseAfterTheLayerLeftReleasesWhatItKept) {
  OpenReader(1);
  void* const block = device.requestBlock;
  layer.Hold(1, true);
  EXPECT_EQ(device.FormatEnd(), 0);
  layer.Reset(1);  // forgets the request, as a layer taken out of the process does
  library.goneAfterUnload = true;
  device.Close();
  EXPECT_EQ(device.ParkedRequests(), 0u);
  EXPECT_FALSE(requests.IsLive(block));
}

}  // namespace
