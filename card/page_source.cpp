#include "card/page_source.h"

#include <algorithm>
#include <cstring>

#include "card/page_format.h"
#include "engine/failure_run.h"

namespace card {

namespace {

constexpr std::uint8_t kWriteProtectBit = 0x01;
// A block whose pages all fail to read may be worn out; two such blocks in a
// row, and at least the format's own count of failures in a row, mean that
// the card no longer answers. With the backends' pause of a second after a
// failed command, that costs a minute on a card of 32 pages a block.
constexpr std::uint32_t kDeadBlocksInARow = 2;

}  // namespace

PassEnd PassEndOf(::CommandFault fault) {
  switch (fault) {
    case ::CommandFault::NoMedium:
      return PassEnd::CardPulled;
    case ::CommandFault::DeviceGone:
      return PassEnd::ReaderGone;
    case ::CommandFault::None:
    case ::CommandFault::Failed:
      break;
  }
  return PassEnd::Complete;
}

bool ImagePages::Read(std::uint8_t unit, std::uint32_t page, PageBuffer& out) {
  const std::uint8_t* bytes = nand.Page(unit, page);
  if (bytes == nullptr || (plan != nullptr && plan->PageUnreadable(unit, page))) return false;
  std::memcpy(out.data(), bytes, kPageSize);
  return true;
}

std::optional<bool> ReaderPages::WriteProtected() {
  std::uint8_t state = 0;
  if (!reader.GetDeviceState(state)) return std::nullopt;
  return (state & kWriteProtectBit) != 0;
}

CardGeometry ReaderGeometry(const MediaGeometry& reported, std::string& error) {
  CardGeometry geometry;
  for (int u = 0; u < reported.unitCount && u < MediaGeometry::kUnitSlots; ++u) {
    const MediaUnit& unit = reported.units[u];
    const std::uint32_t pages = unit.sectorsPerBlock;
    geometry.units.push_back({pages == 0 ? 0 : unit.totalSectors / pages, pages});
  }
  error = CheckGeometry(geometry);
  if (!error.empty()) error = "the reader reports a card that cannot be read page by page: " + error;
  return geometry;
}

namespace {

// The pass over one unit: reads its blocks from `firstBlock` and hands them over.
class UnitPass {
 public:
  UnitPass(PageSource& source, const PassWatch& watch, const PassPlan& plan, std::uint8_t unit)
      : source(source), watch(watch), plan(plan), geometry(source.Geometry().units[unit]) {
    block.unit = unit;
    // Two dead blocks in a row, read whole or by their first pages, and at least the format's own count.
    const std::uint32_t readsPerBlock = plan.everyPage ? geometry.pagesPerBlock : 1;
    deadRun = std::max(FailureRun::kCardGone, kDeadBlocksInARow * readsPerBlock);
  }

  PassEnd Run(std::uint32_t firstBlock, std::uint64_t& done, std::uint64_t total,
              const std::function<void(const BlockPages&)>& take) {
    for (block.block = firstBlock; block.block < geometry.blocks; ++block.block) {
      block.pages.clear();
      block.readable.clear();
      std::uint32_t count = plan.everyPage ? geometry.pagesPerBlock : 1;
      if (const PassEnd end = ReadFrom(0, count); end != PassEnd::Complete) return end;
      for (; count < geometry.pagesPerBlock && plan.morePages && plan.morePages(block); ++count) {
        if (const PassEnd end = ReadFrom(count, count + 1); end != PassEnd::Complete) return end;
      }
      take(block);
      done += plan.everyPage ? geometry.pagesPerBlock : 1;
      if (watch.progress) watch.progress(done, total);
    }
    return PassEnd::Complete;
  }

 private:
  PassEnd ReadFrom(std::uint32_t first, std::uint32_t end) {
    for (std::uint32_t p = first; p < end; ++p) {
      if (watch.stop != nullptr && watch.stop->load() != 0) return PassEnd::Stopped;
      PageBuffer& page = block.pages.emplace_back();
      const bool read = failures.Note(source.Read(block.unit, block.block * geometry.pagesPerBlock + p, page)) != 0;
      block.readable.push_back(read);
      if (read) continue;
      page.fill(kErased);
      if (const PassEnd gone = PassEndOf(source.LastFault()); gone != PassEnd::Complete) return gone;
      if (failures.Length() >= deadRun) return PassEnd::NotAnswering;
    }
    return PassEnd::Complete;
  }

  PageSource& source;
  const PassWatch& watch;
  const PassPlan& plan;
  const UnitGeometry& geometry;
  std::uint32_t deadRun = 0;
  FailureRun failures;
  BlockPages block;
};

}  // namespace

PassEnd ReadPages(PageSource& source, const PassWatch& watch, const PassPlan& plan,
                  const std::function<void(const BlockPages&)>& take) {
  const CardGeometry& geometry = source.Geometry();
  std::uint64_t total = 0;
  for (const UnitGeometry& unit : geometry.units) total += plan.everyPage ? unit.Pages() : unit.blocks;
  std::uint64_t skip = plan.skipBlocks;
  std::uint64_t done = 0;
  for (std::size_t u = 0; u < geometry.units.size(); ++u) {
    const UnitGeometry& unit = geometry.units[u];
    const std::uint32_t skipped = static_cast<std::uint32_t>(std::min<std::uint64_t>(skip, unit.blocks));
    skip -= skipped;
    done += std::uint64_t{skipped} * (plan.everyPage ? unit.pagesPerBlock : 1);
    UnitPass pass(source, watch, plan, static_cast<std::uint8_t>(u));
    if (const PassEnd end = pass.Run(skipped, done, total, take); end != PassEnd::Complete) return end;
  }
  return PassEnd::Complete;
}

PassEnd ReadEveryPage(PageSource& source, const PassWatch& watch, const std::function<void(const BlockPages&)>& take) {
  return ReadPages(source, watch, PassPlan{}, take);
}

std::string PassEndText(PassEnd end, const std::string& work) {
  switch (end) {
    case PassEnd::Complete:
      break;
    case PassEnd::Stopped:
      return "stopped before the " + work + " was complete";
    case PassEnd::CardPulled:
      return "the card was taken out of the reader during the " + work + "; put it back and start the " + work +
             " again";
    case PassEnd::ReaderGone:
      return "the reader was unplugged during the " + work + "; plug it in again and start the " + work + " again";
    case PassEnd::NotAnswering:
      return "the card does not answer any more: the reads of whole blocks in a row failed, so the " + work +
             " ended there";
  }
  return "";
}

}  // namespace card
