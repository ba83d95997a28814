// The NAND flash of a card: units of blocks x pages of 528 bytes, stored in
// the raw image's order in a CardStorage (memory or the image file). Erase
// sets a whole block to 0xFF, programming can only clear bits, and a block
// whose status byte is not 0xFF is bad for good.
//
// A failure of the host under the storage (an image file that cannot be
// read or written) does not look like a card fault: it is kept in
// HostError(), a failed change reports false, and a failed read shows
// erased bytes; the reader then fails the command in flight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/card_geometry.h"
#include "card/card_storage.h"
#include "card/fault_plan.h"

namespace card {

class Nand {
 public:
  // An erased card in memory; `geometry` must pass CheckGeometry.
  explicit Nand(CardGeometry geometry);
  // A card in memory holding `contents`, which must be geometry.ImageBytes() long.
  Nand(CardGeometry geometry, std::vector<std::uint8_t> contents);
  // A card stored in `storage`, which must hold geometry.ImageBytes() bytes.
  Nand(CardGeometry geometry, std::unique_ptr<CardStorage> storage);

  const CardGeometry& Geometry() const { return geometry; }
  std::size_t UnitCount() const { return geometry.units.size(); }
  const UnitGeometry& Unit(std::size_t unit) const { return geometry.units[unit]; }
  bool HasUnit(std::size_t unit) const { return unit < geometry.units.size(); }
  bool HasPage(std::size_t unit, std::uint32_t page) const;
  bool HasBlock(std::size_t unit, std::uint32_t block) const;

  // Faults of the chip itself (failing erase and program, unreadable pages);
  // null for a healthy chip. The plan must outlive its use here.
  void SetFaults(const FaultPlan* plan) { faults = plan; }

  // The 528 bytes of a page, or null when the page does not exist. The
  // pointer is valid until the next call on this Nand.
  const std::uint8_t* Page(std::size_t unit, std::uint32_t page) const;
  // Copies a page out; false when it does not exist or cannot be read.
  bool ReadPage(std::size_t unit, std::uint32_t page, std::uint8_t* out) const;
  bool PageReadable(std::size_t unit, std::uint32_t page) const;

  // ANDs `length` bytes into the page from `offset`. Fails, changing
  // nothing, on a page that carries a bad-block mark (a programmed mark
  // cannot be programmed again; a factory bad block has it on every page),
  // a block whose programming fails, or a range beyond the page.
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

  // A copy of the whole raw image.
  std::vector<std::uint8_t> Bytes() const;

  bool Writable() const { return storage->Writable(); }
  // The end of a command: its changes go to the host (see CardStorage::Commit).
  // False once the host has failed.
  bool Commit() { return storage->Commit() && HostError().empty(); }
  // Hands every change to the host's file system (a crash of the process
  // then loses none). False once the host has failed.
  bool Flush() { return storage->Flush() && HostError().empty(); }
  // The first failure of the host under the card, with the system's text.
  const std::string& HostError() const { return storage->Error(); }

 private:
  std::uint64_t PageOffset(std::size_t unit, std::uint32_t page) const;
  std::uint64_t BlockOffset(std::size_t unit, std::uint32_t block) const;
  std::size_t BlockBytes(std::size_t unit) const;
  // A span of the image to read (erased bytes when the host fails) or to change (null when it fails).
  const std::uint8_t* ReadSpan(std::uint64_t offset, std::size_t length) const;
  std::uint8_t* ChangeSpan(std::uint64_t offset, std::size_t length);

  // What is known of each block, so that the firmware's scans and every
  // page program need not read the image again: whether its status bytes
  // make it bad, and whether it is erased since its last erase.
  enum class BlockHealth : std::uint8_t { Unknown, Good, Bad, Erased };
  BlockHealth& Health(std::size_t unit, std::uint32_t block) const;
  void Programmed(std::size_t unit, std::uint32_t block, std::size_t offset, std::size_t length,
                  const std::uint8_t* bytes);

  CardGeometry geometry;
  std::vector<std::uint64_t> unitOffsets;
  std::vector<std::size_t> unitFirstBlock;  // index of each unit's block 0 in `health`
  std::unique_ptr<CardStorage> storage;
  mutable std::vector<BlockHealth> health;
  const FaultPlan* faults = nullptr;
};

}  // namespace card
