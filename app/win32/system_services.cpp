// The real implementations of the dialog's clock and shell seams.
#include <windows.h>

#include <shlobj.h>

#include "app/win32/clock.h"
#include "app/win32/shell_api.h"

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

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

ShellApi& SystemShellApi() {
  static Win32ShellApi shell;
  return shell;
}
