#include "app/win32/platform_kind.h"

namespace {

constexpr DWORD kWin32sPlatform = VER_PLATFORM_WIN32s;
constexpr DWORD kWindows9xPlatform = VER_PLATFORM_WIN32_WINDOWS;
constexpr DWORD kWindowsNtPlatform = VER_PLATFORM_WIN32_NT;
static_assert(kWin32sPlatform == 0 && kWindows9xPlatform == 1 && kWindowsNtPlatform == 2);

// 98 Second Edition is 4.10 build 2222; the build number is the low word.
constexpr DWORD kFirst9xMinor = 10;
constexpr DWORD kFirst9xBuild = 2222;
constexpr DWORD kBuildMask = 0xFFFF;
constexpr DWORD kFirstNtMajor = 5;

bool Is98SecondEditionOrLater(const PlatformVersion& v) {
  const bool after95 = v.major > 4 || (v.major == 4 && v.minor > 0);
  return after95 && v.minor >= kFirst9xMinor && (v.build & kBuildMask) >= kFirst9xBuild;
}

}  // namespace

PlatformKind KindOf(const PlatformVersion& version) {
  switch (version.platformId) {
    case kWindows9xPlatform:
      return Is98SecondEditionOrLater(version) ? PlatformKind::Windows9x : PlatformKind::Unsupported;
    case kWindowsNtPlatform:
      return version.major >= kFirstNtMajor ? PlatformKind::WindowsNt : PlatformKind::Unsupported;
    default:
      return PlatformKind::Unsupported;
  }
}

PlatformKind DetectPlatform(PlatformVersionApi& api) {
  PlatformVersion version;
  if (api.ReadExtended(version) || api.ReadBasic(version)) return KindOf(version);
  return PlatformKind::Unsupported;
}
