// An independent check of a card's flash, read as a SmartMedia host reads
// it: the bad blocks, the ECC of every written page, the block address
// words, the logical blocks each zone's blocks claim, the CIS in the first
// good block, and whether the logical image the blocks make up holds the
// file system the format lays down for the card's capacity (the bytes of the
// engine's sector builders), or what it holds instead. It shares nothing
// with the format procedure or with the simulated reader's block map, so
// that tests can use it to judge what a format left behind, and it reads the
// pages through a PageSource: a card image, or a card in a reader. A full
// check reads every page once, in order; a quick one the first page of each
// block (all of a block marked bad there, to tell a factory mark) and the
// pages that hold the file system's sectors. Either reads the sectors of the
// file system it looks at through the map its pass built.
//
// What it finds is of two kinds: faults of the card (pages that cannot be
// read or whose ECC does not match, block addresses, a damaged CIS, a card
// that can hold no file system), and differences from the SmartMedia layout
// that a format mends (no CIS, a file system that is not the layout of the
// card's capacity).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/nand.h"
#include "card/page_source.h"
#include "engine/fat_volume.h"

namespace card {

enum class CardFaultKind : std::uint8_t {
  EccCorrectable,         // one bit of data or ECC differs: a host corrects it
  EccUncorrectable,       // the ECC does not match the data and cannot mend it
  PageUnreadable,         // the page of a block not marked bad cannot be read
  AddressInvalid,         // a block address word with bad parity, or one its zone cannot hold
  AddressCopiesDiffer,    // the two copies of a block address differ
  DuplicateLogicalBlock,  // two blocks of a zone claim the same logical block
  CisMissing,             // the first good block of unit 0 holds no CIS, or lies beyond the blocks hosts search
                          // (`where` says so: then no format can mend it)
  CisMalformed,           // it holds something that starts like a CIS but is not a CIS page
  NoLayout,               // the card's capacity gives no file system
  LayoutDiffers,          // the logical image does not hold the file system of its capacity
  DataOutsideFileSystem,  // a fresh format only: a block holds data the file system does not use
};

struct CardFault {
  CardFaultKind kind = CardFaultKind::EccCorrectable;
  std::uint8_t unit = 0;
  std::uint32_t block = 0;
  std::uint32_t page = 0;   // page within the unit (ECC, unreadable, address), or the other block (duplicate)
  std::uint32_t value = 0;  // the word, the logical block, the first differing sector ...
  std::uint32_t count = 0;  // differing sectors of a layout region
  std::string where;        // the layout region, or the ECC's data half
};

// The fault as a line of text.
std::string Describe(const CardFault& fault);
// A fault of the card itself, which no format mends; otherwise a difference
// from the SmartMedia layout, which a format mends.
bool IsCardFault(const CardFault& fault);

// A block marked bad: at the factory (the status byte cleared in every page
// and nothing else written, as a card leaves the factory), or retired in use
// (marked later, by a format or a reader's firmware: only some of its pages
// marked, or data left in it).
struct BadBlock {
  std::uint8_t unit = 0;
  std::uint32_t block = 0;
  bool factory = false;
};

struct CardCheckOptions {
  // The card was just formatted: the FATs and the root directory must be
  // empty, and every good block but the CIS block must be erased or hold
  // logical blocks of the file system. Otherwise the card may be in use:
  // the MBR, the sectors up to the boot sector and the boot sector must be
  // the layout's, and the FATs' first bytes its media descriptor.
  bool freshFormat = false;
  // Every page, or the quick check (see above). A fresh format's check reads
  // every page, whatever this says.
  bool everyPage = true;
};

struct CardCheck {
  std::vector<CardFault> faults;
  std::optional<std::uint32_t> cisBlock;
  std::vector<BadBlock> badBlocks;
  std::optional<bool> writeProtected;  // none when the reader did not tell
  std::uint64_t pagesChecked = 0;      // written pages whose ECC was checked
  std::uint32_t capacityKey = 0;
  bool layoutPresent = false;                    // the logical image holds the file system of the capacity
  std::optional<std::uint32_t> layoutUnknownAt;  // the first sector of the layout that cannot be read
  VolumeSurvey volume;                           // what the logical image holds
  PassEnd end = PassEnd::Complete;
  bool everyPage = true;                // the full check, or the quick one
  std::uint64_t pagesRead = 0;          // page reads, those of the file system's sectors included
  std::uint64_t cardPages = 0;          // the card's pages
  std::uint32_t fileSystemSectors = 0;  // sectors of the layout the quick check read
  std::uint32_t blocksHoldingData = 0;  // good blocks (the CIS block apart) a page read of which holds data

  // Neither a fault nor a difference from the layout.
  bool Passed() const { return end == PassEnd::Complete && faults.empty(); }
  // No fault of the card (differences from the layout may be there).
  bool CardSound() const { return end == PassEnd::Complete && CardFaults() == 0; }
  std::size_t CardFaults() const;
  std::size_t LayoutDifferences() const { return faults.size() - CardFaults(); }
  std::size_t Count(CardFaultKind kind) const;
  // What the card holds, as the report says it: "a FAT16 file system ...".
  std::string Holds() const;
  // A report: a summary, then at most `perKind` faults of each kind.
  std::vector<std::string> Report(std::size_t perKind = 10) const;
  // The same for scripts: one JSON object, with the source and the geometry.
  std::string Json(const std::string& source, const std::string& geometry) const;
};

// The card image as it is: no fault of a plan applies.
CardCheck CheckCard(const Nand& nand, const CardCheckOptions& options = {});
// `watch` is told of the pass over the pages and may stop it.
CardCheck CheckCard(PageSource& pages, const CardCheckOptions& options = {}, const PassWatch& watch = {});

}  // namespace card
