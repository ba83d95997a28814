#include "app/cli/restore_step.h"

#include <ostream>

#include "app/cli/pass_meter.h"
#include "app/cli/real_readers.h"
#include "card/card_files.h"
#include "engine/reader_device.h"

namespace {

std::uint32_t CapacityKey(const MediaGeometry& geometry) {
  std::uint32_t key = 0;
  for (int u = 0; u < geometry.unitCount && u < MediaGeometry::kUnitSlots; ++u) {
    key += (geometry.units[u].totalSectors >> 10) * 1000;
  }
  return key;
}

}  // namespace

RestoreStep::RestoreStep(const std::string& dumpPath, const MediaGeometry& card, CliContext& context_)
    : path(dumpPath), context(context_) {
  std::string problem;
  const card::CardGeometry geometry = card::ReaderGeometry(card, problem);
  std::uint64_t size = 0;
  if (problem.empty()) problem = card::FileSize(path, size);
  if (!problem.empty()) {
    refusal = path + ": " + problem;
    return;
  }
  if (size != geometry.ImageBytes()) {
    refusal = path + " is " + std::to_string(size) + " bytes, not a dump of a card of this size (" +
              std::to_string(geometry.ImageBytes()) + " bytes); nothing was written";
    return;
  }
  dump = card::OpenCardAndPlan(path, geometry, card::Access::ReadOnly, context.openImage);
  if (!dump) {
    refusal = dump.error;
    return;
  }
  pages = std::make_unique<card::ImagePages>(dump.card->Media(), &dump.plan);
  plan = std::make_unique<card::RestorePlan>(*pages, CapacityKey(card), path);
  refusal = plan->Refusal();
}

void RestoreStep::Announce(const std::string& intro) {
  context.err << intro << "\n";
  for (const std::string& line : plan->Describe()) context.err << "  " << line << "\n";
}

int RestoreStep::Run(CReaderDevice& reader, FormatHost& host) {
  PassMeter meter(context, "Restoring the files", "blocks");
  meter.SetVerb("Wrote");
  const card::PassWatch watch{[&meter](std::uint64_t done, std::uint64_t total) { meter.Update(done, total); },
                              &context.stopFlag};
  context.stopFlag.store(0);
  const card::RestoreResult result = card::RestoreCard(reader, *plan, host, watch);
  meter.Finish();
  if (!result.error.empty()) {
    return Refuse(context, "the card is formatted, but the files of " + path + " were not all put back: " +
                               result.error + ". Format it again with --restore, or take the files off the dump " +
                               "with 'smcard extract " + path + " DIR'");
  }
  context.err << "Restored " << plan->Volume().FilesText() << " from " << path << ": " << result.sectorsWritten
              << " sectors in " << result.blocksWritten << " blocks, each page read back ("
              << result.readBackThroughReader << " sectors through the reader's logical read too).\n";
  return kExitSuccess;
}
