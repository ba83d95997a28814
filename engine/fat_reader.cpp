#include "engine/fat_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "engine/byte_order.h"
#include "engine/fat_layout.h"

namespace {

// Byte offsets of a 32-byte directory entry.
namespace EntryOffset {
constexpr std::size_t kName = 0;  // 8 + 3 characters
constexpr std::size_t kExtension = 8;
constexpr std::size_t kAttributes = 11;
constexpr std::size_t kCase = 12;  // bit 3: the name is lower case, bit 4: the extension
constexpr std::size_t kTime = 22;
constexpr std::size_t kDate = 24;
constexpr std::size_t kFirstCluster = 26;
constexpr std::size_t kFileSize = 28;
constexpr std::size_t kSize = kDirEntryBytes;
}  // namespace EntryOffset

// Byte offsets of a piece of a long name, which takes a directory entry's place.
namespace LongNameOffset {
constexpr std::size_t kOrder = 0;  // its place in the name, from 1; 40h marks the last piece
constexpr std::size_t kChecksum = 13;
// Where its 13 UTF-16 characters lie: 5, 6 and 2 of them.
constexpr std::array<std::size_t, 13> kCharacters = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
}  // namespace LongNameOffset

constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kDeletedEntry = 0xE5;
constexpr std::uint8_t kStoredE5 = 0x05;  // a name's first byte E5 is stored as 05
constexpr std::uint8_t kAttrVolumeLabel = 0x08;
constexpr std::uint8_t kAttrFolder = 0x10;
constexpr std::uint8_t kAttrLongName = 0x0F;  // read-only, hidden, system and label
constexpr std::uint8_t kAttrLongNameMask = 0x3F;
constexpr std::uint8_t kLastPiece = 0x40;
constexpr std::uint8_t kPieceNumber = 0x1F;
constexpr int kMostPieces = 20;  // 255 characters
constexpr std::size_t kPieceCharacters = 13;
constexpr std::uint8_t kLowerCaseName = 0x08;
constexpr std::uint8_t kLowerCaseExtension = 0x10;
constexpr std::uint32_t kFirstCluster = 2;
// A folder holds at most 65536 entries.
constexpr std::uint64_t kMostFolderBytes = 65536 * EntryOffset::kSize;
// The most this reads of a volume: a root directory of 2048 entries, a FAT of
// 65536 FAT16 entries (more than any SmartMedia card needs).
constexpr std::uint32_t kMostRootSectors = 128;
constexpr std::uint32_t kMostFatSectors = 256;

bool Filled(const SectorBuffer& sector, std::uint8_t value) {
  return std::all_of(sector.begin(), sector.end(), [value](std::uint8_t b) { return b == value; });
}

std::string Number(std::uint64_t n) { return std::to_string(n); }

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The UTF-8 of UTF-16 text; a lone surrogate becomes U+FFFD.
std::string Utf8(const std::vector<std::uint16_t>& text) {
  constexpr std::uint32_t kReplacement = 0xFFFD;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t unit = text[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00));
    } else {
      AppendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? kReplacement : unit);
    }
  }
  return out;
}

// The checksum of an 8.3 name that each piece of its long name carries.
std::uint8_t ShortNameChecksum(const std::uint8_t* name) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
  return sum;
}

// The pieces of a long name met so far, in the order they are stored: the
// last piece first, down to piece 1, right before the 8.3 entry they name.
// A piece out of turn, or with another checksum, is no part of the name.
class LongName {
 public:
  void Take(const std::uint8_t* entry) {
    const std::uint8_t order = entry[LongNameOffset::kOrder];
    const int number = order & kPieceNumber;
    if ((order & kLastPiece) != 0 && number >= 1 && number <= kMostPieces) {
      checksum = entry[LongNameOffset::kChecksum];
      text.resize(std::size_t(number) * kPieceCharacters);
      next = number;
    }
    if (next < 1 || number != next || entry[LongNameOffset::kChecksum] != checksum) return;
    for (std::size_t i = 0; i < kPieceCharacters; ++i) {
      text[std::size_t(number - 1) * kPieceCharacters + i] = LoadLe16(entry + LongNameOffset::kCharacters[i]);
    }
    --next;
  }
  // The name, when the pieces met are the whole of one that belongs to
  // `entry`; else empty. Either way the next entry starts afresh.
  std::string For(const std::uint8_t* entry) {
    const bool whole = next == 0 && checksum == ShortNameChecksum(entry);
    next = kNone;
    if (!whole) return "";
    std::vector<std::uint16_t> name(text.begin(), std::find(text.begin(), text.end(), 0));
    const std::string utf8 = Utf8(name);
    const bool sound =
        !utf8.empty() && utf8 != "." && utf8 != ".." &&
        std::none_of(name.begin(), name.end(), [](std::uint16_t c) { return c < 0x20 || c == '/' || c == '\\'; });
    return sound ? utf8 : "";
  }

