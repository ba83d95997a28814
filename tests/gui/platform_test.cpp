// The platform kinds through the version seam, the backend each kind gets,
// and what the dialog does when it gets no reader.
#include <gtest/gtest.h>

#include "app/win32/platform_kind.h"
#include "resources/resource_ids.h"
#include "tests/gui/dialog_bench.h"
#include "tests/gui/window_driver.h"
#include "transport/aspi/aspi_reader.h"
#include "transport/passthrough/pass_through_reader.h"

namespace {

using namespace guitest;

struct KindCase {
  const char* name;
  PlatformVersion version;
  PlatformKind kind;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

constexpr DWORD kWin32s = VER_PLATFORM_WIN32s;
constexpr DWORD k9x = VER_PLATFORM_WIN32_WINDOWS;
constexpr DWORD kNt = VER_PLATFORM_WIN32_NT;

const KindCase kKindCases[] = {
    {"Win32s", {kWin32s, 3, 11, 0}, PlatformKind::Unsupported},
    {"Windows95", {k9x, 4, 0, 950}, PlatformKind::Unsupported},
    {"Windows98", {k9x, 4, 10, 0x040A07CE}, PlatformKind::Unsupported},              // build 1998
    {"Windows98BuildBelowSE", {k9x, 4, 10, 0x040A08AD}, PlatformKind::Unsupported},  // build 2221
    {"Windows98SE", {k9x, 4, 10, 0x040A08AE}, PlatformKind::Windows9x},              // build 2222
    {"WindowsMe", {k9x, 4, 90, 0x045A0BB8}, PlatformKind::Windows9x},                // build 3000
    {"Future9xWithLowMinor", {k9x, 5, 0, 3000}, PlatformKind::Unsupported},
    {"NT4", {kNt, 4, 0, 1381}, PlatformKind::Unsupported},
    {"Windows2000", {kNt, 5, 0, 2195}, PlatformKind::WindowsNt},
    {"WindowsXP", {kNt, 5, 1, 2600}, PlatformKind::WindowsNt},
    {"Windows10", {kNt, 10, 0, 19045}, PlatformKind::WindowsNt},
    {"UnknownPlatformId", {3, 10, 0, 0}, PlatformKind::Unsupported},
    {"LargePlatformId", {0xFFFFFFFF, 10, 0, 0}, PlatformKind::Unsupported},
};

class PlatformKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(PlatformKinds, FromTheExtendedRecord) {
  FakeVersionApi api;
  api.extended = GetParam().version;
  EXPECT_EQ(DetectPlatform(api), GetParam().kind);
  EXPECT_EQ(api.basicCalls, 0);
}

TEST_P(PlatformKinds, FromTheBasicRecordWhenTheExtendedOneFails) {
  FakeVersionApi api;
  api.basic = GetParam().version;
  EXPECT_EQ(DetectPlatform(api), GetParam().kind);
  EXPECT_EQ(api.extendedCalls, 1);
  EXPECT_EQ(api.basicCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(Releases, PlatformKinds, ::testing::ValuesIn(kKindCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlatformKind, UnsupportedWhenNeitherRecordCanBeRead) {
  FakeVersionApi api;
  EXPECT_EQ(DetectPlatform(api), PlatformKind::Unsupported);
  EXPECT_EQ(api.basicCalls, 1);
}

TEST(PlatformKind, ThisSystemIsOfTheNtFamily) {
  EXPECT_EQ(DetectPlatform(SystemPlatformVersionApi()), PlatformKind::WindowsNt);
}

TEST(HardwareReaders, EachKindGetsItsBackend) {
  Timeline timeline;
  VirtualClock clock(timeline);
  DialogHost host(GetModuleHandleA(nullptr), clock);
  HardwareReaderFactory factory;
  const auto nt = factory.Create(PlatformKind::WindowsNt, host);
  EXPECT_NE(dynamic_cast<CPassThroughReader*>(nt.get()), nullptr);
  const auto nineX = factory.Create(PlatformKind::Windows9x, host);
  EXPECT_NE(dynamic_cast<CAspiReader*>(nineX.get()), nullptr);
  EXPECT_EQ(factory.Create(PlatformKind::Unsupported, host), nullptr);
}

// "Device not found": caption "Information", the error icon, owned by the
// dialog; the dialog ends with 1 and the Format button stays disabled.
void ExpectNoDevice(LiveDialog& live) {
  const gui::MessageBoxView box = ExpectBox(facts::kDeviceNotFound);
  ASSERT_NE(box.owner, nullptr);
  EXPECT_EQ(gui::WindowText(box.owner), kDialogCaption);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(box.owner, IDC_FORMAT)));
  ASSERT_TRUE(gui::Answer(box, IDOK));
  ASSERT_TRUE(live.WaitEnded());
  EXPECT_EQ(live.Result(), CFormatDlg::kNoDevice);
}

struct NoReaderCase {
  const char* name;
  PlatformVersion version;
  PlatformKind kind;
  bool readerMade;
};

void PrintTo(const NoReaderCase& c, std::ostream* os) { *os << c.name; }

// On this machine no reader is plugged in, whichever backend is chosen.
const NoReaderCase kNoReaderCases[] = {
    {"Windows98NoBackend", {k9x, 4, 10, 1998}, PlatformKind::Unsupported, false},
    {"NT4NoBackend", {kNt, 4, 0, 1381}, PlatformKind::Unsupported, false},
    {"UnknownPlatformNoBackend", {7, 1, 0, 0}, PlatformKind::Unsupported, false},
    {"Windows98SE", {k9x, 4, 10, 2222}, PlatformKind::Windows9x, true},
    {"WindowsXP", {kNt, 5, 1, 2600}, PlatformKind::WindowsNt, true},
};

class NoReader : public ::testing::TestWithParam<NoReaderCase> {};

TEST_P(NoReader, DeviceNotFoundEndsTheProgram) {
  Timeline timeline;
  VirtualClock clock(timeline);
  RecordingShell shell(timeline);
  FakeVersionApi version;
  version.extended = GetParam().version;
  HardwareReaderFactory hardware;
  WatchingFactory readers(hardware);
  {
    LiveDialog live(readers, version, clock, shell);
    live.Start();
    ExpectNoDevice(live);
    EXPECT_EQ(live.Dialog().Kind(), GetParam().kind);
  }
  EXPECT_EQ(readers.kinds, std::vector<PlatformKind>{GetParam().kind});
  EXPECT_EQ(readers.readersGiven, GetParam().readerMade ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Platforms, NoReader, ::testing::ValuesIn(kNoReaderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The simulated reader refuses: not a SmartMedia card in the slot.
using NoCard = DialogBench;

TEST_F(NoCard, DeviceNotFoundAndTheReaderIsClosedAndDeleted) {
  simReader.Plan().cardType = 0;
  Live().Start();
  ExpectNoDevice(Live());
  EXPECT_EQ(fate.created, 1);
  EXPECT_EQ(fate.closedAtDestruction, 1);
  EXPECT_EQ(fate.destroyed, 1);
}

}  // namespace
