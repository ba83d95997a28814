// An independent check of a card's flash, read as a SmartMedia host reads
// it: the ECC of every written page, the block address words, the logical
// blocks each zone's blocks claim, the CIS in the first good block, and
// whether the logical image the blocks make up holds the file system the
// format lays down for the card's capacity (the bytes of the engine's sector
// builders). It shares nothing with the format procedure or with the
// simulated reader's block map, so that tests can use it to judge what a
// format left behind. Fault plans are not applied: it reads the flash as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/nand.h"

namespace sim {

enum class CardFaultKind : std::uint8_t {
  EccCorrectable,         // one bit of data or ECC differs: a host corrects it
  EccUncorrectable,       // the ECC does not match the data and cannot mend it
  AddressInvalid,         // a block address word with bad parity, or one its zone cannot hold
  AddressCopiesDiffer,    // the two copies of a block address differ
  DuplicateLogicalBlock,  // two blocks of a zone claim the same logical block
  CisMissing,             // the first good block of unit 0 holds no CIS, or lies beyond the blocks hosts search
  CisMalformed,           // it holds something that starts like a CIS but is not a CIS page
  NoLayout,               // the card's capacity gives no file system
  LayoutDiffers,          // the logical image does not hold the file system of its capacity
  DataOutsideFileSystem,  // a fresh format only: a block holds data the file system does not use
};

struct CardFault {
  CardFaultKind kind = CardFaultKind::EccCorrectable;
  std::uint8_t unit = 0;
  std::uint32_t block = 0;
  std::uint32_t page = 0;   // page within the unit (ECC), or the other block (duplicate)
  std::uint32_t value = 0;  // the word, the logical block, the first differing sector ...
  std::uint32_t count = 0;  // differing sectors of a layout region
  std::string where;        // the layout region, or the ECC's data half
};

// The fault as a line of text.
std::string Describe(const CardFault& fault);

struct CardCheckOptions {
  // The card was just formatted: every good block but the CIS block must be
  // erased or hold logical blocks of the file system.
  bool freshFormat = false;
};

struct CardCheck {
  std::vector<CardFault> faults;
  std::optional<std::uint32_t> cisBlock;
  std::uint64_t pagesChecked = 0;  // written pages whose ECC was checked
  std::uint32_t capacityKey = 0;
  bool layoutPresent = false;  // the logical image holds the file system of the capacity

  bool Passed() const { return faults.empty(); }
  std::size_t Count(CardFaultKind kind) const;
  // A report: a summary, then at most `perKind` faults of each kind.
  std::vector<std::string> Report(std::size_t perKind = 10) const;
};

CardCheck CheckCard(const Nand& nand, const CardCheckOptions& options = {});

}  // namespace sim
