// The FAT file system that the format lays on a SmartMedia card: a master
// boot record with one partition, the FAT boot sector, two FATs and the root
// directory. The eight standard capacities take every value from
// CapacityTable; any other capacity gets a computed FAT16 layout whose
// partition starts at sector 32.
//
// The sector builders here are pure; the CReaderDevice members that write
// them to the card (WriteMbr, WriteBootSector and the four layout writers)
// are defined in fat_layout.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/media_geometry.h"

// --- Byte offsets of the on-card structures ---------------------------------

// Master boot record (logical sector 0).
namespace MbrOffset {
constexpr std::size_t kCode = 0;              // 446 bytes of boot code and disk identifier
constexpr std::size_t kPartitionEntry = 446;  // first of four 16-byte partition entries
constexpr std::size_t kSignature = 510;       // 55 AA
}  // namespace MbrOffset

// One 16-byte partition entry, relative to its own start.
namespace PartitionEntryOffset {
constexpr std::size_t kBootIndicator = 0;
constexpr std::size_t kStartHead = 1;
constexpr std::size_t kStartSectorCylinder = 2;  // bits 0-5 sector, bits 6-7 cylinder bits 8-9
constexpr std::size_t kStartCylinder = 3;        // cylinder bits 0-7
constexpr std::size_t kType = 4;
constexpr std::size_t kEndHead = 5;
constexpr std::size_t kEndSectorCylinder = 6;
constexpr std::size_t kEndCylinder = 7;
constexpr std::size_t kFirstSector = 8;   // u32
constexpr std::size_t kSectorCount = 12;  // u32
constexpr std::size_t kSize = 16;
}  // namespace PartitionEntryOffset

// FAT boot sector (first sector of the partition).
namespace BootSectorOffset {
constexpr std::size_t kJump = 0;                // EB 3E 90
constexpr std::size_t kOemName = 3;             // 8 characters
constexpr std::size_t kBytesPerSector = 11;     // u16
constexpr std::size_t kSectorsPerCluster = 13;  // u8
constexpr std::size_t kReservedSectors = 14;    // u16
constexpr std::size_t kFatCount = 16;           // u8
constexpr std::size_t kRootEntries = 17;        // u16
constexpr std::size_t kTotalSectors16 = 19;     // u16
constexpr std::size_t kMediaDescriptor = 21;    // u8
constexpr std::size_t kSectorsPerFat = 22;      // u16
constexpr std::size_t kSectorsPerTrack = 24;    // u16
constexpr std::size_t kHeads = 26;              // u16
constexpr std::size_t kHiddenSectors = 28;      // u32
constexpr std::size_t kTotalSectors32 = 32;     // u32
constexpr std::size_t kDriveNumber = 36;        // u8
constexpr std::size_t kBootSignature = 38;      // u8, 0x29
constexpr std::size_t kVolumeSerial = 39;       // u32
constexpr std::size_t kVolumeLabel = 43;        // 11 bytes
constexpr std::size_t kFileSystemType = 54;     // 8 characters
constexpr std::size_t kBootCode = 62;           // 448 bytes
constexpr std::size_t kSignature = 510;         // 55 AA
}  // namespace BootSectorOffset

// --- Constant tables ---------------------------------------------------------

constexpr std::uint32_t kEndOfTable = 0xFFFFFFFF;

// The layout of one standard card capacity.
struct CapacityRow {
  std::uint32_t key;                                                     // capacity key; kEndOfTable ends the table
  std::array<std::uint8_t, PartitionEntryOffset::kSize> partitionEntry;  // MBR entry as stored on the card
  std::uint16_t partitionStart;                                          // sector of the boot sector = hidden sectors
  std::uint16_t fatSectors;                                              // sectors per FAT
  std::uint16_t rootDirSectors;                                          // root directory size; 16 entries a sector
  std::uint8_t sectorsPerCluster;
  std::uint16_t heads;
  std::uint16_t sectorsPerTrack;
};

