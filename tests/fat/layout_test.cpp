// The capacity table, the computed layout's arithmetic and the refusals, each
// against values worked out by hand rather than from the code.
#include <gtest/gtest.h>

#include <string>

#include "engine/byte_order.h"
#include "engine/fat_layout.h"
#include "tests/fat/fat_run.h"

namespace {

// --- Standard capacities ------------------------------------------------------

struct StandardCard {
  std::uint32_t key;
  const char* entry;  // partition entry bytes as stored
  unsigned start, fatSectors, rootSectors, cluster, heads, track;
  unsigned firstDataSector;
  bool fat16;
};

constexpr StandardCard kStandardCards[] = {
    {2000, "80 03 02 00 01 03 04 7C 0D 00 00 00 C3 07 00 00", 13, 1, 16, 8, 4, 4, 32, false},
    {4000, "80 01 04 00 01 03 08 7C 0B 00 00 00 95 0F 00 00", 11, 2, 16, 8, 4, 8, 32, false},
    {8000, "80 03 04 00 01 03 08 F9 1B 00 00 00 25 1F 00 00", 27, 2, 16, 16, 4, 8, 48, false},
    {16000, "80 01 0A 00 01 03 10 F9 19 00 00 00 67 3E 00 00", 25, 3, 16, 16, 4, 16, 48, false},
    {32000, "80 02 0A 00 01 03 50 F3 29 00 00 00 D7 7C 00 00", 41, 3, 16, 32, 4, 16, 64, false},
    {64000, "80 02 04 00 01 07 50 F3 23 00 00 00 DD F9 00 00", 35, 6, 16, 32, 8, 16, 64, false},
    {128000, "80 01 18 00 01 07 60 F3 37 00 00 00 C9 F3 01 00", 55, 12, 16, 32, 8, 32, 96, false},
    {256000, "80 01 10 00 06 0F 60 F3 2F 00 00 00 D1 E7 03 00", 47, 32, 16, 32, 16, 32, 128, true},
};

class StandardCardTest : public ::testing::TestWithParam<StandardCard> {};

TEST_P(StandardCardTest, RowHoldsTheCardsValues) {
  const StandardCard& c = GetParam();
  const CapacityRow* row = FindCapacityRow(c.key);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->key, c.key);
  EXPECT_EQ(std::vector<std::uint8_t>(row->partitionEntry.begin(), row->partitionEntry.end()), Hex(c.entry));
  EXPECT_EQ(row->partitionStart, c.start);
  EXPECT_EQ(row->fatSectors, c.fatSectors);
  EXPECT_EQ(row->rootDirSectors, c.rootSectors);
  EXPECT_EQ(row->sectorsPerCluster, c.cluster);
  EXPECT_EQ(row->heads, c.heads);
  EXPECT_EQ(row->sectorsPerTrack, c.track);
  EXPECT_EQ(RowIsFat16(*row), c.fat16);
}

