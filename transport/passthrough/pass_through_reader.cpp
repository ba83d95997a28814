#include "transport/passthrough/pass_through_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using passthrough::Carrier;
using passthrough::Reply;
using passthrough::RequestRow;

constexpr const char* kErrorCaption = "Error";
constexpr const char* kOpenFailureSuffix = ": Open volume fail!";
constexpr const char* kSecondReaderText = "Please make sure only one usb storage device is plug ing!";
constexpr const char* kMediaInfoFailureText = "Read media information fail!";
constexpr std::size_t kInquiryBufferSize = 48;  // cleared before the INQUIRY; 36 bytes come back

const RequestRow& RowOf(ReaderOperation operation) { return *passthrough::RequestRowFor(operation); }

// What the system's reason for a failed open of the card's volume says of
// the card. Any other reason (access denied, a sharing violation: another
// program holds the volume) leaves the card where it was.
struct OpenFailureRow {
  DWORD error;
  CommandFault fault;
};

constexpr OpenFailureRow kOpenFailures[] = {
    {ERROR_FILE_NOT_FOUND, CommandFault::DeviceGone},  // the drive letter went with the reader
    {ERROR_PATH_NOT_FOUND, CommandFault::DeviceGone},
    {ERROR_DEV_NOT_EXIST, CommandFault::DeviceGone},
    {ERROR_DEVICE_NOT_CONNECTED, CommandFault::DeviceGone},
    {ERROR_NOT_READY, CommandFault::NoMedium},  // the reader is there, its slot is empty
    {ERROR_NO_MEDIA_IN_DRIVE, CommandFault::NoMedium},
};

CommandFault OpenFailureFault(DWORD error) {
  for (const OpenFailureRow& row : kOpenFailures) {
    if (row.error == error) return row.fault;
  }
  return CommandFault::Failed;
}

}  // namespace

std::string VolumePath(char letter) { return std::string("\\\\.\\") + letter + ':'; }

CPassThroughReader::CPassThroughReader(FormatHost& host, VolumeApi& api_) : CReaderDevice(host), api(api_) {
  volumeHandle = nullptr;
  openFlag = 0;
}

// --- Handles ------------------------------------------------------------------

