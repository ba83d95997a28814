// The card's volume: its drive letter from the walk down the device tree,
// and the unlock through the vwin32 DOS IOCTL service.
#include <functional>
#include <ostream>

#include "tests/aspi/aspi_bench.h"

namespace {

using aspitest::AspiBench;
using aspitest::kReaderId;

constexpr char kNone = CAspiReader::kNoDriveLetter;
constexpr const char* kOtherId = "VID_0000&PID_0001";

struct WalkCase {
  const char* name;
  std::uint8_t driveIndex;
  std::function<void(FakeDeviceTree&)> build;
  char letter;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class DriveLetterWalk : public AspiBench, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(DriveLetterWalk, FindsTheLetterAtTheCardsPosition) {
  GetParam().build(tree);
  device.driveIndex = GetParam().driveIndex;
  EXPECT_EQ(device.GetDriveLetter(), GetParam().letter);
  if (GetParam().letter == kNone) {
    EXPECT_EQ(
        host.Messages(),
        (std::vector<HostMessage>{HostMessage{"Get no drive letter", "Info", MessageStyle{}, MessageOwner::None}}));
  } else {
    EXPECT_TRUE(host.Messages().empty());
  }
  // Nothing is cached: a second call walks again and finds the same.
  EXPECT_EQ(device.GetDriveLetter(), GetParam().letter);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, DriveLetterWalk,
    ::testing::Values(
        WalkCase{"OneReader", 0, [](FakeDeviceTree& t) { t.AddReader(t.AddUsbClass(), kReaderId, {'E'}); }, 'E'},
        WalkCase{"SecondLunOfTheReader", 1,
                 [](FakeDeviceTree& t) {
                   t.AddReader(t.AddUsbClass(), kReaderId, {'E', 'F'});
                 },
                 'F'},
        WalkCase{"OtherDevicesArePassed", 0,
                 [](FakeDeviceTree& t) {
                   const int usb = t.AddUsbClass();
                   t.AddReader(usb, kOtherId, {'D'});
                   t.AddReader(usb, kReaderId, {'H'});
                 },
                 'H'},
        WalkCase{"LowerCaseHardwareId", 0,
                 [](FakeDeviceTree& t) { t.AddReader(t.AddUsbClass(), "usb\\vid_1d6b&pid_5301&rev_0100", {'K'}); },
                 'K'},
        WalkCase{"OnlyTheFirstHardwareIdCounts", 0,
                 [](FakeDeviceTree& t) {
                   const DEVINST usb = t.AddDevice(t.AddUsbClass(), {"USB\\ROOT_HUB", kReaderId});
                   t.SetLetter(t.AddChild(t.AddChild(usb)), 'E');
                 },
                 kNone},
        // The counter runs over the whole walk: the second supported
        // device's letter is the one at position 1.
        WalkCase{"CounterRunsOnAcrossDevices", 1,
                 [](FakeDeviceTree& t) {
                   const int usb = t.AddUsbClass();
                   t.AddReader(usb, kReaderId, {'E'});
                   t.AddReader(usb, "VID_2F4A&PID_0C02", {'G'});
                 },
                 'G'},
        WalkCase{"CounterRunsOnAcrossClasses", 1,
                 [](FakeDeviceTree& t) {
                   t.AddReader(t.AddUsbClass(), kReaderId, {'E'});
                   t.AddReader(t.AddUsbClass(), kReaderId, {'J'});
                 },
                 'J'},
        WalkCase{"NodesWithoutALetterDoNotCount", 1,
                 [](FakeDeviceTree& t) {
                   t.AddReader(t.AddUsbClass(), kReaderId, {'E', 0, 'F'});
                 },
                 'F'},
        WalkCase{"UnopenableKeysArePassed", 0,
                 [](FakeDeviceTree& t) {
                   const DEVINST usb = t.AddReader(t.AddUsbClass(), kReaderId, {'E', 'F'});
                   DEVINST storage = 0;
                   DEVINST first = 0;
                   t.GetChild(&storage, usb);
                   t.GetChild(&first, storage);
                   t.SetKeyFails(first);
                 },
                 'F'},
        WalkCase{"SiblingsOfTheFirstChild", 0,
                 [](FakeDeviceTree& t) {
                   const DEVINST usb = t.AddDevice(t.AddUsbClass(), {kReaderId});
                   t.AddChild(usb);  // no grandchild
                   t.SetLetter(t.AddChild(t.AddChild(usb)), 'M');
                 },
                 'M'},
        WalkCase{"UnreadableHardwareIds", 0,
                 [](FakeDeviceTree& t) { t.SetUnreadableIds(t.AddReader(t.AddUsbClass(), kReaderId, {'E'})); }, kNone},
        WalkCase{"AtMostEightClasses", 0,
                 [](FakeDeviceTree& t) {
                   for (int i = 0; i < 8; ++i) t.AddUsbClass();
                   t.AddReader(t.AddUsbClass(), kReaderId, {'E'});
                 },
                 kNone},
        WalkCase{"NoUsbClass", 0, [](FakeDeviceTree&) {}, kNone},
        WalkCase{"IndexBeyondTheLetters", 2,
                 [](FakeDeviceTree& t) {
                   t.AddReader(t.AddUsbClass(), kReaderId, {'E', 'F'});
                 },
                 kNone}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriveLetterWalk, AnEmptyIdentifierListMatchesNothing) {
  RecordingHost quiet;
  quiet.deviceIdText = "";
  CAspiReader noIds(quiet, AspiPlatform{library, requests, tree, vwin32, version});
  tree.AddReader(tree.AddUsbClass(), kReaderId, {'E'});
  EXPECT_EQ(noIds.GetDriveLetter(), kNone);
}

// --- UnlockVolume -------------------------------------------------------------------------------

using Unlock = AspiBench;

TEST_F(Unlock, SendsTheDosUnlockForTheDrive) {
  device.driveLetter = 'E';
  EXPECT_EQ(device.UnlockVolume(), 1);
  ASSERT_EQ(vwin32.opens.size(), 1u);
  const FakeVwin32::OpenCall& open = vwin32.opens[0];
  EXPECT_EQ(open.path, "\\\\.\\vwin32");
  EXPECT_EQ(open.access, 0u);
  EXPECT_EQ(open.shareMode, 0u);
  EXPECT_EQ(open.creationDisposition, 0u);
  EXPECT_EQ(open.flags, static_cast<DWORD>(FILE_FLAG_DELETE_ON_CLOSE));
  ASSERT_EQ(vwin32.controls.size(), 1u);
  const FakeVwin32::ControlCall& call = vwin32.controls[0];
  EXPECT_EQ(call.code, 1u);
  EXPECT_EQ(call.inputLength, 28u);
  EXPECT_EQ(call.outputLength, 28u);
  EXPECT_TRUE(call.sameBuffer);
  EXPECT_EQ(call.registers.reg_EAX, 0x440Du);
  EXPECT_EQ(call.registers.reg_ECX, 0x086Au);
  EXPECT_EQ(call.registers.reg_EBX, 5u) << "drive E";
  EXPECT_EQ(call.registers.reg_EDX, 0u);
  EXPECT_EQ(call.registers.reg_EDI, 0u);
  EXPECT_EQ(call.registers.reg_ESI, 0u);
  EXPECT_EQ(call.registers.reg_Flags, 0u);
}

struct UnlockCase {
  const char* name;
  char letter;
  bool openFails, controlFails, carry;
  int result;
  std::size_t opens;
};

void PrintTo(const UnlockCase& c, std::ostream* os) { *os << c.name; }

class UnlockResult : public AspiBench, public ::testing::WithParamInterface<UnlockCase> {};

TEST_P(UnlockResult, IsOneOnlyWhenTheCallSucceededWithoutCarry) {
  const UnlockCase& c = GetParam();
  device.driveLetter = c.letter;
  vwin32.openFails = c.openFails;
  vwin32.controlFails = c.controlFails;
  vwin32.carry = c.carry;
  EXPECT_EQ(device.UnlockVolume(), c.result);
  EXPECT_EQ(vwin32.opens.size(), c.opens);
  EXPECT_EQ(vwin32.openHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, UnlockResult,
                         ::testing::Values(UnlockCase{"Unlocked", 'Z', false, false, false, 1, 1},
                                           UnlockCase{"CarrySet", 'E', false, false, true, 0, 1},
                                           UnlockCase{"ControlFails", 'E', false, true, false, 0, 1},
                                           UnlockCase{"NoVwin32", 'E', true, false, false, 0, 1},
                                           // No drive letter was found: refused, vwin32 untouched.
                                           UnlockCase{"NoDriveLetter", CAspiReader::kNoDriveLetter, false, false, false,
                                                      0, 0},
                                           UnlockCase{"NeverSearched", 0, false, false, false, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
