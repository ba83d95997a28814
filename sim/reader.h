// The simulated USB card reader: takes SCSI command blocks as a transport
// delivers them and answers as the reader's firmware does, on a simulated
// card. It knows INQUIRY, READ(10), WRITE(10) and the vendor commands E6h to
// EDh, each with exactly its command block length, direction and data
// length. Anything else - an unknown command, a field beyond the card, a
// data phase that does not match - gets CHECK CONDITION and changes nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "card/card.h"
#include "card/fault_plan.h"
#include "card/firmware.h"
#include "transport/reader_commands.h"

namespace sim {

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

// What the reader answers when nothing in the plan says otherwise.
constexpr std::uint8_t kLunMapOneUnit = 0x08;  // one logical unit: bit 3
constexpr std::uint8_t kNoCard = 0x00;         // card type with the slot empty

class Reader {
 public:
  // The card is inserted: the firmware scans it. The plan's chip faults
  // (failing erase and program, unreadable pages) apply to the card while
  // this reader holds it.
  explicit Reader(card::Card& card, card::FaultPlan plan = {});
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Runs one command block and returns the SCSI status byte: kStatusGood or
  // kStatusCheckCondition. `data` holds `dataLength` bytes: the reply for a
  // data-in command, what is to be written for a data-out command. What a
  // command changes on the card reaches the image file before this returns.
  std::uint8_t Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction, std::uint8_t* data,
                       std::uint32_t dataLength);

  // The plan may be changed between commands.
  card::FaultPlan& Plan() { return plan; }
  card::Card& HeldCard() { return card; }
  card::Firmware& Logical() { return firmware; }

  bool CardPresent() const { return present; }
  // Pulls the card out, or puts it back (the firmware scans it again).
  void RemoveCard() { present = false; }
  void InsertCard();

  std::uint32_t CommandCount() const { return commands; }
  // How often the reader has presented the card as changed media (format end, reinsertion).
  std::uint32_t MediaChanges() const { return mediaChanges; }
  bool Locked() const { return locked; }
  std::uint32_t LbaOffset() const { return lbaOffset; }
  // Why the host under the card failed (the image file could not be read or
  // written), if it did; from then on every command fails.
  const std::string& LastError() const { return lastError; }

  // The replies the reader gives, fault plan included.
  std::array<std::uint8_t, kInquiryReplySize> InquiryReply() const;
  std::array<std::uint8_t, kMediaInfoReplySize> MediaInfoReply() const;

 private:
  struct Request {
    const CommandRow& row;
    const std::uint8_t* cdb;
    std::uint8_t* data;
    std::uint32_t length;
  };

  std::uint8_t Dispatch(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction, std::uint8_t* data,
                        std::uint32_t dataLength);
  bool Run(const Request& request);
  bool FailsByPlan(const CommandRow& row);
  bool NeedsCard(ReaderOperation operation) const;
  bool Inquiry(const Request& request) const;
  bool ReadLba(const Request& request);
  bool WriteLba(const Request& request);
  bool Erase(const Request& request);
  bool ProgramPage(const Request& request, std::size_t offset, std::size_t length);
  bool ReadPage(const Request& request) const;
  bool FormatEnd();
  bool ReplyByte(const Request& request, std::uint8_t value) const;

  card::Card& card;
  card::FaultPlan plan;
  card::Firmware firmware;
  // Valid commands received, by opcode alone (second -1) and by opcode and sub-function.
  std::map<std::pair<std::uint8_t, int>, std::uint32_t> calls;
  std::uint32_t commands = 0;
  std::uint32_t mediaChanges = 0;
  std::uint32_t lbaOffset = 0;
  bool attentionPending = false;  // the card was presented anew since the last command
  bool locked = false;
  bool present = true;
  std::string lastError;
};

}  // namespace sim
