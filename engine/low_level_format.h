// The low-level format of a SmartMedia card: CIS scan, erase pass, CIS write,
// end of format, then the FAT file system.
#pragma once

#include <atomic>
#include <string>

#include "engine/format_host.h"
#include "engine/media_geometry.h"

class CReaderDevice;

// Turns whatever is on the card into a freshly formatted card. Drives the
// progress bar (0-100) and the status text through `host`, reports every
// failure in a message box owned by the dialog, and returns 0 silently at its
// next checkpoint once `stopFlag` is non-zero. Returns 1 on success, which
// it reports only over a card it has checked. Blocks are retired only on
// evidence about them (see RetirementRule), the CIS goes only where hosts
// look for it (see zone_layout.h), and a command that fails with the card
// or the reader gone ends the run at once.
int LowLevelFormat(CReaderDevice& reader, const std::atomic<int>& stopFlag, FormatHost& host);

// Why a card with this geometry cannot be formatted, or an empty string when
// it can: no unit, a zero block size, more blocks in a unit than the 16-bit
// block numbers of the erase command reach, sizes beyond 32 bits, or a
// capacity that gives no valid file system.
std::string CardGeometryFault(const MediaGeometry& geometry);
