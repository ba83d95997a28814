#include "engine/verify.h"

#include "engine/fat_layout.h"
#include "engine/reader_device.h"

std::optional<FileSystemLayout> FileSystemLayout::For(std::uint32_t key, std::uint32_t partitionSectors) {
  FileSystemLayout layout;
  std::uint32_t rootDirSectors = 0;
  if (const CapacityRow* row = FindCapacityRow(key)) {
    layout.partitionStart = row->partitionStart;
    layout.fatSectors = row->fatSectors;
    rootDirSectors = row->rootDirSectors;
    layout.mbr = BuildTableMbr(*row);
    layout.bootSector = BuildTableBootSector(*row, key);
    layout.firstFatSector = BuildFirstFatSector(RowIsFat16(*row));
  } else {
    if (ComputedLayoutFault(key, partitionSectors) != LayoutFault::None) return std::nullopt;
    const std::uint8_t sectorsPerCluster = ComputedSectorsPerCluster(partitionSectors);
    layout.partitionStart = kComputedPartitionStart;
    layout.fatSectors = ComputedFatSectors(partitionSectors, sectorsPerCluster);
    rootDirSectors = kComputedRootDirSectors;
    layout.mbr = BuildComputedMbr(partitionSectors);
    layout.bootSector = BuildComputedBootSector(sectorsPerCluster, layout.fatSectors, partitionSectors);
    layout.firstFatSector = BuildFirstFatSector(true);
  }
  layout.rootEnd = layout.partitionStart + 2 * layout.fatSectors + rootDirSectors;
  return layout;
}

const SectorBuffer& FileSystemLayout::Expected(std::uint32_t sector) const {
  const std::uint32_t fat1 = partitionStart + 1;
  if (sector == 0) return mbr;
  if (sector == partitionStart) return bootSector;
  if (sector == fat1 || sector == fat1 + fatSectors) return firstFatSector;
  return zero;
}

const char* FileSystemLayout::Region(std::uint32_t sector) const {
  const std::uint32_t fat1 = partitionStart + 1;
  if (sector == 0) return "MBR";
  if (sector < partitionStart) return "sectors before the boot sector";
  if (sector == partitionStart) return "boot sector";
  if (sector < fat1 + fatSectors) return "FAT1";
  if (sector < fat1 + 2 * fatSectors) return "FAT2";
  return "root directory";
}

namespace {

std::string SectorName(const FileSystemLayout& layout, std::uint32_t sector) {
  return "sector " + std::to_string(sector) + " (" + layout.Region(sector) + ")";
}

}  // namespace

FileSystemCheck CheckFileSystem(CReaderDevice& reader) {
  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  const bool computed = FindCapacityRow(key) == nullptr;
  const std::optional<FileSystemLayout> layout = computed && !reader.PartitionSectorsSet()
                                                     ? std::nullopt
                                                     : FileSystemLayout::For(key, reader.geometry.partitionSectors);
  if (!layout) {
    return {false, "Verify file system error: the card's size gives no file system layout to compare with.", {}};
  }
  if (const std::uint32_t failed = reader.LayoutWriteFailures()) {
    return {false,
            "Write file system error: " + std::to_string(failed) + (failed == 1 ? " sector" : " sectors") +
                " could not be written.",
            reader.FirstLayoutFault()};
  }
  SectorBuffer read{};
  for (std::uint32_t sector = 0; sector < layout->SectorCount(); ++sector) {
    if (!reader.ReadLBA(static_cast<std::uint16_t>(sector), 1, read.data())) {
      return {false,
              reader.CardGone() ? CardGoneText(reader.LastCommandFault())
                                : "Verify file system error: " + SectorName(*layout, sector) + " cannot be read back.",
              sector};
    }
    if (read != layout->Expected(sector)) {
      return {
          false,
          "Verify file system error: " + SectorName(*layout, sector) + " reads back different from what was written.",
          sector};
    }
  }
  return {true, {}, {}};
}

int VerifyFileSystem(CReaderDevice& reader, FormatHost& host) {
  const FileSystemCheck check = CheckFileSystem(reader);
  if (check.passed) return 1;
  host.ShowMessage(check.problem, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::Dialog);
  return 0;
}
