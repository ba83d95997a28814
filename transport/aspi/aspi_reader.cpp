#include "transport/aspi/aspi_reader.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "transport/aspi/drive_letter_walk.h"
#include "transport/scsi_sense.h"

namespace {

constexpr const char* kErrorCaption = "Error";
constexpr const char* kSecondReaderText = "Please make sure only one usb storage device is plug ing!";
constexpr const char* kMediaInfoFailureText = "Read media information fail!";
constexpr std::size_t kInquiryAreaSize = 48;         // cleared before the INQUIRY; 36 bytes come back
constexpr std::size_t kQueryReplyArea = 64;          // cleared before the media and state queries
constexpr std::size_t kInitialDataArea = kPageSize;  // the largest reply but a multi-sector read
constexpr DWORD kWaitSignalled = WAIT_OBJECT_0;

aspi::SrbExecScsiCmd& RecordOf(void* block) { return *static_cast<aspi::SrbExecScsiCmd*>(block); }

BYTE DirectionFlag(DataDirection direction) {
  switch (direction) {
    case DataDirection::In:
      return aspi::kFlagDirIn;
    case DataDirection::Out:
      return aspi::kFlagDirOut;
    case DataDirection::None:
      break;
  }
  return 0;
}

// The layer writes SRB_Status from its own thread and signals the event
// after it; the byte is read as the layer left it.
BYTE StatusOf(const void* block) {
  const BYTE status = static_cast<const volatile aspi::SrbExecScsiCmd*>(block)->SRB_Status;
  std::atomic_thread_fence(std::memory_order_acquire);
  return status;
}

}  // namespace

aspi::SendCommandProc CAspiReader::sendCommand = nullptr;
aspi::SupportInfoProc CAspiReader::supportInfo = nullptr;

CAspiReader::CAspiReader(FormatHost& host) : CAspiReader(host, SystemAspiPlatform()) {}

CAspiReader::CAspiReader(FormatHost& host, const AspiPlatform& platform_) : CReaderDevice(host), platform(platform_) {
  requestBlock = nullptr;
  sendCommand = nullptr;
  supportInfo = nullptr;
  openFlag = 0;
}

CAspiReader::~CAspiReader() = default;

void CAspiReader::ShowError(const char* text) {
  Host().ShowMessage(text, kErrorCaption, MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::None);
}

// --- One request --------------------------------------------------------------------

BYTE CAspiReader::RequestStatus() const { return StatusOf(requestBlock); }

bool CAspiReader::EnsureDataArea(std::size_t bytes) {
  if (bytes <= dataAreaSize && dataArea != nullptr) return true;
  void* larger = platform.requests.Allocate(std::max(bytes, kInitialDataArea));
  if (larger == nullptr) return false;
  platform.requests.Free(dataArea);
  dataArea = larger;
  dataAreaSize = std::max(bytes, kInitialDataArea);
  return true;
}

void CAspiReader::FillRequest(const ReaderCommand& command, Address address) {
  std::memset(requestBlock, 0, aspi::kRequestBlockSize);
  aspi::SrbExecScsiCmd& request = RecordOf(requestBlock);
  request.SRB_Cmd = aspi::kExecScsiCmd;
  request.SRB_HaId = address.hostAdapter;
  request.SRB_Target = address.target;
  request.SRB_Lun = address.lun;
  request.SRB_Flags = static_cast<BYTE>(aspi::kFlagEventNotify | DirectionFlag(command.direction) | requestFlags);
  request.SRB_BufLen = command.dataLength;
  request.SRB_BufPointer = command.dataLength != 0 ? static_cast<BYTE*>(dataArea) : nullptr;
  request.SRB_SenseLen = senseLength;
  request.SRB_CDBLen = command.cdbLength;
  request.SRB_PostProc = requestEvent;
  std::memcpy(request.CDBByte, command.cdb.data(), command.cdb.size());
}

bool CAspiReader::Send(const ReaderCommand& command, Address address, const Exchange& exchange) {
  Reply reply = SendOnce(command, address, exchange);
  if (reply == Reply::UnitAttention) reply = SendOnce(command, address, exchange);
  return reply == Reply::Good;
}

