#include "tests/sgio/fake_sg_system.h"

#include <fcntl.h>
#include <linux/fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/byte_order.h"
#include "transport/reader_commands.h"
#include "transport/scsi_sense.h"
#include "transport/sgio/sg_request.h"

namespace {

constexpr unsigned kScsiDiskMajor = 8;
constexpr unsigned kMinorsPerDisk = 16;
constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kInquiryVendor = 8;
constexpr std::size_t kInquiryProduct = 16;
constexpr std::size_t kInquiryLength = 36;
constexpr std::uint8_t kMaskedCheckCondition = 0x01;  // status >> 1
constexpr std::uint8_t kRead10Length = 10;

// Opcodes every caller who can open the node may send: the kernel's filter
// of harmless commands (those this model meets).
constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kReadCapacity = 0x25;
constexpr std::uint8_t kModeSense6 = 0x1A;

bool Under(const std::string& path, const char* root) { return path.rfind(root, 0) == 0; }

bool Modelled(const std::string& path) { return Under(path, "/dev/") || Under(path, "/sys/") || Under(path, "/proc/"); }

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

void PutPadded(std::uint8_t* out, const std::string& text, std::size_t width) {
  std::memset(out, ' ', width);
  std::memcpy(out, text.data(), std::min(width, text.size()));
}

}  // namespace

// --- The machine ---------------------------------------------------------------------

FakeSgSystem::DiskModel& FakeSgSystem::AddDisk(const std::string& name, Kind kind) {
  DiskModel& disk = disks[name];
  disk.kind = kind;
  disk.name = name;
  disk.major = kScsiDiskMajor;
  disk.minor = static_cast<unsigned>(diskOrder.size()) * kMinorsPerDisk;
  diskOrder.push_back(name);
  return disk;
}

// Puts the disk's sysfs node below a new USB device on bus `bus` with the
// identifier `id`, as the kernel lays out a USB mass-storage disk.
void FakeSgSystem::PlaceBehindUsb(DiskModel& disk, int bus, UsbId id) {
  const std::string port = std::to_string(bus) + "-" + std::to_string(nextUsbPort++);
  const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" + port;
  char hex[8];
  std::snprintf(hex, sizeof hex, "%04x", id.vendor);
  AddFile(usb + "/idVendor", hex);
  std::snprintf(hex, sizeof hex, "%04x", id.product);
  AddFile(usb + "/idProduct", hex);
  const std::string host = std::to_string(nextHost++);
  disk.sysfsDir =
      usb + "/" + port + ":1.0/host" + host + "/target" + host + ":0:0/" + host + ":0:0:0/block/" + disk.name;
  WriteSysfs(disk);
}

void FakeSgSystem::AddReader(const std::string& name, sim::Reader& reader, UsbId id) {
  DiskModel& disk = AddDisk(name, Kind::Reader);
  disk.reader = &reader;
  disk.target = std::make_shared<sim::ReaderTarget>(reader);
  const auto inquiry = reader.InquiryReply();
  disk.vendor.assign(inquiry.begin() + kInquiryVendor, inquiry.begin() + kInquiryProduct);
  disk.product.assign(inquiry.begin() + kInquiryProduct, inquiry.begin() + kInquiryLength - 4);
  PlaceBehindUsb(disk, 1, id);
}

void FakeSgSystem::AddUsbDisk(const std::string& name, UsbId id, const std::string& vendor, const std::string& product,
                              std::uint64_t sectors) {
  DiskModel& disk = AddDisk(name, Kind::UsbDisk);
  disk.vendor = vendor;
  disk.product = product;
  disk.sectors = sectors;
  PlaceBehindUsb(disk, 2, id);
}

void FakeSgSystem::AddSystemDisk(const std::string& name, std::uint64_t sectors) {
  DiskModel& disk = AddDisk(name, Kind::SystemDisk);
  disk.vendor = "ATA";
  disk.product = "HARD DISK 500G";
  disk.sectors = sectors;
  const std::string host = std::to_string(nextHost++);
  disk.sysfsDir = "/sys/devices/pci0000:00/0000:00:1f.2/ata1/host" + host + "/target" + host + ":0:0/" + host +
                  ":0:0:0/block/" + name;
  WriteSysfs(disk);
}

