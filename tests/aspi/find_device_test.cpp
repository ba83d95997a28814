// The search for the reader: the layer's version and the request variant,
// the scan over host adapters and target ids, both forms of the LUN step,
// the second reader, and what FindDevice leaves behind.
#include <algorithm>
#include <ostream>

#include "tests/aspi/aspi_bench.h"

namespace {

using aspitest::AspiBench;
using aspitest::kReaderId;

constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kLunMap = 0xEC;
constexpr std::uint8_t kCardType = 0xED;

HostMessage ErrorBox(const std::string& text) { return ::ErrorBox(text, MessageOwner::None); }

// The execute requests of one opcode, as (target, lun) pairs.
std::vector<std::pair<int, int>> Sent(const std::vector<SimAspiRecord>& records, std::uint8_t opcode) {
  std::vector<std::pair<int, int>> out;
  for (const SimAspiRecord& r : records) {
    if (r.cdb[0] == opcode) out.emplace_back(r.target, r.lun);
  }
  return out;
}

// --- The layer's version ----------------------------------------------------------------

struct VariantCase {
  const char* name;
  TestLibraryApi::Resource resource;
  DWORD fileVersionMS;
  std::uint8_t senseLength;
  std::uint8_t requestFlags;
};

void PrintTo(const VariantCase& c, std::ostream* os) { *os << c.name; }

class RequestVariant : public AspiBench, public ::testing::WithParamInterface<VariantCase> {};

TEST_P(RequestVariant, FollowsTheLayersFileVersion) {
  library.resource = GetParam().resource;
  library.fileVersionMS = GetParam().fileVersionMS;
  layer.SetMode(kSimAspiAllAtOnce);
  char letter = 0;
  device.FindDevice(letter);
  EXPECT_EQ(device.senseLength, GetParam().senseLength);
  EXPECT_EQ(device.requestFlags, GetParam().requestFlags);
  const auto sent = layer.ExecuteRecords();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].flags, 0x48 | GetParam().requestFlags) << "the INQUIRY reads";
  EXPECT_EQ(sent[0].senseLength, GetParam().senseLength);
  EXPECT_EQ(library.versionFiles, std::vector<std::string>{"wnaspi32.dll"});
}

