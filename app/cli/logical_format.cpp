#include "app/cli/logical_format.h"

#include <limits>

#include "engine/fat_layout.h"
#include "engine/verify.h"

namespace {

constexpr std::uint32_t kKeyPerGroup = 1000;  // logical sectors of 1024 physical pages
constexpr std::uint32_t kPagesPerGroup = 1024;
constexpr std::uint8_t kPagesPerBlock = 32;
constexpr std::uint32_t kPartitionOffset = 32;  // the format's partition is the key less 32 sectors
constexpr std::uint64_t kMaxKey = std::numeric_limits<std::uint32_t>::max() / kPagesPerGroup * kKeyPerGroup;
constexpr std::uint32_t kBytesPerMegabyte = 1024 * 1024;

// One unit whose capacity key is `key`: key / 1000 groups of 1024 pages.
MediaGeometry GeometryOf(std::uint32_t key) {
  MediaGeometry geometry;
  geometry.unitCount = 1;
  geometry.units[0].tag = 1;
  geometry.units[0].sectorsPerBlock = kPagesPerBlock;
  geometry.units[0].totalSectors = key / kKeyPerGroup * kPagesPerGroup;
  return geometry;
}

void Fail(FormatHost& host, const std::string& text) {
  host.ShowMessage(text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::Dialog);
}

}  // namespace

bool TracingBlockTarget::Note(const std::string& what, bool result) {
  trace.Note(what + " -> " + (result ? std::string("ok") : "failed: " + inner.LastError()));
  return result;
}

bool TracingBlockTarget::Read(std::uint64_t sector, std::uint32_t count, std::uint8_t* data) {
  const bool result = inner.Read(sector, count, data);
  return Note("read " + name + " sector " + std::to_string(sector) + " count " + std::to_string(count), result);
}

bool TracingBlockTarget::Write(std::uint64_t sector, std::uint32_t count, const std::uint8_t* data) {
  const bool result = inner.Write(sector, count, data);
  return Note("write " + name + " sector " + std::to_string(sector) + " count " + std::to_string(count), result);
}

bool TracingBlockTarget::Flush() { return Note("flush " + name, inner.Flush()); }

std::string LogicalSizeFault(std::uint64_t sectors) {
  const std::string size = std::to_string(sectors) + " sectors";
  if (sectors == 0) return "it holds no sectors (no card in the reader?). Nothing was written.";
  if (sectors % kKeyPerGroup != 0 || sectors > kMaxKey) {
    return size +
           " is not the logical size of a SmartMedia card (2000 sectors for 1 MB, 4000, 8000, 16000, "
           "32000, 64000, 128000, 256000 for 128 MB, or another multiple of 1000). Nothing was written.";
  }
  const auto key = static_cast<std::uint32_t>(sectors);
  if (FindCapacityRow(key) != nullptr) return {};
  const LayoutFault fault = ComputedLayoutFault(key, key - kPartitionOffset);
  if (fault == LayoutFault::None) return {};
  return size + ": " + LayoutFaultMessage(fault);
}

std::string LogicalLayoutText(std::uint32_t sectors) {
  const std::uint64_t bytes = std::uint64_t{sectors} / kKeyPerGroup * kPagesPerGroup * 512;
  const CapacityRow* row = FindCapacityRow(sectors);
  const bool fat16 = row == nullptr || RowIsFat16(*row);
  std::string text = std::to_string(bytes / kBytesPerMegabyte) + " MB card layout (";
  text += row != nullptr ? "standard, " : "computed, ";
  text += fat16 ? "FAT16, " : "FAT12, ";
  return text + std::to_string(sectors) + " sectors)";
}

CBlockTargetReader::CBlockTargetReader(FormatHost& host, BlockTarget& target_) : CReaderDevice(host), target(target_) {
  openFlag = 0;
}

int CBlockTargetReader::GetDeviceState(std::uint8_t& state) {
  state = 0;  // whether the target can be written shows in the writes
  return 1;
}

int CBlockTargetReader::ReadMediaInfo(void*, std::uint8_t, std::uint8_t, MediaGeometry& geometry_) {
  geometry_ = GeometryOf(static_cast<std::uint32_t>(target.Sectors()));
  return 1;
}

int CBlockTargetReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  return target.Write(sector, count, data) ? 1 : 0;
}

int CBlockTargetReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  return target.Read(sector, count, data) ? 1 : 0;
}

int CBlockTargetReader::FindDevice(char& found) {
  found = 0;
  if (!LogicalSizeFault(target.Sectors()).empty()) return 0;
  ReadMediaInfo(nullptr, 0, 0, geometry);
  openFlag = 1;
  return 1;
}

namespace {

bool WriteAndCheck(CBlockTargetReader& reader, FormatHost& host) {
  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  reader.SetPartitionSectors(key - kPartitionOffset);
  if (!reader.WriteMbr()) {
    Fail(host, "Write MBR error!");
    return false;
  }
  if (!reader.WriteBootSector()) {
    Fail(host, "Write boot sector error!");
    return false;
  }
  if (!reader.Target().Flush()) {
    Fail(host, "The written sectors could not be flushed.");
    return false;
  }
  reader.Target().DropCache();
  return VerifyFileSystem(reader, host) == 1;
}

}  // namespace

bool WriteLogicalFormat(CBlockTargetReader& reader, FormatHost& host) {
  if (WriteAndCheck(reader, host)) return true;
  // The layout's own messages name the structure; the system's reason for a
  // failed transfer (a full disk, an I/O error) is what the operator can act on.
  const std::string reason = reader.Target().LastError();
  if (!reason.empty()) Fail(host, "The system refused a read or write of the target: " + reason);
  return false;
}
