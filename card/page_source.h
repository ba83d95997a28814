// Where the card check and the card dump read a card's physical pages: a
// card image, or a card in a reader through the reader's page-read command.
// A pass reads the card in physical order, a block at a time: every page,
// or only the first page of each block; nothing is ever written to the card.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "card/card_geometry.h"
#include "card/fault_plan.h"
#include "card/nand.h"
#include "engine/reader_device.h"

namespace card {

class PageSource {
 public:
  virtual ~PageSource() = default;

  virtual const CardGeometry& Geometry() const = 0;
  // One whole page, data and redundant area; false when it cannot be read.
  virtual bool Read(std::uint8_t unit, std::uint32_t page, PageBuffer& out) = 0;
  // The card's write-protect tab; none when the reader did not tell.
  virtual std::optional<bool> WriteProtected() = 0;
  // Why the last read failed, as far as the source can tell: a card taken
  // out or a reader gone means that no later read can work.
  virtual ::CommandFault LastFault() const { return ::CommandFault::None; }
};

// A card image as it is. Of its fault plan, what a host reading the card
// meets applies: the unreadable pages and the write-protect tab.
class ImagePages : public PageSource {
 public:
  explicit ImagePages(const Nand& nand, const FaultPlan* plan = nullptr) : nand(nand), plan(plan) {}

  const CardGeometry& Geometry() const override { return nand.Geometry(); }
  bool Read(std::uint8_t unit, std::uint32_t page, PageBuffer& out) override;
  std::optional<bool> WriteProtected() override { return plan != nullptr && plan->writeProtected; }

 private:
  const Nand& nand;
  const FaultPlan* plan;
};

// A card in a reader that has found it: pages come from ReadPhySector, the
// geometry from the reader's media information (see ReaderGeometry).
class ReaderPages : public PageSource {
 public:
  ReaderPages(CReaderDevice& reader, CardGeometry geometry) : reader(reader), geometry(std::move(geometry)) {}

  const CardGeometry& Geometry() const override { return geometry; }
  bool Read(std::uint8_t unit, std::uint32_t page, PageBuffer& out) override {
    return reader.ReadPhySector(unit, page, out) == 1;
  }
  std::optional<bool> WriteProtected() override;
  ::CommandFault LastFault() const override { return reader.LastCommandFault(); }

 private:
  CReaderDevice& reader;
  CardGeometry geometry;
};

// The card the reader reported, as units of blocks x pages; `error` says why
// it cannot be read page by page when it cannot.
CardGeometry ReaderGeometry(const MediaGeometry& reported, std::string& error);

// --- Reading every page ---------------------------------------------------------------------------

// How a pass over every page of a card ended.
enum class PassEnd : std::uint8_t {
  Complete,      // every page was asked for
  Stopped,       // the operator stopped it (Ctrl-C)
  CardPulled,    // the reader says that its slot holds no card
  ReaderGone,    // the reader was unplugged
  NotAnswering,  // every page of two whole blocks in a row failed: the card no longer answers
};

// What a failed read means for the pass: CardPulled or ReaderGone when no
// later read can work, Complete when reads may go on.
PassEnd PassEndOf(::CommandFault fault);

struct PassWatch {
  // Told the reads done so far and the pass's total, after each block: pages
  // for a pass over every page, blocks for one over first pages.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  // Raised (by Ctrl-C) to stop before the next page.
  const std::atomic<int>* stop = nullptr;
};

struct BlockPages {
  std::uint8_t unit = 0;
  std::uint32_t block = 0;
  std::vector<PageBuffer> pages;  // the pages read, in order from the block's first
  std::vector<bool> readable;     // whether each could be read; an unreadable one holds FF bytes
};

// Which pages of each block a pass reads.
struct PassPlan {
  // Every page, or only the first page of each block, and the next ones
  // while `morePages` asks for another, having seen those read so far.
  bool everyPage = true;
  std::function<bool(const BlockPages& sofar)> morePages = {};
  // Whole blocks at the start of the card (in physical order, unit after
  // unit) that an earlier pass read: this one starts after them.
  std::uint64_t skipBlocks = 0;
};

// Reads the card, unit after unit, block after block, and hands each block
// to `take` with the pages it read; a block cut short by the pass's end is
// not handed over.
PassEnd ReadPages(PageSource& source, const PassWatch& watch, const PassPlan& plan,
                  const std::function<void(const BlockPages&)>& take);
PassEnd ReadEveryPage(PageSource& source, const PassWatch& watch, const std::function<void(const BlockPages&)>& take);

// Why a pass ended early, for the operator: "the card was taken out of the
// reader during the WORK; put it back and ..."; empty for Complete.
std::string PassEndText(PassEnd end, const std::string& work);

}  // namespace card