INSTANTIATE_TEST_SUITE_P(
    Versions, RequestVariant,
    ::testing::Values(VariantCase{"Version3_99", TestLibraryApi::Resource::Fixed, 0x00030063, 14, 1},
                      VariantCase{"JustBelow4", TestLibraryApi::Resource::Fixed, 0x0003FFFF, 14, 1},
                      VariantCase{"Exactly4_0", TestLibraryApi::Resource::Fixed, 0x00040000, 24, 0},
                      VariantCase{"Version4_1", TestLibraryApi::Resource::Fixed, 0x00040001, 24, 0},
                      VariantCase{"Version1_0", TestLibraryApi::Resource::Fixed, 0x00010000, 14, 1},
                      // No fixed record says nothing: the current variant.
                      VariantCase{"NoFixedRecord", TestLibraryApi::Resource::NoFixedRecord, 0, 24, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct LayerFailure {
  const char* name;
  void (*arrange)(TestLibraryApi& library, TestRequestApi& requests, SimAspiClient& layer);
};

void PrintTo(const LayerFailure& c, std::ostream* os) { *os << c.name; }

class LayerUnusable : public AspiBench, public ::testing::WithParamInterface<LayerFailure> {};

// Each ends the search silently, sends nothing to any target, and leaves
// nothing behind once Close has run (checked at the end of every test).
TEST_P(LayerUnusable, FindsNothingAndSaysNothing) {
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M"));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E'});
  GetParam().arrange(library, requests, layer);
  char letter = 'x';
  EXPECT_EQ(device.FindDevice(letter), 0);
  EXPECT_EQ(letter, 0);
  EXPECT_EQ(device.IsOpen(), 0);
  EXPECT_TRUE(host.Events().empty());
  EXPECT_TRUE(layer.ExecuteRecords().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, LayerUnusable,
    ::testing::Values(
        LayerFailure{"NoLibrary", [](TestLibraryApi& l, TestRequestApi&, SimAspiClient&) { l.loadFails = true; }},
        LayerFailure{"NoSendEntryPoint", [](TestLibraryApi& l, TestRequestApi&,
                                            SimAspiClient&) { l.hiddenEntryPoint = "SendASPI32Command"; }},
        LayerFailure{"NoSupportEntryPoint", [](TestLibraryApi& l, TestRequestApi&,
                                               SimAspiClient&) { l.hiddenEntryPoint = "GetASPI32SupportInfo"; }},
        LayerFailure{"NoVersionResource", [](TestLibraryApi& l, TestRequestApi&,
                                             SimAspiClient&) { l.resource = TestLibraryApi::Resource::None; }},
        LayerFailure{"VersionResourceUnreadable",
                     [](TestLibraryApi& l, TestRequestApi&, SimAspiClient&) {
                       l.resource = TestLibraryApi::Resource::Unreadable;
                     }},
        LayerFailure{"NoEvent", [](TestLibraryApi&, TestRequestApi& r, SimAspiClient&) { r.failEventAt = 1; }},
        LayerFailure{"NoMemoryForTheRequestBlock",
                     [](TestLibraryApi&, TestRequestApi& r, SimAspiClient&) { r.failAllocationAt = 1; }},
        LayerFailure{"NoMemoryForTheDataArea",
                     [](TestLibraryApi&, TestRequestApi& r, SimAspiClient&) { r.failAllocationAt = 2; }},
        LayerFailure{"SupportStatusNotComplete",
                     [](TestLibraryApi&, TestRequestApi&, SimAspiClient& s) { s.SetSupportStatus(0xE4); }},
        LayerFailure{"NoHostAdapter", [](TestLibraryApi&, TestRequestApi&, SimAspiClient& s) { s.Reset(0); }}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The scan --------------------------------------------------------------------------------

using Scan = AspiBench;

// Empty target ids and another kind of device cost no pause; the scan runs
// on through every target id and host adapter after the reader is found.
TEST_F(Scan, PassesEmptyTargetsAndOtherDevicesWithoutPauseAndGoesOnToTheEnd) {
  layer.Reset(2);
  ASSERT_TRUE(layer.AttachOther(0, 0, "Other   DISK DEVICE"));
  ASSERT_TRUE(layer.AttachReader(0, 3, 0, "1M"));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'G'});
  char letter = 0;
  ASSERT_EQ(device.FindDevice(letter), 1);
  EXPECT_EQ(letter, 'G');
  EXPECT_EQ(device.driveLetter, 'G');
  EXPECT_EQ(device.IsOpen(), 1);
  EXPECT_EQ(device.hostAdapter, 0);
  EXPECT_EQ(device.targetId, 3);
  EXPECT_EQ(device.lun, 0);
  EXPECT_EQ(device.driveIndex, 0);
  EXPECT_EQ(device.geometry.unitCount, 1);
  EXPECT_EQ(host.TotalSleep(), 0u);
  EXPECT_TRUE(host.Events().empty());
  int inquiries = 0;
  for (const SimAspiRecord& r : layer.ExecuteRecords()) inquiries += r.cdb[0] == kInquiry ? 1 : 0;
  EXPECT_EQ(inquiries, 16) << "two host adapters of eight target ids";
  EXPECT_EQ(version.basicReads, 1);
}

struct LunMapCase {
  const char* name;
  DWORD minor;
  const char* map;
  std::vector<std::pair<int, int>> cardTypes;  // (target, lun) asked
};

void PrintTo(const LunMapCase& c, std::ostream* os) { *os << c.name; }

class LunMap : public AspiBench, public ::testing::WithParamInterface<LunMapCase> {};

// One reader at target 1 without a card in any LUN.
TEST_P(LunMap, CountsBitsThreeToSeven) {
  version.version.minor = GetParam().minor;
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, nullptr, (std::string("lun-map ") + GetParam().map).c_str()));
  ASSERT_TRUE(layer.AttachReader(0, 1, 1, nullptr));
  char letter = 0;
  EXPECT_EQ(device.FindDevice(letter), 0);
  EXPECT_EQ(Sent(layer.ExecuteRecords(), kCardType), GetParam().cardTypes);
}

INSTANTIATE_TEST_SUITE_P(Maps, LunMap,
                         ::testing::Values(LunMapCase{"TwoLuns", 10, "18", {{1, 0}, {1, 1}}},
                                           LunMapCase{"NoLunFromBitsZeroToTwo", 10, "07", {}},
                                           LunMapCase{"TargetsAsLunsStillAskLunZero", 90, "07", {{1, 0}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scan, CardInTheSecondLunOfATwoLunReader) {
  version.version.minor = 10;
  ASSERT_TRUE(layer.AttachReader(0, 2, 0, nullptr, "lun-map 18"));
  ASSERT_TRUE(layer.AttachReader(0, 2, 1, "1M"));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E', 'F'});
  char letter = 0;
  ASSERT_EQ(device.FindDevice(letter), 1);
  EXPECT_EQ(device.lun, 1);
  EXPECT_EQ(device.driveIndex, 1);
  EXPECT_EQ(letter, 'F') << "the second drive letter below the reader";
  MediaGeometry geometry;
  ASSERT_EQ(device.ReadMediaInfo(nullptr, 0, 2, geometry), 1);
  EXPECT_EQ(layer.ExecuteRecords().back().lun, 1) << "the media information is asked at the card's LUN";
}

// A reader seen as two candidate targets with a LUN count of 2, then a third
// candidate target: the LUN map is asked of the first and the third.
TEST_F(Scan, TargetsCountedAsTheLunsOfOneReader) {
  version.version.minor = 90;
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, nullptr, "lun-map 18"));
  ASSERT_TRUE(layer.AttachReader(0, 2, 0, "1M"));
  ASSERT_TRUE(layer.AttachReader(0, 4, 0, nullptr));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E', 'F'});
  char letter = 0;
  ASSERT_EQ(device.FindDevice(letter), 1);
  EXPECT_EQ(device.targetId, 2);
  EXPECT_EQ(device.lun, 0);
  EXPECT_EQ(device.driveIndex, 1);
  EXPECT_EQ(letter, 'F');
  const auto sent = layer.ExecuteRecords();
  EXPECT_EQ(Sent(sent, kLunMap), (std::vector<std::pair<int, int>>{{1, 0}, {4, 0}}));
  EXPECT_EQ(Sent(sent, kCardType), (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {4, 0}}));
}

TEST_F(Scan, AMapWithoutLunsMakesTheNextTargetAskAgain) {
  version.version.minor = 90;
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M", "lun-map 07"));
  ASSERT_TRUE(layer.AttachReader(0, 2, 0, nullptr));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E'});
  char letter = 0;
  ASSERT_EQ(device.FindDevice(letter), 1);
  EXPECT_EQ(device.targetId, 1);
  EXPECT_EQ(device.driveIndex, 0);
  EXPECT_EQ(Sent(layer.ExecuteRecords(), kLunMap), (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}}));
}

