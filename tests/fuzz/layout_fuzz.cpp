#include <algorithm>
#include <string>
#include <vector>

#include "engine/low_level_format.h"
#include "engine/reader_device.h"
#include "engine/verify.h"
#include "tests/fuzz/fuzz_targets.h"
#include "tests/support/memory_reader.h"
#include "tests/support/recording_host.h"

namespace fuzz {

namespace {

// What a sector the writers never wrote shows: the card's old data.
constexpr std::uint8_t kOldData = 0xE5;

std::uint16_t U16(const SectorBuffer& s, std::size_t at) { return static_cast<std::uint16_t>(s[at] | s[at + 1] << 8); }
std::uint32_t U32(const SectorBuffer& s, std::size_t at) {
  return static_cast<std::uint32_t>(U16(s, at) | static_cast<std::uint32_t>(U16(s, at + 2)) << 16);
}
bool AllZero(const SectorBuffer& s, std::size_t from = 0) {
  return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(), [](std::uint8_t b) { return b == 0; });
}
bool Signed(const SectorBuffer& s) { return s[510] == 0x55 && s[511] == 0xAA; }

// Reads the written card as a FAT driver would, from the partition table on,
// and says what is wrong with it; empty when nothing is. Independent of the
// engine's own tables and builders.
std::string CheckVolume(const MemoryReader& card, std::uint32_t cardSectors, LayoutRun& run) {
  const SectorBuffer mbr = card.Sector(0);
  if (!Signed(mbr)) return "MBR signature";
  for (std::size_t entry = 1; entry < 4; ++entry) {
    if (!std::all_of(mbr.begin() + 446 + 16 * entry, mbr.begin() + 462 + 16 * entry,
                     [](std::uint8_t b) { return b == 0; })) {
      return "a second partition";
    }
  }
  const std::uint8_t type = mbr[446 + 4];
  const std::uint32_t start = U32(mbr, 446 + 8);
  const std::uint32_t count = U32(mbr, 446 + 12);
  run.partitionStart = start;
  run.partitionSectors = count;
  if (start == 0 || count == 0 || std::uint64_t{start} + count > cardSectors) return "the partition lies off the card";
  for (std::uint32_t s = 1; s < start; ++s) {
    if (!AllZero(card.Sector(static_cast<std::uint16_t>(s)))) return "the gap before the partition is not zeroed";
  }
  const SectorBuffer boot = card.Sector(static_cast<std::uint16_t>(start));
  if (!Signed(boot) || (boot[0] != 0xEB && boot[0] != 0xE9)) return "boot sector signature or jump";
  const std::uint32_t perCluster = boot[13];
  const std::uint32_t reserved = U16(boot, 14);
  const std::uint32_t rootEntries = U16(boot, 17);
  const std::uint32_t total = U16(boot, 19) != 0 ? U16(boot, 19) : U32(boot, 32);
  const std::uint32_t fatSectors = U16(boot, 22);
  if (U16(boot, 11) != 512 || perCluster == 0 || (perCluster & (perCluster - 1)) != 0 || reserved == 0 ||
      boot[16] != 2 || rootEntries == 0 || rootEntries % 16 != 0 || fatSectors == 0) {
    return "boot sector parameters";
  }
  if (total != count || U32(boot, 28) != start) return "the volume does not fill its partition";
  if (boot[21] < 0xF0 || boot[38] != 0x29) return "media descriptor or extended signature";
  const std::uint32_t rootSectors = rootEntries / 16;
  const std::uint64_t dataStart = reserved + 2ull * fatSectors + rootSectors;
  if (dataStart >= total) return "no data area";
  const std::uint32_t clusters = static_cast<std::uint32_t>((total - dataStart) / perCluster);
  const bool fat16 = clusters >= 4085;
  if (clusters > 65524) return "too many clusters for FAT16";
  if (std::string(boot.begin() + 54, boot.begin() + 62) != (fat16 ? "FAT16   " : "FAT12   ")) {
    return "file-system type does not match the cluster count";
  }
  if (fat16 ? (type != 0x04 && type != 0x06) || (type == 0x04 && count >= 65536) : type != 0x01) {
    return "partition type does not match the FAT";
  }
  // Entries 0 and 1 are reserved; clusters are numbered from 2.
  const auto fatBytes = [fat16](std::uint64_t entries) { return fat16 ? entries * 2 : (entries * 3 + 1) / 2; };
  if (fatBytes(clusters + 2ull) > fatSectors * 512ull) return "the FAT is too small for its clusters";
  for (std::uint32_t s = 1; s < reserved; ++s) {
    if (!AllZero(card.Sector(static_cast<std::uint16_t>(start + s)))) return "reserved sectors not zeroed";
  }
  for (std::uint32_t fat = 0; fat < 2; ++fat) {
    const std::uint32_t first = start + reserved + fat * fatSectors;
    const SectorBuffer head = card.Sector(static_cast<std::uint16_t>(first));
    if (head[0] != boot[21] || head[1] != 0xFF || head[2] != 0xFF || (fat16 && head[3] != 0xFF) ||
        !AllZero(head, fat16 ? 4 : 3)) {
      return "first FAT sector";
    }
    for (std::uint32_t s = 1; s < fatSectors; ++s) {
      if (!AllZero(card.Sector(static_cast<std::uint16_t>(first + s)))) return "FAT not zeroed";
    }
  }
  const std::uint32_t root = start + reserved + 2 * fatSectors;
  for (std::uint32_t s = 0; s < rootSectors; ++s) {
    if (!AllZero(card.Sector(static_cast<std::uint16_t>(root + s)))) return "root directory not empty";
  }
  for (std::uint32_t s = start; s < root + rootSectors; ++s) {
    const SectorBuffer sector = card.Sector(static_cast<std::uint16_t>(s));
    run.partition.insert(run.partition.end(), sector.begin(), sector.end());
  }
  return "";
}

}  // namespace

