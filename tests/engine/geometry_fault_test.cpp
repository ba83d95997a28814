#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/low_level_format.h"

namespace {

struct Unit {
  std::uint8_t tag;
  std::uint32_t totalSectors;
  std::uint8_t sectorsPerBlock;
};

struct GeometryCase {
  const char* name;
  std::uint8_t unitCount;
  std::vector<Unit> slots;  // units[0..]
  bool refused;
};

class CardGeometryFaultTest : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(CardGeometryFaultTest, RefusesWhatCannotBeFormatted) {
  MediaGeometry geometry;
  geometry.unitCount = GetParam().unitCount;
  for (std::size_t i = 0; i < GetParam().slots.size(); ++i) {
    geometry.units[i] =
        MediaUnit{GetParam().slots[i].tag, GetParam().slots[i].totalSectors, GetParam().slots[i].sectorsPerBlock};
  }
  const std::string fault = CardGeometryFault(geometry);
  EXPECT_EQ(!fault.empty(), GetParam().refused) << fault;
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, CardGeometryFaultTest,
    ::testing::Values(GeometryCase{"Standard16M", 1, {{1, 32768, 32}}, false},
                      GeometryCase{"Standard1M", 1, {{1, 2048, 8}}, false},
                      GeometryCase{"TwoUnits", 2, {{1, 32768, 32}, {2, 32768, 32}}, false},
                      GeometryCase{"NoUnit", 0, {}, true}, GeometryCase{"ZeroBlockSize", 1, {{1, 0, 0}}, true},
                      GeometryCase{"SecondUnitZeroBlockSize", 2, {{1, 32768, 32}, {2, 0, 0}}, true},
                      // 65536 blocks still fit the 16-bit block numbers; 65537 would erase block 0 again.
                      GeometryCase{"Blocks65536", 1, {{1, 65536u * 32, 32}}, false},
                      GeometryCase{"Blocks131072", 1, {{1, 131072u * 32, 32}}, true},
                      GeometryCase{"TotalBeyond32Bits",
                                   6,
                                   {{1, 65536u * 128, 128},
                                    {1, 65536u * 128, 128},
                                    {1, 65536u * 128, 128},
                                    {1, 65536u * 128, 128},
                                    {1, 65536u * 128, 128},
                                    {1, 65536u * 128, 128}},
                                   true},
                      // Records 0 and 2 present, record 1 absent.
                      GeometryCase{"UnitsOutOfOrder", 2, {{1, 32768, 32}, {0, 0, 0}, {1, 32768, 32}}, true},
                      // Below 1024 pages the card has no capacity key.
                      GeometryCase{"TooSmallForAFileSystem", 1, {{1, 1000, 8}}, true},
                      // Key 1000: a FAT16 volume of 927 clusters would read as FAT12.
                      GeometryCase{"ComputedTooFewClusters", 1, {{1, 1024, 8}}, true},
                      // Key 24000: no table row, computed FAT16 layout.
                      GeometryCase{"ComputedValid", 1, {{1, 24576, 32}}, false},
                      // 8192 blocks of 128 pages: key 1024000, a valid computed layout.
                      GeometryCase{"LargeComputed", 1, {{1, 8192u * 128, 128}}, false},
                      // 65536 blocks of 128 pages: key 8192000, no FAT16 cluster size fits.
                      GeometryCase{"TooLargeForFat16", 1, {{1, 65536u * 128, 128}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
