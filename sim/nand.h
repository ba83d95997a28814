// The NAND flash of a card: units of blocks x pages of 528 bytes, held in
// memory in the raw image's order. Erase sets a whole block to 0xFF,
// programming can only clear bits, and a block whose status byte is not 0xFF
// is bad for good. Every change is remembered as a dirty byte range so that
// the owner can write it through to the image file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/card_geometry.h"
#include "sim/fault_plan.h"

namespace sim {

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

class Nand {
 public:
  // An erased card; `geometry` must pass CheckGeometry.
  explicit Nand(CardGeometry geometry);
  // A card holding `contents`, which must be geometry.ImageBytes() long.
  Nand(CardGeometry geometry, std::vector<std::uint8_t> contents);

  const CardGeometry& Geometry() const { return geometry; }
  std::size_t UnitCount() const { return geometry.units.size(); }
  const UnitGeometry& Unit(std::size_t unit) const { return geometry.units[unit]; }
  bool HasUnit(std::size_t unit) const { return unit < geometry.units.size(); }
  bool HasPage(std::size_t unit, std::uint32_t page) const;
  bool HasBlock(std::size_t unit, std::uint32_t block) const;

  // Faults of the chip itself (failing erase and program, unreadable pages);
  // null for a healthy chip. The plan must outlive its use here.
  void SetFaults(const FaultPlan* plan) { faults = plan; }

  // The 528 bytes of a page, or null when the page does not exist.
  const std::uint8_t* Page(std::size_t unit, std::uint32_t page) const;
  // Copies a page out; false when it does not exist or cannot be read.
  bool ReadPage(std::size_t unit, std::uint32_t page, std::uint8_t* out) const;
  bool PageReadable(std::size_t unit, std::uint32_t page) const;

  // ANDs `length` bytes into the page from `offset`. Fails, changing
  // nothing, on a bad block, a block whose programming fails, or a range
  // beyond the page.
  bool Program(std::size_t unit, std::uint32_t page, std::size_t offset, const std::uint8_t* bytes, std::size_t length);
  // Sets every byte of the block to 0xFF. Fails, changing nothing, on a bad
  // block or a block whose erase fails.
  bool Erase(std::size_t unit, std::uint32_t block);
  // Clears the status byte of every page of the block: a factory bad block,
  // or one the firmware retires. Ignores the fault plan.
  void MarkBad(std::size_t unit, std::uint32_t block);

  // Bad when the status byte of any of its pages is not 0xFF.
  bool IsBad(std::size_t unit, std::uint32_t block) const;
  bool IsErased(std::size_t unit, std::uint32_t block) const;

  const std::vector<std::uint8_t>& Bytes() const { return cells; }
  // The ranges changed since the last call, in order of change.
  std::vector<ByteRange> TakeDirty();

 private:
  std::uint64_t PageOffset(std::size_t unit, std::uint32_t page) const;
  std::uint64_t BlockOffset(std::size_t unit, std::uint32_t block) const;
  std::uint64_t BlockBytes(std::size_t unit) const;
  void Touch(std::uint64_t offset, std::uint64_t length);

  CardGeometry geometry;
  std::vector<std::uint64_t> unitOffsets;
  std::vector<std::uint8_t> cells;
  std::vector<ByteRange> dirty;
  const FaultPlan* faults = nullptr;
};

}  // namespace sim
