#include "card/nand.h"

#include <algorithm>
#include <array>
#include <utility>

#include "card/page_format.h"

namespace card {

namespace {

// What a read shows when the host cannot deliver the bytes.
const std::array<std::uint8_t, CardStorage::kMaxSpan>& ErasedSpan() {
  static const auto erased = [] {
    std::array<std::uint8_t, CardStorage::kMaxSpan> bytes{};
    bytes.fill(kErased);
    return bytes;
  }();
  return erased;
}

}  // namespace

Nand::Nand(CardGeometry geometry_) : Nand(geometry_, std::vector<std::uint8_t>(geometry_.ImageBytes(), kErased)) {}

Nand::Nand(CardGeometry geometry_, std::vector<std::uint8_t> contents)
    : Nand(std::move(geometry_), std::make_unique<MemoryStorage>(std::move(contents))) {}

Nand::Nand(CardGeometry geometry_, std::unique_ptr<CardStorage> storage_)
    : geometry(std::move(geometry_)), storage(std::move(storage_)) {
  std::size_t blocks = 0;
  for (std::size_t u = 0; u < geometry.units.size(); ++u) {
    unitOffsets.push_back(geometry.UnitOffset(u));
    unitFirstBlock.push_back(blocks);
    blocks += geometry.units[u].blocks;
  }
  health.assign(blocks, BlockHealth::Unknown);
}

Nand::BlockHealth& Nand::Health(std::size_t unit, std::uint32_t block) const {
  return health[unitFirstBlock[unit] + block];
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

std::size_t Nand::BlockBytes(std::size_t unit) const { return geometry.units[unit].pagesPerBlock * kPageSize; }

std::uint64_t Nand::BlockOffset(std::size_t unit, std::uint32_t block) const {
  return unitOffsets[unit] + std::uint64_t{block} * BlockBytes(unit);
}

const std::uint8_t* Nand::ReadSpan(std::uint64_t offset, std::size_t length) const {
  const std::uint8_t* bytes = storage->Read(offset, length);
  return bytes != nullptr ? bytes : ErasedSpan().data();
}

std::uint8_t* Nand::ChangeSpan(std::uint64_t offset, std::size_t length) { return storage->Change(offset, length); }

const std::uint8_t* Nand::Page(std::size_t unit, std::uint32_t page) const {
  if (!HasPage(unit, page)) return nullptr;
  if (Health(unit, page / geometry.units[unit].pagesPerBlock) == BlockHealth::Erased) return ErasedSpan().data();
  return ReadSpan(PageOffset(unit, page), kPageSize);
}

bool Nand::PageReadable(std::size_t unit, std::uint32_t page) const {
  return HasPage(unit, page) && !(faults && faults->PageUnreadable(static_cast<std::uint8_t>(unit), page));
}

bool Nand::ReadPage(std::size_t unit, std::uint32_t page, std::uint8_t* out) const {
  if (!PageReadable(unit, page)) return false;
  const std::uint8_t* source = Page(unit, page);
  std::copy(source, source + kPageSize, out);
  return HostError().empty();
}

bool Nand::Program(std::size_t unit, std::uint32_t page, std::size_t offset, const std::uint8_t* bytes,
                   std::size_t length) {
  if (!HasPage(unit, page) || offset > kPageSize || length > kPageSize - offset) return false;
  const std::uint32_t block = page / geometry.units[unit].pagesPerBlock;
  if (IsBad(unit, block) &&
      ReadSpan(PageOffset(unit, page) + kRedundantStart + redundant::kBlockStatus, 1)[0] != kErased) {
    return false;
  }
  if (faults && faults->ProgramFails(static_cast<std::uint8_t>(unit), block)) return false;
  std::uint8_t* target = ChangeSpan(PageOffset(unit, page) + offset, length);
  if (target == nullptr) return false;
  for (std::size_t i = 0; i < length; ++i) target[i] &= bytes[i];
  Programmed(unit, block, offset, length, bytes);
  return true;
}

void Nand::Programmed(std::size_t unit, std::uint32_t block, std::size_t offset, std::size_t length,
                      const std::uint8_t* bytes) {
  constexpr std::size_t kStatus = kRedundantStart + redundant::kBlockStatus;
  // The block was good (programming a bad one fails); a status byte cleared
  // now makes it bad.
  BlockHealth& known = Health(unit, block);
  if (offset <= kStatus && kStatus < offset + length && bytes[kStatus - offset] != kErased) {
    known = BlockHealth::Bad;
  } else if (known == BlockHealth::Erased) {
    known = BlockHealth::Good;
  }
}

bool Nand::Erase(std::size_t unit, std::uint32_t block) {
  if (!HasBlock(unit, block) || IsBad(unit, block)) return false;
  if (faults && faults->EraseFails(static_cast<std::uint8_t>(unit), block)) return false;
  if (!storage->Fill(BlockOffset(unit, block), BlockBytes(unit), kErased)) return false;
  Health(unit, block) = BlockHealth::Erased;
  return true;
}

void Nand::MarkBad(std::size_t unit, std::uint32_t block) {
  if (!HasBlock(unit, block)) return;
  std::uint8_t* target = ChangeSpan(BlockOffset(unit, block), BlockBytes(unit));
  if (target == nullptr) return;
  for (std::size_t p = 0; p < geometry.units[unit].pagesPerBlock; ++p) {
    target[p * kPageSize + kRedundantStart + redundant::kBlockStatus] = kBadBlockMark;
  }
  Health(unit, block) = BlockHealth::Bad;
}

bool Nand::IsBad(std::size_t unit, std::uint32_t block) const {
  BlockHealth& known = Health(unit, block);
  if (known == BlockHealth::Unknown) {
    const std::uint8_t* bytes = ReadSpan(BlockOffset(unit, block), BlockBytes(unit));
    known = BlockHealth::Good;
    for (std::size_t p = 0; p < geometry.units[unit].pagesPerBlock; ++p) {
      if (bytes[p * kPageSize + kRedundantStart + redundant::kBlockStatus] != kErased) known = BlockHealth::Bad;
    }
    // What a failed read showed is not knowledge.
    if (!HostError().empty()) known = BlockHealth::Unknown;
    return known != BlockHealth::Good;
  }
  return known == BlockHealth::Bad;
}

bool Nand::IsErased(std::size_t unit, std::uint32_t block) const {
  if (Health(unit, block) == BlockHealth::Erased) return true;
  const std::size_t length = BlockBytes(unit);
  const std::uint8_t* bytes = ReadSpan(BlockOffset(unit, block), length);
  const bool erased = std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == kErased; });
  if (erased && HostError().empty()) Health(unit, block) = BlockHealth::Erased;
  return erased;
}

std::vector<std::uint8_t> Nand::Bytes() const {
  std::vector<std::uint8_t> copy(geometry.ImageBytes());
  for (std::uint64_t offset = 0; offset < copy.size(); offset += CardStorage::kMaxSpan) {
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(CardStorage::kMaxSpan, copy.size() - offset));
    std::copy_n(ReadSpan(offset, length), length, copy.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  return copy;
}

}  // namespace card
