#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "card/card.h"
#include "sim/reader.h"
#include "tests/fuzz/fuzz_targets.h"
#include "transport/reader_commands.h"

namespace fuzz {

namespace {

// Reads the input front to back; past its end every read gives zeros.
class Bytes {
 public:
  Bytes(const std::uint8_t* data_, std::size_t size_) : data(data_), size(size_) {}
  bool Empty() const { return at >= size; }
  std::uint8_t Next() { return at < size ? data[at++] : 0; }
  std::uint16_t Next16() { return static_cast<std::uint16_t>(Next() << 8 | Next()); }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

// Small cards, so that a run stays quick: one unit of 16 to 64 blocks, or two.
const std::array<card::CardGeometry, 4> kCards = {{
    {{{16, 8}}},
    {{{64, 4}}},
    {{{32, 16}}},
    {{{16, 4}, {32, 2}}},
}};

// A command block as the input gives it, completed now and then with a valid
// opcode, so that the commands the reader knows are reached often.
struct Command {
  std::array<std::uint8_t, 16> cdb{};
  std::uint8_t cdbLength = 0;
  DataDirection direction = DataDirection::None;
  std::uint32_t dataLength = 0;
};

constexpr std::uint32_t kMaxData = 4096;

Command NextCommand(Bytes& in) {
  Command command;
  const std::uint8_t shape = in.Next();
  command.cdbLength = static_cast<std::uint8_t>(shape % 17);
  command.direction = static_cast<DataDirection>((shape >> 5) % 3);
  for (std::uint8_t i = 0; i < command.cdbLength; ++i) command.cdb[i] = in.Next();
  const std::uint8_t lengthKind = in.Next();
  // Mostly the length the row would expect, sometimes any.
  command.dataLength = lengthKind < 128 ? std::min<std::uint32_t>(in.Next16(), kMaxData) : 0;
  const CommandRow* row = FindCommandRow(command.cdb.data(), command.cdbLength);
  if (row != nullptr && lengthKind >= 128) {
    command.direction = row->direction;
    command.dataLength = std::min<std::uint32_t>(ExpectedDataLength(*row, command.cdb.data()), kMaxData);
  }
  return command;
}

card::FaultPlan NextPlan(Bytes& in) {
  card::FaultPlan plan;
  const std::uint8_t flags = in.Next();
  plan.writeProtected = (flags & 0x01) != 0;
  if (flags & 0x02) plan.removeAfterCommands = in.Next();
  if (flags & 0x04) plan.unreadablePages.push_back({static_cast<std::uint8_t>(in.Next() % 2), in.Next16()});
  if (flags & 0x08) plan.failingErase.push_back({0, in.Next()});
  if (flags & 0x10) plan.failingProgram.push_back({0, in.Next()});
  if (flags & 0x20)
    plan.commandFaults.push_back(
        {in.Next(), std::nullopt, static_cast<std::uint32_t>(in.Next() % 8 + 1), (flags & 0x40) != 0});
  if (flags & 0x80) {
    std::array<std::uint8_t, 36> reply{};
    for (std::uint8_t& b : reply) b = in.Next();
    plan.mediaInfoReply = reply;
  }
  return plan;
}

std::vector<bool> BadBlocks(const card::Nand& nand) {
  std::vector<bool> bad;
  for (std::size_t u = 0; u < nand.UnitCount(); ++u) {
    for (std::uint32_t b = 0; b < nand.Unit(u).blocks; ++b) bad.push_back(nand.IsBad(u, b));
  }
  return bad;
}

// The decoders on what a successful command returned.
void Decode(const Command& command, const std::vector<std::uint8_t>& reply) {
  const CommandRow* row = FindCommandRow(command.cdb.data(), command.cdbLength);
  Require(row != nullptr, "a command the reader does not know succeeded");
  switch (row->operation) {
    case ReaderOperation::Inquiry:
      IsSupportedInquiry(reply.data(), reply.size());
      break;
    case ReaderOperation::ReadMediaInfo: {
      std::array<std::uint8_t, kMediaInfoReplySize> media{};
      std::copy_n(reply.begin(), std::min(reply.size(), media.size()), media.begin());
      MediaGeometry geometry;
      DecodeMediaInfo(media, geometry);
      Require(geometry.unitCount <= MediaGeometry::kMaxReportedUnits, "at most six units");
      break;
    }
    case ReaderOperation::GetCardType:
      IsSmartMediaCard(reply.empty() ? 0 : reply[0]);
      break;
    case ReaderOperation::GetLunMap:
      Require(CountLogicalUnits(reply.empty() ? 0 : reply[0]) <= 5, "at most five logical units");
      break;
    default:
      break;
  }
}

}  // namespace

void Reader(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  const std::uint8_t choice = in.Next();
  card::CreateOptions options;
  options.geometry = kCards[choice % kCards.size()];
  options.withCis = (choice & 0x10) == 0;
  // A used card costs a write of every block: only on the smallest.
  options.fill = (choice & 0x20) != 0 && choice % kCards.size() == 0 ? card::Fill::Random : card::Fill::Erased;
  if (choice & 0x40) options.plan.factoryBadBlocks = {{0, static_cast<std::uint32_t>(in.Next() % 16)}};
  card::CardOpen made = card::CreateCard(options);
  Require(static_cast<bool>(made), "a small card can be made: " + made.error);
  sim::Reader reader(*made.card, NextPlan(in));
  const std::vector<bool> badAtStart = BadBlocks(made.card->Media());

  for (int commands = 0; commands < 64 && !in.Empty(); ++commands) {
    const Command command = NextCommand(in);
    std::vector<std::uint8_t> buffer(std::max<std::uint32_t>(command.dataLength, 1));
    for (std::uint8_t& b : buffer) b = in.Next();
    // A refused command changes nothing, but for a logical write, which may
    // have stored some of its blocks (and retired others) before it failed.
    const CommandRow* row = FindCommandRow(command.cdb.data(), command.cdbLength);
    const bool mayChangeOnFailure = row != nullptr && row->operation == ReaderOperation::WriteLba;
    const std::vector<std::uint8_t> before =
        commands < 4 && !mayChangeOnFailure ? made.card->Media().Bytes() : std::vector<std::uint8_t>{};
    const std::uint8_t status = reader.Execute(command.cdb.data(), command.cdbLength, command.direction,
                                               command.dataLength ? buffer.data() : nullptr, command.dataLength);
    Require(status == sim::kStatusGood || status == sim::kStatusCheckCondition, "status is good or CHECK CONDITION");
    if (status == sim::kStatusGood) {
      buffer.resize(command.dataLength);
      Decode(command, buffer);
    } else if (!before.empty()) {
      Require(made.card->Media().Bytes() == before, "a refused command changed the card");
    }
  }
  const std::vector<bool> badAtEnd = BadBlocks(made.card->Media());
  for (std::size_t i = 0; i < badAtStart.size(); ++i) {
    Require(!badAtStart[i] || badAtEnd[i], "a bad block became good");
  }
  Require(reader.LastError().empty(), "no host failure in memory");
}

}  // namespace fuzz
