// Format jobs driven through the live dialog: stopping, refusing, declining,
// closing in the middle, the companion tool, the message boxes' owners, and a
// whole format against the command-line tool's.
#include <gtest/gtest.h>

#include <process.h>

#include <algorithm>

#include "app/win32/dialog_desktop.h"
#include "resources/resource_ids.h"
#include "tests/gui/card_files.h"
#include "tests/gui/dialog_bench.h"
#include "tests/gui/window_driver.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace guitest;

using JobTest = DialogBench;

// What the operator does to the dialog, as its message loop gets it.
struct Action {
  const char* name;
  void (*act)(HWND dialog);
};

void PrintTo(const Action& action, std::ostream* os) { *os << action.name; }

void PressKey(HWND dialog, WPARAM key) { PostMessageA(dialog, WM_KEYDOWN, key, 0); }

// Enter comes as IDOK: no button of the dialog is its default one.
const Action kStopWays[] = {{"StopButton", [](HWND dialog) { gui::Click(dialog, IDC_CLOSE_STOP); }},
                            {"EnterKey", [](HWND dialog) { PressKey(dialog, VK_RETURN); }}};

class StopDuringAJob : public DialogBench, public ::testing::WithParamInterface<Action> {};

TEST_P(StopDuringAJob, InThePhysicalPassThenFormatAgain) {
  const HWND dialog = Live().Open(&gate);
  ASSERT_NE(dialog, nullptr);
  Live().TraceMessages();
  gate.Arm(ReaderOperation::ErasePhyBlk, 10);
  StartFormat(dialog);
  ASSERT_TRUE(gate.WaitReached());

  GetParam().act(dialog);
  ASSERT_TRUE(gui::WaitUntil([&] { return Live().Dialog().StopFlag() == 1; }));
  EXPECT_EQ(Live().State(), kStopping);
  EXPECT_TRUE(IsWindow(dialog)) << "Stop leaves the dialog open";
  gate.Release();
  ASSERT_TRUE(Live().WaitJobFinished());

  EXPECT_EQ(Live().State(), kStopped);
  EXPECT_EQ(gui::WindowText(GetDlgItem(dialog, IDC_STATUS)), "The card is partly erased: format it again.");
  EXPECT_EQ(gui::FindTopLevel(gui::kDialogClass, "Information"), nullptr) << "no \"Format Complete!\"";
  EXPECT_EQ(timeline.Count("shell notify S:\\"), 0u);
  EXPECT_EQ(timeline.Count("FormatEnd"), 0u) << "the job left at the erase pass";
  EXPECT_EQ(timeline.Count("UnlockVolume"), 1u);
  const std::vector<int> positions = Live().ProgressPositions();
  EXPECT_EQ(std::count(positions.begin(), positions.end(), 100), 0);
  EXPECT_EQ(positions.back(), 0);

  StartFormat(dialog);
  FinishFormat(Live());
  EXPECT_EQ(Live().State(), kIdle);
  EXPECT_EQ(timeline.Count("shell notify S:\\"), 1u);
  EXPECT_EQ(timeline.Count("volume query S:\\"), 1u);
  EXPECT_EQ(card::Inspect(*card).cisBlock, std::optional<std::uint32_t>(0));
}

INSTANTIATE_TEST_SUITE_P(Ways, StopDuringAJob, ::testing::ValuesIn(kStopWays),
                         [](const auto& info) { return std::string(info.param.name); });

// Jobs that end before the format, with nothing written: the refusals, the
// answer No, a thread the system would not start, and the volume lock's
// tries, which a Stop ends at once and a volume whose reader is gone ends
// with its reason.
enum class Setting { None, WriteProtected, NoThread, VolumeBusy, VolumeGone };

struct EarlyEnd {
  const char* name;
  Setting setting;
  int question;                // the answer to the confirmation, 0 if it is not asked
  void (*atFirstPause)(HWND);  // done by the job's thread at its first pause
  const facts::Box* box;       // then comes, and is answered with its last button
  std::size_t locks;
  std::uint64_t slept;
};

constexpr const char* kCardSummary = "1 MB card, 2000 sectors, no files";  // before the question

void PrintTo(const EarlyEnd& row, std::ostream* os) { *os << row.name; }

class EndsEarly : public DialogBench, public ::testing::WithParamInterface<EarlyEnd> {};

