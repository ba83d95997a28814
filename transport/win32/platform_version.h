// The running system's version, as GetVersionExA reports it. The dialog
// picks the reader backend by it, and the ASPI backend picks the form of its
// logical-unit scan by the minor version. Both read it through this seam, so
// that tests can stand any release in for the one Wine pretends to be.
#pragma once

#include <windows.h>

struct PlatformVersion {
  DWORD platformId = 0;  // VER_PLATFORM_WIN32s (0), _WINDOWS (1), _NT (2)
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;  // on the 9x family only the low 16 bits are the build number
};

class PlatformVersionApi {
 public:
  virtual ~PlatformVersionApi() = default;
  // GetVersionExA with the extended record (OSVERSIONINFOEXA). False when
  // the call fails.
  virtual bool ReadExtended(PlatformVersion& version) = 0;
  // GetVersionExA with the basic record (OSVERSIONINFOA).
  virtual bool ReadBasic(PlatformVersion& version) = 0;
};

// The implementation that asks the system.
class Win32PlatformVersionApi : public PlatformVersionApi {
 public:
  bool ReadExtended(PlatformVersion& version) override;
  bool ReadBasic(PlatformVersion& version) override;
};

// The process-wide real implementation.
PlatformVersionApi& SystemPlatformVersionApi();
