#include "card/card_geometry.h"

#include <cctype>

namespace card {

std::uint64_t CardGeometry::TotalPages() const {
  std::uint64_t total = 0;
  for (const UnitGeometry& unit : units) total += std::uint64_t{unit.blocks} * unit.pagesPerBlock;
  return total;
}

std::uint64_t CardGeometry::UnitOffset(std::size_t unit) const {
  std::uint64_t offset = 0;
  for (std::size_t u = 0; u < unit && u < units.size(); ++u) {
    offset += std::uint64_t{units[u].blocks} * units[u].pagesPerBlock * kPageSize;
  }
  return offset;
}

namespace {

std::string Normalise(const std::string& name) {
  std::string out;
  for (char c : name) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (out.size() > 2 && out.compare(out.size() - 2, 2, "MB") == 0) out.pop_back();
  return out;
}

CardGeometry SingleUnit(const UnitGeometry& unit) { return CardGeometry{{unit}}; }

}  // namespace

std::optional<CardGeometry> StandardGeometry(const std::string& name) {
  const std::string wanted = Normalise(name);
  for (const StandardCard& card : kStandardCards) {
    if (wanted == card.name) return SingleUnit(card.unit);
  }
  return std::nullopt;
}

std::optional<CardGeometry> GeometryForImageSize(std::uint64_t bytes) {
  for (const StandardCard& card : kStandardCards) {
    const CardGeometry geometry = SingleUnit(card.unit);
    if (geometry.ImageBytes() == bytes) return geometry;
  }
  return std::nullopt;
}

std::string StandardName(const CardGeometry& geometry) {
  for (const StandardCard& card : kStandardCards) {
    if (geometry == SingleUnit(card.unit)) return card.name;
  }
  return "";
}

bool IsPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::uint8_t Log2(std::uint32_t powerOfTwo) {
  std::uint8_t log = 0;
  while (powerOfTwo > 1) {
    powerOfTwo >>= 1;
    ++log;
  }
  return log;
}

std::string CheckGeometry(const CardGeometry& geometry) {
  if (geometry.units.empty()) return "a card needs at least one unit";
  if (geometry.units.size() > kMaxUnits) return "a card has at most " + std::to_string(kMaxUnits) + " units";
  for (std::size_t u = 0; u < geometry.units.size(); ++u) {
    const UnitGeometry& unit = geometry.units[u];
    const std::string which = "unit " + std::to_string(u) + ": ";
    if (!IsPowerOfTwo(unit.blocks) || unit.blocks < kMinBlocks || unit.blocks > kMaxBlocks) {
      return which + "the block count must be a power of two from " + std::to_string(kMinBlocks) + " to " +
             std::to_string(kMaxBlocks);
    }
    if (!IsPowerOfTwo(unit.pagesPerBlock) || unit.pagesPerBlock > kMaxPagesPerBlock) {
      return which + "pages per block must be a power of two up to " + std::to_string(kMaxPagesPerBlock);
    }
  }
  if (geometry.ImageBytes() > kMaxImageBytes) return "the card is larger than the simulator holds (4 GiB of pages)";
  return "";
}

std::string Describe(const CardGeometry& geometry) {
  std::string out;
  for (const UnitGeometry& unit : geometry.units) {
    if (!out.empty()) out += " + ";
    out += std::to_string(unit.blocks) + " blocks x " + std::to_string(unit.pagesPerBlock) + " pages";
  }
  return out;
}

}  // namespace card
