// A model of a Linux machine's disks, USB devices and mounts, standing in for
// the real SgSystem in tests.
//
// Disks are SCSI disks (/dev/sdX) of three kinds: a USB card reader driving a
// simulated reader, a USB disk of another maker (a memory stick, kept in
// memory), and a system disk on another bus. Each gets its sysfs entries
// (/sys/block/NAME linking to a device directory under /sys/devices, with a
// USB device directory carrying idVendor and idProduct above the readers
// and sticks), a device node, partitions and mounts (/proc/self/mountinfo).
//
// Each SG_IO request is checked as the kernel checks it (interface id,
// transfer size, direction against the data length, command length,
// pointers, and the command filter: without CAP_SYS_RAWIO only the standard
// read commands, and WRITE(10) on a descriptor open for writing, pass; the
// vendor commands get EPERM); a request that passes goes to the simulated
// reader, and a CHECK CONDITION comes back with sense data that says why.
// A reader that presents its card anew (the format-end command, a card put
// back) answers the next command with UNIT ATTENTION, medium changed, and
// does not run it, as SCSI devices do.
// Opening follows the kernel too: EACCES without permission, EBUSY for an
// exclusive open of a mounted or claimed disk, ENOMEDIUM for a reader with
// no card unless opened non-blocking, EROFS for a read-write open of a
// write-protected card (whose disk sysfs shows "ro" 1). Opening a reader
// sends it TEST UNIT READY, as sd does, which takes a pending UNIT ATTENTION.
// INQUIRY and REQUEST SENSE never meet a UNIT ATTENTION.
//
// Paths outside /dev, /sys and /proc are real files: they go to the real
// system, so tests can use image files in a temporary directory.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/reader.h"
#include "sim/reader_target.h"
#include "transport/sgio/sg_system.h"

class FakeSgSystem : public SgSystem {
 public:
  static constexpr std::uint32_t kMaxTransferBytes = 240 * 512;  // usb-storage's transfer limit
  static constexpr std::uint32_t kCommandDurationMs = 2;         // what every command is reported to take
  static constexpr int kFirstDescriptor = 1000;

  struct UsbId {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
  };

  // A supported reader's identifiers (the first of the built-in list).
  static constexpr UsbId kSupportedReader{0x1D6B, 0x5301};

  // A USB card reader on /dev/NAME driving `reader`. Its sysfs record of the
  // INQUIRY is the simulated reader's.
  void AddReader(const std::string& name, sim::Reader& reader, UsbId id = kSupportedReader);
  // A USB disk of another maker: `sectors` sectors in memory; it answers
  // INQUIRY with `vendor` and `product`, READ(10) and WRITE(10), and
  // nothing else.
  void AddUsbDisk(const std::string& name, UsbId id, const std::string& vendor, const std::string& product,
                  std::uint64_t sectors);
  // A disk on another bus: the machine's system disk.
  void AddSystemDisk(const std::string& name, std::uint64_t sectors);
  // Partition NUMBER of the disk: /dev/NAMEnumber.
  void AddPartition(const std::string& disk, int number);
  // Mounts /dev/NODE (a disk or a partition) on `mountPoint`.
  void Mount(const std::string& node, const std::string& mountPoint);

  // The caller's rights: opening the disk nodes (root, or the disk group)
  // and CAP_SYS_RAWIO. Both are granted until taken away.
  void SetCanOpenDisks(bool allowed) { canOpenDisks = allowed; }
  void SetRawIo(bool held) { rawIo = held; }
  // Another program holds the disk open exclusively.
  void HoldExclusively(const std::string& name);
  // The reader is unplugged after `requests` more SG_IO requests to it (0:
  // now): its node and sysfs entries go, and open descriptors get ENODEV.
  void UnplugAfter(const std::string& name, int requests);

  // --- Records ------------------------------------------------------------
  struct SgCall {
    std::string device;  // "sdb"
    sg_io_hdr header{};  // as the kernel saw it, with the fields it wrote back
    std::vector<std::uint8_t> cdb;
    int result = 0;  // 0, or -errno
    bool reachedDevice = false;
  };
  struct OpenCall {
    std::string path;
    int flags = 0;
    int result = 0;
  };
  const std::vector<SgCall>& SgCalls() const { return sgCalls; }
  std::vector<SgCall> SgCallsTo(const std::string& name) const;
  const std::vector<OpenCall>& Opens() const { return opens; }
  // Descriptors of modelled nodes still open.
  int OpenDescriptors() const;
  // Uses the kernel would reject as a program fault, or that a test should
  // never see: a descriptor used after close, a request without a sense
  // buffer, a transfer beyond the model.
  const std::vector<std::string>& Misuse() const { return misuse; }
  int PartitionRereads(const std::string& name) const;
  // A sector of a USB disk of another maker, or of a system disk (zero
  // until written).
  std::vector<std::uint8_t> DiskSector(const std::string& name, std::uint64_t sector) const;
  void ClearRecords();