 private:
  static constexpr int kNone = -1;
  std::vector<std::uint16_t> text;
  int next = kNone;  // the number of the piece awaited; 0: all are there
  std::uint8_t checksum = 0;
};

// The 8.3 name of an entry ("P1010001.JPG"), empty when its bytes cannot be
// a name (control characters or a path separator).
std::string ShortName(const std::uint8_t* entry) {
  const std::uint8_t lower = entry[EntryOffset::kCase];
  auto part = [entry](std::size_t from, std::size_t length, bool lowerCase) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
      std::uint8_t c = entry[from + i];
      if (from + i == EntryOffset::kName && c == kStoredE5) c = kDeletedEntry;
      if (c < 0x20 || c == '/' || c == '\\') return std::string(1, '\0');
      // Beyond ASCII the name is in the writer's code page, which is not known.
      text += c >= 0x80 ? '_' : static_cast<char>(lowerCase && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  };
  const std::string name = part(EntryOffset::kName, 8, (lower & kLowerCaseName) != 0);
  const std::string extension = part(EntryOffset::kExtension, 3, (lower & kLowerCaseExtension) != 0);
  if (name.empty() || name.find('\0') != std::string::npos || extension.find('\0') != std::string::npos) return "";
  return extension.empty() ? name : name + "." + extension;
}

FatTimestamp Timestamp(std::uint16_t date, std::uint16_t time) {
  FatTimestamp stamp;
  stamp.year = 1980 + (date >> 9);
  stamp.month = (date >> 5) & 0x0F;
  stamp.day = date & 0x1F;
  stamp.hour = time >> 11;
  stamp.minute = (time >> 5) & 0x3F;
  stamp.second = (time & 0x1F) * 2;
  stamp.valid = stamp.month >= 1 && stamp.month <= 12 && stamp.day >= 1 && stamp.hour < 24 && stamp.minute < 60 &&
                stamp.second < 60;
  return stamp;
}

}  // namespace

void AppendRun(std::vector<FatRun>& runs, std::uint64_t first, std::uint64_t count) {
  if (!runs.empty() && runs.back().first + runs.back().count == first) {
    runs.back().count += count;
  } else {
    runs.push_back({first, count});
  }
}

std::string FatTimestamp::Text() const {
  if (!valid) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", year, month, day, hour, minute, second);
  return text;
}

// A cluster chain as far as it could be followed.
struct FatReader::Chain {
  std::vector<std::uint32_t> clusters;
  std::string problem;  // why it ended before its end mark; empty when it did not
};

FatReader::FatReader(LogicalSectorReader read, std::uint64_t cardSectors)
    : read(std::move(read)), cardSectors(cardSectors) {}

bool FatReader::Read(std::uint64_t sector, SectorBuffer& data) const {
  return sector < cardSectors && read(static_cast<std::uint32_t>(sector), data);
}