// The partition fills the card from its start, its C/H/S triplets encode its
// first and last sectors under the row's geometry, and the data area starts
// on a cluster boundary.
TEST_P(StandardCardTest, PartitionEntryAgreesWithTheRow) {
  const StandardCard& c = GetParam();
  const CapacityRow& row = *FindCapacityRow(c.key);
  const std::uint8_t* e = row.partitionEntry.data();
  const std::uint32_t first = LoadLe32(e + 8);
  const std::uint32_t count = LoadLe32(e + 12);
  EXPECT_EQ(first, c.start);
  EXPECT_EQ(first + count, c.key);

  auto chs = [&](std::uint32_t head, std::uint32_t sectorByte, std::uint32_t cylinderByte) {
    const std::uint32_t cylinder = cylinderByte | ((sectorByte & 0xC0) << 2);
    return (cylinder * c.heads + head) * c.track + (sectorByte & 0x3F) - 1;
  };
  EXPECT_EQ(chs(e[1], e[2], e[3]), c.start);
  EXPECT_EQ(chs(e[5], e[6], e[7]), c.key - 1);
  const std::uint32_t endCylinder = e[7] | ((e[6] & 0xC0u) << 2);
  EXPECT_EQ((endCylinder + 1) * c.heads * c.track, c.key);

  const unsigned dataStart = c.start + 1 + 2 * c.fatSectors + c.rootSectors;
  EXPECT_EQ(dataStart, c.firstDataSector);
  EXPECT_EQ(dataStart % c.cluster, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, StandardCardTest, ::testing::ValuesIn(kStandardCards),
                         [](const auto& info) { return "Key" + std::to_string(info.param.key); });

TEST(CapacityTable, OnlyExactKeysHaveARow) {
  for (std::uint32_t key : {0u, 1000u, 1999u, 2001u, 24000u, 512000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(FindCapacityRow(key), nullptr) << key;
  }
  EXPECT_EQ(CapacityTable.back().key, 0xFFFFFFFFu);
}

// --- Computed layout ------------------------------------------------------------

TEST(ClusterSize, ThresholdIsStrictlyGreater) {
  const std::pair<std::uint32_t, unsigned> cases[] = {
      {968, 1},     {8399, 1},     {8400, 2},     {32679, 2},    {32680, 4},    {262143, 4},  {262144, 8},
      {524288, 16}, {1048576, 32}, {2097151, 32}, {2097152, 64}, {4194303, 64}, {4194304, 0}, {0xFFFFFFFF, 0}};
  for (const auto& [l, s] : cases) EXPECT_EQ(ComputedSectorsPerCluster(l), s) << "L=" << l;
}

// The worked examples: K, L, S, F, MBR bytes 450-453, total sectors and the
// field that holds them, FAT 2, the root directory and the zero fill after
// the boot sector.
struct WorkedExample {
  std::uint32_t key, l;
  unsigned s, f;
  const char* mbr450;
  bool total16;
  unsigned fat2, rootFirst, rootLast, fillFirst, fillLast;
};

constexpr WorkedExample kWorkedExamples[] = {
    {1000, 968, 1, 4, "04 1F 20 00", true, 37, 41, 72, 33, 72},
    {24000, 23968, 2, 47, "04 1F 20 14", true, 80, 127, 158, 33, 158},
    {96000, 95968, 4, 94, "06 1F 20 5A", false, 127, 221, 252, 33, 252},
    {300000, 299968, 8, 147, "06 1F 60 2C", false, 180, 327, 358, 33, 358},
};

class WorkedExampleTest : public ::testing::TestWithParam<WorkedExample> {};

TEST_P(WorkedExampleTest, ArithmeticAndSectors) {
  const WorkedExample& x = GetParam();
  EXPECT_EQ(ComputedSectorsPerCluster(x.l), x.s);
  EXPECT_EQ(ComputedFatSectors(x.l, static_cast<std::uint8_t>(x.s)), x.f);
  const SectorBuffer mbr = BuildComputedMbr(x.l);
  EXPECT_EQ(Bytes(mbr, 446, 4), Hex("80 01 01 00"));
  EXPECT_EQ(Bytes(mbr, 450, 4), Hex(x.mbr450));
  EXPECT_EQ(LoadLe32(&mbr[454]), 32u);
  EXPECT_EQ(LoadLe32(&mbr[458]), x.l);
  EXPECT_EQ(Bytes(mbr, 440, 6), Hex("FC 16 8C 7F 00 00"));
  EXPECT_EQ(Bytes(mbr, 510, 2), Hex("55 AA"));
  EXPECT_EQ(x.rootFirst, 33 + 2 * x.f);
  EXPECT_EQ(x.rootLast, x.rootFirst + 31);
  EXPECT_EQ(x.fat2, 33 + x.f);

  const SectorBuffer boot = BuildComputedBootSector(static_cast<std::uint8_t>(x.s), x.f, x.l);
  EXPECT_EQ(boot[13], x.s);
  EXPECT_EQ(LoadLe16(&boot[17]), 512);
  EXPECT_EQ(LoadLe16(&boot[19]), x.total16 ? x.l : 0);
  EXPECT_EQ(LoadLe32(&boot[32]), x.total16 ? 0 : x.l);
  EXPECT_EQ(LoadLe16(&boot[22]), x.f);
  EXPECT_EQ(Bytes(boot, 24, 8), Hex("20 00 40 00 20 00 00 00"));  // 32 sectors a track, 64 heads, 32 hidden
  EXPECT_EQ(std::string(boot.begin() + 54, boot.begin() + 62), "FAT16   ");
}

TEST_P(WorkedExampleTest, WriterSendsThisOrder) {
  const WorkedExample& x = GetParam();
  auto run = NewCard(x.key);
  run->Run();
  if (x.key == 1000) {  // 927 clusters: refused before anything is written
    EXPECT_EQ(run->mbrResult, 0);
    EXPECT_TRUE(run->reader.Calls().empty());
    return;
  }
  EXPECT_EQ(run->mbrResult, 1);
  EXPECT_EQ(run->bootResult, 1);
  EXPECT_TRUE(run->host.Messages().empty());
  EXPECT_EQ(OpSummary(run->reader.Calls()),
            Ops("W0 R0 W1-31 W32 R32 W" + std::to_string(x.fillFirst) + "-" + std::to_string(x.fillLast) +
                " W33 R33 W" + std::to_string(x.fat2) + " R" + std::to_string(x.fat2)));
  EXPECT_EQ(Bytes(run->reader.Sector(static_cast<std::uint16_t>(x.fat2)), 0, 5), Hex("F8 FF FF FF 00"));
}

INSTANTIATE_TEST_SUITE_P(Examples, WorkedExampleTest, ::testing::ValuesIn(kWorkedExamples),
                         [](const auto& info) { return "Key" + std::to_string(info.param.key); });

// The 16-bit fields hold up to 65535 sectors; above that the partition type
// is 0x06 and the size moves to the 32-bit field.
TEST(ComputedLayout, SmallPartitionBoundary) {
  const std::pair<std::uint32_t, bool> cases[] = {{65000, true}, {66000, false}};
  for (const auto& [key, small] : cases) {
    auto run = NewCard(key);
    run->Run();
    ASSERT_EQ(run->bootResult, 1) << key;
    const std::uint32_t l = key - 32;
    EXPECT_EQ(run->reader.Sector(0)[450], small ? 0x04 : 0x06) << key;
    const SectorBuffer boot = run->reader.Sector(32);
    EXPECT_EQ(LoadLe16(&boot[19]), small ? l : 0) << key;
    EXPECT_EQ(LoadLe32(&boot[32]), small ? 0 : l) << key;
  }
  EXPECT_EQ(BuildComputedMbr(65535)[450], 0x04);
  EXPECT_EQ(BuildComputedMbr(65536)[450], 0x06);
}

// The end cylinder keeps bits 8-9 in the sector byte and drops the rest.
// Every cluster needs a FAT entry beyond the two reserved ones. The sizing
// rule as first published misses those two for some sizes; the FAT must hold
// them for every partition the computed layout accepts, and stay what that
// rule gives wherever the rule was big enough.
TEST(ComputedLayout, FatHoldsEveryClusterAndTheReservedEntries) {
  int grown = 0;
  for (std::uint32_t l = 968; l < 4194304; ++l) {
    const std::uint32_t s = ComputedSectorsPerCluster(l);
    const std::uint32_t f = ComputedFatSectors(l, static_cast<std::uint8_t>(s));
    const auto clusters = [&](std::uint32_t fat) { return (l - 33 - 2 * fat) / s; };
    ASSERT_LE(clusters(f) + 2, 256 * f) << "L = " << l;
    const std::uint32_t published = (l + 256 * s + 2 - 34) / (256 * s + 2);
    const bool publishedFits = clusters(published) + 2 <= 256 * published;
    ASSERT_EQ(f, publishedFits ? published : published + 1) << "L = " << l;
    if (!publishedFits) ++grown;
  }
  EXPECT_GT(grown, 0);
  // Capacity key 37000: 9215 clusters of 4 sectors, 37 FAT sectors, not 36.
  EXPECT_EQ(ComputedFatSectors(36968, 4), 37u);
}

TEST(ComputedLayout, EndCylinderBits) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {9919, "20 00"}, {9920, "20 0A"}, {299968, "60 2C"}, {1015808, "E0 FC"}, {1021760, "20 06"}};
  for (const auto& [l, bytes] : cases) EXPECT_EQ(Bytes(BuildComputedMbr(l), 452, 2), Hex(bytes)) << "L=" << l;
}