void FakeSgSystem::AddPartition(const std::string& name, int number) {
  DiskModel& disk = disks.at(name);
  disk.partitions.push_back(number);
  WriteSysfs(disk);
}

void FakeSgSystem::Mount(const std::string& node, const std::string& mountPoint) {
  mounts.emplace_back(node, mountPoint);
}

void FakeSgSystem::HoldExclusively(const std::string& name) { disks.at(name).heldElsewhere = true; }

void FakeSgSystem::UnplugAfter(const std::string& name, int requests) {
  DiskModel& disk = disks.at(name);
  disk.unplugAfter = requests;
  if (requests == 0) {
    disk.present = false;
    RemoveSysfs(disk);
  }
}

FakeSgSystem::DiskModel* FakeSgSystem::DiskNamed(const std::string& name) {
  const auto found = disks.find(name);
  return found != disks.end() ? &found->second : nullptr;
}

std::uint64_t FakeSgSystem::DiskBytesCount(const DiskModel& disk) const {
  if (disk.kind != Kind::Reader) return disk.sectors * kSectorBytes;
  return disk.reader->CardPresent() ? disk.reader->Logical().LogicalSectors() * kSectorBytes : 0;
}

bool FakeSgSystem::Mounted(const DiskModel& disk) const {
  for (const auto& [node, point] : mounts) {
    if (node == disk.name) return true;
    for (int p : disk.partitions) {
      if (node == disk.name + std::to_string(p)) return true;
    }
  }
  return false;
}

bool FakeSgSystem::ClaimedExclusively(const DiskModel& disk) const {
  if (disk.heldElsewhere || Mounted(disk)) return true;
  for (const auto& [fd, d] : descriptors) {
    if (d.open && d.disk == disk.name && (d.flags & O_EXCL)) return true;
  }
  return false;
}

// --- sysfs ---------------------------------------------------------------------------------

void FakeSgSystem::AddFile(const std::string& path, const std::string& text) {
  files[path] = text + "\n";
  for (std::string dir = ParentOf(path); dir != "/"; dir = ParentOf(dir)) directories.insert(dir);
}

void FakeSgSystem::AddLink(const std::string& path, const std::string& target) {
  links[path] = target;
  for (std::string dir = ParentOf(path); dir != "/"; dir = ParentOf(dir)) directories.insert(dir);
}

void FakeSgSystem::WriteSysfs(DiskModel& disk) {
  const std::string& block = disk.sysfsDir;
  const std::string scsiDevice = ParentOf(ParentOf(block));
  AddFile(block + "/dev", std::to_string(disk.major) + ":" + std::to_string(disk.minor));
  AddFile(block + "/size", std::to_string(DiskBytesCount(disk) / kSectorBytes));
  AddFile(block + "/removable", disk.kind == Kind::SystemDisk ? "0" : "1");
  const bool writeProtected =
      disk.kind == Kind::Reader && disk.reader->CardPresent() && disk.reader->Plan().writeProtected;
  AddFile(block + "/ro", writeProtected ? "1" : "0");
  AddFile(scsiDevice + "/vendor", disk.vendor);
  AddFile(scsiDevice + "/model", disk.product);
  AddLink(block + "/device", scsiDevice);
  AddLink("/sys/block/" + disk.name, block);
  AddLink("/sys/dev/block/" + std::to_string(disk.major) + ":" + std::to_string(disk.minor), block);
  for (int p : disk.partitions) {
    const std::string dir = block + "/" + disk.name + std::to_string(p);
    AddFile(dir + "/dev", std::to_string(disk.major) + ":" + std::to_string(disk.minor + p));
    AddFile(dir + "/partition", std::to_string(p));
  }
}