std::string FatReader::Open() {
  SectorBuffer zero{};
  if (!Read(0, zero)) return "no file system can be found: sector 0 cannot be read";
  if ((volume = ReadBootSector(zero, 0))) {
    sectorZero = SectorZero::BootSector;
  } else {
    const std::uint8_t* entry = zero.data() + MbrOffset::kPartitionEntry;
    const std::uint32_t start = LoadLe32(entry + PartitionEntryOffset::kFirstSector);
    if (LoadLe16(zero.data() + MbrOffset::kSignature) == kSectorSignature && entry[PartitionEntryOffset::kType] != 0 &&
        start != 0) {
      sectorZero = SectorZero::PartitionTable;
      partitionStart = start;
      SectorBuffer boot{};
      if (!Read(start, boot))
        return "no file system can be found: its boot sector (" + Number(start) + ") cannot be read";
      volume = ReadBootSector(boot, start);
      if (!volume) return "no FAT file system: the partition from sector " + Number(start) + " holds none";
    } else {
      sectorZero = Filled(zero, 0xFF) || Filled(zero, 0x00) ? SectorZero::Blank : SectorZero::Other;
      return sectorZero == SectorZero::Blank ? "no file system: the card is blank"
                                             : "no partition table and no file system that a host knows";
    }
  }
  if (volume->fatBits == 32) return "a FAT32 file system, which no SmartMedia card holds: it is not read";
  if (volume->fatSectors > kMostFatSectors || volume->RootSectors() > kMostRootSectors) {
    return "a FAT" + Number(volume->fatBits) + " file system larger than any SmartMedia card's: it is not read";
  }
  return LoadFat();
}

std::string FatReader::LoadFat() {
  fat.assign(std::size_t{volume->fatSectors} * kSectorSize, 0);
  fatSectorKnown.assign(volume->fatSectors, false);
  SectorBuffer sector{};
  for (std::uint32_t s = 0; s < volume->fatSectors; ++s) {
    for (std::uint32_t copy = 0; copy < volume->fatCount && !fatSectorKnown[s]; ++copy) {
      const std::uint64_t at =
          std::uint64_t{volume->firstSector} + volume->reservedSectors + std::uint64_t{copy} * volume->fatSectors + s;
      if (Read(at, sector)) {
        std::copy(sector.begin(), sector.end(), fat.begin() + std::size_t{s} * kSectorSize);
        fatSectorKnown[s] = true;
      }
    }
  }
  return "";
}

std::uint32_t FatReader::EndCluster() const {
  const auto entries = static_cast<std::uint32_t>(fat.size() * 8 / volume->fatBits);
  return std::min(volume->clusters + kFirstCluster, entries);
}

std::optional<std::uint32_t> FatReader::Next(std::uint32_t cluster) const {
  const std::size_t at = volume->fatBits == 16 ? 2 * std::size_t{cluster} : cluster + cluster / 2;
  if (!fatSectorKnown[at / kSectorSize] || !fatSectorKnown[(at + 1) / kSectorSize]) return std::nullopt;
  if (volume->fatBits == 16) return LoadLe16(&fat[at]);
  const std::uint16_t pair = LoadLe16(&fat[at]);
  return (cluster & 1) != 0 ? pair >> 4 : pair & 0xFFFu;
}

FatReader::Chain FatReader::Follow(std::uint32_t first, std::uint64_t mostClusters) const {
  Chain chain;
  const std::uint32_t end = EndCluster();
  const std::uint32_t bad = volume->fatBits == 12 ? 0xFF7 : 0xFFF7;
  std::vector<bool> seen(end, false);
  // Followed no further than the clusters needed: what lies beyond them is no
  // part of the file, sound or not.
  for (std::uint32_t cluster = first;;) {
    if (cluster < kFirstCluster || cluster >= end) {
      chain.problem = "its cluster chain leads to cluster " + Number(cluster) + ", outside the volume";
      break;
    }
    if (seen[cluster]) {
      chain.problem = "its cluster chain loops back to cluster " + Number(cluster);
      break;
    }
    seen[cluster] = true;
    chain.clusters.push_back(cluster);
    if (chain.clusters.size() == mostClusters) break;
    const std::optional<std::uint32_t> next = Next(cluster);
    if (!next) {
      chain.problem = "the FAT entry of its cluster " + Number(cluster) + " cannot be read in either FAT";
    } else if (*next == 0) {
      chain.problem = "its cluster chain runs into a free cluster after cluster " + Number(cluster);
    } else if (*next == bad) {
      chain.problem = "its cluster chain runs into a cluster marked bad after cluster " + Number(cluster);
    } else if (*next > bad) {
      break;  // the end mark
    }
    if (!chain.problem.empty()) break;
    cluster = *next;
  }
  return chain;
}

