#include "sim/nand.h"

#include <algorithm>
#include <utility>

#include "sim/page_format.h"

namespace sim {

Nand::Nand(CardGeometry geometry_) : Nand(geometry_, std::vector<std::uint8_t>(geometry_.ImageBytes(), kErased)) {}

Nand::Nand(CardGeometry geometry_, std::vector<std::uint8_t> contents)
    : geometry(std::move(geometry_)), cells(std::move(contents)) {
  for (std::size_t u = 0; u < geometry.units.size(); ++u) unitOffsets.push_back(geometry.UnitOffset(u));
  cells.resize(geometry.ImageBytes(), kErased);
}

bool Nand::HasPage(std::size_t unit, std::uint32_t page) const {
  return HasUnit(unit) && page < geometry.units[unit].Pages();
}

bool Nand::HasBlock(std::size_t unit, std::uint32_t block) const {
  return HasUnit(unit) && block < geometry.units[unit].blocks;
}

std::uint64_t Nand::PageOffset(std::size_t unit, std::uint32_t page) const {
  return unitOffsets[unit] + std::uint64_t{page} * kPageSize;
}

std::uint64_t Nand::BlockBytes(std::size_t unit) const {
  return std::uint64_t{geometry.units[unit].pagesPerBlock} * kPageSize;
}

std::uint64_t Nand::BlockOffset(std::size_t unit, std::uint32_t block) const {
  return unitOffsets[unit] + block * BlockBytes(unit);
}

const std::uint8_t* Nand::Page(std::size_t unit, std::uint32_t page) const {
  if (!HasPage(unit, page)) return nullptr;
  return cells.data() + PageOffset(unit, page);
}

bool Nand::PageReadable(std::size_t unit, std::uint32_t page) const {
  return HasPage(unit, page) && !(faults && faults->PageUnreadable(static_cast<std::uint8_t>(unit), page));
}

bool Nand::ReadPage(std::size_t unit, std::uint32_t page, std::uint8_t* out) const {
  if (!PageReadable(unit, page)) return false;
  const std::uint8_t* source = Page(unit, page);
  std::copy(source, source + kPageSize, out);
  return true;
}

bool Nand::Program(std::size_t unit, std::uint32_t page, std::size_t offset, const std::uint8_t* bytes,
                   std::size_t length) {
  if (!HasPage(unit, page) || offset > kPageSize || length > kPageSize - offset) return false;
  const std::uint32_t block = page / geometry.units[unit].pagesPerBlock;
  if (IsBad(unit, block)) return false;
  if (faults && faults->ProgramFails(static_cast<std::uint8_t>(unit), block)) return false;
  std::uint8_t* target = cells.data() + PageOffset(unit, page) + offset;
  for (std::size_t i = 0; i < length; ++i) target[i] &= bytes[i];
  Touch(PageOffset(unit, page) + offset, length);
  return true;
}

bool Nand::Erase(std::size_t unit, std::uint32_t block) {
  if (!HasBlock(unit, block) || IsBad(unit, block)) return false;
  if (faults && faults->EraseFails(static_cast<std::uint8_t>(unit), block)) return false;
  std::fill_n(cells.begin() + static_cast<std::ptrdiff_t>(BlockOffset(unit, block)), BlockBytes(unit), kErased);
  Touch(BlockOffset(unit, block), BlockBytes(unit));
  return true;
}

void Nand::MarkBad(std::size_t unit, std::uint32_t block) {
  if (!HasBlock(unit, block)) return;
  const std::uint32_t pages = geometry.units[unit].pagesPerBlock;
  for (std::uint32_t p = 0; p < pages; ++p) {
    const std::uint64_t offset = PageOffset(unit, block * pages + p) + kRedundantStart + redundant::kBlockStatus;
    cells[offset] = kBadBlockMark;
    Touch(offset, 1);
  }
}

bool Nand::IsBad(std::size_t unit, std::uint32_t block) const {
  const std::uint32_t pages = geometry.units[unit].pagesPerBlock;
  for (std::uint32_t p = 0; p < pages; ++p) {
    if (cells[PageOffset(unit, block * pages + p) + kRedundantStart + redundant::kBlockStatus] != kErased) return true;
  }
  return false;
}

bool Nand::IsErased(std::size_t unit, std::uint32_t block) const {
  const std::uint8_t* bytes = cells.data() + BlockOffset(unit, block);
  const std::uint64_t length = BlockBytes(unit);
  std::uint8_t all = kErased;
  for (std::uint64_t i = 0; i < length; ++i) all &= bytes[i];
  return all == kErased;
}

void Nand::Touch(std::uint64_t offset, std::uint64_t length) {
  if (!dirty.empty()) {
    ByteRange& last = dirty.back();
    if (offset >= last.offset && offset <= last.offset + last.length) {
      last.length = std::max(last.length, offset + length - last.offset);
      return;
    }
  }
  dirty.push_back({offset, length});
}

std::vector<ByteRange> Nand::TakeDirty() { return std::exchange(dirty, {}); }

}  // namespace sim
