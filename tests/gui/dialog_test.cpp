// The dialog as the template defines it, read back from the live window, and
// its state through the life of a job.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <vector>

#include "app/win32/dialog_messages.h"
#include "resources/resource_ids.h"
#include "tests/gui/dialog_bench.h"
#include "tests/gui/window_driver.h"

namespace {

using namespace guitest;

struct ControlRow {
  int id;
  const char* className;
  const char* text;
  RECT units;   // x, y, width, height in dialog units
  DWORD style;  // style bits the control must have
};

// The template's controls in their order.
const std::vector<ControlRow> kControls = {
    {facts::kCloseStopButton, "Button", "Close", {198, 30, 50, 14}, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
    {facts::kProgressBar, PROGRESS_CLASSA, "", {16, 35, 170, 8}, WS_VISIBLE},  // its border is drawn by the theme
    {facts::kFormatButton, "Button", "&Format", {198, 12, 50, 14}, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
    {facts::kStatusText, "Static", "Formatting...", {17, 15, 167, 8}, SS_LEFT},
};

// Where the dialog manager puts a control: position and size each converted
// from dialog units on their own.
RECT PixelsOf(HWND dialog, const RECT& units) {
  RECT position{units.left, units.top, 0, 0};
  RECT size{units.right, units.bottom, 0, 0};
  MapDialogRect(dialog, &position);
  MapDialogRect(dialog, &size);
  return RECT{position.left, position.top, position.left + size.left, position.top + size.top};
}

RECT ClientRectOf(HWND control, HWND dialog) {
  RECT rect;
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string Describe(const RECT& r) {
  return "(" + std::to_string(r.left) + "," + std::to_string(r.top) + ")-(" + std::to_string(r.right) + "," +
         std::to_string(r.bottom) + ")";
}

TEST_F(DialogBench, WindowIsTheTemplate) {
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);

  EXPECT_EQ(gui::WindowText(dialog), kDialogCaption);
  EXPECT_EQ(gui::ClassName(dialog), gui::kDialogClass);
  const LONG style = GetWindowLongA(dialog, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_EQ(style & WS_SYSMENU, WS_SYSMENU);
  EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
  EXPECT_EQ(style & WS_POPUP, WS_POPUP);
  EXPECT_EQ(GetParent(dialog), nullptr);

  RECT size{0, 0, 259, 57};
  MapDialogRect(dialog, &size);
  RECT client;
  GetClientRect(dialog, &client);
  EXPECT_TRUE(SameRect(client, size)) << Describe(client) << " vs " << Describe(size);

  LOGFONTA font{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_STREQ(font.lfFaceName, "Arial");

  // The children in creation order, each as the template has it.
  HWND child = GetWindow(dialog, GW_CHILD);
  for (const ControlRow& row : kControls) {
    ASSERT_NE(child, nullptr) << "missing control " << row.id;
    SCOPED_TRACE("control " + std::to_string(row.id));
    EXPECT_EQ(GetDlgCtrlID(child), row.id);
    EXPECT_EQ(gui::ClassName(child), row.className);
    EXPECT_EQ(gui::WindowText(child), row.text);
    const RECT expected = PixelsOf(dialog, row.units);
    const RECT actual = ClientRectOf(child, dialog);
    EXPECT_TRUE(SameRect(actual, expected)) << Describe(actual) << " vs " << Describe(expected);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE)) & row.style, row.style);
    child = GetWindow(child, GW_HWNDNEXT);
  }
  EXPECT_EQ(child, nullptr) << "a control the template does not have";

  // The icon of group 130, big and small.
  const auto big = reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0));
  EXPECT_NE(big, nullptr);
  EXPECT_EQ(big, Live().Dialog().Icon());
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0)), big);
  EXPECT_EQ(reinterpret_cast<HICON>(SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0)), big);

  EXPECT_EQ(Live().State(), kIdle);
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, IDC_PROGRESS)));
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0), 0);
}