std::uint32_t FatReader::ClusterBytes() const {
  return volume->clusterSectors * static_cast<std::uint32_t>(kSectorSize);
}

std::uint64_t FatReader::ClusterSector(std::uint32_t cluster) const {
  return std::uint64_t{volume->RootStart()} + volume->RootSectors() +
         std::uint64_t{cluster - kFirstCluster} * volume->clusterSectors;
}

FatTree FatReader::ReadFolder(const FatItem* folder) const {
  FatTree tree;
  const std::string prefix = folder ? folder->path + "/" : "";
  std::vector<std::uint64_t> sectors;
  if (!folder) {
    for (std::uint32_t s = 0; s < volume->RootSectors(); ++s) sectors.push_back(std::uint64_t{volume->RootStart()} + s);
  } else {
    const Chain chain = Follow(folder->firstCluster, kMostFolderBytes / ClusterBytes());
    if (!chain.problem.empty()) tree.damage.push_back({prefix, chain.problem + ": what lies beyond is not listed"});
    for (const std::uint32_t cluster : chain.clusters) {
      for (std::uint32_t s = 0; s < volume->clusterSectors; ++s) sectors.push_back(ClusterSector(cluster) + s);
    }
  }
  LongName longName;
  SectorBuffer sector{};
  for (const std::uint64_t at : sectors) {
    if (!Read(at, sector)) {
      tree.damage.push_back({prefix, "sector " + Number(at) + " cannot be read: the entries it held are not listed"});
      continue;
    }
    for (std::size_t offset = 0; offset < kSectorSize; offset += EntryOffset::kSize) {
      const std::uint8_t* entry = sector.data() + offset;
      const std::uint8_t first = entry[EntryOffset::kName];
      const std::uint8_t attributes = entry[EntryOffset::kAttributes];
      if (first == kEndOfDirectory) return tree;
      if (first == kDeletedEntry) continue;
      if ((attributes & kAttrLongNameMask) == kAttrLongName) {
        longName.Take(entry);
      } else {
        const std::string name = longName.For(entry);
        const std::string shortName = ShortName(entry);
        if ((attributes & kAttrVolumeLabel) != 0 || shortName.empty() || shortName == "." || shortName == "..") {
          continue;
        }
        FatItem item;
        item.shortName = shortName;
        item.name = name.empty() ? shortName : name;
        item.path = prefix + item.name;
        item.folder = (attributes & kAttrFolder) != 0;
        item.size = item.folder ? 0 : LoadLe32(entry + EntryOffset::kFileSize);
        item.firstCluster = LoadLe16(entry + EntryOffset::kFirstCluster);
        item.modified = Timestamp(LoadLe16(entry + EntryOffset::kDate), LoadLe16(entry + EntryOffset::kTime));
        tree.items.push_back(std::move(item));
      }
    }
  }
  return tree;
}

FatTree FatReader::ReadRoot() const { return ReadFolder(nullptr); }

FatTree FatReader::Walk() const {
  FatTree tree;
  std::vector<bool> entered(EndCluster(), false);
  // The folders being read, innermost last: what each lists, and how far.
  struct Open {
    std::vector<FatItem> items;
    std::size_t next = 0;
  };
  FatTree root = ReadRoot();
  tree.damage = std::move(root.damage);
  std::vector<Open> open{{std::move(root.items), 0}};
  while (!open.empty()) {
    if (open.back().next == open.back().items.size()) {
      open.pop_back();
      continue;
    }
    tree.items.push_back(std::move(open.back().items[open.back().next++]));
    const FatItem& item = tree.items.back();
    if (!item.folder) continue;
    const std::uint32_t cluster = item.firstCluster;
    if (cluster < kFirstCluster || cluster >= entered.size()) {
      tree.damage.push_back(
          {item.path + "/", "its entry leads to cluster " + Number(cluster) + ", outside the volume: it is not read"});
    } else if (entered[cluster]) {
      tree.damage.push_back({item.path + "/", "its entry leads to a folder already read (cluster " + Number(cluster) +
                                                  "): it is not read again"});
    } else {
      entered[cluster] = true;
      FatTree listed = ReadFolder(&item);
      tree.damage.insert(tree.damage.end(), listed.damage.begin(), listed.damage.end());
      open.push_back({std::move(listed.items), 0});
    }
  }
  return tree;
}

