// smformat on Linux: readers are SCSI disks behind USB devices, reached with
// SG_IO on their disk node; the logical format uses plain block I/O.
#include <fcntl.h>
#include <linux/fs.h>

#include <cerrno>
#include <memory>
#include <ostream>
#include <sstream>

#include "app/cli/detail_host.h"
#include "app/cli/logical_format.h"
#include "app/cli/real_readers.h"
#include "app/cli/restore_step.h"
#include "app/cli/terminal_host.h"
#include "app/cli/trace_file.h"
#include "app/job/format_job.h"
#include "transport/sgio/sg_discovery.h"
#include "transport/sgio/sg_reader.h"
#include "transport/sgio/sg_trace.h"

const char* const kDeviceExample = "/dev/sdc";

namespace {

// The format holds the reader's disk node exclusively: the kernel then
// refuses it to every other program, and refuses it to us while any of its
// partitions is mounted. Non-blocking, so that a reader without a card opens.
constexpr int kOpenForFormat = O_RDWR | O_EXCL | O_NONBLOCK;
// A check or a dump holds it exclusively too, so that nothing changes the
// card while it is read, but only for reading: a write-protected card,
// which the kernel holds read-only, opens as well.
constexpr int kOpenForReading = O_RDONLY | O_EXCL | O_NONBLOCK;
constexpr int kOpenImage = O_RDWR;
constexpr std::uint64_t kSectorBytes = 512;

SgSystem& BaseSystem(CliContext& context) { return context.sgSystem != nullptr ? *context.sgSystem : SystemSgSystem(); }

// A trace never goes onto a disk: the target, or any other.
TraceGuard GuardOf(const RealReaderOptions& options, CliContext& context) {
  SgSystem& system = BaseSystem(context);
  return TraceGuard{options.target,
                    [&system](const std::string& path) { return system.Status(path).kind == NodeStatus::Kind::Block; }};
}

// The system the command reaches, traced when asked.
class Session : public TracedSystem<SgSystem, TracingSgSystem> {
 public:
  Session(const RealReaderOptions& options, CliContext& context)
      : TracedSystem(options.tracePath, options.arguments, GuardOf(options, context), BaseSystem(context),
                     context.err) {}
  SgSystem& System() { return Get(); }
};

std::string AsRoot(const RealReaderOptions& options) {
  std::string command = "sudo smformat";
  for (const std::string& argument : options.arguments) command += " " + argument;
  return command;
}

std::string PermissionAdvice(const RealReaderOptions& options) {
  return "A format, --check and --dump send the reader vendor commands, which Linux allows only to root (the "
         "CAP_SYS_RAWIO capability). Run: " +
         AsRoot(options);
}

std::string DiskName(const sgio::Disk& disk) {
  std::string name = disk.vendor;
  if (!disk.model.empty()) name += (name.empty() ? "" : " ") + disk.model;
  return name.empty() ? "unnamed disk" : name;
}

std::string UsbIdOf(const sgio::Disk& disk) { return "USB " + sgio::UsbIdShort(disk.usbVendor, disk.usbProduct); }

// --- --list ----------------------------------------------------------------------------------

std::string ReportLine(const sgio::ReaderReport& r, const RealReaderOptions& options) {
  std::ostringstream line;
  line << r.disk.devicePath << "  " << sgio::UsbIdShort(r.disk.usbVendor, r.disk.usbProduct) << "  ";
  switch (r.verdict) {
    case sgio::ReaderVerdict::UnsupportedUsbId:
      line << DiskName(r.disk) << "  unsupported: its USB identifier is not one of the supported readers";
      return line.str();
    case sgio::ReaderVerdict::CannotOpen:
      line << DiskName(r.disk) << "  cannot open: " << ErrorText(r.openError);
      if (r.openError == EACCES || r.openError == EPERM) line << " (run as root: " << AsRoot(options) << ")";
      return line.str();
    case sgio::ReaderVerdict::Probed:
      break;
  }
  const ProbeResult& p = r.probe;
  line << (p.inquiryText.empty() ? DiskName(r.disk) : p.inquiryText) << "  ";
  switch (p.verdict) {
    case ProbeVerdict::InquiryFailed:
      line << "unsupported: it does not answer INQUIRY";
      break;
    case ProbeVerdict::UnsupportedInquiry:
      line << "unsupported: its INQUIRY names another device";
      break;
    case ProbeVerdict::NotPermitted:
      line << "card unknown: the system refused the reader's commands (run as root: " << AsRoot(options) << ")";
      break;
    case ProbeVerdict::CardTypeFailed:
      line << "card unknown: the reader did not report its card";
      break;
    case ProbeVerdict::NoCard:
      line << "no card";
      break;
    case ProbeVerdict::MediaInfoFailed:
      line << "card unreadable: the reader did not report its geometry";
      break;
    case ProbeVerdict::Card:
      line << CardSizeText(r.geometry, r.capacityKey) << ", "
           << (!p.stateRead       ? "write-protect state unknown"
               : p.writeProtected ? "write-protected"
                                  : "writable");
      break;
  }
  return line.str();
}

// --- The format on a reader --------------------------------------------------------------------

// Refuses a disk that is not a supported reader, or that is mounted;
// returns the refusal, or empty when the disk may be opened.
std::string DiskRefusal(SgSystem& system, const sgio::Disk& disk, CReaderDevice& ids) {
  if (!disk.usb) {
    return disk.devicePath + " (" + DiskName(disk) + ") is not behind USB, so it is no card reader; nothing was done";
  }
  if (!sgio::IsSupportedUsbId(ids, disk.usbVendor, disk.usbProduct)) {
    return disk.devicePath + " (" + UsbIdOf(disk) + ", " + DiskName(disk) +
           ") is not a supported SmartMedia reader; nothing was sent to it. 'smformat --logical " + disk.devicePath +
           "' lays the SmartMedia file system on a card in any reader";
  }
  std::string mounted;
  for (const sgio::Mount& mount : sgio::MountsOn(system, disk)) {
    if (!mounted.empty()) mounted += "; ";
    mounted += (mount.source.empty() ? disk.devicePath : mount.source) + " is mounted on " + mount.mountPoint;
  }
  if (!mounted.empty()) return mounted + ". Unmount it first (umount DIR), then try again";
  return {};
}

std::string OpenRefusal(const std::string& path, int error, const RealReaderOptions& options) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "cannot open " + path + ": " + ErrorText(error) + ". " + PermissionAdvice(options);
    case EBUSY:
      return path +
             " is busy: another program holds it (a mounted partition, a partitioning tool, a file manager). "
             "Close it and try again";
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return path + " is gone: the reader was unplugged";
    default:
      return "cannot open " + path + ": " + ErrorText(error);
  }
}

