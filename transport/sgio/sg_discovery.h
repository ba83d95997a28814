// Finding card readers on Linux: the disks the kernel knows (sysfs), which of
// them sit behind a USB device and with which USB identifiers, their
// partitions, and where any of them is mounted (/proc/self/mountinfo).
//
// A reader is supported when its USB vendor and product identifiers are in
// the supported-device list and it answers INQUIRY as "Generic STORAGE
// DEVICE"; only then does it get a vendor command. A USB disk whose
// identifiers are not in the list gets no command at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/reader_device.h"
#include "transport/sgio/sg_reader.h"
#include "transport/sgio/sg_system.h"

namespace sgio {

struct BlockNode {
  std::string name;  // "sdc1"
  unsigned major = 0;
  unsigned minor = 0;
  bool operator==(const BlockNode& o) const { return major == o.major && minor == o.minor; }
};

// A whole disk of the kernel (a directory of /sys/block).
struct Disk {
  BlockNode node;
  std::string devicePath;  // "/dev/sdc"
  bool usb = false;        // behind a USB device
  std::uint16_t usbVendor = 0;
  std::uint16_t usbProduct = 0;
  std::string vendor;  // the kernel's record of the device's own INQUIRY
  std::string model;
  std::uint64_t sectors = 0;  // 512-byte sectors of the medium, 0 with no medium
  bool removable = false;
  // The kernel holds the disk read-only: sd sets this from the write-protect
  // bit the reader reports (MODE SENSE), and then refuses a read-write open.
  bool readOnly = false;
  std::vector<BlockNode> partitions;
};

// Every whole disk in /sys/block, in name order.
std::vector<Disk> ListDisks(SgSystem& system);

// "VID_1D6B&PID_5301", the form of the supported-device list.
std::string UsbIdText(std::uint16_t vendor, std::uint16_t product);
// "1d6b:5301", the form the system's tools print.
std::string UsbIdShort(std::uint16_t vendor, std::uint16_t product);
bool IsSupportedUsbId(const CReaderDevice& reader, std::uint16_t vendor, std::uint16_t product);

// One line of /proc/self/mountinfo.
struct Mount {
  unsigned major = 0;
  unsigned minor = 0;
  std::string mountPoint;
  std::string source;  // "/dev/sdc1", as the mount names it
};
std::vector<Mount> ParseMountInfo(const std::string& text);
// Mounts of the disk itself or of any of its partitions.
std::vector<Mount> MountsOn(SgSystem& system, const Disk& disk);

// The disk a device node belongs to.
struct NodeLookup {
  std::optional<Disk> disk;
  bool partition = false;  // the node is a partition of `disk`
  std::string error;       // why the path is not a disk the kernel lists
};
NodeLookup FindDiskOfNode(SgSystem& system, const std::string& path);

// What the tool found on one USB disk.
enum class ReaderVerdict : std::uint8_t {
  UnsupportedUsbId,  // nothing was sent
  CannotOpen,        // the node could not be opened (error)
  Probed,            // see probe
};

struct ReaderReport {
  Disk disk;
  ReaderVerdict verdict = ReaderVerdict::UnsupportedUsbId;
  int openError = 0;
  ProbeResult probe;
  MediaGeometry geometry;  // with a card
  std::uint32_t capacityKey = 0;

  bool Supported() const;  // USB identifiers and INQUIRY both pass
  bool HoldsCard() const { return verdict == ReaderVerdict::Probed && probe.verdict == ProbeVerdict::Card; }
};

// Opens a USB disk for the probes (read-only, without waiting for a medium).
int OpenForProbe(SgSystem& system, const std::string& devicePath);

// Looks at one disk: the identifier test, then (when it passes) the probes
// through a CSgReader on a descriptor of its own, closed afterwards.
ReaderReport ExamineDisk(SgSystem& system, FormatHost& host, const Disk& disk, bool readState);

// Every USB disk of the machine, examined.
std::vector<ReaderReport> SurveyUsbDisks(SgSystem& system, FormatHost& host);

}  // namespace sgio
