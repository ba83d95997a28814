#include "engine/fat_volume.h"

#include <algorithm>
#include <vector>

#include "engine/byte_order.h"
#include "engine/fat_layout.h"

namespace {

constexpr std::uint16_t kSectorSignature = 0xAA55;  // 55 AA at byte 510 of an MBR and a boot sector
constexpr std::uint8_t kJumpShort = 0xEB;
constexpr std::uint8_t kJumpNear = 0xE9;
constexpr std::uint8_t kLowestMediaDescriptor = 0xF0;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kDeletedEntry = 0xE5;
constexpr std::uint8_t kAttrVolumeLabel = 0x08;
constexpr std::uint8_t kAttrFolder = 0x10;
constexpr std::uint8_t kAttrLongName = 0x0F;  // read-only, hidden, system and label: a piece of a long name
constexpr std::size_t kFat32SectorsPerFat = 36;
constexpr std::uint32_t kFat12Clusters = 4085;  // fewer clusters: FAT12
constexpr std::uint32_t kFat16Clusters = 65525;
constexpr std::uint32_t kFirstCluster = 2;
constexpr std::uint32_t kFat12Bad = 0xFF7;
constexpr std::uint32_t kFat16Bad = 0xFFF7;
// The most this reads of a volume: a root directory of 2048 entries, a FAT of
// 65536 FAT16 entries (more than any SmartMedia card needs).
constexpr std::uint32_t kMostRootSectors = 128;
constexpr std::uint32_t kMostFatSectors = 256;

bool Filled(const SectorBuffer& sector, std::uint8_t value) {
  return std::all_of(sector.begin(), sector.end(), [value](std::uint8_t b) { return b == value; });
}

// Entry `cluster` of a FAT12 or FAT16 table.
std::uint32_t FatEntry(const std::vector<std::uint8_t>& fat, unsigned bits, std::uint32_t cluster) {
  if (bits == 16) return LoadLe16(&fat[2 * std::size_t{cluster}]);
  const std::uint16_t pair = LoadLe16(&fat[cluster + cluster / 2]);
  return (cluster & 1) != 0 ? pair >> 4 : pair & 0xFFFu;
}

class Surveyor {
 public:
  Surveyor(const LogicalSectorReader& read, std::uint64_t cardSectors) : read(read), cardSectors(cardSectors) {}

  VolumeSurvey Run();

 private:
  bool Read(std::uint64_t sector, SectorBuffer& data) const {
    return sector < cardSectors && read(static_cast<std::uint32_t>(sector), data);
  }
  void ReadSectorZero(const SectorBuffer& zero);
  void ListRoot(const FatVolume& volume);
  void CountClusters(const FatVolume& volume);

  const LogicalSectorReader& read;
  std::uint64_t cardSectors;
  VolumeSurvey survey;
};

void Surveyor::ReadSectorZero(const SectorBuffer& zero) {
  if ((survey.volume = ReadBootSector(zero, 0))) {
    survey.sectorZero = SectorZero::BootSector;
    return;
  }
  const std::uint8_t* entry = zero.data() + MbrOffset::kPartitionEntry;
  const std::uint32_t start = LoadLe32(entry + PartitionEntryOffset::kFirstSector);
  if (LoadLe16(zero.data() + MbrOffset::kSignature) == kSectorSignature && entry[PartitionEntryOffset::kType] != 0 &&
      start != 0) {
    survey.sectorZero = SectorZero::PartitionTable;
    survey.partitionStart = start;
    SectorBuffer boot{};
    if (Read(start, boot)) survey.volume = ReadBootSector(boot, start);
    return;
  }
  survey.sectorZero = Filled(zero, 0xFF) || Filled(zero, 0x00) ? SectorZero::Blank : SectorZero::Other;
}

void Surveyor::ListRoot(const FatVolume& volume) {
  if (volume.fatBits == 32 || volume.RootSectors() > kMostRootSectors) return;
  SectorBuffer sector{};
  for (std::uint32_t s = 0; s < volume.RootSectors(); ++s) {
    if (!Read(std::uint64_t{volume.RootStart()} + s, sector)) return;
    for (std::size_t at = 0; at < kSectorSize; at += DirEntryOffset::kSize) {
      const std::uint8_t first = sector[at + DirEntryOffset::kName];
      const std::uint8_t attributes = sector[at + DirEntryOffset::kAttributes];
      if (first == kEndOfDirectory) {
        survey.rootRead = true;
        return;
      }
      if (first == kDeletedEntry || (attributes & kAttrLongName) == kAttrLongName ||
          (attributes & kAttrVolumeLabel) != 0) {
        continue;
      }
      ++((attributes & kAttrFolder) != 0 ? survey.folders : survey.files);
    }
  }
  survey.rootRead = true;
}

void Surveyor::CountClusters(const FatVolume& volume) {
  if (volume.fatBits == 32 || volume.fatSectors > kMostFatSectors) return;
  std::vector<std::uint8_t> fat(std::size_t{volume.fatSectors} * kSectorSize);
  SectorBuffer sector{};
  for (std::uint32_t s = 0; s < volume.fatSectors; ++s) {
    if (!Read(std::uint64_t{volume.firstSector} + volume.reservedSectors + s, sector)) return;
    std::copy(sector.begin(), sector.end(), fat.begin() + std::size_t{s} * kSectorSize);
  }
  // Entries beyond what the FAT holds are not counted.
  const auto entries = static_cast<std::uint32_t>(fat.size() * 8 / volume.fatBits);
  const std::uint32_t last = std::min(volume.clusters + kFirstCluster, entries);
  const std::uint32_t bad = volume.fatBits == 12 ? kFat12Bad : kFat16Bad;
  std::uint64_t used = 0;
  for (std::uint32_t cluster = kFirstCluster; cluster < last; ++cluster) {
    const std::uint32_t value = FatEntry(fat, volume.fatBits, cluster);
    if (value != 0 && value != bad) ++used;
  }
  survey.bytesInUse = used * volume.clusterSectors * kSectorSize;
}

VolumeSurvey Surveyor::Run() {
  SectorBuffer zero{};
  if (!Read(0, zero)) return survey;
  ReadSectorZero(zero);
  if (survey.volume) {
    ListRoot(*survey.volume);
    CountClusters(*survey.volume);
  }
  return survey;
}

std::string Plural(std::uint32_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::uint32_t FatVolume::RootSectors() const {
  return static_cast<std::uint32_t>((std::uint64_t{rootEntries} * DirEntryOffset::kSize + kSectorSize - 1) /
                                    kSectorSize);
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
  return Surveyor(read, cardSectors).Run();
}

std::string ByteSizeText(std::uint64_t bytes) {
  constexpr std::uint64_t kKilo = 1024;
  constexpr std::uint64_t kMega = kKilo * kKilo;
  if (bytes < kKilo) return std::to_string(bytes) + " bytes";
  if (bytes < kMega) return std::to_string((bytes + kKilo / 2) / kKilo) + " KB";
  const std::uint64_t tenths = (bytes * 10 + kMega / 2) / kMega;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}