TEST_P(EndsEarly, LeavesTheCardUntouched) {
  const EarlyEnd& row = GetParam();
  simReader.Plan().writeProtected = row.setting == Setting::WriteProtected;
  Live().Threads().refuse = row.setting == Setting::NoThread;
  fate.volumeBusy = row.setting == Setting::VolumeBusy;
  fate.volumeGone = row.setting == Setting::VolumeGone;
  const std::vector<std::uint8_t> before = card->Media().Bytes();
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);
  if (row.atFirstPause != nullptr) clock.atNextPause = [&] { row.atFirstPause(dialog); };

  PostMessageA(GetDlgItem(dialog, IDC_FORMAT), BM_CLICK, 0, 0);  // a refused thread's box holds the dialog thread
  if (row.question != 0) {
    const gui::MessageBoxView question = ExpectBox(facts::kConfirm);
    EXPECT_EQ(gui::WindowText(GetDlgItem(dialog, IDC_STATUS)), kCardSummary);
    ASSERT_TRUE(gui::Answer(question, row.question));
  }
  if (row.box != nullptr) {
    const gui::MessageBoxView box = ExpectBox(*row.box);
    EXPECT_EQ(box.owner, dialog);
    ASSERT_TRUE(gui::Answer(box, row.box->buttons.back()));
  }
  ASSERT_TRUE(Live().WaitJobFinished());

  EXPECT_EQ(Live().State(), row.atFirstPause != nullptr ? kStopped : kIdle);
  if (row.atFirstPause != nullptr) {  // a Stop, which the status line tells of
    EXPECT_EQ(gui::WindowText(GetDlgItem(dialog, IDC_STATUS)), "Stopped: nothing was done.");
  }
  EXPECT_EQ(gui::FindTopLevel(gui::kDialogClass, "Warning"), nullptr) << "no question left";
  EXPECT_EQ(timeline.Count("LockVolume"), row.locks);
  EXPECT_EQ(clock.Total(), row.slept);
  EXPECT_TRUE(card->Media().Bytes() == before);
}

