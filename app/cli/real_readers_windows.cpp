// smformat.exe: readers are reached through the card's volume (E:) with SCSI
// pass-through requests, as the Windows program reaches them; the logical
// format writes image files.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>

#include "app/cli/detail_host.h"
#include "app/cli/format_ending.h"
#include "app/cli/logical_format.h"
#include "app/cli/real_readers.h"
#include "app/cli/restore_step.h"
#include "app/cli/terminal_host.h"
#include "app/cli/trace_file.h"
#include "app/job/format_job.h"
#include "transport/passthrough/pass_through_reader.h"
#include "transport/passthrough/pass_through_request.h"
#include "transport/win32/platform_version.h"

const char* const kDeviceExample = "E:";
const char* const kLogicalTargets = "an image file (a card in a reader: format it as DEVICE)";
const char* const kPlatformHelp =
    "DEVICE is the drive letter of the card in its reader. The reader must be a\n"
    "supported one (its USB identifier and INQUIRY are checked first; 'smformat\n"
    "--list' shows the drives, Device Manager the identifiers under the\n"
    "reader's Details, Hardware Ids). The reader's commands need an\n"
    "administrator: open the command prompt with \"Run as administrator\".\n"
    "Other programs are kept off the drive while it is formatted.\n";

namespace {

constexpr std::size_t kInquiryBufferSize = 48;
constexpr std::uint64_t kSectorBytes = 512;

// A VolumeApi that logs every pass-through request to a CommandTrace.
class TracingVolumeApi : public VolumeApi {
 public:
  TracingVolumeApi(VolumeApi& inner, CommandTrace& trace) : inner(inner), trace(trace) {}

  HANDLE Open(const char* path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flags) override {
    const HANDLE handle = inner.Open(path, access, shareMode, disposition, flags);
    const bool opened = handle != INVALID_HANDLE_VALUE;
    const DWORD error = opened ? 0 : ::GetLastError();
    trace.Note(std::string("open ") + path + " -> " + (opened ? "ok" : "error " + std::to_string(error)));
    if (opened) names[handle] = path;
    if (!opened) ::SetLastError(error);
    return handle;
  }

  BOOL Control(HANDLE device, DWORD code, void* input, DWORD inputLength, void* output, DWORD outputLength,
               DWORD* returned) override {
    const bool passThrough = code == passthrough::kScsiPassThrough || code == passthrough::kScsiPassThroughDirect;
    if (!passThrough || input == nullptr || inputLength < sizeof(SCSI_PASS_THROUGH)) {
      const BOOL result = inner.Control(device, code, input, inputLength, output, outputLength, returned);
      const std::string name = code == passthrough::kLockVolume     ? "lock volume"
                               : code == passthrough::kUnlockVolume ? "unlock volume"
                                                                    : "device control " + std::to_string(code);
      trace.Note(name + " " + NameOf(device) + " -> " + (result ? "ok" : "error " + std::to_string(::GetLastError())));
      return result;
    }
    SCSI_PASS_THROUGH header;
    std::memcpy(&header, input, sizeof header);
    TraceRecord record;
    record.device = NameOf(device);
    record.cdb.assign(header.Cdb, header.Cdb + std::min<std::size_t>(header.CdbLength, sizeof header.Cdb));
    record.direction = header.DataIn == passthrough::kDataIn    ? DataDirection::In
                       : header.DataIn == passthrough::kDataOut ? DataDirection::Out
                                                                : DataDirection::None;
    record.dataLength = header.DataTransferLength;
    record.timeoutMs = header.TimeOutValue * 1000;
    const auto start = std::chrono::steady_clock::now();
    const BOOL result = inner.Control(device, code, input, inputLength, output, outputLength, returned);
    const DWORD error = result ? 0 : ::GetLastError();
    record.durationMs = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    record.carried = result != FALSE;
    if (!result) {
      record.refusal = "error " + std::to_string(error);
    } else if (output != nullptr && outputLength >= sizeof(SCSI_PASS_THROUGH)) {
      std::memcpy(&header, output, sizeof header);
      record.status = header.ScsiStatus;
      const auto* bytes = static_cast<const std::uint8_t*>(output);
      if (header.SenseInfoLength != 0 && header.SenseInfoOffset + header.SenseInfoLength <= outputLength) {
        record.sense.assign(bytes + header.SenseInfoOffset, bytes + header.SenseInfoOffset + header.SenseInfoLength);
      }
    }
    trace.Command(record);
    if (!result) ::SetLastError(error);
    return result;
  }

  BOOL Close(HANDLE handle) override {
    const BOOL result = inner.Close(handle);
    trace.Note("close " + NameOf(handle) + " -> " + (result ? "ok" : "error"));
    names.erase(handle);
    return result;
  }