  // --- SgSystem -------------------------------------------------------------
  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* argument) override;
  long ReadAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) override;
  long WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) override;
  int Sync(int fd) override;
  NodeStatus Status(const std::string& path) override;
  NodeStatus StatusOf(int fd) override;
  std::vector<std::string> ListDirectory(const std::string& path) override;
  std::optional<std::string> ReadText(const std::string& path) override;
  std::optional<std::string> ResolvePath(const std::string& path) override;

 private:
  enum class Kind : std::uint8_t { Reader, UsbDisk, SystemDisk };

  struct DiskModel {
    Kind kind = Kind::SystemDisk;
    std::string name;
    unsigned major = 8;
    unsigned minor = 0;
    sim::Reader* reader = nullptr;
    std::string vendor;
    std::string product;
    std::uint64_t sectors = 0;                                          // UsbDisk and SystemDisk
    std::map<std::uint64_t, std::vector<std::uint8_t>> writtenSectors;  // the rest read as zeros
    std::string sysfsDir;                                               // the block directory under /sys/devices
    std::vector<int> partitions;
    bool heldElsewhere = false;
    bool present = true;
    int unplugAfter = -1;                       // SG_IO requests until the unplug; -1 never
    std::shared_ptr<sim::ReaderTarget> target;  // the reader as its SCSI disk driver meets it
    int rereads = 0;
  };

  struct Descriptor {
    std::string disk;
    int partition = 0;  // 0: the whole disk
    int flags = 0;
    bool open = true;
  };

  DiskModel& AddDisk(const std::string& name, Kind kind);
  bool Revalidate(DiskModel& disk);
  DiskModel* DiskNamed(const std::string& name);
  // The disk and partition of a /dev path, if it is a modelled node.
  DiskModel* NodeOf(const std::string& path, int& partition);
  Descriptor* DescriptorOf(int fd, const char* call);
  std::uint64_t DiskBytesCount(const DiskModel& disk) const;
  bool Mounted(const DiskModel& disk) const;
  bool ClaimedExclusively(const DiskModel& disk) const;

  void WriteSysfs(DiskModel& disk);
  void PlaceBehindUsb(DiskModel& disk, int bus, UsbId id);
  void RemoveSysfs(const DiskModel& disk);
  void AddFile(const std::string& path, const std::string& text);
  void AddLink(const std::string& path, const std::string& target);
  std::optional<std::string> Resolve(const std::string& path) const;
  std::string MountInfo() const;

  int SgIo(Descriptor& descriptor, DiskModel& disk, sg_io_hdr& header);
  bool CommandAllowed(const std::uint8_t* cdb, const Descriptor& descriptor) const;
  sim::TargetAnswer Execute(DiskModel& disk, sg_io_hdr& header, std::vector<std::uint8_t>& sense);
  sim::TargetAnswer ExecuteOnMemoryDisk(DiskModel& disk, const sg_io_hdr& header, std::vector<std::uint8_t>& sense);
  bool TransferSectors(DiskModel& disk, bool write, std::uint64_t sector, std::uint32_t count, std::uint8_t* data);

  std::map<std::string, DiskModel> disks;
  std::vector<std::string> diskOrder;
  std::map<int, Descriptor> descriptors;
  std::set<int> realDescriptors;
  std::map<std::string, std::string> files;  // sysfs attributes
  std::map<std::string, std::string> links;  // symbolic links, to absolute targets
  std::set<std::string> directories;
  std::vector<std::pair<std::string, std::string>> mounts;  // node, mount point
  std::vector<SgCall> sgCalls;
  std::vector<OpenCall> opens;
  std::vector<std::string> misuse;
  int nextDescriptor = kFirstDescriptor;
  int nextUsbPort = 1;
  int nextHost = 0;
  bool canOpenDisks = true;
  bool rawIo = true;
  LinuxSgSystem real;
};