// Another program's job end, "Close" on the Stop button and a Format click,
// then Stop: had the dialog taken them for its state, or waited there for the
// job's end, it and the job would wait for each other for good.
void OutsideMessagesThenStop(HWND dialog) {
  SendMessageA(dialog, WM_USER + 5, 0, 0);
  SendMessageA(GetDlgItem(dialog, IDC_CLOSE_STOP), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("Close"));
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_FORMAT, BN_CLICKED), 0);
  gui::Click(dialog, IDC_CLOSE_STOP);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EndsEarly,
    ::testing::Values(
        EarlyEnd{"WriteProtected", Setting::WriteProtected, 0, nullptr, &facts::kWriteProtected, 0, 0},
        EarlyEnd{"AnswerNo", Setting::None, IDNO, nullptr, nullptr, 0, 0},
        EarlyEnd{"NoThread", Setting::NoThread, 0, nullptr, &facts::kNoThread, 0, 0},
        EarlyEnd{"BusyVolumeAndNo", Setting::VolumeBusy, IDYES, nullptr, &facts::kVolumeBusy, 50, 49 * 100},
        EarlyEnd{"StopWhileTheLockIsTried", Setting::VolumeBusy, IDYES, OutsideMessagesThenStop, nullptr, 1, 100},
        EarlyEnd{"VolumeGone", Setting::VolumeGone, IDYES, nullptr, &facts::kReaderGone, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The ways an operator can close the window other than the Close button.
const Action kCloseWays[] = {
    {"EscapeKey", [](HWND dialog) { PressKey(dialog, VK_ESCAPE); }},
    {"AltF4", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    {"CloseMessage", [](HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); }},
};

class CloseDuringAJob : public DialogBench, public ::testing::WithParamInterface<Action> {};

TEST_P(CloseDuringAJob, StopsTheJobAndClosesWhenItHasEnded) {
  const HWND dialog = Live().Open(&gate);
  ASSERT_NE(dialog, nullptr);
  gate.Arm(ReaderOperation::ErasePhyBlk, 5);
  StartFormat(dialog);
  ASSERT_TRUE(gate.WaitReached());

  GetParam().act(dialog);
  ASSERT_TRUE(gui::WaitUntil([&] { return Live().Dialog().StopFlag() == 1; })) << "the close stops the job";
  EXPECT_TRUE(IsWindow(dialog)) << "the dialog waits for the job";
  EXPECT_EQ(Live().State(), kStopping);
  EXPECT_EQ(fate.closed, 0);
  gate.Release();

  ASSERT_TRUE(Live().WaitEnded());
  EXPECT_EQ(Live().Result(), CFormatDlg::kCancelled);
  EXPECT_EQ(gui::FindTopLevel(gui::kDialogClass, "Information"), nullptr);
  EXPECT_EQ(fate.destroyed, 1);
  EXPECT_EQ(fate.closedAtDestruction, 1);
  EXPECT_EQ(fate.commandsInFlightAtDestruction, 0);
  EXPECT_FALSE(fate.workerAliveAtDestruction) << "the reader went before its worker ended";
}

INSTANTIATE_TEST_SUITE_P(Ways, CloseDuringAJob, ::testing::ValuesIn(kCloseWays),
                         [](const auto& info) { return std::string(info.param.name); });

// A quit message ends the dialog's message loop, which destroys the dialog
// with the job still running: the job is stopped and waited for before the
// reader goes.
TEST_F(JobTest, DestroyedDuringAJobTheReaderOutlivesTheWorker) {
  const HWND dialog = Live().Open(&gate);
  ASSERT_NE(dialog, nullptr);
  gate.Arm(ReaderOperation::ErasePhyBlk, 5);
  StartFormat(dialog);
  ASSERT_TRUE(gate.WaitReached());

  PostThreadMessageA(GetWindowThreadProcessId(dialog, nullptr), WM_QUIT, 0, 0);
  ASSERT_TRUE(gui::WaitUntil([&] { return Live().Dialog().StopFlag() == 1; }));
  EXPECT_EQ(fate.destroyed, 0) << "the reader waits for the worker";
  gate.Release();

  ASSERT_TRUE(Live().WaitEnded());
  EXPECT_EQ(fate.destroyed, 1);
  EXPECT_EQ(fate.closedAtDestruction, 1);
  EXPECT_EQ(fate.commandsInFlightAtDestruction, 0);
  EXPECT_FALSE(fate.workerAliveAtDestruction) << "the reader went before its worker ended";
  EXPECT_EQ(timeline.Count("FormatEnd"), 0u) << "the job stopped at the erase pass";
}

class KeyWhenIdle : public DialogBench, public ::testing::WithParamInterface<WPARAM> {};

TEST_P(KeyWhenIdle, ClosesAtOnce) {
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);
  PressKey(dialog, GetParam());
  ASSERT_TRUE(Live().WaitEnded());
  EXPECT_EQ(Live().Result(), CFormatDlg::kCancelled);
  EXPECT_EQ(fate.destroyed, 1);
}

INSTANTIATE_TEST_SUITE_P(EscapeAndEnter, KeyWhenIdle, ::testing::Values(VK_ESCAPE, VK_RETURN));

// A window titled as the companion password tool, on a thread of its own,
// that notes the commands it receives in the timeline.
class CompanionTool {
 public:
  explicit CompanionTool(Timeline& timeline) : timeline(timeline) {
    ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Main, this, 0, nullptr));
    WaitForSingleObject(ready, gui::kDeadlineMs);
  }
  ~CompanionTool() {
    PostMessageA(window, WM_CLOSE, 0, 0);
    WaitForSingleObject(thread, gui::kDeadlineMs);
    CloseHandle(thread);
    CloseHandle(ready);
  }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* tool = reinterpret_cast<CompanionTool*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_COMMAND && tool != nullptr) {
      tool->timeline.Add("companion command " + std::to_string(wParam) + " " + std::to_string(lParam));
      return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
  }

  static unsigned __stdcall Main(void* self) {
    auto* tool = static_cast<CompanionTool*>(self);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = Proc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "SmformatTestCompanionTool";
    RegisterClassA(&windowClass);
    tool->window = CreateWindowA(windowClass.lpszClassName, facts::kCompanionTitle, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                 nullptr, nullptr, windowClass.hInstance, nullptr);
    SetWindowLongPtrA(tool->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(tool));
    SetEvent(tool->ready);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
  }

  Timeline& timeline;
  HANDLE ready;
  HANDLE thread;
  HWND window = nullptr;
};