LayoutRun Layout(const std::uint8_t* data, std::size_t size) {
  LayoutRun run;
  RecordingHost host;
  MemoryReader card(host);
  card.unwrittenFill = kOldData;
  // Units of 2^4 to 2^16 blocks of 2^0 to 2^7 pages, at most six; the last
  // byte may ask for a partition size of its own instead of key - 32.
  std::vector<MediaUnit> units;
  for (std::size_t i = 0; i + 1 < size && units.size() < 6; i += 2) {
    const std::uint32_t perBlock = 1u << (data[i + 1] % 8);
    units.push_back({static_cast<std::uint8_t>(units.size() + 1), (1u << (4 + data[i] % 13)) * perBlock,
                     static_cast<std::uint8_t>(perBlock)});
  }
  if (units.empty()) return run;
  card.SetUnits(units);
  if (!CardGeometryFault(card.geometry).empty()) return run;  // refused before anything is written
  std::uint32_t key = 0;
  card.GetCapacity(&key, nullptr);
  run.cardSectors = key;
  const bool ownPartition = size % 2 == 1 && data[size - 1] >= 0xF0;
  card.SetPartitionSectors(ownPartition ? key - 32 - (data[size - 1] & 0x0F) * 7u : key - 32);

  const int written = card.WriteMbr() && card.WriteBootSector();
  if (!written) {
    const auto& messages = host.Messages();
    Require(!messages.empty(), "a layout that is refused says so");
    return run;
  }
  run.written = true;
  const std::string fault = CheckVolume(card, key, run);
  Require(fault.empty(), "written layout of key " + std::to_string(key) + ": " + fault);
  Require(VerifyFileSystem(card, host) == 1, "the written layout reads back");
  return run;
}

void LayoutTarget(const std::uint8_t* data, std::size_t size) { Layout(data, size); }

}  // namespace fuzz