void FakeSgSystem::RemoveSysfs(const DiskModel& disk) {
  links.erase("/sys/block/" + disk.name);
  links.erase("/sys/dev/block/" + std::to_string(disk.major) + ":" + std::to_string(disk.minor));
  for (auto it = files.begin(); it != files.end();) {
    it = Under(it->first, disk.sysfsDir.c_str()) ? files.erase(it) : std::next(it);
  }
}

std::optional<std::string> FakeSgSystem::Resolve(const std::string& path) const {
  std::string resolved;
  std::size_t pos = 1;
  int hops = 0;
  std::string rest = path;
  while (pos <= rest.size()) {
    const std::size_t end = std::min(rest.find('/', pos), rest.size());
    const std::string part = rest.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      resolved = ParentOf(resolved.empty() ? "/" : resolved);
      if (resolved == "/") resolved.clear();
      continue;
    }
    resolved += "/" + part;
    const auto link = links.find(resolved);
    if (link != links.end()) {
      if (++hops > 40) return std::nullopt;
      rest = link->second + (end < rest.size() ? rest.substr(end) : "");
      resolved.clear();
      pos = 1;
    }
  }
  if (resolved.empty()) return std::string("/");
  if (files.count(resolved) || directories.count(resolved)) return resolved;
  return std::nullopt;
}

std::string FakeSgSystem::MountInfo() const {
  std::string text = "22 1 0:21 / /proc rw,relatime - proc proc rw\n";
  int id = 100;
  for (const auto& [node, point] : mounts) {
    unsigned major = 0, minor = 0;
    for (const auto& [name, disk] : disks) {
      if (node == name) {
        major = disk.major;
        minor = disk.minor;
      }
      for (int p : disk.partitions) {
        if (node == name + std::to_string(p)) {
          major = disk.major;
          minor = disk.minor + static_cast<unsigned>(p);
        }
      }
    }
    std::string escaped;
    for (char c : point) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    text += std::to_string(id++) + " 1 " + std::to_string(major) + ":" + std::to_string(minor) + " / " + escaped +
            " rw,nosuid,nodev,relatime shared:1 - vfat /dev/" + node + " rw,fmask=0022\n";
  }
  return text;
}

std::vector<std::string> FakeSgSystem::ListDirectory(const std::string& path) {
  if (!Modelled(path)) return real.ListDirectory(path);
  const auto dir = Resolve(path);
  std::set<std::string> names;
  if (!dir || !directories.count(*dir)) return {};
  const auto childOf = [&](const std::string& entry) {
    if (ParentOf(entry) == *dir) names.insert(entry.substr(dir->size() + 1));
  };
  for (const auto& [p, text] : files) childOf(p);
  for (const auto& [p, target] : links) childOf(p);
  for (const std::string& d : directories) childOf(d);
  return std::vector<std::string>(names.begin(), names.end());
}