struct LunForm {
  DWORD minor;
  unsigned firstCardLun;  // of the reader at target 1
};

void PrintTo(const LunForm& c, std::ostream* os) { *os << "minor " << c.minor << ", LUN " << c.firstCardLun; }

class EachLunForm : public AspiBench, public ::testing::WithParamInterface<LunForm> {};

TEST_P(EachLunForm, AFailingLunMapCostsOnePauseAndPassesTheTarget) {
  version.version.minor = GetParam().minor;
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M", "fail-command EC at 1"));
  char letter = 0;
  EXPECT_EQ(device.FindDevice(letter), 0);
  EXPECT_EQ(host.TotalSleep(), 1000u);
  EXPECT_TRUE(Sent(layer.ExecuteRecords(), kCardType).empty());
  EXPECT_TRUE(host.Messages().empty());
}

// The second reader's INQUIRY goes to LUN 0 whatever LUN the first card is in.
TEST_P(EachLunForm, ASecondReaderIsRefusedWithTheFirst) {
  version.version.minor = GetParam().minor;
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, GetParam().firstCardLun == 0 ? "1M" : nullptr, "lun-map 18"));
  ASSERT_TRUE(layer.AttachReader(0, 1, 1, GetParam().firstCardLun == 1 ? "1M" : nullptr));
  ASSERT_TRUE(layer.AttachReader(0, 5, 0, "1M"));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E', 'F'});
  char letter = 'x';
  EXPECT_EQ(device.FindDevice(letter), 0);
  EXPECT_EQ(letter, 0);
  EXPECT_EQ(device.IsOpen(), 0);
  EXPECT_EQ(host.Messages(),
            (std::vector<HostMessage>{ErrorBox("Please make sure only one usb storage device is plug ing!")}));
  EXPECT_EQ(tree.ListsMade(), 0) << "no drive letter is looked for";
}

