#include "transport/sgio/sg_discovery.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace sgio {

namespace {

constexpr const char* kBlockClass = "/sys/block/";
constexpr const char* kDevicesRoot = "/sys/devices";
constexpr const char* kMountInfo = "/proc/self/mountinfo";
constexpr const char* kDevDirectory = "/dev/";
constexpr const char* kMountInfoSeparator = "-";
constexpr std::size_t kMountInfoDeviceField = 2;
constexpr std::size_t kMountInfoMountPointField = 4;

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::optional<std::string> Attribute(SgSystem& system, const std::string& path) {
  const auto text = system.ReadText(path);
  if (!text) return std::nullopt;
  return Trim(*text);
}

// "8:33" into its two numbers.
bool ParseDeviceNumber(const std::string& text, unsigned& major, unsigned& minor) {
  char extra = 0;
  return std::sscanf(text.c_str(), "%u:%u%c", &major, &minor, &extra) == 2;
}

std::optional<std::uint16_t> ParseHex16(const std::string& text) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(std::stoul(text, nullptr, 16));
}

std::string Parent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The USB device a disk's SCSI device hangs from: the nearest directory up
// the device path that carries idVendor and idProduct.
void FindUsbAncestor(SgSystem& system, const std::string& deviceDir, Disk& disk) {
  const auto resolved = system.ResolvePath(deviceDir);
  if (!resolved) return;
  for (std::string dir = *resolved; dir.size() > std::strlen(kDevicesRoot) && dir.rfind(kDevicesRoot, 0) == 0;
       dir = Parent(dir)) {
    const auto vendor = Attribute(system, dir + "/idVendor");
    const auto product = Attribute(system, dir + "/idProduct");
    if (!vendor || !product) continue;
    const auto vendorId = ParseHex16(*vendor);
    const auto productId = ParseHex16(*product);
    if (!vendorId || !productId) return;
    disk.usb = true;
    disk.usbVendor = *vendorId;
    disk.usbProduct = *productId;
    return;
  }
}

std::optional<BlockNode> ReadNode(SgSystem& system, const std::string& dir, const std::string& name) {
  const auto dev = Attribute(system, dir + "/dev");
  BlockNode node{name, 0, 0};
  if (!dev || !ParseDeviceNumber(*dev, node.major, node.minor)) return std::nullopt;
  return node;
}

std::optional<Disk> ReadDisk(SgSystem& system, const std::string& name) {
  const std::string base = kBlockClass + name;
  const auto node = ReadNode(system, base, name);
  if (!node) return std::nullopt;
  Disk disk;
  disk.node = *node;
  disk.devicePath = kDevDirectory + name;
  if (const auto size = Attribute(system, base + "/size")) disk.sectors = std::strtoull(size->c_str(), nullptr, 10);
  disk.removable = Attribute(system, base + "/removable").value_or("0") == "1";
  disk.readOnly = Attribute(system, base + "/ro").value_or("0") == "1";
  disk.vendor = Attribute(system, base + "/device/vendor").value_or("");
  disk.model = Attribute(system, base + "/device/model").value_or("");
  FindUsbAncestor(system, base + "/device", disk);
  std::vector<std::string> entries = system.ListDirectory(base);
  std::sort(entries.begin(), entries.end());
  for (const std::string& entry : entries) {
    const std::string dir = base + "/" + entry;
    if (!system.ReadText(dir + "/partition")) continue;
    if (const auto partition = ReadNode(system, dir, entry)) disk.partitions.push_back(*partition);
  }
  return disk;
}

// Undoes mountinfo's octal escapes of blanks, tabs, line breaks and backslashes.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::vector<Disk> ListDisks(SgSystem& system) {
  std::vector<std::string> names = system.ListDirectory("/sys/block");
  std::sort(names.begin(), names.end());
  std::vector<Disk> disks;
  for (const std::string& name : names) {
    if (auto disk = ReadDisk(system, name)) disks.push_back(std::move(*disk));
  }
  return disks;
}

std::string UsbIdText(std::uint16_t vendor, std::uint16_t product) {
  char text[32];
  std::snprintf(text, sizeof text, "VID_%04X&PID_%04X", vendor, product);
  return text;
}