std::optional<std::string> FakeSgSystem::ReadText(const std::string& path) {
  if (!Modelled(path)) return real.ReadText(path);
  if (path == "/proc/self/mountinfo") return MountInfo();
  const auto resolved = Resolve(path);
  if (!resolved) return std::nullopt;
  const auto found = files.find(*resolved);
  if (found == files.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> FakeSgSystem::ResolvePath(const std::string& path) {
  if (!Modelled(path)) return real.ResolvePath(path);
  return Resolve(path);
}

// --- Device nodes ---------------------------------------------------------------------------

FakeSgSystem::DiskModel* FakeSgSystem::NodeOf(const std::string& path, int& partition) {
  partition = 0;
  if (!Under(path, "/dev/")) return nullptr;
  const std::string node = path.substr(5);
  for (auto& [name, disk] : disks) {
    if (!disk.present) continue;
    if (node == name) return &disk;
    for (int p : disk.partitions) {
      if (node == name + std::to_string(p)) {
        partition = p;
        return &disk;
      }
    }
  }
  return nullptr;
}

NodeStatus FakeSgSystem::Status(const std::string& path) {
  if (!Modelled(path)) return real.Status(path);
  NodeStatus status;
  int partition = 0;
  const DiskModel* disk = NodeOf(path, partition);
  if (disk == nullptr) {
    status.error = ENOENT;
    return status;
  }
  status.kind = NodeStatus::Kind::Block;
  status.deviceMajor = disk->major;
  status.deviceMinor = disk->minor + static_cast<unsigned>(partition);
  return status;
}

int FakeSgSystem::Open(const std::string& path, int flags) {
  if (!Modelled(path)) {
    const int fd = real.Open(path, flags);
    if (fd >= 0) realDescriptors.insert(fd);
    return fd;
  }
  int partition = 0;
  DiskModel* disk = NodeOf(path, partition);
  int result = 0;
  if (disk == nullptr) {
    result = -ENOENT;
  } else if (!canOpenDisks) {
    result = -EACCES;
  } else if ((flags & O_EXCL) && ClaimedExclusively(*disk)) {
    result = -EBUSY;
  } else if (disk->kind == Kind::Reader && !Revalidate(*disk) && !(flags & O_NONBLOCK)) {
    result = -ENOMEDIUM;
  } else if (disk->kind == Kind::Reader && disk->reader->Plan().writeProtected && (flags & O_ACCMODE) != O_RDONLY) {
    result = -EROFS;  // sd refuses to write to a card whose reader reports write protection
  } else {
    result = nextDescriptor++;
    descriptors[result] = Descriptor{disk->name, partition, flags, true};
  }
  opens.push_back(OpenCall{path, flags, result});
  return result;
}

// What sd does when a removable disk is opened: TEST UNIT READY (which takes
// a pending UNIT ATTENTION), then the card's size and write protection as
// the reader reports them. True when the slot holds a card.
bool FakeSgSystem::Revalidate(DiskModel& disk) {
  const std::uint8_t testUnitReady[6] = {};
  // The kernel sends it again after a UNIT ATTENTION.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (disk.target->Execute(testUnitReady, sizeof testUnitReady, DataDirection::None, nullptr, 0).status ==
        sim::kStatusGood) {
      break;
    }
  }
  WriteSysfs(disk);
  return disk.reader->CardPresent();
}

FakeSgSystem::Descriptor* FakeSgSystem::DescriptorOf(int fd, const char* call) {
  const auto found = descriptors.find(fd);
  if (found == descriptors.end() || !found->second.open) {
    misuse.push_back(std::string(call) + " on descriptor " + std::to_string(fd) + ", which is not open");
    return nullptr;
  }
  return &found->second;
}

int FakeSgSystem::Close(int fd) {
  if (realDescriptors.erase(fd)) return real.Close(fd);
  Descriptor* descriptor = DescriptorOf(fd, "close");
  if (descriptor == nullptr) return -EBADF;
  descriptor->open = false;
  return 0;
}

NodeStatus FakeSgSystem::StatusOf(int fd) {
  if (realDescriptors.count(fd)) return real.StatusOf(fd);
  NodeStatus status;
  Descriptor* descriptor = DescriptorOf(fd, "fstat");
  if (descriptor == nullptr) {
    status.error = EBADF;
    return status;
  }
  const DiskModel& disk = disks.at(descriptor->disk);
  status.kind = NodeStatus::Kind::Block;
  status.deviceMajor = disk.major;
  status.deviceMinor = disk.minor + static_cast<unsigned>(descriptor->partition);
  return status;
}

int FakeSgSystem::OpenDescriptors() const {
  return static_cast<int>(
      std::count_if(descriptors.begin(), descriptors.end(), [](const auto& entry) { return entry.second.open; }));
}

int FakeSgSystem::PartitionRereads(const std::string& name) const { return disks.at(name).rereads; }

std::vector<std::uint8_t> FakeSgSystem::DiskSector(const std::string& name, std::uint64_t sector) const {
  const DiskModel& disk = disks.at(name);
  const auto found = disk.writtenSectors.find(sector);
  return found != disk.writtenSectors.end() ? found->second : std::vector<std::uint8_t>(kSectorBytes, 0);
}

