// Prints the system's version as a program sees it: "PLATFORM MAJOR.MINOR
// BUILD" (the build's low word on the 9x family), so that the tests can make
// sure that Wine plays the Windows the run asks for.
#include <windows.h>

#include <cstdio>

int main() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version)) return 1;
  std::printf("%lu %lu.%lu %lu\n", version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion,
              version.dwBuildNumber & 0xFFFF);
  return 0;
}
