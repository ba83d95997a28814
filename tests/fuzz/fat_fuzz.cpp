#include <algorithm>

#include "engine/fat_reader.h"
#include "tests/fuzz/fuzz_targets.h"

namespace fuzz {

namespace {

// The input: a bitmap of the sectors that cannot be read, then the logical
// image; sectors past its end are zeros.
constexpr std::size_t kBitmapBytes = 32;
constexpr std::uint64_t kMostSectors = kBitmapBytes * 8;

bool SortedAndApart(const std::vector<FatRun>& runs, std::uint64_t end) {
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].count == 0 || runs[i].first + runs[i].count > end) return false;
    if (i > 0 && runs[i - 1].first + runs[i - 1].count >= runs[i].first) return false;
  }
  return true;
}

}  // namespace

void FatVolumeTarget(const std::uint8_t* data, std::size_t size) {
  if (size < kBitmapBytes) return;
  const std::uint8_t* image = data + kBitmapBytes;
  const std::size_t imageBytes = size - kBitmapBytes;
  const LogicalSectorReader read = [&](std::uint32_t sector, SectorBuffer& out) {
    Require(sector < kMostSectors, "no sector beyond the card is read");
    if ((data[sector / 8] >> (sector % 8)) & 1) return false;
    out.fill(0);
    const std::size_t at = std::size_t{sector} * kSectorSize;
    if (at < imageBytes) std::copy(image + at, image + std::min(imageBytes, at + kSectorSize), out.begin());
    return true;
  };
  FatReader reader(read, kMostSectors);
  if (!reader.Open().empty()) return;
  Require(SortedAndApart(reader.SectorsInUse(), kMostSectors), "the sectors in use are in order and on the card");
  const FatTree tree = reader.Walk();
  for (const FatItem& item : tree.items) {
    Require(!item.name.empty() && item.name.find('/') == std::string::npos, "a name is one plain name");
    if (item.folder) continue;
    std::uint64_t taken = 0;
    const FatFileRead file = reader.ReadFile(item, [&](const std::uint8_t*, std::size_t count) {
      taken += count;
      return true;
    });
    Require(taken == file.bytes && file.bytes <= item.size, "a file gives what it says, no more than its size");
    Require(SortedAndApart(file.filled, file.bytes), "the filled bytes lie in the file");
    Require(file.Whole() == (file.filled.empty() && file.problem.empty()), "whole means nothing filled");
  }
}

}  // namespace fuzz
