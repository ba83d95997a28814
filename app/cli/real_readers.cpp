#include "app/cli/real_readers.h"

#include <ostream>

#include "sim/card_dump.h"
#include "sim/card_files.h"

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

std::string DumpOutRefusal(const RealReaderOptions& options, const std::string& onTheCard) {
  const std::string& out = *options.read->dumpPath;
  if (!onTheCard.empty()) return onTheCard;
  if (options.tracePath && sim::SameFile(*options.tracePath, out)) {
    return out + " is the trace file too; give the dump another name";
  }
  return sim::DumpTargetRefusal(out, options.read->force);
}
