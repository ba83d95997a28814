#include "tests/gui/window_driver.h"

#include <vector>

namespace gui {

namespace {

constexpr DWORD kPollMs = 2;        // between two looks at the windows
constexpr int kBoxTextId = 0xFFFF;  // the text of a message box

struct Search {
  std::string className;
  std::string caption;
  DWORD processId;
  HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search.processId || !IsWindowVisible(window)) return TRUE;
  if (ClassName(window) != search.className || WindowText(window) != search.caption) return TRUE;
  search.found = window;
  return FALSE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  return TRUE;
}

BoxIcon IconOf(HWND box) {
  std::vector<HWND> children;
  EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    if (ClassName(child) != "Static" || !IsWindowVisible(child)) continue;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
    const auto icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
    if (icon == nullptr) continue;
    if (icon == LoadIconA(nullptr, IDI_ERROR)) return BoxIcon::Error;
    if (icon == LoadIconA(nullptr, IDI_WARNING)) return BoxIcon::Warning;
    if (icon == LoadIconA(nullptr, IDI_INFORMATION)) return BoxIcon::Information;
    return BoxIcon::Other;
  }
  return BoxIcon::None;
}

// Wine's message box holds every kind of button and hides those not asked for.
std::vector<int> ButtonsOf(HWND box) {
  std::vector<HWND> children;
  EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&children));
  std::vector<int> ids;
  for (HWND child : children) {
    if (ClassName(child) == "Button" && IsWindowVisible(child)) ids.push_back(GetDlgCtrlID(child));
  }
  return ids;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD deadlineMs) {
  const ULONGLONG end = GetTickCount64() + deadlineMs;
  while (!condition()) {
    if (GetTickCount64() >= end) return false;
    Sleep(kPollMs);
  }
  return true;
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(window, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
  return text;
}

std::string ClassName(HWND window) {
  char name[256] = {};
  const int length = GetClassNameA(window, name, sizeof name);
  return std::string(name, length > 0 ? static_cast<std::size_t>(length) : 0);
}

HWND FindTopLevel(const std::string& className, const std::string& caption, DWORD processId) {
  Search search{className, caption, processId != 0 ? processId : GetCurrentProcessId(), nullptr};
  EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForTopLevel(const std::string& className, const std::string& caption, DWORD processId, DWORD deadlineMs) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindTopLevel(className, caption, processId)) != nullptr; }, deadlineMs);
  return found;
}

void Click(HWND dialog, int buttonId) { SendMessageA(GetDlgItem(dialog, buttonId), BM_CLICK, 0, 0); }

MessageBoxView WaitForMessageBox(const std::string& caption, DWORD processId, DWORD deadlineMs) {
  MessageBoxView view;
  view.window = WaitForTopLevel(kDialogClass, caption, processId, deadlineMs);
  if (view.window == nullptr) return view;
  view.caption = caption;
  view.text = WindowText(GetDlgItem(view.window, kBoxTextId));
  view.owner = GetWindow(view.window, GW_OWNER);
  view.icon = IconOf(view.window);
  view.buttons = ButtonsOf(view.window);
  return view;
}

bool Answer(const MessageBoxView& box, int buttonId) {
  if (box.window == nullptr) return false;
  PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box.window, buttonId)));
  return WaitUntil([&] { return !IsWindow(box.window); });
}

}  // namespace gui
