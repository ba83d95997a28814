#include "engine/fat_layout.h"

#include <algorithm>
#include <cstring>

#include "engine/boot_code.h"
#include "engine/byte_order.h"
#include "engine/reader_device.h"

namespace {

constexpr std::uint8_t kActivePartition = 0x80;
constexpr std::uint8_t kPartitionTypeFat12 = 0x01;
constexpr std::uint8_t kPartitionTypeFat16Small = 0x04;  // FAT16 below 65536 sectors
constexpr std::uint8_t kPartitionTypeFat16 = 0x06;
constexpr std::uint32_t kMaxSmallPartition = 65535;  // fits the 16-bit total-sectors field

// The computed MBR's C/H/S: start 0/1/1, end head 31 and sector 32, and an end
// cylinder of L / 992 rounded down to a multiple of ten.
constexpr std::uint8_t kComputedStartHead = 1;
constexpr std::uint8_t kComputedStartSector = 1;
constexpr std::uint8_t kComputedEndHead = 31;
constexpr std::uint8_t kComputedEndSector = 32;
constexpr std::uint32_t kComputedCylinderDivisor = 9920;  // 992 sectors a cylinder, then rounded to tens

constexpr std::uint8_t kSignature[] = {0x55, 0xAA};
constexpr std::uint8_t kJump[] = {0xEB, 0x3E, 0x90};
constexpr char kOemName[] = "MSWIN4.1";
constexpr char kFat12Name[] = "FAT12   ";
constexpr char kFat16Name[] = "FAT16   ";
constexpr std::size_t kNameSize = 8;
constexpr std::uint16_t kBytesPerSector = 512;
constexpr std::uint8_t kReservedSectors = 1;
constexpr std::uint8_t kFatCount = 2;
constexpr std::uint16_t kEntriesPerDirSector = 16;
constexpr std::uint8_t kMediaDescriptor = 0xF8;
constexpr std::uint8_t kDriveNumber = 0x80;
constexpr std::uint8_t kExtendedBootSignature = 0x29;
constexpr std::uint32_t kFat16EntriesPerSector = 256;
constexpr std::uint32_t kReservedFatEntries = 2;  // entries 0 and 1 hold the media byte and flags, no cluster
constexpr std::uint16_t kMinCapacityKey = 1000;

// First FAT sector: the media descriptor entry and the end-of-chain entry.
constexpr std::uint8_t kFatHead[] = {kMediaDescriptor, 0xFF, 0xFF};
constexpr std::size_t kFat16HeadEnd = 3;  // FAT16 sets this byte too

// Messages of the computed layout's read-back checks.
struct ReadBackMessages {
  const char* differs;
  const char* failed;
};
constexpr ReadBackMessages kMbrCheck{"Mbr is different between write and read!", "Read Mbr fail after write Mbr"};
constexpr ReadBackMessages kBootCheck{"Boot sector is different between write and read",
                                      "Read boot sector fail after write"};
constexpr ReadBackMessages kFat1Check{"FAT1 is different between write and read", "Read FAT1 fail after write"};
constexpr ReadBackMessages kFat2Check{"FAT2 is different between write and read", "Read FAT2 fail after write"};

void PutBytes(SectorBuffer& sector, std::size_t offset, const std::uint8_t* bytes, std::size_t count) {
  std::copy(bytes, bytes + count, sector.begin() + static_cast<std::ptrdiff_t>(offset));
}

void PutText(SectorBuffer& sector, std::size_t offset, const char* text, std::size_t count) {
  PutBytes(sector, offset, reinterpret_cast<const std::uint8_t*>(text), count);
}

void PutSignature(SectorBuffer& sector, std::size_t offset) { PutBytes(sector, offset, kSignature, 2); }

// The fields the table and the computed boot sector share, and those they
// fill from their own values.
struct BootSectorFields {
  std::uint8_t sectorsPerCluster;
  std::uint16_t rootEntries;
  std::uint32_t totalSectors;
  std::uint16_t fatSectors;
  std::uint16_t sectorsPerTrack;
  std::uint16_t heads;
  std::uint32_t hiddenSectors;
  bool fat16;
};

SectorBuffer BuildBootSector(const BootSectorFields& f) {
  namespace off = BootSectorOffset;
  SectorBuffer s{};
  PutBytes(s, off::kJump, kJump, sizeof kJump);
  PutText(s, off::kOemName, kOemName, kNameSize);
  StoreLe16(&s[off::kBytesPerSector], kBytesPerSector);
  s[off::kSectorsPerCluster] = f.sectorsPerCluster;
  StoreLe16(&s[off::kReservedSectors], kReservedSectors);
  s[off::kFatCount] = kFatCount;
  StoreLe16(&s[off::kRootEntries], f.rootEntries);
  // A volume of more than 65535 sectors gives its size in the 32-bit field.
  const bool small = f.totalSectors <= kMaxSmallPartition;
  StoreLe16(&s[off::kTotalSectors16], small ? static_cast<std::uint16_t>(f.totalSectors) : 0);
  StoreLe32(&s[off::kTotalSectors32], small ? 0 : f.totalSectors);
  s[off::kMediaDescriptor] = kMediaDescriptor;
  StoreLe16(&s[off::kSectorsPerFat], f.fatSectors);
  StoreLe16(&s[off::kSectorsPerTrack], f.sectorsPerTrack);
  StoreLe16(&s[off::kHeads], f.heads);
  StoreLe32(&s[off::kHiddenSectors], f.hiddenSectors);
  s[off::kDriveNumber] = kDriveNumber;
  s[off::kBootSignature] = kExtendedBootSignature;
  // Serial number and volume label stay zero.
  PutText(s, off::kFileSystemType, f.fat16 ? kFat16Name : kFat12Name, kNameSize);
  PutSignature(s, off::kSignature);
  return s;
}

int WriteSector(CReaderDevice& reader, std::uint32_t sector, const SectorBuffer& data) {
  return reader.WriteLayoutSector(sector, data);
}

// Clears sectors first..last one at a time; a failed write does not stop the fill.
void WriteZeroSectors(CReaderDevice& reader, std::uint32_t first, std::uint32_t last) {
  const SectorBuffer zero{};
  for (std::uint32_t sector = first; sector <= last; ++sector) WriteSector(reader, sector, zero);
}

// Reads `sector` back and compares it with what was written. Returns the
// message for the operator, or nullptr when the sector reads back unchanged.
// However many bytes differ, one message covers the sector.
const char* ReadBackProblem(CReaderDevice& reader, std::uint32_t sector, const SectorBuffer& written,
                            const ReadBackMessages& messages) {
  SectorBuffer read{};
  if (reader.CardGone() || !reader.ReadLBA(static_cast<std::uint16_t>(sector), 1, read.data())) {
    reader.NoteLayoutFault(sector);
    return messages.failed;
  }
  return read == written ? nullptr : messages.differs;
}

void ShowRefusal(CReaderDevice& reader, LayoutFault fault) {
  reader.Host().ShowMessage(LayoutFaultMessage(fault), "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                            MessageOwner::None);
}

std::uint32_t CapacityKey(const CReaderDevice& reader) {
  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  return key;
}

// The computed layout's fault for this card, PartitionSizeUnset first.
LayoutFault CardLayoutFault(const CReaderDevice& reader) {
  if (!reader.PartitionSectorsSet()) return LayoutFault::PartitionSizeUnset;
  return ComputedLayoutFault(CapacityKey(reader), reader.geometry.partitionSectors);
}

}  // namespace

// --- Tables and layout arithmetic -------------------------------------------

const CapacityRow* FindCapacityRow(std::uint32_t key) {
  for (const CapacityRow& row : CapacityTable) {
    if (row.key == kEndOfTable) return nullptr;
    if (row.key == key) return &row;
  }
  return nullptr;
}

bool RowIsFat16(const CapacityRow& row) {
  return row.partitionEntry[PartitionEntryOffset::kType] != kPartitionTypeFat12;
}

std::uint8_t ComputedSectorsPerCluster(std::uint32_t partitionSectors) {
  for (const ClusterSizeRow& row : ClusterSizeTable) {
    if (row.threshold > partitionSectors) return row.sectorsPerCluster;
  }
  return 0;
}

std::uint32_t ComputedFatSectors(std::uint32_t partitionSectors, std::uint8_t sectorsPerCluster) {
  const std::uint32_t perFatSector = kFat16EntriesPerSector * sectorsPerCluster + kFatCount;
  const std::uint32_t fixedSectors = kReservedSectors + kComputedRootDirSectors;  // 33
  std::uint32_t fat = (partitionSectors + perFatSector - 1 - fixedSectors) / perFatSector;
  // That rule counts no FAT entry for entries 0 and 1; when the clusters and
  // those two do not fit, one more sector holds them.
  const std::uint32_t clusters = (partitionSectors - fixedSectors - kFatCount * fat) / sectorsPerCluster;
  if (clusters + kReservedFatEntries > kFat16EntriesPerSector * fat) ++fat;
  return fat;
}

std::uint32_t ComputedClusterCount(std::uint32_t partitionSectors) {
  const std::uint8_t s = ComputedSectorsPerCluster(partitionSectors);
  if (s == 0) return 0;
  const std::uint64_t metadata =
      kReservedSectors + std::uint64_t{kFatCount} * ComputedFatSectors(partitionSectors, s) + kComputedRootDirSectors;
  if (partitionSectors <= metadata) return 0;
  return static_cast<std::uint32_t>((partitionSectors - metadata) / s);
}

LayoutFault ComputedLayoutFault(std::uint32_t key, std::uint32_t partitionSectors) {
  if (key < kMinCapacityKey) return LayoutFault::CapacityTooSmall;
  if (partitionSectors > key - kComputedPartitionStart) return LayoutFault::PartitionBeyondCard;
  if (ComputedSectorsPerCluster(partitionSectors) == 0) return LayoutFault::PartitionTooLarge;
  const std::uint32_t clusters = ComputedClusterCount(partitionSectors);
  if (clusters < kMinFat16Clusters || clusters > kMaxFat16Clusters) return LayoutFault::ClusterCountOutOfRange;
  return LayoutFault::None;
}

const char* LayoutFaultMessage(LayoutFault fault) {
  switch (fault) {
    case LayoutFault::None:
      return "";
    case LayoutFault::PartitionSizeUnset:
      return "The partition size of the card has not been set. The file system was not written.";
    case LayoutFault::CapacityTooSmall:
      return "The card is too small to hold a file system. The file system was not written.";
    case LayoutFault::PartitionBeyondCard:
      return "The partition would end beyond the last sector of the card. The file system was not written.";
    case LayoutFault::PartitionTooLarge:
      return "The card is too large for a FAT16 file system. The file system was not written.";
    case LayoutFault::ClusterCountOutOfRange:
      return "The card's size gives a FAT16 volume outside 4085 to 65524 clusters, which FAT drivers would read "
             "as another FAT type. The file system was not written.";
  }
  return "";
}

// --- Sector builders ----------------------------------------------------------

SectorBuffer BuildTableMbr(const CapacityRow& row) {
  SectorBuffer s{};
  PutBytes(s, MbrOffset::kPartitionEntry, row.partitionEntry.data(), row.partitionEntry.size());
  PutSignature(s, MbrOffset::kSignature);
  return s;
}

SectorBuffer BuildComputedMbr(std::uint32_t partitionSectors) {
  namespace pe = PartitionEntryOffset;
  SectorBuffer s{};
  PutBytes(s, MbrOffset::kCode, MbrCodeTemplate.data(), MbrCodeTemplate.size());
  std::uint8_t* entry = &s[MbrOffset::kPartitionEntry];
  // The end cylinder keeps its bits 8-9 in the top of the sector byte; higher
  // bits are dropped.
  const std::uint32_t endCylinder = partitionSectors / kComputedCylinderDivisor * 10;
  entry[pe::kBootIndicator] = kActivePartition;
  entry[pe::kStartHead] = kComputedStartHead;
  entry[pe::kStartSectorCylinder] = kComputedStartSector;
  entry[pe::kStartCylinder] = 0;
  entry[pe::kType] = partitionSectors <= kMaxSmallPartition ? kPartitionTypeFat16Small : kPartitionTypeFat16;
  entry[pe::kEndHead] = kComputedEndHead;
  entry[pe::kEndSectorCylinder] = static_cast<std::uint8_t>(kComputedEndSector | (((endCylinder >> 8) & 0x3) << 6));
  entry[pe::kEndCylinder] = static_cast<std::uint8_t>(endCylinder & 0xFF);
  StoreLe32(entry + pe::kFirstSector, kComputedPartitionStart);
  StoreLe32(entry + pe::kSectorCount, partitionSectors);
  PutSignature(s, MbrOffset::kSignature);
  return s;
}

SectorBuffer BuildTableBootSector(const CapacityRow& row, std::uint32_t key) {
  BootSectorFields f{};
  f.sectorsPerCluster = row.sectorsPerCluster;
  f.rootEntries = static_cast<std::uint16_t>(row.rootDirSectors * kEntriesPerDirSector);
  f.totalSectors = key - row.partitionStart;
  f.fatSectors = row.fatSectors;
  f.sectorsPerTrack = row.sectorsPerTrack;
  f.heads = row.heads;
  f.hiddenSectors = row.partitionStart;
  f.fat16 = RowIsFat16(row);
  return BuildBootSector(f);
}

SectorBuffer BuildComputedBootSector(std::uint8_t sectorsPerCluster, std::uint32_t fatSectors,
                                     std::uint32_t partitionSectors) {
  BootSectorFields f{};
  f.sectorsPerCluster = sectorsPerCluster;
  f.rootEntries = static_cast<std::uint16_t>(kComputedRootDirSectors * kEntriesPerDirSector);
  f.totalSectors = partitionSectors;
  f.fatSectors = static_cast<std::uint16_t>(fatSectors);
  f.sectorsPerTrack = kComputedSectorsPerTrack;
  f.heads = kComputedHeads;
  f.hiddenSectors = kComputedPartitionStart;
  f.fat16 = true;
  SectorBuffer s = BuildBootSector(f);
  PutBytes(s, BootSectorOffset::kBootCode, BootCodeTemplate.data(), BootCodeTemplate.size());
  return s;
}

SectorBuffer BuildFirstFatSector(bool fat16) {
  SectorBuffer s{};
  PutBytes(s, 0, kFatHead, sizeof kFatHead);
  if (fat16) s[kFat16HeadEnd] = 0xFF;
  return s;
}

// --- Writers on the reader ------------------------------------------------------

int CReaderDevice::WriteLayoutSector(std::uint32_t sector, const SectorBuffer& data) {
  const bool send = !CardGone() && !layoutFailureRun.CardGone();
  const int written = send ? layoutFailureRun.Note(WriteLBA(static_cast<std::uint16_t>(sector), 1, data.data())) : 0;
  if (!written) {
    ++layoutWriteFailures;
    NoteLayoutFault(sector);
  }
  return written;
}

int CReaderDevice::WriteMbr() {
  layoutWriteFailures = 0;
  firstLayoutFault.reset();
  layoutFailureRun = FailureRun{};
  const CapacityRow* row = FindCapacityRow(CapacityKey(*this));
  return row ? WriteTableMbr(*row) : WriteComputedMbr();
}

int CReaderDevice::WriteBootSector() {
  const CapacityRow* row = FindCapacityRow(CapacityKey(*this));
  return row ? WriteTableBootSector(*row) : WriteComputedBootSector();
}

int CReaderDevice::WriteTableMbr(const CapacityRow& row) {
  const int written = WriteSector(*this, 0, BuildTableMbr(row));
  if (!written) return 0;
  WriteZeroSectors(*this, 1, row.partitionStart - 1u);
  return written;
}

int CReaderDevice::WriteComputedMbr() {
  // A partition too large for FAT16 still gets its MBR; the boot sector is
  // refused later.
  const LayoutFault fault = CardLayoutFault(*this);
  if (fault != LayoutFault::None && fault != LayoutFault::PartitionTooLarge) {
    ShowRefusal(*this, fault);
    return 0;
  }
  const SectorBuffer mbr = BuildComputedMbr(geometry.partitionSectors);
  if (!WriteSector(*this, 0, mbr)) return 0;
  const char* problem = ReadBackProblem(*this, 0, mbr, kMbrCheck);
  if (problem && !CardGone()) ShowPlainError(problem);
  WriteZeroSectors(*this, 1, kComputedPartitionStart - 1);
  return problem ? 0 : 1;
}

int CReaderDevice::WriteTableBootSector(const CapacityRow& row) {
  const std::uint32_t bootSector = row.partitionStart;
  const std::uint32_t fat1 = bootSector + 1;
  const std::uint32_t fat2 = fat1 + row.fatSectors;
  const std::uint32_t rootEnd = bootSector + 2u * row.fatSectors + row.rootDirSectors;
  if (!WriteSector(*this, bootSector, BuildTableBootSector(row, CapacityKey(*this)))) return 0;
  WriteZeroSectors(*this, fat1, rootEnd);
  const SectorBuffer fat = BuildFirstFatSector(RowIsFat16(row));
  if (!WriteSector(*this, fat1, fat)) return 0;
  return WriteSector(*this, fat2, fat);
}

int CReaderDevice::WriteComputedBootSector() {
  const LayoutFault fault = CardLayoutFault(*this);
  if (fault == LayoutFault::PartitionTooLarge) return 0;
  if (fault != LayoutFault::None) {
    ShowRefusal(*this, fault);
    return 0;
  }
  const std::uint32_t l = geometry.partitionSectors;
  const std::uint8_t s = ComputedSectorsPerCluster(l);
  const std::uint32_t f = ComputedFatSectors(l, s);
  const std::uint32_t bootSector = kComputedPartitionStart;
  const std::uint32_t fat1 = bootSector + 1;
  const std::uint32_t fat2 = fat1 + f;
  const std::uint32_t rootEnd = bootSector + 2 * f + kComputedRootDirSectors;

  // A structure that reads back wrong or not at all is reported at once, but
  // the layout is finished before the operation fails.
  bool verified = true;
  auto check = [&](std::uint32_t sector, const SectorBuffer& written, const ReadBackMessages& messages) {
    const char* problem = ReadBackProblem(*this, sector, written, messages);
    if (problem) {
      if (!CardGone()) ShowPlainError(problem);
      verified = false;
    }
  };

  const SectorBuffer boot = BuildComputedBootSector(s, f, l);
  if (!WriteSector(*this, bootSector, boot)) return 0;
  check(bootSector, boot, kBootCheck);
  WriteZeroSectors(*this, fat1, rootEnd);
  const SectorBuffer fat = BuildFirstFatSector(true);
  if (!WriteSector(*this, fat1, fat)) return 0;
  check(fat1, fat, kFat1Check);
  if (!WriteSector(*this, fat2, fat)) return 0;
  check(fat2, fat, kFat2Check);
  return verified ? 1 : 0;
}