 private:
  std::string NameOf(HANDLE handle) const {
    const auto found = names.find(handle);
    return found != names.end() ? found->second : "handle";
  }

  VolumeApi& inner;
  CommandTrace& trace;
  std::map<HANDLE, std::string> names;
};

// "E:", "e:", "E" and "E:\" name drive E.
char DriveLetterOf(const std::string& text) {
  if (text.empty() || text.size() > 3) return 0;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (letter < CPassThroughReader::kFirstDriveLetter || letter > CPassThroughReader::kLastDriveLetter) return 0;
  if (text.size() >= 2 && text[1] != ':') return 0;
  if (text.size() == 3 && text[2] != '\\') return 0;
  return letter;
}

// A trace never goes onto a drive or another device ("\\.\PhysicalDrive1").
TraceGuard GuardOf(const RealReaderOptions& options) {
  return TraceGuard{options.target, [](const std::string& path) {
                      return DriveLetterOf(path) != 0 || path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0;
                    }};
}

// The system the command reaches, traced when asked.
class Session : public TracedSystem<VolumeApi, TracingVolumeApi> {
 public:
  Session(const RealReaderOptions& options, CliContext& context)
      : TracedSystem(options.tracePath, options.arguments, GuardOf(options),
                     context.volumeApi != nullptr ? *context.volumeApi : SystemVolumeApi(), context.err) {}
  VolumeApi& Api() { return Get(); }
};

// Pass-through requests are the NT family's: 98 SE and ME reach readers only
// through the ASPI layer, which the Windows program uses. Empty elsewhere.
std::string NineXRefusal() {
  PlatformVersion version;
  PlatformVersionApi& system = SystemPlatformVersionApi();
  if (!(system.ReadExtended(version) || system.ReadBasic(version))) return "";
  if (version.platformId != VER_PLATFORM_WIN32_WINDOWS) return "";
  return "smformat.exe reaches card readers on Windows 2000 and later; on Windows 98 SE and ME use smformatw.exe, "
         "which reaches them through the ASPI layer";
}

HANDLE OpenVolume(VolumeApi& api, char letter) {
  const HANDLE handle =
      api.Open(VolumePath(letter).c_str(), CPassThroughReader::kVolumeAccess, CPassThroughReader::kVolumeSharing,
               CPassThroughReader::kVolumeDisposition, CPassThroughReader::kVolumeFlags);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

std::string OpenRefusal(char letter, DWORD error) {
  const std::string drive = std::string(1, letter) + ":";
  if (error == ERROR_ACCESS_DENIED) {
    return "cannot open " + drive +
           ": access is denied. Formatting a card needs an administrator: run "
           "smformat.exe from a command prompt opened with \"Run as administrator\"";
  }
  if (error == ERROR_SHARING_VIOLATION) return drive + " is busy: another program holds it. Close it and try again";
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return "there is no drive " + drive + ", or its reader was unplugged";
  }
  return "cannot open " + drive + ": Windows refused it with error code " + std::to_string(error) +
         "; the reader may have been unplugged";
}

// What the probes of one volume found.
struct VolumeProbe {
  bool answered = false;  // INQUIRY answered
  std::string identification;
  bool supported = false;
  bool cardTypeRead = false;
  std::uint8_t cardType = 0;
  bool geometryRead = false;
  MediaGeometry geometry;
};

// INQUIRY first; the vendor commands only for a supported reader.
VolumeProbe Probe(CPassThroughReader& reader, HANDLE handle) {
  VolumeProbe probe;
  std::uint8_t inquiry[kInquiryBufferSize] = {};
  if (!reader.Inquiry(handle, inquiry, kInquiryReplySize)) return probe;
  probe.answered = true;
  probe.identification = InquiryIdentification(inquiry, kInquiryReplySize);
  probe.supported = IsSupportedInquiry(inquiry, kInquiryReplySize);
  if (!probe.supported) return probe;
  probe.cardTypeRead = reader.GetCardType(handle, probe.cardType) != 0;
  if (!probe.cardTypeRead || !IsSmartMediaCard(probe.cardType)) return probe;
  probe.geometryRead = reader.ReadMediaInfo(handle, 0, 0, probe.geometry) != 0;
  return probe;
}

// The job locks the card's volume for the format, as the Windows program does.
class VolumeLockingDesktop : public JobDesktop {
 public:
  bool LocksVolume() const override { return true; }
};

// "FILE is on the card itself (E:)" when a file lies on the card's drive; empty otherwise.
std::string OnTheCard(const std::string& file, char cardLetter) {
  char full[MAX_PATH] = {};
  const DWORD length = ::GetFullPathNameA(file.c_str(), sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full || full[1] != ':') return "";
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(full[0])));
  if (letter != std::toupper(static_cast<unsigned char>(cardLetter))) return "";
  return file + " is on the card itself (" + std::string(1, letter) + ":)";
}

