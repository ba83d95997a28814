#include "app/cli/real_readers.h"

#include <ostream>

#include "app/cli/logical_format.h"
#include "card/card_dump.h"
#include "card/card_files.h"
#include "card/card_geometry.h"

const char* const kConfirmText = "Format disk will erase all data on the device. Continue?";

namespace {

constexpr std::uint64_t kLogicalSectorBytes = 512;

bool HasLogicalSize(std::uint64_t bytes) {
  return bytes % kLogicalSectorBytes == 0 && LogicalSizeFault(bytes / kLogicalSectorBytes).empty();
}

}  // namespace

std::string DeviceIsAFile(const std::string& path) {
  std::uint64_t bytes = 0;
  if (!card::CheckRegularFile(path, "").empty() || !card::FileSize(path, bytes).empty()) return "";
  const std::string head = path + " is a file, not a card reader: ";
  if (card::GeometryForImageSize(bytes)) return head + "to format the card image it holds, give --simulate " + path;
  if (HasLogicalSize(bytes)) return head + "a logical image takes the SmartMedia file system with --logical " + path;
  return head + "give the reader's device (" + kDeviceExample + "), or --simulate with a card image";
}

std::string LogicalImageHint(const std::string& path) {
  std::uint64_t bytes = 0;
  if (!card::FileSize(path, bytes).empty() || !HasLogicalSize(bytes)) return "";
  return path + " has the size of a logical image (" + std::to_string(bytes / kLogicalSectorBytes) +
         " sectors of 512 bytes, no redundant areas): format it with --logical " + path +
         ", or put it on a simulated card with 'smcard create CARD --size SIZE' and 'smcard import CARD " + path + "'";
}

int Refuse(CliContext& context, const std::string& text) {
  context.err << "smformat: " << text << "\n";
  return kExitFailure;
}

std::string CardMegabytesText(const MediaGeometry& geometry) {
  constexpr std::uint64_t kPageDataBytes = 512;
  constexpr std::uint64_t kBytesPerMegabyte = 1024 * 1024;
  std::uint64_t pages = 0;
  for (int u = 0; u < geometry.unitCount; ++u) pages += geometry.units[u].totalSectors;
  return std::to_string(pages * kPageDataBytes / kBytesPerMegabyte) + " MB";
}

std::string CardSizeText(const MediaGeometry& geometry, std::uint32_t capacityKey) {
  return CardMegabytesText(geometry) + " card, " + std::to_string(capacityKey) + " sectors";
}

std::string DumpOutRefusal(const RealReaderOptions& options, const std::string& onTheCard) {
  const std::string& out = *options.read->dumpPath;
  if (!onTheCard.empty()) return onTheCard;
  if (options.tracePath && card::SameFile(*options.tracePath, out)) {
    return out + " is the trace file too; give the dump another name";
  }
  return card::DumpTargetRefusal(out, options.read->force);
}

namespace {

std::string JsonText(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  constexpr unsigned char kFirstPrintable = 0x20;
  std::string json = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < kFirstPrintable) {
      json += "\\u00";
      json += kHex[(c >> 4) & 0xF];
      json += kHex[c & 0xF];
    } else {
      json += c;
    }
  }
  return json + "\"";
}

}  // namespace

void PrintDiskList(std::ostream& out, const std::vector<ListedDisk>& disks, bool json, const std::string& none) {
  if (!json) {
    if (disks.empty()) out << none << "\n";
    for (const ListedDisk& d : disks) {
      out << d.device << "  " << (d.usbId.empty() ? "" : d.usbId + "  ") << d.name << "  " << d.state << "\n";
    }
    return;
  }
  out << "{\"disks\": [";
  for (std::size_t i = 0; i < disks.size(); ++i) {
    const ListedDisk& d = disks[i];
    out << (i == 0 ? "" : ", ") << "{\"device\": " << JsonText(d.device)
        << ", \"usbId\": " << (d.usbId.empty() ? "null" : JsonText(d.usbId)) << ", \"name\": " << JsonText(d.name)
        << ", \"supported\": " << (d.supported ? "true" : "false") << ", \"state\": " << JsonText(d.state) << "}";
  }
  out << "]}\n";
}