std::string ProbeRefusal(const std::string& path, const ProbeResult& probe, const CSgReader& reader,
                         const RealReaderOptions& options) {
  const bool gone = reader.LastFault() == sgio::Fault::DeviceGone;
  switch (probe.verdict) {
    case ProbeVerdict::InquiryFailed:
      return gone ? path + " is gone: the reader was unplugged" : path + " does not answer INQUIRY";
    case ProbeVerdict::UnsupportedInquiry:
      return path + " answers INQUIRY as \"" + probe.inquiryText +
             "\", not as a supported reader; nothing else was sent to it";
    case ProbeVerdict::NotPermitted:
      return "the system refused the reader's vendor commands on " + path + ". " + PermissionAdvice(options);
    case ProbeVerdict::CardTypeFailed:
      return gone ? path + " is gone: the reader was unplugged" : path + " did not report the card in its slot";
    case ProbeVerdict::NoCard:
      return "no SmartMedia card in the reader " + path + ". Insert the card and try again";
    case ProbeVerdict::MediaInfoFailed:
    case ProbeVerdict::Card:
      break;
  }
  return {};
}

// What went wrong during a failed format, beyond the engine's own message.
void ExplainFailure(const CSgReader& reader, const RealReaderOptions& options, CliContext& context) {
  if (reader.CardGone()) return;  // the format ended on it and said so
  if (reader.Met(sgio::Fault::DeviceGone)) {
    Refuse(context, "the reader was unplugged during the format; plug it in again and format the card again");
  } else if (reader.Met(sgio::Fault::NoMedium)) {
    Refuse(context, "the card was taken out of the reader during the format; put it back and format it again");
  } else if (reader.Met(sgio::Fault::NotPermitted)) {
    Refuse(context, "the system refused the reader's commands. " + PermissionAdvice(options));
  } else if (reader.Met(sgio::Fault::WriteProtected)) {
    Refuse(context, "the card is write-protected; slide its tab back and format it again");
  }
}

