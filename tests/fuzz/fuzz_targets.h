// The fuzz targets: each takes one input of random bytes and stops the
// process (abort, with a line on stderr) when an invariant breaks. The same
// functions serve libFuzzer (one program per target, in the sanitizer build)
// and the replay of the committed corpus in every native build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The fault-plan parser: no crash, and a plan it reads comes back the same
// through its text form.
void FaultPlan(const std::uint8_t* data, std::size_t size);
// Command dispatch of the simulated reader and the reply decoders: a
// sequence of raw command blocks with data phases on a small card with
// faults. Every command answers good or CHECK CONDITION; a refused one
// changes nothing on the card; bad blocks stay bad.
void Reader(const std::uint8_t* data, std::size_t size);
// The card-image opener and sidecar loader on files made from the input:
// refused with a reason, or opened with the geometry asked for, and then
// inspected, exported and scanned without a crash.
void ImageOpener(const std::uint8_t* data, std::size_t size);

// The FAT reader on a volume made from the input, some of its sectors
// unreadable: every sector it reads is on the card, every file gives what it
// says and no more than its size, and the sectors in use are in order.
void FatVolumeTarget(const std::uint8_t* data, std::size_t size);

// The layout writers on a geometry made from the input: refused with a
// message, or the written sectors form a sound FAT volume.
struct LayoutRun {
  bool written = false;              // WriteMbr and WriteBootSector both succeeded
  std::uint32_t cardSectors = 0;     // the capacity key
  std::uint32_t partitionStart = 0;  // from the MBR
  std::uint32_t partitionSectors = 0;
  std::vector<std::uint8_t> partition;  // the partition's sectors up to the end of the root directory
};
LayoutRun Layout(const std::uint8_t* data, std::size_t size);
void LayoutTarget(const std::uint8_t* data, std::size_t size);

// Stops the process with `what` on stderr unless `condition` holds.
void Require(bool condition, const std::string& what);

}  // namespace fuzz