constexpr int kVolumeLockTries = 50;
constexpr std::uint32_t kVolumeLockRetryPause = 100;  // ms, as the format job tries

// The restore writes below the file system Windows mounts on the card's
// volume: the volume is locked meanwhile, as for the format.
int RestoreOnLockedVolume(RestoreStep& restore, CPassThroughReader& reader, FormatHost& host, CliContext& context) {
  bool locked = false;
  for (int attempt = 1; attempt <= kVolumeLockTries && !locked; ++attempt) {
    if (context.stopFlag.load() != 0) {
      context.err << "Stopped. The card is formatted, but the files were not put back: run the same command again.\n";
      return kExitDeclined;
    }
    locked = reader.LockVolume() != 0;
    if (!locked && attempt < kVolumeLockTries) host.Sleep(kVolumeLockRetryPause);
  }
  if (!locked) {
    return Refuse(context, std::string("the card is formatted, but its volume ") + reader.driveLetter +
                               ": could not be locked, so the files were not put back; close what uses it and run "
                               "the same command again");
  }
  const int status = restore.Run(reader, host);
  reader.UnlockVolume();
  return status;
}

int FormatVolume(CPassThroughReader& reader, const std::string& detail, FormatHost& terminal, Session& session,
                 const RealReaderOptions& options, CliContext& context) {
  std::unique_ptr<RestoreStep> restore;
  if (options.restorePath) {
    if (const std::string onCard = OnTheCard(*options.restorePath, reader.driveLetter); !onCard.empty()) {
      reader.Close();
      return Refuse(context, onCard + ", which the format erases; copy it to another drive first");
    }
    restore = std::make_unique<RestoreStep>(*options.restorePath, reader.geometry, context);
    if (!restore->Refusal().empty()) {
      reader.Close();
      return Refuse(context, restore->Refusal());
    }
    restore->Announce("After the format, the file system of " + *options.restorePath + " goes back onto the card:");
  }
  DetailHost host(
      terminal, context.err, detail, [&session] { session.StartTrace(); },
      [&reader] { return CardFilesNotice(reader); });
  context.stopFlag.store(0);
  VolumeLockingDesktop desktop;
  FormatWatch watch(host, context);
  const JobOutcome outcome = FormatJob(reader, watch, desktop, context.stopFlag);
  int status = kExitSuccess;
  if (restore && outcome == JobOutcome::Completed) {
    context.stopFlag.store(0);  // the job raised it at its end; from here it is Ctrl-C's again
    status = RestoreOnLockedVolume(*restore, reader, host, context);
  }
  reader.Close();
  return TellFormatEnd(outcome, watch, reader.geometry, context, status);
}

// --- The logical format on image files ---------------------------------------------------------

class FileBlockTarget : public BlockTarget {
 public:
  FileBlockTarget(const std::string& path, std::uint64_t sectors)
      : file(path, std::ios::in | std::ios::out | std::ios::binary), sectors(sectors) {}
  bool IsOpen() const { return file.is_open(); }
  std::uint64_t Sectors() const override { return sectors; }
  bool Read(std::uint64_t sector, std::uint32_t count, std::uint8_t* data) override {
    errno = 0;
    file.seekg(static_cast<std::streamoff>(sector * kSectorBytes));
    file.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(count * kSectorBytes));
    return Check();
  }
  bool Write(std::uint64_t sector, std::uint32_t count, const std::uint8_t* data) override {
    errno = 0;
    file.seekp(static_cast<std::streamoff>(sector * kSectorBytes));
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(count * kSectorBytes));
    return Check();
  }
  bool Flush() override {
    errno = 0;
    file.flush();
    return Check();
  }
  std::string LastError() const override { return error; }

 private:
  bool Check() {
    if (file) return true;
    error = errno != 0 ? std::strerror(errno) : "the image file could not be read or written";
    file.clear();
    return false;
  }
  std::fstream file;
  std::uint64_t sectors;
  std::string error;
};

// Opens and probes the drive `target` names: INQUIRY first, the vendor
// commands only for a supported reader. When it holds a card, the reader
// keeps the volume and kReaderOpen comes back; otherwise the refusal is said
// and its exit status comes back.
constexpr int kReaderOpen = -1;