CAspiReader::Reply CAspiReader::SendOnce(const ReaderCommand& command, Address address, const Exchange& exchange) {
  ReapParked(false, false);
  if (requestBlock == nullptr || requestEvent == nullptr || sendCommand == nullptr) return Reply::Failed;
  if (!EnsureDataArea(command.dataLength)) return Reply::Failed;
  platform.requests.ResetEvent(requestEvent);
  FillRequest(command, address);
  if (exchange.out != nullptr) std::memcpy(dataArea, exchange.out, command.dataLength);
  if (command.direction == DataDirection::In) std::memset(dataArea, 0, command.dataLength);
  std::atomic_thread_fence(std::memory_order_release);
  DWORD result = sendCommand(requestBlock);
  bool signalled = true;
  if (RequestStatus() == aspi::kStatusPending) {
    result = platform.requests.Wait(requestEvent, kCompletionWaitMs);
    signalled = result == kWaitSignalled;
  }
  if (result == kWaitSignalled) platform.requests.ResetEvent(requestEvent);
  if (!signalled) {
    // Still pending when its wait ended: failed, whatever it ends with. A
    // status the layer wrote just after the wait counts once it has signalled.
    const bool pendingAtTheEnd = RequestStatus() == aspi::kStatusPending;
    if (!Retire() || pendingAtTheEnd) return Reply::Failed;
  }
  if (RequestStatus() != aspi::kStatusComplete) return MetUnitAttention() ? Reply::UnitAttention : Reply::Failed;
  if (exchange.in != nullptr) std::memcpy(exchange.in, dataArea, command.dataLength);
  return Reply::Good;
}

// A request the target answered with CHECK CONDITION ends with SS_ERR; the
// layer leaves the target's status in SRB_TargStat and its sense data behind
// the command block, as many bytes as SRB_SenseLen offers. The block was
// cleared before the request, so nothing stale is read.
bool CAspiReader::MetUnitAttention() const {
  const aspi::SrbExecScsiCmd& request = RecordOf(requestBlock);
  const auto* sense = static_cast<const std::uint8_t*>(requestBlock) + offsetof(aspi::SrbExecScsiCmd, SenseArea);
  return ::MetUnitAttention(request.SRB_TargStat, sense, senseLength);
}

int CAspiReader::Request(const ReaderCommand& command, Address address, Exchange exchange) {
  if (exchange.in != nullptr) std::memset(exchange.in, 0, exchange.clearLength);
  if (Send(command, address, exchange)) return 1;
  if (exchange.pauseOnFailure) Host().Sleep(kFailurePauseMs);
  return 0;
}

// --- Requests the layer does not give back ---------------------------------------------

// The wait ended before the layer signalled the request's event. A layer
// writes the final status first and signals after it, reading the event from
// the block, so the block is its own until the event is signalled, whatever
// the status says. Ask the layer to abort the request if it still runs and
// give it a moment to signal; if it does not, its memory and event stay with
// it and the next request gets fresh ones. True when the layer let go.
bool CAspiReader::Retire() {
  if (RequestStatus() == aspi::kStatusPending) SendAbort(requestBlock);
  if (platform.requests.Wait(requestEvent, kAbortWaitMs) == kWaitSignalled) return true;
  parked.push_back(ParkedRequest{requestBlock, dataArea, requestEvent});
  requestBlock = nullptr;
  dataArea = nullptr;
  dataAreaSize = 0;
  requestEvent = nullptr;
  RenewRequestResources();
  return false;
}

void CAspiReader::SendAbort(void* block) {
  aspi::SrbAbort abort{};
  abort.SRB_Cmd = aspi::kAbortSrb;
  abort.SRB_HaId = RecordOf(block).SRB_HaId;
  abort.SRB_ToAbort = block;
  sendCommand(&abort);
}

bool CAspiReader::RenewRequestResources() {
  requestEvent = platform.requests.CreateEvent(FALSE, FALSE);
  if (requestEvent == nullptr) return false;
  requestBlock = platform.requests.Allocate(aspi::kRequestBlockSize);
  return requestBlock != nullptr && EnsureDataArea(kInitialDataArea);
}

