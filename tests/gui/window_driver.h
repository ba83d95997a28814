// Drives windows the way an operator does, from another thread or process:
// finds them by class and caption, presses buttons, answers message boxes
// and reads controls back. Every wait polls with a bounded deadline.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace gui {

constexpr DWORD kDeadlineMs = 20000;  // far beyond any wait of a passing test

// Polls `condition` until it holds or the deadline passes; true if it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD deadlineMs = kDeadlineMs);

std::string WindowText(HWND window);
std::string ClassName(HWND window);

// A visible top-level window of process `processId` (0: this process) with
// this class and caption; null if there is none.
HWND FindTopLevel(const std::string& className, const std::string& caption, DWORD processId = 0);
HWND WaitForTopLevel(const std::string& className, const std::string& caption, DWORD processId = 0,
                     DWORD deadlineMs = kDeadlineMs);

// BM_CLICK on the dialog's button, sent: the dialog's handler has run when
// this returns.
void Click(HWND dialog, int buttonId);

enum class BoxIcon { None, Error, Warning, Information, Other };

// A message box as the operator sees it.
struct MessageBoxView {
  HWND window = nullptr;
  std::string caption;
  std::string text;
  HWND owner = nullptr;
  BoxIcon icon = BoxIcon::None;
  std::vector<int> buttons;  // the ids of the buttons it shows, in order
};

constexpr const char* kDialogClass = "#32770";

// Waits for a message box with this caption (of this process unless given)
// and reads it.
MessageBoxView WaitForMessageBox(const std::string& caption, DWORD processId = 0, DWORD deadlineMs = kDeadlineMs);
// Presses one of its buttons (IDOK, IDYES, IDNO) and waits until it is gone.
bool Answer(const MessageBoxView& box, int buttonId);

}  // namespace gui
