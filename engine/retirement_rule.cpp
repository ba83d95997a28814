#include "engine/retirement_rule.h"

#include <algorithm>

#include "engine/page_layout.h"
#include "engine/reader_device.h"

namespace {

std::string PageName(std::uint8_t unit, std::uint32_t page) {
  return "page " + std::to_string(page) + " of unit " + std::to_string(unit);
}

}  // namespace

std::string BlockName(PhysicalBlock block) {
  return "block " + std::to_string(block.block) + " of unit " + std::to_string(block.unit);
}

RetirementRule::PageRef RetirementRule::PageOf(PhysicalBlock block, std::uint32_t page) const {
  return PageRef{block.unit, block.block * reader.GetSectorsPerBlock(block.unit) + page};
}

bool RetirementRule::Read(PageRef where, PageBuffer& out) {
  if (!reader.ReadPhySector(where.unit, where.page, out)) return false;
  readControl = where;
  return true;
}

bool RetirementRule::EraseOnce(PhysicalBlock block) {
  if (!reader.ErasePhyBlk(block.unit, static_cast<std::uint16_t>(block.block))) return false;
  eraseControl = block;
  return true;
}

template <typename Command>
bool RetirementRule::ControlWorks(Command control) {
  return control() || (!reader.CardGone() && control());
}

Verdict RetirementRule::Judge(bool controlWorked, bool blockWorks, const std::string& failed,
                              const std::string& control, const char* done) {
  if (reader.CardGone()) return Verdict::CardGone;
  if (!controlWorked) {
    readerFails = failed + " could not be " + done + ", and " + control + ", " + done + " just before, could not be " +
                  done + " again either";
    return Verdict::ReaderFails;
  }
  return blockWorks ? Verdict::Worked : Verdict::BlockFails;
}

Verdict RetirementRule::ReadPage(PhysicalBlock block, std::uint32_t page, PageBuffer& out) {
  const PageRef where = PageOf(block, page);
  if (Read(where, out)) return Verdict::Worked;
  if (reader.CardGone()) return Verdict::CardGone;
  if (!readControl) return Verdict::NoControl;
  const PageRef control = *readControl;
  PageBuffer scratch{};
  const bool controlWorked = ControlWorks([&] { return Read(control, scratch); });
  const bool blockWorks = controlWorked && !reader.CardGone() && Read(where, out);
  return Judge(controlWorked, blockWorks, PageName(where.unit, where.page), PageName(control.unit, control.page),
               "read");
}

Verdict RetirementRule::ReadFirstPage(PhysicalBlock block, PageBuffer& out) {
  const Verdict first = ReadPage(block, 0, out);
  if (first != Verdict::BlockFails) return first;
  // A bad-block mark is on every page: the second and the last tell.
  const std::uint32_t last = reader.GetSectorsPerBlock(block.unit) - 1u;
  const std::uint32_t others[] = {1, last};
  PageBuffer other{};
  for (std::uint32_t i = 0; i < std::min(last, 2u); ++i) {
    if (Read(PageOf(block, others[i]), other)) {
      out = other;
      return page_layout::IsGoodBlockPage(other) ? Verdict::BlockFails : Verdict::Marked;
    }
    if (reader.CardGone()) return Verdict::CardGone;
  }
  return Verdict::BlockFails;
}

Verdict RetirementRule::Erase(PhysicalBlock block) {
  if (EraseOnce(block)) return Verdict::Worked;
  if (reader.CardGone()) return Verdict::CardGone;
  if (!eraseControl) return Verdict::NoControl;
  const PhysicalBlock control = *eraseControl;
  const bool controlWorked = ControlWorks([&] { return EraseOnce(control); });
  const bool blockWorks = controlWorked && !reader.CardGone() && EraseOnce(block);
  return Judge(controlWorked, blockWorks, BlockName(block), BlockName(control), "erased");
}
