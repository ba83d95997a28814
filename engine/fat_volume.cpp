#include "engine/fat_volume.h"

#include <algorithm>
#include <vector>

#include "engine/byte_order.h"
#include "engine/fat_layout.h"
#include "engine/fat_reader.h"

namespace {

constexpr std::uint8_t kJumpShort = 0xEB;
constexpr std::uint8_t kJumpNear = 0xE9;
constexpr std::uint8_t kLowestMediaDescriptor = 0xF0;
constexpr std::size_t kFat32SectorsPerFat = 36;
constexpr std::uint32_t kFat12Clusters = 4085;  // fewer clusters: FAT12
constexpr std::uint32_t kFat16Clusters = 65525;

std::string Plural(std::uint32_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::uint32_t FatVolume::RootSectors() const {
  return static_cast<std::uint32_t>((std::uint64_t{rootEntries} * kDirEntryBytes + kSectorSize - 1) / kSectorSize);
}

std::optional<FatVolume> ReadBootSector(const SectorBuffer& sector, std::uint32_t firstSector) {
  namespace off = BootSectorOffset;
  const std::uint8_t* s = sector.data();
  const std::uint32_t clusterSectors = s[off::kSectorsPerCluster];
  FatVolume volume;
  volume.firstSector = firstSector;
  volume.reservedSectors = LoadLe16(s + off::kReservedSectors);
  volume.fatCount = s[off::kFatCount];
  volume.rootEntries = LoadLe16(s + off::kRootEntries);
  volume.clusterSectors = clusterSectors;
  volume.fatSectors = LoadLe16(s + off::kSectorsPerFat);
  if (volume.fatSectors == 0) volume.fatSectors = LoadLe32(s + kFat32SectorsPerFat);
  std::uint32_t total = LoadLe16(s + off::kTotalSectors16);
  if (total == 0) total = LoadLe32(s + off::kTotalSectors32);
  const bool sound = (s[off::kJump] == kJumpShort || s[off::kJump] == kJumpNear) &&
                     LoadLe16(s + off::kBytesPerSector) == kSectorSize && clusterSectors != 0 &&
                     (clusterSectors & (clusterSectors - 1)) == 0 && volume.reservedSectors != 0 &&
                     (volume.fatCount == 1 || volume.fatCount == 2) &&
                     s[off::kMediaDescriptor] >= kLowestMediaDescriptor && volume.fatSectors != 0 &&
                     LoadLe16(s + off::kSignature) == kSectorSignature;
  const std::uint64_t overhead =
      std::uint64_t{volume.reservedSectors} + std::uint64_t{volume.fatCount} * volume.fatSectors + volume.RootSectors();
  if (!sound || total <= overhead) return std::nullopt;
  volume.clusters = static_cast<std::uint32_t>((total - overhead) / clusterSectors);
  volume.fatBits = volume.clusters < kFat12Clusters ? 12 : volume.clusters < kFat16Clusters ? 16 : 32;
  return volume;
}

std::string VolumeSurvey::Describe() const {
  const std::string fat = volume ? "a FAT" + std::to_string(volume->fatBits) + " file system" : "";
  switch (sectorZero) {
    case SectorZero::Unreadable:
      return "nothing that can be told: its first sector cannot be read";
    case SectorZero::Blank:
      return "no partition table and no file system: the card is blank";
    case SectorZero::Other:
      return "no partition table and no file system that a host knows";
    case SectorZero::BootSector:
      return fat + " with no partition table (sector 0 is its boot sector)";
    case SectorZero::PartitionTable:
      return volume ? "a partition table and " + fat + " from sector " + std::to_string(partitionStart)
                    : "a partition table whose partition (from sector " + std::to_string(partitionStart) +
                          ") holds no FAT file system";
  }
  return "";
}

std::string VolumeSurvey::FilesText() const {
  if (!volume) return "none: no FAT file system";
  if (volume->fatBits == 32) return "not counted (a FAT32 file system)";
  if (!rootRead) return "unknown: the root directory cannot be read";
  if (!HoldsFiles()) return "none";
  std::string text =
      Plural(files, "file", "files") + " and " + Plural(folders, "folder", "folders") + " in the root directory";
  if (bytesInUse) text += ", " + ByteSizeText(*bytesInUse) + " in use";
  return text;
}

VolumeSurvey SurveyVolume(const LogicalSectorReader& read, std::uint64_t cardSectors) {
  VolumeSurvey survey;
  FatReader reader(read, cardSectors);
  const bool readable = reader.Open().empty();
  survey.sectorZero = reader.SectorZeroKind();
  survey.partitionStart = reader.PartitionStart();
  survey.volume = reader.Volume();
  if (!readable) return survey;
  const FatTree root = reader.ReadRoot();
  survey.rootRead = root.damage.empty();
  for (const FatItem& item : root.items) ++(item.folder ? survey.folders : survey.files);
  if (reader.FatWhole()) {
    survey.bytesInUse = std::uint64_t{reader.ClustersInUse()} * survey.volume->clusterSectors * kSectorSize;
  }
  return survey;
}

std::string ByteSizeText(std::uint64_t bytes) {
  constexpr std::uint64_t kKilo = 1024;
  constexpr std::uint64_t kMega = kKilo * kKilo;
  if (bytes < kKilo) return std::to_string(bytes) + " bytes";
  if (bytes < kMega) return std::to_string((bytes + kKilo / 2) / kKilo) + " KB";
  const std::uint64_t tenths = (bytes * 10 + kMega / 2) / kMega;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}