// --- Refusals ---------------------------------------------------------------------

TEST(ComputedLayoutFault, ClassifiesCards) {
  struct Case {
    std::uint32_t key, l;
    LayoutFault fault;
  };
  const Case cases[] = {
      {0, 0xFFFFFFE0, LayoutFault::CapacityTooSmall},
      {999, 967, LayoutFault::CapacityTooSmall},
      {1000, 968, LayoutFault::ClusterCountOutOfRange},  // 927 clusters
      {3000, 2968, LayoutFault::ClusterCountOutOfRange},
      {24000, 0, LayoutFault::ClusterCountOutOfRange},
      {24000, 23968, LayoutFault::None},
      {24000, 23969, LayoutFault::PartitionBeyondCard},
      {24000, 30000, LayoutFault::PartitionBeyondCard},
      // S = 1, F = 16: 4084 clusters at L = 4149, 4085 at 4150.
      {5000, 4149, LayoutFault::ClusterCountOutOfRange},
      {5000, 4150, LayoutFault::None},
      {4194000, 4193968, LayoutFault::None},  // 65522 clusters
      // S = 64, F = 256: 65524 clusters up to L = 4194144, 65525 from 4194145.
      {4194336, 4194144, LayoutFault::None},
      {4194336, 4194145, LayoutFault::ClusterCountOutOfRange},
      {4194336, 4194304, LayoutFault::PartitionTooLarge},
      {4195000, 4194968, LayoutFault::PartitionTooLarge},
      {0xFFFFFFFF, 0xFFFFFFDF, LayoutFault::PartitionTooLarge},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ComputedLayoutFault(c.key, c.l), c.fault) << "K=" << c.key << " L=" << c.l;
  }
  EXPECT_EQ(ComputedClusterCount(4150), 4085u);
  EXPECT_EQ(ComputedClusterCount(4194144), 65524u);
}