// The kernel reads the card's partition table anew, so that the new volume
// (or, after a failed format, no stale one) shows. Only a card that holds
// the new volume is promised to show it later.
void RereadPartitions(SgSystem& system, int fd, const std::string& path, bool formatted, CliContext& context) {
  const int result = system.Ioctl(fd, BLKRRPART, nullptr);
  if (result < 0 && formatted) {
    Refuse(context, "the kernel could not re-read the partition table of " + path + " (" + ErrorText(-result) +
                        "); the new volume shows when the card is next inserted");
  }
}

// The kernel holds the disk read-only: a read-write open would only say
// "Read-only file system". The reader is asked for the card's state on a
// read-only descriptor instead, so that a write-protected card gets its own
// message.
int RefuseReadOnlyDisk(SgSystem& system, const sgio::Disk& disk, CSgReader& reader, FormatHost& host,
                       const RealReaderOptions& options, CliContext& context) {
  const int fd = sgio::OpenForProbe(system, disk.devicePath);
  if (fd < 0) return Refuse(context, OpenRefusal(disk.devicePath, -fd, options));
  reader.Attach(fd, disk.devicePath);
  const ProbeResult probe = reader.Probe(false);
  if (probe.verdict != ProbeVerdict::Card) {
    const std::string refusal = ProbeRefusal(disk.devicePath, probe, reader, options);
    return Refuse(context, refusal.empty() ? disk.devicePath + ": the reader did not report its card" : refusal);
  }
  if (RefuseWriteProtectedCard(reader, host)) return kExitFailure;
  return Refuse(context, "the kernel holds " + disk.devicePath +
                             " read-only, although the card is not write-protected. Run: blockdev --setrw " +
                             disk.devicePath);
}

// The probe found a card, or its refusal is said: "Read media information
// fail!" as the Windows program says it, or why the reader is of no use.
constexpr int kCardFound = -1;

