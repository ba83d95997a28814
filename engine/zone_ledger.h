// The blocks of each zone that cannot hold data, by why. A zone presents
// its logical blocks only while it keeps one more usable block than it has
// logical ones (see zone_layout.h): past that, the card can no longer hold
// its capacity, whatever the reason its blocks were lost.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/media_geometry.h"
#include "engine/retirement_rule.h"

enum class Unusable : std::uint8_t {
  MarkedBefore,  // bad already: a factory or an earlier mark
  EraseFails,
  Unreadable,
  kKinds,
};

class ZoneLedger {
 public:
  explicit ZoneLedger(const MediaGeometry& geometry);

  void Add(PhysicalBlock block, Unusable why);
  // Unit 0's first zone also loses the CIS block and those before it.
  void SetCisReserve(std::uint32_t blocks) { cisReserve = blocks; }

  // Whether the zone of `block` has lost more blocks than it may.
  bool Full(PhysicalBlock block) const;
  // The zone's losses for the operator: "3 marked bad before, 1 could not be erased".
  std::string Losses(PhysicalBlock block) const;
  // Why the zone of `block` cannot hold its capacity, for the operator.
  std::string FullText(PhysicalBlock block) const;

 private:
  using Counts = std::array<std::uint32_t, static_cast<std::size_t>(Unusable::kKinds)>;
  std::uint32_t Zone(PhysicalBlock block) const { return block.block / zoneBlocks[block.unit]; }
  Counts& ZoneOf(PhysicalBlock block) { return zones[block.unit][Zone(block)]; }
  const Counts& ZoneOf(PhysicalBlock block) const { return zones[block.unit][Zone(block)]; }
  std::uint32_t Reserved(PhysicalBlock block) const;
  std::uint32_t Total(PhysicalBlock block) const;

  std::vector<std::uint32_t> unitBlocks;
  std::vector<std::uint32_t> zoneBlocks;
  std::vector<std::vector<Counts>> zones;  // per unit, per zone
  std::uint32_t cisReserve = 0;
};
