#include "tests/passthrough/fake_volume_api.h"

#include <ntddscsi.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>

#include "transport/scsi_sense.h"

namespace {

constexpr char kFirstLetter = 'C';
constexpr char kLastLetter = 'Z';
constexpr char kVolumePrefix[] = "\\\\.\\";
constexpr std::size_t kVolumePrefixLength = sizeof kVolumePrefix - 1;

constexpr std::uint8_t kInquiryOpcode = 0x12;
constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

// The system disk's INQUIRY: a direct-access device of another vendor.
constexpr char kDiskVendor[] = "ATA     ";
constexpr char kDiskProduct[] = "HARD DISK 500G  ";
constexpr std::size_t kInquiryVendorOffset = 8;
constexpr std::size_t kInquiryProductOffset = 16;
constexpr std::size_t kInquiryReplyLength = 36;

// The letter of a "\\.\X:" path, or 0 for any other path.
char LetterOf(const char* path) {
  if (path == nullptr || std::strlen(path) != kVolumePrefixLength + 2) return 0;
  if (std::strncmp(path, kVolumePrefix, kVolumePrefixLength) != 0 || path[kVolumePrefixLength + 1] != ':') return 0;
  const char letter = path[kVolumePrefixLength];
  return letter >= kFirstLetter && letter <= kLastLetter ? letter : 0;
}

DataDirection DirectionOf(UCHAR dataIn) {
  switch (dataIn) {
    case SCSI_IOCTL_DATA_IN:
      return DataDirection::In;
    case SCSI_IOCTL_DATA_OUT:
      return DataDirection::Out;
    default:
      return DataDirection::None;
  }
}

// The storage stack's checks of a pass-through header against the buffers it
// came with. Returns the error the control fails with, or 0.
template <typename Header>
DWORD CheckHeader(const Header& header, ULONG_PTR dataBufferOffset, bool direct, const void* dataBuffer,
                  DWORD inputLength, DWORD outputLength) {
  constexpr DWORD headerSize = sizeof(Header);
  if (header.Length != headerSize) return ERROR_REVISION_MISMATCH;
  if (header.DataTransferLength > FakeVolumeApi::kMaxTransferLength) return ERROR_INVALID_PARAMETER;
  if (header.TimeOutValue == 0) return ERROR_INVALID_PARAMETER;
  if (header.CdbLength > sizeof header.Cdb) return ERROR_INVALID_PARAMETER;
  if (header.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return ERROR_INVALID_PARAMETER;
  const std::uint64_t dataEnd = std::uint64_t{dataBufferOffset} + header.DataTransferLength;
  if (header.SenseInfoLength != 0) {
    const std::uint64_t senseEnd = std::uint64_t{header.SenseInfoOffset} + header.SenseInfoLength;
    if (header.SenseInfoOffset < headerSize || senseEnd > outputLength) return ERROR_INVALID_PARAMETER;
    if (!direct && header.DataTransferLength != 0 && senseEnd > dataBufferOffset) return ERROR_INVALID_PARAMETER;
  }
  if (header.DataTransferLength == 0) return 0;
  if (direct) return dataBuffer == nullptr ? ERROR_NOACCESS : 0;
  if (dataBufferOffset < headerSize) return ERROR_INVALID_PARAMETER;
  if (header.DataIn != SCSI_IOCTL_DATA_OUT && dataEnd > outputLength) return ERROR_INVALID_PARAMETER;
  if (header.DataIn != SCSI_IOCTL_DATA_IN && dataEnd > inputLength) return ERROR_INVALID_PARAMETER;
  return 0;
}

template <typename Header>
void RecordHeader(FakeVolumeApi::Request& request, const Header& header) {
  request.length = header.Length;
  request.pathId = header.PathId;
  request.targetId = header.TargetId;
  request.lun = header.Lun;
  request.cdbLength = header.CdbLength;
  request.senseInfoLength = header.SenseInfoLength;
  request.dataIn = header.DataIn;
  request.dataTransferLength = header.DataTransferLength;
  request.timeOutValue = header.TimeOutValue;
  request.senseInfoOffset = header.SenseInfoOffset;
  std::memcpy(request.cdb.data(), header.Cdb, sizeof header.Cdb);
}

}  // namespace

// --- Set-up and records ---------------------------------------------------------

FakeVolumeApi::Volume& FakeVolumeApi::VolumeOf(char letter) { return volumes[letter]; }

void FakeVolumeApi::AddSystemDisk(char letter) { VolumeOf(letter).kind = Kind::SystemDisk; }

void FakeVolumeApi::AddFolderVolume(char letter) { VolumeOf(letter).kind = Kind::Folder; }

void FakeVolumeApi::AddReader(char letter, sim::Reader& reader) {
  Volume& volume = VolumeOf(letter);
  volume.kind = Kind::Reader;
  volume.reader = std::make_shared<sim::ReaderTarget>(reader);
}

void FakeVolumeApi::FailOpensFrom(char letter, int openNumber, DWORD error) {
  VolumeOf(letter).failOpensFrom = openNumber;
  VolumeOf(letter).openError = error;
}

void FakeVolumeApi::FailLocks(char letter, int times) { VolumeOf(letter).lockFailures = times; }

void FakeVolumeApi::FailPassThroughAt(int requestNumber) { failPassThroughAt = passThroughCount + requestNumber; }

std::vector<FakeVolumeApi::Request> FakeVolumeApi::PassThroughRequests() const {
  std::vector<Request> out;
  for (const Request& request : requests) {
    if (request.controlCode == IOCTL_SCSI_PASS_THROUGH || request.controlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      out.push_back(request);
    }
  }
  return out;
}

int FakeVolumeApi::OpenHandles() const {
  return static_cast<int>(
      std::count_if(handles.begin(), handles.end(), [](const auto& entry) { return entry.second.open; }));
}

bool FakeVolumeApi::IsOpenHandle(HANDLE handle) const {
  const auto found = handles.find(handle);
  return found != handles.end() && found->second.open;
}

void FakeVolumeApi::ClearRecords() {
  opens.clear();
  requests.clear();
}

// --- Handles -----------------------------------------------------------------------

HANDLE FakeVolumeApi::Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                           DWORD flagsAndAttributes) {
  OpenCall call{path ? path : "", access, shareMode, creationDisposition, flagsAndAttributes, false};
  const char letter = LetterOf(path);
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_FILE_NOT_FOUND;
  if (letter != 0) {
    Volume& volume = VolumeOf(letter);
    ++volume.openCount;
    const bool pulled = volume.failOpensFrom != 0 && volume.openCount >= volume.failOpensFrom;
    if (pulled) error = volume.openError;
    if (volume.kind != Kind::Nothing && !pulled && creationDisposition == OPEN_EXISTING) {
      handle = reinterpret_cast<HANDLE>(nextHandle);
      nextHandle += 4;
      handles[handle] = HandleState{letter, true};
    }
  }
  call.opened = handle != INVALID_HANDLE_VALUE;
  opens.push_back(call);
  if (!call.opened) SetLastError(error);
  return handle;
}