int RefuseAllButACard(const ProbeResult& probe, const CSgReader& reader, FormatHost& terminal,
                      const RealReaderOptions& options, CliContext& context) {
  if (probe.verdict == ProbeVerdict::MediaInfoFailed) {
    terminal.ShowMessage("Read media information fail!", "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                         MessageOwner::None);
    return kExitFailure;
  }
  if (probe.verdict != ProbeVerdict::Card) {
    return Refuse(context, ProbeRefusal(reader.DevicePath(), probe, reader, options));
  }
  return kCardFound;
}

int FormatDisk(Session& session, const sgio::Disk& disk, const RealReaderOptions& options, CliContext& context) {
  SgSystem& system = session.System();
  TerminalHost terminal(TerminalIo{context.err, context.in, context.errIsTerminal, context.sleep}, options.assumeYes);
  CSgReader reader(terminal, system);
  const std::string refusal = DiskRefusal(system, disk, reader);
  if (!refusal.empty()) return Refuse(context, refusal);

  const int fd = disk.readOnly ? -EROFS : system.Open(disk.devicePath, kOpenForFormat);
  if (fd == -EROFS) return RefuseReadOnlyDisk(system, disk, reader, terminal, options, context);
  if (fd < 0) return Refuse(context, OpenRefusal(disk.devicePath, -fd, options));
  reader.Attach(fd, disk.devicePath);
  const ProbeResult probe = reader.Probe(false);
  if (const int refused = RefuseAllButACard(probe, reader, terminal, options, context); refused != kCardFound) {
    return refused;
  }

  std::unique_ptr<RestoreStep> restore;
  if (options.restorePath) {
    restore = std::make_unique<RestoreStep>(*options.restorePath, reader.geometry, context);
    if (!restore->Refusal().empty()) return Refuse(context, restore->Refusal());
    restore->Announce("After the format, the file system of " + *options.restorePath + " goes back onto the card:");
  }
  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  DetailHost host(
      terminal, context.err,
      "Device: " + disk.devicePath + ", " + probe.inquiryText + " (" + UsbIdOf(disk) + "), " +
          CardSizeText(reader.geometry, key),
      [&session] { session.StartTrace(); }, [&reader] { return CardFilesNotice(reader); });
  // The reader's messages go through the detail host too (it passes them on).
  context.stopFlag.store(0);
  JobDesktop desktop;
  const JobOutcome outcome = FormatJob(reader, host, desktop, context.stopFlag);
  int status = outcome == JobOutcome::Completed ? kExitSuccess : kExitFailure;
  if (restore && outcome == JobOutcome::Completed) status = restore->Run(reader, host);
  const bool erased =
      outcome == JobOutcome::Completed || outcome == JobOutcome::Failed || outcome == JobOutcome::Stopped;
  if (erased && !reader.Met(sgio::Fault::DeviceGone)) {
    // What the kernel cached of the card before is stale.
    if (restore) system.Ioctl(fd, BLKFLSBUF, nullptr);
    RereadPartitions(system, fd, disk.devicePath, outcome == JobOutcome::Completed, context);
  }
  if (outcome == JobOutcome::Failed) ExplainFailure(reader, options, context);
  if (outcome == JobOutcome::Stopped) Refuse(context, "stopped; the card is partly erased (format it again)");
  reader.Close();
  return status;
}

// --check and --dump: the reader's disk opened for reading; only the probes
// and the commands that read reach it.
int ReadDisk(Session& session, const sgio::Disk& disk, const RealReaderOptions& options, CliContext& context) {
  SgSystem& system = session.System();
  TerminalHost terminal(TerminalIo{context.err, context.in, context.errIsTerminal, context.sleep}, false);
  CSgReader reader(terminal, system);
  const std::string refusal = DiskRefusal(system, disk, reader);
  if (!refusal.empty()) return Refuse(context, refusal);
  const int fd = system.Open(disk.devicePath, kOpenForReading);
  if (fd < 0) return Refuse(context, OpenRefusal(disk.devicePath, -fd, options));
  reader.Attach(fd, disk.devicePath);
  const ProbeResult probe = reader.Probe(false);
  if (const int refused = RefuseAllButACard(probe, reader, terminal, options, context); refused != kCardFound) {
    return refused;
  }
  session.StartTrace();
  const int status = ReadCardIn(reader, disk.devicePath + ", " + probe.inquiryText + " (" + UsbIdOf(disk) + ")",
                                *options.read, context);
  reader.Close();
  return status;
}

// The dump goes into a file, never onto a disk: the card's, or another.
std::string DumpOnADisk(SgSystem& system, const RealReaderOptions& options) {
  const std::string& out = *options.read->dumpPath;
  if (system.Status(out).kind != NodeStatus::Kind::Block) return "";
  return out + " is a disk; the dump goes into a file (a card image), never onto a disk";
}

// --- The logical format ------------------------------------------------------------------------

class SgBlockTarget : public BlockTarget {
 public:
  SgBlockTarget(SgSystem& system, int fd, std::uint64_t sectors, bool blockDevice)
      : system(system), fd(fd), sectors(sectors), blockDevice(blockDevice) {}
  ~SgBlockTarget() override { system.Close(fd); }

  std::uint64_t Sectors() const override { return sectors; }
  bool Read(std::uint64_t sector, std::uint32_t count, std::uint8_t* data) override {
    return Done(system.ReadAt(fd, data, count * kSectorBytes, sector * kSectorBytes), count);
  }
  bool Write(std::uint64_t sector, std::uint32_t count, const std::uint8_t* data) override {
    return Done(system.WriteAt(fd, data, count * kSectorBytes, sector * kSectorBytes), count);
  }
  bool Flush() override {
    const int result = system.Sync(fd);
    if (result < 0) error = ErrorText(-result);
    return result == 0;
  }
  // The read-back then comes from the card, not from the kernel's cache
  // (this needs CAP_SYS_ADMIN; without it the read-back checks the cache).
  bool DropCache() override { return blockDevice && system.Ioctl(fd, BLKFLSBUF, nullptr) == 0; }
  std::string LastError() const override { return error; }
  int Descriptor() const { return fd; }

 private:
  bool Done(long result, std::uint32_t count) {
    if (result < 0) {
      error = ErrorText(static_cast<int>(-result));
      return false;
    }
    if (static_cast<std::uint64_t>(result) != count * kSectorBytes) {
      error = "short transfer";
      return false;
    }
    return true;
  }

  SgSystem& system;
  int fd;
  std::uint64_t sectors;
  bool blockDevice;
  std::string error;
};

struct OpenedTarget {
  std::unique_ptr<SgBlockTarget> target;
  bool blockDevice = false;
  std::string refusal;
};

OpenedTarget OpenLogicalTarget(SgSystem& system, const std::string& path, const RealReaderOptions& options) {
  OpenedTarget opened;
  const NodeStatus status = system.Status(path);
  std::uint64_t sectors = 0;
  switch (status.kind) {
    case NodeStatus::Kind::Missing:
      opened.refusal = path + ": " + ErrorText(status.error);
      return opened;
    case NodeStatus::Kind::Regular:
      if (status.size % kSectorBytes != 0) {
        opened.refusal = path + " is " + std::to_string(status.size) + " bytes, not a whole number of sectors";
        return opened;
      }
      sectors = status.size / kSectorBytes;
      break;
    case NodeStatus::Kind::Block: {
      opened.blockDevice = true;
      const sgio::NodeLookup lookup = sgio::FindDiskOfNode(system, path);
      if (!lookup.disk) {
        opened.refusal = path + ": " + lookup.error;
        return opened;
      }
      if (lookup.partition) {
        opened.refusal = path + " is a partition; give the whole card, " + lookup.disk->devicePath;
        return opened;
      }
      std::string mounted;
      for (const sgio::Mount& mount : sgio::MountsOn(system, *lookup.disk)) {
        if (!mounted.empty()) mounted += "; ";
        mounted += (mount.source.empty() ? path : mount.source) + " is mounted on " + mount.mountPoint;
      }
      if (!mounted.empty()) {
        opened.refusal = mounted + ". Unmount it first (umount DIR), then format";
        return opened;
      }
      break;
    }
    case NodeStatus::Kind::Directory:
    case NodeStatus::Kind::Other:
      opened.refusal = path + " is neither a block device nor an image file";
      return opened;
  }
  const int fd = system.Open(path, opened.blockDevice ? kOpenForFormat : kOpenImage);
  if (fd < 0) {
    opened.refusal = OpenRefusal(path, -fd, options);
    // A file that even root may not write is immutable or append-only: no
    // sudo helps there.
    if (-fd == EPERM && !opened.blockDevice) {
      opened.refusal = "cannot open " + path + ": " + ErrorText(EPERM) + ". The file is immutable or append-only " +
                       "('lsattr " + path + "' shows it, 'chattr -i -a " + path + "' clears it)";
    } else if (-fd == EACCES || -fd == EPERM) {
      opened.refusal = "cannot open " + path + ": " + ErrorText(-fd) + ". Run: " + AsRoot(options);
    }
    return opened;
  }
  if (opened.blockDevice) {
    std::uint64_t bytes = 0;
    const int result = system.Ioctl(fd, BLKGETSIZE64, &bytes);
    if (result < 0) {
      system.Close(fd);
      opened.refusal = "cannot read the size of " + path + ": " + ErrorText(-result);
      return opened;
    }
    sectors = bytes / kSectorBytes;
  }
  opened.target = std::make_unique<SgBlockTarget>(system, fd, sectors, opened.blockDevice);
  return opened;
}

}  // namespace

