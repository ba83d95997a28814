// Which family of the system the program runs on, and so which reader
// backend it can use.
#pragma once

#include "transport/win32/platform_version.h"

enum class PlatformKind : int {
  Unsupported = 1,  // no backend: Win32s, 98 before Second Edition, 95, NT 4, anything unknown
  Windows9x = 2,    // 98 Second Edition, ME: the ASPI backend
  WindowsNt = 4,    // 2000 and later: the pass-through backend
};

// The kind of one version record.
PlatformKind KindOf(const PlatformVersion& version);

// Reads the version with the extended record, then, if that fails, with the
// basic one; Unsupported when both fail.
PlatformKind DetectPlatform(PlatformVersionApi& api);