FatFileRead FatReader::ReadFile(const FatItem& file, const FatByteTaker& take) const {
  FatFileRead result;
  const std::uint64_t clusterBytes = ClusterBytes();
  const std::uint64_t needed = (std::uint64_t{file.size} + clusterBytes - 1) / clusterBytes;
  Chain chain;
  if (needed != 0)
    chain = file.firstCluster == 0 ? Chain{{}, "its entry names no cluster"} : Follow(file.firstCluster, needed);
  result.problem = chain.problem;
  result.bytes = file.size;
  const std::uint64_t volumeBytes = std::uint64_t{volume->clusters} * clusterBytes;
  if (file.size > volumeBytes) {
    result.bytes = std::min<std::uint64_t>(file.size, chain.clusters.size() * clusterBytes);
    result.problem = "its size of " + Number(file.size) + " bytes is more than the volume holds";
  } else if (chain.clusters.size() < needed && result.problem.empty()) {
    result.problem = "its cluster chain ends after " + Number(chain.clusters.size()) + " of the " + Number(needed) +
                     " clusters its size needs";
  }
  SectorBuffer sector{};
  std::uint64_t done = 0;
  auto give = [&](const std::uint8_t* bytes, std::size_t count) {
    if (!result.stopped && take && !take(bytes, count)) result.stopped = true;
    done += count;
  };
  for (const std::uint32_t cluster : chain.clusters) {
    for (std::uint32_t s = 0; s < volume->clusterSectors && done < result.bytes; ++s) {
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kSectorSize, result.bytes - done));
      const std::uint64_t at = ClusterSector(cluster) + s;
      if (!Read(at, sector)) {
        sector.fill(0);
        AppendRun(result.filled, done, count);
        AppendRun(result.sectors, at, 1);
      }
      give(sector.data(), count);
    }
  }
  sector.fill(0);
  if (done < result.bytes) AppendRun(result.filled, done, result.bytes - done);
  while (done < result.bytes) {
    give(sector.data(), static_cast<std::size_t>(std::min<std::uint64_t>(kSectorSize, result.bytes - done)));
  }
  return result;
}

std::uint32_t FatReader::ClustersInUse() const {
  const std::uint32_t bad = volume->fatBits == 12 ? 0xFF7 : 0xFFF7;
  std::uint32_t used = 0;
  for (std::uint32_t cluster = kFirstCluster; cluster < EndCluster(); ++cluster) {
    const std::optional<std::uint32_t> value = Next(cluster);
    if (!value || (*value != 0 && *value != bad)) ++used;
  }
  return used;
}

bool FatReader::FatWhole() const {
  return std::all_of(fatSectorKnown.begin(), fatSectorKnown.end(), [](bool known) { return known; });
}

std::vector<FatRun> FatReader::SectorsInUse() const {
  std::vector<FatRun> runs;
  const std::uint32_t bad = volume->fatBits == 12 ? 0xFF7 : 0xFFF7;
  // A boot sector may claim more than the card holds: what is not there is in no use.
  auto add = [&](std::uint64_t first, std::uint64_t count) {
    if (first < cardSectors) AppendRun(runs, first, std::min(count, cardSectors - first));
  };
  add(volume->firstSector, std::uint64_t{volume->RootStart()} + volume->RootSectors() - volume->firstSector);
  for (std::uint32_t cluster = kFirstCluster; cluster < EndCluster(); ++cluster) {
    const std::optional<std::uint32_t> value = Next(cluster);
    if (!value || (*value != 0 && *value != bad)) add(ClusterSector(cluster), volume->clusterSectors);
  }
  return runs;
}