int ListReaders(const RealReaderOptions& options, CliContext& context) {
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  session.StartTrace();
  TerminalHost terminal(TerminalIo{context.err, context.in, context.errIsTerminal, context.sleep}, false);
  QuietHost quiet(terminal);
  const std::vector<sgio::ReaderReport> reports = sgio::SurveyUsbDisks(session.System(), quiet);
  if (reports.empty()) {
    context.out << "No USB disk found: no card reader is plugged in.\n";
    return kExitSuccess;
  }
  for (const sgio::ReaderReport& report : reports) context.out << ReportLine(report, options) << "\n";
  return kExitSuccess;
}

int FormatReader(const RealReaderOptions& options, CliContext& context) {
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  SgSystem& system = session.System();
  if (options.target) {
    const sgio::NodeLookup lookup = sgio::FindDiskOfNode(system, *options.target);
    if (!lookup.disk) return Refuse(context, *options.target + ": " + lookup.error);
    if (lookup.partition) {
      return Refuse(context,
                    *options.target + " is a partition; give the reader's whole disk, " + lookup.disk->devicePath);
    }
    return FormatDisk(session, *lookup.disk, options, context);
  }

  // No device named: the one supported reader that holds a card, as the
  // Windows program finds it.
  TerminalHost terminal(TerminalIo{context.err, context.in, context.errIsTerminal, context.sleep}, false);
  QuietHost quiet(terminal);
  std::vector<sgio::ReaderReport> withCard;
  std::string hint;
  for (const sgio::ReaderReport& report : sgio::SurveyUsbDisks(system, quiet)) {
    if (report.HoldsCard()) {
      withCard.push_back(report);
    } else if (report.verdict == sgio::ReaderVerdict::CannotOpen ||
               report.probe.verdict == ProbeVerdict::NotPermitted) {
      hint = report.disk.devicePath + " may be a reader, but the system did not let us ask it. " +
             PermissionAdvice(options);
    } else if (report.Supported() && report.probe.verdict == ProbeVerdict::NoCard && hint.empty()) {
      hint = "no SmartMedia card in the reader " + report.disk.devicePath + ". Insert the card and try again";
    }
  }
  if (withCard.empty()) {
    return Refuse(context,
                  hint.empty() ? "no supported SmartMedia reader found ('smformat --list' shows the USB disks)" : hint);
  }
  if (withCard.size() > 1) {
    terminal.ShowMessage("Please make sure only one usb storage device is plug ing!", "Error",
                         MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::None);
    std::string names;
    for (const auto& report : withCard) names += " " + report.disk.devicePath;
    return Refuse(context, "readers with a card:" + names + ". Name the one to format: smformat DEVICE");
  }
  return FormatDisk(session, withCard[0].disk, options, context);
}

