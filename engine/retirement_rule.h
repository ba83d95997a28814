// Whether a block that failed a command is to blame. A bad-block mark is
// for good: no format ever clears it. So a failure counts against a block
// only on evidence about that block, never on how many failed: the same kind
// of command is run on a control in between, a block it has just worked on
// (the last page read is read again; the last block erased, which is blank,
// is erased again), and then the failed block is tried once more.
//  - The block works: the failure has passed. A glitch of up to two
//    commands (the block's and the control's first try) costs nothing.
//  - The control works and the block fails again: the block's own fault.
//  - The control fails at both tries: the reader or the card's contacts
//    fail, and no block is to blame.
// Before a command of a kind has worked on this card there is no control:
// the block is judged again once one has. Worn or damaged NAND fails in
// neighbouring blocks too, so runs of failing blocks are judged block by
// block like any other.
//
// A block whose first page cannot be read is judged by its other pages: a
// bad-block mark is on every page of a bad block, so a block marked before
// is recognised as bad, not marked again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/media_geometry.h"

class CReaderDevice;

struct PhysicalBlock {
  std::uint8_t unit = 0;
  std::uint32_t block = 0;
};

enum class Verdict : std::uint8_t {
  Worked,       // the command worked, at once or when tried again after the control
  Marked,       // the first page cannot be read; another page carries a bad-block mark
  BlockFails,   // the block's own fault: the control worked and the block failed again
  NoControl,    // nothing of this kind has worked on the card yet: judge the block again once something has
  ReaderFails,  // the control failed too
  CardGone,     // the backend says that the card or the reader is gone
};

// The run cannot go on, and no block is to blame.
constexpr bool BlamesNoBlock(Verdict verdict) {
  return verdict == Verdict::CardGone || verdict == Verdict::ReaderFails;
}

enum class BlockFailure : std::uint8_t {
  EraseFails,  // it could not be erased
  Unreadable,  // its first page could not be read
  ReadBack,    // a page of the file system in it could not be read back
};

class RetirementRule {
 public:
  explicit RetirementRule(CReaderDevice& reader) : reader(reader) {}

  // Reads page `page` of the block into `out`, judging a failure.
  Verdict ReadPage(PhysicalBlock block, std::uint32_t page, PageBuffer& out);
  // Reads the first page. When it fails for the block's own fault, the
  // second and the last page tell whether the block is marked bad already
  // (Marked); `out` then holds the first of them that could be read, and is
  // left as it was when neither could.
  Verdict ReadFirstPage(PhysicalBlock block, PageBuffer& out);
  Verdict Erase(PhysicalBlock block);

  // What failed and what the control showed, once a judgment gave ReaderFails.
  const std::string& ReaderFailsText() const { return readerFails; }

 private:
  struct PageRef {
    std::uint8_t unit = 0;
    std::uint32_t page = 0;
  };

  bool Read(PageRef where, PageBuffer& out);
  bool EraseOnce(PhysicalBlock block);
  // Runs the control; a failure of it is tried once more.
  template <typename Command>
  bool ControlWorks(Command control);
  // `failed` and `control` name what the command was sent to; `done` is its verb ("read").
  Verdict Judge(bool controlWorked, bool blockWorks, const std::string& failed, const std::string& control,
                const char* done);
  PageRef PageOf(PhysicalBlock block, std::uint32_t page) const;

  CReaderDevice& reader;
  std::optional<PageRef> readControl;         // the last page that was read
  std::optional<PhysicalBlock> eraseControl;  // the last block that was erased
  std::string readerFails;
};

// "block B of unit U"
std::string BlockName(PhysicalBlock block);
