// What a card's logical sectors hold, read as a FAT driver reads them:
// sector 0 as a partition table or as the boot sector of a volume without
// one, the FAT volume it leads to, and what that volume's root directory
// lists. Tells an operator what a format would erase, and what a card holds
// in place of the SmartMedia layout. Reads only the sectors it needs: sector
// 0, the boot sector, the root directory and the first FAT.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "engine/media_geometry.h"

// Reads one logical sector; false when it cannot be read.
using LogicalSectorReader = std::function<bool(std::uint32_t sector, SectorBuffer& data)>;

// The size of a directory entry.
constexpr std::size_t kDirEntryBytes = 32;
// 55 AA at byte 510 of an MBR and a boot sector.
constexpr std::uint16_t kSectorSignature = 0xAA55;

enum class SectorZero : std::uint8_t {
  Unreadable,      // it could not be read
  Blank,           // every byte erased (FF) or zero: never formatted
  PartitionTable,  // a master boot record whose first entry names a partition
  BootSector,      // the boot sector of a FAT volume that has no partition table
  Other,           // neither
};

// The shape of a FAT volume, from its boot sector.
struct FatVolume {
  std::uint32_t firstSector = 0;  // of the boot sector
  unsigned fatBits = 0;           // 12, 16 or 32, by the count of clusters
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t fatSectors = 0;  // of each FAT
  std::uint32_t rootEntries = 0;
  std::uint32_t clusterSectors = 0;
  std::uint32_t clusters = 0;

  std::uint32_t RootStart() const { return firstSector + reservedSectors + fatCount * fatSectors; }
  std::uint32_t RootSectors() const;
};

// The boot sector's volume, or none when it is not a FAT boot sector.
std::optional<FatVolume> ReadBootSector(const SectorBuffer& sector, std::uint32_t firstSector);

struct VolumeSurvey {
  SectorZero sectorZero = SectorZero::Unreadable;
  std::uint32_t partitionStart = 0;  // of a partition table's first entry
  std::optional<FatVolume> volume;   // the FAT volume sector 0 leads to
  bool rootRead = false;             // its root directory could be read
  std::uint32_t files = 0;           // entries of the root directory
  std::uint32_t folders = 0;
  std::optional<std::uint64_t> bytesInUse;  // the clusters the FAT gives out, when all of it could be read

  // What the card holds: "a FAT16 file system with no partition table ...".
  std::string Describe() const;
  bool HoldsFiles() const { return files + folders > 0; }
  // "2 files and 1 folder in the root directory, 14.5 MB in use"; "none"
  // for an empty root directory; otherwise why nothing can be said.
  std::string FilesText() const;
};

// Reads what the card holds; `cardSectors` bounds every sector it reads.
VolumeSurvey SurveyVolume(const LogicalSectorReader& read, std::uint64_t cardSectors);

// "14.5 MB", "12 KB", "300 bytes".
std::string ByteSizeText(std::uint64_t bytes);
