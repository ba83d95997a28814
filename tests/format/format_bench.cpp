#include "tests/format/format_bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <utility>

#include "engine/low_level_format.h"
#include "engine/page_layout.h"

namespace formattest {

int LoggingReader::Record(OpKind kind, std::uint8_t unit, std::uint32_t where, int result) {
  if (cannotTellGone && CardGone()) NoteCommandFault(CommandFault::Failed);
  log.push_back(Op{kind, unit, where, result, std::exchange(markNext, false)});
  if (afterOp) afterOp(log.back());
  return result;
}

int LoggingReader::ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) {
  return Record(OpKind::ReadPage, unit, sector, CSimReader::ReadPhySector(unit, sector, page));
}

int LoggingReader::ErasePhyBlk(std::uint8_t unit, std::uint16_t block) {
  return Record(OpKind::Erase, unit, block, CSimReader::ErasePhyBlk(unit, block));
}

int LoggingReader::WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) {
  markNext = redundant == page_layout::RetiredBlockMark();
  return Record(OpKind::WriteRedundant, unit, sector, CSimReader::WriteRedundant(unit, sector, redundant));
}

int LoggingReader::WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) {
  return Record(OpKind::WritePage, unit, sector, CSimReader::WritePhySector(unit, sector, data));
}

int LoggingReader::FormatEnd() { return Record(OpKind::FormatEnd, 0, 0, CSimReader::FormatEnd()); }

int LoggingReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  return Record(OpKind::ReadLba, 0, sector, CSimReader::ReadLBA(sector, count, data));
}

int LoggingReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  return Record(OpKind::WriteLba, 0, sector, CSimReader::WriteLBA(sector, count, data));
}

int LoggingReader::GetDeviceState(std::uint8_t& state) {
  return Record(OpKind::DeviceState, 0, 0, CSimReader::GetDeviceState(state));
}

void LoggingReader::DropHandle() {
  CSimReader::DropHandle();
  Record(OpKind::DropHandle, 0, 0, 1);
}

std::size_t Count(const std::vector<Op>& log, OpKind kind) {
  return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const Op& op) { return op.kind == kind; }));
}

std::vector<std::uint32_t> ErasedBlocks(const std::vector<Op>& log, std::uint8_t unit) {
  std::vector<std::uint32_t> blocks;
  for (const Op& op : log) {
    if (op.kind == OpKind::Erase && op.unit == unit) blocks.push_back(op.where);
  }
  return blocks;
}

std::vector<OpKind> CisWrites(const std::vector<Op>& log) {
  std::vector<OpKind> kinds;
  for (const Op& op : log) {
    if ((op.kind == OpKind::WriteRedundant && !op.mark) || op.kind == OpKind::WritePage) kinds.push_back(op.kind);
  }
  return kinds;
}

void StoppingHost::SetProgress(int position) {
  RecordingHost::SetProgress(position);
  HostEvent event;
  event.kind = HostEvent::Kind::Progress;
  event.a = position;
  Consider(event);
}

void StoppingHost::SetStatus(const std::string& text) {
  RecordingHost::SetStatus(text);
  HostEvent event;
  event.kind = HostEvent::Kind::Status;
  event.text = text;
  Consider(event);
}

void StoppingHost::Sleep(std::uint32_t milliseconds) {
  RecordingHost::Sleep(milliseconds);
  HostEvent event;
  event.kind = HostEvent::Kind::Sleep;
  event.a = static_cast<int>(milliseconds);
  Consider(event);
}

void StoppingHost::Consider(const HostEvent& event) {
  if (stopWhen && stopWhen(event)) flag = 1;
}

namespace {

std::unique_ptr<card::Card> Make(const card::CreateOptions& options) {
  card::CardOpen made = card::CreateCard(options);
  EXPECT_TRUE(made) << made.error;
  return std::move(made.card);
}

}  // namespace

Bench::Bench(const card::CreateOptions& options, card::FaultPlan plan) : Bench(Make(options), std::move(plan)) {}

Bench::Bench(std::unique_ptr<card::Card> made, card::FaultPlan plan) : card(std::move(made)) {
  original = card->Media().Bytes();
  Reinsert(std::move(plan));
}

void Bench::Reinsert(card::FaultPlan plan) {
  device.reset();
  reader.reset();
  reader = std::make_unique<sim::Reader>(*card, std::move(plan));
  device = std::make_unique<LoggingReader>(host, *reader);
}