HANDLE CPassThroughReader::OpenVolume(char letter) {
  const HANDLE handle =
      api.Open(VolumePath(letter).c_str(), kVolumeAccess, kVolumeSharing, kVolumeDisposition, kVolumeFlags);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool CPassThroughReader::HoldVolume() {
  NoteCommandFault(CommandFault::None);
  if (volumeHandle != nullptr) return true;
  volumeHandle = OpenVolume(driveLetter);
  if (volumeHandle == nullptr) {
    NoteCommandFault(OpenFailureFault(GetLastError()));
    return false;
  }
  if (relockWanted) volumeLocked = TakeLock();
  return true;
}

void CPassThroughReader::CloseVolume(HANDLE handle) {
  if (handle != nullptr) api.Close(handle);
}

void CPassThroughReader::ReleaseHandle() {
  if (volumeLocked) return;  // closing the handle would give the lock up
  CloseVolume(volumeHandle);
  volumeHandle = nullptr;
}

void CPassThroughReader::DropHandle() {
  ReleaseHandle();
  openFailureShown = false;
}

void CPassThroughReader::ShowError(const std::string& text) {
  Host().ShowMessage(text, kErrorCaption, MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::None);
}

int CPassThroughReader::VolumeControl(HANDLE handle, DWORD controlCode) {
  if (handle == nullptr) return 0;
  DWORD returned = 0;
  return api.Control(handle, controlCode, nullptr, 0, nullptr, 0, &returned) ? 1 : 0;
}

int CPassThroughReader::UnlockVolume() {
  relockWanted = false;
  if (!volumeLocked) return 0;
  const int unlocked = VolumeControl(volumeHandle, passthrough::kUnlockVolume);
  volumeLocked = false;
  DropHandle();  // the system mounts the card's new file system at its next access
  return unlocked;
}

bool CPassThroughReader::TakeLock() {
  if (!VolumeControl(volumeHandle, passthrough::kLockVolume)) return false;
  if (VolumeControl(volumeHandle, passthrough::kDismountVolume)) return true;
  VolumeControl(volumeHandle, passthrough::kUnlockVolume);
  return false;
}

int CPassThroughReader::LockVolume() {
  if (volumeLocked) return 1;
  if (!HoldVolume()) return 0;
  volumeLocked = TakeLock();
  return volumeLocked ? 1 : 0;
}

// The card type answers with or without a card. No answer at all: the
// handle went stale with the card it was opened on. Closing it gives the
// lock up; a fresh handle, locked again, asks once more, so that a pulled
// card ends the format at this command, as it does without a lock.
void CPassThroughReader::CheckLockedCard(ReaderOperation operation) {
  std::uint8_t type = 0;
  if (!GetCardType(volumeHandle, type)) {
    volumeLocked = false;
    relockWanted = true;
    ReleaseHandle();
    if (!HoldVolumeFor(operation)) return;  // the open's fault says what became of the card
    if (!GetCardType(volumeHandle, type)) return;
  }
  if (!IsSmartMediaCard(type)) NoteCommandFault(CommandFault::NoMedium);
}

void CPassThroughReader::Close() {
  UnlockVolume();
  DropHandle();
}

int CPassThroughReader::FlushDisk() {
  DropHandle();
  const HANDLE handle = OpenVolume(driveLetter);
  if (handle == nullptr) return 0;
  int locked = 0;
  for (int attempt = 0; attempt < kLockTries && !locked; ++attempt) {
    locked = VolumeControl(handle, passthrough::kLockVolume);
    if (!locked) Host().Sleep(kLockRetryPauseMs);
  }
  CloseVolume(handle);  // releases the lock
  return locked;
}

int CPassThroughReader::WaitReady() {
  Host().Sleep(kWaitReadyMs);
  return 1;
}

// --- Requests -----------------------------------------------------------------

bool CPassThroughReader::Transmit(HANDLE handle, const ReaderCommand& command, const RequestRow& row, Payload payload,
                                  UCHAR pathId, UCHAR targetId) {
  if (handle == nullptr) return false;
  const auto send = [&] {
    return row.carrier == Carrier::Direct ? TransmitDirect(handle, command, row, payload)
                                          : TransmitBuffered(handle, command, row, payload, pathId, targetId);
  };
  Reply reply = send();
  if (reply == Reply::UnitAttention) reply = send();
  return reply == Reply::Good;
}

Reply CPassThroughReader::TransmitBuffered(HANDLE handle, const ReaderCommand& command, const RequestRow& row,
                                           Payload payload, UCHAR pathId, UCHAR targetId) {
  passthrough::PassThroughRequest request;
  if (!passthrough::BuildBufferedRequest(request, command, row, pathId, targetId, payload.out)) return Reply::Failed;
  DWORD returned = 0;
  const BOOL carried = api.Control(handle, passthrough::ControlCode(row), &request, passthrough::InputLength(row),
                                   &request, passthrough::OutputLength(row, command.dataLength), &returned);
  const Reply reply = passthrough::ReplyOf(carried != FALSE, request);
  if (reply == Reply::Good && payload.in != nullptr) std::memcpy(payload.in, request.dataArea, command.dataLength);
  return reply;
}

Reply CPassThroughReader::TransmitDirect(HANDLE handle, const ReaderCommand& command, const RequestRow& row,
                                         Payload payload) {
  passthrough::PassThroughDirectRequest request;
  void* data = payload.in != nullptr ? static_cast<void*>(payload.in) : const_cast<std::uint8_t*>(payload.out);
  passthrough::BuildDirectRequest(request, command, row, data);
  DWORD returned = 0;
  const BOOL carried = api.Control(handle, passthrough::ControlCode(row), &request, passthrough::InputLength(row),
                                   &request, passthrough::OutputLength(row, command.dataLength), &returned);
  return passthrough::ReplyOf(carried != FALSE, request);
}

bool CPassThroughReader::HoldVolumeFor(ReaderOperation operation) {
  if (HoldVolume()) {
    openFailureShown = false;
    return true;
  }
  if (!openFailureShown) ShowError(std::string(CommandRowFor(operation).name) + kOpenFailureSuffix);
  openFailureShown = true;
  return false;
}

int CPassThroughReader::RunCached(const ReaderCommand& command, const RequestRow& row, Payload payload) {
  if (!HoldVolumeFor(row.operation)) return 0;
  if (Transmit(volumeHandle, command, row, payload)) return 1;
  if (volumeLocked) CheckLockedCard(row.operation);
  if (!CardGone()) NoteCommandFault(CommandFault::Failed);
  ReleaseHandle();
  Host().Sleep(kFailurePauseMs);
  return 0;
}

int CPassThroughReader::RunCached(const ReaderCommand& command, ReaderOperation operation, Payload payload) {
  return RunCached(command, RowOf(operation), payload);
}

// --- Reader commands ------------------------------------------------------------

int CPassThroughReader::GetDeviceState(std::uint8_t& state) {
  state = 0;
  openFailureShown = false;  // every job starts here: a card still missing is reported again
  std::uint8_t reply = 0;
  if (!RunCached(GetDeviceStateCommand(), ReaderOperation::GetDeviceState, Payload{nullptr, &reply})) return 0;
  state = reply;
  return 1;
}

int CPassThroughReader::SetLbaOffset(std::uint32_t offset) {
  return RunCached(SetLbaOffsetCommand(offset), ReaderOperation::SetLbaOffset, Payload{});
}

int CPassThroughReader::FormatEnd() { return RunCached(FormatEndCommand(), ReaderOperation::FormatEnd, Payload{}); }

int CPassThroughReader::Lock() { return RunCached(LockCommand(), ReaderOperation::Lock, Payload{}); }

int CPassThroughReader::UnLock() { return RunCached(UnLockCommand(), ReaderOperation::UnLock, Payload{}); }

int CPassThroughReader::WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) {
  return RunCached(WritePhySectorCommand(unit, sector), ReaderOperation::WritePhySector, Payload{data.data(), nullptr});
}

