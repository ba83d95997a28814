// What a command-line tool runs with: its streams, whether stderr is a
// terminal, how it sleeps and the stop flag that Ctrl-C raises. The real
// programs fill it from the process; tests fill it with string streams, a
// virtual sleep and their own flag.
//
// A simulated card needs no time to present a new medium, so its pauses
// pass on a virtual clock: `virtualSleep` is told of each (the programs
// leave it empty) and `sleep`, the real clock, is kept for real readers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>

#include "card/card_storage.h"

class SgSystem;
class VolumeApi;

struct CliContext {
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  bool errIsTerminal = false;
  std::function<void(std::uint32_t)> sleep;
  std::atomic<int>& stopFlag;
  std::function<void(std::uint32_t)> virtualSleep = {};
  // How card images are opened; tests wrap it to stand in for host failures.
  card::StorageOpener openImage = card::OpenFileStorage;
  // What the real-reader commands reach of the system (Linux: SgSystem,
  // Windows: VolumeApi); null: the real system.
  SgSystem* sgSystem = nullptr;
  VolumeApi* volumeApi = nullptr;
  // The terminal's width in columns, 0 when it cannot tell; none: 80.
  std::function<int()> terminalColumns = {};
  // Milliseconds from any fixed start, for the time a format took; none:
  // the steady clock.
  std::function<std::uint64_t()> clock = {};
  // --quiet: no progress and no closing summaries; messages, errors and
  // questions stay.
  bool quiet = false;
};

// Exit statuses of the tools, one table for both (their --help and manual
// pages say it too).
constexpr int kExitSuccess = 0;        // done; a check found the card sound
constexpr int kExitFailure = 1;        // the work failed or was refused, or the check found faults of the card
constexpr int kExitUsage = 2;          // the command line was wrong
constexpr int kExitDeclined = 3;       // the question was answered No, or the work was stopped
constexpr int kExitLayoutDiffers = 4;  // the check found only differences from the layout, which a format mends
// Done, but part of it could not be read: what could was written, and the
// rest is named (smcard export, files and extract, smformat --dump).
constexpr int kExitIncomplete = 5;

// The table as --help shows it.
constexpr const char* kExitStatusHelp =
    "Exit status:\n"
    "  0  done (a check: the card is sound)\n"
    "  1  failed or refused, or the check found faults of the card\n"
    "  2  the command line was wrong\n"
    "  3  nothing was done (the question was answered No), or stopped\n"
    "  4  the check found only differences from the SmartMedia layout, which a\n"
    "     format mends\n"
    "  5  done but incomplete: part of the card could not be read (what could is\n"
    "     written, the rest is named)\n";