std::string UsbIdShort(std::uint16_t vendor, std::uint16_t product) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
  return text;
}

bool IsSupportedUsbId(const CReaderDevice& reader, std::uint16_t vendor, std::uint16_t product) {
  const std::string id = UsbIdText(vendor, product);
  for (int i = 0; i < reader.deviceIdCount; ++i) {
    if (id == reader.deviceIds[i]) return true;
  }
  return false;
}

std::vector<Mount> ParseMountInfo(const std::string& text) {
  std::vector<Mount> mounts;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    const auto separator = std::find(fields.begin(), fields.end(), kMountInfoSeparator);
    if (separator == fields.end() || separator - fields.begin() <= static_cast<long>(kMountInfoMountPointField)) {
      continue;
    }
    Mount mount;
    if (!ParseDeviceNumber(fields[kMountInfoDeviceField], mount.major, mount.minor)) continue;
    mount.mountPoint = Unescape(fields[kMountInfoMountPointField]);
    if (separator + 2 < fields.end()) mount.source = Unescape(*(separator + 2));
    mounts.push_back(mount);
  }
  return mounts;
}

std::vector<Mount> MountsOn(SgSystem& system, const Disk& disk) {
  std::vector<Mount> found;
  const auto text = system.ReadText(kMountInfo);
  if (!text) return found;
  for (const Mount& mount : ParseMountInfo(*text)) {
    const BlockNode node{"", mount.major, mount.minor};
    const bool onDisk =
        node == disk.node || std::find(disk.partitions.begin(), disk.partitions.end(), node) != disk.partitions.end();
    if (onDisk) found.push_back(mount);
  }
  return found;
}

NodeLookup FindDiskOfNode(SgSystem& system, const std::string& path) {
  NodeLookup lookup;
  const NodeStatus status = system.Status(path);
  if (status.kind == NodeStatus::Kind::Missing) {
    lookup.error = ErrorText(status.error);
    return lookup;
  }
  if (status.kind != NodeStatus::Kind::Block) {
    lookup.error = "not a block device";
    return lookup;
  }
  const BlockNode node{"", status.deviceMajor, status.deviceMinor};
  for (Disk& disk : ListDisks(system)) {
    const bool partition = std::find(disk.partitions.begin(), disk.partitions.end(), node) != disk.partitions.end();
    if (disk.node == node || partition) {
      lookup.partition = partition;
      lookup.disk = std::move(disk);
      return lookup;
    }
  }
  lookup.error =
      "the kernel lists no disk with device number " + std::to_string(node.major) + ":" + std::to_string(node.minor);
  return lookup;
}

bool ReaderReport::Supported() const {
  return verdict == ReaderVerdict::Probed && probe.verdict != ProbeVerdict::InquiryFailed &&
         probe.verdict != ProbeVerdict::UnsupportedInquiry;
}

int OpenForProbe(SgSystem& system, const std::string& devicePath) {
  return system.Open(devicePath, O_RDONLY | O_NONBLOCK);
}

ReaderReport ExamineDisk(SgSystem& system, FormatHost& host, const Disk& disk, bool readState) {
  ReaderReport report;
  report.disk = disk;
  CSgReader reader(host, system);
  if (!disk.usb || !IsSupportedUsbId(reader, disk.usbVendor, disk.usbProduct)) return report;
  const int fd = OpenForProbe(system, disk.devicePath);
  if (fd < 0) {
    report.verdict = ReaderVerdict::CannotOpen;
    report.openError = -fd;
    return report;
  }
  reader.Attach(fd, disk.devicePath);
  report.verdict = ReaderVerdict::Probed;
  report.probe = reader.Probe(readState);
  if (report.probe.verdict == ProbeVerdict::Card) {
    report.geometry = reader.geometry;
    reader.GetCapacity(&report.capacityKey, nullptr);
  }
  reader.Close();
  return report;
}

std::vector<ReaderReport> SurveyUsbDisks(SgSystem& system, FormatHost& host) {
  std::vector<ReaderReport> reports;
  for (const Disk& disk : ListDisks(system)) {
    if (disk.usb) reports.push_back(ExamineDisk(system, host, disk, true));
  }
  return reports;
}

}  // namespace sgio