BOOL FakeVolumeApi::Close(HANDLE handle) {
  ++closeCalls;
  const auto found = handles.find(handle);
  if (found == handles.end() || !found->second.open) {
    misuse.push_back("CloseHandle on a handle that is not open");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  found->second.open = false;
  Volume& volume = VolumeOf(found->second.letter);
  if (volume.lockedBy == handle) volume.lockedBy = nullptr;
  return TRUE;
}

// --- Device controls -----------------------------------------------------------------

BOOL FakeVolumeApi::Fail(Request& request, DWORD error) {
  request.error = error;
  SetLastError(error);
  return FALSE;
}

BOOL FakeVolumeApi::Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output,
                            DWORD outputLength, DWORD* bytesReturned) {
  Request request;
  request.controlCode = controlCode;
  request.inputLength = inputLength;
  request.outputLength = outputLength;
  BOOL result = FALSE;
  const auto found = handles.find(device);
  if (found != handles.end()) request.letter = found->second.letter;
  if (found == handles.end() || !found->second.open) {
    if (device != nullptr) misuse.push_back("DeviceIoControl on a handle that is not open");
    result = Fail(request, ERROR_INVALID_HANDLE);
  } else if (bytesReturned == nullptr) {
    misuse.push_back("DeviceIoControl without a byte count and without overlapped operation");
    result = Fail(request, ERROR_INVALID_PARAMETER);
  } else if (GoesStale(device, found->second)) {
    result = Fail(request, ERROR_FILE_INVALID);
  } else {
    *bytesReturned = 0;
    if (controlCode == FSCTL_LOCK_VOLUME) {
      result = LockVolume(device, request);
    } else if (controlCode == FSCTL_UNLOCK_VOLUME) {
      result = UnlockVolume(device, request);
    } else if (controlCode == FSCTL_DISMOUNT_VOLUME) {
      result = DismountVolume(request);
    } else if (controlCode == IOCTL_SCSI_PASS_THROUGH || controlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
      result = VolumeOf(request.letter).kind == Kind::Folder
                   ? Fail(request, ERROR_NOT_SUPPORTED)
                   : PassThrough(request, input, inputLength, output, outputLength, bytesReturned);
    } else {
      result = Fail(request, ERROR_INVALID_FUNCTION);
    }
  }
  request.result = result;
  requests.push_back(request);
  return result;
}