std::vector<FakeSgSystem::SgCall> FakeSgSystem::SgCallsTo(const std::string& name) const {
  std::vector<SgCall> out;
  for (const SgCall& call : sgCalls) {
    if (call.device == name) out.push_back(call);
  }
  return out;
}

void FakeSgSystem::ClearRecords() {
  sgCalls.clear();
  opens.clear();
}

// --- Transfers ------------------------------------------------------------------------------

bool FakeSgSystem::TransferSectors(DiskModel& disk, bool write, std::uint64_t sector, std::uint32_t count,
                                   std::uint8_t* data) {
  if (disk.kind != Kind::Reader) {
    if (sector + count > disk.sectors) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint8_t* bytes = data + std::size_t{i} * kSectorBytes;
      if (write) {
        disk.writtenSectors[sector + i].assign(bytes, bytes + kSectorBytes);
      } else {
        const std::vector<std::uint8_t> stored = DiskSector(disk.name, sector + i);
        std::memcpy(bytes, stored.data(), kSectorBytes);
      }
    }
    return true;
  }
  // The kernel's block layer reaches the reader with READ(10)/WRITE(10),
  // and sends a command again that met UNIT ATTENTION.
  ReaderCommand command = write ? WriteLbaCommand(0, 1) : ReadLbaCommand(0, 1);
  for (std::uint32_t i = 0; i < count; ++i) {
    StoreBe32(&command.cdb[cdb::kLbaSector], static_cast<std::uint32_t>(sector + i));
    const auto run = [&] {
      return disk.target->Execute(command.cdb.data(), command.cdbLength, command.direction, data + i * kSectorBytes,
                                  command.dataLength);
    };
    sim::TargetAnswer answer = run();
    if (answer.status != sim::kStatusGood && disk.target->Sense()[2] == sense_key::kUnitAttention) answer = run();
    if (answer.status != sim::kStatusGood) return false;
  }
  return true;
}

long FakeSgSystem::ReadAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  if (realDescriptors.count(fd)) return real.ReadAt(fd, buffer, length, offset);
  Descriptor* descriptor = DescriptorOf(fd, "pread");
  if (descriptor == nullptr) return -EBADF;
  DiskModel& disk = disks.at(descriptor->disk);
  if (!disk.present) return -ENODEV;
  if ((descriptor->flags & O_ACCMODE) == O_WRONLY) return -EBADF;
  if (offset % kSectorBytes != 0 || length % kSectorBytes != 0 || descriptor->partition != 0) {
    misuse.push_back("a block read the model does not take (unaligned, or on a partition)");
    return -EINVAL;
  }
  const std::uint64_t size = DiskBytesCount(disk);
  if (offset >= size) return 0;
  const std::size_t moved = static_cast<std::size_t>(std::min<std::uint64_t>(length, size - offset));
  if (!TransferSectors(disk, false, offset / kSectorBytes, static_cast<std::uint32_t>(moved / kSectorBytes),
                       static_cast<std::uint8_t*>(buffer))) {
    return -EIO;
  }
  return static_cast<long>(moved);
}

long FakeSgSystem::WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) {
  if (realDescriptors.count(fd)) return real.WriteAt(fd, buffer, length, offset);
  Descriptor* descriptor = DescriptorOf(fd, "pwrite");
  if (descriptor == nullptr) return -EBADF;
  DiskModel& disk = disks.at(descriptor->disk);
  if (!disk.present) return -ENODEV;
  if ((descriptor->flags & O_ACCMODE) == O_RDONLY) return -EBADF;
  if (offset % kSectorBytes != 0 || length % kSectorBytes != 0 || descriptor->partition != 0) {
    misuse.push_back("a block write the model does not take (unaligned, or on a partition)");
    return -EINVAL;
  }
  if (offset + length > DiskBytesCount(disk)) return -ENOSPC;
  std::vector<std::uint8_t> copy(static_cast<const std::uint8_t*>(buffer),
                                 static_cast<const std::uint8_t*>(buffer) + length);
  if (!TransferSectors(disk, true, offset / kSectorBytes, static_cast<std::uint32_t>(length / kSectorBytes),
                       copy.data())) {
    return -EIO;
  }
  return static_cast<long>(length);
}

