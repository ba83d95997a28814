// Reading a card without changing it, on every platform and on simulated
// cards alike: smformat --check (the card check through the reader's
// page-read command), smformat --dump (a card image of the whole card), and
// what the console tool says before its question when the card holds files.
// Only the page read, the device state and logical-sector reads reach the
// reader: nothing is ever written to the card.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "app/cli/cli_context.h"
#include "card/card_check.h"

class CReaderDevice;

// What was asked of the card: its check, its dump into `out`, or what a
// format would do to it (--dry-run).
struct CardRead {
  std::optional<std::string> dumpPath;  // none: the check
  bool json = false;                    // the check's report as JSON
  bool force = false;                   // the dump may replace an existing file
  bool full = false;                    // the check reads every page
  bool forecast = false;                // what a format would do, and a restore of `restorePath` after it
  std::optional<std::string> restorePath = {};
};

// Runs the check or the dump on a reader that has found its card. `source`
// names the card in the report ("/dev/sdc, Generic STORAGE DEVICE (USB
// 1d6b:5301)"). Returns the exit status: the check's (CheckStatus), the
// dump's 0 when written.
int ReadCardIn(CReaderDevice& reader, const std::string& source, const CardRead& request, CliContext& context);

// The check's report as smcard and smformat print it: the source, the
// geometry, then the findings; or one JSON object.
void PrintCardCheck(std::ostream& out, const card::CardCheck& check, const std::string& label,
                    const std::string& source, const card::CardGeometry& geometry, bool json);
// 0 no fault and the SmartMedia layout; 1 faults of the card, or the card
// could not be read to its end; kExitLayoutDiffers differences from the
// layout alone.
int CheckStatus(const card::CardCheck& check);

// The line the console tool says before its question when the card holds
// files (its root directory lists something), or cannot tell; empty when it
// holds none.
std::string CardFilesNotice(CReaderDevice& reader);
