// The physical shape of a simulated SmartMedia card: one or more units of
// blocks x pages, pages of 528 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/media_geometry.h"

namespace card {

struct UnitGeometry {
  std::uint32_t blocks = 0;
  std::uint32_t pagesPerBlock = 0;

  std::uint32_t Pages() const { return blocks * pagesPerBlock; }
  bool operator==(const UnitGeometry& o) const { return blocks == o.blocks && pagesPerBlock == o.pagesPerBlock; }
};

struct CardGeometry {
  std::vector<UnitGeometry> units;

  std::uint64_t TotalPages() const;
  std::uint64_t ImageBytes() const { return TotalPages() * kPageSize; }
  // Byte offset of the first page of `unit` in the raw image.
  std::uint64_t UnitOffset(std::size_t unit) const;
  bool operator==(const CardGeometry& o) const { return units == o.units; }
};

// The eight standard card sizes, one unit each.
struct StandardCard {
  const char* name;  // "1M" ... "128M"
  UnitGeometry unit;
};

constexpr std::array<StandardCard, 8> kStandardCards = {{
    {"1M", {256, 8}},
    {"2M", {512, 8}},
    {"4M", {512, 16}},
    {"8M", {1024, 16}},
    {"16M", {1024, 32}},
    {"32M", {2048, 32}},
    {"64M", {4096, 32}},
    {"128M", {8192, 32}},
}};

// Limits of what the simulator accepts: the reader reports at most six units;
// block numbers travel as 16 bits; pages per block fit the media reply's one
// byte of log2 (at most 128); the image file (which is not held in memory)
// stays within 4 GiB, room for a 2 GB card of several units.
constexpr std::size_t kMaxUnits = MediaGeometry::kMaxReportedUnits;
constexpr std::uint32_t kMinBlocks = 16;
constexpr std::uint32_t kMaxBlocks = 65536;
constexpr std::uint32_t kMaxPagesPerBlock = 128;
constexpr std::uint64_t kMaxImageBytes = std::uint64_t{4} << 30;

// Standard geometry by name ("16M", case-insensitive, "MB" accepted).
std::optional<CardGeometry> StandardGeometry(const std::string& name);
// The standard geometry whose raw image has exactly this many bytes.
std::optional<CardGeometry> GeometryForImageSize(std::uint64_t bytes);
// The standard size name of a geometry, or "" for any other.
std::string StandardName(const CardGeometry& geometry);
// Empty when the geometry can be simulated, else the reason it cannot.
std::string CheckGeometry(const CardGeometry& geometry);
// "1024 blocks x 32 pages" per unit, joined with " + ".
std::string Describe(const CardGeometry& geometry);

// Whole-number base-2 logarithm of a power of two.
std::uint8_t Log2(std::uint32_t powerOfTwo);
bool IsPowerOfTwo(std::uint32_t value);

}  // namespace card