INSTANTIATE_TEST_SUITE_P(Forms, EachLunForm, ::testing::Values(LunForm{10, 0}, LunForm{90, 0}, LunForm{10, 1}));

TEST_F(Scan, UnreadableMediaInformationEndsTheScan) {
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M", "fail-command E7/0 at 1"));
  ASSERT_TRUE(layer.AttachReader(0, 5, 0, "1M"));
  char letter = 0;
  EXPECT_EQ(device.FindDevice(letter), 0);
  EXPECT_EQ(device.IsOpen(), 0);
  EXPECT_EQ(host.Messages(), (std::vector<HostMessage>{ErrorBox("Read media information fail!")}));
  EXPECT_EQ(host.TotalSleep(), 1000u) << "the failed request's pause";
  for (const SimAspiRecord& r : layer.ExecuteRecords()) EXPECT_LE(r.target, 1);
}

TEST_F(Scan, NoDriveLetterStillOpensTheReader) {
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M"));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {0});  // the node carries no drive letter
  char letter = 0;
  EXPECT_EQ(device.FindDevice(letter), 1);
  EXPECT_EQ(letter, CAspiReader::kNoDriveLetter);
  EXPECT_EQ(device.driveLetter, CAspiReader::kNoDriveLetter);
  EXPECT_EQ(device.IsOpen(), 1);
  EXPECT_EQ(host.Messages(),
            (std::vector<HostMessage>{HostMessage{"Get no drive letter", "Info", MessageStyle{}, MessageOwner::None}}));
}

TEST_F(Scan, RepeatedSearchesAndClosesLeaveNothingBehind) {
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M"));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E'});
  for (int cycle = 0; cycle < 3; ++cycle) {
    char letter = 0;
    ASSERT_EQ(device.FindDevice(letter), 1);
    std::uint8_t state = 0;
    EXPECT_EQ(device.GetDeviceState(state), 1);
    device.Close();
    EXPECT_EQ(device.IsOpen(), 0);
    EXPECT_EQ(requests.OpenEvents(), 0);
    EXPECT_EQ(requests.LiveAllocations(), 0);
    EXPECT_EQ(library.Loads(), cycle + 1);
    EXPECT_EQ(library.Unloads(), cycle + 1);
    EXPECT_EQ(CAspiReader::sendCommand, nullptr);
  }
  EXPECT_TRUE(requests.autoResetNotSignalled);
}

TEST_F(Scan, ASecondSearchReleasesWhatTheFirstAcquired) {
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M"));
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E'});
  char letter = 0;
  ASSERT_EQ(device.FindDevice(letter), 1);
  ASSERT_EQ(device.FindDevice(letter), 1);
  EXPECT_EQ(requests.OpenEvents(), 1);
  EXPECT_EQ(library.Loads() - library.Unloads(), 1);
}

TEST_F(Scan, ConstructionClearsTheProcessWideEntryPoints) {
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, "1M"));
  char letter = 0;
  device.FindDevice(letter);
  ASSERT_NE(CAspiReader::sendCommand, nullptr);
  CAspiReader another(host, AspiPlatform{library, requests, tree, vwin32, version});
  EXPECT_EQ(CAspiReader::sendCommand, nullptr);
  EXPECT_EQ(CAspiReader::supportInfo, nullptr);
}

}  // namespace
