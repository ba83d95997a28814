#include "app/cli/card_options.h"

#include <cstdint>
#include <limits>
#include <sstream>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

// A whole decimal number that fits 32 bits; nothing else.
std::optional<std::uint32_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const unsigned long long value = std::stoull(text);
  if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<card::CardGeometry> ParseGeometry(const std::string& text, std::string& error) {
  if (auto standard = card::StandardGeometry(text)) return standard;
  card::CardGeometry geometry;
  for (const std::string& unitText : Split(text, '+')) {
    const std::size_t x = unitText.find_first_of("xX");
    const auto blocks = x == std::string::npos ? std::nullopt : ParseNumber(unitText.substr(0, x));
    const auto pages = x == std::string::npos ? std::nullopt : ParseNumber(unitText.substr(x + 1));
    if (!blocks || !pages) {
      error = "'" + text + "' is neither a card size (1M 2M 4M 8M 16M 32M 64M 128M) nor units of BLOCKSxPAGES";
      return std::nullopt;
    }
    geometry.units.push_back(card::UnitGeometry{*blocks, *pages});
  }
  const std::string fault = card::CheckGeometry(geometry);
  if (!fault.empty()) {
    error = "geometry '" + text + "': " + fault;
    return std::nullopt;
  }
  return geometry;
}

std::vector<card::BlockRef> ParseBlockList(const std::string& text, std::string& error) {
  std::vector<card::BlockRef> blocks;
  for (const std::string& item : Split(text, ',')) {
    const std::size_t colon = item.find(':');
    const auto unit = colon == std::string::npos ? std::optional<std::uint32_t>{0} : ParseNumber(item.substr(0, colon));
    const auto block = ParseNumber(colon == std::string::npos ? item : item.substr(colon + 1));
    if (!unit || !block || *unit >= card::kMaxUnits) {
      error = "'" + item + "' is not a block number (N or UNIT:N)";
      return {};
    }
    blocks.push_back(card::BlockRef{static_cast<std::uint8_t>(*unit), *block});
  }
  return blocks;
}
