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

#include "sim/card_storage.h"

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
  sim::StorageOpener openImage = sim::OpenFileStorage;
  // What the real-reader commands reach of the system (Linux: SgSystem,
  // Windows: VolumeApi); null: the real system.
  SgSystem* sgSystem = nullptr;
  VolumeApi* volumeApi = nullptr;
};

// Exit statuses of the tools.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // the work failed or was refused
constexpr int kExitUsage = 2;    // the command line was wrong
// Done, but part of it could not be read: what could was written, and the
// rest is named (smcard export, files and extract).
constexpr int kExitIncomplete = 3;