int OpenNamedVolume(const std::string& target, Session& session, CPassThroughReader& reader, FormatHost& terminal,
                    CliContext& context, std::string& identification) {
  const char letter = DriveLetterOf(target);
  if (letter == 0) return Refuse(context, "'" + target + "' is not a drive letter (" + kDeviceExample + ")");
  const HANDLE handle = OpenVolume(session.Api(), letter);
  if (handle == nullptr) return Refuse(context, OpenRefusal(letter, ::GetLastError()));
  const VolumeProbe probe = Probe(reader, handle);
  const std::string drive = std::string(1, letter) + ":";
  std::string refusal;
  if (!probe.answered) {
    refusal = drive + " does not answer INQUIRY: it is no card reader";
  } else if (!probe.supported) {
    refusal = drive + " answers INQUIRY as \"" + probe.identification +
              "\", not as a supported reader; nothing else was sent to it";
  } else if (!probe.cardTypeRead) {
    refusal = drive + " did not report the card in its slot";
  } else if (!IsSmartMediaCard(probe.cardType)) {
    refusal = "no SmartMedia card in the reader " + drive + ". Insert the card and try again";
  } else if (!probe.geometryRead) {
    terminal.ShowMessage("Read media information fail!", "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                         MessageOwner::None);
    session.Api().Close(handle);
    return kExitFailure;
  }
  if (!refusal.empty()) {
    session.Api().Close(handle);
    return Refuse(context, refusal);
  }
  reader.geometry = probe.geometry;
  reader.volumeHandle = handle;
  reader.driveLetter = letter;
  reader.openFlag = 1;
  identification = probe.identification;
  return kReaderOpen;
}

// The dump goes into a file, never onto a device or the card's own drive.
std::string DumpOnTheCard(const RealReaderOptions& options) {
  const std::string& out = *options.read->dumpPath;
  if (out.rfind("\\\\.\\", 0) == 0 || out.rfind("//./", 0) == 0) {
    return out + " is a device; the dump goes into a file (a card image)";
  }
  const std::string onCard = OnTheCard(out, DriveLetterOf(*options.target));
  return onCard.empty() ? "" : onCard + "; put the dump on another drive";
}

}  // namespace

int ListReaders(const RealReaderOptions& options, CliContext& context) {
  if (const std::string refusal = NineXRefusal(); !refusal.empty()) return Refuse(context, refusal);
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  session.StartTrace();
  TerminalHost terminal(ConsoleIo(context), false);
  QuietHost quiet(terminal);
  CPassThroughReader reader(quiet, session.Api());
  std::vector<ListedDisk> listed;
  for (char letter = CPassThroughReader::kFirstDriveLetter; letter <= CPassThroughReader::kLastDriveLetter; ++letter) {
    const HANDLE handle = OpenVolume(session.Api(), letter);
    if (handle == nullptr) continue;
    const VolumeProbe probe = Probe(reader, handle);
    bool handedOver = false;  // to the backend, which closes it after a failed command
    std::ostringstream line;
    ListedDisk disk{std::string(1, letter) + ":", "", probe.answered ? probe.identification : "(no INQUIRY)",
                    probe.answered && probe.supported, ""};
    if (!probe.answered) {
      line << "unsupported: it does not answer INQUIRY";
    } else if (!probe.supported) {
      line << "unsupported: its INQUIRY names another device";
    } else if (!probe.cardTypeRead) {
      line << "card unknown: the reader did not report its card";
    } else if (!IsSmartMediaCard(probe.cardType)) {
      line << "no card";
    } else if (!probe.geometryRead) {
      line << "card unreadable: the reader did not report its geometry";
    } else {
      reader.geometry = probe.geometry;
      std::uint32_t key = 0;
      reader.GetCapacity(&key, nullptr);
      reader.volumeHandle = handle;
      reader.driveLetter = letter;
      handedOver = true;
      std::uint8_t state = 0;
      const bool stateRead = reader.GetDeviceState(state) != 0;
      line << CardSizeText(probe.geometry, key) << ", "
           << (!stateRead                ? "write-protect state unknown"
               : IsWriteProtected(state) ? "write-protected"
                                         : "writable");
    }
    if (!handedOver || reader.volumeHandle == handle) session.Api().Close(handle);
    reader.volumeHandle = nullptr;
    disk.state = line.str();
    listed.push_back(disk);
  }
  PrintDiskList(context.out, listed, options.json, "No volume answered: no card reader is plugged in.");
  return kExitSuccess;
}