bool FakeVolumeApi::GoesStale(HANDLE handle, HandleState& state) {
  const Volume& volume = VolumeOf(state.letter);
  if (volume.lockedBy == handle && volume.cardAtLock && !volume.reader->Held().CardPresent()) state.stale = true;
  return state.stale;
}

BOOL FakeVolumeApi::DismountVolume(Request& request) {
  Volume& volume = VolumeOf(request.letter);
  if (volume.kind != Kind::Reader) return Fail(request, ERROR_ACCESS_DENIED);
  if (volume.dismountFailures == 0) return TRUE;
  --volume.dismountFailures;
  return Fail(request, ERROR_ACCESS_DENIED);
}

// The lock is refused while any other handle of the volume is open, as the
// file system refuses it while files are open.
BOOL FakeVolumeApi::LockVolume(HANDLE handle, Request& request) {
  Volume& volume = VolumeOf(request.letter);
  if (volume.lockFailures > 0) {
    --volume.lockFailures;
    return Fail(request, ERROR_ACCESS_DENIED);
  }
  if (volume.kind == Kind::SystemDisk || (volume.lockedBy != nullptr && volume.lockedBy != handle)) {
    return Fail(request, ERROR_ACCESS_DENIED);
  }
  for (const auto& [other, state] : handles) {
    if (other != handle && state.open && state.letter == request.letter) return Fail(request, ERROR_ACCESS_DENIED);
  }
  volume.lockedBy = handle;
  volume.cardAtLock = volume.reader != nullptr && volume.reader->Held().CardPresent();
  return TRUE;
}

BOOL FakeVolumeApi::UnlockVolume(HANDLE handle, Request& request) {
  Volume& volume = VolumeOf(request.letter);
  if (volume.lockedBy != handle) return Fail(request, ERROR_NOT_LOCKED);
  volume.lockedBy = nullptr;
  return TRUE;
}

