// Which blocks the format may retire. A bad-block mark is for good: no
// format ever clears it, and a card with too many marked blocks can no
// longer present its logical blocks. So a block is retired only on evidence
// about that block: its first page could not be read, or it could not be
// erased, twice (each command is tried once more), while the blocks around
// it worked. A failure that repeats across blocks is the reader's or the
// contacts' (a reader whose firmware differs, a dirty contact, a card pulled
// out of a reader that cannot tell), not the blocks': then nothing is
// retired and the format ends. Failures count as repeating once
//  - more blocks of one zone failed than the zone may hold unusable (24 of
//    1024: a real zone that lost more could not present its logical blocks
//    anyway), or
//  - eight blocks in a row failed the same way (a worn card's failing
//    blocks come singly or in twos and threes, not in runs).
// The rule only collects its verdicts; the format marks the blocks once the
// erase pass is over, so that a format that ends early has marked nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class BlockFailure : std::uint8_t {
  Unreadable,  // its first page could not be read
  EraseFails,  // it could not be erased
};

struct FailedBlock {
  std::uint8_t unit = 0;
  std::uint32_t block = 0;
  BlockFailure how = BlockFailure::Unreadable;
};

class RetirementRule {
 public:
  static constexpr std::uint32_t kSameFailureRun = 8;

  // The blocks that follow are those of `unit`, of `unitBlocks` blocks.
  void StartUnit(std::uint8_t unit, std::uint32_t unitBlocks);
  // A block the pass erased, or passed over as bad: it breaks a run.
  void Worked();
  void Failed(std::uint32_t block, BlockFailure how);

  // The failures repeat: no block may be retired.
  bool Repeating() const { return !reason.empty(); }
  // Why, for the operator, once Repeating().
  const std::string& Reason() const { return reason; }
  // The blocks to retire, in the order they failed.
  const std::vector<FailedBlock>& Blocks() const { return failed; }

 private:
  void Judge(std::uint32_t block, BlockFailure how);

  std::uint8_t unit = 0;
  std::uint32_t zoneBlocks = 0;
  std::uint32_t zoneSpares = 0;
  std::uint32_t zone = 0;
  std::uint32_t failedInZone = 0;
  BlockFailure zoneFailure = BlockFailure::Unreadable;  // how the zone's first failed block failed
  bool zoneMixed = false;                               // and whether others failed another way
  std::uint32_t run = 0;
  BlockFailure runFailure = BlockFailure::Unreadable;
  std::vector<FailedBlock> failed;
  std::string reason;
};