int FormatReader(const RealReaderOptions& options, CliContext& context) {
  if (const std::string refusal = NineXRefusal(); !refusal.empty()) return Refuse(context, refusal);
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  TerminalHost terminal(ConsoleIo(context), options.assumeYes);
  CPassThroughReader reader(terminal, session.Api());
  if (!options.target) {
    // The Windows program's search: the one supported reader holding a card.
    char found = 0;
    if (!reader.FindDevice(found)) {
      terminal.ShowMessage("Device not found", "Information", MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                           MessageOwner::Dialog);
      return Refuse(context, "no supported SmartMedia reader with a card ('smformat --list' shows the volumes)");
    }
    std::uint32_t key = 0;
    reader.GetCapacity(&key, nullptr);
    const std::string detail =
        std::string("Device: ") + reader.driveLetter + ":, " + CardSizeText(reader.geometry, key);
    return FormatVolume(reader, detail, terminal, session, options, context);
  }

  std::string identification;
  const int opened = OpenNamedVolume(*options.target, session, reader, terminal, context, identification);
  if (opened != kReaderOpen) return opened;
  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  const std::string detail = "Device: " + std::string(1, reader.driveLetter) + ":, " + identification + ", " +
                             CardSizeText(reader.geometry, key);
  return FormatVolume(reader, detail, terminal, session, options, context);
}

int ReadCard(const RealReaderOptions& options, CliContext& context) {
  if (const std::string refusal = NineXRefusal(); !refusal.empty()) return Refuse(context, refusal);
  if (options.read->dumpPath) {
    const std::string refusal = DumpOutRefusal(options, DumpOnTheCard(options));
    if (!refusal.empty()) return Refuse(context, refusal);
  }
  if (options.read->restorePath) {
    const std::string onCard = OnTheCard(*options.read->restorePath, DriveLetterOf(*options.target));
    if (!onCard.empty()) return Refuse(context, onCard + ", which the format erases; copy it to another drive first");
  }
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  TerminalHost terminal(ConsoleIo(context), false);
  CPassThroughReader reader(terminal, session.Api());
  std::string identification;
  const int opened = OpenNamedVolume(*options.target, session, reader, terminal, context, identification);
  if (opened != kReaderOpen) return opened;
  session.StartTrace();
  const int status =
      ReadCardIn(reader, std::string(1, reader.driveLetter) + ":, " + identification, *options.read, context);
  reader.Close();
  return status;
}

int FormatLogical(const RealReaderOptions& options, CliContext& context) {
  const std::string& path = *options.target;
  if (DriveLetterOf(path) != 0) {
    return Refuse(context, "--logical takes an image file on Windows; format the card in the reader " + path +
                               " with 'smformat " + path + "'");
  }
  std::ifstream probe(path, std::ios::binary | std::ios::ate);
  if (!probe) return Refuse(context, path + ": cannot open the image file");
  const auto bytes = static_cast<std::uint64_t>(probe.tellg());
  probe.close();
  if (bytes % kSectorBytes != 0) {
    return Refuse(context, path + " is " + std::to_string(bytes) + " bytes, not a whole number of sectors");
  }
  const std::string fault = LogicalSizeFault(bytes / kSectorBytes);
  if (!fault.empty()) return Refuse(context, path + " cannot take the SmartMedia format: " + fault);
  Session session(options, context);
  if (session.TraceFailed()) return Refuse(context, session.TraceError());
  FileBlockTarget file(path, bytes / kSectorBytes);
  if (!file.IsOpen()) return Refuse(context, path + ": cannot open the image file for writing");
  std::unique_ptr<TracingBlockTarget> traced;
  if (session.Trace() != nullptr) traced = std::make_unique<TracingBlockTarget>(file, *session.Trace(), path);
  BlockTarget& target = traced ? static_cast<BlockTarget&>(*traced) : file;
  const auto sectors = static_cast<std::uint32_t>(bytes / kSectorBytes);
  TerminalHost terminal(ConsoleIo(context), options.assumeYes);
  CBlockTargetReader reader(terminal, target);
  char found = 0;
  reader.FindDevice(found);
  DetailHost host(
      terminal, context.err, "Target: " + path + ", " + LogicalLayoutText(sectors),
      [&session] { session.StartTrace(); }, [&reader] { return CardFilesNotice(reader); });
  if (host.ShowMessage(kConfirmText, "Warning", MessageStyle{MessageButtons::YesNo, MessageIcon::Warning},
                       MessageOwner::Dialog) != MessageAnswer::Yes) {
    return TellDeclined(context);
  }
  if (!WriteLogicalFormat(reader, host)) return kExitFailure;
  host.ShowMessage("Format Complete!", "Information", MessageStyle{MessageButtons::Ok, MessageIcon::Information},
                   MessageOwner::Dialog);
  return kExitSuccess;
}