int FakeSgSystem::Sync(int fd) {
  if (realDescriptors.count(fd)) return real.Sync(fd);
  Descriptor* descriptor = DescriptorOf(fd, "fsync");
  if (descriptor == nullptr) return -EBADF;
  return disks.at(descriptor->disk).present ? 0 : -ENODEV;
}

// --- Device controls --------------------------------------------------------------------------

int FakeSgSystem::Ioctl(int fd, unsigned long request, void* argument) {
  if (realDescriptors.count(fd)) return real.Ioctl(fd, request, argument);
  Descriptor* descriptor = DescriptorOf(fd, "ioctl");
  if (descriptor == nullptr) return -EBADF;
  DiskModel& disk = disks.at(descriptor->disk);
  if (request == sgio::kSgIo) {
    if (argument == nullptr) return -EFAULT;
    return SgIo(*descriptor, disk, *static_cast<sg_io_hdr*>(argument));
  }
  if (!disk.present) return -ENXIO;  // the block device of an unplugged reader
  if (request == BLKGETSIZE64) {
    if (argument == nullptr) return -EFAULT;
    *static_cast<std::uint64_t*>(argument) = DiskBytesCount(disk);
    return 0;
  }
  if (request == BLKFLSBUF) return 0;  // nothing cached in the model
  if (request == BLKRRPART) {
    if (descriptor->partition != 0) return -EINVAL;
    ++disk.rereads;
    return Mounted(disk) ? -EBUSY : 0;
  }
  return -ENOTTY;
}

bool FakeSgSystem::CommandAllowed(const std::uint8_t* cdb, const Descriptor& descriptor) const {
  if (rawIo) return true;
  switch (cdb[0]) {
    case opcode::kInquiry:
    case opcode::kRead10:
    case kTestUnitReady:
    case kReadCapacity:
    case kModeSense6:
      return true;
    case opcode::kWrite10:
      return (descriptor.flags & O_ACCMODE) != O_RDONLY;
    default:
      return false;
  }
}

int FakeSgSystem::SgIo(Descriptor& descriptor, DiskModel& disk, sg_io_hdr& header) {
  SgCall call;
  call.device = disk.name;
  if (header.cmdp != nullptr && header.cmd_len <= sgio::kMaxCdbLength) {
    call.cdb.assign(header.cmdp, header.cmdp + header.cmd_len);
  }
  const auto finish = [&](int result) {
    call.header = header;
    call.result = result;
    sgCalls.push_back(call);
    return result;
  };
  if (header.mx_sb_len != 0 && header.sbp == nullptr) misuse.push_back("SG_IO with a sense length but no buffer");
  if (header.mx_sb_len == 0) misuse.push_back("SG_IO without room for sense data");
  if (header.iovec_count != 0) misuse.push_back("SG_IO with a scatter list, which the model does not take");

  if (descriptor.partition != 0) return finish(-ENOTTY);  // no SCSI commands through a partition
  if (!disk.present) return finish(-ENODEV);
  if (header.interface_id != sgio::kInterfaceId) return finish(-EINVAL);
  if (header.dxfer_len > kMaxTransferBytes) return finish(-EIO);
  if (header.dxfer_len != 0 && header.dxfer_direction != SG_DXFER_TO_DEV &&
      header.dxfer_direction != SG_DXFER_FROM_DEV && header.dxfer_direction != SG_DXFER_TO_FROM_DEV) {
    return finish(-EINVAL);
  }
  if (header.cmd_len > sgio::kMaxCdbLength) return finish(-EINVAL);
  if (header.cmd_len < 6) return finish(-EMSGSIZE);
  if (header.cmdp == nullptr) return finish(-EFAULT);
  if (!CommandAllowed(header.cmdp, descriptor)) return finish(-EPERM);
  if (header.dxfer_len != 0 && header.dxferp == nullptr) return finish(-EFAULT);

  call.reachedDevice = true;
  std::vector<std::uint8_t> sense;
  const sim::TargetAnswer answer = Execute(disk, header, sense);
  header.status = answer.status;
  header.masked_status = header.status == sgio::kStatusCheckCondition ? kMaskedCheckCondition : 0;
  header.msg_status = 0;
  header.host_status = 0;
  header.driver_status = sense.empty() ? 0 : sgio::kDriverSense;
  header.resid = static_cast<int>(header.dxfer_len - answer.transferred);
  header.duration = kCommandDurationMs;
  const std::size_t senseLength = std::min<std::size_t>(sense.size(), header.mx_sb_len);
  if (senseLength != 0 && header.sbp != nullptr) std::memcpy(header.sbp, sense.data(), senseLength);
  header.sb_len_wr = static_cast<unsigned char>(header.sbp != nullptr ? senseLength : 0);
  header.info = header.status == sgio::kStatusGood ? SG_INFO_OK : SG_INFO_CHECK;

  if (disk.unplugAfter > 0 && --disk.unplugAfter == 0) {
    disk.present = false;
    RemoveSysfs(disk);
  }
  return finish(0);
}