TEST_F(JobTest, CompanionToolIsToldAndGivenItsPauseBeforeTheFormat) {
  CompanionTool tool(timeline);
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);
  StartFormat(dialog);
  FinishFormat(Live());

  const auto command = timeline.Find("companion command 1 0");
  const auto pause = timeline.Find("sleep 500");
  const auto firstRead = timeline.Find("ReadPhySector");
  ASSERT_TRUE(command && pause && firstRead);
  EXPECT_EQ(*pause, *command + 1) << "the pause follows the command";
  EXPECT_EQ(timeline.Find("LockVolume"), *pause + 1) << "then the volume is locked";
  EXPECT_EQ(*firstRead, *pause + 2) << "and the format begins";
  EXPECT_LT(timeline.Find("UnlockVolume").value_or(-1), timeline.Find("shell notify S:\\")) << "before the shell hears";
  EXPECT_EQ(timeline.Count("companion command 1 0"), 1u);
  EXPECT_EQ(clock.Total(), 500u + 2 * 1000u) << "the tool's pause and the format's two after format-end";
}

// On the NT family or on 98 Second Edition, which has no volume lock.
class OnEachFamily : public DialogBench, public ::testing::WithParamInterface<bool> {};

TEST_P(OnEachFamily, NoCompanionToolNoPauseAndTheVolumeLockedOnNtOnly) {
  if (!GetParam()) version.extended = PlatformVersion{1, 4, 10, 2222};
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);
  StartFormat(dialog);
  FinishFormat(Live());
  EXPECT_EQ(timeline.Count("sleep 500"), 0u);
  EXPECT_EQ(clock.Total(), 2 * 1000u);
  EXPECT_EQ(timeline.Count("LockVolume"), GetParam() ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(NtOr9x, OnEachFamily, ::testing::Bool());

// A card without a CIS whose first block cannot be programmed: the CIS
// write's plain box, then one box owned by the dialog.
class CisFailure : public DialogBench {
 protected:
  CisFailure() : DialogBench(CardOptions("1M", false)) {}
};

TEST_F(CisFailure, OneBoxBelongsToTheDialog) {
  simReader.Plan().failingProgram = {{0, 0}};
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);
  StartFormat(dialog);

  const gui::MessageBoxView plain = gui::WaitForMessageBox("Error");  // the CIS write's own, first
  EXPECT_EQ(plain.text, "Write low level header error");
  EXPECT_EQ(plain.owner, nullptr);
  ASSERT_TRUE(gui::Answer(plain, IDOK));
  const gui::MessageBoxView owned = gui::WaitForMessageBox("Error");
  EXPECT_EQ(owned.text, "Write low level header error!");
  EXPECT_EQ(owned.owner, dialog);
  EXPECT_EQ(owned.icon, gui::BoxIcon::Error);
  ASSERT_TRUE(gui::Answer(owned, IDOK));

  ASSERT_TRUE(Live().WaitJobFinished());
  EXPECT_EQ(gui::FindTopLevel(gui::kDialogClass, "Information"), nullptr) << "no \"Format Complete!\"";
  EXPECT_EQ(timeline.Count("shell notify S:\\"), 1u) << "the shell hears of the drive after a failure too";
  EXPECT_EQ(timeline.Count("UnlockVolume"), 1u);
  EXPECT_EQ(Live().State(), kIdle);
}

// The card of an image file, formatted by the dialog of `--simulate` and by
// the command-line tool, ends up the same.
TEST(WholeFormat, DialogLeavesTheCardAsTheCommandLineToolDoes) {
  TempDir dir;
  const std::string dialogImage = dir.File("dialog.img");
  const std::string toolImage = dir.File("tool.img");
  ASSERT_TRUE(MakeUsedCardImage(dialogImage, "4M"));
  ASSERT_TRUE(CopyCardImage(dialogImage, toolImage));

  {
    Timeline timeline;
    VirtualClock clock(timeline);
    RecordingShell shell(timeline);
    FakeVersionApi version = WindowsXp();
    SimulatedReaderFactory readers(dialogImage);
    LiveDialog live(readers, version, clock, shell);
    const HWND dialog = live.Open();
    ASSERT_NE(dialog, nullptr);
    StartFormat(dialog);
    FinishFormat(live);
    gui::Click(dialog, IDC_CLOSE_STOP);
    ASSERT_TRUE(live.WaitEnded());
  }

  std::string messages;
  ASSERT_EQ(FormatWithTool(toolImage, messages), 0) << messages;
  const std::string formatted = FileBytes(dialogImage);
  ASSERT_EQ(formatted.size(), FileBytes(toolImage).size());
  EXPECT_TRUE(formatted == FileBytes(toolImage)) << "the card images differ";
}

}  // namespace