int CPassThroughReader::WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) {
  return RunCached(WriteRedundantCommand(unit, sector), ReaderOperation::WriteRedundant,
                   Payload{redundant.data(), nullptr});
}

int CPassThroughReader::ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) {
  return RunCached(ReadPhySectorCommand(unit, sector), ReaderOperation::ReadPhySector, Payload{nullptr, page.data()});
}

int CPassThroughReader::ErasePhyBlk(std::uint8_t unit, std::uint16_t block) {
  return RunCached(ErasePhyBlkCommand(unit, block), ReaderOperation::ErasePhyBlk, Payload{});
}

int CPassThroughReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  return RunCached(WriteLbaCommand(sector, count), ReaderOperation::WriteLba, Payload{data, nullptr});
}

int CPassThroughReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  if (count <= 1) {
    return RunCached(ReadLbaCommand(sector, count), RowOf(ReaderOperation::ReadLba), Payload{nullptr, data});
  }
  // The direct request fills its buffer as the data arrive; a read that
  // fails half-way must leave the caller's buffer as it was.
  std::vector<std::uint8_t> arriving(std::size_t{count} * kSectorSize);
  if (!RunCached(ReadLbaCommand(sector, count), passthrough::kMultiSectorReadRow, Payload{nullptr, arriving.data()})) {
    return 0;
  }
  std::copy(arriving.begin(), arriving.end(), data);
  return 1;
}

int CPassThroughReader::ReadMediaInfo(void* handle, std::uint8_t bus, std::uint8_t target, MediaGeometry& geometry) {
  std::array<std::uint8_t, kMediaInfoReplySize> reply{};
  if (Transmit(handle, ReadMediaInfoCommand(), RowOf(ReaderOperation::ReadMediaInfo), Payload{nullptr, reply.data()},
               bus, target)) {
    DecodeMediaInfo(reply, geometry);
    return 1;
  }
  Host().Sleep(kFailurePauseMs);
  return 0;
}

// --- Device search ----------------------------------------------------------------

int CPassThroughReader::Inquiry(void* handle, std::uint8_t* buffer, std::uint32_t length) {
  if (handle == nullptr || buffer == nullptr) return 0;
  return Transmit(handle, InquiryCommand(static_cast<std::uint8_t>(length)), RowOf(ReaderOperation::Inquiry),
                  Payload{nullptr, buffer})
             ? 1
             : 0;
}

int CPassThroughReader::GetCardType(void* handle, std::uint8_t& type) {
  if (handle == nullptr) return 0;
  type = 0;
  return Transmit(handle, GetCardTypeCommand(), RowOf(ReaderOperation::GetCardType), Payload{nullptr, &type}) ? 1 : 0;
}

bool CPassThroughReader::IsCandidate(HANDLE handle) {
  std::array<std::uint8_t, kInquiryBufferSize> inquiry{};
  if (!Inquiry(handle, inquiry.data(), kInquiryReplySize)) return false;
  if (!IsSupportedInquiry(inquiry.data(), kInquiryReplySize)) return false;
  std::uint8_t cardType = 0;
  return GetCardType(handle, cardType) && IsSmartMediaCard(cardType);
}

int CPassThroughReader::FindDevice(char& found) {
  found = 0;
  DropHandle();  // a handle from an earlier search would otherwise leak; the search's failures are reported anew
  openFlag = 0;
  int result = 0;
  for (char letter = kFirstDriveLetter; letter <= kLastDriveLetter; ++letter) {
    const HANDLE handle = OpenVolume(letter);
    if (handle == nullptr) continue;
    if (!IsCandidate(handle)) {
      CloseVolume(handle);
      continue;
    }
    if (result) {
      ShowError(kSecondReaderText);
      CloseVolume(handle);
      DropHandle();
      openFlag = 0;
      return 0;
    }
    if (!ReadMediaInfo(handle, 0, 0, geometry)) {
      ShowError(kMediaInfoFailureText);
      CloseVolume(handle);
      return 0;
    }
    volumeHandle = handle;
    openFlag = 1;
    driveLetter = letter;
    found = static_cast<char>(letter - kFirstDriveLetter);
    result = 1;
  }
  return result;
}