sim::TargetAnswer FakeSgSystem::Execute(DiskModel& disk, sg_io_hdr& header, std::vector<std::uint8_t>& sense) {
  if (disk.kind != Kind::Reader) return ExecuteOnMemoryDisk(disk, header, sense);
  const DataDirection direction =
      header.dxfer_len != 0 ? sgio::DirectionOfDxfer(header.dxfer_direction) : DataDirection::None;
  const sim::TargetAnswer answer = disk.target->Execute(header.cmdp, header.cmd_len, direction,
                                                        static_cast<std::uint8_t*>(header.dxferp), header.dxfer_len);
  sense = disk.target->Sense();
  return answer;
}

sim::TargetAnswer FakeSgSystem::ExecuteOnMemoryDisk(DiskModel& disk, const sg_io_hdr& header,
                                                    std::vector<std::uint8_t>& sense) {
  const std::uint8_t* cdb = header.cmdp;
  auto* data = static_cast<std::uint8_t*>(header.dxferp);
  if (cdb[0] == opcode::kInquiry && header.dxfer_direction == SG_DXFER_FROM_DEV) {
    std::uint8_t reply[kInquiryLength] = {};
    reply[4] = kInquiryLength - 5;
    PutPadded(reply + kInquiryVendor, disk.vendor, kInquiryProduct - kInquiryVendor);
    PutPadded(reply + kInquiryProduct, disk.product, 16);
    const auto moved = static_cast<std::uint32_t>(std::min<std::size_t>(header.dxfer_len, kInquiryLength));
    std::memcpy(data, reply, moved);
    return sim::TargetAnswer{sim::kStatusGood, moved};
  }
  const bool read = cdb[0] == opcode::kRead10 && header.dxfer_direction == SG_DXFER_FROM_DEV;
  const bool write = cdb[0] == opcode::kWrite10 && header.dxfer_direction == SG_DXFER_TO_DEV;
  if ((read || write) && header.cmd_len >= kRead10Length) {
    const std::uint32_t count = LoadBe16(cdb + cdb::kLbaCount);
    if (header.dxfer_len == count * kSectorBytes &&
        TransferSectors(disk, write, LoadBe32(cdb + cdb::kLbaSector), count, data)) {
      return sim::TargetAnswer{sim::kStatusGood, header.dxfer_len};
    }
    sense = sim::FixedSense(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb);
    return sim::TargetAnswer{sim::kStatusCheckCondition, 0};
  }
  sense = sim::FixedSense(sense_key::kIllegalRequest, asc::kInvalidOpcode);
  return sim::TargetAnswer{sim::kStatusCheckCondition, 0};
}
