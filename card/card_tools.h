// What a front end asks of a card image: a report of its state, and the
// logical image the reader presents, read out or written in through the
// reader's firmware.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/fault_plan.h"
#include "card/firmware.h"
#include "engine/fat_reader.h"

namespace card {

// A card image together with the fault plan of its sidecar: what a front end
// hands to a Reader. Either part failing gives no card and the reason.
struct CardAndPlan {
  std::unique_ptr<Card> card;
  FaultPlan plan;
  std::string error;
  explicit operator bool() const { return card != nullptr; }
};
// The geometry is recognised by the file's size unless given. `access`
// ReadOnly never writes to the image (info, export).
CardAndPlan OpenCardAndPlan(const std::string& imagePath, const std::optional<CardGeometry>& geometry = {},
                            Access access = Access::ReadWrite, const StorageOpener& open = OpenFileStorage);

struct CardReport {
  CardGeometry geometry;
  std::string standardName;         // "16M", or empty for another geometry
  std::vector<BlockRef> badBlocks;  // in unit and block order
  std::optional<std::uint32_t> cisBlock;
  std::uint32_t logicalBlocks = 0;  // what the firmware presents
  std::uint32_t mappedBlocks = 0;   // of those, how many are stored on the card
  std::uint64_t logicalSectors = 0;
};

CardReport Inspect(Card& card);

// The card's chip shows the plan's faults while this lives.
class ChipFaults {
 public:
  ChipFaults(Nand& nand, const FaultPlan& plan) : nand(nand) { nand.SetFaults(&plan); }
  ~ChipFaults() { nand.SetFaults(nullptr); }
  ChipFaults(const ChipFaults&) = delete;
  ChipFaults& operator=(const ChipFaults&) = delete;

 private:
  Nand& nand;
};

// The logical sectors the reader presents of a card, one at a time, as a
// host reads them: a sector stored in one of the plan's unreadable pages
// cannot be read. `plan` must outlive it.
class CardSectors {
 public:
  CardSectors(Card& card, const FaultPlan& plan) : faults(card.Media(), plan), firmware(card.Media()) {}

  std::uint64_t Count() const { return firmware.LogicalSectors(); }
  bool Read(std::uint32_t sector, SectorBuffer& data) { return firmware.ReadSectors(sector, 1, data.data()); }
  // For a FatReader; valid as long as this lives.
  LogicalSectorReader Reader() {
    return [this](std::uint32_t sector, SectorBuffer& data) { return Read(sector, data); };
  }

 private:
  ChipFaults faults;
  Firmware firmware;
};

// A logical image file (an export, or a copy of a card's disk) as logical
// sectors, whole sectors of 512 bytes; the sectors listed in
// UnreadableListPath(path) beside it, when that is there, cannot be read.
class LogicalFileSectors {
 public:
  // Returns why the file cannot be read, empty when it can.
  std::string Open(const std::string& path);

  std::uint64_t Count() const { return sectors; }
  bool Read(std::uint32_t sector, SectorBuffer& data);
  // For a FatReader; valid as long as this lives.
  LogicalSectorReader Reader() {
    return [this](std::uint32_t sector, SectorBuffer& data) { return Read(sector, data); };
  }
  // Why a read failed that the list does not explain; empty when none did.
  const std::string& HostError() const { return hostError; }

 private:
  std::ifstream file;
  std::string path;
  std::uint64_t sectors = 0;
  std::vector<FatRun> unreadable;  // in order
  std::string hostError;
};

// The logical image: every sector the firmware presents, in order. Fails
// (empty, with the reason) when a sector cannot be read.
struct LogicalImage {
  std::vector<std::uint8_t> bytes;
  std::string error;
};
LogicalImage ExportLogical(Card& card);
// Writes `bytes` (whole sectors, at most the card's logical size) from
// sector 0 through the firmware, and commits the card. Returns an error
// message, empty on success.
std::string ImportLogical(Card& card, const std::vector<std::uint8_t>& bytes);

// The same to and from files, a block at a time. Faults of the card's chip
// in `plan` apply as they would in a reader: an import fails on a
// write-protected card (before anything is written) and meets failing erase
// and program as the firmware does. The export is written under a temporary
// name beside `path` and renamed over it when complete, so a failure leaves
// `path` as it was. `path` must not be the card's own image or its sidecar;
// the import's file must be a regular file of whole sectors, no larger than
// the card.
std::string ImportLogicalFile(Card& card, const std::string& path, const FaultPlan& plan = {});

// An export goes past sectors stored in unreadable pages: each is written
// as zeros, and the runs of them are listed in the text file
// UnreadableListPath(path) beside the export (one run a line, "1920-1951",
// or "1920" alone). An export with nothing unreadable removes a list left
// there by an earlier one.
struct ExportResult {
  std::string error;               // why the export is not in place; empty when it is
  std::vector<FatRun> unreadable;  // the logical sectors written as zeros
  bool Complete() const { return error.empty() && unreadable.empty(); }
};
ExportResult ExportLogicalFile(Card& card, const std::string& path, const FaultPlan& plan = {});
std::string UnreadableListPath(const std::string& exportPath);
// The list's text, and the runs of a list ("1920-1951" lines, "#" comments);
// `error` tells a line that is neither.
std::string FormatUnreadableList(const std::vector<FatRun>& runs, const std::string& source,
                                 const std::string& exportPath);
std::vector<FatRun> ParseUnreadableList(const std::string& text, std::string& error);

}  // namespace card