BOOL FakeVolumeApi::PassThrough(Request& request, void* input, DWORD inputLength, void* output, DWORD outputLength,
                                DWORD* bytesReturned) {
  const bool direct = request.controlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
  const DWORD headerSize = direct ? sizeof(SCSI_PASS_THROUGH_DIRECT) : sizeof(SCSI_PASS_THROUGH);
  if (input == nullptr || inputLength < headerSize) return Fail(request, ERROR_INSUFFICIENT_BUFFER);
  if (output == nullptr && outputLength != 0) return Fail(request, ERROR_NOACCESS);

  // A buffered control: the system works on its own copy of the input,
  // zero beyond it up to the output length.
  std::vector<std::uint8_t> system(std::max(inputLength, outputLength), 0);
  std::memcpy(system.data(), input, inputLength);

  SCSI_PASS_THROUGH buffered;
  SCSI_PASS_THROUGH_DIRECT directHeader;
  std::memcpy(&buffered, system.data(), sizeof buffered);
  std::memcpy(&directHeader, system.data(), sizeof directHeader);
  DWORD error = 0;
  if (direct) {
    RecordHeader(request, directHeader);
    request.hasDataBuffer = directHeader.DataBuffer != nullptr;
    error = CheckHeader(directHeader, 0, true, directHeader.DataBuffer, inputLength, outputLength);
  } else {
    RecordHeader(request, buffered);
    request.dataBufferOffset = buffered.DataBufferOffset;
    error = CheckHeader(buffered, buffered.DataBufferOffset, false, nullptr, inputLength, outputLength);
  }
  if (error != 0) return Fail(request, error);
  if (++passThroughCount == failPassThroughAt) return Fail(request, ERROR_IO_DEVICE);

  // Both header kinds have the same shape; only DataBufferOffset and
  // DataBuffer differ in meaning.
  SCSI_PASS_THROUGH& header = buffered;
  std::uint8_t* data = nullptr;
  if (header.DataTransferLength != 0) {
    data = direct ? static_cast<std::uint8_t*>(directHeader.DataBuffer) : system.data() + buffered.DataBufferOffset;
  }
  request.reachedDevice = true;
  std::vector<std::uint8_t> sense;
  request.scsiStatus = Execute(request.letter, request.cdb.data(), header.CdbLength, header.DataIn, data,
                               header.DataTransferLength, sense);
  header.ScsiStatus = request.scsiStatus;
  const auto senseLength = static_cast<UCHAR>(std::min<std::size_t>(header.SenseInfoLength, sense.size()));
  if (senseLength != 0) std::memcpy(system.data() + header.SenseInfoOffset, sense.data(), senseLength);
  header.SenseInfoLength = senseLength;
  std::memcpy(system.data() + offsetof(SCSI_PASS_THROUGH, ScsiStatus), &header.ScsiStatus, 1);
  std::memcpy(system.data() + offsetof(SCSI_PASS_THROUGH, SenseInfoLength), &header.SenseInfoLength, 1);

  // Bytes returned: up to the end of the data read, else of the sense data,
  // else the header.
  std::uint64_t returned = header.Length;
  if (!direct && header.DataIn == SCSI_IOCTL_DATA_IN && header.DataTransferLength != 0) {
    returned = std::uint64_t{buffered.DataBufferOffset} + header.DataTransferLength;
  } else if (senseLength != 0) {
    returned = std::uint64_t{header.SenseInfoOffset} + senseLength;
  }
  returned = std::min<std::uint64_t>(returned, outputLength);
  if (returned != 0) std::memcpy(output, system.data(), static_cast<std::size_t>(returned));
  *bytesReturned = static_cast<DWORD>(returned);
  return TRUE;
}

std::uint8_t FakeVolumeApi::Execute(char letter, const std::uint8_t* cdb, std::size_t cdbLength, UCHAR dataIn,
                                    std::uint8_t* data, std::uint32_t dataLength, std::vector<std::uint8_t>& sense) {
  Volume& volume = VolumeOf(letter);
  if (volume.kind == Kind::Reader) {
    const std::uint8_t status = volume.reader->Execute(cdb, cdbLength, DirectionOf(dataIn), data, dataLength).status;
    sense = volume.reader->Sense();
    return status;
  }
  // The system disk knows INQUIRY only, as far as this tool is concerned.
  if (cdbLength < 6 || cdb[0] != kInquiryOpcode || dataIn != SCSI_IOCTL_DATA_IN || data == nullptr) {
    sense = sim::FixedSense(sense_key::kIllegalRequest, asc::kInvalidOpcode);
    return kStatusCheckCondition;
  }
  std::array<std::uint8_t, kInquiryReplyLength> reply{};
  reply[4] = kInquiryReplyLength - 5;
  std::memcpy(&reply[kInquiryVendorOffset], kDiskVendor, sizeof kDiskVendor - 1);
  std::memcpy(&reply[kInquiryProductOffset], kDiskProduct, sizeof kDiskProduct - 1);
  std::memcpy(data, reply.data(), std::min<std::size_t>(dataLength, reply.size()));
  return kStatusGood;
}