// Releases what the layer has let go of, that is, each request whose event
// it has signalled; with `abortPending`, asks it once more to give up those
// that still run. With `layerGone` (the layer is no longer in the process and
// nothing of it can run) releases them all.
void CAspiReader::ReapParked(bool abortPending, bool layerGone) {
  auto released = std::remove_if(parked.begin(), parked.end(), [&](const ParkedRequest& request) {
    if (abortPending && StatusOf(request.block) == aspi::kStatusPending && sendCommand != nullptr) {
      SendAbort(request.block);
    }
    if (!layerGone && platform.requests.Wait(request.event, 0) != kWaitSignalled) return false;
    platform.requests.Free(request.block);
    platform.requests.Free(request.data);
    platform.requests.CloseEvent(request.event);
    return true;
  });
  parked.erase(released, parked.end());
}

void CAspiReader::ReleaseRequestResources() {
  platform.requests.Free(requestBlock);
  requestBlock = nullptr;
  platform.requests.Free(dataArea);
  dataArea = nullptr;
  dataAreaSize = 0;
  if (requestEvent != nullptr) platform.requests.CloseEvent(requestEvent);
  requestEvent = nullptr;
}

// --- Reader commands ------------------------------------------------------------------

int CAspiReader::GetDeviceState(std::uint8_t& state) {
  std::array<std::uint8_t, kQueryReplyArea> reply{};
  const int result = Request(GetDeviceStateCommand(), Chosen(), Exchange{nullptr, reply.data(), reply.size()});
  state = result ? reply[0] : 0;
  return result;
}

int CAspiReader::WaitReady() {
  Host().Sleep(kWaitReadyMs);
  return 1;
}

int CAspiReader::SetLbaOffset(std::uint32_t offset) { return Request(SetLbaOffsetCommand(offset), Chosen(), {}); }

int CAspiReader::FormatEnd() { return Request(FormatEndCommand(), Chosen(), {}); }

int CAspiReader::Lock() { return Request(LockCommand(), Chosen(), {}); }

int CAspiReader::UnLock() { return Request(UnLockCommand(), Chosen(), {}); }

int CAspiReader::WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) {
  return Request(WritePhySectorCommand(unit, sector), Chosen(), Exchange{data.data()});
}

int CAspiReader::WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) {
  return Request(WriteRedundantCommand(unit, sector), Chosen(), Exchange{redundant.data()});
}

int CAspiReader::ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) {
  return Request(ReadPhySectorCommand(unit, sector), Chosen(), Exchange{nullptr, page.data(), page.size()});
}

int CAspiReader::ErasePhyBlk(std::uint8_t unit, std::uint16_t block) {
  return Request(ErasePhyBlkCommand(unit, block), Chosen(), {});
}

int CAspiReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  return Request(WriteLbaCommand(sector, count), Chosen(), Exchange{data});
}

int CAspiReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  return Request(ReadLbaCommand(sector, count), Chosen(), Exchange{nullptr, data, std::size_t{count} * kSectorSize});
}

int CAspiReader::ReadMediaInfo(void*, std::uint8_t bus, std::uint8_t target, MediaGeometry& geometry) {
  std::array<std::uint8_t, kQueryReplyArea> reply{};
  if (!Request(ReadMediaInfoCommand(), Address{bus, target, lun}, Exchange{nullptr, reply.data(), reply.size()})) {
    return 0;
  }
  std::array<std::uint8_t, kMediaInfoReplySize> info{};
  std::copy_n(reply.begin(), info.size(), info.begin());
  DecodeMediaInfo(info, geometry);
  return 1;
}

// --- Probes of the scan ----------------------------------------------------------------

int CAspiReader::Inquiry(std::uint8_t ha, std::uint8_t target, std::uint8_t* buffer, std::uint8_t length) {
  if (buffer == nullptr) return 0;
  return Request(InquiryCommand(length), Address{ha, target, 0}, Exchange{nullptr, buffer, length, false});
}

int CAspiReader::GetLunMap(std::uint8_t ha, std::uint8_t target, std::uint16_t& map) {
  std::uint8_t reply = 0;
  if (!Request(GetLunMapCommand(), Address{ha, target, 0}, Exchange{nullptr, &reply, 0})) return 0;
  map = reply;
  return 1;
}

