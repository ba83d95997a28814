#include "app/cli/real_readers.h"

#include <ostream>

const char* const kConfirmText = "Format disk will erase all data on the device. Continue?";

int Refuse(CliContext& context, const std::string& text) {
  context.err << "smformat: " << text << "\n";
  return kExitFailure;
}

std::string CardSizeText(const MediaGeometry& geometry, std::uint32_t capacityKey) {
  constexpr std::uint64_t kPageDataBytes = 512;
  constexpr std::uint64_t kBytesPerMegabyte = 1024 * 1024;
  std::uint64_t pages = 0;
  for (int u = 0; u < geometry.unitCount; ++u) pages += geometry.units[u].totalSectors;
  return std::to_string(pages * kPageDataBytes / kBytesPerMegabyte) + " MB card, " + std::to_string(capacityKey) +
         " sectors";
}
