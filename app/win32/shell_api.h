// The two shell calls at the end of a successful job: the change
// notification for the drive's root and the volume information query. Tests
// stand a recorder in for them.
#pragma once

#include <string>

class ShellApi {
 public:
  virtual ~ShellApi() = default;
  // SHChangeNotify(SHCNE_UPDATEDIR) with the path.
  virtual void NotifyDirectoryChanged(const std::string& path) = 0;
  // GetVolumeInformationA on the root path, volume and file-system names
  // into 64-character buffers. The answer is not used.
  virtual void QueryVolumeInformation(const std::string& rootPath) = 0;
};

// The implementation that calls the shell and the system.
ShellApi& SystemShellApi();
