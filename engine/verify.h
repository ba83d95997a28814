// What the FAT layout writer puts on a card, sector by sector, and the check
// that the card holds it: every sector from the MBR to the end of the root
// directory, the zeroed ones included, read back through the reader and
// compared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/format_host.h"
#include "engine/media_geometry.h"

class CReaderDevice;

// The sectors 0 to SectorCount() - 1 that WriteMbr and WriteBootSector write
// or zero on a card of one capacity: the table layout of a standard capacity,
// the computed layout of any other.
class FileSystemLayout {
 public:
  // The layout of capacity key `key`; `partitionSectors` is read by the
  // computed layout only. None when the computed layout refuses the card.
  static std::optional<FileSystemLayout> For(std::uint32_t key, std::uint32_t partitionSectors);

  std::uint32_t SectorCount() const { return rootEnd + 1; }
  std::uint32_t PartitionStart() const { return partitionStart; }
  // The first sector of each FAT: the media descriptor and the two reserved entries.
  bool IsFatStart(std::uint32_t sector) const {
    return sector == partitionStart + 1 || sector == partitionStart + 1 + fatSectors;
  }
  // What sector `sector` (below SectorCount()) must hold.
  const SectorBuffer& Expected(std::uint32_t sector) const;
  // The structure the sector belongs to, for messages: "MBR", "boot sector", ...
  const char* Region(std::uint32_t sector) const;

 private:
  FileSystemLayout() = default;

  std::uint32_t partitionStart = 0;  // sector of the boot sector
  std::uint32_t fatSectors = 0;
  std::uint32_t rootEnd = 0;  // last sector of the root directory
  SectorBuffer mbr{};
  SectorBuffer bootSector{};
  SectorBuffer firstFatSector{};
  SectorBuffer zero{};
};

// Whether the file system the reader's card was just given is there: not
// when a write of WriteMbr or WriteBootSector failed (the zero fills whose
// results they ignore included), or when a sector of the layout cannot be
// read back or reads back different. Reads one sector at a time and stops at
// the first problem.
struct FileSystemCheck {
  bool passed = false;
  std::string problem;                  // for the operator, when it did not pass
  std::optional<std::uint32_t> sector;  // the first sector that failed, when one did
};
FileSystemCheck CheckFileSystem(CReaderDevice& reader);

// CheckFileSystem, with its problem reported in a message box owned by the
// dialog (caption "Error"). Returns 1 when the card holds the layout, else 0.
int VerifyFileSystem(CReaderDevice& reader, FormatHost& host);