// A refused card gets nothing written, one error box and 0 from both writers.
TEST(LayoutRefusal, WritesNothing) {
  struct Case {
    const char* name;
    std::uint32_t key;
    bool setL;
    std::uint32_t l;
    LayoutFault fault;
  };
  const Case cases[] = {
      {"NeverSet", 24000, false, 0, LayoutFault::PartitionSizeUnset},
      {"NoUnit", 0, true, 0xFFFFFFE0, LayoutFault::CapacityTooSmall},
      {"TooFewClusters", 1000, true, 968, LayoutFault::ClusterCountOutOfRange},
      {"BeyondCard", 24000, true, 23969, LayoutFault::PartitionBeyondCard},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingHost host;
    MemoryReader reader(host);
    reader.SetCapacityKey(c.key);
    if (c.setL) reader.SetPartitionSectors(c.l);
    EXPECT_EQ(reader.WriteMbr(), 0);
    EXPECT_EQ(reader.WriteBootSector(), 0);
    EXPECT_TRUE(reader.Calls().empty());
    const HostMessage refusal{LayoutFaultMessage(c.fault), "Error",
                              MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::None};
    EXPECT_EQ(host.Messages(), (std::vector<HostMessage>{refusal, refusal}));
  }
}

// Too large for FAT16: the MBR is still written and verified, the boot sector
// is refused silently (the format procedure reports it).
TEST(LayoutRefusal, PartitionTooLargeWritesOnlyTheMbr) {
  auto run = NewCard(4195000);
  run->Run();
  EXPECT_EQ(run->mbrResult, 1);
  EXPECT_EQ(run->bootResult, 0);
  EXPECT_EQ(OpSummary(run->reader.Calls()), Ops("W0 R0 W1-31"));
  EXPECT_TRUE(run->host.Messages().empty());
  EXPECT_EQ(LoadLe32(&run->reader.Sector(0)[458]), 4194968u);
}

// The standard layout never reads the partition size.
TEST(LayoutRefusal, TableLayoutIgnoresPartitionSize) {
  for (bool setL : {false, true}) {
    RecordingHost host;
    MemoryReader reader(host);
    reader.SetCapacityKey(2000);
    if (setL) reader.SetPartitionSectors(12345678);
    EXPECT_EQ(reader.WriteMbr(), 1);
    EXPECT_EQ(reader.WriteBootSector(), 1);
    EXPECT_EQ(LoadLe16(&reader.Sector(13)[19]), 1987);
  }
}

}  // namespace