int ReadCard(const RealReaderOptions& options, CliContext& context) {
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  SgSystem& system = session.System();
  if (options.read->dumpPath) {
    const std::string refusal = DumpOutRefusal(options, DumpOnADisk(system, options));
    if (!refusal.empty()) return Refuse(context, refusal);
  }
  const sgio::NodeLookup lookup = sgio::FindDiskOfNode(system, *options.target);
  if (!lookup.disk) return Refuse(context, *options.target + ": " + lookup.error);
  if (lookup.partition) {
    return Refuse(context,
                  *options.target + " is a partition; give the reader's whole disk, " + lookup.disk->devicePath);
  }
  return ReadDisk(session, *lookup.disk, options, context);
}

int FormatLogical(const RealReaderOptions& options, CliContext& context) {
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  SgSystem& system = session.System();
  const std::string& path = *options.target;
  OpenedTarget opened = OpenLogicalTarget(system, path, options);
  if (!opened.target) return Refuse(context, opened.refusal);
  const std::string fault = LogicalSizeFault(opened.target->Sectors());
  if (!fault.empty()) {
    return Refuse(context, path + " cannot take the SmartMedia format: " + fault);
  }
  const auto sectors = static_cast<std::uint32_t>(opened.target->Sectors());
  TerminalHost terminal(TerminalIo{context.err, context.in, context.errIsTerminal, context.sleep}, options.assumeYes);
  DetailHost host(terminal, context.err, "Target: " + path + ", " + LogicalLayoutText(sectors),
                  [&session] { session.StartTrace(); });
  if (host.ShowMessage(kConfirmText, "Warning", MessageStyle{MessageButtons::YesNo, MessageIcon::Warning},
                       MessageOwner::Dialog) != MessageAnswer::Yes) {
    return kExitFailure;
  }
  CBlockTargetReader reader(host, *opened.target);
  char found = 0;
  reader.FindDevice(found);
  const bool written = WriteLogicalFormat(reader, host);
  if (written) {
    host.ShowMessage("Format Complete!", "Information", MessageStyle{MessageButtons::Ok, MessageIcon::Information},
                     MessageOwner::Dialog);
  }
  if (opened.blockDevice) RereadPartitions(system, opened.target->Descriptor(), path, written, context);
  return written ? kExitSuccess : kExitFailure;
}
