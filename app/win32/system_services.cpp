// The real implementations of the dialog's clock, shell and thread seams.
#include <windows.h>

#include <process.h>
#include <shlobj.h>

#include "app/win32/clock.h"
#include "app/win32/shell_api.h"
#include "app/win32/thread_starter.h"

namespace {

constexpr DWORD kVolumeNameLength = 64;

class Win32Clock : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

class Win32ShellApi : public ShellApi {
 public:
  void NotifyDirectoryChanged(const std::string& path) override {
    SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, path.c_str(), nullptr);
  }

  void QueryVolumeInformation(const std::string& rootPath) override {
    char volumeName[kVolumeNameLength] = {};
    char fileSystemName[kVolumeNameLength] = {};
    DWORD serial = 0;
    DWORD maxComponent = 0;
    DWORD flags = 0;
    GetVolumeInformationA(rootPath.c_str(), volumeName, kVolumeNameLength, &serial, &maxComponent, &flags,
                          fileSystemName, kVolumeNameLength);
  }
};

class Win32ThreadStarter : public ThreadStarter {
 public:
  HANDLE Start(Routine routine, void* argument) override {
    unsigned threadId = 0;  // 95 and 98 fail a thread start that has no place for the thread's id
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, routine, argument, 0, &threadId));
  }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

ShellApi& SystemShellApi() {
  static Win32ShellApi shell;
  return shell;
}

ThreadStarter& SystemThreadStarter() {
  static Win32ThreadStarter threads;
  return threads;
}