TEST_F(DialogBench, PrivateMessagesSetProgressAndStatus) {
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(SendMessageA(dialog, facts::kSetProgress, 42, 0), 0);
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0), 42);
  EXPECT_EQ(SendMessageA(dialog, facts::kSetStatus, 0, reinterpret_cast<LPARAM>("Building file system.....")), 0);
  EXPECT_EQ(gui::WindowText(GetDlgItem(dialog, IDC_STATUS)), "Building file system.....");
}

TEST_F(DialogBench, DeviceListComesFromStringResource102) {
  ASSERT_NE(Live().Open(), nullptr);
  DialogHost host(GetModuleHandleA(nullptr), clock);
  EXPECT_EQ(host.DeviceIdListText(), kBuiltinDeviceIdList);
}

TEST_F(DialogBench, CloseWhenIdleEndsTheDialogAtOnce) {
  const HWND dialog = Live().Open();
  ASSERT_NE(dialog, nullptr);
  gui::Click(dialog, IDC_CLOSE_STOP);
  ASSERT_TRUE(Live().WaitEnded());
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(Live().Result(), CFormatDlg::kClosed);
  EXPECT_EQ(fate.closed, 1);
  EXPECT_EQ(fate.destroyed, 1);
  EXPECT_EQ(fate.closedAtDestruction, 1) << "the reader is closed before it is deleted";
}

// Every transition of a job that completes: Idle, Running, Idle; the end
// steps in their order, all before the event, and nothing after it.
TEST_F(DialogBench, StateAtEachTransitionAndEndStepOrder) {
  const HWND dialog = Live().Open(&gate);
  ASSERT_NE(dialog, nullptr);
  Live().TraceMessages();
  gate.Arm(ReaderOperation::ErasePhyBlk, 3);

  gui::Click(dialog, IDC_FORMAT);
  const gui::MessageBoxView question = ExpectBox(facts::kConfirm);
  EXPECT_EQ(Live().State(), (DialogState{"Stop", false, true, 0, false})) << "the card's size on the status line";
  ASSERT_TRUE(gui::Answer(question, IDYES));

  ASSERT_TRUE(gate.WaitReached());
  EXPECT_EQ(Live().State(), kRunning);
  EXPECT_EQ(gui::WindowText(GetDlgItem(dialog, IDC_STATUS)), "Formatting............");
  gate.Release();

  const gui::MessageBoxView done = ExpectBox(facts::kComplete);
  EXPECT_EQ(done.owner, dialog);
  EXPECT_EQ(Live().State(), kRunning) << "the box comes before the end steps";
  ASSERT_TRUE(gui::Answer(done, IDOK));
  ASSERT_TRUE(Live().WaitJobFinished());
  EXPECT_EQ(Live().State(), kIdle);

  const std::vector<TracedMessage> trace = Live().Trace();
  ASSERT_GE(trace.size(), 3u);
  const TracedMessage* end = &trace[trace.size() - 3];
  EXPECT_EQ(end[0].message, kShowStatusMessage);
  EXPECT_EQ(end[0].wParam, 0u);
  EXPECT_EQ(end[1].message, kSetProgressMessage);
  EXPECT_EQ(end[1].wParam, 0u);
  EXPECT_EQ(end[2].message, kRestoreIdleMessage);
  for (const TracedMessage& traced : trace) {
    EXPECT_EQ(traced.stopFlag, 0) << "message " << traced.message << " after the stop flag went up";
    EXPECT_FALSE(traced.jobFinishedSignalled) << "message " << traced.message << " after the event";
  }
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0), 0);

  const std::vector<int> positions = Live().ProgressPositions();
  ASSERT_GE(positions.size(), 6u);
  EXPECT_EQ(positions.front(), 0);
  EXPECT_EQ(std::vector<int>(positions.end() - 6, positions.end()), (std::vector<int>{85, 90, 98, 100, 100, 0}))
      << "the format's last positions, the job's 100 and the end step's 0";
}

}  // namespace