// The eight standard capacities (1 MB to 128 MB cards) and the end row.
// Each partition ends at the card's last logical sector, its C/H/S values
// follow the row's heads and sectors per track, and the first data sector is
// a multiple of the cluster size. Type 0x01 gives a FAT12 volume, 0x06 FAT16.
inline constexpr std::array<CapacityRow, 9> CapacityTable{{
    {2000,
     {0x80, 0x03, 0x02, 0x00, 0x01, 0x03, 0x04, 0x7C, 0x0D, 0x00, 0x00, 0x00, 0xC3, 0x07, 0x00, 0x00},
     13,
     1,
     16,
     8,
     4,
     4},
    {4000,
     {0x80, 0x01, 0x04, 0x00, 0x01, 0x03, 0x08, 0x7C, 0x0B, 0x00, 0x00, 0x00, 0x95, 0x0F, 0x00, 0x00},
     11,
     2,
     16,
     8,
     4,
     8},
    {8000,
     {0x80, 0x03, 0x04, 0x00, 0x01, 0x03, 0x08, 0xF9, 0x1B, 0x00, 0x00, 0x00, 0x25, 0x1F, 0x00, 0x00},
     27,
     2,
     16,
     16,
     4,
     8},
    {16000,
     {0x80, 0x01, 0x0A, 0x00, 0x01, 0x03, 0x10, 0xF9, 0x19, 0x00, 0x00, 0x00, 0x67, 0x3E, 0x00, 0x00},
     25,
     3,
     16,
     16,
     4,
     16},
    {32000,
     {0x80, 0x02, 0x0A, 0x00, 0x01, 0x03, 0x50, 0xF3, 0x29, 0x00, 0x00, 0x00, 0xD7, 0x7C, 0x00, 0x00},
     41,
     3,
     16,
     32,
     4,
     16},
    {64000,
     {0x80, 0x02, 0x04, 0x00, 0x01, 0x07, 0x50, 0xF3, 0x23, 0x00, 0x00, 0x00, 0xDD, 0xF9, 0x00, 0x00},
     35,
     6,
     16,
     32,
     8,
     16},
    {128000,
     {0x80, 0x01, 0x18, 0x00, 0x01, 0x07, 0x60, 0xF3, 0x37, 0x00, 0x00, 0x00, 0xC9, 0xF3, 0x01, 0x00},
     55,
     12,
     16,
     32,
     8,
     32},
    {256000,
     {0x80, 0x01, 0x10, 0x00, 0x06, 0x0F, 0x60, 0xF3, 0x2F, 0x00, 0x00, 0x00, 0xD1, 0xE7, 0x03, 0x00},
     47,
     32,
     16,
     32,
     16,
     32},
    {kEndOfTable, {}, 0, 0, 0, 0, 0, 0},
}};

struct ClusterSizeRow {
  std::uint32_t threshold;  // applies to partitions of fewer sectors than this
  std::uint8_t sectorsPerCluster;
};

// Cluster size of the computed layout by partition size; the end row (0)
// means the partition is too large for FAT16.
inline constexpr std::array<ClusterSizeRow, 8> ClusterSizeTable{{
    {8400, 1},
    {32680, 2},
    {262144, 4},
    {524288, 8},
    {1048576, 16},
    {2097152, 32},
    {4194304, 64},
    {kEndOfTable, 0},
}};

// The row whose key equals `key` exactly, or nullptr when the capacity is not
// one of the eight standard ones (the end row is never returned).
const CapacityRow* FindCapacityRow(std::uint32_t key);

// --- The computed layout ------------------------------------------------------

constexpr std::uint32_t kComputedPartitionStart = 32;  // sector of the boot sector
constexpr std::uint32_t kComputedRootDirSectors = 32;  // 512 entries
constexpr std::uint32_t kComputedHeads = 64;
constexpr std::uint32_t kComputedSectorsPerTrack = 32;
constexpr std::uint32_t kMinFat16Clusters = 4085;
constexpr std::uint32_t kMaxFat16Clusters = 65524;

// Sectors per cluster for a partition of `partitionSectors`: the first
// ClusterSizeTable row whose threshold exceeds it; 0 from 4194304 sectors up.
std::uint8_t ComputedSectorsPerCluster(std::uint32_t partitionSectors);

// Sectors per FAT for 1 reserved sector, a 32-sector root directory and two
// FATs: the published FAT16 sizing rule,
// ceil((L - 33) / (256 S + 2)), and one sector more where that leaves no
// room for the two reserved entries 0 and 1 beside every cluster (L = 36968:
// 9215 clusters, 36 sectors holding 9216 entries), since the last cluster
// would otherwise have no FAT entry.
std::uint32_t ComputedFatSectors(std::uint32_t partitionSectors, std::uint8_t sectorsPerCluster);

// Clusters of the data area: (L - 1 - 2F - 32) / S, 0 when the reserved
// sector, the FATs and the root directory leave no room.
std::uint32_t ComputedClusterCount(std::uint32_t partitionSectors);

// Why a computed layout cannot be written; None when it can.
enum class LayoutFault {
  None,
  PartitionSizeUnset,      // partitionSectors was never set for this card
  CapacityTooSmall,        // capacity key below 1000
  PartitionBeyondCard,     // partitionSectors > key - 32
  PartitionTooLarge,       // partitionSectors >= 4194304: no FAT16 cluster size fits
  ClusterCountOutOfRange,  // FAT16 cluster count outside 4085..65524
};

// Checks a card of capacity key `key` whose partition holds `partitionSectors`
// sectors from sector 32, before anything is written. The master boot record
// may still be written under PartitionTooLarge; the boot sector may not.
LayoutFault ComputedLayoutFault(std::uint32_t key, std::uint32_t partitionSectors);

// The operator's message for a fault; empty for None.
const char* LayoutFaultMessage(LayoutFault fault);

// --- Sector builders ------------------------------------------------------------

SectorBuffer BuildTableMbr(const CapacityRow& row);
SectorBuffer BuildComputedMbr(std::uint32_t partitionSectors);
// `key` is the card's capacity key: the volume spans key - partition start sectors.
SectorBuffer BuildTableBootSector(const CapacityRow& row, std::uint32_t key);
SectorBuffer BuildComputedBootSector(std::uint8_t sectorsPerCluster, std::uint32_t fatSectors,
                                     std::uint32_t partitionSectors);
// First sector of each FAT: media descriptor and the two reserved entries.
SectorBuffer BuildFirstFatSector(bool fat16);

// The volume of a table row is FAT12 for partition type 0x01, else FAT16.
bool RowIsFat16(const CapacityRow& row);
