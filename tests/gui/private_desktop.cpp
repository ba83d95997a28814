#include "tests/gui/private_desktop.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr char kDesktopSizesKey[] = "Software\\Wine\\Explorer\\Desktops";
constexpr char kDesktopSize[] = "1024x768";
constexpr DWORD kDesktopCloseDeadlineMs = 5000;
constexpr DWORD kPollMs = 10;

std::string CurrentDesktopName() {
  char name[256] = {};
  DWORD needed = 0;
  GetUserObjectInformationA(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, name, sizeof name - 1, &needed);
  return name;
}

// Wine draws a desktop whose size is in the registry as a window of its own
// (a virtual desktop): window frames included, and no window manager to wait
// for when a window is hidden. The entry lives as long as the run.
class DesktopSizeEntry {
 public:
  explicit DesktopSizeEntry(const std::string& desktop) : name(desktop) {
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kDesktopSizesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      key = nullptr;
      return;
    }
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kDesktopSize), sizeof kDesktopSize);
  }
  ~DesktopSizeEntry() {
    if (key == nullptr) return;
    RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
  }
  DesktopSizeEntry(const DesktopSizeEntry&) = delete;
  DesktopSizeEntry& operator=(const DesktopSizeEntry&) = delete;

 private:
  std::string name;
  HKEY key = nullptr;
};

// The system closes a desktop a moment after its last program has left, and
// the process that draws it (which shares our output streams) ends with it.
// Waiting for that keeps that process from outliving the run.
void WaitUntilGone(const std::string& name) {
  const ULONGLONG end = GetTickCount64() + kDesktopCloseDeadlineMs;
  while (GetTickCount64() < end) {
    const HDESK desktop = OpenDesktopA(name.c_str(), 0, FALSE, DESKTOP_READOBJECTS);
    if (desktop == nullptr) return;
    CloseDesktop(desktop);
    Sleep(kPollMs);
  }
}

// Starts this program again with its command line; the new process and all
// its threads live on this thread's desktop. (Naming the desktop in the
// start-up information instead would leave the program's other threads on
// the default desktop under Wine.)
int RunAgainAndWait() {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const char* line = GetCommandLineA();
  std::vector<char> commandLine(line, line + std::strlen(line) + 1);
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "cannot start the program again (error %lu)\n", GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

}  // namespace

std::optional<int> RelaunchOnPrivateDesktop(const std::string& prefix) {
  if (CurrentDesktopName().rfind(prefix, 0) == 0) return std::nullopt;

  const std::string name = prefix + std::to_string(GetCurrentProcessId());
  int status = 1;
  {
    DesktopSizeEntry size(name);
    const HDESK desktop = CreateDesktopA(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    const HDESK original = GetThreadDesktop(GetCurrentThreadId());
    if (desktop == nullptr || !SetThreadDesktop(desktop)) {
      std::fprintf(stderr, "cannot use a desktop of its own (error %lu)\n", GetLastError());
      if (desktop != nullptr) CloseDesktop(desktop);
      return 1;
    }
    status = RunAgainAndWait();
    SetThreadDesktop(original);
    CloseDesktop(desktop);
    WaitUntilGone(name);
  }
  return status;
}
