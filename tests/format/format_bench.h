// A simulated card in a simulated reader, ready for a low-level format: the
// backend logs every card operation the procedure asks for, and the host can
// raise the stop flag when a chosen event arrives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/card.h"
#include "sim/reader.h"
#include "sim/sim_reader_device.h"
#include "tests/support/recording_host.h"

namespace formattest {

// --- The operations the procedure sends ----------------------------------------

enum class OpKind { ReadPage, Erase, WriteRedundant, WritePage, FormatEnd, ReadLba, WriteLba, DropHandle, DeviceState };

struct Op {
  OpKind kind = OpKind::ReadPage;
  std::uint8_t unit = 0;
  std::uint32_t where = 0;  // page, block or logical sector
  int result = 0;
  bool mark = false;  // a redundant area that marks the block bad
};

// The simulated backend, recording each card operation with its result.
class LoggingReader : public CSimReader {
 public:
  using CSimReader::CSimReader;

  int ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) override;
  int ErasePhyBlk(std::uint8_t unit, std::uint16_t block) override;
  int WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) override;
  int WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) override;
  int FormatEnd() override;
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  void DropHandle() override;
  int GetDeviceState(std::uint8_t& state) override;

  std::vector<Op> log;
  // Stands for a backend that cannot tell a pulled card from a failed command.
  bool cannotTellGone = false;

  // Called after each logged operation.
  std::function<void(const Op&)> afterOp;

 private:
  int Record(OpKind kind, std::uint8_t unit, std::uint32_t where, int result);
  bool markNext = false;
};

std::size_t Count(const std::vector<Op>& log, OpKind kind);
// Blocks of `unit` erased, in the order the erase commands were sent.
std::vector<std::uint32_t> ErasedBlocks(const std::vector<Op>& log, std::uint8_t unit);
// The kinds of the operations that write the CIS page, in order (the
// writes of bad-block marks left out).
std::vector<OpKind> CisWrites(const std::vector<Op>& log);

// --- A host that can raise the stop flag ----------------------------------------

// Records like RecordingHost; after recording a progress position, status
// text or pause it raises the stop flag if `stopWhen` says so.
class StoppingHost : public RecordingHost {
 public:
  explicit StoppingHost(std::atomic<int>& flag) : flag(flag) {}

  void SetProgress(int position) override;
  void SetStatus(const std::string& text) override;
  void Sleep(std::uint32_t milliseconds) override;

  std::function<bool(const HostEvent&)> stopWhen;

 private:
  void Consider(const HostEvent& event);
  std::atomic<int>& flag;
};

// --- The bench ------------------------------------------------------------------

// A card built from `options`, in a reader whose fault plan is `plan`
// (factory bad blocks included or not: they are marked when the card is made).
struct Bench {
  explicit Bench(const card::CreateOptions& options, card::FaultPlan plan = {});
  // A card made beforehand, inserted now.
  explicit Bench(std::unique_ptr<card::Card> made, card::FaultPlan plan = {});

  // The card is taken out and put into a fresh reader: a new backend, an
  // empty log, the same host.
  void Reinsert(card::FaultPlan plan = {});

  // FindDevice, then the low-level format. The first returns 0 on failure.
  int Open();
  int Format();

  std::atomic<int> stop{0};
  StoppingHost host{stop};
  std::unique_ptr<card::Card> card;
  std::unique_ptr<sim::Reader> reader;
  std::unique_ptr<LoggingReader> device;
  std::vector<std::uint8_t> original;  // the raw card as made
};

// Options of a card with unit 0's factory bad blocks `bad`.
card::CreateOptions CardOptions(const card::CardGeometry& geometry, bool withCis,
                                const std::vector<card::BlockRef>& bad = {});
card::CardGeometry Standard(const char* name);
// A plan in which the first page of `blocks` blocks of unit 0 from
// `firstBlock` on cannot be read; their other pages can.
card::FaultPlan UnreadableFirstPages(const card::CardGeometry& geometry, std::uint32_t firstBlock,
                                     std::uint32_t blocks);
// What the format says of `blocks` blocks it could not read and marked bad: nothing when none.
std::vector<std::string> UnreadableWarning(std::uint32_t blocks);
std::vector<card::BlockRef> BlockRange(std::uint32_t first, std::uint32_t end, std::uint8_t unit = 0);

// --- Raw card contents ------------------------------------------------------------

// The bytes of one block in a raw image of `geometry`.
std::vector<std::uint8_t> BlockBytes(const std::vector<std::uint8_t>& raw, const card::CardGeometry& geometry,
                                     std::uint8_t unit, std::uint32_t block);
std::vector<std::uint8_t> PageBytes(const card::Card& card, std::uint8_t unit, std::uint32_t page);
bool AllErased(const std::vector<std::uint8_t>& bytes);

// The CIS page as the format writes it, built from its published bytes.
std::vector<std::uint8_t> ExpectedCisPage();

}  // namespace formattest