int Bench::Open() {
  char letter = 0;
  return device->FindDevice(letter);
}

int Bench::Format() {
  if (!Open()) {
    ADD_FAILURE() << "the simulated reader was not found";
    return -1;
  }
  return LowLevelFormat(*device, stop, host);
}

card::CreateOptions CardOptions(const card::CardGeometry& geometry, bool withCis,
                                const std::vector<card::BlockRef>& bad) {
  card::CreateOptions options;
  options.geometry = geometry;
  options.withCis = withCis;
  options.plan.factoryBadBlocks = bad;
  return options;
}

card::CardGeometry Standard(const char* name) { return *card::StandardGeometry(name); }

card::FaultPlan UnreadableFirstPages(const card::CardGeometry& geometry, std::uint32_t firstBlock,
                                     std::uint32_t blocks) {
  card::FaultPlan plan;
  for (std::uint32_t b = firstBlock; b < firstBlock + blocks; ++b) {
    plan.unreadablePages.push_back({0, b * geometry.units[0].pagesPerBlock});
  }
  return plan;
}

std::vector<std::string> UnreadableWarning(std::uint32_t blocks) {
  if (blocks == 0) return {};
  return {std::to_string(blocks) + " blocks of the card could not be read and were marked bad."};
}

std::vector<card::BlockRef> BlockRange(std::uint32_t first, std::uint32_t end, std::uint8_t unit) {
  std::vector<card::BlockRef> blocks;
  for (std::uint32_t b = first; b < end; ++b) blocks.push_back({unit, b});
  return blocks;
}

std::vector<std::uint8_t> BlockBytes(const std::vector<std::uint8_t>& raw, const card::CardGeometry& geometry,
                                     std::uint8_t unit, std::uint32_t block) {
  const std::uint64_t size = std::uint64_t{geometry.units[unit].pagesPerBlock} * kPageSize;
  const std::uint64_t offset = geometry.UnitOffset(unit) + block * size;
  return std::vector<std::uint8_t>(raw.begin() + static_cast<std::ptrdiff_t>(offset),
                                   raw.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

std::vector<std::uint8_t> PageBytes(const card::Card& card, std::uint8_t unit, std::uint32_t page) {
  const std::uint8_t* bytes = card.Media().Page(unit, page);
  return bytes ? std::vector<std::uint8_t>(bytes, bytes + kPageSize) : std::vector<std::uint8_t>{};
}

bool AllErased(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

namespace {

// The card information structure every SmartMedia card carries: 112 bytes.
constexpr const char* kCisHex =
    "01 03 D9 01 FF 18 02 DF 01 20 04 00 00 00 00 21 "
    "02 04 01 22 02 01 01 22 03 02 04 07 1A 05 01 03 "
    "00 02 0F 1B 08 C0 C0 A1 01 55 08 00 20 1B 0A C1 "
    "41 99 01 55 64 F0 FF FF 20 1B 0C 82 41 18 EA 61 "
    "F0 01 07 F6 03 01 EE 1B 0C 83 41 18 EA 61 70 01 "
    "07 76 03 01 EE 15 14 05 00 20 20 20 20 20 20 20 "
    "00 20 20 20 20 00 30 2E 30 00 FF 14 00 FF 00 00";

constexpr std::size_t kSecondCopy = 256;
constexpr std::size_t kRedundantFfBytes = 6;  // redundant bytes 0-5 0xFF, the block addresses zero
// The ECC of each data half (the image, then zeros), in redundant bytes 8-10 and 13-15.
constexpr std::uint8_t kCisHalfEcc[] = {0x0C, 0xCC, 0xC3};
constexpr std::size_t kEccFields[] = {8, 13};

}  // namespace

std::vector<std::uint8_t> ExpectedCisPage() {
  std::vector<std::uint8_t> image;
  std::istringstream in(kCisHex);
  for (unsigned byte; in >> std::hex >> byte;) image.push_back(static_cast<std::uint8_t>(byte));
  EXPECT_EQ(image.size(), 112u);
  std::vector<std::uint8_t> page(kPageSize, 0x00);
  std::copy(image.begin(), image.end(), page.begin());
  std::copy(image.begin(), image.end(), page.begin() + kSecondCopy);
  std::fill_n(page.begin() + kSectorSize, kRedundantFfBytes, 0xFF);
  for (std::size_t field : kEccFields) std::copy(kCisHalfEcc, kCisHalfEcc + 3, page.begin() + kSectorSize + field);
  return page;
}

}  // namespace formattest