int CAspiReader::GetCardType(std::uint8_t ha, std::uint8_t target, std::uint8_t logicalUnit, std::uint8_t& type) {
  std::uint8_t reply = 0;
  if (!Request(GetCardTypeCommand(), Address{ha, target, logicalUnit}, Exchange{nullptr, &reply, 0})) return 0;
  type = reply;
  return 1;
}

// --- Finding the reader ----------------------------------------------------------------

bool CAspiReader::LoadLayer() {
  aspiModule = platform.library.Load(aspi::kLibraryName);
  if (aspiModule == nullptr) return false;
  const HMODULE module = static_cast<HMODULE>(aspiModule);
  sendCommand = reinterpret_cast<aspi::SendCommandProc>(
      reinterpret_cast<void*>(platform.library.Resolve(module, aspi::kSendCommandName)));
  supportInfo = reinterpret_cast<aspi::SupportInfoProc>(
      reinterpret_cast<void*>(platform.library.Resolve(module, aspi::kSupportInfoName)));
  return sendCommand != nullptr && supportInfo != nullptr;
}

// A layer older than version 4 takes the posting bit and 14 sense bytes;
// from 4.0 on, neither. A layer without a version resource is not used. A
// resource without a fixed version record tells nothing; the current variant
// is taken then.
bool CAspiReader::ChooseVariant() {
  const DWORD size = platform.library.VersionInfoSize(aspi::kLibraryName);
  if (size == 0) return false;
  std::vector<std::uint8_t> resource(size);
  if (!platform.library.VersionInfo(aspi::kLibraryName, size, resource.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  const bool old =
      platform.library.QueryFixedVersion(resource.data(), &fixed) && fixed->dwFileVersionMS < aspi::kVersionFour;
  requestFlags = old ? aspi::kFlagPosting : 0;
  senseLength = old ? aspi::kShortSenseLength : aspi::kLongSenseLength;
  return true;
}

std::uint8_t CAspiReader::HostAdapterCount() const {
  const DWORD info = supportInfo();
  return aspi::SupportStatus(info) == aspi::kStatusComplete ? aspi::HostAdapterCount(info) : 0;
}

bool CAspiReader::AllocateRequestResources() {
  requestEvent = platform.requests.CreateEvent(FALSE, FALSE);
  if (requestEvent == nullptr) return false;
  requestBlock = platform.requests.Allocate(aspi::kRequestBlockSize);
  return requestBlock != nullptr && EnsureDataArea(kInitialDataArea);
}

DWORD CAspiReader::PlatformMinorVersion() {
  PlatformVersion version;
  return platform.version.ReadBasic(version) ? version.minor : 0;
}

bool CAspiReader::CardTypeIsSmartMedia(std::uint8_t ha, std::uint8_t target, std::uint8_t logicalUnit, bool& second) {
  std::uint8_t type = 0;
  if (!GetCardType(ha, target, logicalUnit, type) || !IsSmartMediaCard(type)) return false;
  if (readerOpened) second = true;
  return true;
}

// Each candidate target is one LUN of a reader, asked at LUN 0; the LUN
// count read at a reader's first target tells how many targets follow.
bool CAspiReader::FindCardUnitPerTarget(std::uint8_t ha, std::uint8_t target, bool& second) {
  if (lunScan.lunCount == 0) {
    std::uint16_t map = 0;
    if (!GetLunMap(ha, target, map)) return false;
    lunScan.lunCount = CountLogicalUnits(static_cast<std::uint8_t>(map));
    lunScan.runningIndex = 0;
  }
  bool found = false;
  if (CardTypeIsSmartMedia(ha, target, 0, second)) {
    if (second) return false;
    found = true;
    lun = 0;
    driveIndex = static_cast<std::uint8_t>(lunScan.runningIndex);
  }
  if (++lunScan.runningIndex == lunScan.lunCount) lunScan.lunCount = 0;
  return found;
}

// The reader's LUNs are asked at the candidate target itself; a later LUN
// with a card replaces an earlier one.
bool CAspiReader::FindCardUnitInTarget(std::uint8_t ha, std::uint8_t target, bool& second) {
  std::uint16_t map = 0;
  if (!GetLunMap(ha, target, map)) return false;
  const int count = CountLogicalUnits(static_cast<std::uint8_t>(map));
  bool found = false;
  for (int i = 0; i < count; ++i) {
    const auto unit = static_cast<std::uint8_t>(i);
    if (!CardTypeIsSmartMedia(ha, target, unit, second)) continue;
    if (second) return false;
    found = true;
    lun = unit;
    driveIndex = unit;
  }
  return found;
}

bool CAspiReader::FindCardUnit(std::uint8_t ha, std::uint8_t target, DWORD minor, bool& second) {
  return minor == kLunsAsTargetsMinorVersion ? FindCardUnitPerTarget(ha, target, second)
                                             : FindCardUnitInTarget(ha, target, second);
}

CAspiReader::ScanStep CAspiReader::ScanTarget(std::uint8_t ha, std::uint8_t target, DWORD minor) {
  std::array<std::uint8_t, kInquiryAreaSize> inquiry{};
  if (!Inquiry(ha, target, inquiry.data(), static_cast<std::uint8_t>(kInquiryReplySize))) return ScanStep::NextTarget;
  if (!IsSupportedInquiry(inquiry.data(), kInquiryReplySize)) return ScanStep::NextTarget;
  bool second = false;
  const bool found = FindCardUnit(ha, target, minor, second);
  if (second) {
    ShowError(kSecondReaderText);
    openFlag = 0;
    return ScanStep::Stop;
  }
  if (!found) return ScanStep::NextTarget;
  if (!ReadMediaInfo(nullptr, ha, target, geometry)) {
    ShowError(kMediaInfoFailureText);
    return ScanStep::Stop;
  }
  hostAdapter = ha;
  targetId = target;
  openFlag = 1;
  readerOpened = true;
  return ScanStep::Opened;
}

int CAspiReader::FindDevice(char& found) {
  found = 0;
  Close();  // what an earlier search acquired
  readerOpened = false;
  lunScan = LunScan{};
  if (!LoadLayer() || !ChooseVariant()) return 0;
  const std::uint8_t adapters = HostAdapterCount();
  if (!AllocateRequestResources()) return 0;
  const DWORD minor = PlatformMinorVersion();
  if (adapters == 0) return 0;
  for (std::uint8_t ha = 0; ha < adapters; ++ha) {
    for (std::uint8_t target = 0; target < kTargetIds; ++target) {
      if (ScanTarget(ha, target, minor) == ScanStep::Stop) return 0;
    }
  }
  if (!readerOpened) return 0;
  const char letter = GetDriveLetter();
  driveLetter = letter;
  found = letter;
  return 1;
}

void CAspiReader::Close() {
  ReapParked(true, false);
  ReleaseRequestResources();
  if (aspiModule != nullptr) {
    platform.library.Unload(static_cast<HMODULE>(aspiModule));
    if (!platform.library.Loaded(aspi::kLibraryName)) ReapParked(false, true);
  }
  aspiModule = nullptr;
  sendCommand = nullptr;
  supportInfo = nullptr;
  openFlag = 0;
}

// --- The card's volume ------------------------------------------------------------------

char CAspiReader::GetDriveLetter() {
  const char letter = FindDriveLetter(platform.deviceTree, deviceIds, deviceIdCount, driveIndex);
  if (letter == kNoDriveLetter) {
    Host().ShowMessage("Get no drive letter", "Info", MessageStyle{MessageButtons::Ok, MessageIcon::None},
                       MessageOwner::None);
  }
  return letter;
}

int CAspiReader::UnlockVolume() {
  if (driveLetter < 'A' || driveLetter > 'Z') return 0;  // no drive letter was found
  const HANDLE device = platform.devices.Open(vwin32::kDevicePath, 0, 0, 0, FILE_FLAG_DELETE_ON_CLOSE);
  if (device == INVALID_HANDLE_VALUE) return 0;
  vwin32::DiocRegisters registers{};
  registers.reg_EAX = vwin32::kGenericIoctl;
  registers.reg_ECX = vwin32::kUnlockLogicalVolume;
  registers.reg_EBX = static_cast<DWORD>(driveLetter - '@');  // drive A is 1
  DWORD returned = 0;
  const BOOL carried = platform.devices.Control(device, vwin32::kDosIoctl, &registers, sizeof registers, &registers,
                                                sizeof registers, &returned);
  platform.devices.Close(device);
  return carried && (registers.reg_Flags & vwin32::kCarryFlag) == 0 ? 1 : 0;
}
