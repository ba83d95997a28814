#include "engine/retirement_rule.h"

#include "engine/zone_layout.h"

namespace {

constexpr const char* kNothingRetired =
    " Failures that repeat like this come from the reader or the card's contacts (or a card taken out of the "
    "reader), not from the blocks, so no block was marked bad. Clean the card's contacts or try another reader, "
    "then format the card again.";

const char* WhatFailed(BlockFailure how) {
  return how == BlockFailure::Unreadable ? "could not be read" : "could not be erased";
}

}  // namespace

void RetirementRule::StartUnit(std::uint8_t unit_, std::uint32_t unitBlocks) {
  unit = unit_;
  zoneBlocks = zone_layout::ZoneBlocks(unitBlocks);
  zoneSpares = zone_layout::ZoneSpareBlocks(unitBlocks);
  zone = 0;
  failedInZone = 0;
  zoneMixed = false;
}

void RetirementRule::Worked() { run = 0; }

void RetirementRule::Failed(std::uint32_t block, BlockFailure how) {
  if (Repeating()) return;
  failed.push_back(FailedBlock{unit, block, how});
  Judge(block, how);
}

void RetirementRule::Judge(std::uint32_t block, BlockFailure how) {
  const std::uint32_t blockZone = zoneBlocks == 0 ? 0 : block / zoneBlocks;
  if (blockZone != zone || failedInZone == 0) {
    zone = blockZone;
    failedInZone = 0;
    zoneFailure = how;
    zoneMixed = false;
  }
  ++failedInZone;
  if (zoneFailure != how) zoneMixed = true;
  run = (run != 0 && runFailure == how) ? run + 1 : 1;
  runFailure = how;
  if (run >= kSameFailureRun) {
    reason = std::to_string(run) + " blocks of the card in a row " + WhatFailed(how) + " (blocks " +
             std::to_string(block + 1 - run) + " to " + std::to_string(block) + " of unit " + std::to_string(unit) +
             ")." + kNothingRetired;
  } else if (failedInZone > zoneSpares) {
    reason = std::to_string(failedInZone) + " blocks of zone " + std::to_string(zone) + " of unit " +
             std::to_string(unit) + " " + (zoneMixed ? "could not be read or erased" : WhatFailed(how)) +
             ", more than the " + std::to_string(zoneSpares) + " a zone of " + std::to_string(zoneBlocks) +
             " blocks may hold unusable." + kNothingRetired;
  }
}
