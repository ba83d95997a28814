#include "transport/win32/platform_version.h"

namespace {

template <typename Record>
bool Read(Record& record, PlatformVersion& version) {
  record = Record{};
  record.dwOSVersionInfoSize = sizeof(Record);
  // GetVersionExA is deprecated in newer SDKs but is the call the 9x family
  // has; the record-size member tells it which record it was given.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const BOOL ok = GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&record));
#pragma GCC diagnostic pop
  if (!ok) return false;
  version.platformId = record.dwPlatformId;
  version.major = record.dwMajorVersion;
  version.minor = record.dwMinorVersion;
  version.build = record.dwBuildNumber;
  return true;
}

}  // namespace

bool Win32PlatformVersionApi::ReadExtended(PlatformVersion& version) {
  OSVERSIONINFOEXA record;
  return Read(record, version);
}

bool Win32PlatformVersionApi::ReadBasic(PlatformVersion& version) {
  OSVERSIONINFOA record;
  return Read(record, version);
}

PlatformVersionApi& SystemPlatformVersionApi() {
  static Win32PlatformVersionApi api;
  return api;
}
