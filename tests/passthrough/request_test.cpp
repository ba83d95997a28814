// The request each operation hands to the system, as the system received it.
#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/passthrough/passthrough_bench.h"

namespace {

using namespace passthrough;

struct RequestCase {
  const char* name;
  std::function<int(CPassThroughReader&, HANDLE probe)> run;
  DWORD controlCode;
  DWORD inputLength;
  DWORD outputLength;
  UCHAR dataIn;
  ULONG timeout;
  const char* cdb;  // the declared CDB length's bytes; the rest of the 16 are zero
  UCHAR pathId;
  UCHAR targetId;
  ULONG dataLength;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class Requests : public pttest::PassThroughBench, public ::testing::WithParamInterface<RequestCase> {};

// A 16 MB card on E:; `probe` is a second handle of the volume, as the
// search has for the volume it is probing.
TEST_P(Requests, CarryTheCommandAsTheTableSays) {
  const RequestCase& c = GetParam();
  FindReaderOnE(simtest::Standard("16M"));
  const HANDLE probe = volumes.Open(VolumePath('E').c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  EXPECT_EQ(c.run(device, probe), 1);
  volumes.Close(probe);

  const auto sent = volumes.PassThroughRequests();
  ASSERT_EQ(sent.size(), 1u);
  const FakeVolumeApi::Request& r = sent[0];
  EXPECT_TRUE(r.reachedDevice);
  EXPECT_EQ(r.letter, 'E');
  EXPECT_EQ(r.controlCode, c.controlCode);
  EXPECT_EQ(r.inputLength, c.inputLength);
  EXPECT_EQ(r.outputLength, c.outputLength);
  EXPECT_EQ(r.length, kHeaderLength);
  EXPECT_EQ(r.dataIn, c.dataIn);
  EXPECT_EQ(r.timeOutValue, c.timeout);
  const std::vector<std::uint8_t> cdb = pttest::Hex(c.cdb);
  EXPECT_EQ(r.cdbLength, cdb.size());
  EXPECT_EQ(std::vector<std::uint8_t>(r.cdb.begin(), r.cdb.begin() + cdb.size()), cdb);
  EXPECT_TRUE(std::all_of(r.cdb.begin() + cdb.size(), r.cdb.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(r.pathId, c.pathId);
  EXPECT_EQ(r.targetId, c.targetId);
  EXPECT_EQ(r.lun, 0);
  EXPECT_EQ(r.dataTransferLength, c.dataLength);
  EXPECT_EQ(r.senseInfoLength, 24);
  EXPECT_EQ(r.senseInfoOffset, kSenseAreaOffset);
  if (c.controlCode == kScsiPassThrough) {
    EXPECT_EQ(r.dataBufferOffset, kDataAreaOffset);
  } else {
    EXPECT_EQ(r.hasDataBuffer, c.dataLength != 0);
  }
}

std::array<std::uint8_t, 48> reply{};
std::array<std::uint8_t, 512 * 3> sectors{};
PageBuffer page{};
SectorBuffer sector{};
RedundantArea redundant = [] {
  RedundantArea area{};
  area.fill(0xFF);
  return area;
}();

// On a 32-bit system these lengths come to: header 44, data area at 80,
// whole block 608, direct block 80.
const RequestCase kRequestCases[] = {
    RequestCase{"Inquiry", [](auto& d, HANDLE h) { return d.Inquiry(h, reply.data(), 36); }, kScsiPassThrough,
                kHeaderLength, kDataAreaOffset + 36, kDataIn, 3, "12 00 00 00 24 00 00 00 00 00 00 00", 0, 0, 36},
    RequestCase{"GetCardType",
                [](auto& d, HANDLE h) {
                  std::uint8_t type = 0;
                  return d.GetCardType(h, type);
                },
                kScsiPassThrough, kDataAreaOffset, kDataAreaOffset + 1, kDataIn, 3, "ED 00 00 00 00 00", 0, 0, 1},
    RequestCase{"ReadMediaInfo",
                [](auto& d, HANDLE h) {
                  MediaGeometry geometry;
                  return d.ReadMediaInfo(h, 1, 2, geometry);
                },
                kScsiPassThrough, kRequestLength, kDataAreaOffset + 36, kDataIn, 3, "E7 00 00 00 24 00", 1, 2, 36},
    RequestCase{"ReadLBA", [](auto& d, HANDLE) { return d.ReadLBA(0x1234, 1, sectors.data()); }, kScsiPassThrough,
                kHeaderLength, kDataAreaOffset + 512, kDataIn, 5, "28 00 00 00 12 34 00 00 01 00 00 00", 0, 0, 512},
    RequestCase{"ReadLBAOfThreeSectors", [](auto& d, HANDLE) { return d.ReadLBA(2, 3, sectors.data()); },
                kScsiPassThroughDirect, kDirectRequestLength, kDirectRequestLength, kDataIn, 5,
                "28 00 00 00 00 02 00 00 03 00 00 00", 0, 0, 1536},
    RequestCase{"WriteLBA", [](auto& d, HANDLE) { return d.WriteLBA(7, 1, sectors.data()); }, kScsiPassThroughDirect,
                kDirectRequestLength, kDirectRequestLength, kDataOut, 8, "2A 00 00 00 00 07 00 00 01 00 00 00", 0, 0,
                512},
    RequestCase{"ErasePhyBlk", [](auto& d, HANDLE) { return d.ErasePhyBlk(0, 300); }, kScsiPassThrough, kRequestLength,
                kDataAreaOffset, kDataUnspecified, 3, "E8 00 01 2C 00 00", 0, 0, 0},
    RequestCase{"ReadPhySector", [](auto& d, HANDLE) { return d.ReadPhySector(0, 33, page); }, kScsiPassThrough,
                kRequestLength, kDataAreaOffset + 528, kDataIn, 3, "EA 00 00 00 00 21", 0, 0, 528},
    RequestCase{"WriteRedundant", [](auto& d, HANDLE) { return d.WriteRedundant(0, 40, redundant); }, kScsiPassThrough,
                kRequestLength, kDataAreaOffset + 16, kDataOut, 3, "E9 00 00 00 00 28", 0, 0, 16},
    RequestCase{"WritePhySector", [](auto& d, HANDLE) { return d.WritePhySector(0, 40, sector); }, kScsiPassThrough,
                kRequestLength, kDataAreaOffset + 512, kDataOut, 3, "EB 00 00 00 00 28", 0, 0, 512},
    RequestCase{"GetDeviceState",
                [](auto& d, HANDLE) {
                  std::uint8_t state = 0;
                  return d.GetDeviceState(state);
                },
                kScsiPassThrough, kRequestLength, kDataAreaOffset + 1, kDataIn, 3, "E7 01 00 00 24 00", 0, 0, 1},
    RequestCase{"UnLock", [](auto& d, HANDLE) { return d.UnLock(); }, kScsiPassThroughDirect, kDirectRequestLength,
                kDirectRequestLength, kDataUnspecified, 5, "E6 02 00 00 00 00", 0, 0, 0},
    RequestCase{"Lock", [](auto& d, HANDLE) { return d.Lock(); }, kScsiPassThroughDirect, kDirectRequestLength,
                kDirectRequestLength, kDataUnspecified, 5, "E6 03 00 00 00 00", 0, 0, 0},
    RequestCase{"FormatEnd", [](auto& d, HANDLE) { return d.FormatEnd(); }, kScsiPassThroughDirect,
                kDirectRequestLength, kDirectRequestLength, kDataUnspecified, 5, "E6 05 00 00 00 00", 0, 0, 0},
    RequestCase{"SetLbaOffset", [](auto& d, HANDLE) { return d.SetLbaOffset(1u << 24); }, kScsiPassThroughDirect,
                kDirectRequestLength, kDirectRequestLength, kDataUnspecified, 5, "E6 04 01 00 00 00", 0, 0, 0}};

INSTANTIATE_TEST_SUITE_P(Operations, Requests, ::testing::ValuesIn(kRequestCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The model's checks: a request the system would refuse never reaches the reader.

struct Malformed {
  const char* name;
  std::function<void(PassThroughRequest&, DWORD& in, DWORD& out)> spoil;
};

void PrintTo(const Malformed& c, std::ostream* os) { *os << c.name; }

class MalformedRequest : public pttest::PassThroughBench, public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedRequest, FailsTheControlBeforeTheReader) {
  sim::Reader& reader = FindReaderOnE();
  PassThroughRequest request;
  const RequestRow& row = *RequestRowFor(ReaderOperation::WriteRedundant);
  ASSERT_TRUE(BuildBufferedRequest(request, WriteRedundantCommand(0, 40), row, 0, 0, redundant.data()));
  DWORD in = InputLength(row);
  DWORD out = OutputLength(row, kRedundantSize);
  GetParam().spoil(request, in, out);
  const std::uint32_t before = reader.CommandCount();
  DWORD returned = 0;
  const BOOL ok = volumes.Control(device.volumeHandle, ControlCode(row), &request, in, &request, out, &returned);
  EXPECT_EQ(ok, std::string(GetParam().name) == "NothingWrong" ? TRUE : FALSE);
  EXPECT_EQ(reader.CommandCount(), before + (ok ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MalformedRequest,
    ::testing::Values(Malformed{"NothingWrong", [](auto&, DWORD&, DWORD&) {}},
                      Malformed{"InputShorterThanTheHeader", [](auto&, DWORD& in, DWORD&) { in = kHeaderLength - 1; }},
                      Malformed{"WrongLength", [](auto& r, DWORD&, DWORD&) { r.header.Length += 4; }},
                      Malformed{"DataBeyondTheInput", [](auto&, DWORD& in, DWORD&) { in = kDataAreaOffset + 8; }},
                      Malformed{"DataInsideTheHeader", [](auto& r, DWORD&, DWORD&) { r.header.DataBufferOffset = 8; }},
                      Malformed{"SenseBeyondTheOutput",
                                [](auto& r, DWORD&, DWORD& out) { r.header.SenseInfoOffset = out - 8; }},
                      Malformed{"CdbOver16", [](auto& r, DWORD&, DWORD&) { r.header.CdbLength = 17; }},
                      Malformed{"UnknownDirection", [](auto& r, DWORD&, DWORD&) { r.header.DataIn = 3; }}),
    [](const auto& info) { return std::string(info.param.name); });

using DirectRequest = pttest::PassThroughBench;

TEST_F(DirectRequest, WithoutItsBufferFailsBeforeTheReader) {
  sim::Reader& reader = FindReaderOnE();
  const std::uint32_t before = reader.CommandCount();
  PassThroughDirectRequest request;
  const RequestRow& row = *RequestRowFor(ReaderOperation::WriteLba);
  BuildDirectRequest(request, WriteLbaCommand(0, 1), row, nullptr);
  DWORD returned = 0;
  EXPECT_FALSE(volumes.Control(device.volumeHandle, ControlCode(row), &request, InputLength(row), &request,
                               OutputLength(row, 512), &returned));
  EXPECT_EQ(reader.CommandCount(), before);
}

}  // namespace
