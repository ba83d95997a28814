// Faults the simulated reader and card can be told to show: a plan of what
// goes wrong, where and when. An empty plan gives a healthy reader and card.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace card {

struct BlockRef {
  std::uint8_t unit = 0;
  std::uint32_t block = 0;
  bool operator==(const BlockRef& o) const { return unit == o.unit && block == o.block; }
};

struct PageRef {
  std::uint8_t unit = 0;
  std::uint32_t page = 0;  // page number within the unit
  bool operator==(const PageRef& o) const { return unit == o.unit && page == o.page; }
};

// A command that fails (status 2, no effect) at its n-th call, counting from 1
// the calls with this opcode (and sub-function, when given) since the reader
// was made; with `andLater` every later such call fails too.
struct CommandFault {
  std::uint8_t opcode = 0;
  std::optional<std::uint8_t> subFunction;  // byte 1 of E6h/E7h; none: any
  std::uint32_t failAtCall = 1;
  bool andLater = false;
};

struct FaultPlan {
  // Marked bad (status byte 0x00 in every page) when a card is created.
  std::vector<BlockRef> factoryBadBlocks;
  // Pages whose read fails: the physical page read, and READ(10) of a
  // logical sector stored there.
  std::vector<PageRef> unreadablePages;
  // Blocks whose erase fails, and blocks where programming any page fails;
  // the failing operation changes nothing.
  std::vector<BlockRef> failingErase;
  std::vector<BlockRef> failingProgram;
  std::vector<CommandFault> commandFaults;
  // The card's write-protect tab: the device state reports it, and erase,
  // page programming and WRITE(10) fail.
  bool writeProtected = false;
  // After the reader presents the card anew (the format-end command), the
  // next command meets UNIT ATTENTION and fails without running, as through
  // a backend that does not send such a command again.
  bool unitAttention = false;
  // The card is pulled out after this many commands: every later command on
  // the card fails and the card type reads 0.
  std::optional<std::uint32_t> removeAfterCommands;
  // Replaces INQUIRY bytes 8-29 (cut or blank-padded to 22 characters).
  std::optional<std::string> inquiryId;
  // Returned as it is for the media information query.
  std::optional<std::array<std::uint8_t, 36>> mediaInfoReply;
  std::optional<std::uint8_t> cardType;  // replaces the card type byte (2)
  std::optional<std::uint8_t> lunMap;    // replaces the logical-unit map byte

  bool EraseFails(std::uint8_t unit, std::uint32_t block) const;
  bool ProgramFails(std::uint8_t unit, std::uint32_t block) const;
  bool PageUnreadable(std::uint8_t unit, std::uint32_t page) const;
  bool Empty() const;
};

// A plan that travels with a card image: the text file `<image>.faults`, one
// fault per line ("#" starts a comment):
//   write-protect
//   unit-attention
//   remove-after N
//   unreadable-page UNIT:PAGE
//   erase-fails UNIT:BLOCK
//   program-fails UNIT:BLOCK
//   fail-command OPCODE[/SUB] at N [and-later]      (hexadecimal opcode, e.g. E8 or E6/5)
//   inquiry-id TEXT                                 (rest of the line)
//   media-info HH HH ... (36 hexadecimal bytes)
//   card-type HH
//   lun-map HH
// Factory bad blocks live in the image itself and are not written here.
std::string FaultSidecarPath(const std::string& imagePath);
struct FaultPlanLoad {
  FaultPlan plan;
  std::string error;  // empty when the plan was read (or no sidecar exists)
};
FaultPlanLoad ParseFaultPlan(const std::string& text);
// Reads the sidecar of an image; a missing sidecar gives an empty plan. A
// sidecar that is there must be a readable regular file of at most
// kMaxFaultPlanBytes, else the load fails with the reason.
constexpr std::size_t kMaxFaultPlanBytes = 64 * 1024;
FaultPlanLoad LoadFaultPlan(const std::string& imagePath);
std::string FormatFaultPlan(const FaultPlan& plan);
// Writes the sidecar, or removes it when the plan has nothing to keep.
// Returns an error message, empty on success.
std::string SaveFaultPlan(const std::string& imagePath, const FaultPlan& plan);

}  // namespace card
